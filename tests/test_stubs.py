"""The type stub describes every entry exactly as registered."""
import ast
import os
import pathlib
import subprocess
import sys

import pytest

import qorv_core as q

STUBS = pathlib.Path(__file__).resolve().parent.parent / "stubs"
STUB = STUBS / "qorv_core.pyi"


def stub_functions():
    tree = ast.parse(STUB.read_text())
    out = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            out[node.name] = node
        elif isinstance(node, ast.ClassDef):
            for sub in node.body:
                if isinstance(sub, ast.FunctionDef):
                    out[f"{node.name}.{sub.name}"] = sub
    return out


def stub_signature(node):
    args = node.args.args
    defaults = [None] * (len(args) - len(node.args.defaults)) + [
        ast.unparse(d) for d in node.args.defaults]
    return [(a.arg, d) for a, d in zip(args, defaults) if a.arg != "self"]


ENTRIES = ["mad", "compute_sr", "mdl_score", "mdl_score_reg", "design_matrix_1d",
           "smoothness_penalty_matrices_1d", "boundary_reduce_1d", "design_matrix_nd",
           "build_penalty_matrices_nd", "ols", "fit_regularized_linear", "gibbs_entropy",
           "TournamentMCMC.__init__", "TournamentMCMC.fit"]


@pytest.mark.parametrize("entry", ENTRIES)
def test_stub_parameters_and_defaults_match_the_module(signature, entry):
    obj = q
    for part in entry.split("."):
        obj = getattr(obj, part)
    runtime = signature(obj)
    stub = stub_signature(stub_functions()[entry])
    assert [p[0] for p in stub] == [p[0] for p in runtime]
    for (pname, s_default), (_, r_default) in zip(stub, runtime):
        if r_default is None:
            assert s_default is None, pname
        else:
            assert ast.literal_eval(s_default) == ast.literal_eval(r_default), pname


def test_stub_names_every_public_attribute():
    tree = ast.parse(STUB.read_text())
    names = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    assert names == {n for n in dir(q) if not n.startswith("_")}


@pytest.mark.slow
def test_stubtest_passes():
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPYPATH=str(STUBS))
    module_dir = os.path.dirname(q.__file__)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    p = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "qorv_core",
         "--allowlist", str(STUBS / "stubtest-allowlist.txt")],
        capture_output=True, text=True, env=env, cwd=STUBS.parent / "tests")
    assert p.returncode == 0, p.stdout + p.stderr
