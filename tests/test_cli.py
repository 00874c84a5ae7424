"""python -m qorv: a CSV in a temporary folder, the bad inputs and their exit
status (2 with one line on stderr, never a traceback)."""
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("sklearn")
import qorv  # noqa: E402
from qorv.__main__ import main  # noqa: E402


def write(path, text):
    path.write_text(text)
    return str(path)


def test_fit_prints_the_model(tmp_path, capsys):
    rng = np.random.default_rng(0)
    x = rng.uniform(1958.0, 2001.0, 120)
    y = 300.0 + 0.01 * (x - 1958.0) ** 2 + rng.normal(0.0, 0.1, x.size)
    z = rng.uniform(0.0, 1.0, x.size)
    rows = "\n".join(f"{a},{b},{c}" for a, b, c in zip(x, z, y))
    path = write(tmp_path / "data.csv", "year, z ,co2\n" + rows + "\n\n")
    assert main(["fit", path, "--x", "year", "--y", "co2"]) == 0
    out = capsys.readouterr().out
    assert "degree      2 (chosen by cv)" in out and "rank        3 of 3 columns" in out
    assert "std err" in out and "95 % interval" in out
    rmse = float(out.split("rmse")[1].split()[0])
    assert 0.05 < rmse < 0.15
    assert main(["fit", path, "--x", "year", "--x", "z", "--y", "co2", "--degree", "1",
                 "--penalty", "curvature"]) == 0
    assert "z'" in capsys.readouterr().out


def test_robust_fit_reports_its_inliers(tmp_path, capsys):
    rng = np.random.default_rng(3)
    x = rng.uniform(-1, 1, 200)
    y = 1 + x - x**2 + rng.normal(0, 0.05, x.size)
    y[:20] += 10  # a tenth of the rows far off
    path = write(tmp_path / "d.csv", "x,y\n" + "\n".join(f"{a},{b}" for a, b in zip(x, y)))
    assert main(["fit", path, "--x", "x", "--y", "y", "--degree", "2", "--robust"]) == 0
    out = capsys.readouterr().out
    share, scale = out.split("robust")[1].split("%")[0], out.split("scale")[1].split()[0]
    assert float(share) == pytest.approx(90.0, abs=1.0) and 0.03 < float(scale) < 0.08


@pytest.mark.parametrize("text, args, message", [
    ("a,b\n1,2\n2,3\n", ["--x", "c", "--y", "b"], "no column 'c'"),
    ("a,b\n1,2\n2,x\n3,4\n", ["--x", "a", "--y", "b"], "line 3: column 'b' holds 'x'"),
    ("a,b\n1,2\n2,nan\n", ["--x", "a", "--y", "b"], "line 3"),
    ("a,b\n1,2\n2,3\n", ["--x", "a", "--y", "b", "--degree", "3"],
     "2 rows are fewer than the 4 coefficients"),
    ("a,b\n1,2\n2,3\n", ["--x", "a", "--y", "b", "--degree", "two"], "--degree 'two'"),
    ("a,b\n1,2\n2,3\n", ["--x", "a", "--y", "b", "--degree", "-1"], "--degree '-1'"),
    ("", ["--x", "a", "--y", "b"], "the file is empty"),
    (None, ["--x", "a", "--y", "b"], "No such file"),
    ("a,b,a\n1,2,3\n", ["--x", "a", "--y", "b"], "names column 'a' 2 times"),
    ("a,b\n1,2\n", ["--x", "b", "--y", "b"], "column 'b' is given 2 times"),
    ("a,b\n1,2\n", ["--x", "a", "--x", "a", "--y", "b"], "column 'a' is given 2 times"),
])
def test_bad_input_is_one_line_and_status_2(tmp_path, capsys, text, args, message):
    path = str(tmp_path / "missing.csv") if text is None else write(tmp_path / "d.csv", text)
    assert main(["fit", path, *args]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1 and "Traceback" not in err


def test_demo_and_usage_errors_through_the_interpreter(tmp_path):
    p = subprocess.run([sys.executable, "-m", "qorv", "demo"], capture_output=True,
                       text=True, cwd=tmp_path, timeout=120)
    assert p.returncode == 0 and "degree      3" in p.stdout, p.stderr
    p = subprocess.run([sys.executable, "-m", "qorv", "fit", "x.csv"], capture_output=True,
                       text=True, cwd=tmp_path, timeout=120)
    assert p.returncode == 2 and p.stderr.count("\n") == 1 and "--x" in p.stderr


@pytest.mark.parametrize("hide_matplotlib", [False, True])
def test_plot_is_drawn_or_its_install_named(tmp_path, capsys, monkeypatch, hide_matplotlib):
    out = tmp_path / "fit.png"
    if hide_matplotlib:
        monkeypatch.setitem(sys.modules, "matplotlib", None)  # import raises ImportError
    else:
        pytest.importorskip("matplotlib")
    code = main(["demo", "--plot", str(out)])
    got = capsys.readouterr()
    assert "degree      3" in got.out  # the fit is shown before any drawing
    if hide_matplotlib:
        assert code == 2 and "pip install '.[plot]'" in got.err and not out.exists()
    else:
        assert code == 0 and out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_header_with_a_byte_order_mark(tmp_path, capsys):
    path = tmp_path / "bom.csv"
    path.write_bytes("\ufeffx,y\n".encode("utf-8") + b"".join(
        f"{v},{2 * v + 1}\n".encode() for v in range(10)))
    assert main(["fit", str(path), "--x", "x", "--y", "y", "--degree", "1"]) == 0
    assert "R^2         1.000000" in capsys.readouterr().out


def test_plot_is_written_whole_or_not_at_all(tmp_path, capsys, monkeypatch):
    plt = pytest.importorskip("matplotlib.pyplot")
    out = tmp_path / "fit.png"
    out.write_bytes(b"old picture")

    def broken(self, fh, **kw):  # a disk that fills up mid-write
        fh.write(b"\x89PNG partial")
        raise OSError(28, "No space left on device")
    monkeypatch.setattr(plt.Figure, "savefig", broken)
    assert main(["demo", "--plot", str(out)]) == 2
    assert "No space left" in capsys.readouterr().err
    assert out.read_bytes() == b"old picture" and sorted(tmp_path.iterdir()) == [out]
    monkeypatch.undo()
    assert main(["demo", "--plot", str(out)]) == 0
    assert "(replacing the file there)" in capsys.readouterr().out
    assert out.read_bytes()[:4] == b"\x89PNG"
    assert main(["demo", "--plot", str(tmp_path / "bare")]) == 0  # no suffix: .png added
    assert f"plot written to {tmp_path / 'bare.png'}" in capsys.readouterr().out
    assert main(["demo", "--plot", str(tmp_path)]) == 2
    assert "is a directory" in capsys.readouterr().err


GOOD = "x;y;w\n" + "".join(f"{v / 10};{(v / 10) ** 2 + 1};{1 + v % 3}\n" for v in range(30))


@pytest.mark.parametrize("args, message", [
    (["--solver", "fast"], "argument --solver: invalid choice: 'fast'"),
    (["--criterion", "aic"], "argument --criterion: invalid choice"),
    (["--max-degree", "two"], "argument --max-degree: invalid int value"),
    (["--max-degree", "-1"], "--max-degree -1: must be >= 0"),
    (["--weights", "v"], "no column 'v'"),
    (["--delimiter", ";;"], "--delimiter ';;': one character"),
    (["--robust", "--solver", "lstsq"], "--robust and --solver lstsq: choose one"),
    (["--output", "/nonexistent/dir/out.csv"], "--output /nonexistent/dir/out.csv"),
    (["--predict", "p.csv"], "name the file to write with --output"),
    (["--predict", "missing.csv", "--output", "o.csv"], "missing.csv"),
    (["--weights", "y"], "column 'y' is given 2 times"),
])
def test_every_option_refuses_bad_input_in_one_line(tmp_path, capsys, monkeypatch, args,
                                                    message):
    monkeypatch.chdir(tmp_path)
    write(tmp_path / "d.csv", GOOD)
    write(tmp_path / "p.csv", "x;y\n0.5;0\n")
    try:
        code = main(["fit", "d.csv", "--x", "x", "--y", "y", "--delimiter", ";", *args])
    except SystemExit as e:  # argparse's own errors
        code = e.code
    err = capsys.readouterr().err
    assert code == 2 and message in err and err.count("\n") == 1, err


def test_options_reach_the_estimator_and_predictions_are_written(tmp_path, capsys):
    data = GOOD + "3.1;;1\n"  # one row with a blank target
    path = write(tmp_path / "d.csv", data)
    pred_in = write(tmp_path / "p.csv", "x;y\n0.5;0\n1.5;0\n")
    out = tmp_path / "out.csv"
    assert main(["fit", path, "--x", "x", "--y", "y", "--delimiter", ";", "--weights", "w",
                 "--drop-missing", "--solver", "lstsq", "--criterion", "bic",
                 "--max-degree", "4", "--predict", pred_in, "--output", str(out)]) == 0
    text = capsys.readouterr().out
    assert "dropped 1 row(s)" in text and "(chosen by bic)" in text
    got = np.loadtxt(out, delimiter=",", skiprows=1, ndmin=2)
    head = out.read_text().splitlines()[0].split(",")
    assert head == ["x", "prediction", "confidence_low", "confidence_high",
                    "prediction_low", "prediction_high"]
    # the oracle: the estimator itself on the same rows and weights
    x = np.arange(30) / 10
    est = qorv.PolynomialRegressor(criterion="bic", max_degree=4, solver="lstsq").fit(
        x[:, None], x**2 + 1, sample_weight=1 + np.arange(30) % 3)
    np.testing.assert_allclose(got[:, 1], est.predict(np.array([[0.5], [1.5]])), rtol=1e-12)
    np.testing.assert_allclose(got[:, 2:4], est.predict_interval(np.array([[0.5], [1.5]])),
                               rtol=1e-12)
