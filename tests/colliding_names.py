"""Attribute names that collide under fixed multiplicative string hashes, for the hostile-input
tests and bench/bench_hostile.py."""


def java_hash(name):
    h = 0
    for c in name:
        h = (31 * h + ord(c)) & 0xFFFFFFFF
    return h


def djb2_hash(name):
    h = 5381
    for c in name:
        h = (33 * h + ord(c)) & 0xFFFFFFFFFFFFFFFF
    return h


def colliding(blocks, count):
    """`count` names of equally many two-character blocks, each block one of the two in `blocks`,
    which hash alike under the multiplicative hash they were chosen for: so do all the names."""
    length = max(1, (count - 1).bit_length())
    return ["".join(blocks[(i >> bit) & 1] for bit in range(length)) for i in range(count)]
