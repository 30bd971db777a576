"""The in-process backend, and the per-shard search every backend runs."""

from __future__ import annotations

import os

from collections.abc import Callable

import numpy as np

import orbisk

from ._core import Metric, Part, Rows

__all__ = ["LocalBackend", "LocalShard", "ShardIndex", "search_rows"]


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

    def pid(self) -> int:
        return os.getpid()


class LocalShard:
    """A shard held in this process: one PyFlat."""

    def __init__(self, dim: int, metric: Metric, rows: Rows) -> None:
        self._held = ShardIndex(dim, metric)
        self._held.append(rows)

    @property
    def count(self) -> int:
        return self._held.count()

    def append(self, rows: Rows) -> None:
        self._held.append(rows)

    def search(self, queries: object, keep: int) -> Callable[[], Part]:
        assert isinstance(queries, np.ndarray)
        part = self._held.search(queries, keep)
        return lambda: part

    def close(self) -> None:
        self._held = ShardIndex(0, "euclidean")


class LocalBackend:
    """Shards in this process, searched one after the other: no engine, no
    parallelism (a PyFlat holds the interpreter lock). For tests, and to
    check a layout before moving it to a cluster."""

    def new_shard(self, dim: int, metric: Metric, rows: Rows) -> LocalShard:
        return LocalShard(dim, metric, rows)

    def share_queries(self, queries: Rows) -> object:
        return queries
