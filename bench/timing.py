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


def alternate_many(ours, peers, repeats):
    """Median seconds of ours() and of each peer in `peers` (name -> callable),
    all timed in turn in every repeat after one warm-up call of each."""
    ours()
    for f in peers.values():
        f()
    t_ours, t_peers = [], {name: [] for name in peers}
    for _ in range(repeats):
        t_ours.append(probe(ours))
        for name, f in peers.items():
            t_peers[name].append(probe(f))
    return statistics.median(t_ours), {k: statistics.median(v) for k, v in t_peers.items()}


def against_strongest(ours, peers, quick, **budget):
    """Times ours() beside every peer (name -> callable) in one run; returns
    (ours seconds, name of the fastest peer, its seconds, all peer medians).
    The repeats are what one round of all the calls allows."""
    one_round = probe(ours) + sum(probe(f) for f in peers.values())
    t_o, t_p = alternate_many(ours, peers, repeats_for(one_round, quick, **budget))
    best = min(t_p, key=t_p.get)
    return t_o, best, t_p[best], t_p


def median_time(f, repeats):
    """Median seconds of f() after one warm-up call."""
    f()
    return statistics.median(probe(f) for _ in range(repeats))


def rel_diff(a, b):
    """Largest difference relative to the largest magnitude of b."""
    return float(np.max(np.abs(a - b)) / max(np.max(np.abs(b)), 1e-300))
