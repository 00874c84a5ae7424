"""Standard errors, intervals and criteria against statsmodels on the same
mapped design, and the penalised band's coverage by simulation."""
import warnings

import numpy as np
import pytest

from qorv import PolynomialRegressor, SearchWarning

sm = pytest.importorskip("statsmodels.api")


def _data(n=150, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(1950, 2020, n)
    return x, 3 + 0.01 * (x - 1985) ** 2 + rng.normal(0, 1, n), rng.uniform(0.5, 2, n)


def _vander(est, x):
    z = (x - est.domain_[0].mean()) / (np.ptp(est.domain_[0]) / 2)
    return np.polynomial.polynomial.polyvander(z, est.degree_)


@pytest.mark.parametrize("weighted", [False, True])
def test_least_squares_inference_is_statsmodels(weighted):
    x, y, w = _data()
    est = PolynomialRegressor(degree=3).fit(x[:, None], y, sample_weight=w if weighted else None)
    V = _vander(est, x)
    ref = (sm.WLS(y, V, weights=w) if weighted else sm.OLS(y, V)).fit()
    np.testing.assert_allclose(est.coef_se_, ref.bse, rtol=1e-8)
    np.testing.assert_allclose(est.conf_int(0.9), ref.conf_int(0.1), rtol=1e-8)
    np.testing.assert_allclose([est.aic_, est.bic_, est.r2_, est.sigma_**2, est.df_resid_],
                               [ref.aic, ref.bic, ref.rsquared, ref.scale, ref.df_resid],
                               rtol=1e-8)
    frame = ref.get_prediction(V[:7]).summary_frame(alpha=0.05)
    for kind, cols in [("confidence", ["mean_ci_lower", "mean_ci_upper"]),
                       ("prediction", ["obs_ci_lower", "obs_ci_upper"])]:
        np.testing.assert_allclose(est.predict_interval(x[:7, None], kind=kind),
                                   frame[cols].to_numpy(), rtol=1e-8)
    assert "x0^3" in est.summary() and f"{est.aic_:.6g}" in est.summary()


@pytest.mark.parametrize("weighted", [False, True])
def test_robust_standard_errors_are_statsmodels_sandwich(weighted):
    # Weights are precisions, as in WLS: the fit is RLM's of the rows scaled
    # by sqrt(w), whose reweighting from our answer must stay there.
    x, y, w = _data(300, 1)
    w = w if weighted else np.ones_like(y)
    y = y + np.random.default_rng(2).normal(0, 1, y.size) / np.sqrt(w)
    y[::10] += 40  # a tenth of the rows far off
    est = PolynomialRegressor(degree=2, solver="robust").fit(x[:, None], y, sample_weight=w)
    sw = np.sqrt(w)
    res = sm.RLM(y * sw, _vander(est, x) * sw[:, None],
                 M=sm.robust.norms.TukeyBiweight(c=4.685)).fit(
        start_params=est.coef_, start_scale=est.scale_, update_scale=False, cov="H1",
        tol=1e-13, conv="coefs")
    np.testing.assert_allclose(res.params, est.coef_, rtol=1e-7)
    np.testing.assert_allclose(est.coef_se_, res.bse, rtol=1e-6)
    np.testing.assert_array_equal(est.inlier_mask_, res.weights > 0)
    # the scale is the normal-consistent MAD of the start's standardised residuals
    assert 0.8 < est.scale_ < 1.6


def test_penalized_band_covers_the_curve():
    # The Bayesian band of a curvature-penalised degree-10 fit with gamma by
    # GCV covers the true curve at about the nominal rate across the domain.
    grid = np.linspace(0.02, 0.98, 25)[:, None]
    truth = lambda t: np.sin(2 * np.pi * t)  # noqa: E731
    rng = np.random.default_rng(7)
    hits = []
    for _ in range(120):
        x = rng.uniform(0, 1, 80)
        est = PolynomialRegressor(degree=10, penalty="curvature", domain=(0, 1)).fit(
            x[:, None], truth(x) + rng.normal(0, 0.3, x.size))
        band = est.predict_interval(grid)
        hits.append((band[:, 0] <= truth(grid[:, 0])) & (truth(grid[:, 0]) <= band[:, 1]))
        assert 2 < est.edf_ < 11 and est.df_resid_ == pytest.approx(80 - est.edf_)
    assert 0.88 < np.mean(hits) < 0.99


def test_polynomial_and_refusals():
    x, y, _ = _data()
    est = PolynomialRegressor(degree=3).fit(x[:, None], y)
    p = est.to_polynomial()
    np.testing.assert_allclose(p(x), est.predict(x[:, None]), rtol=1e-12)
    np.testing.assert_allclose(p.deriv()(1990.0), (p(1990.001) - p(1989.999)) / 0.002,
                               rtol=1e-6)
    with pytest.raises(ValueError, match="level"):
        est.conf_int(1.5)
    with pytest.raises(ValueError, match="kind"):
        est.predict_interval(x[:, None], kind="mean")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SearchWarning)
        search = PolynomialRegressor(degree=2, solver="search").fit(x[:, None], y)
    with pytest.raises(ValueError, match="standard errors"):
        search.conf_int()
