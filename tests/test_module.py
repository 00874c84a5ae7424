"""The module frame: docstring, what it exports, argument conversion and the
mapping of failures to Python exceptions."""
import inspect

import numpy as np
import pytest

import qorv_core as q

ENTRIES = [
    "mad", "compute_sr", "mdl_score", "mdl_score_reg", "design_matrix_1d",
    "smoothness_penalty_matrices_1d", "boundary_reduce_1d", "design_matrix_nd",
    "build_penalty_matrices_nd", "ols", "fit_regularized_linear", "GibbsResult",
    "gibbs_entropy", "MCMCResult", "TournamentMCMC",
]


def test_docstring_and_exact_attribute_set():
    assert q.__doc__ == "QORV-P performans-kritik cekirdegi (C++/Eigen)."
    public = {name for name in vars(q) if not name.startswith("__")}
    assert public == set(ENTRIES)


def test_registration_order():
    names = [n for n in vars(q) if not n.startswith("__")]
    assert names == ENTRIES


# (entry, parameter names in order, defaults) as the signature text shows them.
SIGNATURES = [
    (q.mad, ["y"], {}),
    (q.compute_sr, ["yp", "yt", "eps"], {}),
    (q.mdl_score, ["yp", "yt", "k", "H"], {"H": "20"}),
    (q.mdl_score_reg, ["yp", "yt", "k", "H", "beta", "R1", "R2", "gamma1", "gamma2"],
     {"gamma1": "0.0", "gamma2": "0.0"}),
    (q.design_matrix_1d, ["deg", "x"], {}),
    (q.smoothness_penalty_matrices_1d, ["deg", "x_min", "x_max", "n_grid"],
     {"n_grid": "600"}),
    (q.boundary_reduce_1d, ["deg", "x_min", "x_max"], {}),
    (q.design_matrix_nd, ["multi_indices", "X_cols"], {}),
    (q.build_penalty_matrices_nd, ["degrees", "bounds", "n_grid_per_dim"],
     {"n_grid_per_dim": "30"}),
    (q.ols, ["X", "y"], {}),
    (q.fit_regularized_linear, ["Phi", "y", "R1", "R2", "gamma1", "gamma2", "ridge"],
     {"R1": "None", "R2": "None", "gamma1": "0.0", "gamma2": "0.0", "ridge": "1e-10"}),
    (q.gibbs_entropy, ["energies", "T"], {"T": "1.0"}),
]


@pytest.mark.parametrize("fn,names,defaults", SIGNATURES, ids=lambda v: getattr(v, "__name__", ""))
def test_signature_names_and_defaults(signature, fn, names, defaults):
    params = signature(fn)
    assert [name for name, _ in params] == names
    assert {name: d for name, d in params if d is not None} == defaults


def test_every_parameter_accepts_its_keyword():
    x = np.linspace(0, 1, 5)
    assert q.mad(y=x) == q.mad(x)
    assert q.compute_sr(yp=x, yt=x, eps=0.1) == 1.0
    assert q.mdl_score(yp=x, yt=x, k=1, H=3) == q.mdl_score(x, x, 1, 3)
    R = np.eye(2)
    assert q.mdl_score_reg(yp=x, yt=x, k=2, H=3, beta=[1.0, 2.0], R1=R, R2=R,
                           gamma1=0.5, gamma2=0.25) == pytest.approx(
        q.mdl_score(x, x, 2, 3) + 0.75 * 5.0, rel=1e-15)
    assert q.design_matrix_1d(deg=2, x=x).shape == (5, 3)
    assert q.gibbs_entropy(energies=x, T=2.0).T == 2.0


def test_matrix_results_are_fresh_fortran_float64():
    x = np.array([1.0, 2.0, 3.0])
    a = q.design_matrix_1d(2, x)
    b = q.design_matrix_1d(2, x)
    assert a.dtype == np.float64 and a.flags.f_contiguous and a.flags.writeable
    assert a.flags.owndata or a.base is not None
    assert not np.shares_memory(a, b) and not np.shares_memory(a, x)
    a[0, 0] = 7.0
    assert x[0] == 1.0 and b[0, 0] == 1.0


@pytest.mark.parametrize("x", [
    [1, 2, 3],                                  # list of ints
    np.array([1, 2, 3], dtype=np.int32),        # integer dtype
    np.array([[1.0], [2.0], [3.0]]),            # (m, 1)
    np.array([3.0, 2.0, 1.0])[::-1],            # negative stride
    np.array([1.0, 2.0, 3.0], dtype=">f8"),     # byte-swapped
    np.array([1.0, 2.0, 3.0], dtype=np.float32),
])
def test_vector_argument_conversions(x):
    np.testing.assert_array_equal(q.design_matrix_1d(1, x)[:, 1], [1.0, 2.0, 3.0])


@pytest.mark.parametrize("call", [
    lambda: q.design_matrix_1d(1, np.ones((1, 3))),        # (1, m) row
    lambda: q.design_matrix_1d(1, np.ones((2, 2))),
    lambda: q.design_matrix_1d(1, np.ones((2, 1, 1))),     # 3-d
    lambda: q.design_matrix_1d(1, None),
    lambda: q.design_matrix_1d(1.0, [1.0]),                # float for an int
    lambda: q.design_matrix_1d(2**31, [1.0]),              # outside 32 bits
    lambda: q.design_matrix_1d(-2**31 - 1, [1.0]),
    lambda: q.compute_sr([1.0], [1.0]),                    # eps has no default
    lambda: q.mdl_score([1.0], [1.0]),                     # k required
    lambda: q.mdl_score_reg([1.0], [1.0], 1, 2, [1.0], None, np.eye(1)),
    lambda: q.mad(y=[1.0], z=2),                            # unknown keyword
    lambda: q.mad("abc"),
    lambda: q.gibbs_entropy([1.0], T="hot"),
])
def test_calls_that_match_no_signature_raise_type_error(call):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call()


def test_integer_like_arguments():
    x = [1.0, 2.0]
    np.testing.assert_array_equal(q.design_matrix_1d(np.int64(2), x),
                                  q.design_matrix_1d(2, x))
    # A real argument takes ints as well as floats.
    assert q.compute_sr(x, x, 1) == 1.0


def test_a_one_by_one_array_is_a_vector():
    assert q.mad(np.array([[4.0]])) == 0.0


def test_result_classes_cannot_be_constructed():
    for cls in (q.GibbsResult, q.MCMCResult):
        with pytest.raises(TypeError, match=": No constructor defined!$"):
            cls()


def test_result_class_attributes_are_read_only():
    g = q.gibbs_entropy([0.0, 1.0])
    with pytest.raises(AttributeError):
        g.H = 1.0
    with pytest.raises(AttributeError):
        g.extra = 1.0
    assert not hasattr(g, "__dict__")
    assert [n for n in vars(q.GibbsResult) if not n.startswith("_")] == [
        "H", "Hmax", "He", "r_heat", "var_E", "T"]


def test_functions_carry_only_their_signature():
    for name in ENTRIES:
        obj = getattr(q, name)
        if inspect.isclass(obj):
            continue
        lines = [l for l in obj.__doc__.splitlines() if l.strip()]
        assert len(lines) == 1 and lines[0].startswith(name + "(")


def _odd_strides():
    b = np.arange(6.0).reshape(3, 2)
    c = np.arange(3.0).reshape(3, 1)
    d = np.arange(3.0).reshape(1, 3)
    rec = np.zeros((3, 2), dtype=[("v", "f8"), ("tag", "i4")])  # 12-byte strides
    rec["v"] = b
    raw = np.frombuffer(bytearray(6 * 8 + 1), dtype=np.float64, count=6, offset=1)
    raw = raw.reshape(3, 2)                                       # misaligned
    raw[...] = b if raw.flags.writeable else raw
    return [b, np.asfortranarray(b), b[::-1], b[:, ::-1], c[:, ::-1], c[::-1], d[::-1],
            d[:, ::-1], np.ones((1, 1))[::-1, ::-1], np.broadcast_to(np.ones((1, 1)), (3, 2)),
            np.broadcast_to(np.arange(2.0), (3, 2)), rec["v"], raw, b[:, :1], b[::2]]


# Arrays the core can read in place are not copied; every other layout,
# including length-one axes with negative strides, is converted instead.
@pytest.mark.parametrize("X", _odd_strides())
def test_in_place_arguments_accept_every_layout(X):
    y = np.linspace(1.0, 2.0, X.shape[0])
    plain = np.array(X, order="F")
    assert plain.flags.aligned
    assert np.array_equal(q.ols(X, y), q.ols(plain, y))
    assert np.array_equal(q.fit_regularized_linear(X, y), q.fit_regularized_linear(plain, y))
    mc = q.TournamentMCMC(n_chains=3, n_warmup=4, n_deep=6, n_elite=2)
    a, b = mc.fit(X, y), mc.fit(plain, y.copy())
    assert np.array_equal(a.beta_mcmc, b.beta_mcmc) and a.energy == b.energy
    v = X[:, 0]
    assert q.mad(v) == q.mad(v.copy())
    assert q.compute_sr(v, v[::-1], 0.5) == q.compute_sr(v.copy(), v[::-1].copy(), 0.5)
