"""Threads sharing one document: reading, writing, searching, converting and dropping its nodes
at once, with the GIL handed over every few microseconds. Every result is compared with what a
single thread computed before the threads started.

Reads and writes release the GIL while they work, so other threads drop, replace and take
apart trees of the same document (whose strings all point into one shared text) in the middle
of them. Trees are checked through their XML text, which the writer produces with the GIL
released as well. The sanitizer run (tools/sanitize) runs these too.
"""
import os
import threading

import pytest

from vantelix import Node, SearchType, read_file, read_string, write_file, write_string

# Long enough for every worker to run many times; the sanitizers slow each call several times.
SECONDS = 3.0 if "libasan" in os.environ.get("LD_PRELOAD", "") else 1.5


def document(items):
    parts = ['<?xml version="1.0" encoding="utf-8"?>\n<!-- shared -->\n<catalog id="c&amp;1" lang=\'pl\'>']
    for i in range(items):
        parts.append(
            f'<item i="{i}" k="v{i % 7}&lt;">'
            f"<name>n{i} &amp; ż</name>"
            f'<price cur="€" net="{i}">{i * 3}.50</price>'
            + ("<flag/>" if i % 5 == 0 else "")
            + f"<![CDATA[raw <{i}>]]></item>"
        )
    parts.append("</catalog>")
    return "".join(parts)


DOC = document(1500)   # about 5,000 elements
BIG = document(12000)  # more records than one batch: the read takes the GIL back in between
TRUNCATED = DOC[: -len("</catalog>")]
K = 7                  # the item the checks look at closely


class DocStr(str):
    """A document str whose finaliser is Python code, run when its last node goes."""

    def __del__(self):
        self.upper  # touch the object while it is being finalised


class Reference:
    """What one thread alone computes from a document."""

    def __init__(self, doc):
        tree = read_string(doc, "catalog")
        self.xml = write_string(tree, 0, False)
        self.items = [c.attrs["i"] for c in tree.children]
        self.flags = len(tree.search_by_name("flag"))
        item = tree.children[K]
        self.item_xml = write_string(item, 1, False)
        self.item_dict = item.to_dict()
        self.item_outline = str(item)
        self.leaf_text = tree.children[-1].children[1].text


@pytest.fixture(scope="module")
def ref():
    return Reference(DOC)


@pytest.fixture(scope="module")
def big_ref():
    return Reference(BIG)


def item_ids(nodes):
    return [n.attrs["i"] for n in nodes]


def test_reads_while_trees_of_the_document_are_dropped(concurrently, tmp_path, ref, big_ref):
    path = tmp_path / "doc.xml"
    path.write_text(DOC, encoding="utf-8")
    kept = [read_string(DOC, "catalog")]

    def reader():
        assert write_string(read_string(DOC, "catalog"), 0, False) == ref.xml

    def big_reader():
        assert write_string(read_string(BIG, "catalog"), 0, False) == big_ref.xml

    def file_reader():
        assert write_string(read_file(str(path), "catalog"), 0, False) == ref.xml

    def subclass_reader():
        tree = read_string(DocStr(DOC), "catalog")
        item = tree.children[K]
        del tree  # the rest of the tree goes; the item keeps the str and its finaliser
        assert write_string(item, 1, False) == ref.item_xml

    def failing_reader():
        with pytest.raises(ValueError) as info:
            read_string(TRUNCATED, "catalog")
        assert info.value.args == ("unexpected end of document: <catalog> is never closed",)

    def dropper():
        # Replaces the kept tree (dropping the old one) and keeps one leaf of a fresh one.
        kept[0] = read_string(DOC, "catalog")
        leaf = read_string(DOC, "catalog").search_by_name("price")[-1]
        assert leaf.text == ref.leaf_text
        kept[0].children[::10]

    concurrently([reader, reader, big_reader, file_reader, subclass_reader, failing_reader, dropper],
                 seconds=SECONDS)


def test_writes_while_the_tree_is_replaced_and_taken_apart(concurrently, tmp_path, ref):
    fixed = read_string(DOC, "catalog")  # never replaced
    holder = [read_string(DOC, "catalog")]

    def writer():
        assert write_string(fixed, 0, False) == ref.xml
        assert write_string(fixed.children[K], 1, False) == ref.item_xml

    def subtree_writer():
        # The rest of the tree may be dropped by another thread while this writes.
        item = holder[0].children[K]
        assert write_string(item, 1, False) == ref.item_xml

    def file_writer():
        path = tmp_path / f"out-{threading.get_ident()}.xml"
        write_file(holder[0], str(path), 0, False)
        assert path.read_text(encoding="utf-8") == ref.xml

    def mixed_writer():
        # A built node whose children come from the fixed tree and from the replaced one.
        tree = holder[0]
        mixed = Node("m", {"a": "1", "b": "2"}, [fixed.children[K], tree.children[K], tree.children[K]], "t")
        item = ref.item_xml.replace("\n", "\n ")
        assert write_string(mixed, 1, False) == f'<m a="1" b="2">t{item}\n {item}\n {item}\n</m>'

    def dropper():
        holder[0] = read_string(DOC, "catalog")
        pieces = holder[0].children[::7]
        Node("x", children=pieces + fixed.children[:50])
        del pieces

    concurrently([writer, writer, subtree_writer, file_writer, mixed_writer, dropper, dropper],
                 seconds=SECONDS)


def test_node_operations_while_reads_and_writes_run(concurrently, ref):
    holder = [read_string(DOC, "catalog")]

    def searcher():
        tree = holder[0]
        items = tree.search_by_name("item")
        assert item_ids(items) == ref.items
        assert all(a is b for a, b in zip(items, tree.children))
        assert item_ids(tree.search(SearchType.Attr, "k", 1)) == ref.items
        assert len(tree.search_by_name("flag")) == ref.flags
        found = tree.search_by_text(f"{K * 3}.50")
        assert [n.name for n in found] == ["price"] and found[0] is tree.children[K].children[1]

    def converter():
        item = holder[0].children[K]
        assert item.to_dict() == ref.item_dict
        assert write_string(Node.from_dict(ref.item_dict), 1, False) == ref.item_xml

    def renderer():
        item = holder[0].children[K]
        assert str(item) == ref.item_outline
        assert item.__to_string(2).startswith("  Name: item\n")
        assert repr(item) == "Node(item)"

    def reader():
        assert write_string(read_string(DOC, "catalog"), 0, False) == ref.xml

    def writer():
        assert write_string(holder[0], 0, False) == ref.xml

    def dropper():
        holder[0] = read_string(DOC, "catalog")

    concurrently([searcher, converter, renderer, reader, writer, dropper], seconds=SECONDS)


def test_nodes_held_elsewhere_survive_large_releases_on_other_threads(concurrently, big_ref):
    """A large tree is released mostly without the GIL; nodes that other references hold must
    lose exactly their parent's reference and nothing else, even while other threads take and
    drop references to them, and when two trees that share subtrees go at the same time."""
    import sys

    tree = read_string(BIG, "catalog")
    # Items, and names of other items: each loses the one reference its dying parent held.
    kept = tree.children[::97] + [
        item.children[1] for i, item in enumerate(tree.children) if i % 101 == 1 and i % 97
    ]
    expected = [write_string(n, 0, False) for n in kept]
    counts = [sys.getrefcount(n) for n in kept]

    def churn():
        for n in kept:
            n.children
            pair = [n, n]
            del pair

    def release():
        nonlocal tree
        mine, tree = tree, None
        if mine is not None:
            del mine

    concurrently([churn, churn, release], seconds=SECONDS / 3)
    assert tree is None
    assert [write_string(n, 0, False) for n in kept] == expected
    assert [sys.getrefcount(n) for n in kept] == [c - 1 for c in counts]

    def shared_pair_released_at_once():
        base = read_string(BIG, "catalog")
        items = base.children
        first = Node("a", None, items[: len(items) // 2 + 500])
        second = Node("b", None, items[len(items) // 2 - 500:])
        del base, items
        done = threading.Barrier(2)

        def drop(holder):
            done.wait()
            holder.clear()

        holders = [[first], [second]]
        del first, second
        workers = [threading.Thread(target=drop, args=(h,)) for h in holders]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    concurrently([shared_pair_released_at_once, churn], seconds=SECONDS / 3)
    assert [write_string(n, 0, False) for n in kept] == expected
    assert big_ref.xml == write_string(read_string(BIG, "catalog"), 0, False)
