"""The tournament Metropolis search written in plain NumPy, for timing only.

Same structure as ``qorv_core.TournamentMCMC.fit`` without penalties: annealed
warm-up chains (T = 2.0 * 0.995**j), the Metropolis rule, the Gibbs summary
of the final energies, a sort, an elite chosen with a 0.1 diversity radius and
filled up from the elite size, and a deep phase with 0.3 x the step size that
starts at 0.5 * r_heat and cools by 0.9997 per step across all members. The
energy is the description-length score: hit rate with |X b - y| < eps (strict),
floored at 1/(2n), -n ln(sr) + k (k ln(2H) / n).

The random numbers come from NumPy's generator, so the results differ from
the module's; only the cost is meant to be compared. The chains run one after
the other, as a NumPy user would write them.
"""

from __future__ import annotations

import math

import numpy as np


def mad(y: np.ndarray) -> float:
    m = np.median(y)
    return float(np.median(np.abs(y - m)))


def hit_tolerance(m: float) -> float:
    return 0.4 * m if m > 0.0 else 0.4


def gibbs_entropy(energies: np.ndarray, T: float = 1.0) -> dict:
    E = np.asarray(energies, dtype=float)
    N = E.size
    w = np.exp(-(E - E.min()) / (T + 1e-300))
    p = w / w.sum()
    H = float(-np.sum(p * np.log(p + 1e-300)))
    Hmax = math.log(max(N, 2))
    He = H / (Hmax + 1e-300)
    return {"H": H, "Hmax": Hmax, "He": He, "r_heat": 0.01 + 0.99 * He,
            "var_E": float(np.var(E)), "T": T}


def make_energy(X: np.ndarray, y: np.ndarray, H: int, eps: float):
    """Energy of a coefficient vector b: one X @ b per call."""
    n, k = X.shape
    logHk = k * math.log(2.0 * H) if k > 0 else 0.0
    model_term = k * (logHk / n)
    floor = 1.0 / (2.0 * n)

    def energy(b: np.ndarray) -> float:
        hits = np.count_nonzero(np.abs(X @ b - y) < eps)
        sr = max(hits / n, floor)
        return -n * math.log(sr) + model_term

    return energy


def _accept(e: float, ec: float, T: float, rng: np.random.Generator) -> bool:
    if ec < e:
        return True
    # min(0.0, x) keeps x only when x < 0, so NaN accepts.
    return rng.random() < math.exp(min(0.0, (e - ec) / T))


class TournamentMCMCPort:
    def __init__(self, n_chains=25, n_warmup=200, n_deep=2000, n_elite=5,
                 step_size=0.05, H_piH=20, seed=42):
        self.n_chains = n_chains
        self.n_warmup = n_warmup
        self.n_deep = n_deep
        self.n_elite = n_elite
        self.step_size = step_size
        self.H_piH = H_piH
        self.seed = seed

    def fit(self, X: np.ndarray, y: np.ndarray):
        """Returns (beta, energy, gibbs summary dict)."""
        X = np.asarray(X, dtype=float)
        y = np.asarray(y, dtype=float)
        k = X.shape[1]
        energy = make_energy(X, y, self.H_piH, hit_tolerance(mad(y)))

        chains = []
        for c in range(self.n_chains):
            rng = np.random.default_rng(self.seed + 1000 * c)
            b = rng.normal(0.0, 0.5, k)
            e = energy(b)
            T = 2.0
            for _ in range(self.n_warmup):
                bc = b + rng.normal(0.0, self.step_size, k)
                ec = energy(bc)
                if _accept(e, ec, T, rng):
                    b, e = bc, ec
                T *= 0.995
            chains.append((b, e))

        gb = gibbs_entropy(np.array([e for _, e in chains]), 1.0)
        chains.sort(key=lambda ch: ch[1])

        elite = [chains[0]]
        for cand in chains[1:]:
            if len(elite) >= self.n_elite:
                break
            # A NaN distance does not exclude.
            if not any(np.linalg.norm(cand[0] - m[0]) <= 0.1 for m in elite):
                elite.append(cand)
        i = len(elite)
        while i < len(chains) and len(elite) < self.n_elite:
            elite.append(chains[i])
            i += 1

        best_b, best_e = elite[0][0].copy(), elite[0][1]
        T = 0.5 * gb["r_heat"]
        step = 0.3 * self.step_size
        for ei, (b, e) in enumerate(elite):
            rng = np.random.default_rng(self.seed + 7777 + 13 * ei)
            for _ in range(self.n_deep):
                bc = b + rng.normal(0.0, step, k)
                ec = energy(bc)
                if _accept(e, ec, T, rng):
                    b, e = bc, ec
                if e < best_e:
                    best_b, best_e = b, e
                T *= 0.9997
        return best_b.copy(), best_e, gb
