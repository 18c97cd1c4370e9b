"""The Node class: construction rules, properties, identity and release."""
import gc
import sys

import pytest

import vantelix
from vantelix import Node


class Seq:
    """A sequence whose length may fail and whose items come from a list."""

    def __init__(self, items, len_error=None, iter_error=None):
        self.items, self.len_error, self.iter_error = items, len_error, iter_error

    def __len__(self):
        if self.len_error:
            raise self.len_error
        return len(self.items)

    def __getitem__(self, i):
        if self.iter_error and i == 1:
            raise self.iter_error
        return self.items[i]


def test_defaults():
    n = Node("a")
    assert (n.name, n.text, n.attrs, n.children) == ("a", None, {}, [])


@pytest.mark.parametrize("text", ["", "x", " padded ", "ünïcødé ✓ 日本", "a\x00b"])
def test_text_round_trips_and_empty_is_not_none(text):
    assert Node("a", text=text).text == text


def test_empty_name_is_accepted():
    assert Node("").name == ""


def test_attrs_keep_insertion_order():
    keys = [f"k{i}" for i in range(40, 0, -1)]  # past the size where lookups switch to hashing
    attrs = {k: v for k, v in zip(keys, map(str, range(40)))}
    n = Node("a", attrs)
    assert list(n.attrs.items()) == list(attrs.items())
    assert list(n.attrs) == list(n.attrs)


def test_str_and_dict_subclasses_are_accepted():
    class S(str):
        pass

    class D(dict):
        pass

    n = Node(S("name"), D({S("k"): S("v")}), text=S("t"))
    assert (n.name, n.attrs, n.text) == ("name", {"k": "v"}, "t")
    assert type(n.name) is str and type(n.attrs) is dict


def test_children_are_the_same_objects_in_order_with_duplicates():
    b, c = Node("b"), Node("c")
    n = Node("a", children=(b, c, b))
    kids = n.children
    assert [k.name for k in kids] == ["b", "c", "b"]
    assert kids[0] is b and kids[2] is b and kids[1] is c


@pytest.mark.parametrize("make", [list, tuple, lambda xs: Seq(xs), lambda xs: Seq(xs, len_error=RuntimeError("no len"))])
def test_children_from_any_sequence(make):
    kids = [Node("x"), Node("y")]
    assert Node("a", children=make(kids)).children == kids


def test_error_while_iterating_children_propagates():
    with pytest.raises(KeyError):
        Node("a", children=Seq([Node("x"), Node("y")], iter_error=KeyError("boom")))


def test_returned_containers_are_new_and_detached():
    b = Node("b")
    n = Node("a", {"k": "v"}, [b])
    n.attrs["k"] = "changed"
    n.attrs["new"] = "x"
    n.children.append(Node("c"))
    n.children.clear()
    assert n.attrs == {"k": "v"}
    assert n.children == [b]
    assert n.attrs is not n.attrs and n.children is not n.children


@pytest.mark.parametrize(
    "kwargs, param, exc, message",
    [
        ({"name": 1}, "name", TypeError, "'int' object is not an instance of 'str'"),
        ({"name": None}, "name", TypeError, "'None' is not an instance of 'str'"),
        ({"name": b"a"}, "name", TypeError, "'bytes' object is not an instance of 'str'"),
        ({"name": "a", "attrs": [("k", "v")]}, "attrs", TypeError, "'list' object is not an instance of 'dict'"),
        ({"name": "a", "attrs": {"k": 1}}, "attrs", TypeError, "'int' object is not an instance of 'str'"),
        ({"name": "a", "attrs": {1: "v"}}, "attrs", TypeError, "'int' object is not an instance of 'str'"),
        ({"name": "a", "children": "bc"}, "children", TypeError, "Can't extract `str` to `Vec`"),
        ({"name": "a", "children": {Node("x")}}, "children", TypeError, "'set' object is not an instance of 'Sequence'"),
        ({"name": "a", "children": {"k": "v"}}, "children", TypeError, "'dict' object is not an instance of 'Sequence'"),
        ({"name": "a", "children": (x for x in [])}, "children", TypeError, "'generator' object is not an instance of 'Sequence'"),
        ({"name": "a", "children": 5}, "children", TypeError, "'int' object is not an instance of 'Sequence'"),
        ({"name": "a", "children": [1]}, "children", TypeError, "'int' object is not an instance of 'Node'"),
        ({"name": "a", "children": [Node("x"), None]}, "children", TypeError, "'None' is not an instance of 'Node'"),
        ({"name": "a", "text": 3.5}, "text", TypeError, "'float' object is not an instance of 'str'"),
    ],
)
def test_conversion_errors_carry_the_parameter_note(kwargs, param, exc, message):
    with pytest.raises(exc) as info:
        Node(**kwargs)
    assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize("param", ["name", "text"])
def test_unencodable_string_raises_the_encoding_error(param):
    kwargs = {"name": "a", param: "bad \udc80 surrogate"}
    with pytest.raises(UnicodeEncodeError) as info:
        Node(**kwargs)
    assert info.value.__notes__ == [f"while processing '{param}'"]


def test_first_failing_parameter_wins():
    with pytest.raises(TypeError) as info:
        Node(1, attrs=5, children="x", text=2)
    assert info.value.__notes__ == ["while processing 'name'"]
    with pytest.raises(TypeError) as info:
        Node("a", attrs=5, children="x", text=2)
    assert info.value.__notes__ == ["while processing 'attrs'"]


@pytest.mark.parametrize("prop", ["name", "text", "attrs", "children"])
def test_properties_are_read_only(prop):
    n = Node("a")
    with pytest.raises(AttributeError):
        setattr(n, prop, None)
    with pytest.raises(AttributeError):
        delattr(n, prop)


def test_identity_semantics_and_slots():
    a, b = Node("a"), Node("a")
    assert a == a and a != b
    assert hash(a) == hash(a) and {a: 1}[a] == 1
    assert not hasattr(a, "__dict__")
    with pytest.raises(AttributeError):
        a.extra = 1
    with pytest.raises(TypeError):
        __import__("weakref").ref(a)


def test_not_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (Node,), {})


def test_children_references_are_released():
    child = Node("c")
    before = sys.getrefcount(child)
    parents = [Node("p", children=[child, child]) for _ in range(100)]
    assert sys.getrefcount(child) == before + 200
    del parents
    gc.collect()
    assert sys.getrefcount(child) == before


def test_failed_construction_releases_children():
    child = Node("c")
    before = sys.getrefcount(child)
    for _ in range(50):
        with pytest.raises(TypeError):
            Node("p", children=[child, child, 1])
    assert sys.getrefcount(child) == before


def test_freeing_a_million_deep_chain_does_not_recurse(child):
    result = child(
        """
        import vantelix
        n = vantelix.Node("leaf")
        for _ in range(1_000_000):
            n = vantelix.Node("n", children=[n])
        del n
        print("freed")
        """,
        stack_kib=256,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "freed"


def test_document_str_finaliser_runs_after_the_tree_is_released():
    finalised = []
    marker = Node("marker")
    baseline = sys.getrefcount(marker)

    class Doc(str):
        def __del__(self):
            # Runs when the last node cut from this document goes. It reads a tree and builds and
            # drops another; both must be released in full, not lost to the release in progress.
            inner = vantelix.read_string("<a><b/><b>t</b></a>", "a")
            holder = Node("h", children=[marker, inner])
            finalised.append([c.name for c in inner.children])
            del holder

    tree = vantelix.read_string(Doc("<r><x k='v'/><y>t</y></r>"), "r")
    outer = Node("p", children=[tree, Node("q", children=[tree, tree.children[1]])])
    del tree
    assert finalised == []
    del outer
    assert finalised == [["b", "b"]]
    assert sys.getrefcount(marker) == baseline


class Twin(str):
    """Equal in text to a plain str, yet a distinct dict key: its hash differs."""
    def __hash__(self):
        return 7

    def __eq__(self, other):
        return self is other


@pytest.mark.parametrize("pairs, expected", [
    ([("k", "1"), (Twin("k"), "2"), ("j", "3")], [("k", "2"), ("j", "3")]),
    ([(Twin("k"), "1"), ("k", "2"), (Twin("k"), "3")], [("k", "3")]),
    ([(f"a{i}", str(i)) for i in range(12)] + [(Twin("a3"), "x"), ("b", "y")],
     [(f"a{i}", "x" if i == 3 else str(i)) for i in range(12)] + [("b", "y")]),
])
@pytest.mark.parametrize("build", ["constructor", "from_dict"])
def test_keys_equal_in_text_keep_one_entry(pairs, expected, build):
    attrs = dict(pairs)
    assert len(attrs) == len(pairs)  # the dict holds them as distinct keys
    if build == "constructor":
        n = Node("n", attrs)
    else:
        n = Node.from_dict({"name": "n", "attrs": attrs, "children": []})
    assert list(n.attrs.items()) == expected
    assert n.search_by_attr(expected[-1][0]) == [n]
