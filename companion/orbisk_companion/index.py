"""`Index`: the everyday index over orbisk, with keys, metadata and files."""

from __future__ import annotations

import copy
import math
import operator
import warnings
from collections.abc import Callable, Hashable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from typing import Any, Final

import numpy as np
import numpy.typing as npt

import orbisk_engine
from orbisk_shard import Metric
from orbisk_shard.locking import ReadWriteLock, reads, writes

from . import _engines, _interrupt, _progress, persistence
from ._arguments import positive, real_array, refuse_inexact, refuse_nonfinite
from ._columns import Columns, Staged
from ._keys import INT, STR, Keys, Texts, normalized, texts
from ._scores import check_metric, scores
from .persistence import Snapshot

KINDS: Final = _engines.KINDS
# Past this fraction of removed rows among those stored, a removal compacts.
COMPACT_FRACTION: Final = 0.25
# Keys entered at a time: a Ctrl-C waits for one piece (a tenth of a second
# for str keys).
_PIECE: Final = 2**18
# From this many rows a load checks the keys beside the engine's check.
_KEYS_ASIDE: Final = 2**16
# A filter admitting fewer than one row in this many goes to an engine that
# takes row ids as those ids (the flat engine computes so few rows one by
# one, from a list or a mask alike, and screens more): over 100,000 x 64
# float32 rows the list saved 17 us a search at 1 row in 100 (51 against
# 68 us), 18-23 us from 1 in 32 to 1 in 12.
_ROWS_CROSSOVER: Final = 8


class Index:
    """An exact (flat, sharded) or graph index with keys and metadata.

    ``Index(dim, metric="euclidean", kind="flat", ...)``

    - ``metric``: "euclidean" (distance, smallest first), "cosine" or
      "inner_product" (similarities, largest first). Any other name raises
      ValueError. Scores are the distance or the similarity itself, equal bit
      for bit to the plain float64 definition (the extension's sums in
      element order); a zero similarity has the sign of that definition.
    - ``kind``: "flat" (``orbisk_engine.FlatIndex``: exact, every row
      compared; radius search), "graph" (``orbisk_engine.GraphIndex``:
      approximate, a walk over a graph of the rows linked to their near
      neighbours; ``m`` links per row (16), ``ef_construction`` candidates
      while linking (200), ``ef_search`` candidates a search keeps unless
      it gives ``ef`` (64), ``seed`` for its random layers (0: a build on
      one thread is reproducible); ``fields`` names metadata attributes that
      every row must carry) or "sharded" (``orbisk_shard.ShardedFlat``:
      exact as "flat", over ``shards`` shards on ``backend`` "local", "ray"
      or "dask"; with ``shard_kind="graph"``, ``orbisk_shard.ShardedGraph``:
      a graph a shard, with the graph's parameters, every score exact and
      the shards' lists merged by it). ``layers`` means nothing any more: a
      graph ignores it with a DeprecationWarning.
    - ``allow_nonfinite``: False (the default) refuses rows and queries that
      hold NaN or an infinity with ValueError, as scikit-learn does; True
      takes them, and their scores follow the extension's rules (NaN last).
    - ``storage``: "float64" (the default) or, for flat rows (kind "flat",
      or "sharded" with flat shards), "float32":
      the rows kept at half the bytes. A float32 value widened to float64 is
      exact and every distance is computed from the widened values, so the
      results are bit for bit those of float64 storage; a row holding a
      value that is not a float32 is refused with ValueError naming it.

    Keys are any hashable values, unique in the index (ints from 0 in
    insertion order by default), kept without an object per row when every
    key is an int in int64 or every key a str (`_keys`); the map from keys
    to rows is built by the first lookup by key. Metadata is one mapping (or None) per row,
    kept field by field in typed columns and returned with the results;
    ``save`` needs keys and metadata of JSON types.

    Every kind holds each row once, in the engine: ``rows`` is a read-only
    view of it. Searches take a ``filter``: ``{field: value, ...}`` (every
    field must equal its value, typed: 1, 1.0 and "1" are three values, NaN
    matches nothing, a bool is an int; a field that some rows lack matches
    none of them, one that no row has is a ValueError naming the fields the
    rows have), a numpy bool array with one entry per row (in the order of
    ``keys``), or any other collection of keys (the rows allowed; keys not
    in the index allow nothing). The result is exactly the search of an
    index holding the admitted rows alone, so fewer than k rows when fewer
    are admitted. ``remove`` and ``update`` leave the searches exactly
    those of an index built from the remaining rows (an updated row counts
    as added last); removed rows stay as tombstones until ``compact()``,
    which a removal runs itself once they pass ``COMPACT_FRACTION`` (a
    quarter) of the rows stored.

    A graph answers as the flat kind does but for the rows its walk misses:
    every score it reports is the exact one, bit for bit the flat kind's,
    ranked by it (ties by insertion order, NaN last), and a result always
    holds min(k, admitted rows) rows (the walk widens when k exceeds
    ``ef``). A filter admitting few rows is answered by an exact scan of
    them; one admitting many, by a walk that reports admitted rows only. A
    removed row is never reported; walks pass through it until a compaction
    links its neighbours around it.
    """

    def __init__(
        self,
        dim: int,
        metric: str = "euclidean",
        kind: str = "flat",
        *,
        fields: Sequence[str] | None = None,
        layers: int | None = None,
        m: int | None = None,
        ef_construction: int | None = None,
        ef_search: int | None = None,
        seed: int | None = None,
        shards: int = 2,
        max_shard_rows: int | None = None,
        backend: Any = "local",
        shard_kind: str | None = None,
        allow_nonfinite: bool = False,
        storage: str = "float64",
    ) -> None:
        dim, checked = _checked(dim, metric, kind)
        if shard_kind is not None and kind != "sharded":
            raise ValueError(f"shard_kind is for kind='sharded', not kind={kind!r}")
        if layers is not None and kind == "graph":
            warnings.warn("layers= means nothing any more: a graph draws each row's layers", DeprecationWarning, 2)
            layers = None
        options = dict(
            fields=fields,
            layers=layers,
            m=m,
            ef_construction=ef_construction,
            ef_search=ef_search,
            seed=seed,
            shards=shards,
            max_shard_rows=max_shard_rows,
            backend=backend,
            shard_kind="flat" if shard_kind is None else shard_kind,
            storage=storage,
        )
        self._open(dim, checked, kind, _engines.make(kind, dim, checked, options), allow_nonfinite)

    def _open(self, dim: int, metric: Metric, kind: str, engine: _engines.Engine, allow_nonfinite: bool) -> None:
        """The records of an index over `engine`, holding no row yet."""
        self._dim = dim
        self._metric = metric
        self._kind = kind
        self._allow_nonfinite = bool(allow_nonfinite)
        self._engine = engine
        self._lock = ReadWriteLock()
        # Row ids are the engine's: 0, 1, ... in insertion order, removed
        # rows included until a compaction renumbers the rest.
        self._n = 0  # ids in use
        self._removed = 0
        self._live = np.ones(16, dtype=bool)
        # By id (a removed row's key stays until compaction). Entries from
        # _n on are left by an add that failed and mean nothing: the next
        # add writes over them, so a failure has nothing to undo here.
        self._keys = Keys()
        # The live rows' ids by key: built by the first lookup by key
        # (`_lookup`), then kept up to date by every change.
        self._row_of: dict[Hashable, int] | None = None
        self._columns = Columns()

    # -- what it holds ---------------------------------------------------

    dim = property(lambda self: self._dim, doc="The length of every vector.")
    metric = property(lambda self: self._metric, doc='"euclidean", "cosine" or "inner_product".')
    kind = property(lambda self: self._kind, doc='"flat", "graph" or "sharded".')
    fields = property(lambda self: self._engine.fields, doc="The metadata names a graph checks every row for, or None.")
    storage = property(
        lambda self: self._engine.storage, doc='How the rows are kept: "float64", or "float32" (flat rows).'
    )
    allow_nonfinite = property(
        lambda self: self._allow_nonfinite, doc="Whether rows and queries may hold NaN and infinities."
    )
    native = property(
        lambda self: self._engine.native,
        doc="The native index underneath (orbisk_engine.FlatIndex or GraphIndex, or ShardedFlat); "
        "changing it directly puts the index out of step.",
    )

    @property
    def parameters(self) -> dict[str, Any]:
        """The kind's parameters as given (None for the extension's default)."""
        return dict(self._engine.parameters)

    @reads
    def __len__(self) -> int:
        return self._n - self._removed

    @reads
    def __contains__(self, key: object) -> bool:
        try:
            return key in self._lookup()
        except TypeError:
            return False

    @reads
    def __repr__(self) -> str:
        return f"Index(dim={self._dim}, metric={self._metric!r}, kind={self._kind!r}, rows={len(self)})"

    def _live_ids(self) -> npt.NDArray[np.intp]:
        return np.flatnonzero(self._live[: self._n])

    def _lookup(self) -> dict[Hashable, int]:
        """The live rows' ids by key, built on the first call: searches
        need only id to key, so an index that is never asked by key never
        makes an object per row. Readers may race here; one builds it."""
        row_of = self._row_of
        if row_of is None:
            with self._lock.once:
                row_of = self._row_of
                if row_of is None:
                    row_of = self._row_of = self._keys.row_map(self._live_ids())
        return row_of

    @contextmanager
    def _compacted(self) -> Iterator[None]:
        """Holds the lock to read, with no removed row left: they are
        compacted away first (which waits for the searches in progress, as
        every change does)."""
        while True:
            with self._lock.reading():
                if not self._removed:
                    yield
                    return
            self.compact()

    @property
    @reads
    def keys(self) -> list[Hashable]:
        """The keys in insertion order."""
        if not self._removed:
            return self._keys.first(self._n)
        return self._keys.listed(self._live_ids().tolist())

    @property
    def rows(self) -> npt.NDArray[Any]:
        """The stored rows in insertion order (the order of ``keys``), as
        stored (float32 with ``storage="float32"``): a
        read-only view of the engine's rows for "flat" and "graph" (it stays
        as it is whatever the index does later), a copy gathered from the
        shards for "sharded"."""
        with self._compacted():
            view = self._engine.rows()
        view.flags.writeable = False
        return view

    @reads
    def metadata(self, key: Hashable) -> Mapping[str, Any] | None:
        """The metadata stored with `key` (KeyError if there is no such key)."""
        return self._columns.row(self._lookup()[key])

    @writes
    def close(self) -> None:
        """Stops the shards' actors (kind "sharded"); nothing for the others."""
        self._engine.close()

    def __enter__(self) -> Index:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- adding ----------------------------------------------------------

    def _vectors(self, vectors: Any, what: str = "vectors") -> npt.NDArray[Any]:
        rows = self._engine.as_rows(vectors, what)
        if rows.ndim != 2 or rows.shape[1] != self._dim:
            raise ValueError(f"Expected a 2-D array of shape (n, {self._dim}), got shape {rows.shape}")
        if not self._allow_nonfinite:
            refuse_nonfinite(rows, what)
        if self._engine.storage == "float32":
            refuse_inexact(rows, what)
        return rows

    @writes
    def add(
        self,
        vectors: Any,
        keys: Sequence[Hashable] | None = None,
        metadata: Sequence[Mapping[str, Any] | None] | None = None,
        progress: bool = False,
        *,
        threads: int | None = None,
    ) -> None:
        """Appends the rows of a 2-D array, each with its key and metadata.

        Everything is checked before anything is added: the shape, that
        every value is finite (unless ``allow_nonfinite``; the error names
        the first row holding NaN or an infinity), that keys
        (default: ints continuing from ``len(self)``) are hashable and new,
        one metadata mapping (with str field names) or None per row, and for
        a graph with ``fields`` every field present in every row with a str,
        int or float value. ``progress=True`` shows a bar (tqdm if installed).
        ``threads``: how many threads a flat index computes codes on and a
        graph links rows on (None: every core; a graph built on one thread
        is the same for the same ``seed``, however its rows come in calls).
        float32, int and bool rows go to the flat and graph engines as they
        are: they convert them a piece at a time, so memory grows by the
        rows alone. A graph links each piece on every core.

        A failure (MemoryError included) adds nothing: keys, metadata and
        rows stay as they were (rows an engine took before the failure are
        removed again, as tombstones).

        Ctrl-C stops the batch within a second (after the piece being added:
        for a flat index about 8 million values, for a graph max(256,
        65536 // dim) rows at ef_construction 200, fewer for more; after
        the whole batch for shards) and raises
        KeyboardInterrupt; the rows added so far stay, with their keys and
        metadata, and the index is usable.
        """
        rows = self._vectors(vectors)
        threads = positive("threads", threads)
        count = rows.shape[0]
        form, new_keys = self._new_keys(keys, count)
        meta = self._check_metadata(metadata, count)
        tags = self._engine.tag(meta)
        if count == 0:
            return
        staged = self._columns.stage(meta, count)
        held = self._keys.with_new(self._n, new_keys, form)
        self._reserve(count)
        shown = _progress.bar(count, "add", progress)
        try:
            with _interrupt.deferred() as interrupt:
                self._append(rows, tags, new_keys, held, staged, interrupt, shown, threads)
        finally:
            shown.close()

    def _append(
        self,
        rows: npt.NDArray[Any],
        tags: list[_engines.Tags] | None,
        keys: Sequence[Hashable] | npt.NDArray[np.int64],
        held: Keys,
        staged: Staged,
        interrupt: _interrupt.Deferred,
        shown: _engines.Progress,
        threads: int | None,
    ) -> None:
        """Adds checked rows with their keys (`held`: the keys by id, the new
        ones included) and metadata, all or nothing: the records first (a
        failure there is undone), the engine's append last. A Ctrl-C stops
        it between pieces, keeping the rows added so far with their keys
        and metadata."""
        start = self._n
        end = start + len(keys)
        self._live[start:end] = True
        self._columns.commit(staged)
        try:
            entered = self._enter(keys, start, interrupt)
        except BaseException:
            self._columns.rollback(staged)
            raise
        if not entered:
            self._columns.rollback(staged)
            return
        try:
            self._engine.append(rows, tags, _Steps(shown, interrupt), threads)
            stopped = len(self._engine) != end
        except BaseException:
            self._undo(keys, held, staged, start)
            raise
        if stopped:
            self._keep(keys, held, staged, start, len(self._engine) - start)
            return
        # The rows are in: nothing below allocates, so nothing can fail.
        self._keys = held
        self._n = end

    def _enter(
        self, keys: Sequence[Hashable] | npt.NDArray[np.int64], start: int, interrupt: _interrupt.Deferred
    ) -> bool:
        """Enters `keys` for the ids from `start` on in the map of keys, if
        it is built, a piece at a time, all or nothing; False, with nothing
        entered, when Ctrl-C comes first."""
        row_of = self._row_of
        if row_of is None:
            return not interrupt.pending()
        values = keys.tolist() if isinstance(keys, np.ndarray) else keys
        try:
            for lo in range(0, len(values), _PIECE):
                piece = values[lo : lo + _PIECE]
                row_of.update(zip(piece, range(start + lo, start + lo + len(piece)), strict=True))
                if interrupt.pending():
                    break
            else:
                return True
        except BaseException:
            self._forget(values)
            raise
        self._forget(values)
        return False

    def _forget(self, keys: Iterable[Hashable]) -> None:
        """Drops `keys` from the map of keys to ids (those there)."""
        if self._row_of is not None:
            for key in keys:
                self._row_of.pop(key, None)

    def _keep(
        self, keys: Sequence[Hashable] | npt.NDArray[np.int64], held: Keys, staged: Staged, start: int, added: int
    ) -> None:
        """After an append that stopped: its first `added` rows stay, with
        their keys and metadata."""
        if self._row_of is not None:
            self._forget(keys[added:].tolist() if isinstance(keys, np.ndarray) else keys[added:])
        self._columns.rollback(staged, added)
        self._keys = held
        self._n = start + added

    def _undo(self, keys: Sequence[Hashable] | npt.NDArray[np.int64], held: Keys, staged: Staged, start: int) -> None:
        """After an append that failed: keys and metadata as before, and the
        rows the engine took before the failure removed, as tombstones (with
        their keys in `held`). `keys` are those the append entered (none
        for an update, whose keys keep their rows)."""
        added = len(self._engine) - start
        if added:
            try:
                self._engine.remove(np.arange(start, start + added))
            except BaseException:  # the engine could not mark them: they stay, as after Ctrl-C
                self._keep(keys, held, staged, start, added)
                return
            self._live[start : start + added] = False
            self._removed += added
            self._keys = held
        self._forget(keys.tolist() if isinstance(keys, np.ndarray) else keys)
        self._columns.rollback(staged, added)  # a tombstone keeps its metadata until compaction
        self._n = start + added

    def _new_keys(self, keys: Any, count: int) -> tuple[str, Sequence[Hashable] | npt.NDArray[np.int64]]:
        """The form and keys of `count` new rows (`_keys.normalized`):
        hashable, new and unique."""
        if keys is None:
            return normalized(self._default_keys(count))
        if isinstance(keys, (str, bytes)):
            raise TypeError("keys must be a sequence of keys, not a single str")
        # numpy's integer and bool scalars are keys of their Python values
        # (np.arange(n) gives int keys, an int64 keys array, and can be saved).
        if isinstance(keys, np.ndarray) and keys.ndim == 1 and keys.dtype.kind in "iu" and keys.dtype.itemsize <= 8:
            if keys.dtype == np.uint64 and keys.size and keys.max() >= 2**63:
                out: Any = keys.tolist()
            else:
                out = keys.astype(np.int64)
        elif isinstance(keys, np.ndarray) and keys.ndim == 1 and keys.dtype.kind == "b":
            out = keys.tolist()
        else:
            out = list(keys)
            encoded = texts(out)  # every key a str: encoded at once, no pass per key in Python
            if encoded is not None:
                out = encoded
            else:
                for kind in set(map(type, out)):
                    if issubclass(kind, (np.integer, np.bool_)):
                        out = [k.item() if isinstance(k, (np.integer, np.bool_)) else k for k in out]
                        break
        if len(out) != count:
            raise ValueError(f"got {len(out)} keys for {count} rows")
        form, out = (
            (INT, out) if isinstance(out, np.ndarray) else (STR, out) if isinstance(out, Texts) else normalized(out)
        )
        if not self._all_new(form, out):
            self._check_one_by_one(out.tolist() if isinstance(out, np.ndarray) else out)
        return form, out

    def _all_new(self, form: str, keys: Sequence[Hashable] | npt.NDArray[np.int64]) -> bool:
        """Whether every key is hashable, new and unique (False:
        `_check_one_by_one` says which key is not). Int keys are compared
        as arrays while the map of keys is not built; other keys, by sets a
        piece at a time."""
        if isinstance(keys, np.ndarray) and self._row_of is None and self._keys.form == INT:
            ordered = np.sort(keys)
            if (ordered[1:] == ordered[:-1]).any():
                return False
            held = np.compress(self._live[: self._n], self._keys.int_keys(self._n))
            if not held.size or held.max() < ordered[0] or held.min() > ordered[-1]:
                return True
            return not np.isin(keys, held).any()
        if isinstance(keys, Texts) and not len(self):
            return orbisk_engine.first_repeat(keys.text, keys.ends) is None
        if isinstance(keys, np.ndarray):
            keys = keys.tolist()
        known = self._lookup().keys() if len(self) else {}.keys()
        seen: set[Hashable] = set()
        for lo in range(0, len(keys), _PIECE):
            piece = keys[lo : lo + _PIECE]
            try:
                fresh = set(piece)
            except TypeError:
                return False
            if len(fresh) < len(piece) or not known.isdisjoint(fresh) or not seen.isdisjoint(fresh):
                return False
            seen |= fresh
        return True

    def _check_one_by_one(self, keys: Sequence[Hashable]) -> None:
        """The error of the first key in order that is not hashable, or
        not new, or given twice."""
        row_of = self._lookup()
        seen: set[Hashable] = set()
        for key in keys:
            try:
                hash(key)
            except TypeError:
                raise TypeError(f"key {key!r} is not hashable") from None
            if key in row_of or key in seen:
                raise ValueError(f"duplicate key {key!r}")
            seen.add(key)

    def _default_keys(self, count: int) -> Sequence[Hashable]:
        """The first `count` ints from len(self) on that no row has as its key."""
        start = len(self)
        stop = start + count
        if self._row_of is None and self._keys.form != INT:
            if self._keys.form == STR or not len(self):
                return range(start, stop)  # no int key is a str
        elif self._row_of is None and self._keys.start is not None:
            first = self._keys.start  # every key from first to first + _n - 1 is held, or was
            if stop <= first or start >= first + self._n:
                return range(start, stop)
        elif self._row_of is None:
            held = np.compress(self._live[: self._n], self._keys.int_keys(self._n))
            if not ((held >= start) & (held < stop)).any():
                return range(start, stop)
        row_of = self._lookup()
        if row_of.keys().isdisjoint(range(start, stop)):
            return range(start, stop)
        out: list[Hashable] = []
        k = start
        while len(out) < count:
            if k not in row_of:
                out.append(k)
            k += 1
        return out

    def _check_metadata(
        self, metadata: Sequence[Mapping[str, Any] | None] | None, count: int
    ) -> list[Mapping[str, Any] | None] | None:
        if metadata is None:
            if self._engine.fields:
                raise ValueError(f"this index filters on fields {list(self._engine.fields)}: every row needs metadata")
            return None
        meta = list(metadata)
        if len(meta) != count:
            raise ValueError(f"got {len(meta)} metadata entries for {count} rows")
        for i, m in enumerate(meta):
            if m is not None and not isinstance(m, Mapping):
                raise TypeError(f"metadata of row {i} must be a mapping or None, not {type(m).__name__}")
        return meta

    def _reserve(self, count: int) -> None:
        """Room for `count` more rows in the engine and the liveness by id
        (its entries from _n on mean nothing)."""
        self._engine.reserve(count)
        need = self._n + count
        if need <= self._live.shape[0]:
            return
        live = np.ones(max(need, 2 * self._live.shape[0]), dtype=bool)
        live[: self._n] = self._live[: self._n]
        self._live = live

    # -- searching -------------------------------------------------------

    def _query(self, query: Any, engine_checks: bool = False) -> npt.NDArray[np.float64]:
        """The query as float64; its values checked here unless the flat
        engine checks them in the search itself (`engine_checks`)."""
        q = real_array(query, "query")
        if q.ndim != 1 or q.shape[0] != self._dim:
            got = q.shape[0] if q.ndim == 1 else f"an array of shape {q.shape}"
            raise ValueError(f"Expected query of length {self._dim}, got {got}")
        if not self._allow_nonfinite and not (engine_checks and self._engine.checks_finite):
            refuse_nonfinite(q, "the query")
        return q

    def _queries(self, queries: Any, engine_checks: bool = False) -> npt.NDArray[np.float64]:
        Q = real_array(queries, "queries")
        if Q.ndim != 2 or Q.shape[1] != self._dim:
            raise ValueError(f"Expected queries of shape (m, {self._dim}), got shape {Q.shape}")
        if not self._allow_nonfinite and not (engine_checks and self._engine.checks_finite):
            refuse_nonfinite(Q, "queries")
        return Q

    def _refusal(self, queries: npt.NDArray[np.float64], what: str) -> Callable[[int | None], None] | None:
        """What an engine that checks the queries' values in its search
        calls to raise the error naming the first non-finite one (its row,
        when the engine found it)."""
        if self._allow_nonfinite or not self._engine.checks_finite:
            return None
        return lambda row: refuse_nonfinite(queries, what, row)

    @staticmethod
    def _k(k: Any) -> int:
        try:
            n = operator.index(k)
        except TypeError:
            raise TypeError(f"k must be an int, not {type(k).__name__}") from None
        if n < 0:
            raise ValueError(f"k must be at least 0, got {n}")
        return min(n, 2**32 - 1)

    def _mask(self, filter: Any) -> _engines.Where | None:
        """An exact index's filter as a bool per row id (None: every row),
        or, for an engine that takes them, as the ascending row ids it
        admits when they are few (the engine then computes just those)."""
        if filter is None:
            return None
        if isinstance(filter, Mapping):
            self._refuse_unknown_fields(filter)
            return self._admitting(self._columns.admitted(filter, self._lock.once))
        if isinstance(filter, np.ndarray) and filter.dtype == bool:
            if filter.shape != (len(self),):
                raise ValueError(f"a mask needs one entry per row: shape ({len(self)},), not {filter.shape}")
            if not self._removed:
                return np.ascontiguousarray(filter)
            mask = np.zeros(self._n, dtype=bool)
            mask[self._live_ids()] = filter
            return mask
        if isinstance(filter, (str, bytes)) or not isinstance(filter, Iterable):
            raise TypeError(
                "filter must be a mapping {field: value}, a numpy bool array over the rows, "
                f"or a collection of keys, not {type(filter).__name__}"
            )
        ids = []
        row_of = self._lookup()
        for key in filter:
            if isinstance(key, (np.integer, np.bool_)):
                key = key.item()
            try:
                row = row_of.get(key)
            except TypeError:
                raise TypeError(f"key {key!r} is not hashable") from None
            if row is not None:
                ids.append(row)
        return self._admitting(np.unique(np.array(ids, dtype=np.int64)))

    def _admitting(self, rows: npt.NDArray[np.int64] | None) -> _engines.Where:
        """The filter admitting `rows` (ascending; None: every row): the
        rows themselves when the engine takes them and they are few enough
        to be computed one by one, else a bool per row id."""
        n = self._n
        if rows is not None and self._engine.takes_rows and len(rows) * _ROWS_CROSSOVER < n:
            return rows
        mask = np.ones(n, dtype=bool) if rows is None else np.zeros(n, dtype=bool)
        if rows is not None:
            mask[rows] = True
        return mask

    def _refuse_unknown_fields(self, where: Mapping[Any, Any]) -> None:
        """ValueError for a field that no row has (a misspelt name would
        otherwise match nothing, silently); an index without rows has no
        fields and answers every filter with nothing."""
        if not self._n:
            return
        for name in where:
            if isinstance(name, str) and not self._columns.has(name):
                raise ValueError(f"filter on field {name!r}: no row has it (the rows have {self._columns.fields})")

    @reads
    def search(
        self, query: Any, k: int = 10, *, filter: Any = None, ef: int | None = None, return_metadata: bool = False
    ) -> Any:
        """The k best rows for `query`: ``(keys, scores)``, numpy arrays.

        Most similar first: ascending distance for "euclidean", descending
        similarity for "cosine" and "inner_product"; NaN scores last; ties
        in insertion order. Fewer than k when the index holds (or the filter
        admits) fewer rows. ``filter``: see the class. ``ef`` (a graph
        only; None: its ``ef_search``): the candidates the walk keeps, more
        for a better recall at a slower search; an exact kind refuses it
        with ValueError. ``keys`` is int64 when every key is an int, else an object array. With
        ``return_metadata=True`` a third item, the list of the results'
        metadata, follows. A query holding NaN or an infinity raises
        ValueError unless the index allows non-finite values. The rows of a
        large exact index are split among the cores, the same bits as one.
        """
        q = self._query(query, engine_checks=True)
        kk = self._k(k)
        walk = self._engine.ef(ef)
        # threads=None: the engine splits one query's rows among the cores
        # only when they are enough to pay for it.
        ids, found = self._found(q[None, :], kk, filter, None, _progress.SILENT, self._refusal(q, "the query"), walk)
        if return_metadata:
            return self._keys_of(ids[0]), found[0], self._columns.rows(ids[0])
        return self._keys_of(ids[0]), found[0]

    def _found(
        self,
        Q: npt.NDArray[np.float64],
        k: int,
        filter: Any,
        threads: int | None,
        shown: _engines.Progress,
        refuse: Callable[[int | None], None] | None,
        ef: int | None,
    ) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.float64]]:
        """(row ids, scores) of the k best rows for each query, a row each."""
        where = None if filter is None else self._engine.where(filter, self._mask)
        ids, raw = self._engine.search(Q, k, where, threads, shown, refuse, ef)
        return ids, scores(self._metric, Q, ids, raw, self._engine.row)

    def _keys_of(self, ids: npt.NDArray[np.intp]) -> npt.NDArray[Any]:
        """The keys of row ids; -1 (None in an object array) for a padding id."""
        return self._keys.of(ids)

    @reads
    def search_batch(
        self,
        queries: Any,
        k: int = 10,
        *,
        filter: Any = None,
        ef: int | None = None,
        threads: int | None = None,
        progress: bool = False,
    ) -> tuple[npt.NDArray[Any], npt.NDArray[np.float64]]:
        """Row i is ``search(queries[i], k, filter=filter, ef=ef)``: arrays
        of shape (m, min(k, rows admitted)).

        The whole batch is answered in one call, on ``threads`` threads
        (None: every core; for shards, every
        core of the process that holds each shard), with the interpreter lock
        released: the results are the same bits for any number of threads.
        ``progress`` shows a bar (a batch fills it at once).
        Unless the index allows non-finite values, a query holding NaN
        or an infinity raises ValueError naming its row, before any search.
        """
        Q = self._queries(queries, engine_checks=True)
        kk = self._k(k)
        walk = self._engine.ef(ef)
        threads = positive("threads", threads)
        shown = _progress.bar(Q.shape[0], "search", progress)
        try:
            ids, found = self._found(Q, kk, filter, threads, shown, self._refusal(Q, "queries"), walk)
        finally:
            shown.close()
        return self._keys_of(ids), found

    @reads
    def search_radius(self, query: Any, radius: float, *, filter: Any = None, return_metadata: bool = False) -> Any:
        """Every row within `radius` of `query`: ``(keys, scores)``, most
        similar first (as ``search``), exactly.

        For "euclidean", the rows at a distance of at most `radius`; for
        "cosine" and "inner_product", the rows whose similarity is at least
        `radius`. ``filter`` and ``return_metadata`` as for ``search``.
        Exact kinds only (a graph raises ValueError naming kind='flat'); a NaN radius is a
        ValueError.
        """
        self._engine.exact("search_radius")
        q = self._query(query)
        try:
            r = float(operator.index(radius) if isinstance(radius, (int, np.integer)) else radius)
        except (TypeError, ValueError):
            raise TypeError(f"radius must be a real number, not {type(radius).__name__}") from None
        if math.isnan(r):
            raise ValueError("radius must not be NaN")
        mask = None if filter is None else self._engine.where(filter, self._mask)
        if len(self) == 0:
            ids: npt.NDArray[np.intp] = np.empty(0, dtype=np.intp)
            found = np.empty(0)
        else:
            ids, raw = self._engine.search_radius(q, r, mask)
            found = scores(self._metric, q[None, :], ids[None, :], raw[None, :], self._engine.row)[0]
        if return_metadata:
            return self._keys_of(ids), found, self._columns.rows(ids)
        return self._keys_of(ids), found

    # -- removing --------------------------------------------------------

    def _ids_of(self, keys: Any, what: str) -> list[int]:
        if isinstance(keys, (str, bytes)) or not isinstance(keys, Iterable):
            raise TypeError(f"{what} takes a sequence of keys, not {type(keys).__name__}")
        ids: list[int] = []
        seen: set[int] = set()
        row_of = self._lookup()
        for key in keys:
            if isinstance(key, (np.integer, np.bool_)):
                key = key.item()
            try:
                row = row_of[key]
            except (KeyError, TypeError):
                raise KeyError(key) from None
            if row in seen:
                raise ValueError(f"key {key!r} is given twice")
            seen.add(row)
            ids.append(row)
        return ids

    @writes
    def remove(self, keys: Any) -> None:
        """Removes the rows of `keys` (a sequence of keys): every search then
        answers as an index built from the other rows.

        An unknown key raises KeyError naming the first, a key given twice
        ValueError; nothing is removed then, nor after any other failure
        (but a shard lost beyond recovery: the removal is made and the shard
        takes it when it is rebuilt, then ShardLostError is raised). The rows
        stay as tombstones, never found, until ``compact()`` (run by the
        removal itself once they are more than ``COMPACT_FRACTION`` of the
        rows stored).
        """
        ids = self._ids_of(keys, "remove")
        if not ids:
            return
        old = np.array(ids, dtype=np.int64)
        live = self._live.copy()
        np.put(live, old, False)
        removed = self._removed + len(ids)
        # Made now, run once the engine has removed the rows: a loop over a
        # map made beforehand allocates nothing.
        gone = map(self._lookup().pop, self._keys.listed(ids))
        with _interrupt.deferred():
            try:
                self._engine.remove(old)  # the one step that can fail
            except BaseException:
                if self._engine.removed == removed:  # made all the same (a lost shard)
                    self._removed_now(gone, live, removed)
                raise
            self._removed_now(gone, live, removed)
        self._compact_if_due()

    def _removed_now(self, gone: Iterator[Any], live: npt.NDArray[np.bool_], removed: int) -> None:
        """The records of a removal the engine has made; nothing allocated."""
        for _ in gone:
            pass
        self._live = live
        self._removed = removed

    def _compact_if_due(self) -> None:
        """Compacts once tombstones pass COMPACT_FRACTION of the rows
        stored. A change that made them is done: if memory is short, they
        stay until the next removal or ``compact()``."""
        try:
            if self._removed > COMPACT_FRACTION * self._n:
                self.compact()
        except MemoryError:
            pass

    @writes
    def update(self, keys: Any, vectors: Any, metadata: Sequence[Mapping[str, Any] | None] | None = None) -> None:
        """Replaces the rows of `keys` by `vectors` (and their metadata by
        `metadata`, one mapping or None per row; None keeps each row's
        metadata): a removal and an add under the same keys, so each updated
        row counts as added last. All or nothing: every check as ``add``
        and ``remove`` make, and a failure leaves the old rows, keys and
        metadata (but a shard lost beyond recovery, as for ``remove``); a
        Ctrl-C is held until the update is whole, then raised.
        """
        ids = self._ids_of(keys, "update")
        rows = self._vectors(vectors)
        if rows.shape[0] != len(ids):
            raise ValueError(f"got {rows.shape[0]} vectors for {len(ids)} keys")
        meta = self._columns.rows(ids) if metadata is None else self._check_metadata(metadata, len(ids))
        self._engine.tag(meta)  # a graph's fields in every row
        if not ids:
            return
        count = len(ids)
        start = self._n
        end = start + count
        old = np.array(ids, dtype=np.int64)
        moved = dict(zip(self._keys.listed(ids), range(start, end), strict=True))  # key -> its new id
        staged = self._columns.stage(meta, count)
        same = self._keys.of(old) if self._keys.form == INT else list(moved)
        held = self._keys.with_new(start, same, self._keys.form)
        self._reserve(count)
        live = self._live.copy()
        np.put(live, old, False)
        live[start:end] = True
        removed = self._removed + count
        with _interrupt.deferred():
            self._columns.commit(staged)
            try:
                self._engine.append(rows, None, _never)
                self._engine.remove(old)
            except BaseException:
                if len(self._engine) == end and self._engine.removed == removed:
                    self._updated_now(moved, held, live, removed, end)  # made all the same (a lost shard)
                else:
                    self._undo((), held, staged, start)
                raise
            self._updated_now(moved, held, live, removed, end)
        self._compact_if_due()

    def _updated_now(
        self, moved: dict[Hashable, int], held: Keys, live: npt.NDArray[np.bool_], removed: int, end: int
    ) -> None:
        """The records of an update the engine has made; nothing allocated
        (the keys are in the map already: only their values change)."""
        self._lookup().update(moved)
        self._keys = held
        self._live = live
        self._removed = removed
        self._n = end

    @writes
    def compact(self) -> None:
        """Drops the removed rows' tombstones and frees their memory. Keys,
        metadata and every search stay as they were, after a failure too."""
        if not self._removed:
            return
        after = self._compaction(self._removed)
        with _interrupt.deferred():
            try:
                self._engine.compact()  # the last step that can fail
            except BaseException:
                # Shards compact one after the other: those before a failure
                # (and a lost one, which compacts when it is rebuilt) did.
                left = self._engine.removed
                if left != self._removed:
                    self._commit_compaction(self._compaction(self._removed - left))
                raise
            self._commit_compaction(after)

    def _compaction(self, dropped: int) -> tuple[Any, ...]:
        """What the records become once the first `dropped` tombstones (in
        id order) are gone: keys, the map of keys (if built), metadata,
        liveness, ids in use and tombstones left."""
        dead = np.flatnonzero(~self._live[: self._n])
        keep = np.ones(self._n, dtype=bool)
        np.put(keep, dead[:dropped], False)
        at = np.flatnonzero(keep)
        n = len(at)
        keys = self._keys.taken(at, self._n)
        live = np.ones(max(n, 16), dtype=bool)
        live[:n] = np.take(self._live, at)
        row_of = None if self._row_of is None else keys.row_map(np.flatnonzero(live[:n]))
        columns = copy.copy(self._columns)
        columns.take(at)
        return keys, row_of, columns, live, n, len(dead) - dropped

    def _commit_compaction(self, after: tuple[Any, ...]) -> None:
        keys, row_of, columns, live, n, removed = after
        self._keys = keys
        self._row_of = row_of
        self._columns = columns
        self._live = live
        self._n = n
        self._removed = removed

    # -- files -----------------------------------------------------------

    def snapshot(self) -> Snapshot:
        """The index as a file keeps it (removed rows compacted first); it
        stays as it is whatever the index does later."""
        with self._compacted():
            return self._snapshot(frozen=True)

    def _snapshot(self, frozen: bool = False) -> Snapshot:
        """The snapshot of an index held to read, with no removed row; it
        shares the metadata columns unless `frozen`."""
        n = self._n
        engine = self._engine.parts()
        rows = engine["rows"] if engine is not None else self._engine.rows()
        rows.flags.writeable = False
        return Snapshot(
            self._kind,
            self._dim,
            self._metric,
            dict(self._engine.parameters),
            self._engine.fields,
            self._allow_nonfinite,
            rows,
            self._keys.frozen(n),
            self._columns.copy() if frozen else self._columns,
            engine,
        )

    @classmethod
    def from_snapshot(
        cls,
        snap: Snapshot,
        *,
        restore: bool = False,
        verify: bool = True,
        backend: Any = "local",
        progress: bool = False,
    ) -> Index:
        """An index holding what `snap` holds. With `restore`, its engine is
        restored from the parts the snapshot keeps of it (a flat index's
        rows and codes, a graph's rows, codes and links: nothing is computed
        again, but every code to compare with `verify`; for shards, and a
        graph saved before graphs kept their links, the rows are added again);
        without, the rows are added to a new engine. TypeError or ValueError
        when `snap` describes no index."""
        dim, metric = _checked(snap.dim, snap.metric, snap.kind)
        taken = _engines.TAKEN[snap.kind]
        options = {
            **dict.fromkeys(_engines.PARAMETERS[snap.kind]),
            **{name: value for name, value in snap.parameters.items() if name in taken},
            "fields": None if snap.fields is None else list(snap.fields),
            "backend": backend,
            "storage": "float32" if snap.rows.dtype == np.float32 else "float64",
        }
        parts = snap.engine if restore else None
        finite = verify and not snap.allow_nonfinite  # rows restored are looked at with the codes
        n = snap.rows.shape[0]
        # Keys are checked for repeats without a map of them (built by the
        # first lookup by key); a mapped file's only with `verify`. Many
        # keys are checked on a thread of their own while the engine
        # checks its codes (both without the interpreter lock).
        aside = ThreadPoolExecutor(1) if verify and parts is not None and n >= _KEYS_ASIDE else None
        try:
            checked = aside.submit(snap.keys.check_unique, n) if aside else None
            engine = _engines.restore(snap.kind, dim, metric, options, parts, verify=verify, finite=finite)
        finally:
            if aside:
                aside.shutdown(wait=True)
        index = cls.__new__(cls)
        index._open(dim, metric, snap.kind, engine, snap.allow_nonfinite)
        if not len(engine):
            if n:
                keys = snap.keys.first(n)
                index.add(snap.rows, keys=keys, metadata=snap.columns.rows(range(n)), progress=progress)
            return index
        if len(engine) != n or len(snap.keys) != n or len(snap.columns) != n:
            raise ValueError("the engine, keys and metadata hold different numbers of rows")
        if checked:
            checked.result()  # its error, if any
        elif verify:
            snap.keys.check_unique(n)
        index._columns = snap.columns
        index._reserve(n)
        index._keys = snap.keys.frozen(n)
        index._live[:n] = True
        index._n = n
        return index

    def save(self, path: Any) -> None:
        """Writes the index to `path` atomically (see `orbisk_companion.persistence`).

        It compacts the removed rows away first (a change: it waits for the
        searches in progress), then writes as a reader: searches go on
        meanwhile, changes wait for the file."""
        with self._compacted():
            persistence.save(self._snapshot(), path)

    @classmethod
    def load(
        cls, path: Any, *, mmap: bool = False, verify: bool = False, backend: Any = None, progress: bool = False
    ) -> Index:
        """Reads a file written by `save`: a flat or graph index as it was,
        nothing computed again (``mmap=True``: its rows, codes and keys
        mapped read-only from the file, used in place, checked at open only
        with ``verify=True``); a sharded index is built again from its rows.
        See `orbisk_companion.persistence`."""
        return persistence.load(
            path, cls.from_snapshot, _engines.IN_FILES, mmap=mmap, verify=verify, backend=backend, progress=progress
        )


def _checked(dim: Any, metric: Any, kind: Any) -> tuple[int, Metric]:
    """`dim` and `metric` checked, and `kind` one of KINDS."""
    n = positive("dim", dim, optional=False) or 0
    checked = check_metric(metric)
    if kind not in KINDS:
        raise ValueError(f"unknown kind {kind!r}: expected one of {', '.join(map(repr, KINDS))}")
    return n, checked


# The code of a change makes no generator expression or closure, enters no
# generator-based context, and indexes no numpy array with an array of ints
# (np.take and np.put instead): when one of their allocations fails, CPython
# 3.13.0 and numpy 2 free memory twice, and the process crashes.


class _Steps:
    """The pieces of an add: each shown, and a Ctrl-C noted stops it."""

    def __init__(self, shown: _engines.Progress, interrupt: _interrupt.Deferred) -> None:
        self.shown, self.interrupt = shown, interrupt

    def __call__(self, n: int) -> bool:
        self.shown.update(n)
        return self.interrupt.pending()


def _never(n: int) -> bool:
    return False


def load(path: Any, *, mmap: bool = False, verify: bool = False, backend: Any = None, progress: bool = False) -> Index:
    """`Index.load`: reads a file written by `Index.save`."""
    return Index.load(path, mmap=mmap, verify=verify, backend=backend, progress=progress)
