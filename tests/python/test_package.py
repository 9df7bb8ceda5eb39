"""The package as shipped: its type stub agrees with the module, every public
name is documented, and the build's and an install's copies find their library."""

import ast
import inspect
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quelm
from conftest import BUILD


def test_the_stub_declares_exactly_the_public_names():
    stub = ast.parse((Path(quelm.__file__).parent / "__init__.pyi").read_text())
    declared = set()
    for node in stub.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            declared.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            declared.add(node.target.id)
    assert declared - {"__version__"} == set(quelm.__all__)
    sampler = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "Sampler")
    stubbed = {n.name for n in sampler.body if isinstance(n, ast.FunctionDef) and not n.name.startswith("__")}
    public = {n for n in vars(quelm.Sampler) if not n.startswith("_")}
    assert stubbed == public


def test_every_public_name_has_a_docstring():
    missing = []
    for name in quelm.__all__:
        obj = getattr(quelm, name)
        if isinstance(obj, int):
            continue  # the library's constants
        if not inspect.getdoc(obj):
            missing.append(name)
        if inspect.isclass(obj):
            for attr, member in vars(obj).items():
                if not attr.startswith("_") and (callable(member) or isinstance(member, property)):
                    if not inspect.getdoc(member):
                        missing.append(f"{name}.{attr}")
    assert not missing


def test_the_library_comes_from_the_build_unless_the_environment_names_another():
    from quelm import _paths

    assert Path(_paths.LIBRARY) == BUILD / "bin" / "QUELM1.SAM"
    env = dict(os.environ, QUELM_LIBRARY="/nonexistent/QUELM1.SAM")
    done = subprocess.run([sys.executable, "-c", "import quelm; quelm.Sampler()"], env=env, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 1
    assert "quelm._errors.LibraryError: loading the sampler library: cannot load /nonexistent/QUELM1.SAM" in done.stderr


@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake")
def test_an_install_finds_its_own_library(tmp_path):
    prefix = tmp_path / "prefix"
    done = subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(prefix)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    site = subprocess.run(
        [sys.executable, "-c",
         "import sys, sysconfig; print(sysconfig.get_path('purelib', 'posix_prefix', "
         "vars={'base': sys.argv[1], 'platbase': sys.argv[1]}))", str(prefix)],
        capture_output=True, text=True, check=True).stdout.strip()
    env = {k: v for k, v in os.environ.items() if k not in ("QUELM_LIBRARY", "PYTHONPATH")}
    env["PYTHONPATH"] = site
    check = ("import quelm, quelm._paths as p\n"
             "print(quelm.__file__); print(p.LIBRARY); print(p.PORTS_TOOL)\n"
             "with quelm.Sampler('SIM') as s: print(s.hardware_id)\n")
    done = subprocess.run([sys.executable, "-c", check], env=env, capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    module, library, tool, hardware = done.stdout.splitlines()
    assert module.startswith(site)
    assert library.startswith(str(prefix)) and library.endswith("/quelm/QUELM1.SAM") and os.path.exists(library)
    assert tool == str(prefix / "bin" / "quelm-ports") and os.access(tool, os.X_OK)
    assert hardware == "QUELM1 pulse sampler v2.1 (virtual)"
