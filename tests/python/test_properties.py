"""Randomised checks against the plain-Python metrics: PyFlat over arbitrary
data, PyHNSW wherever its answer is fully determined."""

import math

from hypothesis import assume, given, settings, strategies as st
from shared import ranked, same_double

import orbisk

from metric_models import cosine, dot, euclidean

FLAT = {None: euclidean, "cosine": cosine, "inner_product": dot}
GRAPH = {"euclidean": euclidean, "angular": cosine, "inner_product": dot}

# Small integers give exact ties and zero norms, wide floats overflow to inf
# (and inf - inf to NaN), the specials hit every ranking rule.
coord = st.one_of(
    st.integers(-3, 3).map(float),
    st.floats(-1e3, 1e3),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, math.inf, -math.inf, math.nan, 1e308, -1e308, 5e-324]),
)
finite = st.floats(-100, 100, allow_nan=False, allow_infinity=False)


@st.composite
def flat_case(draw):
    dim = draw(st.integers(1, 19))
    rows = draw(st.lists(st.lists(coord, min_size=dim, max_size=dim), min_size=1, max_size=40))
    query = draw(st.lists(coord, min_size=dim, max_size=dim))
    return dim, rows, query, draw(st.integers(0, len(rows) + 3)), draw(st.sampled_from(sorted(FLAT, key=str)))


@settings(max_examples=200, deadline=None)
@given(flat_case())
def test_flat_equals_the_model(case):
    dim, rows, query, k, metric = case
    idx = orbisk.PyFlat(dim, metric)
    idx.create(rows)
    want = ranked(query, rows, FLAT[metric])[: max(k, 1)]
    got = idx.search(query, k)
    assert [i for i, _ in got] == [i for _, i in want]
    assert all(same_double(d, e) for (_, d), (e, _) in zip(got, want, strict=True))


@st.composite
def graph_case(draw):
    dim = draw(st.integers(1, 6))
    rows = draw(st.lists(st.lists(finite, min_size=dim, max_size=dim), min_size=1, max_size=30, unique_by=tuple))
    query = draw(st.lists(finite, min_size=dim, max_size=dim))
    return dim, rows, query, draw(st.sampled_from(sorted(GRAPH)))


@settings(max_examples=150, deadline=None)
@given(graph_case(), st.integers(1, 5), st.integers(1, 40), st.integers(0, 10))
def test_graph_with_full_capacity_returns_every_node_in_order(case, layers, ef_construction, extra):
    dim, rows, query, metric = case
    want = ranked(query, rows, GRAPH[metric])
    dists = [d for d, _ in want]
    assume(not any(math.isnan(d) for d in dists) and len(set(dists)) == len(dists))
    idx = orbisk.PyHNSW(dim, layers, ef_construction=ef_construction, ef_search=len(rows) + extra, metric=metric)
    idx.create(rows)
    got = idx.search(query, len(rows) + extra)
    assert [v for _, v in got] == [rows[i] for _, i in want]
    assert all(same_double(d, e) for (d, _), e in zip(got, dists, strict=True))


@settings(max_examples=100, deadline=None)
@given(graph_case(), st.integers(1, 6), st.integers(1, 8), st.integers(0, 8), st.booleans())
def test_single_layer_builds_agree(case, ef_construction, ef_search, k, batch):
    dim, rows, query, metric = case
    a = orbisk.PyHNSW(dim, 1, ef_construction=ef_construction, ef_search=ef_search, metric=metric)
    b = orbisk.PyHNSW(dim, 1, ef_construction=ef_construction, ef_search=ef_search, metric=metric)
    a.create(rows)
    if batch:
        b.create(rows)
    else:
        for r in rows:
            b.insert(r)
    got, again = a.search(query, k), b.search(query, k)
    assert [v for _, v in got] == [v for _, v in again]
    assert all(same_double(d, e) for (d, _), (e, _) in zip(got, again, strict=True))
