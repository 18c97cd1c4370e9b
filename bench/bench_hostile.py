"""Attribute-heavy start tags: parse time against the number of attributes, for names built to
collide under fixed (unkeyed) string hashes and for ordinary names.

The attribute map hashes keys with SipHash-1-3 under per-thread random keys, so names chosen to
collide under some fixed hash spread like any others and a start tag with n attributes parses
in time linear in n. A map with a fixed, known hash would degrade to quadratic time on such names
(every insert probing past all earlier ones). The script prints, per family and size, the
parse time and the time per attribute; the last column is the time per attribute relative to
the smallest size, which stays near 1 for linear behaviour and grows with n for quadratic.
ElementTree (expat, whose attribute table is salted too) parses the same documents for scale.

Run:  PYTHONPATH=<build>/src /usr/bin/python3 bench/bench_hostile.py [--quick] [--repeat N]
"""
import argparse
import os
import sys
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
from colliding_names import colliding, djb2_hash, java_hash  # noqa: E402
from common import median_seconds, table  # noqa: E402

import vantelix  # noqa: E402


FAMILIES = {
    # "Aa" and "BB" collide under h = 31 h + c (Java's String.hashCode)
    "java31-colliding": (lambda n: colliding(("Aa", "BB"), n), java_hash),
    # "Ez" and "FY" collide under h = 33 h + c (DJBX33A)
    "djb2-colliding": (lambda n: colliding(("Ez", "FY"), n), djb2_hash),
    # identical up to the last few characters
    "long-prefix": (lambda n: ["p" * 200 + str(i) for i in range(n)], None),
    "sequential": (lambda n: [f"a{i}" for i in range(n)], None),
}


def document(names):
    return "<r " + " ".join(f'{n}="{i}"' for i, n in enumerate(names)) + "/>"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="sizes up to 16,384 only")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    sizes = [1024, 4096, 16384] if args.quick else [1024, 4096, 16384, 65536, 262144]

    rows = []
    for family, (make, fixed_hash) in FAMILIES.items():
        base = None
        for n in sizes:
            names = make(n)
            assert len(set(names)) == n
            if fixed_hash:
                assert len({fixed_hash(x) for x in names}) == 1, family
            doc = document(names)
            tree = vantelix.read_string(doc, "r")
            assert len(tree.attrs) == n
            seconds = median_seconds(lambda: vantelix.read_string(doc, "r"), repeat=args.repeat)
            peer = median_seconds(lambda: ET.fromstring(doc), repeat=max(1, args.repeat // 2))
            per_attr = seconds / n * 1e9
            base = base or per_attr
            rows.append([family, f"{n:,}", f"{seconds * 1e3:.2f}", f"{per_attr:.0f}",
                         f"{peer / n * 1e9:.0f}", f"{per_attr / base:.2f}"])
    print(table(rows, ["names", "attributes", "read_string ms", "ns/attr", "ElementTree ns/attr",
                       "ns/attr vs smallest"]))
    growth = sizes[-1] // sizes[0]
    print(f"\nFrom {sizes[0]:,} to {sizes[-1]:,} attributes the time per attribute would grow about "
          f"{growth}-fold if parsing were quadratic; cache misses in the larger tables account for "
          "a small constant factor.")
    for family in FAMILIES:
        last = [r for r in rows if r[0] == family][-1]
        print(f"  {family}: x{last[-1]}")


if __name__ == "__main__":
    main()
