"""Benchmark report: reading, writing, searching and dict conversion against the usual peers.

Usage: bench/packages   # once: matplotlib, lxml, xmltodict (Debian packages)
       PYTHONPATH=<build>/src /usr/bin/python3 bench/report.py [--quick] [--repeat N]
           [--budget S] [--no-generated] [--no-threads] [--readme] [--out DIR]

Runs bench_read, bench_write and bench_ops (and bench_threads unless --no-threads) on the corpus
and writes, into bench/results/ (or --out):
  report.md   the machine it ran on, a summary table (whole-corpus MB/s per operation and
              library, and vantelix's ratio to the fastest peer), a table per operation and
              document, peak memory, and the 1- and 2-thread batch reads;
  report.png  a grouped bar chart of the summary's throughput (log scale).
With --readme the block between the two marker comments at the end of README.md is replaced by
the chart and the summary of this run, so the README shows the latest figures.

The full run takes a few minutes on two cores; --quick uses only the real files and three
timed runs per figure (well under a minute), --repeat sets the timed runs of read and ops, and
--budget the seconds after which a figure stops repeating (slow peers on the 20 MB documents
get a warm-up and one or two timed runs).
"""
import argparse
import datetime
import importlib.util
import os
import platform
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import bench_ops  # noqa: E402
import bench_read  # noqa: E402
import bench_threads  # noqa: E402
import bench_write  # noqa: E402
import common  # noqa: E402

README = os.path.join(ROOT, "README.md")
MARK_START = "<!-- benchmark report: start (written by bench/report.py --readme) -->"
MARK_END = "<!-- benchmark report: end -->"

# Operation -> (title, the vantelix call, peers in column order).
OPERATIONS = {
    "read_string": ("read a str", ("ElementTree", "lxml")),
    "read_file": ("read a file", ("ElementTree", "lxml")),
    "write_string": ("write a str", ("ElementTree", "lxml")),
    "write_file": ("write a file", ("ElementTree", "lxml")),
    "search_by_name": ("search by name", ("ElementTree", "lxml")),
    "to_dict": ("read a str to a dict", ("xmltodict",)),
    "from_dict": ("tree from a dict", ("Python",)),
}
LIBRARIES = ("vantelix", "ElementTree", "lxml", "xmltodict", "Python")
COLOURS = {"vantelix": "#1b6ca8", "ElementTree": "#e39b2d", "lxml": "#58a55c", "xmltodict": "#b5549b",
           "Python": "#8c8c8c"}
PEER_NOTE = {
    "ElementTree": "xml.etree.ElementTree",
    "lxml": "lxml.etree",
    "xmltodict": "xmltodict.parse",
    "Python": "the same tree built by Node(...) calls in a Python loop",
}


def machine():
    """What the figures were measured on."""
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory = ""
    try:
        with open("/proc/meminfo") as f:
            kib = int(next(line for line in f if line.startswith("MemTotal")).split()[1])
            memory = f"{kib / 1024 / 1024:.0f} GiB"
    except (OSError, StopIteration, ValueError):
        pass
    try:
        commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        commit = "unknown"
    import lxml.etree
    import xmltodict
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "memory": memory,
        "python": f"{platform.python_implementation()} {platform.python_version()} ({sys.executable})",
        "os": f"{platform.system()} {platform.release()}",
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "commit": commit,
        "peers": f"lxml {'.'.join(map(str, lxml.etree.LXML_VERSION[:3]))} (libxml2 "
                 f"{'.'.join(map(str, lxml.etree.LIBXML_VERSION))}), xmltodict {xmltodict.__version__}, "
                 f"ElementTree of Python {platform.python_version()}",
    }


def summary(rows):
    """{operation: {library: whole-corpus MB/s}}: every document once, bytes over seconds."""
    totals = {}
    for r in rows:
        if r["operation"] in OPERATIONS and r["seconds"]:
            t = totals.setdefault(r["operation"], {}).setdefault(r["library"], [0, 0.0])
            t[0] += r["nbytes"]
            t[1] += r["seconds"]
    return {op: {lib: common.mb_per_s(b, s) for lib, (b, s) in libs.items()} for op, libs in totals.items()}


def fmt_rate(x):
    return f"{x:,.0f}" if x >= 10 else f"{x:.1f}"


def ratio_cell(ours, peers):
    best = max(peers.values())
    peer = max(peers, key=peers.get)
    return f"{ours / best:.2f}x", peer


def markdown_table(headers, rows, align=None):
    align = align or ["l"] + ["r"] * (len(headers) - 1)
    rule = ["---:" if a == "r" else "---" for a in align]
    return "\n".join("| " + " | ".join(map(str, r)) + " |" for r in [headers, rule] + rows)


def summary_table(totals):
    rows = []
    for op, (title, peers) in OPERATIONS.items():
        if op not in totals:
            continue
        rates = totals[op]
        cells = [rates.get(lib) for lib in LIBRARIES]
        ratio, fastest = ratio_cell(rates["vantelix"], {p: rates[p] for p in peers if p in rates})
        rows.append([f"{title} (`{op}`)"] + ["" if c is None else fmt_rate(c) for c in cells]
                    + [f"**{ratio}** ({fastest})"])
    return markdown_table(["operation"] + [f"{lib} MB/s" for lib in LIBRARIES]
                          + ["vantelix / fastest peer"], rows)


def operation_tables(rows):
    by = common.index_rows(rows)
    docs = common.documents_of(rows)
    parts = []
    for op, (title, peers) in OPERATIONS.items():
        mine = [r for r in rows if r["operation"] == op]
        if not mine:
            continue
        calls = {lib: by[mine[0]["document"], op, lib]["call"] for lib in ("vantelix",) + peers}
        lines = []
        for name, size in docs:
            if (name, op, "vantelix") not in by:
                continue
            rates = {lib: by[name, op, lib]["mb_per_s"] for lib in ("vantelix",) + peers}
            ratio, fastest = ratio_cell(rates["vantelix"], {p: rates[p] for p in peers})
            lines.append([name, f"{size / 1e6:.1f}"] + [fmt_rate(rates[lib]) for lib in ("vantelix",) + peers]
                         + [f"{ratio} ({fastest})"])
        head = ["document", "MB"] + [f"{lib} MB/s" for lib in ("vantelix",) + peers] + ["vantelix / fastest peer"]
        note = "; ".join(f"{lib}: `{calls[lib]}`" for lib in calls)
        parts.append(f"### {title}\n\n{note}\n\n{markdown_table(head, lines)}")
    return "\n\n".join(parts)


def memory_table(rows):
    by = common.index_rows(rows)
    lines = []
    for name, size in common.documents_of(rows):
        if (name, "peak memory", "vantelix") in by:
            lines.append([name, f"{size / 1e6:.1f}"]
                         + [f"{by[name, 'peak memory', lib]['peak_mb']:.1f}" for lib in ("vantelix", "ElementTree", "lxml")])
    if not lines:
        return ""
    return markdown_table(["document", "MB", "vantelix MB", "ElementTree MB", "lxml MB"], lines)


def threads_tables(found):
    rows = found["rows"]
    counts = sorted({r["threads"] for r in rows})
    lines = []
    for library in dict.fromkeys(r["library"] for r in rows):
        mine = {r["threads"]: r for r in rows if r["library"] == library}
        lines.append([library, f"{mine[counts[0]]['nbytes'] / 1e6:.0f}"]
                     + [fmt_rate(mine[n]["mb_per_s"]) for n in counts]
                     + [f"{mine[n]['speedup']:.2f}x" for n in counts[1:]]
                     + ["" if mine[n]["idle"] is None else f"{100 * mine[n]['idle']:.0f}%" for n in counts])
    text = markdown_table(["reader", "batch MB"] + [f"{n} thread{'s' if n > 1 else ''} MB/s" for n in counts]
                          + [f"speed-up, {n} threads" for n in counts[1:]]
                          + [f"machine idle, {n}" for n in counts], lines)
    if found["diagnosis"]:
        diag = [[d["document"], f"{d['read_s'] * 1e3:.2f}", f"{d['drop_s'] * 1e3:.2f}"]
                for d in found["diagnosis"]]
        text += ("\n\nOne vantelix call at a time: `read_file` with the tree kept, then the drop of the"
                 " tree (a large tree's walk holds the GIL for its first 32,768 nodes only):\n\n"
                 + markdown_table(["document", "read_file ms", "drop ms"], diag))
    return text


def chart(totals, path, title):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ops = [op for op in OPERATIONS if op in totals]
    libs = [lib for lib in LIBRARIES if any(lib in totals[op] for op in ops)]
    # Each group holds only the libraries that have a figure for that operation, centred.
    width = 0.8 / max(sum(lib in totals[op] for lib in libs) for op in ops)
    fig, ax = plt.subplots(figsize=(11, 5.2), dpi=110)
    placed = {lib: ([], []) for lib in libs}
    for j, op in enumerate(ops):
        present = [lib for lib in libs if lib in totals[op]]
        for i, lib in enumerate(present):
            placed[lib][0].append(j + (i - (len(present) - 1) / 2) * width)
            placed[lib][1].append(totals[op][lib])
    for lib in libs:
        xs, ys = placed[lib]
        bars = ax.bar(xs, ys, width, label=lib, color=COLOURS[lib])
        for bar, y in zip(bars, ys):
            ax.annotate(fmt_rate(y), (bar.get_x() + bar.get_width() / 2, y), ha="center", va="bottom",
                        fontsize=7, rotation=90, xytext=(0, 2), textcoords="offset points")
    ax.set_yscale("log")
    ax.set_xticks(range(len(ops)))
    ax.set_xticklabels([f"{OPERATIONS[op][0]}\n{op}" for op in ops], fontsize=8)
    ax.set_ylabel("MB/s over the whole corpus (log scale)")
    ax.set_title(title, fontsize=10)
    ax.grid(axis="y", which="both", alpha=0.25)
    ax.set_axisbelow(True)
    top = max(v for op in ops for v in totals[op].values())
    ax.set_ylim(top=top * 6)
    ax.legend(ncol=len(libs), fontsize=8, loc="upper left")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def machine_lines(m, load):
    return [
        f"- CPU: {m['cpu']}, {m['cores']} cores, {m['memory']} memory; {m['os']}",
        f"- Python: {m['python']}",
        f"- Peers: {m['peers']}",
        f"- Date: {m['date']}; commit {m['commit']}; load average before / after: {load[0]} / {load[1]}",
    ]


def readme_block(m, load, totals, docs):
    names = ", ".join(f"{n} ({s / 1e6:.1f} MB)" for n, s in docs)
    return "\n".join([
        MARK_START,
        "![Throughput of vantelix and its peers](bench/results/report.png)",
        "",
        f"Latest run: {m['date']}, {m['cpu']}, {m['cores']} cores, {m['python'].split(' (')[0]}"
        f" (load average {load[0]} at the start). Documents: {names}.",
        "",
        summary_table(totals),
        "",
        "Details per document, peak memory and multi-thread reading: "
        "[bench/results/report.md](bench/results/report.md).",
        MARK_END,
    ])


def update_readme(block, path=README):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    pattern = re.compile(re.escape(MARK_START) + r".*?" + re.escape(MARK_END), re.S)
    if not pattern.search(text):
        raise SystemExit(f"{path} has no block between the markers {MARK_START!r} and {MARK_END!r}")
    with open(path, "w", encoding="utf-8") as f:
        f.write(pattern.sub(lambda _: block, text, count=1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="real files only, three timed runs per figure")
    parser.add_argument("--repeat", type=int, help="timed runs per read and ops figure (median)")
    parser.add_argument("--budget", type=float,
                        help="seconds one figure may take before its repeats stop (default 2, quick 0.5)")
    parser.add_argument("--no-generated", action="store_true", help="only the shared real files")
    parser.add_argument("--no-threads", action="store_true", help="skip the 1- and 2-thread batch reads")
    parser.add_argument("--readme", action="store_true", help="rewrite the benchmark block of README.md")
    parser.add_argument("--out", default=os.path.join(HERE, "results"), help="directory for report.md/png")
    args = parser.parse_args()
    generated = not (args.quick or args.no_generated)
    budget = args.budget if args.budget is not None else (0.5 if args.quick else 2.0)

    def log(message):
        print(f"[{time.perf_counter() - started:6.1f}s] {message}", file=sys.stderr, flush=True)

    if importlib.util.find_spec("matplotlib") is None:  # before minutes of measuring
        raise SystemExit("report.py draws its chart with matplotlib: run bench/packages first")
    started = time.perf_counter()
    m = machine()
    load = [bench_threads.machine_load()]
    rows = bench_read.measure(args.quick, args.repeat, include_generated=generated, log=log, budget=budget)
    rows += bench_write.measure(args.quick, include_generated=generated, log=log, budget=budget)
    rows += bench_ops.measure(args.quick, args.repeat or (3 if args.quick else 5),
                              include_generated=generated, log=log, budget=budget)
    threads = None
    if not args.no_threads:
        threads = bench_threads.measure(rounds=3 if args.quick else 5, seconds=0.5, log=log)
    load.append(bench_threads.machine_load())
    elapsed = time.perf_counter() - started

    os.makedirs(args.out, exist_ok=True)
    totals = summary(rows)
    docs = common.documents_of(rows)
    chart(totals, os.path.join(args.out, "report.png"),
          f"vantelix and peers, whole corpus ({len(docs)} documents, "
          f"{sum(s for _, s in docs) / 1e6:.0f} MB) - {m['cpu']}, {m['cores']} cores, {m['date']}")

    peers = "; ".join(f"{k} = {v}" for k, v in PEER_NOTE.items())
    sections = [
        "# Benchmark report",
        "",
        *machine_lines(m, load),
        f"- Run: `{' '.join(['bench/report.py'] + sys.argv[1:])}`, {elapsed:.0f} s",
        "",
        "Throughput is MB of XML per second: the document read, searched or converted, or for the"
        " writers each library's own output. Figures are medians of timed runs (writers: best of"
        " interleaved rounds). The ratio is vantelix's throughput over the fastest peer's, so 2.00x"
        f" means twice as fast. Peers: {peers}.",
        "",
        "![Throughput](report.png)",
        "",
        "## Summary: every document once",
        "",
        summary_table(totals),
        "",
        "## Per document",
        "",
        operation_tables(rows),
    ]
    mem = memory_table(rows)
    if mem:
        sections += ["", "## Peak memory of one string parse", "",
                     "RSS growth of one `read_string` / `fromstring` in a fresh process.", "", mem]
    if threads:
        sections += ["", "## Many files on 1 and 2 threads", "",
                     "One batch of `read_file`-style calls over the real files through a"
                     " `ThreadPoolExecutor`; MB/s from the best of interleaved rounds, speed-up the median"
                     " over rounds of the 1-thread time over the 2-thread time. The GIL-free control hashes the"
                     " same bytes and shows the parallelism the machine offered during the run; \"vantelix processes\""
                     " reads in a process pool instead, sharing nothing. Machine idle = the idle CPU"
                     " share of the whole machine during the round.", "",
                     threads_tables(threads)]
    with open(os.path.join(args.out, "report.md"), "w", encoding="utf-8") as f:
        f.write("\n".join(sections) + "\n")
    if args.readme:
        update_readme(readme_block(m, load, totals, docs))
    log(f"wrote {os.path.join(args.out, 'report.md')} and report.png" + (" and README.md" if args.readme else ""))


if __name__ == "__main__":
    main()
