"""The package's private helper module _qorv_native gives the core's own bits: its
score from a hit count, its hit count and its tolerance agree with
qorv_core and with NumPy, and its constants are qorv_core's defaults."""
import ast
import math
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import qorv_core as q
import _qorv_native as nat

ROOT = pathlib.Path(__file__).resolve().parent.parent


def numpy_hits(yp, yt, eps):
    return int(np.count_nonzero(np.abs(yp[:len(yt)] - yt) < eps))


def written_out_score(hits, n, k, H):
    # The score's formula in Python's own floats, operation by operation.
    sr = max(hits / n, 1.0 / (2.0 * n))
    log_hk = k * math.log(2.0 * H) if k > 0 else 0.0
    return -n * math.log(sr) + k * (log_hk / n)


@pytest.mark.parametrize("n,k,H", [(1, 0, 1), (1, 3, 20), (7, 1, 2), (100, 5, 20),
                                   (1000, 12, 3), (4099, 40, 1000), (100, 2, 0), (50, 3, -4)])
def test_score_from_numpys_hit_count_is_the_cores_score(n, k, H):
    rng = np.random.default_rng(n * 1000 + k)
    yt = rng.normal(size=n)
    yp = yt + rng.normal(scale=0.5, size=n)
    hits = numpy_hits(yp, yt, 0.4 * q.mad(yt) if q.mad(yt) > 0 else 0.4)
    got = nat.mdl_from_hits(hits, n, k, H)
    assert got.hex() == q.mdl_score(yp, yt, k, H).hex()
    if H >= 1:
        assert got.hex() == written_out_score(hits, n, k, H).hex()
    # Every hit count, the ends included, and every k up to 40, against the
    # written-out formula (the size term alone shows at hits = n).
    if H >= 1 and n <= 100:
        for h in range(n + 1):
            assert nat.mdl_from_hits(h, n, k, H) == written_out_score(h, n, k, H), h
        for kk in range(41):
            for h in (0, n // 2, n):
                assert (nat.mdl_from_hits(h, n, kk, H).hex()
                        == written_out_score(h, n, kk, H).hex()), (h, kk)


@pytest.mark.parametrize("n", [0, 1, 15, 16, 17, 31, 32, 33, 100, 1027])
def test_count_hits_is_numpys_count(n):
    rng = np.random.default_rng(n)
    eps = 0.25
    yt = rng.normal(size=n)
    yt[::5] = rng.integers(-8, 8, size=len(yt[::5])) * 0.5  # dyadic, so that
    yp = yt + rng.uniform(-0.5, 0.5, size=n)
    yp[::5] = yt[::5] + eps        # these are exactly eps away: misses
    yp[1::5] = yt[1::5] - eps / 2  # well inside: a hit
    assert np.all(np.abs(yp[::5] - yt[::5]) == eps)
    yp[2::7] = np.nan
    yt[3::11] = np.nan
    yp_long = np.concatenate([yp, yt[:3] if n >= 3 else [0.0]])  # extra rows ignored
    expected = numpy_hits(yp, yt, eps)
    assert nat.count_hits(yp, yt, eps) == expected
    assert nat.count_hits(yp_long, yt, eps) == expected
    if n:
        assert q.compute_sr(yp, yt, eps) == max(expected / n, 1 / (2 * n))


@pytest.mark.parametrize("y", [
    [0.0, 1.0, 3.0, 7.0, -2.0],
    [5.0, 5.0, 5.0],       # zero spread
    [1.0, np.nan, 2.0],    # NaN spread
    [],
])
def test_hit_tolerance_is_the_cores(y):
    spread = q.mad(np.asarray(y, dtype=float))
    expected = 0.4 * spread if spread > 0 else 0.4
    assert nat.hit_tolerance(spread) == expected
    assert nat.hit_tolerance(-1.0) == 0.4 and nat.hit_tolerance(math.inf) == math.inf


@pytest.mark.parametrize("name,entry,parameter", [
    ("DEFAULT_H_PIH", q.mdl_score, "H"),
    ("DEFAULT_H_PIH", q.TournamentMCMC.__init__, "H_piH"),
    ("DEFAULT_N_GRID_1D", q.smoothness_penalty_matrices_1d, "n_grid"),
    ("DEFAULT_N_GRID_ND", q.build_penalty_matrices_nd, "n_grid_per_dim"),
    ("DEFAULT_RIDGE", q.fit_regularized_linear, "ridge"),
])
def test_constants_are_the_cores_defaults(signature, name, entry, parameter):
    default = dict(signature(entry))[parameter]
    value = getattr(nat, name)
    assert type(value) is type(ast.literal_eval(default)) and value == ast.literal_eval(default)


@pytest.mark.parametrize("call,exc,text", [
    (lambda: nat.mdl_from_hits(0, 0, 1, 20), ValueError, "n must be >= 1, got n = 0"),
    (lambda: nat.mdl_from_hits(-1, 5, 1, 20), ValueError, "hits = -1, n = 5"),
    (lambda: nat.mdl_from_hits(6, 5, 1, 20), ValueError, "hits = 6, n = 5"),
    (lambda: nat.mdl_from_hits(1, 5, -1, 20), ValueError, "k must be >= 0, got k = -1"),
    (lambda: nat.mdl_from_hits(1.0, 5, 1, 20), TypeError, "incompatible"),
    (lambda: nat.mdl_from_hits(1, 5, 1, 2**31), TypeError, "incompatible"),
    (lambda: nat.mdl_from_hits(1, 2**63, 1, 20), TypeError, "incompatible"),
    (lambda: nat.count_hits([1.0], [1.0, 2.0], 0.1), ValueError, "yp has 1 entries but yt has 2"),
    (lambda: nat.count_hits(np.ones((2, 2)), [1.0], 0.1), TypeError, "incompatible"),
    (lambda: nat.count_hits("ab", [1.0], 0.1), TypeError, "incompatible"),
    (lambda: nat.count_hits([1.0], [1.0]), TypeError, "incompatible"),
    (lambda: nat.hit_tolerance(None), TypeError, "incompatible"),
])
def test_bad_arguments_raise(call, exc, text):
    with pytest.raises(exc, match=text.replace("[", r"\[")):
        call()


@pytest.mark.slow
def test_stub_passes_stubtest_and_mypy_strict():
    pytest.importorskip("mypy")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        filter(None, [str(ROOT), os.environ.get("PYTHONPATH")])))
    for cmd in (["mypy.stubtest", "_qorv_native"],
                ["mypy", "--strict", "--no-incremental", str(ROOT / "stubs" / "_qorv_native.pyi")]):
        p = subprocess.run([sys.executable, "-m", *cmd], capture_output=True, text=True,
                           env=env, cwd=ROOT)
        assert p.returncode == 0, p.stdout + p.stderr
