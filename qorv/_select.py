"""Degree and penalty-weight choice from one design of the largest degree.

Every candidate basis is a leading block of that design, so the sums of
squares of a candidate come from the leading block of one Gram matrix; the
Gram matrices of the cross-validation folds are subtracted from the total
for training. Everything here works on those moments alone, which the fit
forms from the triangular factors of qorv._stats (R^T R), whether those were
computed from rows in memory or combined from chunks.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Callable, Optional, Sequence

import numpy as np
import numpy.typing as npt

Array = npt.NDArray[np.float64]

CRITERIA = ("mdl", "bic", "gcv", "cv")


@dataclass
class Moments:
    """G = A^T A, c = A^T b and yy = b^T b of a weighted design A and weighted
    targets b over `rows` rows."""

    G: Array
    c: Array
    yy: float
    rows: int

    def head(self, k: int) -> "Moments":
        """The moments of the first k columns."""
        return Moments(self.G[:k, :k], self.c[:k], self.yy, self.rows)

    def without(self, part: "Moments") -> "Moments":
        """The moments of these rows less those of `part` (a subset)."""
        return Moments(self.G - part.G, self.c - part.c, self.yy - part.yy,
                       self.rows - part.rows)

    def sse(self, beta: Array) -> float:
        """The sum of squares of b - A beta over these rows."""
        return max(self.yy - 2.0 * float(self.c @ beta) + float(beta @ self.G @ beta), 0.0)


def moments(A: Array, b: Array) -> Moments:
    return Moments(A.T @ A, A.T @ b, float(b @ b), len(b))


def _solve(G: Array, c: Array) -> Array:
    try:
        out = np.linalg.solve(G, c)
    except np.linalg.LinAlgError:
        out = np.linalg.lstsq(G, c, rcond=None)[0]
    return np.asarray(out, dtype=np.float64)


def choose(scores: Array, se: Array) -> int:
    """Smallest candidate whose score is within one standard error of the
    lowest (the one-standard-error rule; se is zero but for "cv")."""
    best = int(np.argmin(scores))
    return int(np.flatnonzero(scores <= scores[best] + se[best])[0])


def prefix_solutions(G: Array, c: Array, sizes: Sequence[int]) -> Optional[Array]:
    """Least-squares solutions of every leading block at once: column i
    solves G[:k, :k] beta = c[:k] for k = sizes[i], zero below k; None when G
    is not positive definite.

    With G = L L^T and T = L^-1 (lower triangular), the leading block of T is
    the inverse of the leading block of L, so beta_k = T_k^T (T c)[:k], which
    is a running sum over the columns of T^T diag(T c). G and c may be
    stacks (one system per leading index)."""
    try:
        L = np.linalg.cholesky(G)
    except np.linalg.LinAlgError:
        return None
    T = np.linalg.inv(L)
    w = np.einsum("...ij,...j->...i", T, c)
    Tt = np.swapaxes(T, -1, -2)
    B = np.cumsum(Tt * w[..., None, :], axis=-1)[..., np.asarray(sizes) - 1]
    return np.asarray(B, dtype=np.float64) if np.all(np.isfinite(B)) else None


def _each_prefix(G: Array, c: Array, sizes: Sequence[int]) -> Array:
    B = prefix_solutions(G, c, sizes)
    if B is None:  # singular: one minimum-norm solve per candidate
        B = np.zeros((G.shape[0], len(sizes)))
        for i, k in enumerate(sizes):
            B[:k, i] = _solve(G[:k, :k], c[:k])
    return B


def _factor_prefixes(R: Array, sizes: Sequence[int], M: int) -> Array:
    """Column i: the minimum-norm least-squares solution of the first
    k = sizes[i] columns from the factor R of [A b], zero below k."""
    B = np.zeros((M, len(sizes)))
    for i, k in enumerate(sizes):
        B[:k, i] = np.linalg.lstsq(R[:k, :k], R[:k, -1], rcond=None)[0]
    return B


def degree_scores(criterion: str, total: Moments, folds: Sequence[Moments],
                  sizes: Sequence[int], n_eff: float,
                  mdl: Callable[[Array, list[int]], Array],
                  trains: Optional[Sequence[tuple[Array, int]]] = None) -> tuple[Array, Array]:
    """Score of each candidate (lower is better) for the leading blocks of
    `sizes` columns, inf where a candidate has too many columns, and the
    standard error of the score ("cv": from the spread of the fold errors).

    total: moments of the weighted design and centred targets (rows scaled by
    sqrt(w)); folds: the same for each fold of "cv" (their first column is
    sqrt(w), so G[0, 0] is a fold's weight); mdl(B, use): description-length
    scores of the coefficient columns B of the candidates of `use` columns
    (the score ignores the weights, so it needs the data itself); trains:
    the factor R of [A b] (centred as total) and the row count of each
    fold's training rows where they are not its complement (a user's
    splitter), whose CV error is then over the test rows' weight.
    """
    K = len(sizes)
    out = np.full(K, np.inf)
    se = np.zeros(K)
    G, c, yy = total.G, total.c, total.yy
    if criterion == "cv":
        if trains is None:  # the complements, from the moments
            folds = [f for f in folds if f.rows > 0]
            ok = np.asarray(sizes) <= total.rows - max(f.rows for f in folds)
            use = [k for k, good in zip(sizes, ok) if good]
            B = prefix_solutions(G[None] - np.stack([f.G for f in folds]),
                                 c[None] - np.stack([f.c for f in folds]), use)
            if B is None:
                B = np.stack([_each_prefix(m.G, m.c, use)
                              for m in (total.without(f) for f in folds)])
        else:  # from each training factor (a short training set can be ill-conditioned)
            pairs = [(t, f) for t, f in zip(trains, folds) if f.rows > 0 and t[1] > 0]
            if not pairs:
                return out, se
            folds = [f for _, f in pairs]
            n_eff = sum(float(f.G[0, 0]) for f in folds)  # the test rows' weight
            ok = np.asarray(sizes) <= min(t[1] for t, _ in pairs)
            use = [k for k, good in zip(sizes, ok) if good]
            B = np.stack([_factor_prefixes(t[0], use, G.shape[0]) for t, _ in pairs])
        Gf = np.stack([f.G for f in folds])
        cf = np.stack([f.c for f in folds])
        yf = np.array([f.yy for f in folds])
        sse = np.maximum(yf[:, None] - 2.0 * np.einsum("fi,fik->fk", cf, B)
                         + np.einsum("fik,fij,fjk->fk", B, Gf, B), 0.0)
        # A's first (constant) column holds sqrt(w): Gf[:, 0, 0] is each fold's weight.
        rmse = np.sqrt(sse.sum(axis=0) / n_eff)
        mse_se = (np.std(sse / Gf[:, 0, 0][:, None], axis=0, ddof=1) / np.sqrt(len(Gf))
                  if len(Gf) > 1 else np.zeros(len(use)))
        out[ok] = rmse
        se[ok] = np.where(rmse > 0, mse_se / (2.0 * np.where(rmse > 0, rmse, 1.0)), 0.0)
        return out, se
    ok = np.asarray(sizes) < n_eff
    use = [k for k, good in zip(sizes, ok) if good]
    if not use:  # weights summing to at most one row
        return out, se
    B = _each_prefix(G, c, use)
    kk = np.asarray(use, dtype=float)
    if criterion == "mdl":
        out[ok] = mdl(B, use)
        return out, se
    rss = np.maximum(yy - c @ B, 0.0)
    if criterion == "bic":
        floor = 1e-300 + 1e-15 * yy
        out[ok] = n_eff * np.log(np.maximum(rss, floor) / n_eff) + kk * np.log(n_eff)
    else:  # gcv
        out[ok] = n_eff * rss / (n_eff - kk) ** 2
    return out, se


def reml_gamma(total: Moments, R: Array, n_eff: float, grid: Array, ridge: float,
               null: int) -> tuple[float, Array]:
    """Penalty weight on `grid` minimising the restricted likelihood of the
    penalised fit, with sigma^2 profiled out (-2 log L_R up to a constant):

        (n - m0) ln(y^T y - c^T beta) + ln det(A^T A + lam R + ridge I) - r ln lam,

    lam = n gamma, beta its solution, r = M - m0 the rank of R and m0 = `null`
    the dimension of the penalty's null space (y^T y - c^T beta is the
    residual plus the penalty at beta). Unlike GCV it does not undersmooth
    where the basis has many terms for its rows."""
    G, c, yy = total.G, total.c, total.yy
    eye = np.eye(G.shape[0])
    r = G.shape[0] - null
    scores = np.full(len(grid), np.inf)
    if n_eff <= null:
        return float(grid[-1]), scores
    for i, g in enumerate(grid):
        lam = n_eff * g
        M = G + lam * R + ridge * eye
        sign, logdet = np.linalg.slogdet(M)
        fit = yy - float(c @ _solve(M, c))
        if sign > 0 and fit > 0:
            scores[i] = (n_eff - null) * np.log(fit) + logdet - r * np.log(lam)
    if not np.any(np.isfinite(scores)):
        return float(grid[-1]), scores
    return float(grid[int(np.argmin(scores))]), scores


def cv_gamma(trains: Sequence[Moments], tests: Sequence[Moments], R: Array, grid: Array,
             ridge: float) -> tuple[float, Array]:
    """Penalty weight on `grid` minimising the cross-validated RMSE over the
    folds (training and test moments of each), the penalty's n being each
    training set's weight; returns it and the scores."""
    eye = np.eye(R.shape[0])
    pairs = [(t, f) for t, f in zip(trains, tests) if f.rows > 0 and t.rows > 0]
    weight = sum(float(f.G[0, 0]) for _, f in pairs)
    scores = np.full(len(grid), np.inf)
    if not pairs or not weight > 0:
        return float(grid[-1]), scores
    for i, g in enumerate(grid):
        sse = 0.0
        for t, f in pairs:
            beta = _solve(t.G + float(t.G[0, 0]) * g * R + ridge * eye, t.c)
            sse += f.sse(beta)
        scores[i] = np.sqrt(sse / weight)
    return float(grid[int(np.argmin(scores))]), scores


def gcv_gamma(total: Moments, R: Array, n_eff: float, grid: Array,
              ridge: float) -> tuple[float, Array]:
    """Penalty weight on `grid` minimising the generalised cross-validation

        GCV(gamma) = n RSS(gamma) / (n - tr H(gamma))^2,
        H(gamma) = A (A^T A + n gamma R + ridge I)^-1 A^T,
        tr H = tr((A^T A + n gamma R + ridge I)^-1 A^T A),

    with n the sum of the weights and `total` the moments of A and b;
    returns it and the scores."""
    G, c, yy = total.G, total.c, total.yy
    eye = np.eye(G.shape[0])
    scores = np.empty(len(grid))
    for i, g in enumerate(grid):
        M = G + n_eff * g * R + ridge * eye
        beta = _solve(M, c)
        rss = total.sse(beta)
        edf = float(np.trace(_solve(M, G)))
        scores[i] = n_eff * rss / (n_eff - edf) ** 2 if edf < n_eff else np.inf
    return float(grid[int(np.argmin(scores))]), scores
