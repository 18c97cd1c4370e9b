# Mistakes the type stub must reject. Every line marked "# reject:" names the mypy error code it
# must draw and the exception it raises when run ("-" when it runs without one); tests/test_typing.py
# checks both. Unmarked lines are setup and must type-check.
import pathlib

import vantelix
from vantelix import Node, SearchType

n = Node("a", {"k": "v"}, [Node("b")], "t")
vantelix.read_string(b"<a/>", "a")  # reject: arg-type TypeError
vantelix.read_string("<a/>", root="a")  # reject: call-arg TypeError
vantelix.read_string("<a/>")  # reject: call-arg TypeError
vantelix.read_file(pathlib.Path("a.xml"), "a")  # reject: arg-type TypeError
Node(1)  # reject: arg-type TypeError
Node("a", [Node("b")])  # reject: arg-type TypeError
Node("a", {"k": 1})  # reject: dict-item TypeError
Node("a", children="bc")  # reject: arg-type TypeError
Node("a", children={Node("b")})  # reject: arg-type TypeError
Node("a", children=[1])  # reject: list-item TypeError
Node("a", text=b"t")  # reject: arg-type TypeError
Node("a", tag="t")  # reject: call-arg TypeError
n.name = "b"  # reject: misc AttributeError
n.search_by_tag("a")  # reject: attr-defined AttributeError
n.search_by_name(b"a")  # reject: arg-type TypeError
n.search_by_attr("k", depth=1.0)  # reject: arg-type TypeError
n.search_by_text(None)  # reject: arg-type TypeError
n.search(0, "a")  # reject: arg-type TypeError
n.search("Tag", "a")  # reject: arg-type TypeError
n.search(SearchType.Tag)  # reject: call-arg TypeError
n.to_dict(True)  # reject: call-arg TypeError
n.to_dict()["tag"]  # reject: typeddict-item KeyError
Node.from_dict([])  # reject: call-overload TypeError
Node.from_dict({"name": "a", "attrs": {}, "children": [], "depth": 5})  # reject: dict-item TypeError
Node.from_dict({"name": "a", "attrs": {"k": 1}, "children": []})  # reject: dict-item TypeError
n.__to_string("2")  # reject: arg-type TypeError
SearchType()  # reject: call-arg TypeError
SearchType.Tag = SearchType.Text  # reject: misc TypeError
SearchType.Tag < SearchType.Attr  # reject: operator TypeError
SearchType.Value  # reject: attr-defined AttributeError
vantelix.write_string("<a/>")  # reject: arg-type TypeError
vantelix.write_string(n, indent="  ")  # reject: arg-type TypeError
vantelix.write_string(n, default_xml_def=0)  # reject: arg-type TypeError
vantelix.write_file(n)  # reject: call-arg TypeError
vantelix.write_file(n, pathlib.Path("out.xml"))  # reject: arg-type TypeError
vantelix.parse("<a/>")  # reject: attr-defined AttributeError
name: str = n.text  # reject: assignment -
class Sub(Node): pass  # reject: misc TypeError
