"""Calls from many Python threads at once give the same bits as calls from
one thread."""
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import qorv_core as q


def workload(seed):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1, 1, 300)
    X = q.design_matrix_1d(3, x)
    y = X @ [0.5, -1.0, 0.0, 2.0] + 0.01 * rng.standard_normal(300)
    R1, R2 = q.smoothness_penalty_matrices_1d(3, -1.0, 1.0)
    P1, P2, mi = q.build_penalty_matrices_nd([2, 2], [(0.0, 1.0), (-1.0, 1.0)])
    fit = q.TournamentMCMC(n_chains=4, n_warmup=50, n_deep=100, seed=seed).fit(
        X, y, R1, R2, 1e-4, 1e-4)
    return [
        q.ols(X, y), q.fit_regularized_linear(X, y, R1, R2, 1e-3, 1e-3), R1, R2, P1, P2,
        q.design_matrix_nd(mi, [x, x[::-1]]), q.boundary_reduce_1d(5, -1.0, 2.0),
        np.array([q.mad(y), q.mdl_score(X @ fit.beta_mcmc, y, 4), fit.energy,
                  q.gibbs_entropy(y).H]),
        fit.beta_mcmc,
    ]


def test_concurrent_calls_match_serial_calls():
    seeds = list(range(16))
    serial = [workload(s) for s in seeds]
    with ThreadPoolExecutor(max_workers=8) as pool:
        concurrent = list(pool.map(workload, seeds * 2))
    for s, got in zip(seeds * 2, concurrent):
        for a, b in zip(got, serial[s]):
            assert np.array_equal(a, b)
