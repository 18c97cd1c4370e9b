"""read_bytes against ElementTree and lxml on the XML files of this machine.

Usage: PYTHONPATH=<build>/src /usr/bin/python3 bench/differential.py [--root /] [--max-mb 64] [-v]

Every *.xml file under --root (outside /proc, /sys, /dev, /run and /work) is read as bytes by
read_bytes and by ElementTree (lxml where ElementTree cannot: multi-byte and EBCDIC encodings), and
the trees are compared in the (name, attrs, text, children) shape of tests/test_read_oracle.py:
namespace prefixes and xmlns attributes left out, an element's text all of its direct character
data stripped of White_Space. Files that both refuse agree; the rest are sorted by why they
differ, and the encodings the files declare are counted. Not part of the test suite: what it
reads depends on the machine.
"""
import argparse
import collections
import os
import re
import sys
import xml.etree.ElementTree as ET

import lxml.etree as LET

import vantelix

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from test_read_oracle import WHITE_SPACE, XML_NS  # noqa: E402

SKIP = ("/proc", "/sys", "/dev", "/run", "/work", "/tmp")  # /tmp: test suites' leftovers
LXML_PARSER = LET.XMLParser(huge_tree=True, resolve_entities=False, load_dtd=False, no_network=True)
DECLARED = re.compile(rb"""^(?:\xef\xbb\xbf)?<\?xml[^>]*?encoding\s*=\s*["']([^"']*)["']""")


def files(root):
    for top, dirs, names in os.walk(root):
        dirs[:] = [d for d in dirs if os.path.join(top, d) not in SKIP]
        dirs.sort()
        names.sort()
        for name in names:
            path = os.path.join(top, name)
            if name.endswith(".xml") and os.path.isfile(path) and not os.path.islink(path):
                yield path


def local(name):
    if name.startswith(XML_NS):
        return "xml:" + name[len(XML_NS):]
    if name.startswith("xml:"):
        return name
    return name.rsplit("}", 1)[-1].rsplit(":", 1)[-1]


def shape(root, children, name, attrs, text):
    """The tree below `root` in preorder as (name, attrs, text, child count) rows: equal rows,
    equal trees. Built and compared without recursion, for deep documents."""
    rows, stack = [], [root]
    while stack:
        node = stack.pop()
        kids = list(children(node))
        a = {local(k): v for k, v in attrs(node).items() if k != "xmlns" and not k.startswith("xmlns:")}
        rows.append((local(name(node)), a, text(node), len(kids)))
        stack.extend(reversed(kids))
    return rows


def vx_shape(node):
    return shape(node, lambda n: n.children, lambda n: n.name, lambda n: n.attrs, lambda n: n.text)


def oracle_shape(el):
    def text(e):
        t = ((e.text or "") + "".join(c.tail or "" for c in e)).strip(WHITE_SPACE)
        return t or None

    def children(e):
        return [c for c in e if isinstance(c.tag, str)]

    return shape(el, children, lambda e: e.tag, lambda e: dict(e.attrib), text)


def oracle(data):
    """(library, root element) of the first oracle that reads the bytes, or (None, its error)."""
    try:
        return "ElementTree", ET.fromstring(data)
    except Exception as et_error:
        try:
            return "lxml", LET.fromstring(data, LXML_PARSER)
        except Exception:
            return None, et_error


def root_name(el, library):
    """The root's name as the document writes it, prefix included."""
    if library == "lxml":
        qname = LET.QName(el)
        return f"{el.prefix}:{qname.localname}" if el.prefix else qname.localname
    return local(el.tag)


def prefixed_root_name(data, el, library):
    """The root's name as the document writes it, prefix included: ElementTree drops prefixes,
    so lxml names it when it reads the file too."""
    if library == "ElementTree":
        try:
            return root_name(LET.fromstring(data, LXML_PARSER), "lxml")
        except Exception:
            pass
    return root_name(el, library)


def newlines(rows):
    """The rows with line ends as XML processors report them (CR LF and lone CR become LF)."""
    fix = lambda s: s if s is None else s.replace("\r\n", "\n").replace("\r", "\n")
    return [(n, {k: fix(v) for k, v in a.items()}, fix(t), c) for n, a, t, c in rows]


def python_decoded(data):
    """ElementTree's tree of the document decoded by Python's own codec for its declared encoding,
    or None."""
    m = DECLARED.match(data[:512])
    if not m:
        return None
    try:
        text = data.decode(m[1].decode("ascii"))
    except (LookupError, UnicodeError):
        return None
    text = text[text.index("?>") + 2:] if text.lstrip("\ufeff").startswith("<?xml") else text
    try:
        return ET.fromstring(text.encode("utf-8"))
    except ET.ParseError:
        return None


def compare(path, data):
    """(verdict, detail) for one file."""
    library, root = oracle(data)
    if library is None:
        # The first element's name, for a document in an encoding where tags are ASCII.
        first = re.search(rb"<([A-Za-z_][\w.:-]*)", re.sub(rb"<[?!][^>]*>", b"", data[:65536]))
        try:
            vantelix.read_bytes(data, first[1].decode() if first else "x")
        except ValueError:
            return "agree: both refuse", None
        if "prefix" in str(root):
            return "vantelix reads what the oracles refuse: namespace errors (no namespace processing)", str(root)[:100]
        return "vantelix reads what the oracles refuse", str(root)[:100]
    name = prefixed_root_name(data, root, library)
    if ":" not in name:
        # A prefix that neither oracle kept: the first start tag of that local name gives it.
        m = re.search(rb"<([A-Za-z_][\w.-]*:" + re.escape(name.encode()) + rb")[\s/>]", data)
        if m and b"<" + name.encode() not in data:
            name = m[1].decode()
    try:
        node = vantelix.read_bytes(data, name)
    except ValueError as e:
        message = str(e)
        if "unknown entity" in message and b"<!DOCTYPE" in data:
            return "differ: entities declared in a DTD (not read by design)", message
        return "differ: vantelix refuses", message
    got, expected = vx_shape(node), oracle_shape(root)
    if got == expected:
        return f"agree ({library})", None
    if b"<!ATTLIST" in data:
        return "differ: attribute defaults from the DTD (not read by design)", None
    if newlines(got) == newlines(expected):
        return "differ: CR kept in texts, as read_string keeps it (ElementTree and lxml make it LF)", None
    by_python = python_decoded(data)
    if by_python is not None and newlines(got) == newlines(oracle_shape(by_python)):
        return ("differ: lxml's converter maps some bytes otherwise than Python's codec "
                "(agrees with ElementTree on the text Python decodes)"), library
    return "differ: trees", library


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", default="/")
    parser.add_argument("--max-mb", type=float, default=64.0)
    parser.add_argument("-v", "--verbose", action="store_true", help="list every file that differs")
    args = parser.parse_args()

    verdicts = collections.Counter()
    encodings = collections.Counter()
    differing = collections.defaultdict(list)
    for path in files(args.root):
        try:
            if os.path.getsize(path) > args.max_mb * 1e6:
                verdicts["skipped: larger than --max-mb"] += 1
                continue
            with open(path, "rb") as f:
                data = f.read()
        except OSError:
            verdicts["skipped: unreadable"] += 1
            continue
        m = DECLARED.match(data[:512])
        bom = {b"\xff\xfe": "UTF-16LE mark", b"\xfe\xff": "UTF-16BE mark"}.get(data[:2])
        encodings[bom or (m[1].decode("latin-1").lower() if m else "(none: UTF-8)")] += 1
        verdict, detail = compare(path, data)
        verdicts[verdict] += 1
        if verdict.startswith("differ") or verdict.startswith("vantelix"):
            differing[verdict].append((path, detail))

    total = sum(verdicts.values())
    print(f"{total} files")
    for verdict, count in sorted(verdicts.items(), key=lambda kv: -kv[1]):
        print(f"  {count:6}  {verdict}")
    print("declared encodings: " + ", ".join(f"{k} {v}" for k, v in sorted(encodings.items(), key=lambda kv: -kv[1])))
    for verdict, items in differing.items():
        print(f"\n{verdict}:")
        for path, detail in items if args.verbose else items[:10]:
            print(f"  {path}" + (f"  ({detail})" if detail else ""))
        if not args.verbose and len(items) > 10:
            print(f"  ... {len(items) - 10} more (-v lists all)")


if __name__ == "__main__":
    main()
