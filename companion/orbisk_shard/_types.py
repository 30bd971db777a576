"""What every layer of the package shares: the array types of rows and
results, and the two protocols a backend implements."""

from __future__ import annotations

from collections.abc import Callable
from typing import Literal, Protocol, TypeAlias

import numpy as np
import numpy.typing as npt

Rows: TypeAlias = npt.NDArray[np.float64]
"""A C-contiguous float64 array of shape (rows, dim)."""
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

__all__ = ["METRICS", "Backend", "Ids", "Mask", "Metric", "Part", "Radius", "Rows", "Shard"]


class Shard(Protocol):
    """One shard as a backend keeps it: an engine flat index over a
    contiguous id range.

    Ids inside a shard are local (0 for the shard's first row); the sharded
    index adds the shard's first global id. Every argument reaching a shard
    has been checked by the sharded index: the engine refuses none of them.
    """

    def append(self, rows: Rows) -> None:
        """Append rows (C-contiguous float64, shape (m, dim), m >= 1) after
        those already held. `rows` may be a view of the caller's data: a
        backend that keeps it must copy it."""

    def search(
        self, queries: object, keep: int, threads: int | None = None, mask: Mask | None = None
    ) -> Callable[[], Part]:
        """Start a search of every query (as returned by
        `Backend.share_queries`) for its `keep` best local rows not removed
        (and admitted by `mask`, the shard's slice of the index's mask), on
        `threads` threads of the shard's process (None: all its cores);
        return a function that waits for the result. Searches of several
        shards are started before any is waited for, so they run side by
        side. `mask` is passed only when there is one."""
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
        """The rows of local `ids` (in range; removed ones until compacted)."""
        ...

    def close(self) -> None:
        """Release the shard (its actor, its stored batches)."""


class Backend(Protocol):
    """Where shards live. Implemented by `LocalBackend`,
    `orbisk_shard.ray_backend.RayBackend` and
    `orbisk_shard.dask_backend.DaskBackend`."""

    def new_shard(self, dim: int, metric: Metric, rows: Rows) -> Shard:
        """A new shard holding `rows` (same contract as `Shard.append`)."""
        ...

    def share_queries(self, queries: Rows) -> object:
        """Make a batch of queries available to every shard once (Ray puts
        it in its object store); the result is passed to `Shard.search`."""
        ...
