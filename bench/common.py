"""Timing and memory helpers shared by the benchmark scripts."""
import json
import os
import statistics
import subprocess
import sys
import time
import textwrap


def median_seconds(fn, repeat=7, min_time=0.0, budget=None, warm=True, spent=0.0):
    """Median wall time of `fn()` over `repeat` runs (after one warm-up run unless `warm` is
    false). With a `budget` in seconds, the timed runs stop early once the warm-up, the runs and
    `spent` (time the caller already used on this figure) add up to it; at least one run is
    timed, so slow calls cost one warm-up and one timed run. A warm-up that alone exceeds the
    budget is taken as the one measurement (slow calls gain little from a warm-up)."""
    if warm:
        t0 = time.perf_counter()
        fn()
        first = time.perf_counter() - t0
        if budget is not None and first >= budget:
            return first
        spent += first
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
        if budget is not None and spent + sum(times) >= budget:
            break
    return statistics.median(times)


def mb_per_s(nbytes, seconds):
    return nbytes / seconds / 1e6 if seconds > 0 else float("inf")


_MEMORY_PROBE = r"""
import json, os, sys
def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
{setup}
reset_peak()
base = status("VmRSS")
result = {action}
peak = status("VmHWM")
kept = status("VmRSS")
print(json.dumps({{"peak": peak - base, "kept": kept - base}}))
"""


def memory_of(setup, action):
    """Peak and retained RSS growth (bytes) of evaluating `action` after `setup`, in a fresh process.

    `setup` runs first (imports, loading the input); the peak is reset just before `action`.
    """
    code = _MEMORY_PROBE.format(setup=textwrap.dedent(setup), action=action)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env=dict(os.environ))
    return json.loads(out.stdout.strip().splitlines()[-1])


def result(document, size, operation, library, seconds, nbytes=None, call="", **extra):
    """One benchmark figure as a row: `seconds` per call of `call` by `library` on `document`
    (`size` bytes of XML); the rate counts `nbytes` (the document's size unless given, e.g. a
    writer's own output). Extra figures (peak_mb, ...) ride along as keys."""
    nbytes = size if nbytes is None else nbytes
    row = {"document": document, "size": size, "operation": operation, "library": library,
           "seconds": seconds, "nbytes": nbytes, "call": call,
           "mb_per_s": mb_per_s(nbytes, seconds) if seconds is not None else None}
    row.update(extra)
    return row


def index_rows(rows):
    """{(document, operation, library): row}."""
    return {(r["document"], r["operation"], r["library"]): r for r in rows}


def documents_of(rows):
    """(document, size) pairs in the order the rows first name them."""
    seen = {}
    for r in rows:
        seen.setdefault(r["document"], r["size"])
    return list(seen.items())


def table(rows, headers):
    """Formats rows (lists of str) as an aligned text table."""
    widths = [max(len(str(r[i])) for r in [headers] + rows) for i in range(len(headers))]
    line = lambda r: "  ".join(str(c).rjust(w) if i else str(c).ljust(w) for i, (c, w) in enumerate(zip(r, widths)))
    return "\n".join([line(headers), line(["-" * w for w in widths])] + [line(r) for r in rows])
