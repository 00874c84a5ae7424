"""`PolynomialRegressor`: a scikit-learn estimator over the native core."""
from __future__ import annotations

import math
import warnings
from typing import Any, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt
from scipy import stats  # type: ignore[import-untyped]
from sklearn.base import BaseEstimator, RegressorMixin  # type: ignore[import-untyped]
from sklearn.model_selection import check_cv  # type: ignore[import-untyped]
from sklearn.utils.validation import (  # type: ignore[import-untyped]
    _check_sample_weight, check_is_fitted, validate_data)

from . import _basis, _pipeline
from ._pipeline import (CONVERT_DIGITS, DEFAULT_CRITERION, DEFAULT_GAMMA_CRITERION,
                        EXTRAPOLATION_SHARE, EdgeWarning, RankWarning, SearchWarning)
from ._stats import Basis

Array = npt.NDArray[np.float64]

__all__ = ["EdgeWarning", "PolynomialRegressor", "RankWarning", "SearchWarning"]


def _warn_beyond(X: Array, domain: Array) -> None:
    """EdgeWarning when rows lie beyond the domain by more than
    EXTRAPOLATION_SHARE of its width."""
    if not len(X):
        return
    lo, hi = domain[:, 0], domain[:, 1]
    width = hi - lo
    with np.errstate(over="ignore", invalid="ignore"):
        out = np.maximum(lo - X.min(axis=0), X.max(axis=0) - hi) / width
    if np.any(out > EXTRAPOLATION_SHARE):
        j = int(np.nanargmax(out))
        warnings.warn(f"predicting up to {out[j]:.3g} domain widths beyond domain_ "
                      f"[{lo[j]:.6g}, {hi[j]:.6g}] of variable {j}: a polynomial there is "
                      "extrapolation", EdgeWarning, stacklevel=4)


def _indices(part: Any, n: int) -> npt.NDArray[np.intp]:
    a = np.asarray(part)
    if a.dtype == bool and a.shape == (n,):
        a = np.flatnonzero(a)
    if a.ndim != 1 or a.dtype.kind not in "iu" or (a.size and (a.min() < 0 or a.max() >= n)):
        raise ValueError(f"a split holds entries other than row indices 0 .. {n - 1}")
    return a.astype(np.intp)


def _splits(s: _pipeline.Settings, X: Array, y: Array, groups: Optional[npt.ArrayLike]
            ) -> Optional[list[tuple[npt.NDArray[np.intp], npt.NDArray[np.intp]]]]:
    """The (train, test) row indices of a `cv` splitter, checked; None for
    the folds by row position."""
    if s.cv is None:
        if groups is not None:
            raise _pipeline.fail("groups", "given", "only a cv splitter uses groups "
                                 "(cv=GroupKFold(...)); the default folds are by row position")
        return None
    n = len(y)
    if groups is not None and len(groups) != n:  # type: ignore[arg-type]
        raise _pipeline.fail("groups", f"{len(groups)} labels",  # type: ignore[arg-type]
                             f"needs one per sample ({n})")
    try:
        out = [(_indices(tr, n), _indices(te, n))
               for tr, te in check_cv(s.cv).split(X, y, groups)]
    except (TypeError, ValueError) as e:
        raise _pipeline.fail("cv", s.cv, f"could not split {n} samples: {e}") from None
    if not out:
        raise _pipeline.fail("cv", s.cv, "gave no splits")
    return out


class PolynomialRegressor(RegressorMixin, BaseEstimator):  # type: ignore[misc]
    """Polynomial regression in one or several variables, with the degree and
    the smoothness chosen from the data.

    Every variable is first mapped affinely from its domain onto [-1, 1],
    z = (x - c) / h with c the centre and h the half-width, so that the
    monomials of the basis are of order one whatever the units of x; the
    coefficients are those of the mapped variables. The fits, scores and
    penalties are computed by the native core `qorv_core`.

    Parameters
    ----------
    degree : int, list of int or "auto", default="auto"
        Highest power. An int gives the total-degree (or, with
        ``basis="tensor"``, the tensor) basis of that degree; a list gives one
        highest power per variable for the tensor basis; "auto" chooses the
        degree from 0 to `max_degree` by `criterion`.
    basis : {"total", "tensor"}, default="total"
        "total": all products of total degree <= degree, as scikit-learn's
        PolynomialFeatures builds them. "tensor": all products with every
        power <= its variable's degree; its size grows as (degree + 1)^D.
    domain : None or sequence of (low, high), default=None
        Interval of each variable mapped onto [-1, 1]; None takes the range of
        the training data (rows of positive weight). For one variable a
        single pair (low, high) may be given. A variable whose data are
        constant gets a half-width of 1.
    penalty : None, "gradient", "curvature" or a list of both, default=None
        Roughness penalties added to the least-squares objective:
        gamma * n * (integral of ``|grad f|^2`` and / or of the squared Hessian
        over the domain box), measured in the user's units of x (the chain
        rule of the mapping is undone; see `qorv._basis.penalties`).
    gamma : float >= 0 or "auto", default="auto"
        Weight of each penalty. "auto" minimises `gamma_criterion` over a log
        grid of 49 values (quarter decades from 1e-8 to 1e4 times
        trace(A^T A) / (n trace(R))). Ignored without a penalty.
    gamma_criterion : {"reml", "gcv"}, default="reml"
        The criterion of ``gamma="auto"``: "reml" the restricted likelihood
        of the penalised fit (sigma profiled out), "gcv" the generalised
        cross-validation n RSS / (n - tr H)^2, where tr H = tr((A^T A + n
        gamma R)^-1 A^T A) is the effective number of degrees of freedom.
        GCV undersmooths where the basis has many terms for its rows; see
        the user guide's penalties page for both measured on real data.
    solver : {"auto", "lstsq", "penalized", "search", "robust"}, default="auto"
        "lstsq": minimum-norm least squares (``qorv_core.ols``). "penalized":
        the penalised normal equations (``qorv_core.fit_regularized_linear``).
        "search": the robust tournament Metropolis search
        (``qorv_core.TournamentMCMC``), the minimiser of the description-length
        score. "robust": the search's fit refined by bisquare-reweighted least
        squares, as accurate as least squares on the rows that are not gross
        outliers (see Notes; takes penalties). "auto" is "penalized" when a
        penalty is given and "lstsq" otherwise.
    n_grid : int >= 2 or None, default=None
        Grid points per variable of the penalty sums (None: 600 for one
        variable, 30 per variable for several).
    max_degree : int >= 0, default=10
        Largest degree tried by ``degree="auto"``; the degrees whose basis
        has more terms than the rows (of positive weight) or than
        `max_terms` are not built, so any number of variables fits with
        the defaults (``criterion_scores_`` is ``inf`` for them).
    criterion : {"cv", "gcv", "bic", "mdl"}, default="cv"
        Degree choice of ``degree="auto"`` (lower is better): "cv" the k-fold
        cross-validated RMSE of least squares (folds seeded by
        `random_state`), "gcv" n RSS / (n - k)^2, "bic" n ln(RSS / n) + k ln n,
        "mdl" the core's description-length score ``mdl_score``. For "cv" the
        smallest degree within one standard error (of the fold errors) of
        the lowest score is taken. "cv" is the default because it chose best
        on the real data sets measured in the documentation's
        "Choosing the degree" page; the others overfit
        data with long-tailed x. Degrees with k >= n columns (k > training
        rows for "cv") are not tried.
    n_folds : int >= 2, default=5
        Number of folds of ``criterion="cv"``, by row position (seeded by
        `random_state`; the same folds in memory and on Dask).
    cv : None, int >= 2, scikit-learn splitter or iterable, default=None
        The splits of ``criterion="cv"``: None for `n_folds` folds by row
        position, an int for that many, or a scikit-learn cross-validator
        (``TimeSeriesSplit``, ``GroupKFold`` with `groups` given to `fit`,
        ...) or an iterable of (train, test) index arrays, whose training
        sets need not be the complements of the test sets. Each split's
        error is over its test rows.
    max_terms : int >= 1, default=10000
        Largest basis (number of columns) accepted; checked before anything
        is allocated.
    search_options : dict or None, default=None
        Passed to ``qorv_core.TournamentMCMC``: any of n_chains, n_warmup,
        n_deep, n_elite, step_size and H_piH.
    random_state : int, RandomState or None, default=0
        Seed of the folds of "cv" and of the search (a non-negative int is
        the search's seed itself).

    Attributes
    ----------
    coef_ : ndarray of shape (n_terms,)
        Coefficients of the mapped variables, in the order of `powers_`.
    powers_ : ndarray of shape (n_terms, n_features_in_)
        Multi-index (power of each variable) of every term.
    domain_ : ndarray of shape (n_features_in_, 2)
        Interval of each variable that was mapped onto [-1, 1].
    degree_ : int or ndarray of int
        Degree used (per variable for a per-variable `degree`).
    gamma_ : float
        Penalty weight used (0.0 without a penalty).
    mdl_score_ : float
        The core's description-length score of the fit on the training rows
        of positive weight, each counted once (the score is unweighted).
    rank_ : int
        Numerical rank of the weighted, mapped design.
    singular_values_ : ndarray
        Singular values of the weighted, mapped design, largest first.
    criterion_scores_ : ndarray of shape (max_degree + 1,) or None
        Score of each degree under `criterion` for ``degree="auto"`` (inf for
        degrees not tried); None otherwise.
    n_features_in_ : int
        Number of input variables.
    gamma_scores_ : ndarray of shape (49, 2) or None
        ``gamma="auto"``: each grid value of gamma and its score under
        `gamma_criterion`.
    coef_se_ : ndarray of shape (n_terms,) or None
        Standard errors of `coef_`: the square roots of the diagonal of
        `cov_params_` (None for ``solver="search"``, whose coefficients
        minimise the description-length score).
    cov_params_ : ndarray of shape (n_terms, n_terms) or None
        Covariance of `coef_`. Least squares, weighted or not: sigma^2
        (A^T A)^-1, as statsmodels' OLS and WLS give it. Penalised: the
        Bayesian covariance sigma^2 (A^T A + n gamma R)^-1. Robust: the
        sandwich covariance of the bisquare step (statsmodels' RLM, "H1").
    sigma_ : float or None
        Residual scale: sqrt(RSS / `df_resid_`), or `scale_` for the robust
        fit.
    df_resid_ : float or None
        Residual degrees of freedom: the rows of positive weight less
        `edf_`.
    edf_ : float or None
        Effective degrees of freedom: the rank, or tr((A^T A + n gamma R)^-1
        A^T A) for a penalised fit.
    r2_, aic_, bic_ : float or None
        R^2 and the Gaussian AIC and BIC (with `edf_` parameters), as
        statsmodels' OLS and WLS define them; None for the robust fit.
    scale_ : float or None
        ``solver="robust"``: the robust residual scale, in y's units (None
        for the other solvers).
    robust_weights_ : ndarray of shape (n_samples,) or None
        ``solver="robust"``: each training sample's bisquare weight at the
        fit (0 for an outlier; before `sample_weight`).
    inlier_mask_ : ndarray of bool, shape (n_samples,) or None
        ``solver="robust"``: the samples of positive robust weight, as
        scikit-learn's RANSACRegressor gives them.

    Notes
    -----
    `sample_weight` weights the least-squares fits, the criteria and the
    penalty's n (rows scaled by sqrt(weight), n the sum of the weights), so
    that integer weights equal repeated rows and zero weights dropped rows.
    The description-length score, and with it the search's energy, stays
    unweighted.

    ``solver="search"`` minimises the description-length score rather than
    the squared error: the number of points fitted within a tolerance (the
    hits) plus a cost per coefficient. A point far off costs no more than one
    just outside the tolerance, so gross outliers do not pull the fit; pick it
    for a robust fit that ignores outliers. The search runs on y standardised
    to mean 0 and variance 1, centred on the least-squares solution of the
    same basis: the chains explore the correction to it, with the tolerance
    0.4 MAD of the least-squares residuals. The result is kept only if its
    `mdl_score_` is lower than that of least squares; otherwise a
    `SearchWarning` says so and the least-squares coefficients are kept.

    ``solver="robust"`` starts from the search (on at most 2000 seeded rows)
    and refines its fit on every row by iteratively reweighted (penalised)
    least squares with Tukey's bisquare weights, c = 4.685 (95 % efficiency
    under normal errors), at a fixed scale: the normal-consistent median
    absolute deviation of the start's residuals. That is the MM-estimator's
    recipe: the start cannot be pulled by up to half the rows, the
    refinement is as efficient as least squares on the rest. Penalties and
    `sample_weight` apply in the refinement. With ``degree="auto"`` (for
    "search" too) the degree and gamma are chosen from the rows weighted by
    a robust fit of the largest basis, so outliers pull neither.
    """

    def __init__(self, degree: Union[int, Sequence[int], str] = "auto",
                 basis: str = "total", domain: Optional[Sequence[Any]] = None,
                 penalty: Union[None, str, Sequence[str]] = None,
                 gamma: Union[float, str] = "auto", solver: str = "auto",
                 n_grid: Optional[int] = None, max_degree: int = 10,
                 criterion: str = DEFAULT_CRITERION, n_folds: int = 5,
                 max_terms: int = 10_000, search_options: Optional[dict[str, Any]] = None,
                 random_state: Any = 0, cv: Any = None,
                 gamma_criterion: str = DEFAULT_GAMMA_CRITERION) -> None:
        self.degree = degree
        self.basis = basis
        self.domain = domain
        self.penalty = penalty
        self.gamma = gamma
        self.solver = solver
        self.n_grid = n_grid
        self.max_degree = max_degree
        self.criterion = criterion
        self.n_folds = n_folds
        self.max_terms = max_terms
        self.search_options = search_options
        self.random_state = random_state
        self.cv = cv
        self.gamma_criterion = gamma_criterion

    def fit(self, X: npt.ArrayLike, y: npt.ArrayLike,
            sample_weight: Optional[npt.ArrayLike] = None,
            groups: Optional[npt.ArrayLike] = None) -> "PolynomialRegressor":
        """Fit the polynomial.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Input variables (finite).
        y : array-like of shape (n_samples,)
            Targets (finite).
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative weights of the least-squares fits (see Notes).
        groups : array-like of shape (n_samples,), default=None
            Group labels for a `cv` splitter that uses them (``GroupKFold``).

        Returns
        -------
        self : PolynomialRegressor
        """
        settings = _pipeline.check_params(self.get_params())
        # Validation records what it learns (n_features_in_, feature names) on
        # a stand-in, so that this estimator changes only when the fit is done
        # (all at once: a concurrent reader never sees half of two fits).
        probe = type(self).__new__(type(self))
        Xa, ya = validate_data(probe, X, y, y_numeric=True, dtype=np.float64,
                               ensure_min_samples=2)
        if ya.dtype.kind not in "fiub":
            try:
                ya = ya.astype(np.float64)
            except (TypeError, ValueError):
                raise ValueError(f"y must hold numbers; got dtype {ya.dtype} "
                                 f"(first value {ya.flat[0]!r})") from None
        w = np.ones(len(ya)) if sample_weight is None else _check_sample_weight(
            sample_weight, Xa, dtype=np.float64, ensure_non_negative=True)
        if not np.any(w > 0):
            raise _pipeline.fail("sample_weight", "all zero",
                                 "at least one weight must be positive")
        splits = _splits(settings, Xa, ya, groups)
        fitted = _pipeline.fit(settings, _pipeline.MemorySource(Xa, ya, w, splits))
        robust = {}
        if fitted.scale_ is not None:  # every sample's weight, as the fit's residuals give it
            rw = _pipeline.robust_weights(ya - self._basis(fitted).design(Xa) @ fitted.coef_,
                                          w, fitted.scale_)
            robust = {"robust_weights_": rw, "inlier_mask_": rw > 0}
        names = vars(probe).get("feature_names_in_", _pipeline.ABSENT)
        _pipeline.apply(self, fitted, feature_names_in_=names, **robust)
        return self

    @staticmethod
    def _basis(f: Any) -> Basis:
        return Basis(*_basis.mapparms(f.domain_), f.powers_.tolist())

    # -------------------------------------------------------------- predict
    def _design(self, X: npt.ArrayLike) -> Array:
        check_is_fitted(self)
        Xa = validate_data(self, X, reset=False, dtype=np.float64)
        _warn_beyond(Xa, self.domain_)
        return self._basis(self).design(Xa)

    def predict(self, X: npt.ArrayLike) -> Array:
        """Predicted values.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features_in_)

        Returns
        -------
        y : ndarray of shape (n_samples,)
        """
        return np.asarray(self._design(X) @ self.coef_, dtype=np.float64)

    def _inference(self) -> Any:
        check_is_fitted(self)
        if getattr(self, "cov_params_", None) is None:
            raise ValueError(f"solver={self.solver!r} gives no standard errors: its "
                             "coefficients minimise the description-length score; use "
                             "solver='robust' or a least-squares solver")
        return self

    def _t(self, level: float) -> float:
        if not (isinstance(level, (int, float)) and 0 < level < 1):
            raise _pipeline.fail("level", level, "must be a number in (0, 1)")
        return float(stats.t.ppf(0.5 + level / 2, self.df_resid_)) if self.df_resid_ > 0 \
            else math.inf

    def conf_int(self, level: float = 0.95) -> Array:
        """Confidence intervals of `coef_` (the classical t intervals of least
        squares; see `cov_params_`).

        Returns
        -------
        intervals : ndarray of shape (n_terms, 2)
        """
        self._inference()
        half = self._t(level) * self.coef_se_
        return np.column_stack([self.coef_ - half, self.coef_ + half])

    def predict_interval(self, X: npt.ArrayLike, level: float = 0.95,
                         kind: str = "confidence") -> Array:
        """Intervals of the fitted curve at X ("confidence": of its mean) or
        of a new observation there ("prediction": the mean's band widened by
        the residual scale `sigma_`), at the t quantile of `df_resid_`.

        Returns
        -------
        intervals : ndarray of shape (n_samples, 2)
        """
        self._inference()
        if kind not in ("confidence", "prediction"):
            raise _pipeline.fail("kind", kind, 'choose "confidence" or "prediction"')
        Phi = self._design(X)
        var = np.einsum("ij,jk,ik->i", Phi, self.cov_params_, Phi)
        if kind == "prediction":
            var = var + self.sigma_**2
        mean, half = Phi @ self.coef_, self._t(level) * np.sqrt(np.maximum(var, 0.0))
        return np.column_stack([mean - half, mean + half])

    def summary(self) -> str:
        """The fit as a text table: each term's estimate, standard error, t,
        p and 95 % interval, then the fit's size, scale and criteria."""
        self._inference()
        t = self.coef_ / np.where(self.coef_se_ > 0, self.coef_se_, np.nan)
        p = 2 * stats.t.sf(np.abs(t), self.df_resid_) if self.df_resid_ > 0 else \
            np.full_like(t, np.nan)
        ci = self.conf_int()
        names = [" * ".join(f"x{d}^{e}" if e > 1 else f"x{d}" for d, e in enumerate(pw) if e)
                 or "1" for pw in self.powers_]
        rows = [f"{'term':<16}{'coef':>13}{'std err':>12}{'t':>9}{'P>|t|':>8}"
                f"{'[0.025':>13}{'0.975]':>13}"]
        for i, name in enumerate(names):
            rows.append(f"{name:<16}{self.coef_[i]:>13.5g}{self.coef_se_[i]:>12.4g}"
                        f"{t[i]:>9.3f}{p[i]:>8.3f}{ci[i, 0]:>13.5g}{ci[i, 1]:>13.5g}")

        def fmt(v: Optional[float]) -> str:
            return "-" if v is None else f"{v:.6g}"

        rows += ["", f"solver {self.solver!r}, degree {self.degree_}, gamma {self.gamma_:.6g}"
                 f", terms mapped from domain_ onto [-1, 1]",
                 f"df resid {self.df_resid_:.6g}, edf {self.edf_:.6g}, sigma "
                 f"{self.sigma_:.6g}, R^2 {fmt(self.r2_)}, AIC {fmt(self.aic_)}, "
                 f"BIC {fmt(self.bic_)}"]
        if self.criterion_scores_ is not None:
            rows.append(f"{self.criterion} scores by degree: " +
                        " ".join(f"{v:.4g}" for v in self.criterion_scores_))
        return "\n".join(rows)

    def to_polynomial(self) -> np.polynomial.Polynomial:
        """The model as a ``numpy.polynomial.Polynomial`` with its domain and
        window (one variable): callable, with ``deriv``, ``integ``, ``roots``."""
        check_is_fitted(self)
        if self.n_features_in_ != 1:
            raise ValueError(f"to_polynomial() needs one variable; the model has "
                             f"{self.n_features_in_}")
        full = np.zeros(int(self.powers_.max(initial=0)) + 1)
        full[self.powers_[:, 0]] = self.coef_
        return np.polynomial.Polynomial(full, domain=self.domain_[0], window=[-1.0, 1.0])

    def convert(self) -> Array:
        """Coefficients in powers of the user's own x (one variable only),
        lowest power first, as ``numpy.polynomial.Polynomial.convert`` gives
        them.

        Ill-conditioned for high degrees or an x far from 0: the
        coefficients of x^p grow like ``(|c| / h)^p`` and cancel one another in
        evaluation, so prefer `predict`.

        Returns
        -------
        coef : ndarray of shape (degree_ + 1,)
        """
        if getattr(self, "n_features_in_", 1) != 1:
            raise ValueError(f"convert() needs one variable; the model has "
                             f"{self.n_features_in_}")
        coef = np.asarray(self.to_polynomial().convert().coef, dtype=np.float64)
        # digits lost: the largest term against the value, at the domain's ends
        ends = self.domain_[0]
        terms = np.abs(coef)[None, :] * np.abs(ends)[:, None] ** np.arange(len(coef))
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            values = np.abs(self.predict(ends[:, None]))
            lost = float(np.max(np.log10(terms.max(axis=1) / np.maximum(values, 1e-300))))
        if lost > CONVERT_DIGITS:
            warnings.warn(f"convert(): its coefficients cancel to about {lost:.0f} of the "
                          "16 digits of a double at the domain's ends; evaluate with "
                          "predict or to_polynomial() instead", EdgeWarning, stacklevel=2)
        return coef

