"""read_bytes on documents in windows-1251, Shift_JIS, EUC-JP and UTF-8 against lxml and read_string.

Usage: PYTHONPATH=<build>/src /usr/bin/python3 bench/bench_encodings.py [--mb 20] [--repeat 5]

Each document (about --mb MB once encoded) is generated in memory: records whose element names,
attribute values and texts are in the encoding's script, under a declaration naming it. Every
library gets the same bytes; lxml parses them with huge_tree so the large documents parse at all.
On UTF-8 read_bytes(bytes) is also timed against read_string of the same document as a str, in
two ways: called again and again on one str, whose UTF-8 form CPython keeps after the first call
(read_string's best case), and on a fresh str each time, which pays for making that form first
(its usual case: a document read once). Both str are made outside the timed region.
"""
import argparse
import os
import random
import statistics
import sys
import time

import lxml.etree as LET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import vantelix  # noqa: E402

LXML_PARSER = LET.XMLParser(huge_tree=True)

# (label, codec, declared name, element names, words)
SCRIPTS = [
    ("windows-1251", "cp1251", "windows-1251",
     ["запись", "имя", "адрес", "заметка"],
     "город улица дом квартира индекс область район телефон почта Москва Киев Минск ёж щука".split()),
    ("Shift_JIS", "shift_jis", "Shift_JIS",
     ["記録", "名前", "住所", "備考"],
     "東京 大阪 京都 北海道 番地 電話 郵便 株式会社 山田 太郎 カタカナ ｶﾀｶﾅ ひらがな 漢字".split()),
    # Not a double-byte code (it has three-byte sequences): decoded through Python's codec.
    ("EUC-JP", "euc_jp", "EUC-JP",
     ["記録", "名前", "住所", "備考"],
     "東京 大阪 京都 北海道 番地 電話 郵便 株式会社 山田 太郎 カタカナ ひらがな 漢字".split()),
    ("UTF-8", "utf-8", "UTF-8",
     ["запись", "名前", "adresse", "note"],
     "Zürich Ελλάδα 東京 город straße café naïve 漢字 ﬁn émigré".split()),
]


def document(codec, declared, names, words, target_bytes, seed=1):
    """The document as bytes in `codec`, about `target_bytes` long."""
    rng = random.Random(seed)
    record, name, address, note = names
    head = f'<?xml version="1.0" encoding="{declared}"?>\n<root>\n'
    parts, size = [head], 0
    i = 0
    while size < target_bytes:
        text = " ".join(rng.choice(words) for _ in range(rng.randint(3, 12)))
        piece = (f'<{record} id="{i}" {name}="{rng.choice(words)}">'
                 f'<{address} kind="{rng.choice(words)}">{text}</{address}>'
                 f'<{note}>{rng.choice(words)} &amp; {i}</{note}></{record}>\n')
        parts.append(piece)
        size += len(piece.encode(codec))
        i += 1
    parts.append("</root>\n")
    return "".join(parts).encode(codec)


def median_on_fresh_str(data, repeat):
    """Median seconds of read_string on a str decoded anew (outside the timing) for every run."""
    times = []
    for _ in range(repeat):
        text = data.decode()
        start = time.perf_counter()
        vantelix.read_string(text, "root")
        times.append(time.perf_counter() - start)
        del text
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--mb", type=float, default=20.0, help="size of each document in MB")
    parser.add_argument("--repeat", type=int, default=5, help="timed runs per figure (median)")
    args = parser.parse_args()

    rows = []
    for label, codec, declared, names, words in SCRIPTS:
        data = document(codec, declared, names, words, int(args.mb * 1e6))
        # The libraries must agree before their speeds mean anything.
        vx = vantelix.read_bytes(data, "root")
        lx = LET.fromstring(data, LXML_PARSER)
        assert len(vx.children) == len(lx), label
        del vx, lx
        t_bytes = common.median_seconds(lambda: vantelix.read_bytes(data, "root"), repeat=args.repeat)
        t_lxml = common.median_seconds(lambda: LET.fromstring(data, LXML_PARSER), repeat=args.repeat)
        row = [label, f"{len(data) / 1e6:.1f}", f"{common.mb_per_s(len(data), t_bytes):.0f}",
               f"{common.mb_per_s(len(data), t_lxml):.0f}", f"{t_lxml / t_bytes:.2f}x"]
        if codec == "utf-8":
            text = data.decode()
            t_str = common.median_seconds(lambda: vantelix.read_string(text, "root"), repeat=args.repeat)
            del text
            t_fresh = median_on_fresh_str(data, args.repeat)
            row += [f"{common.mb_per_s(len(data), t_str):.0f}", f"{t_str / t_bytes:.2f}x",
                    f"{common.mb_per_s(len(data), t_fresh):.0f}", f"{t_fresh / t_bytes:.2f}x"]
        else:
            row += ["", "", "", ""]
        rows.append(row)
        print(f"done {label}", file=sys.stderr)
    headers = ["encoding", "MB", "read_bytes MB/s", "lxml MB/s", "read_bytes / lxml",
               "read_string same str", "ratio", "read_string fresh str", "ratio"]
    print("MB/s of the encoded bytes, medians; lxml is etree.fromstring(bytes, huge_tree=True);")
    print("ratio: read_bytes speed / read_string speed")
    print(common.table(rows, headers))


if __name__ == "__main__":
    main()
