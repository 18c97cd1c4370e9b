"""Hostile input: extreme depth and width, huge strings, documents cut short, NUL bytes, invalid
UTF-8, full devices, exhausted memory and trees that share one child at every level.

Every case must end in a clear exception or a correct result. The heavy ones run in a child
interpreter (conftest's `child`), where a crash, an abort or a C++ exception escaping the module
shows as a non-zero return code instead of ending the session, and a hang as a timeout.
"""
import os
import textwrap

import pytest

import vantelix
from colliding_names import colliding, djb2_hash, java_hash
from vantelix import Node, SearchType

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
needs_address_limit = pytest.mark.skipif(
    UNDER_ASAN, reason="the address sanitizer reserves more address space than the limit")


def script(*parts):
    """Joins pieces of child code, each dedented on its own."""
    return "\n".join(textwrap.dedent(part) for part in parts)


def ok(result):
    """Asserts that a child printed exactly "ok" and exited cleanly."""
    assert result.returncode == 0 and result.stdout.strip() == "ok", (
        f"rc={result.returncode}\nstdout: {result.stdout[-2000:]}\nstderr: {result.stderr[-3000:]}")


# Shared by the children that limit their own address space: the limit is the current size plus
# a margin, so it means the same whatever the interpreter had mapped already.
MEMORY_LIMITS = """
import resource
def vm_size():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
HARD_AS = resource.getrlimit(resource.RLIMIT_AS)[1]
def limit_memory(extra_bytes):
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + extra_bytes, HARD_AS))
def unlimit_memory():
    resource.setrlimit(resource.RLIMIT_AS, (HARD_AS, HARD_AS))
def still_usable():
    import vantelix
    tree = vantelix.read_string("<r a='1'><b>t &amp; u</b><c/></r>", "r")
    assert vantelix.write_string(tree, 0, False) == '<r a="1">\\n<b>t &amp; u</b>\\n<c/>\\n</r>'
    assert [c.name for c in tree.search_by_name("b")] == ["b"] and tree.to_dict()["attrs"] == {"a": "1"}
    assert str(vantelix.Node("x", {"k": "v"})) == "Name: x\\nAttributes:\\nk: v"
"""


# ---------------------------------------------------------------------------------------------
# A million levels


def test_million_deep_document_through_every_operation(child, tmp_path):
    # The other suites take constructed chains through each operation; this one takes a parsed
    # chain (shared-range strings, nodes made from records) through all of them in one child
    # with a 256 KiB stack, and round-trips it through a file.
    path = tmp_path / "deep.xml"
    ok(child(script(MEMORY_LIMITS, f"""
        import vantelix
        from vantelix import Node, SearchType
        depth = 1_000_000
        doc = "<a k='v'>" * depth + "t &amp; u" + "</a>" * depth
        root = vantelix.read_string(doc, "a")
        expected = ('<a k="v">' + '\\n<a k="v">' * (depth - 2) + '\\n<a k="v">t &amp; u</a>'
                    + "\\n</a>" * (depth - 1))
        assert vantelix.write_string(root, 0, False) == expected
        vantelix.write_file(root, {str(path)!r}, 0, False)
        again = vantelix.read_file({str(path)!r}, "a")
        assert vantelix.write_string(again, 0, False) == expected
        del again

        assert len(root.search_by_name("a")) == depth and len(root.search_by_attr("k")) == depth
        deepest = root.search_by_text("t & u")
        assert len(deepest) == 1 and deepest[0].children == [] and deepest[0].attrs == {{"k": "v"}}
        assert len(root.search(SearchType.Tag, "a", 9)) == 10 and repr(root) == "Node(a)"

        d = root.to_dict()
        levels, cur = 1, d
        while cur["children"]:
            cur, levels = cur["children"][0], levels + 1
        assert levels == depth and cur["text"] == "t & u"
        back = Node.from_dict(d)
        del cur
        free_dict_chain(d)
        del d
        assert vantelix.write_string(back, 0, False) == expected
        del back

        # The outline of a million levels is about 1 TB: refused, not attempted.
        if {not UNDER_ASAN}:
            limit_memory(1 << 30)
            for render in (str, lambda n: getattr(n, "__to_string")(255)):
                try:
                    render(root)
                    raise AssertionError("rendered a million-level outline")
                except MemoryError:
                    pass
            unlimit_memory()
        del root, deepest
        still_usable()
        print("ok")
    """), stack_kib=256, timeout=600))


@pytest.mark.parametrize("doc, root, message", [
    # the end tag at the bottom of a million open elements does not match
    ('"<a>" * 1_000_000 + "</b>"', "a", f"malformed XML at byte {3 * 1_000_000}: expected </a>, found </b>"),
    # a million elements open before the root is found, never closed
    ('"<x>" * 1_000_000 + "<r/>"', "r", None),
    # ... and closed again, with the root nested at the bottom
    ('"<x>" * 1_000_000 + "<r>t</r>" + "</x>" * 1_000_000', "r", None),
    # a million open elements and the document ends
    ('"<a>" * 1_000_000', "a", "unexpected end of document: <a> is never closed"),
    # the root at the top, a million unclosed elements inside it
    ('"<r>" + "<a k=\'v\'>" * 1_000_000 + "</r>"', "r",
     f"malformed XML at byte {3 + 9 * 1_000_000}: expected </a>, found </r>"),
], ids=["bad-end-at-bottom", "root-under-open-elements", "root-at-bottom", "never-closed",
        "mismatch-over-open-children"])
def test_million_deep_documents_fail_or_read_cleanly(child, doc, root, message):
    ok(child(f"""
        import vantelix
        try:
            tree = vantelix.read_string({doc}, {root!r})
            outcome = vantelix.write_string(tree, 0, False)
        except ValueError as e:
            outcome = "ValueError: " + str(e)
        expected = {message!r}
        if expected is None:
            assert outcome in ("<r/>", "<r>t</r>"), outcome
        else:
            assert outcome == "ValueError: " + expected, outcome
        print("ok")
    """, stack_kib=256))


# ---------------------------------------------------------------------------------------------
# 100,000 attributes on one element, with names that collide under fixed hashes

ATTR_COUNT = 100_000
NAME_FAMILIES = {
    # "Aa" and "BB" hash alike under h = 31 h + c (Java's String.hashCode)
    "java31": (lambda: colliding(("Aa", "BB"), ATTR_COUNT), java_hash),
    # "Ez" and "FY" hash alike under h = 33 h + c (DJBX33A, once common in scripting runtimes)
    "djb2": (lambda: colliding(("Ez", "FY"), ATTR_COUNT), djb2_hash),
    # a long shared prefix defeats hashes that sample only the start of a key
    "prefix": (lambda: ["p" * 300 + str(i) for i in range(ATTR_COUNT)], None),
    "plain": (lambda: [f"a{i}" for i in range(ATTR_COUNT)], None),
}


@pytest.mark.parametrize("family", list(NAME_FAMILIES))
def test_hundred_thousand_attributes_on_one_element(family):
    make, fixed_hash = NAME_FAMILIES[family]
    names = make()
    assert len(set(names)) == ATTR_COUNT
    if fixed_hash:  # the test data is what it claims to be
        assert len({fixed_hash(n) for n in names}) == 1
    values = [f"v{i}&<'\"\t" for i in range(ATTR_COUNT)]
    escaped = [f'v{i}&amp;&lt;&apos;&quot;&#9;' for i in range(ATTR_COUNT)]
    doc = "<r " + " ".join(f'{n}="{e}"' for n, e in zip(names, escaped)) + "><c/></r>"

    tree = vantelix.read_string(doc, "r")
    attrs = tree.attrs
    assert list(attrs) == names and list(attrs.values()) == values  # document order
    assert tree.search_by_attr(names[-1]) == [tree] and tree.search_by_attr(names[0] + "x") == []
    assert tree.children[0].attrs == {}

    written = vantelix.write_string(tree, 0, False)
    assert written == "<r " + " ".join(f'{n}="{e}"' for n, e in zip(names, escaped)) + ">\n<c/>\n</r>"
    assert vantelix.read_string(written, "r").attrs == attrs
    built = Node("r", dict(zip(names, values)))
    assert built.attrs == attrs and Node.from_dict(tree.to_dict()).attrs == attrs
    assert vantelix.write_string(built, 0, False).startswith(written[:len(written) - len(">\n<c/>\n</r>")])

    # A repeated name, however far from its first use, is refused.
    with pytest.raises(ValueError, match=f"duplicate attribute '{names[0]}'"):
        vantelix.read_string(doc.replace("><c/>", f' {names[0]}="x"><c/>', 1), "r")


# ---------------------------------------------------------------------------------------------
# 10 MB texts and attribute values

TEN_MB = 10 * 1024 * 1024


def repeated(piece, decoded):
    """`piece` repeated to about 10 MB, and `decoded` (what each piece reads as) as often."""
    count = TEN_MB // len(piece)
    return piece * count, decoded * count


@pytest.mark.parametrize("text_piece, attr_piece", [
    (("x", "x"), ("y", "y")),
    (("a &amp; b &#233; ", "a & b é "), ("c &lt;&#10;", "c <\n")),
    (("é€😀", "é€😀"), ("ü\t\r\n\rx", "ü   x")),  # tab, CR LF and CR in a value: one space each
    (("\n", ""), (" ", " ")),               # whitespace only: no text at all
], ids=["plain", "references", "wide-characters-and-line-breaks", "whitespace"])
def test_ten_megabyte_texts_and_values(tmp_path, text_piece, attr_piece):
    text, decoded_text = repeated(*text_piece)
    attr, decoded_attr = repeated(*attr_piece)
    decoded_text = decoded_text.strip() or None
    doc = f"<r k='{attr}'>{text}<c>{text}</c></r>"
    path = tmp_path / "big.xml"
    path.write_bytes(doc.encode())
    for tree in (vantelix.read_string(doc, "r"), vantelix.read_file(str(path), "r")):
        assert tree.text == decoded_text and tree.children[0].text == decoded_text
        assert tree.attrs == {"k": decoded_attr}
        again = vantelix.read_string(vantelix.write_string(tree, 2), "r")
        assert again.text == decoded_text and again.attrs == {"k": decoded_attr}
        assert again.children[0].text == decoded_text
        if decoded_text is not None:
            assert tree.search_by_text(decoded_text) == [tree, tree.children[0]]
        assert tree.to_dict()["attrs"]["k"] == decoded_attr
        assert len(str(tree)) > len(decoded_attr)


def test_ten_megabyte_name_reads_and_writes():
    name = "n" * TEN_MB
    tree = vantelix.read_string(f"<{name} {name}='v'>t</{name}>", name)
    assert tree.name == name and tree.attrs == {name: "v"}
    assert vantelix.write_string(tree, 0, False) == f'<{name} {name}="v">t</{name}>'
    assert tree.search_by_name(name) == [tree]


# ---------------------------------------------------------------------------------------------
# Documents that end in the middle of something

UNTERMINATED = [
    ("<r>", "unexpected end of document: <r> is never closed"),
    ("<r", "malformed XML: Unclosed tag at byte 0"),
    ("<", "malformed XML: Unclosed tag at byte 0"),
    ("</", "malformed XML: Unclosed tag at byte 0"),
    ("<r a='1", "malformed XML: Unclosed tag at byte 0"),
    ("<r a='1'", "malformed XML: Unclosed tag at byte 0"),
    ("<r a=", "malformed XML: Unclosed tag at byte 0"),
    ("<r a='&#1", "malformed XML: Unclosed tag at byte 0"),
    ("<r/", "malformed XML: Unclosed tag at byte 0"),
    ("<r></r", "malformed XML: Unclosed tag at byte 3"),
    ("<r></", "malformed XML: Unclosed tag at byte 3"),
    ("<r><a></a", "malformed XML: Unclosed tag at byte 6"),
    ("<r/><", "malformed XML: Unclosed tag at byte 4"),
    ("<r><!--", "malformed XML at byte 3: unterminated markup"),
    ("<r><!-- x --", "malformed XML at byte 3: unterminated markup"),
    ("<r><![CDATA[x", "malformed XML at byte 3: unterminated markup"),
    ("<r><![CDATA[x]]", "malformed XML at byte 3: unterminated markup"),
    ("<r><?pi", "malformed XML at byte 3: unterminated markup"),
    ("<r><?pi ?", "malformed XML at byte 3: unterminated processing instruction"),
    ("<?xml", "malformed XML at byte 0: unterminated markup"),
    ("<r><!DOCTYPE r", "unexpected end of document: <r> is never closed"),
    ("<r><!", "unexpected end of document: <r> is never closed"),
    ("<r>&amp", "unexpected end of document: <r> is never closed"),
    ("<r>&#x41", "unexpected end of document: <r> is never closed"),
    ("<r>t&", "unexpected end of document: <r> is never closed"),
    ("<r><a/>", "unexpected end of document: <r> is never closed"),
    ("<r>\u00e9\u8000", "unexpected end of document: <r> is never closed"),
]


@pytest.mark.parametrize("doc, message", UNTERMINATED, ids=[d for d, _ in UNTERMINATED])
def test_documents_cut_short(tmp_path, doc, message):
    path = tmp_path / "cut.xml"
    path.write_bytes(doc.encode())
    for read in (lambda: vantelix.read_string(doc, "r"), lambda: vantelix.read_file(str(path), "r")):
        with pytest.raises(ValueError) as info:
            read()
        assert str(info.value) == message
    # The same endings a long way into a document (past the index builders' block sizes).
    padded = "<r>" + " " * 100_000 + "<x/>" * 10_000 + doc[1:] if doc.startswith("<r") else None
    if padded is not None:
        with pytest.raises(ValueError):
            vantelix.read_string(padded, "r")


@pytest.mark.parametrize("doc, written", [
    ("<r>x</r><!--", "<r>x</r>"), ("<r/><![CDATA[", "<r/>"), ("<r/><?p", "<r/>"), ("<r/>&amp", "<r/>"),
    ("<r>x</r><!DOCTYPE", "<r>x</r>"),
])
def test_unterminated_markup_after_the_root_is_never_examined(doc, written):
    assert vantelix.write_string(vantelix.read_string(doc, "r"), 0, False) == written


# ---------------------------------------------------------------------------------------------
# NUL bytes


@pytest.mark.parametrize("doc, root, name, attrs, text", [
    ("<r>a\0b</r>", "r", "r", {}, "a\0b"),
    ("<r k='a\0b'/>", "r", "r", {"k": "a\0b"}, None),
    ("<r a\0='1'/>", "r", "r", {"a\0": "1"}, None),
    ("<r\0/>", "r\0", "r\0", {}, None),
    ("<r><![CDATA[\0]]></r>", "r", "r", {}, "\0"),
    ("<r>&#0;</r>", "r", "r", {}, None),   # a reference to NUL is refused (checked below)
])
def test_nul_bytes_are_kept_exactly(tmp_path, doc, root, name, attrs, text):
    path = tmp_path / "nul.xml"
    path.write_bytes(doc.encode())
    if "&#0;" in doc:
        for read in (lambda: vantelix.read_string(doc, root), lambda: vantelix.read_file(str(path), root)):
            with pytest.raises(ValueError):
                read()
        return
    for tree in (vantelix.read_string(doc, root), vantelix.read_file(str(path), root)):
        assert (tree.name, tree.attrs, tree.text) == (name, attrs, text)
        again = vantelix.read_string(vantelix.write_string(tree), root)
        assert (again.name, again.attrs, again.text) == (name, attrs, text)
        assert tree.to_dict()["name"] == name and Node.from_dict(tree.to_dict()).attrs == attrs


@pytest.mark.parametrize("doc, root", [("<r/>", "r\0"), ("<r/>", "\0"), ("<\0r/>", "r"), ("<r\0/>", "r")])
def test_nul_bytes_in_names_do_not_match_other_names(doc, root):
    with pytest.raises(ValueError, match="not found in document"):
        vantelix.read_string(doc, root)


def test_nul_byte_in_a_path_is_refused_before_the_system_sees_it(tmp_path):
    with pytest.raises(OSError, match="file name contained an unexpected NUL byte"):
        vantelix.read_file(str(tmp_path / "a\0b"), "r")
    with pytest.raises(OSError, match="file name contained an unexpected NUL byte"):
        vantelix.write_file(Node("r"), str(tmp_path / "a\0b"))
    assert list(tmp_path.iterdir()) == []


# ---------------------------------------------------------------------------------------------
# Files that are not UTF-8


@pytest.mark.parametrize("data, offset", [
    (b"<r>\x80</r>", 3),                  # a continuation byte with no lead
    (b"<r>\xc0\xaf</r>", 3),              # overlong form of '/'
    (b"<r>\xe0\x80\xaf</r>", 3),          # overlong, three bytes
    (b"<r>\xed\xa0\x80</r>", 3),          # a UTF-16 surrogate
    (b"<r>\xf4\x90\x80\x80</r>", 3),      # above U+10FFFF
    (b"<r>\xf8\x88\x80\x80\x80</r>", 3),  # five-byte form
    (b"<r>\xe2\x82</r>", 3),              # truncated before the next byte
    (b"<r>\xe2\x82", 3),                  # truncated by the end of the file
    (b"\xff<r/>", 0),
    (b"<r/>\xfe", 4),                     # after the root: still refused, the whole file is checked
    (b"<r k='\xc3'/>", 6),
    (b"<r\xc3/>", 2),
    (b"<r>" + "é".encode() * 100_000 + b"\xc3(</r>", 3 + 200_000),
])
def test_invalid_utf8_files_are_refused_with_the_offset(tmp_path, data, offset):
    path = tmp_path / "bad.xml"
    path.write_bytes(data)
    with pytest.raises(ValueError) as info:
        vantelix.read_file(str(path), "r")
    assert str(info.value) == f"malformed XML at byte {offset}: invalid UTF-8"


@pytest.mark.parametrize("data, text", [
    (b"\xef\xbb\xbf<r>\xc3\xa9</r>", "é"),       # a byte-order mark is text before the root
    (b"<r>\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf</r>", "😀\U0010ffff"),
    (b"<r>\xe2\x80\x83x\xe3\x80\x80</r>", "x"),  # Unicode spaces are stripped from the ends
])
def test_valid_utf8_edges_are_read(tmp_path, data, text):
    path = tmp_path / "good.xml"
    path.write_bytes(data)
    assert vantelix.read_file(str(path), "r").text == text


# ---------------------------------------------------------------------------------------------
# Writing to a full device


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")
@pytest.mark.parametrize("tree", [
    Node("r"),                                                                # fails at the flush
    Node("r", children=[Node("c", {"i": str(i)}, text="x" * 100) for i in range(2000)]),  # mid-way
    Node("r", text="y" * 100_000),                                            # one large append
], ids=["small", "many-blocks", "one-large-text"])
@pytest.mark.parametrize("declaration", [True, False])
def test_writing_to_a_full_device(tree, declaration):
    with pytest.raises(OSError) as info:
        vantelix.write_file(tree, "/dev/full", 2, declaration)
    assert type(info.value) is OSError and info.value.errno is None
    assert str(info.value) == "No space left on device (os error 28)"
    assert vantelix.write_string(tree, 2, declaration)  # nothing left broken


# ---------------------------------------------------------------------------------------------
# Out of memory


DOCUMENT = (
    "<r>" + "".join(f"<c k='{i}' j='x&amp;y'>t{i}&lt;<d/></c>" for i in range(100_000)) + "</r>")

# Each entry: what the operation needs, the operation, and a check of its result when it
# succeeds (`expected` is the file of the document as written by write_string).
OOM_OPERATIONS = {
    "read_string": ("doc = open(path).read()", "vantelix.read_string(doc, 'r')",
                    "vantelix.write_string(result) == expected"),
    "read_file": ("", "vantelix.read_file(path, 'r')", "vantelix.write_string(result) == expected"),
    "to_dict": ("tree = vantelix.read_file(path, 'r')", "tree.to_dict()",
                "Node.from_dict(result).to_dict() == result and vantelix.write_string(Node.from_dict(result)) == expected"),
    # The tree stays: freed nodes would be kept for reuse, and from_dict would need no memory.
    "from_dict": ("tree = vantelix.read_file(path, 'r'); as_dict = tree.to_dict()",
                  "Node.from_dict(as_dict)", "vantelix.write_string(result) == expected"),
    "write_string": ("tree = vantelix.read_file(path, 'r')", "vantelix.write_string(tree)",
                     "result == expected"),
    "str": ("tree = vantelix.read_file(path, 'r')", "str(tree)",
            "len(result) > len(expected) and result.count('Name: d') == 100_000"),
    "search_by_name": ("leaf = Node('b'); tree = Node('r', children=[leaf] * 2_000_000)",
                       "tree.search_by_name('b')", "len(result) == 2_000_000 and result[-1] is leaf"),
    "properties": ("tree = vantelix.read_file(path, 'r')",
                   "[(c.name, c.attrs, c.children, c.text) for c in tree.children]",
                   "len(result) == 100_000 and result[-1][1] == {'k': '99999', 'j': 'x&y'}"),
}


@needs_address_limit
@pytest.mark.parametrize("operation", list(OOM_OPERATIONS))
def test_running_out_of_memory_raises_memory_error_and_leaves_the_module_usable(child, tmp_path, operation):
    # Each attempt runs in a fork of the prepared child under its own address-space limit, from
    # below what is mapped already (only memory freed earlier can be reused) to plenty: the
    # operation fails at a different point each time (index, records, nodes, strings, dicts, the
    # result's buffer) and succeeds at the end. Every failure must be a MemoryError, after which
    # the module still works; an internal failure, an abort or a crash fails the test.
    setup, action, check = OOM_OPERATIONS[operation]
    path = tmp_path / "doc.xml"
    path.write_text(DOCUMENT)
    (tmp_path / "expected.xml").write_text(vantelix.write_string(vantelix.read_string(DOCUMENT, "r")))
    ok(child(script(MEMORY_LIMITS, f"""
        import os, traceback, vantelix
        from vantelix import Node
        path = {str(path)!r}
        expected = open({str(tmp_path / "expected.xml")!r}).read()
        {setup}
        base = vm_size()
        outcomes = []
        for extra_mb in (-16, -4, 0, 2, 8, 16, 32, 64, 128, 256, 1024):
            read_end, write_end = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.close(read_end)
                try:
                    resource.setrlimit(resource.RLIMIT_AS, (base + (extra_mb << 20), HARD_AS))
                    try:
                        result = {action}
                        outcome = "ok"
                    except MemoryError:
                        result, outcome = None, "MemoryError"
                    unlimit_memory()
                    assert outcome == "MemoryError" or ({check}), "wrong result"
                    del result
                    still_usable()
                except BaseException:
                    outcome = "failed: " + traceback.format_exc()
                os.write(write_end, outcome.encode())
                os._exit(0)
            os.close(write_end)
            outcome = os.read(read_end, 4096).decode()
            os.close(read_end)
            status = os.waitpid(pid, 0)[1]
            assert status == 0 and outcome in ("ok", "MemoryError"), (extra_mb, outcome, status)
            outcomes.append(outcome)
        assert "MemoryError" in outcomes and outcomes[-1] == "ok", outcomes
        print("ok")
    """), timeout=600))


# ---------------------------------------------------------------------------------------------
# One child shared at every level: 64 levels stand for 2^65 - 1 elements

SHARED = """
import vantelix
from vantelix import Node, SearchType
n = Node("a", {"k": "v"}, text="t")
for _ in range(64):
    n = Node("a", {"k": "v"}, [n, n], text="t")
"""

SHARED_OPERATIONS = {
    "write_string": "vantelix.write_string(n)",
    "write_string-indent-0": "vantelix.write_string(n, 0, False)",
    "str": "str(n)",
    "__to_string": "getattr(n, '__to_string')(7)",
    "to_dict": "n.to_dict()",
    "search_by_name": "n.search_by_name('a')",
    "search_by_attr": "n.search_by_attr('k')",
    "search_by_text": "n.search_by_text('t')",
    "search": "n.search(SearchType.Tag, 'a', 100)",
    "from_dict": "Node.from_dict(dag)",
}


@needs_address_limit
@pytest.mark.parametrize("operation", list(SHARED_OPERATIONS))
def test_tree_sharing_a_child_at_every_level_raises_memory_error(child, operation):
    # The result would hold 2^65 - 1 elements: its size is refused before any memory is touched
    # where an operation measures first, or memory runs out (under the limit) where it builds as
    # it goes. The limit is only a safety net, and it keeps the latter quick.
    ok(child(script(MEMORY_LIMITS, SHARED, f"""
        dag = {{"name": "a", "attrs": {{}}, "children": [], "text": None}}
        for _ in range(64):
            dag = {{"name": "a", "attrs": {{}}, "children": [dag, dag], "text": None}}
        limit_memory(256 << 20)
        try:
            {SHARED_OPERATIONS[operation]}
            raise AssertionError("produced a result for 2^65 - 1 elements")
        except MemoryError:
            pass
        unlimit_memory()
        still_usable()
        print("ok")
    """), timeout=300))


@pytest.mark.parametrize("indent", [1, 4, 2**63])
def test_shared_tree_is_too_large_for_any_file(child, tmp_path, indent):
    # With indentation the writer measures the line breaks before it opens the file: 2^65
    # elements cannot fit a file whatever the indent, and the file is never created.
    path = tmp_path / "never.xml"
    ok(child(script(SHARED, f"""
        try:
            vantelix.write_file(n, {str(path)!r}, {indent})
            raise AssertionError("wrote 2^65 elements")
        except OverflowError as e:
            assert str(e) == "the XML text would be too large for a file", e
        print("ok")
    """), timeout=120))
    assert not path.exists()


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")
def test_shared_tree_streamed_to_a_full_device(child):
    # Without indentation nothing is measured: the elements stream out until the device refuses.
    ok(child(script(SHARED, """
        try:
            vantelix.write_file(n, "/dev/full", 0)
            raise AssertionError("wrote 2^65 elements to a full device")
        except OSError as e:
            assert str(e) == "No space left on device (os error 28)", e
        print("ok")
    """), timeout=120))


def test_shared_tree_streamed_to_a_size_limited_file(child, tmp_path):
    path = tmp_path / "limited.xml"
    ok(child(script(SHARED, f"""
        import resource, signal
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, resource.RLIM_INFINITY))
        try:
            vantelix.write_file(n, {str(path)!r}, 0, False)
            raise AssertionError("wrote 2^65 elements under a file size limit")
        except OSError as e:
            assert str(e) == "File too large (os error 27)", e
        print("ok")
    """), timeout=120))
    data = path.read_bytes()
    assert len(data) == 1 << 20 and data.startswith(b'<a k="v">t<a k="v">t<a k="v">t')


def test_shared_subtrees_within_reach_are_written_in_full(child):
    # 4,200 references to one node with 4,000 references to one leaf: 16.8 million elements,
    # past the point where the walks count the expansion; the result fits, so it is produced.
    ok(child("""
        import vantelix
        from vantelix import Node
        leaf = Node("b")
        mid = Node("m", children=[leaf] * 4000)
        root = Node("r", children=[mid] * 4200)
        out = vantelix.write_string(root, 0, False)
        block = "\\n<m>" + "\\n<b/>" * 4000 + "\\n</m>"
        assert len(out) == len("<r>") + 4200 * len(block) + len("\\n</r>")
        assert out.startswith("<r>" + block + block) and out.endswith(block + "\\n</r>")
        assert out.count("<b/>") == 16_800_000
        del out
        vantelix.write_file(root, "/dev/null")   # measures the line breaks of all of them
        outline = str(root)
        leaf_block = "\\n  " + "    Name: b" + "\\n"
        mid_block = "\\n" + "  Name: m\\n  Children:" + leaf_block * 4000 + "\\n"
        assert len(outline) == len("Name: r\\nChildren:") + 4200 * len(mid_block)
        assert outline.endswith(mid_block)
        print("ok")
    """, timeout=300))


def test_shared_subtrees_within_reach_convert_to_dicts(child):
    # 1,100 x 1,000 elements: past the point where to_dict counts the expansion.
    ok(child("""
        from vantelix import Node
        leaf = Node("b", {"k": "v"}, text="t")
        mid = Node("m", children=[leaf] * 1000)
        d = Node("r", children=[mid] * 1100).to_dict()
        assert len(d["children"]) == 1100 and all(len(m["children"]) == 1000 for m in d["children"])
        assert d["children"][-1]["children"][-1] == {"name": "b", "attrs": {"k": "v"}, "children": [], "text": "t"}
        assert d["children"][0] is not d["children"][1]
        print("ok")
    """, timeout=300))
