"""Golden results: the exact bits (hex floats) of a few dozen searches and
entry calls, recorded once from the GNU libstdc++ build. Every build (other
C++ libraries, compilers, instruction-set paths, thread counts) must
reproduce them; a change that moves a single bit fails here.

Inputs are made with integer arithmetic and single correctly rounded
operations only, so they are the same bits on every platform and NumPy
version. Regenerate (only for a deliberate change of results) with
``python tests/test_golden.py --write``.
"""
import json
import pathlib
import sys

import numpy as np
import pytest

import qorv_core as q

GOLDEN = pathlib.Path(__file__).with_name("golden_results.json")


def points(n, salt=0):
    """n abscissae in [-1, 1) on a scrambled grid of 1000 steps."""
    i = np.arange(n, dtype=np.int64)
    return ((i * 7919 + salt * 104729) % 1000).astype(np.float64) / 500.0 - 1.0


def noise(n, salt=0, scale=0.05):
    i = np.arange(n, dtype=np.int64)
    u = ((i * 2654435761 + salt * 40503) % 1001).astype(np.float64) / 1000.0
    return (u - 0.5) * (2.0 * scale)


def cubic(n, salt=0, scale=0.05):
    x = points(n, salt)
    return x, 0.5 - x + 2.0 * x * x * x + noise(n, salt, scale)


def surface(n):
    x1, x2 = points(n, 1), points(n, 2)
    return [x1, x2], 1.0 + x1 - 0.5 * x2 + x1 * x2 * x2 + noise(n, 3)


def predict(X, b):
    """X b in column order, one rounded operation at a time (no BLAS)."""
    yp = X[:, 0] * b[0]
    for j in range(1, X.shape[1]):
        yp = yp + X[:, j] * b[j]
    return yp


def search(config, X, y, *penalty):
    r = q.TournamentMCMC(**config).fit(X, y, *penalty)
    g = r.gibbs
    return {"beta": r.beta_mcmc, "energy": r.energy,
            "gibbs": [g.H, g.Hmax, g.He, g.r_heat, g.var_E, g.T]}


def search_cases():
    x, y = cubic(120)
    X = q.design_matrix_1d(3, x)
    R1, R2 = q.smoothness_penalty_matrices_1d(3, -1.0, 1.0, 50)
    x5, y5 = cubic(300, salt=5, scale=0.2)
    X5 = q.design_matrix_1d(5, x5)
    P1, P2 = q.smoothness_penalty_matrices_1d(5, -1.0, 1.0, 40)
    cols, z = surface(200)
    idx = [[0, 0], [1, 0], [0, 1], [2, 0], [1, 1], [0, 2], [2, 1], [1, 2], [2, 2]]
    Z = q.design_matrix_nd(idx, cols)
    S1, S2, _ = q.build_penalty_matrices_nd([2, 2], [(-1.0, 1.0), (-1.0, 1.0)], 8)
    xl, yl = cubic(2000, salt=7)
    XL = q.design_matrix_1d(4, xl)

    small = dict(n_warmup=60, n_deep=200, n_elite=4)
    cases = {}
    for seed in (0, 1, 42, 12345, 2**64 - 1):
        for chains in (1, 25):
            cfg = dict(small, n_chains=chains, seed=seed)
            cases[f"search cubic seed={seed} chains={chains}"] = (cfg, X, y)
            cases[f"search cubic penalised seed={seed} chains={chains}"] = (
                cfg, X, y, R1, R2, 1e-3, 1e-4)
    for seed in (0, 7, 2**64 - 1):
        cfg = dict(small, n_chains=25, seed=seed, step_size=0.02, H_piH=7)
        cases[f"search quintic seed={seed}"] = (cfg, X5, y5)
        cases[f"search quintic R1 only seed={seed}"] = (cfg, X5, y5, P1, None, 1e-2)
        cases[f"search quintic R2 only seed={seed}"] = (cfg, X5, y5, None, P2, 0.0, 1e-3)
    cases["search surface"] = (dict(small, n_chains=25, seed=3), Z, z)
    cases["search surface penalised"] = (dict(small, n_chains=25, seed=3), Z, z,
                                         S1, S2, 1e-4, 1e-5)
    cases["search defaults 2000 rows"] = ({}, XL, yl)
    cases["search one elite no deep"] = (dict(n_chains=25, n_warmup=100, n_deep=0,
                                              n_elite=1, seed=9), X, y)
    cases["search no columns"] = (dict(small, n_chains=3), X[:, :0], y)
    # Hit counts of 30 or 60 rows over 64 to 300 chains: many chains tie in
    # energy, and the order of ties decides the elite.
    for rows, chains, seed in ((30, 64, 0), (30, 64, 1), (30, 300, 2), (60, 200, 3),
                               (60, 64, 4)):
        xt = points(rows, seed)
        i = np.arange(rows, dtype=np.int64)
        yt = ((i * 37 + seed) % 11 - 5).astype(np.float64)  # integer targets
        cfg = dict(n_chains=chains, n_warmup=30, n_deep=50, n_elite=8, seed=seed)
        cases[f"search ties rows={rows} chains={chains} seed={seed}"] = (
            cfg, q.design_matrix_1d(2, xt), yt)
    return {name: (lambda c=c: search(*c)) for name, c in cases.items()}


def entry_cases():
    x, y = cubic(40)
    X = q.design_matrix_1d(3, x)
    xs, ys = cubic(5000, salt=11, scale=0.3)
    XS = q.design_matrix_1d(6, xs)
    R1, R2 = q.smoothness_penalty_matrices_1d(6, -1.0, 1.0, 200)
    cols, z = surface(30)
    idx = [[0, 0], [1, 0], [0, 1], [2, 0], [1, 1], [0, 2]]
    beta = q.ols(X, y)
    yp = predict(X, [0.5, -1.0, 2.0, 0.01])
    energies = (points(50, 4) * 3.0) ** 2
    return {
        "design_matrix_1d": lambda: q.design_matrix_1d(3, x[:20]),
        "design_matrix_nd": lambda: q.design_matrix_nd(idx, cols),
        "smoothness_penalty_matrices_1d": lambda: list(
            q.smoothness_penalty_matrices_1d(4, -1.5, 2.0, 120)),
        "boundary_reduce_1d": lambda: q.boundary_reduce_1d(4, -1.0, 2.0),
        "build_penalty_matrices_nd": lambda: list(
            q.build_penalty_matrices_nd([2, 1], [(0.0, 1.0), (-1.0, 2.0)], 12)),
        "ols": lambda: q.ols(X, y),
        "ols 5000 rows": lambda: q.ols(XS, ys),
        "fit_regularized_linear": lambda: q.fit_regularized_linear(X, y),
        "fit_regularized_linear penalised 5000 rows": lambda: q.fit_regularized_linear(
            XS, ys, R1, R2, 1e-3, 1e-5, 1e-8),
        "mad": lambda: q.mad(y),
        "compute_sr": lambda: q.compute_sr(yp, y, 0.05),
        "mdl_score": lambda: q.mdl_score(yp, y, 4, 20),
        "mdl_score_reg": lambda: q.mdl_score_reg(
            predict(X, beta), y, 4, 7, beta, *q.smoothness_penalty_matrices_1d(3, -1.0, 1.0, 30),
            1e-3, 1e-4),
        "gibbs_entropy": lambda: (lambda g: [g.H, g.Hmax, g.He, g.r_heat, g.var_E, g.T])(
            q.gibbs_entropy(energies, 0.7)),
    }


def as_hex(value):
    """Nested lists of hex strings for floats and arrays; ints kept."""
    if isinstance(value, dict):
        return {k: as_hex(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [as_hex(v) for v in value]
    if isinstance(value, np.ndarray):
        return {"shape": list(value.shape),
                "hex": [float(v).hex() for v in value.ravel(order="C")]}
    return float(value).hex()


CASES = {**search_cases(), **entry_cases()}


def compute_all():
    return {name: as_hex(make()) for name, make in CASES.items()}


@pytest.fixture(scope="module")
def golden():
    return json.loads(GOLDEN.read_text())


def test_every_case_is_recorded(golden):
    assert sorted(golden) == sorted(CASES)


@pytest.mark.parametrize("name", list(CASES))
def test_result_bits_match_the_recorded_ones(golden, name):
    assert as_hex(CASES[name]()) == golden[name]


if __name__ == "__main__":
    if sys.argv[1:] != ["--write"]:
        sys.exit("usage: python tests/test_golden.py --write")
    lines = [f"{json.dumps(k)}: {json.dumps(v)}" for k, v in sorted(compute_all().items())]
    GOLDEN.write_text("{\n" + ",\n".join(lines) + "\n}\n")
    print(f"wrote {GOLDEN} ({GOLDEN.stat().st_size} bytes)")
