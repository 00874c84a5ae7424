"""
Weighted fits for uneven noise
==============================

When the noise grows along ``x``, weighting each point by ``1 / sigma**2``
lets the precise points count for more. ``sample_weight`` scales each row of
the least-squares fit by the square root of its weight, so an integer weight
acts as that many copies of the row and a zero weight drops it; the degree
choice uses the same weights.
"""

import matplotlib.pyplot as plt
import numpy as np

from qorv import PolynomialRegressor

rng = np.random.default_rng(3)
x = np.sort(rng.uniform(0.0, 10.0, 300))
sigma = 0.02 + 0.5 * (x / 10.0) ** 2  # the noise's standard deviation


def truth(x):
    return 2.0 + np.sin(x / 1.5)


y = truth(x) + rng.normal(0.0, sigma)
X = x[:, None]

plain = PolynomialRegressor().fit(X, y)
weighted = PolynomialRegressor().fit(X, y, sample_weight=1.0 / sigma**2)

xs = np.linspace(0.0, 10.0, 400)[:, None]
for name, m in [("unweighted", plain), ("weighted", weighted)]:
    err = np.sqrt(np.mean((m.predict(xs) - truth(xs[:, 0])) ** 2))
    print(f"{name:>10}: degree {m.degree_}, RMS error against the truth {err:.4f}")

# %%
# Integer weights are repeated rows: weight 2 on the first ten points gives
# the same coefficients as listing those points twice.

w = np.ones(len(x))
w[:10] = 2.0
a = PolynomialRegressor(degree=4).fit(X, y, sample_weight=w)
b = PolynomialRegressor(degree=4).fit(np.vstack([X, X[:10]]), np.r_[y, y[:10]])
print("largest coefficient difference:", float(np.max(np.abs(a.coef_ - b.coef_))))

# %%

fig, ax = plt.subplots(figsize=(7, 4))
ax.errorbar(x, y, yerr=sigma, fmt=".", color="0.6", ms=3, lw=0.5, label="data, one sigma")
ax.plot(xs[:, 0], truth(xs[:, 0]), "k--", lw=1, label="truth")
ax.plot(xs[:, 0], plain.predict(xs), lw=2, label=f"unweighted, degree {plain.degree_}")
ax.plot(xs[:, 0], weighted.predict(xs), lw=2,
        label=f"weighted 1/sigma^2, degree {weighted.degree_}")
ax.set_xlabel("x")
ax.set_ylabel("y")
ax.legend(fontsize=8)
fig.tight_layout()
plt.show()
