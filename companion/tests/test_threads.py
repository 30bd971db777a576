"""One Index, several threads: six threads mix every call for a fixed
number of operations, each on its own keys, and at quiescent points the
index is compared with what the threads did, searches against a brute
force of the live rows. The lock itself: a waiting writer holds back new
readers, a write inside one's own read is refused, and a forked child finds
the lock free."""

from __future__ import annotations

import os
import random
import sys
import threading
import time
from typing import Any

import numpy as np
import pytest

from orbisk_companion import Index
from orbisk_shard.locking import ReadWriteLock

from plain import same, score

THREADS = 6
ROUNDS = 4
STEPS = 30  # operations per thread per round
DIM = 6


def _row(key: str, version: int) -> np.ndarray:
    return np.random.default_rng([*map(int, key.split(".")), version]).standard_normal(DIM)


class Worker:
    """One thread's keys ("owner.i"), their rows and metadata, and the calls it makes."""

    def __init__(self, index: Index, owner: int, folder: Any) -> None:
        self.index, self.owner = index, owner
        self.rng = random.Random(owner)
        self.live: dict[str, tuple[np.ndarray, dict[str, Any]]] = {}
        self.made = 0
        self.path = os.path.join(folder, f"t{owner}.idx")

    def meta(self, key: str, version: int) -> dict[str, Any]:
        return {"owner": self.owner, "key": key, "version": version}

    def add(self) -> None:
        keys = [f"{self.owner}.{self.made + j}" for j in range(self.rng.randint(1, 12))]
        self.made += len(keys)
        rows = np.array([_row(k, 0) for k in keys])
        metas = [self.meta(k, 0) for k in keys]
        self.index.add(rows, keys=keys, metadata=metas)
        self.live.update(zip(keys, zip(rows, metas, strict=True), strict=True))

    def some(self) -> list[str]:
        return self.rng.sample(sorted(self.live), min(len(self.live), self.rng.randint(1, 4)))

    def remove(self) -> None:
        keys = self.some()
        self.index.remove(keys)
        for k in keys:
            del self.live[k]

    def update(self) -> None:
        keys = self.some()
        version = self.rng.randint(1, 10**6)
        rows = np.array([_row(k, version) for k in keys])
        metas = [self.meta(k, version) for k in keys]
        self.index.update(keys, rows, metadata=metas)
        self.live.update(zip(keys, zip(rows, metas, strict=True), strict=True))

    def refused(self) -> None:
        with pytest.raises((KeyError, ValueError)):
            if self.rng.random() < 0.5:
                self.index.remove([f"{self.owner}.-1"])
            else:
                self.index.add(np.zeros((2, DIM)), keys=[f"{self.owner}.-2"] * 2, metadata=[{"owner": 0}] * 2)

    def search(self) -> None:
        q = np.random.default_rng(self.rng.randrange(2**32)).standard_normal(DIM)
        keys, scores, metas = self.index.search(q, k=5, return_metadata=True)
        for key, s, m in zip(keys, scores, metas, strict=True):
            assert m["key"] == key  # the row's own metadata: keys and metadata from one state
            if m["owner"] == self.owner:  # rows of its own keys change only here
                assert same(s, score("euclidean", q.tolist(), self.live[key][0].tolist()))

    def search_own(self) -> None:
        Q = np.random.default_rng(self.rng.randrange(2**32)).standard_normal((3, DIM))
        filter: Any = {"owner": self.owner}
        if self.rng.random() < 0.5:
            filter = list(self.live)
        keys, scores = self.index.search_batch(Q, k=4, filter=filter)
        for q, row_keys, row_scores in zip(Q, keys, scores, strict=True):
            want = sorted((score("euclidean", q.tolist(), r.tolist()), k) for k, (r, _) in self.live.items())[:4]
            assert row_keys.tolist() == [k for _, k in want]
            assert row_scores.tolist() == [s for s, _ in want]
        if self.index.kind != "graph":
            found, _ = self.index.search_radius(Q[0], 3.0, filter={"owner": self.owner})
            assert set(found) == {
                k for k, (r, _) in self.live.items() if score("euclidean", Q[0].tolist(), r.tolist()) <= 3.0
            }

    def look(self) -> None:
        for key in self.some():
            assert key in self.index
            assert self.index.metadata(key) == self.live[key][1]
        assert len(self.index) >= len(self.live)

    def save(self) -> None:
        self.index.save(self.path)
        again = Index.load(self.path)
        assert len(again.keys) == len(again) == again.rows.shape[0]
        snap = self.index.snapshot()
        assert snap.rows.shape[0] == len(snap.keys) == len(snap.columns)

    def compact(self) -> None:
        self.index.compact()

    def step(self) -> None:
        calls = [
            self.add,
            self.search,
            self.search_own,
            self.look,
            self.refused,
            self.remove,
            self.update,
            self.compact,
        ]
        if self.rng.random() < 0.04:
            calls = [self.save]
        call = self.rng.choice(calls)
        if call in (self.remove, self.update) and not self.live:
            call = self.add
        call()


def _check(index: Index, workers: list[Worker]) -> None:
    """The index holds exactly the threads' live rows, and answers as a
    brute force of them."""
    live = {k: v for w in workers for k, v in w.live.items()}
    keys = index.keys
    assert sorted(keys) == sorted(live) and len(index) == len(live)
    rows = index.rows
    for i, key in enumerate(keys):
        assert np.array_equal(rows[i], live[key][0])
        assert index.metadata(key) == live[key][1]
    for q in np.random.default_rng(len(live)).standard_normal((3, DIM)):
        found, scores = index.search(q, k=7)
        for key, s in zip(found, scores, strict=True):
            assert same(s, score("euclidean", q.tolist(), live[key][0].tolist()))
        want = sorted((score("euclidean", q.tolist(), r.tolist()), k) for k, (r, _) in live.items())[:7]
        assert found.tolist() == [k for _, k in want]


@pytest.mark.parametrize("kind", ["flat", "sharded", "graph"])
def test_six_threads_mixing_every_call_leave_the_index_as_the_calls_made_it(kind, tmp_path):
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # many more interleavings of the threads
    # (a graph of fewer rows than its walk keeps answers exactly)
    options: dict[str, Any] = {"fields": ["owner"]} if kind == "graph" else {}
    index = Index(DIM, kind=kind, **options)
    workers = [Worker(index, t, tmp_path) for t in range(THREADS)]
    errors: list[BaseException] = []
    quiet = threading.Barrier(THREADS, action=lambda: _check(index, workers), timeout=30)

    def run(worker: Worker) -> None:
        try:
            for _ in range(ROUNDS):
                for _ in range(STEPS):
                    worker.step()
                quiet.wait()
        except threading.BrokenBarrierError:
            pass
        except BaseException as e:
            errors.append(e)
            quiet.abort()

    threads = [threading.Thread(target=run, args=(w,), daemon=True) for w in workers]
    try:
        for t in threads:
            t.start()
        deadline = time.monotonic() + 60
        for t in threads:
            t.join(timeout=max(deadline - time.monotonic(), 0))
    finally:
        sys.setswitchinterval(interval)
    assert not [t for t in threads if t.is_alive()], "a thread never returned (a lock kept?)"
    if errors:
        raise errors[0]
    assert not quiet.broken, "a check at a quiescent point failed"


def _started(target: Any) -> threading.Thread:
    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    return thread


def _until(condition: Any) -> None:
    deadline = time.monotonic() + 10
    while not condition():
        assert time.monotonic() < deadline
        time.sleep(0.001)


def test_a_waiting_writer_holds_back_the_readers_after_it():
    lock = ReadWriteLock()
    order: list[str] = []
    first = lock.acquire_read()
    writer = _started(lambda: (lock.acquire_write(), order.append("write"), lock.release()))
    _until(lambda: lock._waiting == 1)
    reader = _started(lambda: (lock.acquire_read(), order.append("read"), lock.release()))
    time.sleep(0.05)
    assert order == []  # the writer waits for the first reader, the second reader for the writer
    lock.release(first)
    writer.join(10)
    reader.join(10)
    assert order == ["write", "read"]


def test_a_thread_may_read_inside_its_own_write_but_not_write_inside_its_read():
    lock = ReadWriteLock()
    with lock.writing(), lock.reading(), lock.writing():
        pass
    with lock.reading(), pytest.raises(RuntimeError, match="inside its own read"):
        lock.acquire_write()
    with lock.writing():  # every hold was released
        pass


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork with threads running
@pytest.mark.parametrize("held", ["read", "write"])
def test_a_child_forked_while_another_thread_is_inside_a_call_can_change_the_index(held):
    index = Index(3)
    index.add(np.eye(3), keys=["a", "b", "c"])
    inside, leave = threading.Event(), threading.Event()

    def hold() -> None:
        with index._lock.reading() if held == "read" else index._lock.writing():
            inside.set()
            leave.wait(10)

    thread = _started(hold)
    inside.wait(10)
    pid = os.fork()
    if pid == 0:  # the child: only this thread runs
        code = 1
        try:
            index.add(np.ones((1, 3)), keys=["d"])
            index.remove(["a"])
            code = 0 if index.search([1.0, 1.0, 1.0], k=1)[0].tolist() == ["d"] else 2
        finally:
            os._exit(code)
    leave.set()
    thread.join(10)
    deadline = time.monotonic() + 30
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    if done[0] == 0:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        pytest.fail("the child hung on the lock its parent's thread held")
    assert os.waitstatus_to_exitcode(done[1]) == 0
    assert len(index) == 3  # the parent's index is its own
