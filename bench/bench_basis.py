"""Design matrices against NumPy.

design_matrix_1d  vs numpy.polynomial.polynomial.polyvander, and against
                  filling an n x (deg + 1) array of the same size (the
                  memory-bandwidth floor of writing the result)
design_matrix_nd  vs a NumPy product of powers, one broadcast power per
                  variable

Run alone: python3 bench/bench_basis.py [--quick]
"""
import sys

import numpy as np
import numpy.polynomial.polynomial as P

import qorv_core as q
from timing import rel_diff, side_by_side


def bench_1d(n, deg, quick):
    x = np.random.default_rng(n).uniform(-1.5, 1.5, n)
    ours = lambda: q.design_matrix_1d(deg, x)
    peer = lambda: P.polyvander(x, deg)
    t_o, t_p = side_by_side(ours, peer, quick)
    same = np.array_equal(ours(), peer())
    rows = [{"entry": "design_matrix_1d", "peer": "numpy polyvander",
             "sizes": f"n={n:.0e} deg={deg}", "ours_s": t_o, "peer_s": t_p,
             "check": "bit-identical" if same else f"max rel diff {rel_diff(ours(), peer()):.1e}"}]
    if n >= 10**5:
        fill = lambda: np.full((n, deg + 1), 1.0, order="F")
        t_o, t_f = side_by_side(ours, fill, quick)
        gbs = n * (deg + 1) * 8 / t_o / 1e9
        rows.append({"entry": "design_matrix_1d", "peer": "np.full of the same n x M array",
                     "sizes": f"n={n:.0e} deg={deg}", "ours_s": t_o, "peer_s": t_f,
                     "check": f"bandwidth floor: ours writes {gbs:.1f} GB/s of result"})
    return rows


def bench_nd(n, degrees, quick):
    rng = np.random.default_rng(n + len(degrees))
    D = len(degrees)
    X = rng.uniform(-1.5, 1.5, (n, D))
    cols = [np.ascontiguousarray(X[:, d]) for d in range(D)]
    mi = [list(t) for t in np.ndindex(*[d + 1 for d in degrees])]
    E = np.array(mi, dtype=float)

    def peer():
        Phi = X[:, [0]] ** E[:, 0]
        for d in range(1, D):
            Phi *= X[:, [d]] ** E[:, d]
        return Phi

    ours = lambda: q.design_matrix_nd(mi, cols)
    t_o, t_p = side_by_side(ours, peer, quick)
    d = rel_diff(ours(), peer())
    rows = [{"entry": "design_matrix_nd", "peer": "NumPy product of broadcast powers",
             "sizes": f"n={n:.0e} degrees={degrees}", "ours_s": t_o, "peer_s": t_p,
             "check": f"same matrix, max rel diff {d:.1e}"}]
    if n >= 10**6:
        # Every factor above the first power is one pow call, which the
        # result's bits require: the floor is pow's speed, not the writes.
        n_pow = n * sum(len({r[k] for r in mi if r[k] > 1}) for k in range(D))
        fill = lambda: np.full((n, len(mi)), 1.0, order="F")
        t_o, t_f = side_by_side(ours, fill, quick)
        rows.append({"entry": "design_matrix_nd", "peer": "np.full of the same n x M array",
                     "sizes": f"n={n:.0e} degrees={degrees}", "ours_s": t_o, "peer_s": t_f,
                     "check": f"bandwidth floor: ours writes {n * len(mi) * 8 / t_o / 1e9:.1f} GB/s "
                              f"and calls pow {n_pow:.1e} times"})
    return rows


def run(quick: bool) -> list:
    rows = []
    for n in (10**3, 10**5, 10**6):
        for deg in (3, 10):
            rows.extend(bench_1d(n, deg, quick))
    for n in (10**3, 10**5, 10**6):
        for degrees in ([3, 3], [2, 2, 2]):
            rows.extend(bench_nd(n, degrees, quick))
    return rows


if __name__ == "__main__":
    for r in run("--quick" in sys.argv):
        print(f"{r['entry']:<18} {r['sizes']:<28} ours {r['ours_s'] * 1e3:9.3f} ms  "
              f"peer {r['peer_s'] * 1e3:9.3f} ms  ratio {r['ours_s'] / r['peer_s']:5.2f}"
              f"  vs {r['peer']}; {r['check']}")
