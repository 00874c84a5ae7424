"""Robust spread, hit rate and description-length score."""
import math

import numpy as np
import pytest

import qorv_core as q


def numpy_mad(y):
    y = np.asarray(y, dtype=float)
    if y.size == 0:
        return 0.0
    return float(np.median(np.abs(y - np.median(y))))


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 10, 11, 1000, 1001])
def test_mad_against_numpy(n):
    rng = np.random.default_rng(n)
    for y in (rng.standard_normal(n), rng.integers(0, 4, n).astype(float)):
        assert q.mad(y) == numpy_mad(y)


@pytest.mark.parametrize("y,expected", [
    ([1, 1, 1, 1], 0.0),
    ([1, 2, 3, 4, 100], 1.0),
    ([], 0.0),
    ([5.0], 0.0),
    ([-np.inf, 0.0, 1.0], 1.0),
])
def test_mad_values(y, expected):
    assert q.mad(y) == expected


def test_mad_of_data_with_nan_is_nan():
    assert math.isnan(q.mad([1.0, np.nan, 3.0]))
    assert math.isnan(q.mad([np.inf, np.inf]))  # deviations inf - inf


def test_mad_does_not_modify_its_argument():
    y = np.array([3.0, 1.0, 2.0, 10.0])
    q.mad(y)
    np.testing.assert_array_equal(y, [3.0, 1.0, 2.0, 10.0])


@pytest.mark.parametrize("errors,eps,expected", [
    ([0.0, 0.0, 0.0, 0.0], 0.1, 1.0),
    ([0.0, 0.0, 0.0, 0.0], 0.0, 0.125),     # strict: an exact hit at eps = 0 misses
    ([0.05, 1.0, 2.0, 3.0], 0.1, 0.25),
    ([1.0, 1.0, 1.0, 1.0], 0.1, 0.125),     # no hit: the 1/(2n) floor
    ([0.5, 0.5, 0.0, 0.0], 0.5, 0.5),       # an error equal to eps misses
    ([np.nan, 0.0, 0.0, 0.0], 0.1, 0.75),   # NaN misses
    ([0.0, 0.0, 0.0, 0.0], -1.0, 0.125),
])
def test_hit_rate(errors, eps, expected):
    yt = np.array([1.0, -2.0, 3.0, 0.5])
    assert q.compute_sr(yt + np.array(errors), yt, eps) == expected


@pytest.mark.parametrize("n", [1, 15, 16, 17, 63, 1000])
def test_hit_rate_matches_numpy_count(n):
    # Errors on, inside and outside eps, NaN, infinities and signed zeros,
    # over lengths around the sixteen-row steps of the vector count.
    rng = np.random.default_rng(n)
    eps = 0.25
    pool = np.array([0.0, -0.0, eps, -eps, np.nextafter(eps, 0), 0.3, np.nan,
                     np.inf, -np.inf, 1e-300])
    yt = rng.normal(size=n)
    yp = yt + rng.choice(pool, n)
    want = np.count_nonzero(np.abs(yp - yt) < eps) / n
    assert q.compute_sr(yp, yt, eps) == max(want, 1 / (2 * n))


def test_hit_rate_of_nothing_is_nan():
    assert math.isnan(q.compute_sr([], [], 1.0))


def test_hit_rate_reads_yp_only_up_to_the_targets():
    assert q.compute_sr([1.0, 2.0, 99.0], [1.0, 2.0], 0.5) == 1.0


@pytest.mark.parametrize("call", [
    lambda: q.compute_sr([1.0], [1.0, 2.0], 0.5),
    lambda: q.mdl_score([1.0], [1.0, 2.0], 1),
    lambda: q.mdl_score_reg([1.0], [1.0, 2.0], 1, 2, [1.0], np.eye(1), np.eye(1)),
])
def test_short_predictions_are_rejected(call):
    with pytest.raises(ValueError, match="yp has 1 entries but yt has 2"):
        call()


def reference_score(yp, yt, k, H, beta=None, R1=None, R2=None, g1=0.0, g2=0.0):
    yp, yt = np.asarray(yp, float), np.asarray(yt, float)
    n = yt.size
    m = numpy_mad(yt)
    eps = 0.4 * m if m > 0 else 0.4
    sr = max(np.count_nonzero(np.abs(yp[:n] - yt) < eps) / n, 1 / (2 * n))
    L = -n * math.log(sr) + (k * k * math.log(2 * H) / n if k > 0 else 0.0)
    if g1 != 0.0:
        L += g1 * beta @ R1 @ beta
    if g2 != 0.0:
        L += g2 * beta @ R2 @ beta
    return L


def test_score_examples():
    yt = np.zeros(4)
    one_hit = np.array([0.0, 10.0, 10.0, 10.0])
    assert q.mdl_score(one_hit, yt, 2, 10) == pytest.approx(8.5409097180, abs=1e-10)
    assert q.mdl_score(np.full(4, 10.0), yt, 2, 10) == pytest.approx(
        4 * math.log(8) + math.log(20), rel=1e-15)
    assert q.mdl_score(yt, yt, 0) == 0.0


def test_score_uses_default_H_20():
    yt = np.arange(5.0)
    assert q.mdl_score(yt, yt, 3) == q.mdl_score(yt, yt, 3, 20)
    assert q.mdl_score(yt, yt, 3, H=7) == pytest.approx(9 * math.log(14) / 5, rel=1e-15)


@pytest.mark.parametrize("k,H", [(0, 0), (0, -5), (-1, 20), (-3, 0)])
def test_no_model_term_for_k_at_most_zero(k, H):
    yt = np.arange(6.0)
    assert q.mdl_score(yt, yt, k, H) == 0.0


def test_H_zero_with_positive_k_is_minus_infinity():
    yt = np.arange(6.0)
    assert q.mdl_score(yt, yt, 2, 0) == -math.inf
    assert math.isnan(q.mdl_score(yt, yt, 2, -1))


def test_tolerance_follows_the_spread_of_the_targets():
    yt = np.array([0.0, 2.5, 5.0, 7.5, 10.0])  # mad 2.5 -> eps 1.0
    assert q.mad(yt) == 2.5
    assert q.mdl_score(yt + 0.999, yt, 0) == 0.0
    assert q.mdl_score(yt + 1.0, yt, 0) > 0.0
    const = np.full(4, 3.0)                    # mad 0 -> eps 0.4
    assert q.mdl_score(const + 0.39, const, 0) == 0.0
    assert q.mdl_score(const + 0.41, const, 0) > 0.0


def test_penalised_score_example():
    yt = np.arange(4.0)
    base = q.mdl_score(yt, yt, 2, 10)
    pen = q.mdl_score_reg(yt, yt, 2, 10, [1.0, 2.0], np.eye(2), np.ones((2, 2)),
                          0.1, 0.0)
    assert pen == base + 0.1 * 5.0
    assert q.mdl_score_reg(yt, yt, 2, 10, [1.0, 2.0], np.eye(2), np.eye(2)) == base


@pytest.mark.parametrize("seed", range(5))
def test_penalised_score_against_reference(seed):
    rng = np.random.default_rng(seed)
    n, m = 30, 4
    yt = rng.standard_normal(n)
    yp = yt + rng.standard_normal(n) * 0.5
    beta = rng.standard_normal(m)
    A, B = rng.standard_normal((m, m)), rng.standard_normal((m, m))
    R1, R2 = A @ A.T, B @ B.T
    got = q.mdl_score_reg(yp, yt, m, 20, beta, R1, R2, 0.3, 1e-2)
    assert got == pytest.approx(reference_score(yp, yt, m, 20, beta, R1, R2, 0.3, 1e-2),
                                rel=1e-13)


def test_nan_weight_makes_the_score_nan():
    yt = np.arange(3.0)
    assert math.isnan(q.mdl_score_reg(yt, yt, 1, 2, [1.0], np.eye(1), np.eye(1),
                                      math.nan, 0.0))


@pytest.mark.parametrize("beta,R1,R2,msg", [
    ([1.0, 2.0], np.eye(3), np.eye(2), "R1 is 3 x 3 but beta has 2 entries"),
    ([1.0, 2.0], np.eye(2), np.ones((2, 3)), "R2 is 2 x 3 but beta has 2 entries"),
])
def test_penalty_shapes_must_match_beta(beta, R1, R2, msg):
    yt = np.arange(3.0)
    with pytest.raises(ValueError, match=msg):
        q.mdl_score_reg(yt, yt, 2, 2, beta, R1, R2, 1.0, 1.0)


def _penalised(entry, R2, gamma2):
    rng = np.random.default_rng(3)
    X, y = rng.normal(size=(6, 2)), rng.normal(size=6)
    if entry == "score":
        return q.mdl_score_reg(y, y, 2, 2, [1.0, 2.0], np.eye(2), R2, 0.5, gamma2)
    if entry == "fit":
        return q.fit_regularized_linear(X, y, np.eye(2), R2, 0.5, gamma2)
    return q.TournamentMCMC(n_chains=2, n_warmup=3, n_deep=3).fit(X, y, np.eye(2), R2,
                                                                   0.5, gamma2).energy


@pytest.mark.parametrize("entry", ["score", "fit", "search"])
def test_a_matrix_is_checked_exactly_when_it_is_applied(entry):
    # Weight 0: the matrix is not read, whatever its shape; any other weight
    # (NaN included) applies it, and then it must be square of the basis size.
    np.testing.assert_array_equal(_penalised(entry, np.ones((5, 2)), 0.0),
                                  _penalised(entry, np.zeros((2, 2)), 1.0))
    for gamma2 in (1.0, float("nan")):
        with pytest.raises(ValueError, match="R2 is 5 x 2 but"):
            _penalised(entry, np.ones((5, 2)), gamma2)
