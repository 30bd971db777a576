"""Bad input to Index: a clear exception, and the index as it was."""

from __future__ import annotations

import numpy as np
import pytest

from orbisk_companion import METRICS, Index


@pytest.mark.parametrize("kind", ["flat", "graph", "sharded"])
@pytest.mark.parametrize("metric", ["Cosine", "l2", "angular", "dot", "", None, 3])
def test_unknown_metric_names_are_refused_with_the_valid_ones(kind, metric):
    with pytest.raises(ValueError, match="expected one of 'euclidean', 'cosine', 'inner_product'") as e:
        Index(3, metric, kind)
    assert ("'angular' is the graph extension's name for 'cosine'" in str(e.value)) == (metric == "angular")
    assert METRICS == ("euclidean", "cosine", "inner_product")


@pytest.mark.parametrize(
    "args, kw, error, message",
    [
        ((0,), {}, ValueError, "dim must be between 1"),
        ((3.0,), {}, TypeError, "dim must be an int"),
        ((3, "euclidean", "tree"), {}, ValueError, "unknown kind 'tree'"),
        ((3,), {"ef_search": 10}, ValueError, "ef_search: only for kind='graph'"),
        ((3,), {"fields": ["a"]}, ValueError, "fields: only for kind='graph'"),
        ((3, "euclidean", "graph"), {"ef_construction": 0}, ValueError, "ef_construction must be between 1"),
        ((3, "euclidean", "graph"), {"fields": "ab"}, TypeError, "fields must be a sequence of str"),
        ((3, "euclidean", "graph"), {"fields": ["a", "a"]}, ValueError, "must not repeat"),
        ((3, "euclidean", "graph"), {"seed": -1}, ValueError, "seed must be between 0"),
        ((3,), {"seed": 1}, ValueError, "seed: only for kind='graph'"),
        ((3, "euclidean", "sharded"), {"shards": 0}, ValueError, "shards must be between 1"),
    ],
)
def test_bad_construction(args, kw, error, message):
    with pytest.raises(error, match=message):
        Index(*args, **kw)


@pytest.mark.parametrize("kind", ["sharded"])
def test_only_flat_and_graph_indexes_take_a_restored_engine(kind):
    source = Index(3, "cosine", "flat")
    source.add(np.eye(3))
    snap = source.snapshot()
    snap = type(snap)(**{**vars(snap), "kind": kind, "parameters": Index(3, "cosine", kind).parameters})
    with pytest.raises(ValueError, match="only flat and graph indexes take an engine holding their rows"):
        Index.from_snapshot(snap, restore=True)
    assert Index.from_snapshot(snap).search([1.0, 0.0, 0.0], 1)[0].tolist() == [0]  # rows added again


def filled(kind: str) -> Index:
    index = Index(3, "cosine", kind, **({"fields": ["c"]} if kind == "graph" else {}))
    index.add(np.eye(3), keys=["a", "b", "c"], metadata=[{"c": 1}, {"c": 2}, {"c": 3}])
    return index


def snapshot(index: Index):
    return (
        len(index),
        index.keys,
        index.rows.tobytes(),
        [index.metadata(k) for k in index.keys],
        [index.search(q, 3)[0].tolist() for q in np.eye(3)],
    )


@pytest.mark.parametrize("kind", ["flat", "graph", "sharded"])
@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda ix: ix.search([1.0, 0.0]), ValueError, "Expected query of length 3, got 2"),
        (lambda ix: ix.search([1.0, 0.0, 0.0, 0.0]), ValueError, "Expected query of length 3, got 4"),
        (lambda ix: ix.search([[1.0, 0.0, 0.0]]), ValueError, "Expected query of length 3, got an array"),
        (lambda ix: ix.search(["a", "b", "c"]), TypeError, "must hold real numbers"),
        (lambda ix: ix.search([1.0, 0.0, 0.0], -1), ValueError, "k must be at least 0"),
        (lambda ix: ix.search([1.0, 0.0, 0.0], 2.0), TypeError, "k must be an int"),
        (lambda ix: ix.search_batch(np.zeros((2, 2))), ValueError, r"shape \(m, 3\)"),
        (lambda ix: ix.add(np.zeros((2, 2))), ValueError, r"shape \(n, 3\)"),
        (lambda ix: ix.add(np.zeros(3)), ValueError, r"shape \(n, 3\)"),
        (lambda ix: ix.add(np.zeros((2, 3), dtype=complex)), TypeError, "real numbers"),
        (lambda ix: ix.add(np.ones((2, 3)), keys=["d", "a"], metadata=[{"c": 0}] * 2), ValueError, "duplicate key 'a'"),
        (lambda ix: ix.add(np.ones((2, 3)), keys=["d", "d"], metadata=[{"c": 0}] * 2), ValueError, "duplicate key 'd'"),
        (lambda ix: ix.add(np.ones((2, 3)), keys=["d", []], metadata=[{"c": 0}] * 2), TypeError, "not hashable"),
        (lambda ix: ix.add(np.ones((2, 3)), keys=["d"], metadata=[{"c": 0}] * 2), ValueError, "got 1 keys for 2 rows"),
        (lambda ix: ix.add(np.ones((2, 3)), keys="de", metadata=[{"c": 0}] * 2), TypeError, "not a single str"),
        (lambda ix: ix.add(np.ones((2, 3)), metadata=[{"c": 0}]), ValueError, "1 metadata entries for 2 rows"),
        (lambda ix: ix.add(np.ones((1, 3)), metadata=["c"]), TypeError, "must be a mapping or None"),
    ],
)
def test_bad_calls_leave_the_index_as_it_was(kind, call, error, message):
    index = filled(kind)
    before = snapshot(index)
    with pytest.raises(error, match=message):
        call(index)
    assert snapshot(index) == before


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda ix: ix.add(np.ones((2, 3)), metadata=[{"c": 0}, {"d": 1}]), ValueError, "row 1 lacks field 'c'"),
        (lambda ix: ix.add(np.ones((2, 3))), ValueError, "every row needs metadata"),
        (lambda ix: ix.add(np.ones((1, 3)), metadata=[{"c": None}]), ValueError, "must be a str, int or float"),
        (lambda ix: ix.add(np.ones((1, 3)), metadata=[{"c": 10**400}]), ValueError, "must be a str, int or float"),
        (lambda ix: ix.add(np.ones((1, 3)), metadata=[{"c": "\ud800"}]), ValueError, "must be a str, int or float"),
    ],
)
def test_bad_graph_metadata(call, error, message):
    index = filled("graph")
    before = snapshot(index)
    with pytest.raises(error, match=message):
        call(index)
    assert snapshot(index) == before


def test_default_keys_skip_ints_already_taken():
    index = Index(1)
    index.add(np.zeros((2, 1)), keys=[1, 3])
    index.add(np.zeros((3, 1)))
    assert index.keys == [1, 3, 2, 4, 5]
    assert 3 in index and "x" not in index and [] not in index


@pytest.mark.parametrize("kind", ["flat", "graph", "sharded"])
def test_a_filter_on_a_field_no_row_has_names_the_fields_the_rows_have(kind):
    index = Index(3, kind=kind)
    assert index.search(np.ones(3), filter={"colour": "red"})[0].tolist() == []  # no rows, no fields
    index.add(np.eye(3), keys=["a", "b", "c"], metadata=[{"color": "red"}, {"color": "blue", "size": 2}, None])
    with pytest.raises(
        ValueError, match=r"filter on field 'colour': no row has it \(the rows have \['color', 'size'\]\)"
    ):
        index.search_batch(np.ones((1, 3)), filter={"color": "red", "colour": "red"})
    assert index.search(np.ones(3), filter={"size": 2})[0].tolist() == ["b"]  # a field some rows have


@pytest.mark.parametrize("kind", ["flat", "graph", "sharded"])
@pytest.mark.parametrize("ef", [0, 5, 2**32, 2.0])
def test_ef_is_a_graphs_and_a_count(kind, ef):
    index = filled(kind)
    before = snapshot(index)
    if kind != "graph":
        error, message = ValueError, "only for kind='graph'"
    else:
        error, message = (TypeError, "ef must be an int") if ef == 2.0 else (ValueError, "ef must be between 1")
    for call in (lambda: index.search(np.ones(3), ef=ef), lambda: index.search_batch(np.ones((2, 3)), ef=ef)):
        if (kind, ef) == ("graph", 5):
            call()
            continue
        with pytest.raises(error, match=message):
            call()
    assert snapshot(index) == before
