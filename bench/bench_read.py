"""Reading throughput and memory: vantelix against xml.etree.ElementTree and lxml.

Usage: PYTHONPATH=<build>/src /usr/bin/python3 bench/bench_read.py [--quick]

For every corpus document: median MB/s of read_string / read_file and of the peers' string and
file parsers (lxml gets bytes, its fastest input, and huge_tree so the 20 MB files parse at all),
the ratio to the fastest peer, and the peak RSS growth of one parse in a fresh process.
"""
import os
import sys
import xml.etree.ElementTree as ET

import lxml.etree as LET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import corpus  # noqa: E402
import vantelix  # noqa: E402

LXML_PARSER = LET.XMLParser(huge_tree=True)


def speeds(path, root, quick):
    with open(path, "rb") as f:
        data = f.read()
    text = data.decode("utf-8")
    repeat = 3 if quick or len(data) > 4_000_000 else 7
    string_fns = {
        "vantelix": lambda: vantelix.read_string(text, root),
        "ET": lambda: ET.fromstring(text),
        "lxml": lambda: LET.fromstring(data, LXML_PARSER),
    }
    file_fns = {
        "vantelix": lambda: vantelix.read_file(path, root),
        "ET": lambda: ET.parse(path),
        "lxml": lambda: LET.parse(path, LXML_PARSER),
    }
    out = {}
    for kind, fns in (("str", string_fns), ("file", file_fns)):
        for name, fn in fns.items():
            out[kind, name] = common.mb_per_s(len(data), common.median_seconds(fn, repeat=repeat))
    return len(data), out


MEMORY_SETUP = {
    "vantelix": "import vantelix\ntext = open({path!r}, encoding='utf-8').read()",
    "ET": "import xml.etree.ElementTree as ET\ntext = open({path!r}, encoding='utf-8').read()",
    "lxml": "import lxml.etree as LET\ndata = open({path!r}, 'rb').read()\n"
            "parser = LET.XMLParser(huge_tree=True)",
}
MEMORY_ACTION = {
    "vantelix": "vantelix.read_string(text, {root!r})",
    "ET": "ET.fromstring(text)",
    "lxml": "LET.fromstring(data, parser)",
}


def peak_mb(path, root):
    return {
        name: common.memory_of(MEMORY_SETUP[name].format(path=path),
                               MEMORY_ACTION[name].format(root=root))["peak"] / 1e6
        for name in MEMORY_SETUP
    }


def main():
    quick = "--quick" in sys.argv
    rows = []
    for name, path, root in corpus.documents(include_generated=True):
        size, s = speeds(path, root, quick)
        mem = peak_mb(path, root)
        row = [name, f"{size / 1e6:.1f}"]
        for kind in ("str", "file"):
            best_peer = max(s[kind, "ET"], s[kind, "lxml"])
            row += [f"{s[kind, 'vantelix']:.0f}", f"{s[kind, 'ET']:.0f}", f"{s[kind, 'lxml']:.0f}",
                    f"{s[kind, 'vantelix'] / best_peer:.2f}x"]
        row += [f"{mem['vantelix']:.1f}", f"{mem['ET']:.1f}", f"{mem['lxml']:.1f}"]
        rows.append(row)
        print(f"done {name}", file=sys.stderr)
    headers = ["document", "MB",
               "vx str", "ET str", "lxml str", "ratio",
               "vx file", "ET file", "lxml file", "ratio",
               "vx peak MB", "ET peak MB", "lxml peak MB"]
    print("MB/s medians; ratio = vantelix / fastest peer; peak = RSS growth of one read_string/fromstring")
    print(common.table(rows, headers))


if __name__ == "__main__":
    main()
