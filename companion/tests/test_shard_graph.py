"""Graph shards: every distance a ShardedGraph reports is the exact one, its
merge is the exact merge of what each shard's walk finds (with the walk's
ef), and its recall on clustered rows passes a floor. float32 shards refuse
a row they cannot keep, naming its row in the call, and change nothing.
(Histories of graph and float32 shards against one engine index are in
test_shard_sets.py; lost shards in test_engines.py.)"""

from __future__ import annotations

import os
import signal
import threading
from typing import Any

import numpy as np
import pytest

import orbisk_engine
from orbisk_shard import ShardedFlat, ShardedGraph, merge

DIM = 16
RNG = np.random.default_rng(23)
CENTRES = RNG.normal(size=(24, DIM))
ROWS = CENTRES[RNG.integers(0, 24, 7500)] + RNG.normal(size=(7500, DIM))
QUERIES = CENTRES[RNG.integers(0, 24, 60)] + RNG.normal(size=(60, DIM))


def _graph(metric: str, **given: Any) -> ShardedGraph:
    # Shards of 2000, 2500, 2500 and 500 rows: the last one is scanned
    # (a graph scans a set of fewer than 1024 rows), the others walked.
    index = ShardedGraph(DIM, metric, shards=2, max_shard_rows=2500, m=8, ef_construction=64, **given)
    index.create(ROWS[:4000])
    index.create(ROWS[4000:])  # extends the last shard, then opens two
    return index


def _by_shard(index: ShardedGraph, k: int, ef: int) -> tuple[np.ndarray, np.ndarray]:
    """What each in-process shard's own graph finds with `ef`, ids shifted
    to global ones, merged."""
    parts = []
    for r, shard in zip(index.shard_ranges, index.shards, strict=True):
        ids, distances = shard._held._index.search_batch(QUERIES, k, ef=ef)
        parts.append((np.asarray(ids) + r.start, np.asarray(distances)))
    return merge(parts, k)


@pytest.mark.parametrize(("metric", "floor"), [("euclidean", 0.97), ("cosine", 0.95), ("inner_product", 0.92)])
def test_graph_shards_report_exact_distances_and_find_most_of_the_top_10(metric: str, floor: float) -> None:
    index = _graph(metric)
    assert [len(r) for r in index.shard_ranges] == [2000, 2500, 2500, 500]
    flat = orbisk_engine.FlatIndex(DIM, metric)
    flat.add(ROWS)
    all_ids, all_distances = (np.asarray(a) for a in flat.search(QUERIES, len(ROWS)))
    exact = np.empty_like(all_distances)
    np.put_along_axis(exact, all_ids, all_distances, 1)  # query i, row j: the flat distance
    ids, distances = index.search_batch(QUERIES, 10)
    assert ids.shape == (len(QUERIES), 10)
    assert np.array_equal(distances.view(np.int64), np.take_along_axis(exact, ids, 1).view(np.int64))
    assert np.all(np.diff(distances, axis=1) >= 0)
    recall = np.mean([len(set(a) & set(b)) / 10 for a, b in zip(ids, all_ids[:, :10], strict=True)])
    assert recall >= floor, recall
    one = index.search(QUERIES[7], 10)
    assert one == list(zip(ids[7].tolist(), distances[7].tolist(), strict=True))


def test_each_shard_walks_with_the_ef_asked_and_the_lists_merge_exactly() -> None:
    index = _graph("euclidean", ef_search=10)
    narrow, wide = _by_shard(index, 10, 10), _by_shard(index, 10, 400)
    assert not np.array_equal(narrow[0], wide[0])  # the walks' width shows in the answers
    for got, expected in (
        (index.search_batch(QUERIES, 10), narrow),
        (index.search_batch(QUERIES, 10, ef=400), wide),
        (index.search_batch(QUERIES, 10, ef=None, threads=1), narrow),
    ):
        assert np.array_equal(got[0], expected[0]) and np.array_equal(got[1], expected[1])
    assert [index.search(q, 10, ef=400) for q in QUERIES[:5]] == [
        list(zip(i.tolist(), d.tolist(), strict=True)) for i, d in zip(*(w[:5] for w in wide), strict=True)
    ]


def test_every_shard_has_its_own_seed_and_the_same_one_on_every_run() -> None:
    def seeds(seed: int) -> list[int]:
        index = ShardedGraph(4, shards=5, seed=seed)
        index.create(np.arange(40.0).reshape(10, 4))
        index.create(np.arange(8.0).reshape(2, 4))  # into the last shard
        index.compact()
        return [shard._held._index.seed for shard in index.shards]

    first = seeds(7)
    assert len(set(first)) == 5 and seeds(7) == first
    assert not set(first) & set(seeds(8))


@pytest.mark.parametrize(
    ("call", "error", "text"),
    [
        (lambda g: g.search_radius(QUERIES, 1.0), ValueError, "ShardedGraph has no radius search.*ShardedFlat"),
        (lambda g: g.search_batch(QUERIES, 3, ef=0), ValueError, "ef must be at least 1, got 0"),
        (lambda g: g.search(QUERIES[0], 3, ef=2.0), TypeError, "ef must be an int"),
        (lambda g: g.search_batch(QUERIES[:, :3], 3), ValueError, None),
        (lambda g: ShardedGraph(DIM, "euclidian"), ValueError, "unknown metric 'euclidian'"),
        (lambda g: ShardedGraph(DIM, m=1), ValueError, "m must be between 2"),
        (lambda g: ShardedGraph(0), ValueError, "dim must be between 1"),
        (lambda g: ShardedGraph(DIM, seed=-1), ValueError, "seed must be an int from 0 to 2\\*\\*64 - 1"),
        (lambda g: ShardedGraph(DIM, ef_search=0), ValueError, "ef_search must be at least 1"),
    ],
)
def test_graph_arguments_are_refused_before_any_shard_is_asked(call: Any, error: type, text: str | None) -> None:
    index = ShardedGraph(DIM, shards=2)
    index.create(ROWS[:50])
    with pytest.raises(error, match=text):
        call(index)


# -- float32 shards -----------------------------------------------------------

F32 = ROWS[:60].astype(np.float32)


@pytest.mark.parametrize(
    ("at", "value"),
    [
        (41, float(np.nextafter(np.float64(F32[41, 3]), np.inf))),  # one ulp off a float32
        (0, 1e39),  # beyond float32's range
        (59, float(np.nextafter(np.float64(np.finfo(np.float32).max), np.inf))),
    ],
)
def test_float32_shards_refuse_an_inexact_row_by_its_row_in_the_call(at: int, value: float) -> None:
    index = ShardedFlat(DIM, shards=3, max_shard_rows=20, storage="float32")  # a call spans shards
    index.create(F32[:10])
    before = (len(index), index.shard_ranges, index.search_batch(QUERIES, 20))
    rows = F32.astype(np.float64)
    rows[5, 0], rows[6, 1], rows[7, 2] = np.nan, np.inf, -0.0  # kept exactly
    rows[at, 3] = value
    engine = orbisk_engine.FlatIndex(DIM, storage="float32")
    with pytest.raises(orbisk_engine.InexactRowError) as expected:
        engine.add(rows)
    with pytest.raises(orbisk_engine.InexactRowError, match=f"^{expected.value}$") as got:
        index.create(rows)
    assert got.value.row == expected.value.row == at
    assert (len(index), index.shard_ranges) == before[:2]
    assert all(np.array_equal(a, b) for a, b in zip(index.search_batch(QUERIES, 20), before[2], strict=True))
    rows[at, 3] = 0.5
    index.create(rows)
    assert index.rows_of([15, 16, 17]).dtype == np.float32 and np.isnan(index.rows_of([15])[0, 0])
    assert index.storage == "float32" and len(index) == 70


def test_float32_storage_is_named() -> None:
    with pytest.raises(ValueError, match="unknown storage 'float16'"):
        ShardedFlat(DIM, storage="float16")  # type: ignore[arg-type]


def test_an_append_interrupted_inside_a_graph_counts_the_rows_it_linked() -> None:
    rows = np.random.default_rng(4).normal(size=(40000, 32))
    index = ShardedGraph(32, shards=1, m=8, ef_construction=64)
    index.create(rows[:2000])
    timer = threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            index.create(rows[2000:])
    finally:
        timer.cancel()
    n = len(index)
    assert 2000 < n < 40000 and index.shard_ranges == [range(n)]
    ids, _ = index.search_batch(rows[:3], n)
    assert sorted(ids[0].tolist()) == list(range(n))
    assert np.array_equal(np.concatenate(list(index.iter_rows())), rows[:n])
