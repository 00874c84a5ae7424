"""qorv.dask at scale, on a local cluster of one worker process per core.

Tall fit: rows generated chunk by chunk on the workers (never held in one
process), fitted at degree 3 by least squares; reported are the time, rows
per second, the peak resident memory of each worker at two row counts (it
should not grow with the rows), the fit's throughput against the summed
single-core rate of the same per-chunk work (design + factor) done in one
process, and a single-process NumPy lstsq on as many rows as it holds.

Many fits: fit_many over groups of 1,000 rows against a plain loop of the
in-memory estimator.

    python3 bench/bench_dask.py [--quick]      (full: 2e8 rows, 10,000 groups)
"""
import os
import resource
import sys
import time

import numpy as np

import dask
import dask.array as da
from distributed import Client

import qorv
import qorv.dask as qd

CHUNK = 2_000_000


def _rows(start, n, seed=11):
    rng = np.random.default_rng([seed, start])
    x = rng.uniform(0.0, 10.0, n)
    y = 1.0 + 0.5 * x - 0.05 * x ** 2 + 0.002 * x ** 3 + rng.normal(0.0, 0.1, n)
    return x[:, None], y


def _tall(n_rows):
    starts = range(0, n_rows, CHUNK)
    blocks = [dask.delayed(_rows)(s, min(CHUNK, n_rows - s)) for s in starts]
    lens = [min(CHUNK, n_rows - s) for s in starts]
    X = da.concatenate([da.from_delayed(b[0], (m, 1), dtype=float) for b, m in zip(blocks, lens)])
    y = da.concatenate([da.from_delayed(b[1], (m,), dtype=float) for b, m in zip(blocks, lens)])
    return X, y


def _peak_rss_mib(client):
    return client.run(lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024)


def tall(client, n_rows):
    X, y = _tall(n_rows)
    client.restart()  # fresh workers: peak memory of this fit alone
    t = time.perf_counter()
    m = qd.fit(X, y, client=client, degree=3)
    seconds = time.perf_counter() - t
    return m, seconds, max(_peak_rss_mib(client).values())


def chunk_rate(n_chunks=4):
    """Rows per second of the fit's per-chunk work on one core in this
    process: the same passes the fit makes (summary, factors with the first
    histogram of the exact spread, two selection passes and one more
    histogram for it, hits), each generating its rows again as the workers
    do."""
    from qorv._basis import total_powers

    from qorv._stats import Basis

    basis = Basis(np.array([5.0]), np.array([5.0]), total_powers(1, 3))
    edges = np.linspace(0.0, 4.0, qd._HIST_BINS + 1)
    passes = [
        lambda x, y, w: qd._chunk_summary(x, y, w, 0),
        lambda x, y, w: qd._chunk_factors(x, y, w, 0, basis, 0, 0, edges),
        lambda x, y, w: y[(y >= 1.0) & (y <= 1.001)].copy(),
        lambda x, y, w: qd._bin_counts(np.abs(y - 1.0), edges),
        lambda x, y, w: y[np.abs(y - 1.0) <= 0.001].copy(),
        lambda x, y, w: qd._chunk_hits(x, y, w, 0, basis, np.ones((4, 1)), 0.0, 0.1),
    ]
    t = time.perf_counter()
    for run in passes:
        for i in range(n_chunks):
            x, y = _rows(i * CHUNK, CHUNK)
            run(x, y, np.ones(CHUNK))
    return n_chunks * CHUNK / (time.perf_counter() - t)


def numpy_lstsq_rate(n=20_000_000):
    x, y = _rows(0, n)
    t = time.perf_counter()
    np.linalg.lstsq(np.vander(x[:, 0], 4, increasing=True), y, rcond=None)
    return n / (time.perf_counter() - t)


def many(client, n_groups):
    rng = np.random.default_rng(3)
    groups = {}
    for g in range(n_groups):
        x = rng.uniform(-1, 1, 1000)
        groups[g] = (x[:, None], np.polyval(rng.normal(size=4), x) + 0.1 * rng.normal(size=1000))
    params = dict(degree="auto", max_degree=6)
    qd.fit_many(dict(list(groups.items())[:50]), client=client, **params)  # workers warm
    t = time.perf_counter()
    out = qd.fit_many(groups, client=client, **params)
    t_many = time.perf_counter() - t
    t = time.perf_counter()
    for key, (X, y) in groups.items():
        qorv.PolynomialRegressor(**params, random_state=qd._group_seed(0, key)).fit(X, y)
    t_loop = time.perf_counter() - t
    assert sum(isinstance(v, qorv.PolynomialRegressor) for v in out.values()) == n_groups
    return t_many, t_loop


def main():
    quick = "--quick" in sys.argv
    big = 20_000_000 if quick else 200_000_000
    n_groups = 1000 if quick else 10_000
    cores = os.cpu_count() or 1
    with qd._local_cluster(cores) as cluster, Client(cluster) as client:
        _, s_small, rss_small = tall(client, big // 10)
        m, s_big, rss_big = tall(client, big)
        rate = chunk_rate()
        print(f"tall fit, {big:.0e} rows in {big // CHUNK} chunks of {CHUNK:.0e}: {s_big:.1f} s, "
              f"{big / s_big:.3g} rows/s (degree {m.degree_}, coef {np.round(m.coef_, 4)})")
        print(f"  the same per-chunk work (all its passes) on one core: {rate:.3g} rows/s; "
              f"the fit reaches {big / s_big / (cores * rate):.0%} of {cores} cores' summed rate")
        print(f"  peak worker memory: {rss_small:.0f} MiB at {big // 10:.0e} rows "
              f"({s_small:.1f} s), {rss_big:.0f} MiB at {big:.0e} rows")
        print(f"  single-process numpy lstsq (degree 3, 2e7 rows in memory): "
              f"{numpy_lstsq_rate():.3g} rows/s")
        t_many, t_loop = many(client, n_groups)
        print(f"fit_many, {n_groups} groups of 1000 rows: {t_many:.1f} s; plain loop "
              f"{t_loop:.1f} s; {t_loop / t_many:.2f}x")


if __name__ == "__main__":
    main()
