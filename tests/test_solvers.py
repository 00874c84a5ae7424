"""Least squares through the SVD and penalised least squares through the
normal equations."""
import numpy as np
import pytest
import scipy.linalg

import qorv_core as q

EPS = 2.0 ** -52


def design(n, M, seed=0):
    rng = np.random.default_rng(seed)
    return rng.standard_normal((n, M)), rng.standard_normal(n)


def diagonal_design(n, M, s):
    """X[j, j] = s[j], zero elsewhere: its singular values are exactly |s|."""
    X = np.zeros((n, M))
    X[np.arange(len(s)), np.arange(len(s))] = s
    return X


# --- ols -------------------------------------------------------------------

# Tall (QR then SVD; several chunks, ragged blocks and lane tails), the
# boundary between the two paths, square and wide (SVD of X itself).
@pytest.mark.parametrize("n,M", [
    (1, 1), (7, 3), (33, 1), (1023, 4), (5000, 21), (100003, 5), (40000, 12),
    (2 * 6, 6), (2 * 6 - 1, 6), (8, 8), (3, 7), (20, 60),
])
def test_ols_matches_lstsq(n, M):
    X, y = design(n, M, seed=n + M)
    expected = np.linalg.lstsq(X, y, rcond=None)[0]
    np.testing.assert_allclose(q.ols(X, y), expected, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("n", [50, 5])  # tall and wide
def test_ols_duplicate_columns_split_equally(n):
    X, y = design(n, 4, seed=3)
    X = np.column_stack([X, X[:, 1]])
    b = q.ols(X, y)
    assert b[1] == pytest.approx(b[4], rel=1e-9)
    np.testing.assert_allclose(b, np.linalg.pinv(X) @ y, rtol=1e-8, atol=1e-12)


def test_ols_wide_is_minimum_norm_interpolant():
    X, y = design(6, 15, seed=4)
    b = q.ols(X, y)
    np.testing.assert_allclose(X @ b, y, atol=1e-12)
    null = scipy.linalg.null_space(X)
    np.testing.assert_allclose(null.T @ b, 0.0, atol=1e-12)


# s < s_max * max(1, min(n, M)) * eps counts as zero: min(n, M) = 3 here in
# both paths, so 2^-50 = 4 eps is kept, which max(n, M) would drop.
@pytest.mark.parametrize("n,M", [(10, 3), (3, 5)])
@pytest.mark.parametrize("small,kept", [
    (3 * EPS, True),
    (np.nextafter(3 * EPS, 0.0), False),
    (4 * EPS, True),
    (2 * EPS, False),
])
def test_ols_rank_threshold(n, M, small, kept):
    y = np.arange(1.0, n + 1)
    b = q.ols(diagonal_design(n, M, [1.0, 0.5, small]), y)
    assert b[:2].tolist() == [1.0, 4.0]
    assert b[2] == (pytest.approx(3.0 / small, rel=1e-15) if kept else 0.0)
    assert not b[3:].any()


def test_ols_extreme_magnitudes(child):
    # Squares of 2^900 overflow and of 2^-1000 underflow; powers of two scale
    # the answer exactly. Below DBL_MIN a singular value counts as zero.
    r = child("""
        import numpy as np, qorv_core as q
        rng = np.random.default_rng(5)
        for n, M in [(50, 4), (5, 9)]:
            X, y = rng.standard_normal((n, M)), rng.standard_normal(n)
            big = q.ols(X * 2.0**900, y * 2.0**500)
            assert np.array_equal(big, q.ols(X, y) * 2.0**-400), (n, M)
            tiny = q.ols(X * 2.0**-1000, y * 2.0**-600)
            assert np.array_equal(tiny, q.ols(X, y) * 2.0**400), (n, M)
        X = np.zeros((6, 2)); X[0, 0] = 2.0**-1000; X[1, 1] = 2.0**-1023
        assert q.ols(X, np.ones(6)).tolist() == [2.0**1000, 0.0]
        print("ok")
    """)
    assert r.returncode == 0 and r.stdout.strip() == "ok", r.stderr


def test_ols_non_finite_and_empty(child):
    # In a child: the SVD would take the interpreter down on such input.
    r = child("""
        import numpy as np, qorv_core as q
        rng = np.random.default_rng(6)
        for n, M in [(40, 3), (3, 8)]:
            for bad in (np.nan, np.inf, -np.inf):
                X, y = rng.standard_normal((n, M)), rng.standard_normal(n)
                X[n - 1, M - 1] = bad
                assert np.isnan(q.ols(X, y)).all() and q.ols(X, y).size == M
                X[n - 1, M - 1] = 0.0; y[n // 2] = bad
                assert np.isnan(q.ols(X, y)).all()
        assert q.ols(np.zeros((0, 3)), np.zeros(0)).tolist() == [0.0] * 3
        assert q.ols(np.zeros((5, 0)), np.ones(5)).size == 0
        assert q.ols(np.zeros((40, 3)), np.ones(40)).tolist() == [0.0] * 3
        print("ok")
    """)
    assert r.returncode == 0 and r.stdout.strip() == "ok", r.stderr


def test_ols_size_mismatch():
    with pytest.raises(ValueError, match="^y has 4 entries but X has 5 rows$"):
        q.ols(np.ones((5, 2)), np.ones(4))


# --- fit_regularized_linear ------------------------------------------------

def penalties(M, seed=7):
    rng = np.random.default_rng(seed)
    B1, B2 = rng.standard_normal((2, M, M))
    return B1 @ B1.T, B2 @ B2.T


def reference(Phi, y, R1=None, R2=None, gamma1=0.0, gamma2=0.0, ridge=1e-10):
    n, M = len(y), Phi.shape[1]
    A = Phi.T @ Phi + ridge * np.eye(M)
    if R1 is not None:
        A = A + (n * gamma1) * R1
    if R2 is not None:
        A = A + (n * gamma2) * R2
    return scipy.linalg.solve(A, Phi.T @ y, assume_a="pos")


@pytest.mark.parametrize("n,M", [(1, 1), (9, 4), (1001, 6), (30000, 13), (4000, 101)])
def test_fit_matches_scipy(n, M):
    Phi, y = design(n, M, seed=n)
    R1, R2 = penalties(M)
    for kw in ({}, {"R1": R1, "gamma1": 0.3}, {"R2": R2, "gamma2": 1e-3},
               {"R1": R1, "R2": R2, "gamma1": 0.2, "gamma2": 0.05, "ridge": 0.0}):
        np.testing.assert_allclose(q.fit_regularized_linear(Phi, y, **kw),
                                   reference(Phi, y, **kw), rtol=1e-8, atol=1e-12)


def test_fit_without_penalty_is_ols():
    Phi, y = design(500, 5, seed=8)
    np.testing.assert_allclose(q.fit_regularized_linear(Phi, y, ridge=0.0),
                               q.ols(Phi, y), rtol=1e-10)


def test_fit_sample_doubling_invariance():
    Phi, y = design(300, 5, seed=9)
    R1, R2 = penalties(5)
    kw = dict(R1=R1, R2=R2, gamma1=0.01, gamma2=0.002, ridge=0.0)
    np.testing.assert_allclose(
        q.fit_regularized_linear(np.vstack([Phi, Phi]), np.concatenate([y, y]), **kw),
        q.fit_regularized_linear(Phi, y, **kw), rtol=1e-10)


def test_fit_reads_only_the_lower_triangle():
    Phi, y = design(60, 4, seed=10)
    R1 = np.tril(np.random.default_rng(11).standard_normal((4, 4)))
    sym = R1 + np.tril(R1, -1).T
    garbage = R1 + np.triu(np.full((4, 4), np.nan), 1)
    b = q.fit_regularized_linear(Phi, y, R1=sym, gamma1=0.1)
    assert np.array_equal(q.fit_regularized_linear(Phi, y, R1=garbage, gamma1=0.1), b)
    np.testing.assert_allclose(b, reference(Phi, y, R1=sym, gamma1=0.1), rtol=1e-9)


def test_fit_terms_switched_off():
    Phi, y = design(80, 3, seed=12)
    plain = q.fit_regularized_linear(Phi, y)
    R1, R2 = penalties(3)
    bad = np.full((2, 5), np.nan)  # not applied: neither checked nor read
    for kw in ({"R1": R1}, {"R2": R2}, {"gamma1": 2.0}, {"gamma2": -1.0},
               {"R1": bad, "R2": bad, "gamma1": 0.0, "gamma2": -0.0}):
        assert np.array_equal(q.fit_regularized_linear(Phi, y, **kw), plain)


def test_fit_ridge_default_and_zero_pivot():
    Phi, y = np.array([[1e-5]]), np.array([1e-5])
    assert q.fit_regularized_linear(Phi, y).tolist() == [0.5]
    assert q.fit_regularized_linear(Phi, y, ridge=0.0).tolist() == [1.0]
    # A zero column gives a zero pivot: a zero component, no fallback.
    Phi, y = design(50, 3, seed=13)
    Phi[:, 1] = 0.0
    b = q.fit_regularized_linear(Phi, y, ridge=0.0)
    assert b[1] == 0.0
    np.testing.assert_allclose(b, np.linalg.lstsq(Phi, y, rcond=None)[0], rtol=1e-10)


@pytest.mark.parametrize("kw", [
    {"gamma1": np.nan, "R1": np.eye(3)},
    {"gamma2": np.inf, "R2": np.eye(3)},
    {"gamma1": 1.0, "R1": np.diag([1.0, np.nan, 1.0])},
    {"ridge": np.inf},
    {"y_bad": np.nan},
    {"phi_bad": np.inf},
])
def test_fit_non_finite_system_gives_nan(kw):
    Phi, y = design(30, 3, seed=14)
    if "y_bad" in kw:
        y[4] = kw.pop("y_bad")
    if "phi_bad" in kw:
        Phi[2, 2] = kw.pop("phi_bad")
    b = q.fit_regularized_linear(Phi, y, **kw)
    assert b.shape == (3,) and np.isnan(b).all()


def test_fit_empty_designs():
    assert q.fit_regularized_linear(np.zeros((0, 3)), np.zeros(0)).tolist() == [0.0] * 3
    assert q.fit_regularized_linear(np.zeros((4, 0)), np.ones(4)).size == 0


def test_fit_optional_matrix_adapter():
    Phi, y = design(20, 1, seed=15)
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type "):
        q.fit_regularized_linear(Phi, y, R1="abc")
    with pytest.raises(RuntimeError) as err:  # R1 is converted first
        q.fit_regularized_linear(Phi, y, R1="abc", R2={}, gamma1=1.0, gamma2=1.0)
    assert "str" in str(err.value) and "dict" not in str(err.value)
    np.testing.assert_allclose(
        q.fit_regularized_linear(Phi, y, R1=[[1.0]], gamma1=0.5),
        reference(Phi, y, R1=np.eye(1), gamma1=0.5), rtol=1e-12)


@pytest.mark.parametrize("kw,message", [
    ({"R1": np.eye(2), "gamma1": 1.0}, "R1 is 2 x 2 but Phi has 3 columns"),
    ({"R2": np.ones((3, 2)), "gamma2": -1.0}, "R2 is 3 x 2 but Phi has 3 columns"),
])
def test_fit_mismatched_penalty(kw, message):
    with pytest.raises(ValueError, match=f"^{message}"):
        q.fit_regularized_linear(np.ones((5, 3)), np.ones(5), **kw)


def test_fit_size_mismatch():
    with pytest.raises(ValueError, match="^y has 4 entries but Phi has 5 rows$"):
        q.fit_regularized_linear(np.ones((5, 2)), np.ones(4))


# --- both ------------------------------------------------------------------

def test_results_do_not_depend_on_thread_count(child):
    code = """
        import hashlib, numpy as np, qorv_core as q
        rng = np.random.default_rng(16)
        h = hashlib.sha256()
        for n, M in [(200003, 7), (30011, 21), (20000, 60)]:
            X, y = rng.standard_normal((n, M)), rng.standard_normal(n)
            R = np.eye(M)
            h.update(q.ols(X, y).tobytes())
            h.update(q.fit_regularized_linear(X, y, R1=R, gamma1=0.1).tobytes())
        print(h.hexdigest())
    """
    # An absurd setting must neither crash the runtime nor change a bit.
    runs = [child(code, env={"OMP_NUM_THREADS": t}) for t in ("1", "2", "3", "100000")]
    for r in runs:
        assert r.returncode == 0, r.stderr
    assert len({r.stdout for r in runs}) == 1
