"""Packaging: tools/wheels makes the sdist from the committed tree and, from that sdist, one
wheel per interpreter on the machine (tools/pythons); each wheel installs into a fresh venv of
its own interpreter, where the tour runs, and mypy finds the installed types.

The sdist is made by `meson dist`, which archives the committed tree (HEAD), so uncommitted
changes are not in these packages. Every wheel compiles the module once (about a minute each on
two cores); the tests below share them. They run from Debian's interpreter only, whose build
frontend makes the sdist; that one run checks the wheels of every interpreter.
"""
import os
import re
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

import vantelix

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "src" / "vantelix.pyi"
MODULE_DIR = str(Path(vantelix.__file__).resolve().parent)
DEBIAN_PYTHON = "/usr/bin/python3"

if not os.path.samefile(sys.executable, DEBIAN_PYTHON):
    pytest.skip("the packages of every interpreter are built and checked from the run on Debian's "
                "python3, whose build frontend (python3-build) makes the sdist", allow_module_level=True)


def clean_env(**extra):
    """The environment without this test run's PYTHONPATH or the user's site-packages."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH", "PYTHONHOME")}
    env.update(PYTHONNOUSERSITE="1", **extra)
    return env


def run(args, **kwargs):
    proc = subprocess.run(args, capture_output=True, text=True, timeout=1800, **kwargs)
    assert proc.returncode == 0, f"{args} failed:\n{proc.stdout}\n{proc.stderr}"
    return proc


def project_version():
    return re.search(r"version:\s*'([^']+)'", (ROOT / "meson.build").read_text())[1]


INTERPRETERS = dict(line.split(" ", 1) for line in
                    run([str(ROOT / "tools" / "pythons")]).stdout.splitlines())


def ext_suffix(python):
    return run([python, "-c", "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))"],
               env=clean_env()).stdout.strip()


@pytest.fixture(scope="module")
def dists(tmp_path_factory):
    """(sdist, {version: wheel}) as tools/wheels makes them."""
    out = tmp_path_factory.mktemp("dist")
    made = [Path(p) for p in run([str(ROOT / "tools" / "wheels"), str(out)], env=clean_env(),
                                 cwd=ROOT).stdout.split()]
    (sdist,) = [p for p in made if p.name.endswith(".tar.gz")]
    wheels = {}
    for wheel in made:
        tag = re.fullmatch(r"vantelix-[^-]+-cp3(\d+)-cp3\d+-linux_\w+\.whl", wheel.name)
        if tag:
            wheels[f"3.{tag[1]}"] = wheel
    assert sorted(made) == sorted([sdist, *wheels.values()])
    return sdist, wheels


def make_venv(python, wheel, where):
    """A fresh venv of `python` with `wheel` installed; returns its interpreter.

    Debian's venv sees the system site-packages (for mypy and pip); the others get their own pip.
    """
    # A vantelix importable from outside the venv would shadow the wheel's.
    probe = subprocess.run([python, "-c", "import vantelix; print(vantelix.__file__)"],
                           capture_output=True, text=True, env=clean_env(), cwd=where)
    assert probe.returncode != 0, f"vantelix is already installed for {python}: {probe.stdout}"
    venv = where / "venv"
    if python == DEBIAN_PYTHON:
        run([python, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)])
    else:
        run([python, "-m", "venv", str(venv)], env=clean_env())
    venv_python = venv / "bin" / "python"
    run([str(venv_python), "-m", "pip", "install", "--no-index", "--no-deps", "--quiet",
         "--disable-pip-version-check", str(wheel)], env=clean_env())
    return venv_python


@pytest.fixture(scope="module")
def venvs(dists, tmp_path_factory):
    """{version: venv interpreter}, made once per interpreter on first use."""
    made = {}

    def get(version):
        if version not in made:
            made[version] = make_venv(INTERPRETERS[version], dists[1][version],
                                      tmp_path_factory.mktemp(f"venv{version}"))
        return made[version]
    return get


def test_every_interpreter_gets_a_wheel(dists):
    assert sorted(dists[1]) == sorted(INTERPRETERS)
    assert "3.11" in INTERPRETERS


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


@pytest.mark.parametrize("version", sorted(INTERPRETERS))
def test_wheel_holds_module_and_stub(dists, version):
    wheel = dists[1][version]
    with zipfile.ZipFile(wheel) as whl:
        names = set(whl.namelist())
        so = "vantelix" + ext_suffix(INTERPRETERS[version])
        dist_info = f"vantelix-{project_version()}.dist-info/"
        assert names == {so, "vantelix.pyi", "vantelix-stubs/__init__.pyi", dist_info + "METADATA",
                         dist_info + "WHEEL", dist_info + "RECORD"}
        assert whl.read("vantelix.pyi") == STUB.read_bytes()
        assert whl.read("vantelix-stubs/__init__.pyi") == STUB.read_bytes()
        metadata = whl.read(dist_info + "METADATA").decode()
    assert re.search(r"^Name: vantelix$", metadata, re.M)
    assert re.search(rf"^Version: {re.escape(project_version())}$", metadata, re.M)
    assert re.search(r"^Requires-Python: >=3\.11$", metadata, re.M)
    classifiers = set(re.findall(r"^Classifier: Programming Language :: Python :: (3\.\d+)$", metadata, re.M))
    assert classifiers == {"3.11", "3.12", "3.13"}


@pytest.mark.parametrize("version", sorted(INTERPRETERS))
def test_tour_runs_from_the_installed_wheel(venvs, version, tmp_path):
    venv_python = venvs(version)
    where = run([str(venv_python), "-c", "import vantelix; print(vantelix.__file__)"],
                env=clean_env(), cwd=tmp_path).stdout.strip()
    assert Path(where).is_relative_to(venv_python.parent.parent), where
    tour = str(ROOT / "examples" / "tour.py")
    installed = run([str(venv_python), tour], env=clean_env(), cwd=tmp_path).stdout
    built = run([sys.executable, tour], env=clean_env(PYTHONPATH=MODULE_DIR), cwd=tmp_path).stdout
    assert installed == built
    assert "Node(catalog)" in installed and "malformed XML at byte" in installed


def test_mypy_finds_the_installed_stub(venvs, tmp_path):
    venv_python = venvs("3.11")  # Debian's mypy runs on its own interpreter only
    example = ROOT / "tests" / "typing" / "example.py"
    proc = subprocess.run(
        [str(venv_python), "-m", "mypy", "--strict", "--no-incremental", str(example)],
        capture_output=True, text=True, env=clean_env(), cwd=tmp_path, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    run([str(venv_python), str(example)], env=clean_env(), cwd=tmp_path)
