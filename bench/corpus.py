"""The benchmark corpus: the shared real files plus seeded generated documents of about 20 MB."""
import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))
SHARED = os.path.normpath(os.path.join(HERE, "..", "..", "shared", "corpus"))
CACHE = os.path.join(HERE, "results", "generated")

# name -> root tag
REAL_FILES = {
    "freedesktop.org.xml": "mime-info",
    "iso_639-3.xml": "iso_639_3_entries",
    "evdev.xml": "xkbConfigRegistry",
}

TARGET_BYTES = 20 * 1024 * 1024
WORDS = "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu nu xi omicron".split()
NON_ASCII = "żółw ελληνικά русский 日本語の文章 한국어 العربية עברית ไทย émigré façade naïve".split()


def _attribute_dense(rng):
    parts, size, i = ["<entries>\n"], 0, 0
    while size < TARGET_BYTES:
        attrs = " ".join(f'{k}="{rng.choice(WORDS)}{i % 997}"' for k in ("id", "code", "name", "kind", "ref", "group"))
        line = f"  <entry {attrs}/>\n"
        parts.append(line)
        size += len(line)
        i += 1
    parts.append("</entries>")
    return "".join(parts)


def _text_heavy(rng):
    parts, size = ["<book>\n"], 0
    while size < TARGET_BYTES:
        para = " ".join(rng.choice(WORDS) for _ in range(rng.randint(80, 200)))
        if rng.random() < 0.2:
            para += " &amp; more &lt;text&gt;"
        line = f"  <para>{para}</para>\n"
        parts.append(line)
        size += len(line)
    parts.append("</book>")
    return "".join(parts)


def _tiny_elements(rng):
    parts, size, i = ["<r>"], 0, 0
    while size < TARGET_BYTES:
        chunk = "<a><b/><c>x</c></a><d/>" if i % 3 else "<e><f>1</f><g>2</g></e>"
        parts.append(chunk)
        size += len(chunk)
        i += 1
    parts.append("</r>")
    return "".join(parts)


def _non_ascii(rng):
    parts, size = ["<corpus>\n"], 0
    while size < TARGET_BYTES:
        text = " ".join(rng.choice(NON_ASCII) for _ in range(rng.randint(5, 30)))
        line = f'  <doc lang="{rng.choice(NON_ASCII)}"><title>{rng.choice(NON_ASCII)}</title><body>{text}</body></doc>\n'
        parts.append(line)
        size += len(line.encode())
    parts.append("</corpus>")
    return "".join(parts)


GENERATORS = {
    "gen-attribute-dense.xml": (_attribute_dense, "entries"),
    "gen-text-heavy.xml": (_text_heavy, "book"),
    "gen-tiny-elements.xml": (_tiny_elements, "r"),
    "gen-non-ascii.xml": (_non_ascii, "corpus"),
}


def documents(include_generated=True):
    """Yields (name, path, root_tag) for every benchmark document, generating files on first use."""
    for name, root in REAL_FILES.items():
        path = os.path.join(SHARED, name)
        if os.path.exists(path):
            yield name, path, root
    if not include_generated:
        return
    os.makedirs(CACHE, exist_ok=True)
    for name, (make, root) in GENERATORS.items():
        path = os.path.join(CACHE, name)
        if not os.path.exists(path):
            text = make(random.Random(name))
            with open(path + ".tmp", "w", encoding="utf-8") as f:
                f.write(text)
            os.replace(path + ".tmp", path)
        yield name, path, root
