"""read_bytes and read_file on documents in other encodings than UTF-8.

Documents are generated in every codec the reader is expected to know, with non-ASCII characters
in names, attribute values and texts, and compared with ElementTree (or lxml, for the multi-byte
and EBCDIC codecs that expat cannot read) given the same bytes. Faults placed after multi-byte
characters check that offsets count bytes of the input as given: read_bytes must fail as
read_string fails on the same text, with the offset moved from the UTF-8 to the input.
"""
import array
import codecs
import mmap
import random
import re
import sys
import xml.etree.ElementTree as ET

try:
    import lxml.etree as LET
except ImportError:  # Debian builds lxml for its own interpreter only
    LET = None
import pytest

import vantelix
from test_read_oracle import WHITE_SPACE, et_tree, serialise, tree_of

# (name as the declaration gives it, Python codec, oracle)
EIGHT_BIT = (
    [(f"ISO-8859-{n}", f"iso8859_{n}", "et") for n in (1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 14, 15, 16)]
    + [(f"windows-{n}", f"cp{n}", "et") for n in range(1250, 1259)]
    + [("KOI8-R", "koi8_r", "et"), ("koi8-u", "koi8_u", "et"),
       ("IBM437", "cp437", "et"), ("IBM850", "cp850", "et"), ("ibm852", "cp852", "et"),
       ("IBM855", "cp855", "et"), ("IBM866", "cp866", "et"),
       ("macintosh", "mac_roman", "et"), ("mac-cyrillic", "mac_cyrillic", "et"),
       ("mac-greek", "mac_greek", "et"), ("mac-latin2", "mac_latin2", "et"),
       ("TIS-620", "tis_620", "et")]
)
EBCDIC = [("IBM037", "cp037", "lxml"), ("IBM500", "cp500", "lxml"), ("cp1140", "cp1140", "lxml")]
MULTI_BYTE = [("Shift_JIS", "shift_jis", "lxml"), ("EUC-JP", "euc_jp", "lxml"),
              ("EUC-KR", "euc_kr", "lxml"), ("GB2312", "gb2312", "lxml"), ("GBK", "gbk", "lxml"),
              ("GB18030", "gb18030", "lxml"), ("Big5", "big5", "lxml"),
              ("ISO-2022-JP", "iso2022_jp", "lxml")]
# (declared name, codec for the body, byte-order mark, oracle)
WIDE = [("UTF-16", "utf_16_le", codecs.BOM_UTF16_LE, "et"),
        ("UTF-16", "utf_16_be", codecs.BOM_UTF16_BE, "et"),
        ("UTF-16", "utf_16_le", b"", "et"),
        ("UTF-16", "utf_16_be", b"", "et"),
        ("utf-16le", "utf_16_le", codecs.BOM_UTF16_LE, "lxml"),
        ("UTF-32", "utf_32_le", codecs.BOM_UTF32_LE, "lxml"),
        ("UTF-32", "utf_32_be", codecs.BOM_UTF32_BE, "lxml")]

# Every encoding as (id, declared name, body codec, mark, oracle).
ENCODINGS = ([(d, d, c, b"", o) for d, c, o in EIGHT_BIT + EBCDIC + MULTI_BYTE]
             + [(f"{d}-{c}-{'bom' if m else 'nobom'}", d, c, m, o) for d, c, m, o in WIDE]
             + [("UTF-8", "UTF-8", "utf_8", b"", "et"), ("utf-8-bom", "utf-8", "utf_8", codecs.BOM_UTF8, "et"),
                ("US-ASCII", "US-ASCII", "ascii", b"", "et")])

# Characters the documents draw on; each codec takes those it can encode.
POOL = ("àéîõüßçñøåæÀÉÎÕÜÇÑØÅÆăąćčďęěłńňőřśšťůűźżžĄĆĘŁŃŚŹŻ"
        "αβγδεζηθλμξπσφψωΑΒΓΔΘΛΞΠΣΦΨΩάέίόύώ"
        "абвгдежзийклмнопрстуфхцчшщъыьэюяАБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЭЮЯёЁіїєґІЇЄҐ"
        "אבגדהוזחטיכלמנסעפצקרשת" "ابتثجحخدذرزسشصضطظعغفقكلمنهوي" "กขคงจฉชซญฎฏฐดตถทธนบปผฝพฟภมยรลวศษสหฬอฮ"
        "あいうえおかきくけこさしすせそアイウエオカキクケコサシスセソｱｲｳｴｵ"
        "日本語漢字東京大阪中文简体繁體臺灣香港한국어서울부산"
        "€©®°±µ¶·½¿×÷“”‘’•…‰™√∞≈≠≤≥■□▲△○●")


def _name_char(c):
    try:
        ET.fromstring(f"<{c}/>")
        if LET is not None:
            LET.fromstring(f"<{c}/>")
    except Exception:
        return False
    return True


NAME_CHARS = "".join(c for c in POOL if _name_char(c))


def _encodable(codec, chars):
    out = []
    for c in chars:
        try:
            if codecs.decode(codecs.encode(c, codec), codec) == c:
                out.append(c)
        except UnicodeError:
            pass
    return "".join(out)


def _agrees_with_lxml(codec, chars):
    """The characters that lxml's converter decodes as Python's codec does: for Big5 the two
    disagree on the ETEN extensions (Cyrillic and kana), which the one maps to private use."""
    if LET is None or codec not in {c for _, c, _ in MULTI_BYTE}:
        return chars
    out = []
    for c in chars:
        data = f"<?xml version='1.0' encoding='{codec}'?><r a='{c}'/>".encode(codec)
        try:
            if LET.fromstring(data).get("a") == c:
                out.append(c)
        except LET.XMLSyntaxError:
            pass
    return "".join(out)


_ALPHABETS = {}


def alphabets(codec):
    """Characters for names and for texts that `codec` holds (and the oracle reads alike)."""
    if codec not in _ALPHABETS:
        texts = _agrees_with_lxml(codec, _encodable(codec, POOL))
        _ALPHABETS[codec] = ("".join(c for c in texts if c in NAME_CHARS), texts)
    return _ALPHABETS[codec]


def encode(text, codec, mark=b""):
    return mark + codecs.encode(text, codec)


def declaration(name, style):
    return [
        f'<?xml version="1.0" encoding="{name}"?>\n',
        f"<?xml version='1.0' encoding='{name}'?>",
        f'<?xml version="1.0" encoding="{name}" standalone="yes"?>\n',
        f"<?xml version='1.0' encoding=\"{name}\" standalone='no' ?>\r\n",
        f'<?xml  version = "1.0"\n\tencoding =\t"{name}"   standalone = "yes"?>',
        f'<?xml version="1.0" encoding="{name.upper()}"?>',
        f'<?xml version="1.0" encoding="{name.lower()}"?>',
    ][style]


def random_tree(rng, names, texts, depth=0):
    def name():
        n = rng.randint(1, 4)
        return rng.choice(names) + "".join(rng.choice(names + "ab_.-1") for _ in range(n))

    def text():
        return "".join(rng.choice(texts + "xy <>&'\"") for _ in range(rng.randint(0, 8)))

    n_children = rng.randint(0, 3) if depth < 4 else 0
    attrs = {name(): text() for _ in range(rng.randint(0, 3))}
    return (name(), attrs, [text() for _ in range(n_children + 1)],
            [random_tree(rng, names, texts, depth + 1) for _ in range(n_children)])


def lxml_as_et(el):
    """An lxml tree as an ElementTree one: comments and processing instructions, which lxml keeps
    as children, left out with their tails joined to the text around them."""
    out = ET.Element(el.tag, dict(el.attrib))
    out.text, last = el.text, None
    for child in el:
        if isinstance(child.tag, str):
            last = lxml_as_et(child)
            last.tail = child.tail
            out.append(last)
        elif last is None:
            out.text = (out.text or "") + (child.tail or "")
        else:
            last.tail = (last.tail or "") + (child.tail or "")
    return out


def oracle_tree(data, oracle):
    if oracle == "lxml" and LET is None:
        pytest.skip("lxml, the oracle for this encoding, is not installed for this interpreter")
    return et_tree(ET.fromstring(data) if oracle == "et" else lxml_as_et(LET.fromstring(data)))


def ids(encodings):
    return [e[0] for e in encodings]


@pytest.mark.parametrize("seed", range(7))
@pytest.mark.parametrize("_, declared, codec, mark, oracle", ENCODINGS, ids=ids(ENCODINGS))
def test_generated_documents_match_the_oracle(_, declared, codec, mark, oracle, seed):
    names, texts = alphabets(codec)
    assert any(ord(c) > 0x7F for c in names + texts) or codec == "ascii"
    rng = random.Random(seed)
    tree = random_tree(rng, names or "abc", texts or "xyz")
    out = [declaration(declared, seed)]
    serialise(tree, rng, out)
    data = encode("".join(out), codec, mark)
    expected = oracle_tree(data, oracle)
    assert tree_of(vantelix.read_bytes(data, tree[0])) == expected


# ---------------------------------------------------------------------------------------------
# Faults: offsets count bytes of the input


def words(codec):
    """Three runs of non-ASCII characters the codec holds (ASCII for ASCII itself)."""
    names, texts = alphabets(codec)
    names = names or "abc"
    return names[:3], names[-3:] + "q", (texts[:2] + texts[-2:]) or "xyz"


FAULTS = [
    '<r a="{t}">{t}<b x={t}/></r>',          # a value not quoted
    '<r>{t}{n}&zz;</r>',                      # an unknown entity
    '<r a="{t}">{n}<{n}>{t}</{m}></r>',       # an end tag that does not match
    '<r a="{t}">{t}<{n} b="{t}"',            # a tag never closed
    '<r {n}="{t}" {n}="{t}">{t}</r>',         # an attribute given twice
    '<r>{t}<{n}>{t}</{n}>&#0;</r>',          # a character reference to no character
]


def utf8_offset(message):
    return int(re.search(r"byte (\d+)", message)[1])


@pytest.mark.parametrize("fault", range(len(FAULTS)))
@pytest.mark.parametrize("_, declared, codec, mark, oracle", ENCODINGS, ids=ids(ENCODINGS))
def test_faults_fail_as_in_read_string_with_offsets_of_the_input(_, declared, codec, mark, oracle, fault):
    n, m, t = words(codec)
    text = declaration(declared, 0) + FAULTS[fault].format(n=n, m=m, t=t)
    with pytest.raises(ValueError) as in_str:
        vantelix.read_string(text, "r")
    message = str(in_str.value)
    at = utf8_offset(message)
    chars_before = len(text.encode()[:at].decode())
    # An incremental encoder leaves out what a stateful codec adds only at the end.
    expected_at = len(mark) + len(codecs.getincrementalencoder(codec)().encode(text[:chars_before]))
    assert chars_before > len(declaration(declared, 0))  # the fault lies after non-ASCII text
    with pytest.raises(ValueError) as in_bytes:
        vantelix.read_bytes(encode(text, codec, mark), "r")
    assert str(in_bytes.value) == message.replace(f"byte {at}", f"byte {expected_at}")


def invalid_sequence(codec, before, after):
    """Bytes that `codec` cannot decode between `before` and `after`, or None."""
    candidates = [bytes([b]) for b in range(0x80, 0x100)] + [bytes([b, 0x20]) for b in range(0x80, 0x100)]
    if codec.startswith("utf_16"):
        candidates = [codecs.encode("\ud800", codec, "surrogatepass"), b"\x00"]
    elif codec.startswith("utf_32"):
        candidates = [(0x110000).to_bytes(4, "little" if "le" in codec else "big")]
    for bad in candidates:
        try:
            (before + bad + after).decode(codec)
        except UnicodeDecodeError as e:
            return bad, e.start
    return None


def invalid_cases(before="<r a='{t}'>{t}", after="{t}</r>"):
    """(encoding, bytes invalid between the two texts and where they start) for every encoding
    that has such bytes; {t} in the texts stands for non-ASCII text of the encoding."""
    for case in ENCODINGS:
        _, declared, codec, mark, oracle = case
        n, m, t = words(codec)
        found = invalid_sequence(codec, encode(declaration(declared, 1) + before.format(t=t), codec),
                                 encode(after.format(t=t), codec))
        if found:  # codecs that give every byte a character have nothing to find here
            yield pytest.param(case, found, id=case[0])


@pytest.mark.parametrize("case, found", list(invalid_cases()))
def test_bytes_invalid_in_the_encoding_are_reported_where_they_start(case, found):
    _, declared, codec, mark, oracle = case
    n, m, t = words(codec)
    bad, start = found
    data = (mark + encode(declaration(declared, 1) + f"<r a='{t}'>{t}", codec) + bad
            + encode(f"{t}</r>", codec))
    label = "UTF-8" if codec == "utf_8" else declared
    with pytest.raises(ValueError, match=f"^malformed XML at byte {len(mark) + start}: invalid {label}$"):
        vantelix.read_bytes(data, "r")


@pytest.mark.parametrize("declared, codec", [("Shift_JIS", "shift_jis"), ("Big5", "big5"), ("GB18030", "gb18030"),
                                             ("EUC-JP", "euc_jp"), ("ISO-2022-JP", "iso2022_jp")])
@pytest.mark.parametrize("shift", range(-3, 4))
def test_multi_byte_codecs_map_offsets_across_the_chunks_they_are_decoded_in(declared, codec, shift):
    """Double-byte codecs are transcoded natively, the others by the codec 32 KB at a time:
    characters, faults and bad bytes at either side of a chunk boundary are placed by the bytes
    the input has there."""
    n, m, t = words(codec)
    head = encode(declaration(declared, 0) + f"<r a='{t}'>", codec)
    filler = (t * 40000)[: (32768 - len(head)) // 2 + 8]
    # Cut the filler so that its end lies `shift` bytes from the boundary, on a character.
    chars = len(filler)
    while len(head) + len(codecs.getincrementalencoder(codec)().encode(filler[:chars])) > 32768 + shift:
        chars -= 1
    text = declaration(declared, 0) + f"<r a='{t}'>" + filler[:chars] + f"<b x={t}/></r>"
    with pytest.raises(ValueError) as in_str:
        vantelix.read_string(text, "r")
    at = utf8_offset(str(in_str.value))
    fault_chars = len(text.encode()[:at].decode())
    expected = len(codecs.getincrementalencoder(codec)().encode(text[:fault_chars]))
    with pytest.raises(ValueError, match=f"at byte {expected}: value of attribute 'x' is not quoted"):
        vantelix.read_bytes(encode(text, codec), "r")
    # A lead byte with no valid trail, at the same place.
    prefix = encode(text[: fault_chars - 3], codec) if codec != "iso2022_jp" else None
    if prefix is not None:
        found = invalid_sequence(codec, prefix, encode(f"{t}</r>", codec))
        bad, start = found
        with pytest.raises(ValueError, match=f"^malformed XML at byte {start}: invalid {declared}$"):
            vantelix.read_bytes(prefix + bad + encode(f"{t}</r>", codec), "r")


def every_character(codec):
    """Every character `codec` decodes from one byte from 0x80 or from two bytes, in byte order."""
    out = []
    for lead in range(0x80, 0x100):
        try:
            out.append(bytes([lead]).decode(codec))
            continue
        except UnicodeDecodeError:
            pass
        for trail in range(0x100):
            try:
                out.append(bytes([lead, trail]).decode(codec))
            except UnicodeDecodeError:
                pass
    return "".join(c for c in out if c not in "<&>" and ord(c) >= 0x20 and c != "\x7f")


@pytest.mark.parametrize("declared, codec", [("Shift_JIS", "shift_jis"), ("MS932", "cp932"), ("GBK", "gbk"),
                                             ("GB2312", "gb2312"), ("Big5", "big5"), ("cp950", "cp950"),
                                             ("cp949", "cp949"), ("johab", "johab"), ("EUC-KR", "euc_kr"),
                                             ("EUC-JP", "euc_jp")])
def test_every_character_of_a_multi_byte_codec_reads_as_the_codec_decodes_it(declared, codec):
    chars = every_character(codec)
    assert len(chars) > 5000
    text = f"<?xml version='1.0' encoding='{declared}'?><r a='{chars}'>{chars}</r>"
    data = text.encode(codec)
    node = vantelix.read_bytes(data, "r")
    assert node.attrs["a"] == chars
    assert node.text == chars.strip(WHITE_SPACE)


@pytest.mark.parametrize("declared, codec, mark", [
    ("windows-1251", "cp1251", b""), ("Shift_JIS", "shift_jis", b""), ("UTF-16", "utf_16_le", codecs.BOM_UTF16_LE),
    ("ISO-8859-7", "iso8859_7", b""),
])
def test_offsets_far_into_large_documents(declared, codec, mark):
    n, m, t = words(codec)
    rows = "".join(f"<{n} i='{i}'>{t}{t}</{n}>\n" for i in range(20000))
    text = declaration(declared, 0) + f"<r>{rows}<{n} x={t}/></r>"
    with pytest.raises(ValueError) as in_str:
        vantelix.read_string(text, "r")
    at = utf8_offset(str(in_str.value))
    expected = len(mark) + len(text[: len(text.encode()[:at].decode())].encode(codec))
    with pytest.raises(ValueError, match=f"at byte {expected}: "):
        vantelix.read_bytes(encode(text, codec, mark), "r")
    assert len(vantelix.read_bytes(encode(text.replace(f"x={t}", "x='1'"), codec, mark), "r").children) == 20001


# ---------------------------------------------------------------------------------------------
# Declarations


@pytest.mark.parametrize("codec, mark", [("utf_32_le", codecs.BOM_UTF32_LE), ("utf_32_be", codecs.BOM_UTF32_BE),
                                         ("utf_16_le", codecs.BOM_UTF16_LE)])
def test_text_made_only_of_characters_beyond_the_first_plane(codec, mark):
    """Each such character takes as many bytes in UTF-8 as in UTF-32: no fewer than its input."""
    text = "\U0001F600\U00010348" * 20_000
    node = vantelix.read_bytes(encode(f"<r a='{text}'>{text}</r>", codec, mark), "r")
    assert node.text == text and node.attrs["a"] == text


@pytest.mark.parametrize("name", ["x-no-such-encoding", "base64", "rot13", "hex", "utf-9", "", "ISO-8859-99",
                                  "latin 1", "8859-1", " utf-8", "windows-1251\u00e9"])
@pytest.mark.parametrize("style", [0, 1, 4])
def test_an_encoding_no_codec_knows_is_reported_where_its_name_starts(name, style):
    decl = declaration(name, style)
    data = (decl + "<r/>").encode("utf-8")
    shown = name.encode("utf-8").decode("latin-1").encode("unicode_escape").decode()
    with pytest.raises(ValueError) as raised:
        vantelix.read_bytes(data, "r")
    after_eq = decl.index("=", decl.index("encoding"))
    start = min(i for i in (decl.find('"', after_eq), decl.find("'", after_eq)) if i >= 0) + 1
    assert str(raised.value) == f"malformed XML at byte {start}: unsupported encoding '{shown}'"


@pytest.mark.parametrize("mark, body_codec, declared", [
    (codecs.BOM_UTF8, "utf_8", "windows-1251"),
    (codecs.BOM_UTF8, "utf_8", "UTF-16"),
    (codecs.BOM_UTF16_LE, "utf_16_le", "UTF-8"),
    (codecs.BOM_UTF16_BE, "utf_16_be", "ISO-8859-1"),
    (codecs.BOM_UTF16_LE, "utf_16_le", "x-unknown"),
    (codecs.BOM_UTF32_LE, "utf_32_le", "Shift_JIS"),
    (codecs.BOM_UTF32_BE, "utf_32_be", "UTF-16"),
])
def test_the_byte_order_mark_wins_over_the_declaration(mark, body_codec, declared):
    body = "<корень 名前='é😀'>текст テキスト</корень>"
    data = mark + (declaration(declared, 2) + body).encode(body_codec)
    expected = et_tree(ET.fromstring(('<?xml version="1.0"?>' + body).encode()))
    assert tree_of(vantelix.read_bytes(data, "корень")) == expected


@pytest.mark.parametrize("cut", ['<?xml version="1.0" encoding="windows-1251',
                                 "<?xml version='1.0' encoding='Shift_JIS",
                                 '<?xml version="1.0" encoding=',
                                 '<?xml version="1.0" enc',
                                 "<?xml"])
@pytest.mark.parametrize("codec, mark", [("utf_8", b""), ("utf_16_le", codecs.BOM_UTF16_LE), ("utf_16_be", b"")])
def test_a_declaration_cut_off_by_the_end_fails_as_in_read_string(cut, codec, mark):
    with pytest.raises(ValueError) as in_str:
        vantelix.read_string(cut, "r")
    message = str(in_str.value)
    with pytest.raises(ValueError) as in_bytes:
        vantelix.read_bytes(encode(cut, codec, mark), "r")
    width = 1 if codec == "utf_8" else 2
    at = re.search(r"byte (\d+)", message)
    if at:
        message = message.replace(at[0], f"byte {len(mark) + width * int(at[1])}")
    assert str(in_bytes.value) == message
    if LET is not None:
        with pytest.raises(Exception):
            LET.fromstring(encode(cut, codec, mark))


def test_read_string_does_not_look_at_the_declaration():
    node = vantelix.read_string('<?xml version="1.0" encoding="no-such-thing"?><r>é€</r>', "r")
    assert node.text == "é€"


@pytest.mark.parametrize("data, label", [
    (b"<r>\xff</r>", "UTF-8"),
    (b'<?xml version="1.0" encoding="utf8"?><r>\xff</r>', "UTF-8"),
    (b'<?xml version="1.0" encoding="utf-8-sig"?><r>\xff</r>', "UTF-8"),
    (b'<?xml version="1.0" encoding="U8"?><r>\xff</r>', "UTF-8"),
    (b"\xef\xbb\xbf<?xml version='1.0' encoding='ISO-8859-1'?><r>\xff</r>", "UTF-8"),
    (b'<?xml version="1.0" encoding="US-ASCII"?><r>a\xff</r>', "US-ASCII"),
    (b'<?xml version="1.0" encoding="ascii"?><r>a</r>\xff', "ascii"),
    (b'<?xml version="1.0" encoding="windows-1252"?><r>\xe9\x81</r>', "windows-1252"),
    (b'<?xml version="1.0" encoding="Shift_JIS"?><r>\x82\xa0\xff</r>', "Shift_JIS"),
])
def test_invalid_message_names_the_encoding_as_given(data, label):
    at = data.index(b"\x81" if b"\x81" in data else b"\xff")
    with pytest.raises(ValueError, match=f"^malformed XML at byte {at}: invalid {label}$"):
        vantelix.read_bytes(data, "r")


@pytest.mark.parametrize("data", [b"", b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff", b"\x00\x00\xfe\xff",
                                  b"<?xml version='1.0' encoding='Shift_JIS'?>"])
def test_documents_without_the_root_report_it_missing(data):
    with pytest.raises(ValueError, match="^root tag <r> not found in document$"):
        vantelix.read_bytes(data, "r")


# ---------------------------------------------------------------------------------------------
# Buffers and arguments

DOC = "<?xml version='1.0' encoding='windows-1251'?><r a='ф'>текст<b/></r>".encode("cp1251")
EXPECTED = ("r", {"a": "ф"}, "текст", [("b", {}, None, [])])


def strided(data):
    doubled = bytearray(len(data) * 2)
    doubled[::2] = data
    return memoryview(doubled)[::2]


def as_mmap(data):
    m = mmap.mmap(-1, len(data))
    m.write(data)
    return m


@pytest.mark.parametrize("make", [
    bytes, bytearray, memoryview, lambda d: memoryview(bytearray(d)), strided, as_mmap,
    lambda d: array.array("B", d), lambda d: array.array("b", d),
    lambda d: memoryview(b"xx" + d + b"yy")[2:-2], type("Bytes", (bytes,), {}),
    lambda d: memoryview(d).cast("B", (len(d),)),
], ids=["bytes", "bytearray", "memoryview", "memoryview-bytearray", "strided", "mmap", "array-B",
        "array-b", "slice", "bytes-subclass", "cast"])
def test_any_buffer_reads_as_its_bytes(make):
    assert tree_of(vantelix.read_bytes(make(DOC), "r")) == EXPECTED


def test_wide_item_buffers_are_read_as_their_bytes():
    data = DOC + b" " * (-len(DOC) % 4)
    assert tree_of(vantelix.read_bytes(array.array("i", data), "r")) == EXPECTED


def test_a_bytes_object_is_shared_by_the_tree():
    data = b"<r>" + b"x" * 1000 + b"</r>"
    before = sys.getrefcount(data)
    node = vantelix.read_bytes(data, "r")
    assert sys.getrefcount(data) == before + 1
    del node
    assert sys.getrefcount(data) == before


@pytest.mark.parametrize("make", [bytearray, lambda d: memoryview(bytearray(d)), as_mmap])
def test_other_buffers_are_copied_and_left_free(make):
    data = b"<r>" + b"x" * 1000 + b"</r>"
    buf = make(data)
    before = sys.getrefcount(buf)
    node = vantelix.read_bytes(buf, "r")
    assert sys.getrefcount(buf) == before
    buf[3:6] = b"abc"
    assert node.text == "x" * 1000
    if isinstance(buf, bytearray):
        buf.extend(b"more")  # refused with BufferError while an export is held
    elif isinstance(buf, mmap.mmap):
        buf.close()  # likewise


@pytest.mark.parametrize("data, type_name", [("<r/>", "str"), (1, "int"), (None, "NoneType"), ([1], "list"),
                                             (pytest, "module")])
def test_data_without_the_buffer_protocol_is_refused(data, type_name):
    with pytest.raises(TypeError) as raised:
        vantelix.read_bytes(data, "r")
    assert str(raised.value) == f"a bytes-like object is required, not '{type_name}'"
    assert raised.value.__notes__ == ["while processing 'data'"]


def test_root_tag_is_taken_as_read_string_takes_it():
    with pytest.raises(TypeError) as in_bytes:
        vantelix.read_bytes(b"<r/>", b"r")
    with pytest.raises(TypeError) as in_str:
        vantelix.read_string("<r/>", b"r")
    assert str(in_bytes.value) == str(in_str.value)
    assert in_bytes.value.__notes__ == in_str.value.__notes__ == ["while processing 'root_tag'"]


@pytest.mark.parametrize("call, message", [
    (lambda: vantelix.read_bytes(), "read_bytes() missing 2 required positional arguments: 'data' and 'root_tag'"),
    (lambda: vantelix.read_bytes(b""), "read_bytes() missing 1 required positional argument: 'root_tag'"),
    (lambda: vantelix.read_bytes(b"", "r", 1), "read_bytes() takes 2 positional arguments but 3 were given"),
    (lambda: vantelix.read_bytes(b"", "r", xml_string=1), "read_bytes() got an unexpected keyword argument 'xml_string'"),
    (lambda: vantelix.read_bytes(b"", data=b""), "read_bytes() got multiple values for argument 'data'"),
])
def test_call_shape_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


def test_keywords_signature_and_docstring():
    assert tree_of(vantelix.read_bytes(root_tag="r", data=DOC)) == EXPECTED
    assert vantelix.read_bytes.__text_signature__ == "(data, root_tag)"
    assert vantelix.read_bytes.__doc__.strip()
    assert vantelix.read_bytes.__module__ == "vantelix"
    assert "read_bytes" not in vantelix.__all__


def test_reads_of_one_bytes_object_on_two_threads(concurrently):
    rows = "".join(f"<й i='{i}'>ж</й>" for i in range(20000))
    data = f"<?xml version='1.0' encoding='KOI8-R'?><r>{rows}</r>".encode("koi8_r")
    sjis = f"<?xml version='1.0' encoding='Shift_JIS'?><r>{rows.replace('й', '日')}</r>".encode("shift_jis")

    def read(d):
        return lambda: len(vantelix.read_bytes(d, "r").children) == 20000 or pytest.fail("wrong tree")

    concurrently([read(data), read(sjis)], seconds=1.0)


# ---------------------------------------------------------------------------------------------
# read_file


@pytest.mark.parametrize("_, declared, codec, mark, oracle", ENCODINGS, ids=ids(ENCODINGS))
def test_read_file_gives_what_read_bytes_gives(_, declared, codec, mark, oracle, tmp_path):
    names, texts = alphabets(codec)
    rng = random.Random(3)
    tree = random_tree(rng, names or "abc", texts or "xyz")
    out = [declaration(declared, 3)]
    serialise(tree, rng, out)
    data = encode("".join(out), codec, mark)
    path = tmp_path / "doc.xml"
    path.write_bytes(data)
    assert tree_of(vantelix.read_file(str(path), tree[0])) == tree_of(vantelix.read_bytes(data, tree[0]))
    n, m, t = words(codec)
    bad = encode(declaration(declared, 0) + FAULTS[0].format(n=n, m=m, t=t), codec, mark)
    path.write_bytes(bad)
    with pytest.raises(ValueError) as from_file:
        vantelix.read_file(str(path), "r")
    with pytest.raises(ValueError) as from_bytes:
        vantelix.read_bytes(bad, "r")
    assert str(from_file.value) == str(from_bytes.value)


# ---------------------------------------------------------------------------------------------
# UTF-8 is checked part by part as it is read; the outcome is that of a check of the whole input
# beforehand


def many_rows(count=12000):
    """Enough elements for the reader to take the index in many windows, with characters of 2, 3
    and 4 bytes wherever a window may end."""
    rows = "".join(f"<é i='{i}' a='ж€😀'>ß{'€' * (i % 5)}😀</é>\n" for i in range(count))
    return f"<r>{rows}</r>"


@pytest.mark.parametrize("where", [0.0, 0.1, 0.5, 0.9, 0.999, 1.0])
@pytest.mark.parametrize("bad", [b"\xff", b"\xe2\x82", b"\xed\xa0\x80", b"\x80", b"\xf0\x9f\x98"])
@pytest.mark.parametrize("fault", ["", "<x a=1>", "&nope;", "<x"])
def test_ill_formed_utf8_anywhere_comes_before_any_other_error(where, bad, fault, tmp_path):
    text = many_rows()
    data = text.encode()
    # On a character boundary near `where`, then a syntax fault in the middle of the root.
    at = int(len(data) * where)
    while at < len(data) and (data[at] & 0xC0) == 0x80:
        at += 1
    middle = data.index(b"<\xc3\xa9 i='6000'")
    data = data[:middle] + fault.encode() + data[middle:]
    if at > middle:
        at += len(fault.encode())
    data = data[:at] + bad + data[at:]
    with pytest.raises(UnicodeDecodeError) as python:
        data.decode()
    expected = python.value.start
    path = tmp_path / "doc.xml"
    path.write_bytes(data)
    for read in (lambda: vantelix.read_bytes(data, "r"), lambda: vantelix.read_file(str(path), "r")):
        with pytest.raises(ValueError, match=f"^malformed XML at byte {expected}: invalid UTF-8$"):
            read()


def test_well_formed_utf8_across_every_window_reads_whole():
    text = many_rows()
    node = vantelix.read_bytes(text.encode(), "r")
    assert len(node.children) == 12000
    assert node.children[-1].text == "ß€€€€😀" and node.children[-1].attrs == {"i": "11999", "a": "ж€😀"}
    assert tree_of(node) == tree_of(vantelix.read_string(text, "r"))
