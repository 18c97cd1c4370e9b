"""Where the threads of a many-files read spend their time: GIL held, waiting for it, or free.

Usage (root, Debian's linux-perf installed):
  PYTHONPATH=<build>/src /usr/bin/python3 bench/gil_trace.py [--threads 1,2] [--seconds 3]
      [--reader vantelix|lxml] [--generated] [--document NAME]

Runs the same workload as bench_threads.py (read_file over the corpus through a
ThreadPoolExecutor, each tree dropped in its worker) in a child process under `perf record`, with
user-space probes on the interpreter's PyEval_SaveThread and PyEval_RestoreThread (entry and
return). Every C extension, and the interpreter itself around blocking calls, gives the GIL up
through the first and takes it back through the second, so per thread:
  GIL-free   from SaveThread to the entry of RestoreThread: the thread works (or sleeps) without it
  waiting    from the entry of RestoreThread to its return: the thread wants the GIL back
  held       everything else
The sum of `held` over all threads is the GIL's utilisation: two threads cannot beat one by more
than 1 / (held share of one thread), and a utilisation near 100% means the GIL is the limit. A
thread's shares are of wall time, so time spent runnable but not scheduled (a busy machine)
counts wherever the thread was; the idle-CPU figure says how busy the machine was.

The probes are added under the group "vxgil" and removed at the end; tracefs is mounted for the
run if it is not already.
"""
import argparse
import collections
import json
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TRACEFS = "/sys/kernel/tracing"
EVENTS = {"save": "PyEval_SaveThread", "restore": "PyEval_RestoreThread",
          "restored": "PyEval_RestoreThread%return"}

WORKER = r"""
import concurrent.futures as cf, json, os, sys, threading, time
sys.path.insert(0, {here!r})
import corpus
reader, n, seconds, generated, only = {reader!r}, {threads}, {seconds}, {generated}, {only!r}
docs = [(p, r) for name, p, r in corpus.documents(include_generated=generated or bool(only))
        if not only or name == only]
if not docs:
    raise SystemExit(f"no document named {{only}}")
if reader == "vantelix":
    import vantelix
    def job(task):
        vantelix.read_file(*task)
        return threading.get_native_id()
else:
    import lxml.etree as LET
    local = threading.local()  # a parser locks out other threads, so one per thread
    def job(task):
        if not hasattr(local, "parser"):
            local.parser = LET.XMLParser(huge_tree=True)
        LET.parse(task[0], local.parser)
        return threading.get_native_id()
def idle():
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    return v[3] + v[4], sum(v)
tasks = docs * max(4, round(50e6 / sum(os.path.getsize(p) for p, _ in docs)))
with cf.ThreadPoolExecutor(n) as ex:
    workers = set(ex.map(job, docs * 2 * n))
    reads, nbytes = 0, 0
    i0, s0 = idle()
    start = time.monotonic()
    while time.monotonic() - start < seconds:
        workers |= set(ex.map(job, tasks))
        reads += len(tasks)
        nbytes += sum(os.path.getsize(p) for p, _ in tasks)
    end = time.monotonic()
    i1, s1 = idle()
print(json.dumps({{"start": start, "end": end, "reads": reads, "bytes": nbytes,
                  "main": threading.get_native_id(), "workers": sorted(workers),
                  "idle": (i1 - i0) / max(1, s1 - s0)}}))
"""


def run(cmd, **kw):
    done = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if done.returncode != 0:
        raise SystemExit(f"{cmd[0]} {cmd[1]} failed ({done.returncode}): {done.stderr.strip()[-2000:]}")
    return done


class Probes:
    """Adds the interpreter probes (and tracefs when absent) and takes them away again."""

    def __init__(self, python):
        self.python = os.path.realpath(python)
        self.mounted = False

    def __enter__(self):
        if not os.path.exists(os.path.join(TRACEFS, "uprobe_events")):
            run(["mount", "-t", "tracefs", "nodev", TRACEFS])
            self.mounted = True
        subprocess.run(["perf", "probe", "-q", "-d", "vxgil:*"], capture_output=True)
        cmd = ["perf", "probe", "-q", "-x", self.python]
        for name, where in EVENTS.items():
            cmd += ["-a", f"vxgil:{name}={where}"]
        run(cmd)
        return self

    def __exit__(self, *exc):
        subprocess.run(["perf", "probe", "-q", "-d", "vxgil:*"], capture_output=True)
        if self.mounted:
            subprocess.run(["umount", TRACEFS], capture_output=True)


def trace(reader, threads, seconds, generated, workdir, only=None):
    """Runs the workload under perf; returns (worker's report, [(time, tid, event)])."""
    data = os.path.join(workdir, f"gil-{threads}.data")
    code = WORKER.format(here=HERE, reader=reader, threads=threads, seconds=seconds, generated=generated,
                         only=only)
    record = ["perf", "record", "-q", "-k", "CLOCK_MONOTONIC", "-o", data]
    for name in EVENTS:  # perf names a return probe "<name>__return"
        record += ["-e", f"vxgil:{name}" + ("__return" if EVENTS[name].endswith("%return") else "")]
    out = run(record + ["--", sys.executable, "-c", code], env=dict(os.environ))
    info = json.loads(out.stdout.strip().splitlines()[-1])
    script = run(["perf", "script", "-i", data, "-F", "tid,time,event"]).stdout
    events = []
    for line in script.splitlines():
        parts = line.split()
        if len(parts) >= 3:
            name = parts[2].rstrip(":").split(":")[-1]
            events.append((float(parts[1].rstrip(":")), int(parts[0]), name.replace("__return", "")))
    return info, events


def analyse(info, events):
    """Per thread in the measured window: seconds GIL-free, waiting, held; wait times."""
    lo, hi = info["start"], info["end"]
    state = collections.defaultdict(dict)
    free, wait = collections.Counter(), collections.Counter()
    waits = collections.defaultdict(list)
    releases = collections.Counter()
    for t, tid, name in events:
        s = state[tid]
        if name == "save":
            s.clear()
            s["save"] = t
        elif name == "restore":
            s["restore"] = t
        elif name == "restored" and "save" in s and "restore" in s:
            a, b, c = max(s["save"], lo), max(s["restore"], lo), min(t, hi)
            b = min(b, hi)
            if c > a:
                free[tid] += max(0.0, b - a)
                wait[tid] += max(0.0, c - b)
                if lo <= s["restore"] <= hi:
                    waits[tid].append(t - s["restore"])
                    releases[tid] += 1
            s.clear()
    span = hi - lo
    out = {}
    for tid in [info["main"]] + info["workers"]:
        w = sorted(waits[tid]) or [0.0]
        out[tid] = {"free": free[tid] / span, "wait": wait[tid] / span,
                    "held": max(0.0, 1 - (free[tid] + wait[tid]) / span), "releases": releases[tid],
                    "wait_p50": w[len(w) // 2], "wait_p90": w[int(len(w) * 0.9)], "wait_max": w[-1]}
    return span, out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--reader", default="vantelix", choices=("vantelix", "lxml"))
    parser.add_argument("--generated", action="store_true", help="add the generated 20 MB documents")
    parser.add_argument("--document", help="only this corpus document (e.g. gen-tiny-elements.xml)")
    args = parser.parse_args()
    if os.geteuid() != 0 or not shutil.which("perf"):
        raise SystemExit("needs root and perf (apt-get install linux-perf)")

    rows, rates = [], {}
    workdir = tempfile.mkdtemp(prefix="gil_trace_")
    try:
        with Probes(sys.executable):
            for n in (int(x) for x in args.threads.split(",")):
                info, events = trace(args.reader, n, args.seconds, args.generated, workdir, args.document)
                span, per = analyse(info, events)
                rates[n] = info["bytes"] / span / 1e6
                total_held = sum(p["held"] for p in per.values())
                for tid, p in per.items():
                    role = "main" if tid == info["main"] else "worker"
                    if role == "worker" and tid not in info["workers"]:
                        continue
                    rows.append([f"{n}", role, f"{100 * p['held']:.1f}%", f"{100 * p['wait']:.1f}%",
                                 f"{100 * p['free']:.1f}%",
                                 f"{p['releases'] / max(1, info['reads']) * (1 if role == 'main' else len(info['workers'])):.2f}",
                                 f"{p['wait_p50'] * 1e6:.0f}", f"{p['wait_p90'] * 1e6:.0f}",
                                 f"{p['wait_max'] * 1e6:.0f}"])
                rows.append([f"{n}", "all (GIL use)", f"{100 * total_held:.1f}%", "", "", "", "", "", ""])
                print(f"{args.reader}, {n} thread(s): {rates[n]:.0f} MB/s over {span:.2f} s, {info['reads']} reads, "
                      f"idle CPU {100 * info['idle']:.0f}% of the machine", flush=True)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    sys.path.insert(0, HERE)
    import common
    print("\nshares of the measured wall time per thread; releases = GIL releases per read on that thread;"
          " waits in microseconds")
    print(common.table(rows, ["threads", "thread", "GIL held", "waiting", "GIL-free", "releases/read",
                              "wait p50", "wait p90", "wait max"]))
    counts = sorted(rates)
    for n in counts[1:]:
        print(f"speed-up {n} threads: {rates[n] / rates[counts[0]]:.2f}x")


if __name__ == "__main__":
    main()
