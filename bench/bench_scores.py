"""Robust spread, hit rate, description-length score and Gibbs summary
against the same formulas written in NumPy.

Run alone: python3 bench/bench_scores.py [--quick]
"""
import math
import sys

import numpy as np

import qorv_core as q
from timing import side_by_side


def np_mad(y):
    return float(np.median(np.abs(y - np.median(y)))) if y.size else 0.0


def np_sr(yp, yt, eps):
    n = yt.size
    return max(np.count_nonzero(np.abs(yp[:n] - yt) < eps) / n, 1 / (2 * n))


def np_score(yp, yt, k, H=20):
    n = yt.size
    m = np_mad(yt)
    sr = np_sr(yp, yt, 0.4 * m if m > 0 else 0.4)
    return -n * math.log(sr) + (k * (k * math.log(2 * H)) / n if k > 0 else 0.0)


def np_score_reg(yp, yt, k, H, b, R1, R2, g1, g2):
    return np_score(yp, yt, k, H) + g1 * (b @ R1 @ b) + g2 * (b @ R2 @ b)


def np_gibbs(E, T=1.0):
    w = np.exp(-(E - E.min()) / (T + 1e-300))
    p = w / w.sum()
    H = -(p * np.log(p + 1e-300)).sum()
    He = H / (math.log(max(E.size, 2)) + 1e-300)
    return H, He, E.var()


def agree(a, b):
    return "same value" if a == b else f"rel diff {abs(a - b) / max(abs(b), 1e-300):.1e}"


def run(quick: bool) -> list:
    rows = []
    rng = np.random.default_rng(0)
    for n in (1000, 100_000):
        y = rng.standard_normal(n)
        yp = y + 0.3 * rng.standard_normal(n)
        b = rng.standard_normal(8)
        B1, B2 = rng.standard_normal((2, 8, 8))
        R1, R2 = B1 @ B1.T, B2 @ B2.T
        cases = [
            ("mad", "np.median(|y - np.median(y)|)", lambda: q.mad(y), lambda: np_mad(y)),
            ("compute_sr", "NumPy count of |yp - yt| < eps",
             lambda: q.compute_sr(yp, y, 0.1), lambda: np_sr(yp, y, 0.1)),
            ("mdl_score", "the same score in NumPy",
             lambda: q.mdl_score(yp, y, 6), lambda: np_score(yp, y, 6)),
            ("mdl_score_reg", "the same score in NumPy",
             lambda: q.mdl_score_reg(yp, y, 8, 20, b, R1, R2, 0.1, 0.2),
             lambda: np_score_reg(yp, y, 8, 20, b, R1, R2, 0.1, 0.2)),
        ]
        for entry, peer_name, ours, peer in cases:
            t_o, t_p = side_by_side(ours, peer, quick, budget=(0.3, 1.5), max_reps=(101, 1001))
            rows.append({"entry": entry, "peer": peer_name, "sizes": f"n={n:.0e}",
                         "ours_s": t_o, "peer_s": t_p, "check": agree(ours(), peer())})
    for n in (25, 10_000):
        E = rng.uniform(0, 50, n)
        ours = lambda: q.gibbs_entropy(E, 2.0)
        peer = lambda: np_gibbs(E, 2.0)
        t_o, t_p = side_by_side(ours, peer, quick, budget=(0.3, 1.5), max_reps=(101, 1001))
        g, (H, He, v) = ours(), peer()
        worst = max(abs(g.H - H) / H, abs(g.He - He) / He, abs(g.var_E - v) / v)
        rows.append({"entry": "gibbs_entropy", "peer": "the same summary in NumPy",
                     "sizes": f"n={n:.0e}", "ours_s": t_o, "peer_s": t_p,
                     "check": f"H, He, var_E max rel diff {worst:.1e}"})
    return rows


if __name__ == "__main__":
    for r in run("--quick" in sys.argv):
        print(f"{r['entry']:<16} {r['sizes']:<10} ours {r['ours_s'] * 1e6:9.2f} us  "
              f"peer {r['peer_s'] * 1e6:9.2f} us  ratio {r['ours_s'] / r['peer_s']:5.2f}"
              f"  vs {r['peer']}; {r['check']}")
