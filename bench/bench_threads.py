"""Reading many files at once: a batch of read_file calls on 1 and 2 threads.

Usage: PYTHONPATH=<build>/src /usr/bin/python3 bench/bench_threads.py
           [--threads 1,2] [--rounds N] [--seconds S] [--generated] [--document NAME]
           [--no-diagnose]

Every library reads the same batch of files (the corpus, repeated until one thread needs about
--seconds) through a concurrent.futures.ThreadPoolExecutor with 1 and with 2 workers; each call's
tree is dropped in the worker that made it, as a program that reads, uses and forgets does. The
thread counts run in interleaved rounds; MB/s come from each count's best round, the least
disturbed one, and the speed-up is the median over rounds of 1-thread time / n-thread time (the
two runs of a round are next to each other in time, so their ratio is the steadier figure on a
shared machine).

Two control rows tell the library's own limits from the machine's:
  GIL-free control       hashlib.sha256 over the same bytes, preloaded: no GIL, no allocation.
                         It shows how many cores the machine gives two threads right now.
  vantelix processes     read_file in a ProcessPoolExecutor: nothing shared between the workers.
If the control and the processes scale and vantelix threads do not, the limit is something the
threads of one process share: the GIL, a process-wide lock, the allocator or the address space.

Next to each round's wall time the script records the machine's idle CPU share (from
/proc/stat: a busy machine caps every speed-up, which the control row shows), and for the
thread runs the process's CPU seconds and resource counters. The counters table gives, per MB
read by vantelix at 1 and 2 threads, user and system CPU milliseconds, minor page faults and
voluntary / involuntary context switches: more CPU per MB with 2 threads means the threads slow
each other down (a contended lock or cache line, page faults and munmap sharing one address-space
lock); more voluntary switches mean they sleep on a lock (the GIL or another). The diagnosis
(unless --no-diagnose) times one read_file and the drop of its tree per document; the drop runs
entirely with the GIL held. bench/gil_trace.py measures how long each thread holds and waits for
the GIL, with probes on the interpreter (root and perf needed).

`measure()` returns the figures as rows for bench/report.py.
"""
import argparse
import concurrent.futures as cf
import hashlib
import multiprocessing
import os
import resource
import statistics
import sys
import threading
import time
import xml.etree.ElementTree as ET

import lxml.etree as LET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import corpus  # noqa: E402
import vantelix  # noqa: E402

# An lxml parser serialises its users with a lock of its own, so each thread gets its own parser
# (huge_tree so that the 20 MB documents parse at all).
_lxml_parsers = threading.local()


def _lxml_parser():
    parser = getattr(_lxml_parsers, "parser", None)
    if parser is None:
        parser = _lxml_parsers.parser = LET.XMLParser(huge_tree=True)
    return parser


def _vantelix_read(task):
    vantelix.read_file(*task)


def _et_read(task):
    ET.parse(task[0])


def _lxml_read(task):
    LET.parse(task[0], _lxml_parser())


READERS = {
    "vantelix": (_vantelix_read, "read_file(path, root)"),
    "ElementTree": (_et_read, "ET.parse(path)"),
    "lxml": (_lxml_read, "etree.parse(path)"),
}


def _sha_of(blobs):
    def digest(task):
        hashlib.sha256(blobs[task[0]]).digest()
    return digest


def batch(docs, read, seconds):
    """The documents repeated, in turn, until one thread takes about `seconds` to read them."""
    one = [(path, root) for _name, path, root in docs]
    for task in one:  # warm the page cache and the library
        read(task)
    t0 = time.perf_counter()
    for task in one:
        read(task)
    elapsed = time.perf_counter() - t0
    reps = max(4, round(seconds / max(elapsed, 1e-6)))
    return one * reps


def cpu_ticks():
    """(idle, total) jiffies of the whole machine."""
    try:
        with open("/proc/stat") as f:
            v = [int(x) for x in f.readline().split()[1:]]
        return v[3] + v[4], sum(v)
    except (OSError, ValueError, IndexError):
        return 0, 0


def idle_share(before, after):
    total = after[1] - before[1]
    return (after[0] - before[0]) / total if total > 0 else None


def rusage():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return {"minflt": r.ru_minflt, "nvcsw": r.ru_nvcsw, "nivcsw": r.ru_nivcsw, "stime": r.ru_stime,
            "cpu": r.ru_utime + r.ru_stime}


def paired(best, walls):
    """Adds to each thread count's best round the median over rounds of (1-thread wall / this
    wall): the runs of one round are next to each other in time, so their ratio is steadier on
    a shared machine than the ratio of two bests taken at different moments."""
    base = walls[min(walls)]
    for n, ws in walls.items():
        best[n]["speedup"] = statistics.median(b / w for b, w in zip(base, ws))
    return best


def run_threads(fn, tasks, threads, rounds):
    """{n: {"seconds": best wall, "cpu": CPU seconds of that round, "usage": rusage deltas,
    "idle": the machine's idle CPU share during it, "speedup": see paired}}."""
    pools = {n: cf.ThreadPoolExecutor(n) for n in threads}
    try:
        # One untimed round per pool: every worker thread starts and warms its per-thread buffers
        # and malloc arena on the real work before anything is timed.
        for pool in pools.values():
            list(pool.map(fn, tasks))
        best, walls = {}, {}
        for _ in range(rounds):
            for n, pool in pools.items():
                before, ticks = rusage(), cpu_ticks()
                t0 = time.perf_counter()
                list(pool.map(fn, tasks))
                wall = time.perf_counter() - t0
                after, idle = rusage(), idle_share(ticks, cpu_ticks())
                walls.setdefault(n, []).append(wall)
                if n not in best or wall < best[n]["seconds"]:
                    usage = {k: after[k] - before[k] for k in before}
                    best[n] = {"seconds": wall, "cpu": usage["cpu"], "usage": usage, "idle": idle}
        return paired(best, walls)
    finally:
        for pool in pools.values():
            pool.shutdown()


def run_processes(fn, tasks, threads, rounds):
    """{n: {"seconds": best wall, "idle", "speedup"}} with a pool of n worker processes (spawned, so nothing of this
    process's threads is inherited)."""
    ctx = multiprocessing.get_context("spawn")
    pools = {n: cf.ProcessPoolExecutor(n, mp_context=ctx) for n in threads}
    chunk = max(1, len(tasks) // 64)
    try:
        for pool in pools.values():
            list(pool.map(fn, tasks, chunksize=chunk))
        best, walls = {}, {}
        for _ in range(rounds):
            for n, pool in pools.items():
                ticks = cpu_ticks()
                t0 = time.perf_counter()
                list(pool.map(fn, tasks, chunksize=chunk))
                wall = time.perf_counter() - t0
                idle = idle_share(ticks, cpu_ticks())
                walls.setdefault(n, []).append(wall)
                if n not in best or wall < best[n]["seconds"]:
                    best[n] = {"seconds": wall, "cpu": None, "usage": None, "idle": idle}
        return paired(best, walls)
    finally:
        for pool in pools.values():
            pool.shutdown()


def diagnose(docs, repeat=5):
    """Per document, one call at a time: read_file with the tree kept, then the drop of the tree
    (which runs entirely with the GIL held)."""
    out = []
    for name, path, root in docs:
        reads, drops = [], []
        for _ in range(repeat + 1):
            t0 = time.perf_counter()
            tree = vantelix.read_file(path, root)
            t1 = time.perf_counter()
            del tree
            t2 = time.perf_counter()
            reads.append(t1 - t0)
            drops.append(t2 - t1)
        out.append({"document": name, "size": os.path.getsize(path),
                    "read_s": statistics.median(reads[1:]), "drop_s": statistics.median(drops[1:])})
    return out


def measure(threads=(1, 2), rounds=7, seconds=0.6, include_generated=False, diagnosis=True,
            log=None, document=None):
    """{"rows": one row per library and thread count, "diagnosis": per-document rows or []}.
    Rows: common.result rows (document "batch of N files", time of the best round), with extra
    keys threads, speedup (median over rounds of 1-thread time / this time), cpu_use (CPU seconds / wall seconds, None for processes),
    usage (rusage deltas of the best round, None for processes), idle (the machine's idle CPU
    share during that round)."""
    docs = [d for d in corpus.documents(include_generated=include_generated or bool(document))
            if document is None or d[0] == document]
    if not docs:
        raise SystemExit(f"no document named {document}")
    blobs = {}
    for _name, path, _root in docs:
        with open(path, "rb") as f:
            blobs[path] = f.read()
    cases = [(lib, fn, call, run_threads) for lib, (fn, call) in READERS.items()]
    cases.append(("vantelix processes", _vantelix_read, "read_file in ProcessPoolExecutor", run_processes))
    cases.append(("GIL-free control", _sha_of(blobs), "hashlib.sha256(bytes)", run_threads))
    rows = []
    for library, fn, call, runner in cases:
        tasks = batch(docs, fn, seconds)
        nbytes = sum(len(blobs[path]) for path, _root in tasks)
        best = runner(fn, tasks, threads, rounds)
        for n in threads:
            b = best[n]
            rows.append(common.result(
                f"batch of {len(tasks)} files", nbytes, "read many files", library, b["seconds"],
                call=call, threads=n, speedup=b["speedup"],
                cpu_use=b["cpu"] / b["seconds"] if b["cpu"] is not None else None, usage=b["usage"],
                idle=b["idle"]))
        if log:
            log(f"threads: done {library}")
    return {"rows": rows, "diagnosis": diagnose(docs) if diagnosis else []}


def machine_load():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--threads", default="1,2", help="thread counts, comma separated (default 1,2)")
    parser.add_argument("--rounds", type=int, default=7, help="interleaved rounds (default 7)")
    parser.add_argument("--seconds", type=float, default=0.6, help="about how long one thread takes per batch")
    parser.add_argument("--generated", action="store_true", help="add the generated 20 MB documents")
    parser.add_argument("--document", help="only this corpus document (e.g. gen-tiny-elements.xml)")
    parser.add_argument("--no-diagnose", action="store_true", help="skip the GIL and counter diagnosis")
    args = parser.parse_args()
    threads = tuple(int(x) for x in args.threads.split(","))

    print(f"cores: {os.cpu_count()}, load average before: {machine_load()}")
    found = measure(threads, args.rounds, args.seconds, args.generated, not args.no_diagnose,
                    log=lambda m: print(m, file=sys.stderr, flush=True), document=args.document)
    print(f"load average after: {machine_load()}\n")
    rows = found["rows"]
    table = []
    for library in dict.fromkeys(r["library"] for r in rows):
        mine = {r["threads"]: r for r in rows if r["library"] == library}
        first = mine[min(threads)]
        line = [library, first["document"], f"{first['nbytes'] / 1e6:.0f}"]
        line += [f"{mine[n]['mb_per_s']:.0f}" for n in threads]
        line += [f"{mine[n]['speedup']:.2f}x" for n in threads[1:]]
        line += ["-" if mine[n]["cpu_use"] is None else f"{mine[n]['cpu_use']:.2f}" for n in threads]
        line += ["-" if mine[n]["idle"] is None else f"{100 * mine[n]['idle']:.0f}%" for n in threads]
        table.append(line)
    headers = (["library", "batch", "MB"] + [f"{n}t MB/s" for n in threads]
               + [f"speed-up {n}t" for n in threads[1:]] + [f"CPU use {n}t" for n in threads]
               + [f"idle {n}t" for n in threads])
    print("MB/s: best of interleaved rounds; speed-up: median over rounds; CPU use = process CPU seconds / wall seconds;"
          " idle = the machine's idle CPU share during that round")
    print(common.table(table, headers))

    counters = []
    for r in rows:
        if r["library"] == "vantelix" and r["usage"]:
            mb = r["nbytes"] / 1e6
            u = r["usage"]
            counters.append([f"vantelix {r['threads']}t", f"{(u['cpu'] - u['stime']) * 1e3 / mb:.2f}",
                             f"{u['stime'] * 1e3 / mb:.2f}", f"{u['minflt'] / mb:.1f}",
                             f"{u['nvcsw'] / mb:.1f}", f"{u['nivcsw'] / mb:.1f}"])
    if counters:
        print("\nvantelix per MB read")
        print(common.table(counters, ["run", "user ms", "sys ms", "minor faults", "vol switches",
                                      "invol switches"]))

    if found["diagnosis"]:
        print("\nvantelix, one call at a time: read_file with the tree kept, then the drop of the tree")
        diag = [[d["document"], f"{d['size'] / 1e6:.1f}", f"{d['read_s'] * 1e3:.2f}", f"{d['drop_s'] * 1e3:.2f}",
                 f"{100 * d['drop_s'] / (d['read_s'] + d['drop_s']):.0f}%"]
                for d in found["diagnosis"]]
        print(common.table(diag, ["document", "MB", "read ms", "drop ms", "drop share"]))


if __name__ == "__main__":
    main()
