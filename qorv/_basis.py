"""Multi-indices, design matrices and user-unit penalties on the mapped box."""
from __future__ import annotations

import itertools
import math
from typing import Sequence

import numpy as np
import numpy.typing as npt
import qorv_core

Array = npt.NDArray[np.float64]
Powers = list[list[int]]


def total_powers(n_vars: int, degree: int) -> Powers:
    """Multi-indices of total degree <= `degree`, ordered by total degree and
    within one degree as scikit-learn's PolynomialFeatures orders them, so that
    every leading block is the basis of a smaller degree."""
    out: Powers = []
    for d in range(degree + 1):
        for combo in itertools.combinations_with_replacement(range(n_vars), d):
            p = [0] * n_vars
            for v in combo:
                p[v] += 1
            out.append(p)
    return out


def tensor_powers(degrees: Sequence[int]) -> Powers:
    """Multi-indices with p[d] <= degrees[d], ordered by their largest entry
    (then lexicographically), so that with equal degrees every leading block
    is the tensor basis of a smaller degree."""
    grid = itertools.product(*(range(d + 1) for d in degrees))
    return sorted((list(p) for p in grid), key=lambda p: (max(p, default=0), p))


def n_total_terms(n_vars: int, degree: int) -> int:
    return math.comb(n_vars + degree, degree)


def n_tensor_terms(degrees: Sequence[int]) -> int:
    return math.prod(d + 1 for d in degrees)


def mapparms(domain: Array) -> tuple[Array, Array]:
    """Centre c and half-width h of each variable's domain (rows of
    (low, high) pairs): the map z = (x - c) / h takes it onto [-1, 1]."""
    # by halves, so that no sum overflows near the largest doubles (the same
    # bits otherwise: halving is exact)
    lo, hi = domain[:, 0] / 2.0, domain[:, 1] / 2.0
    return lo + hi, hi - lo


def design(Z: Array, powers: Powers) -> Array:
    """Design matrix of the mapped variables Z (n x D) for `powers`."""
    if Z.shape[1] == 1 and all(p[0] == j for j, p in enumerate(powers)):
        return qorv_core.design_matrix_1d(len(powers) - 1, Z[:, 0])
    return qorv_core.design_matrix_nd(powers, [Z[:, d] for d in range(Z.shape[1])])


def penalties(powers: Powers, half_widths: Array, kinds: Sequence[str],
              n_grid: int) -> dict[str, Array]:
    """Roughness matrices in the user's units for coefficients of the mapped
    variables z_d = (x_d - c_d) / h_d, h_d the half-widths of the domain.

    With f(x) = g(z): df/dx_d = (1 / h_d) dg/dz_d and dx = prod(h) dz, so in
    one variable R1 = (2 / w) R1_z and R2 = (2 / w)^3 R2_z (w = 2 h) for the
    matrices R1_z, R2_z built on [-1, 1]. With several variables whose widths
    differ the factor depends on the axis, so the matrices are built on the
    box of half-widths r_d = h_d / s (s = max h_d) and taken back to the
    mapped coefficients by the diagonal D = prod_d r_d^p_d: R1 = s^(D-2)
    D^-1 R1_r D^-1 and R2 = s^(D-4) D^-1 R2_r D^-1.
    """
    n_vars = len(half_widths)
    top = max(max(p) for p in powers)
    if n_vars == 1:
        R1z, R2z = qorv_core.smoothness_penalty_matrices_1d(top, -1.0, 1.0, n_grid)
        idx = [p[0] for p in powers]
        g = np.float64(2.0) / (2.0 * np.float64(half_widths[0]))
        with np.errstate(over="ignore", invalid="ignore"):  # the caller checks
            full = {"gradient": R1z * g, "curvature": R2z * g**3}
    else:
        s = float(np.max(half_widths))
        r = half_widths / s
        R1r, R2r, mi = qorv_core.build_penalty_matrices_nd(
            [top] * n_vars, [(-float(v), float(v)) for v in r], n_grid)
        where = {tuple(p): j for j, p in enumerate(mi)}
        idx = [where[tuple(p)] for p in powers]
        with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
            dinv = 1.0 / np.prod(r[None, :] ** np.asarray(mi, dtype=float), axis=1)
            s64 = np.float64(s)
            full = {"gradient": s64 ** (n_vars - 2) * (dinv[:, None] * R1r * dinv[None, :]),
                    "curvature": s64 ** (n_vars - 4) * (dinv[:, None] * R2r * dinv[None, :])}
    ix = np.asarray(idx)
    return {k: np.ascontiguousarray(full[k][np.ix_(ix, ix)]) for k in kinds}
