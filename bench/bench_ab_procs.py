"""Two builds of vantelix timed against each other, each in processes of its own, alternating.

Usage: /usr/bin/python3 bench/bench_ab_procs.py A_DIR B_DIR [--turns N] [--only SUBSTRING ...]

bench_ab.py loads both builds into one process, where they share CPython's object allocator: an
operation that makes many objects (to_dict) then finds memory that the other build's calls left
mapped, and a change to how much memory an operation touches does not show. Here every turn
starts a fresh process per build, pinned to one core; each process runs the operation in a loop,
every result dropped before the next call, as a program that uses a result and lets it go would.
Printed per operation: each build's best and median time per call, page faults per call, and the
median of B's time relative to A's over the paired turns (below 1.00: B is faster).
"""
import argparse
import os
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from corpus import documents  # noqa: E402

# Runs in the child: argv = build dir, operation, path, root tag, calls per batch.
CHILD = r"""
import glob, importlib.machinery, importlib.util, resource, sys, time
directory, op, path, root, calls = sys.argv[1:6]
calls = int(calls)
so = glob.glob(directory + "/vantelix*.so")[0]
loader = importlib.machinery.ExtensionFileLoader("vantelix", so)
module = importlib.util.module_from_spec(importlib.util.spec_from_file_location("vantelix", so, loader=loader))
loader.exec_module(module)
with open(path, encoding="utf-8") as f:
    text = f.read()
tree = module.read_string(text, root)
ops = {
    "read_string": lambda: module.read_string(text, root),
    "to_dict": lambda: tree.to_dict(),
    "read_string().to_dict": lambda: module.read_string(text, root).to_dict(),
}
fn = ops[op]
for _ in range(3):
    fn()
faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
best = float("inf")
for _ in range(8):
    t0 = time.perf_counter()
    for _ in range(calls):
        fn()
    best = min(best, (time.perf_counter() - t0) / calls)
faults = (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults) / (8 * calls)
print(best, faults)
"""

OPS = ["read_string", "to_dict", "read_string().to_dict"]


def run(directory, op, path, root, calls):
    out = subprocess.run(["taskset", "-c", "1", sys.executable, "-c", CHILD, directory, op, path, root,
                          str(calls)], capture_output=True, text=True, check=True).stdout.split()
    return float(out[0]), float(out[1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("a")
    ap.add_argument("b")
    ap.add_argument("--turns", type=int, default=8)
    ap.add_argument("--only", nargs="*", default=None)
    args = ap.parse_args()
    print(f"{'operation':52} {'A ms':>8} {'med':>8} {'faults':>7} {'B ms':>8} {'med':>8} {'faults':>7} {'B/A':>6}")
    for name, path, root in documents():
        # Batches of some 20 MB of document: many calls on small ones, where one is too short to time.
        calls = max(1, int(20e6 / max(os.path.getsize(path), 1)))
        for op in OPS:
            label = f"{op} {name}"
            if args.only and not any(s in label for s in args.only):
                continue
            a, b, fa, fb = [], [], [], []
            for turn in range(args.turns):
                order = ((args.a, a, fa), (args.b, b, fb))
                for directory, times, faults in order if turn % 2 == 0 else order[::-1]:
                    t, f = run(directory, op, path, root, calls)
                    times.append(t)
                    faults.append(f)
            ratio = statistics.median(y / x for x, y in zip(a, b))
            print(f"{label:52} {min(a) * 1e3:8.3f} {statistics.median(a) * 1e3:8.3f} {statistics.median(fa):7.0f} "
                  f"{min(b) * 1e3:8.3f} {statistics.median(b) * 1e3:8.3f} {statistics.median(fb):7.0f} {ratio:6.2f}",
                  flush=True)


if __name__ == "__main__":
    main()
