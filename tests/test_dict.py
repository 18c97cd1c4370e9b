"""Node.to_dict and Node.from_dict."""
import pytest
from hypothesis import given, settings, strategies as st

from vantelix import Node
from conftest import node_trees

KEYS = ["name", "attrs", "children", "text"]

VALUE_5 = (
    "failed to extract enum HashmapTypes ('String | Vec | NullableString | Map')\n"
    "- variant String (String): TypeError: failed to extract field HashmapTypes::String.0, "
    "caused by TypeError: 'int' object is not an instance of 'str'\n"
    "- variant Vec (Vec): TypeError: failed to extract field HashmapTypes::Vec.0, "
    "caused by TypeError: 'int' object is not an instance of 'Sequence'\n"
    "- variant NullableString (NullableString): TypeError: failed to extract field "
    "HashmapTypes::NullableString.0, caused by TypeError: 'int' object is not an instance of 'str'\n"
    "- variant Map (Map): TypeError: failed to extract field HashmapTypes::Map.0, "
    "caused by TypeError: 'int' object is not an instance of 'dict'"
)


def nd(name="n", attrs=None, children=(), **extra):
    return {"name": name, "attrs": {} if attrs is None else attrs, "children": list(children), **extra}


def phase1_error(value):
    with pytest.raises(TypeError) as info:
        Node.from_dict(nd(x=value))
    assert info.value.__notes__ == ["while processing 'dict_'"]
    return str(info.value)


def test_to_dict_shape_and_order():
    leaf = Node("c", text="")
    tree = Node("r", {"z": "1", "a": "2"}, [Node("b"), leaf], "t")
    d = tree.to_dict()
    assert d == {"name": "r", "attrs": {"z": "1", "a": "2"}, "children": [
        {"name": "b", "attrs": {}, "children": [], "text": None},
        {"name": "c", "attrs": {}, "children": [], "text": ""}], "text": "t"}
    assert list(d) == KEYS and list(d["children"][0]) == KEYS and list(d["attrs"]) == ["z", "a"]
    again = tree.to_dict()
    assert again == d and again is not d and again["children"] is not d["children"]
    assert not any(a is b for a, b in zip(again, d))  # not even the key strings are shared
    again["children"].clear()
    again["attrs"]["q"] = "x"
    assert tree.to_dict() == d and len(tree.children) == 2 and tree.attrs == {"z": "1", "a": "2"}


@pytest.mark.parametrize("count", [1, 5, 6, 7, 10, 11, 21, 40])
def test_attribute_dicts_are_no_larger_than_dicts_filled_one_key_at_a_time(count):
    # A result holds one attribute dict per element: a table sized for keys of any type would
    # make each a quarter larger than the same dict built by inserting its str keys.
    import sys
    attrs = {f"k{i}": str(i) for i in range(count)}
    d = Node("e", attrs).to_dict()["attrs"]
    filled = {}
    for key, value in attrs.items():
        filled[key] = value
    assert d == attrs and sys.getsizeof(d) <= sys.getsizeof(filled)


def test_from_dict_builds_new_nodes():
    shared = Node("s", {"k": "v"}, text="x")
    tree = Node("r", children=[shared, shared])
    copy = Node.from_dict(tree.to_dict())
    assert type(copy) is Node and copy is not tree
    first, second = copy.children
    assert first is not second and first is not shared and first.to_dict() == shared.to_dict()
    n = Node.from_dict(nd("a", {"k": ""}, [nd("b")], text=None))
    assert (n.name, n.attrs, n.text, [c.name for c in n.children]) == ("a", {"k": ""}, None, ["b"])
    assert Node.from_dict(dict_=nd("a", text="")).text == ""
    with pytest.raises(TypeError, match=r"^Node.from_dict\(\) missing 1 required positional argument: 'dict_'$"):
        Node.from_dict()


@pytest.mark.parametrize("data, text", [
    (nd(), None), (nd(text="t"), "t"), (nd(text=None), None), (nd(text=""), ""), (nd(text=[nd()]), None),
    (nd(text=[]), None), (nd(text={"k": "v"}), None), (nd(text=()), None), (nd(children=(nd("c"),)), None),
    (nd(x="y"), None), (nd(x=None), None), (nd(x={"a": "b"}), None), (nd(x=[nd()]), None),
])
def test_accepted_shapes_and_text_kinds(data, text):
    assert Node.from_dict(data).text == text


@pytest.mark.parametrize("data, message", [
    ({}, "Invalid name"),
    ({"name": "a"}, "Invalid attrs"),
    ({"name": "a", "attrs": {}}, "Invalid children"),
    (nd(None), "Invalid name"),
    (nd([nd()]), "Invalid name"),
    (nd({"k": "v"}), "Invalid name"),
    (nd(attrs="s"), "Invalid attrs"),
    ({"name": "a", "attrs": None, "children": None}, "Invalid attrs"),
    ({"name": "a", "attrs": [nd()], "children": []}, "Invalid attrs"),
    ({"name": "a", "attrs": {}, "children": ""}, "Invalid children"),
    ({"name": "a", "attrs": {}, "children": {"k": "v"}}, "Invalid children"),
    ({"name": "a", "attrs": {}, "children": None}, "Invalid children"),
    # the node's own keys before its children, each child completely before the next
    ({"attrs": {}, "children": [{"name": "c"}]}, "Invalid name"),
    (nd(children=[nd(children=[{"name": "g"}]), {}]), "Invalid attrs"),
    (nd(children=[{"name": "c", "attrs": {}}, {"attrs": {}}]), "Invalid children"),
])
def test_value_errors_in_order(data, message):
    with pytest.raises(ValueError) as info:
        Node.from_dict(data)
    assert str(info.value) == message and not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("data, exc, message", [
    ({"name": 5}, TypeError, "HashmapTypes"),         # a bad name is a TypeError, not "Invalid name"
    ({"name": None, "x": 5}, TypeError, "'int'"),     # every TypeError comes before any ValueError
    ({"x": 5, "name": None}, TypeError, "'int'"),
    ({"a": 1.5, "b": 5}, TypeError, "(?s)^(?!.*'int').*'float'"),  # the first failing pair decides
    (nd(children=[{"x": 5}]), TypeError, "'int'"),   # nested, even where the child lacks every key
    (nd(attrs={"k": 1}), TypeError, "Map.0"),
    (nd(text=5), TypeError, "'int'"),
    ({5: "a"}, TypeError, "^'int' object is not an instance of 'str'$"),
    ({"\udc00": "a"}, UnicodeEncodeError, "surrogates not allowed"),
    (5, TypeError, "^'int' object is not an instance of 'dict'$"),
    (None, TypeError, "^'None' is not an instance of 'dict'$"),
])
def test_phase_one_errors_come_first_with_their_note(data, exc, message):
    with pytest.raises(exc, match=message) as info:
        Node.from_dict(data)
    assert info.value.__notes__ == ["while processing 'dict_'"]


@pytest.mark.parametrize("value, fragments", [
    (1.5, ["'float' object is not an instance of 'str'", "'float' object is not an instance of 'Sequence'"]),
    ({"k": 1}, ["Map.0, caused by TypeError: 'int' object is not an instance of 'str'",
                "Vec.0, caused by TypeError: 'dict' object is not an instance of 'Sequence'"]),
    ({2: "v"}, ["Map.0, caused by TypeError: 'int' object is not an instance of 'str'"]),
    ("\ud800", ["String.0, caused by UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800'",
                "Vec.0, caused by TypeError: Can't extract `str` to `Vec`",
                "Map.0, caused by TypeError: 'str' object is not an instance of 'dict'"]),
    ([5], ["Vec.0, caused by TypeError: 'int' object is not an instance of 'dict'",
           "String.0, caused by TypeError: 'list' object is not an instance of 'str'"]),
    ([{1: "a"}], ["Vec.0, caused by TypeError: 'int' object is not an instance of 'str'"]),
])
def test_phase_one_reasons(value, fragments):
    message = phase1_error(value)
    assert message.count("\n- variant ") == 4
    for fragment in fragments:
        assert fragment in message


def wrap(inner):
    """The message for a list under "x" whose item failed with `inner`."""
    head = VALUE_5.split("\n- variant Vec")[0]
    tail = "\n- variant NullableString" + VALUE_5.split("\n- variant NullableString")[1]
    return (head.replace("'int'", "'list'") + "\n- variant Vec (Vec): TypeError: failed to extract field "
            "HashmapTypes::Vec.0, caused by TypeError: " + inner + tail.replace("'int'", "'list'"))


def test_phase_one_message_exactly_and_nested():
    assert phase1_error(5) == VALUE_5
    assert phase1_error([nd(x=5)]) == wrap(VALUE_5)
    assert phase1_error([nd(), nd(children=[nd(x=5)])]) == wrap(wrap(VALUE_5))


Failing = type("Failing", (list,), {"__iter__": lambda self: {}["boom"]})
Interrupting = type("Interrupting", (list,), {"__iter__": lambda self: (_ for _ in ()).throw(KeyboardInterrupt)})
ExitingLen = type("ExitingLen", (list,), {"__len__": lambda self: (_ for _ in ()).throw(SystemExit(3))})


def test_sequence_iteration_errors_become_the_vec_reason():
    message = phase1_error(Failing([nd()]))
    assert "Vec.0, caused by KeyError: 'boom'" in message and "'Failing' object is not an instance of 'str'" in message


@pytest.mark.parametrize("seq, exc", [(Interrupting([nd()]), KeyboardInterrupt), (ExitingLen(), SystemExit)])
def test_interruptions_from_the_input_pass_through(seq, exc):
    with pytest.raises(exc) as info:
        Node.from_dict(nd(children=[nd(children=seq)]))
    assert not getattr(info.value, "__notes__", None)


def test_list_shortened_while_read():
    outer = [None, nd("b")]
    outer[0] = nd("a", children=type("Shrink", (list,), {"__len__": lambda self: outer.pop() and 0})())
    assert [c.name for c in Node.from_dict(nd(children=outer)).children] == ["a"]


@pytest.mark.parametrize("mutate, message", [
    (lambda d: d.__setitem__("zz", "1"), "dictionary changed size during iteration"),
    (lambda d: (d.pop("name"), d.__setitem__("zz", "1")), "dictionary keys changed during iteration"),
])
def test_dict_changed_while_read_is_an_internal_failure(mutate, message):
    data = nd()

    class Mutating(list):
        def __len__(self):
            mutate(data)
            return 0

    data["children"] = Mutating()
    with pytest.raises(BaseException) as info:
        Node.from_dict(data)
    assert not isinstance(info.value, Exception) and str(info.value) == message


def test_self_containing_input_is_refused():
    direct = nd()
    direct["children"].append(direct)
    indirect = nd()
    indirect["children"].append(nd(children=[nd(), indirect]))
    via_extra = nd()
    via_extra["x"] = [nd(children=[via_extra])]
    for data in (direct, indirect, via_extra):
        with pytest.raises(ValueError, match="contains itself"):
            Node.from_dict(data)
    same_twice = nd()
    assert len(Node.from_dict(nd(children=[same_twice, same_twice])).children) == 2  # shared, not cyclic


text = st.text(max_size=4)
trees = node_trees(text, leaf_attrs=3, attrs=12, children=3, leaves=12)


@settings(max_examples=100, deadline=None)
@given(trees)
def test_round_trip(tree):
    d = tree.to_dict()
    copy = Node.from_dict(d)
    assert copy.to_dict() == d and str(copy) == str(tree)
    stack = [d]
    while stack:
        item = stack.pop()
        assert list(item) == KEYS
        stack += item["children"]


def test_million_deep_chain_converts_both_ways(child):
    result = child("""
        from vantelix import Node

        def raised(exc, data):
            try:
                Node.from_dict(data)
            except exc as e:
                return str(e)
            raise AssertionError("no error")

        n = Node("leaf", text="t")
        for _ in range(1_000_000):
            n = Node("x", {"k": "v"}, [n])
        d = n.to_dict()
        depth, cur = 0, d
        while cur["children"]:
            cur, depth = cur["children"][0], depth + 1
        assert depth == 1_000_000 and cur == {"name": "leaf", "attrs": {}, "children": [], "text": "t"}
        back = Node.from_dict(d)
        assert len(back.search_by_attr("k")) == 1_000_000 and back.search_by_text("t")[0].name == "leaf"
        del cur["attrs"]                          # the deepest node fails phase 2
        assert raised(ValueError, d) == "Invalid attrs"
        cur["attrs"] = {}
        cur["children"].append(d)                 # the input now contains itself
        assert "contains itself" in raised(ValueError, d)
        cur["children"] = [{"x": 5}]              # deepest value fits no kind: one message per level
        shallow = d
        for _ in range(1_000_000 - 20_000):
            shallow = shallow["children"][0]
        assert raised(TypeError, shallow).count("failed to extract enum") == 20_002
        del shallow, cur
        free_dict_chain(d)
        del d, back, n
        print("ok")
    """, stack_kib=256)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr[-2000:]


def dict_from_properties(node):
    """The expected to_dict result, assembled from the Node properties without recursion."""
    out = {}
    stack = [(node, out)]
    while stack:
        n, d = stack.pop()
        d.update(name=n.name, attrs=n.attrs, children=[{} for _ in n.children], text=n.text)
        stack.extend(zip(n.children, d["children"]))
    return out


@pytest.mark.parametrize("distinct", [3, 300, 6000])
@pytest.mark.parametrize("built", ["read", "constructed"])
def test_repeated_and_distinct_strings_convert_exactly(distinct, built):
    # Names, keys and short values repeat across elements, and there are more distinct ones than
    # any table of shared strings holds; long values sit next to short ones.
    import vantelix
    parts = []
    for i in range(2 * distinct):
        k = i % distinct
        parts.append(f'<e{k} k{k}="v{k}" lang="x{k % 7}" long="{"y" * 17}{k}">t{i}</e{k}>')
    doc = f"<root>{''.join(parts)}</root>"
    tree = vantelix.read_string(doc, "root")
    if built == "constructed":
        tree = Node.from_dict(dict_from_properties(tree))
    d = tree.to_dict()
    assert d == dict_from_properties(tree)
    assert [list(c["attrs"]) for c in d["children"][:2]] == [["k0", "lang", "long"], ["k1", "lang", "long"]]



def near_texts():
    """Short texts in groups whose bytes agree but for the length (trailing NULs) or the second
    word, so that equal-looking texts meet in whatever table shares the strs."""
    for p in range(1000):
        base = f"{p:04d}abcd"  # eight bytes
        yield from (base + "\x00" * k for k in range(9))
        yield from (base[:k] for k in (1, 4))
        if p < 100:
            yield from (base + f"{q:02d}" for q in range(100))
            yield from (base + "ijklmnop", base + "ijklmnopq")  # at and past the short limit
    yield from ("é" * 8, "é" * 7 + "e", "€" * 5, "€" * 5 + "x", "€" * 6, "", "\x00" * 16)


def test_texts_alike_in_their_bytes_stay_distinct():
    texts = list(near_texts())
    kids = [Node("e", attrs={"v": t, "w": texts[i // 2]}) for i, t in enumerate(texts)]
    tree = Node("root", children=kids)
    assert tree.to_dict() == dict_from_properties(tree)
