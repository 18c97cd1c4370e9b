"""iter_elements over a long file object of the io module: its read() is called ahead on a thread
of its own, and nothing about the iteration may show it but the speed."""
import gc
import gzip
import io
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


class Raw(io.RawIOBase):
    """An io file object that records the threads calling read() and can fail or slow down once
    `after` bytes are given."""

    def __init__(self, data, after=None, then=None, delay=0.0):
        self.data, self.pos = data, 0
        self.after, self.then, self.delay = after, then, delay
        self.threads = set()
        self.calls = 0

    def readable(self):
        return True

    def read(self, n=-1):
        self.threads.add(threading.get_ident())
        self.calls += 1
        if self.after is not None and self.pos >= self.after:
            if self.delay:
                time.sleep(self.delay)
            if isinstance(self.then, BaseException):
                raise self.then
            if self.then == "str":
                return "<page/>"
            if self.then == "big":
                return b" " * (n + 1)
        chunk = self.data[self.pos:self.pos + n]
        self.pos += len(chunk)
        return chunk

    def readinto(self, b):
        chunk = self.read(len(b))
        b[:len(chunk)] = chunk
        return len(chunk)


def titles(source):
    return [(p.attrs["n"], p.text) for p in vantelix.iter_elements(source, "page")]


EXPECTED = [(str(i), "t & %d \u00e9" % i) for i in range(PAGES)]


@pytest.mark.parametrize("make", [
    lambda tmp: Raw(BIG),
    lambda tmp: io.BufferedReader(Raw(BIG), 100_000),
    lambda tmp: io.BytesIO(BIG),
    lambda tmp: gzip.open(io.BytesIO(gzip.compress(BIG, 1))),
], ids=["raw", "buffered", "bytesio", "gzip"])
def test_long_io_streams_give_every_element(tmp_path, make):
    assert titles(make(tmp_path)) == EXPECTED


def test_only_io_file_objects_are_read_on_another_thread():
    me = threading.get_ident()
    plain, raw = Plain(BIG), Raw(BIG)
    assert titles(plain) == titles(raw) == EXPECTED
    assert plain.threads == {me}
    assert raw.threads - {me}, "an io file object's read() stayed on the iterating thread"
    short = Raw(b"<r><page n='0'/></r>")
    assert titles(short) == [("0", None)]
    assert short.threads == {me}


@pytest.mark.parametrize("then,error,match", [
    (OSError("disk on fire"), OSError, "disk on fire"),
    ("str", TypeError, "not bytes"),
    ("big", ValueError, "more than the"),
])
def test_read_failing_on_the_thread_comes_out_of_next(then, error, match):
    source = Raw(BIG, after=len(BIG) // 2, then=then)
    got = []
    with pytest.raises(error, match=match) as e:
        for page in vantelix.iter_elements(source, "page"):
            got.append((page.attrs["n"], page.text))
    if isinstance(then, BaseException):
        assert e.value is then
    assert 0 < len(got) < PAGES and got == EXPECTED[:len(got)]


def test_truncated_stream_read_ahead_fails_as_read_file(tmp_path):
    cut = BIG[:-100]
    path = tmp_path / "cut.xml"
    path.write_bytes(cut)
    with pytest.raises(ValueError) as whole:
        vantelix.read_file(str(path), "r")
    got = []
    with pytest.raises(ValueError) as streamed:
        for page in vantelix.iter_elements(gzip.open(io.BytesIO(gzip.compress(cut, 1))), "page"):
            got.append((page.attrs["n"], page.text))
    assert str(streamed.value) == str(whole.value)
    assert got == EXPECTED[:len(got)] and len(got) > PAGES - 10


@pytest.mark.parametrize("how", ["close", "del", "with"])
def test_stopping_while_reading_ahead_ends_the_reads(how):
    source = Raw(BIG, after=len(BIG) // 2, delay=0.02)
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


def test_exit_with_an_iterator_reading_ahead(child):
    code = """
    import io, time, vantelix
    class Slow(io.RawIOBase):
        def __init__(self):
            self.left = 10_000
        def readable(self):
            return True
        def read(self, n):
            if self.left < 9_700:
                time.sleep(0.005)
            self.left -= 1
            return b"<r>" if self.left == 9_999 else b"<page>" + b"x" * 4000 + b"</page>"
    it = vantelix.iter_elements(Slow(), "page")
    for _ in range(200):
        next(it)
    print("ok")
    """
    proc = child(code, timeout=60)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr


def test_two_threads_each_reading_ahead():
    data = gzip.compress(BIG, 1)
    results = []

    def run():
        results.append(titles(gzip.open(io.BytesIO(data))))

    threads = [threading.Thread(target=run) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [EXPECTED, EXPECTED]
