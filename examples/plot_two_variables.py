"""
A fit in two variables
======================

``X`` with several columns gives a polynomial in several variables. The
default ``basis="total"`` holds every product of powers of total degree up
to ``degree`` (as scikit-learn's ``PolynomialFeatures`` builds it);
``basis="tensor"`` bounds each variable's power instead. Each variable is
mapped from its own range onto [-1, 1] first, so variables in different
units fit together.
"""

import matplotlib.pyplot as plt
import numpy as np

from qorv import PolynomialRegressor

rng = np.random.default_rng(5)
X = rng.uniform([0.0, -1.0], [2.0, 1.0], size=(500, 2))


def truth(u, v):
    return np.sin(u) * v + 0.3 * u**2 - v**2


z = truth(X[:, 0], X[:, 1]) + rng.normal(0.0, 0.05, len(X))

total = PolynomialRegressor(max_degree=8).fit(X, z)
tensor = PolynomialRegressor(basis="tensor", max_degree=8).fit(X, z)
for name, m in [("total", total), ("tensor", tensor)]:
    print(f"basis={name!r}: degree {m.degree_}, {len(m.coef_)} terms, "
          f"R^2 {m.score(X, z):.4f}")

# %%
# ``powers_`` names each coefficient's term: the power of each variable of
# the mapped variables (``domain_`` holds the ranges that were mapped).

print("domain_:", total.domain_.tolist())
for p, c in zip(total.powers_, total.coef_):
    print(f"  u'^{p[0]} v'^{p[1]}: {c:+.4f}")

# %%
# The fitted surface against the truth, on a grid over the domain.

u, v = np.meshgrid(np.linspace(0.0, 2.0, 80), np.linspace(-1.0, 1.0, 80))
fit = total.predict(np.column_stack([u.ravel(), v.ravel()])).reshape(u.shape)
fig, axes = plt.subplots(1, 3, figsize=(12, 3.6), sharey=True, constrained_layout=True)
levels = np.linspace(-1.6, 1.8, 18)
for ax, field, title in [(axes[0], truth(u, v), "truth"),
                         (axes[1], fit, f"fit, total degree {total.degree_}")]:
    cs = ax.contourf(u, v, field, levels=levels, cmap="viridis")
    ax.set_title(title)
    ax.set_xlabel("u")
fig.colorbar(cs, ax=axes[:2])
err = axes[2].contourf(u, v, fit - truth(u, v), levels=15, cmap="RdBu_r")
axes[2].plot(X[:, 0], X[:, 1], ".", color="k", ms=1)
axes[2].set_title("fit - truth, and the samples")
axes[2].set_xlabel("u")
axes[0].set_ylabel("v")
fig.colorbar(err, ax=axes[2])
plt.show()
