"""Calls from many Python threads at once give the same bits as calls from
one thread, and any OpenMP thread setting, however absurd, gives a result
with the same bits as every other setting."""
import json
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

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


FITS = """
import hashlib, json, numpy as np, qorv_core as q
x = np.linspace(-1, 1, 400)
y = 0.5 - x + 2 * x**3 + 0.01 * np.cos(37 * x)
X = q.design_matrix_1d(4, x)
Z = np.vander(np.linspace(-1, 1, 60000), 6); z = Z @ np.arange(6.0) + np.sin(Z[:, 4])
out = {}
for kw in [dict(), dict(R1=np.eye(5), gamma1=1e-3)]:
    r = q.TournamentMCMC(n_chains=30, n_warmup=40, n_deep=100, n_elite=12, seed=2).fit(X, y, **kw)
    out[str(kw.keys())] = [float(v).hex() for v in r.beta_mcmc] + [r.energy.hex()]
# five members on a tall X: the team shares each member's pass over the rows
r = q.TournamentMCMC(n_chains=6, n_warmup=5, n_deep=30, n_elite=5, seed=3).fit(Z, z)
out["shared rows"] = [float(v).hex() for v in r.beta_mcmc] + [r.energy.hex()]
out["ols"] = [float(v).hex() for v in q.ols(Z, z)]
out["ridge"] = [float(v).hex() for v in q.fit_regularized_linear(Z, z, np.eye(6), None, 1e-3)]
w = np.linspace(-1.5, 1.5, 60001)
out["design"] = [hashlib.sha256(q.design_matrix_1d(7, w).tobytes()).hexdigest(),
                 hashlib.sha256(q.design_matrix_nd([[1, 2], [3, 0], [2, 2]], [w, w[::-1]]).tobytes()).hexdigest()]
print(json.dumps(out))
"""


# 100000 threads used to crash the OpenMP runtime (it started threads until
# it failed); a team is now never larger than the work nor than a few
# threads per processor.
@pytest.mark.parametrize("threads", ["100000", "33", "1"])
def test_any_thread_setting_gives_the_same_bits(child, threads):
    runs = {t: child(FITS, env={"OMP_NUM_THREADS": t}, timeout=60) for t in ("2", threads)}
    for p in runs.values():
        assert p.returncode == 0, p.stderr
    assert json.loads(runs[threads].stdout) == json.loads(runs["2"].stdout)
