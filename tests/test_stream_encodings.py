"""iter_elements over documents in other encodings than UTF-8: decoded as the bytes arrive, with the
trees, faults and offsets that read_bytes gives for the same bytes, wherever the chunks split them,
and memory that does not grow with the document."""
import codecs

import pytest

import vantelix
from test_encodings import ENCODINGS, FAULTS, declaration, encode, ids, invalid_cases, invalid_sequence, words
from test_stream import Split, Trickle, outcome


def document(declared, codec, mark):
    """Pages with non-ASCII names, values and texts (and references) inside a root."""
    n, m, t = words(codec)
    body = (f"<r a='{t}'><page {n}=\"{t}&amp;\">{t}<{m}>{t}&#233;</{m}></page>"
            f"<!-- {t} --><page/>{t}<page>{t}<![CDATA[{t}<]]></page></r>")
    return encode(declaration(declared, 2) + body, codec, mark)


def pages_of(data):
    return [p.to_dict() for p in vantelix.read_bytes(data, "r").children if p.name == "page"]


@pytest.mark.parametrize("_, declared, codec, mark, oracle", ENCODINGS, ids=ids(ENCODINGS))
def test_every_encoding_streams_at_every_split(_, declared, codec, mark, oracle):
    data = document(declared, codec, mark)
    expected = (pages_of(data), None)
    assert len(expected[0]) == 3
    for at in range(len(data) + 1):
        assert outcome(Split(data, at)) == expected, at
    for k in (1, 2, 3, 5):
        assert outcome(Trickle(data, k)) == expected, k


def read_bytes_error(data):
    with pytest.raises(ValueError) as e:
        vantelix.read_bytes(data, "r")
    return str(e.value)


@pytest.mark.parametrize("fault", range(len(FAULTS)))
@pytest.mark.parametrize("_, declared, codec, mark, oracle", ENCODINGS, ids=ids(ENCODINGS))
def test_faults_carry_offsets_of_the_input(_, declared, codec, mark, oracle, fault):
    n, m, t = words(codec)
    data = encode(declaration(declared, 0) + FAULTS[fault].format(n=n, m=m, t=t), codec, mark)
    expected = ([], read_bytes_error(data))
    for k in (1, 3):
        assert outcome(Trickle(data, k), "r") == expected


@pytest.mark.parametrize("case, found", list(invalid_cases("<r><page>{t}</page>{t}", "{t}<page/></r>")))
def test_bytes_invalid_in_the_encoding_fail_after_the_trees_before_them(case, found):
    _, declared, codec, mark, oracle = case
    bad = found[0]
    n, m, t = words(codec)
    data = (mark + encode(declaration(declared, 1) + f"<r><page>{t}</page>{t}", codec) + bad
            + encode(f"{t}<page/></r>", codec))
    expected = ([{"name": "page", "attrs": {}, "children": [], "text": t}], read_bytes_error(data))
    for k in (1, 2, 7):
        assert outcome(Trickle(data, k)) == expected
    assert outcome(Split(data, len(data) // 2)) == expected


# Documents of several 32 KB chunks, the size a codec of the interpreter's is given at a time:
# those codecs, a double-byte table, a single-byte table and UTF-16.
LARGE = [("EUC-JP", "euc_jp", b""), ("EUC-KR", "euc_kr", b""), ("GB18030", "gb18030", b""),
         ("ISO-2022-JP", "iso2022_jp", b""), ("Shift_JIS", "shift_jis", b""),
         ("windows-1251", "cp1251", b""), ("UTF-16", "utf_16_le", codecs.BOM_UTF16_LE)]


def pages_then_filler(declared, codec, mark, shift):
    """400 pages in a root, then text cut so that it ends `shift` bytes from the second chunk
    boundary, on a character; the text and its encoding without an end."""
    n, m, t = words(codec)
    encoded = lambda s: mark + codecs.getincrementalencoder(codec)().encode(s)  # noqa: E731
    rows = "".join(f"<page i='{i}'>{t}<{n}>{t}&#233;</{n}></page>\n" for i in range(400))
    head = declaration(declared, 0) + "<r>" + rows
    assert len(encoded(head)) < 65536
    filler = t * ((65536 - len(encoded(head))) // len(encoded(t)) + 8)
    chars = len(filler)
    while len(encoded(head + filler[:chars])) > 65536 + shift:
        chars -= 1
    text = head + filler[:chars]
    return text, encoded(text)


@pytest.mark.parametrize("shift", [-3, -1, 0, 1, 2])
@pytest.mark.parametrize("declared, codec, mark", LARGE, ids=[c for _, c, _ in LARGE])
def test_faults_and_bad_bytes_at_a_chunk_boundary_of_a_large_document(declared, codec, mark, shift):
    n, m, t = words(codec)
    text, head = pages_then_filler(declared, codec, mark, shift)
    pages = pages_of(encode(text + "</r>", codec, mark))
    assert len(pages) == 400
    tell = lambda data: [outcome(Trickle(data, 4099)), outcome(Split(data, 65536 + shift))]  # noqa: E731
    fault = encode(text + f"<b x={t}/></r>", codec, mark)
    assert tell(fault) == [(pages, read_bytes_error(fault))] * 2
    found = invalid_sequence(codec, head, encode(f"{t}</r>", codec))
    if found:
        bad = head + found[0] + encode(f"{t}</r>", codec)
        assert tell(bad) == [(pages, read_bytes_error(bad))] * 2
        # Right after the pages, in the chunk that holds them.
        bad = encode(text[:text.rindex("</page>\n") + 8], codec, mark) + found[0] + encode(f"{t}</r>", codec)
        assert tell(bad) == [(pages, read_bytes_error(bad))] * 2


WIDE = [("utf_16_le", codecs.BOM_UTF16_LE), ("utf_16_be", codecs.BOM_UTF16_BE),
        ("utf_32_le", codecs.BOM_UTF32_LE), ("utf_32_be", codecs.BOM_UTF32_BE)]


@pytest.mark.parametrize("cut", range(1, 6))
@pytest.mark.parametrize("codec, mark", WIDE, ids=[w[0] for w in WIDE])
def test_a_character_cut_by_the_end_fails_as_in_read_bytes(codec, mark, cut):
    data = encode("<r><page>\U0001F600</page><page>x\U0001F600", codec, mark)[:-cut]
    expected = ([{"name": "page", "attrs": {}, "children": [], "text": "\U0001F600"}],
                read_bytes_error(data))
    for k in (1, 3, 4):
        assert outcome(Trickle(data, k)) == expected


def test_an_unknown_encoding_fails_before_the_rest_is_read():
    head = b'<?xml version="1.0" encoding="no-such-codec"?><r>'
    source = Trickle(head + b"<page/>" * 1_000_000 + b"</r>", 1 << 16)
    with pytest.raises(ValueError) as e:
        next(vantelix.iter_elements(source, "page"))
    assert str(e.value) == read_bytes_error(head + b"</r>")
    assert source.pos < 100_000


@pytest.mark.parametrize("codec, declared, chars", [("utf_16", "UTF-16", "\u00e9x\u00fc\U0001F600 "),
                                                    ("latin_1", "ISO-8859-1", "\u00e9x\u00fc "),
                                                    ("shift_jis", "Shift_JIS", "\u65e5x\u672c ")])
def test_memory_does_not_follow_the_document(child, codec, declared, chars):
    code = f"""
    import resource, vantelix
    page = "<page a='{chars[0]}'>" + "{chars}" * 4000 + "</page>"
    class Source:
        # about 100 MB of pages, made as they are read
        def __init__(self):
            self.left = 6000
            self.head = '<?xml version="1.0" encoding="{declared}"?><r>'.encode("{codec}")
            self.page = page.encode("{codec}")[2 if "{codec}" == "utf_16" else 0:]
        def read(self, n):
            if self.head:
                h, self.head = self.head, b""; return h
            if self.left:
                self.left -= 1
                return self.page + ("</r>".encode("{codec}")[2 if "{codec}" == "utf_16" else 0:]
                                    if not self.left else b"")
            return b""
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    count = sum(1 for p in vantelix.iter_elements(Source(), "page") if p.attrs["a"] == "{chars[0]}")
    print(count, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) // 1024)
    """
    proc = child(code)
    assert proc.returncode == 0, proc.stderr
    count, grown = map(int, proc.stdout.split())
    assert count == 6000
    assert grown < 48
