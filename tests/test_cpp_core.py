"""C++ tests of the core library (what the Python API cannot observe),
built with CMake against the same flags as the module."""
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]


@pytest.mark.slow
def test_core_cpp_tests():
    if shutil.which("cmake") is None:
        pytest.skip("cmake is not installed")
    build = ROOT / "build" / "cpp-tests"
    gen = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), *gen,
                    "-DQORV_BUILD_TESTS=ON", f"-DPython_EXECUTABLE={sys.executable}"],
                   check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build), "--target", "qorv_cpp_tests"],
                   check=True, capture_output=True)
    p = subprocess.run([str(build / "qorv_cpp_tests")], capture_output=True, text=True,
                       timeout=300)
    assert p.returncode == 0, p.stdout + p.stderr
    assert " 0 failed" in p.stdout
