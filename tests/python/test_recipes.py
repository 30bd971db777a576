"""The recipes of docs/recipes.md, taken from that page itself, against
plain-Python models: most similar first, ids and exact filters from PyHNSW,
and the chunked loader's Ctrl-C; and against the companion's one call that
the README offers in their place (`Index.search` of a flat and of a graph
index), which must answer as the recipe does."""

import math
import signal
import sys
from array import array

import pytest
from hypothesis import given, settings, strategies as st
from shared import float_bits, nan_last, same_double

import orbisk

import readme_blocks
from metric_models import cosine, dot

SIMILARITY = {"cosine": cosine, "inner_product": dot}
GRAPH_METRIC = {"cosine": "angular", "inner_product": "inner_product"}

# Small integers give exact ties, zero vectors and zero similarities; wide
# floats overflow; the specials hit NaN and signed zeros.
coord = st.one_of(
    st.integers(-3, 3).map(float),
    st.floats(-1e3, 1e3),
    st.sampled_from([0.0, -0.0, math.inf, -math.inf, math.nan, 1e308, -1e308, 5e-324]),
)


class Recipes(dict):
    def __repr__(self):
        return "<the recipes of docs/recipes.md>"


@pytest.fixture(scope="module")
def recipes():
    names = Recipes()
    for heading in (
        "Most similar first",
        "Ids, metadata and exact filters from PyHNSW",
        "Loading in chunks, with progress and Ctrl-C",
    ):
        names.update(readme_blocks.run(heading, readme_blocks.RECIPES))
    return names


@pytest.fixture(scope="module")
def companion():
    """orbisk_companion.Index from the checkout (pure Python over numpy)."""
    pytest.importorskip("numpy")
    path = str(readme_blocks.ROOT / "companion")
    sys.path.insert(0, path)
    try:
        from orbisk_companion import Index
    finally:
        sys.path.remove(path)
    return Index


def given_back(s, sim):
    """What 0.0 - distance gives back for the similarity sim: sim bit for
    bit, but +0.0 for -0.0 (a negative cosine that rounds to zero)."""
    return same_double(s, 0.0 if sim == 0.0 else sim)


@st.composite
def similarity_case(draw):
    dim = draw(st.integers(1, 9))
    rows = draw(st.lists(st.lists(coord, min_size=dim, max_size=dim), min_size=1, max_size=40))
    query = draw(st.lists(coord, min_size=dim, max_size=dim))
    return rows, query, draw(st.integers(0, len(rows) + 2)), draw(st.sampled_from(sorted(SIMILARITY)))


def descending(rows, query, fn):
    """Ids by descending similarity, ties by ascending id, NaN last."""
    sims = [fn(query, r) for r in rows]
    return sorted(range(len(rows)), key=lambda i: (*nan_last(-sims[i]), i)), sims


@settings(max_examples=300, deadline=None)
@given(similarity_case())
def test_most_similar_is_the_model_by_descending_similarity(recipes, case):
    rows, query, k, metric = case
    index = orbisk.PyFlat(len(query), metric)
    index.create(rows)
    order, sims = descending(rows, query, SIMILARITY[metric])
    got = recipes["most_similar"](index, query, k)
    assert [i for i, _ in got] == order[: max(k, 1)]
    assert all(given_back(s, sims[i]) for i, s in got)


@settings(max_examples=150, deadline=None)
@given(similarity_case())
def test_the_companion_flat_index_answers_as_most_similar(recipes, companion, case):
    # The companion gives a zero similarity its true sign where the recipe
    # gives +0.0; everything else, ids and order included, is the same.
    import numpy as np

    rows, query, k, metric = case
    k = max(k, 1)
    index = orbisk.PyFlat(len(query), metric)
    index.create(rows)
    expected = recipes["most_similar"](index, query, k)
    everyday = companion(len(query), metric, allow_nonfinite=True)
    everyday.add(np.array(rows, dtype=np.float64))
    keys, scores = everyday.search(query, k=k)
    assert keys.tolist() == [i for i, _ in expected]
    assert all(given_back(s, sim) for (_, s), sim in zip(expected, scores.tolist(), strict=True))


@settings(max_examples=100, deadline=None)
@given(similarity_case())
def test_graph_with_negated_query_lists_similarities_descending(case):
    # One layer and fewer nodes than ef_search: every node is found.
    rows, query, _, metric = case
    graph = orbisk.PyHNSW(len(query), metric=GRAPH_METRIC[metric], layers=1)
    graph.create(rows)
    order, sims = descending(rows, query, SIMILARITY[metric])
    got = [(0.0 - d, v) for d, v in graph.search([-x for x in query], k=len(rows))]
    assert all(given_back(s, SIMILARITY[metric](query, v)) for s, v in got)
    assert [None if math.isnan(s) else s for s, _ in got] == [None if math.isnan(sims[i]) else sims[i] for i in order]


# Vectors that a map keyed by the original Python floats gets wrong:
# float32 input, -0.0 beside 0.0, NaN, integers, and duplicates.
POOL = [
    [0.1, 0.2],
    array("f", [0.1, 0.2]),
    [0.0, 1.0],
    [-0.0, 1.0],
    [math.nan, 1.0],
    [1, 2],
    [1.0, 2.0],
    [True, 5],
    [3.0, -4.0],
]


def stored_bits(vector):
    return [float_bits(float(x)) for x in vector]


@settings(max_examples=100, deadline=None)
@given(st.lists(st.integers(0, len(POOL) - 1), min_size=1, max_size=30), st.integers(0, 30))
def test_ids_map_every_result_to_a_distinct_id_holding_it(recipes, picks, first_batch):
    rows = [POOL[p] for p in picks]
    graph = orbisk.PyHNSW(2, metric="euclidean", layers=1)
    ids = recipes["Ids"]()
    head, tail = rows[:first_batch], rows[first_batch:]
    if head:
        graph.create(head)
        ids.add(head)
    for row in tail:  # later inserts
        graph.insert(row)
        ids.add([row])
    found = graph.search([0.5, 0.5], k=len(rows))
    got = ids.ids(found)
    assert sorted(got) == list(range(len(rows)))
    assert all(stored_bits(rows[i]) == stored_bits(v) for i, (_, v) in zip(got, found, strict=True))


class Index:
    def __init__(self, i):
        self.i = i

    def __index__(self):
        return self.i


VALUES = [1, 1.0, "1", True, 0, -0.0, 0.0, math.nan, 2**70, float(2**70), 2**63 - 1, Index(1), "a"]


@pytest.mark.parametrize("value", VALUES, ids=repr)
def test_matches_compares_as_the_index_does(recipes, value):
    graph = orbisk.PyHNSW(1, metric="euclidean", layers=1, schema=["v"])
    graph.create([[0.0], [1.0]], [[("v", "node 0")], [("v", value)]])
    for wanted in VALUES:
        admitted = [1.0] in [v for _, v in graph.search([1.0], k=2, filter=("v", wanted))]
        assert recipes["matches"]({"v": value}, "v", wanted) == admitted, wanted


# Nodes at positions 0-3 on a line, so node 0's vector is often shared, each
# with a color; the wanted color; the query's position.
FILTER_CASE = (
    st.lists(st.tuples(st.integers(0, 3), st.sampled_from(["red", "blue", 1, 1.0])), min_size=1, max_size=30),
    st.sampled_from(["red", "blue", 1, 1.0]),
    st.integers(0, 3),
)


def filtered(recipes, nodes, wanted, q):
    """The rows, and the recipe's search_filtered over a one-layer graph of
    them: fewer nodes than ef_search, so every matching node is found."""
    rows = [[float(p)] for p, _ in nodes]
    metadata = [[("color", c)] for _, c in nodes]
    graph = orbisk.PyHNSW(1, metric="euclidean", layers=1, schema=["color"])
    graph.create(rows, metadata)
    ids = recipes["Ids"]()
    ids.add(rows, metadata)
    return rows, recipes["search_filtered"](graph, ids, [float(q)], len(rows), "color", wanted)


@settings(max_examples=150, deadline=None)
@given(*FILTER_CASE)
def test_search_filtered_returns_exactly_the_matching_nodes(recipes, nodes, wanted, q):
    rows, got = filtered(recipes, nodes, wanted, q)
    matching = [i for i, (_, c) in enumerate(nodes) if recipes["matches"]({"color": c}, "color", wanted)]
    assert len({i for i, _, _ in got}) == len(got)
    assert all(i in matching and v == rows[i] for i, _, v in got)
    assert sorted((d, v) for _, d, v in got) == sorted((abs(rows[i][0] - q), rows[i]) for i in matching)


@settings(max_examples=100, deadline=None)
@given(*FILTER_CASE)
def test_the_companion_graph_filters_as_search_filtered(recipes, companion, nodes, wanted, q):
    # The same one-layer graph in the companion, whose keys are the row ids
    # by default.
    import numpy as np

    rows, expected = filtered(recipes, nodes, wanted, q)
    everyday = companion(1, kind="graph", fields=["color"], layers=1)
    everyday.add(np.array(rows), metadata=[{"color": c} for _, c in nodes])
    keys, scores = everyday.search([float(q)], k=len(rows), filter={"color": wanted})
    assert sorted(zip(scores.tolist(), keys.tolist(), strict=True)) == sorted((d, i) for i, d, _ in expected)


class RaisesSigint:
    """A number whose conversion raises SIGINT, as Ctrl-C would, once."""

    fired = False

    def __init__(self, value):
        self.value = value

    def __float__(self):
        if not RaisesSigint.fired:
            RaisesSigint.fired = True
            signal.raise_signal(signal.SIGINT)
        return self.value


def stored_count(index, rows):
    if isinstance(index, orbisk.PyFlat):
        return len(index.search([0.0], k=4294967295))
    return len(index.search([0.0], k=rows))


@pytest.mark.parametrize(
    "make",
    [lambda n: orbisk.PyFlat(1), lambda n: orbisk.PyHNSW(1, metric="euclidean", layers=1, ef_search=n)],
    ids=["PyFlat", "PyHNSW"],
)
def test_ctrl_c_ends_the_load_after_the_chunk_with_an_exact_count(recipes, make):
    n, chunk = 300, 100
    rows = [[float(i)] for i in range(n)]
    rows[150] = [RaisesSigint(150.0)]  # in the second chunk
    RaisesSigint.fired = False
    index = make(n)
    before = signal.getsignal(signal.SIGINT)
    assert recipes["load"](index, rows, chunk=chunk) == 200
    assert stored_count(index, n) == 200
    assert signal.getsignal(signal.SIGINT) is before
