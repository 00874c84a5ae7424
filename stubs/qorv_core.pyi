"""QORV-P performans-kritik cekirdegi (C++/Eigen)."""

from typing import Optional, Sequence, SupportsFloat, SupportsIndex, SupportsInt, Union, final

import numpy
import numpy.typing

# A vector is anything NumPy turns into a 1-D float64 array (or an (m, 1)
# array); a matrix anything it turns into a 2-D one. Both are converted to
# float64 and never modified. List arguments must be ordered sequences (a
# set, a dict view or an iterator raises TypeError).
#
# Penalty matrices R1, R2 follow one rule everywhere: a matrix is applied,
# and must then be square of the basis size, exactly when it is given and
# its weight is not 0.0 (NaN applies it); with weight 0.0 it is never read.
_Vector = numpy.typing.ArrayLike
_Matrix = numpy.typing.ArrayLike
_Array = numpy.typing.NDArray[numpy.float64]
_Int = Union[SupportsInt, SupportsIndex]
_Float = Union[SupportsFloat, SupportsIndex]

def mad(y: _Vector) -> float:
    """Raw median absolute deviation of `y` about its median (no 1.4826
    factor). 0.0 for an empty `y`; NaN when `y` holds NaN."""

def compute_sr(yp: _Vector, yt: _Vector, eps: _Float) -> float:
    """Share of samples with |yp[i] - yt[i]| < eps (strict), floored at
    1 / (2 n). NaN for n = 0. Entries of `yp` past len(yt) are ignored.

    Raises ValueError if `yp` is shorter than `yt`."""

def mdl_score(yp: _Vector, yt: _Vector, k: _Int, H: _Int = 20) -> float:
    """Description-length score -n ln(sr) + k (k ln(2H) / n) of predictions
    `yp` for targets `yt` with `k` coefficients; sr is the hit rate at the
    tolerance 0.4 mad(yt) (0.4 when that is 0). Lower is better.

    Raises ValueError if `yp` is shorter than `yt`."""

def mdl_score_reg(
    yp: _Vector,
    yt: _Vector,
    k: _Int,
    H: _Int,
    beta: _Vector,
    R1: _Matrix,
    R2: _Matrix,
    gamma1: _Float = 0.0,
    gamma2: _Float = 0.0,
) -> float:
    """`mdl_score` plus gamma1 beta^T R1 beta + gamma2 beta^T R2 beta; a
    term whose weight is exactly 0.0 is skipped and its matrix not read.

    Raises ValueError if `yp` is shorter than `yt` or an applied `R1`/`R2`
    is not len(beta) x len(beta)."""

def design_matrix_1d(deg: _Int, x: _Vector) -> _Array:
    """n x (deg + 1) matrix with columns 1, x, x^2, ..., x^deg (repeated
    products).

    Raises ValueError "deg < 0"; MemoryError for a size that cannot be held."""

def smoothness_penalty_matrices_1d(
    deg: _Int, x_min: _Float, x_max: _Float, n_grid: _Int = 600
) -> tuple[_Array, _Array]:
    """(R1, R2), each (deg + 1) x (deg + 1) and exactly symmetric:
    beta^T R1 beta and beta^T R2 beta are the plain Riemann sums, over
    `n_grid` evenly spaced points of [x_min, x_max], of f'^2 and f''^2 for
    f = sum beta_p x^p.

    Cost: n_grid (deg + 1)^2 multiply-adds and 2 n_grid (deg + 1) powers;
    2 (deg + 1)^2 doubles. Ctrl-C stops it.

    Raises ValueError "deg < 0" (checked first) or "n_grid < 2"."""

def boundary_reduce_1d(deg: _Int, x_min: _Float, x_max: _Float) -> _Array:
    """(deg + 1) x (deg + 1) symmetric matrix Rb with beta^T Rb beta =
    f'(x_max) f''(x_max) - f'(x_min) f''(x_min). deg = -1 gives 0 x 0.

    Raises MemoryError for deg < -1."""

def design_matrix_nd(
    multi_indices: Sequence[Sequence[_Int]], X_cols: Sequence[_Vector]
) -> _Array:
    """n x M matrix: column j is the product over the variables d of
    X_cols[d] ** multi_indices[j][d] (exponents of zero or below skipped);
    n = len(X_cols[0]), entries of a longer column past n are not read.

    Raises ValueError for an empty `X_cols`, a column shorter than the first
    or a multi-index shorter than `X_cols`."""

def build_penalty_matrices_nd(
    degrees: Sequence[_Int],
    bounds: Sequence[Sequence[_Float]],
    n_grid_per_dim: _Int = 30,
) -> tuple[_Array, _Array, list[list[int]]]:
    """(R1, R2, multi_indices) for the tensor basis with highest powers
    `degrees` on the box `bounds`: the grid sums of the squared gradient and
    of the squared Hessian (mixed partials twice), exactly symmetric, with
    rows in the order of `multi_indices` (last variable fastest).

    Cost: n_grid_per_dim sum_d (degrees[d] + 1)^2 multiply-adds for the axis
    tables plus M^2 A for the entries (M = prod_d (degrees[d] + 1), A the
    number of positive degrees); 2 M^2 doubles. Ctrl-C stops it.

    Raises ValueError "Dimension mismatch." or "n_grid_per_dim < 2";
    MemoryError for a basis too large to hold."""

def ols(X: _Matrix, y: _Vector) -> _Array:
    """Minimum-norm least-squares coefficients of X b = y through the SVD;
    singular values below max(s_max max(1, min(n, M)) eps, DBL_MIN) count as
    zero. Non-finite data give M NaNs; an empty design gives M zeros.

    Raises ValueError if len(y) differs from the rows of `X`."""

def fit_regularized_linear(
    Phi: _Matrix,
    y: _Vector,
    R1: Optional[_Matrix] = None,
    R2: Optional[_Matrix] = None,
    gamma1: _Float = 0.0,
    gamma2: _Float = 0.0,
    ridge: _Float = 1e-10,
) -> _Array:
    """Solves (Phi^T Phi + ridge I + n gamma1 R1 + n gamma2 R2) b = Phi^T y
    (n = len(y)) by LDLT of the lower triangle, so only the lower triangles
    of `R1` and `R2` are read; a penalty enters only when given with a
    non-zero weight. A non-finite system gives M NaNs. Cost: n M^2
    multiply-adds plus O(M^3).

    Raises ValueError on a length mismatch or an applied R that is not
    M x M; RuntimeError for an `R1`/`R2` that is not a matrix."""

@final
class GibbsResult:
    """Gibbs-entropy summary of an energy sample (made by `gibbs_entropy`)."""

    @property
    def H(self) -> float:
        """Entropy of the Boltzmann weights exp(-(E - min E) / T)."""
    @property
    def Hmax(self) -> float:
        """ln(max(n, 2))."""
    @property
    def He(self) -> float:
        """H / Hmax."""
    @property
    def r_heat(self) -> float:
        """0.01 + 0.99 He."""
    @property
    def var_E(self) -> float:
        """Population variance of the energies."""
    @property
    def T(self) -> float:
        """The temperature used."""

def gibbs_entropy(energies: _Vector, T: _Float = 1.0) -> GibbsResult:
    """Gibbs-entropy summary of `energies` at temperature `T`.

    Raises ValueError for an empty sample."""

@final
class MCMCResult:
    """Result of `TournamentMCMC.fit`."""

    @property
    def beta_mcmc(self) -> _Array:
        """Best coefficients found (read-only view, keeps the result alive)."""
    @property
    def energy(self) -> float:
        """Score of `beta_mcmc` (`mdl_score_reg`, or `mdl_score` without
        penalties)."""
    @property
    def gibbs(self) -> GibbsResult:
        """Gibbs summary of the warm-up chains' final energies."""
    @property
    def n_chains(self) -> int:
        """Number of warm-up chains run."""
    @property
    def n_elite(self) -> int:
        """Number of elite members refined."""

class TournamentMCMC:
    """Tournament Metropolis search for the coefficients of X b ~ y with the
    lowest description-length score: parallel warm-up chains, then a long
    refinement of the best few. Reproducible from `seed` for every thread
    count."""

    def __init__(
        self,
        n_chains: _Int = 25,
        n_warmup: _Int = 200,
        n_deep: _Int = 2000,
        n_elite: _Int = 5,
        step_size: _Float = 0.05,
        H_piH: _Int = 20,
        seed: _Int = 42,
    ) -> None: ...
    def fit(
        self,
        X: _Matrix,
        y: _Vector,
        R1: Optional[_Matrix] = None,
        R2: Optional[_Matrix] = None,
        gamma1: _Float = 0.0,
        gamma2: _Float = 0.0,
    ) -> MCMCResult:
        """Runs the search on the n x k design `X` and targets `y`.

        Cost: n_chains (n_warmup + 1) + max(1, min(n_elite, n_chains)) n_deep
        evaluations of n k multiply-adds each (plus k^2 per applied
        penalty), spread over the OpenMP threads; memory for copies of X
        and y plus n_chains k doubles. Ctrl-C stops it.

        Raises ValueError for n_chains = 0, a step_size that is not a
        positive finite number, or mismatched shapes; KeyboardInterrupt on
        Ctrl-C."""
