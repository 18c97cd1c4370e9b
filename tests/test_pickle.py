"""Pickling and copying Node trees."""
import concurrent.futures as cf
import copy
import pickle
import random

import pytest
from hypothesis import given, settings, strategies as st

import vantelix
from vantelix import Node, read_string, write_string
from conftest import node_trees

PROTOCOLS = list(range(2, pickle.HIGHEST_PROTOCOL + 1))
HEADER = b"VXT\x01"


def shape(node):
    """Everything a tree holds, attributes in their order, as nested tuples; without recursion."""
    out = []
    stack = [(node, out)]
    while stack:
        n, into = stack.pop()
        kids = []
        into.append((n.name, tuple(n.attrs.items()), n.text, kids))
        stack.extend((c, kids) for c in reversed(n.children))
    return out[0]


def payload_of(node):
    fn, (payload,) = node.__reduce__()
    assert fn is vantelix._node_from_pickle
    return payload


def nodes_of(node):
    stack, seen = [node], []
    while stack:
        n = stack.pop()
        seen.append(n)
        stack.extend(n.children)
    return seen


DOC = """<?xml version="1.0"?>
<catalog xmlns:x="urn:x" version="2">
  <book id="b1" lang="fr" z="last" a="first"><title>Les Misérables</title><x:note/>
    <p>a &amp; b &lt; c &#x1F600;<![CDATA[ <raw> ]]></p><empty></empty></book>
  <book id="b2"><title>日本語 ελληνικά</title></book>
</catalog>"""


def constructed():
    leaf = Node("leaf", {"k": "v"}, text="")
    return Node("root", {"b": "2", "a": "1", "é": "ü\u0000"}, [
        Node("none-text"), Node("empty-text", text=""), leaf,
        Node("mid", None, [leaf, Node("deep", text="x" * 300)], "mid text"),
        Node("", {"": ""}, text="\U0001F600 \u2028"),
    ], "root text")


TREES = {
    "parsed": lambda: read_string(DOC, "catalog"),
    "parsed-subtree": lambda: read_string(DOC, "book"),
    "constructed": constructed,
    "single": lambda: Node("a"),
    "many-names": lambda: Node("r", {f"k{i}": str(i) for i in range(300)},
                               [Node(f"n{i % 200}", {f"k{i % 7}": "v"}, text=str(i)) for i in range(2000)]),
    "long-strings": lambda: Node("n" * 10_000, {"k" * 70_000: "v" * 300_000}, text="t" * 2**20),
}


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("name", TREES)
def test_round_trip_keeps_everything(name, protocol):
    tree = TREES[name]()
    back = pickle.loads(pickle.dumps(tree, protocol))
    assert type(back) is Node and back is not tree
    assert shape(back) == shape(tree)
    assert write_string(back) == write_string(tree) and back.to_dict() == tree.to_dict()


def test_none_and_empty_text_stay_apart():
    back = pickle.loads(pickle.dumps(Node("r", children=[Node("a"), Node("b", text="")])))
    assert [c.text for c in back.children] == [None, ""]


@pytest.mark.parametrize("order", [["z", "a", "m"], ["a", "m", "z"], [f"k{i}" for i in range(50, 0, -1)]])
def test_attribute_order_survives(order):
    back = pickle.loads(pickle.dumps(Node("r", {k: k.upper() for k in order})))
    assert list(back.attrs) == order


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_shared_child_comes_back_equal_and_payload_holds_it_once(protocol):
    big = Node("shared", {"k": "v"}, [Node("x", text="y" * 10_000)])
    tree = Node("r", children=[big, Node("m", children=[big]), big])
    back = pickle.loads(pickle.dumps(tree, protocol))
    assert shape(back) == shape(tree)
    assert len(payload_of(tree)) < 10_200  # the 10 kB text is written once, not three times
    # A node written once and referred to later is rebuilt once, and its holders share it.
    kids = back.children
    assert kids[0] is kids[2] is kids[1].children[0]


def test_node_held_outside_the_tree_is_written_in_full():
    leaf = Node("leaf", text="t")
    tree = Node("r", children=[leaf])
    extra_holder = [leaf]
    assert shape(pickle.loads(pickle.dumps(tree))) == shape(tree) and extra_holder


def test_pickled_inside_other_objects():
    a = read_string(DOC, "book")
    data = {"trees": [a, a, Node("b")], "n": 1}
    back = pickle.loads(pickle.dumps(data))
    assert back["trees"][0] is back["trees"][1]  # pickle's own memo keeps the outer identity
    assert shape(back["trees"][0]) == shape(a) and back["trees"][2].name == "b"


def test_rebuilt_tree_outlives_its_payload():
    payload = pickle.dumps(read_string(DOC, "catalog"))
    back = pickle.loads(payload)
    del payload
    titles = back.search_by_name("title")
    del back
    assert [t.text for t in titles] == ["Les Misérables", "日本語 ελληνικά"]


text = st.text(max_size=6)
trees = node_trees(text, leaf_attrs=3, attrs=5, children=4, leaves=20)


@settings(max_examples=150, deadline=None)
@given(trees, st.sampled_from(PROTOCOLS))
def test_round_trip_of_generated_trees(tree, protocol):
    assert shape(pickle.loads(pickle.dumps(tree, protocol))) == shape(tree)


def test_million_deep_tree_in_a_small_stack(child):
    result = child("""
        import pickle
        from vantelix import Node, read_string
        n = Node("leaf", text="t")
        for i in range(1_000_000):
            n = Node("x", {"k": str(i % 10)}, [n])
        for protocol in (2, pickle.HIGHEST_PROTOCOL):
            back = pickle.loads(pickle.dumps(n, protocol))
            assert len(back.search_by_name("x")) == 1_000_000
            assert back.search_by_text("t")[0].name == "leaf"
            del back
        depth = 200_000
        doc = "<a>" * depth + "end" + "</a>" * depth
        parsed = read_string(doc, "a")
        back = pickle.loads(pickle.dumps(parsed))
        assert len(back.search_by_name("a")) == depth and back.search_by_text("end")
        print("ok")
    """, stack_kib=256)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr[-2000:]


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy, lambda n: copy.deepcopy([n])[0]])
@pytest.mark.parametrize("name", ["parsed", "constructed", "single"])
def test_copies_are_the_node_itself(copier, name):
    tree = TREES[name]()
    assert copier(tree) is tree


def test_deepcopy_of_a_container_keeps_the_nodes():
    tree = constructed()
    box = {"t": tree, "l": [tree.children[0]]}
    copied = copy.deepcopy(box)
    assert copied is not box and copied["t"] is tree and copied["l"][0] is tree.children[0]


# -- refused payloads


def rebuild(data):
    return vantelix._node_from_pickle(data)


def check_tree(node):
    """A tree that came back must be made of well-formed strings: each encodes as UTF-8."""
    for n in nodes_of(node):
        n.name.encode()
        for k, v in n.attrs.items():
            k.encode(), v.encode()
        if n.text is not None:
            n.text.encode()
        assert len(set(n.attrs)) == len(n.attrs)


SAMPLE = Node("root", {"a": "1", "b": "é"}, [
    (shared := Node("s", {"a": "v"}, [Node("t", text="x")])), Node("q", text=""), shared,
    read_string("<r x='1'><y>hi</y><y/></r>", "r")], "héllo")


@pytest.mark.parametrize("cut", range(len(payload_of(SAMPLE))))
def test_every_truncation_is_refused(cut):
    with pytest.raises(ValueError, match=r"^invalid Node pickle data at byte \d+: "):
        rebuild(payload_of(SAMPLE)[:cut])


def test_every_single_byte_change_is_refused_or_well_formed():
    data = payload_of(SAMPLE)
    accepted = 0
    for i in range(len(data)):
        for v in range(256):
            changed = data[:i] + bytes([v]) + data[i + 1:]
            try:
                tree = rebuild(changed)
            except ValueError as e:
                assert str(e).startswith("invalid Node pickle data at byte ")
                continue
            check_tree(tree)
            accepted += 1
    assert 0 < accepted < len(data) * 256 // 2


@settings(max_examples=400, deadline=None)
@given(st.binary(max_size=64))
def test_random_bytes_after_the_header(tail):
    try:
        check_tree(rebuild(HEADER + tail))
    except ValueError as e:
        assert str(e).startswith("invalid Node pickle data at byte ")


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 10_000), st.integers(0, 255), st.sampled_from("rid")), max_size=5))
def test_random_edits_of_a_real_payload(edits):
    data = bytearray(payload_of(SAMPLE))
    for at, value, op in edits:
        at %= len(data) + 1
        if op == "r" and at < len(data):
            data[at] = value
        elif op == "i":
            data.insert(at, value)
        elif at < len(data):
            del data[at]
    try:
        check_tree(rebuild(bytes(data)))
    except ValueError as e:
        assert str(e).startswith("invalid Node pickle data at byte ")


def item(name=b"a", attrs=(), text=None, children=0, flags=0):
    """One node item with a new name, plain counts below 128."""
    out = bytes([0 | flags | (1 if text is not None else 0), len(name)]) + name + bytes([len(attrs)])
    for k, v in attrs:
        out += bytes([0, len(k)]) + k + bytes([len(v)]) + v
    if text is not None:
        out += bytes([len(text)]) + text
    return out + bytes([children])


HUGE = b"\xf8" + b"\xff" * 8          # 2**64 - 1
LARGE = b"\xf7\xff\xff\xff"           # 2**27 - 1


@pytest.mark.parametrize("data, message", [
    (b"", "unknown header"),
    (b"VXT", "unknown header"),
    (b"VXT\x02" + item(), "unknown header"),
    (b"XML\x01" + item(), "unknown header"),
    (HEADER, "ends in the middle"),
    (HEADER + item() + b"\x00", "1 bytes follow the tree"),
    (HEADER + b"\x80", "malformed count"),
    (HEADER + b"\xbf", "malformed count"),
    (HEADER + b"\xf9", "malformed count"),
    (HEADER + b"\xff", "malformed count"),
    (HEADER + b"\xc0", "ends in the middle"),
    (HEADER + b"\xf8\x00\x00", "ends in the middle"),
    (HEADER + b"\x00" + HUGE + b"a\x00\x00", "count 18446744073709551615 is larger"),
    (HEADER + b"\x00" + LARGE + b"a\x00\x00", "count 134217727 is larger"),
    (HEADER + b"\x00\x01a" + HUGE + b"\x00", "count 18446744073709551615 is larger"),
    (HEADER + b"\x00\x01a" + LARGE, "count 134217727 is larger"),
    (HEADER + b"\x00\x01a\x05\x00\x01k\x00", "count 5 is larger"),
    (HEADER + b"\x00\x01a\x00" + HUGE, "count 18446744073709551615 is larger"),
    (HEADER + b"\x00\x01a\x00\x03\x00", "count 3 is larger"),
    (HEADER + b"\x01\x01a\x00" + HUGE + b"\x00", "count 18446744073709551615 is larger"),
    (HEADER + b"\x01\x01a\x00\x09t\x00", "ends in the middle"),
    (HEADER + b"\x08\x00\x00", "name reference 0 is not in the name table"),
    (HEADER + b"\x00\x01a\x00\x01" + b"\x18\x00\x00", "name reference 2 is not in the name table"),
    (HEADER + b"\x00\x01a\x01\x05\x01v\x00", "name reference 4 is not in the name table"),
    (HEADER + b"\x04", "names no earlier node"),
    (HEADER + b"\x00\x01a\x00\x01\x0c", "back-reference 1 names no earlier node"),
    (HEADER + b"\x06", "back-reference with node flags"),
    (HEADER + b"\x05", "back-reference with node flags"),
    (HEADER + b"\x02\x01a\x00\x01\x04", "back-reference 0 names a node that encloses it"),
    (HEADER + b"\x02\x01a\x00\x01\x00\x01b\x00\x01\x04", "back-reference 0 names a node that encloses it"),
    (HEADER + item(attrs=[(b"k", b"1"), (b"k", b"2")]), "attribute 'k' given twice"),
    (HEADER + b"\x00\x01a\x02\x00\x01k\x011\x02\x012\x00", "attribute 'k' given twice"),
    (HEADER + item(name=b"\xff"), "not valid UTF-8"),
    (HEADER + item(name=b"\xc3"), "not valid UTF-8"),
    (HEADER + item(name=b"\xc0\xaf"), "not valid UTF-8"),               # overlong
    (HEADER + item(name=b"\xed\xa0\x80"), "not valid UTF-8"),           # a surrogate
    (HEADER + item(attrs=[(b"\xed\xbf\xbf", b"v")]), "not valid UTF-8"),
    (HEADER + item(attrs=[(b"k", b"\xf4\x90\x80\x80")]), "not valid UTF-8"),  # past U+10FFFF
    (HEADER + item(text=b"ab\xe2\x82"), "not valid UTF-8"),
])
def test_damaged_payload_is_refused(data, message):
    with pytest.raises(ValueError, match=r"^invalid Node pickle data at byte \d+: .*" + message):
        rebuild(data)


def test_hand_written_payload_with_back_reference_is_accepted():
    # root a, child b (remembered) with no children, then a back-reference to b.
    back = rebuild(HEADER + b"\x00\x01a\x00\x02" + b"\x02\x01b\x00\x00" + b"\x04")
    assert shape(back) == ("a", (), None, [("b", (), None, []), ("b", (), None, [])])
    assert back.children[0] is back.children[1]


def test_refused_deep_payload_leaves_no_partial_tree(child):
    # The cut falls after a finished 300,000-deep subtree, which is released again, and in the
    # middle of the chain, where 150,000 unfinished nodes wait for their children.
    result = child("""
        import vantelix
        from vantelix import Node
        n = Node("leaf")
        for _ in range(300_000):
            n = Node("x", {"k": "v"}, [n])
        data = Node("r", children=[n, Node("z", text="tail")]).__reduce__()[1][0]
        for cut in (len(data) - 3, len(data) // 2):
            try:
                vantelix._node_from_pickle(data[:cut])
            except ValueError as e:
                assert str(e).startswith("invalid Node pickle data at byte"), e
            else:
                raise AssertionError("accepted")
        print("ok")
    """, stack_kib=256)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr[-2000:]


class BytesSub(bytes):
    pass


@pytest.mark.parametrize("arg, kind", [
    (bytearray(payload_of(SAMPLE)), "bytearray"), (memoryview(payload_of(SAMPLE)), "memoryview"),
    (payload_of(SAMPLE).decode("latin-1"), "str"), (None, "None"), (5, "int"), (SAMPLE, "Node")])
def test_rebuild_wants_bytes(arg, kind):
    with pytest.raises(TypeError, match=f"{kind}.* is not an instance of 'bytes'"):
        rebuild(arg)


def test_rebuild_takes_a_bytes_subclass():
    assert shape(rebuild(BytesSub(payload_of(SAMPLE)))) == shape(SAMPLE)


@pytest.mark.parametrize("args", [(), (b"a", b"b")])
def test_rebuild_takes_one_argument(args):
    with pytest.raises(TypeError):
        rebuild(*args)


def test_rebuild_function_is_private():
    assert "_node_from_pickle" not in vantelix.__all__ and len(vantelix.__all__) == 6


# -- other processes


def _make_tree(seed):
    rng = random.Random(seed)
    leaf = Node("leaf", {"seed": str(seed)}, text="ü" * rng.randint(0, 5))
    return Node("batch", {"n": str(seed)}, [leaf, Node("mid", children=[leaf])], text=str(seed))


def _shape_of_made(seed):
    return shape(_make_tree(seed))


def test_process_pool_hands_trees_back():
    with cf.ProcessPoolExecutor(2) as pool:
        trees = list(pool.map(_make_tree, range(6)))
        # and trees go to the workers as arguments too
        shapes = list(pool.map(shape, trees))
    assert shapes == [shape(t) for t in trees] == [_shape_of_made(s) for s in range(6)]
    assert all(t.children[0] is t.children[1].children[0] for t in trees)
