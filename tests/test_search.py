"""Searches by name, attribute key and text, and the SearchType enumeration."""
import pytest
from hypothesis import given, settings, strategies as st

from vantelix import Node, SearchType
from conftest import node_trees

# r(id) > [a(id=""){x} > [a{""} > [b{x}], ab], A(ID){" a"}]
B = Node("b", text="x")
INNER = Node("a", text="", children=[B])
A1 = Node("a", {"id": ""}, [INNER, Node("ab")], "x")
CAP = Node("A", {"ID": "1"}, text=" a")
ROOT = Node("r", {"id": "7"}, [A1, CAP])
WIDE = Node("w", {f"k{i}": str(i) for i in range(20)}, [Node("é", {"ключ": ""}, text="日本")])  # hashed lookup


@pytest.mark.parametrize("node, method, wanted, depth, expected", [
    (ROOT, "search_by_name", "a", None, [A1, INNER]), (ROOT, "search_by_name", "a", -1, [A1, INNER]),
    (ROOT, "search_by_name", "a", -(2**31), [A1, INNER]), (ROOT, "search_by_name", "a", 0, []),
    (ROOT, "search_by_name", "r", 0, [ROOT]), (ROOT, "search_by_name", "a", 1, [A1]),
    (ROOT, "search_by_name", "a", 2, [A1, INNER]), (ROOT, "search_by_name", "", None, []),
    (ROOT, "search_by_attr", "id", None, [ROOT, A1]), (ROOT, "search_by_attr", "ID", None, [CAP]),
    (ROOT, "search_by_attr", "x", None, []), (ROOT, "search_by_text", "", None, [INNER]),
    (ROOT, "search_by_text", "x", None, [A1, B]), (ROOT, "search_by_text", "x", 1, [A1]),
    (ROOT, "search_by_text", "a", None, []), (ROOT, "search_by_text", " a", None, [CAP]),
    (WIDE, "search_by_attr", "k19", None, [WIDE]), (WIDE, "search_by_attr", "k20", None, []),
    (WIDE, "search_by_attr", "ключ", None, [WIDE.children[0]]),
    (WIDE, "search_by_text", "日本", None, [WIDE.children[0]]),
])
def test_depth_rules_and_exact_matches(node, method, wanted, depth, expected):
    for found in (getattr(node, method)(wanted, depth), getattr(node, method)(wanted, depth=depth)):
        assert len(found) == len(expected) and all(f is e for f, e in zip(found, expected))


def test_pre_order_identity_duplicates_and_fresh_lists():
    t = Node("1", text="t", children=[Node("2", text="t", children=[Node("3", text="t")]), Node("4", text="t")])
    assert [n.name for n in t.search_by_text("t")] == ["1", "2", "3", "4"]
    dup = Node("d", children=[B, B, Node("c", children=[B])])
    assert [n is B for n in dup.search_by_name("b")] == [True, True, True]
    result = ROOT.search_by_name("a")
    result.clear()
    assert len(ROOT.search_by_name("a")) == 2 and len(ROOT.children) == 2


@pytest.mark.parametrize("member, method", [
    (SearchType.Tag, "search_by_name"), (SearchType.Attr, "search_by_attr"), (SearchType.Text, "search_by_text"),
])
@pytest.mark.parametrize("wanted, depth", [("a", None), ("id", 1), ("x", None), ("", -1)])
def test_search_dispatches_like_the_named_methods(member, method, wanted, depth):
    expected = getattr(ROOT, method)(wanted, depth)
    assert ROOT.search(member, wanted, depth) == ROOT.search(by=member, value=wanted, depth=depth) == expected


@pytest.mark.parametrize("call, exc, message, param", [
    (lambda: ROOT.search("Tag", "a"), TypeError, "^'str' object is not an instance of 'SearchType'$", "by"),
    (lambda: ROOT.search(0, "a"), TypeError, "^'int' object is not an instance of 'SearchType'$", "by"),
    (lambda: ROOT.search(1, None, "x"), TypeError, "SearchType", "by"),  # the first argument first
    (lambda: ROOT.search(SearchType.Tag, None), TypeError, "^'None' is not an instance of 'str'$", "value"),
    (lambda: ROOT.search_by_name(b"a"), TypeError, "^'bytes' object is not an instance of 'str'$", "name"),
    (lambda: ROOT.search_by_attr(None), TypeError, "^'None' is not an instance of 'str'$", "key"),
    (lambda: ROOT.search_by_text("\ud800"), UnicodeEncodeError, "surrogates not allowed", "text"),
    (lambda: ROOT.search_by_name("a", 2**40), OverflowError, "", "depth"),
    (lambda: ROOT.search_by_name("a", -(2**31) - 1), OverflowError, "", "depth"),
    (lambda: ROOT.search_by_name("a", 1.0), TypeError, "float", "depth"),
])
def test_argument_errors_carry_their_note(call, exc, message, param):
    with pytest.raises(exc, match=message) as info:
        call()
    assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize("call, message", [
    (lambda: ROOT.search(), "Node.search() missing 2 required positional arguments: 'by' and 'value'"),
    (lambda: ROOT.search_by_text("a", 1, 2), "Node.search_by_text() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: ROOT.search_by_name("a", name="b"), "Node.search_by_name() got multiple values for argument 'name'"),
])
def test_call_shape_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


Idx = type("Idx", (), {"__index__": lambda self: 2})
BadIdx = type("BadIdx", (), {"__index__": lambda self: 1 / 0})  # its error is discarded


@pytest.mark.parametrize("left, right, equal", [
    (SearchType.Tag, SearchType.Tag, True), (SearchType.Tag, SearchType.Attr, False),
    (SearchType.Attr, 1, True), (1, SearchType.Attr, True), (SearchType.Attr, 2, False),
    (SearchType.Tag, False, True), (SearchType.Attr, True, True), (SearchType.Text, Idx(), True),
    (SearchType.Tag, 2**32, False), (SearchType.Attr, 2**32 + 1, False), (SearchType.Tag, -(2**31) - 1, False),
    (SearchType.Attr, 1.0, False), (SearchType.Tag, "SearchType.Tag", False), (SearchType.Tag, None, False),
    (SearchType.Tag, BadIdx(), False),
])
def test_search_type_equality(left, right, equal):
    assert (left == right) is equal and (left != right) is (not equal)


def test_search_type_protocol():
    members = (SearchType.Tag, SearchType.Attr, SearchType.Text)
    assert [repr(m) for m in members] == [str(m) for m in members] == [
        "SearchType.Tag", "SearchType.Attr", "SearchType.Text"]
    assert [int(m) for m in members] == [0, 1, 2] and SearchType.Tag is SearchType.Tag
    assert SearchType.__hash__ is None and SearchType.__module__ == "vantelix"
    assert SearchType.__name__ == SearchType.__qualname__ == "SearchType"
    with pytest.raises(TypeError, match="^cannot create 'SearchType' instances$"):
        SearchType()
    for attempt in (lambda: SearchType.Tag < SearchType.Attr, lambda: SearchType.Tag >= 0,
                    lambda: hash(SearchType.Tag), lambda: type("Sub", (SearchType,), {})):
        with pytest.raises(TypeError):
            attempt()


def reference_search(node, test, depth):
    found = [node] if test(node) else []
    if depth is None or depth != 0:
        for child in node.children:
            found += reference_search(child, test, None if depth is None else depth - 1)
    return found


word = st.sampled_from(["a", "b", ""])
trees = node_trees(word, leaf_attrs=2, attrs=2, children=3, leaves=15)


@settings(max_examples=100, deadline=None)
@given(trees, word, st.none() | st.integers(-2, 4))
def test_walk_matches_the_recursive_description(tree, wanted, depth):
    tests = {"search_by_name": lambda n: n.name == wanted, "search_by_attr": lambda n: wanted in n.attrs,
             "search_by_text": lambda n: n.text == wanted}
    for method, test in tests.items():
        got, expected = getattr(tree, method)(wanted, depth), reference_search(tree, test, depth)
        assert len(got) == len(expected) and all(g is e for g, e in zip(got, expected))


@pytest.mark.parametrize("wanted", ["n007", "n123", "n999", "n00", "m007"])
def test_read_tree_names_of_equal_length(wanted):
    # Many distinct names of one length, each shared by several elements of a read document,
    # interleaved and nested so that equal-length names keep meeting the same lookups.
    import random
    import vantelix
    rng = random.Random(5)
    names = [f"n{rng.randrange(1000):03d}" for _ in range(3000)]
    doc = "<root>" + "".join(f"<{a}><{b}/></{a}>" for a, b in zip(names[::2], names[1::2])) + "</root>"
    tree = vantelix.read_string(doc, "root")
    got = tree.search_by_name(wanted)
    expected = reference_search(tree, lambda n: n.name == wanted, None)
    assert len(got) == len(expected) == names.count(wanted)
    assert all(g is e for g, e in zip(got, expected))


def test_million_deep_chain_is_walked_without_native_recursion(child):
    result = child("""
        from vantelix import Node, SearchType
        n = Node("leaf", text="t")
        for _ in range(1_000_000):
            n = Node("x", {"k": "v"}, [n])
        found = n.search_by_name("leaf")
        assert len(found) == 1 and found[0].text == "t"
        assert len(n.search(SearchType.Attr, "k")) == 1_000_000
        assert len(n.search_by_text("t", -1)) == 1 and len(n.search_by_name("x", 9)) == 10
        print("ok")
    """, stack_kib=256)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr[-2000:]
