"""Writing benchmark: vantelix.write_string / write_file against ElementTree and lxml.

For every benchmark document the same tree is written by each library, indented by two spaces:
  string: vantelix.write_string(node, indent=2)
          ElementTree.tostring after ElementTree.indent(tree, "  ")  (str and bytes forms)
          lxml.etree.tostring(tree, pretty_print=True)                (str and bytes forms)
  file:   vantelix.write_file(node, path, indent=2)
          ElementTree.ElementTree(tree).write(path, encoding="utf-8")
          lxml tree.write(path, pretty_print=True, encoding="utf-8")
Files are written to /dev/shm when it exists. Rates are MB of each library's own output per
second, from the best of several interleaved rounds; "x peer" is the fastest peer's time
divided by vantelix's, so 2.0 means twice as fast as the best peer.

Run: PYTHONPATH=<build>/src /usr/bin/python3 bench/bench_write.py [--quick] [--rounds N]

`measure()` returns the figures as rows (see common.result) for bench/report.py.
"""
import argparse
import os
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

from lxml import etree

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import corpus  # noqa: E402

import vantelix  # noqa: E402

XML_NS = "{http://www.w3.org/XML/1998/namespace}"


def _local(tag):
    if tag.startswith(XML_NS):
        return "xml:" + tag[len(XML_NS):]
    return tag.rsplit("}", 1)[-1]


def nodes_from_etree(root):
    """Converts an ElementTree element into a vantelix tree without recursion.

    Whitespace-only text counts as absent, as in an indented document; tails are dropped.
    """
    ns = root.tag[1:].split("}", 1)[0] if root.tag.startswith("{") else None
    built = {}
    stack = [(root, False)]
    while stack:
        el, children_done = stack.pop()
        if not children_done:
            stack.append((el, True))
            stack.extend((child, False) for child in reversed(el))
            continue
        attrs = {_local(k): v for k, v in el.attrib.items()}
        if el is root and ns:
            attrs = {"xmlns": ns, **attrs}
        text = el.text if el.text is not None and el.text.strip() else None
        built[id(el)] = vantelix.Node(_local(el.tag), attrs, [built.pop(id(c)) for c in el], text)
    return built[id(root)]


def vantelix_tree(path, root_tag):
    """read_string's tree when reading works, else the converted ElementTree tree."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    try:
        return vantelix.read_string(text, root_tag), "read_string"
    except NotImplementedError:
        return nodes_from_etree(ET.fromstring(text.encode())), "converted"


def utf8_len(out):
    return len(out.encode()) if isinstance(out, str) else len(out)


def interleaved(cases, rounds, slow_rounds=2, budget=None):
    """Best time of each (name, fn, size_of) case over rounds that run every case once.

    Interleaving spreads machine noise (other processes, writeback, frequency changes) over all
    cases alike; the best of several rounds is the least disturbed run of each. ElementTree,
    several times slower than the rest and never the fastest peer, sits out all but the first
    `slow_rounds` rounds. With a `budget` in seconds, a case that has spent it (its first,
    untimed call included) sits out the remaining rounds; a first call longer than the budget is
    the measurement.
    """
    best, spent, sizes = {}, {}, {}
    for name, fn, size_of in cases:
        t0 = time.perf_counter()
        out = fn()
        spent[name] = time.perf_counter() - t0
        sizes[name] = size_of(out)
        if budget is not None and spent[name] >= budget:
            best[name] = spent[name]  # one call is the measurement
    for round_ in range(rounds):
        for name, fn, _size_of in cases:
            if name.startswith("ET") and round_ >= slow_rounds:
                continue
            if budget is not None and name in best and spent[name] >= budget:
                continue
            t0 = time.perf_counter()
            fn()
            elapsed = time.perf_counter() - t0
            spent[name] += elapsed
            best[name] = min(best.get(name, elapsed), elapsed)
    return {name: (best[name], sizes[name]) for name in best}


VARIANTS = {"vantelix": "vantelix", "ElementTree": "ET", "lxml": "lxml"}
CALLS = {
    "vantelix": "write_string(node, indent=2)", "ET str": "ET.tostring(unicode)",
    "ET bytes": "ET.tostring()", "lxml str": "etree.tostring(pretty, unicode)",
    "lxml bytes": "etree.tostring(pretty)", "vantelix file": "write_file(node, path, indent=2)",
    "ET write": "ElementTree.write(path)", "lxml write": "tree.write(path, pretty)",
}


def measure(quick=False, rounds=None, include_generated=True, log=None, budget=None):
    """Rows for write_string and write_file per document and library: each library's fastest
    variant (str or bytes output), its rate counting its own output bytes; the vantelix rows
    carry `tree`, whether the tree came from read_string or from a converted ElementTree.
    `budget` caps the seconds one case spends on a document (see interleaved)."""
    rows = []
    # Files go to memory where there is a tmpfs: the disk's writeback, which a truncation may
    # have to wait for, would otherwise time the disk rather than the writers.
    tmpdir = tempfile.mkdtemp(prefix="bench_write_", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    for name, path, root_tag in corpus.documents(include_generated=include_generated):
        size = os.path.getsize(path)
        n = rounds or (3 if quick else (12 if size > 5e6 else 40))
        node, source = vantelix_tree(path, root_tag)
        with open(path, "rb") as f:
            data = f.read()
        et_root = ET.fromstring(data)
        ET.indent(et_root, "  ")
        et_tree = ET.ElementTree(et_root)
        lx_root = etree.fromstring(data, etree.XMLParser(remove_blank_text=True, huge_tree=True))
        lx_tree = lx_root.getroottree()

        # One file per writer, so no writer truncates what another just wrote.
        out, et_out, lx_out = (os.path.join(tmpdir, f) for f in ("v.xml", "et.xml", "lx.xml"))

        strings = interleaved([
            ("vantelix", lambda: vantelix.write_string(node, indent=2), utf8_len),
            ("ET str", lambda: ET.tostring(et_root, encoding="unicode"), utf8_len),
            ("ET bytes", lambda: ET.tostring(et_root), utf8_len),
            ("lxml str", lambda: etree.tostring(lx_root, pretty_print=True, encoding="unicode"), utf8_len),
            ("lxml bytes", lambda: etree.tostring(lx_root, pretty_print=True), utf8_len),
        ], n, budget=budget)
        check = ET.fromstring(vantelix.write_string(node, indent=2).encode())
        assert sum(1 for _ in check.iter()) == sum(1 for _ in et_root.iter()), name
        files = interleaved([
            ("vantelix", lambda: vantelix.write_file(node, out, indent=2), lambda _: os.path.getsize(out)),
            ("ET write", lambda: et_tree.write(et_out, encoding="utf-8"), lambda _: os.path.getsize(et_out)),
            ("lxml write", lambda: lx_tree.write(lx_out, pretty_print=True, encoding="utf-8"),
             lambda _: os.path.getsize(lx_out)),
        ], n, budget=budget)
        for operation, results in (("write_string", strings), ("write_file", files)):
            for library, prefix in VARIANTS.items():
                variant = min((k for k in results if k.startswith(prefix)), key=lambda k: results[k][0])
                seconds, nbytes = results[variant]
                call = CALLS["vantelix file" if operation == "write_file" and library == "vantelix" else variant]
                rows.append(common.result(name, size, operation, library, seconds, nbytes, call=call,
                                          tree=source))
        if log:
            log(f"write: done {name}")
        del node, et_root, et_tree, lx_root, lx_tree, check
        for path_ in (out, et_out, lx_out):
            os.remove(path_)
    os.rmdir(tmpdir)
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="shared corpus only, fewer runs")
    parser.add_argument("--rounds", type=int, help="interleaved rounds per document (best of)")
    opts = parser.parse_args()

    rows = measure(opts.quick, opts.rounds, include_generated=not opts.quick,
                   log=lambda m: print(m, file=sys.stderr, flush=True))
    by = common.index_rows(rows)
    table = []
    for name, _size in common.documents_of(rows):
        for operation in ("write_string", "write_file"):
            r = {lib: by[name, operation, lib] for lib in VARIANTS}
            peer = min(("ElementTree", "lxml"), key=lambda lib: r[lib]["seconds"])
            table.append([name, operation.split("_")[1], r["vantelix"]["tree"],
                          *(f"{r[lib]['mb_per_s']:.0f}" for lib in VARIANTS),
                          r[peer]["call"], f"{r[peer]['seconds'] / r['vantelix']['seconds']:.2f}"])
    print(common.table(table, ["document", "target", "tree", "vantelix MB/s", "ElementTree MB/s",
                               "lxml MB/s", "fastest peer", "x peer"]))


if __name__ == "__main__":
    main()
