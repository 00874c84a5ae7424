"""Timing helpers shared by the bench_<area>.py scripts: alternating
side-by-side medians, so that both sides of a comparison see the same
disturbances of a noisy machine."""
import statistics
import time

import numpy as np


def probe(f):
    """Seconds of one call of f."""
    t = time.perf_counter()
    f()
    return time.perf_counter() - t


def repeats_for(seconds_per_call, quick, budget=(0.5, 2.0), max_reps=(51, 301), min_reps=5):
    """Repeats that fit the time budget (quick, full), within the bounds."""
    b = budget[0] if quick else budget[1]
    top = max_reps[0] if quick else max_reps[1]
    return int(min(top, max(min_reps, b / max(seconds_per_call, 1e-7))))


def alternate(ours, peer, repeats):
    """Median seconds of ours() and peer(), timed alternately after one
    warm-up call of each (allocator, thread pools)."""
    ours(), peer()
    t_ours, t_peer = [], []
    for _ in range(repeats):
        t_ours.append(probe(ours))
        t_peer.append(probe(peer))
    return statistics.median(t_ours), statistics.median(t_peer)


def side_by_side(ours, peer, quick, **budget):
    """alternate() with as many repeats as one call of peer() allows."""
    peer()
    return alternate(ours, peer, repeats_for(probe(peer), quick, **budget))


def median_time(f, repeats):
    """Median seconds of f() after one warm-up call."""
    f()
    return statistics.median(probe(f) for _ in range(repeats))


def rel_diff(a, b):
    """Largest difference relative to the largest magnitude of b."""
    return float(np.max(np.abs(a - b)) / max(np.max(np.abs(b)), 1e-300))
