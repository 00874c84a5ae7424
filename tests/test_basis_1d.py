"""One-variable monomial design matrix."""
import numpy as np
import pytest
from numpy.polynomial import polynomial as P

import qorv_core as q


@pytest.mark.parametrize("deg", [0, 1, 3, 9])
@pytest.mark.parametrize("n", [0, 1, 7, 1000, 1537])
def test_against_polyvander(deg, n):
    x = np.random.default_rng(deg * 1000 + n).uniform(-2, 2, n)
    Phi = q.design_matrix_1d(deg, x)
    assert Phi.shape == (n, deg + 1)
    # polyvander also builds powers by repeated multiplication from the left.
    np.testing.assert_array_equal(Phi, P.polyvander(x, deg))


def test_powers_are_repeated_products_not_pow():
    Phi = q.design_matrix_1d(4, [1.1])
    assert Phi[0, 4] == 1.4641000000000006
    assert 1.1 ** 4 == 1.4641000000000004  # the value pow would give


def test_special_samples():
    Phi = q.design_matrix_1d(3, [0.0, np.nan, -2.0, np.inf])
    np.testing.assert_array_equal(Phi[0], [1, 0, 0, 0])
    assert Phi[1, 0] == 1.0 and np.isnan(Phi[1, 1:]).all()
    np.testing.assert_array_equal(Phi[2], [1, -2, 4, -8])
    np.testing.assert_array_equal(Phi[3], [1, np.inf, np.inf, np.inf])


def test_empty_samples_keep_the_column_count():
    assert q.design_matrix_1d(3, np.empty(0)).shape == (0, 4)


def test_negative_degree_is_rejected():
    with pytest.raises(ValueError, match="^deg < 0$"):
        q.design_matrix_1d(-1, [1.0])


def test_degree_whose_column_count_overflows_is_refused_before_allocating():
    with pytest.raises(MemoryError, match="deg"):
        q.design_matrix_1d(2**31 - 1, [1.0])


def test_size_beyond_memory_is_refused():
    with pytest.raises(MemoryError, match="exceeds|more than"):
        q.design_matrix_1d(2**31 - 2, np.zeros(1000))
