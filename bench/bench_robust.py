"""PolynomialRegressor(solver="robust") against the robust fits users would pick.

    python3 bench/bench_robust.py [--quick]

Every peer fits the SAME basis: x mapped affinely from its data range onto
[-1, 1], powers 0..degree (numpy.polynomial.polynomial.polyvander), with
fit_intercept=False since the basis has the constant. The peers are plain
least squares, statsmodels RLM (Huber and Tukey biweight norms),
statsmodels' MM-estimator RLMDetSMM (where the installed statsmodels has
it), scikit-learn's HuberRegressor, RANSACRegressor and TheilSenRegressor.

1. Accuracy: a cubic on x ~ U[-3, 5], noise sd 0.3, a share p of the points
   moved by +5..+30 (one-sided) or by a random sign times that (two-sided).
   Metric: RMSE of each fitted curve against the true cubic on 400 points
   over [-3, 5], median over seeds. "robust / best peer" divides qorv's
   robust median by the best median of the non-qorv robust peers; a
   median above 1 (the curve is off by more than three noise sds on
   average) is marked as a breakdown (!).
2. Real data shipped with statsmodels and scikit-learn: gross outliers
   (seeded) put into 10 % and 20 % of y; each method's predictions on the
   clean points against the least-squares fit of the clean data, RMSE
   divided by y's sd, median over seeds.
3. Degree choice: degree="auto" with solver="robust" on truths of degree
   1, 3 and 5 with outliers, against the true degree's robust fit and
   least squares' own choice.
4. Speed: median fit time, paired repeats in one run (all the methods take
   turns in every repeat), 20 % one-sided outliers; the ratios are what to
   read, not the absolute times of this shared machine.

qorv's robust column is left out while solver="robust" is refused.
The tables go to stdout and to bench/results/robust.md.
"""
import os

# As in bench/run.py: a short OpenBLAS spin (set before NumPy loads) so that
# NumPy's and SciPy's idle BLAS pools do not steal the cores from the side
# being timed next.
if "OPENBLAS_THREAD_TIMEOUT" not in os.environ:
    os.environ["OPENBLAS_THREAD_TIMEOUT"] = "4"

import statistics  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
from numpy.polynomial import polynomial as npoly  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
# The checkout's qorv, not an installed copy (the native core stays the
# installed qorv_core).
sys.path.insert(0, str(HERE.parent))

import statsmodels.api as sm  # noqa: E402
from run import fmt_time, machine  # noqa: E402  (the one table format of bench/)
from sklearn.linear_model import (HuberRegressor, LinearRegression,  # noqa: E402
                                  RANSACRegressor, TheilSenRegressor)

import qorv  # noqa: E402
from timing import probe  # noqa: E402

try:
    from statsmodels.robust.resistant_linear_model import RLMDetSMM
except ImportError:  # older statsmodels
    RLMDetSMM = None

DEGREE = 3
LO, HI = -3.0, 5.0
NOISE = 0.3
TRUE_COEF = np.array([1.0, 0.5, -0.3, 0.05])  # 1 + 0.5 x - 0.3 x^2 + 0.05 x^3
SHARES = [0.0, 0.1, 0.2, 0.3, 0.4, 0.45]
GRID = np.linspace(LO, HI, 400)
BREAKDOWN = 1.0
THEILSEN_SUBPOP = 2000  # cap on TheilSen's subsets (its default is 1e4)
MM_MAX_N = 10_000  # MM's start (many elemental sets) takes seconds already at 1e4


def robust_available():
    """True if PolynomialRegressor(solver="robust") fits tiny data."""
    rng = np.random.default_rng(0)
    x = rng.uniform(-1, 1, 40)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            qorv.PolynomialRegressor(degree=3, solver="robust").fit(x[:, None], x ** 3)
    except ValueError:
        return False
    return True


# ------------------------------------------------------------------ basis
class Mapped:
    """x mapped affinely from [lo, hi] of the fitting data onto [-1, 1]."""

    def __init__(self, x, degree):
        self.c, self.h, self.degree = (x.max() + x.min()) / 2, (x.max() - x.min()) / 2, degree

    def __call__(self, x):
        return npoly.polyvander((np.asarray(x, float) - self.c) / self.h, self.degree)


# ---------------------------------------------------------------- methods
# Each returns a function of x giving the fitted curve.
def _qorv(solver, degree):
    def fit(x, y):
        m = qorv.PolynomialRegressor(degree=degree, solver=solver).fit(x[:, None], y)

        def curve(t):
            return m.predict(np.asarray(t, float)[:, None])
        curve.model = m
        return curve
    return fit


def _on_basis(coef_of):
    def fit(x, y, degree):
        B = Mapped(x, degree)
        b = np.asarray(coef_of(B(x), y), float)
        return lambda t: B(t) @ b
    return fit


def _lstsq(X, y):
    return np.linalg.lstsq(X, y, rcond=None)[0]


def _rlm(norm):
    return lambda X, y: sm.RLM(y, X, M=norm()).fit().params


def _mm(X, y):
    try:
        return RLMDetSMM(y, X).fit().params
    except np.linalg.LinAlgError:
        # The start's covariance of the powers of x is singular on a few
        # distinct x values (diabetes' bmi): x alone then picks the subsets.
        return RLMDetSMM(y, X, col_indices=[1]).fit().params


def _sk_huber(X, y):
    return HuberRegressor(fit_intercept=False, max_iter=1000).fit(X, y).coef_


def _ransac(X, y):
    return RANSACRegressor(LinearRegression(fit_intercept=False),
                           random_state=0).fit(X, y).estimator_.coef_


def _theilsen(X, y):
    return TheilSenRegressor(fit_intercept=False, max_subpopulation=THEILSEN_SUBPOP,
                             random_state=0).fit(X, y).coef_


def methods(have_robust, degree):
    """name -> fit(x, y) returning the fitted curve; qorv first, then the
    peers. Peers' names are listed in PEERS (the robust ones)."""
    out = {}
    if have_robust:
        out["qorv robust"] = _qorv("robust", degree)
    out["qorv search"] = _qorv("search", degree)
    for name, f in (("lstsq", _lstsq),
                    ("RLM Huber", _rlm(sm.robust.norms.HuberT)),
                    ("RLM Tukey", _rlm(sm.robust.norms.TukeyBiweight)),
                    ("MM", _mm if RLMDetSMM is not None else None),
                    ("sk Huber", _sk_huber), ("RANSAC", _ransac), ("TheilSen", _theilsen)):
        if f is not None:
            g = _on_basis(f)
            out[name] = (lambda g_: lambda x, y: g_(x, y, degree))(g)
    return out


PEERS = ["RLM Huber", "RLM Tukey", "MM", "sk Huber", "RANSAC", "TheilSen"]


def quiet(f, *a):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return f(*a)


# ------------------------------------------------------------ markdown
def table(head, rows):
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    lines += ["| " + " | ".join(str(c).replace("|", "/") for c in r) + " |" for r in rows]
    return "\n".join(lines)


def log(msg):
    print(msg, file=sys.stderr, flush=True)


# --------------------------------------------------------------- accuracy
def truth(x):
    return npoly.polyval(x, TRUE_COEF)


def synthetic(n, p, sided, seed):
    """x, y and the mask of the moved points."""
    rng = np.random.default_rng([n, int(round(p * 100)), sided == "two", seed])
    x = rng.uniform(LO, HI, n)
    y = truth(x) + rng.normal(0.0, NOISE, n)
    bad = np.zeros(n, bool)
    bad[rng.choice(n, int(round(p * n)), replace=False)] = True
    shift = rng.uniform(5.0, 30.0, bad.sum())
    if sided == "two":
        shift *= rng.choice([-1.0, 1.0], bad.sum())
    y[bad] += shift
    return x, y, bad


def accuracy(quick, have_robust):
    ns = [1000] if quick else [1000, 10_000]
    seeds = range(2) if quick else range(5)
    ms = methods(have_robust, DEGREE)
    cells = [(n, p, s) for n in ns for p in SHARES for s in (["-"] if p == 0 else ["one", "two"])]
    rmse = {}  # (n, p, side, method) -> list over seeds
    flags = {}  # (n, p, side) -> list of (outliers flagged, clean kept) of qorv robust
    fit_s = {name: 0.0 for name in ms}
    for n, p, side in cells:
        log(f"accuracy n={n} p={p} {side}")
        for seed in seeds:
            x, y, bad = synthetic(n, p, side, seed)
            model = None
            for name, fit in ms.items():
                t0 = time.perf_counter()
                try:
                    curve = quiet(fit, x, y)
                    if name == "qorv robust":
                        model = curve.model
                    err = float(np.sqrt(np.mean((curve(GRID) - truth(GRID)) ** 2)))
                except Exception as e:  # a peer that fails counts as broken down
                    log(f"  {name} failed: {type(e).__name__}: {e}")
                    err = np.inf
                fit_s[name] += time.perf_counter() - t0
                rmse.setdefault((n, p, side, name), []).append(err)
            if have_robust:
                inl = getattr(model, "inlier_mask_", None)
                if inl is not None:
                    inl = np.asarray(inl, bool)
                    flags.setdefault((n, p, side), []).append(
                        (float(np.mean(~inl[bad])) if bad.any() else np.nan,
                         float(np.mean(inl[~bad]))))
    names = list(ms)
    peers = [m for m in PEERS if m in ms]
    head = ["n", "p", "sides"] + names + (["robust / best peer", "best peer"] if have_robust else [])
    rows, over, broke = [], [], {name: 0 for name in names}
    for n, p, side in cells:
        med = {m: statistics.median(rmse[(n, p, side, m)]) for m in names}
        for m in names:
            broke[m] += sum(e > BREAKDOWN for e in rmse[(n, p, side, m)])
        row = [f"{n:.0e}".replace("+0", ""), f"{p:g}", side]
        row += [f"{med[m]:.3g}" + (" !" if med[m] > BREAKDOWN else "") for m in names]
        if have_robust:
            best = min(peers, key=lambda m: med[m])
            ratio = med["qorv robust"] / med[best]
            row += [f"{ratio:.2f}", best]
            if ratio > 1.1:
                over.append(f"n={n:g}, p={p:g}, {side}-sided: {ratio:.2f} x {best} "
                            f"({med['qorv robust']:.3g} vs {med[best]:.3g})")
        rows.append(row)
    total = len(cells) * len(seeds)
    brow = [[m, f"{broke[m]} / {total}", f"{fit_s[m]:.1f} s"] for m in names]
    out = [f"### Accuracy: clean-curve RMSE against the true cubic (median over "
           f"{len(seeds)} seeds; ! = breakdown, median > {BREAKDOWN:g})",
           "", table(head, rows), "",
           "Breakdowns (fits with RMSE > 1) over all cells and seeds, and each method's "
           "total fit time in this table:", "",
           table(["method", "breakdowns", "total fit time"], brow)]
    if flags:
        frows = []
        for key in cells:
            if key in flags:
                f = np.array(flags[key])
                fo = np.nanmedian(f[:, 0]) if not np.all(np.isnan(f[:, 0])) else np.nan
                frows.append([f"{key[0]:g}", f"{key[1]:g}", key[2],
                              "-" if np.isnan(fo) else f"{fo:.3f}", f"{np.median(f[:, 1]):.3f}"])
        out += ["", "qorv robust's inlier_mask_ (median over seeds): share of the moved points "
                "flagged as outliers, share of the clean points kept as inliers:", "",
                table(["n", "p", "sides", "moved flagged", "clean kept"], frows)]
    if have_robust:
        out += ["", "Cells where qorv robust is more than 1.1 x the best peer: "
                + ("; ".join(over) if over else "none") + "."]
    return "\n".join(out), over


# -------------------------------------------------------------- real data
def real_sets():
    """(name, x, y, degree): one input, shipped inside the installed packages."""
    from sklearn.datasets import load_diabetes
    st = sm.datasets.stackloss.load_pandas().data
    yield "stackloss (loss ~ air flow)", st["AIRFLOW"].to_numpy(float), \
        st["STACKLOSS"].to_numpy(float), 1
    engel = sm.datasets.engel.load_pandas().data
    yield "engel (food ~ income)", engel["income"].to_numpy(float), \
        engel["foodexp"].to_numpy(float), 2
    d = load_diabetes()
    yield "diabetes (progression ~ bmi)", d.data[:, 2].astype(float), d.target.astype(float), 2
    co2 = sm.datasets.co2.load_pandas().data.dropna()
    t = co2.index.year + (co2.index.day_of_year - 1) / 365.25
    yield "co2 (ppm ~ year)", np.asarray(t, float), co2["co2"].to_numpy(float), 3


def real_data(quick, have_robust):
    seeds = range(2) if quick else range(5)
    rows, names, over = [], None, []
    for name, x, y, degree in real_sets():
        log(f"real data {name}")
        ms = methods(have_robust, degree)
        names = list(ms)
        peers = [m for m in PEERS if m in ms]
        ref = _on_basis(_lstsq)(x, y, degree)(x)
        sd = float(np.std(y))
        for share in (0.1, 0.2):
            errs = {m: [] for m in ms}
            for seed in seeds:
                rng = np.random.default_rng([len(y), int(share * 100), seed])
                bad = np.zeros(len(y), bool)
                bad[rng.choice(len(y), max(1, int(round(share * len(y)))), replace=False)] = True
                yy = y.copy()
                yy[bad] += rng.uniform(3.0, 10.0, bad.sum()) * sd
                for m, fit in ms.items():
                    try:
                        pred = quiet(fit, x, yy)(x[~bad])
                        errs[m].append(float(np.sqrt(np.mean((pred - ref[~bad]) ** 2)) / sd))
                    except Exception as e:
                        log(f"  {m} failed: {type(e).__name__}: {e}")
                        errs[m].append(np.inf)
            med = {m: statistics.median(v) for m, v in errs.items()}
            row = [name, str(len(y)), str(degree), f"{share:g}"]
            row += [f"{med[m]:.3f}" for m in names]
            if have_robust:
                best = min(peers, key=lambda m: med[m])
                ratio = med["qorv robust"] / max(med[best], 1e-12)
                row += [f"{ratio:.2f}", best]
                if ratio > 1.1:
                    over.append(f"{name}, {share:g}: {ratio:.2f} x {best}")
            rows.append(row)
    head = ["data set", "n", "degree", "outliers"] + names
    head += ["robust / best peer", "best peer"] if have_robust else []
    return "\n".join([
        f"### Real data: predictions on the clean points against least squares on the clean "
        f"data, RMSE / sd(y) (median over {len(seeds)} seeds; outliers +3..+10 sd(y))",
        "", table(head, rows)]
        + (["", "Where qorv robust is more than 1.1 x the best peer: "
            + ("; ".join(over) if over else "none") + "."] if have_robust else []))


# ---------------------------------------------------------- degree choice
# Truths of several degrees on x in [-3, 5], same noise and outliers as above.
DEGREE_TRUTHS = {1: [1.0, 0.5], 3: list(TRUE_COEF), 5: [1.0, 0.5, -0.3, 0.05, 0.02, -0.004]}


def degree_choice(quick):
    """degree="auto" with solver="robust" against the true degree's robust fit
    and least squares' own choice, on contaminated data."""
    seeds = range(2) if quick else range(5)
    rows = []
    for d, coef in DEGREE_TRUTHS.items():
        for p, side in ((0.0, "-"), (0.2, "one"), (0.2, "two"), (0.4, "one")):
            log(f"degree choice d={d} p={p} {side}")
            got = {"robust auto": [], "robust true degree": [], "lstsq auto": []}
            chosen, chosen_ls = [], []
            for seed in seeds:
                rng = np.random.default_rng([d, int(p * 100), side == "two", seed])
                x = rng.uniform(LO, HI, 1000)
                y = npoly.polyval(x, coef) + rng.normal(0.0, NOISE, len(x))
                bad = rng.random(len(x)) < p
                shift = rng.uniform(5.0, 30.0, bad.sum())
                y[bad] += shift * (rng.choice([-1.0, 1.0], bad.sum()) if side == "two" else 1.0)
                fits = {"robust auto": dict(solver="robust"),
                        "robust true degree": dict(solver="robust", degree=d),
                        "lstsq auto": dict(solver="lstsq")}
                for name, kw in fits.items():
                    m = quiet(qorv.PolynomialRegressor(**kw).fit, x[:, None], y)
                    err = m.predict(GRID[:, None]) - npoly.polyval(GRID, coef)
                    got[name].append(float(np.sqrt(np.mean(err ** 2))))
                    if name == "robust auto":
                        chosen.append(m.degree_)
                    elif name == "lstsq auto":
                        chosen_ls.append(m.degree_)
            med = {k: statistics.median(v) for k, v in got.items()}
            rows.append([str(d), f"{p:g}", side, " ".join(map(str, chosen)),
                         f"{med['robust auto']:.3g}", f"{med['robust true degree']:.3g}",
                         f"{med['robust auto'] / med['robust true degree']:.2f}",
                         " ".join(map(str, chosen_ls)), f"{med['lstsq auto']:.3g}"])
    head = ["true degree", "p", "sides", "robust auto: degrees chosen", "robust auto RMSE",
            "robust, true degree", "auto / true", "lstsq auto: degrees chosen",
            "lstsq auto RMSE"]
    return "\n".join([
        "### Degree choice under outliers: degree=\"auto\" (cross-validation of the rows "
        "as a robust fit weighs them), n = 1000, clean-curve RMSE (median over "
        f"{len(seeds)} seeds)", "", table(head, rows)])


# ------------------------------------------------------------------ speed
SPEED = ["qorv robust", "qorv robust auto", "RLM Tukey", "MM", "sk Huber"]


def speed(quick, have_robust):
    ns = [1000, 10_000, 100_000] if quick else [1000, 10_000, 100_000, 1_000_000]
    rows, bench_rows = [], []
    for n in ns:
        log(f"speed n={n}")
        x, y, _ = synthetic(n, 0.2, "one", 0)
        B = Mapped(x, DEGREE)
        X = B(x)
        fs = {}
        if have_robust:
            fs["qorv robust"] = lambda: quiet(
                qorv.PolynomialRegressor(degree=DEGREE, solver="robust").fit, x[:, None], y)
            fs["qorv robust auto"] = lambda: quiet(
                qorv.PolynomialRegressor(solver="robust").fit, x[:, None], y)
        fs["RLM Tukey"] = lambda: quiet(_rlm(sm.robust.norms.TukeyBiweight), X, y)
        if RLMDetSMM is not None and n <= MM_MAX_N:
            fs["MM"] = lambda: quiet(_mm, X, y)
        fs["sk Huber"] = lambda: quiet(_sk_huber, X, y)
        first = {k: probe(f) for k, f in fs.items()}  # also the warm-up
        budget = 3.0 if quick else 20.0
        reps = int(min(21, max(3, budget / sum(first.values()))))
        if n >= 1_000_000:
            reps = 3
        # Every method runs in every round; the quick ones several times per
        # round (interleaved) when a slow one (MM) keeps the rounds few.
        inner = {k: 1 if v > 0.2 * sum(first.values()) else -(-15 // reps)
                 for k, v in first.items()}
        t = {k: [] for k in fs}
        for _ in range(reps):
            for i in range(max(inner.values())):
                for k, f in fs.items():
                    if i < inner[k]:
                        t[k].append(probe(f))
        med = {k: statistics.median(v) for k, v in t.items()}
        row = [f"{n:g}", " / ".join(str(len(t[k])) if k in t else "-" for k in SPEED)]
        for k in SPEED:
            row.append(fmt_time(med.get(k)) if k in med else "-")
        if have_robust:
            q = med["qorv robust"]
            row += [f"{q / med['RLM Tukey']:.2f}", f"{q / med['sk Huber']:.2f}",
                    f"{q / med['MM']:.3f}" if "MM" in med else "-",
                    f"{med['qorv robust auto'] / q:.2f}"]
            bench_rows.append(dict(entry="fit(solver='robust')", peer="RLM Tukey",
                                   sizes=f"n={n:g}, degree=3", ours_s=q,
                                   peer_s=med["RLM Tukey"], check="clean-curve RMSE"))
        rows.append(row)
    head = ["n", "timed fits (" + " / ".join(SPEED) + ")"] + SPEED
    head += ["qorv / RLM Tukey", "qorv / sk Huber", "qorv / MM",
             "auto degree / degree 3"] if have_robust else []
    return "\n".join([
        f"### Speed: median fit time, paired repeats in one run (20 % one-sided outliers, "
        f"degree 3; MM up to n = {MM_MAX_N:g})", "", table(head, rows)]), bench_rows


def run(quick):
    """Rows in bench/run.py's format: the robust fit's time against RLM Tukey."""
    return speed(quick, robust_available())[1]


def main():
    quick = "--quick" in sys.argv
    t0 = time.perf_counter()
    have_robust = robust_available()
    log("solver='robust': " + ("available" if have_robust else "refused; its column is left out"))
    acc, _ = accuracy(quick, have_robust)
    real = real_data(quick, have_robust)
    choice = degree_choice(quick) if have_robust else ""
    spd, _ = speed(quick, have_robust)
    wall = time.perf_counter() - t0
    import sklearn
    import statsmodels
    head = "\n".join([
        "## Robust fits: qorv against statsmodels and scikit-learn",
        "",
        f"Machine: {machine()}" + ("; quick mode" if quick else "")
        + f". numpy {np.__version__}, statsmodels {statsmodels.__version__}, "
        f"scikit-learn {sklearn.__version__}; qorv from {Path(qorv.__file__).parent}. "
        f"Run time {wall:.0f} s.",
        "" if have_robust else "\nsolver=\"robust\" is refused by this qorv: its column is "
        "left out.\n",
        "Peers on the same mapped power basis (fit_intercept=False). MM: statsmodels "
        "RLMDetSMM (defaults: Tukey biweight, 95 % efficiency, S start; where the start's "
        "covariance is singular, col_indices=[1], x alone). TheilSen with "
        f"max_subpopulation={THEILSEN_SUBPOP}. RANSAC: LinearRegression(fit_intercept=False),"
        " default threshold (MAD of y). sk Huber: max_iter=1000. "
        "Best peer: the best of RLM Huber, RLM Tukey, MM, sk Huber, RANSAC, TheilSen.",
    ])
    text = "\n\n".join([head, acc, real, choice, spd]) + "\n"
    print(text)
    out = HERE / "results"
    out.mkdir(exist_ok=True)
    (out / "robust.md").write_text(text)
    log(f"wrote {out / 'robust.md'} ({wall:.0f} s)")


if __name__ == "__main__":
    main()
