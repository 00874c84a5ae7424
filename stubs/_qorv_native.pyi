"""Private helpers of qorv: the native core's own arithmetic and defaults."""

from typing import Final, SupportsFloat, SupportsIndex, SupportsInt, Union

import numpy.typing

_Vector = numpy.typing.ArrayLike
_Int = Union[SupportsInt, SupportsIndex]
_Float = Union[SupportsFloat, SupportsIndex]

DEFAULT_H_PIH: Final[int]
DEFAULT_N_GRID_1D: Final[int]
DEFAULT_N_GRID_ND: Final[int]
DEFAULT_RIDGE: Final[float]

def hit_tolerance(spread: _Float) -> float:
    """Hit tolerance for a target spread: 0.4 * spread when spread > 0, else
    0.4 (also for NaN)."""

def mdl_from_hits(hits: _Int, n: _Int, k: _Int, H: _Int) -> float:
    """Unpenalised description-length score for `hits` of `n` rows, the same
    bits as qorv_core.mdl_score with that hit count.

    Raises ValueError unless n >= 1, 0 <= hits <= n and k >= 0."""

def count_hits(yp: _Vector, yt: _Vector, eps: _Float) -> int:
    """Number of rows with |yp[i] - yt[i]| < eps (strict; a NaN error
    misses). Entries of `yp` past len(yt) are ignored.

    Raises ValueError if `yp` is shorter than `yt`."""
