"""
Choosing the degree automatically
=================================

``PolynomialRegressor()`` with its defaults tries every degree from 0 to
``max_degree`` (10) and keeps the one that 5-fold cross-validation prefers,
by the one-standard-error rule: the *smallest* degree whose cross-validated
RMSE is within one standard error of the lowest. Here the data are a damped
cosine, which no polynomial fits exactly, so the criteria have to trade the
fit against the size of the model.
"""

import matplotlib.pyplot as plt
import numpy as np

from qorv import PolynomialRegressor

rng = np.random.default_rng(7)
x = np.sort(rng.uniform(0.0, 4.0, 150))


def truth(x):
    return np.exp(-0.5 * x) * np.cos(2.0 * x)


y = truth(x) + rng.normal(0.0, 0.05, x.size)
X = x[:, None]

# %%
# Fit with the default criterion, ``"cv"``, and with the three others.
# ``criterion_scores_`` holds every degree's score (lower is better).

models = {c: PolynomialRegressor(criterion=c).fit(X, y)
          for c in ("cv", "gcv", "bic", "mdl")}
for name, m in models.items():
    lowest = int(np.argmin(m.criterion_scores_))
    print(f"{name:>4}: degree {m.degree_}  (lowest score at degree {lowest})")

# %%
# With ``"cv"`` the lowest cross-validated RMSE is at degree 7, but degree 5
# is within one standard error of it, so the smaller model is kept. The
# left panel shows the cross-validated RMSE of each degree; the right one
# the data, the truth and the chosen fit.

cv = models["cv"]
degrees = np.arange(cv.criterion_scores_.size)
xs = np.linspace(0.0, 4.0, 400)[:, None]

fig, (a, b) = plt.subplots(1, 2, figsize=(10, 4))
a.plot(degrees, cv.criterion_scores_, "o-")
a.plot([cv.degree_], [cv.criterion_scores_[cv.degree_]], "o", ms=12, mfc="none",
       color="C3", label=f"chosen: degree {cv.degree_}")
a.set_yscale("log")
a.set_xlabel("degree")
a.set_ylabel("5-fold cross-validated RMSE")
a.legend()
b.plot(x, y, ".", color="0.6", ms=4, label="data")
b.plot(xs[:, 0], truth(xs[:, 0]), "k--", lw=1, label="truth")
b.plot(xs[:, 0], cv.predict(xs), lw=2, label=f"fit, degree {cv.degree_}")
b.set_xlabel("x")
b.set_ylabel("y")
b.legend()
fig.tight_layout()
plt.show()

# %%
# ``max_degree`` bounds the search (and the basis it builds); a degree
# whose basis has as many columns as the training rows is not tried.

small = PolynomialRegressor(max_degree=3).fit(X, y)
print("max_degree=3 chooses degree", small.degree_)
