"""A long create answers Ctrl-C: the handler's exception ends the call, the
vectors inserted before it stay, and the index goes on working."""

import signal
import time

import pytest

import orbisk


class Interrupts:
    """SIGALRM every `every` seconds, the handler raising KeyboardInterrupt
    at its `after`-th delivery, as Ctrl-C's default handler does. Only once:
    a later delivery, while pytest.raises is still handling the first (slow
    under the sanitizers), would escape the test."""

    def __init__(self, every=0.02, after=3):
        self.every, self.after, self.delivered = every, after, 0

    def handler(self, signum, frame):
        self.delivered += 1
        if self.delivered == self.after:
            raise KeyboardInterrupt

    def __enter__(self):
        self.old = signal.signal(signal.SIGALRM, self.handler)
        signal.setitimer(signal.ITIMER_REAL, self.every, self.every)
        return self

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, self.old)


def rows(n):
    return [[float(i), 0.0] for i in range(n)]


def conversion_seconds(data):
    """About how long converting `data` takes: the flat index converts a
    batch as the graph does and stores it at once."""
    start = time.perf_counter()
    orbisk.PyFlat(len(data[0])).create(data)
    return time.perf_counter() - start


def test_graph_create_stops_between_insertions():
    n = 200_000
    index = orbisk.PyHNSW(2, metric="euclidean", layers=1, ef_construction=50, ef_search=n)
    data = rows(n)
    # The first interrupt comes once the batch is converted (slow on a busy
    # machine or under the sanitizers), while the insertions go on.
    with Interrupts(every=max(0.02, conversion_seconds(data))), pytest.raises(KeyboardInterrupt):
        index.create(data)
    kept = sorted(v[0] for _, v in index.search([0.0, 0.0], k=n))
    assert 0 < len(kept) < n
    assert kept == [float(i) for i in range(len(kept))]
    index.insert([-1.0, 0.0])
    assert index.search([-1.0, 0.0]) == [(0.0, [-1.0, 0.0])]


@pytest.mark.parametrize("with_metadata", [False, True])
def test_graph_batch_with_and_without_metadata_answers(with_metadata):
    n = 200_000
    index = orbisk.PyHNSW(2, metric="euclidean", layers=1, ef_construction=50, schema=["i"])
    data = rows(n)
    metadata = [[("i", i)] for i in range(n)] if with_metadata else None
    with Interrupts(), pytest.raises(KeyboardInterrupt):
        index.create(data, metadata)
    index.insert([-1.0, 0.0], [("i", -1)])
    assert index.search([-1.0, 0.0], filter=("i", -1)) == [(0.0, [-1.0, 0.0])]


def test_flat_create_stops_and_keeps_a_prefix():
    n = 3_000_000
    index = orbisk.PyFlat(1)
    data = [[0.0]] * n
    with Interrupts(every=0.005, after=2), pytest.raises(KeyboardInterrupt):
        index.create(data)
    # The next id tells how many rows stayed; all of them are the batch's.
    index.insert([1.0])
    [(kept, distance)] = index.search([1.0])
    assert distance == 0.0 and kept < n
    if kept:
        assert index.search([0.0], k=kept) == [(i, 0.0) for i in range(kept)]


class Raises:
    """A metadata or filter value whose conversion hooks raise `exc`."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    def __float__(self):
        raise self.exc


@pytest.mark.parametrize(
    "exc,want",
    [
        (TypeError("no"), ValueError),
        (OverflowError("big"), ValueError),
        (KeyboardInterrupt(), KeyboardInterrupt),
        (MemoryError(), MemoryError),
    ],
)
def test_value_hooks_interrupt_but_do_not_decide_the_kind(exc, want):
    # A hook's ordinary error only says the value is not of that kind; an
    # interrupt or a lack of memory ends the call as it is.
    index = orbisk.PyHNSW(1, metric="euclidean", schema=["n"])
    index.insert([0.0], [("n", 0)])
    with pytest.raises(want):
        index.insert([1.0], [("n", Raises(exc))])
    with pytest.raises(want):
        index.create([[1.0]], [[("n", Raises(exc))]])
    with pytest.raises(want):
        index.search([0.0], filter=("n", Raises(exc)))
    assert index.search([1.0], k=5) == [(1.0, [0.0])]
