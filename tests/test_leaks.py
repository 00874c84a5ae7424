"""Calling every entry many thousands of times, error paths included, keeps
resident memory flat."""
import json

import pytest

CHILD = """
import json, numpy as np, qorv_core as q

def rss_mb():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * 4096 / 2**20

rng = np.random.default_rng(0)
x = rng.standard_normal(200)
X = rng.standard_normal((200, 4))
R = np.eye(4)
mcmc = q.TournamentMCMC(n_chains=2, n_warmup=10, n_deep=10, n_elite=2)

def ok():
    q.mad(x); q.compute_sr(x, x, 0.1); q.mdl_score(x, x, 3)
    q.mdl_score_reg(x, x, 4, 20, x[:4], R, R, 0.1, 0.1)
    q.design_matrix_1d(5, x); q.smoothness_penalty_matrices_1d(4, -1.0, 1.0, 50)
    q.boundary_reduce_1d(4, -1.0, 1.0)
    q.design_matrix_nd([[1, 2], [0, 1]], [x, x])
    q.build_penalty_matrices_nd([2, 1], [(0.0, 1.0), (-1.0, 1.0)], 10)
    q.ols(X, x); q.fit_regularized_linear(X, x, R, R, 0.1, 0.1)
    g = q.gibbs_entropy(x); g.H
    r = mcmc.fit(X, x, R, None, 0.1); r.beta_mcmc; r.gibbs.He

BAD = [
    lambda: q.compute_sr(x[:3], x, 0.1), lambda: q.design_matrix_1d(-1, x),
    lambda: q.design_matrix_1d(2**31 - 1, x), lambda: q.smoothness_penalty_matrices_1d(3, 0, 1, 1),
    lambda: q.boundary_reduce_1d(-5, 0.0, 1.0), lambda: q.design_matrix_nd([[1]], []),
    lambda: q.build_penalty_matrices_nd([1] * 70, [(0.0, 1.0)] * 70),
    lambda: q.build_penalty_matrices_nd([1], [(0.0, 1.0)] * 2),
    lambda: q.ols(X, x[:5]), lambda: q.fit_regularized_linear(X, x, np.eye(3), None, 1.0),
    lambda: q.fit_regularized_linear(X, x, 'no'), lambda: q.gibbs_entropy([]),
    lambda: q.mad('abc'), lambda: mcmc.fit(X, x[:5]), lambda: mcmc.fit(X, x, np.eye(2)),
    lambda: q.TournamentMCMC(n_chains=0).fit(X, x), lambda: q.GibbsResult(),
]

def bad():
    for f in BAD:
        try:
            f()
        except (ValueError, TypeError, MemoryError, RuntimeError):
            pass

for _ in range(300):
    ok(); bad()
before = rss_mb()
for _ in range(3000):
    ok(); bad()
print(json.dumps([before, rss_mb()]))
"""


@pytest.mark.slow
def test_memory_stays_flat(child):
    p = child(CHILD, env={"OMP_NUM_THREADS": "2"}, timeout=600)
    assert p.returncode == 0, p.stderr[-3000:]
    before, after = json.loads(p.stdout)
    assert after - before < 4.0, (before, after)
