"""The shard holder: one shard's rows in an engine index of the shard's
kind (a flat index, or a graph), and its search on the cores of the process
that holds it. The Ray and Dask actors are holders; so is the in-process
shard's store."""

from __future__ import annotations

import numpy as np

import orbisk_engine

from ._types import FLAT, FlatKind, Ids, Kind, Mask, Metric, Part, Radius, Rows
from .locking import ReadWriteLock, reads, writes

__all__ = ["ShardIndex"]


def _new_index(dim: int, metric: Metric, kind: Kind) -> orbisk_engine.FlatIndex | orbisk_engine.GraphIndex:
    if isinstance(kind, FlatKind):
        return orbisk_engine.FlatIndex(dim, metric, storage=kind.storage)
    return orbisk_engine.GraphIndex(dim, metric, m=kind.m, ef_construction=kind.ef_construction, seed=kind.seed)


class ShardIndex:
    """One shard's rows in an `orbisk_engine.FlatIndex` or, for a
    `GraphKind`, an `orbisk_engine.GraphIndex`, wherever it is held: what
    the shard actors of every backend, and the in-process shard, have in
    common. Each result row of a flat shard is what `PyFlat.search` gives
    over the rows searched (not removed and, with a mask, admitted by it);
    a graph shard's has the rows its walk found, with the same distances.
    Rows are added on every core of the process (the graph is linked there).

    Safe to share between threads: searches and reads of rows run together,
    a change waits for them and runs alone (`locking`)."""

    def __init__(self, dim: int, metric: Metric, kind: Kind = FLAT) -> None:
        # A released shard keeps dimension 0 and holds nothing.
        self._index = _new_index(dim, metric, kind) if dim > 0 else None
        self._dim = dim
        self._dtype = kind.dtype
        self._lock = ReadWriteLock()

    @writes
    def append(self, rows: Rows) -> int:
        """Copy `rows` into the index; the number of rows held after."""
        if self._index is not None:
            self._index.add(rows)
        return self.count()

    @reads
    def search(
        self, queries: Rows, keep: int, threads: int | None = None, mask: Mask | None = None, ef: int | None = None
    ) -> Part:
        """Local ids and distances of shape (queries, min(keep, searched)),
        in PyFlat's order, on `threads` threads (None: every core here); a
        graph's walks keep max(`ef`, keep) candidates (None: its default)."""
        if self._index is None:
            return np.empty((queries.shape[0], 0), dtype=np.int64), np.empty((queries.shape[0], 0))
        if isinstance(self._index, orbisk_engine.GraphIndex):
            found = self._index.search_batch(queries, keep, ef=ef, mask=mask, threads=threads)
        else:
            found = self._index.search(queries, keep, mask=mask, threads=threads)
        return np.asarray(found[0]), np.asarray(found[1])

    @reads
    def search_radius(
        self, queries: Rows, radius: float, threads: int | None = None, mask: Mask | None = None
    ) -> Radius:
        """(offsets, local ids, distances): the engine's radius search."""
        if self._index is None:
            return np.zeros(queries.shape[0] + 1, dtype=np.int64), np.empty(0, dtype=np.int64), np.empty(0)
        assert isinstance(self._index, orbisk_engine.FlatIndex)  # the sharded graph asks no radius
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
        """A copy of the rows of local `ids` (removed ones too, until
        compacted), as stored: float32 for float32 storage."""
        if self._index is None:
            return np.empty((0, self._dim), dtype=self._dtype)
        return np.asarray(self._index.rows)[ids]

    @reads
    def count(self) -> int:
        """Rows held, removed ones included."""
        return 0 if self._index is None else len(self._index)
