"""What a fit needs to know of its data, in a form that rows can be added to.

Every choice of a fit (degree, penalty weight, coefficients) is a function
of small per-fold factors of the weighted design: for the rows of one
cross-validation fold, the triangular factor of the QR decomposition of
[A b] (A the mapped design with rows scaled by the square root of the
weight, b the targets scaled alike), with the fold's row count and weight
sums. Factors of disjoint row sets combine by one more QR of their stack.
The in-memory fit computes them from its rows as one chunk; the distributed
fit computes them per chunk and combines them in a tree. Both then choose
from them by the same code (qorv._pipeline).

The per-chunk passes are here too (a summary of the rows, their factors,
the hit counts of candidate fits), so that both fits run the same code on
their rows.

Fold assignment is a function of the row position and the seed only: each
run of n_folds consecutive rows is dealt one row to every fold, in a seeded
order of its own, so the folds of any number of rows differ in size by at
most one, and any chunk of rows can compute its own rows' folds without
seeing the others (the orders are drawn block by block, about 65536 rows a
block).
"""
from __future__ import annotations

from dataclasses import dataclass
from functools import lru_cache
from typing import Sequence

import numpy as np
import numpy.typing as npt

from . import _basis
from ._select import Moments

Array = npt.NDArray[np.float64]

FOLD_BLOCK = 1 << 16


def _fold_block(n_folds: int) -> int:
    """Rows per block of drawn orders: whole runs of n_folds rows."""
    return max(1, FOLD_BLOCK // n_folds) * n_folds


def fold_ids(start: int, stop: int, n_folds: int, seed: int) -> npt.NDArray[np.intp]:
    """Fold (0 .. n_folds - 1) of each row in [start, stop); the folds of
    rows 0 .. n - 1 differ in size by at most one for every n."""
    L = _fold_block(n_folds)
    out = np.empty(stop - start, dtype=np.intp)
    for b in range(start // L, (stop - 1) // L + 1 if stop > start else 0):
        b0 = b * L
        ids = _block_folds(seed, b, n_folds)
        lo, hi = max(start, b0), min(stop, b0 + L)
        out[lo - start:hi - start] = ids[lo - b0:hi - b0]
    return out


# Drawing a block costs about a millisecond, more than the rest of a small
# fit; refits with the same seed (cross-validation, benchmarks, a grid
# search) reuse the few blocks they touch.
@lru_cache(maxsize=16)
def _block_folds(seed: int, block: int, n_folds: int) -> npt.NDArray[np.intp]:
    runs = _fold_block(n_folds) // n_folds
    ids = np.argsort(np.random.default_rng([seed, block]).random((runs, n_folds)),
                     axis=1, kind="stable").ravel().astype(np.intp)
    ids.flags.writeable = False
    return ids


@dataclass
class Factor:
    """Upper-trapezoidal factor R (r x P, P = M + 1, r = min(rows, P)) of
    [A b] for one set of rows, with their count, weight sum and weighted
    target sum (and sum of the logs of the positive weights): R^T R =
    [A b]^T [A b]."""

    R: Array
    rows: int
    weight: float
    weighted_y: float
    log_weight: float = 0.0


# Rows per block of the tall-skinny QR: LAPACK's QR of one tall matrix runs
# several times slower than the same work as a stack of small QRs (measured
# 4x at 1e5 x 12), whose triangles are then stacked and factored again.
QR_BLOCK = 256


def triangle(stack: Array) -> Array:
    """The factor R (min(rows, cols) x cols) of the QR decomposition of
    `stack`, by blocks of at least QR_BLOCK rows."""
    cols = stack.shape[1]
    block = max(QR_BLOCK, 4 * cols)  # each block shrinks to `cols` rows, a quarter or less
    while stack.shape[0] > 4 * block:
        m = stack.shape[0] // block * block
        blocks = np.linalg.qr(stack[:m].reshape(-1, block, cols), mode="r")
        stack = np.vstack([np.reshape(blocks, (-1, cols)), stack[m:]])
    if not stack.shape[0]:
        return np.zeros((0, cols))
    return np.asarray(np.linalg.qr(stack, mode="r"), dtype=np.float64)


def factor(Ab: Array, w: Array, y: Array) -> Factor:
    """The factor of the rows of [A b] (weighted design and targets), with
    weights w and targets y."""
    return Factor(triangle(Ab), len(y), float(np.sum(w)), float(np.sum(w * y)),
                  float(np.sum(np.log(w[w > 0]))))


def combine(parts: Sequence[Factor]) -> Factor:
    """The factor of the union of disjoint row sets."""
    return Factor(triangle(np.vstack([p.R for p in parts])),
                  sum(p.rows for p in parts), sum(p.weight for p in parts),
                  sum(p.weighted_y for p in parts), sum(p.log_weight for p in parts))


def fold_factors(Ab: Array, w: Array, y: Array, folds: npt.NDArray[np.intp],
                 n_folds: int) -> list[Factor]:
    """One factor of the rows [A b] per fold (a single one when n_folds is 0)."""
    if n_folds == 0:
        return [factor(Ab, w, y)]
    # One gather into fold order (stable, so each fold keeps its rows' order)
    # rather than a mask per fold and array.
    order = np.concatenate([np.flatnonzero(folds == f) for f in range(n_folds)])
    ends = np.cumsum(np.bincount(folds, minlength=n_folds))
    Ab, w, y = Ab[order], w[order], y[order]
    return [factor(Ab[a:b], w[a:b], y[a:b]) for a, b in zip(np.r_[0, ends[:-1]], ends)]


def combine_folds(parts: Sequence[Sequence[Factor]]) -> list[Factor]:
    """Per-fold factors of several row sets, combined fold by fold."""
    return [combine([p[f] for p in parts]) for f in range(len(parts[0]))]


def centred(R: Array, ybar: float) -> Array:
    """The factor of [A, b - ybar sqrt(w)]: A's first column is sqrt(w) (the
    constant basis function), so centring is a change of the last column by a
    multiple of the first, which keeps R triangular."""
    out = R.copy()
    out[:, -1] -= ybar * R[:, 0]
    return out


def moments(f: Factor, ybar: float = 0.0) -> Moments:
    """The moments of A and b - ybar sqrt(w) for the rows of the factor."""
    R = centred(f.R, ybar) if ybar else f.R
    Gaug = R.T @ R
    return Moments(Gaug[:-1, :-1], Gaug[:-1, -1], float(Gaug[-1, -1]), f.rows)


# ------------------------------------------------------- per-chunk passes
@dataclass(frozen=True)
class Basis:
    """The mapped basis of a fit: z = (x - centre) / half, terms `powers`."""

    centre: Array
    half: Array
    powers: list[list[int]]

    def design(self, X: Array) -> Array:
        return _basis.design((X - self.centre) / self.half, self.powers)


@dataclass(frozen=True)
class Summary:
    """Ranges of the rows of positive weight, their count (and that of all
    rows), and whether every value and weight is usable."""

    lo: Array
    hi: Array
    y_lo: float
    y_hi: float
    finite: bool
    weights_ok: bool
    rows: int
    rows_all: int


def summary(X: Array, y: Array, w: Array) -> Summary:
    keep = w > 0
    Xk, yk = X[keep], y[keep]
    empty = not len(yk)
    return Summary(np.full(X.shape[1], np.inf) if empty else Xk.min(axis=0),
                   np.full(X.shape[1], -np.inf) if empty else Xk.max(axis=0),
                   np.inf if empty else float(yk.min()), -np.inf if empty else float(yk.max()),
                   bool(np.isfinite(X).all() and np.isfinite(y).all()),
                   bool(np.isfinite(w).all() and (w >= 0).all()),
                   int(np.count_nonzero(keep)), len(y))


def merge_summaries(parts: Sequence[Summary]) -> Summary:
    return Summary(np.min([p.lo for p in parts], axis=0), np.max([p.hi for p in parts], axis=0),
                   min(p.y_lo for p in parts), max(p.y_hi for p in parts),
                   all(p.finite for p in parts), all(p.weights_ok for p in parts),
                   sum(p.rows for p in parts), sum(p.rows_all for p in parts))


def chunk_folds(start: int, n: int, n_folds: int, seed: int) -> npt.NDArray[np.intp]:
    """Folds of the rows start .. start + n - 1 of the whole data (all zero
    without cross-validation)."""
    if not n_folds:
        return np.zeros(n, dtype=np.intp)
    return fold_ids(start, start + n, n_folds, seed)


def chunk_factors(X: Array, y: Array, w: Array, start: int, basis: Basis,
                  n_folds: int, seed: int) -> list[Factor]:
    """Per-fold factors of the mapped, weighted design of rows start ..
    start + len(y) - 1 (zero-weight rows dropped, folds by row position)."""
    folds = chunk_folds(start, len(y), n_folds, seed)
    keep = w > 0
    return weighted_factors(basis.design(X[keep]), y[keep], w[keep], folds[keep], n_folds)


def weighted_factors(Phi: Array, y: Array, w: Array, folds: npt.NDArray[np.intp],
                     n_folds: int) -> list[Factor]:
    """Per-fold factors of the design Phi and targets y, rows scaled by sqrt(w)."""
    Ab = np.empty((len(y), Phi.shape[1] + 1))
    if np.all(w == 1.0):
        Ab[:, :-1], Ab[:, -1] = Phi, y
    else:
        sw = np.sqrt(w)
        np.multiply(Phi, sw[:, None], out=Ab[:, :-1])
        np.multiply(y, sw, out=Ab[:, -1])
    return fold_factors(Ab, w, y, folds, n_folds)


def hit_counts(Phi: Array, y: Array, B: Array, shift: float, eps: float) -> npt.NDArray[np.int64]:
    """For each column of B: the rows whose prediction Phi[:, :len(B)] B lies
    strictly within eps of y - shift, as the core counts hits."""
    err = np.abs(Phi[:, :B.shape[0]] @ B - (y - shift)[:, None])
    return np.asarray(np.count_nonzero(err < eps, axis=0), dtype=np.int64)
