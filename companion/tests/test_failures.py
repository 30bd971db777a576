"""A failed change changes nothing. Every Python allocation of add, update,
remove and compact fails in turn (numpy's array objects and the records'
lists and dicts among them) and the index must be as it was, or as the
change made it when the failure was survived; a Ctrl-C arriving at each line
in turn leaves the change whole, undone, or (an add stopped between pieces)
its first rows with their keys and metadata; and an add meeting a cap on
the address space raises MemoryError with the index as it was."""

from __future__ import annotations

import itertools
import json
import os
import signal
import subprocess
import sys
import textwrap
from collections.abc import Callable
from typing import Any

import numpy as np
import pytest
from records import view

import orbisk_companion
from orbisk_companion import Index, _engines, index as index_module

_testcapi = pytest.importorskip("_testcapi", reason="needs CPython's _testcapi to make allocations fail")
# Each attempt runs in a forked child; the engine's pool threads do not touch the index.
pytestmark = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")

DIM = 3
QUERIES = np.random.default_rng(1).standard_normal((2, DIM))


# Keys of each form: "int", "str", and "object" (tuples); "lazy" leaves the
# map of keys to rows unbuilt, as after a load, so that the change builds it.
KEYS = {"int": lambda i: 10 + i, "str": lambda i: f"k{i}", "object": lambda i: ("k", i)}


def _build(kind: str, key_form: str) -> Index:
    options: dict[str, Any] = {"fields": ["g"], "layers": 1} if kind == "graph" else {}
    index = Index(DIM, kind=kind, **options)
    form = key_form.removesuffix("-lazy")
    keys = [KEYS[form](i) for i in range(10)]
    meta = [{"g": i % 3, "s": f"w{i % 4}", "o": [i]} for i in range(10)]
    index.add(np.random.default_rng(0).standard_normal((10, DIM)), keys=keys, metadata=meta)
    if kind != "graph":
        index.remove([keys[0]])
    if key_form.endswith("-lazy"):
        index._row_of = None
    return index


def _new(index: Index, count: int, first: int = 100) -> tuple[np.ndarray, list[Any]]:
    rows = np.random.default_rng(first).standard_normal((count, DIM))
    keys: list[Any] = [KEYS[index._keys.form](first + j) for j in range(count)]
    return rows, keys


# Each change is prepared (its arguments made) before it runs, so that only
# the change's own allocations fail.
Change = Callable[[Index], Callable[[], None]]
META = [{"g": 7, "s": "fresh", "n": 1.5}, {"g": 1, "s": "w1"}, {"g": 2}]


def _add(index: Index) -> Callable[[], None]:
    rows, keys = _new(index, 3)
    return lambda: index.add(rows, keys=keys, metadata=META)


def _add_default_keys(index: Index) -> Callable[[], None]:
    rows = _new(index, 3)[0]
    return lambda: index.add(rows, metadata=[{"g": 1}] * 3)


def _update(index: Index) -> Callable[[], None]:
    keys, rows = index.keys[1:3], _new(index, 2, 200)[0]
    meta = [{"g": 5, "s": "new"}, {"other": None}]
    return lambda: index.update(keys, rows, metadata=meta)


def _remove(index: Index) -> Callable[[], None]:
    keys = index.keys[2:3]
    return lambda: index.remove(keys)


def _remove_compacting(index: Index) -> Callable[[], None]:
    keys = index.keys[2:4]  # three tombstones of ten: past a quarter
    return lambda: index.remove(keys)


def _compact(index: Index) -> Callable[[], None]:
    return index.compact


# The sharded kind is left out: its shards take their parts one after the
# other, and their own failures are ShardedFlat's to report.
CHANGES: list[tuple[str, Change, tuple[str, ...]]] = [
    ("add", _add, ("flat", "graph")),
    ("add-default-keys", _add_default_keys, ("flat", "graph")),
    ("update", _update, ("flat",)),
    ("remove", _remove, ("flat",)),
    ("remove-compacting", _remove_compacting, ("flat",)),
    ("compact", _compact, ("flat",)),
]
CASES = [
    pytest.param(change, kind, keys, id=f"{name}-{kind}-{keys}-keys")
    for name, change, kinds in CHANGES
    for kind in kinds
    for keys in ("int", "str", "object", *(("int-lazy", "str-lazy") if name.startswith(("add", "remove")) else ()))
]


def _failing(nth: int, change: Change, index: Index) -> BaseException | None:
    """The change with the nth Python allocation from its start failing;
    the exception, or None."""
    run = change(index)
    _testcapi.set_nomemory(nth - 1, nth)
    try:
        run()
    except BaseException as e:
        _testcapi.remove_mem_hooks()
        return e
    _testcapi.remove_mem_hooks()
    return None


def _outcomes(change: Change, kind: str, key_form: str) -> tuple[list[Any], list[Any], list[Any]]:
    """What the change may make, what a failure may leave, and what a
    stopped change may leave besides. Made: the change, and for a removal
    that compacts the removal alone (a compaction that fails for want of
    memory waits for the next one). Left: the index as it was, and for an
    update the new rows the engine took as tombstones. Stopped: an add's
    first rows (Ctrl-C stops an add between pieces; a graph keeps the rows
    it linked before a failure)."""
    done = _build(kind, key_form)
    change(done)()
    made = [view(done, QUERIES)]
    left = [view(_build(kind, key_form), QUERIES)]
    stopped = []
    if change is _remove_compacting:
        index = _build(kind, key_form)
        index._compact_if_due = lambda: None  # type: ignore[method-assign]
        change(index)()
        made.append(view(index, QUERIES))
    if change is _update:
        index = _build(kind, key_form)
        keys = [KEYS[index._keys.form](900 + j) for j in range(2)]
        index.add(_new(index, 2, 200)[0], keys=keys, metadata=[{"g": 5, "s": "new"}, {"other": None}])
        index.remove(keys)
        left.append(view(index, QUERIES))
    if change in (_add, _add_default_keys):
        for kept in (1, 2):
            index = _build(kind, key_form)
            rows, keys = _new(index, 3)
            meta = META if change is _add else [{"g": 1}] * 3
            index.add(rows[:kept], keys=keys[:kept] if change is _add else None, metadata=meta[:kept])
            stopped.append(view(index, QUERIES))
    return made, left, stopped


def _isolated(attempt: Callable[[int], bool], nth: int) -> bool:
    """attempt(nth) in a child process, so that an interpreter that a failed
    allocation has damaged (CPython and numpy each have paths that free
    memory twice then) damages no later attempt: its result, or its error
    raised here."""
    reading, writing = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(reading)
        try:
            message = "yes" if attempt(nth) else "no"
        except BaseException as e:
            message = f"{e!r}"
        os.write(writing, message.encode())
        os._exit(0)
    os.close(writing)
    with os.fdopen(reading) as f:
        message = f.read()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, f"allocation {nth}: the child crashed ({status})"
    if message not in ("yes", "no"):
        raise AssertionError(message)
    return message == "yes"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("change,kind,key_form", CASES)
def test_every_allocation_of_a_change_may_fail_and_then_nothing_changed(change, kind, key_form):
    made, left, stopped = _outcomes(change, kind, key_form)
    if kind == "graph":
        left += stopped

    def attempt(nth: int) -> bool:
        index = _build(kind, key_form)
        error = _failing(nth, change, index)
        if error is None:
            assert view(index, QUERIES) in made, f"allocation {nth}: survived"
            return True
        # numpy raises SystemError for a few of its allocations that fail
        assert isinstance(error, (MemoryError, SystemError)), f"allocation {nth}: {error!r}"
        state = view(index, QUERIES)
        assert state in left, f"allocation {nth}: {error!r}"
        if state == left[0]:
            change(index)()  # and the index takes the change again
            assert view(index, QUERIES) in made, f"allocation {nth}, then again"
        return False

    survived = 0
    for nth in itertools.count(1):
        # Past the change's last allocation every attempt survives.
        survived = survived + 1 if _isolated(attempt, nth) else 0
        if survived == 50:
            break
        assert nth < 20_000, "the change never ran to its end"


@pytest.fixture
def small_pieces(monkeypatch: pytest.MonkeyPatch) -> None:
    """A flat add in pieces of one row, keys entered two at a time."""
    monkeypatch.setattr(_engines, "_FLAT_CHUNK_VALUES", DIM)
    monkeypatch.setattr(index_module, "_PIECE", 2)


def _ctrl_c_at(line: int, change: Change, index: Index) -> bool:
    """change(index) with SIGINT delivered at the `line`th line the
    companion runs, as Python would deliver it there (to the handler in
    place then: a KeyboardInterrupt, or a note to raise it later). Whether
    the signal came."""
    seen = 0
    package = os.path.dirname(orbisk_companion.__file__)

    def trace(frame: Any, event: str, arg: Any) -> Any:
        nonlocal seen
        if not frame.f_code.co_filename.startswith(package):
            return None
        if event == "line":
            seen += 1
            if seen == line:
                sys.settrace(None)
                signal.getsignal(signal.SIGINT)(signal.SIGINT, frame)
        return trace

    run = change(index)
    sys.settrace(trace)
    try:
        run()
    except KeyboardInterrupt:
        pass
    finally:
        sys.settrace(None)
    return seen >= line


@pytest.mark.usefixtures("small_pieces")
@pytest.mark.parametrize("change,kind,key_form", CASES)
def test_ctrl_c_at_any_line_leaves_a_change_whole_undone_or_stopped_between_pieces(change, kind, key_form):
    made, left, stopped = _outcomes(change, kind, key_form)
    outcomes = made + left[:1] + stopped
    for line in itertools.count(1):
        index = _build(kind, key_form)
        came = _ctrl_c_at(line, change, index)
        assert view(index, QUERIES) in outcomes, f"Ctrl-C at line {line}"
        if not came:
            break


CAPPED = textwrap.dedent(
    """
    import json, resource, sys
    import numpy as np
    from orbisk_companion import Index

    n, more = 100_000, 300_000
    rng = np.random.default_rng(0)
    index = Index(8)
    index.add(rng.standard_normal((n, 8)), metadata=[{"g": i % 7, "s": f"s{i}"} for i in range(n)])
    rows = rng.standard_normal((more, 8))
    meta = [{"g": i % 5, "s": f"t{i}", "x": [i]} for i in range(more)]
    probe = rng.standard_normal((3, 8))

    def state():
        keys, scores = index.search_batch(probe, 5, filter={"g": 3})
        return [len(index), len(index.native), index.keys[-3:], keys.tolist(), scores.tobytes().hex(),
                index.metadata(n - 1)]

    before = state()
    with open("/proc/self/status") as f:
        size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    raised = []
    for room in map(int, sys.argv[1:]):
        resource.setrlimit(resource.RLIMIT_AS, (size + (room << 20), resource.RLIM_INFINITY))
        try:
            index.add(rows, metadata=meta)
            raised.append("nothing")
            before = state()  # a larger room may fit the add: the index then holds it
        except MemoryError:
            raised.append("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        if raised[-1] != "nothing":
            assert state() == before, room
    print(json.dumps(raised))
    """
)


@pytest.mark.skipif(
    not sys.platform.startswith("linux") or bool(os.environ.get("ORBISK_SANITIZED")),
    reason="an address-space cap needs Linux, and the sanitizers reserve more address space than any cap allows",
)
def test_an_add_that_meets_a_cap_on_memory_raises_memory_error_and_changes_nothing():
    rooms = ["4", "24", "64", "128", "192", "240"]
    done = subprocess.run(
        [sys.executable, "-c", CAPPED, *rooms], capture_output=True, text=True, timeout=600, env=os.environ.copy()
    )
    assert done.returncode == 0, done.stderr
    raised = json.loads(done.stdout)
    assert raised.count("MemoryError") >= 4, raised
