"""Every part of the module used the way the type stub describes it.

tests/test_typing.py type-checks this file with mypy --strict and also runs it, so each line is
both accepted by the stub and true at runtime.
"""
import os
import tempfile
from typing import TYPE_CHECKING, assert_type

import vantelix
from vantelix import Node, SearchType

if TYPE_CHECKING:
    from vantelix import _NodeDict  # the type of to_dict's result exists only in the stub

DOC = '<catalog id="7"><book lang="en">A &amp; B</book><shelf/></catalog>'


def read_and_inspect() -> Node:
    root = vantelix.read_string(DOC, "catalog")
    assert_type(root, Node)
    assert_type(root.name, str)
    assert_type(root.text, str | None)
    assert_type(root.attrs, dict[str, str])
    assert_type(root.children, list[Node])
    assert root.name == "catalog" and root.text is None
    assert root.attrs == {"id": "7"}
    book = root.children[0]
    text: str | None = book.text
    assert text is not None and text.upper() == "A & B"
    return root


def build() -> Node:
    book = Node("book", {"lang": "en"}, text="A & B")
    shelf = Node(name="shelf", attrs=None, children=None, text=None)
    catalog = Node("catalog", {"id": "7"}, (book, shelf))  # any sequence of nodes
    assert catalog.children[0] is book
    return catalog


def search(root: Node) -> None:
    found: list[Node] = root.search_by_name("book")
    assert [n.name for n in found] == ["book"]
    assert root.search_by_attr("id", depth=0) == [root]
    assert root.search_by_text("A & B", None)[0].name == "book"
    assert root.search(SearchType.Tag, "shelf", depth=True)[0].name == "shelf"
    for by in (SearchType.Tag, SearchType.Attr, SearchType.Text):
        assert_type(root.search(by, "x"), list[Node])
    assert_type(int(SearchType.Attr), int)
    assert int(SearchType.Text) == 2 and SearchType.Attr == 1
    assert SearchType.Tag is not SearchType.Attr and SearchType.Tag != SearchType.Text


def first_child(d: "_NodeDict") -> "_NodeDict":
    return d["children"][0]


def convert(root: Node) -> None:
    d = root.to_dict()
    assert_type(d["name"], str)
    assert_type(d["attrs"], dict[str, str])
    assert_type(d["text"], str | None)
    assert first_child(d)["text"] == "A & B"
    again = Node.from_dict(d)
    assert vantelix.write_string(again) == vantelix.write_string(root)
    # A hand-written dict: "text" may be left out and children may be any sequence of dicts.
    small = Node.from_dict({"name": "a", "attrs": {"k": "v"}, "children": ({"name": "b", "attrs": {}, "children": []},)})
    assert small.children[0].name == "b" and small.children[0].text is None


def write(root: Node) -> None:
    out: str = vantelix.write_string(root, indent=2, default_xml_def=False)
    assert out.startswith("<catalog")
    assert vantelix.write_string(root, 0).count("\n") == 4  # declaration, catalog, book, shelf
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "out.xml")
        assert_type(vantelix.write_file(root, path, indent=None, default_xml_def=True), None)
        back = vantelix.read_file(path, "catalog")
        assert vantelix.write_string(back) == vantelix.write_string(root)


def render(root: Node) -> None:
    assert repr(root) == "Node(catalog)"
    outline: str = str(root)
    assert outline.startswith("Name: catalog")
    assert root.__to_string(2).startswith("  Name: catalog")
    assert root.__to_string(None) == outline


def errors() -> None:
    try:
        vantelix.read_string("<r><a></r>", "r")
    except ValueError as error:
        assert "at byte 6" in str(error)
    else:
        raise AssertionError("malformed XML was read")


def main() -> None:
    root = read_and_inspect()
    assert vantelix.write_string(build()) == vantelix.write_string(root)
    search(root)
    convert(root)
    write(root)
    render(root)
    errors()
    print("ok")


if __name__ == "__main__":
    main()
