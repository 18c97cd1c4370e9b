"""How fast CPython itself can build the result of read_string().to_dict(), next to xmltodict.

to_dict returns a dict, an attrs dict, a children list and a text per element. This script
times CPython's own C loaders (pickle.loads and marshal.loads) building that same finished
result from bytes prepared beforehand, with no XML to read. No converter that returns this
result can be faster than building it, so xmltodict.parse over the faster loader's time is the
highest ratio to xmltodict that any implementation could reach on this machine.

Run:  PYTHONPATH=<build>/src /usr/bin/python3 bench/bench_dict_floor.py [--repeat N]
"""
import argparse
import marshal
import os
import pickle
import sys

import xmltodict

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_ops import per_call  # noqa: E402
from corpus import documents  # noqa: E402

import vantelix  # noqa: E402


def measure(path, root_tag, repeat):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    result = vantelix.read_string(text, root_tag).to_dict()
    pickled = pickle.dumps(result, pickle.HIGHEST_PROTOCOL)
    marshalled = marshal.dumps(result)
    assert pickle.loads(pickled) == result and marshal.loads(marshalled) == result
    del result
    return {
        "vantelix": per_call(lambda: vantelix.read_string(text, root_tag).to_dict(), repeat),
        "xmltodict": per_call(lambda: xmltodict.parse(text), repeat),
        "pickle": per_call(lambda: pickle.loads(pickled), repeat),
        "marshal": per_call(lambda: marshal.loads(marshalled), repeat),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--generated", action="store_true", help="the generated documents too")
    args = parser.parse_args()
    print("| document | vantelix ms | xmltodict ms | pickle.loads ms | marshal.loads ms "
          "| vantelix / xmltodict | best possible / xmltodict |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: |")
    for name, path, root_tag in documents(include_generated=args.generated):
        t = measure(path, root_tag, args.repeat)
        floor = min(t["pickle"], t["marshal"])
        print(f"| {name} | {t['vantelix'] * 1e3:.2f} | {t['xmltodict'] * 1e3:.2f} "
              f"| {t['pickle'] * 1e3:.2f} | {t['marshal'] * 1e3:.2f} "
              f"| {t['xmltodict'] / t['vantelix']:.2f}x | {t['xmltodict'] / floor:.2f}x |", flush=True)


if __name__ == "__main__":
    main()
