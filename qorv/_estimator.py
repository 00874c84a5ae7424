"""`PolynomialRegressor`: a scikit-learn estimator over the native core."""
from __future__ import annotations

import numbers
import warnings
from typing import Any, Optional, Sequence, Union, cast

import numpy as np
import numpy.typing as npt
import qorv_core
from sklearn.base import BaseEstimator, RegressorMixin  # type: ignore[import-untyped]
from sklearn.utils import check_random_state  # type: ignore[import-untyped]
from sklearn.utils.validation import (  # type: ignore[import-untyped]
    _check_sample_weight, check_is_fitted, validate_data)

from . import _basis, _select, _stats

Array = npt.NDArray[np.float64]

BASES = ("total", "tensor")
PENALTIES = ("gradient", "curvature")
SOLVERS = ("auto", "lstsq", "penalized", "search")
SEARCH_OPTIONS = ("n_chains", "n_warmup", "n_deep", "n_elite", "step_size", "H_piH")
DEFAULT_CRITERION = "cv"
RIDGE = 1e-10
# Relative gamma grid: quarter decades around trace(A^T A) / (n trace(R)).
GAMMA_DECADES = np.linspace(-8.0, 4.0, 49)


class RankWarning(UserWarning):
    """The mapped design has fewer independent columns than terms."""


class SearchWarning(UserWarning):
    """The stochastic search found no better fit than least squares, or its
    best candidate fits no point within the tolerance."""


def _is_int(v: object) -> bool:
    return isinstance(v, numbers.Integral) and not isinstance(v, bool)


def _fail(name: str, value: object, why: str) -> ValueError:
    return ValueError(f"{name}={value!r}: {why}")


def fold_seed(random_state: Any) -> int:
    """The integer seed of the folds of criterion="cv" (and of the search)."""
    if _is_int(random_state) and random_state >= 0:
        return int(random_state)
    return int(check_random_state(random_state).randint(0, 2**31 - 1))


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
        degree in 0..`max_degree` by `criterion`.
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
        gamma * n * (integral of |grad f|^2 and / or of the squared Hessian
        over the domain box), measured in the user's units of x (the chain
        rule of the mapping is undone; see `qorv._basis.penalties`).
    gamma : float >= 0 or "auto", default="auto"
        Weight of each penalty. "auto" minimises the generalised
        cross-validation n RSS / (n - tr H)^2 over a log grid of 49 values
        (quarter decades from 1e-8 to 1e4 times trace(A^T A) / (n trace(R))),
        where tr H = tr((A^T A + n gamma R)^-1 A^T A) is the effective number
        of degrees of freedom. Ignored without a penalty.
    solver : {"auto", "lstsq", "penalized", "search"}, default="auto"
        "lstsq": minimum-norm least squares (``qorv_core.ols``). "penalized":
        the penalised normal equations (``qorv_core.fit_regularized_linear``).
        "search": the robust tournament Metropolis search
        (``qorv_core.TournamentMCMC``; see Notes). "auto" is "penalized" when
        a penalty is given and "lstsq" otherwise.
    n_grid : int >= 2 or None, default=None
        Grid points per variable of the penalty sums (None: 600 for one
        variable, 30 per variable for several).
    max_degree : int >= 0, default=10
        Largest degree tried by ``degree="auto"``.
    criterion : {"cv", "gcv", "bic", "mdl"}, default="cv"
        Degree choice of ``degree="auto"`` (lower is better): "cv" the k-fold
        cross-validated RMSE of least squares (folds seeded by
        `random_state`), "gcv" n RSS / (n - k)^2, "bic" n ln(RSS / n) + k ln n,
        "mdl" the core's description-length score ``mdl_score``. For "cv" the
        smallest degree within one standard error (of the fold errors) of
        the lowest score is taken. "cv" is the default because it chose best
        on the real data sets measured in the README; the others overfit
        data with long-tailed x. Degrees with k >= n columns (k > training
        rows for "cv") are not tried.
    n_folds : int >= 2, default=5
        Number of folds of ``criterion="cv"``.
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
    """

    def __init__(self, degree: Union[int, Sequence[int], str] = "auto",
                 basis: str = "total", domain: Optional[Sequence[Any]] = None,
                 penalty: Union[None, str, Sequence[str]] = None,
                 gamma: Union[float, str] = "auto", solver: str = "auto",
                 n_grid: Optional[int] = None, max_degree: int = 10,
                 criterion: str = DEFAULT_CRITERION, n_folds: int = 5,
                 max_terms: int = 10_000, search_options: Optional[dict[str, Any]] = None,
                 random_state: Any = 0) -> None:
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

    # ----------------------------------------------------------- parameters
    def _penalty_kinds(self) -> list[str]:
        p = self.penalty
        if p is None:
            return []
        kinds = [p] if isinstance(p, str) else list(p)
        if not kinds or any(k not in PENALTIES for k in kinds) or len(set(kinds)) < len(kinds):
            raise _fail("penalty", p, f"choose None, one of {PENALTIES} or a list of them")
        return [k for k in PENALTIES if k in kinds]

    def _check_params(self) -> tuple[list[str], str]:
        if self.basis not in BASES:
            raise _fail("basis", self.basis, f"choose one of {BASES}")
        if self.solver not in SOLVERS:
            raise _fail("solver", self.solver, f"choose one of {SOLVERS}")
        if self.criterion not in _select.CRITERIA:
            raise _fail("criterion", self.criterion, f"choose one of {_select.CRITERIA}")
        d = self.degree
        if isinstance(d, str):
            if d != "auto":
                raise _fail("degree", d, 'use an int >= 0, a list of them or "auto"')
        elif _is_int(d):
            if int(cast(int, d)) < 0:
                raise _fail("degree", d, "must be >= 0")
        else:
            try:
                seq = cast(Sequence[Any], d)
                ok = len(seq) > 0 and all(_is_int(v) and v >= 0 for v in seq)
            except TypeError:
                ok = False
            if not ok:
                raise _fail("degree", d, 'use an int >= 0, a list of them or "auto"')
            if self.basis != "tensor":
                raise _fail("degree", d, 'a per-variable list needs basis="tensor"')
        for name in ("max_degree", "max_terms", "n_folds"):
            v, low = getattr(self, name), {"max_degree": 0, "max_terms": 1, "n_folds": 2}[name]
            if not _is_int(v) or v < low:
                raise _fail(name, v, f"must be an int >= {low}")
        if self.n_grid is not None and (not _is_int(self.n_grid) or self.n_grid < 2):
            raise _fail("n_grid", self.n_grid, "must be None or an int >= 2")
        kinds = self._penalty_kinds()
        g = self.gamma
        if not (isinstance(g, str) and g == "auto"):
            if isinstance(g, (str, bool)) or not isinstance(g, numbers.Real) \
                    or not np.isfinite(g) or g < 0:
                raise _fail("gamma", g, 'must be a finite number >= 0 or "auto"')
        solver = self.solver
        if solver == "auto":
            solver = "penalized" if kinds else "lstsq"
        if kinds and solver in ("lstsq", "search"):
            raise _fail("solver", self.solver,
                        f"takes no penalty (penalty={self.penalty!r}); use 'penalized'")
        opts = self.search_options or {}
        if not isinstance(opts, dict) or any(k not in SEARCH_OPTIONS for k in opts):
            raise _fail("search_options", opts, f"a dict with keys among {SEARCH_OPTIONS}")
        return kinds, solver

    def _check_domain(self, X: Array) -> Array:
        D = X.shape[1]
        if self.domain is None:
            dom = np.column_stack([X.min(axis=0), X.max(axis=0)])
            flat = dom[:, 1] == dom[:, 0]
            dom[flat] += np.array([-1.0, 1.0])
            return dom
        try:
            dom = np.asarray(self.domain, dtype=float)
        except (TypeError, ValueError):
            raise _fail("domain", self.domain, "use None or one (low, high) pair per variable")
        if dom.shape == (2,) and D == 1:
            dom = dom[None, :]
        if dom.shape != (D, 2):
            raise _fail("domain", self.domain,
                        f"needs {D} (low, high) pair(s) for {D} variable(s)")
        if not np.all(np.isfinite(dom)) or np.any(dom[:, 1] <= dom[:, 0]):
            raise _fail("domain", self.domain, "every pair needs finite low < high")
        return dom

    def _powers(self, D: int, top: Optional[int]) -> list[list[int]]:
        """Basis of degree `top` (None: the per-variable degree list); raises
        before any allocation when it exceeds max_terms."""
        if top is None:
            degs = [int(v) for v in cast(Sequence[int], self.degree)]
            if len(degs) != D:
                raise _fail("degree", self.degree, f"needs {D} entries for {D} variables")
            count = _basis.n_tensor_terms(degs)
        elif self.basis == "tensor":
            degs = [top] * D
            count = _basis.n_tensor_terms(degs)
        else:
            count = _basis.n_total_terms(D, top)
        name = "max_degree" if isinstance(self.degree, str) else "degree"
        if count > self.max_terms:
            raise _fail(name, self.degree if name == "degree" else self.max_degree,
                        f"the {self.basis} basis in {D} variable(s) has {count} terms, "
                        f"more than max_terms={self.max_terms}")
        return _basis.tensor_powers(degs) if self.basis == "tensor" or top is None \
            else _basis.total_powers(D, top)

    # ------------------------------------------------------------------ fit
    def fit(self, X: npt.ArrayLike, y: npt.ArrayLike,
            sample_weight: Optional[npt.ArrayLike] = None) -> "PolynomialRegressor":
        """Fit the polynomial.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Input variables (finite).
        y : array-like of shape (n_samples,)
            Targets (finite).
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative weights of the least-squares fits (see Notes).

        Returns
        -------
        self : PolynomialRegressor
        """
        kinds, solver = self._check_params()
        Xa, ya = validate_data(self, X, y, y_numeric=True, dtype=np.float64,
                               ensure_min_samples=2)
        w = np.ones(len(ya)) if sample_weight is None else _check_sample_weight(
            sample_weight, Xa, dtype=np.float64, ensure_non_negative=True)
        keep = w > 0
        if not np.any(keep):
            raise _fail("sample_weight", "all zero", "at least one weight must be positive")
        n_folds = self._fold_count(int(np.count_nonzero(keep)))
        # Folds follow the row positions as given, so that any chunk of the
        # rows can work out its own (see _stats.fold_ids).
        folds = _stats.fold_ids(0, len(ya), n_folds, fold_seed(self.random_state)) \
            if n_folds else np.zeros(len(ya), dtype=np.intp)
        if not np.all(keep):
            Xa, ya, w, folds = Xa[keep], ya[keep], w[keep], folds[keep]
        n, D = Xa.shape
        powers = self._plan(D, kinds)
        dom = self._check_domain(Xa)
        centre, half = dom.mean(axis=1), (dom[:, 1] - dom[:, 0]) / 2.0
        Phi = _basis.design((Xa - centre) / half, powers)
        unit = sample_weight is None
        sw = np.ones(n) if unit else np.sqrt(w)
        n_eff = float(n) if unit else float(np.sum(w))
        A = Phi if unit else Phi * sw[:, None]
        H = self._H()

        def mdl(B: Array, use: list[int]) -> Array:
            pred = Phi @ B
            return np.array([qorv_core.mdl_score(pred[:, i], yc, k, H)
                             for i, k in enumerate(use)])

        k, degree_, scores = len(powers), self._fixed_degree(), None
        if isinstance(self.degree, str):
            yc = ya - float(np.sum(w * ya) / n_eff)
            bc = yc if unit else yc * sw
            parts = [_select.moments(A[folds == f], bc[folds == f]) for f in range(n_folds)]
            k, degree_, scores = self._choose_degree(D, _select.moments(A, bc), parts,
                                                     n_eff, mdl)
            powers, Phi, A = powers[:k], Phi[:, :k], A[:, :k]
        b = ya if unit else ya * sw
        gamma, Rs = self._choose_penalty(kinds, powers, half,
                                         _select.moments(A, b) if kinds else None, n_eff)

        if solver == "lstsq":
            coef = qorv_core.ols(A, b)
        elif solver == "penalized":
            coef = self._penalized(A, b, Rs, gamma, n_eff)
        else:
            coef = self._search(Phi, A, ya, sw)
        self._store(coef, powers, dom, degree_, gamma, scores,
                    qorv_core.mdl_score(Phi @ np.asarray(coef), ya, len(powers), H),
                    _singular_values(A), A.shape[1])
        return self

    # The steps of a fit that see the data only through its moments, shared
    # with the distributed fit of qorv.dask.
    def _H(self) -> int:
        return int((self.search_options or {}).get("H_piH", 20))

    def _fold_count(self, n: int) -> int:
        """Folds of criterion="cv" for n rows (0 when there is no cv)."""
        if isinstance(self.degree, str) and self.criterion == "cv":
            return min(int(self.n_folds), n)
        return 0

    def _fixed_degree(self) -> Any:
        if isinstance(self.degree, str):
            return None
        return int(cast(int, self.degree)) if _is_int(self.degree) else \
            np.asarray(self.degree, dtype=int)

    def _plan(self, D: int, kinds: list[str]) -> list[list[int]]:
        """The basis of the largest degree a fit may use, checked against
        max_terms (and the penalty's tensor grid) before anything is built."""
        if isinstance(self.degree, str):
            top: Optional[int] = int(self.max_degree)
        elif _is_int(self.degree):
            top = int(cast(int, self.degree))
        else:
            top = None
        powers = self._powers(D, top)
        if kinds and D > 1:
            need = (max(max(p) for p in powers) + 1) ** D
            if need > self.max_terms:
                raise _fail("penalty", self.penalty,
                            f"its tensor grid basis has {need} terms, more than "
                            f"max_terms={self.max_terms}")
        return powers

    def _choose_degree(self, D: int, total: _select.Moments,
                       folds: Sequence[_select.Moments], n_eff: float,
                       mdl: Any) -> tuple[int, int, Array]:
        sizes = [_basis.n_tensor_terms([d] * D) if self.basis == "tensor"
                 else _basis.n_total_terms(D, d) for d in range(int(self.max_degree) + 1)]
        scores, se = _select.degree_scores(self.criterion, total, folds, sizes, n_eff, mdl)
        best = _select.choose(scores, se)
        return sizes[best], best, scores

    def _choose_penalty(self, kinds: list[str], powers: list[list[int]], half: Array,
                        total: Optional[_select.Moments],
                        n_eff: float) -> tuple[float, dict[str, Array]]:
        if not kinds or total is None:
            return 0.0, {}
        D = len(half)
        n_grid = self.n_grid if self.n_grid is not None else (600 if D == 1 else 30)
        Rs = _basis.penalties(powers, half, kinds, n_grid)
        return self._choose_gamma(total, Rs, n_eff), Rs

    @staticmethod
    def _penalized(A: Array, b: Array, Rs: dict[str, Array], gamma: float,
                   n_eff: float) -> Array:
        # The core scales the penalties by the row count; the weights' sum is the n here.
        g = gamma * n_eff / len(b)
        return np.asarray(qorv_core.fit_regularized_linear(
            A, b, Rs.get("gradient"), Rs.get("curvature"),
            g if "gradient" in Rs else 0.0, g if "curvature" in Rs else 0.0, RIDGE))

    def _store(self, coef: Any, powers: list[list[int]], dom: Array, degree_: Any,
               gamma: float, scores: Optional[Array], mdl_score: float,
               sv_rank: tuple[Array, int], M: int) -> None:
        self.coef_ = np.asarray(coef, dtype=np.float64)
        self.powers_ = np.asarray(powers, dtype=np.int64).reshape(len(powers), dom.shape[0])
        self.domain_ = dom
        self.degree_ = degree_
        self.gamma_ = float(gamma)
        self.mdl_score_ = float(mdl_score)
        self.singular_values_, self.rank_ = sv_rank
        self.criterion_scores_ = scores
        if self.rank_ < M:
            warnings.warn(f"rank-deficient design: rank {self.rank_} of {M} columns "
                          "after mapping; the coefficients are a minimum-norm solution",
                          RankWarning, stacklevel=3)

    def _choose_gamma(self, total: _select.Moments, Rs: dict[str, Array],
                      n_eff: float) -> float:
        if not isinstance(self.gamma, str):
            return float(self.gamma)
        R = np.sum(list(Rs.values()), axis=0)
        tr_R = float(np.trace(R))
        if not tr_R > 0:
            return 0.0  # the penalty vanishes on this basis
        centre = float(np.trace(total.G)) / (n_eff * tr_R)
        grid = centre * 10.0 ** GAMMA_DECADES
        return _select.gcv_gamma(total, R, n_eff, grid, RIDGE)[0]

    def _search(self, Phi: Array, A: Array, y: Array, sw: Array) -> Array:
        opts = dict(self.search_options or {})
        H = int(opts.get("H_piH", 20))
        seed = fold_seed(self.random_state)
        m, s = float(np.mean(y)), float(np.std(y))
        s = s if s > 0 else 1.0
        ys = (y - m) / s
        b_ls = qorv_core.ols(A, ys * sw)
        resid = ys - Phi @ b_ls
        k = Phi.shape[1]
        res = qorv_core.TournamentMCMC(seed=seed, **opts).fit(Phi, resid)
        b_s = b_ls + np.asarray(res.beta_mcmc)

        def user(beta: Array) -> Array:
            out = s * beta
            out[0] += m
            return out

        c_ls, c_s = user(b_ls), user(b_s)
        e_ls = qorv_core.mdl_score(Phi @ c_ls, y, k, H)
        e_s = qorv_core.mdl_score(Phi @ c_s, y, k, H)
        if not (np.all(np.isfinite(c_s)) and e_s < e_ls):
            warnings.warn(f"the search found no fit better than least squares (score "
                          f"{e_s:.6g} against {e_ls:.6g}); keeping the least-squares "
                          "coefficients", SearchWarning, stacklevel=3)
            c_s = c_ls
        mad = qorv_core.mad(y)
        eps = 0.4 * mad if mad > 0 else 0.4
        if not np.any(np.abs(Phi @ c_s - y) < eps):
            warnings.warn("the best candidate fits no point within the tolerance "
                          f"0.4 MAD(y) = {eps:.6g}", SearchWarning, stacklevel=3)
        return c_s

    # -------------------------------------------------------------- predict
    def _design(self, X: npt.ArrayLike) -> Array:
        check_is_fitted(self)
        Xa = validate_data(self, X, reset=False, dtype=np.float64)
        dom = self.domain_
        Z = (Xa - dom.mean(axis=1)) / ((dom[:, 1] - dom[:, 0]) / 2.0)
        return _basis.design(Z, self.powers_.tolist())

    def predict(self, X: npt.ArrayLike) -> Array:
        """Predicted values.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features_in_), or a dask array
            A dask array gives a dask array, predicted chunk by chunk.

        Returns
        -------
        y : ndarray of shape (n_samples,)
        """
        if type(X).__module__.split(".")[0] == "dask":  # a dask array, chunked by rows
            Xd: Any = X
            Xd = Xd[:, None] if Xd.ndim == 1 else Xd.rechunk({1: -1})
            return cast(Array, Xd.map_blocks(self.predict, drop_axis=1, dtype=np.float64))
        return self._design(X) @ self.coef_

    def convert(self) -> Array:
        """Coefficients in powers of the user's own x (one variable only),
        lowest power first, as ``numpy.polynomial.Polynomial.convert`` gives
        them.

        Ill-conditioned for high degrees or an x far from 0: the
        coefficients of x^p grow like (|c| / h)^p and cancel one another in
        evaluation, so prefer `predict`.

        Returns
        -------
        coef : ndarray of shape (degree_ + 1,)
        """
        check_is_fitted(self)
        if self.n_features_in_ != 1:
            raise ValueError(f"convert() needs one variable; the model has "
                             f"{self.n_features_in_}")
        full = np.zeros(int(self.powers_.max(initial=0)) + 1)
        full[self.powers_[:, 0]] = self.coef_
        p = np.polynomial.Polynomial(full, domain=self.domain_[0], window=[-1.0, 1.0])
        return np.asarray(p.convert().coef, dtype=np.float64)


def _singular_values(A: Array) -> tuple[Array, int]:
    """Singular values of A and its rank at the least-squares solver's
    threshold. From the small Gram matrix when it is well conditioned (its
    eigenvalues are then accurate); from A itself otherwise."""
    n, M = A.shape
    if M == 0:
        return np.zeros(0), 0
    lam = np.linalg.eigvalsh(A.T @ A)[::-1]
    if lam[0] > 0 and lam[-1] > 1e-10 * lam[0]:
        s = np.sqrt(lam)
    else:
        s = np.linalg.svd(A, compute_uv=False)
    tol = max(s[0] * max(1, min(n, M)) * np.finfo(float).eps, np.finfo(float).tiny)
    return s, int(np.sum(s > tol))
