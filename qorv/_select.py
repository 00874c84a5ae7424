"""Degree and penalty-weight choice from one design of the largest degree.

Every candidate basis is a leading block of that design, so the sums of
squares of a candidate come from the leading block of one Gram matrix; the
folds of cross-validation are contiguous row blocks whose Gram matrices are
summed once and subtracted from the total for training.
"""
from __future__ import annotations

from typing import Sequence

import numpy as np
import numpy.typing as npt
import qorv_core

Array = npt.NDArray[np.float64]

CRITERIA = ("mdl", "bic", "gcv", "cv")


def _solve(G: Array, c: Array) -> Array:
    try:
        return np.linalg.solve(G, c)
    except np.linalg.LinAlgError:
        return np.linalg.lstsq(G, c, rcond=None)[0]


def _rss(G: Array, c: Array, yy: float, k: int) -> float:
    b = _solve(G[:k, :k], c[:k])
    return max(yy - float(c[:k] @ b), 0.0)


def choose(scores: Array, se: Array) -> int:
    """Smallest candidate whose score is within one standard error of the
    lowest (the one-standard-error rule; se is zero but for "cv")."""
    best = int(np.argmin(scores))
    return int(np.flatnonzero(scores <= scores[best] + se[best])[0])


def degree_scores(criterion: str, A: Array, b: Array, sizes: Sequence[int],
                  n_eff: float, folds: Sequence[tuple[int, int]],
                  Phi: Array, y: Array, H: int = 20) -> tuple[Array, Array]:
    """Score of each candidate (lower is better) for the leading blocks of
    `sizes` columns, inf where a candidate has too many columns, and the
    standard error of the score ("cv": from the spread of the fold errors).

    A, b: the weighted design and centred targets (rows scaled by sqrt(w));
    Phi, y: the unweighted design and the targets less the same centre as b,
    for the description-length score (which ignores the weights); folds: (start, stop) row blocks of A for "cv".
    """
    out = np.full(len(sizes), np.inf)
    se = np.zeros(len(sizes))
    G, c, yy = A.T @ A, A.T @ b, float(b @ b)
    if criterion == "cv":
        # A's first (constant) column holds sqrt(w): its squared norm is a fold's weight.
        parts = [(A[s:e].T @ A[s:e], A[s:e].T @ b[s:e], float(b[s:e] @ b[s:e]), e - s,
                  float(A[s:e, 0] @ A[s:e, 0])) for s, e in folds]
        n_train_min = min(len(b) - m for *_, m, _ in parts)
        for i, k in enumerate(sizes):
            if k > n_train_min:
                continue
            sse = np.empty(len(parts))
            for f, (Gf, cf, yf, _, _) in enumerate(parts):
                beta = _solve(G[:k, :k] - Gf[:k, :k], c[:k] - cf[:k])
                sse[f] = max(yf - 2.0 * float(cf[:k] @ beta)
                             + float(beta @ Gf[:k, :k] @ beta), 0.0)
            mse_f = sse / np.array([p[4] for p in parts])
            out[i] = np.sqrt(np.sum(sse) / n_eff)
            se_mse = np.std(mse_f, ddof=1) / np.sqrt(len(parts)) if len(parts) > 1 else 0.0
            se[i] = se_mse / (2.0 * out[i]) if out[i] > 0 else 0.0
        return out, se
    floor = 1e-300 + 1e-15 * yy
    for i, k in enumerate(sizes):
        if k >= n_eff:
            continue
        if criterion == "mdl":
            beta = _solve(G[:k, :k], c[:k])
            pred = Phi[:, :k] @ beta
            out[i] = qorv_core.mdl_score(pred, y, k, H)
        elif criterion == "bic":
            rss = max(_rss(G, c, yy, k), floor)
            out[i] = n_eff * np.log(rss / n_eff) + k * np.log(n_eff)
        else:  # gcv
            out[i] = n_eff * _rss(G, c, yy, k) / (n_eff - k) ** 2
    return out, se


def gcv_gamma(A: Array, b: Array, R: Array, n_eff: float, grid: Array,
              ridge: float) -> tuple[float, Array]:
    """Penalty weight on `grid` minimising the generalised cross-validation

        GCV(gamma) = n RSS(gamma) / (n - tr H(gamma))^2,
        H(gamma) = A (A^T A + n gamma R + ridge I)^-1 A^T,
        tr H = tr((A^T A + n gamma R + ridge I)^-1 A^T A),

    with n the sum of the weights; returns it and the scores."""
    G, c, yy = A.T @ A, A.T @ b, float(b @ b)
    eye = np.eye(G.shape[0])
    scores = np.empty(len(grid))
    for i, g in enumerate(grid):
        M = G + n_eff * g * R + ridge * eye
        beta = _solve(M, c)
        rss = max(yy - 2.0 * float(c @ beta) + float(beta @ G @ beta), 0.0)
        edf = float(np.trace(_solve(M, G)))
        scores[i] = n_eff * rss / (n_eff - edf) ** 2 if edf < n_eff else np.inf
    return float(grid[int(np.argmin(scores))]), scores
