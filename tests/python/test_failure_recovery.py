"""Every failure of every method leaves the index free and whole: after the
failed call, an insertion and searches on the same index work, and the index
holds exactly what that failure keeps (nothing new, or the vectors of a batch
before the failing one), compared with a twin given only that."""

import pytest

import orbisk

try:
    import numpy as np
except ImportError:
    np = None

ROWS = [[0.0, 0.0], [3.0, 4.0], [-1.0, 0.5]]
META = [[("c", "red"), ("n", 1)], [("c", "blue"), ("n", 2)], [("c", "red"), ("n", 3)]]
A, B, C = [0.5, -1.25], [2.0, 2.5], [-3.0, 1.75]
META_A = [("c", "blue"), ("n", 2)]
QUERIES = [[0.3, 0.7], [-2.1, 1.3]]
FILTERS = [("c", "red"), ("c", "blue"), ("n", 2)]
PREFIX = "argument '{}': "


def _graph(rows=ROWS, meta=META, **kw):
    # One layer and room for every node: every search sees every node it can
    # reach, and nothing random is left, so a twin is built identically.
    def build():
        params = {"layers": 1, "ef_search": 64, "metric": "euclidean", **kw}
        idx = orbisk.PyHNSW(2, **params)
        for i, row in enumerate(rows):
            idx.insert(row, meta[i] if meta else None)
        return idx

    return build


def _flat(rows=ROWS):
    def build():
        idx = orbisk.PyFlat(2)
        for row in rows:
            idx.insert(row)
        return idx

    return build


# name: (builder, filters seen through, arguments of the follow-up insertion,
# its error; None when it works)
KINDS = {
    "flat": (_flat(), [], (A,), None),
    "flat-empty": (_flat([]), [], (A,), None),
    "graph": (_graph(schema=["c", "n"]), FILTERS, (A, META_A), None),
    "graph-empty": (_graph([], schema=["c", "n"]), FILTERS, (A, META_A), None),
    "graph-no-schema": (_graph(meta=None), [], (A,), None),
    "graph-empty-schema": (_graph(meta=None, schema=[]), [], (A,), None),
    # Only node 0 links: every later insertion fails, keeping a vector that
    # no search reaches.
    "graph-ef0": (_graph(ROWS[:1], None, ef_construction=0), [], (A,), "Insert error: InvalidEF"),
    "graph-ef0-empty": (_graph([], None, ef_construction=0), [], (A,), "Insert error: InvalidEF"),
    # Searches of these fail for good; insertions work.
    "graph-layers0": (_graph(meta=None, layers=0), [], (A,), None),
    "graph-ef-search0": (_graph(meta=None, ef_search=0), [], (A,), None),
}


def _view(idx, filters):
    """What searches show: every reachable vector, filtered or not, or the
    error a search of this index always raises."""
    try:
        seen = [idx.search(q, 100) for q in QUERIES]
        seen += [idx.search(q, 100, f) for q in QUERIES for f in filters]
    except ValueError as e:
        return str(e)
    return [
        [(d.hex(), v) for d, v in r] if isinstance(idx, orbisk.PyHNSW) else [(i, d.hex()) for i, d in r] for r in seen
    ]


def _insert(idx, args):
    try:
        idx.insert(*args)
    except ValueError as e:
        return str(e)
    return None


def _expect_whole_and_free(kind, idx, kept):
    build, filters, follow_up, follow_error = KINDS[kind]
    twin = build()
    for args in kept:
        twin.insert(*args)
    assert _view(idx, filters) == _view(twin, filters)
    # The next call: an insertion, then searches.
    assert _insert(idx, follow_up) == follow_error
    assert _insert(twin, follow_up) == follow_error
    assert _view(idx, filters) == _view(twin, filters)


# ---- objects that misbehave during conversion ---------------------------------


class Hook:
    """A number whose conversion runs `fn` first."""

    def __init__(self, fn):
        self.fn = fn

    def __float__(self):
        self.fn()
        return 1.0

    def __index__(self):
        self.fn()
        return 1


class Raising:
    """A number whose conversion raises `exc` (a class, or a fresh instance)."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    __index__ = __float__


class BrokenSeq:
    """A sequence whose iteration raises `exc` after `good` items."""

    def __init__(self, items, good, exc):
        self.items, self.good, self.exc = items, good, exc

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        yield from self.items[: self.good]
        raise self.exc


class MyTypeError(TypeError):
    pass


# ---- every failure, method by method -----------------------------------------
# (id, kind, call, exception class, message (None: the interpreter's own),
# insert arguments of what stays)


def _binding_rows(kind, cls, method, params, good):
    call = f"{cls}.{method}()"
    n = len(params)
    takes = (
        f"{call} takes 1 positional arguments but 2 were given"
        if n == 1
        else f"{call} takes from 1 to {n} positional arguments but {n + 1} were given"
    )
    return [
        (
            f"{kind}-{method}-missing",
            kind,
            lambda i: getattr(i, method)(),
            TypeError,
            f"{call} missing 1 required positional argument: '{params[0]}'",
            [],
        ),
        (
            f"{kind}-{method}-too-many",
            kind,
            lambda i: getattr(i, method)(*good, *[None] * (n + 1 - len(good))),
            TypeError,
            takes,
            [],
        ),
        (
            f"{kind}-{method}-twice",
            kind,
            lambda i: getattr(i, method)(*good, **{params[0]: good[0]}),
            TypeError,
            f"{call} got multiple values for argument '{params[0]}'",
            [],
        ),
        (
            f"{kind}-{method}-unknown",
            kind,
            lambda i: getattr(i, method)(*good, nope=1),
            TypeError,
            f"{call} got an unexpected keyword argument 'nope'",
            [],
        ),
    ]


def _vector_rows(kind, method, param, wrap):
    """Conversion errors of a list of doubles; `wrap` puts it where the
    method wants it."""
    p = PREFIX.format(param)
    name = f"{kind}-{method}-{param}"
    return [
        (
            f"{name}-str",
            kind,
            lambda i: getattr(i, method)(*wrap("ab")),
            TypeError,
            p + "Can't extract `str` to `Vec`",
            [],
        ),
        (
            f"{name}-not-sequence",
            kind,
            lambda i: getattr(i, method)(*wrap(5)),
            TypeError,
            p + "'int' object cannot be converted to 'Sequence'",
            [],
        ),
        (
            f"{name}-generator",
            kind,
            lambda i: getattr(i, method)(*wrap(x for x in A)),
            TypeError,
            p + "'generator' object cannot be converted to 'Sequence'",
            [],
        ),
        (
            f"{name}-item-type",
            kind,
            lambda i: getattr(i, method)(*wrap([1.0, "x"])),
            TypeError,
            p + "must be real number, not str",
            [],
        ),
        (
            f"{name}-item-overflow",
            kind,
            lambda i: getattr(i, method)(*wrap([1.0, 10**400])),
            OverflowError,
            "int too large to convert to float",
            [],
        ),
        (
            f"{name}-hook-type-error",
            kind,
            lambda i: getattr(i, method)(*wrap([1.0, Raising(MyTypeError("mine"))])),
            MyTypeError,
            "mine",
            [],
        ),
        (
            f"{name}-interrupt",
            kind,
            lambda i: getattr(i, method)(*wrap([Raising(KeyboardInterrupt), 1.0])),
            KeyboardInterrupt,
            "",
            [],
        ),
        (
            f"{name}-iteration",
            kind,
            lambda i: getattr(i, method)(*wrap(BrokenSeq(A, 1, RuntimeError("it broke")))),
            RuntimeError,
            "it broke",
            [],
        ),
    ]


def _batch_rows(name, kind, method, wrap):
    """Failures part-way through the conversion of a batch: nothing is inserted."""
    return [
        (
            f"{name}-interrupt-mid-batch",
            kind,
            lambda i: getattr(i, method)(*wrap([A, [Raising(KeyboardInterrupt), 1.0], C])),
            KeyboardInterrupt,
            "",
            [],
        ),
        (
            f"{name}-iteration-mid-batch",
            kind,
            lambda i: getattr(i, method)(*wrap(BrokenSeq([A, B, C], 2, KeyboardInterrupt()))),
            KeyboardInterrupt,
            "",
            [],
        ),
        (
            f"{name}-row-iteration-mid-batch",
            kind,
            lambda i: getattr(i, method)(*wrap([A, BrokenSeq(B, 1, ValueError("row broke"))])),
            ValueError,
            "row broke",
            [],
        ),
    ]


def _borrow_rows(kind, insert_args):
    """A conversion hook calling back into the same index."""
    return [
        (
            f"{kind}-insert-inside-search",
            kind,
            lambda i: i.search([Hook(lambda: i.insert(*insert_args)), 0.0]),
            RuntimeError,
            "Already borrowed",
            [],
        ),
        (
            f"{kind}-create-inside-search-k",
            kind,
            lambda i: i.search(A, Hook(lambda: i.create([A]))),
            RuntimeError,
            "Already borrowed",
            [],
        ),
        (
            f"{kind}-search-inside-insert",
            kind,
            lambda i: i.insert([Hook(lambda: i.search(A)), 0.0]),
            RuntimeError,
            "Already mutably borrowed",
            [],
        ),
        (
            f"{kind}-insert-inside-create",
            kind,
            lambda i: i.create([A, [0.0, Hook(lambda: i.insert(*insert_args))]]),
            RuntimeError,
            "Already borrowed",
            [],
        ),
        (
            f"{kind}-search-inside-create",
            kind,
            lambda i: i.create([[Hook(lambda: i.search(A)), 0.0]]),
            RuntimeError,
            "Already mutably borrowed",
            [],
        ),
    ]


def _k_rows(kind):
    p = PREFIX.format("k")
    return [
        (
            f"{kind}-search-k-float",
            kind,
            lambda i: i.search(A, 2.0),
            TypeError,
            p + "'float' object cannot be interpreted as an integer",
            [],
        ),
        (f"{kind}-search-k-negative", kind, lambda i: i.search(A, -1), OverflowError, None, []),
        (
            f"{kind}-search-k-beyond-32-bits",
            kind,
            lambda i: i.search(A, 2**32),
            OverflowError,
            "out of range integral type conversion attempted",
            [],
        ),
        (f"{kind}-search-k-beyond-64-bits", kind, lambda i: i.search(A, 2**64), OverflowError, None, []),
        (
            f"{kind}-search-k-interrupt",
            kind,
            lambda i: i.search(A, Raising(KeyboardInterrupt)),
            KeyboardInterrupt,
            "",
            [],
        ),
    ]


def _panic_type():
    idx = orbisk.PyFlat(1)
    try:
        idx.create([[]])
    except BaseException as e:  # it derives from BaseException only
        return type(e)
    raise AssertionError("no PanicException")


PANIC = _panic_type()

FLAT_ROWS = [
    *_binding_rows("flat", "PyFlat", "insert", ["vector"], [A]),
    *_binding_rows("flat", "PyFlat", "search", ["query", "k"], [A]),
    *_binding_rows("flat", "PyFlat", "create", ["vectors"], [[A]]),
    *_vector_rows("flat", "insert", "vector", lambda v: (v,)),
    *_vector_rows("flat", "search", "query", lambda v: (v,)),
    *_vector_rows("flat", "create", "vectors", lambda v: ([A, v],)),
    *_batch_rows("flat-create", "flat", "create", lambda vs: (vs,)),
    *_borrow_rows("flat", (B,)),
    *_k_rows("flat"),
    (
        "flat-create-str",
        "flat",
        lambda i: i.create("ab"),
        TypeError,
        PREFIX.format("vectors") + "Can't extract `str` to `Vec`",
        [],
    ),
    ("flat-insert-length", "flat", lambda i: i.insert([1.0]), ValueError, "Expected vector of length 2, got 1", []),
    (
        "flat-search-length",
        "flat",
        lambda i: i.search([1.0, 2.0, 3.0]),
        ValueError,
        "Expected query of length 2, got 3",
        [],
    ),
    ("flat-search-empty", "flat-empty", lambda i: i.search([0.0, 0.0]), ValueError, "Search error: EmptyIndex", []),
    (
        "flat-search-length-before-empty",
        "flat-empty",
        lambda i: i.search([0.0]),
        ValueError,
        "Expected query of length 2, got 1",
        [],
    ),
    ("flat-create-empty", "flat", lambda i: i.create([]), ValueError, "Create error: EmptyVectors", []),
    ("flat-create-empty-on-empty", "flat-empty", lambda i: i.create(()), ValueError, "Create error: EmptyVectors", []),
    (
        "flat-create-row-length",
        "flat",
        lambda i: i.create([A, B, [3.0], C]),
        PANIC,
        "Vector length 1 does not match index dimension 2",
        [(A,), (B,)],
    ),
    (
        "flat-create-first-row-length",
        "flat-empty",
        lambda i: i.create([[1.0, 2.0, 3.0], A]),
        PANIC,
        "Vector length 3 does not match index dimension 2",
        [],
    ),
    ("flat-wrong-self", "flat", lambda i: orbisk.PyHNSW.insert(i, A), TypeError, None, []),
]

GRAPH_META_P = PREFIX.format("metadata")
GRAPH_ROWS = [
    *_binding_rows("graph", "PyHNSW", "insert", ["vector", "metadata"], [A]),
    *_binding_rows("graph", "PyHNSW", "search", ["query", "k", "filter"], [A]),
    *_binding_rows("graph", "PyHNSW", "create", ["vectors", "metadata"], [[A]]),
    *_vector_rows("graph", "insert", "vector", lambda v: (v, META_A)),
    *_vector_rows("graph", "search", "query", lambda v: (v, 3, ("c", "red"))),
    *_vector_rows("graph", "create", "vectors", lambda v: ([A, v], [META_A, META_A])),
    *_batch_rows("graph-create", "graph", "create", lambda vs: (vs,)),
    *_batch_rows("graph-create-metadata", "graph", "create", lambda vs: (vs, [META_A] * 3)),
    *_borrow_rows("graph", (B, META_A)),
    *_k_rows("graph"),
    # insert
    (
        "graph-insert-length",
        "graph",
        lambda i: i.insert([1.0], META_A),
        ValueError,
        "Expected vector of length 2, got 1",
        [],
    ),
    (
        "graph-insert-meta-str",
        "graph",
        lambda i: i.insert(A, "ab"),
        TypeError,
        GRAPH_META_P + "Can't extract `str` to `Vec`",
        [],
    ),
    (
        "graph-insert-meta-not-sequence",
        "graph",
        lambda i: i.insert(A, 5),
        TypeError,
        GRAPH_META_P + "'int' object cannot be converted to 'Sequence'",
        [],
    ),
    (
        "graph-insert-meta-not-tuple",
        "graph",
        lambda i: i.insert(A, [["c", "red"]]),
        TypeError,
        GRAPH_META_P + "'list' object cannot be converted to 'PyTuple'",
        [],
    ),
    (
        "graph-insert-meta-short-tuple",
        "graph",
        lambda i: i.insert(A, [("c",)]),
        ValueError,
        "expected tuple of length 2, but got tuple of length 1",
        [],
    ),
    (
        "graph-insert-meta-name-not-str",
        "graph",
        lambda i: i.insert(A, [(1, "red")]),
        TypeError,
        GRAPH_META_P + "'int' object cannot be converted to 'PyString'",
        [],
    ),
    (
        "graph-insert-meta-name-surrogate",
        "graph",
        lambda i: i.insert(A, [("\ud800", "red")]),
        UnicodeEncodeError,
        None,
        [],
    ),
    (
        "graph-insert-meta-iteration",
        "graph",
        lambda i: i.insert(A, BrokenSeq(META_A, 1, KeyboardInterrupt())),
        KeyboardInterrupt,
        "",
        [],
    ),
    (
        "graph-insert-no-schema",
        "graph-no-schema",
        lambda i: i.insert(A, []),
        ValueError,
        "No schema provided in HNSW instance; cannot use metadata",
        [],
    ),
    (
        "graph-insert-missing",
        "graph",
        lambda i: i.insert(A, [("c", "red")]),
        ValueError,
        "Missing metadata for attribute 'n'",
        [],
    ),
    (
        "graph-insert-unsupported",
        "graph",
        lambda i: i.insert(A, [("n", 1), ("c", None)]),
        ValueError,
        "Unsupported metadata type for attribute 'c'",
        [],
    ),
    ("graph-insert-invalid-ef", "graph-ef0", lambda i: i.insert(A), ValueError, "Insert error: InvalidEF", []),
    # create
    (
        "graph-create-str",
        "graph",
        lambda i: i.create("ab"),
        TypeError,
        PREFIX.format("vectors") + "Can't extract `str` to `Vec`",
        [],
    ),
    ("graph-create-empty", "graph", lambda i: i.create([]), ValueError, "Create error: EmptyVectors", []),
    (
        "graph-create-empty-with-metadata",
        "graph",
        lambda i: i.create([], []),
        ValueError,
        "Create error: EmptyVectors",
        [],
    ),
    (
        "graph-create-length",
        "graph",
        lambda i: i.create([A, [1.0]]),
        ValueError,
        "Expected vector of length 2, got 1",
        [],
    ),
    (
        "graph-create-length-with-metadata",
        "graph",
        lambda i: i.create([A, [1.0]], [META_A, META_A]),
        ValueError,
        "Expected vector of length 2, got 1",
        [],
    ),
    (
        "graph-create-meta-str",
        "graph",
        lambda i: i.create([A], "ab"),
        TypeError,
        GRAPH_META_P + "Can't extract `str` to `Vec`",
        [],
    ),
    (
        "graph-create-meta-inner-str",
        "graph",
        lambda i: i.create([A, B], [META_A, "ab"]),
        TypeError,
        GRAPH_META_P + "Can't extract `str` to `Vec`",
        [],
    ),
    (
        "graph-create-meta-not-tuple",
        "graph",
        lambda i: i.create([A, B], [META_A, [["c", "red"]]]),
        TypeError,
        GRAPH_META_P + "'list' object cannot be converted to 'PyTuple'",
        [],
    ),
    (
        "graph-create-meta-long-tuple",
        "graph",
        lambda i: i.create([A], [[("c", "red", 1)]]),
        ValueError,
        "expected tuple of length 2, but got tuple of length 3",
        [],
    ),
    (
        "graph-create-meta-count",
        "graph",
        lambda i: i.create([A, B], [META_A]),
        ValueError,
        "Length of metadata list must match number of vectors",
        [],
    ),
    (
        "graph-create-meta-count-no-schema",
        "graph-no-schema",
        lambda i: i.create([A, B], [[]]),
        ValueError,
        "Length of metadata list must match number of vectors",
        [],
    ),
    (
        "graph-create-no-schema",
        "graph-no-schema",
        lambda i: i.create([A, B], [[], []]),
        ValueError,
        "No schema provided in HNSW instance; cannot use metadata",
        [],
    ),
    (
        "graph-create-missing-in-second",
        "graph",
        lambda i: i.create([A, B], [META_A, [("c", "red")]]),
        ValueError,
        "Missing metadata for attribute 'n'",
        [],
    ),
    (
        "graph-create-unsupported-in-second",
        "graph",
        lambda i: i.create([A, B], [META_A, [("c", b"x"), ("n", 1)]]),
        ValueError,
        "Unsupported metadata type for attribute 'c'",
        [],
    ),
    (
        "graph-create-meta-iteration-mid-batch",
        "graph",
        lambda i: i.create([A, B, C], BrokenSeq([META_A] * 3, 2, KeyboardInterrupt())),
        KeyboardInterrupt,
        "",
        [],
    ),
    ("graph-create-invalid-ef", "graph-ef0", lambda i: i.create([A, B]), ValueError, "Create error: InvalidEF", []),
    # The first vector becomes node 0; the second fails, and the third is
    # never inserted.
    (
        "graph-create-invalid-ef-on-empty",
        "graph-ef0-empty",
        lambda i: i.create([A, B, C]),
        ValueError,
        "Create error: InvalidEF",
        [(A,)],
    ),
    # search
    (
        "graph-search-none",
        "graph",
        lambda i: i.search(None),
        TypeError,
        PREFIX.format("query") + "'NoneType' object cannot be converted to 'Sequence'",
        [],
    ),
    (
        "graph-search-filter-not-tuple",
        "graph",
        lambda i: i.search(A, 3, ["c", "red"]),
        TypeError,
        PREFIX.format("filter") + "'list' object cannot be converted to 'PyTuple'",
        [],
    ),
    (
        "graph-search-filter-short",
        "graph",
        lambda i: i.search(A, 3, ("c",)),
        ValueError,
        "expected tuple of length 2, but got tuple of length 1",
        [],
    ),
    (
        "graph-search-filter-name-not-str",
        "graph",
        lambda i: i.search(A, 3, (1, "red")),
        TypeError,
        PREFIX.format("filter") + "'int' object cannot be converted to 'PyString'",
        [],
    ),
    (
        "graph-search-filter-name-surrogate",
        "graph",
        lambda i: i.search(A, 3, ("\ud800", "red")),
        UnicodeEncodeError,
        None,
        [],
    ),
    (
        "graph-search-filter-no-schema",
        "graph-no-schema",
        lambda i: i.search(A, 3, ("c", "red")),
        ValueError,
        "No schema provided in HNSW instance; cannot use metadata filtering",
        [],
    ),
    (
        "graph-search-filter-value-on-empty",
        "graph-empty",
        lambda i: i.search(A, 3, ("c", None)),
        ValueError,
        "Unsupported type for metadata filter",
        [],
    ),
    (
        "graph-search-filter-value",
        "graph",
        lambda i: i.search(A, 3, ("c", None)),
        ValueError,
        "Unsupported type for metadata filter",
        [],
    ),
    (
        "graph-search-filter-bytes",
        "graph",
        lambda i: i.search(A, 3, ("c", b"red")),
        ValueError,
        "Unsupported type for metadata filter",
        [],
    ),
    (
        "graph-search-attribute-not-found",
        "graph",
        lambda i: i.search(A, 3, ("size", 1)),
        ValueError,
        "Search error: AttributeNotFound",
        [],
    ),
    (
        "graph-search-empty-schema",
        "graph-empty-schema",
        lambda i: i.search(A, 3, ("c", "red")),
        ValueError,
        "Search error: EmptySchema",
        [],
    ),
    ("graph-search-invalid-ef", "graph-ef-search0", lambda i: i.search(A), ValueError, "Search error: InvalidEF", []),
    (
        "graph-search-invalid-layer",
        "graph-layers0",
        lambda i: i.search(A),
        ValueError,
        "Search error: InvalidLayer",
        [],
    ),
    (
        "graph-search-invalid-layer-with-filter",
        "graph-layers0",
        lambda i: i.search(A, 3, ("c", "red")),
        ValueError,
        "No schema provided in HNSW instance; cannot use metadata filtering",
        [],
    ),
    ("graph-wrong-self", "graph", lambda i: orbisk.PyFlat.search(i, A), TypeError, None, []),
]

FAILURES = FLAT_ROWS + GRAPH_ROWS


@pytest.mark.parametrize("name,kind,call,exc,msg,kept", FAILURES, ids=[r[0] for r in FAILURES])
def test_failure_leaves_the_index_free(name, kind, call, exc, msg, kept):
    idx = KINDS[kind][0]()
    with pytest.raises(exc) as info:
        call(idx)
    assert type(info.value) is exc
    if msg is None:  # the interpreter's own text, passed on as is
        assert not str(info.value).startswith("argument")
    else:
        assert str(info.value) == msg
    _expect_whole_and_free(kind, idx, kept)


ARRAY_ROWS = [
    (
        "flat-create-columns",
        "flat",
        lambda i: i.create(np.zeros((2, 3))),
        PANIC,
        "Vector length 3 does not match index dimension 2",
    ),
    ("flat-create-no-rows", "flat", lambda i: i.create(np.zeros((0, 2))), ValueError, "Create error: EmptyVectors"),
    ("flat-insert-length", "flat", lambda i: i.insert(np.zeros(3)), ValueError, "Expected vector of length 2, got 3"),
    (
        "graph-create-columns",
        "graph",
        lambda i: i.create(np.zeros((2, 3))),
        ValueError,
        "Expected vector of length 2, got 3",
    ),
    (
        "graph-create-meta-count",
        "graph",
        lambda i: i.create(np.zeros((2, 2)), [META_A]),
        ValueError,
        "Length of metadata list must match number of vectors",
    ),
    (
        "graph-search-filter-array",
        "graph",
        lambda i: i.search(np.zeros(2), 3, ("c", np.zeros(2))),
        ValueError,
        "Unsupported type for metadata filter",
    ),
]


@pytest.mark.skipif(np is None, reason="numpy is not installed")
@pytest.mark.parametrize("name,kind,call,exc,msg", ARRAY_ROWS, ids=[r[0] for r in ARRAY_ROWS])
def test_failure_with_arrays_leaves_the_index_free(name, kind, call, exc, msg):
    idx = KINDS[kind][0]()
    with pytest.raises(exc) as info:
        call(idx)
    assert type(info.value) is exc and str(info.value) == msg
    _expect_whole_and_free(kind, idx, [])


@pytest.mark.parametrize("kind", ["flat", "graph", "graph-no-schema"])
def test_views_see_every_vector(kind):
    idx = KINDS[kind][0]()
    assert all(len(r) == len(ROWS) for r in (idx.search(q, 100) for q in QUERIES))


@pytest.mark.parametrize(
    "make,exc,msg",
    [
        (
            lambda: orbisk.PyFlat("2"),
            TypeError,
            PREFIX.format("dim") + "'str' object cannot be interpreted as an integer",
        ),
        (
            lambda: orbisk.PyFlat(2, 5),
            TypeError,
            PREFIX.format("metric") + "'int' object cannot be converted to 'PyString'",
        ),
        (lambda: orbisk.PyFlat(-1), OverflowError, None),
        (lambda: orbisk.PyHNSW(2), ValueError, "Unsupported metric"),
        (lambda: orbisk.PyHNSW(2, metric="cosine"), ValueError, "Unsupported metric"),
        (
            lambda: orbisk.PyHNSW(2, layers=2**32, metric="euclidean"),
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (
            lambda: orbisk.PyHNSW(2, metric="euclidean", schema="ab"),
            TypeError,
            PREFIX.format("schema") + "Can't extract `str` to `Vec`",
        ),
        (
            lambda: orbisk.PyHNSW(2, metric="euclidean", schema=["c", 1]),
            TypeError,
            PREFIX.format("schema") + "'int' object cannot be converted to 'PyString'",
        ),
        (lambda: orbisk.PyHNSW(2, ef_search=Raising(KeyboardInterrupt), metric="euclidean"), KeyboardInterrupt, ""),
    ],
)
def test_failed_construction_leaves_others_free(make, exc, msg):
    # A construction that fails has no index to leave behind: a bystander and
    # the next construction work.
    bystander = KINDS["graph"][0]()
    with pytest.raises(exc) as info:
        make()
    assert type(info.value) is exc
    if msg is not None:
        assert str(info.value) == msg
    _expect_whole_and_free("graph", bystander, [])
    _expect_whole_and_free("flat", KINDS["flat"][0](), [])
