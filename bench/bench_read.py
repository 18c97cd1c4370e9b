"""Reading throughput and memory: vantelix against xml.etree.ElementTree and lxml.

Usage: PYTHONPATH=<build>/src /usr/bin/python3 bench/bench_read.py [--quick] [--repeat N] [--no-generated]

For every corpus document: median MB/s of read_string / read_file and of the peers' string and
file parsers (lxml gets bytes, its fastest input, and huge_tree so the 20 MB files parse at all),
the ratio to the fastest peer, and the peak RSS growth of one parse in a fresh process.

`measure()` returns the same figures as rows (see common.result) for bench/report.py.
"""
import argparse
import os
import sys
import xml.etree.ElementTree as ET

import lxml.etree as LET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import corpus  # noqa: E402
import vantelix  # noqa: E402

LXML_PARSER = LET.XMLParser(huge_tree=True)
LIBRARIES = ("vantelix", "ElementTree", "lxml")


def speeds(path, root, repeat, budget=None):
    """{(operation, library): (seconds, call)} for one document."""
    with open(path, "rb") as f:
        data = f.read()
    text = data.decode("utf-8")
    if repeat is None:
        repeat = 3 if len(data) > 4_000_000 else 7
    cases = {
        "read_string": {
            "vantelix": ("read_string(str)", lambda: vantelix.read_string(text, root)),
            "ElementTree": ("ET.fromstring(str)", lambda: ET.fromstring(text)),
            "lxml": ("etree.fromstring(bytes)", lambda: LET.fromstring(data, LXML_PARSER)),
        },
        "read_file": {
            "vantelix": ("read_file(path)", lambda: vantelix.read_file(path, root)),
            "ElementTree": ("ET.parse(path)", lambda: ET.parse(path)),
            "lxml": ("etree.parse(path)", lambda: LET.parse(path, LXML_PARSER)),
        },
    }
    out = {}
    for operation, fns in cases.items():
        for library, (call, fn) in fns.items():
            out[operation, library] = (common.median_seconds(fn, repeat=repeat, budget=budget), call)
    return len(data), out


MEMORY_SETUP = {
    "vantelix": "import vantelix\ntext = open({path!r}, encoding='utf-8').read()",
    "ElementTree": "import xml.etree.ElementTree as ET\ntext = open({path!r}, encoding='utf-8').read()",
    "lxml": "import lxml.etree as LET\ndata = open({path!r}, 'rb').read()\n"
            "parser = LET.XMLParser(huge_tree=True)",
}
MEMORY_ACTION = {
    "vantelix": "vantelix.read_string(text, {root!r})",
    "ElementTree": "ET.fromstring(text)",
    "lxml": "LET.fromstring(data, parser)",
}


def peak_mb(path, root):
    return {
        name: common.memory_of(MEMORY_SETUP[name].format(path=path),
                               MEMORY_ACTION[name].format(root=root))["peak"] / 1e6
        for name in MEMORY_SETUP
    }


def measure(quick=False, repeat=None, include_generated=True, memory=True, log=None, budget=None):
    """Rows for read_string and read_file per document and library, and with `memory` the peak
    RSS growth of one string parse (operation "peak memory", figure in `peak_mb`). `budget` caps
    the seconds spent on one figure (at least a warm-up and one timed run)."""
    if quick and repeat is None:
        repeat = 3
    rows = []
    for name, path, root in corpus.documents(include_generated=include_generated):
        size, found = speeds(path, root, repeat, budget)
        for (operation, library), (seconds, call) in found.items():
            rows.append(common.result(name, size, operation, library, seconds, call=call))
        if memory:
            for library, mb in peak_mb(path, root).items():
                rows.append(common.result(name, size, "peak memory", library, None,
                                          call=MEMORY_ACTION[library].format(root=root), peak_mb=mb))
        if log:
            log(f"read: done {name}")
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="three timed runs per figure")
    parser.add_argument("--repeat", type=int, help="timed runs per figure (median)")
    parser.add_argument("--no-generated", action="store_true", help="only the shared real files")
    args = parser.parse_args()

    rows = measure(args.quick, args.repeat, include_generated=not args.no_generated,
                   log=lambda m: print(m, file=sys.stderr))
    by = common.index_rows(rows)
    table = []
    for name, size in common.documents_of(rows):
        row = [name, f"{size / 1e6:.1f}"]
        for operation in ("read_string", "read_file"):
            rate = {lib: by[name, operation, lib]["mb_per_s"] for lib in LIBRARIES}
            row += [f"{rate[lib]:.0f}" for lib in LIBRARIES]
            row.append(f"{rate['vantelix'] / max(rate['ElementTree'], rate['lxml']):.2f}x")
        row += [f"{by[name, 'peak memory', lib]['peak_mb']:.1f}" for lib in LIBRARIES]
        table.append(row)
    headers = ["document", "MB",
               "vx str", "ET str", "lxml str", "ratio",
               "vx file", "ET file", "lxml file", "ratio",
               "vx peak MB", "ET peak MB", "lxml peak MB"]
    print("MB/s medians; ratio = vantelix / fastest peer; peak = RSS growth of one read_string/fromstring")
    print(common.table(table, headers))


if __name__ == "__main__":
    main()
