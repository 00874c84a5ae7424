"""Coverage of the 95 % intervals of qorv's fits by seeded simulation: the
mean band against the true curve across x, and the prediction band against
new observations. Prints the table of the user guide's inference page.

Run alone: python3 bench/bench_coverage.py
"""
import numpy as np

import qorv

rng = np.random.default_rng(2026)
grid = np.linspace(-0.95, 0.95, 25)
def cover(make, kw, reps=200, n=100, weighted=False):
    cm, cp = [], []
    for _ in range(reps):
        x, y, f = make(n)[:3]
        w = make.weights(x) if weighted else None
        est = qorv.PolynomialRegressor(**kw).fit(x[:, None], y, sample_weight=w)
        b = est.predict_interval(grid[:, None]); cm.append((b[:, 0] <= f(grid)) & (f(grid) <= b[:, 1]))
        if not weighted:  # a new observation's band is for weight 1
            xn, yn, _ = make(n, clean=True)
            bp = est.predict_interval(xn[:, None], kind="prediction")
            cp.append((bp[:, 0] <= yn) & (yn <= bp[:, 1]))
    cm = np.mean(cm, axis=0)
    return np.mean(cm), cm.min(), cm.max(), np.mean(cp) if cp else np.nan
def cubic(n, clean=False, share=0.0):
    x = rng.uniform(-1, 1, n); f = lambda t: 1 + t - 2 * t**3
    y = f(x) + rng.normal(0, 0.2, n)
    if not clean and share:
        bad = rng.random(n) < share; y[bad] += rng.uniform(3, 10, bad.sum())
    return x, y, f
def wave(n, clean=False):
    x = rng.uniform(-1, 1, n); f = lambda t: np.sin(3 * t); return x, f(x) + rng.normal(0, 0.3, n), f
def spread_cubic(n, clean=False):
    """The cubic with noise sd 0.05 + 0.3 |x| and 10 % gross outliers."""
    x = rng.uniform(-1, 1, n); f = lambda t: 1 + t - 2 * t**3
    y = f(x) + rng.normal(0, 1, n) * (0.05 + 0.3 * np.abs(x))
    bad = rng.random(n) < 0.1; y[bad] += rng.uniform(3, 10, bad.sum())
    return x, y, f
spread_cubic.weights = lambda x: 1 / (0.05 + 0.3 * np.abs(x)) ** 2
rows = [("least squares, degree 3", lambda n, clean=False: cubic(n, clean), dict(degree=3)),
        ("penalised, degree 12, curvature, gamma by cross-validation", wave, dict(degree=12, penalty="curvature", domain=(-1, 1))),
        ("robust, degree 3, 10 % gross outliers", lambda n, clean=False: cubic(n, clean, 0.1), dict(degree=3, solver="robust"))]
print("| fit | mean band: mean coverage (lowest, highest across x) | new observations |")
print("|---|---|---|")
rows.append(("robust, degree 3, noise sd 0.05 + 0.3 abs(x) weighted by 1 / sd^2, 10 % outliers",
             spread_cubic, dict(degree=3, solver="robust")))
for name, make, kw in rows:
    m, lo, hi, p = cover(make, kw, weighted=hasattr(make, "weights"))
    print(f"| {name} | {m:.3f} ({lo:.3f}, {hi:.3f}) | " + ("-" if np.isnan(p) else f"{p:.3f}") + " |")
