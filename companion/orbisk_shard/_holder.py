"""The shard holder: one shard's rows in the engine's flat index, and its
search on the cores of the process that holds it. The Ray and Dask actors
are holders; so is the in-process shard's store."""

from __future__ import annotations

import numpy as np

import orbisk_engine

from ._types import Ids, Mask, Metric, Part, Radius, Rows
from .locking import ReadWriteLock, reads, writes

__all__ = ["ShardIndex"]


class ShardIndex:
    """One shard's rows in an `orbisk_engine.FlatIndex`, wherever it is
    held: what the shard actors of every backend, and the in-process shard,
    have in common. Each result row is what `PyFlat.search` gives over the
    rows searched (not removed and, with a mask, admitted by it).

    Safe to share between threads: searches and reads of rows run together,
    a change waits for them and runs alone (`locking`)."""

    def __init__(self, dim: int, metric: Metric) -> None:
        # A released shard keeps dimension 0 and holds nothing.
        self._index = orbisk_engine.FlatIndex(dim, metric) if dim > 0 else None
        self._dim = dim
        self._lock = ReadWriteLock()

    @writes
    def append(self, rows: Rows) -> int:
        """Copy `rows` into the index; the number of rows held after."""
        if self._index is not None:
            self._index.add(rows)
        return self.count()

    @reads
    def search(self, queries: Rows, keep: int, threads: int | None = None, mask: Mask | None = None) -> Part:
        """Local ids and distances of shape (queries, min(keep, searched)),
        in PyFlat's order, on `threads` threads (None: every core here)."""
        if self._index is None:
            return np.empty((queries.shape[0], 0), dtype=np.int64), np.empty((queries.shape[0], 0))
        ids, distances = self._index.search(queries, keep, mask=mask, threads=threads)
        return np.asarray(ids), np.asarray(distances)

    @reads
    def search_radius(
        self, queries: Rows, radius: float, threads: int | None = None, mask: Mask | None = None
    ) -> Radius:
        """(offsets, local ids, distances): the engine's radius search."""
        if self._index is None:
            return np.zeros(queries.shape[0] + 1, dtype=np.int64), np.empty(0, dtype=np.int64), np.empty(0)
        offsets, ids, distances = self._index.search_radius(queries, radius, mask=mask, threads=threads)
        return np.asarray(offsets), np.asarray(ids), np.asarray(distances)

    @writes
    def remove(self, ids: Ids) -> int:
        """Mark local rows removed; the number removed and not compacted."""
        if self._index is None:
            return 0
        self._index.remove(ids)
        return int(self._index.removed)

    @writes
    def compact(self) -> int:
        """Drop the removed rows; the number of rows held after."""
        if self._index is not None:
            self._index.compact()
        return self.count()

    @reads
    def rows(self, ids: Ids) -> Rows:
        """A copy of the rows of local `ids` (removed ones too, until compacted)."""
        if self._index is None:
            return np.empty((0, self._dim))
        return np.asarray(self._index.rows)[ids]

    @reads
    def count(self) -> int:
        """Rows held, removed ones included."""
        return 0 if self._index is None else len(self._index)
