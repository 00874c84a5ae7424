"""Smoothness penalties in one and several variables and the boundary term,
against Riemann sums and derivatives computed independently in NumPy."""
import itertools

import numpy as np
import numpy.polynomial.polynomial as P
import pytest

import qorv_core as q

INT_MAX = 2**31 - 1


def derivative_table(x, deg, order):
    """len(x) by deg + 1: the order-th derivative of x^p, by NumPy's own
    polynomial differentiation of unit coefficient vectors."""
    cols = []
    for p in range(deg + 1):
        c = np.zeros(p + 1)
        c[p] = 1.0
        cols.append(P.polyval(x, P.polyder(c, order)) if order <= p else np.zeros_like(x))
    return np.column_stack(cols) if cols else np.zeros((len(x), 0))


def assert_exactly_symmetric(*matrices):
    for R in matrices:
        assert R.shape[0] == R.shape[1]
        assert np.array_equal(R, R.T)


# --- one variable ------------------------------------------------------------

def riemann_1d(deg, lo, hi, n):
    dx = (hi - lo) / (n - 1)
    x = lo + np.arange(n) * dx
    d1, d2 = derivative_table(x, deg, 1), derivative_table(x, deg, 2)
    return dx * d1.T @ d1, dx * d2.T @ d2


@pytest.mark.parametrize("deg,lo,hi,n", [
    (0, 0.0, 1.0, 2), (1, -1.0, 3.0, 7), (3, 0.0, 1.0, 600), (5, -2.0, 0.5, 41),
    (4, 1.0, -1.0, 13), (7, -0.3, 1.7, 256),
])
def test_1d_is_the_riemann_sum(deg, lo, hi, n):
    R1, R2 = q.smoothness_penalty_matrices_1d(deg, lo, hi, n)
    E1, E2 = riemann_1d(deg, lo, hi, n)
    for R, E in ((R1, E1), (R2, E2)):
        assert R.shape == (deg + 1, deg + 1) and R.dtype == np.float64
        np.testing.assert_allclose(R, E, rtol=1e-12, atol=1e-12 * np.abs(E).max(initial=1.0))
    assert_exactly_symmetric(R1, R2)
    assert not R1[0].any() and not R2[:2].any()


def test_1d_exact_examples():
    R1, R2 = q.smoothness_penalty_matrices_1d(2, 0.0, 1.0, 3)
    assert R1.tolist() == [[0, 0, 0], [0, 1.5, 1.5], [0, 1.5, 2.5]]
    assert R2.tolist() == [[0, 0, 0], [0, 0, 0], [0, 0, 6]]
    # End points carry full weight: a trapezoid rule would give 1.
    R1, R2 = q.smoothness_penalty_matrices_1d(1, 0.0, 1.0, 2)
    assert R1.tolist() == [[0, 0], [0, 2]] and R2.tolist() == [[0, 0], [0, 0]]


@pytest.mark.parametrize("n", [50, 600, 5000])
def test_1d_approaches_the_integral_with_full_end_weights(n):
    # For a polynomial f, dx * sum f'(x_g)^2 = integral + dx/2 (f'(a)^2 +
    # f'(b)^2) + O(dx^2): the plain sum's end correction, not a trapezoid's.
    rng = np.random.default_rng(n)
    beta = rng.standard_normal(6)
    a, b = -0.7, 1.3
    R1, R2 = q.smoothness_penalty_matrices_1d(5, a, b, n)
    dx = (b - a) / (n - 1)
    for R, order in ((R1, 1), (R2, 2)):
        g = P.polyder(beta, order)
        sq = P.polyint(P.polymul(g, g))
        integral = P.polyval(b, sq) - P.polyval(a, sq)
        ends = 0.5 * dx * (P.polyval(a, g) ** 2 + P.polyval(b, g) ** 2)
        assert beta @ R @ beta == pytest.approx(integral + ends, rel=50 * dx**2)


def test_1d_constant_slope_weights_add_up_to_n_dx():
    n = 600
    R1, R2 = q.smoothness_penalty_matrices_1d(2, 0.0, 3.0, n)
    assert R1[1, 1] == pytest.approx(3.0 * n / (n - 1), rel=1e-13)
    assert R2[2, 2] == pytest.approx(4 * 3.0 * n / (n - 1), rel=1e-13)


def test_1d_reversed_and_degenerate_intervals():
    R1, R2 = q.smoothness_penalty_matrices_1d(4, -1.0, 2.0, 31)
    S1, S2 = q.smoothness_penalty_matrices_1d(4, 2.0, -1.0, 31)
    np.testing.assert_allclose(S1, -R1, rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(S2, -R2, rtol=1e-12, atol=1e-12)
    Z1, Z2 = q.smoothness_penalty_matrices_1d(4, 1.5, 1.5, 31)
    assert not Z1.any() and not Z2.any()


@pytest.mark.parametrize("args,exc,match", [
    ((-1, 0.0, 1.0, 1), ValueError, "^deg < 0$"),   # deg is checked first
    ((-5, 0.0, 1.0, 600), ValueError, "^deg < 0$"),
    ((3, 0.0, 1.0, 1), ValueError, "^n_grid < 2$"),
    ((3, 0.0, 1.0, -7), ValueError, "^n_grid < 2$"),
    ((INT_MAX, 0.0, 1.0, 600), MemoryError, "deg"),
    ((2**20, 0.0, 1.0, 600), MemoryError, None),      # 2^41 entries
])
def test_1d_bad_arguments(args, exc, match):
    with pytest.raises(exc, match=match):
        q.smoothness_penalty_matrices_1d(*args)


# --- boundary term -----------------------------------------------------------

@pytest.mark.parametrize("deg,a,b", [(2, -1.0, 2.0), (3, 0.0, 1.0), (5, -1.5, 0.25), (8, 2.0, -1.0)])
def test_boundary_quadratic_form_is_the_boundary_term(deg, a, b):
    rng = np.random.default_rng(deg)
    Rb = q.boundary_reduce_1d(deg, a, b)
    assert_exactly_symmetric(Rb)
    for beta in rng.standard_normal((5, deg + 1)):
        d1, d2 = P.polyder(beta, 1), P.polyder(beta, 2)
        expected = (P.polyval(b, d1) * P.polyval(b, d2)
                    - P.polyval(a, d1) * P.polyval(a, d2))
        scale = np.abs(beta).sum() ** 2 * max(abs(a), abs(b), 1.0) ** (2 * deg) * deg**4
        assert beta @ Rb @ beta == pytest.approx(expected, abs=1e-13 * scale)


def test_boundary_exact_examples():
    assert q.boundary_reduce_1d(3, 0.0, 1.0).tolist() == [
        [0, 0, 0, 0], [0, 0, 0, 3], [0, 0, 4, 9], [0, 3, 9, 18]]
    assert q.boundary_reduce_1d(3, -1.0, 1.0).tolist() == [
        [0, 0, 0, 0], [0, 0, 0, 6], [0, 0, 8, 0], [0, 6, 0, 36]]
    R = q.boundary_reduce_1d(2, -1.0, 2.0)
    assert R[2, 2] == 12 and np.count_nonzero(R) == 1
    assert q.boundary_reduce_1d(1, -3.0, 5.0).tolist() == [[0, 0], [0, 0]]
    assert q.boundary_reduce_1d(-1, 0.0, 1.0).shape == (0, 0)


@pytest.mark.parametrize("deg", [-2, -(2**31), INT_MAX, 2**20])
def test_boundary_impossible_sizes_raise_memory_error(deg):
    with pytest.raises(MemoryError):
        q.boundary_reduce_1d(deg, 0.0, 1.0)


# --- several variables -------------------------------------------------------

def axis_points(lo, hi, n):
    step = (hi - lo) / (n - 1)
    k = np.arange(n)
    x = hi - (n - 1 - k) * step if abs(hi) < abs(lo) else lo + k * step
    x[0], x[-1] = lo, hi
    return x, step


def direct_grid_sum(degrees, bounds, n):
    """The tensor-grid sums written out point by point: every grid point,
    every axis (pair), every basis function."""
    D = len(degrees)
    mi = [list(t) for t in itertools.product(*[range(d + 1) for d in degrees])]
    axes, dV = [], 1.0
    for lo, hi in bounds:
        x, step = axis_points(lo, hi, n)
        axes.append(x)
        dV *= step
    tab = [[derivative_table(axes[d], degrees[d], o) for o in range(3)] for d in range(D)]
    grid = list(itertools.product(range(n), repeat=D))

    def table(orders):
        T = np.ones((len(grid), len(mi)))
        for g, k in enumerate(grid):
            for m, e in enumerate(mi):
                for d in range(D):
                    T[g, m] *= tab[d][orders[d]][k[d], e[d]]
        return T

    M = len(mi)
    R1, R2 = np.zeros((M, M)), np.zeros((M, M))
    for i in range(D):
        G = table([int(d == i) for d in range(D)])
        R1 += dV * G.T @ G
        for j in range(D):
            H = table([int(d == i) + int(d == j) for d in range(D)])
            R2 += dV * H.T @ H
    return R1, R2, mi


@pytest.mark.parametrize("degrees,bounds,n", [
    ([3], [(-1.0, 2.0)], 9),
    ([2, 3], [(0.0, 1.0), (-2.0, 0.5)], 6),
    ([1, 2, 2], [(0.0, 1.0), (-1.0, 1.0), (3.0, -0.5)], 4),   # a reversed axis
    ([2, 0, 3], [(-3.0, 0.5), (5.0, 7.0), (0.25, 1.0)], 5),   # a constant axis
    ([4, 4], [(-10.0, 1e-3), (1e3, 2e3)], 7),                 # wide magnitudes
])
def test_nd_equals_the_direct_grid_sum(degrees, bounds, n):
    R1, R2, mi = q.build_penalty_matrices_nd(degrees, bounds, n)
    E1, E2, emi = direct_grid_sum(degrees, bounds, n)
    assert mi == emi
    for R, E in ((R1, E1), (R2, E2)):
        assert R.shape == E.shape and R.dtype == np.float64
        np.testing.assert_allclose(R, E, rtol=0, atol=1e-12 * np.abs(E).max(initial=1.0))
    assert_exactly_symmetric(R1, R2)


def test_nd_exact_examples():
    R1, R2, mi = q.build_penalty_matrices_nd([2], [(0.0, 1.0)], 3)
    assert mi == [[0], [1], [2]]
    assert R1.tolist() == [[0, 0, 0], [0, 1.5, 1.5], [0, 1.5, 2.5]]
    assert R2.tolist() == [[0, 0, 0], [0, 0, 0], [0, 0, 6]]

    R1, R2, mi = q.build_penalty_matrices_nd([1, 1], [(0.0, 1.0), (0.0, 1.0)], 2)
    assert mi == [[0, 0], [0, 1], [1, 0], [1, 1]]
    assert R1.tolist() == [[0, 0, 0, 0], [0, 4, 0, 2], [0, 0, 4, 2], [0, 2, 2, 4]]
    expected = np.zeros((4, 4))
    expected[3, 3] = 8.0  # the mixed partial, counted for (0, 1) and (1, 0)
    assert np.array_equal(R2, expected)


@pytest.mark.parametrize("degrees,bounds,R_shape,mi", [
    ([], [], (1, 1), [[]]),
    ([2, -1], [(0.0, 1.0), (0.0, 1.0)], (0, 0), []),
    ([-1], [(0.0, 1.0)], (0, 0), []),
])
def test_nd_degenerate_bases(degrees, bounds, R_shape, mi):
    R1, R2, got = q.build_penalty_matrices_nd(degrees, bounds)
    assert got == mi and R1.shape == R_shape and R2.shape == R_shape
    assert not R1.any() and not R2.any()


def test_nd_one_variable_agrees_with_1d():
    R1, R2, _ = q.build_penalty_matrices_nd([6], [(-0.5, 2.0)], 600)
    S1, S2 = q.smoothness_penalty_matrices_1d(6, -0.5, 2.0, 600)
    np.testing.assert_allclose(R1, S1, rtol=1e-11)
    np.testing.assert_allclose(R2, S2, rtol=1e-11)


def test_nd_weights_are_the_box_volume_times_the_grid_factor():
    # f = x_0 has gradient (1, 0, 0) everywhere: the sum is G dV.
    n = 30
    R1, R2, mi = q.build_penalty_matrices_nd([1, 1, 1], [(0.0, 2.0), (-1.0, 1.0), (3.0, 3.5)], n)
    m = mi.index([1, 0, 0])
    assert R1[m, m] == pytest.approx(2.0 * 2.0 * 0.5 * (n / (n - 1)) ** 3, rel=1e-13)


def test_nd_zero_width_axis_gives_zero_matrices():
    R1, R2, _ = q.build_penalty_matrices_nd([2, 3], [(0.0, 1.0), (2.0, 2.0)], 5)
    assert not R1.any() and not R2.any()


def test_nd_rows_of_low_degree_vanish_and_matrices_are_semidefinite():
    R1, R2, mi = q.build_penalty_matrices_nd([3, 2, 2], [(-1.0, 1.0), (0.0, 2.0), (-3.0, -1.0)])
    mi = np.array(mi)
    assert not R1[0].any() and not R2[mi.sum(axis=1) <= 1].any()
    for R in (R1, R2):
        w = np.linalg.eigvalsh(R)
        assert w.min() >= -1e-10 * w.max()


def test_nd_large_bases_stay_consistent():
    # The benchmark sizes: exactly symmetric, and each coordinate axis of a
    # six-variable basis sees the same one-variable matrix.
    R1, R2, mi = q.build_penalty_matrices_nd([2] * 6, [(0.0, 1.0)] * 6)
    assert R1.shape == (729, 729) and len(mi) == 729
    assert_exactly_symmetric(R1, R2)
    e = [mi.index([0] * d + [2] + [0] * (5 - d)) for d in range(6)]
    assert len({R2[i, i] for i in e}) == 1


@pytest.mark.parametrize("degrees,bounds,n,exc,match", [
    ([1, 1], [(0.0, 1.0)], 30, ValueError, r"^Dimension mismatch\.$"),
    ([1], [(0.0, 1.0), (0.0, 1.0)], -3, ValueError, r"^Dimension mismatch\.$"),  # checked first
    ([1, 1], [(0.0, 1.0)] * 2, 1, ValueError, "^n_grid_per_dim < 2$"),
    ([1, 1], [(0.0, 1.0)] * 2, 0, ValueError, "^n_grid_per_dim < 2$"),
    ([1, 1], [(0.0, 1.0)] * 2, -(2**31), ValueError, "^n_grid_per_dim < 2$"),
    ([2, -2], [(0.0, 1.0)] * 2, 30, MemoryError, "degrees"),
    ([INT_MAX], [(0.0, 1.0)], 30, MemoryError, None),
    ([1000] * 8, [(0.0, 1.0)] * 8, 30, MemoryError, None),          # M = 1001^8
    ([1] * 100_000, [(0.0, 1.0)] * 100_000, 30, MemoryError, None),  # M = 2^100000
])
def test_nd_bad_arguments(degrees, bounds, n, exc, match):
    with pytest.raises(exc, match=match):
        q.build_penalty_matrices_nd(degrees, bounds, n)


def test_nd_many_constant_axes_do_not_exhaust_the_stack():
    D = 200_000
    R1, R2, mi = q.build_penalty_matrices_nd([0] * D, [(0.0, 1.0)] * D, 30)
    assert R1.shape == (1, 1) and mi == [[0] * D]


# Minutes of work, in many cheap steps (a grid of 2^31 - 1 points) or in few
# costly ones (a point of a basis of thousands, a basis row of many axes):
# Ctrl-C must stop it either way.
@pytest.mark.parametrize("call", [
    f"q.smoothness_penalty_matrices_1d(3, 0.0, 1.0, {INT_MAX})",
    f"q.build_penalty_matrices_nd([3, 3], [(0.0, 1.0)] * 2, {INT_MAX})",
    "q.smoothness_penalty_matrices_1d(6000, 0.0, 1.0, 600)",
    "q.build_penalty_matrices_nd([4095], [(0.0, 1.0)], 2000)",
    "q.build_penalty_matrices_nd([1] * 14, [(0.0, 1.0)] * 14, 3)",
])
def test_ctrl_c_stops_a_huge_grid(ctrl_c, call):
    out, seconds = ctrl_c("import qorv_core as q", call)
    assert out == "interrupted" and seconds < 3.0
