"""Tournament Metropolis search: reproducibility, the documented edge cases,
the Python view of its results and its failures."""
import gc
import json
import math
import re

import numpy as np
import pytest

import qorv_core as q


def problem(n=120, deg=3, seed=1):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1, 1, n)
    y = 0.5 - x + 2 * x**3 + rng.normal(0, 0.05, n)
    return q.design_matrix_1d(deg, x), y


def penalties(k):
    R1, R2 = q.smoothness_penalty_matrices_1d(k - 1, -1.0, 1.0, 50)
    return R1, R2


SMALL = dict(n_chains=6, n_warmup=40, n_deep=60, n_elite=3)


def same(a, b):
    np.testing.assert_array_equal(a.beta_mcmc, b.beta_mcmc)
    assert a.energy == b.energy or (math.isnan(a.energy) and math.isnan(b.energy))


def column_order_product(X, b):
    """X b summed over the columns in order, without fused operations."""
    if X.shape[1] == 0:
        return np.zeros(X.shape[0])
    yp = X[:, 0] * b[0]
    for j in range(1, X.shape[1]):
        yp = yp + X[:, j] * b[j]
    return yp


# Row counts around the kernel's groups of sixteen rows.
@pytest.mark.parametrize("n", [1, 2, 7, 15, 16, 17, 31, 33, 120])
@pytest.mark.parametrize("deg", [-1, 0, 1, 4])
def test_energy_is_the_score_at_the_result_for_every_shape(n, deg):
    X, y = problem(n=n, deg=max(deg, 0), seed=n)
    if deg < 0:
        X = X[:, :0]
    r = q.TournamentMCMC(n_chains=3, n_warmup=20, n_deep=20, n_elite=2).fit(X, y)
    yp = column_order_product(X, r.beta_mcmc)
    assert r.energy == q.mdl_score(yp, y, X.shape[1], 20)


def test_energy_is_the_score_at_the_result():
    X, y = problem()
    r = q.TournamentMCMC(**SMALL).fit(X, y)
    assert r.energy == q.mdl_score(column_order_product(X, r.beta_mcmc), y, X.shape[1], 20)
    R1, R2 = penalties(X.shape[1])
    r = q.TournamentMCMC(**SMALL, H_piH=7).fit(X, y, R1, R2, 1e-3, 1e-4)
    assert r.energy == q.mdl_score_reg(column_order_product(X, r.beta_mcmc), y, X.shape[1], 7,
                                       r.beta_mcmc, R1, R2, 1e-3, 1e-4)


def test_same_object_same_result_and_object_unchanged():
    X, y = problem()
    m = q.TournamentMCMC(**SMALL, seed=5)
    same(m.fit(X, y), m.fit(X, y))
    assert m.fit(X, y).energy == q.TournamentMCMC(**SMALL, seed=5).fit(X, y).energy


def test_seed_changes_the_result():
    X, y = problem()
    R1, R2 = penalties(X.shape[1])
    a = q.TournamentMCMC(**SMALL, seed=1).fit(X, y, R1, None, 1e-3)
    b = q.TournamentMCMC(**SMALL, seed=2).fit(X, y, R1, None, 1e-3)
    assert not np.array_equal(a.beta_mcmc, b.beta_mcmc)


CHILD = """
import json, numpy as np, qorv_core as q
rng = np.random.default_rng(3)
x = rng.uniform(-1, 1, 300)
y = 0.5 - x + 2 * x**3 + rng.normal(0, 0.05, 300)
X = q.design_matrix_1d(4, x)
R1, R2 = q.smoothness_penalty_matrices_1d(4, -1.0, 1.0, 40)
out = []
for kw in [dict(), dict(R1=R1, R2=R2, gamma1=1e-3, gamma2=1e-5)]:
    r = q.TournamentMCMC(n_chains=9, n_warmup=80, n_deep=300, n_elite=4, seed=11).fit(X, y, **kw)
    out.append([float(v).hex() for v in r.beta_mcmc] + [r.energy.hex()])
print(json.dumps(out))
"""


def test_bit_identical_for_every_thread_count(child):
    results = {}
    for threads in ("1", "2", "8"):
        p = child(CHILD, env={"OMP_NUM_THREADS": threads})
        assert p.returncode == 0, p.stderr
        results[threads] = json.loads(p.stdout)
    assert results["1"] == results["2"] == results["8"]


def test_more_chains_extend_fewer():
    # Without a deep phase the answer is the best warm-up chain, and chain c
    # of any run is the one-chain run seeded seed + 1000 c.
    X, y = problem()
    R1, R2 = penalties(X.shape[1])
    kw = dict(n_warmup=50, n_deep=0)
    args = (X, y, R1, R2, 1e-3, 1e-4)  # penalties make equal energies unlikely
    singles = [q.TournamentMCMC(n_chains=1, seed=10 + 1000 * c, **kw).fit(*args)
               for c in range(5)]
    many = q.TournamentMCMC(n_chains=5, seed=10, **kw).fit(*args)
    best = min(singles, key=lambda r: r.energy)
    same(many, best)


def test_seed_arithmetic_wraps():
    X, y = problem()
    kw = dict(n_warmup=20, n_deep=0)
    top = 2**64 - 1
    two = q.TournamentMCMC(n_chains=2, seed=top, **kw).fit(X, y)
    first = q.TournamentMCMC(n_chains=1, seed=top, **kw).fit(X, y)
    second = q.TournamentMCMC(n_chains=1, seed=999, **kw).fit(X, y)  # top + 1000 wraps to 999
    assert two.energy == min(first.energy, second.energy)


@pytest.mark.parametrize("field,values", [
    ("n_warmup", [0, -4]),
    ("n_deep", [0, -1]),
    ("n_elite", [1, 0, -3]),
])
def test_non_positive_counts_behave_alike(field, values):
    X, y = problem()
    runs = [q.TournamentMCMC(**{**SMALL, field: v}).fit(X, y) for v in values]
    for r in runs[1:]:
        same(runs[0], r)
    if field == "n_elite":
        assert [r.n_elite for r in runs] == values


def test_without_deep_phase_the_best_warm_up_chain_is_returned():
    X, y = problem()
    r = q.TournamentMCMC(**{**SMALL, "n_deep": 0}).fit(X, y)
    assert r.energy == q.mdl_score(X @ r.beta_mcmc, y, X.shape[1])


def test_single_chain_summary():
    X, y = problem()
    r = q.TournamentMCMC(**{**SMALL, "n_chains": 1}).fit(X, y)
    g = r.gibbs
    assert (g.H, g.He, g.r_heat, g.var_E, g.T) == (0.0, 0.0, 0.01, 0.0, 1.0)
    assert (r.n_chains, r.n_elite) == (1, 3)


def test_gibbs_summary_is_taken_at_unit_temperature():
    X, y = problem()
    g = q.TournamentMCMC(**SMALL).fit(X, y).gibbs
    assert g.T == 1.0 and g.Hmax == math.log(SMALL["n_chains"])


def test_design_without_columns():
    X = np.empty((7, 0))
    y = np.arange(7.0)
    r = q.TournamentMCMC(**SMALL).fit(X, y)
    assert r.beta_mcmc.shape == (0,)
    assert r.energy == q.mdl_score(np.zeros(7), y, 0)


@pytest.mark.parametrize("seed", [0, 1])
def test_search_reaches_the_least_squares_score(seed):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1, 1, 400)
    y = 0.5 - x + 2 * x**3 + rng.normal(0, 0.01, 400)
    X = q.design_matrix_1d(3, x)
    r = q.TournamentMCMC().fit(X, y)
    ls = np.linalg.lstsq(X, y, rcond=None)[0]
    # every sample within the tolerance: only the model term remains
    assert r.energy == q.mdl_score(X @ ls, y, 4) == pytest.approx(16 * math.log(40) / 400)


def test_nan_and_infinite_energies_do_not_break_the_ranking():
    X, y = problem(n=60, deg=1)
    inf = math.inf
    R = np.array([[inf, -inf], [-inf, inf]])  # energies +inf or NaN by sign pattern
    r = q.TournamentMCMC(n_chains=30, n_warmup=5, n_deep=20).fit(X, y, R, None, 1.0)
    assert r.beta_mcmc.shape == (2,)
    r = q.TournamentMCMC(**SMALL).fit(X, y, np.eye(2), None, math.nan)
    assert math.isnan(r.energy)


def test_result_view():
    X, y = problem()
    r = q.TournamentMCMC(**SMALL).fit(X, y)
    b, g = r.beta_mcmc, r.gibbs
    assert b.dtype == np.float64 and b.shape == (X.shape[1],)
    assert not b.flags.writeable
    with pytest.raises(ValueError):
        b[0] = 1.0
    for name, value in [("energy", 1.0), ("beta_mcmc", b), ("gibbs", g),
                        ("n_chains", 1), ("n_elite", 1), ("other", 1)]:
        with pytest.raises(AttributeError):
            setattr(r, name, value)
    expected = b.copy()
    energy_H = g.H
    del r
    gc.collect()
    np.testing.assert_array_equal(b, expected)  # the array keeps its result alive
    assert g.H == energy_H
    assert [n for n in vars(q.MCMCResult) if not n.startswith("_")] == [
        "beta_mcmc", "energy", "gibbs", "n_chains", "n_elite"]


def test_configuration_object():
    m = q.TournamentMCMC()
    assert [n for n in dir(m) if not n.startswith("_")] == ["fit"]
    with pytest.raises(AttributeError):
        m.n_chains = 3
    with pytest.raises(TypeError, match="No constructor defined"):
        q.MCMCResult()
    # Stored unchecked: only fit looks at the values.
    q.TournamentMCMC(n_chains=-1, step_size=-1.0, n_elite=-5)


@pytest.mark.parametrize("kw", [dict(seed=-1), dict(n_chains=2.5), dict(seed=2**64),
                                dict(n_deep=2**31), dict(step_size="x")])
def test_constructor_type_errors(kw):
    with pytest.raises(TypeError):
        q.TournamentMCMC(**kw)


@pytest.mark.parametrize("kw,exc,msg", [
    (dict(n_chains=0), ValueError, "n_chains is 0"),
    (dict(n_chains=-2), ValueError, r"^cannot create std::vector larger than max_size\(\)$"),
    (dict(step_size=0.0), ValueError, "step_size"),
    (dict(step_size=-0.1), ValueError, "step_size"),
    (dict(step_size=math.nan), ValueError, "step_size"),
    (dict(step_size=math.inf), ValueError, "step_size"),
])
def test_configurations_that_cannot_run(kw, exc, msg):
    X, y = problem()
    with pytest.raises(exc, match=msg):
        q.TournamentMCMC(**kw).fit(X, y)


@pytest.mark.parametrize("args,msg", [
    ((np.ones((5, 2)), np.ones(4)), "y has 4 entries but X has 5 rows"),
    ((np.ones((5, 2)), np.ones(5), np.eye(3), None, 1.0), r"R1 is 3 x 3 but .* has 2"),
    ((np.ones((5, 2)), np.ones(5), None, np.ones((2, 1)), 0.0, 1.0), r"R2 is 2 x 1"),
])
def test_shape_errors(args, msg):
    with pytest.raises(ValueError, match=msg):
        q.TournamentMCMC(**SMALL).fit(*args)


def test_optional_matrix_conversion():
    X, y = problem(deg=0)
    m = q.TournamentMCMC(**SMALL)
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type "):
        m.fit(X, y, R1="abc")
    with pytest.raises(RuntimeError, match="<class 'str'>"):
        m.fit(X, y, R1="abc", R2=object())  # R1 is converted first
    r = m.fit(X, y, R1=[[1.0]], gamma1=0.5)
    assert r.energy == q.mdl_score_reg(X @ r.beta_mcmc, y, 1, 20, r.beta_mcmc,
                                       np.eye(1), np.eye(1), 0.5)


# With one chain or one elite member on several threads, the calling thread
# may have nothing to run: it must still see Ctrl-C. On 3e6 rows one
# evaluation takes milliseconds: the search polls by work done, not by
# evaluations counted.
@pytest.mark.parametrize("rows,config,threads", [
    (2000, "n_chains=4, n_warmup=10**8, n_deep=10**8", "2"),
    (2000, "n_chains=1, n_warmup=10**8", "4"),
    (2000, "n_chains=3, n_warmup=5, n_elite=1, n_deep=10**8", "4"),
    (3 * 10**6, "n_chains=4, n_warmup=10**8", "2"),
    (3 * 10**6, "n_chains=2, n_warmup=1, n_elite=1, n_deep=10**8", "2"),
])
def test_ctrl_c_interrupts_a_long_fit(ctrl_c, rows, config, threads):
    out, seconds = ctrl_c(
        "import numpy as np, qorv_core as q\n"
        f"X = np.random.default_rng(0).standard_normal(({rows}, 8)); y = X[:, 0]",
        f"q.TournamentMCMC({config}).fit(X, y)",
        env={"OMP_NUM_THREADS": threads}, wait=0.5, timeout=20)
    assert out == "interrupted" and seconds < 5.0


HUGE = """
import json, resource, numpy as np, qorv_core as q
X = np.ones((3, {k})); y = np.ones(3)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    q.TournamentMCMC(n_chains={chains}, n_warmup=0, n_deep=0, n_elite={elite}).fit(X, y)
    message = "no error"
except MemoryError as e:
    message = str(e)
grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024
print(json.dumps([message, grown]))
"""


# The search's state is sized before any of it is allocated: a size the
# machine cannot hold fails at once, naming the bytes, instead of climbing
# through gigabytes first.
@pytest.mark.parametrize("chains,k,elite", [(2**28, 100, 1), (2**31 - 1, 0, 2**31 - 1),
                                            (2**20, 40000, 5)])
def test_a_search_too_large_for_the_machine_fails_before_allocating(child, chains, k, elite):
    p = child(HUGE.format(chains=chains, k=k, elite=elite))
    assert p.returncode == 0, p.stderr
    message, grown = json.loads(p.stdout)
    m = re.fullmatch(rf"the search's {chains} chains of {k} coefficients need (\d+) bytes, "
                     r"more than this machine's (\d+) bytes of memory", message)
    assert m, message
    assert int(m.group(1)) > max(int(m.group(2)), chains * 8 * k)
    assert grown < 64 * 2**20


def test_a_residual_at_the_tolerance_is_not_a_hit():
    # mad(y) = 1, so the tolerance is 0.4 and six rows (four in the
    # sixteen-row block, two in the tail) sit exactly on it. With a zero
    # column every prediction is 0 whatever the coefficients: the residuals
    # are |y| and only the five zeros are hits.
    y = np.array([1, 0.4, -1, 0, -0.4, 1, -1, 0.4, 0, 1, -1, -0.4, 1, 0, -1, 1,
                  0.4, -1, 0, -0.4, 1, -1, 0])
    assert q.mad(y) == 1.0 and np.sum(np.abs(y) == 0.4) == 6
    assert np.flatnonzero(np.abs(y) == 0.4).tolist() == [1, 4, 7, 11, 16, 19]
    n, k, H = len(y), 1, 20
    hits = int(np.sum(np.abs(y) < 0.4))
    assert hits == 5
    expected = -n * math.log(hits / n) + k * (k * math.log(2 * H) / n)
    r = q.TournamentMCMC(**SMALL).fit(np.zeros((n, k)), y)
    assert r.energy == pytest.approx(expected, rel=1e-14)
    assert r.energy == q.mdl_score(np.zeros(n), y, k, H)


@pytest.mark.parametrize("cls", ["GibbsResult", "MCMCResult"])
def test_result_objects_cannot_be_made_through_new(cls):
    C = getattr(q, cls)
    with pytest.raises(TypeError, match=f"^qorv_core.{cls}: No constructor defined!$"):
        C.__new__(C)


def test_uninitialised_search_object_refuses_to_run():
    m = q.TournamentMCMC.__new__(q.TournamentMCMC)
    with pytest.raises(TypeError, match="not initialised"):
        m.fit(np.eye(2), [1.0, 2.0])
    with pytest.raises(TypeError):
        q.TournamentMCMC.fit(object(), np.eye(2), [1.0, 2.0])


FORK_CHILD = """
import multiprocessing as mp, numpy as np, qorv_core as q
X = np.random.default_rng(0).standard_normal((200, 3)); y = X[:, 0]
# Large enough for the solvers' parallel row chunks.
Z = np.random.default_rng(1).standard_normal((200000, 10)); z = Z[:, 0] + 1.0
def fit(seed):
    e = q.TournamentMCMC(n_chains=8, n_warmup=30, n_deep=50, seed=seed).fit(X, y).energy
    return e, q.ols(Z, z).tolist(), q.fit_regularized_linear(Z, z).tolist()
parent = [fit(s) for s in range(4)]  # starts the OpenMP threads here
with mp.get_context("fork").Pool(2) as pool:
    children = pool.map(fit, range(4))
assert children == parent, (children, parent)
print("ok")
"""


def test_fits_and_solves_in_forked_children_do_not_hang(child):
    p = child(FORK_CHILD, env={"OMP_NUM_THREADS": "2"}, timeout=60)
    assert p.returncode == 0 and p.stdout.strip() == "ok", p.stderr
