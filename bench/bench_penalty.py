"""Smoothness penalty matrices against NumPy.

smoothness_penalty_matrices_1d  vs the same Riemann sum in NumPy
                                (derivative tables, then dx * D^T D)
boundary_reduce_1d              vs NumPy outer products of the end rows
build_penalty_matrices_nd       vs a NumPy sketch of the factored form
                                (one-axis Gram matrices combined by
                                Kronecker products); peak memory above the
                                module's import measured in a fresh process

Run alone: python3 bench/bench_penalty.py [--quick]
"""
import json
import os
import subprocess
import sys
from functools import reduce

import numpy as np

import qorv_core as q
from timing import rel_diff, side_by_side


def derivative_tables(x, deg):
    p = np.arange(deg + 1, dtype=float)
    with np.errstate(divide="ignore", invalid="ignore"):
        t0 = x[:, None] ** p
        t1 = np.where(p >= 1, p * x[:, None] ** np.maximum(p - 1, 0), 0.0)
        t2 = np.where(p >= 2, p * (p - 1) * x[:, None] ** np.maximum(p - 2, 0), 0.0)
    return t0, t1, t2


def numpy_1d(deg, lo, hi, n):
    """The derivative tables from one table of powers x^0 .. x^(deg-1) (the
    powers of the first-derivative row are those of the second, shifted),
    then dx * D^T D by BLAS."""
    dx = (hi - lo) / (n - 1)
    x = lo + np.arange(n) * dx
    p = np.arange(deg + 1, dtype=float)
    pw = x[:, None] ** np.arange(max(deg, 1), dtype=float)
    t1 = np.zeros((n, deg + 1))
    t2 = np.zeros((n, deg + 1))
    t1[:, 1:] = pw[:, :deg] * p[1:]
    t2[:, 2:] = pw[:, :deg - 1] * (p[2:] * (p[2:] - 1))
    return dx * (t1.T @ t1), dx * (t2.T @ t2)


def numpy_boundary(deg, a, b):
    _, a1, a2 = (t[0] for t in derivative_tables(np.array([a]), deg))
    _, b1, b2 = (t[0] for t in derivative_tables(np.array([b]), deg))
    T = np.outer(b2, b1) - np.outer(a2, a1)
    return 0.5 * (T + T.T)


def numpy_nd(degrees, bounds, n):
    """Factored form: every entry is, per axis (pair), a product over the axes
    of step-weighted one-axis Gram matrices; Kronecker products in axis order
    give the multi-index order with the last variable fastest."""
    grams = []
    for deg, (lo, hi) in zip(degrees, bounds):
        x = np.linspace(lo, hi, n)
        step = (hi - lo) / (n - 1)
        grams.append([step * (t.T @ t) for t in derivative_tables(x, deg)])
    D = len(degrees)
    kron = lambda orders: reduce(np.kron, [grams[d][orders[d]] for d in range(D)])
    R1 = sum(kron([int(d == i) for d in range(D)]) for i in range(D))
    R2 = sum(kron([int(d == i) + int(d == j) for d in range(D)])
             for i in range(D) for j in range(D))
    return R1, R2


def peak_memory_mb(degrees, n):
    """Peak resident memory of one call above the module's import, in a fresh
    process: the high-water mark is reset after importing NumPy and the module
    (Linux)."""
    code = (
        "import json, numpy, qorv_core as q\n"
        "def status(key):\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith(key):\n"
        "            return int(line.split()[1])\n"
        "open('/proc/self/clear_refs', 'w').write('5')\n"
        "before = status('VmRSS')\n"
        f"r = q.build_penalty_matrices_nd({degrees!r}, [(0.0, 1.0)] * {len(degrees)}, {n})\n"
        "print(json.dumps((status('VmHWM') - before) / 1024))\n")
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                       env=dict(os.environ), check=True)
    return json.loads(p.stdout)


def run(quick: bool) -> list:
    rows = []
    for deg, n in ((5, 600), (12, 600), (15, 600), (15, 6000), (20, 5000), (40, 600)):
        ours = lambda: q.smoothness_penalty_matrices_1d(deg, -1.0, 2.0, n)
        peer = lambda: numpy_1d(deg, -1.0, 2.0, n)
        t_o, t_p = side_by_side(ours, peer, quick, min_reps=3)
        d = max(rel_diff(a, b) for a, b in zip(ours(), peer()))
        rows.append({"entry": "smoothness_penalty_matrices_1d",
                     "peer": "NumPy derivative tables, dx * D^T D",
                     "sizes": f"deg={deg} n_grid={n}", "ours_s": t_o, "peer_s": t_p,
                     "check": f"same Riemann sum, max rel diff {d:.1e}"})
    for deg in (5, 50):
        ours = lambda: q.boundary_reduce_1d(deg, -1.0, 1.5)
        peer = lambda: numpy_boundary(deg, -1.0, 1.5)
        t_o, t_p = side_by_side(ours, peer, quick, min_reps=3)
        d = rel_diff(ours(), peer())
        rows.append({"entry": "boundary_reduce_1d", "peer": "NumPy outer products",
                     "sizes": f"deg={deg}", "ours_s": t_o, "peer_s": t_p,
                     "check": f"same matrix, max rel diff {d:.1e}"})
    for degrees, n, target in (([3, 3], 30, None), ([3, 3, 3, 3], 30, "< 10 ms, < 20 MB"),
                               ([2] * 6, 30, "< 1 s")):
        bounds = [(-1.0, 2.0)] * len(degrees)
        ours = lambda: q.build_penalty_matrices_nd(degrees, bounds, n)
        peer = lambda: numpy_nd(degrees, bounds, n)
        t_o, t_p = side_by_side(ours, peer, quick, min_reps=3)
        R1, R2, _ = ours()
        E1, E2 = peer()
        d = max(rel_diff(R1, E1), rel_diff(R2, E2))
        mem = peak_memory_mb(degrees, n)
        rows.append({"entry": "build_penalty_matrices_nd",
                     "peer": "NumPy one-axis Grams + np.kron",
                     "sizes": f"degrees={degrees} n_grid_per_dim={n}",
                     "ours_s": t_o, "peer_s": t_p, "peak_mb": mem, "target": target,
                     "check": f"same matrices, max rel diff {d:.1e}; peak {mem:.1f} MB above import"})
    return rows


if __name__ == "__main__":
    for r in run("--quick" in sys.argv):
        print(f"{r['entry']:<32} {r['sizes']:<36} ours {r['ours_s'] * 1e3:9.3f} ms  "
              f"peer {r['peer_s'] * 1e3:9.3f} ms  ratio {r['ours_s'] / r['peer_s']:5.2f}"
              f"  vs {r['peer']}; {r['check']}")
