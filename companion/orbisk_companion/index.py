"""`Index`: the everyday index over orbisk, with keys, metadata and files."""

from __future__ import annotations

import copy
import math
import operator
from collections.abc import Hashable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Final

import numpy as np
import numpy.typing as npt

import orbisk
import orbisk_engine

from . import _interrupt, _progress, _values
from ._columns import Columns
from ._scores import SIMILARITIES, check_metric, cosines, fix_zero_signs, steering

KINDS: Final = ("flat", "graph", "sharded")
_INT64: Final = range(-(2**63), 2**63)
# Values handed to the flat engine per call: a Ctrl-C waits for one chunk.
_FLAT_CHUNK_VALUES: Final = 2**23
# Past this fraction of removed rows among those stored, a removal compacts.
COMPACT_FRACTION: Final = 0.25
# dtypes the engine converts to float64 itself, exactly and a chunk at a time.
# (64-bit ints are converted here, rounded as numpy rounds them.)
_ENGINE_DTYPES: Final = frozenset("?bBhHiIfd")


def _positive(name: str, value: object, *, optional: bool = True) -> int | None:
    if value is None and optional:
        return None
    try:
        n = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None
    if n < 1 or n > 2**32 - 1:
        raise ValueError(f"{name} must be between 1 and 4294967295, got {n}")
    return n


def _real_array(x: object, what: str) -> npt.NDArray[np.float64]:
    a = np.asarray(x)
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{what} must hold real numbers, got an array of dtype {a.dtype}")
    return np.ascontiguousarray(a, dtype=np.float64)


def _engine_array(x: object, what: str) -> npt.NDArray[Any]:
    """`x` as a C-contiguous array the engine converts itself (float64,
    float32, ints, bools: no float64 copy made here), else as float64."""
    a = np.asarray(x)
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{what} must hold real numbers, got an array of dtype {a.dtype}")
    if a.dtype.char in _ENGINE_DTYPES and a.dtype.isnative:
        return np.ascontiguousarray(a)
    return np.ascontiguousarray(a, dtype=np.float64)


def _refuse_nonfinite(a: npt.NDArray[Any], what: str) -> None:
    """ValueError naming the first row of `a` (or the vector `a`) that holds
    a NaN or an infinity. Checked a block of rows at a time: no mask as big
    as the rows."""
    if a.dtype.kind != "f":
        return  # ints and bools are finite
    if a.ndim == 1:
        if not np.isfinite(a).all():
            raise ValueError(f"{what} holds NaN or infinity (allow_nonfinite=True accepts it)")
        return
    step = max(1, 2**16 // max(1, a.shape[1]))
    for start in range(0, a.shape[0], step):
        block = a[start : start + step]
        if np.isfinite(block).all():
            continue
        row = start + int(np.flatnonzero(~np.isfinite(block).all(axis=1))[0])
        raise ValueError(f"row {row} of {what} holds NaN or infinity (allow_nonfinite=True accepts it)")


@dataclass(frozen=True)
class Snapshot:
    """What a file keeps of an index, rows in insertion order (removed rows
    compacted away): what `Index.snapshot` gives and `Index.from_snapshot`
    takes."""

    kind: str
    dim: int
    metric: str
    parameters: dict[str, Any]
    fields: tuple[str, ...] | None
    allow_nonfinite: bool
    rows: npt.NDArray[np.float64]  # (n, dim), read-only
    keys: list[Hashable]
    int_keys: npt.NDArray[np.int64] | None  # the keys as int64, when every key is an int
    columns: Columns
    engine: dict[str, npt.NDArray[Any]] | None = None  # a flat index's engine parts (rows and codes)


class Index:
    """An exact (flat, sharded) or graph index with keys and metadata.

    ``Index(dim, metric="euclidean", kind="flat", ...)``

    - ``metric``: "euclidean" (distance, smallest first), "cosine" or
      "inner_product" (similarities, largest first). Any other name raises
      ValueError. Scores are the distance or the similarity itself, equal bit
      for bit to the plain float64 definition (the extension's sums in
      element order); a zero similarity has the sign of that definition.
    - ``kind``: "flat" (``orbisk_engine.FlatIndex``: exact, ties by insertion
      order; filters, removal, radius search), "graph" (``orbisk.PyHNSW``:
      approximate, at most ``ef_search`` results; ``layers``, ``m``,
      ``ef_construction``, ``ef_search`` as there; ``fields`` names the
      metadata attributes that filters test; "euclidean" and "cosine" only)
      or "sharded" (``orbisk_shard.ShardedFlat``: exact as "flat", over
      ``shards`` shards on ``backend`` "local", "ray" or "dask").
    - ``allow_nonfinite``: False (the default) refuses rows and queries that
      hold NaN or an infinity with ValueError, as scikit-learn does; True
      takes them, and their scores follow the extension's rules (NaN last).

    Keys are any hashable values, unique in the index (ints from 0 in
    insertion order by default). Metadata is one mapping (or None) per row,
    kept field by field in typed columns and returned with the results;
    ``save`` needs keys and metadata of JSON types.

    Exact kinds ("flat", "sharded") hold each row once, in the engine:
    ``rows`` is a read-only view of it. Their searches take a ``filter``:
    ``{field: value, ...}`` (every field must equal its value, typed: 1, 1.0
    and "1" are three values, NaN matches nothing, a bool is an int), a
    numpy bool array with one entry per row (in the order of ``keys``), or
    any other collection of keys (the rows allowed; keys not in the index
    allow nothing). The result is exactly the search of an index holding the
    admitted rows alone, so fewer than k rows when fewer are admitted.
    ``remove`` and ``update`` leave the searches exactly those of an index
    built from the remaining rows (an updated row counts as added last);
    removed rows stay as tombstones until ``compact()``, which a removal
    runs itself once they pass ``COMPACT_FRACTION`` (a quarter) of the rows
    stored.

    A "cosine" graph is a Euclidean ``PyHNSW`` over the rows scaled to
    length one, where distance order is cosine order up to rounding (the
    extension's own "angular" graph ranks the raw cosine ascending, so each
    insertion would link a row with the rows least similar to it). Its
    results are scored with the exact cosine of the stored rows and ranked by
    it, ties by insertion order, NaN last. Since the walk's order can differ
    from the exact one among rows whose cosines lie within rounding of each
    other, the walk is asked for twice k rows (it keeps ``ef_search``
    candidates whatever k is, so they cost only their conversion) and the
    best k of them by exact cosine are returned. Rows without a finite
    direction (zero, or a length whose square under- or overflows) walk as
    the zero vector. "inner_product" has no graph here (the extension's
    would link each row with the rows of least inner product, and the index
    offers no reduction of it to a distance): it is refused, naming
    kind="flat".

    Graph results carry vectors, not ids: the index finds the key from the
    vector it returned (for "cosine", the scaled vector). Rows with
    identical vectors (for "cosine", identical scaled vectors: a row and its
    double, or any two zero rows) cannot be told apart there: the first time
    such a vector appears in one result it is reported with the first key
    inserted with it, the second time with the second,
    and so on (in a filtered search, counting only rows the filter admits).
    The graph's start node (the first row) can be returned by the extension
    although a filter rejects it; the index checks each result against the
    filter and drops such a row, so a filtered result holds only rows that
    match. A graph keeps a copy of its rows (the extension cannot hand them
    back), for ``save`` and for the keys of its results; it cannot forget a
    row, so ``remove`` and ``update`` refuse it.
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
        shards: int = 2,
        max_shard_rows: int | None = None,
        backend: Any = "local",
        allow_nonfinite: bool = False,
    ) -> None:
        self._dim: int = _positive("dim", dim, optional=False) or 0
        self._metric = check_metric(metric)
        if kind not in KINDS:
            raise ValueError(f"unknown kind {kind!r}: expected one of {', '.join(map(repr, KINDS))}")
        if kind == "graph" and self._metric == "inner_product":
            raise ValueError('kind="graph" offers "euclidean" and "cosine"; for inner products use kind="flat" (exact)')
        self._kind = kind
        self._allow_nonfinite = bool(allow_nonfinite)
        graph = dict(layers=layers, m=m, ef_construction=ef_construction, ef_search=ef_search)
        if kind != "graph":
            given = [name for name, v in graph.items() if v is not None] + (["fields"] if fields is not None else [])
            if given:
                raise ValueError(f"{', '.join(given)}: only for kind='graph'")
        self._fields: tuple[str, ...] | None = None
        self._params: dict[str, Any] = {}
        native: Any
        if kind == "flat":
            native = orbisk_engine.FlatIndex(self._dim, self._metric)
        elif kind == "graph":
            for name, v in graph.items():
                self._params[name] = _positive(name, v)
            if fields is not None:
                if isinstance(fields, str) or not all(isinstance(f, str) for f in fields):
                    raise TypeError("fields must be a sequence of str")
                if len(set(fields)) != len(fields):
                    raise ValueError("fields must not repeat a name")
                self._fields = tuple(fields)
            p = self._params
            native = orbisk.PyHNSW(
                self._dim,
                p["layers"],
                p["m"],
                p["ef_construction"],
                p["ef_search"],
                metric="euclidean",
                schema=None if self._fields is None else list(self._fields),
            )
        else:
            from orbisk_shard import ShardedFlat

            self._params = {
                "shards": _positive("shards", shards, optional=False),
                "max_shard_rows": _positive("max_shard_rows", max_shard_rows),
            }
            native = ShardedFlat(self._dim, self._metric, backend=backend, **self._params)
        self._native = native
        # Row ids are the engine's: 0, 1, ... in insertion order, removed
        # rows included until a compaction renumbers the rest.
        self._n = 0  # ids in use
        self._removed = 0
        self._live = np.ones(16, dtype=bool)
        self._keys: list[Hashable] = []  # by id (a removed row's key stays until compaction)
        self._key_ints = np.empty(16, dtype=np.int64)
        self._int_keys = True  # every key an int (not bool) in int64
        self._row_of: dict[Hashable, int] = {}
        self._columns = Columns()
        self._tagged: list[tuple[_values.Tagged, ...]] = []  # graph with fields
        self._by_hash: dict[int, list[int]] = {}  # graph: walked bytes -> rows
        # A graph's rows, and the vectors it walks: the rows themselves, or
        # for "cosine" their scaled forms (kept to tell hash collisions apart).
        self._scaled = self._metric == "cosine" and kind == "graph"
        self._rows = np.empty((16 if kind == "graph" else 0, self._dim))
        self._walked = np.empty((16, self._dim)) if self._scaled else self._rows

    # -- what it holds ---------------------------------------------------

    dim = property(lambda self: self._dim, doc="The length of every vector.")
    metric = property(lambda self: self._metric, doc='"euclidean", "cosine" or "inner_product".')
    kind = property(lambda self: self._kind, doc='"flat", "graph" or "sharded".')
    fields = property(lambda self: self._fields, doc="The graph's filterable metadata names, or None.")
    allow_nonfinite = property(
        lambda self: self._allow_nonfinite, doc="Whether rows and queries may hold NaN and infinities."
    )
    native = property(
        lambda self: self._native,
        doc="The native index underneath (orbisk_engine.FlatIndex, orbisk.PyHNSW or ShardedFlat); "
        "changing it directly puts the index out of step.",
    )

    @property
    def parameters(self) -> dict[str, Any]:
        """The kind's parameters as given (None for the extension's default)."""
        return dict(self._params)

    def __len__(self) -> int:
        return self._n - self._removed

    def __contains__(self, key: object) -> bool:
        try:
            return key in self._row_of
        except TypeError:
            return False

    def __repr__(self) -> str:
        return f"Index(dim={self._dim}, metric={self._metric!r}, kind={self._kind!r}, rows={len(self)})"

    def _live_ids(self) -> npt.NDArray[np.intp]:
        return np.flatnonzero(self._live[: self._n])

    @property
    def keys(self) -> list[Hashable]:
        """The keys in insertion order."""
        if not self._removed:
            return list(self._keys)
        return [self._keys[i] for i in self._live_ids().tolist()]

    @property
    def rows(self) -> npt.NDArray[np.float64]:
        """The stored rows in insertion order (the order of ``keys``): a
        read-only view of the engine's rows for "flat" (it stays as it is
        whatever the index does later), a copy gathered from the shards for
        "sharded", a read-only view of the graph's copy for "graph"."""
        if self._kind == "graph":
            view = self._rows[: self._n]
        else:
            self.compact()
            if self._kind == "flat":
                view = np.asarray(self._native.rows)
            else:
                chunks = list(self._native.iter_rows())
                view = np.concatenate(chunks) if chunks else np.empty((0, self._dim))
        view.flags.writeable = False
        return view

    def metadata(self, key: Hashable) -> Mapping[str, Any] | None:
        """The metadata stored with `key` (KeyError if there is no such key)."""
        return self._columns.row(self._row_of[key])

    def close(self) -> None:
        """Stops the shards' actors (kind "sharded"); nothing for the others."""
        if self._kind == "sharded":
            self._native.close()

    def __enter__(self) -> Index:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- adding ----------------------------------------------------------

    def _vectors(self, vectors: Any, what: str = "vectors") -> npt.NDArray[Any]:
        rows = _real_array(vectors, what) if self._kind == "graph" else _engine_array(vectors, what)
        if rows.ndim != 2 or rows.shape[1] != self._dim:
            raise ValueError(f"Expected a 2-D array of shape (n, {self._dim}), got shape {rows.shape}")
        if not self._allow_nonfinite:
            _refuse_nonfinite(rows, what)
        return rows

    def add(
        self,
        vectors: Any,
        keys: Sequence[Hashable] | None = None,
        metadata: Sequence[Mapping[str, Any] | None] | None = None,
        progress: bool = False,
    ) -> None:
        """Appends the rows of a 2-D array, each with its key and metadata.

        Everything is checked before anything is added: the shape, that
        every value is finite (unless ``allow_nonfinite``; the error names
        the first row holding NaN or an infinity), that keys
        (default: ints continuing from ``len(self)``) are hashable and new,
        one metadata mapping (with str field names) or None per row, and for
        a graph with ``fields`` every field present in every row with a str,
        int or float value. ``progress=True`` shows a bar (tqdm if installed).
        float32, int and bool rows go to an exact index as they are: it
        converts them a chunk at a time, so its memory grows by the rows
        alone.

        Ctrl-C stops the batch (after the row being linked for a graph, after
        the chunk being added for a flat index, about 8 million values, after
        the whole batch for shards) and raises KeyboardInterrupt; the rows
        added so far stay, with their keys and metadata, and the index is
        usable.
        """
        rows = self._vectors(vectors)
        count = rows.shape[0]
        new_keys = self._check_keys(keys, count)
        meta = self._check_metadata(metadata, count)
        tagged = self._tag_fields(meta) if self._fields is not None else None
        if count == 0:
            return
        self._reserve(count)
        start = self._n
        self._columns.append(meta)  # checks the field names; undone below for rows not added
        shown = _progress.bar(count, "add", progress)
        added = 0
        # Ctrl-C is held while the records change (it would land between the
        # extension's rows and the keys); it stops the batch between chunks
        # and is raised once the keys are in step.
        try:
            with _interrupt.deferred() as interrupt:
                try:
                    if self._kind == "graph":
                        for j in range(count):
                            walked = steering(rows[j : j + 1])[0] if self._scaled else rows[j]
                            self._insert_graph(walked, None if tagged is None else tagged[j])
                            self._record_graph(start + j, rows[j], walked, None if tagged is None else tagged[j])
                            added += 1
                            shown.update(1)
                            if interrupt.pending():
                                break
                    elif self._kind == "flat":
                        self._native.reserve(count)  # one allocation for every chunk
                        step = max(1, _FLAT_CHUNK_VALUES // self._dim)
                        for first in range(0, count, step):
                            self._native.add(rows[first : first + step])
                            shown.update(min(step, count - first))
                            if interrupt.pending():
                                break
                    else:
                        self._native.create(rows)
                        shown.update(count)
                finally:
                    if self._kind != "graph":
                        added = len(self._native) - start  # a failed chunk may keep rows before its failure
                    if added < count:
                        self._columns.take(np.arange(start + added))
                    self._record(new_keys[:added])
        finally:
            shown.close()

    def _insert_graph(self, row: npt.NDArray[np.float64], tagged: tuple[_values.Tagged, ...] | None) -> None:
        pairs = None if tagged is None else list(zip(self._fields or (), (v for _, v in tagged), strict=True))
        self._native.insert(row, pairs)

    def _check_keys(self, keys: Sequence[Hashable] | None, count: int) -> list[Hashable]:
        if keys is None:
            start = len(self)
            while start in self._row_of:  # user keys may have taken these ints
                start += 1
            out: list[Hashable] = []
            k = start
            while len(out) < count:
                if k not in self._row_of:
                    out.append(k)
                k += 1
            return out
        if isinstance(keys, (str, bytes)):
            raise TypeError("keys must be a sequence of keys, not a single str")
        # numpy's integer and bool scalars are keys of their Python values
        # (np.arange(n) gives int keys, an int64 keys array, and can be saved).
        out = [k.item() if isinstance(k, (np.integer, np.bool_)) else k for k in keys]
        if len(out) != count:
            raise ValueError(f"got {len(out)} keys for {count} rows")
        seen: set[Hashable] = set()
        for key in out:
            try:
                hash(key)
            except TypeError:
                raise TypeError(f"key {key!r} is not hashable") from None
            if key in self._row_of or key in seen:
                raise ValueError(f"duplicate key {key!r}")
            seen.add(key)
        return out

    def _check_metadata(
        self, metadata: Sequence[Mapping[str, Any] | None] | None, count: int
    ) -> list[Mapping[str, Any] | None]:
        if metadata is None:
            if self._fields:
                raise ValueError(f"this index filters on fields {list(self._fields)}: every row needs metadata")
            return [None] * count
        meta = list(metadata)
        if len(meta) != count:
            raise ValueError(f"got {len(meta)} metadata entries for {count} rows")
        for i, m in enumerate(meta):
            if m is not None and not isinstance(m, Mapping):
                raise TypeError(f"metadata of row {i} must be a mapping or None, not {type(m).__name__}")
        return meta

    def _tag_fields(self, meta: list[Mapping[str, Any] | None]) -> list[tuple[_values.Tagged, ...]]:
        assert self._fields is not None
        out = []
        for i, m in enumerate(meta):
            values = []
            for name in self._fields:
                if m is None or name not in m:
                    raise ValueError(f"metadata of row {i} lacks field {name!r}")
                t = _values.tag(m[name])
                if t is None:
                    raise ValueError(
                        f"metadata of row {i}: field {name!r} must be a str, int or float, not {type(m[name]).__name__}"
                    )
                values.append(t)
            out.append(tuple(values))
        return out

    def _reserve(self, count: int) -> None:
        need = self._n + count
        if need <= self._key_ints.shape[0]:
            return
        size = max(need, 2 * self._key_ints.shape[0])
        keys = np.empty(size, dtype=np.int64)
        keys[: self._n] = self._key_ints[: self._n]
        live = np.ones(size, dtype=bool)
        live[: self._n] = self._live[: self._n]
        if self._kind == "graph":
            grown = np.empty((size, self._dim))
            grown[: self._n] = self._rows[: self._n]
            walked = grown
            if self._scaled:
                walked = np.empty((size, self._dim))
                walked[: self._n] = self._walked[: self._n]
            self._rows, self._walked = grown, walked
        self._key_ints, self._live = keys, live

    def _record(self, keys: list[Hashable]) -> None:
        """The keys of the rows just added (ids from self._n on)."""
        start = self._n
        for j, key in enumerate(keys):
            self._row_of[key] = start + j
            if self._int_keys and isinstance(key, int) and not isinstance(key, bool) and key in _INT64:
                self._key_ints[start + j] = key
            else:
                self._int_keys = False
        self._keys.extend(keys)
        self._live[start : start + len(keys)] = True
        self._n = start + len(keys)

    def _record_graph(
        self,
        row_id: int,
        row: npt.NDArray[np.float64],
        walked: npt.NDArray[np.float64],
        tagged: tuple[_values.Tagged, ...] | None,
    ) -> None:
        """A graph's own records of a row just inserted (its key follows)."""
        self._rows[row_id] = row
        if self._scaled:
            self._walked[row_id] = walked
        if tagged is not None:
            self._tagged.append(tagged)
        self._by_hash.setdefault(hash(self._walked[row_id].tobytes()), []).append(row_id)

    # -- searching -------------------------------------------------------

    def _query(self, query: Any, engine_checks: bool = False) -> npt.NDArray[np.float64]:
        """The query as float64; its values checked here unless the flat
        engine checks them in the search itself (`engine_checks`)."""
        q = _real_array(query, "query")
        if q.ndim != 1 or q.shape[0] != self._dim:
            got = q.shape[0] if q.ndim == 1 else f"an array of shape {q.shape}"
            raise ValueError(f"Expected query of length {self._dim}, got {got}")
        if not self._allow_nonfinite and not (engine_checks and self._kind == "flat"):
            _refuse_nonfinite(q, "the query")
        return q

    @staticmethod
    def _k(k: Any) -> int:
        try:
            n = operator.index(k)
        except TypeError:
            raise TypeError(f"k must be an int, not {type(k).__name__}") from None
        if n < 0:
            raise ValueError(f"k must be at least 0, got {n}")
        return min(n, 2**32 - 1)

    def _wanted_filter(self, filter: Any) -> tuple[str, _values.Tagged] | None:
        """A graph's filter: one field and its tagged value."""
        if filter is None:
            return None
        if not self._fields:
            raise ValueError("this index has no fields to filter on: give fields=[...] when creating it")
        if not isinstance(filter, Mapping) or len(filter) != 1:
            raise ValueError(
                "a graph's filter must be a mapping with one entry, {field: value} "
                "(kind='flat' takes several fields, masks and keys)"
            )
        ((name, value),) = filter.items()
        if name not in self._fields:
            raise ValueError(f"unknown field {name!r}: the fields are {list(self._fields)}")
        t = _values.tag(value)
        if t is None:
            raise ValueError(f"filter value must be a str, int or float, not {type(value).__name__}")
        return name, t

    def _mask(self, filter: Any) -> npt.NDArray[np.bool_] | None:
        """An exact index's filter as a bool per row id (None: every row)."""
        if filter is None:
            return None
        if isinstance(filter, Mapping):
            return self._columns.mask(filter)
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
        mask = np.zeros(self._n, dtype=bool)
        ids = []
        for key in filter:
            if isinstance(key, (np.integer, np.bool_)):
                key = key.item()
            try:
                row = self._row_of.get(key)
            except TypeError:
                raise TypeError(f"key {key!r} is not hashable") from None
            if row is not None:
                ids.append(row)
        mask[ids] = True
        return mask

    def search(self, query: Any, k: int = 10, *, filter: Any = None, return_metadata: bool = False) -> Any:
        """The k best rows for `query`: ``(keys, scores)``, numpy arrays.

        Most similar first: ascending distance for "euclidean", descending
        similarity for "cosine" and "inner_product"; NaN scores last. Ties
        keep the extension's order (insertion order for flat and sharded,
        and for the cosine graph, which ranks its results itself).
        Fewer than k when the index holds (or the filter admits) fewer rows,
        and for a graph at most ``ef_search``. ``filter``: see the class; a
        graph takes ``{field: value}`` on one of its ``fields`` (values
        compared as the extension compares them: 1 and 1.0 differ). ``keys``
        is int64 when every key is an int, else an object array. With
        ``return_metadata=True`` a third item, the list of the results'
        metadata, follows. A query holding NaN or an infinity raises
        ValueError unless the index allows non-finite values.
        """
        q = self._query(query, engine_checks=True)
        kk = self._k(k)
        if self._kind == "graph":
            ids, scores = self._search_graph(q, kk, self._wanted_filter(filter))
        else:
            ids2, scores2 = self._search_exact(q[None, :], kk, self._mask(filter), 1, "the query")
            ids, scores = ids2[0], scores2[0]
        if return_metadata:
            return self._keys_of(ids), scores, self._columns.rows(ids)
        return self._keys_of(ids), scores

    def _search_graph(
        self, q: npt.NDArray[np.float64], k: int, wanted: tuple[str, _values.Tagged] | None
    ) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.float64]]:
        """(row ids, scores) of the k best rows for `q` in the graph."""
        if k == 0 or self._n == 0:
            return np.empty(0, dtype=np.intp), np.empty(0)
        if not self._scaled:
            return self._walk(q, k, wanted)
        ids, _ = self._walk(steering(q[None, :])[0], min(2 * k, 2**32 - 1), wanted)
        scores = cosines(q, self._rows[ids])
        nan = np.isnan(scores)
        order = np.lexsort((ids, np.where(nan, 0.0, -scores), nan))[:k]
        return ids[order], scores[order]

    def _search_exact(
        self,
        Q: npt.NDArray[np.float64],
        k: int,
        mask: npt.NDArray[np.bool_] | None,
        threads: int | None,
        what: str = "queries",
    ) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.float64]]:
        """(row ids, scores) of an exact kind's search for each query. The
        flat engine checks the queries' values itself (`what` names them in
        its error); the caller checked them for the other kinds."""
        m = Q.shape[0]
        check = self._kind == "flat" and not self._allow_nonfinite
        if k == 0 or len(self) == 0 or m == 0:
            if check:
                _refuse_nonfinite(Q[0] if what == "the query" else Q, what)
            c = 0 if m else min(k, len(self))
            return np.empty((m, c), dtype=np.intp), np.empty((m, c))
        searched = -Q if self._metric in SIMILARITIES else Q
        if self._kind == "flat":
            try:
                found = self._native.search(searched, k, mask=mask, threads=threads, finite=check)
            except ValueError as e:
                if check and str(e).endswith("holds NaN or infinity"):
                    _refuse_nonfinite(Q[0] if what == "the query" else Q, what)  # raises, naming the row
                raise
            ids, raw = np.asarray(found[0]), np.asarray(found[1])
        else:
            ids, raw = self._native.search_batch(searched, k, threads=threads, mask=mask)
        if ids.dtype != np.intp:
            ids = ids.astype(np.intp)
        return ids, self._scores(Q, ids, raw)

    def _scores(
        self, Q: npt.NDArray[np.float64], ids: npt.NDArray[np.intp], raw: npt.NDArray[np.float64]
    ) -> npt.NDArray[np.float64]:
        """Scores from an exact kind's values for the searched queries (-Q
        for the similarities), in rows of the same shape."""
        if self._metric not in SIMILARITIES:
            return raw
        scores = -raw
        for i in np.flatnonzero((scores == 0.0).any(axis=1)).tolist():
            fix_zero_signs(self._metric, Q[i], scores[i], lambda j, i=i: self._row(int(ids[i, j])))
        return scores

    def _row(self, row_id: int) -> npt.NDArray[np.float64]:
        """One stored row by id (for the rare exact zero-sign fix)."""
        row: npt.NDArray[np.float64]
        if self._kind == "graph":
            row = self._rows[row_id]
        elif self._kind == "flat":
            row = np.asarray(self._native.rows)[row_id]
        else:
            row = self._native.rows_of(np.array([row_id]))[0]
        return row

    def _walk(
        self, v: npt.NDArray[np.float64], k: int, wanted: tuple[str, _values.Tagged] | None
    ) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.float64]]:
        """(row numbers, the extension's distances) of a graph search for
        the walked vector `v`, at most k, each row matching the filter."""
        # With a filter, one more: the start node may be dropped below.
        found = self._native.search(
            v, min(k + (wanted is not None), 2**32 - 1), None if wanted is None else (wanted[0], wanted[1][1])
        )
        ids_list: list[int] = []
        raw_list: list[float] = []
        used: dict[bytes, int] = {}
        position = None if wanted is None else self._fields.index(wanted[0])  # type: ignore[union-attr]
        for d, vector in found:
            b = np.asarray(vector, dtype=np.float64).tobytes()
            same = [r for r in self._by_hash.get(hash(b), ()) if self._walked[r].tobytes() == b]
            if position is not None:
                same = [r for r in same if _values.matches(self._tagged[r][position], wanted[1])]  # type: ignore[index]
            taken = used.get(b, 0)
            if taken >= len(same):
                continue  # the start node, rejected by the filter
            used[b] = taken + 1
            ids_list.append(same[taken])
            raw_list.append(d)
            if len(ids_list) == k:
                break
        return np.array(ids_list, dtype=np.intp), np.array(raw_list, dtype=np.float64)

    def _keys_of(self, ids: npt.NDArray[np.intp]) -> npt.NDArray[Any]:
        if self._int_keys:
            return self._key_ints[ids]
        out = np.empty(ids.shape, dtype=object)
        flat = out.reshape(-1)
        for j, r in enumerate(ids.reshape(-1).tolist()):
            flat[j] = self._keys[r] if r >= 0 else None
        return out

    def _queries(self, queries: Any, engine_checks: bool = False) -> npt.NDArray[np.float64]:
        Q = _real_array(queries, "queries")
        if Q.ndim != 2 or Q.shape[1] != self._dim:
            raise ValueError(f"Expected queries of shape (m, {self._dim}), got shape {Q.shape}")
        if not self._allow_nonfinite and not (engine_checks and self._kind == "flat"):
            _refuse_nonfinite(Q, "queries")
        return Q

    def search_batch(
        self, queries: Any, k: int = 10, *, filter: Any = None, threads: int | None = None, progress: bool = False
    ) -> tuple[npt.NDArray[Any], npt.NDArray[np.float64]]:
        """Row i is ``search(queries[i], k, filter=filter)``: arrays of shape (m, c).

        c = min(k, rows admitted) for flat and sharded, where every row is
        full. A graph can return fewer for some queries (``ef_search``, a
        filter, unreachable rows): c is then the longest result, and shorter
        rows are padded at the end with the key -1 (None in an object array)
        and a NaN score. Flat and sharded indexes answer the whole batch in
        one call, on ``threads`` threads (None: every core; for shards, every
        core of the process that holds each shard), with the interpreter lock
        released: the results are the same bits for any number of threads.
        ``progress`` shows a bar (a flat or sharded batch fills it at once).
        Unless the index allows non-finite values, a query holding NaN
        or an infinity raises ValueError naming its row, before any search.
        """
        Q = self._queries(queries, engine_checks=True)
        kk = self._k(k)
        threads = _positive("threads", threads)
        m = Q.shape[0]
        shown = _progress.bar(m, "search", progress)
        try:
            if self._kind != "graph":
                ids, scores = self._search_exact(Q, kk, self._mask(filter), threads)
                shown.update(m)  # one call: the bar ends with it
                return self._keys_of(ids), scores
            wanted = self._wanted_filter(filter)
            results = []
            for i in range(m):
                results.append(self._search_graph(Q[i], kk, wanted))
                shown.update(1)
        finally:
            shown.close()
        width = max((len(r[0]) for r in results), default=0)
        all_ids = np.full((m, width), -1, dtype=np.intp)
        all_scores = np.full((m, width), np.nan)
        for i, (ids, scores) in enumerate(results):
            all_ids[i, : len(ids)] = ids
            all_scores[i, : len(ids)] = scores
        keys = self._keys_of(all_ids)
        if self._int_keys:
            keys[all_ids < 0] = -1
        return keys, all_scores

    def _exact_only(self, what: str) -> None:
        if self._kind == "graph":
            raise ValueError(
                f"{what} needs an exact index: a graph cannot forget or find rows exactly "
                "(its links are fixed when rows are added); use kind='flat'"
            )

    def search_radius(self, query: Any, radius: float, *, filter: Any = None, return_metadata: bool = False) -> Any:
        """Every row within `radius` of `query`: ``(keys, scores)``, most
        similar first (as ``search``), exactly.

        For "euclidean", the rows at a distance of at most `radius`; for
        "cosine" and "inner_product", the rows whose similarity is at least
        `radius`. ``filter`` and ``return_metadata`` as for ``search``.
        Exact kinds only (a graph raises ValueError); a NaN radius is a
        ValueError.
        """
        self._exact_only("search_radius")
        q = self._query(query)
        try:
            r = float(operator.index(radius) if isinstance(radius, (int, np.integer)) else radius)
        except (TypeError, ValueError):
            raise TypeError(f"radius must be a real number, not {type(radius).__name__}") from None
        if math.isnan(r):
            raise ValueError("radius must not be NaN")
        mask = self._mask(filter)
        if len(self) == 0:
            ids: npt.NDArray[np.intp] = np.empty(0, dtype=np.intp)
            scores = np.empty(0)
        else:
            # A similarity s >= r exactly when -s <= -r: the engine's values
            # for the negated query are the negated similarities.
            similar = self._metric in SIMILARITIES
            searched = (-q if similar else q)[None, :]
            found = self._native.search_radius(searched, -r if similar else r, mask=mask, threads=1)
            ids = np.asarray(found[1]).astype(np.intp, copy=False)
            scores = self._scores(q[None, :], ids[None, :], np.asarray(found[2])[None, :])[0]
        if return_metadata:
            return self._keys_of(ids), scores, self._columns.rows(ids)
        return self._keys_of(ids), scores

    # -- removing --------------------------------------------------------

    def _ids_of(self, keys: Any, what: str) -> list[int]:
        if isinstance(keys, (str, bytes)) or not isinstance(keys, Iterable):
            raise TypeError(f"{what} takes a sequence of keys, not {type(keys).__name__}")
        ids: list[int] = []
        seen: set[int] = set()
        for key in keys:
            if isinstance(key, (np.integer, np.bool_)):
                key = key.item()
            try:
                row = self._row_of[key]
            except (KeyError, TypeError):
                raise KeyError(key) from None
            if row in seen:
                raise ValueError(f"key {key!r} is given twice")
            seen.add(row)
            ids.append(row)
        return ids

    def remove(self, keys: Any) -> None:
        """Removes the rows of `keys` (a sequence of keys): every search then
        answers as an index built from the other rows.

        An unknown key raises KeyError naming the first, a key given twice
        ValueError; nothing is removed then. The rows stay as tombstones,
        never found, until ``compact()`` (run by the removal itself once they
        are more than ``COMPACT_FRACTION`` of the rows stored). A graph
        cannot remove rows: ValueError.
        """
        self._exact_only("remove")
        ids = self._ids_of(keys, "remove")
        if not ids:
            return
        self._native.remove(np.array(ids, dtype=np.int64))
        self._forget(ids)
        if self._removed > COMPACT_FRACTION * self._n:
            self.compact()

    def _forget(self, ids: list[int]) -> None:
        self._live[ids] = False
        for i in ids:
            del self._row_of[self._keys[i]]
        self._removed += len(ids)

    def update(self, keys: Any, vectors: Any, metadata: Sequence[Mapping[str, Any] | None] | None = None) -> None:
        """Replaces the rows of `keys` by `vectors` (and their metadata by
        `metadata`, one mapping or None per row; None keeps each row's
        metadata): a removal and an add under the same keys, so each updated
        row counts as added last. All or nothing: every check as ``add``
        and ``remove`` make, and a Ctrl-C during the add leaves the old rows.
        A graph cannot update rows: ValueError.
        """
        self._exact_only("update")
        ids = self._ids_of(keys, "update")
        rows = self._vectors(vectors)
        if rows.shape[0] != len(ids):
            raise ValueError(f"got {rows.shape[0]} vectors for {len(ids)} keys")
        meta = self._columns.rows(ids) if metadata is None else self._check_metadata(metadata, len(ids))
        if not ids:
            return
        key_list = [self._keys[i] for i in ids]
        self._reserve(len(ids))
        start = self._n
        # Ctrl-C is held until the update is whole (then raised).
        with _interrupt.deferred():
            self._columns.append(meta)
            try:
                if self._kind == "flat":
                    self._native.add(rows)
                else:
                    self._native.create(rows)
            except BaseException:
                # Rows the engine took before it failed become tombstones
                # with no key: the old rows stay as they were.
                added = len(self._native) - start
                self._columns.take(np.arange(start + added))
                if added:
                    self._native.remove(np.arange(start, start + added))
                    self._keys.extend([None] * added)
                    self._live[start : start + added] = False
                    self._n += added
                    self._removed += added
                raise
            self._native.remove(np.array(ids, dtype=np.int64))
            self._forget(ids)
            self._record(key_list)
        if self._removed > COMPACT_FRACTION * self._n:
            self.compact()

    def compact(self) -> None:
        """Drops the removed rows' tombstones and frees their memory. Keys,
        metadata and every search stay as they were."""
        if not self._removed or self._kind == "graph":
            return
        keep = self._live_ids()
        n = len(keep)
        keys = [self._keys[i] for i in keep.tolist()]
        key_ints = np.empty(max(n, 16), dtype=np.int64)
        key_ints[:n] = self._key_ints[keep]
        row_of = {key: i for i, key in enumerate(keys)}
        columns = copy.copy(self._columns)
        columns.take(keep)
        live = np.ones(max(n, 16), dtype=bool)
        self._native.compact()  # the last step that can fail
        self._keys, self._key_ints, self._row_of, self._columns, self._live = keys, key_ints, row_of, columns, live
        self._n, self._removed = n, 0

    # -- files -----------------------------------------------------------

    def snapshot(self) -> Snapshot:
        """The index as a file keeps it (removed rows compacted first)."""
        self.compact()
        n = self._n
        engine = None
        if self._kind == "flat":
            engine = {name: np.asarray(a) for name, a in self._native.parts().items()}
            rows = engine["rows"]
        else:
            rows = self.rows
        return Snapshot(
            self._kind,
            self._dim,
            self._metric,
            dict(self._params),
            self._fields,
            self._allow_nonfinite,
            rows,
            list(self._keys),
            self._key_ints[:n].copy() if self._int_keys else None,
            self._columns,
            engine,
        )

    @classmethod
    def from_snapshot(
        cls, snap: Snapshot, *, native: Any = None, backend: Any = "local", progress: bool = False
    ) -> Index:
        """An index holding what `snap` holds. A flat index takes `native`,
        an ``orbisk_engine.FlatIndex`` already holding the rows (restored
        from the engine's parts), when given; the other kinds add the rows
        again. TypeError or ValueError when `snap` describes no index."""
        options: dict[str, Any] = dict(snap.parameters)
        options["allow_nonfinite"] = snap.allow_nonfinite
        if snap.kind == "graph":
            options["fields"] = None if snap.fields is None else list(snap.fields)
        if snap.kind == "sharded":
            options["backend"] = backend
        index = cls(snap.dim, snap.metric, snap.kind, **options)
        n = snap.rows.shape[0]
        if native is None:
            index.add(snap.rows, keys=snap.keys, metadata=snap.columns.rows(range(n)), progress=progress)
            return index
        if len(native) != n or native.dim != snap.dim or len(snap.keys) != n or len(snap.columns) != n:
            raise ValueError("the engine, keys and metadata hold different numbers of rows")
        # The keys in one pass each (a million keys open in a fraction of a
        # second): the mapping to rows, then duplicates by its size.
        try:
            row_of = dict(zip(snap.keys, range(n), strict=True))
        except TypeError:
            raise TypeError("keys must be hashable") from None
        if len(row_of) != n:
            seen: set[Hashable] = set()
            duplicate = next(k for k in snap.keys if k in seen or seen.add(k))  # type: ignore[func-returns-value]
            raise ValueError(f"duplicate key {duplicate!r}")
        index._native = native
        index._columns = snap.columns
        index._reserve(n)
        index._keys = list(snap.keys)
        index._row_of = row_of
        if snap.int_keys is not None:
            index._key_ints[:n] = snap.int_keys
        else:
            index._int_keys = False
        index._live[:n] = True
        index._n = n
        return index

    def save(self, path: Any) -> None:
        """Writes the index to `path` atomically (see `orbisk_companion.persistence`)."""
        from .persistence import save

        save(self, path)

    @classmethod
    def load(cls, path: Any, *, mmap: bool = False, backend: Any = None, progress: bool = False) -> Index:
        """Reads a file written by `save`: a flat index as it was, nothing
        computed again (``mmap=True``: its rows and codes mapped read-only
        from the file, used in place); a graph or sharded index is built
        again from its rows. See `orbisk_companion.persistence`."""
        from .persistence import load

        return load(path, mmap=mmap, backend=backend, progress=progress)
