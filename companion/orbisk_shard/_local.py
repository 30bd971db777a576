"""The in-process backend."""

from __future__ import annotations

from collections.abc import Callable

import numpy as np

from ._holder import ShardIndex
from ._types import Metric, Part, Rows

__all__ = ["LocalBackend", "LocalShard"]


class LocalShard:
    """A shard held in this process: one engine flat index."""

    def __init__(self, dim: int, metric: Metric, rows: Rows) -> None:
        self._held = ShardIndex(dim, metric)
        self._held.append(rows)

    @property
    def count(self) -> int:
        return self._held.count()

    def append(self, rows: Rows) -> None:
        self._held.append(rows)

    def search(self, queries: object, keep: int, threads: int | None = None) -> Callable[[], Part]:
        assert isinstance(queries, np.ndarray)
        part = self._held.search(queries, keep, threads)
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
