# Type information for the compiled vantelix module. It is installed next to the extension module
# (and as the stub-only package vantelix-stubs), and tests/test_typing.py checks it against the
# module's names and text signatures.
from collections.abc import Sequence
from _typeshed import ReadableBuffer
from typing import ClassVar, Final, Never, SupportsIndex, TypeAlias, TypedDict, final, overload

__all__ = ["SearchType", "Node", "read_file", "read_string", "write_file", "write_string"]

# The form of a node that Node.to_dict returns: all four keys, always.
class _NodeDict(TypedDict):
    name: str
    attrs: dict[str, str]
    children: list[_NodeDict]
    text: str | None

# What Node.from_dict accepts: a dict whose keys are str and whose values are a str, None, a
# dict of str to str or a sequence of such dicts; "name", "attrs" and "children" must be there
# with the right kind (checked when the call runs), "text" may be left out.
_FromDictValue: TypeAlias = str | None | dict[str, str] | Sequence[_NodeDict | dict[str, _FromDictValue]]

@final
class SearchType:
    """The criterion of Node.search. Only the three members exist; the class cannot be called."""

    Tag: Final[SearchType]  # int() is 0: the node's name equals the value
    Attr: Final[SearchType]  # int() is 1: the node has an attribute with the value as key
    Text: Final[SearchType]  # int() is 2: the node has a text and it equals the value
    # Calling the class raises TypeError; a parameter nothing can be passed for says so.
    def __new__(cls, _: Never, /) -> SearchType: ...
    def __int__(self) -> int: ...
    # Equal to the member itself and to its integer value (SearchType.Attr == 1).
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    # Members compare equal to ints, so they have no hash.
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Node:
    """One immutable XML element: name, attributes, children and optional text."""

    def __new__(
        cls,
        name: str,
        attrs: dict[str, str] | None = None,
        children: Sequence[Node] | None = None,
        text: str | None = None,
    ) -> Node: ...
    @property
    def name(self) -> str: ...
    @property
    def text(self) -> str | None: ...
    @property
    def attrs(self) -> dict[str, str]: ...
    @property
    def children(self) -> list[Node]:
        """Children are shared references to the same nodes, not copies."""
    # The outline str(node) gives, started `spacing` (0 to 255) spaces to the right. Inside a class
    # body Python mangles the name, so call it there as getattr(node, "__to_string")(...).
    def __to_string(self, spacing: SupportsIndex | None = None) -> str: ...
    def search_by_name(self, name: str, depth: SupportsIndex | None = None) -> list[Node]: ...
    def search_by_attr(self, key: str, depth: SupportsIndex | None = None) -> list[Node]: ...
    def search_by_text(self, text: str, depth: SupportsIndex | None = None) -> list[Node]: ...
    def search(self, by: SearchType, value: str, depth: SupportsIndex | None = None) -> list[Node]: ...
    @overload
    @classmethod
    def from_dict(cls, dict_: _NodeDict) -> Node: ...
    @overload
    @classmethod
    def from_dict(cls, dict_: dict[str, _FromDictValue]) -> Node: ...
    def to_dict(self) -> _NodeDict: ...
    # Pickling sends the tree as one flat payload; copies are the node itself.
    def __reduce__(self) -> tuple[object, tuple[bytes]]: ...
    def __copy__(self) -> Node: ...
    def __deepcopy__(self, memo: object, /) -> Node: ...

def read_string(xml_string: str, root_tag: str) -> Node: ...
def read_file(file_path: str, root_tag: str) -> Node: ...
def read_bytes(data: ReadableBuffer, root_tag: str) -> Node: ...
def _node_from_pickle(payload: bytes, /) -> Node: ...
def write_string(
    node: Node, indent: SupportsIndex | None = None, default_xml_def: bool | None = None
) -> str: ...
def write_file(
    node: Node, file_path: str, indent: SupportsIndex | None = None, default_xml_def: bool | None = None
) -> None: ...
