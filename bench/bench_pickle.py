"""Pickling a parsed tree: speed against the dictionary route and ElementTree, and payload size.

Usage: PYTHONPATH=<build>/src /usr/bin/python3 bench/bench_pickle.py [--document NAME] [--repeat N]

For each generated 20 MB document (bench/corpus.py), times one full trip through pickle at the
highest protocol:
  vantelix             pickle.loads(pickle.dumps(tree))
  vantelix to_dict     Node.from_dict(pickle.loads(pickle.dumps(tree.to_dict())))
  ElementTree          pickle.loads(pickle.dumps(et_root)) of the same document
and compares the payload with write_string(tree, indent=0, default_xml_def=False). The targets:
the first at least 2x faster than each of the others, the payload at most 1.25x the XML.
Exits non-zero when a target is missed.
"""
import argparse
import os
import pickle
import sys
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import corpus  # noqa: E402
import vantelix  # noqa: E402
from vantelix import Node  # noqa: E402

PROTOCOL = pickle.HIGHEST_PROTOCOL


def trip(obj):
    return pickle.loads(pickle.dumps(obj, PROTOCOL))


def measure(name, path, root, repeat):
    tree = vantelix.read_file(path, root)
    et_root = ET.parse(path).getroot()
    xml_size = len(vantelix.write_string(tree, indent=0, default_xml_def=False).encode())
    payload = len(pickle.dumps(tree, PROTOCOL))
    own = common.median_seconds(lambda: trip(tree), repeat=repeat)
    via_dict = common.median_seconds(lambda: Node.from_dict(trip(tree.to_dict())), repeat=repeat)
    et = common.median_seconds(lambda: trip(et_root), repeat=repeat)
    return {"document": name, "xml": xml_size, "payload": payload, "size_ratio": payload / xml_size,
            "vantelix": own, "to_dict": via_dict, "etree": et,
            "vs_dict": via_dict / own, "vs_etree": et / own}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--document", help="only the generated document of this name")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    rows = []
    for name, path, root in corpus.documents():
        if not name.startswith("gen-") or (args.document and name != args.document):
            continue
        rows.append(measure(name, path, root, args.repeat))
        r = rows[-1]
        print(f"{name}: vantelix {r['vantelix']:.3f} s, to_dict {r['to_dict']:.3f} s "
              f"({r['vs_dict']:.1f}x), ElementTree {r['etree']:.3f} s ({r['vs_etree']:.1f}x), "
              f"payload {r['payload'] / 1e6:.1f} MB = {r['size_ratio']:.2f}x the XML", flush=True)
    headers = ["document", "pickle s", "to_dict s", "x", "ElementTree s", "x", "payload/XML"]
    print()
    print(common.table([[r["document"], f"{r['vantelix']:.3f}", f"{r['to_dict']:.3f}",
                         f"{r['vs_dict']:.1f}", f"{r['etree']:.3f}", f"{r['vs_etree']:.1f}",
                         f"{r['size_ratio']:.2f}"] for r in rows], headers))
    missed = [r["document"] for r in rows
              if r["vs_dict"] < 2 or r["vs_etree"] < 2 or r["size_ratio"] > 1.25]
    if missed:
        print("targets missed:", ", ".join(missed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
