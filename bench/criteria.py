"""Which criterion of degree="auto" chooses best on real data?

    python3 bench/criteria.py [--markdown]

For each real data set shipped with statsmodels and scikit-learn (no
download), every criterion chooses a degree in 0..10; the chosen degree's
5-fold cross-validated RMSE (least squares on a split of its own, not the one
criterion="cv" uses) is divided by the best degree's. 1.00 is the best
possible; the README quotes this table.
"""
import sys
import warnings

import numpy as np
from sklearn.model_selection import KFold

import qorv

CRITERIA = ["cv", "gcv", "bic", "mdl"]
MAX_DEGREE = 10


def datasets():
    """(name, X, y) of one- and two-variable regressions."""
    import statsmodels.api as sm
    from sklearn.datasets import load_diabetes, load_iris

    co2 = sm.datasets.co2.load_pandas().data.dropna()
    t = co2.index.year + (co2.index.dayofyear - 1) / 365.25
    yield "co2 (ppm ~ year)", np.asarray(t, float)[:, None], co2["co2"].to_numpy(float)
    engel = sm.datasets.engel.load_pandas().data
    yield "engel (food ~ income)", engel[["income"]].to_numpy(float), \
        engel["foodexp"].to_numpy(float)
    sun = sm.datasets.sunspots.load_pandas().data
    yield "sunspots (activity ~ year)", sun[["YEAR"]].to_numpy(float), \
        sun["SUNACTIVITY"].to_numpy(float)
    nile = sm.datasets.nile.load_pandas().data
    yield "nile (volume ~ year)", nile[["year"]].to_numpy(float), \
        nile["volume"].to_numpy(float)
    macro = sm.datasets.macrodata.load_pandas().data
    yield "macrodata (unemp ~ infl, realint)", macro[["infl", "realint"]].to_numpy(float), \
        macro["unemp"].to_numpy(float)
    d = load_diabetes()
    bmi, s5 = d.data[:, 2], d.data[:, 8]
    yield "diabetes (progression ~ bmi)", bmi[:, None], d.target
    yield "diabetes (progression ~ bmi, s5)", np.c_[bmi, s5], d.target
    iris = load_iris()
    yield "iris (sepal length ~ petal length, width)", iris.data[:, 2:4], iris.data[:, 0]


def cv_rmse_by_degree(X, y, n_folds=5, seed=12345):
    """RMSE of each degree's least-squares fit over one shuffled k-fold split,
    with NumPy's lstsq on the estimator's own (mapped) basis."""
    out = []
    for deg in range(MAX_DEGREE + 1):
        sse = 0.0
        for tr, te in KFold(n_folds, shuffle=True, random_state=seed).split(X):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                m = qorv.PolynomialRegressor(degree=deg).fit(X[tr], y[tr])
                lo, hi = m.domain_[:, 0], m.domain_[:, 1]
                Z = lambda A: (A - (lo + hi) / 2) / ((hi - lo) / 2)  # noqa: E731
                P = m.powers_
                def basis(A):
                    return np.prod(Z(A)[:, None, :] ** P[None, :, :], axis=2)
                b = np.linalg.lstsq(basis(X[tr]), y[tr], rcond=None)[0]
            sse += float(np.sum((basis(X[te]) @ b - y[te]) ** 2))
        out.append(np.sqrt(sse / len(y)))
    return np.array(out)


def main():
    markdown = "--markdown" in sys.argv
    rows, ratios = [], {c: [] for c in CRITERIA}
    for name, X, y in datasets():
        rmse = cv_rmse_by_degree(X, y)
        best = int(np.argmin(rmse))
        cells = [name, str(len(y)), f"{best}"]
        for c in CRITERIA:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                deg = qorv.PolynomialRegressor(criterion=c, max_degree=MAX_DEGREE).fit(
                    X, y).degree_
            r = rmse[deg] / rmse[best]
            ratios[c].append(r)
            cells.append(f"{deg}: {r:.3f}")
        rows.append(cells)
    rows.append(["worst", "", ""] + [f"{max(ratios[c]):.3f}" for c in CRITERIA])
    rows.append(["mean", "", ""] + [f"{np.mean(ratios[c]):.3f}" for c in CRITERIA])
    head = ["data set", "n", "best degree"] + [f"{c}: degree, RMSE / best" for c in CRITERIA]
    if markdown:
        print("| " + " | ".join(head) + " |")
        print("|" + "---|" * len(head))
        for r in rows:
            print("| " + " | ".join(r) + " |")
    else:
        w = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
        for r in [head] + rows:
            print("  ".join(c.ljust(x) for c, x in zip(r, w)))


if __name__ == "__main__":
    main()
