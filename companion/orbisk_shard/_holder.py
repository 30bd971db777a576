"""The shard holder: one shard's rows in the engine's flat index, and its
search on the cores of the process that holds it. The Ray and Dask actors
are holders; so is the in-process shard's store."""

from __future__ import annotations

import numpy as np

import orbisk_engine

from ._types import Metric, Part, Rows

__all__ = ["ShardIndex"]


class ShardIndex:
    """One shard's rows in an `orbisk_engine.FlatIndex`, wherever it is
    held: what the shard actors of every backend, and the in-process shard,
    have in common. Each result row is what `PyFlat.search` gives."""

    def __init__(self, dim: int, metric: Metric) -> None:
        # A released shard keeps dimension 0 and holds nothing.
        self._index = orbisk_engine.FlatIndex(dim, metric) if dim > 0 else None
        self._count = 0

    def append(self, rows: Rows) -> int:
        """Copy `rows` into the index; the number of rows held after."""
        if self._index is not None:
            self._index.add(rows)
        self._count += rows.shape[0]
        return self._count

    def search(self, queries: Rows, keep: int, threads: int | None = None) -> Part:
        """Local ids and distances of shape (queries, min(keep, count)), in
        PyFlat's order, on `threads` threads (None: every core here)."""
        if self._index is None:
            return np.empty((queries.shape[0], 0), dtype=np.int64), np.empty((queries.shape[0], 0))
        ids, distances = self._index.search(queries, keep, threads=threads)
        return np.asarray(ids), np.asarray(distances)

    def count(self) -> int:
        return self._count
