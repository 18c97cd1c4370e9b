"""The module surface: registration, signatures and call-shape errors."""
import pytest

import vantelix
from vantelix import Node


def test_all_lists_the_names_in_registration_order():
    assert vantelix.__all__ == ["SearchType", "Node", "read_file", "read_string", "write_file", "write_string"]
    for name in vantelix.__all__:
        assert getattr(vantelix, name) is not None


@pytest.mark.parametrize(
    "obj, signature",
    [
        (vantelix.read_string, "(xml_string, root_tag)"),
        (vantelix.read_file, "(file_path, root_tag)"),
        (vantelix.write_file, "(node, file_path, indent=None, default_xml_def=None)"),
        (vantelix.write_string, "(node, indent=None, default_xml_def=None)"),
        (Node, "(name, attrs=None, children=None, text=None)"),
        (Node.search_by_name, "($self, name, depth=None)"),
        (Node.search_by_attr, "($self, key, depth=None)"),
        (Node.search_by_text, "($self, text, depth=None)"),
        (Node.search, "($self, by, value, depth=None)"),
        (Node.to_dict, "($self)"),
        (Node.__dict__["from_dict"], "($cls, dict_)"),
        (getattr(Node, "__to_string"), "($self, spacing=None)"),
    ],
)
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature


def test_functions_belong_to_the_module():
    for name in ["read_file", "read_string", "write_file", "write_string"]:
        fn = getattr(vantelix, name)
        assert fn.__module__ == "vantelix" and fn.__self__ is vantelix


def test_class_names_are_bare():
    assert Node.__name__ == "Node" and Node.__module__ == "vantelix"
    assert vantelix.SearchType.__name__ == "SearchType"
    assert Node.children.__doc__ == "Children are shared references to the same nodes, not copies."


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Node(), "Node.__new__() missing 1 required positional argument: 'name'"),
        (lambda: Node("a", foo=1), "Node.__new__() got an unexpected keyword argument 'foo'"),
        (lambda: Node("a", name="b"), "Node.__new__() got multiple values for argument 'name'"),
        (lambda: Node("a", None, None, None, None), "Node.__new__() takes from 1 to 4 positional arguments but 5 were given"),
        (lambda: Node(text="t"), "Node.__new__() missing 1 required positional argument: 'name'"),
        (lambda: Node("a").search("x"), "Node.search() missing 1 required positional argument: 'value'"),
        (lambda: Node("a").search(), "Node.search() missing 2 required positional arguments: 'by' and 'value'"),
        (lambda: Node("a").search_by_name("a", 1, 2), "Node.search_by_name() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: Node.from_dict(), "Node.from_dict() missing 1 required positional argument: 'dict_'"),
        (lambda: Node.from_dict({}, {}), "Node.from_dict() takes 1 positional arguments but 2 were given"),
        (lambda: vantelix.read_string("<a/>"), "read_string() missing 1 required positional argument: 'root_tag'"),
        (lambda: vantelix.read_file(), "read_file() missing 2 required positional arguments: 'file_path' and 'root_tag'"),
        (lambda: vantelix.write_string(Node("a"), 1, 2, 3), "write_string() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: vantelix.write_string(Node("a"), node=Node("b")), "write_string() got multiple values for argument 'node'"),
        (lambda: vantelix.write_file(Node("a"), "p", 1, True, 5), "write_file() takes from 2 to 4 positional arguments but 5 were given"),
        (lambda: vantelix.read_string("<a/>", "a", "x"), "read_string() takes 2 positional arguments but 3 were given"),
    ],
)
def test_call_shape_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


def test_keywords_match_by_value_not_identity():
    name = "".join(["na", "me"])  # not interned
    assert Node(**{name: "a", "".join(["te", "xt"]): "t"}).text == "t"
