"""The sharded indexes: shard layout, argument checks, exact merge, and the
backend names.

A `ShardedFlat` holds its rows in shards, each shard a contiguous range of
global ids kept in one engine flat index by a backend (in this process, a
Ray actor or a Dask actor). A search asks every shard for its own best
max(k, 1) rows among those it may return (not removed and, with a mask,
admitted by the shard's slice of it), shifts their ids by the shard's first
global id and merges the lists by (is NaN, distance, global id): exactly the
order one flat index over all the rows uses, and the distances are the ones
it computes for the same query and row, so the result is the same bit for
bit. A radius search merges the same way, query by query.

Removal marks rows in their shards; `compact` drops them shard by shard,
and a shard's later rows take the ids of those dropped before them: the
live rows' ranks, as one flat index renumbers.

A `ShardedGraph` lays out, removes and compacts the same way, each shard an
engine graph index linked on its own worker. A shard's list holds the rows
its walk found, each with the exact distance a flat index computes, so the
same merge gives the best of the shards' candidates: what a walk misses is
the only approximation.
"""

from __future__ import annotations

import operator
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, replace
from typing import Any, Self, SupportsFloat, SupportsIndex, TypeVar, cast

import numpy as np
import numpy.typing as npt

import orbisk
import orbisk_engine

from ._local import LocalBackend
from ._recovery import ShardLostError
from ._types import (
    FLAT,
    METRICS,
    Backend,
    FlatKind,
    GraphKind,
    Ids,
    Kind,
    Mask,
    Metric,
    Part,
    Radius,
    Rows,
    Shard,
    Storage,
)

__all__ = ["ShardedFlat", "ShardedGraph", "merge", "merge_radius"]

Answer = TypeVar("Answer")


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


def merge_radius(parts: Sequence[Radius], queries: int) -> Radius:
    """Merge the per-shard radius results (ids already global) of each of
    `queries` queries into one list in ranking order, as `merge` orders."""
    if not parts:
        return np.zeros(queries + 1, dtype=np.int64), np.empty(0, dtype=np.int64), np.empty(0)
    owner = np.concatenate([np.repeat(np.arange(queries), np.diff(p[0])) for p in parts])
    ids = np.concatenate([p[1] for p in parts])
    distances = np.concatenate([p[2] for p in parts])
    nan = np.isnan(distances)
    order = np.lexsort((ids, np.where(nan, 0.0, distances), nan, owner))
    offsets = np.zeros(queries + 1, dtype=np.int64)
    np.cumsum(np.bincount(owner, minlength=queries), out=offsets[1:])
    return offsets, ids[order], distances[order]


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
    return next((m for m in METRICS if m == metric), "euclidean")


def _positive(name: str, value: object, default: int | None) -> int | None:
    if value is None:
        return default
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__qualname__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, got {value}")
    return value


def _threads(threads: object) -> int | None:
    # The engine's own check, made before any shard is asked.
    if threads is None:
        return None
    t = operator.index(cast(SupportsIndex, threads))
    if not 1 <= t <= 4096:
        raise ValueError(f"threads must be between 1 and 4096, got {t}")
    return t


def _radius(radius: object) -> float:
    # What the engine takes: anything with a float or an index conversion.
    kind = type(radius)
    if isinstance(radius, str | bytes) or not (hasattr(kind, "__float__") or hasattr(kind, "__index__")):
        raise TypeError(f"radius must be a real number, not {type(radius).__qualname__}")
    return float(cast(SupportsFloat, radius))


def _row_ids(ids: object, count: int) -> Ids:
    """`ids` as int64, each checked against `count` in order (the engine's
    errors: TypeError for anything but a 1-D array of integers, IndexError
    naming the first out of range)."""
    try:
        a = np.asarray(ids)
    except Exception as e:
        raise TypeError("ids must be a 1-D array of integers") from e
    if a.ndim == 1 and a.size == 0:
        return np.empty(0, dtype=np.int64)
    if a.ndim != 1 or a.dtype.kind not in "iu":
        raise TypeError("ids must be a 1-D array of integers")
    outside = np.flatnonzero((a < 0) | (a >= count))
    if outside.size:
        raise IndexError(f"row id {a[outside[0]]} is out of range for {count} rows")
    return a.astype(np.int64, copy=False)


def _take_mask(mask: object, count: int) -> Mask | None:
    """The engine's mask (a 1-D contiguous array of one-byte bools or ints,
    one per row id) as bytes, without a copy; its errors otherwise."""
    if mask is None:
        return None
    try:
        view = memoryview(cast(Any, mask))
    except TypeError:
        raise TypeError(f"mask must be a 1-D array of bools, not {type(mask).__qualname__}") from None
    if view.ndim != 1 or view.itemsize != 1 or view.format.lstrip("@=<") not in ("?", "B", "b"):
        raise TypeError("mask must be a 1-D array of bools")
    length = len(view)
    if length != count:
        raise ValueError(f"mask must have one entry per row ({count}), got {length}")
    if not view.c_contiguous:
        raise ValueError("mask must be contiguous")
    return np.frombuffer(view, dtype=np.uint8)


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


def _narrowed(rows: Rows) -> Rows:
    """`rows` as float32, each value kept exactly (NaN and infinities
    included), or InexactRowError naming the first row of the call that
    float32 cannot keep, as the engine names it."""
    if rows.dtype == np.float32:
        return rows
    with np.errstate(over="ignore"):  # beyond float32's range: inf, refused below
        narrow = rows.astype(np.float32)
    kept = (narrow == rows) | np.isnan(rows)
    bad = np.flatnonzero(~kept.all(axis=1))
    if bad.size:
        error = orbisk_engine.InexactRowError(
            f"row {bad[0]} of rows holds a value that float32 storage cannot keep exactly"
        )
        error.row = int(bad[0])
        raise error
    return cast(Rows, narrow)


def _shard_seed(seed: int, number: int) -> int:
    """Shard `number`'s own seed: distinct for every shard and seed (with
    the odds of a 64-bit hash), the same on every run."""
    return int(np.random.SeedSequence((seed, number)).generate_state(1, np.uint64)[0])


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


class _Sharded:
    """What `ShardedFlat` and `ShardedGraph` share: the layout of the rows
    in shards, appends, the merged search, removal, compaction and reading
    rows. They differ in their shards' `Kind` and in what a search may ask.
    """

    def __init__(
        self,
        dim: SupportsIndex,
        metric: Metric | None,
        shards: int,
        max_shard_rows: int | None,
        backend: Backend | str | None,
        kind: Kind,
    ) -> None:
        # A real PyFlat checks dim and metric and raises its own errors; it
        # then serves as the probe that checks every search's arguments.
        self._probe = orbisk.PyFlat(dim, metric)
        self._kind = kind
        self._dim = operator.index(dim)
        self._metric = _metric_name(metric)
        self._shards_wanted = _positive("shards", shards, 2) or 2
        self._max_rows = _positive("max_shard_rows", max_shard_rows, None)
        self._backend = _resolve_backend(backend)
        self._placed: list[_Placed] = []
        self._count = 0
        self._removed: Ids = np.empty(0, dtype=np.int64)  # global ids, sorted
        self._probe_filled = False
        self._closed = False

    # -- what it holds ---------------------------------------------------

    @property
    def dim(self) -> int:
        return self._dim

    @property
    def metric(self) -> Metric:
        """ "euclidean", "cosine" or "inner_product"."""
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
        return (
            f"{type(self).__name__}(dim={self._dim}, metric={self._metric!r}, rows={self._count}, "
            f"shards={len(self._placed)}, backend={type(self._backend).__name__})"
        )

    def _shard_kind(self, number: int) -> Kind:
        """The kind of shard `number`, as it is made and remade."""
        return self._kind

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
                # float32 rows for float32 shards go in as they are.
                keep = a.dtype == np.float32 and self._kind.dtype == np.float32
                return np.ascontiguousarray(a, dtype=np.float32 if keep else np.float64)
        return None

    def _check_open(self) -> None:
        if self._closed:
            raise RuntimeError(f"{type(self).__name__} is closed")

    def _append(self, rows: Rows) -> None:
        if self._kind.dtype == np.float32:
            rows = _narrowed(rows)  # refused before any shard has changed
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
            chunk = rows[at : at + size]
            if target is None:
                kind = self._shard_kind(len(self._placed))
                # A backend written before shards had kinds still holds flat ones.
                given = {} if kind == FLAT else {"kind": kind}
                with _naming(len(self._placed), first + at, size):
                    shard = self._backend.new_shard(self._dim, self._metric, chunk, **given)
                self._placed.append(_Placed(first + at, size, shard))
            else:
                with _naming(len(self._placed) - 1, target.start, target.count + size):
                    try:
                        target.shard.append(chunk)
                    except BaseException:
                        # An in-process graph interrupted (Ctrl-C) keeps the
                        # rows it has linked: they are counted, as PyFlat
                        # keeps the rows before a bad one. (A flat shard
                        # keeps none; a remote one is rebuilt from its
                        # stored batches, which have none of them.)
                        kept = getattr(target.shard, "count", target.count) - target.count
                        target.count += kept
                        self._count += kept
                        raise
                target.count += size
            at += size
            self._count += size
            if not self._probe_filled:
                # The probe holds one row from now on, so that it refuses a
                # search only for what PyFlat refuses for its arguments.
                self._probe.insert(np.zeros(self._dim))
                self._probe_filled = True

    # -- searching -------------------------------------------------------

    def _search_one(self, query: Any, k: SupportsIndex | None, mask: Any, **options: int) -> list[tuple[int, float]]:
        self._check_open()
        self._probe.search(query, k)
        admitted = _take_mask(mask, self._count)
        ids, distances = self._search_rows(_row(query).reshape(1, self._dim), self._keep(k), None, admitted, options)
        return list(zip(ids[0].tolist(), distances[0].tolist(), strict=True))

    def _search_batch(
        self, queries: Any, k: SupportsIndex | None, threads: object, mask: Any, **options: int
    ) -> tuple[Ids, Rows]:
        self._check_open()
        rows = self._queries(queries, k)
        admitted = _take_mask(mask, self._count)
        return self._search_rows(rows, self._keep(k), _threads(threads), admitted, options)

    def _queries(self, queries: Any, k: SupportsIndex | None) -> Rows:
        """The queries as float64 rows, each checked by the probe."""
        if _is_plain_array(queries, 2):
            a = cast(npt.NDArray[Any], queries)
            self._probe.search(a[0] if a.shape[0] else np.zeros(self._dim), k)
            return np.ascontiguousarray(a, dtype=np.float64)
        listed = _iterate(queries)
        for q in listed:
            self._probe.search(q, k)
        if not listed:
            self._probe.search(np.zeros(self._dim), k)
        return np.array([_row(q) for q in listed], dtype=np.float64).reshape(len(listed), self._dim)

    @staticmethod
    def _keep(k: SupportsIndex | None) -> int:
        return 1 if k is None else max(operator.index(k), 1)

    def _searched(self, mask: Mask | None) -> list[tuple[int, _Placed, dict[str, Mask]]]:
        """The shards that hold a row a search may return, each with its
        slice of the mask (as keyword arguments: none without a mask)."""
        found: list[tuple[int, _Placed, dict[str, Mask]]] = []
        for number, p in enumerate(self._placed):
            lo, hi = np.searchsorted(self._removed, [p.start, p.start + p.count])
            if p.count == hi - lo:
                continue  # nothing there, or all removed
            if mask is None:
                found.append((number, p, {}))
                continue
            part = mask[p.start : p.start + p.count]
            if np.count_nonzero(part) > np.count_nonzero(mask[self._removed[lo:hi]]):
                found.append((number, p, {"mask": part}))
        return found

    def _search_rows(
        self, queries: Rows, keep: int, threads: int | None, mask: Mask | None, options: dict[str, int]
    ) -> Part:
        m = queries.shape[0]
        searched = self._searched(mask)
        if m == 0 or not searched:
            c = 0 if not searched else min(keep, self._admitted(mask))
            return np.empty((m, c), dtype=np.int64), np.empty((m, c), dtype=np.float64)
        shared = self._backend.share_queries(queries)

        def start(shard: Shard, part_mask: dict[str, Mask]) -> Callable[[], Part]:
            given: dict[str, Any] = {**part_mask, **options}
            return shard.search(shared, keep, threads, **given)

        found = self._ask(searched, start)
        parts = [(ids + p.start, distances) for p, (ids, distances) in found]
        return merge(parts, min(keep, sum(part[0].shape[1] for part in parts)))

    @staticmethod
    def _ask(
        searched: list[tuple[int, _Placed, dict[str, Mask]]],
        start: Callable[[Shard, dict[str, Mask]], Callable[[], Answer]],
    ) -> list[tuple[_Placed, Answer]]:
        """Start a search on every shard of `searched`, then wait for each:
        the shards search side by side."""
        waiting = [(number, p, start(p.shard, part_mask)) for number, p, part_mask in searched]
        found: list[tuple[_Placed, Answer]] = []
        for number, p, wait in waiting:
            with _naming(number, p.start, p.count):
                found.append((p, wait()))
        return found

    def _admitted(self, mask: Mask | None) -> int:
        """How many rows a search with `mask` searches."""
        if mask is None:
            return self._count - self._removed.size
        return int(np.count_nonzero(mask)) - int(np.count_nonzero(mask[self._removed]))

    # -- removing --------------------------------------------------------

    @property
    def removed(self) -> int:
        """Rows removed and not yet compacted away."""
        return int(self._removed.size)

    def is_removed(self, id: SupportsIndex) -> bool:
        """Whether row `id` is removed (IndexError out of range)."""
        i = operator.index(id)
        if not 0 <= i < self._count:
            raise IndexError(f"row id {i} is out of range for {self._count} rows")
        at = int(np.searchsorted(self._removed, i))
        return at < self._removed.size and int(self._removed[at]) == i

    def remove(self, ids: Any) -> None:
        """Mark the rows of `ids` (a 1-D array or sequence of global ids)
        removed: no search returns them, their ids stay taken until
        `compact`. Every id is checked first, as one engine flat index
        checks them: IndexError for the first out of range, ValueError for
        the first removed already or given twice; nothing changes on any
        shard then. A shard lost beyond recovery raises ShardLostError
        after every other shard has taken its part; the removal is kept
        all the same, and the lost shard has it once it is rebuilt."""
        self._check_open()
        wanted = _row_ids(ids, self._count)
        repeated = np.ones(wanted.size, dtype=bool)
        repeated[np.unique(wanted, return_index=True)[1]] = False
        bad = np.flatnonzero(repeated | np.isin(wanted, self._removed))
        if bad.size:
            raise ValueError(f"row {wanted[bad[0]]} is removed already")
        if not wanted.size:
            return
        ordered = np.sort(wanted)
        lost: list[ShardLostError] = []
        for number, p in enumerate(self._placed):
            lo, hi = np.searchsorted(ordered, [p.start, p.start + p.count])
            if lo == hi:
                continue
            try:
                with _naming(number, p.start, p.count):
                    p.shard.remove(ordered[lo:hi] - p.start)
            except ShardLostError as e:
                lost.append(e)
        self._removed = np.union1d(self._removed, ordered)
        if lost:
            raise lost[0]

    def compact(self) -> None:
        """Drop the removed rows from every shard: the live rows keep their
        order and take the ids 0, 1, ... (their ranks), as one engine flat
        index renumbers; `shard_ranges` shrink to match, and a shard left
        empty stays, holding nothing. Shards compact one after the other,
        each renumbered as it is done: a failure leaves the shards before
        it compacted and the rest as they were (a lost shard's compaction is
        kept and applied when it is rebuilt; ShardLostError after the rest)."""
        self._check_open()
        lost: list[ShardLostError] = []
        for number, p in enumerate(self._placed):
            lo, hi = (int(x) for x in np.searchsorted(self._removed, [p.start, p.start + p.count]))
            if lo == hi:
                continue
            try:
                with _naming(number, p.start, p.count):
                    p.shard.compact()
            except ShardLostError as e:
                lost.append(e)
            gone = hi - lo
            p.count -= gone
            for later in self._placed[number + 1 :]:
                later.start -= gone
            self._removed = np.concatenate([self._removed[:lo], self._removed[hi:] - gone])
            self._count -= gone
        if lost:
            raise lost[0]

    # -- reading rows ----------------------------------------------------

    def rows_of(self, ids: Any) -> Rows:
        """The rows of global `ids` (a 1-D array or sequence; removed rows
        too, until compacted) as stored (float64, or float32 for float32
        storage), of shape (len(ids), dim), read from the shards that hold
        them. IndexError for an id out of range."""
        self._check_open()
        wanted = _row_ids(ids, self._count)
        out = np.empty((wanted.size, self._dim), dtype=self._kind.dtype)
        if not wanted.size:
            return out
        starts = np.array([p.start for p in self._placed])
        which = np.searchsorted(starts, wanted, side="right") - 1
        for number in np.unique(which):
            p = self._placed[number]
            at = np.flatnonzero(which == number)
            with _naming(int(number), p.start, p.count):
                out[at] = p.shard.rows(wanted[at] - p.start)
        return out

    def iter_rows(self, chunk: int = 4096) -> Iterator[Rows]:
        """The live rows in global id order (the i-th row given is the one
        that takes id i at the next `compact`), as stored (see `rows_of`), in arrays of `chunk`
        rows each (the last one fewer), read from the shards a chunk at a
        time. The index must not change while they are read."""
        self._check_open()
        size = cast(int, _positive("chunk", chunk, None))
        return self._live_rows(size)

    def _live_rows(self, chunk: int) -> Iterator[Rows]:
        pieces: list[Rows] = []
        held = 0
        for number, p in enumerate(self._placed):
            for lo in range(p.start, p.start + p.count, chunk):
                hi = min(lo + chunk, p.start + p.count)
                ids = np.arange(lo, hi)
                gone = self._removed[np.searchsorted(self._removed, lo) : np.searchsorted(self._removed, hi)]
                if gone.size:
                    ids = np.setdiff1d(ids, gone, assume_unique=True)
                if not ids.size:
                    continue
                with _naming(number, p.start, p.count):
                    pieces.append(p.shard.rows(ids - p.start))
                held += ids.size
                while held >= chunk:
                    joined = pieces[0] if len(pieces) == 1 else np.concatenate(pieces)
                    yield joined[:chunk]
                    pieces = [joined[chunk:]]
                    held -= chunk
        if held:
            yield np.concatenate(pieces)

    # -- life ------------------------------------------------------------

    def close(self) -> None:
        """Release every shard (actors, stored batches). The cluster itself
        is left running."""
        self._closed = True
        placed, self._placed = self._placed, []
        for p in placed:
            p.shard.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class ShardedFlat(_Sharded):
    """An exact index over engine flat index shards that answers as one
    `PyFlat` (`search`, `search_batch`) and as one `orbisk_engine.FlatIndex`
    (masks, `search_radius`, `remove`, `compact`).

    `ShardedFlat(dim, metric=None, *, shards=2, max_shard_rows=None,
    backend=None, storage="float64")`: `dim` and `metric` as for
    `orbisk.PyFlat` (same checks, same errors); `backend` is "local" (the
    default: shards in this process), "ray", "dask" or a backend object such
    as `orbisk_shard.ray_backend.RayBackend(actor_options=...)`.
    `storage="float32"` keeps every shard's rows as float32, at half the
    bytes, with the same results bit for bit: a row holding a value float32
    cannot keep exactly is refused (`orbisk_engine.InexactRowError`, naming
    its row in the call, nothing stored); `rows_of` and `iter_rows` give the
    rows as float32.

    Layout: the first batch of rows is split into `shards` contiguous ranges
    of near-equal size (fewer if it has fewer rows, more if a range would
    exceed `max_shard_rows`). Every later `insert` or `create` extends the
    last shard, up to `max_shard_rows` rows if that is set, and opens new
    shards for the rest. Global ids are insertion positions, as in `PyFlat`,
    until `compact` renumbers them.
    """

    def __init__(
        self,
        dim: SupportsIndex,
        metric: Metric | None = None,
        *,
        shards: int = 2,
        max_shard_rows: int | None = None,
        backend: Backend | str | None = None,
        storage: Storage = "float64",
    ) -> None:
        if storage not in ("float64", "float32"):
            raise ValueError(f"unknown storage {storage!r}: expected one of 'float64', 'float32'")
        super().__init__(dim, metric, shards, max_shard_rows, backend, FlatKind(storage))

    @property
    def storage(self) -> Storage:
        """How the shards keep their rows: "float64" or "float32"."""
        return cast(FlatKind, self._kind).storage

    def search(self, query: Any, k: SupportsIndex | None = None, *, mask: Any = None) -> list[tuple[int, float]]:
        """The `k` best rows (default 1) as a list of (id, distance) pairs:
        exactly what one `PyFlat` over the rows searched returns, with their
        ids here. Errors as `PyFlat.search`; `mask` as in `search_batch`."""
        return self._search_one(query, k, mask)

    def search_batch(
        self, queries: Any, k: SupportsIndex | None = None, *, threads: int | None = None, mask: Any = None
    ) -> tuple[Ids, Rows]:
        """Answer many queries in one round trip per shard.

        `queries` is a 2-D numeric numpy array or a sequence of query
        vectors; each is checked as `PyFlat.search` checks its query (the
        first refused one raises that error). `mask`: None, or a 1-D array
        of bools (or one-byte ints) with one entry per row id, removed rows
        included (len(self) entries): only rows whose entry is true are
        searched. Returns `(ids, distances)`: an int64 and a float64 array,
        both of shape (number of queries, c) with c = min(max(k, 1), rows
        searched), the rows searched being those not removed that the mask
        admits; row i is, in order, what `search(queries[i], k)` returns,
        and bit for bit what one `orbisk_engine.FlatIndex` holding every
        row, with the same removals, returns with the same mask. Each shard
        searches on `threads` threads of the process that holds it (None:
        every core there).
        """
        return self._search_batch(queries, k, threads, mask)

    def search_radius(
        self, queries: Any, radius: SupportsFloat, *, threads: int | None = None, mask: Any = None
    ) -> Radius:
        """Every row searched within `radius` of each query (distance at
        most `radius`; none for a NaN radius).

        Queries, `mask` and `threads` as in `search_batch`. Returns
        `(offsets, ids, distances)`, 1-D: int64 of m + 1 entries, int64 and
        float64; query i's rows are ids[offsets[i]:offsets[i + 1]] in
        ranking order (distance, then the smaller id), bit for bit what one
        `orbisk_engine.FlatIndex` over every row returns.
        """
        self._check_open()
        rows = self._queries(queries, None)
        r = _radius(radius)
        admitted = _take_mask(mask, self._count)
        threads = _threads(threads)
        m = rows.shape[0]
        searched = self._searched(admitted) if m else []
        if not searched:
            return merge_radius([], m)
        shared = self._backend.share_queries(rows)
        found = self._ask(searched, lambda shard, part_mask: shard.search_radius(shared, r, threads, **part_mask))
        return merge_radius([(offsets, ids + p.start, distances) for p, (offsets, ids, distances) in found], m)


class ShardedGraph(_Sharded):
    """An approximate index over engine graph index shards: each shard an
    `orbisk_engine.GraphIndex` linked from its rows on its worker (every
    core there), a search the exact merge of every shard's best.

    `ShardedGraph(dim, metric="euclidean", *, shards=2,
    max_shard_rows=None, backend="local", m=16, ef_construction=200,
    ef_search=64, seed=0)`: `dim`, `metric`, `m` and `ef_construction` as
    for `GraphIndex` (same checks, same errors); `shards`,
    `max_shard_rows` and `backend` as for `ShardedFlat`. `ef_search` is
    the candidates each shard's walk keeps when a search names no `ef`.
    Shard number i is built with its own seed, derived from `seed` and i,
    so that a graph built on one thread is the same on every run.

    Every distance reported is the exact one (bit for bit `ShardedFlat`'s
    for the same query and row), results are ranked as `ShardedFlat`
    ranks them, and a search returns min(max(k, 1), rows searched) rows
    per query: what a shard's walk misses is the only approximation. A
    mask admitting few of a shard's rows is answered by an exact scan of
    them. Rows are kept as float64. There is no radius search. The layout
    of rows in shards, appends, removal, compaction and reading rows are
    `ShardedFlat`'s.
    """

    def __init__(
        self,
        dim: SupportsIndex,
        metric: Metric = "euclidean",
        *,
        shards: int = 2,
        max_shard_rows: int | None = None,
        backend: Backend | str | None = "local",
        m: int = 16,
        ef_construction: int = 200,
        ef_search: int = 64,
        seed: int = 0,
    ) -> None:
        # An empty graph checks dim, metric, m and ef_construction with the
        # engine's own errors; its seed is taken whole, so it is checked here.
        orbisk_engine.GraphIndex(operator.index(dim), metric, m=m, ef_construction=ef_construction)
        if isinstance(seed, bool) or not isinstance(seed, int) or not 0 <= seed < 2**64:
            raise ValueError(f"seed must be an int from 0 to 2**64 - 1, got {seed!r}")
        self._ef_search = cast(int, _positive("ef_search", ef_search, None))
        super().__init__(dim, metric, shards, max_shard_rows, backend, GraphKind(m, ef_construction, seed))

    @property
    def m(self) -> int:
        return cast(GraphKind, self._kind).m

    @property
    def ef_construction(self) -> int:
        return cast(GraphKind, self._kind).ef_construction

    @property
    def ef_search(self) -> int:
        return self._ef_search

    @property
    def seed(self) -> int:
        return cast(GraphKind, self._kind).seed

    def _shard_kind(self, number: int) -> Kind:
        return replace(cast(GraphKind, self._kind), seed=_shard_seed(self.seed, number))

    def _ef(self, ef: object) -> dict[str, int]:
        return {"ef": cast(int, _positive("ef", ef, self._ef_search))}

    def search(
        self, query: Any, k: SupportsIndex | None = None, *, mask: Any = None, ef: int | None = None
    ) -> list[tuple[int, float]]:
        """The `k` best rows (default 1) the shards' walks find, as (id,
        distance) pairs in ranking order; `mask` as in `search_batch`,
        `ef` the candidates each walk keeps (None: `ef_search`; a walk
        keeps at least k)."""
        return self._search_one(query, k, mask, **self._ef(ef))

    def search_batch(
        self,
        queries: Any,
        k: SupportsIndex | None = None,
        *,
        threads: int | None = None,
        mask: Any = None,
        ef: int | None = None,
    ) -> tuple[Ids, Rows]:
        """Answer many queries in one round trip per shard: queries, `k`,
        `mask` and `threads` as in `ShardedFlat.search_batch`, `ef` as in
        `search`. Returns `(ids, distances)` of shape (number of queries,
        min(max(k, 1), rows searched)); row i is `search(queries[i], k)`."""
        return self._search_batch(queries, k, threads, mask, **self._ef(ef))

    def search_radius(self, *args: Any, **kwargs: Any) -> Radius:
        """Not offered: a walk cannot promise every row within a radius."""
        raise ValueError(
            "ShardedGraph has no radius search: a walk cannot promise every row within a radius; "
            "use ShardedFlat for an exact one"
        )
