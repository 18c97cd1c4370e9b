"""Tree operations against their usual Python peers, on the benchmark corpus.

  search_by_name        vs  list(root.iter(tag)) of xml.etree.ElementTree and of lxml
  read_string().to_dict vs  xmltodict.parse of the same text
  Node.from_dict(d)     vs  rebuilding the same tree with Node(...) calls from Python

Run:  PYTHONPATH=<build>/src /usr/bin/python3 bench/bench_ops.py [--quick] [--repeat N]

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
from common import median_seconds, table  # noqa: E402
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


def per_call(fn, repeat, min_sample=0.02):
    """Median seconds per call. Fast calls are batched so that one sample lasts at least
    `min_sample`, which keeps timer resolution and scheduler noise out of short operations."""
    number, t0 = 1, time.perf_counter()
    fn()
    elapsed = time.perf_counter() - t0
    if elapsed < min_sample:
        number = max(1, int(min_sample / max(elapsed, 1e-7)))
    return median_seconds(lambda: [fn() for _ in range(number)], repeat) / number


def ratio(peer, ours):
    return peer / ours if ours > 0 else float("inf")


def ms(seconds):
    return f"{seconds * 1e3:.2f}"


def bench_document(name, path, root_tag, repeat, use_reader, rows):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    et_root = ET.fromstring(text)
    lx_root = lxml.etree.fromstring(text.encode("utf-8"))
    if et_root.tag.rsplit("}", 1)[-1] != root_tag:
        et_root = next(el for el in et_root.iter() if local_name(el.tag) == root_tag)
        lx_root = next(el for el in lx_root.iter() if lxml.etree.QName(el).localname == root_tag)
    tree = vantelix.read_string(text, root_tag) if use_reader else node_from_etree(et_root)

    # Search: the most frequent tag below the root.
    tag, hits = most_common_tag(et_root)
    wanted = local_name(tag)
    assert len(tree.search_by_name(wanted)) == hits == len(list(lx_root.iter(tag)))
    ours = per_call(lambda: tree.search_by_name(wanted), repeat)
    for peer, fn in (("ElementTree iter", lambda: list(et_root.iter(tag))),
                     ("lxml iter", lambda: list(lx_root.iter(tag)))):
        t = per_call(fn, repeat)
        rows.append([name, f"search_by_name({wanted!r}) [{hits}]", ms(ours), peer, ms(t),
                     f"{ratio(t, ours):.1f}x", f">= {TARGETS['search']:g}x"])

    # to_dict, with the parse when the reader is there.
    if use_reader:
        ours = per_call(lambda: vantelix.read_string(text, root_tag).to_dict(), repeat)
        label = "read_string().to_dict()"
    else:
        ours = per_call(tree.to_dict, repeat)
        label = "to_dict() (parse not included)"
    t = per_call(lambda: xmltodict.parse(text), max(1, repeat // 2))
    rows.append([name, label, ms(ours), "xmltodict.parse", ms(t), f"{ratio(t, ours):.1f}x",
                 f">= {TARGETS['to_dict']:g}x"])

    # from_dict against the same rebuild written in Python.
    d = tree.to_dict()
    ours = per_call(lambda: Node.from_dict(d), repeat)
    t = per_call(lambda: node_from_dict_in_python(d), repeat)
    rows.append([name, "Node.from_dict(d)", ms(ours), "Node(...) from Python", ms(t),
                 f"{ratio(t, ours):.1f}x", f"> {TARGETS['from_dict']:g}x"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="only the real files, no generated ones")
    parser.add_argument("--repeat", type=int, default=5, help="timed runs per measurement (median)")
    args = parser.parse_args()

    use_reader = read_string_works()
    print(f"vantelix trees from: {'read_string' if use_reader else 'an ElementTree parse (read_string not available)'}")
    rows = []
    for name, path, root_tag in documents(include_generated=not args.quick):
        bench_document(name, path, root_tag, args.repeat, use_reader, rows)
    print("times in ms (median); ratio = peer time / vantelix time\n")
    print(table(rows, ["document", "vantelix operation", "ms", "peer", "peer ms", "ratio", "target"]))


if __name__ == "__main__":
    main()
