"""Searches by name, attribute key and text, and the SearchType enumeration."""
import pytest
from hypothesis import given, settings, strategies as st

from vantelix import Node, SearchType

# r(id) > [a(id=""){x} > [a{""} > [b], ab], A(ID){" a"}]; names in pre-order: r a a b ab A
B = Node("b", text="x")
INNER = Node("a", text="", children=[B])
A1 = Node("a", {"id": ""}, [INNER, Node("ab")], "x")
CAP = Node("A", {"ID": "1"}, text=" a")
ROOT = Node("r", {"id": "7"}, [A1, CAP])
PRE_ORDER = [ROOT, A1, INNER, B, A1.children[1], CAP]

WIDE_ATTRS = {f"k{i}": str(i) for i in range(20)}  # large enough for the hashed lookup


def names(nodes):
    return [n.name for n in nodes]


@pytest.mark.parametrize("depth, expected", [
    (None, ["a", "a"]), (-1, ["a", "a"]), (-(2**31), ["a", "a"]), (0, []), (1, ["a"]), (2, ["a", "a"]),
])
def test_depth_rules(depth, expected):
    assert names(ROOT.search_by_name("a", depth)) == expected
    assert names(ROOT.search_by_name("a", depth=depth)) == expected


def test_depth_zero_tests_only_the_start_and_order_is_pre_order():
    assert ROOT.search_by_name("r", 0) == [ROOT] and ROOT.search_by_name("a", 0) == []
    t = Node("1", text="t", children=[Node("2", text="t", children=[Node("3", text="t")]), Node("4", text="t")])
    assert names(t.search_by_text("t")) == ["1", "2", "3", "4"]
    assert names(t.search_by_text("t", 1)) == ["1", "2", "4"]


def test_results_are_the_tree_objects_and_duplicates_repeat():
    assert ROOT.search_by_name("r")[0] is ROOT
    assert ROOT.search_by_name("b")[0] is B
    dup = Node("d", children=[B, B, Node("c", children=[B])])
    assert [n is B for n in dup.search_by_name("b")] == [True, True, True]
    result = ROOT.search_by_name("a")
    result.clear()
    assert len(ROOT.search_by_name("a")) == 2 and len(ROOT.children) == 2


@pytest.mark.parametrize("method, wanted, expected", [
    ("search_by_name", "a", [A1, INNER]),
    ("search_by_name", "", []),
    ("search_by_attr", "id", [ROOT, A1]),
    ("search_by_attr", "ID", [CAP]),
    ("search_by_attr", "x", []),
    ("search_by_text", "", [INNER]),
    ("search_by_text", "x", [A1, B]),
    ("search_by_text", "a", []),
    ("search_by_text", " a", [CAP]),
])
def test_match_tests_are_exact(method, wanted, expected):
    found = getattr(ROOT, method)(wanted)
    assert len(found) == len(expected) and all(f is e for f, e in zip(found, expected))


def test_attr_lookup_in_large_maps_and_non_ascii():
    wide = Node("w", WIDE_ATTRS, [Node("é", {"ключ": ""}, text="日本")])
    assert wide.search_by_attr("k19") == [wide] and wide.search_by_attr("k20") == []
    assert names(wide.search_by_attr("ключ")) == ["é"]
    assert names(wide.search_by_name("é")) == ["é"] and names(wide.search_by_text("日本")) == ["é"]


@pytest.mark.parametrize("member, method", [
    (SearchType.Tag, "search_by_name"), (SearchType.Attr, "search_by_attr"),
    (SearchType.Text, "search_by_text"),
])
@pytest.mark.parametrize("wanted", ["a", "id", "x", ""])
@pytest.mark.parametrize("depth", [None, 1])
def test_search_dispatches_like_the_named_methods(member, method, wanted, depth):
    assert ROOT.search(member, wanted, depth) == getattr(ROOT, method)(wanted, depth)
    assert ROOT.search(by=member, value=wanted, depth=depth) == getattr(ROOT, method)(wanted, depth)


@pytest.mark.parametrize("call, exc, message, param", [
    (lambda: ROOT.search("Tag", "a"), TypeError, "'str' object is not an instance of 'SearchType'", "by"),
    (lambda: ROOT.search(0, "a"), TypeError, "'int' object is not an instance of 'SearchType'", "by"),
    (lambda: ROOT.search(SearchType.Tag, None), TypeError, "'None' is not an instance of 'str'", "value"),
    (lambda: ROOT.search_by_name(b"a"), TypeError, "'bytes' object is not an instance of 'str'", "name"),
    (lambda: ROOT.search_by_attr(None), TypeError, "'None' is not an instance of 'str'", "key"),
    (lambda: ROOT.search_by_text("\ud800"), UnicodeEncodeError, "surrogates not allowed", "text"),
    (lambda: ROOT.search_by_name("a", 2**40), OverflowError, "", "depth"),
    (lambda: ROOT.search_by_name("a", -(2**31) - 1), OverflowError, "", "depth"),
    (lambda: ROOT.search_by_name("a", 1.0), TypeError, "float", "depth"),
    (lambda: ROOT.search(1, None, "x"), TypeError, "SearchType", "by"),  # first argument first
])
def test_argument_errors_carry_their_note(call, exc, message, param):
    with pytest.raises(exc, match=message) as info:
        call()
    assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize("call, message", [
    (lambda: ROOT.search_by_name(), "Node.search_by_name() missing 1 required positional argument: 'name'"),
    (lambda: ROOT.search(), "Node.search() missing 2 required positional arguments: 'by' and 'value'"),
    (lambda: ROOT.search_by_text("a", 1, 2), "Node.search_by_text() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: ROOT.search_by_attr("a", deep=1), "Node.search_by_attr() got an unexpected keyword argument 'deep'"),
    (lambda: ROOT.search_by_name("a", name="b"), "Node.search_by_name() got multiple values for argument 'name'"),
])
def test_call_shape_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class BadIdx:
    def __index__(self):
        raise RuntimeError("discarded")


@pytest.mark.parametrize("left, right, equal", [
    (SearchType.Tag, SearchType.Tag, True), (SearchType.Tag, SearchType.Attr, False),
    (SearchType.Attr, 1, True), (1, SearchType.Attr, True), (SearchType.Attr, 2, False),
    (SearchType.Tag, False, True), (SearchType.Attr, True, True), (SearchType.Text, Idx(2), True),
    (SearchType.Tag, 2**32, False), (SearchType.Attr, 2**32 + 1, False), (SearchType.Tag, -(2**31) - 1, False), (SearchType.Attr, 1.0, False),
    (SearchType.Tag, "SearchType.Tag", False), (SearchType.Tag, None, False), (SearchType.Tag, BadIdx(), False),
])
def test_search_type_equality(left, right, equal):
    assert (left == right) is equal and (left != right) is (not equal)


def test_search_type_protocol():
    assert [repr(m) for m in (SearchType.Tag, SearchType.Attr, SearchType.Text)] == [
        "SearchType.Tag", "SearchType.Attr", "SearchType.Text"]
    assert str(SearchType.Attr) == "SearchType.Attr"
    assert [int(m) for m in (SearchType.Tag, SearchType.Attr, SearchType.Text)] == [0, 1, 2]
    assert SearchType.Tag is SearchType.Tag and type(SearchType.Text) is SearchType
    assert SearchType.__hash__ is None and SearchType.__module__ == "vantelix"
    assert SearchType.__name__ == SearchType.__qualname__ == "SearchType"
    for attempt in (lambda: SearchType(), lambda: SearchType.Tag < SearchType.Attr,
                    lambda: SearchType.Tag >= 0, lambda: hash(SearchType.Tag),
                    lambda: {SearchType.Tag}, lambda: type("Sub", (SearchType,), {})):
        with pytest.raises(TypeError):
            attempt()


def reference_search(node, test, depth):
    found = [node] if test(node) else []
    if depth is None or depth < 0 or depth > 0:
        for child in node.children:
            found += reference_search(child, test, None if depth is None else depth - 1)
    return found


word = st.sampled_from(["a", "b", ""])
trees = st.recursive(
    st.builds(Node, word, st.dictionaries(word, word, max_size=2), st.none(), st.none() | word),
    lambda kids: st.builds(Node, word, st.dictionaries(word, word, max_size=2), st.lists(kids, max_size=3),
                           st.none() | word),
    max_leaves=15)


@settings(max_examples=100, deadline=None)
@given(trees, word, st.none() | st.integers(-2, 4))
def test_walk_matches_the_recursive_description(tree, wanted, depth):
    tests = {"search_by_name": lambda n: n.name == wanted, "search_by_attr": lambda n: wanted in n.attrs,
             "search_by_text": lambda n: n.text == wanted}
    for method, test in tests.items():
        got, expected = getattr(tree, method)(wanted, depth), reference_search(tree, test, depth)
        assert len(got) == len(expected) and all(g is e for g, e in zip(got, expected))


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
