"""Two builds of vantelix timed against each other in one process, their runs interleaved.

Usage: /usr/bin/python3 bench/bench_ab.py A_DIR B_DIR [--rounds N] [--only SUBSTRING ...]

A_DIR and B_DIR each hold a built module (e.g. an older build's `build/src` and `build-test/src`).
Both are loaded under their own names; each round times every operation once with A and once
with B, in alternating order, so drift of the machine (other workers, frequency) falls on both.
Printed: the median time of each and B's time relative to A's (below 1.00: B is faster).
"""
import argparse
import glob
import importlib.machinery
import importlib.util
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402


def load(directory, alias):
    path = glob.glob(os.path.join(directory, "vantelix*.so"))[0]
    loader = importlib.machinery.ExtensionFileLoader("vantelix", path)
    found = importlib.util.spec_from_file_location("vantelix", path, loader=loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    sys.modules[alias] = module
    return module


def cases(vx, docs):
    """name -> a call for one build."""
    out = {}
    for name, path, root in docs:
        # A copy of the str per build: a UTF-8 form that one build's reads attach to the str
        # would otherwise serve the other's.
        text = (docs[(name, path, root)] + ".")[:-1]
        data = text.encode()
        out[f"read_string {name}"] = lambda text=text, root=root: vx.read_string(text, root)
        # The str made just before the call, as when a document is read once (the decoding is
        # timed too, the same for both builds).
        out[f"read_string fresh {name}"] = lambda data=data, root=root: vx.read_string(data.decode(), root)
        out[f"read_file {name}"] = lambda path=path, root=root: vx.read_file(path, root)
        tree = vx.read_string(text, root)
        out[f"write_string {name}"] = lambda tree=tree: vx.write_string(tree)
        tag = tree.children[0].name if tree.children else tree.name
        out[f"search_by_name {name}"] = lambda tree=tree, tag=tag: tree.search_by_name(tag)
        d = tree.to_dict()
        out[f"to_dict {name}"] = lambda tree=tree: tree.to_dict()
        out[f"from_dict {name}"] = lambda d=d: vx.Node.from_dict(d)
    # Many small documents in a row, each tree dropped before the next.
    small = [f'<r id="{i}"><a k="v{i}">x{i}</a><b/></r>' for i in range(2000)]
    out["read_string 2000 tiny"] = lambda: [vx.read_string(s, "r") for s in small]
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("a")
    ap.add_argument("b")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--only", nargs="*", default=None)
    args = ap.parse_args()
    a, b = load(args.a, "vantelix_a"), load(args.b, "vantelix_b")
    docs = {}
    for entry in corpus.documents():
        with open(entry[1], encoding="utf-8") as f:
            docs[entry] = f.read()
    ca, cb = cases(a, docs), cases(b, docs)
    names = [n for n in ca if not args.only or any(s in n for s in args.only)]
    times = {n: ([], []) for n in names}
    for r in range(args.rounds):
        for n in names:
            order = ((0, ca), (1, cb)) if r % 2 == 0 else ((1, cb), (0, ca))
            for which, calls in order:
                t0 = time.perf_counter()
                result = calls[n]()
                times[n][which].append(time.perf_counter() - t0)
                del result
    print(f"{'operation':<48}{'A ms':>10}{'B ms':>10}{'B/A':>8}")
    for n in names:
        ta, tb = statistics.median(times[n][0]), statistics.median(times[n][1])
        print(f"{n:<48}{ta * 1e3:>10.2f}{tb * 1e3:>10.2f}{tb / ta:>8.2f}", flush=True)


if __name__ == "__main__":
    main()
