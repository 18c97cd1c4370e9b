"""A short tour of vantelix: read a document, search it, write it, convert it, build a tree."""
import vantelix
from vantelix import Node, SearchType

DOC = """<?xml version="1.0" encoding="utf-8"?>
<catalog id="7">
  <book lang="en">A &amp; B</book>
  <shelf/>
  <note>x<b>y</b></note>
</catalog>"""

catalog = vantelix.read_string(DOC, "catalog")
print(repr(catalog), catalog.attrs, [child.name for child in catalog.children])
print(catalog.search_by_name("book")[0].text)
print(catalog.search(SearchType.Attr, "lang"))

print(vantelix.write_string(catalog, indent=2, default_xml_def=False))
print(catalog.to_dict()["children"][0])

built = Node("catalog", {"id": "7"}, [Node("book", {"lang": "en"}, text="A & B")])
print(built.children[0] is Node.from_dict(built.to_dict()).children[0])  # from_dict makes new nodes
print(built)

try:
    vantelix.read_string("<r><a></r>", "r")
except ValueError as error:
    print(error)
