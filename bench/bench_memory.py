"""Memory of the ways programs keep and drop trees: vantelix beside xml.etree.ElementTree.

Usage: PYTHONPATH=<build>/src /usr/bin/python3 bench/bench_memory.py [--only NAME ...] [--path DIR]

Each pattern runs in a fresh interpreter, which reads /proc/self/statm before and after; the
figure is the growth of resident memory in MB. "kept" patterns hold their trees when measured;
"after drop" patterns have dropped everything they read, so their figure is what the process
keeps for itself. `--path` puts another build's module first (for comparing two builds).
"""
import argparse
import json
import os
import subprocess
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import corpus  # noqa: E402

PRELUDE = r"""
import gc, json, os, sys, threading
import xml.etree.ElementTree as ET
import vantelix
PAGE = os.sysconf("SC_PAGE_SIZE")
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE
def tiny(i):
    return f'<r id="{i}"><a>x{i}</a></r>'
def doc6k(i):
    items = "".join(
        f'<item id="{i}-{k}" kind="k{k % 7}"><name>name {i} {k}</name><value>{k * 31 + i}</value></item>'
        for k in range(60))
    return f'<doc n="{i}">{items}</doc>'
LIB = sys.argv[1]
if LIB == "vantelix":
    parse = lambda text, root: vantelix.read_string(text, root)
    children = lambda tree: tree.children
else:
    parse = lambda text, root: ET.fromstring(text)
    children = lambda tree: list(tree)
BIG = sys.argv[2]
"""

# name -> (description, setup, body); the body sets `result` to the MB figure.
PATTERNS = {
    "tiny-keep": ("keep 1,000 tiny parsed trees", "", """
kept = [parse(tiny(i), "r") for i in range(1000)]
"""),
    "tiny-node": ("keep 1,000 tiny trees built with Node(...)", "", """
if LIB == "vantelix":
    kept = [vantelix.Node("r", {"id": str(i)}, [vantelix.Node("a", None, None, f"x{i}")])
            for i in range(1000)]
else:
    kept = []
    for i in range(1000):
        r = ET.Element("r", {"id": str(i)})
        ET.SubElement(r, "a").text = f"x{i}"
        kept.append(r)
"""),
    "6k-keep": ("keep 300 parsed 6 KB trees", "", """
kept = [parse(doc6k(i), "doc") for i in range(300)]
"""),
    "6k-child": ("keep one child of each of 300 6 KB trees", "", """
kept = [children(parse(doc6k(i), "doc"))[30] for i in range(300)]
"""),
    "threads-keep": ("50 threads each keep one 6 KB tree", "", """
kept = [None] * 50
def work(n):
    kept[n] = parse(doc6k(n), "doc")
threads = [threading.Thread(target=work, args=(n,)) for n in range(50)]
for t in threads: t.start()
for t in threads: t.join()
"""),
    "big-live": ("20 MB attribute-dense tree, held", "text = open(BIG, encoding='utf-8').read()", """
tree = parse(text, "entries")
"""),
    "big-drop": ("20 MB attribute-dense tree, after its drop", "text = open(BIG, encoding='utf-8').read()", """
tree = parse(text, "entries")
del tree
"""),
    "big-repeat-drop": ("20 MB tree read 3 times, after the drops", "text = open(BIG, encoding='utf-8').read()", """
for _ in range(3):
    tree = parse(text, "entries")
    del tree
"""),
    "tiny-drop": ("1,000 tiny trees kept, after their drop", "", """
kept = [parse(tiny(i), "r") for i in range(1000)]
del kept
"""),
    "6k-drop": ("300 6 KB trees kept, after their drop", "", """
kept = [parse(doc6k(i), "doc") for i in range(300)]
del kept
"""),
    "burst-drop": ("2 threads each keep 1,000 6 KB trees, after the drop", "", """
kept = [None] * 2
def work(n):
    kept[n] = [parse(doc6k(i), "doc") for i in range(1000)]
threads = [threading.Thread(target=work, args=(n,)) for n in range(2)]
for t in threads: t.start()
for t in threads: t.join()
del kept
"""),
}


def script(setup, body):
    return (PRELUDE + setup + "\ngc.collect()\nbase = rss()\n" + textwrap.dedent(body)
            + "\ngc.collect()\nprint(json.dumps((rss() - base) / 1e6))\n")


def measure(name, lib, path=None):
    """RSS growth in MB of one pattern for one library, in a fresh interpreter."""
    _, setup, body = PATTERNS[name]
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = path + os.pathsep + env.get("PYTHONPATH", "")
    big = next(p for n, p, _ in corpus.documents() if n == "gen-attribute-dense.xml")
    out = subprocess.run([sys.executable, "-c", script(setup, body), lib, big], env=env,
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--only", nargs="*", default=None)
    ap.add_argument("--path", default=None, help="directory holding the vantelix module to measure")
    args = ap.parse_args()
    names = args.only or list(PATTERNS)
    print(f"{'pattern':<58}{'vantelix MB':>12}{'ElementTree MB':>16}{'ratio':>8}")
    for name in names:
        mine = measure(name, "vantelix", args.path)
        peer = measure(name, "ElementTree", args.path)
        ratio = f"{mine / peer:.2f}" if peer > 0.05 else "-"
        print(f"{name + ': ' + PATTERNS[name][0]:<58}{mine:>12.1f}{peer:>16.1f}{ratio:>8}", flush=True)


if __name__ == "__main__":
    main()
