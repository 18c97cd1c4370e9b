"""examples/dask_corpus.py: Node trees and to_dict results handed back by Dask worker processes."""
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

# Debian's Dask comes from its dist-packages, which every interpreter here is given; on the
# interpreters Debian does not build for, its typing_extensions fails at import, so any failure
# to import means Dask is not usable here.
try:
    import dask  # noqa: F401
    import distributed  # noqa: F401
except Exception as exc:  # noqa: BLE001
    pytest.skip(f"Dask is not usable on this interpreter (Debian: python3-dask, python3-distributed): "
                f"{type(exc).__name__}: {exc}", allow_module_level=True)
from distributed import as_completed  # noqa: E402

import vantelix  # noqa: E402

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
import dask_corpus  # noqa: E402

FILES = 12


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """XML files of various shapes: attributes, non-ASCII text, shared names, some depth."""
    d = tmp_path_factory.mktemp("corpus")
    for i in range(FILES):
        items = "".join(
            f'<item id="{i}-{j}" kind="{"ab"[j % 2]}"><name>naïve {j} ☃</name>'
            f'<deep>{"<d>" * (j % 5)}{j}{"</d>" * (j % 5)}</deep>{"<empty/>" if j % 3 else ""}</item>'
            for j in range(40 + i * 7))
        (d / f"file{i:02}.xml").write_text(
            f'<?xml version="1.0"?>\n<!-- file {i} -->\n<doc n="{i}">{items}<note>&amp; {i}</note></doc>',
            encoding="utf-8")
    (d / "ignored.txt").write_text("<doc/>")
    return d


@pytest.fixture(scope="module")
def workers_find_the_examples():
    """Worker processes start fresh interpreters: they find vantelix and the example's module
    through PYTHONPATH, as the client does through sys.path."""
    old = os.environ.get("PYTHONPATH")
    parts = [str(EXAMPLES), os.path.dirname(vantelix.__file__)] + ([old] if old else [])
    os.environ["PYTHONPATH"] = os.pathsep.join(parts)
    yield
    if old is None:
        del os.environ["PYTHONPATH"]
    else:
        os.environ["PYTHONPATH"] = old


@pytest.fixture
def cluster(workers_find_the_examples):
    cluster, client = dask_corpus.start_cluster(2)
    yield client
    client.close()
    cluster.close()


def single(corpus):
    return [dask_corpus.comparable(r)
            for r in dask_corpus.run_single(dask_corpus.xml_files(corpus), "doc", "name")]


def test_results_equal_a_single_process_run(cluster, corpus):
    paths = dask_corpus.xml_files(corpus)
    results = cluster.gather(dask_corpus.submit_all(cluster, paths, "doc", "name"))
    assert len(results) == FILES
    assert [dask_corpus.comparable(r) for r in results] == single(corpus)
    assert {r["pid"] for r in results} <= set(cluster.run(os.getpid).values())
    assert os.getpid() not in {r["pid"] for r in results}
    for r in results:  # each Node travels on its own: the matches are copies of the tree's nodes
        assert type(r["tree"]) is vantelix.Node and r["found"]
        assert ([vantelix.write_string(n) for n in r["found"]]
                == [vantelix.write_string(n) for n in r["tree"].search_by_name("name")])


def test_killing_a_worker_mid_run_still_completes(cluster, corpus):
    paths = dask_corpus.xml_files(corpus)
    # 12 tasks of at least 0.4 s on 2 single-threaded workers: when the first result is in,
    # both workers are busy and most tasks are still to run.
    futures = dask_corpus.submit_all(cluster, paths, "doc", "name", pause=0.4)
    first = next(as_completed(futures))
    done_before = sum(f.done() for f in futures)
    victim = first.result()["pid"]  # this worker is busy with its next task now
    assert victim in cluster.run(os.getpid).values()
    os.kill(victim, signal.SIGKILL)
    results = cluster.gather(futures)
    assert done_before < FILES
    assert [dask_corpus.comparable(r) for r in results] == single(corpus)
    # Results held by the killed worker were lost with it and computed again elsewhere, the
    # first one included: none of the results comes from that process.
    assert victim not in {r["pid"] for r in results}
    deadline = time.monotonic() + 30
    while victim in cluster.run(os.getpid).values() and time.monotonic() < deadline:
        time.sleep(0.2)
    assert victim not in cluster.run(os.getpid).values()


def test_example_runs_as_a_script(corpus, workers_find_the_examples):
    out = subprocess.run([sys.executable, str(EXAMPLES / "dask_corpus.py"), str(corpus), "doc", "item"],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-3000:]
    total = sum(40 + i * 7 for i in range(FILES))
    assert f"{FILES} files, {total} <item> found by 2 worker processes" in out.stdout
    assert "same as one process: True" in out.stdout


@pytest.fixture(scope="module")
def large_file(tmp_path_factory):
    """One file of many elements, a few of them without matches, one matching twice."""
    path = tmp_path_factory.mktemp("large") / "dump.xml"
    pages = "".join(
        f'<page id="{i}"><title>t{i} ☃</title>'
        f'{"" if i % 7 == 0 else "<ref>r" + str(i) + "</ref>"}{"<ref>again</ref>" if i == 5 else ""}</page>'
        for i in range(1003))
    path.write_text(f'<?xml version="1.0"?>\n<dump><meta/>{pages}</dump>', encoding="utf-8")
    return path


@pytest.mark.parametrize("size", [1, 100, 1003, 5000])
def test_one_large_file_split_into_batches(cluster, large_file, size):
    batches = list(dask_corpus.element_batches(large_file, "page", size))
    assert [len(b.children) for b in batches][:-1] == [size] * (len(batches) - 1)
    assert sum(len(b.children) for b in batches) == 1003
    results = dask_corpus.search_split(cluster, large_file, "page", "ref", size)
    assert results == dask_corpus.search_split_single(large_file, "page", "ref")
    assert len(results) == 1003 and results[5][1]["text"] == "again" and results[7] == []
    assert results[1002] == [{"name": "ref", "attrs": {}, "children": [], "text": "r1002"}]


def test_split_example_runs_as_a_script(large_file, workers_find_the_examples):
    out = subprocess.run([sys.executable, str(EXAMPLES / "dask_corpus.py"), str(large_file), "page", "ref",
                          "--split", "--batch", "250"], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-3000:]
    found = 1003 - len(range(0, 1003, 7)) + 1
    assert f"1003 <page> elements in batches of 250, {found} <ref> found" in out.stdout
    assert "same as one process: True" in out.stdout
