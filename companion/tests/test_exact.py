"""Every backend answers exactly as one PyFlat over all the rows."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import pytest

import orbisk
from orbisk_shard import ShardedFlat

import exactness
from conftest import mismatch


def test_grid_is_identical_to_one_pyflat(backend: Callable[[], Any]) -> None:
    compared, bad = exactness.run(backend)
    assert compared == 3 * 3 * 7 * 6 * 2
    assert not bad, "\n".join(bad[:20])


@pytest.mark.parametrize("metric", exactness.METRICS)
def test_appends_keep_ids_and_results(backend: Callable[[], Any], metric: str | None) -> None:
    """insert and create after the first batch: extend the last shard, or
    open new ones past max_shard_rows; still one PyFlat's answers."""
    rows, queries = exactness.data(600)
    reference = orbisk.PyFlat(rows.shape[1], metric)
    with ShardedFlat(rows.shape[1], metric, shards=2, max_shard_rows=250, backend=backend()) as index:
        for target in (reference, index):
            target.create(rows[:300])
            for r in rows[300:310]:
                target.insert(r)
            target.create(rows[310:].tolist())
        # 300 rows split in two; 10 inserts and 90 rows fill the last shard
        # up to 250; the other 200 open a new one.
        assert index.shard_ranges == [range(0, 150), range(150, 400), range(400, 600)]
        for k in exactness.ks(600):
            ids, distances = index.search_batch(queries, k)
            for i, q in enumerate(queries):
                expected = reference.search(q, k)
                assert mismatch(expected, index.search(q, k)) is None
                assert mismatch(expected, list(zip(ids[i].tolist(), distances[i].tolist(), strict=True))) is None


def test_insert_one_by_one(backend: Callable[[], Any]) -> None:
    rng = np.random.default_rng(3)
    rows = rng.normal(size=(40, 4))
    reference = orbisk.PyFlat(4, "cosine")
    with ShardedFlat(4, "cosine", shards=3, max_shard_rows=16, backend=backend()) as index:
        for r in rows:
            reference.insert(r)
            index.insert(list(r))
        assert index.shard_ranges == [range(0, 16), range(16, 32), range(32, 40)]
        for q in rows[:5]:
            assert mismatch(reference.search(q, 40), index.search(q, 40)) is None
