"""iter_elements over a long file object of the io module: its read() is called ahead on a thread
of its own, and nothing about the iteration may show it but the speed."""
import gc
import gzip
import io
import os
import threading
import time

import pytest

import vantelix

PAGES = 60000
BIG = (b"<r>" + b"".join(b"<page n='%d'>t &amp; %d \xc3\xa9</page>" % (i, i) for i in range(PAGES))
       + b"</r>")  # about 2 MB: far past what is read before the thread starts


class Plain:
    """A file object outside the io module: read() stays on the iterating thread."""

    def __init__(self, data):
        self.f = io.BytesIO(data)
        self.threads = set()

    def read(self, n):
        self.threads.add(threading.get_ident())
        return self.f.read(n)


class Recording(io.FileIO):
    """A file of the io module that records the threads calling read() and, once `after` bytes
    are given, can slow down or give what a file must not."""

    def __init__(self, path, after=None, then=None, delay=0.0):
        super().__init__(path, "rb")
        self.after, self.then, self.delay = after, then, delay
        self.threads = set()
        self.calls = 0

    def read(self, n=-1):
        self.threads.add(threading.get_ident())
        self.calls += 1
        if self.after is not None and self.tell() >= self.after:
            if self.delay:
                time.sleep(self.delay)
            if isinstance(self.then, BaseException):
                raise self.then
            if self.then == "str":
                return "<page/>"
            if self.then == "big":
                return b" " * (n + 1)
        return super().read(n)

    def readinto(self, b):
        chunk = self.read(len(b))
        b[:len(chunk)] = chunk
        return len(chunk)


class RecordingBytes(io.BytesIO):
    def read(self, n=-1):
        self.threads = getattr(self, "threads", set()) | {threading.get_ident()}
        return super().read(n)


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    path = tmp_path_factory.mktemp("ahead") / "big.xml"
    path.write_bytes(BIG)
    with open(str(path) + ".gz", "wb") as f:
        f.write(gzip.compress(BIG, 1))
    return str(path)


def titles(source):
    return [(p.attrs["n"], p.text) for p in vantelix.iter_elements(source, "page")]


EXPECTED = [(str(i), "t & %d \u00e9" % i) for i in range(PAGES)]


@pytest.mark.parametrize("make", [
    lambda path: Recording(path),
    lambda path: io.BufferedReader(Recording(path), 100_000),
    lambda path: open(path, "rb"),
    lambda path: gzip.open(path + ".gz"),
    lambda path: io.BytesIO(BIG),
    lambda path: Plain(BIG),
], ids=["raw", "buffered", "open", "gzip", "bytesio", "plain"])
def test_long_streams_give_every_element(big, make):
    source = make(big)
    assert titles(source) == EXPECTED


def test_only_io_files_over_regular_files_are_read_on_another_thread(big, tmp_path):
    me = threading.get_ident()
    plain, raw, in_memory = Plain(BIG), Recording(big), RecordingBytes(BIG)
    assert titles(plain) == titles(raw) == titles(in_memory) == EXPECTED
    assert plain.threads == in_memory.threads == {me}
    assert raw.threads - {me}, "the read() of a regular file stayed on the iterating thread"
    short = tmp_path / "short.xml"
    short.write_bytes(b"<r><page n='0'/></r>")
    small = Recording(str(short))
    assert titles(small) == [("0", None)]
    assert small.threads == {me}


@pytest.mark.parametrize("declared, codec, ahead", [
    ("UTF-16", "utf_16", True), ("GBK", "gbk", True), ("windows-1252", "cp1252", True),
    ("EUC-JP", "euc_jp", False)])
def test_other_encodings_are_read_ahead_unless_a_codec_decodes_them(tmp_path, declared, codec, ahead):
    path = tmp_path / "doc.xml"
    path.write_bytes(f"<?xml version='1.0' encoding='{declared}'?>".encode(codec)
                     + BIG.decode().encode(codec)[2 if codec == "utf_16" else 0:])
    with Recording(str(path)) as source:
        assert titles(source) == EXPECTED
    assert bool(source.threads - {threading.get_ident()}) == ahead


def test_pipes_are_read_on_the_iterating_thread():
    r, w = os.pipe()
    writer = threading.Thread(target=lambda: (os.write(w, BIG), os.close(w)))
    writer.start()
    pipe = Recording(r)
    assert titles(pipe) == EXPECTED
    writer.join()
    assert pipe.threads == {threading.get_ident()}
    pipe.close()


@pytest.mark.parametrize("then,error,match", [
    (OSError("disk on fire"), OSError, "disk on fire"),
    ("str", TypeError, "not bytes"),
    ("big", ValueError, "more than the"),
])
def test_read_failing_on_the_thread_comes_out_of_next(big, then, error, match):
    source = Recording(big, after=len(BIG) // 2, then=then)
    got = []
    with pytest.raises(error, match=match) as e:
        for page in vantelix.iter_elements(source, "page"):
            got.append((page.attrs["n"], page.text))
    if isinstance(then, BaseException):
        assert e.value is then
    assert 0 < len(got) < PAGES and got == EXPECTED[:len(got)]
    assert source.threads - {threading.get_ident()}


def test_truncated_stream_read_ahead_fails_as_read_file(tmp_path):
    cut = BIG[:-100]
    path = tmp_path / "cut.xml"
    path.write_bytes(cut)
    with pytest.raises(ValueError) as whole:
        vantelix.read_file(str(path), "r")
    (tmp_path / "cut.xml.gz").write_bytes(gzip.compress(cut, 1))
    got = []
    with pytest.raises(ValueError) as streamed:
        for page in vantelix.iter_elements(gzip.open(tmp_path / "cut.xml.gz"), "page"):
            got.append((page.attrs["n"], page.text))
    assert str(streamed.value) == str(whole.value)
    assert got == EXPECTED[:len(got)] and len(got) > PAGES - 10


@pytest.mark.parametrize("how", ["close", "del", "with"])
def test_stopping_while_reading_ahead_ends_the_reads(big, how):
    source = Recording(big, after=len(BIG) // 2, delay=0.02)
    it = vantelix.iter_elements(source, "page")
    if how == "with":
        with it:
            next(it)
    else:
        next(it)
        time.sleep(0.1)  # the thread is now in slow reads
        if how == "close":
            it.close()
        else:
            del it
            gc.collect()
    calls = source.calls
    time.sleep(0.1)
    assert source.calls == calls, "read() is still being called after the iteration stopped"
    assert not source.closed
    source.close()


def test_exit_with_an_iterator_reading_ahead(child, big):
    code = f"""
    import io, time, vantelix
    class Slow(io.FileIO):
        def read(self, n):
            if self.tell() > 600_000:
                time.sleep(0.3)  # the read under way as the interpreter exits
            return super().read(n)
    it = vantelix.iter_elements(Slow({big!r}), "page")
    for _ in range(20000):
        next(it)
    print("ok")
    """
    proc = child(code, timeout=60)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr


def test_two_threads_each_reading_ahead(big):
    results = []

    def run():
        results.append(titles(gzip.open(big + ".gz")))

    threads = [threading.Thread(target=run) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [EXPECTED, EXPECTED]
