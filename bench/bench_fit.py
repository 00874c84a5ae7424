"""Least-squares solvers against what a user would pick instead.

ols                    vs the fastest of numpy.linalg.lstsq and
                       scipy.linalg.lstsq (gelsd, gelsy)
fit_regularized_linear vs the fastest of the normal equations formed in
                       NumPy and solved by scipy.linalg.solve(assume_a='pos'),
                       solve(assume_a='sym') or cho_factor + cho_solve, as a
                       whole and by pieces (forming, factor + solve, argument
                       copy)

Each row names the peer that was fastest in that run (all are timed in turn
in every repeat).

Run alone: python3 bench/bench_fit.py [--quick]
"""
import sys

import numpy as np
import scipy.linalg

import qorv_core as q
from timing import against_strongest, median_time, probe, rel_diff, repeats_for


def _repeats_fit(seconds_per_call, quick):
    return repeats_for(seconds_per_call, quick, budget=(0.6, 3.0))


def _penalty(M, seed):
    B = np.random.default_rng(seed).standard_normal((M, M))
    return B @ B.T / M + np.eye(M)


def _bench_ols(n, M, quick, order="C"):
    rng = np.random.default_rng(n + M)
    X = np.asarray(rng.standard_normal((n, M)), order=order)
    y = rng.standard_normal(n)
    ours = lambda: q.ols(X, y)
    peers = {
        "numpy.linalg.lstsq": lambda: np.linalg.lstsq(X, y, rcond=None)[0],
        "scipy.linalg.lstsq (gelsd)":
            lambda: scipy.linalg.lstsq(X, y, lapack_driver="gelsd", check_finite=False)[0],
        "scipy.linalg.lstsq (gelsy)":
            lambda: scipy.linalg.lstsq(X, y, lapack_driver="gelsy", check_finite=False)[0],
    }
    t_o, best, t_p, _ = against_strongest(ours, peers, quick, budget=(0.6, 3.0))
    d = max(rel_diff(ours(), f()) for f in peers.values())
    return {"entry": "ols", "peer": best,
            "sizes": f"n={n:.0e} M={M} {order}-order",
            "ours_s": t_o, "peer_s": t_p,
            "check": f"same coefficients, max rel diff {d:.1e}"}


def _bench_fit(n, M, quick, order="C"):
    rng = np.random.default_rng(2 * n + M)
    Phi = np.asarray(rng.standard_normal((n, M)), order=order)
    y = rng.standard_normal(n)
    R1, R2 = _penalty(M, 1), _penalty(M, 2)
    g1, g2, ridge = 1e-3, 1e-4, 1e-10
    diag = np.diag_indices(M)

    def form(P, t):
        A = P.T @ P
        A[diag] += ridge
        A += (len(t) * g1) * R1
        A += (len(t) * g2) * R2
        return A, P.T @ t

    def solvers(A, b):
        return {
            "scipy.linalg.solve(assume_a='pos')":
                lambda: scipy.linalg.solve(A, b, assume_a="pos", check_finite=False),
            "scipy.linalg.solve(assume_a='sym')":
                lambda: scipy.linalg.solve(A, b, assume_a="sym", check_finite=False),
            "scipy.linalg.cho_factor + cho_solve":
                lambda: scipy.linalg.cho_solve(
                    scipy.linalg.cho_factor(A, lower=True, check_finite=False), b,
                    check_finite=False),
        }

    def formed_then(name):
        def peer():
            A, b = form(Phi, y)
            return solvers(A, b)[name]()
        return peer

    ours_full = lambda: q.fit_regularized_linear(Phi, y, R1, R2, g1, g2, ridge)
    sizes = f"n={n:.0e} M={M} {order}-order"
    rows = []

    peers = {f"NumPy normal equations + {name}": formed_then(name)
             for name in solvers(np.eye(1), np.ones(1))}
    t_o, best, t_p, _ = against_strongest(ours_full, peers, quick, budget=(0.6, 3.0))
    d = max(rel_diff(ours_full(), f()) for f in peers.values())
    rows.append({"entry": "fit_regularized_linear",
                 "peer": best,
                 "sizes": sizes, "ours_s": t_o, "peer_s": t_p,
                 "check": f"same system (R1, R2, gammas, ridge), max rel diff {d:.1e}"})
    full_ours = t_o

    # Factor + solve: a one-row design makes the Gram negligible, leaving the
    # assembly and the LDLT of the same M x M system on our side.
    phi1, y1 = Phi[:1].copy(), y[:1].copy()
    A1, b1 = form(phi1, y1)
    ours_solve = lambda: q.fit_regularized_linear(phi1, y1, R1, R2, g1, g2, ridge)
    t_os, best, t_ps, _ = against_strongest(ours_solve, solvers(A1, b1), quick,
                                            budget=(0.6, 3.0))
    d = max(rel_diff(ours_solve(), f()) for f in solvers(A1, b1).values())
    rows.append({"entry": "fit_regularized_linear [assembly + LDLT; 1-row design]",
                 "peer": f"{best} on the same A, b",
                 "sizes": f"M={M}", "ours_s": t_os, "peer_s": t_ps,
                 "check": f"same M x M system, max rel diff {d:.1e}"})

    # Forming the normal equations: ours is the full call minus the one-row
    # call (conversion + Gram), the peer's is measured directly.
    peer_form = lambda: form(Phi, y)
    reps = _repeats_fit(probe(peer_form), quick)
    t_pf = median_time(peer_form, reps)
    A, b = form(Phi, y)
    rows.append({"entry": "fit_regularized_linear [argument copy + Gram; full minus 1-row]",
                 "peer": "Phi.T @ Phi, Phi.T @ y and the penalty terms in NumPy",
                 "sizes": sizes, "ours_s": max(full_ours - t_os, 0.0), "peer_s": t_pf,
                 "check": "derived from the two rows above (not timed on its own); "
                          f"peer A has cond {np.linalg.cond(A):.1e}"})

    return rows


def run(quick: bool) -> list:
    rows = []
    tall = [(1000, 4), (10000, 10), (100000, 10), (1000000, 20)]
    for n, M in tall:
        rows.append(_bench_ols(n, M, quick))
    rows.append(_bench_ols(1000000, 20, quick, order="F"))
    for n, M in tall + [(100000, 6), (10000, 100), (10000, 200), (20000, 200), (10000, 400)]:
        rows.extend(_bench_fit(n, M, quick))
    rows.extend(_bench_fit(1000000, 20, quick, order="F"))
    return rows


def main():
    quick = "--quick" in sys.argv
    for r in run(quick):
        ratio = r["ours_s"] / r["peer_s"] if r["peer_s"] > 0 else float("nan")
        print(f"{r['entry']:<66} {r['sizes']:<22} ours {r['ours_s'] * 1e3:10.3f} ms"
              f"  peer {r['peer_s'] * 1e3:10.3f} ms  ratio {ratio:5.2f}")
        print(f"    vs {r['peer']}; {r['check']}")


if __name__ == "__main__":
    main()
