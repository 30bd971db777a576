"""The sharded index: shard layout, argument checks, exact merge, and the
backend names.

A `ShardedFlat` holds its rows in shards, each shard a contiguous range of
global ids kept in one `orbisk.PyFlat` by a backend (in this process, a Ray
actor or a Dask actor). A search asks every shard for its own best
max(k, 1) rows, shifts their ids by the shard's first global id and merges
the lists by (is NaN, distance, global id): exactly the order one `PyFlat`
over all the rows uses, and the distances are the ones that `PyFlat`
computes for the same query and row, so the result is the same bit for bit.
"""

from __future__ import annotations

import operator
from collections.abc import Iterable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, SupportsFloat, SupportsIndex, cast

import numpy as np
import numpy.typing as npt

import orbisk

from ._local import LocalBackend
from ._recovery import ShardLostError
from ._types import Backend, Ids, Metric, Part, Rows, Shard

__all__ = ["ShardedFlat", "merge"]


def merge(parts: Sequence[Part], keep: int) -> Part:
    """Merge the per-shard results (ids already global) of each query into
    its `keep` first results by (is NaN, distance, global id): ascending
    distance with -0.0 equal to +0.0, NaN after every number, ties to the
    smaller id. Every query has at least `keep` candidates in `parts`."""
    ids = np.concatenate([p[0] for p in parts], axis=1)
    distances = np.concatenate([p[1] for p in parts], axis=1)
    nan = np.isnan(distances)
    key = np.where(nan, 0.0, distances)
    # lexsort sorts by the last key first, stably.
    order = np.lexsort((ids, key, nan), axis=-1)[:, :keep]
    return np.take_along_axis(ids, order, 1), np.take_along_axis(distances, order, 1)


def _to_double(x: object) -> float:
    # What PyFloat_AsDouble does: a float (or subclass) is read directly,
    # anything else through its float or index conversion. Only called on
    # values that a PyFlat has already accepted.
    if isinstance(x, float):
        return float.__float__(x)
    return float(cast(SupportsFloat, x))


def _is_plain_array(x: object, ndim: int) -> bool:
    return type(x) is np.ndarray and x.ndim == ndim and x.dtype.kind in "biuf"


def _row(vector: object) -> Rows:
    """The doubles `PyFlat` reads from a vector it has accepted."""
    if _is_plain_array(vector, 1):
        return np.ascontiguousarray(vector, dtype=np.float64)
    return np.array([_to_double(x) for x in _iterate(vector)], dtype=np.float64)


def _iterate(x: object) -> list[Any]:
    return list(cast(Iterable[Any], x))


def _metric_name(metric: Metric | None) -> Metric:
    # PyFlat compares the whole text byte for byte; anything else is Euclidean.
    if metric == "cosine":
        return "cosine"
    if metric == "inner_product":
        return "inner_product"
    return "euclidean"


def _positive(name: str, value: object, default: int | None) -> int | None:
    if value is None:
        return default
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__qualname__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, got {value}")
    return value


@dataclass
class _Placed:
    start: int
    count: int
    shard: Shard


@contextmanager
def _naming(number: int, start: int, count: int) -> Iterator[None]:
    """A shard lost beyond recovery is named in the error: its number and
    its ids."""
    try:
        yield
    except ShardLostError as e:
        raise ShardLostError(f"shard {number} (ids {start} to {start + count - 1}): {e}") from e.__cause__


def _split(m: int, parts: int) -> list[int]:
    base, extra = divmod(m, parts)
    return [base + (1 if i < extra else 0) for i in range(parts)]


def _resolve_backend(backend: Backend | str | None) -> Backend:
    # The engines are imported only when named: neither is a requirement.
    if backend is None or backend == "local":
        return LocalBackend()
    if backend == "ray":
        from .ray_backend import RayBackend

        return RayBackend()
    if backend == "dask":
        from .dask_backend import DaskBackend

        return DaskBackend()
    if isinstance(backend, str):
        raise ValueError(f"unknown backend {backend!r}: use 'local', 'ray', 'dask' or a backend object")
    return backend


class ShardedFlat:
    """An exact index over `PyFlat` shards that answers as one `PyFlat`.

    `ShardedFlat(dim, metric=None, *, shards=2, max_shard_rows=None,
    backend=None)`: `dim` and `metric` as for `orbisk.PyFlat` (same checks,
    same errors); `backend` is "local" (the default: shards in this process),
    "ray", "dask" or a backend object such as
    `orbisk_shard.ray_backend.RayBackend(actor_options=...)`.

    Layout: the first batch of rows is split into `shards` contiguous ranges
    of near-equal size (fewer if it has fewer rows, more if a range would
    exceed `max_shard_rows`). Every later `insert` or `create` extends the
    last shard, up to `max_shard_rows` rows if that is set, and opens new
    shards for the rest. Global ids are insertion positions, as in `PyFlat`.
    """

    def __init__(
        self,
        dim: SupportsIndex,
        metric: Metric | None = None,
        *,
        shards: int = 2,
        max_shard_rows: int | None = None,
        backend: Backend | str | None = None,
    ) -> None:
        # A real PyFlat checks dim and metric and raises its own errors; it
        # then serves as the probe that checks every search's arguments.
        self._probe = orbisk.PyFlat(dim, metric)
        self._dim = operator.index(dim)
        self._metric = _metric_name(metric)
        self._shards_wanted = _positive("shards", shards, 2) or 2
        self._max_rows = _positive("max_shard_rows", max_shard_rows, None)
        self._backend = _resolve_backend(backend)
        self._placed: list[_Placed] = []
        self._count = 0
        self._probe_filled = False
        self._closed = False

    # -- what it holds ---------------------------------------------------

    @property
    def dim(self) -> int:
        return self._dim

    @property
    def metric(self) -> Metric:
        """"euclidean", "cosine" or "inner_product"."""
        return self._metric

    @property
    def backend(self) -> Backend:
        return self._backend

    @property
    def shard_ranges(self) -> list[range]:
        """The global ids each shard holds, in shard order."""
        return [range(p.start, p.start + p.count) for p in self._placed]

    @property
    def shards(self) -> list[Shard]:
        """The backend's shard objects, in shard order."""
        return [p.shard for p in self._placed]

    def __len__(self) -> int:
        return self._count

    def __repr__(self) -> str:
        return (f"ShardedFlat(dim={self._dim}, metric={self._metric!r}, rows={self._count}, "
                f"shards={len(self._placed)}, backend={type(self._backend).__name__})")

    # -- appending -------------------------------------------------------

    def insert(self, vector: Any) -> None:
        """Append one vector as the next id. Errors as `PyFlat.insert`."""
        self._check_open()
        orbisk.PyFlat(self._dim).insert(vector)
        if self._dim == 0:
            return  # PyFlat stores nothing for an empty vector
        self._append(_row(vector).reshape(1, self._dim))

    def create(self, vectors: Any) -> None:
        """Append a batch (a 2-D numpy array or a sequence of vectors) after
        the rows already stored. Errors as `PyFlat.create`, including a
        wrong-length row: `PanicException`, with the rows before it kept."""
        self._check_open()
        rows = self._fast_rows(vectors)
        if rows is None:
            try:
                orbisk.PyFlat(self._dim).create(vectors)
            except BaseException as e:
                if type(e).__name__ == "PanicException" and self._dim > 0:
                    # PyFlat keeps the rows before the first wrong-length one.
                    kept = []
                    for v in _iterate(vectors):
                        row = _row(v)
                        if row.shape[0] != self._dim:
                            break
                        kept.append(row)
                    if kept:
                        self._append(np.stack(kept))
                raise
            if self._dim == 0:
                return
            rows = np.stack([_row(v) for v in _iterate(vectors)])
        if self._dim > 0:
            self._append(rows)

    def _fast_rows(self, vectors: object) -> Rows | None:
        # A plain numeric 2-D array of the right width: PyFlat reads it as
        # doubles and cannot refuse it, so no probe is needed.
        if _is_plain_array(vectors, 2):
            a = cast(npt.NDArray[Any], vectors)
            if a.shape[0] >= 1 and a.shape[1] == self._dim:
                return np.ascontiguousarray(a, dtype=np.float64)
        return None

    def _check_open(self) -> None:
        if self._closed:
            raise RuntimeError("ShardedFlat is closed")

    def _append(self, rows: Rows) -> None:
        m = rows.shape[0]
        first = self._count
        pieces: list[tuple[_Placed | None, int]] = []
        if not self._placed:
            parts = min(self._shards_wanted, m)
            if self._max_rows is not None:
                parts = max(parts, -(-m // self._max_rows))
            pieces = [(None, size) for size in _split(m, parts)]
        else:
            last = self._placed[-1]
            room = m if self._max_rows is None else max(self._max_rows - last.count, 0)
            take = min(room, m)
            if take:
                pieces.append((last, take))
            rest = m - take
            while rest:
                size = rest if self._max_rows is None else min(rest, self._max_rows)
                pieces.append((None, size))
                rest -= size
        at = 0
        for target, size in pieces:
            chunk = rows[at:at + size]
            if target is None:
                with _naming(len(self._placed), first + at, size):
                    shard = self._backend.new_shard(self._dim, self._metric, chunk)
                self._placed.append(_Placed(first + at, size, shard))
            else:
                with _naming(len(self._placed) - 1, target.start, target.count + size):
                    target.shard.append(chunk)
                target.count += size
            at += size
            self._count += size
            if not self._probe_filled:
                # The probe holds one row from now on, so that it refuses a
                # search only for what PyFlat refuses for its arguments.
                self._probe.insert(np.zeros(self._dim))
                self._probe_filled = True

    # -- searching -------------------------------------------------------

    def search(self, query: Any, k: SupportsIndex | None = None) -> list[tuple[int, float]]:
        """The `k` best rows (default 1) as a list of (id, distance) pairs:
        exactly what one `PyFlat` over all the rows returns. Errors as
        `PyFlat.search`."""
        self._check_open()
        self._probe.search(query, k)
        ids, distances = self._search_rows(_row(query).reshape(1, self._dim), self._keep(k))
        return list(zip(ids[0].tolist(), distances[0].tolist()))

    def search_batch(self, queries: Any, k: SupportsIndex | None = None, *,
                     threads: int | None = None) -> tuple[Ids, Rows]:
        """Answer many queries in one round trip per shard.

        `queries` is a 2-D numeric numpy array or a sequence of query
        vectors; each is checked as `PyFlat.search` checks its query (the
        first refused one raises that error). Returns `(ids, distances)`:
        an int64 and a float64 array, both of shape (number of queries, c)
        with c = min(max(k, 1), len(self)); row i is, in order, what
        `search(queries[i], k)` returns. Every query has exactly c results
        (a flat search ranks every row), so nothing is ever padded. Each
        shard searches on `threads` threads of the process that holds it
        (None: every core there).
        """
        self._check_open()
        if _is_plain_array(queries, 2):
            a = cast(npt.NDArray[Any], queries)
            self._probe.search(a[0] if a.shape[0] else np.zeros(self._dim), k)
            rows = np.ascontiguousarray(a, dtype=np.float64)
        else:
            listed = _iterate(queries)
            for q in listed:
                self._probe.search(q, k)
            if not listed:
                self._probe.search(np.zeros(self._dim), k)
            rows = np.array([_row(q) for q in listed], dtype=np.float64).reshape(len(listed), self._dim)
        return self._search_rows(rows, self._keep(k), threads)

    @staticmethod
    def _keep(k: SupportsIndex | None) -> int:
        return 1 if k is None else max(operator.index(k), 1)

    def _search_rows(self, queries: Rows, keep: int, threads: int | None = None) -> Part:
        if queries.shape[0] == 0:
            c = min(keep, self._count)
            return np.empty((0, c), dtype=np.int64), np.empty((0, c), dtype=np.float64)
        shared = self._backend.share_queries(queries)
        waiting = [(p, p.shard.search(shared, keep, threads)) for p in self._placed]
        parts = []
        for number, (p, wait) in enumerate(waiting):
            with _naming(number, p.start, p.count):
                ids, distances = wait()
            parts.append((ids + p.start, distances))
        return merge(parts, min(keep, self._count))

    # -- life ------------------------------------------------------------

    def close(self) -> None:
        """Release every shard (actors, stored batches). The cluster itself
        is left running."""
        self._closed = True
        placed, self._placed = self._placed, []
        for p in placed:
            p.shard.close()

    def __enter__(self) -> ShardedFlat:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
