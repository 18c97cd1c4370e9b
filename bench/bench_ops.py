"""Tree operations against their usual Python peers, on the benchmark corpus.

  search_by_name        vs  list(root.iter(tag)) of xml.etree.ElementTree and of lxml
  read_string().to_dict vs  xmltodict.parse of the same text
  Node.from_dict(d)     vs  rebuilding the same tree with Node(...) calls from Python

Run:  PYTHONPATH=<build>/src /usr/bin/python3 bench/bench_ops.py [--quick] [--repeat N]

`measure()` returns the figures as rows (see common.result) for bench/report.py.

While vantelix.read_string is not available the vantelix trees are built from an ElementTree
parse and to_dict is timed on its own; once read_string works it is used, and the to_dict row
then includes the parse, like xmltodict.
"""
import argparse
import collections
import os
import sys
import time
import xml.etree.ElementTree as ET

import lxml.etree
import xmltodict

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
from common import median_seconds  # noqa: E402
from corpus import documents  # noqa: E402

import vantelix  # noqa: E402
from vantelix import Node  # noqa: E402

XML_NS = "{http://www.w3.org/XML/1998/namespace}"
TARGETS = {"search": 2.0, "to_dict": 10.0, "from_dict": 1.0}


def local_name(tag):
    """ElementTree's "{uri}name" as the name written in the document (prefixes are not kept,
    which only matters for default namespaces in this corpus)."""
    if tag.startswith(XML_NS):
        return "xml:" + tag[len(XML_NS):]
    return tag.rsplit("}", 1)[-1]


def node_from_etree(root):
    """The vantelix tree of an ElementTree element, built children first without recursion.
    The text follows the reader's rule: all direct character data, stripped, None when empty."""
    built = {}
    stack = [(root, False)]
    while stack:
        el, expanded = stack.pop()
        if not expanded:
            stack.append((el, True))
            stack.extend((c, False) for c in reversed(el))
            continue
        text = ((el.text or "") + "".join(c.tail or "" for c in el)).strip() or None
        attrs = {local_name(k): v for k, v in el.attrib.items()}
        built[id(el)] = Node(local_name(el.tag), attrs, [built.pop(id(c)) for c in el], text)
    return built.pop(id(root))


def read_string_works():
    try:
        vantelix.read_string("<a/>", "a")
        return True
    except NotImplementedError:
        return False


def node_from_dict_in_python(d):
    """The peer of Node.from_dict: the same tree from the same dict, one Node(...) call per node."""
    built = []
    stack = [(d, False)]
    while stack:
        item, expanded = stack.pop()
        if not expanded:
            stack.append((item, True))
            stack.extend((c, False) for c in reversed(item["children"]))
            continue
        n = len(item["children"])
        children = built[len(built) - n:] if n else []
        del built[len(built) - n:]
        built.append(Node(item["name"], item["attrs"], children, item.get("text")))
    return built[0]


def most_common_tag(root):
    counts = collections.Counter(el.tag for el in root.iter())
    counts.pop(root.tag, None)
    return counts.most_common(1)[0] if counts else (root.tag, 1)


def per_call(fn, repeat, min_sample=0.02, budget=None):
    """Median seconds per call. Fast calls are batched so that one sample lasts at least
    `min_sample`, which keeps timer resolution and scheduler noise out of short operations
    (each call's result is dropped before the next, see calls).
    The first call is the warm-up; `budget` (seconds) cuts the repeats of slow calls, and a
    first call longer than the budget is the measurement."""
    number, t0 = 1, time.perf_counter()
    fn()
    elapsed = time.perf_counter() - t0
    if budget is not None and elapsed >= budget:
        return elapsed  # slow calls gain little from a warm-up
    if elapsed < min_sample:
        number = max(1, int(min_sample / max(elapsed, 1e-7)))
    return median_seconds(lambda: calls(fn, number), repeat, budget=budget,
                          warm=number > 1, spent=elapsed) / number


def calls(fn, number):
    """`number` calls, each result dropped before the next call, as a program that uses a result
    and lets it go would. Keeping the whole batch alive instead would time the page faults of
    hundreds of results held at once, not the operation."""
    for _ in range(number):
        fn()


def ratio(peer, ours):
    return peer / ours if ours > 0 else float("inf")


def ms(seconds):
    return f"{seconds * 1e3:.2f}"


def bench_document(name, path, root_tag, repeat, use_reader, rows, budget=None):
    """Appends the rows of one document (see common.result): search_by_name against the iter()
    of both peers, to_dict against xmltodict.parse, from_dict against a Python rebuild."""
    size = os.path.getsize(path)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    et_root = ET.fromstring(text)
    lx_root = lxml.etree.fromstring(text.encode("utf-8"))
    if et_root.tag.rsplit("}", 1)[-1] != root_tag:
        et_root = next(el for el in et_root.iter() if local_name(el.tag) == root_tag)
        lx_root = next(el for el in lx_root.iter() if lxml.etree.QName(el).localname == root_tag)
    tree = vantelix.read_string(text, root_tag) if use_reader else node_from_etree(et_root)

    def add(operation, library, seconds, call, **extra):
        rows.append(common.result(name, size, operation, library, seconds, call=call, **extra))

    # Search: the most frequent tag below the root.
    tag, hits = most_common_tag(et_root)
    wanted = local_name(tag)
    assert len(tree.search_by_name(wanted)) == hits == len(list(lx_root.iter(tag)))
    add("search_by_name", "vantelix", per_call(lambda: tree.search_by_name(wanted), repeat, budget=budget),
        f"search_by_name({wanted!r}) [{hits}]", hits=hits)
    add("search_by_name", "ElementTree", per_call(lambda: list(et_root.iter(tag)), repeat, budget=budget),
        "ElementTree iter", hits=hits)
    add("search_by_name", "lxml", per_call(lambda: list(lx_root.iter(tag)), repeat, budget=budget), "lxml iter",
        hits=hits)

    # to_dict, with the parse when the reader is there.
    if use_reader:
        ours = per_call(lambda: vantelix.read_string(text, root_tag).to_dict(), repeat, budget=budget)
        label = "read_string().to_dict()"
    else:
        ours = per_call(tree.to_dict, repeat, budget=budget)
        label = "to_dict() (parse not included)"
    add("to_dict", "vantelix", ours, label)
    add("to_dict", "xmltodict", per_call(lambda: xmltodict.parse(text), max(1, repeat // 2), budget=budget),
        "xmltodict.parse")

    # from_dict against the same rebuild written in Python.
    d = tree.to_dict()
    add("from_dict", "vantelix", per_call(lambda: Node.from_dict(d), repeat, budget=budget), "Node.from_dict(d)")
    add("from_dict", "Python", per_call(lambda: node_from_dict_in_python(d), repeat, budget=budget),
        "Node(...) from Python")


PEERS = {"search_by_name": ("ElementTree", "lxml"), "to_dict": ("xmltodict",), "from_dict": ("Python",)}
TARGET_OF = {"search_by_name": "search", "to_dict": "to_dict", "from_dict": "from_dict"}


def measure(quick=False, repeat=5, include_generated=None, log=None, budget=None):
    """Rows for every document (the real files only with `quick`, unless include_generated says);
    `budget` caps the seconds spent on one figure (at least a warm-up and one timed call)."""
    if include_generated is None:
        include_generated = not quick
    use_reader = read_string_works()
    rows = []
    for name, path, root_tag in documents(include_generated=include_generated):
        bench_document(name, path, root_tag, repeat, use_reader, rows, budget)
        if log:
            log(f"ops: done {name}")
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="only the real files, no generated ones")
    parser.add_argument("--repeat", type=int, default=5, help="timed runs per measurement (median)")
    args = parser.parse_args()

    use_reader = read_string_works()
    print(f"vantelix trees from: {'read_string' if use_reader else 'an ElementTree parse (read_string not available)'}")
    rows = measure(args.quick, args.repeat)
    by = common.index_rows(rows)
    table = []
    for name, _size in common.documents_of(rows):
        for operation, peers in PEERS.items():
            ours = by[name, operation, "vantelix"]
            sign = ">" if operation == "from_dict" else ">="
            for peer in peers:
                theirs = by[name, operation, peer]
                table.append([name, ours["call"], ms(ours["seconds"]), theirs["call"], ms(theirs["seconds"]),
                              f"{ratio(theirs['seconds'], ours['seconds']):.1f}x",
                              f"{sign} {TARGETS[TARGET_OF[operation]]:g}x"])
    print("times in ms (median); ratio = peer time / vantelix time\n")
    print(common.table(table, ["document", "vantelix operation", "ms", "peer", "peer ms", "ratio", "target"]))


if __name__ == "__main__":
    main()
