"""What a remote shard keeps outside its actor so that a new actor can take
its place: the batches of rows in order, and the rows removed since the
last compaction. Ray keeps the batches in its object store, Dask in the
client; this record is the same for both."""

from __future__ import annotations

import threading
from collections.abc import Callable
from itertools import pairwise
from typing import Any

import numpy as np

from ._types import FLAT, Ids, Kind, Mask, Part, Radius, Rows

__all__ = ["Batches", "StoredShard"]


class Batches[Item]:
    """A shard's stored batches (`Item`: a batch as the backend keeps it)
    and its removed local ids, sorted.

    An actor rebuilt from it (every batch appended in order, then the
    removed ids removed) holds exactly what the shard's actor holds: rows,
    ids and tombstones. A compaction rewrites the batches that lost rows, so
    a rebuild never brings a row back that a compaction dropped.
    """

    def __init__(self, first: Item, size: int) -> None:
        self.items: list[Item] = [first]
        self.sizes: list[int] = [size]
        self.removed: Ids = np.empty(0, dtype=np.int64)

    @property
    def count(self) -> int:
        """Rows held, removed ones included (the actor's len)."""
        return sum(self.sizes)

    def append(self, item: Item, size: int) -> None:
        self.items.append(item)
        self.sizes.append(size)

    def pop(self) -> None:
        """Forget the last batch (an append that did not happen)."""
        self.items.pop()
        self.sizes.pop()

    def remove(self, ids: Ids) -> None:
        """Record `ids` (local, in range, none removed already) removed."""
        self.removed = np.union1d(self.removed, ids).astype(np.int64, copy=False)

    def compact(self, load: Callable[[Item], Rows], save: Callable[[Rows], Item]) -> None:
        """Drop the removed rows from the batches, as the actor's compaction
        drops them: only a batch that lost rows is loaded and saved again,
        and one left empty goes."""
        if not self.removed.size:
            return
        items: list[Item] = []
        sizes: list[int] = []
        bounds = np.cumsum([0, *self.sizes])
        for item, size, (lo, hi) in zip(self.items, self.sizes, pairwise(bounds), strict=True):
            gone = self.removed[np.searchsorted(self.removed, lo) : np.searchsorted(self.removed, hi)] - lo
            if gone.size == size:
                continue
            if gone.size:
                item = save(np.ascontiguousarray(np.delete(load(item), gone, axis=0)))
            items.append(item)
            sizes.append(size - int(gone.size))
        # Committed only once every new batch is saved: a failure on the
        # way leaves the record as it was.
        self.items, self.sizes = items, sizes
        self.removed = np.empty(0, dtype=np.int64)

    def take(
        self, ids: Ids, load: Callable[[Item], Rows], dim: int, dtype: type[np.floating[Any]] = np.float64
    ) -> Rows:
        """The rows of local `ids` (any order, in range), read from the
        batches that hold them, as `dtype` (the batches' own)."""
        out = np.empty((ids.shape[0], dim), dtype=dtype)
        bounds = np.cumsum([0, *self.sizes])
        which = np.searchsorted(bounds, ids, side="right") - 1
        for b in np.unique(which):
            at = np.flatnonzero(which == b)
            out[at] = load(self.items[b])[ids[at] - bounds[b]]
        return out


class StoredShard:
    """What the driver's side of a Ray or a Dask shard shares: searches are
    calls to its actor (`_ask`), rows are read from its stored batches.

    Threads may search a shard together: the waits for their answers, which
    restart a lost actor, take turns (`_waits`), so that one loss starts one
    new actor."""

    store: Batches[Any]
    _dim: int
    _kind: Kind = FLAT
    _waits: threading.Lock

    def _ask(self, method: str, *args: Any) -> Callable[[], Any]:
        """Start `method(*args)` on the actor; a function that waits for
        its answer, recovering from losses."""
        raise NotImplementedError

    def _load(self, item: Any) -> Rows:
        """A stored batch's rows."""
        raise NotImplementedError

    def search(
        self,
        queries: object,
        keep: int,
        threads: int | None = None,
        mask: Mask | None = None,
        ef: int | None = None,
    ) -> Callable[[], Part]:
        return self._ask("search", queries, keep, threads, mask, ef)

    def search_radius(
        self, queries: object, radius: float, threads: int | None = None, mask: Mask | None = None
    ) -> Callable[[], Radius]:
        return self._ask("search_radius", queries, radius, threads, mask)

    def rows(self, ids: Ids) -> Rows:
        return self.store.take(ids, self._load, self._dim, self._kind.dtype)
