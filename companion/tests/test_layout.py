"""How rows are laid out in shards."""

from __future__ import annotations

import numpy as np

from orbisk_shard import LocalBackend, ShardedFlat


def test_first_batch_is_split_evenly() -> None:
    index = ShardedFlat(1, shards=3)
    index.create(np.arange(10.0).reshape(10, 1))
    assert index.shard_ranges == [range(0, 4), range(4, 7), range(7, 10)]
    index.insert([10.0])
    index.create([[11.0], [12.0]])
    assert index.shard_ranges == [range(0, 4), range(4, 7), range(7, 13)]
    assert len(index) == 13
    assert "rows=13, shards=3" in repr(index)


def test_fewer_rows_than_shards() -> None:
    index = ShardedFlat(1, shards=4)
    index.create([[1.0], [2.0]])
    assert index.shard_ranges == [range(0, 1), range(1, 2)]
    assert index.search([2.0], k=5) == [(1, 0.0), (0, 1.0)]


def test_max_shard_rows_opens_new_shards() -> None:
    index = ShardedFlat(1, shards=2, max_shard_rows=3, backend=LocalBackend())
    index.create(np.zeros((8, 1)))  # two shards would exceed 3 rows each
    assert index.shard_ranges == [range(0, 3), range(3, 6), range(6, 8)]
    index.create(np.zeros((5, 1)))
    assert index.shard_ranges == [range(0, 3), range(3, 6), range(6, 9), range(9, 12), range(12, 13)]
    assert index.search([0.0], k=100) == [(i, 0.0) for i in range(13)]


def test_rows_are_copied_in() -> None:
    rows = np.zeros((4, 2))
    index = ShardedFlat(2, shards=2)
    index.create(rows)
    rows[:] = 5.0
    assert index.search([0.0, 0.0], k=1) == [(0, 0.0)]
    assert index.metric == "euclidean" and index.dim == 2
    assert ShardedFlat(2, "cosine").metric == "cosine"
    assert ShardedFlat(2, "angular").metric == "euclidean"
