"""Command line: fit a polynomial to columns of a CSV file, or run the demo.

    python -m qorv fit FILE.csv --x COL [--x COL2 ...] --y COL
                   [--degree auto|N] [--penalty gradient|curvature] [--robust]
                   [--solver S] [--criterion C] [--max-degree N] [--weights COL]
                   [--delimiter D] [--drop-missing] [--predict FILE.csv]
                   [--output OUT.csv] [--plot out.png]
    python -m qorv demo [--plot out.png]

Bad input ends with a one-line message and exit status 2.
"""
from __future__ import annotations

import argparse
import csv
import os
import sys
import tempfile
import warnings
from typing import Any, Optional, Sequence

import numpy as np
import numpy.typing as npt

from . import PolynomialRegressor, __version__
from ._basis import n_total_terms

Array = npt.NDArray[np.float64]


class InputError(Exception):
    """A problem with the user's input, reported in one line."""


def read_columns(path: str, names: Sequence[str], delimiter: str = ",",
                 drop_missing: bool = False) -> tuple[list[Array], int]:
    """The named columns of a CSV file with a header row, as floats, and the
    number of rows dropped (drop_missing: rows with a blank or non-finite
    cell in a named column; otherwise such a row is an error naming its
    line). NumPy's compiled reader reads the named columns only, into the
    float arrays themselves; a line it cannot read is found by the checking
    reader below."""
    where = _header_columns(path, names, delimiter)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # an empty body: checked below
            data = np.loadtxt(path, delimiter=delimiter, skiprows=1, usecols=where,
                              ndmin=2, dtype=np.float64, encoding="utf-8-sig", quotechar='"')
    except (ValueError, OSError, UnicodeDecodeError):
        data = None
    if data is None or not np.all(np.isfinite(data)):
        return _read_checked(path, names, delimiter, drop_missing)
    data = data.reshape(len(data), len(names))
    return [np.ascontiguousarray(data[:, i]) for i in range(len(names))], 0


def _header_columns(path: str, names: Sequence[str], delimiter: str = ",") -> list[int]:
    """The positions of the named columns in the header row."""
    try:
        with open(path, newline="", encoding="utf-8-sig") as fh:
            header = next(csv.reader(fh, delimiter=delimiter), None)
    except OSError as e:
        raise InputError(f"{path}: {e.strerror or e}")
    except (UnicodeDecodeError, csv.Error) as e:
        raise InputError(f"{path}: not a readable CSV file ({e})")
    if header is None:
        raise InputError(f"{path}: the file is empty")
    header = [h.strip() for h in header]
    for c in names:
        if c not in header:
            raise InputError(f"{path}: no column {c!r} (columns: {', '.join(header)})")
        if header.count(c) > 1:
            raise InputError(f"{path}: the header names column {c!r} {header.count(c)} times")
    return [header.index(c) for c in names]


def _read_checked(path: str, names: Sequence[str], delimiter: str,
                  drop_missing: bool) -> tuple[list[Array], int]:
    """read_columns cell by cell, naming the first line it cannot use."""
    where = _header_columns(path, names, delimiter)
    dropped = 0
    try:
        with open(path, newline="", encoding="utf-8-sig") as fh:
            reader = csv.reader(fh, delimiter=delimiter)
            next(reader, None)
            rows: list[list[float]] = []
            for line in reader:
                if not any(cell.strip() for cell in line):
                    continue
                row = []
                for c, j in zip(names, where):
                    cell = line[j].strip() if j < len(line) else ""
                    try:
                        v = float(cell)
                    except ValueError:
                        v = float("nan")
                    if not np.isfinite(v):
                        if drop_missing:
                            break
                        raise InputError(f"{path}, line {reader.line_num}: column {c!r} "
                                         f"holds {cell!r}, not a finite number "
                                         "(--drop-missing drops such rows)")
                    row.append(v)
                if len(row) < len(names):
                    dropped += 1
                    continue
                rows.append(row)
    except OSError as e:
        raise InputError(f"{path}: {e.strerror or e}")
    except (UnicodeDecodeError, csv.Error) as e:
        raise InputError(f"{path}: not a readable CSV file ({e})")
    data = np.asarray(rows, dtype=np.float64).reshape(len(rows), len(names))
    return [data[:, i] for i in range(len(names))], dropped


def report(model: PolynomialRegressor, X: Array, y: Array, names: Sequence[str],
           yname: str) -> str:
    """The fitted model as a readable table."""
    pred = model.predict(X)
    rmse = float(np.sqrt(np.mean((pred - y) ** 2)))
    lines: list[Optional[str]] = [f"qorv {__version__}: {yname} ~ polynomial in {', '.join(names)}",
             f"  rows        {len(y)}",
             f"  degree      {model.degree_}"
             + (f" (chosen by {model.criterion})" if model.degree == "auto" else ""),
             f"  gamma       {model.gamma_:.6g}" if model.penalty else None,
             f"  robust      {np.mean(model.inlier_mask_):.1%} of rows inliers, scale "
             f"{model.scale_:.6g}" if model.scale_ is not None else None,
             f"  R^2         {model.score(X, y):.6f}",
             f"  rmse        {rmse:.6g}",
             f"  mdl score   {model.mdl_score_:.6g}",
             f"  rank        {model.rank_} of {len(model.coef_)} columns",
             "  domain      " + ", ".join(f"{n} in [{lo:.6g}, {hi:.6g}]"
                                          for n, (lo, hi) in zip(names, model.domain_)),
             "", "  coefficients of the mapped variables "
                 "(each x mapped from its domain onto [-1, 1]):"]
    se = model.coef_se_
    ci = model.conf_int() if se is not None else None
    if ci is not None:
        lines.append(f"    {'term':<24} {'coef':>17} {'std err':>11}   95 % interval")
    for i, (p, c) in enumerate(zip(model.powers_, model.coef_)):
        term = " * ".join(f"{n}'^{e}" if e > 1 else f"{n}'" for n, e in zip(names, p) if e)
        line = f"    {term or '1':<24} {c: .10g}"
        if ci is not None and se is not None:
            line = (f"    {term or '1':<24} {c: 17.10g} {se[i]:11.4g}   "
                    f"[{ci[i, 0]:.6g}, {ci[i, 1]:.6g}]")
        lines.append(line)
    return "\n".join(line for line in lines if line is not None)


def plot(model: PolynomialRegressor, X: Array, y: Array, names: Sequence[str],
         yname: str, out: str) -> None:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise InputError("--plot needs matplotlib: python3 -m pip install '.[plot]' from "
                         "a checkout of qorv (or: python3 -m pip install matplotlib)")
    fig, ax = plt.subplots(figsize=(7, 4.2))
    if X.shape[1] == 1:
        grid = np.linspace(model.domain_[0, 0], model.domain_[0, 1], 600)[:, None]
        out_mask = np.zeros(len(y), bool) if model.inlier_mask_ is None else ~model.inlier_mask_
        ax.plot(X[~out_mask, 0], y[~out_mask], ".", ms=3, alpha=0.5, label="data")
        if out_mask.any():
            ax.plot(X[out_mask, 0], y[out_mask], "x", ms=4, color="tab:red", label="outliers")
        if model.coef_se_ is not None:
            for kind, alpha in (("prediction", 0.12), ("confidence", 0.3)):
                band = model.predict_interval(grid, kind=kind)
                ax.fill_between(grid[:, 0], band[:, 0], band[:, 1], alpha=alpha, color="C1",
                                lw=0, label=f"95 % {kind} band")
        ax.plot(grid[:, 0], model.predict(grid), lw=2, label=f"degree {model.degree_}")
        ax.set_xlabel(names[0])
    else:
        pred = model.predict(X)
        ax.plot(pred, y, ".", ms=3, alpha=0.5, label="data")
        lo, hi = float(min(pred.min(), y.min())), float(max(pred.max(), y.max()))
        ax.plot([lo, hi], [lo, hi], lw=1, label="y = fit")
        ax.set_xlabel(f"fit of {yname}")
    ax.set_ylabel(yname)
    ax.legend()
    fig.tight_layout()
    try:
        save_whole(fig, out)
    except (OSError, ValueError) as e:
        raise InputError(f"--plot {out}: {e}")
    finally:
        plt.close(fig)


def plot_path(out: str) -> str:
    """Where --plot writes: the path given, with .png when it has no suffix."""
    if os.path.isdir(out):
        raise InputError(f"--plot {out}: is a directory; give a file name such as "
                         f"{os.path.join(out, 'fit.png')}")
    return out if os.path.splitext(out)[1] else out + ".png"


def save_whole(fig: Any, out: str) -> None:
    """Saves the figure to `out` whole or not at all: into a temporary file
    beside it, renamed over it only once written."""
    folder = os.path.dirname(os.path.abspath(out))
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=".qorv-plot-", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as fh:
            fig.savefig(fh, dpi=110, format=os.path.splitext(out)[1][1:] or "png")
        os.replace(tmp, out)
    except BaseException:
        os.unlink(tmp)
        raise


def fit_and_report(X: Array, y: Array, names: Sequence[str], yname: str,
                   degree: str, penalty: Optional[str], out: Optional[str],
                   robust: bool = False, w: Optional[Array] = None,
                   options: Optional[dict[str, Any]] = None) -> PolynomialRegressor:
    """Fits, prints the model, then draws it (so that a failed drawing still
    leaves the fit on screen)."""
    if degree == "auto":
        deg: object = "auto"
    else:
        try:
            deg = int(degree)
        except ValueError:
            deg = -1
        if deg < 0:
            raise InputError(f"--degree {degree!r}: use 'auto' or an integer >= 0")
    if deg != "auto":
        need = n_total_terms(X.shape[1], int(deg))  # type: ignore[call-overload]
        if len(y) < need:
            raise InputError(f"{len(y)} rows are fewer than the {need} coefficients of "
                             f"degree {deg} in {X.shape[1]} variable(s)")
    elif len(y) < 2:
        raise InputError(f"{len(y)} row(s): at least 2 are needed")
    opts = dict(options or {})
    if robust:
        opts["solver"] = "robust"
    model = PolynomialRegressor(degree=deg, penalty=penalty, **opts)  # type: ignore[arg-type]
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            model.fit(X, y, sample_weight=w)
    except ValueError as e:
        raise InputError(str(e).splitlines()[0])
    text = report(model, X, y, names, yname)
    for note in caught:
        text += f"\n  warning: {note.message}"
    print(text, flush=True)
    if out:
        path = plot_path(out)
        existed = os.path.exists(path)
        plot(model, X, y, names, yname, path)
        print(f"  plot written to {path}" + (" (replacing the file there)" if existed else ""))
    return model


def write_predictions(model: PolynomialRegressor, X: Array, names: Sequence[str],
                      out: str) -> None:
    """The prediction of every row of X, with its 95 % confidence and
    prediction intervals where the fit has them, as a CSV file written
    whole or not at all."""
    cols = [X[:, j] for j in range(X.shape[1])] + [model.predict(X)]
    head = [*names, "prediction"]
    if model.coef_se_ is not None:
        for kind in ("confidence", "prediction"):
            band = model.predict_interval(X, kind=kind)
            cols += [band[:, 0], band[:, 1]]
            head += [f"{kind}_low", f"{kind}_high"]
    folder = os.path.dirname(os.path.abspath(out))
    try:
        fd, tmp = tempfile.mkstemp(dir=folder, prefix=".qorv-out-", suffix=".tmp")
    except OSError as e:
        raise InputError(f"--output {out}: {e.strerror or e}")
    try:
        with os.fdopen(fd, "w", newline="") as fh:
            np.savetxt(fh, np.column_stack(cols), delimiter=",", header=",".join(head),
                       comments="", fmt="%.17g")
        os.replace(tmp, out)
    except OSError as e:
        os.unlink(tmp)
        raise InputError(f"--output {out}: {e.strerror or e}")


def demo_data() -> tuple[Array, Array]:
    """Seeded example: a cubic trend over calendar years with noise."""
    rng = np.random.default_rng(2024)
    x = np.sort(rng.uniform(1950.0, 2020.0, 300))
    t = (x - 1985.0) / 35.0
    y = 310.0 + 40.0 * t + 12.0 * t**2 - 6.0 * t**3 + rng.normal(0.0, 1.5, x.size)
    return x, y


def fit_file(args: argparse.Namespace) -> None:
    """The fit subcommand: read, fit, report, and write what was asked."""
    named = [*args.x, args.y] + ([args.weights] if args.weights else [])
    twice = sorted({c for c in named if named.count(c) > 1})
    if twice:
        raise InputError(f"column {twice[0]!r} is given {named.count(twice[0])} times "
                         "(each of --x, --y and --weights names its own column)")
    if len(args.delimiter) != 1:
        raise InputError(f"--delimiter {args.delimiter!r}: one character, such as , ; or a tab")
    if args.robust and args.solver not in (None, "robust"):
        raise InputError(f"--robust and --solver {args.solver}: choose one")
    if args.max_degree is not None and args.max_degree < 0:
        raise InputError(f"--max-degree {args.max_degree}: must be >= 0")
    cols, dropped = read_columns(args.file, named, args.delimiter, args.drop_missing)
    if dropped:
        print(f"  dropped {dropped} row(s) with a missing or non-finite cell", flush=True)
    k = len(args.x)
    X = np.column_stack(cols[:k]) if cols[0].size else np.zeros((0, k))
    options = {key: v for key, v in (("solver", args.solver), ("criterion", args.criterion),
                                     ("max_degree", args.max_degree)) if v is not None}
    w = cols[k + 1] if args.weights else None
    model = fit_and_report(X, cols[k], args.x, args.y, args.degree, args.penalty, args.plot,
                           args.robust, w, options)
    if args.output:
        Xp = X
        if args.predict:
            pcols, _ = read_columns(args.predict, args.x, args.delimiter, args.drop_missing)
            Xp = np.column_stack(pcols) if pcols[0].size else np.zeros((0, k))
        write_predictions(model, Xp, args.x, args.output)
        print(f"  predictions of {len(Xp)} row(s) written to {args.output}")
    elif args.predict:
        raise InputError(f"--predict {args.predict}: name the file to write with --output")


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        self.exit(2, f"{self.prog}: error: {message}\n")


def main(argv: Optional[Sequence[str]] = None) -> int:
    ap = _Parser(prog="python -m qorv",
                 description="Fit a polynomial whose degree and smoothness are chosen from "
                             "the data.")
    ap.add_argument("--version", action="version", version=f"qorv {__version__}")
    sub = ap.add_subparsers(dest="command", required=True, parser_class=_Parser)
    f = sub.add_parser("fit", help="fit columns of a CSV file with a header row")
    f.add_argument("file", help="CSV file with a header row")
    f.add_argument("--x", action="append", required=True, metavar="COL",
                   help="input column (repeat for several variables)")
    f.add_argument("--y", required=True, metavar="COL", help="target column")
    f.add_argument("--degree", default="auto", help="'auto' (default) or an integer")
    f.add_argument("--penalty", choices=["gradient", "curvature"], default=None,
                   help="roughness penalty, its weight chosen by cross-validation")
    f.add_argument("--robust", action="store_true",
                   help="a fit that gross outliers cannot pull (reports the inliers and "
                        "the scale; --plot marks the outliers)")
    f.add_argument("--solver", choices=["auto", "lstsq", "penalized", "search", "robust"],
                   help="the estimator's solver (default auto)")
    f.add_argument("--criterion", choices=["cv", "gcv", "bic", "mdl"],
                   help="how --degree auto chooses (default cv)")
    f.add_argument("--max-degree", type=int, metavar="N",
                   help="largest degree --degree auto tries (default 10)")
    f.add_argument("--weights", metavar="COL", help="column of non-negative row weights")
    f.add_argument("--delimiter", default=",", help="field separator (default ,)")
    f.add_argument("--drop-missing", action="store_true",
                   help="drop rows with a blank or non-finite cell in a named column "
                        "(and say how many)")
    f.add_argument("--predict", metavar="CSV",
                   help="file whose --x columns to predict (with --output)")
    f.add_argument("--output", metavar="CSV",
                   help="write predictions with 95 %% intervals (of the fitted rows, or "
                        "of --predict's)")
    f.add_argument("--plot", metavar="PNG", help="draw data and fit (needs matplotlib)")
    d = sub.add_parser("demo", help="fit a built-in seeded example")
    d.add_argument("--plot", metavar="PNG", help="draw data and fit (needs matplotlib)")
    args = ap.parse_args(argv)
    try:
        if args.command == "demo":
            x, y = demo_data()
            print("demo: 300 seeded points, a cubic trend over the years 1950..2020 with noise")
            fit_and_report(x[:, None], y, ["year"], "y", "auto", None, args.plot)
        else:
            fit_file(args)
    except InputError as e:
        print(f"python -m qorv: error: {e}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
