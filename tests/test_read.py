"""read_string and read_file: trees, error messages and offsets, arguments, files, threads, depth."""
import io
import os
import pathlib
import random
import sys
import xml.etree.ElementTree as ET

import hypothesis
import hypothesis.strategies as st
import pytest

import vantelix
from conftest import corpus_path
from test_read_oracle import tree_of

read_string = vantelix.read_string
read_file = vantelix.read_file


def node(name, attrs=None, text=None, *children):
    return (name, attrs or {}, text, list(children))


# ---------------------------------------------------------------------------------------------
# Trees


TREES = [
    ("<a><b/></a>", "b", node("b")),
    ("<a> x <b>y</b> z </a>", "a", node("a", {}, "x  z", node("b", {}, "y"))),
    ("<a>  </a>", "a", node("a")),
    ("<a></a>", "a", node("a")),
    ("<a><![CDATA[ <x> ]]></a>", "a", node("a", {}, "<x>")),
    ("<a><![CDATA[]]></a>", "a", node("a")),
    ("<r><a/><a k='1'/></r>", "a", node("a")),
    ("<outer><inner>t</inner></outer>", "inner", node("inner", {}, "t")),
    ("<outer><inner>t</inner>", "inner", node("inner", {}, "t")),
    ("<r>a &amp; b</r>", "r", node("r", {}, "a & b")),
    ("<r>plain</r>", "r", node("r", {}, "plain")),
    ("<r><!-- c --><?pi x?>t</r>", "r", node("r", {}, "t")),
    ("<x>&bogus;</x><r/>", "r", node("r")),
    ("<x a=1 b><r/></x>", "r", node("r")),  # start tags before the root: only the name counts
    ("<r>a<!--c-->b</r>", "r", node("r", {}, "ab")),
    ("<r> <b/> x <c/> </r>", "r", node("r", {}, "x", node("b"), node("c"))),
    ("<r>a<b/>  <c/>b</r>", "r", node("r", {}, "a  b", node("b"), node("c"))),
    ("<r>\n  <b/>\n  <c/>\n</r>", "r", node("r", {}, None, node("b"), node("c"))),
    # Blank and other runs of every length around the 16- and 32-byte scan blocks.
    ("<r>" + " " * 20 + "<b/>" + "\t" * 17 + "x" + " " * 40 + "</r>", "r", node("r", {}, "x", node("b"))),
    ("<r>x<b/>" + " \n" * 10 + "<c/>y</r>", "r", node("r", {}, "x" + " \n" * 10 + "y", node("b"), node("c"))),
    ("<r>" + " " * 15 + "\x0b<b/>" + " " * 33 + "</r>", "r", node("r", {}, None, node("b"))),
    ("<r>" + " " * 31 + "&amp;<b/>" + " " * 16 + "</r>", "r", node("r", {}, "&", node("b"))),
    ("<r>" + " " * 16 + "z" * 16 + "<b/></r>", "r", node("r", {}, "z" * 16, node("b"))),
    ("<r>a<![CDATA[&amp;]]>&amp;</r>", "r", node("r", {}, "a&amp;&")),
    ("<r>&#32;x&#32;</r>", "r", node("r", {}, "x")),
    ("<r>1\r\n2</r>", "r", node("r", {}, "1\r\n2")),
    ("<r>\u00a0\u3000x y\u2029 \u0085\u202f</r>", "r", node("r", {}, "x y")),
    ("<r>\x1cx\x1f</r>", "r", node("r", {}, "\x1cx\x1f")),  # not White_Space, though str.strip says so
    ("<r>\u200bx\u180e</r>", "r", node("r", {}, "\u200bx\u180e")),
    ("<r>ż<b>ół</b>w</r>", "r", node("r", {}, "żw", node("b", {}, "ół"))),
    ("<r></r >", "r", node("r")),
    ("<r></r \u00a0\u3000\n>", "r", node("r")),
    ('<?xml version="1.0"?><!DOCTYPE r [<!ELEMENT r ANY>]><r/>', "r", node("r")),
    ("<p:r xmlns:p='u'><p:c/></p:r>", "p:r", node("p:r", {"xmlns:p": "u"}, None, node("p:c"))),
    ("<r/></x>", "r", node("r")),  # nothing after the root is examined...
    ("<r/>&bogus;<", "r", None),  # ...but the index covers everything (checked below)
    ("<r><r>in</r></r>", "r", node("r", {}, None, node("r", {}, "in"))),
    ("<a><r>1</r></a><r>2</r>", "r", node("r", {}, "1")),
    ("<a><b></b><r/></a>", "r", node("r")),
    ("<doc a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\" f=\"6\"><p>it's</p><r id=\"1\"/><p>'</p>"
     "<r id=\"2\"/></doc>", "r", node("r", {"id": "1"})),
    ('<r a="1" b="2" c="3" d="4" e="5" f="6">it\'s</r>', "r",
     node("r", {k: str(i + 1) for i, k in enumerate("abcdef")}, "it's")),
]


@pytest.mark.parametrize("doc, root, expected", [t for t in TREES if t[2] is not None])
def test_tree(doc, root, expected):
    assert tree_of(read_string(doc, root)) == expected


ATTRIBUTES = [
    ("<a/>", {}),
    ("<a>", {}),
    ("<a   >", {}),
    ("<a x='1' y=\"2\"/>", {"x": "1", "y": "2"}),
    ("<a x='\"' y=\"'\"/>", {"x": '"', "y": "'"}),
    ('<a x = "1">', {"x": "1"}),
    ("<a\tx\n=\r'1'\x0c/>", {"x": "1"}),
    ('<a x="a>b">', {"x": "a>b"}),
    ('<a x="&lt;&#65;">', {"x": "<A"}),
    ('<a x="1&#10;2">', {"x": "1\n2"}),
    ('<a x="1\n2">', {"x": "1 2"}),
    ('<a x="1\t2">', {"x": "1 2"}),
    ('<a x="1\r\n2">', {"x": "1 2"}),
    ('<a x="1\r2">', {"x": "1 2"}),
    ('<a x="1\r\r\n2">', {"x": "1  2"}),
    ('<a x="">', {"x": ""}),
    ('<a x:y="1" é="ü">', {"x:y": "1", "é": "ü"}),
    ("<a z='1' a='2' m='3' b='4'/>", {"z": "1", "a": "2", "m": "3", "b": "4"}),
]


@pytest.mark.parametrize("tag, attrs", ATTRIBUTES)
def test_attributes(tag, attrs):
    doc = tag if tag.endswith("/>") else tag + "</a>"
    got = read_string(doc, "a").attrs
    assert got == attrs
    assert list(got) == list(attrs)  # document order


# Start tags that repeat the keys of the tag before them, in order or not, with duplicates found
# wherever they fall: the tags are read with what the previous tag left, so each case is a run.
LONG = "a_key_longer_than_sixteen_bytes"
KEY_RUNS = [
    [["a", "b"], ["a", "b", "a"]],  # the run repeated, then a key of it again
    [["a", "b", "c"], ["a", "b", "a"]],  # a duplicate where the last tag had another key
    [["a", "b"], ["b", "a", "b"]],  # the order changed
    [["a", LONG, "c"], ["a", LONG, "c", LONG]],  # a long key, beyond the quick comparison
    [["a", LONG, "c"], ["a", LONG, "c"], ["a", "c", "a"]],
    [["a", "b", "c"], ["a", "c", LONG, "d"], ["a", "c", "c"]],  # a long key cuts the run short
    [["a", "b", "c"], ["a", LONG, "b"], ["a", "b", "b"]],
    [["a"], ["a\x00"], ["a", "a\x00"]],  # equal words, other lengths
    [[f"k{i}" for i in range(20)], [f"k{i}" for i in range(20)] + ["k17"]],  # past 16 keys
    [[f"k{i}" for i in range(20)], [f"k{i}" for i in range(20)] + ["k3"]],
    [["x", "y"], ["x"], ["x", "y", "z"], ["x", "y", "z", "y"]],  # shorter, then longer runs
    [["ab", "ba"], ["ba", "ab"], ["ab", "ba", "ab"]],
    [["a", "b"], ["a", "b"], ["a", "b"]],  # no duplicate at all
    [["p", "q", "r"], ["p", "q"], ["p", "q", "r", "s"], ["p", "q", "r", "s", "r"]],
    [["ab", "b"], ["a", "b"], ["ab", "a"], ["a", "ab", "a"]],  # a key that the next one begins
    [["k" * 16, "b"], ["k" * 16, "b", "k" * 16]],  # a key of exactly sixteen bytes
    [["k" * 16, "b"], ["k" * 15, "b"], ["k" * 16, "k" * 15, "k" * 16]],
    [["abc", "b"], ["ab", "b"], ["abcd", "b", "abcd"]],  # the expected key begins the name, or the name it
    [["a", "b", "c"], ["a", "bc", "c"], ["a", "b", "c", "bc"]],
    # keys of the last sequence left out, found after a skip, or met again before the place reached
    [["a", "b", "c", "d"], ["a", "c", "d"], ["b", "d"], ["a", "b", "c", "d"]],
    [["a", "b", "c"], ["a", "c", "a"]],
    [["a", "b", "c"], ["c", "b", "a", "c"]],
    [["a", "b", "c"], ["a", "x", "b", "x"]],  # a key outside the sequence, then one in it
    [["a", "b", "c"], ["a", "x", "c", "c"]],
    [["a", "b", "c"], ["x", "a"], ["a", "b", "c"], ["b", "x", "c", "a", "x"]],
    [[f"k{i}" for i in range(20)], ["k0", "k5", "k19", "k15", "k5"]],
    [["a", LONG, "b"], ["a", "b"], [LONG, "b", "a", LONG]],
]


def keyed_doc(run):
    """The document of a run of start tags, and where its first duplicate key lies, if any."""
    doc, where = "<r>", None
    for n, keys in enumerate(run):
        doc += "<e"
        for i, k in enumerate(keys):
            doc += " "
            if where is None and k in keys[:i]:
                where = (len(doc.encode()), k)
            doc += f'{k}="{n}.{i}"'
        doc += "/>"
    return doc + "</r>", where


@pytest.mark.parametrize("run", KEY_RUNS)
@pytest.mark.parametrize("how", ["string", "elements"])
def test_repeated_key_runs(run, how):
    doc, dup = keyed_doc(run)
    read = (lambda: read_string(doc, "r").children) if how == "string" else (
        lambda: list(vantelix.iter_elements(io.BytesIO(doc.encode()), "e")))
    if dup is None:
        got = [dict(e.attrs.items()) for e in read()]
        assert got == [{k: f"{n}.{i}" for i, k in enumerate(keys)} for n, keys in enumerate(run)]
        return
    with pytest.raises(ValueError, match=f"at byte {dup[0]}: duplicate attribute '{dup[1]}'"):
        read()


def check_key_run(run, tail=""):
    """Reads the run's document, `tail` before its end tag: the model's pairs in order, or the
    error of its first duplicate key."""
    doc, dup = keyed_doc(run)
    doc = doc[:-len("</r>")] + tail + "</r>"
    if dup is None:
        got = [list(e.attrs.items()) for e in read_string(doc, "r").children]
        assert got == [[(k, f"{n}.{i}") for i, k in enumerate(keys)] for n, keys in enumerate(run)]
    else:
        with pytest.raises(ValueError, match=f"at byte {dup[0]}: duplicate attribute '{dup[1]}'"):
            read_string(doc, "r")


@hypothesis.given(st.lists(st.lists(st.sampled_from(["a", "b", "c", "dd", "d", LONG]), max_size=6),
                           min_size=1, max_size=8))
def test_key_runs_against_model(run):
    check_key_run(run)


@pytest.mark.parametrize("spaced", [
    '<e a="1" b="2"/><e a ="3" b= "4"/><e a="5"\tb\n=\n"6"/>',  # spaces around '=' after a run
    '<e ab="1" b="2"/><e a="3" b="4"/><e ab="5" a="6"/>',
    "<e a='1' b=\"2\"/><e a=\"'\" b='\"'/><e a='>' b='/>'/>",  # either quote, '>' in values
    '<e a="1"><f a="2" b="3"/></e><e a="4" b="5" c="6"></e>',
])
def test_repeated_keys_against_element_tree(spaced):
    doc = f"<r>{spaced}</r>"
    want = [list(e.attrib.items()) for e in ET.fromstring(doc).iter()]
    got, stack = [], [read_string(doc, "r")]
    while stack:
        node = stack.pop()
        got.append(list(node.attrs.items()))
        stack.extend(reversed(node.children))
    assert got == want


@pytest.mark.parametrize("tail", ["", " " * 20])  # the last tag near the end of the input, or not
def test_keys_of_every_length_differing_at_every_place(tail):
    # Each key follows a tag that had, at its place, a key of the same length differing from it
    # in one byte, or the same key; so do the keys of the last tag before the end.
    for n in range(1, 17):  # up to the longest key compared as two words
        key = "".join(chr(ord("a") + i) for i in range(n))
        for i in range(n):
            other = key[:i] + "Z" + key[i + 1:]
            for run in ([[key, "b"], [other, "b"]], [[other], [key, other]], [[key], [key, other, key]]):
                check_key_run(run, tail)


@pytest.mark.parametrize("doc, message", [
    ('<r><e a="1"/><e a></e></r>', "at byte 16: attribute 'a' has no value"),  # the expected key, then '>'
    ('<r><e a="1" b="2"/><e a="1" b/></r>', "at byte 28: attribute 'b' has no value"),
    ('<r><e a="1"/><e a', "Unclosed tag at byte 13"),  # the expected key ends the input
    ('<r><e ab="1"/><e a', "Unclosed tag at byte 14"),
])
def test_expected_key_without_a_value(doc, message):
    with pytest.raises(ValueError, match=message):
        read_string(doc, "r")


def test_many_attributes_keep_order_and_lookup():
    keys = [f"k{(i * 7919) % 1000}" for i in range(300)]
    doc = "<a " + " ".join(f'{k}="{i}"' for i, k in enumerate(keys)) + "/>"
    attrs = read_string(doc, "a").attrs
    assert list(attrs.items()) == [(k, str(i)) for i, k in enumerate(keys)]
    dup = "<a " + " ".join(f'{k}="{i}"' for i, k in enumerate(keys)) + f' {keys[250]}="x"/>'
    with pytest.raises(ValueError, match=f"duplicate attribute '{keys[250]}'"):
        read_string(dup, "a")


TEXTS = [
    ("a &amp; b", "a & b"),
    ("&lt;&gt;&quot;&apos;", "<>\"'"),
    ("&#65;", "A"),
    ("&#x41;", "A"),
    ("&#x041;", "A"),
    ("&#+65;", "A"),
    ("&#x+41;", "A"),
    ("&#xe9;&#233;&#x20AC;&#x1F600;&#x10FFFF;", "éé€\U0001F600\U0010FFFF"),
    ("&#1;", "\x01"),
    ("&amp;amp;", "&amp;"),
    ("x&#10;", "x", "x\n"),  # text is stripped after decoding; attribute values are not
    ("&#9;&#13;&#10;", None, "\t\r\n"),
]


# Text holding references, gathered with text and CDATA around children: the decoded first
# stretch, then pieces appended to it, blanks trimmed at either end (expected text, or None).
GATHERED = [
    ("  &lt;x&gt;  ", "<x>"),
    ("&#32;&#x20;", None),
    ("&amp;<b/>tail", "&tail"),
    ("&amp;<b/><![CDATA[c&d]]>", "&c&d"),
    ("&amp;<b/>&lt;", "&<"),
    ("\n &#x4E2D; <b>in</b> &#25991;\n", "\u4e2d  \u6587"),
    (" <b/>&amp;", "&"),
    ("x" * 40 + "&amp;" + "y" * 40, "x" * 40 + "&" + "y" * 40),
    ("&amp;" * 50, "&" * 50),
]


@pytest.mark.parametrize("body,expected", GATHERED)
def test_references_in_gathered_text(body, expected):
    assert read_string(f"<r><a>{body}</a></r>", "a").text == expected


@pytest.mark.parametrize("case", TEXTS)
def test_references(case):
    text, expected, in_attr = (case + (case[1],))[:3]
    assert read_string(f"<r>{text}</r>", "r").text == expected
    assert read_string(f"<r a='{text}'/>", "r").attrs["a"] == in_attr


# ---------------------------------------------------------------------------------------------
# Errors: every message, with its offset


def syntax(offset, message):
    return f"malformed XML at byte {offset}: {message}"


ERRORS = [
    # whole document
    ("<r>", "r", "unexpected end of document: <r> is never closed"),
    ("<r><a><b/>", "r", "unexpected end of document: <a> is never closed"),
    ("<r/>", "x", "root tag <x> not found in document"),
    ("", "x", "root tag <x> not found in document"),
    ("just text", "x", "root tag <x> not found in document"),
    ("<rr/><R/>", "r", "root tag <r> not found in document"),
    # index
    ("<", "r", "malformed XML: Unclosed tag at byte 0"),
    ("<a", "a", "malformed XML: Unclosed tag at byte 0"),
    ("</a", "a", "malformed XML: Unclosed tag at byte 0"),
    ('<a x="1"', "a", "malformed XML: Unclosed tag at byte 0"),
    ("<r/><x", "r", "malformed XML: Unclosed tag at byte 4"),
    ("<r>&bogus;</r><", "r", "malformed XML: Unclosed tag at byte 14"),  # index error wins
    ("</a><r/>  <", "r", "malformed XML: Unclosed tag at byte 10"),
    # end tags and markup
    ("<r><a></r>", "r", syntax(6, "expected </a>, found </r>")),
    ("<o></p><r/>", "r", syntax(3, "expected </o>, found </p>")),
    ("</a><r/>", "r", syntax(0, "unexpected end tag </a>")),
    ("<r></r x>", "r", syntax(3, "malformed end tag </r>")),
    ("<o></o x><r/>", "r", syntax(3, "malformed end tag </o>")),
    ("<r></r\u00a0>", "r", syntax(3, "expected </r>, found </r\u00a0>")),
    ("<r><!-- x", "r", syntax(3, "unterminated markup")),
    ("<r><![CDATA[x", "r", syntax(3, "unterminated markup")),
    ("<r><?pi", "r", syntax(3, "unterminated markup")),
    ("<r><?pi x", "r", syntax(3, "unterminated processing instruction")),
    ("<r><?pi x?", "r", syntax(3, "unterminated processing instruction")),
    # start tags
    ("< a>", "a", syntax(0, "expected element name after '<'")),
    ("<r>< a></r>", "r", syntax(3, "expected element name after '<'")),
    ("<>< r/>", "r", syntax(0, "expected element name after '<'")),
    ('<a x="1"y="2">', "a", syntax(8, "expected whitespace before attribute")),
    ("<a x>", "a", syntax(3, "attribute 'x' has no value")),
    ('<a x"1">', "a", syntax(3, "attribute 'x' has no value")),
    ("<a x=1>", "a", syntax(5, "value of attribute 'x' is not quoted")),
    ("<a x=>", "a", syntax(5, "value of attribute 'x' is not quoted")),
    ("<a x= />", "a", syntax(6, "value of attribute 'x' is not quoted")),
    ('<a ="1">', "a", syntax(3, "expected attribute name")),
    ('<a x="1" x="2">', "a", syntax(9, "duplicate attribute 'x'")),
    ('<a x="a<b">', "a", syntax(7, "'<' is not allowed in attribute values")),
    ('<a x="1>', "a", syntax(6, "unterminated attribute value")),
    ('<a x="/>', "a", syntax(6, "unterminated attribute value")),
    ('<x a="1" a="2"/><r/>', "r", syntax(9, "duplicate attribute 'a'")),  # read in full even before the root
    ('<r><x a="&bogus;"/></r>', "r", "unknown entity reference '&bogus;' at byte 9"),
    # references: text
    ("<r>AT&T</r>", "r", syntax(5, "unterminated entity reference")),
    ("<r>AT&T; x</r>", "r", "unknown entity reference '&T;' at byte 5"),
    ("<r>&;</r>", "r", "unknown entity reference '&;' at byte 3"),
    ("<r>&AMP;</r>", "r", "unknown entity reference '&AMP;' at byte 3"),
    ("<r>&lt;<b/>&#0;</r>", "r", syntax(11, "invalid character reference '&#0;'")),
    ("<r>ż&bogus;</r>", "r", "unknown entity reference '&bogus;' at byte 5"),  # offsets count bytes
] + [
    (f"<r>{ref}</r>", "r", syntax(3, f"invalid character reference '{ref}'"))
    for ref in ["&#X41;", "&#-65;", "&#;", "&#x;", "&#0;", "&#x0;", "&#xD800;", "&#xDFFF;", "&#x110000;",
                "&#4294967296;", "&#x100000000;", "&#1a;", "&#xg;", "&#++1;", "&# 1;", "&#+;"]
] + [
    (f'<r a="{ref}"/>', "r", syntax(6, f"invalid character reference '{ref}'"))
    for ref in ["&#0;", "&#xD800;"]
]


@pytest.mark.parametrize("doc, root, message", ERRORS)
def test_errors(doc, root, message):
    with pytest.raises(ValueError) as info:
        read_string(doc, root)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)


def test_malformed_corpus_file():
    path = corpus_path("malformed/iso_3166-2.xml")
    with open(path, "rb") as f:
        offset = f.read().index(b"Enewetak & ") + len("Enewetak ")
    for root in ("iso_3166_2_entries", "absent"):
        with pytest.raises(ValueError, match=f"^malformed XML at byte {offset}: unterminated entity reference$"):
            read_file(path, root)


# ---------------------------------------------------------------------------------------------
# Long names


@pytest.mark.parametrize("length", [65535, 65536, 70001])
def test_long_names_are_read_in_full(length):
    name = "n" * (length - 1) + "é"
    key = "k" * length
    doc = f'<top><{name} {key}="v">t</{name}></top>'
    got = read_string(doc, name)
    assert (got.name, got.attrs, got.text) == (name, {key: "v"}, "t")
    with pytest.raises(ValueError, match="found </x>"):
        read_string(f"<{name}></x>", name)


# ---------------------------------------------------------------------------------------------
# Arguments


@pytest.mark.parametrize("call, exc, message, note", [
    (lambda: read_string("<a/>"), TypeError,
     "read_string() missing 1 required positional argument: 'root_tag'", None),
    (lambda: read_string(), TypeError,
     "read_string() missing 2 required positional arguments: 'xml_string' and 'root_tag'", None),
    (lambda: read_file(), TypeError,
     "read_file() missing 2 required positional arguments: 'file_path' and 'root_tag'", None),
    (lambda: read_string("<a/>", "a", "x"), TypeError,
     "read_string() takes 2 positional arguments but 3 were given", None),
    (lambda: read_string("<a/>", root="a"), TypeError,
     "read_string() got an unexpected keyword argument 'root'", None),
    (lambda: read_string("<a/>", "a", xml_string="<a/>"), TypeError,
     "read_string() got multiple values for argument 'xml_string'", None),
    (lambda: read_string(b"<a/>", "a"), TypeError,
     "'bytes' object is not an instance of 'str'", "xml_string"),
    (lambda: read_string("<a/>", b"a"), TypeError,
     "'bytes' object is not an instance of 'str'", "root_tag"),
    (lambda: read_string("<a/>", None), TypeError, "'None' is not an instance of 'str'", "root_tag"),
    (lambda: read_file(pathlib.Path("x.xml"), "a"), TypeError,
     "'PosixPath' object is not an instance of 'str'", "file_path"),
    (lambda: read_file(b"x.xml", "a"), TypeError,
     "'bytes' object is not an instance of 'str'", "file_path"),
    (lambda: read_file("x.xml", 1), TypeError, "'int' object is not an instance of 'str'", "root_tag"),
    (lambda: read_string("<a>\ud800</a>", "a"), UnicodeEncodeError, None, "xml_string"),
])
def test_argument_errors(call, exc, message, note):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)


def test_keywords_and_str_subclass():
    class S(str):
        pass

    got = read_string(root_tag="a", xml_string=S("<a k='v'>t</a>"))
    assert tree_of(got) == node("a", {"k": "v"}, "t")


# A str is stored as units of one, two or four bytes; each width, with its characters placed
# across the reader's 16-unit blocks, reads as its UTF-8 bytes read. Strs past 64K characters
# take another path, as do strs whose UTF-8 form the interpreter already holds and str subclasses.
WIDE = {1: "\u00e9\u00ff", 2: "\u00e9\u0800\uffff\u20ac", 4: "\u00e9\u20ac\U0001f600\U0010ffff"}


def mixed_document(width, size, seed):
    rng = random.Random(seed)
    items = []
    for i in range(size):
        run = "x" * rng.randrange(0, 40)
        wide = "".join(rng.choice(WIDE[width]) for _ in range(rng.randrange(1, 4)))
        items.append(f"<i n='{wide}{i}'>{run}{wide} &amp; {run}</i>")
    return "<r>" + "".join(items) + "</r>"


def cached_utf8(text):
    import ctypes
    ctypes.pythonapi.PyUnicode_AsUTF8.restype = ctypes.c_char_p
    ctypes.pythonapi.PyUnicode_AsUTF8.argtypes = [ctypes.py_object]
    ctypes.pythonapi.PyUnicode_AsUTF8(text)
    return text


class StrSubclass(str):
    pass


@pytest.mark.parametrize("form", ["fresh", "cached", "subclass"])
@pytest.mark.parametrize("size", [3, 40, 3000])
@pytest.mark.parametrize("width", [1, 2, 4])
def test_str_of_every_width_reads_as_its_utf8(width, size, form):
    text = mixed_document(width, size, seed=width * 1000 + size)
    expected = tree_of(vantelix.read_bytes(text.encode(), "r"))
    given = {"fresh": lambda t: t, "cached": cached_utf8, "subclass": StrSubclass}[form](text)
    assert tree_of(read_string(given, "r")) == expected
    # An error's offset counts bytes of the UTF-8 either way.
    broken = text[:-4] + "</x>"
    with pytest.raises(ValueError) as by_bytes:
        vantelix.read_bytes(broken.encode(), "r")
    with pytest.raises(ValueError) as by_str:
        read_string(given[:-4] + "</x>", "r")
    assert str(by_str.value) == str(by_bytes.value)


@pytest.mark.parametrize("size", [10, 100_000])
def test_mostly_ascii_str_is_left_without_a_utf8_copy(size):
    text = "<r>" + "x" * size + "\u20ac</r>"
    before = sys.getsizeof(text)
    tree = read_string(text, "r")
    assert tree.text == "x" * size + "\u20ac"
    assert sys.getsizeof(text) == before


@pytest.mark.parametrize("size", [20, 100_000])
@pytest.mark.parametrize("at", [0, 15, 16, -1])
def test_lone_surrogate_anywhere_is_the_interpreters_error(size, at):
    body = list("\u20ac" * size)
    body[at] = "\udc80"
    text = "<r>" + "".join(body) + "</r>"
    with pytest.raises(UnicodeEncodeError) as info:
        read_string(text, "r")
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode()
    assert str(info.value) == str(expected.value)
    assert info.value.__notes__ == ["while processing 'xml_string'"]


# ---------------------------------------------------------------------------------------------
# Files


def write(tmp_path, data, name="doc.xml"):
    path = tmp_path / name
    path.write_bytes(data if isinstance(data, bytes) else data.encode())
    return str(path)


@pytest.mark.parametrize("doc, root, expected", [t for t in TREES if t[2] is not None][:20])
def test_read_file_agrees_with_read_string(tmp_path, doc, root, expected):
    assert tree_of(read_file(write(tmp_path, doc), root)) == expected


@pytest.mark.parametrize("doc, root, message", ERRORS[:30])
def test_read_file_errors_agree(tmp_path, doc, root, message):
    with pytest.raises(ValueError) as info:
        read_file(write(tmp_path, doc), root)
    assert info.value.args == (message,)


@pytest.mark.parametrize("name, root", [
    ("freedesktop.org.xml", "mime-info"),
    ("iso_639-3.xml", "iso_639_3_entries"),
    ("evdev.xml", "xkbConfigRegistry"),
    ("evdev.xml", "layout"),
])
def test_corpus_read_file_equals_read_string(name, root):
    path = corpus_path(name)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    assert tree_of(read_file(path, root)) == tree_of(read_string(text, root))


INVALID_UTF8 = [
    b"<r>\xff</r>",
    b"<r>\x80</r>",
    b"<r>\xc3</r>",
    b"<r>\xc3",
    b"<r>\xe2\x82</r>",
    b"<r>\xe2\x82",
    b"<r>\xc0\x80</r>",
    b"<r>\xc1\xbf</r>",
    b"<r>\xe0\x9f\xbf</r>",
    b"<r>\xed\xa0\x80</r>",
    b"<r>\xf0\x8f\xbf\xbf</r>",
    b"<r>\xf4\x90\x80\x80</r>",
    b"<r>\xf5\x80\x80\x80</r>",
    b"<r>\xf0\x9f\x98</r>",
    b"<r/>\xe2\x82",  # after the root still counts: the whole file must be text
    b"<r>" + b"a" * 40 + b"\xe2\x82\xac" * 3 + b"\xe2\x28\xa1</r>",
    b"<r a='\xa0'/>",
    b"\xef\xbb\xbf<r>" + b"x" * 15 + b"\xff",
]


@pytest.mark.parametrize("data", INVALID_UTF8)
def test_invalid_utf8_file(tmp_path, data):
    with pytest.raises(UnicodeDecodeError) as expected:
        data.decode("utf-8")
    with pytest.raises(ValueError) as info:
        read_file(write(tmp_path, data), "r")
    assert info.value.args == (syntax(expected.value.start, "invalid UTF-8"),)


# Faults far apart in a document larger than the stretch checked as UTF-8 at a time: which one
# is reported does not depend on where the reader happens to stand. Character data that no tag
# follows is never looked at.
BIG = b"<e>x</e>" * 20_000  # 160,000 bytes
FAR_APART = [
    (b"<r>" + BIG + b"</q>" + BIG + b"\xff</r>", "malformed XML at byte 320007: invalid UTF-8"),
    (b"<r>" + BIG + b"\xff" + BIG + b"<x", "malformed XML at byte 160003: invalid UTF-8"),
    (b"<r>" + BIG + b"</r>" + BIG + b"\xfe", "malformed XML at byte 320007: invalid UTF-8"),
    (b"<r>" + BIG + b"</r>" + BIG + b"<x", "malformed XML: Unclosed tag at byte 320007"),
    (b"<r>" + BIG + b"</q>" + BIG + b"<x", "malformed XML: Unclosed tag at byte 320007"),
    (b"<r>" + BIG + b"&bogus;" + BIG + b"<!-- x", "unknown entity reference '&bogus;' at byte 160003"),
    (b"<r>" + BIG + b"&bogus;<!x", "unexpected end of document: <r> is never closed"),
    (b"<r>" + BIG + b"&amp;<!DOCTYPE x>&bogus;", "unexpected end of document: <r> is never closed"),
    (b"<r>" + BIG + b"<![CDATA[x", "malformed XML at byte 160003: unterminated markup"),
    (b"<r>" + BIG + b"a<!DOCTYPE x>b<!y>c</r>", ("text", "abc")),
    (b"<r>" + BIG + b"<![CDATA[&bogus;<]]></r>", ("text", "&bogus;<")),
]


@pytest.mark.parametrize("data, outcome", FAR_APART, ids=range(len(FAR_APART)))
@pytest.mark.parametrize("how", ["file", "bytes", "string"])
def test_faults_far_apart(tmp_path, data, outcome, how):
    if how == "string":
        try:
            text = data.decode()
        except UnicodeDecodeError:
            pytest.skip("not text")
        read = lambda: read_string(text, "r")  # noqa: E731
    elif how == "bytes":
        read = lambda: vantelix.read_bytes(data, "r")  # noqa: E731
    else:
        read = lambda: read_file(write(tmp_path, data), "r")  # noqa: E731
    if isinstance(outcome, tuple):
        root = read()
        assert (len(root.children), root.text) == (20_000, outcome[1])
        return
    with pytest.raises(ValueError) as info:
        read()
    assert str(info.value) == outcome


def test_utf8_check_agrees_with_python_on_damaged_text(tmp_path):
    rng = random.Random(7)
    pieces = ["a", "<", "é", "€", "😀", "日本", "\u07ff", "\U0010ffff", "x" * 20]
    for i in range(300):
        data = bytearray(("<r>" + "".join(rng.choice(pieces) for _ in range(rng.randint(0, 60))) + "</r>").encode())
        for _ in range(rng.randint(0, 2)):
            data[rng.randrange(len(data))] = rng.choice([0x80, 0xBF, 0xC0, 0xC2, 0xE0, 0xED, 0xF0, 0xF4, 0xF5, 0xFF, 0x41])
        try:
            data.decode("utf-8")
        except UnicodeDecodeError as e:
            with pytest.raises(ValueError) as info:
                read_file(write(tmp_path, bytes(data)), "r")
            assert info.value.args == (syntax(e.start, "invalid UTF-8"),), data


def test_valid_utf8_file_with_every_sequence_length(tmp_path):
    text = "<r a='\u00e9\u0800\uffff'>\x7f\u0080\u07ff\ud7ff\ue000\U00010000\U0010ffff</r>"
    got = read_file(write(tmp_path, text), "r")
    assert (got.attrs, got.text) == ({"a": "\u00e9\u0800\uffff"}, "\x7f\u0080\u07ff\ud7ff\ue000\U00010000\U0010ffff")


def test_os_errors(tmp_path):
    missing = str(tmp_path / "missing.xml")
    with pytest.raises(FileNotFoundError) as info:
        read_file(missing, "r")
    assert info.value.args == ("No such file or directory (os error 2)",)
    assert info.value.errno is None
    with pytest.raises(IsADirectoryError, match=r"^Is a directory \(os error 21\)$"):
        read_file(str(tmp_path), "r")
    with pytest.raises(NotADirectoryError, match=r"\(os error 20\)$"):
        read_file(write(tmp_path, "<r/>") + "/x", "r")
    with pytest.raises(OSError) as info:
        read_file(str(tmp_path / "a\0b.xml"), "r")
    assert type(info.value) is OSError
    assert info.value.args == ("file name contained an unexpected NUL byte",)


def test_empty_and_special_files(tmp_path):
    with pytest.raises(ValueError, match=r"^root tag <r> not found in document$"):
        read_file(write(tmp_path, b""), "r")
    if os.path.exists("/proc/self/status"):  # reports size 0 but has content
        with pytest.raises(ValueError, match="root tag <r> not found"):
            read_file("/proc/self/status", "r")


# ---------------------------------------------------------------------------------------------
# Lifetime: the caller's str is shared, not copied


def test_tree_keeps_the_source_str_alive():
    doc = "<r><c>" + "x" * 1000 + "</c></r>"
    before = sys.getrefcount(doc)
    tree = read_string(doc, "r")
    assert sys.getrefcount(doc) == before + 1
    leaf = tree.children[0]
    del tree
    assert sys.getrefcount(doc) == before + 1
    assert leaf.text == "x" * 1000
    del leaf
    assert sys.getrefcount(doc) == before


@pytest.mark.parametrize("doc", ["<r><a x='1'/><b>t</b>", "<r><a x='1' x='2'/></r>", "<r/><"])
def test_failed_read_releases_the_source(doc):
    before = sys.getrefcount(doc)
    with pytest.raises(ValueError):
        read_string(doc, "r")
    assert sys.getrefcount(doc) == before


# ---------------------------------------------------------------------------------------------
# Threads and depth


def test_concurrent_reads_get_their_own_trees(concurrently):
    docs = [
        ("<r>" + "".join(f"<c k='{i}'>t&amp;{i}</c>" for i in range(3000)) + "</r>", "r"),
        ("<q>" + "".join(f"<d j=\"{i}\"><e/>{i}</d>" for i in range(3000)) + "</q>", "q"),
        ("<r><c>" * 200 + "</c></r>" * 200, "r"),
    ]
    expected = [tree_of(read_string(d, r)) for d, r in docs]

    def reader(i):
        def run():
            assert tree_of(read_string(*docs[i])) == expected[i]
        return run

    def failing():
        with pytest.raises(ValueError, match="never closed"):
            read_string(docs[0][0][:-4], "r")

    concurrently([reader(0), reader(1), reader(2), failing], seconds=1.5)


DEEP = """
    import vantelix
    depth = 1_000_000
    doc = "<a>" * depth + "x" + "</a>" * depth
    node = vantelix.read_string(doc, "a")
    levels = 1
    while True:
        children = node.children
        if not children:
            break
        node = children[0]
        levels += 1
    print(levels, node.text)
    del node, children
    root = vantelix.read_string(doc, "a")
    del root
    try:
        vantelix.read_string(doc[:-4], "a")
    except ValueError as e:
        print(e)
"""


def test_million_levels_read_and_freed(child):
    result = child(DEEP, stack_kib=256)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split("\n")[:2] == ["1000000 x", "unexpected end of document: <a> is never closed"]


def test_million_levels_from_file(child, tmp_path):
    path = write(tmp_path, "<a>" * 1_000_000 + "</a>" * 1_000_000)
    result = child(f"""
        import vantelix
        root = vantelix.read_file({path!r}, "a")
        print(len(root.children))
        del root
    """, stack_kib=256)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "1"
