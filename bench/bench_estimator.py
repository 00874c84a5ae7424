"""qorv.PolynomialRegressor against what a user would write instead.

degree="auto" (0..10, default criterion) vs a numpy.polynomial.Polynomial.fit
                 loop scored by generalised cross-validation, and vs
                 GridSearchCV(Pipeline(MinMaxScaler, PolynomialFeatures,
                 LinearRegression)) over the degree on the same 5-fold split
fit(degree=10)  vs the bare core calls it makes (design_matrix_1d, ols,
                 mdl_score) on the mapped x: the layer's own overhead

Run alone: python3 bench/bench_estimator.py [--quick]
"""
import statistics
import sys
import warnings

import numpy as np
from sklearn.linear_model import LinearRegression
from sklearn.model_selection import GridSearchCV
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import MinMaxScaler, PolynomialFeatures

import qorv
import qorv_core as q
from qorv._stats import fold_ids
from timing import alternate, probe

DEGREES = range(11)


def _data(n, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(1950.0, 2020.0, n)
    y = np.polynomial.Legendre([1.0, -0.8, 0.6, 0.9, -0.5, 0.7], domain=[1950, 2020])(x)
    return x, y + rng.normal(0.0, 0.05, n)


def _numpy_loop(x, y):
    best, best_score = 0, np.inf
    n = len(y)
    for d in DEGREES:
        p = np.polynomial.Polynomial.fit(x, y, d)
        gcv = n * float(np.sum((p(x) - y) ** 2)) / (n - d - 1) ** 2
        if gcv < best_score:
            best, best_score = d, gcv
    return best


def _grid(x, y):
    folds = fold_ids(0, len(y), 5, 0)  # the estimator's own split (random_state=0)
    splits = [(np.flatnonzero(folds != f), np.flatnonzero(folds == f)) for f in range(5)]
    pipe = make_pipeline(MinMaxScaler((-1, 1)), PolynomialFeatures(), LinearRegression())
    g = GridSearchCV(pipe, {"polynomialfeatures__degree": list(DEGREES)}, cv=splits,
                     scoring="neg_mean_squared_error", refit=True)
    return g.fit(x[:, None], y).best_params_["polynomialfeatures__degree"]


def _ours(x, y):
    return qorv.PolynomialRegressor(max_degree=10).fit(x[:, None], y)


def _paired(f, g, repeats):
    """Medians of alternate calls (no warm-up for slow peers)."""
    a, b = [], []
    for _ in range(repeats):
        a.append(probe(f))
        b.append(probe(g))
    return statistics.median(a), statistics.median(b)


def run(quick=False):
    rows = []
    sizes = [1000, 100_000] if quick else [1000, 100_000, 1_000_000]
    for n in sizes:
        x, y = _data(n)
        m, d_np, d_grid = _ours(x, y), _numpy_loop(x, y), _grid(x, y)
        d_ours, d_min = m.degree_, int(np.argmin(m.criterion_scores_))
        reps = 15 if n <= 1000 else (5 if n <= 100_000 else 3)
        t_o, t_p = alternate(lambda: _ours(x, y), lambda: _numpy_loop(x, y), reps)
        rows.append({"entry": 'PolynomialRegressor(degree="auto")',
                     "peer": "Polynomial.fit loop + GCV", "sizes": f"n={n:.0e} degrees 0..10",
                     "ours_s": t_o, "peer_s": t_p,
                     "check": f"degree {d_ours} vs {d_np}"})
        t_o, t_g = _paired(lambda: _ours(x, y), lambda: _grid(x, y),
                           reps if n < 1_000_000 else 1)
        rows.append({"entry": 'PolynomialRegressor(degree="auto")',
                     "peer": "GridSearchCV(scaler, PolynomialFeatures, LinearRegression)",
                     "sizes": f"n={n:.0e} degrees 0..10, same 5 folds",
                     "ours_s": t_o, "peer_s": t_g,
                     "check": f"degree {d_ours} (lowest CV error: {d_min}) vs {d_grid}"})

    n = 100_000
    x, y = _data(n, 1)
    X = x[:, None]
    lo, hi = x.min(), x.max()

    def bare():
        z = (x - (lo + hi) / 2) / ((hi - lo) / 2)
        P = q.design_matrix_1d(10, z)
        b = q.ols(P, y)
        return b, q.mdl_score(P @ b, y, 11)

    def layer():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return qorv.PolynomialRegressor(degree=10).fit(X, y)

    t_l, t_b = alternate(layer, bare, 9 if quick else 41)
    d = float(np.max(np.abs(layer().coef_ - bare()[0])))
    rows.append({"entry": "PolynomialRegressor(degree=10).fit", "peer": "bare core calls",
                 "sizes": f"n={n:.0e}", "ours_s": t_l, "peer_s": t_b,
                 "check": f"same coefficients, max diff {d:.1e}"})
    return rows


if __name__ == "__main__":
    for r in run("--quick" in sys.argv):
        print(r["entry"], "|", r["peer"], "|", r["sizes"], "|",
              f"{r['ours_s']:.4g} s vs {r['peer_s']:.4g} s, ratio {r['ours_s'] / r['peer_s']:.3f}",
              "|", r["check"])
