"""Every Python allocation of a call fails in turn: the first, the second, and
so on, each once and each for good (with every later one), until the call
runs to its end. A failed call raises MemoryError and leaves the index as it
was; a call that survives a failure does exactly what it does unhindered; and
the next call works."""

import itertools

import pytest

import orbisk

_testcapi = pytest.importorskip("_testcapi", reason="needs CPython's _testcapi to make allocations fail")
try:
    import numpy as np
except ImportError:
    np = None

DIM = 3


def _fail_from(nth, once, f, *args):
    """f(*args) with the nth Python allocation from here failing, and every
    later one too unless `once`; (result, None) or (None, exception)."""
    arm, disarm = _testcapi.set_nomemory, _testcapi.remove_mem_hooks
    arm(nth - 1, nth if once else 0)
    try:
        result = f(*args)
    except BaseException as e:  # whatever it is, the hooks come off first
        disarm()
        return None, e
    disarm()
    return result, None


def test_the_hook_fails_exactly_the_allocation_asked_for():
    # A bytearray allocates its object, then its bytes.
    assert [type(_fail_from(n, True, bytearray, 100)[1]) for n in (1, 2)] == [MemoryError] * 2
    assert _fail_from(3, False, bytearray, 2) == (bytearray(2), None)


# ---- arguments of each kind, built afresh for every call ----------------------
# Fresh objects, so that what a conversion caches (a str's UTF-8 form, a
# buffer's description) is allocated inside the call every time.


class Seq:
    """A sequence whose items come from a generator."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        yield from self.items


def _numpy_sequence(items):
    if all(isinstance(x, float) for x in items):
        return np.array(items, dtype=np.float64)
    out = np.empty(len(items), dtype=object)  # names, pairs, lists of pairs
    for i, item in enumerate(items):
        out[i] = item
    return out


KINDS = {
    "list": list,
    "tuple": tuple,
    "iterator": Seq,
    "numpy": _numpy_sequence,
}
KIND_PARAMS = [
    pytest.param(k, marks=pytest.mark.skipif(np is None, reason="numpy is not installed")) if k == "numpy" else k
    for k in KINDS
]


def _point(i):
    return [((i * 7 + j * 3) % 11 - 5) / 4.0 + i / 1024.0 for j in range(DIM)]


def _text(i):
    return "".join(["cou", "leur-é", str(i % 2)])  # not ASCII: its UTF-8 form is allocated


def _meta(i, kind="list"):
    n = 10**12 + i % 3
    if kind == "numpy":
        n = np.int64(n)
    return [("c", _text(i)), ("n", n)]


def _vector(kind, i):
    return KINDS[kind](_point(i))


def _vectors(kind, first, count):
    rows = [_point(i) for i in range(first, first + count)]
    if kind == "numpy":
        return np.array(rows, dtype=np.float64)
    return KINDS[kind]([KINDS[kind](r) for r in rows])


def _pairs(kind, i):
    return KINDS[kind]([tuple(p) for p in _meta(i, kind)])


def _pair_lists(kind, first, count):
    return KINDS[kind]([_pairs(kind, i) for i in range(first, first + count)])


# ---- the indexes and everything they show -------------------------------------

QUERIES = [[0.0] * DIM, [1.5, -2.0, 0.25]]
FILTERS = [("c", _text(0)), ("c", _text(1)), ("n", 10**12), ("n", float(10**12 + 1))]
BASE = 40


def _flat():
    idx = orbisk.PyFlat(DIM)
    idx.create([_point(i) for i in range(BASE)])
    return idx


def _graph():
    # One layer and room for every node: searches see everything, and
    # nothing random is left. The integer attribute comes first, so that its
    # conversion (which allocates for a numpy scalar) fails before the text's.
    idx = orbisk.PyHNSW(DIM, layers=1, ef_search=64, metric="euclidean", schema=["n", "c"])
    idx.create([_point(i) for i in range(BASE)], [_meta(i) for i in range(BASE)])
    return idx


def _exact(x):
    """Floats by their bits, so that == means bit for bit."""
    if isinstance(x, float):
        return x.hex()
    if isinstance(x, (list, tuple)):
        return type(x)(_exact(v) for v in x)
    return x


def _view(idx):
    """Every stored vector (and, for a graph, every record) as searches see it."""
    seen = [idx.search(q, 100) for q in QUERIES]
    if isinstance(idx, orbisk.PyHNSW):
        seen += [idx.search(q, 100, f) for q in QUERIES for f in FILTERS]
    return _exact(seen)


def _next_call(idx, twin):
    """A plain insertion and searches, the same on both."""
    for i in (100, 101):
        args = (_point(i), _meta(i)) if isinstance(idx, orbisk.PyHNSW) else (_point(i),)
        idx.insert(*args)
        twin.insert(*args)
    assert _view(idx) == _view(twin)


# (name, index builder, method, arguments for a kind)
CALLS = [
    ("flat-insert", _flat, "insert", lambda k: (_vector(k, 10),)),
    ("flat-search", _flat, "search", lambda k: (_vector(k, 11), 100)),
    ("flat-create", _flat, "create", lambda k: (_vectors(k, 10, 3),)),
    ("graph-insert", _graph, "insert", lambda k: (_vector(k, 10),)),
    ("graph-insert-metadata", _graph, "insert", lambda k: (_vector(k, 10), _pairs(k, 10))),
    ("graph-search", _graph, "search", lambda k: (_vector(k, 11), 100)),
    ("graph-search-filter", _graph, "search", lambda k: (_vector(k, 11), 100, ("c", _text(1)))),
    ("graph-search-filter-number", _graph, "search", lambda k: (_vector(k, 11), 100, tuple(_meta(0, k)[1]))),
    ("graph-create", _graph, "create", lambda k: (_vectors(k, 10, 3),)),
    ("graph-create-metadata", _graph, "create", lambda k: (_vectors(k, 10, 3), _pair_lists(k, 10, 3))),
]


def _sweep(attempt):
    """Runs attempt(nth, once) for nth = 1, 2, ... in both modes until a call
    survives failing from nth on: nothing from there was allocated."""
    for nth in itertools.count(1):
        attempt(nth, True)
        if attempt(nth, False):
            return nth
        assert nth < 2000, "the call never ran to its end"


@pytest.mark.parametrize("kind", KIND_PARAMS)
@pytest.mark.parametrize("name,build,method,make_args", CALLS, ids=[c[0] for c in CALLS])
def test_every_allocation_of_a_method_may_fail(name, build, method, make_args, kind):
    def attempt(nth, once):
        idx, twin = build(), build()
        result, error = _fail_from(nth, once, getattr(idx, method), *make_args(kind))
        where = f"allocation {nth}, {'once' if once else 'for good'}"
        if error is not None:
            assert type(error) is MemoryError, f"{where}: {error!r}"
        else:
            assert _exact(result) == _exact(getattr(twin, method)(*make_args(kind))), where
        assert _view(idx) == _view(twin), where
        if error is not None:
            _next_call(idx, twin)
        return error is None

    _sweep(attempt)


# Calls refused whatever memory there is: (name, index builder, method,
# arguments for a kind).
REFUSED = [
    ("flat-insert-text", _flat, "insert", lambda k: (KINDS[k]([1.0, _text(0), 2.0]),)),
    ("flat-insert-short", _flat, "insert", lambda k: (KINDS[k]([1.0, 2.0]),)),
    ("flat-search-k", _flat, "search", lambda k: (_vector(k, 11), -1)),
    ("graph-insert-metadata-missing", _graph, "insert", lambda k: (_vector(k, 10), KINDS[k]([("c", 1.5)]))),
    ("graph-search-unknown-attribute", _graph, "search", lambda k: (_vector(k, 11), 5, ("x", _text(0)))),
    ("graph-create-row-text", _graph, "create", lambda k: (KINDS[k]([_point(10), [_text(1)] * DIM]),)),
]


# The interpreter reports the exceptions it could not make for want of memory.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("kind", KIND_PARAMS)
@pytest.mark.parametrize("name,build,method,make_args", REFUSED, ids=[c[0] for c in REFUSED])
def test_every_allocation_of_a_refused_call_may_fail(name, build, method, make_args, kind):
    # The refusal's own message is made of allocations too: each may fail,
    # giving MemoryError instead, never another error or a changed index.
    _, own = _fail_from(10**9, True, getattr(build(), method), *make_args(kind))
    assert own is not None and type(own) is not MemoryError
    own = (type(own), str(own))

    def attempt(nth, once):
        idx, twin = build(), build()
        _, error = _fail_from(nth, once, getattr(idx, method), *make_args(kind))
        where = f"allocation {nth}, {'once' if once else 'for good'}"
        assert error is not None, where
        assert type(error) is MemoryError or (type(error), str(error)) == own, f"{where}: {error!r}"
        assert _view(idx) == _view(twin), where
        _next_call(idx, twin)
        return type(error) is not MemoryError

    _sweep(attempt)


# (name, constructor, arguments for a kind)
CONSTRUCTORS = [
    ("flat", orbisk.PyFlat, lambda k: (DIM, "".join(["cos", "ine"]))),
    ("graph", orbisk.PyHNSW, lambda k: (DIM, 1, 16, 200, 64, "".join(["eucl", "idean"]), KINDS[k](["n", "c"]))),
]


@pytest.mark.parametrize("kind", KIND_PARAMS)
@pytest.mark.parametrize("name,cls,make_args", CONSTRUCTORS, ids=[c[0] for c in CONSTRUCTORS])
def test_every_allocation_of_a_constructor_may_fail(name, cls, make_args, kind):
    def attempt(nth, once):
        idx, error = _fail_from(nth, once, cls, *make_args(kind))
        if error is not None:
            assert type(error) is MemoryError, f"allocation {nth}: {error!r}"
            idx = cls(*make_args(kind))  # the next call works
        twin = cls(*make_args(kind))
        _next_call(idx, twin)
        return error is None

    _sweep(attempt)


# Run by a fresh interpreter: loads the module with Python allocations
# failing from the nth on (for good, nth = 1, 2, ... until one load runs to
# its end) or only the nth (once); then checks that the module it ends with
# works. Prints how many loads failed.
_IMPORT_SWEEP = r"""
import importlib.util, sys, _testcapi
once, first = sys.argv[1] == "once", int(sys.argv[2])
spec = importlib.util.find_spec("orbisk")
failures = 0
for nth in range(first, first + 5000):
    _testcapi.set_nomemory(nth - 1, nth if once else 0)
    try:
        module = importlib.util.module_from_spec(spec)
    except MemoryError:
        _testcapi.remove_mem_hooks()
        failures += 1
        if not once:
            continue
        module = importlib.util.module_from_spec(spec)
    except BaseException as e:
        _testcapi.remove_mem_hooks()
        sys.exit(f"allocation {nth}: {e!r}")
    _testcapi.remove_mem_hooks()
    break
idx = module.PyFlat(2)
idx.insert([3.0, 4.0])
assert idx.search([0.0, 0.0], 1) == [(0, 5.0)], idx.search([0.0, 0.0], 1)
assert module.__all__ == ["PyFlat", "PyHNSW"], module.__all__
print(failures)
"""


def _load(*args):
    import subprocess
    import sys

    done = subprocess.run(
        [sys.executable, "-c", _IMPORT_SWEEP, *map(str, args)], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, f"{args}: {done.stderr}"
    return int(done.stdout)


def test_every_allocation_of_the_import_may_fail():
    # Each failed load raises MemoryError and the next goes further (the
    # classes one load made serve the next); a lone failure anywhere leaves
    # a load that works, at once or when tried again.
    loads = _load("for-good", 1)
    assert loads > 0
    assert sum(_load("once", nth) for nth in range(1, loads + 2)) > 0
