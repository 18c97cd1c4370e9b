"""Shared fixtures: concurrency stress and running code in a child interpreter."""
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from hypothesis import HealthCheck, settings

import vantelix

# Generated cases are the same on every run, so a failure seen once is seen again.
settings.register_profile(
    "vantelix", derandomize=True, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
settings.load_profile("vantelix")

CORPUS = os.path.join(os.path.dirname(__file__), "..", "..", "shared", "corpus")


def corpus_path(name):
    """Path of a real document from the shared corpus, or skip when the corpus is absent."""
    path = os.path.normpath(os.path.join(CORPUS, name))
    if not os.path.exists(path):
        pytest.skip(f"corpus file {name} not available")
    return path


def run_concurrently(workers, *, seconds=2.0, switch_interval=1e-5):
    """Runs every worker in its own thread, repeatedly, until the deadline; re-raises failures."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(switch_interval)
    barrier = threading.Barrier(len(workers))
    errors, counts = [], [0] * len(workers)
    deadline = time.monotonic() + seconds

    def body(i, fn):
        try:
            barrier.wait(timeout=10)
            while time.monotonic() < deadline:
                fn()
                counts[i] += 1
        except BaseException as e:  # collected, reported below
            errors.append((i, e))

    threads = [threading.Thread(target=body, args=(i, f), daemon=True) for i, f in enumerate(workers)]
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=seconds + 30)
    finally:
        sys.setswitchinterval(old)
    assert not [t for t in threads if t.is_alive()], "hung"
    assert not errors, errors
    assert all(counts), counts
    return counts


@pytest.fixture
def concurrently():
    return run_concurrently


# CPython 3.13 frees nested containers by plain recursion down to its C recursion limit (about
# 10,000 levels) before its trashcan defers the rest, and 10,000 levels of dict and list
# deallocation need more than 256 KiB of stack: a million-deep dict built in plain Python crashes
# a thread of that size when it is dropped. The dicts that to_dict makes are such dicts, so small
# stack children take them apart top-down, leaving only vantelix's own work to run deep.
FREE_DICT_CHAIN = """\
def free_dict_chain(d):
    stack = [d]
    while stack:
        item = stack.pop()
        if isinstance(item, dict) and isinstance(item.get("children"), list):
            stack += item["children"]
            item["children"] = []
"""


def run_child(code, *, timeout=300, stack_kib=None):
    """Runs `code` in a fresh interpreter that imports the same vantelix; returns the result.

    With `stack_kib`, the code runs in a thread with that native stack size, so anything that
    recurses once per nesting level overflows quickly instead of passing on a large main stack;
    there `free_dict_chain(d)` drops a deep to_dict result without recursing.
    """
    body = textwrap.dedent(code)
    if stack_kib:
        body = (
            "import threading, sys\n"
            + FREE_DICT_CHAIN
            + f"threading.stack_size({stack_kib} * 1024)\n"
            "_failure = []\n"
            "def _main():\n"
            "    try:\n"
            + textwrap.indent(body, "        ")
            + "\n    except BaseException as e:\n        _failure.append(e)\n"
            "_t = threading.Thread(target=_main); _t.start(); _t.join()\n"
            "if _failure: raise _failure[0]\n"
        )
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(vantelix.__file__)] + [p for p in sys.path if p]
    )
    return subprocess.run(
        [sys.executable, "-c", body], capture_output=True, text=True, timeout=timeout, env=env
    )


@pytest.fixture
def child():
    return run_child


def node_trees(strings, *, leaf_attrs, attrs, children, leaves):
    """A hypothesis strategy of Node trees whose names, attribute keys and values and texts are
    drawn from `strings`; inner nodes take up to `attrs` attributes and `children` children."""
    from hypothesis import strategies as st
    from vantelix import Node
    return st.recursive(
        st.builds(Node, strings, st.dictionaries(strings, strings, max_size=leaf_attrs), st.none(),
                  st.none() | strings),
        lambda kids: st.builds(Node, strings, st.dictionaries(strings, strings, max_size=attrs),
                               st.lists(kids, max_size=children), st.none() | strings),
        max_leaves=leaves)
