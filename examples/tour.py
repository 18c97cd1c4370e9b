"""A short tour of vantelix: build a tree, look at it, and read what it holds."""
import vantelix
from vantelix import Node

book = Node("book", {"lang": "en"}, text="A & B")
shelf = Node("shelf")
note = Node("note", children=[Node("b", text="y")], text="x")
catalog = Node("catalog", {"id": "7"}, [book, shelf, note])

print(repr(catalog))
print(catalog.name, catalog.attrs, [c.name for c in catalog.children])
print(catalog.children[0] is book)  # children are shared, not copied
print(str(catalog))
