"""End to end: choose the degree of a polynomial from noisy samples, smooth
an over-sized fit with penalties, fit a surface in two variables, and let the
tournament search minimise the score directly.

Built-in, seeded data: a cubic plus Gaussian noise, and a two-variable
surface plus noise. Every number below is the same on every run.

Run:  python3 examples/fit_polynomial.py [--plot PATH]

With matplotlib installed (pip install '.[plot]') the script also writes a
picture of the fits and of the score against the degree (default
fit_polynomial.png in the current folder).
"""
import sys

import numpy as np

import qorv_core as q

TRUE_COEFFS = np.array([0.5, -1.0, 0.0, 2.0])  # 0.5 - x + 2 x^3
N_SAMPLES = 200
NOISE = 0.02
SEED = 20261209
BIG_DEGREE = 8      # deliberately too flexible, to show what the penalty does
GAMMA2 = 1e-7       # weight of the curvature penalty, per sample


def make_data(seed=SEED):
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(-1.0, 1.0, N_SAMPLES))
    y = np.polynomial.polynomial.polyval(x, TRUE_COEFFS) + rng.normal(0.0, NOISE, N_SAMPLES)
    return x, y


def choose_degree(x, y):
    print(f"{'degree':>6} {'rmse':>10} {'hit rate':>9} {'mdl score':>10}")
    eps = 0.4 * q.mad(y)
    scores, fits = {}, {}
    for deg in range(0, BIG_DEGREE + 1):
        Phi = q.design_matrix_1d(deg, x)
        beta = q.ols(Phi, y)
        yp = Phi @ beta
        scores[deg] = q.mdl_score(yp, y, k=deg + 1)
        fits[deg] = beta
        rmse = float(np.sqrt(np.mean((yp - y) ** 2)))
        print(f"{deg:>6} {rmse:>10.5f} {q.compute_sr(yp, y, eps):>9.3f} {scores[deg]:>10.4f}")
    best = min(scores, key=scores.get)
    print(f"\nchosen degree: {best} (true degree 3)")
    return best, scores, fits


def penalised_fit(x, y, beta_ols):
    """Degree 8 with a curvature penalty over [-1, 1], against plain ols."""
    R1, R2 = q.smoothness_penalty_matrices_1d(BIG_DEGREE, -1.0, 1.0)
    beta = q.fit_regularized_linear(q.design_matrix_1d(BIG_DEGREE, x), y, R1, R2,
                                    gamma2=GAMMA2)
    print(f"\nDegree {BIG_DEGREE}, curvature penalty gamma2 = {GAMMA2:g} (R2 over [-1, 1]):")
    print(f"  {'':<22}{'ols':>12}{'penalised':>12}")
    print(f"  {'integral of f2^2':<22}{beta_ols @ R2 @ beta_ols:>12.4f}{beta @ R2 @ beta:>12.4f}"
          f"   (true cubic {TRUE_COEFFS @ R2[:4, :4] @ TRUE_COEFFS:.4f})")
    xs = np.linspace(-1.0, 1.0, 401)
    truth = np.polynomial.polynomial.polyval(xs, TRUE_COEFFS)
    P = q.design_matrix_1d(BIG_DEGREE, xs)
    err = [float(np.sqrt(np.mean((P @ b - truth) ** 2))) for b in (beta_ols, beta)]
    print(f"  {'rms error vs truth':<22}{err[0]:>12.5f}{err[1]:>12.5f}")
    print(f"  {'|x^8 coefficient|':<22}{abs(beta_ols[-1]):>12.4f}{abs(beta[-1]):>12.4f}")
    return beta, R1, R2


def surface_fit():
    """f(u, v) = 1 + u v - 0.5 v^2 on [0, 1] x [-1, 1], degree 2 per variable."""
    rng = np.random.default_rng(SEED + 1)
    u, v = rng.uniform(0.0, 1.0, 400), rng.uniform(-1.0, 1.0, 400)
    z = 1.0 + u * v - 0.5 * v**2 + rng.normal(0.0, NOISE, 400)
    R1, R2, mi = q.build_penalty_matrices_nd([2, 2], [(0.0, 1.0), (-1.0, 1.0)])
    Phi = q.design_matrix_nd(mi, [u, v])
    beta = q.fit_regularized_linear(Phi, z, R1, R2, gamma1=1e-6, gamma2=1e-6)
    print("\nTwo variables, degree 2 in each (9 terms), light gradient and Hessian penalties:")
    for m, b in zip(mi, beta):
        if abs(b) > 0.05:
            print(f"  u^{m[0]} v^{m[1]}: {b:+.3f}")
    print("  (true surface: 1 + u v - 0.5 v^2)")
    rmse = float(np.sqrt(np.mean((Phi @ beta - z) ** 2)))
    print(f"  rmse {rmse:.4f}, mdl score {q.mdl_score(Phi @ beta, z, k=len(mi)):.4f}")


def search(x, y, best, scores, R2):
    Phi = q.design_matrix_1d(best, x)
    result = q.TournamentMCMC(seed=SEED).fit(Phi, y)
    print(f"\nTournamentMCMC on degree {best} (25 chains, seed {SEED}):")
    print(f"  search energy        {result.energy:.4f}")
    print(f"  least-squares score  {scores[best]:.4f}")
    print(f"  coefficients         {np.array2string(result.beta_mcmc, precision=3)}")
    print(f"  Gibbs r_heat         {result.gibbs.r_heat:.3f}")
    # The same search with the curvature penalty in the energy.
    R2b = R2[: best + 1, : best + 1]
    pen = q.TournamentMCMC(seed=SEED).fit(Phi, y, R2=R2b, gamma2=0.01)
    score = q.mdl_score_reg(Phi @ pen.beta_mcmc, y, best + 1, 20, pen.beta_mcmc,
                            np.zeros_like(R2b), R2b, 0.0, 0.01)
    print(f"  with a curvature penalty (gamma2 = 0.01): energy {pen.energy:.4f}"
          f" (= mdl_score_reg {score:.4f}), coefficients "
          f"{np.array2string(pen.beta_mcmc, precision=3)}")
    return result


def plot(path, x, y, best, scores, fits, beta_pen, result):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("\n(no picture: install matplotlib, e.g. pip install '.[plot]', to get one)")
        return
    xs = np.linspace(-1.0, 1.0, 400)
    fig, (a, b) = plt.subplots(1, 2, figsize=(11, 4.2))
    a.plot(x, y, ".", color="0.6", ms=4, label="samples")
    a.plot(xs, q.design_matrix_1d(best, xs) @ fits[best], lw=2, label=f"least squares, degree {best}")
    a.plot(xs, q.design_matrix_1d(BIG_DEGREE, xs) @ fits[BIG_DEGREE], "--", lw=1.2,
           label=f"least squares, degree {BIG_DEGREE}")
    a.plot(xs, q.design_matrix_1d(BIG_DEGREE, xs) @ beta_pen, lw=1.5,
           label=f"penalised, degree {BIG_DEGREE}")
    a.plot(xs, q.design_matrix_1d(best, xs) @ result.beta_mcmc, ":", lw=2,
           label=f"tournament search, degree {best}")
    a.set_xlabel("x")
    a.set_ylabel("y")
    a.set_title("Samples and fits")
    a.legend(fontsize=8)
    degs = sorted(scores)
    b.plot(degs, [scores[d] for d in degs], "o-")
    b.plot([best], [scores[best]], "o", ms=12, mfc="none", color="C3", label="chosen")
    b.set_yscale("symlog", linthresh=1.0)
    b.set_xlabel("degree")
    b.set_ylabel("description-length score (lower is better)")
    b.set_title("Score against degree")
    b.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    print(f"\npicture written to {path}")


def main(argv):
    path = argv[argv.index("--plot") + 1] if "--plot" in argv else "fit_polynomial.png"
    x, y = make_data()
    print(f"{N_SAMPLES} samples of 0.5 - x + 2 x^3 + N(0, {NOISE}^2), seed {SEED}")
    print(f"hit tolerance 0.4 * mad(y) = {0.4 * q.mad(y):.4f}\n")
    best, scores, fits = choose_degree(x, y)
    beta_pen, _, R2 = penalised_fit(x, y, fits[BIG_DEGREE])
    surface_fit()
    result = search(x, y, best, scores, R2)
    plot(path, x, y, best, scores, fits, beta_pen, result)


if __name__ == "__main__":
    main(sys.argv[1:])
