"""The fit's choices against independent oracles: scikit-learn's
cross-validation on the same folds, statsmodels' weighted least squares, the
rank rule of the least-squares solver, and the folds of any row range."""
import warnings

import numpy as np
import pytest

from sklearn.linear_model import LinearRegression
from sklearn.model_selection import (GroupKFold, KFold, PredefinedSplit, TimeSeriesSplit,
                                     cross_val_score)

import _qorv_native
import qorv
from qorv import PolynomialRegressor, SearchWarning
from qorv._stats import FOLD_BLOCK, fold_ids


def _sklearn_cv(x, y, max_degree, n_folds=5, seed=0):
    """Pooled cross-validated RMSE of each degree (inf where a training set
    has fewer rows than terms) and the one-standard-error choice, from
    scikit-learn's own loop over the same folds."""
    n = len(y)
    folds = fold_ids(0, n, n_folds, seed)
    sizes = np.bincount(folds, minlength=n_folds)
    z = (x - (x.min() + x.max()) / 2) / ((x.max() - x.min()) / 2)
    rmse, se = np.full(max_degree + 1, np.inf), np.zeros(max_degree + 1)
    for d in range(max_degree + 1):
        if d + 1 > n - sizes.max():
            continue
        mse = -cross_val_score(LinearRegression(fit_intercept=False),
                               np.polynomial.polynomial.polyvander(z, d), y,
                               cv=PredefinedSplit(folds), scoring="neg_mean_squared_error")
        rmse[d] = np.sqrt(np.sum(mse * sizes) / n)
        # the spread of the fold errors, taken to the RMSE's scale (d sqrt(m) = dm / 2 sqrt(m))
        se[d] = np.std(mse, ddof=1) / np.sqrt(n_folds) / (2 * rmse[d])
    best = np.argmin(rmse)
    return rmse, int(np.flatnonzero(rmse <= rmse[best] + se[best])[0])


@pytest.mark.parametrize("n, seed", [(40, 3), (40, 15), (13, 1)])
def test_cross_validation_is_scikit_learns_on_the_same_folds(n, seed):
    # Seeds 3 and 15: the one-standard-error rule picks another degree when
    # its error is not taken to the RMSE's scale. n = 13: the largest
    # degree whose smallest training set just holds its terms is scored.
    rng = np.random.default_rng(seed)
    x = rng.uniform(-2, 2, n)
    y = x**3 - x + rng.normal(0, 1.0, n)
    sizes = np.bincount(fold_ids(0, n, 5, 0), minlength=5)
    max_degree = min(6, n - sizes.max())  # one past the last feasible degree
    rmse, chosen = _sklearn_cv(x, y, max_degree)
    assert np.isinf(rmse[-1]) == (max_degree + 1 > n - sizes.max())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qorv.RankWarning)
        warnings.simplefilter("ignore", qorv.EdgeWarning)
        est = PolynomialRegressor(max_degree=max_degree).fit(x[:, None], y)
    np.testing.assert_allclose(est.criterion_scores_, rmse, rtol=1e-8)
    assert est.degree_ == chosen


@pytest.mark.parametrize("cv, grouped", [
    (TimeSeriesSplit(4), False), (GroupKFold(4), True), (KFold(3, shuffle=True, random_state=2), False),
    ([(np.arange(0, 60), np.arange(60, 90)), (np.arange(30, 90), np.arange(0, 30))], False)])
@pytest.mark.filterwarnings("ignore::qorv.EdgeWarning")
def test_cv_splitter_scores_are_its_own_splits(cv, grouped):
    # training sets that are not the complements of the test sets
    rng = np.random.default_rng(4)
    x = np.sort(rng.uniform(-1, 1, 90))
    y = np.sin(3 * x) + rng.normal(0, 0.2, 90)
    w = rng.uniform(0.5, 2.0, 90)
    groups = np.repeat(np.arange(9), 10) if grouped else None
    est = PolynomialRegressor(cv=cv, max_degree=6).fit(x[:, None], y, sample_weight=w,
                                                       groups=groups)
    z = (x - (x.min() + x.max()) / 2) / ((x.max() - x.min()) / 2)
    splits = list(cv.split(x, y, groups) if hasattr(cv, "split") else cv)
    sw = np.sqrt(w)
    for d, score in enumerate(est.criterion_scores_):
        V = np.polynomial.polynomial.polyvander(z, d)
        sse = sum(np.sum(w[te] * (V[te] @ np.linalg.lstsq(
            V[tr] * sw[tr, None], y[tr] * sw[tr], rcond=None)[0] - y[te]) ** 2)
            for tr, te in splits)
        np.testing.assert_allclose(score, np.sqrt(sse / sum(w[te].sum() for _, te in splits)),
                                   rtol=1e-7)


@pytest.mark.parametrize("params, groups, match", [
    (dict(cv=1), None, "cv=1: an int"), (dict(cv="folds"), None, "cv='folds'"),
    (dict(), np.zeros(50), "groups=.*only a cv splitter"),
    (dict(cv=GroupKFold(3)), None, "cv=GroupKFold.*could not split 50 samples"),
    (dict(cv=[(np.arange(10), np.arange(45, 55))]), None, "outside|other than row indices")])
def test_cv_errors_name_the_argument(params, groups, match):
    x = np.linspace(0, 1, 50)
    with pytest.raises(ValueError, match=match):
        PolynomialRegressor(**params).fit(x[:, None], x, groups=groups)


@pytest.mark.parametrize("n_folds", [2, 5, 7, 10])
def test_folds_are_balanced_at_every_n(n_folds):
    whole = fold_ids(0, 2 * FOLD_BLOCK + 50, n_folds, 3)
    ns = [*range(2, 201), *range(FOLD_BLOCK - 20, FOLD_BLOCK + 20), 2 * FOLD_BLOCK + 50]
    for n in ns:
        sizes = np.bincount(whole[:n], minlength=n_folds)
        assert sizes.max() - sizes.min() <= 1, (n, sizes)
    # and seeded: another seed deals the rows otherwise
    assert np.mean(fold_ids(0, 1000, n_folds, 4) != whole[:1000]) > 0.3


@pytest.mark.parametrize("start, stop", [(0, 7), (5, 130), (FOLD_BLOCK - 3, FOLD_BLOCK + 9),
                                         (2 * FOLD_BLOCK + 1, 3 * FOLD_BLOCK + 2)])
def test_folds_of_a_row_range_are_the_slice_of_the_whole(start, stop):
    whole = fold_ids(0, 3 * FOLD_BLOCK + 5, 5, 11)
    np.testing.assert_array_equal(fold_ids(start, stop, 5, 11), whole[start:stop])


def test_constant_column_gets_a_unit_half_width():
    rng = np.random.default_rng(0)
    X = np.column_stack([np.full(30, 1985.0), rng.uniform(0, 1, 30)])
    y = 2 * X[:, 1] + rng.normal(0, 0.1, 30)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qorv.RankWarning)
        est = PolynomialRegressor(degree=1).fit(X, y)
    np.testing.assert_array_equal(est.domain_[0], [1984.0, 1986.0])
    np.testing.assert_allclose(est.predict(X), np.polyval(np.polyfit(X[:, 1], y, 1), X[:, 1]),
                               rtol=1e-10)


def test_search_starts_from_weighted_least_squares():
    sm = pytest.importorskip("statsmodels.api")
    rng = np.random.default_rng(2)
    x = rng.uniform(-1, 1, 60)
    w = np.where(x > 0, 25.0, 0.2)
    y = 1 + x + 3 * (x > 0) * x**2 + rng.normal(0, 0.05, 60)
    # no search steps: a random start that loses to least squares, which is kept
    est = PolynomialRegressor(degree=2, solver="search", random_state=1,
                              search_options={"n_chains": 1, "n_warmup": 0, "n_deep": 0,
                                              "n_elite": 1})
    with pytest.warns(SearchWarning, match="no fit better"):
        est.fit(x[:, None], y, sample_weight=w)
    z = (x - est.domain_[0].mean()) / (np.ptp(est.domain_[0]) / 2)
    wls = sm.WLS(y, np.polynomial.polynomial.polyvander(z, 2), weights=w).fit()
    np.testing.assert_allclose(est.coef_, wls.params, rtol=1e-9)


def test_rank_uses_the_least_squares_threshold():
    # Two variables a tenth of a picounit apart: the smallest singular value
    # of the mapped design sits between s_max * 3 * eps (kept by the solver,
    # whose threshold scales with min(n, M) = 3) and s_max * n * eps.
    rng = np.random.default_rng(4)
    n = 5000
    x = rng.uniform(0, 1, n)
    X = np.column_stack([x, x + 1e-13 * rng.uniform(-1, 1, n)])
    est = PolynomialRegressor(degree=1, domain=[(0, 1), (0, 1)]).fit(X, 1 + X[:, 0])
    s = np.linalg.svd(np.column_stack([np.ones(n), 2 * X - 1]), compute_uv=False)
    eps = np.finfo(float).eps
    assert s[0] * 3 * eps < s[-1] < s[0] * n * eps
    assert est.rank_ == 3
    np.testing.assert_allclose(est.singular_values_, s, rtol=0, atol=1e-15 * s[0])


# ------------------------------------------------------------------ robust
def _contaminated(n, share, seed):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-3, 5, n)
    y = 0.5 * x**3 - 2 * x**2 + x + 1 + rng.normal(0, 0.3, n)
    bad = rng.random(n) < share
    y[bad] += rng.uniform(5, 30, bad.sum())
    return x, y, bad


@pytest.mark.parametrize("share", [0.0, 0.3])
def test_robust_fit_is_a_fixed_point_of_statsmodels_bisquare_irls(share):
    sm = pytest.importorskip("statsmodels.api")
    x, y, bad = _contaminated(600, share, 5)
    est = PolynomialRegressor(degree=3, solver="robust").fit(x[:, None], y)
    z = (x - est.domain_[0].mean()) / (np.ptp(est.domain_[0]) / 2)
    V = np.polynomial.polynomial.polyvander(z, 3)
    # statsmodels' reweighting from our answer at our scale must stay there
    rlm = sm.RLM(y, V, M=sm.robust.norms.TukeyBiweight(c=4.685))
    res = rlm.fit(start_params=est.coef_, start_scale=est.scale_, update_scale=False,
                  tol=1e-13, conv="coefs")
    np.testing.assert_allclose(res.params, est.coef_, rtol=1e-7, atol=1e-9)
    assert est.inlier_mask_.shape == (x.size,)
    assert not np.any(est.inlier_mask_ & bad)  # every gross outlier is flagged
    assert np.mean(est.inlier_mask_[~bad]) > 0.99
    assert 0.25 < est.scale_ < (0.35 if share == 0 else 1.2)


@pytest.mark.parametrize("solver", ["robust", "search"])
@pytest.mark.parametrize("share", [0.1, 0.3])
def test_robust_degree_choice_is_not_pulled_by_outliers(solver, share):
    x, y, _ = _contaminated(1000, share, 2)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SearchWarning)
        est = PolynomialRegressor(solver=solver, search_options={"n_chains": 10}).fit(
            x[:, None], y)
    assert est.degree_ == 3
    grid = np.linspace(-3, 5, 200)
    truth = 0.5 * grid**3 - 2 * grid**2 + grid + 1
    assert np.sqrt(np.mean((est.predict(grid[:, None]) - truth) ** 2)) < 0.3


def test_robust_fit_holds_at_45_percent_one_sided_outliers():
    # Seeds where a start from the search alone lands partly on the outliers.
    grid = np.linspace(-3, 5, 200)
    truth = 0.5 * grid**3 - 2 * grid**2 + grid + 1
    for seed in range(30):
        x, y, _ = _contaminated(1000, 0.45, seed)
        est = PolynomialRegressor(degree=3, solver="robust").fit(x[:, None], y)
        assert np.sqrt(np.mean((est.predict(grid[:, None]) - truth) ** 2)) < 0.1, seed


# -------------------------------------------------------- units and hostile input
@pytest.mark.parametrize("params", [dict(), dict(criterion="gcv"), dict(criterion="bic"),
                                    dict(criterion="mdl"), dict(degree=6, penalty="curvature"),
                                    *(dict(degree=6, penalty="curvature", gamma_criterion=c)
                                      for c in ("reml", "gcv")),
                                    dict(degree=2, solver="robust")], ids=str)
@pytest.mark.parametrize("units", [1e-200, 1e160, 1e300])
def test_no_choice_depends_on_the_units_of_y(params, units):
    rng = np.random.default_rng(0)
    x = rng.uniform(0, 3, 60)
    y = 1 + x + x**2 + rng.normal(0, 0.3, 60)
    base = PolynomialRegressor(**params).fit(x[:, None], y)
    big = PolynomialRegressor(**params).fit(x[:, None], y * units)
    assert big.degree_ == base.degree_ and big.gamma_ == base.gamma_
    np.testing.assert_allclose(big.coef_ / units, base.coef_, rtol=1e-9)
    np.testing.assert_allclose(big.coef_se_ / units, base.coef_se_, rtol=1e-9)
    if base.criterion_scores_ is not None and params.get("criterion", "cv") == "cv":
        np.testing.assert_allclose(big.criterion_scores_ / units, base.criterion_scores_,
                                   rtol=1e-9)


@pytest.mark.parametrize("X", [np.full((40, 1), 1.7e18), np.linspace(1e308, 1.7e308, 40)[:, None]],
                         ids=["constant nanoseconds", "near the largest double"])
@pytest.mark.parametrize("degree", ["auto", 1])
def test_extreme_inputs_fit(X, degree):
    y = np.random.default_rng(1).normal(size=40)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", qorv.RankWarning)
        est = PolynomialRegressor(degree=degree).fit(X, y)
    assert np.all(np.isfinite(est.coef_)) and np.all(est.domain_[:, 0] < est.domain_[:, 1])
    assert np.all(np.isfinite(est.predict(X)))


@pytest.mark.parametrize("params, weights, y, match", [
    (dict(criterion="gcv"), 0.01, None, "criterion='gcv': the weights sum to 0.5"),
    (dict(criterion="mdl", search_options={"H_piH": -1}), None, None, "H_piH must be"),
    (dict(domain=(0, 1e-20)), None, None, "domain=.*overflow"),
    (dict(), None, np.array(["a"] * 50), "y must hold numbers"),
    (dict(domain=(-1e308, 1e308)), None, None, "domain=.*times wider than the data"),
    (dict(penalty="curvature", x_scale=1e-104), None, None, "penalty=.*overflow a double"),
    *((dict(solver="search", degree=1, search_options=o), None, None, f"search_options=.*{m}")
      for o, m in [({"n_chains": "3"}, "n_chains must be an int >= 1"),
                   ({"n_chains": -1}, "n_chains must be"), ({"n_warmup": -1}, "n_warmup must"),
                   ({"step_size": 0.0}, "step_size must")]),
    (dict(gamma=10**400, penalty="curvature"), None, None, r"gamma=1000.*\(401 characters"),
    (dict(penalty=1), None, None, "penalty=1: choose None"),
])
def test_hostile_input_is_a_clear_error(params, weights, y, match):
    rng = np.random.default_rng(0)
    params = dict(params)
    x = rng.uniform(0, 3, 50) * params.pop("x_scale", 1.0)
    y = 1 + x if y is None else y
    w = None if weights is None else np.full(50, weights)
    with pytest.raises(ValueError, match=match):
        PolynomialRegressor(**params).fit(x[:, None], y, sample_weight=w)


# ------------------------------------------------------------ gamma choice
def _penalised_setup(n=90, seed=6):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0, 4, n)
    y = np.sin(2 * x) + rng.normal(0, 0.3, n)
    w = rng.uniform(0.5, 2, n)
    est = PolynomialRegressor(degree=8, penalty="curvature", gamma_criterion="gcv").fit(
        x[:, None], y, sample_weight=w)
    z = (x - est.domain_[0].mean()) / (np.ptp(est.domain_[0]) / 2)
    V = np.polynomial.polynomial.polyvander(z, 8)
    R = qorv._basis.penalties(est.powers_.tolist(), np.ptp(est.domain_, axis=1) / 2,
                              ["curvature"], 600)["curvature"]
    return x, y, w, V, R, est.gamma_scores_[:, 0]


def test_gamma_by_cv_is_the_cross_validated_rmse_of_each_grid_value():
    x, y, w, V, R, grid = _penalised_setup()
    est = PolynomialRegressor(degree=8, penalty="curvature", gamma_criterion="cv").fit(
        x[:, None], y, sample_weight=w)
    folds = fold_ids(0, len(y), 5, 0)
    ridge = _qorv_native.DEFAULT_RIDGE
    want = []
    for g in grid:
        sse = 0.0
        for f in range(5):
            tr, te = folds != f, folds == f
            Vw = V[tr] * np.sqrt(w[tr])[:, None]
            beta = np.linalg.solve(Vw.T @ Vw + w[tr].sum() * g * R + ridge * np.eye(9),
                                   Vw.T @ (y[tr] * np.sqrt(w[tr])))
            sse += np.sum(w[te] * (V[te] @ beta - y[te]) ** 2)
        want.append(np.sqrt(sse / w.sum()))
    np.testing.assert_allclose(est.gamma_scores_[:, 0], grid, rtol=1e-12)
    np.testing.assert_allclose(est.gamma_scores_[:, 1], want, rtol=1e-6)
    assert est.gamma_ == pytest.approx(grid[np.argmin(want)], rel=1e-12)


def test_gamma_by_reml_is_the_restricted_likelihood_from_the_rows():
    x, y, w, V, R, grid = _penalised_setup()
    est = PolynomialRegressor(degree=8, penalty="curvature", gamma_criterion="reml").fit(
        x[:, None], y, sample_weight=w)
    sw, n = np.sqrt(w), w.sum()
    Vw, yw = V * sw[:, None], y * sw
    want = []
    for g in grid:
        P = Vw.T @ Vw + n * g * R + _qorv_native.DEFAULT_RIDGE * np.eye(9)
        beta = np.linalg.solve(P, Vw.T @ yw)
        fit = np.sum((yw - Vw @ beta) ** 2) + n * g * beta @ R @ beta  # residual + penalty
        # the curvature penalty leaves the 2 affine terms free: rank 7
        want.append((n - 2) * np.log(fit) + np.linalg.slogdet(P)[1] - 7 * np.log(n * g))
    np.testing.assert_allclose(est.gamma_scores_[:, 1], want, rtol=1e-7)
    assert est.gamma_ == pytest.approx(grid[np.argmin(want)], rel=1e-12)


@pytest.mark.parametrize("max_degree, warns", [(2, True), (6, False)])
def test_a_degree_at_max_degree_warns(max_degree, warns):
    rng = np.random.default_rng(3)
    x = rng.uniform(-1, 1, 200)
    y = x**3 + x**2 + rng.normal(0, 0.05, 200)
    with warnings.catch_warnings(record=True) as got:
        warnings.simplefilter("always")
        est = PolynomialRegressor(max_degree=max_degree).fit(x[:, None], y)
    edge = [w for w in got if issubclass(w.category, qorv.EdgeWarning)]
    assert len(edge) == warns and est.degree_ == min(3, max_degree)
    if warns:
        assert "max_degree=2" in str(edge[0].message) and edge[0].filename == __file__


def test_auto_degree_stops_where_the_terms_outnumber_the_rows():
    # 12 variables: degree 10 has 646,646 terms; 400 rows determine at most
    # degree 2 (91 terms; degree 3 has 455), and no design goes beyond it.
    rng = np.random.default_rng(8)
    X = rng.normal(size=(400, 12))
    y = X[:, 0] * X[:, 1] + rng.normal(0, 0.1, 400)
    est = PolynomialRegressor().fit(X, y)
    assert est.degree_ == 2 and est.coef_.shape == (91,)
    assert est.criterion_scores_.shape == (11,) and np.all(np.isinf(est.criterion_scores_[3:]))
    with pytest.raises(ValueError, match="max_terms=10000"):  # a fixed degree is the user's
        PolynomialRegressor(degree=10).fit(X, y)
