"""Inputs at the edges of what the classes accept: each gives a clear error or
the exact answer, and allocates nothing the input did not ask for."""

import math
import os
import sys

import pytest
from shared import nan_last, ranked, same_double

import orbisk

from metric_models import cosine, dot, euclidean

U32 = 4294967295
FLAT = {None: euclidean, "cosine": cosine, "inner_product": dot}
GRAPH = {"euclidean": euclidean, "angular": cosine, "inner_product": dot}
MB = 1024 * 1024


def _rss():
    if not sys.platform.startswith("linux"):
        return 0
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _raises(exc, msg, fn, *args, **kw):
    with pytest.raises(BaseException) as info:
        fn(*args, **kw)
    assert (type(info.value).__name__, str(info.value)) == (exc, msg)


@pytest.mark.parametrize(
    "make,graph",
    [
        *[(lambda m=m: orbisk.PyFlat(U32, m), False) for m in FLAT],
        *[(lambda m=m: orbisk.PyHNSW(U32, metric=m), True) for m in GRAPH],
    ],
    ids=[f"flat-{m}" for m in FLAT] + [f"graph-{m}" for m in GRAPH],
)
def test_largest_dimension_rejects_short_vectors(make, graph):
    before = _rss()
    idx = make()
    want = f"Expected vector of length {U32}, got 1"
    _raises("ValueError", want, idx.insert, [1.0])
    if graph:
        assert idx.search([1.0], 3) == []
        _raises("ValueError", want, idx.create, [[1.0], [2.0]])
    else:
        _raises("ValueError", f"Expected query of length {U32}, got 1", idx.search, [1.0])
        # The length is known from the input: no room for U32 coordinates is needed to refuse it.
        _raises("PanicException", f"Vector length 1 does not match index dimension {U32}", idx.create, [[1.0]])
    assert _rss() - before < 2 * MB


@pytest.mark.parametrize("metric", list(FLAT) + list(GRAPH))
def test_vectors_longer_than_the_screening_codes_serve(metric):
    # Past 65,536 elements a vector is always computed in full; inserting
    # one into a graph once wrote its screening code where no room was kept.
    dim = 65537
    rows = [[(i + 1.0) * (-1.0) ** j / (1 + j % 7) for j in range(dim)] for i in range(3)]
    query = [0.5] * dim
    if metric in GRAPH:
        idx = orbisk.PyHNSW(dim, layers=1, metric=metric)
        for r in rows:
            idx.insert(r)
        got = [d for d, _ in idx.search(query, 3)]
        want = [d for d, _ in ranked(query, rows, GRAPH[metric])]
    else:
        idx = orbisk.PyFlat(dim, metric)
        idx.create(rows)
        got, want = idx.search(query, 3), ranked(query, rows, FLAT[metric])
        got, want = [(i, d) for i, d in got], [(i, d) for d, i in want]
    assert got == want


@pytest.mark.parametrize("schema", [None, ["c"]])
def test_absurd_layer_count_builds_like_a_small_one(schema):
    # Beyond 745 layers every level weight is 0.0: the levels drawn, and so
    # the graph, are those of 745 layers; the layers above every level but
    # node 0's are never walked, whatever the machine's memory.
    rows = [[math.sin(i) * 3, math.cos(i * 1.7)] for i in range(1000)]
    meta = [[("c", i % 3)] for i in range(1000)] if schema else None
    before = _rss()
    idx = orbisk.PyHNSW(2, layers=U32, metric="euclidean", schema=schema, ef_search=1000)
    idx.insert(rows[0], meta[0] if schema else None)
    idx.create(rows[1:], meta[1:] if schema else None)
    assert _rss() - before < 16 * MB
    for q in rows[::50]:
        got = idx.search(q, U32)
        assert got[0] == (0.0, q)
        assert len(got) == 1000
    if schema:
        assert all(v in rows[2::3] or v == rows[0] for _, v in idx.search([0.0, 0.0], 10, ("c", 2)))


ROWS = [[math.sin(i) * 3, math.cos(i * 1.7) - 0.5] for i in range(20)]


@pytest.mark.parametrize("metric", list(FLAT))
def test_largest_k_on_flat_returns_every_row(metric):
    idx = orbisk.PyFlat(2, metric)
    idx.create(ROWS)
    before = _rss()
    got = idx.search([0.3, -0.2], U32)
    assert _rss() - before < 2 * MB
    want = ranked([0.3, -0.2], ROWS, FLAT[metric])
    assert [i for i, _ in got] == [i for _, i in want] and all(
        same_double(d, e) for (_, d), (e, _) in zip(got, want, strict=True)
    )


@pytest.mark.parametrize("metric", list(GRAPH))
@pytest.mark.parametrize("ef_search", [1, 7, 20, 1000])
def test_largest_k_on_graph_is_capped_by_ef_search(metric, ef_search):
    idx = orbisk.PyHNSW(2, layers=3, ef_construction=5, ef_search=ef_search, metric=metric)
    idx.create(ROWS)
    before = _rss()
    got = idx.search([0.3, -0.2], U32)
    assert _rss() - before < 2 * MB
    assert len(got) == min(ef_search, len(ROWS))
    assert all(same_double(d, GRAPH[metric]([0.3, -0.2], v)) for d, v in got)
    assert [nan_last(d) for d, _ in got] == sorted(nan_last(d) for d, _ in got)
    if ef_search >= len(ROWS):
        assert [v for _, v in got] == [ROWS[i] for _, i in ranked([0.3, -0.2], ROWS, GRAPH[metric])]


SCALARS = [[0.0], [-0.0], [2.0], [-3.0], [0.5], [1e308], [-5e-324]]


@pytest.mark.parametrize("metric,graph", [*[(m, False) for m in FLAT], *[(m, True) for m in GRAPH]])
@pytest.mark.parametrize("query", [[0.0], [1.0], [-2.5], [1e308]])
def test_length_one_vectors(metric, graph, query):
    fn = (GRAPH if graph else FLAT)[metric]
    idx = orbisk.PyHNSW(1, layers=1, ef_search=100, metric=metric) if graph else orbisk.PyFlat(1, metric)
    idx.create(SCALARS)
    got = idx.search(query, 100)
    want = ranked(query, SCALARS, fn)
    assert [nan_last(d) for d in (g[0 if graph else 1] for g in got)] == [nan_last(d) for d, _ in want]
    for g in got:
        d, v = g if graph else (g[1], SCALARS[g[0]])
        assert same_double(d, fn(query, v))


SPECIALS = [
    [1.0, 0.0],
    [math.nan, 0.0],
    [math.inf, 1.0],
    [-math.inf, 0.0],
    [0.0, 0.0],
    [0.5, 2.0],
    [math.nan, math.nan],
    [1e200, -1e200],
]


@pytest.mark.parametrize("metric", list(GRAPH))
@pytest.mark.parametrize("query", [[1.0, 1.0], [0.0, 0.0], [math.inf, 0.0], [math.nan, 1.0]])
def test_graph_ranks_non_finite_values_with_nan_last(metric, query):
    fn = GRAPH[metric]
    idx = orbisk.PyHNSW(2, layers=1, ef_search=100, metric=metric)
    idx.create(SPECIALS)
    got = idx.search(query, 100)
    # Equal distances may come in any order, so compare (distance, vector) as a multiset.
    assert [nan_last(d) for d, _ in got] == [nan_last(d) for d, _ in ranked(query, SPECIALS, fn)]
    assert sorted(repr((nan_last(d), v)) for d, v in got) == sorted(repr((nan_last(fn(query, r)), r)) for r in SPECIALS)


def test_long_metadata_list_last_pair_wins():
    pairs = [("c", i) if i % 2 else ("other", str(i)) for i in range(100_000)]
    idx = orbisk.PyHNSW(1, layers=1, metric="euclidean", schema=["c", "other"])
    idx.insert([0.0], [("c", -1), ("other", "x")])
    idx.insert([1.0], pairs)
    idx.create([[2.0], [3.0]], [pairs[:-2], list(reversed(pairs))])

    def found(f):
        return [v for _, v in idx.search([5.0], 10, f) if v != [0.0]]

    assert found(("c", 99_999)) == [[1.0]]
    assert found(("other", "99998")) == [[1.0]]
    assert found(("c", 99_997)) == [[2.0]]
    assert found(("c", 1)) == [[3.0]] and found(("other", "0")) == [[3.0]]
