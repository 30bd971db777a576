"""PyHNSW: construction, the failure tables of insert, create and search
with their step order, result shape, and exact single-layer results
checked against a literal model of the layer walk."""

import heapq
import math
import random

import pytest
from shared import comparable, nan_last

import orbisk

from metric_models import cosine as _cos, dot as _dot, euclidean as _euclid

NAN, INF = math.nan, math.inf
U32 = 4294967295


def _raises(exc, msg, f, *a, **kw):
    """msg None: the interpreter's own text, so only the missing prefix is checked."""
    with pytest.raises(exc) as info:
        f(*a, **kw)
    assert type(info.value) is exc
    if msg is None:
        assert not str(info.value).startswith("argument")
    else:
        assert str(info.value) == msg
    return info.value


METRICS = {"euclidean": _euclid, "angular": _cos, "inner_product": _dot}


def _bits(result):
    return [(comparable(d), tuple(v)) for d, v in result]


# A literal single-layer model: with layers=1 every node has level 0 and
# every walk starts at node 0, so nothing random is left.
def _less(a, b):
    return not math.isnan(a) and (math.isnan(b) or a < b)


def _place(w, d, e):
    at = 0
    while at < len(w) and not _less(d, w[at][0]):
        at += 1
    if at and (w[at - 1][0] == d or (math.isnan(d) and math.isnan(w[at - 1][0]))):
        at -= 1  # among equals: in front of the last one
    w.insert(at, (d, e))


def _knn(rows, lists, fn, query, ef, admit=None):
    def item(d, e):
        return (*nan_last(d), e), d, e

    d0 = fn(query, rows[0])
    w, queue, seen = [(d0, 0)], [item(d0, 0)], {0}
    while queue:
        _, dc, c = heapq.heappop(queue)
        f = w[-1][0]
        if not math.isnan(f) and (f < dc or math.isnan(dc)):
            break
        for e in lists[c]:
            if (admit and not admit(e)) or e in seen:
                continue
            seen.add(e)
            d = fn(query, rows[e])
            if len(w) < ef or _less(d, w[-1][0]):
                heapq.heappush(queue, item(d, e))
                _place(w, d, e)
                del w[ef:]
    return w


def _model_lists(rows, fn, ef_construction):
    lists = [[]]
    for n in range(1, len(rows)):
        w = _knn(rows, lists, fn, rows[n], ef_construction)
        for _, r in w:
            lists[r].append(n)
        lists.append([r for _, r in w])
    return lists


def _rows(rng, n, dim):
    rows = []
    for _ in range(n):
        u = rng.random()
        if rows and u < 0.1:
            rows.append(list(rng.choice(rows)))  # equal vectors: distance ties
        elif u < 0.25:
            rows.append([float(rng.randint(-2, 2)) for _ in range(dim)])
        else:
            rows.append([rng.uniform(-1, 1) * 10.0 ** rng.randint(-3, 3) for _ in range(dim)])
    rows.insert(rng.randrange(1, n), [0.0] * dim)  # NaN against everything under "angular"
    return rows


def _line(n, **kw):
    idx = orbisk.PyHNSW(1, **{"layers": 1, "ef_search": 1000, "metric": "euclidean", **kw})
    for i in range(n):
        idx.insert([float(i)])
    return idx


def _all(idx, dim=2):
    return idx.search([0.0] * dim, k=100000)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("dim", [1, 3, 17, 33])
@pytest.mark.parametrize("ef_construction", [1, 3, 200])
def test_single_layer_results_equal_the_model(metric, dim, ef_construction):
    rng = random.Random(f"{metric}{dim}{ef_construction}")
    rows = _rows(rng, 40, dim)
    fn = METRICS[metric]
    lists = _model_lists(rows, fn, ef_construction)
    queries = [
        [rng.gauss(0, 2) for _ in range(dim)],
        list(rows[5]),
        [0.0] * dim,
        [],
        [rng.uniform(-1, 1) for _ in range(dim - 1)],
        [rng.uniform(-1, 1) for _ in range(dim + 2)],
        [NAN] + [1.0] * (dim - 1),
    ]
    for ef_search in (1, 4, 1000):
        idx = orbisk.PyHNSW(dim, 1, None, ef_construction, ef_search, metric)
        if ef_search == 4:
            idx.create(rows)
        else:
            for r in rows:
                idx.insert(r)
        for q in queries:
            w = _knn(rows, lists, fn, q, ef_search)
            for k in (0, 1, 5, 1000):
                want = [(d, rows[i]) for d, i in w[: max(k, 1)]]
                assert _bits(idx.search(q, k)) == _bits(want), (q, k, ef_search)


@pytest.mark.parametrize("ef_construction", [1, 2, 200])
def test_filtered_walk_equals_the_model(ef_construction):
    # Rejected nodes are not stepped on, so sparse graphs hide admitted nodes behind them.
    rng = random.Random(ef_construction)
    rows = [[rng.uniform(-3, 3), rng.uniform(-3, 3)] for _ in range(60)]
    tags = [rng.choice("abc") for _ in rows]
    lists = _model_lists(rows, _euclid, ef_construction)
    for ef_search in (3, 1000):
        idx = orbisk.PyHNSW(2, 1, 16, ef_construction, ef_search, "euclidean", ["t"])
        idx.create(rows, [[("t", t)] for t in tags])
        for q in ([0.0, 0.0], [2.5, -2.5], rows[30]):
            for t in "abcd":
                w = _knn(rows, lists, _euclid, q, ef_search, admit=lambda e, t=t: tags[e] == t)
                assert idx.search(q, 100, ("t", t)) == [(d, rows[i]) for d, i in w]


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("layers", [1, 2, 5, 12])
def test_layered_results_are_exact(metric, layers):
    # Levels are random, but the graph is connected: a layer-0 capacity above
    # the node count reaches every node, in exact distance order.
    rng = random.Random(f"{metric}{layers}")
    rows = _rows(rng, 120, 19)
    fn = METRICS[metric]
    full = orbisk.PyHNSW(19, layers, ef_construction=8, ef_search=1000, metric=metric, schema=["t"])
    full.create(rows, [[("t", i % 3)] for i in range(len(rows))])
    part = orbisk.PyHNSW(19, layers, ef_construction=8, ef_search=10, metric=metric)
    part.create(rows)
    tags = {}
    for i, r in enumerate(rows):
        tags.setdefault(tuple(r), set()).add(i % 3)
    for q in ([rng.gauss(0, 1) for _ in range(19)], rows[3], [0.5] * 7, []):
        want = sorted((fn(q, r) for r in rows), key=nan_last)
        got = full.search(q, 10**6)
        assert [comparable(d) for d, _ in got] == [comparable(d) for d in want]
        assert sorted(tuple(v) for _, v in got) == sorted(map(tuple, rows))
        some = part.search(q, 50)
        assert len(some) == 10
        assert all(comparable(d) == comparable(fn(q, v)) for d, v in some)
        assert [comparable(d) for d, _ in some] == sorted(
            (comparable(d) for d, _ in some), key=lambda k: (k == "nan", k)
        )
        for t in range(3):
            hits = full.search(q, 10**6, ("t", t))
            assert all(t in tags[tuple(v)] for _, v in hits if v != rows[0])


def test_single_layer_builds_are_deterministic():
    rng = random.Random(7)
    rows = [[rng.uniform(-5, 5) for _ in range(4)] for _ in range(60)]
    a = orbisk.PyHNSW(4, layers=1, ef_construction=2, ef_search=5, metric="euclidean")
    b = orbisk.PyHNSW(4, layers=1, ef_construction=2, ef_search=5, metric="euclidean")
    a.create(rows)
    for r in rows:
        b.insert(r)
    for _ in range(20):
        q = [rng.uniform(-6, 6) for _ in range(4)]
        assert _bits(a.search(q, 5)) == _bits(b.search(q, 5))


@pytest.mark.parametrize(
    "metric",
    [
        None,
        "",
        "Euclidean",
        "EUCLIDEAN",
        " euclidean",
        "euclidean ",
        "euclidean\x00",
        "Angular",
        "inner-product",
        "innerproduct",
        "cosine",
        "dot",
        "l2",
    ],
)
def test_unsupported_metric(metric):
    _raises(ValueError, "Unsupported metric", orbisk.PyHNSW, 2, metric=metric)
    _raises(ValueError, "Unsupported metric", orbisk.PyHNSW, 2, 5, 16, 200, 50, metric, ["a"])


def test_metric_table():
    _raises(ValueError, "Unsupported metric", orbisk.PyHNSW, 2)
    rows, q = [[1.0, 2.0], [3.0, -1.0]], [2.0, 0.5]

    class Text(str):
        pass

    for name, fn in METRICS.items():
        for given in (name, Text(name)):
            idx = orbisk.PyHNSW(2, layers=1, metric=given)
            idx.create(rows)
            assert sorted(d for d, _ in idx.search(q, 2)) == sorted(fn(q, r) for r in rows)


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize(
    "args,kw,exc,msg",
    [
        ((None,), {}, TypeError, "argument 'dim': 'NoneType' object cannot be interpreted as an integer"),
        ((2.0,), {"layers": -1}, TypeError, "argument 'dim': 'float' object cannot be interpreted as an integer"),
        ((-1,), {"layers": 1.5}, OverflowError, None),
        ((U32 + 1,), {}, OverflowError, "out of range integral type conversion attempted"),
        ((2, -1), {"m": 2.0}, OverflowError, None),
        (
            (2, 1, 2.0),
            {"ef_construction": -1},
            TypeError,
            "argument 'm': 'float' object cannot be interpreted as an integer",
        ),
        ((2, 1, 1, U32 + 1), {"ef_search": "x"}, OverflowError, "out of range integral type conversion attempted"),
        (
            (2, 1, 1, 1, "x"),
            {"metric": 3},
            TypeError,
            "argument 'ef_search': 'str' object cannot be interpreted as an integer",
        ),
        ((2, 1, 1, 1, 2**64), {"metric": 3}, OverflowError, None),
        (
            (2,),
            {"metric": 3, "schema": "ab"},
            TypeError,
            "argument 'metric': 'int' object cannot be converted to 'PyString'",
        ),
        ((2,), {"metric": "\ud800", "schema": "ab"}, UnicodeEncodeError, None),
        ((2,), {"metric": "bogus", "schema": "ab"}, TypeError, "argument 'schema': Can't extract `str` to `Vec`"),
        ((2,), {"schema": ["a", 1]}, TypeError, "argument 'schema': 'int' object cannot be converted to 'PyString'"),
        ((0,), {}, ValueError, "Unsupported metric"),
        ((0,), {"metric": "cosine", "schema": []}, ValueError, "Unsupported metric"),
        (
            (0, 1.5),
            {"metric": "euclidean"},
            TypeError,
            "argument 'layers': 'float' object cannot be interpreted as an integer",
        ),
        ((0,), {"metric": "euclidean", "schema": "ab"}, TypeError, "argument 'schema': Can't extract `str` to `Vec`"),
        ((0, 0, 0, 0, 0, "euclidean", []), {}, ValueError, "dim must be at least 1"),
        ((False,), {"metric": "angular"}, ValueError, "dim must be at least 1"),
        ((Index(0),), {"metric": "inner_product"}, ValueError, "dim must be at least 1"),
    ],
)
def test_constructor_step_order(args, kw, exc, msg):
    _raises(exc, msg, orbisk.PyHNSW, *args, **kw)


def test_constructor_accepts_zero_and_extremes():
    for args in ((1, 0, 0, 0, 0), (U32, U32, U32, U32, U32), (True, None, None, None, None), (Index(3), Index(0))):
        assert type(orbisk.PyHNSW(*args, metric="euclidean", schema=("a", "a"))) is orbisk.PyHNSW
    idx = orbisk.PyHNSW(U32, metric="euclidean")
    assert idx.search([1.0], 3) == []
    _raises(ValueError, f"Expected vector of length {U32}, got 1", idx.insert, [1.0])
    idx = orbisk.PyHNSW(True, metric="euclidean")
    idx.insert([5])
    _raises(ValueError, "Expected vector of length 1, got 2", idx.insert, [1.0, 2.0])


def test_none_equals_omitted():
    rows = [[float(i % 8), float(i // 8)] for i in range(60)]
    for idx in (orbisk.PyHNSW(2, None, None, None, None, "euclidean", None), orbisk.PyHNSW(2, metric="euclidean")):
        idx.create(rows)
        assert len(idx.search([0.0, 0.0], k=1000)) == 50  # ef_search 50, all connected
        _raises(
            ValueError,
            "No schema provided in HNSW instance; cannot use metadata filtering",
            idx.search,
            [0.0, 0.0],
            filter=("a", 1),
        )


NO_SCHEMA = "No schema provided in HNSW instance; cannot use metadata"
SIZE = "Expected vector of length 2, got "


@pytest.mark.parametrize(
    "schema,args,exc,msg",
    [
        (None, ("ab", "x"), TypeError, "argument 'vector': Can't extract `str` to `Vec`"),
        (None, ([1.0, 2.0], "x"), TypeError, "argument 'metadata': Can't extract `str` to `Vec`"),
        (None, ([1.0, 2.0], [("a",)]), ValueError, "expected tuple of length 2, but got tuple of length 1"),
        (None, ([1.0, 2.0], [("a", 1, 2)]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
        (None, ([1.0, 2.0], []), ValueError, NO_SCHEMA),
        (None, ([1.0, 2.0, 3.0], [("a", 1)]), ValueError, NO_SCHEMA),
        (None, ([1.0, 2.0, 3.0],), ValueError, SIZE + "3"),
        (None, ([],), ValueError, SIZE + "0"),
        (["color", "size"], ([1.0, 2.0], []), ValueError, "Missing metadata for attribute 'color'"),
        (["color", "size"], ([1.0, 2.0, 3.0], [("color", "x")]), ValueError, "Missing metadata for attribute 'size'"),
        (["color", "size"], ([1.0], [("size", None)]), ValueError, "Missing metadata for attribute 'color'"),
        (
            ["color", "size"],
            ([1.0], [("size", None), ("color", "x")]),
            ValueError,
            "Unsupported metadata type for attribute 'size'",
        ),
        (["color", "size"], ([1.0], [("color", "x"), ("size", 1)]), ValueError, SIZE + "1"),
        (["color", "size"], ([1.0, 2.0, 3.0],), ValueError, SIZE + "3"),
    ],
)
def test_insert_failures_in_step_order(schema, args, exc, msg):
    idx = orbisk.PyHNSW(2, layers=1, metric="euclidean", schema=schema)
    idx.insert([7.0, 7.0], None if schema is None else [("color", "c"), ("size", 1)])
    before = _all(idx)
    _raises(exc, msg, idx.insert, *args)
    assert _all(idx) == before
    assert idx.insert([1.0, 1.0]) is None and len(_all(idx)) == 2


@pytest.mark.parametrize(
    "schema,args,exc,msg",
    [
        (None, ([[1.0, 2.0], "ab"], "x"), TypeError, "argument 'vectors': Can't extract `str` to `Vec`"),
        (None, ([[1.0, 2.0]], "x"), TypeError, "argument 'metadata': Can't extract `str` to `Vec`"),
        (None, ([[1.0, 2.0]], ["x"]), TypeError, "argument 'metadata': Can't extract `str` to `Vec`"),
        (None, ([], [[("a",)]]), ValueError, "expected tuple of length 2, but got tuple of length 1"),
        (None, ([],), ValueError, "Create error: EmptyVectors"),
        (None, ([[1.0, 2.0], [1.0], [1.0, 2.0, 3.0]],), ValueError, SIZE + "1"),
        (None, ([[1.0, 2.0]], [[], []]), ValueError, "Length of metadata list must match number of vectors"),
        (None, ([], []), ValueError, NO_SCHEMA),
        (None, ([[1.0]], [[("a", 1)]]), ValueError, NO_SCHEMA),
        (
            ["c"],
            ([[1.0, 2.0], [1.0]], [[("c", 1)]]),
            ValueError,
            "Length of metadata list must match number of vectors",
        ),
        (["c"], ([[1.0, 2.0], [3.0, 4.0]], [[("c", 1)], []]), ValueError, "Missing metadata for attribute 'c'"),
        (
            ["c"],
            ([[1.0], [3.0, 4.0]], [[("c", 1)], [("c", None)]]),
            ValueError,
            "Unsupported metadata type for attribute 'c'",
        ),
        (["c"], ([[1.0, 2.0], [3.0]], [[("c", 1)], [("c", 2)]]), ValueError, SIZE + "1"),
        (["c"], ([], []), ValueError, "Create error: EmptyVectors"),
        (["c"], ([],), ValueError, "Create error: EmptyVectors"),
        (["c"], ([[1.0, 2.0], [1.0, 2.0, 3.0]],), ValueError, SIZE + "3"),
    ],
)
def test_create_failures_in_step_order(schema, args, exc, msg):
    idx = orbisk.PyHNSW(2, layers=1, metric="euclidean", schema=schema)
    idx.insert([7.0, 7.0])
    before = _all(idx)
    _raises(exc, msg, idx.create, *args)
    assert _all(idx) == before  # nothing of the batch went in
    assert idx.create([[1.0, 1.0], [2.0, 2.0]]) is None and len(_all(idx)) == 3


@pytest.mark.parametrize("schema", [None, ["c"]])
def test_zero_ef_construction(schema):
    md = None if schema is None else [("c", 1)]
    idx = orbisk.PyHNSW(2, ef_construction=0, metric="euclidean", schema=schema)
    _raises(
        ValueError,
        "Create error: InvalidEF",
        idx.create,
        [[5.0, 5.0], [1.0, 1.0], [0.0, 0.0]],
        None if md is None else [md] * 3,
    )
    only = [(_euclid([0.0, 0.0], [5.0, 5.0]), [5.0, 5.0])]
    assert _all(idx) == only  # the first one stays as node 0; the failed ones are unreachable
    _raises(ValueError, "Insert error: InvalidEF", idx.insert, [0.0, 0.0], md)
    _raises(ValueError, SIZE + "3", idx.insert, [0.0, 0.0, 0.0], md)  # the length check comes first
    _raises(ValueError, SIZE + "1", idx.create, [[0.0, 0.0], [0.0]], None if md is None else [md] * 2)
    _raises(ValueError, "Create error: InvalidEF", idx.create, [[0.0, 0.0]], None if md is None else [md])
    assert _all(idx) == only
    if schema:
        assert idx.search([0.0, 0.0], k=9, filter=("c", 1)) == only


def test_layers_zero_and_ef_search_zero():
    idx = orbisk.PyHNSW(2, layers=0, metric="euclidean")
    assert idx.search([0.0, 0.0]) == [] and idx.search([0.0], k=0) == []
    idx.create([[0.0, 0.0], [1.0, 1.0]])  # nothing is linked, nothing fails
    idx.insert([2.0, 2.0])
    _raises(ValueError, "Search error: InvalidLayer", idx.search, [0.0, 0.0])
    idx = orbisk.PyHNSW(2, ef_search=0, metric="euclidean")
    assert idx.search([0.0, 0.0], k=3) == []
    idx.insert([0.0, 0.0])
    _raises(ValueError, "Search error: InvalidEF", idx.search, [0.0, 0.0])


FILTER_NO_SCHEMA = "No schema provided in HNSW instance; cannot use metadata filtering"


@pytest.mark.parametrize(
    "kw,flt,msg",
    [
        ({}, ("c", 1), FILTER_NO_SCHEMA),
        ({"schema": ["c"]}, ("c", None), "Unsupported type for metadata filter"),
        ({"schema": ["c"]}, ("zz", b"x"), "Unsupported type for metadata filter"),
        ({"schema": ["c"], "layers": 0}, ("c", None), "Unsupported type for metadata filter"),
        ({"schema": ["c"]}, ("zz", 1), "Search error: AttributeNotFound"),
        ({"schema": ["c"]}, ("C", 1), "Search error: AttributeNotFound"),
        ({"schema": ["c"], "layers": 1}, ("zz", 1), "Search error: AttributeNotFound"),
        ({"schema": []}, ("c", 1), "Search error: EmptySchema"),
        ({"schema": [], "layers": 1}, ("c", 1), "Search error: EmptySchema"),
        ({"layers": 0, "ef_search": 0}, None, "Search error: InvalidLayer"),
        ({"schema": ["c"], "layers": 0}, ("zz", 1), "Search error: InvalidLayer"),
        ({"schema": [], "layers": 0, "ef_search": 0}, ("c", 1), "Search error: InvalidLayer"),
        # Above one layer the capacity-1 descent meets a bad filter before ef_search 0 is seen.
        ({"schema": ["c"], "ef_search": 0}, ("zz", 1), "Search error: AttributeNotFound"),
        ({"schema": [], "ef_search": 0, "layers": 2}, ("c", 1), "Search error: EmptySchema"),
        ({"schema": ["c"], "ef_search": 0}, ("c", 1), "Search error: InvalidEF"),
        ({"schema": ["c"], "ef_search": 0, "layers": 1}, ("zz", 1), "Search error: InvalidEF"),
        ({"schema": [], "ef_search": 0, "layers": 1}, ("c", 1), "Search error: InvalidEF"),
    ],
)
def test_search_failures_and_core_precedence(kw, flt, msg):
    idx = orbisk.PyHNSW(2, **{"metric": "euclidean", **kw})
    if msg.startswith("Search error"):
        assert idx.search([0.0, 0.0], 5, flt) == []  # an empty index runs no core check
    else:
        _raises(ValueError, msg, idx.search, [0.0, 0.0], 5, flt)
    schema = kw.get("schema")
    md = None if schema is None else [(n, 1) for n in schema]
    idx.create([[0.0, 0.0], [1.0, 1.0]], None if md is None else [md, md])
    _raises(ValueError, msg, idx.search, [0.0, 0.0], 5, flt)


@pytest.mark.parametrize(
    "args,exc,msg",
    [
        (("ab", -1, 5), TypeError, "argument 'query': Can't extract `str` to `Vec`"),
        ((None,), TypeError, "argument 'query': 'NoneType' object cannot be converted to 'Sequence'"),
        (([0.0, None],), TypeError, "argument 'query': must be real number, not NoneType"),
        (([0.0], -1, 5), OverflowError, None),
        (([0.0], 2.0, 5), TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
        (([0.0], 2**32, 5), OverflowError, "out of range integral type conversion attempted"),
        (([0.0], 1, ("c",)), ValueError, "expected tuple of length 2, but got tuple of length 1"),
        (([0.0], 1, ("c", 1)), ValueError, FILTER_NO_SCHEMA),
    ],
)
def test_search_argument_failures(args, exc, msg):
    for rows in ([], [[1.0, 2.0]]):
        idx = orbisk.PyHNSW(2, metric="euclidean")
        if rows:
            idx.create(rows)
        _raises(exc, msg, idx.search, *args)
        idx.insert([0.0, 0.0])  # the shared borrow was returned


def test_result_shape_and_fresh_copies():
    idx = orbisk.PyHNSW(3, layers=1, metric="euclidean")
    v = [1, 2, 3]
    idx.insert(v)
    v[0] = 99  # stored as a copy
    idx.create([[1.0, 2.0, 3.0], (4.0, True, 6.0)])
    got = idx.search((1.0, 2.0), k=10)  # a shorter query: the common prefix counts
    assert type(got) is list and len(got) == 3
    for d, vec in got:
        assert type(d) is float and type(vec) is list and len(vec) == 3 and all(type(x) is float for x in vec)
    assert [d for d, _ in got] == [0.0, 0.0, _euclid([1.0, 2.0], [4.0, 1.0])]
    assert got[0][1] == got[1][1] == [1.0, 2.0, 3.0] and got[0][1] is not got[1][1]
    before = _bits(got)
    got[0][1][0] = -5.0
    got[1][1].append(7.0)
    got.clear()
    assert _bits(idx.search((1.0, 2.0), k=10)) == before
    assert _bits(idx.search([1.0, 2.0, 3.0, 100.0, -4.0], k=1)) == [(comparable(0.0), (1.0, 2.0, 3.0))]


@pytest.mark.parametrize(
    "ef_search,k,count",
    [(4, None, 1), (4, 0, 1), (4, True, 1), (4, 3, 3), (4, 4, 4), (4, 5, 4), (4, U32, 4), (1000, 100, 10), (1, 9, 1)],
)
def test_k_and_ef_search_bound_the_result(ef_search, k, count):
    idx = _line(10, ef_search=ef_search)
    got = idx.search([-1.0]) if k is None else idx.search([-1.0], k)
    assert got == [(float(i + 1), [float(i)]) for i in range(count)]


@pytest.mark.parametrize("k", [0, 1, 5])
def test_single_node_is_always_returned(k):
    idx = orbisk.PyHNSW(2, metric="inner_product", schema=["c"])
    idx.insert([2.0, 3.0], [("c", "a")])
    assert idx.search([1.0, -1.0], k) == [(-1.0, [2.0, 3.0])]
    assert idx.search([1.0, -1.0], k, ("c", "b")) == [(-1.0, [2.0, 3.0])]  # the start is never tested


def test_absurd_layer_count():
    idx = orbisk.PyHNSW(2, layers=U32, metric="euclidean")
    assert idx.search([0.0, 0.0]) == []
    idx.insert([1.0, 1.0])
    idx.insert([2.0, 2.0])
    idx.create([[3.0, 3.0], [4.0, 4.0]])
    want = [(_euclid([0.0, 0.0], [float(i), float(i)]), [float(i), float(i)]) for i in range(1, 5)]
    assert idx.search([0.0, 0.0], k=10) == want


class Hook:
    def __init__(self, run):
        self.run = run

    def __float__(self):
        self.run()
        return 0.0


def test_reentry():
    idx = _line(3)
    _raises(RuntimeError, "Already borrowed", idx.search, [Hook(lambda: idx.insert([9.0]))])
    _raises(RuntimeError, "Already borrowed", idx.search, [Hook(lambda: idx.create([[9.0]]))])
    inner = []
    assert idx.search([Hook(lambda: inner.append(idx.search([2.0])))], k=3) == [
        (float(i), [float(i)]) for i in range(3)
    ]
    assert inner == [[(0.0, [2.0])]]
    assert len(idx.search([0.0], k=10)) == 3
