"""repr, str and __to_string of Node."""
import os

import pytest
from hypothesis import given, settings, strategies as st

from vantelix import Node
from conftest import node_trees

ROOT = Node("root", {"id": "1"}, [Node("a", text="x"), Node("b", children=[Node("c")])], "hello")

WORKED = (
    "Name: root\nAttributes:\nid: 1\nText: hello\nChildren:\n"
    "  Name: a\n  Text: x\n\n"
    "  Name: b\n  Children:\n      Name: c\n\n"
)
WORKED_3 = (
    "   Name: root\n   Attributes:\n   id: 1\n   Text: hello\n   Children:\n"
    "        Name: a\n     Text: x\n\n"
    "        Name: b\n     Children:\n            Name: c\n\n"
)


def to_string(node, *args, **kwargs):
    return getattr(node, "__to_string")(*args, **kwargs)


def reference(node, s=0):
    """The outline rules, written recursively for trees of modest depth."""
    pad = " " * s
    out = pad + "Name: " + node.name
    if node.attrs:
        out += "\n" + pad + "Attributes:" + "".join(f"\n{pad}{k}: {v}" for k, v in node.attrs.items())
    if node.text is not None:
        out += "\n" + pad + "Text: " + node.text
    if node.children:
        out += "\n" + pad + "Children:" + "".join("\n" + pad + reference(c, s + 2) + "\n" for c in node.children)
    return out


def test_worked_example_byte_for_byte():
    assert str(ROOT) == WORKED
    assert to_string(ROOT, 3) == to_string(ROOT, spacing=3) == WORKED_3
    assert to_string(ROOT) == to_string(ROOT, None) == to_string(ROOT, 0) == to_string(ROOT, False) == WORKED
    assert repr(ROOT) == "Node(root)"


@pytest.mark.parametrize("node, spacing, expected", [
    (Node("item"), 0, "Name: item"),
    (Node("item"), 4, "    Name: item"),
    (Node("n", text=""), 0, "Name: n\nText: "),
    (Node("n", {"k": "<a>\n&"}), 1, " Name: n\n Attributes:\n k: <a>\n&"),
    (Node("", {"b": "2", "a": "1"}), 0, "Name: \nAttributes:\nb: 2\na: 1"),
    (Node("ü", text="日本"), 255, " " * 255 + "Name: ü\n" + " " * 255 + "Text: 日本"),
])
def test_outline_edge_cases(node, spacing, expected):
    assert to_string(node, spacing) == expected


def test_repr_is_raw_and_shared_children_render_at_each_occurrence():
    assert repr(Node("it'em \"x\"")) == "Node(it'em \"x\")" and repr(Node("")) == "Node()"
    leaf = Node("leaf", text="t")
    twice = Node("p", children=[leaf, leaf])
    assert str(twice) == "Name: p\nChildren:\n  Name: leaf\n  Text: t\n\n  Name: leaf\n  Text: t\n"
    with pytest.raises(TypeError, match=r"^Node.__to_string\(\) takes from 0 to 1 positional arguments but 2 were given$"):
        to_string(ROOT, 1, 2)


@pytest.mark.parametrize("spacing, exc, message", [
    (256, OverflowError, "number too large to fit in target type"),
    (-1, OverflowError, "number too small to fit in target type"),
    (2**64, OverflowError, "Python int too large to convert to C long"),
    (-(2**64), OverflowError, "Python int too large to convert to C long"),
    (1.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("3", TypeError, "'str' object cannot be interpreted as an integer"),
])
def test_spacing_conversion_errors(spacing, exc, message):
    with pytest.raises(exc) as info:
        to_string(ROOT, spacing)
    assert str(info.value) == message and info.value.__notes__ == ["while processing 'spacing'"]


word = st.text(alphabet="ab: \né日", max_size=3)
trees = node_trees(word, leaf_attrs=3, attrs=3, children=3, leaves=12)


@settings(max_examples=100, deadline=None)
@given(trees, st.integers(0, 255))
def test_outline_matches_the_recursive_rules(tree, spacing):
    assert to_string(tree, spacing) == reference(tree, spacing)
    assert str(tree) == reference(tree)


def chain_outline(depth):
    """str() of a chain of `depth` nodes named x ending in a leaf named y."""
    parts = ["Name: x\nChildren:"]
    parts += [f"\n{' ' * (4 * k - 2)}Name: x\n{' ' * (2 * k)}Children:" for k in range(1, depth - 1)]
    parts.append(f"\n{' ' * (4 * (depth - 1) - 2)}Name: y" + "\n" * (depth - 1))
    return "".join(parts)


def test_deep_chain_renders_without_native_recursion(child):
    # The outline grows with the square of the depth: 5,000 levels make about 75 MB.
    result = child(f"""
        import sys
        sys.path.insert(0, {__file__.rsplit('/', 1)[0]!r})
        from test_render import chain_outline
        from vantelix import Node
        n = Node("y")
        for _ in range(4999):
            n = Node("x", children=[n])
        assert str(n) == chain_outline(5000)
        print("ok")
    """, stack_kib=256)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr[-2000:]


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer reserves more address space than the limit")
def test_million_deep_outline_is_refused_with_memory_error(child):
    # About 3 TB of text: the size is counted first, so this fails cleanly before allocating.
    result = child("""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))
        from vantelix import Node
        n = Node("y")
        for _ in range(1_000_000):
            n = Node("x", children=[n])
        try:
            str(n)
        except MemoryError:
            print("ok")
    """, stack_kib=256)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr[-2000:]
