"""Every entry against its peer, side by side in one run, as one table.

    python3 bench/run.py [--quick] [--markdown] [AREA ...]

AREA is one or more of basis, penalty, scores, fit, search, estimator (default: all).

Each bench/bench_<area>.py has run(quick) -> list of rows (entry, peer,
sizes, ours_s, peer_s, check); this script runs them in turn in this process
(the search benchmark starts its own child processes to set thread counts)
and prints the rows. "ratio" is ours / peer: below 1 means faster.
"""
import importlib
import os
import platform
import sys

# NumPy and SciPy each load their own OpenBLAS, whose idle threads spin for
# about a tenth of a second after every call. Timed in turn, each call would
# then share the two cores with up to two spinning pools: measured here, that
# made both the peers' normal equations and ours 2 to 4 times slower. A short
# spin (set before NumPy is first imported) lets every side run as it does
# on its own. The search's NumPy port runs alone in a child process, where
# the short spin only slows it (by about 4 %): it gets OpenBLAS's default.
if "OPENBLAS_THREAD_TIMEOUT" not in os.environ:
    os.environ["OPENBLAS_THREAD_TIMEOUT"] = "4"
    os.environ["QORV_BENCH_SHORT_BLAS_SPIN"] = "1"

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

AREAS = ["basis", "penalty", "scores", "fit", "search", "estimator"]


def fmt_time(s):
    if s is None:
        return "n/a"
    for unit, f in (("s", 1.0), ("ms", 1e3), ("us", 1e6), ("ns", 1e9)):
        if s * f >= 1.0:
            return f"{s * f:.3g} {unit}"
    return f"{s * 1e9:.3g} ns"


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} cores, Python {platform.python_version()}"


def main():
    quick = "--quick" in sys.argv
    markdown = "--markdown" in sys.argv
    chosen = [a for a in sys.argv[1:] if not a.startswith("--")]
    unknown = sorted(set(chosen) - set(AREAS))
    if unknown:
        sys.exit(f"unknown area(s) {', '.join(unknown)}; choose from {', '.join(AREAS)}")
    rows = []
    for area in chosen or AREAS:
        mod = importlib.import_module(f"bench_{area}")
        print(f"running bench_{area} ...", file=sys.stderr, flush=True)
        rows.extend(mod.run(quick))
    print(f"Machine: {machine()}" + ("; quick mode" if quick else ""))
    print()
    head = ["entry", "peer", "sizes", "ours", "peer time", "ratio", "how checked"]
    body = []
    for r in rows:
        ratio = (r["ours_s"] / r["peer_s"]) if r.get("peer_s") else None
        body.append([r["entry"], r["peer"], r["sizes"], fmt_time(r["ours_s"]),
                     fmt_time(r.get("peer_s")), "n/a" if ratio is None else f"{ratio:.2f}",
                     r["check"]])
    if markdown:
        print("| " + " | ".join(head) + " |")
        print("|" + "---|" * len(head))
        for b in body:
            print("| " + " | ".join(str(c).replace("|", "/") for c in b) + " |")
    else:
        widths = [max(len(str(b[i])) for b in body + [head]) for i in range(len(head) - 1)]
        for b in [head] + body:
            print("  ".join(str(c).ljust(w) for c, w in zip(b, widths)) + "  " + str(b[-1]))


if __name__ == "__main__":
    main()
