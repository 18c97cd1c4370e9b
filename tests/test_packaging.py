"""Packaging: `python3 -m build --no-isolation` makes an sdist and, from that sdist, a wheel; the
wheel installs into a fresh venv where the tour runs and mypy finds the installed types.

The sdist is made by `meson dist`, which archives the committed tree (HEAD), so uncommitted
changes are not in these packages. One build compiles the module once (about a minute on two
cores); the tests below share it.
"""
import os
import re
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

import pytest

import vantelix

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "src" / "vantelix.pyi"
MODULE_DIR = str(Path(vantelix.__file__).resolve().parent)


def clean_env(**extra):
    """The environment without this test run's PYTHONPATH or the user's site-packages."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH", "PYTHONHOME")}
    env.update(PYTHONNOUSERSITE="1", **extra)
    return env


def run(args, **kwargs):
    proc = subprocess.run(args, capture_output=True, text=True, timeout=900, **kwargs)
    assert proc.returncode == 0, f"{args} failed:\n{proc.stdout}\n{proc.stderr}"
    return proc


def project_version():
    return re.search(r"version:\s*'([^']+)'", (ROOT / "meson.build").read_text())[1]


@pytest.fixture(scope="module")
def dists(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    run([sys.executable, "-m", "build", "--no-isolation", "--outdir", str(out), str(ROOT)],
        env=clean_env(), cwd=ROOT)
    (sdist,) = out.glob("*.tar.gz")
    (wheel,) = out.glob("*.whl")
    return sdist, wheel


@pytest.fixture(scope="module")
def venv_python(dists, tmp_path_factory):
    # A vantelix importable from the system site-packages would shadow the wheel's in the venv.
    probe = subprocess.run(["/usr/bin/python3", "-c", "import vantelix; print(vantelix.__file__)"],
                           capture_output=True, text=True, env=clean_env(), cwd=tmp_path_factory.getbasetemp())
    assert probe.returncode != 0, f"vantelix is already installed system-wide: {probe.stdout}"
    venv = tmp_path_factory.mktemp("venv")
    run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", "--without-pip", str(venv)])
    python = venv / "bin" / "python"
    run([str(python), "-m", "pip", "install", "--no-index", "--no-deps", "--quiet",
         "--disable-pip-version-check", str(dists[1])], env=clean_env())
    return python


def test_sdist_holds_the_build_inputs(dists):
    sdist, _ = dists
    prefix = f"vantelix-{project_version()}/"
    with tarfile.open(sdist) as tar:
        names = {m.name[len(prefix):] for m in tar.getmembers() if m.isfile() and m.name.startswith(prefix)}
    tracked = run(["git", "ls-files", "src", "tests/cpp", "meson.build", "meson_options.txt",
                   "pyproject.toml", "README.md"], cwd=ROOT).stdout.split()
    assert "src/vantelix.pyi" in tracked and "src/module.cpp" in tracked
    assert sorted(set(tracked) - names) == []
    assert "PKG-INFO" in names
    assert not [n for n in names if n.startswith((".mesonpy", "build")) or "/__pycache__/" in n]


def test_wheel_holds_module_and_stub(dists):
    _, wheel = dists
    with zipfile.ZipFile(wheel) as whl:
        names = set(whl.namelist())
        so = "vantelix" + sysconfig.get_config_var("EXT_SUFFIX")
        dist_info = f"vantelix-{project_version()}.dist-info/"
        assert names == {so, "vantelix.pyi", "vantelix-stubs/__init__.pyi", dist_info + "METADATA",
                         dist_info + "WHEEL", dist_info + "RECORD"}
        assert whl.read("vantelix.pyi") == STUB.read_bytes()
        assert whl.read("vantelix-stubs/__init__.pyi") == STUB.read_bytes()
        metadata = whl.read(dist_info + "METADATA").decode()
    assert re.search(r"^Name: vantelix$", metadata, re.M)
    assert re.search(rf"^Version: {re.escape(project_version())}$", metadata, re.M)
    assert re.search(r"^Requires-Python: >=3\.11$", metadata, re.M)


def test_tour_runs_from_the_installed_wheel(venv_python, tmp_path):
    where = run([str(venv_python), "-c", "import vantelix; print(vantelix.__file__)"],
                env=clean_env(), cwd=tmp_path).stdout.strip()
    assert Path(where).is_relative_to(venv_python.parent.parent), where
    tour = str(ROOT / "examples" / "tour.py")
    installed = run([str(venv_python), tour], env=clean_env(), cwd=tmp_path).stdout
    built = run([sys.executable, tour], env=clean_env(PYTHONPATH=MODULE_DIR), cwd=tmp_path).stdout
    assert installed == built
    assert "Node(catalog)" in installed and "malformed XML at byte" in installed


def test_mypy_finds_the_installed_stub(venv_python, tmp_path):
    example = ROOT / "tests" / "typing" / "example.py"
    proc = subprocess.run(
        [str(venv_python), "-m", "mypy", "--strict", "--no-incremental", str(example)],
        capture_output=True, text=True, env=clean_env(), cwd=tmp_path, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    run([str(venv_python), str(example)], env=clean_env(), cwd=tmp_path)
