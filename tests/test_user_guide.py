"""The README's user guide: its Python sessions run as written, and it covers the whole API."""
import doctest
import io
import re
from pathlib import Path

import vantelix

README = Path(__file__).resolve().parent.parent / "README.md"


def guide():
    """The user guide section and the README line it starts on."""
    text = README.read_text(encoding="utf-8")
    start = text.index("\n## User guide\n") + 1
    end = text.index("\n## ", start)
    return text[start:end], text.count("\n", 0, start)


def test_sessions_run_as_shown(tmp_path, monkeypatch):
    """The ```pycon blocks run in order in one namespace, printing exactly what they show."""
    monkeypatch.chdir(tmp_path)  # the sessions write and read files in the working directory
    text, first_line = guide()
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.DONT_ACCEPT_TRUE_FOR_1)
    report = io.StringIO()
    namespace = {}
    blocks = list(re.finditer(r"^```pycon\n(.*?)^```$", text, re.M | re.S))
    assert len(blocks) > 10
    for block in blocks:
        line = first_line + text.count("\n", 0, block.start(1))
        test = parser.get_doctest(block[1], namespace, "README user guide", str(README), line)
        runner.run(test, out=report.write, clear_globs=False)
        namespace = test.globs  # the next block goes on from this one's names
    result = runner.summarize(verbose=False)
    assert result.attempted > 40
    assert result.failed == 0, report.getvalue()


def test_guide_covers_every_name():
    text, _ = guide()
    node_members = [n for n in vars(vantelix.Node) if not n.startswith("__") or n == "__to_string"]
    for name in [*vantelix.__all__, *node_members, "Tag", "Attr", "Text", "repr", "str"]:
        assert re.search(rf"`[^`\n]*\b{re.escape(name)}\b[^`\n]*`", text), name
