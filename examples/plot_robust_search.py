"""
Robust fits: ``solver="robust"`` and ``solver="search"``
========================================================

Least squares lets every point pull on the fit in proportion to its squared
error, so a few gross outliers drag it away from the rest. ``solver="search"``
minimises the description-length score instead: the number of points fitted
within a tolerance, plus a cost per coefficient. A point far off costs no
more than one just outside the tolerance, so the outliers stop mattering.
``solver="robust"`` starts from the search and refines its fit by
bisquare-reweighted least squares, which is as accurate as least squares on
the clean points.
"""

import matplotlib.pyplot as plt
import numpy as np

from qorv import PolynomialRegressor

rng = np.random.default_rng(11)
n = 200
x = np.sort(rng.uniform(-1.0, 1.0, n))


def truth(x):
    return 1.0 + 0.5 * x - 2.0 * x**3


y = truth(x) + rng.normal(0.0, 0.05, n)
bad = rng.random(n) < 0.2  # a fifth of the points are gross outliers
y[bad] += rng.choice([-1.0, 1.0], bad.sum()) * rng.uniform(2.0, 6.0, bad.sum())
X = x[:, None]

# %%
# The same cubic basis, fitted both ways. The search is seeded by
# ``random_state`` (default 0) and gives the same result whatever the number
# of threads.

lstsq = PolynomialRegressor(degree=3).fit(X, y)
search = PolynomialRegressor(degree=3, solver="search").fit(X, y)
robust = PolynomialRegressor(degree=3, solver="robust").fit(X, y)
print(f"robust: scale {robust.scale_:.4f}, {np.mean(~robust.inlier_mask_):.0%} of "
      f"the points set aside ({np.mean(bad):.0%} were made outliers)")

good = ~bad
for name, m in [("least squares", lstsq), ("search", search), ("robust", robust)]:
    rmse = np.sqrt(np.mean((m.predict(X[good]) - y[good]) ** 2))
    print(f"{name:>13}: RMSE on the clean points {rmse:.4f}, "
          f"description-length score {m.mdl_score_:.2f}")

# %%
# The search starts from the least-squares solution and keeps its own
# result only when its score is lower; on data without outliers it usually
# is not, and the estimator then warns with :class:`qorv.SearchWarning` and
# keeps least squares.

xs = np.linspace(-1.0, 1.0, 400)[:, None]
fig, ax = plt.subplots(figsize=(7, 4))
ax.plot(x[good], y[good], ".", color="0.5", ms=4, label="data")
ax.plot(x[bad], y[bad], "x", color="C3", ms=4, label="gross outliers")
ax.plot(xs[:, 0], truth(xs[:, 0]), "k--", lw=1, label="truth")
ax.plot(xs[:, 0], lstsq.predict(xs), lw=2, label='solver="lstsq"')
ax.plot(xs[:, 0], search.predict(xs), lw=2, label='solver="search"')
ax.plot(xs[:, 0], robust.predict(xs), lw=2, label='solver="robust"')
ax.set_xlabel("x")
ax.set_ylabel("y")
ax.legend(fontsize=8, ncol=2)
fig.tight_layout()
plt.show()
