"""read_string against lxml.etree.fromstring end to end, on the same str and on a fresh str per call,
and read_string(...).to_dict() against the floor of pickle.loads building the same dict.

Usage: PYTHONPATH=<build>/src /usr/bin/python3 bench/bench_end_to_end.py [--repeat N] [--no-generated]

lxml gets bytes, its fastest input. "same str" calls read_string again and again on one str, as a
tight loop does; "fresh str" decodes the document into a new str before every call (not timed)
and times read_string alone, as a program that reads each document once does. What a fresh str
costs is split out:
  utf8 form   a non-ASCII str has no UTF-8 form until one is asked for; the first read_string on
              it has CPython build (and cache) that form. Timed here as the second call on a str
              whose first call was made, against the first call.
  the rest    the second call on that str against the tight loop: the str's pages freshly
              written, the tree's memory first touched (negative: within noise).
ASCII documents need no UTF-8 form (CPython stores their UTF-8 in the str itself).
"""
import argparse
import gc
import os
import pickle
import statistics
import sys
import time

import lxml.etree as LET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_ops import per_call  # noqa: E402
from corpus import documents  # noqa: E402

import vantelix  # noqa: E402

LXML_PARSER = LET.XMLParser(huge_tree=True)


def fresh_str_seconds(data, root, repeat):
    """Median seconds of read_string on a str decoded just before the call, and of a second call
    on that same str (its UTF-8 form then cached)."""
    first, second = [], []
    for _ in range(repeat):
        text = data.decode("utf-8")
        t0 = time.perf_counter()
        tree = vantelix.read_string(text, root)
        t1 = time.perf_counter()
        del tree
        t2 = time.perf_counter()
        tree = vantelix.read_string(text, root)
        t3 = time.perf_counter()
        del tree, text
        first.append(t1 - t0)
        second.append(t3 - t2)
    return statistics.median(first), statistics.median(second)


def measure(path, root, repeat):
    with open(path, "rb") as f:
        data = f.read()
    text = data.decode("utf-8")
    lxml_s = per_call(lambda: LET.fromstring(data, LXML_PARSER), repeat)
    same_s = per_call(lambda: vantelix.read_string(text, root), repeat)
    fresh_s, again_s = fresh_str_seconds(data, root, max(repeat, 15))
    result = vantelix.read_string(text, root).to_dict()
    pickled = pickle.dumps(result, pickle.HIGHEST_PROTOCOL)
    del result
    gc.collect()
    to_dict_s = per_call(lambda: vantelix.read_string(text, root).to_dict(), repeat)
    pickle_s = per_call(lambda: pickle.loads(pickled), repeat)
    return {
        "bytes": len(data),
        "ascii": text.isascii(),
        "lxml": lxml_s,
        "same": same_s,
        "fresh": fresh_s,
        "again": again_s,
        "to_dict": to_dict_s,  # read_string(...).to_dict(), the read included
        "pickle": pickle_s,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--no-generated", action="store_true")
    args = parser.parse_args()
    print("| document | MB | lxml ms | same str ms (x lxml) | fresh str ms (x lxml) "
          "| utf8 form ms | the rest ms | read_string().to_dict() ms | pickle.loads ms | ratio |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for name, path, root in documents(include_generated=not args.no_generated):
        m = measure(path, root, args.repeat)
        utf8 = 0.0 if m["ascii"] else m["fresh"] - m["again"]
        rest = (m["fresh"] - m["same"]) - utf8
        print(f"| {name} | {m['bytes'] / 1e6:.1f} | {m['lxml'] * 1e3:.2f} "
              f"| {m['same'] * 1e3:.2f} ({m['lxml'] / m['same']:.2f}x) "
              f"| {m['fresh'] * 1e3:.2f} ({m['lxml'] / m['fresh']:.2f}x) "
              f"| {utf8 * 1e3:.2f} | {rest * 1e3:+.2f} "
              f"| {m['to_dict'] * 1e3:.2f} | {m['pickle'] * 1e3:.2f} "
              f"| {m['to_dict'] / m['pickle']:.2f} |", flush=True)


if __name__ == "__main__":
    main()
