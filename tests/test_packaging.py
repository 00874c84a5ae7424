"""The sdist builds a wheel, the wheel installs into a fresh virtualenv and
imports outside the source tree, and type checkers find its stub."""
import pathlib
import subprocess
import sys
import tarfile
import venv
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run(*cmd, cwd, timeout=900):
    p = subprocess.run([str(c) for c in cmd], cwd=cwd, capture_output=True, text=True,
                       timeout=timeout)
    assert p.returncode == 0, f"{cmd}\n{p.stdout[-3000:]}\n{p.stderr[-3000:]}"
    return p.stdout


@pytest.mark.slow
def test_sdist_wheel_and_fresh_install(tmp_path):
    pytest.importorskip("build")
    dist, wheels = tmp_path / "dist", tmp_path / "wheels"
    run(sys.executable, "-m", "build", "--sdist", "--outdir", dist, ROOT, cwd=tmp_path)
    (sdist,) = dist.glob("qorv-*.tar.gz")
    with tarfile.open(sdist) as t:
        names = [n.split("/", 1)[1] for n in t.getnames() if "/" in n]
    for needed in ("pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md",
                   "stubs/qorv_core.pyi", "_native/qorv_core.cpp", "qorv/__init__.py"):
        assert needed in names, needed
    assert not any(n.startswith(("build/", ".ci/")) or n.endswith((".so", ".o")) for n in names)

    # The wheel is built from the sdist, so this also proves the sdist builds.
    run(sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", wheels, sdist, cwd=tmp_path)
    (wheel,) = wheels.glob("qorv-*.whl")
    with zipfile.ZipFile(wheel) as z:
        files = z.namelist()
    assert any(f.startswith("qorv_core.") and f.endswith(".so") for f in files)
    assert "qorv_core.pyi" in files and "qorv_core-stubs/__init__.pyi" in files
    assert {"qorv/__init__.py", "qorv/__main__.py", "qorv/py.typed"} <= set(files)
    assert any(f.endswith(".dist-info/licenses/LICENSE") or f.endswith(".dist-info/LICENSE")
               for f in files)
    # (the metadata's own entry_points.txt aside)
    assert not any(f.startswith(("tests/", "bench/", "_native/", "build/")) or
                   f.endswith((".cpp", ".hpp", ".txt", ".cmake")) for f in files
                   if ".dist-info/" not in f), files
    # the package's private helper module, beside the core and typed the same way
    assert any(f.startswith("_qorv_native.") and f.endswith(".so") for f in files)
    assert "_qorv_native.pyi" in files and "_qorv_native-stubs/__init__.pyi" in files
    assert not any(f.startswith("qorv/") and not f.endswith((".py", "py.typed"))
                   for f in files), files

    env_dir = tmp_path / "venv"
    venv.create(env_dir, with_pip=True)
    py = env_dir / "bin" / "python"
    run(py, "-m", "pip", "install", "-q", wheel, cwd=tmp_path)
    out = run(py, "-c",
              "import numpy as np, qorv_core as q; print(q.__file__); "
              "print(q.ols(np.eye(3), np.arange(3.0)).tolist())", cwd=tmp_path)
    where, result = out.strip().splitlines()
    assert pathlib.Path(where).resolve().is_relative_to(env_dir.resolve())
    assert result == "[0.0, 1.0, 2.0]"
    # The README's main-job command, outside the source tree.
    assert "chosen by cv" in run(py, "-m", "qorv", "demo", cwd=tmp_path)

    # A type checker pointed at that interpreter finds the installed stub.
    pytest.importorskip("mypy")
    snippet = tmp_path / "use.py"
    # (and, through its py.typed marker, the package's own annotations)
    snippet.write_text("import qorv_core as q\nreveal_type(q.design_matrix_1d(3, [0.5]))\n"
                       "r = q.TournamentMCMC().fit([[1.0]], [1.0])\nreveal_type(r.energy)\n"
                       "import qorv\nm: qorv.PolynomialRegressor = qorv.PolynomialRegressor()\n")
    p = subprocess.run([sys.executable, "-m", "mypy", "--python-executable", py,
                        "--no-incremental", snippet], cwd=tmp_path, capture_output=True,
                       text=True)
    assert p.returncode == 0 and "Success: no issues" in p.stdout, p.stdout + p.stderr
    assert 'numpy.dtype[numpy.float64]' in p.stdout and 'Revealed type is "float"' in p.stdout
