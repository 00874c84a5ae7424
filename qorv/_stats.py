"""What a fit needs to know of its data, in a form that rows can be added to.

Every choice the estimator makes (degree, penalty weight, coefficients) is a
function of small per-fold factors of the weighted design: for the rows of
one cross-validation fold, the triangular factor of the QR decomposition of
[A b] (A the mapped design with rows scaled by the square root of the
weight, b the targets scaled alike), with the fold's row count and weight
sums. Factors of disjoint row sets combine by one more QR of their stack, so
the in-memory fit (one block of rows) and the distributed fit (a tree of
chunks) reach the same factors up to rounding, and choose from them by the
same code.

Fold assignment is a function of the row position and the seed only: rows
are dealt to folds block by block (blocks of 65536 rows, each a seeded
shuffle of 0, 1, ..., n_folds - 1 repeated), so any chunk of rows can compute
its own rows' folds without seeing the others.
"""
from __future__ import annotations

from dataclasses import dataclass
from functools import lru_cache
from typing import Sequence

import numpy as np
import numpy.typing as npt

from ._select import Moments

Array = npt.NDArray[np.float64]

FOLD_BLOCK = 1 << 16


def fold_ids(start: int, stop: int, n_folds: int, seed: int) -> npt.NDArray[np.intp]:
    """Fold (0 .. n_folds - 1) of each row in [start, stop); within every full
    block of FOLD_BLOCK rows the folds differ in size by at most one."""
    out = np.empty(stop - start, dtype=np.intp)
    for b in range(start // FOLD_BLOCK, (stop - 1) // FOLD_BLOCK + 1 if stop > start else 0):
        b0 = b * FOLD_BLOCK
        ids = _block_folds(seed, b, n_folds)
        lo, hi = max(start, b0), min(stop, b0 + FOLD_BLOCK)
        out[lo - start:hi - start] = ids[lo - b0:hi - b0]
    return out


# Shuffling a block costs about half a millisecond, more than the rest of a
# small fit; refits with the same seed (cross-validation, benchmarks, a grid
# search) reuse the few blocks they touch.
@lru_cache(maxsize=16)
def _block_folds(seed: int, block: int, n_folds: int) -> npt.NDArray[np.intp]:
    ids = np.random.default_rng([seed, block]).permutation(np.arange(FOLD_BLOCK) % n_folds)
    ids.flags.writeable = False
    return ids


@dataclass
class Factor:
    """Triangular factor R (P x P, P = M + 1) of [A b] for one set of rows,
    with their count, weight sum and weighted target sum: R^T R = [A b]^T [A b]."""

    R: Array
    rows: int
    weight: float
    weighted_y: float


def _triangle(stack: Array, P: int) -> Array:
    out = np.zeros((P, P))
    if stack.shape[0]:
        R = np.asarray(np.linalg.qr(stack, mode="r"), dtype=np.float64)
        out[:R.shape[0]] = R[:P]
    return out


def factor(A: Array, b: Array, w: Array, y: Array) -> Factor:
    """The factor of the rows of A (weighted design), b (weighted targets),
    with weights w and targets y."""
    P = A.shape[1] + 1
    return Factor(_triangle(np.column_stack([A, b]), P), len(b),
                  float(np.sum(w)), float(np.sum(w * y)))


def combine(parts: Sequence[Factor]) -> Factor:
    """The factor of the union of disjoint row sets."""
    P = parts[0].R.shape[0]
    return Factor(_triangle(np.vstack([p.R for p in parts]), P),
                  sum(p.rows for p in parts), sum(p.weight for p in parts),
                  sum(p.weighted_y for p in parts))


def fold_factors(A: Array, b: Array, w: Array, y: Array, folds: npt.NDArray[np.intp],
                 n_folds: int) -> list[Factor]:
    """One factor per fold (a single one when n_folds is 0)."""
    if n_folds == 0:
        return [factor(A, b, w, y)]
    return [factor(A[folds == f], b[folds == f], w[folds == f], y[folds == f])
            for f in range(n_folds)]


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
