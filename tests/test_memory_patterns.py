"""Resident memory of trees kept and dropped the way programs do it: many small trees, one child
of each, a tree per thread, a large read, and what the process keeps after the drop. Each case
runs in a fresh interpreter so that no other test's memory moves the figures."""
import json
import os

import pytest

from conftest import run_child

# The address sanitizer holds freed memory in quarantine and shadows every byte, so resident
# figures under it say nothing of the module's own.
pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="resident memory is the sanitizer's under it")

PRELUDE = r"""
import gc, json, os, threading
import vantelix
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
def tiny(i):
    return f'<r id="{i}"><a>x{i}</a></r>'
def doc6k(i):
    return f'<doc n="{i}">' + "".join(
        f'<item id="{i}-{k}" kind="k{k % 7}"><name>name {i} {k}</name><value>{k}</value></item>'
        for k in range(60)) + "</doc>"
"""

MB = 1 << 20


def growth(body, setup=""):
    """RSS growth in MB over `body`, measured in a child interpreter after `setup`."""
    code = (PRELUDE + setup + "\ngc.collect()\nbase = rss()\n" + body
            + "\ngc.collect()\nprint(json.dumps((rss() - base) / %d))\n" % MB)
    done = run_child(code)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_a_thousand_kept_tiny_trees_cost_what_they_hold():
    assert growth('kept = [vantelix.read_string(tiny(i), "r") for i in range(1000)]') < 64


def test_kept_small_documents_cost_about_their_nodes_and_text():
    # 300 documents of 6 KB: about 2 MB of text and 60,000 nodes.
    assert growth('kept = [vantelix.read_string(doc6k(i), "doc") for i in range(300)]') < 64


def test_a_kept_child_costs_itself_and_its_document_text():
    body = 'kept = [vantelix.read_string(doc6k(i), "doc").children[30] for i in range(300)]'
    assert growth(body) < 32


def test_a_tree_kept_from_each_of_fifty_threads_costs_fifty_trees():
    body = """
kept = [None] * 50
def work(n):
    kept[n] = vantelix.read_string(doc6k(n), "doc")
threads = [threading.Thread(target=work, args=(n,)) for n in range(50)]
for t in threads: t.start()
for t in threads: t.join()
assert all(k.attrs == {"n": str(n)} for n, k in enumerate(kept))
"""
    assert growth(body) < 32


@pytest.mark.parametrize("body", [
    # a thousand tiny trees, kept together, then dropped
    'kept = [vantelix.read_string(tiny(i), "r") for i in range(1000)]\ndel kept',
    # small documents read and dropped on two threads at once
    """
def work(n):
    kept = [vantelix.read_string(doc6k(i), "doc") for i in range(1000)]
threads = [threading.Thread(target=work, args=(n,)) for n in range(2)]
for t in threads: t.start()
for t in threads: t.join()
""",
], ids=["tiny-trees", "two-threads"])
def test_memory_of_dropped_small_trees_goes_back(body):
    assert growth(body) < 64


def test_memory_of_a_dropped_large_tree_goes_back():
    # About 20 MB of elements of six attributes each, read three times over.
    setup = """
text = "<entries>" + "".join(
    f'<entry id="e{i}" code="c{i % 997}" name="n{i}" kind="k{i % 5}" ref="r{i}" group="g"/>'
    for i in range(250000)) + "</entries>"
"""
    body = """
for _ in range(3):
    tree = vantelix.read_string(text, "entries")
    assert len(tree.children) == 250000
    del tree
"""
    assert growth(body, setup) < 24
