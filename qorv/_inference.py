"""Standard errors, residual scale and information criteria of a fit, from
the triangular factor of its weighted design (qorv._stats), so that the
in-memory and the distributed fit report the same.

Least squares: the classical covariance sigma^2 (A^T A)^+ with sigma^2 =
RSS / (n - rank) and the log-likelihood, AIC and BIC of weighted least
squares (n the rows of positive weight, as statsmodels counts them).
Penalised: the Bayesian covariance sigma^2 (A^T A + P)^-1 of penalised
regression, with the effective degrees of freedom edf = tr((A^T A + P)^-1
A^T A) in place of the rank. Robust: the sandwich covariance of the
bisquare M-step at its fixed scale, with the small-sample factor statsmodels
calls H1.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional

import numpy as np
import numpy.typing as npt

from ._stats import Factor, centred

Array = npt.NDArray[np.float64]


@dataclass(frozen=True)
class Inference:
    """The uncertainty of a fit, set on the estimator with its coefficients."""

    cov_params_: Array
    coef_se_: Array
    sigma_: float
    df_resid_: float
    edf_: float
    r2_: Optional[float]
    aic_: Optional[float]
    bic_: Optional[float]


@dataclass(frozen=True)
class PsiSums:
    """Sums over the rows of positive weight of the bisquare psi^2, psi'
    and psi'^2 of their standardised residuals sqrt(w) r / scale, and the
    number of those rows."""

    psi2: float
    dpsi: float
    dpsi2: float
    rows: float


def _rss(f: Factor, coef: Array) -> float:
    k = len(coef)
    return float(np.sum((f.R[:, -1] - f.R[:, :k] @ coef) ** 2))


def _finish(cov: Array, sigma2: float, df: float, edf: float, f: Factor, coef: Array,
            n: int) -> Inference:
    rss = _rss(f, coef)
    ybar = f.weighted_y / f.weight
    tss = float(np.sum(centred(f.R, ybar)[:, -1] ** 2))
    # Gaussian log-likelihood of weighted least squares, as statsmodels' WLS gives it
    llf = -0.5 * n * (math.log(2 * math.pi) + math.log(rss / n) + 1) + 0.5 * f.log_weight \
        if rss > 0 else math.inf
    return Inference(cov, np.sqrt(np.maximum(np.diag(cov), 0.0)), math.sqrt(sigma2), df, edf,
                     1.0 - rss / tss if tss > 0 else None, -2 * llf + 2 * edf,
                     -2 * llf + math.log(n) * edf)


def least_squares(f: Factor, coef: Array, n: int, rank: int) -> Inference:
    k = len(coef)
    df = float(n - rank)
    sigma2 = _rss(f, coef) / df if df > 0 else math.nan
    P = np.linalg.pinv(f.R[:, :k])
    return _finish(sigma2 * (P @ P.T), sigma2, df, float(rank), f, coef, n)


def penalized(f: Factor, coef: Array, n: int, penalty: Array) -> Inference:
    """`penalty`: the matrix added to A^T A by the penalised solve."""
    k = len(coef)
    G = f.R[:, :k].T @ f.R[:, :k]
    Minv = np.asarray(np.linalg.pinv(G + penalty, hermitian=True), dtype=np.float64)
    edf = float(np.trace(Minv @ G))
    df = n - edf
    sigma2 = _rss(f, coef) / df if df > 0 else math.nan
    return _finish(sigma2 * Minv, sigma2, df, edf, f, coef, n)


def robust(f: Factor, coef: Array, n: int, rank: int, scale: float, s: PsiSums) -> Inference:
    """f: the factor of the design with the sample weights only."""
    k = len(coef)
    df = float(n - rank)
    if not (s.dpsi > 0 and df > 0):  # no row inside the bisquare's reach, or none spare
        nan = np.full((k, k), np.nan)
        return Inference(nan, np.full(k, np.nan), scale, df, float(rank), None, None, None)
    m = s.dpsi / s.rows
    var = s.dpsi2 / s.rows - m * m
    corr = 1.0 + rank / n * var / (m * m)  # statsmodels' small-sample factor
    P = np.linalg.pinv(f.R[:, :k])
    c2 = corr**2 * (s.psi2 / df * scale**2) / m**2
    cov = c2 * (P @ P.T)
    return Inference(cov, np.sqrt(np.maximum(np.diag(cov), 0.0)), scale, df, float(rank),
                     None, None, None)
