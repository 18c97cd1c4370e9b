"""Streaming a dump larger than one wants to hold: iter_elements against lxml's and ElementTree's
iterparse (with the usual clearing), each in a subprocess of its own for a clean peak RSS.

    PYTHONPATH=build-test/src /usr/bin/python3 bench/bench_stream.py [--gb 1] [--big-gb 4]
        [--repeat 3] [--big-readers vantelix,lxml,etree] [--path /tmp/vx_stream_dump.xml]
        [--before DIR] [--encoding UTF-16]

Writes the dump at --path (and .gz beside it) and deletes them at the end. Each run reads the
title of every page. The readers take turns, round after round (--repeat), so they share
whatever else the machine is doing; the best round of each is shown, with the median. Peak RSS
is the child's VmHWM minus its VmRSS after the imports (the largest of the rounds). The larger
dump (--big-gb) is read raw by --big-readers. --before adds a run of the vantelix built in DIR
(say, the previous commit's build directory's src) beside this one, raw and through gzip.
--encoding writes the dumps in another encoding that every reader knows (UTF-16, ISO-8859-1...);
pages hold characters outside Latin-1, so only encodings of all of Unicode make sense there.
"""
import argparse
import codecs
import gzip
import os
import statistics
import subprocess
import sys
import time

PAGE = (
    '<page id="{i}" ns="0" lang="fr">\n'
    "  <title>Caf&#233; n\u00b0{i} &amp; cr\u00e8me br\u00fbl\u00e9e</title>\n"
    '  <revision ts="2024-05-{d:02d}T12:00:00Z" user="\u5c71\u7530 &quot;{i}&quot;">\n'
    "    <text>{body}</text>\n"
    "  </revision>\n"
    "</page>\n"
)
BODY = (
    "\u00c9t\u00e9 \u2013 les na\u00efves r\u00eaveries &lt;ref&gt; &#x4E2D;&#25991; "
    "\u0417\u0434\u0440\u0430\u0432\u0441\u0442\u0432\u0443\u0439 "
) * 8


def generate(path, gigabytes, encoding="UTF-8"):
    target = int(gigabytes * 1e9)
    encode = codecs.getincrementalencoder(encoding)().encode  # a byte-order mark only once
    with open(path, "wb") as f:
        f.write(encode(f'<?xml version="1.0" encoding="{encoding}"?>\n<dump>\n'))
        i = 0
        while f.tell() < target:
            block = "".join(PAGE.format(i=i + k, d=(i + k) % 28 + 1, body=BODY) for k in range(2000))
            f.write(encode(block))
            i += 2000
        f.write(encode("</dump>\n"))
    return i


def compress(path):
    with open(path, "rb") as src, gzip.open(path + ".gz", "wb", compresslevel=1) as dst:
        while chunk := src.read(1 << 24):
            dst.write(chunk)


CHILD = r'''
import sys, time, gzip
def rss(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) // 1024
which, path, gz = sys.argv[1], sys.argv[2], sys.argv[3] == "gz"
if which == "vantelix":
    import vantelix
elif which == "lxml":
    from lxml import etree
elif which == "etree":
    import xml.etree.ElementTree as ET
base = rss("VmRSS")
t = time.perf_counter()
src = gzip.open(path + ".gz", "rb") if gz else path
n = 0
if which == "vantelix":
    for page in vantelix.iter_elements(src, "page"):
        n += len(page.children[0].text)
elif which == "read_file":
    import vantelix
    base = rss("VmRSS")
    for page in vantelix.read_file(path, "dump").children:
        n += len(page.children[0].text)
elif which == "lxml":
    for _, el in etree.iterparse(src, tag="page"):
        n += len(el.findtext("title"))
        el.clear()
        while el.getprevious() is not None:
            del el.getparent()[0]
else:
    root = None
    for ev, el in ET.iterparse(src, events=("start", "end")):
        if root is None:
            root = el
        if ev == "end" and el.tag == "page":
            n += len(el.findtext("title"))
            root.clear()
print(time.perf_counter() - t, rss("VmHWM") - base, n)
'''


def run(which, path, gz=False):
    env = None
    if "=" in which:  # "vantelix=DIR": the vantelix built in DIR, for a before and after
        which, where = which.split("=", 1)
        env = dict(os.environ, PYTHONPATH=where)
    out = subprocess.run([sys.executable, "-c", CHILD, which, path, "gz" if gz else "raw"],
                         capture_output=True, text=True, env=env)
    if out.returncode:
        return f"{which}: failed: {out.stderr.strip()[-300:]}"
    secs, peak, n = out.stdout.split()
    return float(secs), int(peak), int(n)


def rounds(rows, path, repeat):
    """Runs every (reader, gzip) row once per round; the best time of each, the median, the
    largest peak. A failure is kept as its message."""
    times = {row: [] for row in rows}
    peaks = {row: 0 for row in rows}
    failed = {}
    for _ in range(repeat):
        for row in rows:
            if row in failed:
                continue
            r = run(row[0], path, row[1])
            if isinstance(r, str):
                failed[row] = r
                continue
            times[row].append(r[0])
            peaks[row] = max(peaks[row], r[1])
    results = {}
    for row in rows:
        if row in failed:
            results[row] = failed[row]
        else:
            results[row] = (min(times[row]), statistics.median(times[row]), peaks[row])
    return results


def report(results, size):
    for (which, gz), r in results.items():
        if isinstance(r, str):
            print(r)
            continue
        best, median, peak = r
        print(f"{which + (' (gzip)' if gz else ''):20} {best:7.2f} s  {size / best / 1e6:7.0f} MB/s"
              f"  (median {median:.2f} s)  peak RSS +{peak} MB")
    for (which, gz), r in results.items():
        v = results.get(("vantelix", gz))
        if which.startswith("vantelix=") and isinstance(r, tuple) and isinstance(v, tuple):
            print(f"vantelix{' (gzip)' if gz else ''} vs the build in {which[len('vantelix='):]}: "
                  f"{r[0] / v[0]:.2f}x best, {r[1] / v[1]:.2f}x median")
    for gz in (False, True):
        v = results.get(("vantelix", gz))
        for other in ("lxml", "etree"):
            o = results.get((other, gz))
            if isinstance(v, tuple) and isinstance(o, tuple):
                print(f"vantelix vs {other}{' (gzip)' if gz else ''}: {o[0] / v[0]:.1f}x best, "
                      f"{o[1] / v[1]:.1f}x median")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--gb", type=float, default=1.0)
    ap.add_argument("--big-gb", type=float, default=4.0)
    ap.add_argument("--repeat", type=int, default=1)
    ap.add_argument("--big-readers", default="vantelix")
    ap.add_argument("--path", default="/tmp/vx_stream_dump.xml")
    ap.add_argument("--skip-read-file", action="store_true")
    ap.add_argument("--skip-gzip", action="store_true")
    ap.add_argument("--before", help="a directory holding another build of vantelix, read too")
    ap.add_argument("--encoding", default="UTF-8", help="the dumps' encoding (UTF-8, UTF-16...)")
    args = ap.parse_args()
    dump = args.path
    print("command:", " ".join([os.path.basename(sys.executable)] + sys.argv))
    try:
        t = time.perf_counter()
        pages = generate(dump, args.gb, args.encoding)
        size = os.path.getsize(dump)
        print(f"dump: {size / 1e9:.2f} GB, {pages} pages ({time.perf_counter() - t:.0f} s to write)")
        readers = ["vantelix", "lxml", "etree"]
        if args.before:
            readers.insert(1, "vantelix=" + args.before)
        rows = [(w, False) for w in readers]
        if not args.skip_read_file:
            rows.append(("read_file", False))
        if not args.skip_gzip:
            compress(dump)
            print(f"gzip: {os.path.getsize(dump + '.gz') / 1e6:.0f} MB")
            rows += [(w, True) for w in readers]
        report(rounds(rows, dump, args.repeat), size)
        if args.big_gb:
            if os.path.exists(dump + ".gz"):
                os.unlink(dump + ".gz")
            pages = generate(dump, args.big_gb, args.encoding)
            size = os.path.getsize(dump)
            print(f"dump: {size / 1e9:.2f} GB, {pages} pages")
            big = [(w, False) for w in args.big_readers.split(",")]
            if args.before:
                big.insert(1, ("vantelix=" + args.before, False))
            report(rounds(big, dump, args.repeat), size)
    finally:
        for p in (dump, dump + ".gz"):
            if os.path.exists(p):
                os.unlink(p)


if __name__ == "__main__":
    main()
