"""Nodes made by the reader in memory that earlier trees used: their reference counts start
from what the reader gives them, whatever the memory held before."""
import sys

import pytest

from vantelix import read_file, read_string

DOC = "<r>" + "".join(f"<i n='{k}'><a>x{k}</a><b/></i>" for k in range(20000)) + "</r>"


def every_node(root):
    out, stack = [], [root]
    while stack:
        node = stack.pop()
        out.append(node)
        stack.extend(node.children)
    return out


@pytest.mark.parametrize("keep_every", [None, 3], ids=["all-dropped", "some-kept"])
def test_nodes_made_in_recycled_memory_count_their_references(keep_every):
    kept = []
    for _ in range(6):
        tree = read_string(DOC, "r")
        if keep_every:
            kept.append(tree.children[::keep_every])
        before = [sys.getrefcount(n) for n in kept[-1]] if kept else []
        del tree
        fresh = read_string(DOC, "r")
        nodes = every_node(fresh)
        # Each non-root node is held the same few times: by its parent, the lists and the call.
        counts = {sys.getrefcount(n) for n in nodes[1:]}
        assert len(counts) == 1 and counts.pop() < 8
        del fresh, nodes
        # The freed neighbours' memory went to new nodes; the kept ones lost only their parent.
        if kept:
            assert [sys.getrefcount(n) for n in kept[-1]] == [c - 1 for c in before]


def test_node_in_reused_large_block_counts_its_references(tmp_path):
    # Files that fail to read leave their text, 0xFF bytes, in large blocks that are kept for
    # reuse: a root with many children is made in one of them, over those bytes.
    for size in (1_200_000, 1_500_000, 1_800_000, 2_200_000, 2_700_000, 3_300_000):
        path = tmp_path / f"junk-{size}"
        path.write_bytes(b"\xff" * size)
        with pytest.raises(ValueError):
            read_file(str(path), "r")
    doc = "<r>" + "<c/>" * 200_000 + "</r>"
    for _ in range(3):
        root = read_string(doc, "r")
        child = root.children[0]
        assert sys.getrefcount(root) == 2
        assert sys.getrefcount(child) == 3
        del root  # the child loses its parent's reference, so the root really went
        assert sys.getrefcount(child) == 2
