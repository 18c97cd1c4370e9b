"""Differential tests: trees read by vantelix equal those of xml.etree.ElementTree.

The comparison applies the reader's text rule to ElementTree's output: an element's text is all of
its direct character data (ET's .text plus every child's .tail) concatenated, then stripped of
Unicode White_Space, and absent when nothing remains.
"""
import random
import re
import xml.etree.ElementTree as ET

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vantelix
from conftest import corpus_path

# The Unicode White_Space property (not str.strip's notion, which adds U+001C..U+001F).
WHITE_SPACE = "".join(map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                               0x2028, 0x2029, 0x202F, 0x205F, 0x3000]))
XML_NS = "{http://www.w3.org/XML/1998/namespace}"


def tree_of(node):
    """A vantelix tree as nested (name, attrs, text, children) tuples, without recursion limits
    mattering for the documents used here."""
    return (node.name, node.attrs, node.text, [tree_of(c) for c in node.children])


def _et_name(name):
    if name.startswith(XML_NS):
        return "xml:" + name[len(XML_NS):]
    return name.rsplit("}", 1)[-1]  # default namespace: compare local names


def et_tree(el):
    text = ((el.text or "") + "".join(c.tail or "" for c in el)).strip(WHITE_SPACE)
    attrs = {_et_name(k): v for k, v in el.attrib.items()}
    return (_et_name(el.tag), attrs, text or None, [et_tree(c) for c in el])


def without_xmlns(tree):
    name, attrs, text, children = tree
    attrs = {k: v for k, v in attrs.items() if k != "xmlns" and not k.startswith("xmlns:")}
    return (name, attrs, text, [without_xmlns(c) for c in children])


@pytest.mark.parametrize("name, root", [
    ("freedesktop.org.xml", "mime-info"),
    ("iso_639-3.xml", "iso_639_3_entries"),
    ("evdev.xml", "xkbConfigRegistry"),
])
def test_corpus_matches_elementtree(name, root):
    path = corpus_path(name)
    with open(path, encoding="utf-8") as f:
        # ElementTree applies attribute defaults declared in the DTD; the reader reads no DTD.
        text = re.sub(r"<!DOCTYPE[^\[>]*\[.*?\]>", "", f.read(), count=1, flags=re.S)
    expected = et_tree(ET.fromstring(text.encode()))
    assert without_xmlns(tree_of(vantelix.read_file(path, root))) == expected


# ---------------------------------------------------------------------------------------------
# Generated documents

NAMES = ["a", "b", "item", "x-y", "n.1", "ä", "日本", "_z"]
TEXT_CHARS = "ab <>&'\"\t\n\r ż€😀\u00a0\u3000\x85;#"


def escape_text(s):
    return (s.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace("\r", "&#13;"))


def escape_attr(s, quote):
    s = escape_text(s).replace("\t", "&#9;").replace("\n", "&#10;")
    return s.replace(quote, "&quot;" if quote == '"' else "&apos;")


def serialise(tree, rng, out):
    name, attrs, texts, children = tree
    out.append("<" + name)
    for k, v in attrs.items():
        q = rng.choice("\"'")
        out.append(f" {k}{rng.choice(['=', ' = '])}{q}{escape_attr(v, q)}{q}")
    if not children and not any(texts):
        out.append(rng.choice(["/>", "></" + name + ">"]))
        return
    out.append(">")
    for i, child in enumerate(children):
        out.append(_text(texts[i], rng))
        serialise(child, rng, out)
        if rng.random() < 0.1:
            out.append("<!-- note -->")
    out.append(_text(texts[len(children)], rng))
    out.append(f"</{name}{rng.choice(['', ' ', chr(10)])}>")


def _text(s, rng):
    if s and rng.random() < 0.2 and "]]>" not in s and "\r" not in s:
        return f"<![CDATA[{s}]]>"
    return escape_text(s)


def random_tree(rng, depth=0):
    n_children = rng.randint(0, 4) if depth < 5 else 0
    attrs = {}
    for _ in range(rng.randint(0, 3)):
        attrs[rng.choice(NAMES)] = "".join(rng.choice(TEXT_CHARS) for _ in range(rng.randint(0, 6)))
    texts = ["".join(rng.choice(TEXT_CHARS) for _ in range(rng.randint(0, 5)))
             for _ in range(n_children + 1)]
    return (rng.choice(NAMES), attrs, texts, [random_tree(rng, depth + 1) for _ in range(n_children)])


def check_against_elementtree(doc, root):
    expected = et_tree(ET.fromstring(doc))
    assert tree_of(vantelix.read_string(doc, root)) == expected


@pytest.mark.parametrize("seed", range(150))
def test_generated_documents_match_elementtree(seed):
    rng = random.Random(seed)
    tree = random_tree(rng)
    out = ['<?xml version="1.0"?>\n'] if seed % 3 == 0 else []
    serialise(tree, rng, out)
    check_against_elementtree("".join(out), tree[0])


xml_text = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00\ufffe\uffff",
                                 min_codepoint=9).filter(lambda c: c in "\t\n\r" or ord(c) >= 0x20),
                   max_size=8)
trees = st.recursive(
    st.tuples(st.sampled_from(NAMES), st.dictionaries(st.sampled_from(NAMES), xml_text, max_size=3),
              st.lists(xml_text, min_size=1, max_size=1), st.just([])),
    lambda kids: st.lists(kids, max_size=4).flatmap(
        lambda cs: st.tuples(st.sampled_from(NAMES), st.dictionaries(st.sampled_from(NAMES), xml_text, max_size=3),
                             st.lists(xml_text, min_size=len(cs) + 1, max_size=len(cs) + 1), st.just(cs))),
    max_leaves=12,
)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees, st.integers(0, 2**32))
def test_hypothesis_documents_match_elementtree(tree, seed):
    out = []
    serialise(tree, random.Random(seed), out)
    check_against_elementtree("".join(out), tree[0])
