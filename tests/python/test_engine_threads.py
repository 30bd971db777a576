"""orbisk_engine.FlatIndex shared between threads: searches run together, a
change waits for them and is never refused, nobody sees half a change; a
child forked while a thread searches has an index it can change; a waiting
call answers Ctrl-C."""

import _thread
import ctypes
import os
import signal
import threading
import time
import warnings

import numpy as np
import pytest
from shared import float_bits

import orbisk
import orbisk_engine

DIM = 8
THREADS = 6
ROUNDS = 3
CALLS = 60  # each thread's calls a round
BASE = 20_000  # rows to begin with: searches long enough to overlap the changes


def _tagged(rng, tags):
    """Rows whose first value is a tag no other row has."""
    rows = rng.standard_normal((len(tags), DIM))
    rows[:, 0] = tags
    return rows


class _Worker:
    """One thread's calls of a round, from its own generator: what it added
    and removed is counted; any error but the ones a racing id may meet is
    kept for the test to raise."""

    def __init__(self, ix, number, rng):
        self.ix, self.number, self.rng = ix, number, rng
        self.added, self.removed, self.errors, self.seq = [], 0, [], 0

    def add(self):
        n = int(self.rng.integers(1, 4))
        tags = [self.number * 1e6 + self.seq + i for i in range(n)]
        self.seq += n
        self.ix.add(_tagged(self.rng, tags))
        self.added += tags

    def remove(self):
        # Ids shift when another thread compacts: a racing id may be gone or
        # removed already. The index refuses it and changes nothing.
        size = len(self.ix)
        if size:
            try:
                self.ix.remove(np.array([int(self.rng.integers(size))]))
                self.removed += 1
            except (IndexError, ValueError):
                pass

    def search(self):
        queries = self.rng.standard_normal((int(self.rng.integers(1, 9)), DIM))
        threads = [1, 2, None][int(self.rng.integers(3))]
        ids, distances = (np.asarray(a) for a in self.ix.search(queries, 7, threads=threads))
        assert (np.diff(distances, axis=1) >= 0).all() and (ids >= 0).all()
        offsets, _, within = (np.asarray(a) for a in self.ix.search_radius(queries[:1], 1.5, threads=threads))
        assert offsets[-1] == len(within) and (within <= 1.5).all()

    def masked_search(self):
        # A mask of the wrong length (longer than the rows will ever be) is
        # refused inside the gate: the gate must be let go on that path too.
        try:
            self.ix.search(np.zeros((1, DIM)), 3, mask=np.ones(100_000, np.bool_))
            raise AssertionError("a mask of the wrong length was taken")
        except ValueError as e:
            assert "one entry per row" in str(e)

    def look(self):
        rows = np.asarray(self.ix.rows)
        assert rows.shape[1] == DIM
        try:
            self.ix.is_removed(int(self.rng.integers(max(1, len(rows)))))
        except IndexError:  # a compaction of another thread came first
            pass
        try:
            parts = self.ix.parts()
            assert len(np.asarray(parts["rows"])) == len(np.asarray(parts["scales"]))
        except ValueError as e:  # removed rows not compacted yet
            assert "compact" in str(e)

    def run(self, start):
        start.wait()
        calls = [self.add] * 3 + [self.remove] * 2 + [self.search] * 3 + [self.masked_search, self.look]
        calls += [lambda: self.ix.reserve(int(self.rng.integers(50))), self.ix.compact]
        try:
            for _ in range(CALLS):
                calls[int(self.rng.integers(len(calls)))]()
        except BaseException as e:  # anything else, RuntimeError above all, is a fault
            self.errors.append(e)


def _check_quiescent(ix, metric, added, removed, rng):
    """The live rows are the rows added less as many as were removed, each
    once; every search is PyFlat's over them, bit for bit."""
    rows = np.asarray(ix.rows).copy()
    live = [i for i in range(len(ix)) if not ix.is_removed(i)]
    tags = rows[live, 0]
    assert len(set(tags)) == len(live) == len(added) - removed
    assert set(tags) <= set(added)
    queries = np.vstack([rng.standard_normal((3, DIM)), rows[live[:2]]])
    ids, distances = (np.asarray(a) for a in ix.search(queries, 5))
    reference = orbisk.PyFlat(DIM, metric)
    reference.create(rows[live].tolist())
    for i, q in enumerate(queries):
        want = [(live[j], float_bits(d)) for j, d in reference.search(q.tolist(), 5)]
        assert [(int(a), float_bits(b)) for a, b in zip(ids[i], distances[i], strict=True)] == want


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "inner_product"])
def test_six_threads_mixing_every_call(metric):
    ix = orbisk_engine.FlatIndex(DIM, metric)
    seed = np.random.default_rng(5)
    added, removed = [-1.0 - i for i in range(BASE)], 0
    ix.add(_tagged(seed, added))
    for round_ in range(ROUNDS):
        workers = [_Worker(ix, round_ * THREADS + t + 1, np.random.default_rng([round_, t])) for t in range(THREADS)]
        start = threading.Barrier(THREADS)
        threads = [threading.Thread(target=w.run, args=(start,), daemon=True) for w in workers]
        for t in threads:
            t.start()
        deadline = time.monotonic() + 60
        for t in threads:
            t.join(max(0.0, deadline - time.monotonic()))
        assert not any(t.is_alive() for t in threads), "a call never came back"
        for w in workers:
            if w.errors:
                raise w.errors[0]
            added += w.added
            removed += w.removed
        _check_quiescent(ix, metric, added, removed, seed)


def test_searches_of_several_threads_at_once_give_the_same_bits():
    rng = np.random.default_rng(8)
    ix = orbisk_engine.FlatIndex(DIM, "cosine")
    ix.add(rng.standard_normal((20_000, DIM)))
    queries = rng.standard_normal((30, DIM))
    want = [bytes(a) for a in ix.search(queries, 10, threads=1)]
    got, start = [], threading.Barrier(4)

    def search(threads):
        start.wait()
        got.extend([bytes(a) for a in ix.search(queries, 10, threads=threads)] for _ in range(5))

    workers = [threading.Thread(target=search, args=(t,)) for t in (1, 2, None, 3)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert got == [want] * 20


def _long_search(seconds=1.5):
    """An index and queries that take it at least about `seconds` on one
    thread, on this machine as it is now (a sanitized build is many times
    slower): timed by the fastest of three probes, which a busy moment
    cannot make look slower than the machine is."""
    rng = np.random.default_rng(3)
    ix = orbisk_engine.FlatIndex(DIM)
    ix.add(rng.standard_normal((200_000, DIM)))
    probe = rng.standard_normal((50, DIM))
    each = []
    for _ in range(3):
        start = time.perf_counter()
        ix.search(probe, 10, threads=1)
        each.append((time.perf_counter() - start) / len(probe))
    return ix, rng.standard_normal((int(seconds / min(each)) + 1, DIM))


def _busy():
    """An index and a thread inside a search of it for a second or more."""
    ix, queries = _long_search()
    started = threading.Event()

    def search():
        started.set()
        ix.search(queries, 10, threads=1)

    searcher = threading.Thread(target=search)
    searcher.start()
    assert started.wait(10)
    time.sleep(0.2)  # inside the search by now
    return ix, searcher


def _end_child(code):
    """Ends a forked child at once. A coverage run's child ends through the C
    library's exit instead, which writes the child's counts (os._exit
    skips it)."""
    if os.environ.get("ORBISK_COVERAGE"):
        ctypes.CDLL(None).exit(code)
    os._exit(code)


def _exit_code(pid, seconds=30):
    """The child's exit code, or None when it has not ended in time (killed)."""
    deadline = time.monotonic() + seconds
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.05)
    if done[0] == 0:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        return None
    return os.waitstatus_to_exitcode(done[1])


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_child_forked_while_a_thread_searches_can_change_its_index():
    ix, searcher = _busy()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads: the point here
        pid = os.fork()
    if pid == 0:
        code = 2
        try:
            ix.add(np.ones((3, DIM)))
            ix.remove(np.arange(5))
            ix.compact()
            ids, _ = ix.search(np.ones((1, DIM)), 3)
            code = 0 if len(ix) == 199_998 and sorted(np.asarray(ids)[0]) == [199_995, 199_996, 199_997] else 1
        finally:
            _end_child(code)
    searching = searcher.is_alive()
    code = _exit_code(pid)
    searcher.join()
    assert searching, "the search ended before the fork"
    assert code == 0, "the child's index waited for a search its parent ran" if code is None else code


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_child_forked_inside_its_own_search_is_still_in_it():
    # Forked from a signal handler in the middle of a search: the child's
    # thread is still inside that search. Its own change is refused; another
    # thread's waits for the search to end.
    ix, queries = _long_search()
    children = []

    def handler(signum, frame):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            pid = os.fork()
        if pid:
            children.append(pid)
            return
        code = 2
        try:
            ids, _ = ix.search(queries[:1], 1)  # joins the search it is in
            with pytest.raises(RuntimeError, match="this thread is searching the index already"):
                ix.add(np.zeros((1, DIM)))
            other = threading.Thread(target=ix.add, args=(np.zeros((1, DIM)),), daemon=True)
            other.start()
            other.join(0.5)
            code = 0 if other.is_alive() and len(ix) == 200_000 and np.asarray(ids).shape == (1, 1) else 1
        finally:
            _end_child(code)

    previous = signal.signal(signal.SIGUSR1, handler)
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGUSR1))
    try:
        timer.start()
        ix.search(queries, 10, threads=1)
    finally:
        timer.join()
        signal.signal(signal.SIGUSR1, previous)
    (pid,) = children
    assert _exit_code(pid) == 0


def _stopped_by_ctrl_c(call, late):
    """call() with a Ctrl-C 0.3 s in raises KeyboardInterrupt within a second
    of it; `late` says what ended first when it returned."""
    timer = threading.Timer(0.3, _thread.interrupt_main)
    start, returned = time.monotonic(), False
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
            returned = True
            time.sleep(5)
        assert not returned, late
        assert time.monotonic() - start < 1.3
    finally:
        timer.join()


def test_ctrl_c_ends_a_change_waiting_for_a_search():
    ix, searcher = _busy()
    try:
        _stopped_by_ctrl_c(lambda: ix.add(np.zeros((1, DIM))), "the add did not wait: the search ended first")
    finally:
        searcher.join()
    assert len(ix) == 200_000
    # The interrupted change left no place in the queue: a search and a change pass.
    after = threading.Thread(target=lambda: (ix.search(np.zeros((1, DIM)), 1), ix.add(np.zeros((1, DIM)))), daemon=True)
    after.start()
    after.join(10)
    assert not after.is_alive() and len(ix) == 200_001, "the gate stayed shut after an interrupted wait"


def test_a_signal_handler_cannot_change_the_index_its_thread_searches():
    # The handler's add would wait for the search it interrupted: refused.
    ix, queries = _long_search()
    seen = []

    def handler(signum, frame):
        try:
            ix.add(np.zeros((1, DIM)))
        except RuntimeError as e:
            seen.append(str(e))
        seen.append(np.asarray(ix.search(queries[:1], 1)[0]).shape)  # a search joins its own thread's

    previous = signal.signal(signal.SIGUSR1, handler)
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGUSR1))
    try:
        timer.start()
        ix.search(queries, 10, threads=1)
    finally:
        timer.join()
        signal.signal(signal.SIGUSR1, previous)
    assert seen == ["FlatIndex.add: this thread is searching the index already", (1, 1)]
    ix.add(np.zeros((1, DIM)))
    assert len(ix) == 200_001


@pytest.mark.parametrize("storage", ["float64", "float32"])
@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_adds_on_any_number_of_threads_give_the_bits_of_rows_added_one_block_at_a_time(metric, storage):
    x = np.random.default_rng(6).standard_normal((50_003, DIM)).astype(np.float32)
    reference = orbisk_engine.FlatIndex(DIM, metric, storage=storage)
    for first in range(0, len(x), 15):  # fewer rows than a block of codes: each row's code alone
        reference.add(x[first : first + 15])
    want = [np.asarray(a).tobytes() for a in reference.parts().values()]
    for threads in (1, 2, 3, None):
        ix = orbisk_engine.FlatIndex(DIM, metric, storage=storage)
        ix.add(x[:5])
        ix.add(x[5:], threads=threads)
        assert [np.asarray(a).tobytes() for a in ix.parts().values()] == want, threads


def test_ctrl_c_stops_a_long_add_within_a_second_and_leaves_the_index_as_it_was():
    rng = np.random.default_rng(9)
    ix = orbisk_engine.FlatIndex(64, "cosine", storage="float32")
    ix.add(rng.standard_normal((1_007, 64)).astype(np.float32))  # an open block the add closes
    before = [np.asarray(a).tobytes() for a in ix.parts().values()]
    probe = rng.standard_normal((20_000, 64)).astype(np.float32)
    each = []
    for _ in range(3):  # the fastest probe: a busy moment cannot shorten the add below
        start = time.perf_counter()
        orbisk_engine.FlatIndex(64, "cosine", storage="float32").add(probe, threads=1)
        each.append((time.perf_counter() - start) / len(probe))
    rows = np.resize(probe, (int(1.5 / min(each)), 64))  # 1.5 s on one thread
    _stopped_by_ctrl_c(lambda: ix.add(rows, threads=2), "the add ended before the interrupt")
    assert len(ix) == 1_007 and [np.asarray(a).tobytes() for a in ix.parts().values()] == before
