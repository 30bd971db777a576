"""What every layer of the package shares: the array types of rows and
results, and the two protocols a backend implements."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Literal, Protocol, TypeAlias

import numpy as np
import numpy.typing as npt

Rows: TypeAlias = npt.NDArray[np.float64]
"""A C-contiguous float64 array of shape (rows, dim) (float32 where a
shard keeps float32 rows: what goes into such a shard and what it gives
back)."""
Ids: TypeAlias = npt.NDArray[np.int64]
Part: TypeAlias = tuple[Ids, Rows]
"""Ids and distances, both of shape (queries, results), in ranking order per row."""
Mask: TypeAlias = npt.NDArray[np.uint8]
"""One byte per row id, removed rows included: the rows a search may
return are those not removed whose byte is not 0."""
Radius: TypeAlias = tuple[Ids, Ids, Rows]
"""A radius search's (offsets, ids, distances), 1-D: query i's results are
ids[offsets[i]:offsets[i + 1]], in ranking order."""
Metric: TypeAlias = Literal["euclidean", "cosine", "inner_product"]
"""The metric names orbisk's stubs accept for PyFlat (at run time any other
str also means Euclidean distance)."""
METRICS: tuple[Metric, ...] = ("euclidean", "cosine", "inner_product")
"""Every metric's name, as the engine and the companion call it: the one
table of names on the Python side (the type above spells the same names)."""

Storage: TypeAlias = Literal["float64", "float32"]
"""How a flat shard keeps its rows."""

__all__ = [
    "FLAT",
    "METRICS",
    "Backend",
    "FlatKind",
    "GraphKind",
    "Ids",
    "Kind",
    "Mask",
    "Metric",
    "Part",
    "Radius",
    "Rows",
    "Shard",
    "Storage",
]


@dataclass(frozen=True)
class FlatKind:
    """Shards that are engine flat indexes (exact), keeping their rows as
    `storage`."""

    storage: Storage = "float64"

    @property
    def dtype(self) -> type[np.floating[Any]]:
        """The type of the rows the shard takes and gives back."""
        return np.float32 if self.storage == "float32" else np.float64


@dataclass(frozen=True)
class GraphKind:
    """Shards that are engine graph indexes (approximate searches, exact
    distances). `seed` is the shard's own: the sharded index derives one per
    shard from its seed and the shard's number."""

    m: int = 16
    ef_construction: int = 200
    seed: int = 0

    @property
    def dtype(self) -> type[np.floating[Any]]:
        return np.float64


Kind: TypeAlias = FlatKind | GraphKind
"""What index a shard holds. A backend passes it, as it is, to the shard's
holder (`_holder.ShardIndex`), and again to a shard rebuilt after a loss."""

FLAT = FlatKind()
"""The kind a backend assumes when it is given none."""


class Shard(Protocol):
    """One shard as a backend keeps it: an engine index (of the shard's
    `Kind`) over a contiguous id range.

    Ids inside a shard are local (0 for the shard's first row); the sharded
    index adds the shard's first global id. Every argument reaching a shard
    has been checked by the sharded index: the engine refuses none of them.
    """

    def append(self, rows: Rows) -> None:
        """Append rows (C-contiguous, shape (m, dim), m >= 1; float32 exactly
        when the shard keeps float32 rows) after those already held. `rows` may be a view of the caller's data: a
        backend that keeps it must copy it."""

    def search(
        self,
        queries: object,
        keep: int,
        threads: int | None = None,
        mask: Mask | None = None,
        ef: int | None = None,
    ) -> Callable[[], Part]:
        """Start a search of every query (as returned by
        `Backend.share_queries`) for its `keep` best local rows not removed
        (and admitted by `mask`, the shard's slice of the index's mask), on
        `threads` threads of the shard's process (None: all its cores);
        return a function that waits for the result. Searches of several
        shards are started before any is waited for, so they run side by
        side. `mask` is passed only when there is one, `ef` (the candidates
        a graph shard's walk keeps) only to graph shards."""
        ...

    def search_radius(
        self, queries: object, radius: float, threads: int | None = None, mask: Mask | None = None
    ) -> Callable[[], Radius]:
        """As `search`, for every row within `radius` of each query."""
        ...

    def remove(self, ids: Ids) -> None:
        """Mark local rows removed (in range, none removed already). A
        backend that rebuilds a lost shard records the removal before
        anything that may fail: a rebuilt shard has it too."""

    def compact(self) -> None:
        """Drop the removed rows; the others keep their order and take the
        local ids 0, 1, ... A rebuilt shard is the compacted one."""

    def rows(self, ids: Ids) -> Rows:
        """The rows of local `ids` (in range; removed ones until compacted),
        as the shard keeps them (float64 or float32)."""
        ...

    def close(self) -> None:
        """Release the shard (its actor, its stored batches)."""


class Backend(Protocol):
    """Where shards live. Implemented by `LocalBackend`,
    `orbisk_shard.ray_backend.RayBackend` and
    `orbisk_shard.dask_backend.DaskBackend`."""

    def new_shard(self, dim: int, metric: Metric, rows: Rows, kind: Kind = FLAT) -> Shard:
        """A new shard of `kind` holding `rows` (same contract as
        `Shard.append`). `kind` is passed only when it is not `FLAT`, so a
        backend written before shards had kinds still holds flat shards."""
        ...

    def share_queries(self, queries: Rows) -> object:
        """Make a batch of queries available to every shard once (Ray puts
        it in its object store); the result is passed to `Shard.search`."""
        ...
