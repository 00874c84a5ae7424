"""The fit: one sequence of steps over the statistics of the data.

A fit sees its rows only through a `Source`: a summary pass (ranges, row
count, finiteness), a factor pass (per-fold triangular factors of the
mapped, weighted design, qorv._stats), hit counts of candidate fits, and the
spread of the targets. The in-memory fit's source holds the rows as one
chunk; the distributed fit's source (qorv.dask) runs the same passes per
chunk and reduces them. Everything else (the parameters' checks, the
domain, the basis, the degree and penalty choices, the solvers, the score
and the rank) is written once, here, and returns a plain `Fitted` record
that the estimator takes on whole.
"""
from __future__ import annotations

import math
import numbers
import warnings
from dataclasses import dataclass, field, replace
from typing import Any, Mapping, Optional, Protocol, Sequence, Union

import numpy as np
import numpy.typing as npt
import qorv_core
from sklearn.utils import check_random_state  # type: ignore[import-untyped]

import _qorv_native as _native

from . import _basis, _inference, _select, _stats
from ._stats import Basis, Factor, Summary

Array = npt.NDArray[np.float64]
Degree = Union[int, npt.NDArray[np.int64], None]

BASES = ("total", "tensor")
PENALTIES = ("gradient", "curvature")
SOLVERS = ("auto", "lstsq", "penalized", "search", "robust")
SEARCH_OPTIONS = ("n_chains", "n_warmup", "n_deep", "n_elite", "step_size", "H_piH")
DEFAULT_CRITERION = "cv"
GAMMA_CRITERIA = ("reml", "gcv", "cv")
DEFAULT_GAMMA_CRITERION = "cv"
# Relative gamma grid: quarter decades around trace(A^T A) / (n trace(R)).
GAMMA_DECADES = np.linspace(-8.0, 4.0, 49)
# a given domain: the data must span at least this share of each interval
DOMAIN_MIN_SHARE = 1e-100
# The robust solver: Tukey's bisquare tuned to 95 % efficiency under normal
# errors, at a fixed scale, the normal-consistent MAD of the start's
# residuals; the start is the search's fit of at most ROBUST_START_ROWS
# seeded rows (its cost grows with rows times steps, the refinement's with
# rows only), with a shorter walk than the search solver's (it need only land
# in the right basin), then up to ROBUST_C_STEPS concentration steps: least
# squares on the half of the rows it fits best, which pulls a start that sits
# partly on the outliers back onto the majority.
BISQUARE_C = 4.685
MAD_TO_SD = 1.482602218505602
ROBUST_START_ROWS = 2000
ROBUST_START_SEARCH = {"n_deep": 500}
ROBUST_C_STEPS = 4
ROBUST_START_DEGREE = 3
ROBUST_MAX_ITER = 200
# Refinement stops when no fitted value moves by more than this share of the
# scale; the pass that only weighs the rows for the degree and gamma choices
# stops sooner (weights good to 1e-4 change no score that matters, and the
# final fit converges from there to ROBUST_TOL).
ROBUST_TOL = 1e-10
ROBUST_CHOICE_TOL = 1e-4


class RankWarning(UserWarning):
    """The mapped design has fewer independent columns than terms."""


class EdgeWarning(UserWarning):
    """A result at the edge of what the fit can vouch for: the chosen degree
    is max_degree (the data may want more), predict is asked well beyond the
    domain (a polynomial there is extrapolation), or convert()'s
    coefficients have lost more than half their digits to cancellation."""


# predict warns beyond the domain by more than this share of its width
EXTRAPOLATION_SHARE = 0.1
# convert() warns when cancellation costs more than this many decimal digits
CONVERT_DIGITS = 8.0


class SearchWarning(UserWarning):
    """The stochastic search found no better fit than least squares, or its
    best candidate fits no point within the tolerance."""


# ------------------------------------------------------------- parameters
def _is_int(v: object) -> bool:
    return isinstance(v, numbers.Integral) and not isinstance(v, bool)


def _finite(v: Any) -> bool:
    try:
        return bool(np.isfinite(float(v)))
    except OverflowError:  # an int beyond the doubles
        return False


def fail(name: str, value: object, why: str) -> ValueError:
    """The error of a bad argument: its name, its value (shortened) and what
    is wrong."""
    text = repr(value)
    if len(text) > 80:
        text = text[:60] + f"...({len(text)} characters)"
    return ValueError(f"{name}={text}: {why}")


def fold_seed(random_state: Any) -> int:
    """The integer seed of the folds of criterion="cv" (and of the search)."""
    if _is_int(random_state) and random_state >= 0:
        return int(random_state)
    return int(check_random_state(random_state).randint(0, 2**31 - 1))


@dataclass(frozen=True)
class Settings:
    """The estimator's parameters, checked, with the solver resolved."""

    degree: Any
    basis: str
    domain: Any
    kinds: list[str]
    gamma: Any
    solver: str
    n_grid: Optional[int]
    max_degree: int
    criterion: str
    n_folds: int
    max_terms: int
    search_options: dict[str, Any] = field(default_factory=dict)
    random_state: Any = 0
    cv: Any = None  # a splitter or iterable of (train, test); None: n_folds folds
    gamma_criterion: str = DEFAULT_GAMMA_CRITERION

    @property
    def auto(self) -> bool:
        return isinstance(self.degree, str)

    @property
    def H(self) -> int:
        return int(self.search_options.get("H_piH", _native.DEFAULT_H_PIH))


def _penalty_kinds(p: Any) -> list[str]:
    if p is None:
        return []
    try:
        kinds = [p] if isinstance(p, str) else list(p)
    except TypeError:
        kinds = []
    if not kinds or any(k not in PENALTIES for k in kinds) or len(set(kinds)) < len(kinds):
        raise fail("penalty", p, f"choose None, one of {PENALTIES} or a list of them")
    return [k for k in PENALTIES if k in kinds]


def _check_degree(d: Any, basis: str) -> None:
    if isinstance(d, str):
        if d != "auto":
            raise fail("degree", d, 'use an int >= 0, a list of them or "auto"')
        return
    if _is_int(d):
        if int(d) < 0:
            raise fail("degree", d, "must be >= 0")
        return
    try:
        ok = len(d) > 0 and all(_is_int(v) and v >= 0 for v in d)
    except TypeError:
        ok = False
    if not ok:
        raise fail("degree", d, 'use an int >= 0, a list of them or "auto"')
    if basis != "tensor":
        raise fail("degree", d, 'a per-variable list needs basis="tensor"')


def check_params(p: Mapping[str, Any]) -> Settings:
    """The estimator's parameters (`get_params()`), checked."""
    p = {"gamma_criterion": DEFAULT_GAMMA_CRITERION, **p}
    for name, allowed in (("basis", BASES), ("solver", SOLVERS),
                          ("criterion", _select.CRITERIA),
                          ("gamma_criterion", GAMMA_CRITERIA)):
        if p[name] not in allowed:
            raise fail(name, p[name], f"choose one of {allowed}")
    _check_degree(p["degree"], p["basis"])
    for name, low in (("max_degree", 0), ("max_terms", 1), ("n_folds", 2)):
        if not _is_int(p[name]) or p[name] < low:
            raise fail(name, p[name], f"must be an int >= {low}")
    if p["n_grid"] is not None and (not _is_int(p["n_grid"]) or p["n_grid"] < 2):
        raise fail("n_grid", p["n_grid"], "must be None or an int >= 2")
    kinds = _penalty_kinds(p["penalty"])
    g = p["gamma"]
    if not (isinstance(g, str) and g == "auto"):
        if isinstance(g, (str, bool)) or not isinstance(g, numbers.Real) \
                or not _finite(g) or g < 0:
            raise fail("gamma", g, 'must be a finite number >= 0 or "auto"')
    solver = p["solver"]
    if solver == "auto":
        solver = "penalized" if kinds else "lstsq"
    if kinds and solver in ("lstsq", "search"):
        raise fail("solver", p["solver"],
                   f"takes no penalty (penalty={p['penalty']!r}); use 'penalized'")
    opts = p["search_options"] or {}
    if not isinstance(opts, dict) or any(k not in SEARCH_OPTIONS for k in opts):
        raise fail("search_options", opts, f"a dict with keys among {SEARCH_OPTIONS}")
    if "H_piH" in opts and not (_is_int(opts["H_piH"]) and opts["H_piH"] >= 1):
        raise fail("search_options", opts, "H_piH must be an int >= 1 (the score takes "
                   "the log of 2 H)")
    for key, low in (("n_chains", 1), ("n_elite", 1), ("n_warmup", 0), ("n_deep", 0)):
        if key in opts and not (_is_int(opts[key]) and low <= opts[key] < 2**31):
            raise fail("search_options", opts, f"{key} must be an int >= {low}")
    if "step_size" in opts and not (isinstance(opts["step_size"], numbers.Real) and
                                    not isinstance(opts["step_size"], bool) and
                                    _finite(opts["step_size"]) and float(opts["step_size"]) > 0):
        raise fail("search_options", opts, "step_size must be a finite number > 0")
    cv: Any = p.get("cv")
    n_folds = int(p["n_folds"])
    if _is_int(cv):
        if int(cv) < 2:
            raise fail("cv", cv, "an int number of folds must be >= 2")
        cv, n_folds = None, int(cv)
    elif cv is not None and (isinstance(cv, str) or not (
            hasattr(cv, "split") or hasattr(cv, "__iter__"))):
        raise fail("cv", cv, "use None, an int >= 2, a scikit-learn splitter or an "
                   "iterable of (train, test) index arrays")
    return Settings(p["degree"], p["basis"], p["domain"], kinds, g, solver, p["n_grid"],
                    int(p["max_degree"]), p["criterion"], n_folds,
                    int(p["max_terms"]), dict(opts), p["random_state"], cv,
                    p["gamma_criterion"])


def domain_of(s: Settings, lo: Array, hi: Array) -> Array:
    """The interval of each variable mapped onto [-1, 1]: the given domain,
    or the data's range (lo, hi) widened by one on each side where a
    variable is constant."""
    D = len(lo)
    if s.domain is None:
        dom = np.column_stack([lo, hi]).astype(np.float64)
        flat = dom[:, 1] == dom[:, 0]
        # one unit each side, or more where one unit is below the spacing of
        # doubles there (a constant timestamp in nanoseconds)
        widen = np.maximum(1.0, np.abs(dom[flat, 0]) * 2.0**-40)
        dom[flat] += widen[:, None] * np.array([-1.0, 1.0])
        return dom
    try:
        dom = np.asarray(s.domain, dtype=float)
    except (TypeError, ValueError):
        raise fail("domain", s.domain, "use None or one (low, high) pair per variable")
    if dom.shape == (2,) and D == 1:
        dom = dom[None, :]
    if dom.shape != (D, 2):
        raise fail("domain", s.domain, f"needs {D} (low, high) pair(s) for {D} variable(s)")
    if not np.all(np.isfinite(dom)) or np.any(dom[:, 1] <= dom[:, 0]):
        raise fail("domain", s.domain, "every pair needs finite low < high")
    # the data must fill more than a vanishing share of it, or their powers
    # underflow to a design of rank one
    with np.errstate(over="ignore"):
        share = (hi - lo) / (dom[:, 1] / 2 - dom[:, 0] / 2) / 2
    if np.any((hi > lo) & (share < DOMAIN_MIN_SHARE)):
        j = int(np.argmin(np.where(hi > lo, share, np.inf)))
        raise fail("domain", s.domain, f"is {1 / share[j]:.3g} times wider than the data of "
                   f"variable {j}; its powers would underflow. Give a domain near the data")
    return dom


def _n_terms(s: Settings, D: int, d: int) -> int:
    return _basis.n_tensor_terms([d] * D) if s.basis == "tensor" else _basis.n_total_terms(D, d)


def top_powers(s: Settings, D: int, rows: int) -> list[list[int]]:
    """The basis of the largest degree the fit may use, checked against
    max_terms (and the penalty's tensor grid) before anything is built. For
    degree="auto" that is the largest degree up to max_degree whose terms
    neither outnumber the rows (no criterion can score more) nor exceed
    max_terms, so that the design stays within rows x rows."""
    if s.auto or _is_int(s.degree):
        top = s.max_degree if s.auto else int(s.degree)
        while s.auto and top > 0 and _n_terms(s, D, top) > min(rows, s.max_terms):
            top -= 1
        degs, count = [top] * D, _n_terms(s, D, top)
    else:
        degs = [int(v) for v in s.degree]
        if len(degs) != D:
            raise fail("degree", s.degree, f"needs {D} entries for {D} variables")
        count = _basis.n_tensor_terms(degs)
    name, value = ("max_degree", s.max_degree) if s.auto else ("degree", s.degree)
    if count > s.max_terms:
        raise fail(name, value, f"the {s.basis} basis in {D} variable(s) has {count} terms, "
                   f"more than max_terms={s.max_terms}")
    tensor = s.basis == "tensor" or not (s.auto or _is_int(s.degree))
    powers = _basis.tensor_powers(degs) if tensor else _basis.total_powers(D, degs[0])
    if s.kinds and D > 1:
        need = (max(max(p) for p in powers) + 1) ** D
        if need > s.max_terms:
            raise fail("penalty", s.kinds, f"its tensor grid basis has {need} terms, more "
                       f"than max_terms={s.max_terms}")
    return powers


def fold_count(s: Settings, n: int) -> int:
    """Folds of the cross-validations (criterion="cv", gamma_criterion="cv")
    for n rows (0 when there is none)."""
    degree_cv = s.auto and s.criterion == "cv"
    gamma_cv = bool(s.kinds) and isinstance(s.gamma, str) and s.gamma_criterion == "cv"
    return min(s.n_folds, n) if degree_cv or gamma_cv else 0


def _fixed_degree(s: Settings) -> Degree:
    if s.auto:
        return None
    return int(s.degree) if _is_int(s.degree) else np.asarray(s.degree, dtype=np.int64)


# ------------------------------------------------------------ the source
class Source(Protocol):
    """The passes over the rows that a fit makes."""

    def summary(self) -> Summary:
        """Ranges and counts of the rows; raises on unusable data."""

    def factors(self, basis: Basis, n_folds: int, seed: int) -> list[Factor]:
        """Per-fold factors of the mapped, weighted design (one without folds)."""

    def split_factors(self, basis: Basis) -> Optional[tuple[list[Factor], list[Factor]]]:
        """The factors of the training and of the test rows of each of the
        user's cross-validation splits; None for folds by row position."""

    def hits(self, basis: Basis, B: Array, shift: float, eps: float) -> npt.NDArray[np.int64]:
        """Hit counts of each column of B against y - shift (rows of positive weight)."""

    def spread(self, shift: float) -> float:
        """The core's mad of y - shift over the rows of positive weight."""

    def rows(self, basis: Basis) -> tuple[Array, Array, Array]:
        """The design, targets and weights of the rows of positive weight,
        for the solvers that need every row at once."""

    def sample(self, basis: Basis, positions: Optional[npt.NDArray[np.intp]]
               ) -> tuple[Array, Array, Array]:
        """rows(basis) of the rows at the given positions (of all rows, in
        order; None for every row), those of positive weight."""

    def spread_of_residuals(self, basis: Basis, beta: Array) -> float:
        """The core's mad of sqrt(w) (y - design beta) over the rows of positive
        weight."""

    def bisquare_factor(self, basis: Basis, beta: Array, scale: float,
                        step: Array) -> tuple[Factor, float]:
        """The factor of the design with rows weighted by w times the
        bisquare weight of their residual sqrt(w) (y - design beta) at `scale`, and
        the largest |design step| over the rows."""

    def bisquare_weighted(self, basis: Basis, beta: Array, scale: float) -> "Source":
        """The same rows, each weight multiplied by the bisquare weight of
        its residual sqrt(w) (y - design beta) at `scale`."""

    def psi_sums(self, basis: Basis, beta: Array, scale: float) -> _inference.PsiSums:
        """Bisquare psi sums of the residuals y - design beta at `scale`."""

    def scaled(self, factor: float) -> "Source":
        """The same rows with y multiplied by `factor` (a power of two)."""


# ---------------------------------------------------------------- result
@dataclass(frozen=True)
class Fitted:
    """Everything a fit learns, set on the estimator at once."""

    coef_: Array
    powers_: npt.NDArray[np.int64]
    domain_: Array
    degree_: Degree
    gamma_: float
    mdl_score_: float
    singular_values_: Array
    rank_: int
    criterion_scores_: Optional[Array]
    n_features_in_: int
    scale_: Optional[float]
    gamma_scores_: Optional[Array]
    inference: Optional[_inference.Inference]
    n_eff: float  # the weights' sum, which the criteria count as rows


def fit(s: Settings, source: Source) -> Fitted:
    """Run the fit's steps on the rows behind `source`, with y divided by a
    power of two that brings it to order one (exact, so the bits are those
    of the unscaled fit wherever that one does not overflow), and the
    results taken back to y's units: no choice depends on them."""
    info = source.summary()
    e = int(np.frexp(max(abs(info.y_lo), abs(info.y_hi), np.finfo(float).tiny))[1])
    if e == 0:
        return _fit(s, source, info)
    down = float(np.ldexp(1.0, -e))  # exact: 2^-e is a normal double for every finite y
    f = _fit(s, source.scaled(down), replace(info, y_lo=info.y_lo * down,
                                             y_hi=info.y_hi * down))
    return _unscale(f, s, e, info.rows)


def _unscale(f: Fitted, s: Settings, e: int, n: int) -> Fitted:
    with np.errstate(over="ignore"):  # a result beyond the doubles is inf, as unscaled
        return _unscale_in(f, s, e, n)


def _rescaled(scores: Array, criterion: str, u: float, shift: float) -> Array:
    """Scores of y in units u: "cv" an RMSE, "gcv" a sum of squares, the
    likelihoods (bic, reml) shifted by `shift`."""
    return {"cv": scores * u, "gcv": scores * u * u}.get(criterion, scores + shift)


def _unscale_in(f: Fitted, s: Settings, e: int, n: int) -> Fitted:
    u, log_u2 = float(np.ldexp(1.0, e)) if e < 1024 else math.inf, 2.0 * e * math.log(2.0)
    scores = f.criterion_scores_
    if scores is not None and s.criterion != "mdl":  # bic adds n_eff ln(u^2) to each
        scores = _rescaled(scores, s.criterion, u, f.n_eff * log_u2)
    gs = f.gamma_scores_
    if gs is not None:  # reml adds (n - m0) ln(u^2)
        m0 = _null_terms(f.powers_.tolist(), s.kinds)
        gs = np.column_stack([gs[:, 0], _rescaled(gs[:, 1], s.gamma_criterion, u,
                                                  (f.n_eff - m0) * log_u2)])
    inf = f.inference
    if inf is not None:
        shift = n * log_u2
        inf = replace(inf, cov_params_=inf.cov_params_ * u * u, coef_se_=inf.coef_se_ * u,
                      sigma_=inf.sigma_ * u,
                      aic_=None if inf.aic_ is None else inf.aic_ + shift,
                      bic_=None if inf.bic_ is None else inf.bic_ + shift)
    return replace(f, coef_=f.coef_ * u, criterion_scores_=scores, gamma_scores_=gs,
                   scale_=None if f.scale_ is None else f.scale_ * u, inference=inf)


def _fit(s: Settings, source: Source, info: Summary) -> Fitted:
    D = len(info.lo)
    powers = top_powers(s, D, info.rows)
    dom = domain_of(s, info.lo, info.hi)
    basis = Basis(*_basis.mapparms(dom), powers)
    seed = fold_seed(s.random_state)
    scale: Optional[float] = None
    chosen_from = source
    choosing = s.auto or (bool(s.kinds) and isinstance(s.gamma, str))
    if choosing and s.solver in ("robust", "search"):
        # Degree and gamma are chosen from the rows as a robust fit of the
        # largest basis weighs them, so that outliers cannot pull either.
        beta, rough = _robust_fit(s, source, basis, info.rows_all, {}, 0.0, seed,
                                  tol=ROBUST_CHOICE_TOL, lead=_start_terms(s, D))
        chosen_from = source.bisquare_weighted(basis, beta, rough)
    splits = chosen_from.split_factors(basis) if fold_count(s, info.rows) else None
    trains: Optional[list[Factor]] = None
    if splits is None:
        parts = chosen_from.factors(basis, fold_count(s, info.rows), seed)
        total = parts[0] if len(parts) == 1 else _stats.combine(parts)
    else:
        (trains, parts), total = splits, chosen_from.factors(basis, 0, seed)[0]
    # the Gram matrices of the choices square the factor: it must stay below sqrt(max)
    if not np.max(np.abs(total.R), initial=0.0) < 1e150:
        raise fail("domain", s.domain, f"maps the data to |z| up to "
                   f"{float(np.max(np.abs((info.hi - basis.centre) / basis.half))):.3g}, "
                   "where the design's powers overflow; give a domain that holds the data")
    k, degree_, scores = len(powers), _fixed_degree(s), None
    if s.auto:
        # the description-length criterion counts hits on every row itself
        k, degree_, scores = _choose_degree(s, source, basis, total, parts, info.rows, trains)
        basis = replace(basis, powers=powers[:k])
    A, b = total.R[:k, :k], total.R[:k, -1]  # A^T A and A^T b of the rows, in <= k rows
    full = _stats.moments(total).head(k)
    folds = None
    if s.gamma_criterion == "cv" and len(parts) > 1:
        tests = [_stats.moments(p).head(k) for p in parts]
        folds = ([full.without(f) for f in tests] if trains is None else
                 [_stats.moments(t).head(k) for t in trains], tests)
    gamma, Rs, gamma_scores = _choose_penalty(s, basis, full, total.weight, folds)
    if s.solver == "lstsq":
        coef = _solve_lstsq(A, b)
    elif s.solver == "penalized":
        coef = _solve_penalized(A, b, Rs, gamma, total.weight)
    elif s.solver == "robust":
        # Rows already weighed by a robust fit: their weighted least squares
        # is the start, and the search need not run again.
        start = _solve_lstsq(A, b) if chosen_from is not source else None
        coef, scale = _robust_fit(s, source, basis, info.rows_all, Rs, gamma, seed, start,
                                  lead=_start_terms(s, D))
    else:
        coef = _solve_search(s, *source.rows(basis), seed)
    eps = _native.hit_tolerance(source.spread(0.0))
    hits = int(source.hits(basis, coef[:, None], 0.0, eps)[0])
    sv, rank = singular_values(A, info.rows)
    n = info.rows
    if s.solver == "lstsq":
        inference: Optional[_inference.Inference] = _inference.least_squares(
            total, coef, n, rank)
    elif s.solver == "penalized":
        P = gamma * total.weight * np.sum(list(Rs.values()), axis=0) + \
            _native.DEFAULT_RIDGE * np.eye(k)
        inference = _inference.penalized(total, coef, n, P)
    elif s.solver == "robust" and scale is not None:
        inference = _inference.robust(source.factors(basis, 0, seed)[0], coef, n, rank, scale,
                                      source.psi_sums(basis, coef, scale))
    else:  # the search's minimiser has no standard covariance
        inference = None
    return Fitted(coef, np.asarray(basis.powers, dtype=np.int64).reshape(k, D), dom, degree_,
                  float(gamma), _native.mdl_from_hits(hits, n, k, s.H), sv, rank,
                  scores, D, scale, gamma_scores, inference, total.weight)


ABSENT = object()  # an attribute `apply` removes


def apply(est: Any, f: Fitted, **more: Any) -> None:
    """Sets the fit's attributes (and `more`) on the estimator all at once (a
    reader never sees half of one fit) and warns, at the caller of est.fit,
    of a rank-deficient design."""
    for stale in ("robust_weights_", "inlier_mask_"):
        if stale not in more:
            more[stale] = None
    fields = {k: v for k, v in vars(f).items() if k not in ("inference", "n_eff")}
    stats = dict.fromkeys(_inference.Inference.__dataclass_fields__) if f.inference is None \
        else vars(f.inference)
    gone = [k for k, v in more.items() if v is ABSENT]  # e.g. no feature names now
    vars(est).update({**fields, **stats, **{k: v for k, v in more.items() if v is not ABSENT}})
    for name in gone:
        vars(est).pop(name, None)  # another thread's fit may have removed it
    scores = f.criterion_scores_
    if scores is not None and len(scores) > 1 and f.degree_ == len(scores) - 1:
        warnings.warn(f"the chosen degree is max_degree={f.degree_}: the data may want a "
                      "larger one; raise max_degree to see", EdgeWarning, stacklevel=3)
    M = len(f.coef_)
    if f.rank_ < M:
        warnings.warn(f"rank-deficient design: rank {f.rank_} of {M} columns after mapping; "
                      "the coefficients are a minimum-norm solution", RankWarning, stacklevel=3)


# ----------------------------------------------------------------- steps
def _choose_degree(s: Settings, source: Source, basis: Basis, total: Factor,
                   parts: Sequence[Factor], n: int,
                   trains: Optional[Sequence[Factor]] = None) -> tuple[int, int, Array]:
    """The candidate size, degree and every degree's score under the
    criterion; parts are the folds (test rows) of "cv", trains their
    training rows where those are not the complements."""
    D = len(basis.centre)
    sizes = [_n_terms(s, D, d) for d in range(s.max_degree + 1)]
    sizes = [k for k in sizes if k <= len(basis.powers)]  # the degrees top_powers allowed
    ybar = total.weighted_y / total.weight

    def mdl(B: Array, use: list[int]) -> Array:
        eps = _native.hit_tolerance(source.spread(ybar))
        counts = source.hits(basis, B, ybar, eps)
        return np.array([_native.mdl_from_hits(int(h), n, k, s.H) for h, k in zip(counts, use)])

    scores, se = _select.degree_scores(
        s.criterion, _stats.moments(total, ybar), [_stats.moments(p, ybar) for p in parts],
        sizes, total.weight, mdl,
        None if trains is None else [(_stats.centred(t.R, ybar), t.rows) for t in trains])
    if not np.any(np.isfinite(scores)):
        why = (f"the weights sum to {total.weight:.6g}, and these criteria count them as rows"
               " (integer weights equal repeated rows): no degree has fewer terms"
               if total.weight <= 1 else "no degree could be scored (the design or the "
               "targets overflow)")
        raise fail("criterion", s.criterion, why)
    best = _select.choose(scores, se)
    # degrees beyond the rows (or max_terms) were not tried
    scores = np.concatenate([scores, np.full(s.max_degree + 1 - len(sizes), np.inf)])
    return sizes[best], best, scores


def _choose_penalty(s: Settings, basis: Basis, total: _select.Moments, n_eff: float,
                    folds: Optional[tuple[list[_select.Moments], list[_select.Moments]]] = None
                    ) -> tuple[float, dict[str, Array], Optional[Array]]:
    """gamma, the penalty matrices and, for gamma="auto", the score of every
    grid point under s.gamma_criterion."""
    if not s.kinds:
        return 0.0, {}, None
    default = _native.DEFAULT_N_GRID_1D if len(basis.half) == 1 else _native.DEFAULT_N_GRID_ND
    Rs = _basis.penalties(basis.powers, basis.half, s.kinds, s.n_grid or default)
    if not all(np.all(np.isfinite(R)) for R in Rs.values()):
        raise fail("penalty", s.kinds, "its integrals in x's units overflow a double for "
                   "domain half-widths " + ", ".join(f"{h:.3g}" for h in basis.half)
                   + " (each derivative scales by 1 / half-width); rescale x")
    if not isinstance(s.gamma, str):
        return float(s.gamma), Rs, None
    R = np.sum(list(Rs.values()), axis=0)
    tr_R = float(np.trace(R))
    if not tr_R > 0:
        return 0.0, Rs, None  # the penalty vanishes on this basis
    grid = float(np.trace(total.G)) / (n_eff * tr_R) * 10.0 ** GAMMA_DECADES
    if s.gamma_criterion == "gcv":
        gamma, scores = _select.gcv_gamma(total, R, n_eff, grid, _native.DEFAULT_RIDGE)
    elif folds is not None:  # "cv" (with fewer than two folds, as "reml")
        gamma, scores = _select.cv_gamma(*folds, R, grid, _native.DEFAULT_RIDGE)
    else:
        gamma, scores = _select.reml_gamma(total, R, n_eff, grid, _native.DEFAULT_RIDGE,
                                           _null_terms(basis.powers, s.kinds))
    return gamma, Rs, np.column_stack([grid, scores])


def _null_terms(powers: Sequence[Sequence[int]], kinds: Sequence[str]) -> int:
    """Terms the penalty does not charge: the constant for a gradient
    penalty, the affine terms for a curvature penalty alone."""
    top = 0 if "gradient" in kinds else 1
    return sum(1 for p in powers if sum(p) <= top)


def _solve_lstsq(A: Array, b: Array) -> Array:
    return np.asarray(qorv_core.ols(A, b), dtype=np.float64)


def _solve_penalized(A: Array, b: Array, Rs: dict[str, Array], gamma: float,
                     n_eff: float) -> Array:
    # The core scales the penalties by its row count; the weights' sum is the n here.
    g = gamma * n_eff / len(b)
    return np.asarray(qorv_core.fit_regularized_linear(
        A, b, Rs.get("gradient"), Rs.get("curvature"), g if "gradient" in Rs else 0.0,
        g if "curvature" in Rs else 0.0, _native.DEFAULT_RIDGE), dtype=np.float64)


def _solve_search(s: Settings, Phi: Array, y: Array, w: Array, seed: int) -> Array:
    """The robust search on y standardised, started from (and kept only when
    it beats) the weighted least-squares fit."""
    H = s.H
    sw = np.sqrt(w)
    m, sd = float(np.mean(y)), float(np.std(y))
    sd = sd if sd > 0 else 1.0
    ys = (y - m) / sd
    b_ls = qorv_core.ols(Phi * sw[:, None], ys * sw)
    resid = ys - Phi @ b_ls
    k = Phi.shape[1]
    res = qorv_core.TournamentMCMC(seed=seed, **s.search_options).fit(Phi, resid)
    b_s = b_ls + np.asarray(res.beta_mcmc)

    def user(beta: Array) -> Array:
        out = sd * beta
        out[0] += m
        return out

    c_ls, c_s = user(b_ls), user(b_s)
    e_ls = qorv_core.mdl_score(Phi @ c_ls, y, k, H)
    e_s = qorv_core.mdl_score(Phi @ c_s, y, k, H)
    if not (np.all(np.isfinite(c_s)) and e_s < e_ls):
        warnings.warn(f"the search found no fit better than least squares (score "
                      f"{e_s:.6g} against {e_ls:.6g}); keeping the least-squares "
                      "coefficients", SearchWarning, stacklevel=4)
        c_s = c_ls
    eps = _native.hit_tolerance(qorv_core.mad(y))
    if not np.any(np.abs(Phi @ c_s - y) < eps):
        warnings.warn("the best candidate fits no point within the tolerance "
                      f"0.4 MAD(y) = {eps:.6g}", SearchWarning, stacklevel=4)
    return c_s


def standardised(r: Array, w: Array) -> Array:
    """Residuals r of rows of weights w > 0 on the common scale: sqrt(w) r
    (w is a precision, as in weighted least squares, so that the robust fit
    is statsmodels' RLM of the rows scaled by sqrt(w))."""
    return np.asarray(r * np.sqrt(w), dtype=np.float64)


def psi_sums(r: Array, w: Array, scale: float) -> _inference.PsiSums:
    """Sums over the rows (weights w > 0) of the bisquare psi^2, psi' and
    psi'^2 of their standardised residuals over scale."""
    u = _reach(standardised(r, w), scale)
    z = u * BISQUARE_C
    psi = z * (1.0 - u * u) ** 2
    dpsi = (1.0 - u * u) * (1.0 - 5.0 * u * u) * (u < 1.0)
    return _inference.PsiSums(float(np.sum(psi**2)), float(np.sum(dpsi)),
                              float(np.sum(dpsi**2)), float(len(r)))


def bisquare(r: Array, scale: float) -> Array:
    """Tukey's bisquare weights of residuals r at the given scale."""
    u = _reach(r, scale)
    return np.asarray((1.0 - u * u) ** 2, dtype=np.float64)


def _reach(r: Array, scale: float) -> Array:
    """|r| / (c scale), capped at 1 (where the bisquare reaches zero)."""
    with np.errstate(over="ignore"):  # a residual far beyond the scale: 1
        return np.asarray(np.minimum(np.abs(r) / (BISQUARE_C * scale), 1.0),
                          dtype=np.float64)


def start_rows(n: int, seed: int) -> Optional[npt.NDArray[np.intp]]:
    """Positions (of all n rows) of the robust start's seeded sample; None
    for all rows."""
    if n <= ROBUST_START_ROWS:
        return None
    return np.sort(np.random.default_rng([seed, n]).choice(n, ROBUST_START_ROWS,
                                                           replace=False))


def _start_terms(s: Settings, D: int) -> Optional[int]:
    """The leading terms the robust start's search walks on: the search walks
    well in few dimensions, so a basis graded by degree is started on its terms
    up to ROBUST_START_DEGREE, and the concentration steps take the start onto
    the whole basis (None: every term)."""
    top = s.max_degree if s.auto else s.degree
    return _n_terms(s, D, min(ROBUST_START_DEGREE, top)) if _is_int(top) else None


def _robust_fit(s: Settings, source: Source, basis: Basis, n: int, Rs: dict[str, Array],
                gamma: float, seed: int, start: Optional[Array] = None,
                tol: float = ROBUST_TOL, lead: Optional[int] = None) -> tuple[Array, float]:
    """Coefficients and scale of the robust fit: the search's start on a
    seeded sample of the n rows (or `start`), the scale from its residuals,
    then bisquare-reweighted (penalised) least squares to convergence, one
    pass over the rows a step."""
    if start is not None:
        beta = start
    else:
        beta = _robust_start(s, *source.sample(basis, start_rows(n, seed)), seed, lead)
    scale = source.spread_of_residuals(basis, beta) * MAD_TO_SD
    if not scale > 0:  # more than half the rows fitted exactly: they alone count
        scale = np.finfo(float).tiny
    step = np.zeros_like(beta)
    for _ in range(ROBUST_MAX_ITER):
        f, moved = source.bisquare_factor(basis, beta, scale, step)
        if not moved > tol * scale and step.any():
            break
        A, b = f.R[:, :-1], f.R[:, -1]
        new = _solve_penalized(A, b, Rs, gamma, f.weight) if Rs else _solve_lstsq(A, b)
        step, beta = new - beta, new
    return beta, scale


def _robust_start(s: Settings, Phi: Array, y: Array, w: Array, seed: int,
                  lead: Optional[int] = None) -> Array:
    """The high-breakdown start on rows (Phi, y, w): a short search on the
    first `lead` columns (all by default), then concentration steps on all
    (weighted least squares on the h = (n + k + 1) // 2 rows of smallest
    residual, until that set stops changing)."""
    n, k = Phi.shape
    lead = k if lead is None else min(lead, k)
    short = replace(s, search_options={**ROBUST_START_SEARCH, **s.search_options})
    beta = np.zeros(k)
    with warnings.catch_warnings():
        # least squares as the start, when it scores best, is as good a start
        warnings.simplefilter("ignore", SearchWarning)
        beta[:lead] = _solve_search(short, Phi[:, :lead], y, w, seed)
    h = (n + k + 1) // 2
    if h >= n:
        return beta
    sw = np.sqrt(w)
    kept: Optional[npt.NDArray[np.intp]] = None
    for _ in range(ROBUST_C_STEPS):
        best = np.sort(np.argsort(np.abs(standardised(y - Phi @ beta, w)), kind="stable")[:h])
        if kept is not None and np.array_equal(best, kept):
            break
        kept = best
        beta = _solve_lstsq(Phi[kept] * sw[kept, None], y[kept] * sw[kept])
    return beta


def bisquare_step(Phi: Array, y: Array, w: Array, beta: Array, scale: float,
                  step: Array) -> tuple[Factor, float]:
    """One refinement pass over rows (design Phi, targets y, weights w): the
    factor with rows weighted by w times the bisquare weight of y - Phi beta,
    and the largest |Phi step|."""
    ww = w * bisquare(standardised(y - Phi @ beta, w), scale)
    sw = np.sqrt(ww)
    # one factor, no folds: the lean form of _stats.weighted_factors (a step
    # needs no sum of log weights)
    R = _stats.triangle(np.column_stack([Phi * sw[:, None], y * sw]))
    f = Factor(R, len(y), float(np.sum(ww)), float(ww @ y))
    return f, float(np.max(np.abs(Phi @ step), initial=0.0))


def robust_weights(r: Array, w: Array, scale: float) -> Array:
    """Each row's bisquare weight from its residual r and weight w (a row
    of weight 0, which took no part, weighs as a row of weight 1 would)."""
    return bisquare(standardised(r, np.where(w > 0, w, 1.0)), scale)


def bisquare_rows(X: Array, y: Array, w: Array, basis: Basis, beta: Array,
                  scale: float, times_w: bool = True) -> Array:
    """w times (or, not times_w: only) the bisquare weight of each row
    (any rows)."""
    rw = robust_weights(y - basis.design(X) @ beta, w, scale)
    return w * rw if times_w else rw


def singular_values(A: Array, n: int) -> tuple[Array, int]:
    """Singular values of the factor A (<= k rows, k columns) of the weighted
    design (those of the design itself) and the rank at the least-squares solver's threshold
    for a design of n rows: s_i counts when s_i >= s_max max(1, min(n, k)) eps."""
    k = A.shape[1]
    if k == 0:
        return np.zeros(0), 0
    sv = np.zeros(k)  # a factor of fewer rows than columns has k - rows zero values
    sv[:min(A.shape)] = np.linalg.svd(A, compute_uv=False)
    tol = max(sv[0] * max(1, min(n, k)) * np.finfo(float).eps, np.finfo(float).tiny)
    return sv, int(np.count_nonzero(sv >= tol))


# ------------------------------------------------------- in-memory source
class MemorySource:
    """The rows in memory, as one chunk: X (n, D), y (n,), weights w (n,),
    already validated (finite, w >= 0, some w > 0)."""

    def __init__(self, X: Array, y: Array, w: Array,
                 splits: Optional[list[tuple[npt.NDArray[np.intp],
                                             npt.NDArray[np.intp]]]] = None) -> None:
        self._X, self._y, self._w, self._splits = X, y, w, splits
        keep = w > 0
        self._yk = y[keep] if not np.all(keep) else y
        self._Xk = X[keep] if not np.all(keep) else X
        self._design: tuple[Optional[Basis], Array] = (None, np.zeros((0, 0)))

    def summary(self) -> Summary:
        return _stats.summary(self._X, self._y, self._w)

    def _phi(self, basis: Basis) -> Array:
        # Every pass of one fit maps the rows the same way (a leading block
        # of the columns after the degree choice): built once.
        cached, Phi = self._design
        if cached is None or not (cached.centre is basis.centre and
                                  cached.half is basis.half and
                                  len(cached.powers) >= len(basis.powers)):
            Phi = basis.design(self._Xk)
            self._design = (basis, Phi)
        return Phi[:, :len(basis.powers)]

    def factors(self, basis: Basis, n_folds: int, seed: int) -> list[Factor]:
        keep = self._w > 0
        folds = _stats.chunk_folds(0, len(self._y), n_folds, seed)[keep]
        return _stats.weighted_factors(self._phi(basis), self._yk, self._w[keep], folds,
                                       n_folds)

    def split_factors(self, basis: Basis) -> Optional[tuple[list[Factor], list[Factor]]]:
        if self._splits is None:
            return None
        Phi, w = self._phi(basis), self._w
        place = np.cumsum(w > 0) - 1  # each row's place among the rows of positive weight

        def of(rows: npt.NDArray[np.intp]) -> Factor:
            rows = rows[w[rows] > 0]
            return _stats.weighted_factors(Phi[place[rows]], self._y[rows], w[rows],
                                           np.zeros(len(rows), dtype=np.intp), 0)[0]
        return [of(tr) for tr, _ in self._splits], [of(te) for _, te in self._splits]

    def hits(self, basis: Basis, B: Array, shift: float, eps: float) -> npt.NDArray[np.int64]:
        return _stats.hit_counts(self._phi(basis), self._yk, B, shift, eps)

    def spread(self, shift: float) -> float:
        return float(qorv_core.mad(self._yk - shift if shift else self._yk))

    def rows(self, basis: Basis) -> tuple[Array, Array, Array]:
        return self._phi(basis), self._yk, self._w[self._w > 0]

    def sample(self, basis: Basis, positions: Optional[npt.NDArray[np.intp]]
               ) -> tuple[Array, Array, Array]:
        if positions is None:
            return self.rows(basis)
        X, y, w = self._X[positions], self._y[positions], self._w[positions]
        keep = w > 0
        return basis.design(X[keep]), y[keep], w[keep]

    def spread_of_residuals(self, basis: Basis, beta: Array) -> float:
        return float(qorv_core.mad(standardised(self._yk - self._phi(basis) @ beta,
                                                self._w[self._w > 0])))

    def bisquare_factor(self, basis: Basis, beta: Array, scale: float,
                        step: Array) -> tuple[Factor, float]:
        return bisquare_step(self._phi(basis), self._yk, self._w[self._w > 0], beta, scale,
                             step)

    def scaled(self, factor: float) -> "MemorySource":
        return MemorySource(self._X, self._y * factor, self._w, self._splits)

    def psi_sums(self, basis: Basis, beta: Array, scale: float) -> _inference.PsiSums:
        return psi_sums(self._yk - self._phi(basis) @ beta, self._w[self._w > 0], scale)

    def bisquare_weighted(self, basis: Basis, beta: Array, scale: float) -> "MemorySource":
        return MemorySource(self._X, self._y,
                            bisquare_rows(self._X, self._y, self._w, basis, beta, scale),
                            self._splits)

