"""
Tall data with ``qorv.dask``
============================

:func:`qorv.dask.fit` fits one :class:`qorv.PolynomialRegressor` to data
given as dask arrays chunked by rows: each chunk reduces its own rows to a
small triangular factor, and only those factors are combined. The result is
the model the in-memory fit would give for the same rows.

This example runs on a small in-process cluster (two worker threads) so that
it starts at once; with ``client=None`` the call would start, and close, a
cluster of one worker process per core instead, and a scheduler address or
a ``distributed.Client`` uses an existing cluster.
"""

import dask.array as da
import matplotlib.pyplot as plt
import numpy as np
from distributed import Client, LocalCluster

import qorv.dask as qd
from qorv import PolynomialRegressor

# %%
# Four hundred thousand rows in eight chunks, drawn chunk by chunk by dask's
# seeded generator.

n = 400_000
x = da.random.default_rng(42).uniform(0.0, 10.0, n, chunks=50_000)
noise = da.random.default_rng(43).normal(0.0, 0.5, n, chunks=50_000)
y = 1.0 + 0.3 * x - 0.05 * x**2 + noise
X = x[:, None]

with LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                  dashboard_address=":0") as cluster, Client(cluster) as client:
    model = qd.fit(X, y, max_degree=6, client=client)
    print(f"degree {model.degree_}, coefficients of the mapped x {model.coef_}")
    # predict takes a dask array too, and returns one, chunk by chunk
    print("first predictions:", model.predict(X[:3]).compute())

# %%
# The same rows in memory give the same model (the folds of ``"cv"`` follow
# the row position and the seed, so they are the same folds).

xm, ym = x.compute(), y.compute()
in_memory = PolynomialRegressor(max_degree=6).fit(xm[:, None], ym)
print("same degree:", in_memory.degree_ == model.degree_)
print("largest difference of the predictions:",
      float(np.max(np.abs(in_memory.predict(xm[:1000, None])
                          - model.predict(xm[:1000, None])))))

# %%

xs = np.linspace(0.0, 10.0, 200)[:, None]
fig, ax = plt.subplots(figsize=(7, 4))
ax.plot(xm[:3000], ym[:3000], ".", color="0.6", ms=2, label="3,000 of the rows")
ax.plot(xs[:, 0], model.predict(xs), lw=2, label=f"qorv.dask.fit, degree {model.degree_}")
ax.set_xlabel("x")
ax.set_ylabel("y")
ax.legend()
fig.tight_layout()
plt.show()
