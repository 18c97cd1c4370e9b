"""Reading and writing throughput of vantelix on every supported interpreter, side by side.

Usage: /usr/bin/python3 bench/bench_versions.py [--quick] [--rounds N] [--report]

Builds vantelix for every CPython 3.11 or newer that tools/pythons finds (tools/build-python,
release builds under build-pythons/), then measures read_string, read_file, write_string and
write_file on every benchmark document with each interpreter in turn. The interpreters take
turns round by round, so a slow spell of the machine costs them alike; a figure is the best
round's MB/s. Prints one table: document, operation, MB/s per interpreter, and the slowest
interpreter's figure as a share of the fastest's. With --report the table is also written into
bench/results/report.md, between its two markers for this section (appended when absent).

Run with `--worker DOC ROOT OPERATION RUNS` under one interpreter it times one figure and prints
the seconds of each run, one per line: that is how the driver measures.
"""
import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import common  # noqa: E402
import corpus  # noqa: E402

OPERATIONS = ("read_string", "read_file", "write_string", "write_file")
REPORT = os.path.join(HERE, "results", "report.md")
MARK_START = "<!-- by interpreter: start (written by bench/bench_versions.py --report) -->"
MARK_END = "<!-- by interpreter: end -->"


def worker(path, root, operation, runs):
    """Seconds of each of `runs` timed calls, after one warm-up; the input size is the file's."""
    import vantelix
    with open(path, encoding="utf-8") as f:
        text = f.read()
    out = os.path.join(os.path.dirname(corpus.CACHE), f"versions-{os.getpid()}.xml")
    tree = vantelix.read_string(text, root)
    calls = {
        "read_string": lambda: vantelix.read_string(text, root),
        "read_file": lambda: vantelix.read_file(path, root),
        "write_string": lambda: vantelix.write_string(tree),
        "write_file": lambda: vantelix.write_file(tree, out),
    }
    call = calls[operation]
    call()
    for _ in range(runs):
        t0 = time.perf_counter()
        call()
        print(time.perf_counter() - t0)
    if os.path.exists(out):
        os.remove(out)


def interpreters():
    """[(version, python, folder to put on PYTHONPATH)] for every interpreter, built."""
    found = []
    listing = subprocess.run([os.path.join(ROOT, "tools", "pythons")], capture_output=True,
                             text=True, check=True).stdout
    for line in listing.splitlines():
        version, python = line.split(" ", 1)
        src = subprocess.run([os.path.join(ROOT, "tools", "build-python"), python], capture_output=True,
                             text=True, check=True).stdout.strip()
        found.append((version, python, src))
    return found


def measure(quick=False, rounds=None, log=print):
    """{(document, operation): {version: MB/s}} and the versions in order."""
    pythons = interpreters()
    rounds = rounds or (2 if quick else 4)
    best = {}
    for name, path, root in corpus.documents(include_generated=not quick):
        size = os.path.getsize(path)
        runs = 3 if size > 4_000_000 else 15
        for operation in OPERATIONS:
            for _ in range(rounds):
                for version, python, src in pythons:
                    proc = subprocess.run(
                        [python, __file__, "--worker", path, root, operation, str(runs)],
                        capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=src))
                    if proc.returncode != 0:
                        raise RuntimeError(f"{version} {name} {operation}: {proc.stderr[-2000:]}")
                    seconds = min(float(s) for s in proc.stdout.split())
                    key = (name, operation)
                    mbs = common.mb_per_s(size, seconds)
                    best.setdefault(key, {})[version] = max(best.get(key, {}).get(version, 0.0), mbs)
            log(f"  {name} {operation}: " + ", ".join(f"{v} {best[(name, operation)][v]:.0f} MB/s"
                                                      for v, _, _ in pythons))
    return best, [v for v, _, _ in pythons]


def markdown(best, versions):
    lines = ["| document | operation | " + " | ".join(f"{v} MB/s" for v in versions) + " | slowest / fastest |",
             "|---|---|" + "---:|" * (len(versions) + 1)]
    for (name, operation), figures in best.items():
        values = [figures[v] for v in versions]
        lines.append(f"| {name} | {operation} | " + " | ".join(f"{x:,.0f}" for x in values)
                     + f" | {min(values) / max(values):.2f} |")
    return "\n".join(lines)


def write_report(section):
    text = open(REPORT, encoding="utf-8").read() if os.path.exists(REPORT) else ""
    block = f"{MARK_START}\n{section}\n{MARK_END}"
    if MARK_START in text and MARK_END in text:
        head, rest = text.split(MARK_START, 1)
        text = head + block + rest.split(MARK_END, 1)[1]
    else:
        text = text.rstrip("\n") + "\n\n" + block + "\n"
    with open(REPORT, "w", encoding="utf-8") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="only the shared real files, two rounds")
    parser.add_argument("--rounds", type=int, help="rounds per figure (best of)")
    parser.add_argument("--report", action="store_true", help="write the table into bench/results/report.md")
    parser.add_argument("--worker", nargs=4, metavar=("DOC", "ROOT", "OPERATION", "RUNS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        path, root, operation, runs = args.worker
        worker(path, root, operation, int(runs))
        return
    best, versions = measure(args.quick, args.rounds)
    table = markdown(best, versions)
    print(table)
    if args.report:
        uname = os.uname()
        section = (f"## Reading and writing by interpreter\n\n"
                   f"`/usr/bin/python3 bench/bench_versions.py --report` on {uname.nodename} "
                   f"({os.cpu_count()} cores, {uname.release}), "
                   f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}: vantelix's MB/s on each "
                   f"interpreter, best of the interleaved rounds.\n\n{table}\n")
        write_report(section)


if __name__ == "__main__":
    main()
