"""Property-based tests over every entry with valid but odd inputs: extreme
magnitudes, subnormals, NaN and infinity, empty arrays, and every memory
layout and dtype NumPy can hand over.

Each entry must give the documented shape and dtype, the same bits whatever
the layout of its arguments, leave the caller's arrays untouched, return
fresh memory, and fail only with its documented exception types."""
import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import qorv_core as q

settings.register_profile(
    "qorv", max_examples=40, deadline=None, derandomize=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.load_profile("qorv")

ODD = st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True, width=64)
TAME = st.floats(-1e3, 1e3, allow_subnormal=True)
DOCUMENTED = (ValueError, MemoryError)


def odd_floats():
    return st.one_of(ODD, st.sampled_from([0.0, -0.0, 5e-324, 2.2e-308, 1e308, -1e308,
                                           np.inf, -np.inf, np.nan]))


def vectors(elements=None, min_size=0, max_size=40):
    return hnp.arrays(np.float64, st.integers(min_size, max_size),
                      elements=elements if elements is not None else odd_floats())


def layouts(a):
    """The same values in every form an argument may take."""
    # A nested list keeps the shape unless a dimension is empty.
    out = [a.tolist()] if a.ndim == 1 or 0 not in a.shape else []
    padded = np.zeros(tuple(2 * s for s in a.shape))
    view = padded[tuple(slice(None, None, 2) for _ in a.shape)]
    view[...] = a
    out.append(view)                                     # non-contiguous
    out.append(np.asfortranarray(a))
    out.append(a.astype(a.dtype.newbyteorder()))         # byte-swapped
    ro = a.copy()
    ro.setflags(write=False)
    out.append(ro)                                       # read-only
    if a.ndim == 1:
        out.append(a[::-1].copy()[::-1])                 # negative stride
        out.append(a.reshape(-1, 1))                     # (m, 1) is a vector
    if np.all(np.isfinite(a)) and np.all(a == np.round(a)) and np.all(np.abs(a) < 2**31):
        out.append(a.astype(np.int64))
    return out


def same_bits(a, b):
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    return a.shape == b.shape and np.array_equal(a.view(np.int64), b.view(np.int64))


def check_entry(call, args, array_positions):
    """Runs call(*args) with every argument at array_positions in every
    layout; all give the bits of the canonical call, leave the arguments
    untouched, and never return their memory."""
    try:
        expected = call(*args)
    except DOCUMENTED:
        return None
    for pos in array_positions:
        for variant in layouts(np.asarray(args[pos])):
            before = np.array(variant, copy=True)
            got = call(*args[:pos], variant, *args[pos + 1:])
            assert_same_result(got, expected)
            assert same_bits(np.asarray(variant, dtype=float), before.astype(float))
            for r in flatten(got):
                if isinstance(variant, np.ndarray):
                    assert not np.shares_memory(r, variant)
    return expected


def flatten(result):
    if isinstance(result, np.ndarray):
        return [result]
    if isinstance(result, tuple):
        return [r for r in result if isinstance(r, np.ndarray)]
    return []


def assert_same_result(got, expected):
    if isinstance(expected, tuple):
        assert len(got) == len(expected)
        for g, e in zip(got, expected):
            assert_same_result(g, e)
    elif isinstance(expected, list):
        assert got == expected
    elif isinstance(expected, q.GibbsResult):
        for k in ("H", "Hmax", "He", "r_heat", "var_E", "T"):
            assert same_bits(getattr(got, k), getattr(expected, k)), k
    else:
        assert same_bits(got, expected)


def assert_fresh_float64(*arrays, shapes):
    for a, shape in zip(arrays, shapes):
        assert isinstance(a, np.ndarray) and a.dtype == np.float64 and a.shape == shape
        assert a.flags.writeable


@given(vectors())
def test_mad(y):
    r = check_entry(q.mad, (y,), [0])
    assert isinstance(r, float)
    if y.size and not np.isnan(y).any() and np.isfinite(r):
        assert r >= 0.0


@given(vectors(min_size=1), st.integers(0, 5), odd_floats())
def test_compute_sr(yt, extra, eps):
    yp = np.concatenate([yt + 0.5, np.full(extra, np.nan)])
    r = check_entry(q.compute_sr, (yp, yt, eps), [0, 1])
    assert 1 / (2 * yt.size) <= r <= 1.0


@given(vectors(min_size=1), st.integers(-3, 30), st.integers(-3, 40))
def test_mdl_score(yt, k, H):
    r = check_entry(q.mdl_score, (yt * 0.5, yt, k, H), [0, 1])
    assert isinstance(r, float)


@given(st.integers(1, 5).flatmap(lambda m: st.tuples(
    vectors(min_size=1, max_size=20), hnp.arrays(np.float64, m, elements=odd_floats()),
    hnp.arrays(np.float64, (m, m), elements=odd_floats()), odd_floats(), odd_floats())))
def test_mdl_score_reg(args):
    yt, beta, R, g1, g2 = args
    check_entry(q.mdl_score_reg, (yt, yt, beta.size, 20, beta, R, R.T.copy(), g1, g2),
                [0, 1, 4, 5, 6])


@given(st.integers(0, 12), vectors(max_size=30))
def test_design_matrix_1d(deg, x):
    Phi = check_entry(q.design_matrix_1d, (deg, x), [1])
    assert_fresh_float64(Phi, shapes=[(x.size, deg + 1)])
    assert same_bits(Phi[:, 0], np.ones(x.size))


@given(st.integers(0, 10), odd_floats(), odd_floats(), st.integers(2, 60))
def test_smoothness_penalty_1d(deg, lo, hi, n):
    R1, R2 = q.smoothness_penalty_matrices_1d(deg, lo, hi, n)
    assert_fresh_float64(R1, R2, shapes=[(deg + 1, deg + 1)] * 2)
    for R in (R1, R2):
        assert same_bits(R, R.T)


@given(st.integers(-1, 12), odd_floats(), odd_floats())
def test_boundary_reduce(deg, lo, hi):
    Rb = q.boundary_reduce_1d(deg, lo, hi)
    assert_fresh_float64(Rb, shapes=[(deg + 1, deg + 1)])
    assert same_bits(Rb, Rb.T)


@given(st.lists(st.integers(-1, 3), max_size=4).flatmap(lambda d: st.tuples(
    st.just(d), st.lists(st.tuples(odd_floats(), odd_floats()), min_size=len(d),
                         max_size=len(d)), st.integers(2, 12))))
def test_penalty_nd(args):
    degrees, bounds, n = args
    R1, R2, mi = q.build_penalty_matrices_nd(degrees, bounds, n)
    M = 0 if -1 in degrees else int(np.prod([d + 1 for d in degrees]))
    assert_fresh_float64(R1, R2, shapes=[(M, M)] * 2)
    assert len(mi) == M and all(len(m) == len(degrees) for m in mi)
    for R in (R1, R2):
        assert same_bits(R, R.T)


def nd_inputs(D):
    multi = st.lists(st.lists(st.integers(-2, 4), min_size=D, max_size=D + 2), max_size=8)
    cols = st.integers(0, 20).flatmap(lambda n: st.lists(
        hnp.arrays(np.float64, n, elements=odd_floats()), min_size=D, max_size=D))
    return st.tuples(multi, cols)


@given(st.integers(1, 3).flatmap(nd_inputs))
def test_design_matrix_nd(args):
    mi, cols = args
    Phi = q.design_matrix_nd(mi, cols)
    n = cols[0].size
    assert_fresh_float64(Phi, shapes=[(n, len(mi))])
    for variant in zip(*[layouts(c) for c in cols]):
        assert same_bits(q.design_matrix_nd(mi, list(variant)), Phi)
    for c in cols:
        assert not np.shares_memory(Phi, c)


def matrices(max_rows=30, max_cols=6, elements=None):
    return st.tuples(st.integers(0, max_rows), st.integers(0, max_cols)).flatmap(
        lambda s: st.tuples(
            hnp.arrays(np.float64, s, elements=odd_floats() if elements is None else elements),
            hnp.arrays(np.float64, s[0], elements=odd_floats() if elements is None else elements)))


@given(st.one_of(matrices(), matrices(elements=TAME), matrices(200, 5, TAME)))
def test_ols(args):
    X, y = args
    b = check_entry(q.ols, (X, y), [0, 1])
    assert_fresh_float64(b, shapes=[(X.shape[1],)])
    if not (np.isfinite(X).all() and np.isfinite(y).all()):
        assert np.isnan(b).all()
    elif X.size == 0:
        assert not b.any()


@given(st.one_of(matrices(), matrices(elements=TAME)), odd_floats(), odd_floats(),
       st.sampled_from([0.0, 1e-10, 1.0]))
def test_fit_regularized(args, g1, g2, ridge):
    Phi, y = args
    M = Phi.shape[1]
    R = np.eye(M) + np.ones((M, M))
    b = check_entry(q.fit_regularized_linear, (Phi, y, R, R, g1, g2, ridge), [0, 1, 2, 3])
    assert_fresh_float64(b, shapes=[(M,)])
    if not (np.isfinite(Phi).all() and np.isfinite(y).all()):
        assert np.isnan(b).all()


@given(vectors(min_size=1), odd_floats())
def test_gibbs(E, T):
    g = check_entry(q.gibbs_entropy, (E, T), [0])
    assert isinstance(g, q.GibbsResult)


@settings(max_examples=15)
@given(matrices(20, 3, TAME), st.integers(0, 2**64 - 1))
def test_search(args, seed):
    X, y = args
    assume(y.size > 0)
    mcmc = q.TournamentMCMC(n_chains=2, n_warmup=5, n_deep=5, n_elite=2, seed=seed)
    fit = lambda X, y: mcmc.fit(X, y)
    r = fit(X, y)
    for variant in layouts(X):
        got = fit(variant, y)
        assert same_bits(got.beta_mcmc, r.beta_mcmc) and same_bits(got.energy, r.energy)
    assert r.beta_mcmc.shape == (X.shape[1],) and not r.beta_mcmc.flags.writeable
    assert not np.shares_memory(r.beta_mcmc, X)


@pytest.mark.parametrize("dtype", [np.float32, np.int8, np.uint64, np.bool_, ">f8", "<i4"])
def test_every_numeric_dtype_converts_to_the_same_values(dtype):
    x = np.array([0, 1, 1, 0, 1]).astype(dtype)
    np.testing.assert_array_equal(q.design_matrix_1d(2, x), q.design_matrix_1d(2, x.astype(float)))
