"""The shard holder: one shard's rows in a PyFlat, and its search. The Ray
and Dask actors are holders; so is the in-process shard's store."""

from __future__ import annotations

import numpy as np

import orbisk

from ._types import Metric, Part, Rows

__all__ = ["ShardIndex", "search_rows"]


def search_rows(index: orbisk.PyFlat, queries: Rows, keep: int, count: int) -> Part:
    """Search `index` (holding `count` rows) for every query; local ids and
    distances of shape (queries, min(keep, count)), in PyFlat's order."""
    c = min(keep, count)
    ids = np.empty((queries.shape[0], c), dtype=np.int64)
    distances = np.empty((queries.shape[0], c), dtype=np.float64)
    for i in range(queries.shape[0]):
        found = index.search(queries[i], keep)
        # float64 holds every 32-bit id exactly; the distances are unchanged.
        pairs = np.array(found, dtype=np.float64).reshape(c, 2)
        ids[i] = pairs[:, 0]
        distances[i] = pairs[:, 1]
    return ids, distances


class ShardIndex:
    """One shard's rows in a PyFlat, wherever it is held: what the shard
    actors of every engine, and the in-process shard, have in common."""

    def __init__(self, dim: int, metric: Metric) -> None:
        self._index = orbisk.PyFlat(dim, metric)
        self._count = 0

    def append(self, rows: Rows) -> int:
        """Copy `rows` into the index; the number of rows held after."""
        self._index.create(rows)
        self._count += rows.shape[0]
        return self._count

    def search(self, queries: Rows, keep: int) -> Part:
        return search_rows(self._index, queries, keep, self._count)

    def count(self) -> int:
        return self._count
