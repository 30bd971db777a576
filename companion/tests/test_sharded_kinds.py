"""The sharded kind's shards of another kind: graphs (`shard_kind="graph"`)
and flat shards of float32 rows, through `Index` and its files."""

from __future__ import annotations

import numpy as np
import pytest

from orbisk_companion import Index

DIM = 12


def clustered(n: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((20, DIM)) * 4
    return centres[rng.integers(0, 20, n)] + rng.standard_normal((n, DIM))


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "inner_product"])
def test_graph_shards_report_exact_scores_and_find_most_neighbours_at_the_ef_asked(metric):
    # Gaussian rows of d = 40: a walk keeping 10 candidates finds about 0.6
    # of the true ten, one keeping 100 nearly all of them.
    rng = np.random.default_rng(1)
    rows, queries = rng.standard_normal((6000, 40)), rng.standard_normal((30, 40))
    flat = Index(40, metric)
    sharded = Index(40, metric, kind="sharded", shards=3, shard_kind="graph", m=8, ef_search=10)
    flat.add(rows)
    sharded.add(rows, threads=1)
    hits = 0
    for q in queries:
        keys, scores = sharded.search(q, 10, ef=100)
        everything, all_scores = flat.search(q, len(rows))
        by_key = dict(zip(everything.tolist(), all_scores.tolist(), strict=True))
        assert [by_key[key] for key in keys.tolist()] == scores.tolist()  # bit for bit
        hits += len(set(keys.tolist()) & set(everything[:10].tolist()))
    assert hits >= 0.9 * 10 * len(queries)


def test_graph_shards_take_the_graphs_parameters_and_keep_them_in_files(tmp_path):
    ix = Index(DIM, kind="sharded", shards=2, shard_kind="graph", m=6, ef_search=20, seed=7)
    ix.add(clustered(500, 3))
    with pytest.raises(ValueError, match="exact shards"):
        ix.search_radius(np.zeros(DIM), 1.0)
    ix.save(tmp_path / "g.idx")
    again = Index.load(tmp_path / "g.idx")
    assert again._engine.parameters == ix._engine.parameters
    assert again._engine.parameters["m"] == 6 and again._engine.parameters["ef_search"] == 20
    keys, _ = again.search(np.zeros(DIM), 5, ef=30)
    assert len(keys) == 5


@pytest.mark.parametrize(
    "options, says",
    [
        (dict(kind="flat", shard_kind="graph"), "shard_kind is for kind='sharded'"),
        (dict(kind="sharded", shard_kind="tree"), "shard_kind must be"),
        (dict(kind="sharded", m=8), "m: only for"),
        (dict(kind="sharded", shard_kind="graph", storage="float32"), "graph keeps float64 rows"),
        (dict(kind="sharded", shard_kind="graph", fields=["a"]), "fields: only for"),
    ],
)
def test_options_that_do_not_fit_the_shards_are_refused(options, says):
    with pytest.raises(ValueError, match=says):
        Index(DIM, **options)


def test_exact_shards_refuse_ef():
    ix = Index(DIM, kind="sharded")
    ix.add(clustered(50, 4))
    with pytest.raises(ValueError, match="only for kind='graph'"):
        ix.search(np.zeros(DIM), 3, ef=10)


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "inner_product"])
def test_float32_shards_answer_bit_for_bit_as_a_float32_flat_index_and_keep_their_storage(metric, tmp_path):
    rows = clustered(700, 5).astype(np.float32)
    flat = Index(DIM, metric, storage="float32")
    sharded = Index(DIM, metric, kind="sharded", shards=3, storage="float32")
    flat.add(rows)
    sharded.add(rows)
    queries = clustered(15, 6)
    for q in queries:
        a, b = flat.search(q, 7), sharded.search(q, 7)
        assert a[0].tolist() == b[0].tolist() and a[1].tobytes() == b[1].tobytes()
    assert sharded.storage == "float32" and sharded.rows.dtype == np.float32
    sharded.save(tmp_path / "s.idx")
    again = Index.load(tmp_path / "s.idx")
    assert again.storage == "float32"
    assert again.search(queries[0], 7)[1].tobytes() == flat.search(queries[0], 7)[1].tobytes()
    inexact = np.full((3, DIM), 0.5)
    inexact[2, 4] = 0.1  # not a float32
    with pytest.raises(ValueError, match="row 2"):
        sharded.add(inexact)
    assert len(sharded) == 700
