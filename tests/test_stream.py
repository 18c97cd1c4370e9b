"""iter_elements: the streamed elements equal what read_file gives, however the bytes arrive."""
import bz2
import gc
import gzip
import io
import os
import pathlib
import sys
import threading
import weakref

import pytest

import vantelix

DOCS = [
    b'<?xml version="1.0" encoding="UTF-8"?>\n<!DOCTYPE r>\n<r a="1"><page id="1" t=\'x>y\'>'
    b"caf\xc3\xa9 &amp; &#233;&#x20AC; <b k=\"&lt;\">z</b> tail</page>"
    b"<!-- <page> in a comment --><?pi <page> ?><page id='2'/>"
    b"<x><page><![CDATA[<not> ]]]> a tag]]><page>nested</page></page></x></r>",
    b"<page/>",
    b"<r><p:page/><page   >  </page ><page\n\tq=\"/>\"/></r>",
    "<r><page n=\"\u00e9\u4e2d\U0001F600\">\u00e9\u4e2d\U0001F600</page></r>".encode(),
]


class Trickle(io.RawIOBase):
    """A binary file whose read returns at most `k` bytes, cycling 1..k."""

    def __init__(self, data, k):
        self.data, self.pos, self.k, self.n = data, 0, k, 0

    def readable(self):
        return True

    def read(self, size=-1):
        self.n = self.n % self.k + 1
        chunk = self.data[self.pos:self.pos + min(self.n, size)]
        self.pos += len(chunk)
        return chunk


class Split(Trickle):
    """Returns everything before `at`, then the rest."""

    def __init__(self, data, at):
        super().__init__(data, 0)
        self.at = at

    def read(self, size=-1):
        end = self.at if self.pos < self.at else len(self.data)
        chunk = self.data[self.pos:min(end, self.pos + size)]
        self.pos += len(chunk)
        return chunk


def streamed(source, tag="page"):
    return [n.to_dict() for n in vantelix.iter_elements(source, tag)]


def outcome(source, tag="page"):
    """The dicts yielded, then the error message (None when the stream ended cleanly)."""
    got = []
    try:
        for n in vantelix.iter_elements(source, tag):
            got.append(n.to_dict())
    except ValueError as e:
        return got, str(e)
    return got, None


def read_file_result(tmp_path, data, tag="page"):
    p = tmp_path / "doc.xml"
    p.write_bytes(data)
    try:
        return vantelix.read_file(str(p), tag).to_dict()
    except ValueError as e:
        return str(e)


@pytest.mark.parametrize("doc", DOCS)
def test_first_tree_equals_read_file(tmp_path, doc):
    got = streamed(io.BytesIO(doc))
    assert got[0] == read_file_result(tmp_path, doc)
    p = tmp_path / "d.xml"
    p.write_bytes(doc)
    assert streamed(str(p)) == got == streamed(p)


def test_outermost_matches_in_document_order():
    got = streamed(io.BytesIO(DOCS[0]))
    assert [d["attrs"].get("id") for d in got] == ["1", "2", None]
    assert got[2]["children"][0]["text"] == "nested"
    assert got[2]["text"] == "<not> ] a tag]]>"


@pytest.mark.parametrize("doc", DOCS)
def test_every_split_and_tiny_chunks(doc):
    whole = outcome(io.BytesIO(doc))
    for at in range(len(doc) + 1):
        assert outcome(Split(doc, at)) == whole, at
    for k in (1, 2, 3, 7):
        assert outcome(Trickle(doc, k)) == whole, k


# An element's first end tag of its name is taken for its end only when the builder accepts what
# lies before it; each of these has that end tag somewhere else, or a fault, or an end tag in
# another form. Each holds one element, so read_file says what the stream must say.
FIRST_END_TAG_IS_NOT_THE_END = [
    b"<r><page><!-- </page> --><a/></page></r>",
    b"<r><page><![CDATA[</page>]]></page></r>",
    b"<r><page><?pi </page> ?>x</page></r>",
    b"<r><page><!D </page>x</page></r>",
    b"<r><page><page>in</page>out</page></r>",
    b"<r><page><pages>x</pages></page\n></r>",
    b"<r><page>a</page\t\r\n ></r>",
    b"<r><page></pagex></page></r>",
    b"<r><page>a</page x></r>",
    b"<r><page><x a='</page>'/></page></r>",
    b'<r><page><a b="x></page></r>',
    b'<r><page><a b="x></page>"></a></page></r>',
    b"<r><page><page>\xff</page></page></r>",
    b"<r><page><!-- \xff --></page></r>",
    b"<r><page>a</page",
    b"<r><page>a</page ",
    b"<r><page>a</pa",
]


@pytest.mark.parametrize("doc", FIRST_END_TAG_IS_NOT_THE_END)
def test_element_ends_where_the_tag_walk_says(tmp_path, doc):
    expected = read_file_result(tmp_path, doc)
    whole = outcome(io.BytesIO(doc))
    assert whole == (([expected], None) if isinstance(expected, dict) else ([], expected))
    for at in range(len(doc) + 1):
        assert outcome(Split(doc, at)) == whole, at
    assert outcome(Trickle(doc, 1)) == whole


def test_many_elements_of_the_same_name_inside_one_another(tmp_path):
    # Enough of them that the stream stops looking for the first end tag; the plain ones after
    # must come out the same either way.
    nested = b"<page n='1'><x><page>in</page></x>out</page>"
    plain = b"<page n='2'><x>a</x>b</page>"
    doc = b"<r>" + nested * 40 + plain * 40 + nested + b"</r>"
    want = [read_file_result(tmp_path, b"<r>" + nested + b"</r>")] * 40
    want += [read_file_result(tmp_path, b"<r>" + plain + b"</r>")] * 40 + want[:1]
    assert outcome(io.BytesIO(doc)) == (want, None)
    assert outcome(Trickle(doc, 7)) == (want, None)


@pytest.mark.parametrize("name", ["ab", "a" * 16, "n" * 17 + "z", "m" * 70])
def test_names_come_from_each_elements_own_bytes(name):
    # The same names at other offsets in each element, and other names where they stood before.
    n = name.encode()
    doc = (b"<r><page><" + n + b" " + n + b"='1'/></page>"
           b"<page><x/><" + n + b"/><y " + n + b"='2'/></page>"
           b"<page><" + n[:-1] + b"q/><" + n + b"/></page></r>")
    got = streamed(io.BytesIO(doc))
    assert [[c["name"] for c in p["children"]] for p in got] == [
        [name], ["x", name, "y"], [name[:-1] + "q", name]]
    assert [c["attrs"] for c in got[1]["children"]] == [{}, {}, {name: "2"}]


def numbered_pages(sizes):
    """Pages with ids 0, 1, ... whose text is `size` bytes long."""
    return b"<r>" + b"".join(b"<page id='%d'>%s</page>" % (i, b"x" * n)
                             for i, n in enumerate(sizes)) + b"</r>"


# Elements are read in batches of a few dozen, or fewer when they are large: none may be lost,
# doubled or reordered at a batch's edge, whichever way the bytes arrive.
@pytest.mark.parametrize("sizes", [
    [0] * 1000,
    [10, 200_000, 10, 10, 300_000] * 3,
    [5000] * 100,
])
def test_every_element_once_in_order(tmp_path, sizes):
    doc = numbered_pages(sizes)
    p = tmp_path / "d.xml"
    p.write_bytes(doc)
    want = [(str(i), n) for i, n in enumerate(sizes)]
    for source in (str(p), io.BytesIO(doc), Trickle(doc, 50_000)):
        got = [(e.attrs["id"], len(e.text or "")) for e in vantelix.iter_elements(source, "page")]
        assert got == want


def test_elements_before_a_fault_come_out_first():
    doc = numbered_pages([3] * 100)[:-len(b"</r>")] + b"</q>"
    got, error = outcome(io.BytesIO(doc))
    assert [d["attrs"]["id"] for d in got] == [str(i) for i in range(100)]
    assert error.endswith("expected </r>, found </q>")


def read_some(path, how):
    """Takes the first element, then stops the iterator as `how` says; the first id and how
    many came after it."""
    it = vantelix.iter_elements(path, "page")
    first = next(it).attrs["id"]
    rest = 0
    if how == "close":
        it.close()
    elif how == "del":
        del it
    elif how == "exhaust":
        rest = len(list(it))
    else:
        try:
            for _ in it:
                rest += 1
        except ValueError:
            pass
    return first, rest


@pytest.mark.parametrize("how,rest", [("close", 0), ("del", 0), ("exhaust", 99), ("fault", 99)])
def test_nodes_waiting_to_be_handed_out_are_released(tmp_path, how, rest):
    # Each node holds a reference to its type: one left behind, or released twice, shows there.
    p = tmp_path / "d.xml"
    p.write_bytes(numbered_pages([3] * 100) + (b"<" if how == "fault" else b""))
    gc.collect()
    before = sys.getrefcount(vantelix.Node)
    got = [read_some(str(p), how) for _ in range(20)]
    gc.collect()
    after = sys.getrefcount(vantelix.Node)
    assert got == [("0", rest)] * 20
    assert after == before


def test_no_match_yields_nothing():
    assert streamed(io.BytesIO(b"<r><a/></r>")) == []
    assert streamed(io.BytesIO(b"")) == []


# Each: the document, the trees yielded before the fault, the fault. Offsets count stream bytes.
FAULTS = [
    (b"<r><page>&bogus;</page></r>", 0, "unknown entity reference '&bogus;' at byte 9"),
    (b"<r><page/><page>&bogus;</page></r>", 1, "unknown entity reference '&bogus;' at byte 16"),
    (b"<r><page/></q>", 1, "malformed XML at byte 10: expected </r>, found </q>"),
    (b"<r><page/><x a='1' a='2'/></r>", 1, "malformed XML at byte 19: duplicate attribute 'a'"),
    (b"<r><page>x</page><page><a>", 1, "unexpected end of document: <a> is never closed"),
    (b"<r><page/>", 1, "unexpected end of document: <r> is never closed"),
    (b"<r><page/><!-- x", 1, "malformed XML at byte 10: unterminated markup"),
    (b"<r><page/><x", 1, "malformed XML: Unclosed tag at byte 10"),
    (b"<r><page/></r x>", 1, "malformed XML at byte 10: malformed end tag </r>"),
    (b"</a><page/>", 0, "malformed XML at byte 0: unexpected end tag </a>"),
    (b"<r><page/>\xff</r>", 1, "malformed XML at byte 10: invalid UTF-8"),
    (b"<r><page>\xc3</page></r>", 0, "malformed XML at byte 9: invalid UTF-8"),
    (b"<r><page></r>", 0, "malformed XML at byte 9: expected </page>, found </r>"),
]


@pytest.mark.parametrize("doc,before,message", FAULTS)
def test_faults(tmp_path, doc, before, message):
    got, error = outcome(io.BytesIO(doc))
    assert (len(got), error) == (before, message)
    for k in (1, 2, 5):
        assert outcome(Trickle(doc, k)) == (got, error)
    if before == 0:  # the fault lies before or in the first match: read_file says the same
        assert read_file_result(tmp_path, doc) == message


def test_trees_before_a_fault_stay_valid():
    it = vantelix.iter_elements(io.BytesIO(b"<r><page>a</page><page>&x;</page>"), "page")
    first = next(it)
    with pytest.raises(ValueError):
        next(it)
    assert first.text == "a"
    with pytest.raises(StopIteration):
        next(it)


def test_other_encodings(tmp_path):
    doc = '<?xml version="1.0" encoding="ISO-8859-1"?><r><page>caf\u00e9</page></r>'
    data = doc.encode("latin-1")
    assert streamed(io.BytesIO(data)) == [read_file_result(tmp_path, data)]
    utf16 = "<r><page>\u00e9</page></r>".encode("utf-16")
    assert streamed(io.BytesIO(utf16)) == [read_file_result(tmp_path, utf16)]
    bad = b'<?xml version="1.0" encoding="ascii"?><r><page>\xe9</page></r>'
    assert outcome(io.BytesIO(bad)) == ([], read_file_result(tmp_path, bad))


@pytest.mark.parametrize("opener", [gzip.open, bz2.open])
def test_compressed_sources(tmp_path, opener):
    p = tmp_path / "d.xml.z"
    with opener(p, "wb") as f:
        f.write(DOCS[0])
    with opener(p, "rb") as f:
        assert streamed(f) == streamed(io.BytesIO(DOCS[0]))
        assert not f.closed


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("how", ["exhaust", "error", "close", "del", "with"])
def test_opened_files_are_closed(tmp_path, how):
    p = tmp_path / "d.xml"
    p.write_bytes(b"<r><page/><page/>" + (b"</r>" if how != "error" else b"</q>"))
    before = open_fds()
    it = vantelix.iter_elements(str(p), "page")
    assert open_fds() == before + 1
    if how == "exhaust":
        assert len(list(it)) == 2
    elif how == "error":
        with pytest.raises(ValueError):
            list(it)
    elif how == "close":
        next(it)
        it.close()
        assert list(it) == []
    elif how == "del":
        next(it)
        del it
        gc.collect()
    else:
        with it as pages:
            assert next(pages).name == "page"
    assert open_fds() == before


def test_file_objects_are_never_closed():
    f = io.BytesIO(b"<r><page/></q>")
    with pytest.raises(ValueError):
        with vantelix.iter_elements(f, "page") as it:
            list(it)
    assert not f.closed


class Source(io.BytesIO):
    pass


@pytest.mark.parametrize("started", [False, True])
def test_file_object_referring_back_to_the_iterator_is_collected(started):
    f = Source(b"<r><page/><page/></r>")
    it = vantelix.iter_elements(f, "page")
    f.iterator = it  # a cycle: iterator -> file -> iterator
    if started:
        assert next(it).name == "page"
    gone = weakref.ref(f)
    assert gc.is_tracked(it)
    del f, it
    gc.collect()
    assert gone() is None


def test_iterator_of_a_path_is_not_tracked(tmp_path):
    p = tmp_path / "d.xml"
    p.write_bytes(b"<page/>")
    with vantelix.iter_elements(str(p), "page") as it:
        assert not gc.is_tracked(it)
        assert [e.name for e in it] == ["page"]


class BadRead:
    def __init__(self, result):
        self.result = result

    def read(self, n):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result if self.result != "big" else b" " * (n + 1)


@pytest.mark.parametrize("result,error", [
    (OSError("disk on fire"), OSError), ("<r/>", TypeError), (None, TypeError), ("big", ValueError),
])
def test_bad_read(result, error):
    with pytest.raises(error):
        next(vantelix.iter_elements(BadRead(result), "page"))


def test_argument_errors(tmp_path):
    with pytest.raises(TypeError, match="not 'int'") as e:
        vantelix.iter_elements(3, "page")
    assert "while processing 'source'" in str(e.value.__notes__)
    with pytest.raises(TypeError) as e:
        vantelix.iter_elements(io.BytesIO(b""), b"page")
    with pytest.raises(TypeError) as r:
        vantelix.read_file("x", b"page")
    assert str(e.value) == str(r.value)
    assert e.value.__notes__ == ["while processing 'tag'"]
    with pytest.raises(FileNotFoundError):
        vantelix.iter_elements(str(tmp_path / "missing"), "page")
    assert "iter_elements" not in vantelix.__all__
    assert vantelix.iter_elements.__text_signature__ == "(source, tag)"


def test_million_deep_in_small_stack(child):
    code = """
    import io, vantelix
    n = 1_000_000
    doc = b"<r>" + b"<a>" * n + b"<page>" + b"<p>" * n + b"x" + b"</p>" * n + b"</page>" + b"</a>" * n + b"</r>"
    (page,) = vantelix.iter_elements(io.BytesIO(doc), "page")
    d = 0
    while page.children:
        page = page.children[0]; d += 1
    assert d == n and page.text == "x"
    bad = b"<r>" + b"<a>" * n
    try:
        list(vantelix.iter_elements(io.BytesIO(bad), "page"))
    except ValueError as e:
        assert "<a> is never closed" in str(e)
    print("ok")
    """
    proc = child(code, stack_kib=256)
    assert proc.stdout.strip() == "ok", proc.stderr


def test_two_threads(tmp_path):
    p = tmp_path / "d.xml"
    p.write_bytes(b"<r>" + b"<page a='1'>t &amp; u</page>" * 20000 + b"</r>")
    counts = []

    def run():
        counts.append(sum(1 for _ in vantelix.iter_elements(str(p), "page")))

    threads = [threading.Thread(target=run) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert counts == [20000, 20000]


def test_kept_element_holds_only_its_memory(child):
    code = """
    import resource, vantelix
    class Source:
        # 200 MB of pages, generated as it is read, then one small page kept
        def __init__(self):
            self.left = 4000; self.head = b"<r>"
        def read(self, n):
            if self.head:
                h, self.head = self.head, b""; return h
            if self.left:
                self.left -= 1
                return b"<page>" + b"x" * 50000 + b"</page>" + (b"" if self.left else b"</r>")
            return b""
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    kept = []
    for page in vantelix.iter_elements(Source(), "page"):
        if not kept:
            kept.append(page)
    print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) // 1024)
    """
    proc = child(code)
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout) < 64
