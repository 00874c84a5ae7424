"""Bad calls of every entry, each in a child process: a crash or a hang
fails the one case instead of taking the test run down. Every case must
raise a clean Python exception of the stated type, at once."""
import json

import pytest

INT_MAX = 2**31 - 1

CASES = [
    # mad
    ("q.mad(None)", "TypeError"),
    ("q.mad('abc')", "TypeError"),
    ("q.mad(np.float64(1.0))", "TypeError"),
    ("q.mad(np.array(1.0))", "TypeError"),                 # 0-d
    ("q.mad(np.ones((2, 2, 2)))", "TypeError"),            # 3-d
    ("q.mad(np.ones((2, 3)))", "TypeError"),
    ("q.mad([[1.0], [2.0, 3.0]])", "TypeError"),           # ragged
    ("q.mad(np.array(['a', 'b']))", "TypeError"),
    # hit rate and scores
    ("q.compute_sr([1.0], [1.0, 2.0], 0.1)", "ValueError"),
    ("q.compute_sr([1.0], [1.0], None)", "TypeError"),
    ("q.mdl_score([1.0], [1.0, 2.0], 1)", "ValueError"),
    ("q.mdl_score([1.0], [1.0], 2**31)", "TypeError"),
    ("q.mdl_score([1.0], [1.0], 1, -2**31 - 1)", "TypeError"),
    ("q.mdl_score([1.0], [1.0], 1.5)", "TypeError"),
    ("q.mdl_score_reg([1.0], [1.0], 1, 2, [1.0, 2.0], np.eye(1), np.eye(1), 1.0, 1.0)",
     "ValueError"),
    ("q.mdl_score_reg([1.0], [1.0], 1, 2, [1.0], np.ones((1, 2)), np.eye(1), 1.0)",
     "ValueError"),
    ("q.mdl_score_reg([1.0], [1.0], 1, 2, [1.0], np.eye(1), np.ones((1, 1, 1)))", "TypeError"),
    ("q.mdl_score_reg([1.0], [1.0], 1, 2, [1.0], None, np.eye(1))", "TypeError"),
    # one-variable basis and penalties
    ("q.design_matrix_1d(-1, [1.0])", "ValueError"),
    ("q.design_matrix_1d(-2**31, [1.0])", "ValueError"),
    (f"q.design_matrix_1d({INT_MAX}, [1.0])", "MemoryError"),
    ("q.design_matrix_1d(10**6, np.ones(10**6))", "MemoryError"),   # 8 TB
    ("q.design_matrix_1d(2**31, [1.0])", "TypeError"),
    ("q.design_matrix_1d(3, [[1.0, 2.0]])", "TypeError"),          # a (1, m) row
    ("q.smoothness_penalty_matrices_1d(-1, 0.0, 1.0, 1)", "ValueError"),
    ("q.smoothness_penalty_matrices_1d(3, 0.0, 1.0, -2**31)", "ValueError"),
    (f"q.smoothness_penalty_matrices_1d({INT_MAX}, 0.0, 1.0, 600)", "MemoryError"),
    (f"q.smoothness_penalty_matrices_1d({INT_MAX}, 0.0, 1.0, {INT_MAX})", "MemoryError"),
    ("q.smoothness_penalty_matrices_1d(10**6, 0.0, 1.0, 600)", "MemoryError"),
    ("q.smoothness_penalty_matrices_1d(3, 0.0, 1.0, 2**31)", "TypeError"),
    ("q.smoothness_penalty_matrices_1d(3, 'a', 1.0, 10)", "TypeError"),
    (f"q.boundary_reduce_1d({INT_MAX}, 0.0, 1.0)", "MemoryError"),
    ("q.boundary_reduce_1d(-2, 0.0, 1.0)", "MemoryError"),
    ("q.boundary_reduce_1d(-2**31, 0.0, 1.0)", "MemoryError"),
    ("q.boundary_reduce_1d(10**6, 0.0, 1.0)", "MemoryError"),
    # several variables
    ("q.design_matrix_nd([[1]], [])", "ValueError"),
    ("q.design_matrix_nd([[]], [[1.0, 2.0]])", "ValueError"),       # empty multi-index
    ("q.design_matrix_nd([[1, 1]], [[1.0, 2.0], [1.0]])", "ValueError"),
    ("q.design_matrix_nd([[1]], [[1.0, 2.0], [3.0, 4.0]])", "ValueError"),
    ("q.design_matrix_nd([[1.5]], [[1.0]])", "TypeError"),
    ("q.design_matrix_nd([1], [[1.0]])", "TypeError"),
    ("q.design_matrix_nd(None, [[1.0]])", "TypeError"),
    ("q.design_matrix_nd([[0]] * 10**5, [np.ones(10**7)])", "MemoryError"),  # 8 TB
    ("q.build_penalty_matrices_nd([1, 1], [(0.0, 1.0)])", "ValueError"),
    ("q.build_penalty_matrices_nd([1], [(0.0, 1.0)], -2**31)", "ValueError"),
    ("q.build_penalty_matrices_nd([1], [(0.0, 1.0)], 1)", "ValueError"),
    ("q.build_penalty_matrices_nd([-2], [(0.0, 1.0)])", "MemoryError"),
    (f"q.build_penalty_matrices_nd([{INT_MAX}], [(0.0, 1.0)])", "MemoryError"),
    ("q.build_penalty_matrices_nd([100] * 10, [(0.0, 1.0)] * 10)", "MemoryError"),
    ("q.build_penalty_matrices_nd([1] * 10**6, [(0.0, 1.0)] * 10**6)", "MemoryError"),
    (f"q.build_penalty_matrices_nd([{INT_MAX}] * 3, [(0.0, 1.0)] * 3)", "MemoryError"),
    ("q.build_penalty_matrices_nd([1], [(0.0, 1.0, 2.0)])", "TypeError"),
    ("q.build_penalty_matrices_nd([1], [0.0])", "TypeError"),
    ("q.build_penalty_matrices_nd([2**31], [(0.0, 1.0)])", "TypeError"),
    # least squares
    ("q.ols(np.ones((3, 2)), np.ones(4))", "ValueError"),
    ("q.ols(np.ones((3, 2, 1)), np.ones(3))", "TypeError"),
    ("q.ols([[1.0, 2.0], [3.0]], [1.0, 2.0])", "TypeError"),
    ("q.fit_regularized_linear(np.ones((3, 2)), np.ones(4))", "ValueError"),
    ("q.fit_regularized_linear(np.ones((3, 2)), np.ones(3), np.eye(3), None, 1.0)",
     "ValueError"),
    ("q.fit_regularized_linear(np.ones((3, 2)), np.ones(3), 'no')", "RuntimeError"),
    ("q.fit_regularized_linear(np.ones((3, 2)), np.ones(3), None, np.ones((2, 2, 2)))",
     "RuntimeError"),
    # Gibbs summary
    ("q.gibbs_entropy([])", "ValueError"),
    ("q.gibbs_entropy(None)", "TypeError"),
    ("q.gibbs_entropy([1.0], T=None)", "TypeError"),
    # the search
    ("q.TournamentMCMC(n_chains=0).fit(np.ones((3, 1)), np.ones(3))", "ValueError"),
    ("q.TournamentMCMC(n_chains=-1).fit(np.ones((3, 1)), np.ones(3))", "ValueError"),
    (f"q.TournamentMCMC(n_chains=-{INT_MAX}).fit(np.ones((3, 1)), np.ones(3))", "ValueError"),
    ("q.TournamentMCMC(step_size=0.0).fit(np.ones((3, 1)), np.ones(3))", "ValueError"),
    ("q.TournamentMCMC(step_size=float('nan')).fit(np.ones((3, 1)), np.ones(3))", "ValueError"),
    ("q.TournamentMCMC(step_size=-1.0).fit(np.ones((3, 1)), np.ones(3))", "ValueError"),
    ("q.TournamentMCMC().fit(np.ones((3, 1)), np.ones(4))", "ValueError"),
    ("q.TournamentMCMC().fit(np.ones((3, 2)), np.ones(3), np.eye(3), None, 1.0)", "ValueError"),
    ("q.TournamentMCMC().fit(np.ones((3, 2)), np.ones(3), 'no')", "RuntimeError"),
    ("q.TournamentMCMC(seed=-1)", "TypeError"),
    ("q.TournamentMCMC(seed=2**64)", "TypeError"),
    ("q.TournamentMCMC(n_chains=2**31)", "TypeError"),
    ("q.TournamentMCMC(n_chains=1.5)", "TypeError"),
    ("q.TournamentMCMC.__new__(q.TournamentMCMC).fit(np.ones((3, 1)), np.ones(3))",
     "TypeError"),
    ("q.TournamentMCMC.fit(object(), np.ones((3, 1)), np.ones(3))", "TypeError"),
    ("q.GibbsResult.__new__(q.GibbsResult)", "TypeError"),
    ("q.MCMCResult.__new__(q.MCMCResult)", "TypeError"),
    ("q.GibbsResult()", "TypeError"),
    # order carries meaning: unordered containers and iterators are refused
    ("q.build_penalty_matrices_nd({1, 2}, [(0, 1), (-1, 2)], 6)", "TypeError"),
    ("q.build_penalty_matrices_nd([1, 2], {(0, 1), (-1, 2)}, 6)", "TypeError"),
    ("q.build_penalty_matrices_nd({1: 0, 2: 0}.keys(), [(0, 1), (-1, 2)], 6)", "TypeError"),
    ("q.build_penalty_matrices_nd(iter([1]), [(0, 1)], 6)", "TypeError"),
    ("q.design_matrix_nd([{1, 0}], [[1.0], [2.0]])", "TypeError"),
    ("q.design_matrix_nd(frozenset([(1,)]), [[1.0]])", "TypeError"),
    ("q.design_matrix_nd([[1]], {0: [1.0]}.values())", "TypeError"),
    ("q.design_matrix_nd([[1]], (c for c in [[1.0]]))", "TypeError"),
    # no pickling, no bare base instance, no change of class
    ("pickle.dumps(q.TournamentMCMC(), protocol=0)", "TypeError"),
    ("pickle.dumps(q.TournamentMCMC(), protocol=1)", "TypeError"),
    ("pickle.dumps(q.gibbs_entropy([1.0]), protocol=0)", "TypeError"),
    ("type(q.TournamentMCMC()).__mro__[1]()", "TypeError"),
    ("setattr(q.gibbs_entropy([1.0]), '__class__', q.MCMCResult)", "TypeError"),
    ("object.__setattr__(q.gibbs_entropy([1.0]), '__class__', q.TournamentMCMC)", "TypeError"),
    ("setattr(q.TournamentMCMC(), '__class__', q.GibbsResult)", "TypeError"),
]

CHILD = """
import json, pickle, time, numpy as np, qorv_core as q
t = time.perf_counter()
try:
    {call}
    name = None
except BaseException as e:
    name = type(e).__name__
print(json.dumps([name, time.perf_counter() - t]))
"""


@pytest.mark.parametrize("call,expected", CASES, ids=[c for c, _ in CASES])
def test_bad_call_raises_cleanly(child, call, expected):
    p = child(CHILD.format(call=call), timeout=60)
    assert p.returncode == 0, f"child died ({p.returncode}): {p.stderr[-2000:]}"
    name, seconds = json.loads(p.stdout)
    assert name == expected, p.stderr
    assert seconds < 5.0, f"took {seconds:.1f} s"


# User code run by a later argument's conversion (__float__, __array__)
# resizes an array passed before it, which frees the buffer the call would
# otherwise have read. Each call must give the result for the arrays as they
# are once every argument is converted, or a clean error.
HOSTILE = {
    "score": """
yp, yt = np.random.rand(4_000_000), np.random.rand(4_000_000)
class Eps:
    def __float__(self):
        yp.resize(3, refcheck=False); yt.resize(3, refcheck=False)
        yp[:] = 1.0; yt[:] = [1.0, 2.0, 3.0]; return 0.5
got, want = q.compute_sr(yp, yt, Eps()), 1 / 3
""",
    "penalised fit": """
Phi, y = np.random.rand(100_000, 3), np.random.rand(100_000)
class R:
    def __array__(self, dtype=None, copy=None):
        Phi.resize((5, 3), refcheck=False); y.resize(5, refcheck=False)
        Phi[:] = np.arange(15.0).reshape(5, 3) ** 0.5; y[:] = np.arange(5.0); return np.eye(3)
class Ridge:
    def __float__(self):
        Phi.resize((7, 3), refcheck=False); return 1e-3
got = q.fit_regularized_linear(Phi, y, R(), None, 1.0, 0.0, Ridge())
want = np.linalg.solve(Phi.T @ Phi + (1e-3 + 5.0) * np.eye(3), Phi.T @ y)
""",
    "least squares": """
X = np.random.rand(100_000, 2)
class Y:
    def __float__(self):
        X.resize((5, 2), refcheck=False); X[:] = np.arange(10.0).reshape(5, 2) ** 1.5
        return 2.0
y = [Y(), 1.0, 0.0, 3.0, 5.0]
got = q.ols(X, y)
want = np.linalg.lstsq(X, [2.0, 1.0, 0.0, 3.0, 5.0], rcond=None)[0]
""",
}

HOSTILE_CHILD = """
import json, numpy as np, qorv_core as q
{code}
print(json.dumps(bool(np.allclose(got, want, rtol=1e-9, atol=0))))
"""


@pytest.mark.parametrize("code", HOSTILE.values(), ids=HOSTILE.keys())
def test_user_code_that_frees_an_input(child, code):
    p = child(HOSTILE_CHILD.format(code=code), timeout=60)
    assert p.returncode == 0, f"child died ({p.returncode}): {p.stderr[-2000:]}"
    assert json.loads(p.stdout), p.stderr
