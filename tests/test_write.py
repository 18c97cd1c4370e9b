"""write_string and write_file: output format, arguments, file errors, threads and depth."""
import os
import pathlib
import stat

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vantelix
from vantelix import Node, write_file, write_string

DECL = '<?xml version="1.0" encoding="utf-8"?>\n'


def reference(node, indent=4, declaration=True):
    """The writing rules spelled out plainly (recursive: only for the small generated trees)."""
    out, state = [], {"depth": 0, "break": False}

    def escape(text, attribute):
        table = {"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&apos;"}
        if attribute:
            table.update({"\t": "&#9;", "\n": "&#10;", "\r": "&#13;"})
        return "".join(table.get(c, c) for c in text)

    def line_break():
        out.append("\n" + " " * (indent * state["depth"]))

    def element(n):
        if state["break"]:
            line_break()
        state["break"] = True
        out.append("<" + n.name)
        for k, v in n.attrs.items():
            out.append(f' {k}="{escape(v, True)}"')
        if n.text is None and not n.children:
            out.append("/>")
            return
        out.append(">")
        state["depth"] += 1
        if n.text is not None:
            out.append(escape(n.text, False))
            state["break"] = False
        for c in n.children:
            element(c)
        state["depth"] -= 1
        if state["break"]:
            line_break()
        state["break"] = True
        out.append(f"</{n.name}>")

    element(node)
    return (DECL if declaration else "") + "".join(out)


def catalog():
    return Node("catalog", {"id": "7"}, [
        Node("book", text="A & B"),
        Node("shelf"),
        Node("note", children=[Node("b", text="y")], text="x"),
    ])


CATALOG_LINES = ['<catalog id="7">', '    <book>A &amp; B</book>', '    <shelf/>',
                 '    <note>x<b>y</b>', '    </note>', '</catalog>']


class TestFormat:
    def test_worked_example_byte_for_byte(self):
        assert write_string(catalog(), default_xml_def=False) == "\n".join(CATALOG_LINES)

    @pytest.mark.parametrize("char, in_text, in_attr", [
        ("&", "&amp;", "&amp;"), ("<", "&lt;", "&lt;"), (">", "&gt;", "&gt;"),
        ('"', "&quot;", "&quot;"), ("'", "&apos;", "&apos;"),
        ("\t", "\t", "&#9;"), ("\n", "\n", "&#10;"), ("\r", "\r", "&#13;"),
        ("\x01", "\x01", "\x01"), ("\x7f", "\x7f", "\x7f"), ("é", "é", "é"), ("😀", "😀", "😀"),
    ])
    def test_escaping_table(self, char, in_text, in_attr):
        # Each character at the start, inside and at the end of runs of several lengths, so
        # short texts and the block-wise scan of long ones both meet it.
        for run in (0, 1, 7, 15, 16, 17, 40):
            value = char + "x" * run + char + "y" * run + char
            expected_text = in_text + "x" * run + in_text + "y" * run + in_text
            expected_attr = in_attr + "x" * run + in_attr + "y" * run + in_attr
            out = write_string(Node("a", {"k": value}, text=value), default_xml_def=False)
            assert out == f'<a k="{expected_attr}">{expected_text}</a>'

    @pytest.mark.parametrize("node, expected", [
        (Node("a"), "<a/>"),
        (Node("a", {"k": "v"}), '<a k="v"/>'),
        (Node("a", text=""), "<a></a>"),
        (Node("a", {"k": ""}, text=""), '<a k=""></a>'),
        (Node(""), "</>"),
        (Node("a", children=[Node("b", text="")]), "<a>\n    <b></b>\n</a>"),
    ])
    def test_absent_and_empty_text(self, node, expected):
        assert write_string(node, default_xml_def=False) == expected

    def test_text_followed_by_children(self):
        node = Node("a", text="t", children=[Node("b"), Node("c", children=[Node("d")]), Node("e")])
        assert write_string(node, default_xml_def=False) == (
            "<a>t<b/>\n    <c>\n        <d/>\n    </c>\n    <e/>\n</a>")

    @pytest.mark.parametrize("indent, spaces", [(None, 4), (0, 0), (True, 1), (False, 0), (1, 1), (2, 2), (9, 9)])
    def test_indent(self, indent, spaces):
        expected = "\n".join(line.replace("    ", " " * spaces) for line in CATALOG_LINES)
        assert write_string(catalog(), indent, False) == expected
        assert write_string(catalog(), indent=indent, default_xml_def=False) == expected

    # Stand-ins with NumPy's module and type names: recognising them must not need NumPy.
    @pytest.mark.parametrize("flag, declared", [
        (None, True), (True, True), (False, False),
        *[(type(name, (), {"__module__": "numpy", "__bool__": lambda self, t=truth: t})(), truth)
          for name in ("bool_", "bool") for truth in (True, False)],
    ])
    def test_declaration(self, flag, declared):
        assert write_string(Node("a"), default_xml_def=flag) == (DECL if declared else "") + "<a/>"
        assert write_string(Node("a")) == DECL + "<a/>" and len(DECL.encode()) == 39

    def test_same_node_twice_is_written_twice(self):
        leaf = Node("leaf", {"n": "1"}, text="t")
        out = write_string(Node("r", children=[leaf, Node("m", children=[leaf]), leaf]), 1, False)
        assert out == ('<r>\n <leaf n="1">t</leaf>\n <m>\n  <leaf n="1">t</leaf>\n </m>\n'
                       ' <leaf n="1">t</leaf>\n</r>')

    @pytest.mark.parametrize("count", [3, 8, 9, 40])
    def test_attributes_in_insertion_order(self, count):
        keys = [f"k{(i * 7919) % 1000:03d}" for i in range(count)]
        node = Node("a", {k: str(i) for i, k in enumerate(keys)})
        expected = "<a" + "".join(f' {k}="{i}"' for i, k in enumerate(keys)) + "/>"
        assert write_string(node, default_xml_def=False) == expected

    @pytest.mark.parametrize("text", ["ascii", "café ÿ", "Ā żółw", "日本語", "𝄞 music", "a" * 20000,
                                      "é" * 9000 + "😀" * 3000])
    def test_every_kind_of_str(self, text):
        # Latin-1, two-byte and four-byte results are built in place: compare with the plain rules.
        node = Node("r", {"t": text}, [Node(text[:3] or "x", text=text), Node("e")])
        out = write_string(node, indent=3)
        assert out == reference(node, 3)
        assert max(map(ord, out)) == max(map(ord, DECL + text))


names = st.text(st.characters(blacklist_categories=("Cs",)), max_size=6)
texts = st.none() | st.text(st.characters(blacklist_categories=("Cs",)), max_size=40)
trees = st.recursive(
    st.builds(Node, names, st.dictionaries(names, texts.filter(lambda t: t is not None), max_size=4),
              st.none(), texts),
    lambda children: st.builds(Node, names,
                               st.dictionaries(names, texts.filter(lambda t: t is not None), max_size=3),
                               st.lists(children, max_size=4), texts),
    max_leaves=25)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
@given(tree=trees, indent=st.integers(0, 12), declaration=st.booleans())
def test_matches_the_plain_rules(tree, indent, declaration, tmp_path_factory):
    out = write_string(tree, indent, declaration)
    assert out == reference(tree, indent, declaration)
    path = tmp_path_factory.mktemp("w") / "out.xml"
    write_file(tree, str(path), indent, declaration)
    assert path.read_bytes() == out.encode()


xml_names = st.from_regex(r"[A-Za-z_][A-Za-z0-9_.-]{0,8}", fullmatch=True)
xml_chars = st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00\ufffe\uffff",
                          min_codepoint=0x09).filter(lambda c: c >= " " or c in "\t\n\r")
stripped = st.text(xml_chars, min_size=1, max_size=20).map(str.strip).filter(bool)
xml_leaves = st.builds(Node, xml_names, st.dictionaries(xml_names, st.text(xml_chars, max_size=10), max_size=4),
                       st.none(), st.none() | stripped)
xml_trees = st.recursive(
    xml_leaves,
    lambda children: st.builds(Node, xml_names, st.dictionaries(xml_names, st.text(xml_chars, max_size=10),
                                                                max_size=3),
                               st.lists(children, min_size=1, max_size=4)),
    max_leaves=20)


def _reading_available():
    try:
        vantelix.read_string("<a/>", "a")
    except NotImplementedError:
        return False
    return True


def _same_tree(a, b):
    pending = [(a, b)]
    while pending:
        x, y = pending.pop()
        assert (x.name, list(x.attrs.items()), x.text) == (y.name, list(y.attrs.items()), y.text)
        assert len(x.children) == len(y.children)
        pending.extend(zip(x.children, y.children))


@pytest.mark.skipif(not _reading_available(), reason="read_string is not implemented in this build yet")
@settings(max_examples=300, deadline=None)
@given(tree=xml_trees, indent=st.integers(0, 4), declaration=st.booleans())
def test_round_trip_through_reading(tree, indent, declaration):
    _same_tree(vantelix.read_string(write_string(tree, indent, declaration), tree.name), tree)


class TestFiles:
    def test_file_equals_string_byte_for_byte(self, tmp_path):
        # Texts around the 8192-byte buffer: appended, flushed first, or written straight through.
        node = Node("r", {"é": "ü"}, [Node("t", text="x" * n + "&é") for n in (8186, 8191, 8192, 20000, 3)])
        for indent in (0, 2):
            path = tmp_path / "out.xml"
            assert write_file(node, str(path), indent) is None
            assert path.read_bytes() == write_string(node, indent).encode()

    def test_existing_file_is_replaced(self, tmp_path):
        path = tmp_path / "out.xml"
        path.write_bytes(b"z" * 100000)
        write_file(Node("a"), str(path), default_xml_def=False)
        assert path.read_bytes() == b"<a/>"

    def test_new_file_mode_follows_umask(self, tmp_path):
        old = os.umask(0o022)
        try:
            write_file(Node("a"), str(tmp_path / "m.xml"))
        finally:
            os.umask(old)
        assert stat.S_IMODE(os.stat(tmp_path / "m.xml").st_mode) == 0o644

    @pytest.mark.parametrize("make_path, error, code", [
        (lambda d: str(d / "missing" / "out.xml"), FileNotFoundError, 2),
        (lambda d: str(d), IsADirectoryError, 21),
        (lambda d: "", FileNotFoundError, 2),
        (lambda d: "/etc/passwd/x", NotADirectoryError, 20),
    ])
    def test_os_errors(self, tmp_path, make_path, error, code):
        before = sorted(os.listdir(tmp_path))
        with pytest.raises(error) as info:
            write_file(catalog(), make_path(tmp_path))
        assert type(info.value) is error
        assert str(info.value).endswith(f" (os error {code})")
        assert info.value.errno is None
        assert sorted(os.listdir(tmp_path)) == before

    def test_full_device(self):
        with pytest.raises(OSError) as info:
            write_file(catalog(), "/dev/full")
        assert type(info.value) is OSError
        assert str(info.value) == "No space left on device (os error 28)"

    def test_nul_in_path_refused_before_any_system_call(self, tmp_path):
        with pytest.raises(OSError) as info:
            write_file(Node("a"), str(tmp_path / "x\0y"))
        assert type(info.value) is OSError
        assert str(info.value) == "file name contained an unexpected NUL byte"
        assert info.value.errno is None
        assert os.listdir(tmp_path) == []

    @pytest.mark.parametrize("path", [pathlib.Path("out.xml"), b"out.xml", None])
    def test_path_must_be_str(self, path):
        with pytest.raises(TypeError) as info:
            write_file(Node("a"), path)
        name = "'None' is not" if path is None else f"'{type(path).__name__}' object is not"
        assert str(info.value) == f"{name} an instance of 'str'"
        assert info.value.__notes__ == ["while processing 'file_path'"]

    def test_unencodable_path(self):
        with pytest.raises(UnicodeEncodeError) as info:
            write_file(Node("a"), "bad\udc80")
        assert info.value.__notes__ == ["while processing 'file_path'"]

    def test_short_writes_are_continued_up_to_the_file_size_limit(self, child, tmp_path):
        path = tmp_path / "limited.xml"
        result = child(f"""
            import resource, vantelix
            node = vantelix.Node("r", children=[vantelix.Node("t", {{"i": str(i)}}, text="x" * 300)
                                                 for i in range(200)])
            resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))
            try:
                vantelix.write_file(node, {str(path)!r}, 2)
            except OSError as e:
                print(type(e).__name__, e, e.errno)
            """)
        assert result.stdout.strip() == "OSError File too large (os error 27) None", result.stderr
        node = Node("r", children=[Node("t", {"i": str(i)}, text="x" * 300) for i in range(200)])
        assert path.read_bytes() == write_string(node, 2).encode()[:20000]

    def test_interrupted_writes_lose_nothing(self, child, tmp_path):
        # The writer blocks on a FIFO that a forked reader drains slowly while SIGALRM keeps
        # interrupting it: every write is cut short or fails with EINTR many times over.
        fifo = tmp_path / "slow.fifo"
        os.mkfifo(fifo)
        result = child(f"""
            import os, signal, time, vantelix
            fifo = {str(fifo)!r}
            node = vantelix.Node("r", children=[vantelix.Node("t", {{"i": str(i)}}, text="é&" * 3000)
                                                 for i in range(60)])
            pid = os.fork()
            if pid == 0:
                fd = os.open(fifo, os.O_RDONLY)
                data = bytearray()
                while chunk := os.read(fd, 4096):
                    data += chunk
                    time.sleep(0.0005)
                with open(fifo + ".out", "wb") as f:
                    f.write(data)
                os._exit(0)
            ticks = []
            signal.signal(signal.SIGALRM, lambda *a: ticks.append(1))
            signal.setitimer(signal.ITIMER_REAL, 0.0003, 0.0003)
            vantelix.write_file(node, fifo, 2)
            signal.setitimer(signal.ITIMER_REAL, 0)
            os.waitpid(pid, 0)
            with open(fifo + ".out", "rb") as f:
                print(f.read() == vantelix.write_string(node, 2).encode())
            """, timeout=120)
        assert result.stdout.strip() == "True", result.stderr


class TestArguments:
    @pytest.mark.parametrize("call, message", [
        (lambda: write_string(), "write_string() missing 1 required positional argument: 'node'"),
        (lambda: write_string(Node("a"), 1, True, 4),
         "write_string() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: write_string(Node("a"), spaces=2), "write_string() got an unexpected keyword argument 'spaces'"),
        (lambda: write_string(Node("a"), 2, indent=2), "write_string() got multiple values for argument 'indent'"),
        (lambda: write_file(), "write_file() missing 2 required positional arguments: 'node' and 'file_path'"),
        (lambda: write_file(Node("a")), "write_file() missing 1 required positional argument: 'file_path'"),
        (lambda: write_file(Node("a"), "p", 1, True, 5),
         "write_file() takes from 2 to 4 positional arguments but 5 were given"),
        (lambda: write_file(node=Node("a"), file_path="p", node2=1),
         "write_file() got an unexpected keyword argument 'node2'"),
    ])
    def test_call_shape(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    @pytest.mark.parametrize("kwargs, error, message, param", [
        ({"node": 1}, TypeError, "'int' object is not an instance of 'Node'", "node"),
        ({"node": None}, TypeError, "'None' is not an instance of 'Node'", "node"),
        ({"node": "<a/>"}, TypeError, "'str' object is not an instance of 'Node'", "node"),
        ({"indent": "4"}, TypeError, "'str' object cannot be interpreted as an integer", "indent"),
        ({"indent": 2.0}, TypeError, "'float' object cannot be interpreted as an integer", "indent"),
        ({"indent": -1}, OverflowError, "can't convert negative int to unsigned", "indent"),
        ({"indent": 2**64}, OverflowError, "number too large to fit in target type", "indent"),
        ({"indent": 10**30}, OverflowError, "number too large to fit in target type", "indent"),
        ({"default_xml_def": 1}, TypeError, "'int' object is not an instance of 'bool'", "default_xml_def"),
        ({"default_xml_def": 0}, TypeError, "'int' object is not an instance of 'bool'", "default_xml_def"),
        ({"default_xml_def": "yes"}, TypeError, "'str' object is not an instance of 'bool'", "default_xml_def"),
    ])
    @pytest.mark.parametrize("to_file", [False, True])
    def test_conversion_errors_carry_a_note(self, kwargs, error, message, param, to_file, tmp_path):
        args = {"node": Node("a"), **kwargs}
        path = tmp_path / "never.xml"
        with pytest.raises(error) as info:
            if to_file:
                write_file(file_path=str(path), **args)
            else:
                write_string(**args)
        assert type(info.value) is error
        assert str(info.value) == message
        assert info.value.__notes__ == [f"while processing '{param}'"]
        assert not path.exists()

    def test_first_failing_argument_wins(self):
        with pytest.raises(TypeError) as info:
            write_file(1, 2, "x", 3)
        assert info.value.__notes__ == ["while processing 'node'"]

    def test_index_objects_and_the_largest_indent(self):
        class Three:
            def __index__(self):
                return 3
        assert write_string(Node("a", children=[Node("b")]), Three(), False) == "<a>\n   <b/>\n</a>"
        # No line break, so no spaces: the largest indent is accepted and harmless.
        assert write_string(Node("a"), 2**64 - 1, False) == "<a/>"


class TestLimits:
    @pytest.mark.parametrize("indent", [2**62, 2**63, 2**64 - 1])
    def test_indentation_too_large_for_a_str(self, indent):
        node = Node("a", children=[Node("b", children=[Node("c")]), Node("d")])
        with pytest.raises(MemoryError):
            write_string(node, indent)

    @pytest.mark.parametrize("indent", [2**62, 2**63, 2**64 - 1])
    def test_indentation_too_large_for_a_file(self, indent, tmp_path):
        path = tmp_path / "never.xml"
        with pytest.raises(OverflowError):
            write_file(Node("a", children=[Node("b", children=[Node("c")])]), str(path), indent)
        assert not path.exists()
        # A child right after text starts on the text's line: no spaces, nothing too large.
        write_file(Node("a", children=[Node("b")], text="t"), str(path), indent, False)
        assert path.read_bytes() == b"<a>t<b/>\n</a>"

    @pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                        reason="the address sanitizer reserves more than the address-space limit")
    def test_large_indentation_that_cannot_be_allocated(self, child):
        # 2**40 spaces fit the size arithmetic but not memory: MemoryError, not a crash.
        result = child("""
            import resource, vantelix
            resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
            try:
                vantelix.write_string(vantelix.Node("a", children=[vantelix.Node("b")]), 2**40)
            except MemoryError:
                print("MemoryError")
            """)
        assert result.stdout.strip() == "MemoryError", result.stderr

    def test_million_deep_chain_on_a_small_stack(self, child, tmp_path):
        path = tmp_path / "deep.xml"
        result = child(f"""
            import vantelix
            n = vantelix.Node("a", text="t")
            for _ in range(1_000_000):
                n = vantelix.Node("a", children=[n])
            expected = "<a>" + "\\n<a>" * 999_999 + "\\n<a>t</a>" + "\\n</a>" * 1_000_000
            assert vantelix.write_string(n, 0, False) == expected
            vantelix.write_file(n, {str(path)!r}, 0, False)
            with open({str(path)!r}) as f:
                assert f.read() == expected
            del n
            print("ok")
            """, stack_kib=256)
        assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr[-2000:]


def test_writing_while_other_threads_drop_the_nodes(concurrently, tmp_path):
    def build():
        return Node("r", {"k": "v&"}, [
            Node("c", {"i": str(i), "é": "ü"}, [Node("d", text="t&é" * 40)], text="x")
            for i in range(300)])

    holder = [build()]
    expected = write_string(holder[0], 2)

    def writer():
        assert write_string(holder[0], 2) == expected

    def file_writer():
        path = tmp_path / f"t{os.getpid()}-{id(object())}.xml"
        write_file(holder[0], str(path), 2)
        assert path.read_text(encoding="utf-8") == expected
        path.unlink()

    def dropper():
        holder[0] = build()
        for child in holder[0].children[:20]:
            child.children

    concurrently([writer, writer, file_writer, dropper, dropper], seconds=2)
