"""Which criterion of gamma="auto" chooses best on real data?

    python3 bench/gamma.py [--markdown]

For each real data set of bench/criteria.py, and two where the basis has
many terms for its rows (Grunfeld's investment on firm value and capital,
the breast-cancer tumours' area on radius), a degree-10 fit with a
curvature penalty: the 5-fold cross-validated RMSE (a shuffled split of its
own) of gamma="auto" under each criterion, divided by that of the best
fixed gamma of the estimator's own grid (every other point of its 49).
1.00 is the best possible.
"""
import sys
import warnings

import numpy as np
from sklearn.model_selection import KFold

import qorv
from criteria import datasets

CRITERIA = ["reml", "gcv", "cv"]
DEGREE = 10


def more_datasets():
    import statsmodels.api as sm
    from sklearn.datasets import load_breast_cancer
    g = sm.datasets.grunfeld.load_pandas().data
    yield "grunfeld (invest ~ value, capital)", g[["value", "capital"]].to_numpy(float), \
        g["invest"].to_numpy(float)
    bc = load_breast_cancer()
    yield "breast cancer (area ~ radius)", bc.data[:, [0]], bc.data[:, 3]


def cv_rmse(X, y, **kw):
    sse = 0.0
    for tr, te in KFold(5, shuffle=True, random_state=12345).split(X):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            m = qorv.PolynomialRegressor(degree=DEGREE, penalty="curvature", **kw).fit(
                X[tr], y[tr])
        sse += float(np.sum((m.predict(X[te]) - y[te]) ** 2))
    return np.sqrt(sse / len(y))


def main():
    rows, ratios = [], {c: [] for c in CRITERIA}
    for name, X, y in [*datasets(), *more_datasets()]:
        # the fixed gammas: every other point of the estimator's own grid on all
        # rows (it scales with the design and the penalty, in x's units)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            grid = qorv.PolynomialRegressor(degree=DEGREE, penalty="curvature").fit(
                X, y).gamma_scores_[::2, 0]
        fixed = [cv_rmse(X, y, gamma=float(g)) for g in grid]
        best = int(np.argmin(fixed))
        cells = [name, str(len(y)), f"{grid[best]:.3g}: {fixed[best]:.4g}"]
        for c in CRITERIA:
            r = cv_rmse(X, y, gamma_criterion=c) / fixed[best]
            ratios[c].append(r)
            cells.append(f"{r:.3f}")
        rows.append(cells)
        print(" | ".join(cells), file=sys.stderr, flush=True)
    rows.append(["worst", "", ""] + [f"{max(ratios[c]):.3f}" for c in CRITERIA])
    head = ["data set", "n", "best fixed gamma: CV RMSE"] + [f"{c}: CV RMSE / best fixed"
                                                              for c in CRITERIA]
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for r in rows:
        print("| " + " | ".join(r) + " |")


if __name__ == "__main__":
    main()
