"""Gibbs-entropy summary of an energy sample."""
import math

import numpy as np
import pytest

import qorv_core as q


def reference(E, T=1.0):
    E = np.asarray(E, dtype=float)
    w = np.exp(-(E - E.min()) / (T + 1e-300))
    p = w / w.sum()
    H = float(-(p * np.log(p + 1e-300)).sum())
    Hmax = math.log(max(E.size, 2))
    He = H / (Hmax + 1e-300)
    return dict(H=H, Hmax=Hmax, He=He, r_heat=0.01 + 0.99 * He, var_E=float(E.var()), T=T)


def as_dict(g):
    return {k: getattr(g, k) for k in ("H", "Hmax", "He", "r_heat", "var_E", "T")}


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("T", [0.1, 1.0, 7.0])
def test_against_numpy(seed, T):
    E = np.random.default_rng(seed).uniform(0, 20, 25)
    got, ref = as_dict(q.gibbs_entropy(E, T)), reference(E, T)
    for k in ref:
        assert got[k] == pytest.approx(ref[k], rel=1e-12, abs=1e-15), k


def test_two_level_example():
    g = q.gibbs_entropy([0.0, 1.0])
    assert g.H == pytest.approx(0.5822031088882179, rel=1e-15)
    assert g.He == pytest.approx(0.8399415379831692, rel=1e-15)
    assert g.r_heat == pytest.approx(0.8415421226033375, rel=1e-15)
    assert g.var_E == 0.25 and g.T == 1.0


def test_single_energy():
    g = q.gibbs_entropy([3.5])
    assert (g.H, g.He, g.r_heat, g.var_E) == (0.0, 0.0, 0.01, 0.0)
    assert g.Hmax == math.log(2)


@pytest.mark.parametrize("N", [2, 3, 10])
def test_equal_energies_are_maximal_entropy(N):
    g = q.gibbs_entropy(np.full(N, 4.0))
    assert g.H == pytest.approx(math.log(N), rel=1e-14)
    assert g.He == pytest.approx(1.0, rel=1e-14) and g.var_E == 0.0


def test_invariances():
    E = np.random.default_rng(7).uniform(0, 5, 12)
    base = q.gibbs_entropy(E, 1.5)
    shifted = q.gibbs_entropy(E + 100.0, 1.5)
    scaled = q.gibbs_entropy(E * 4.0, 6.0)
    for k in ("H", "He", "r_heat"):
        assert getattr(shifted, k) == pytest.approx(getattr(base, k), rel=1e-12)
        assert getattr(scaled, k) == pytest.approx(getattr(base, k), rel=1e-12)
    assert scaled.var_E == pytest.approx(16 * base.var_E, rel=1e-12)


def test_zero_temperature_counts_the_minima():
    g = q.gibbs_entropy([1.0, 1.0, 1.0, 2.0, 5.0], 0.0)
    assert g.H == pytest.approx(math.log(3), rel=1e-14)


def test_extreme_temperatures():
    E = np.array([0.0, 1.0, 2.0, 3.0])
    assert q.gibbs_entropy(E, 1e12).r_heat == pytest.approx(1.0, abs=1e-9)
    assert q.gibbs_entropy(E, 1e-6).r_heat == pytest.approx(0.01, abs=1e-12)


def test_empty_sample_is_rejected():
    with pytest.raises(ValueError, match="energies is empty"):
        q.gibbs_entropy([])
