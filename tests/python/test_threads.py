"""Overlapping calls from several threads: the borrow word refuses a writer
while searches run and lets searches run side by side."""

import sys
import sysconfig
import threading

import pytest

import orbisk

# Importing orbisk switches the lock back on unless PYTHON_GIL=0 forbids it.
FREE_THREADED = (
    bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and not getattr(sys, "_is_gil_enabled", lambda: True)()
)


class Gate:
    """A float whose conversion parks the converting thread until released,
    so a call is caught in the middle of reading its arguments."""

    def __init__(self):
        self.entered, self.release = threading.Event(), threading.Event()

    def __float__(self):
        self.entered.set()
        assert self.release.wait(10)
        return 0.0


@pytest.mark.parametrize("make", [lambda: orbisk.PyFlat(2), lambda: orbisk.PyHNSW(2, metric="euclidean")])
def test_writer_refused_while_a_search_runs_in_another_thread(make):
    index = make()
    index.insert([1.0, 1.0])
    gate, results = Gate(), {}
    reader = threading.Thread(target=lambda: results.setdefault("search", index.search([gate, 0.0])))
    reader.start()
    assert gate.entered.wait(10)
    try:
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            index.insert([2.0, 2.0])
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            index.create([[2.0, 2.0]])
        assert len(index.search([1.0, 1.0], 5)) == 1  # readers share
    finally:
        gate.release.set()
        reader.join(10)
    assert len(results["search"]) == 1
    index.insert([2.0, 2.0])  # the borrow was returned


def test_search_refused_while_a_writer_runs_in_another_thread():
    index = orbisk.PyFlat(2)
    gate = Gate()
    writer = threading.Thread(target=lambda: index.insert([gate, 0.0]))
    writer.start()
    assert gate.entered.wait(10)
    try:
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            index.search([0.0, 0.0])
    finally:
        gate.release.set()
        writer.join(10)
    assert index.search([0.0, 0.0]) == [(0, 0.0)]


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded CPython run with PYTHON_GIL=0; none here")
def test_searches_and_writers_truly_in_parallel():
    index = orbisk.PyFlat(8)
    index.create([[float(i)] * 8 for i in range(200)])
    refused, errors = [], []

    def search():
        try:
            for _ in range(2000):
                assert len(index.search([0.0] * 8, 3)) == 3
        except RuntimeError as e:
            refused.append(str(e))
        except BaseException as e:  # anything else is a fault
            errors.append(e)

    def write():
        for _ in range(2000):
            try:
                index.insert([1.0] * 8)
            except RuntimeError as e:
                refused.append(str(e))

    threads = [threading.Thread(target=search) for _ in range(3)] + [threading.Thread(target=write)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert set(refused) <= {"Already borrowed", "Already mutably borrowed"}
