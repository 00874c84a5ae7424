"""Multi-index lists and the several-variable design matrix."""
import itertools
import math

import numpy as np
import pytest

import qorv_core as q


def multi_indices(degrees):
    # The list is returned as the third member of the penalty builder.
    return q.build_penalty_matrices_nd(degrees, [(0.0, 1.0)] * len(degrees), 2)[2]


@pytest.mark.parametrize(
    "degrees", [[1, 2], [2], [0, 0], [3, 0, 2], [1, 1, 1, 1], [2, 1, 0, 3]]
)
def test_multi_indices_are_the_tensor_grid_with_the_last_variable_fastest(degrees):
    expected = [list(t) for t in itertools.product(*(range(d + 1) for d in degrees))]
    assert multi_indices(degrees) == expected


@pytest.mark.parametrize(
    "degrees, expected",
    [([], [[]]), ([2, -1], []), ([-1, 2], []), ([1, 2], [[0, 0], [0, 1], [0, 2], [1, 0], [1, 1], [1, 2]])],
)
def test_multi_index_edge_cases(degrees, expected):
    assert multi_indices(degrees) == expected


def pow_product(mi, cols):
    """Column j: 1.0 times pow(x_d, p_d) for every positive p_d, in increasing d."""
    n = len(cols[0])
    Phi = np.empty((n, len(mi)))
    for j, row in enumerate(mi):
        for i in range(n):
            v = 1.0
            for d, x in enumerate(cols):
                if row[d] > 0:
                    v = v * math.pow(x[i], float(row[d]))
            Phi[i, j] = v
    return Phi


def test_products_of_pow_bit_for_bit():
    rng = np.random.default_rng(1)
    cols = [rng.uniform(-2, 2, 37), rng.uniform(0, 3, 37), rng.normal(size=37)]
    mi = [list(r) for r in rng.integers(-2, 9, size=(25, 4))]  # extra 4th entry
    np.testing.assert_array_equal(q.design_matrix_nd(mi, cols), pow_product(mi, cols))


@pytest.mark.parametrize("n", [1, 255, 256, 257, 1000, 20000])
@pytest.mark.parametrize("degrees", [[3, 3], [2, 4, 1], [5]])
def test_against_a_numpy_product_of_powers(n, degrees):
    rng = np.random.default_rng(n + len(degrees))
    X = rng.uniform(-1.5, 1.5, (n, len(degrees)))
    mi = multi_indices(degrees)
    E = np.array(mi, dtype=float)
    expected = np.prod(X[:, None, :] ** E[None, :, :], axis=2)
    Phi = q.design_matrix_nd(mi, list(X.T))
    assert Phi.shape == (n, len(mi))
    np.testing.assert_allclose(Phi, expected, rtol=1e-14, atol=0)


def test_many_distinct_exponents():
    x = np.array([0.999, 1.0, 1.001, -1.0005])
    p = np.arange(1, 70001)
    Phi = q.design_matrix_nd([[int(k)] for k in p], [x])
    np.testing.assert_allclose(Phi, x[:, None] ** p[None, :], rtol=1e-12)


def test_named_columns():
    a, b = np.array([1.0, 2.0, -3.0]), np.array([4.0, 0.5, 6.0])
    Phi = q.design_matrix_nd([[0, 0], [1, 0], [0, 1], [1, 1]], [a, b])
    np.testing.assert_array_equal(Phi, np.column_stack([np.ones(3), a, b, a * b]))


def test_exponents_of_zero_or_below_contribute_nothing():
    a = np.array([0.0, np.nan, 2.0, -np.inf])
    np.testing.assert_array_equal(q.design_matrix_nd([[-1], [0], [-7]], [a]), np.ones((4, 3)))
    # The skipped factor leaves NaN out, the applied one brings it in.
    Phi = q.design_matrix_nd([[0, 1], [2, 0]], [a, np.ones(4)])
    np.testing.assert_array_equal(Phi[:, 0], np.ones(4))
    np.testing.assert_array_equal(Phi[:, 1], [0.0, np.nan, 4.0, np.inf])


def test_rows_past_the_first_column_are_never_read():
    a, longer = np.linspace(-1, 2, 9), np.linspace(0, 3, 14)
    mi = [[0, 0], [1, 2], [2, 1]]
    np.testing.assert_array_equal(q.design_matrix_nd(mi, [a, longer]),
                                  q.design_matrix_nd(mi, [a, longer[:9]]))


def test_extra_exponents_are_ignored():
    a = np.linspace(-1, 2, 9)
    np.testing.assert_array_equal(q.design_matrix_nd([[1, 5], [3, -2, 7]], [a]),
                                  q.design_matrix_nd([[1], [3]], [a]))


@pytest.mark.parametrize(
    "mi, cols, shape",
    [([], [np.arange(5.0)], (5, 0)), ([[1], [2], [0]], [np.empty(0)], (0, 3)),
     ([], [np.empty(0), np.empty(0)], (0, 0))],
)
def test_zero_sizes(mi, cols, shape):
    assert q.design_matrix_nd(mi, cols).shape == shape


@pytest.mark.parametrize(
    "mi, cols, match",
    [
        ([[1]], [], "X_cols is empty"),
        ([[1, 1]], [np.ones(4), np.ones(3)], r"X_cols\[1\] has 3 entries but X_cols\[0\] has 4"),
        ([[1, 1], [2]], [np.ones(3), np.ones(3)], r"multi_indices\[1\] has 1 entries but X_cols has 2"),
        ([[]], [np.ones(3)], r"multi_indices\[0\] has 0 entries but X_cols has 1"),
    ],
)
def test_inputs_breaking_the_preconditions_are_rejected(mi, cols, match):
    with pytest.raises(ValueError, match=match):
        q.design_matrix_nd(mi, cols)


def test_size_beyond_memory_is_refused():
    with pytest.raises(MemoryError):
        q.design_matrix_nd([[1]] * 2**20, [np.zeros(2**20)])
