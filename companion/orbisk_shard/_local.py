"""The in-process backend."""

from __future__ import annotations

from collections.abc import Callable

import numpy as np

from ._holder import ShardIndex
from ._types import FLAT, Ids, Kind, Mask, Metric, Part, Radius, Rows

__all__ = ["LocalBackend", "LocalShard"]


class LocalShard:
    """A shard held in this process: one engine index of its kind."""

    def __init__(self, dim: int, metric: Metric, rows: Rows, kind: Kind = FLAT) -> None:
        self._held = ShardIndex(dim, metric, kind)
        self._held.append(rows)

    @property
    def count(self) -> int:
        return self._held.count()

    def append(self, rows: Rows) -> None:
        self._held.append(rows)

    def search(
        self,
        queries: object,
        keep: int,
        threads: int | None = None,
        mask: Mask | None = None,
        ef: int | None = None,
    ) -> Callable[[], Part]:
        assert isinstance(queries, np.ndarray)
        part = self._held.search(queries, keep, threads, mask, ef)
        return lambda: part

    def search_radius(
        self, queries: object, radius: float, threads: int | None = None, mask: Mask | None = None
    ) -> Callable[[], Radius]:
        assert isinstance(queries, np.ndarray)
        found = self._held.search_radius(queries, radius, threads, mask)
        return lambda: found

    def remove(self, ids: Ids) -> None:
        self._held.remove(ids)

    def compact(self) -> None:
        self._held.compact()

    def rows(self, ids: Ids) -> Rows:
        return self._held.rows(ids)

    def close(self) -> None:
        self._held = ShardIndex(0, "euclidean")


class LocalBackend:
    """Shards in this process, searched one after the other. For tests, and
    to check a layout before moving it to a cluster."""

    def new_shard(self, dim: int, metric: Metric, rows: Rows, kind: Kind = FLAT) -> LocalShard:
        return LocalShard(dim, metric, rows, kind)

    def share_queries(self, queries: Rows) -> object:
        return queries
