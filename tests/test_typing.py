"""The type stub src/vantelix.pyi: mypy --strict accepts the typed example and rejects the
mistakes in tests/typing/rejected.py, and the stub names and signatures match the compiled module."""
import ast
import builtins
import inspect
import os
import re
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

import vantelix

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "src" / "vantelix.pyi"
TYPING = Path(__file__).resolve().parent / "typing"
EXAMPLE = TYPING / "example.py"
REJECTED = TYPING / "rejected.py"
MODULE_DIR = str(Path(vantelix.__file__).resolve().parent)

ADDED_FUNCTIONS = {"read_bytes", "iter_elements"}


def mypy_problem():
    """Why mypy cannot run under this interpreter, or None when it can."""
    proc = subprocess.run([sys.executable, "-m", "mypy", "--version"], capture_output=True, text=True)
    if proc.returncode == 0:
        return None
    last = (proc.stderr.strip().splitlines() or ["no output"])[-1]
    return (f"mypy does not run on Python {sys.version_info[0]}.{sys.version_info[1]} "
            f"(Debian's mypy and typing_extensions are made for its 3.11): {last}")


MYPY_PROBLEM = mypy_problem()
needs_mypy = pytest.mark.skipif(MYPY_PROBLEM is not None, reason=str(MYPY_PROBLEM))

MARK = re.compile(r"#\s*reject:\s*(?P<code>[a-z-]+)\s+(?P<exc>\w+|-)\s*$")


def rejected_lines():
    """(line number, statement, mypy error code, exception name or None) per marked line."""
    out = []
    for number, line in enumerate(REJECTED.read_text().splitlines(), 1):
        m = MARK.search(line)
        if m:
            exc = None if m["exc"] == "-" else m["exc"]
            out.append((number, line[: m.start()].strip(), m["code"], exc))
    return out


REJECTED_LINES = rejected_lines()


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """Runs mypy --strict once over both scripts; maps (file name, line) to the error codes."""
    if MYPY_PROBLEM:
        pytest.skip(MYPY_PROBLEM)
    env = dict(os.environ, MYPYPATH=str(STUB.parent))
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--show-error-codes", "--no-error-summary",
         "--cache-dir", str(tmp_path_factory.mktemp("mypy-cache")), str(EXAMPLE), str(REJECTED)],
        capture_output=True, text=True, env=env, cwd=ROOT, timeout=300)
    # 2 means mypy itself failed; a traceback means it crashed
    assert proc.returncode in (0, 1) and "Traceback" not in proc.stderr, proc.stderr + proc.stdout
    errors = {}
    for line in proc.stdout.splitlines():
        m = re.match(r"(?P<file>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[a-z-]+)\]$", line)
        if m:
            errors.setdefault((Path(m["file"]).name, int(m["line"])), []).append(m["code"])
        else:
            assert ": note: " in line, f"unexpected mypy output: {line}"
    return errors


def test_example_type_checks(mypy_errors):
    assert {k: v for k, v in mypy_errors.items() if k[0] == EXAMPLE.name} == {}


def test_example_runs(capsys):
    runpy.run_path(str(EXAMPLE), run_name="__main__")
    assert capsys.readouterr().out == "ok\n"


def test_rejected_has_no_other_errors(mypy_errors):
    marked = {number for number, *_ in REJECTED_LINES}
    extra = {k: v for k, v in mypy_errors.items() if k[0] == REJECTED.name and k[1] not in marked}
    assert extra == {}


@pytest.mark.parametrize("number,statement,code,exc", REJECTED_LINES,
                         ids=[f"line{n}" for n, *_ in REJECTED_LINES])
def test_mypy_rejects(mypy_errors, number, statement, code, exc):
    assert mypy_errors.get((REJECTED.name, number)) == [code], statement


@pytest.mark.parametrize("number,statement,code,exc", REJECTED_LINES,
                         ids=[f"line{n}" for n, *_ in REJECTED_LINES])
def test_rejected_lines_at_runtime(tmp_path, monkeypatch, number, statement, code, exc):
    """What the stub refuses, the module refuses too (except a merely unsafe Optional use)."""
    monkeypatch.chdir(tmp_path)  # the file calls must not leave anything behind
    setup = [line for line in REJECTED.read_text().splitlines()
             if line and not line.startswith(" ") and not line.startswith("#") and not MARK.search(line)]
    namespace = {}
    exec("\n".join(setup), namespace)
    if exc is None:
        exec(statement, namespace)
    else:
        with pytest.raises(getattr(builtins, exc)):
            exec(statement, namespace)
    assert list(tmp_path.iterdir()) == []


# Stub against runtime, without mypy: names, member kinds and parameter lists.

def _signature_of_args(args, drop_first):
    """The inspect.Signature of an ast arguments node, annotations dropped."""
    args = ast.arguments(
        posonlyargs=[ast.arg(a.arg) for a in args.posonlyargs],
        args=[ast.arg(a.arg) for a in args.args],
        vararg=args.vararg and ast.arg(args.vararg.arg),
        kwonlyargs=[ast.arg(a.arg) for a in args.kwonlyargs],
        kw_defaults=args.kw_defaults, kwarg=args.kwarg and ast.arg(args.kwarg.arg),
        defaults=args.defaults)
    fn = ast.FunctionDef(name="f", args=args, body=[ast.Pass()], decorator_list=[], lineno=1)
    namespace = {}
    exec(ast.unparse(ast.fix_missing_locations(ast.Module([fn], type_ignores=[]))), namespace)
    return _params(inspect.signature(namespace["f"]), drop_first)


def _signature_of_text(text_signature):
    """The parameters a __text_signature__ such as '($self, name, depth=None)' describes."""
    bound = text_signature.startswith("($")
    namespace = {}
    exec(f"def f{text_signature.replace('$', '')}: pass", namespace)
    return _params(inspect.signature(namespace["f"]), bound)


def _params(signature, drop_first):
    params = list(signature.parameters.values())[1 if drop_first else 0:]
    return [(p.name, p.kind.name, p.default) for p in params]


def _decorators(fn):
    return {d.id for d in fn.decorator_list if isinstance(d, ast.Name)}


def _refuses_every_call(defs):
    """A constructor whose required parameter is Never: the stub's way to say 'not callable'."""
    return all(any(a.annotation is not None and ast.unparse(a.annotation) == "Never"
                   for a in fn.args.posonlyargs + fn.args.args) for fn in defs)


def stub_mismatches(source, module):
    """Every difference found between a stub's text and the runtime module, as messages."""
    tree = ast.parse(source)
    problems = []
    top = {}
    stub_all = None
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            top[node.name] = node
        elif isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["__all__"]:
            stub_all = ast.literal_eval(node.value)
    if stub_all != list(module.__all__):
        problems.append(f"__all__: stub {stub_all}, runtime {module.__all__}")
    public_stub = {name for name in top if not name.startswith("_")}
    public_runtime = {name for name in dir(module) if not name.startswith("_")}
    if public_stub != public_runtime:
        problems.append(f"public names: stub only {sorted(public_stub - public_runtime)}, "
                        f"runtime only {sorted(public_runtime - public_stub)}")

    def compare(where, defs, runtime_obj, drop_first):
        text = getattr(runtime_obj, "__text_signature__", None)
        if text is None:
            return
        want = _signature_of_text(text)
        for fn in defs:
            got = _signature_of_args(fn.args, drop_first)
            if got != want:
                problems.append(f"{where}: stub {got}, runtime {want}")

    for name in public_stub & public_runtime:
        node, runtime_obj = top[name], getattr(module, name)
        if isinstance(node, ast.FunctionDef):
            compare(name, [node], runtime_obj, drop_first=False)
            continue
        members = {}
        for item in node.body:
            if isinstance(item, ast.FunctionDef):
                members.setdefault(item.name, []).append(item)
            elif isinstance(item, ast.AnnAssign):
                members[item.target.id] = item
        runtime_members = {k: v for k, v in vars(runtime_obj).items() if k not in ("__doc__", "__module__")}
        for member, stub_item in members.items():
            where = f"{name}.{member}"
            if member not in runtime_members:
                if member == "__new__" and _refuses_every_call(stub_item):
                    try:
                        runtime_obj()
                        problems.append(f"{where}: the stub refuses a call that runtime accepts")
                    except TypeError:
                        pass
                else:
                    problems.append(f"{where}: missing at runtime")
                continue
            raw = runtime_members[member]
            if isinstance(stub_item, ast.AnnAssign):
                kind = ast.unparse(stub_item.annotation)
                if kind == f"Final[{name}]" and not isinstance(raw, runtime_obj):
                    problems.append(f"{where}: runtime value is not a {name}")
                if kind == "ClassVar[None]" and raw is not None:
                    problems.append(f"{where}: runtime value is not None")
                continue
            decorators = set().union(*(_decorators(fn) for fn in stub_item))
            if ("property" in decorators) != (type(raw).__name__ == "getset_descriptor"):
                problems.append(f"{where}: property in one, not in the other")
            if ("classmethod" in decorators) != (type(raw).__name__ == "classmethod_descriptor"):
                problems.append(f"{where}: class method in one, not in the other")
            real = [fn for fn in stub_item if "overload" in _decorators(fn)] or stub_item
            if member == "__new__":  # the class's own text signature describes the constructor
                compare(where, real, runtime_obj, drop_first=True)
            elif "property" not in decorators:
                compare(where, real, getattr(runtime_obj, member), drop_first=True)
        # Slots inherited from object with the same types (__repr__, __str__, and the orderings
        # SearchType answers NotImplemented for) need no entry; everything else does.
        for member in runtime_members:
            if member not in members and not (member.startswith("__") and member.endswith("__")):
                problems.append(f"{name}.{member}: missing from the stub")
    return problems


def test_stub_matches_runtime():
    assert stub_mismatches(STUB.read_text(), vantelix) == []


def test_stub_all_matches_runtime():
    tree = ast.parse(STUB.read_text())
    (stub_all,) = [ast.literal_eval(n.value) for n in tree.body
                   if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"]
    assert stub_all == vantelix.__all__
    public = {n for n in dir(vantelix) if not n.startswith("_")}
    # Functions added beside the six names are public but stay out of __all__.
    assert public - set(stub_all) == ADDED_FUNCTIONS
    assert set(stub_all) <= public


@pytest.mark.parametrize("old,new", [
    ("def search_by_attr(self, key: str", "def search_by_attr(self, attr: str"),
    ("def write_string(\n    node: Node, indent: SupportsIndex | None = None",
     "def write_string(\n    node: Node, indent: SupportsIndex | None = 4"),
    ("def read_file(file_path: str, root_tag", "def read_file(file_path: str, /, root_tag"),
    ("def read_string(xml_string: str, root_tag: str)", "def read_string(xml_string: str, *, root_tag: str)"),
    ("    def to_dict(self) -> _NodeDict: ...\n", ""),
    ("    @property\n    def text(", "    def text("),
    ("    Attr: Final[SearchType]", "    Other: Final[SearchType]"),
    ("        children: Sequence[Node] | None = None,\n", ""),
    ("def from_dict(cls, dict_: _NodeDict)", "def from_dict(cls, d: _NodeDict)"),
    ("def read_string(", "def parse(xml_string: str) -> Node: ...\ndef read_string("),
    ('"write_file", "write_string"]', '"write_string", "write_file"]'),
    ("def __new__(cls, _: Never, /) -> SearchType", "def __new__(cls) -> SearchType"),
], ids=["param-name", "default", "positional-only", "keyword-only", "missing-method",
        "not-a-property", "member-name", "missing-param", "classmethod-param", "extra-function",
        "all-order", "callable-class"])
def test_stub_comparison_finds_mismatch(old, new):
    source = STUB.read_text()
    assert old in source
    assert stub_mismatches(source.replace(old, new, 1), vantelix) != []


@needs_mypy
def test_stubtest_agrees(tmp_path):
    """mypy's own stub checker, run against the compiled module."""
    env = dict(os.environ, MYPYPATH=str(STUB.parent), PYTHONPATH=MODULE_DIR)
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--allowlist", str(TYPING / "stubtest_allowlist.txt"),
         "vantelix"],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
