"""One document read again and again in one process, each tree dropped before the next read.

Usage: PYTHONPATH=<build>/src /usr/bin/python3 bench/bench_repeat.py [DOCUMENT ...] [--reads N]

Prints, per read, its milliseconds, the page faults it took and the kernel time they cost: the
first read of a process maps its memory, later ones show what a drop left for the next read.
DOCUMENT names a benchmark document (bench/corpus.py); the default is the four generated ones.
"""
import argparse
import os
import resource
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402
import vantelix  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("documents", nargs="*")
    ap.add_argument("--reads", type=int, default=8)
    args = ap.parse_args()
    for name, path, root in corpus.documents():
        if (args.documents and name not in args.documents) or (not args.documents and not name.startswith("gen-")):
            continue
        with open(path, encoding="utf-8") as f:
            text = f.read()
        print(name)
        for i in range(args.reads):
            before = resource.getrusage(resource.RUSAGE_SELF)
            t0 = time.perf_counter()
            tree = vantelix.read_string(text, root)
            ms = (time.perf_counter() - t0) * 1e3
            after = resource.getrusage(resource.RUSAGE_SELF)
            del tree
            print(f"  read {i + 1}: {ms:7.1f} ms, {after.ru_minflt - before.ru_minflt:6d} faults, "
                  f"{(after.ru_stime - before.ru_stime) * 1e3:5.1f} ms in the kernel", flush=True)


if __name__ == "__main__":
    main()
