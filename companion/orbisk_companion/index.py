"""`Index`: the everyday index over orbisk, with keys, metadata and files."""

from __future__ import annotations

import operator
from collections.abc import Hashable, Mapping, Sequence
from typing import Any, Final

import numpy as np
import numpy.typing as npt
import orbisk
import orbisk_engine

from . import _interrupt, _progress, _values
from ._scores import FLAT_NAMES, SIMILARITIES, check_metric, cosines, fix_zero_signs, steering

KINDS: Final = ("flat", "graph", "sharded")
# Rows handed to the extension per call: a Ctrl-C waits for at most one
# chunk. A graph row costs milliseconds to link, so the graph goes row by row.
_FLAT_CHUNK: Final = 4096
_INT64: Final = range(-(2**63), 2**63)


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


def _refuse_nonfinite(a: npt.NDArray[np.float64], what: str) -> None:
    """ValueError naming the first row of `a` (or the vector `a`) that holds
    a NaN or an infinity."""
    bad = ~np.isfinite(a)
    if a.ndim == 1:
        if bad.any():
            raise ValueError(f"{what} holds NaN or infinity (allow_nonfinite=True accepts it)")
        return
    rows = np.flatnonzero(bad.any(axis=1))
    if rows.size:
        raise ValueError(f"row {rows[0]} of {what} holds NaN or infinity (allow_nonfinite=True accepts it)")


class Index:
    """An exact (flat, sharded) or graph index with keys and metadata.

    ``Index(dim, metric="euclidean", kind="flat", ...)``

    - ``metric``: "euclidean" (distance, smallest first), "cosine" or
      "inner_product" (similarities, largest first). Any other name raises
      ValueError. Scores are the distance or the similarity itself, equal bit
      for bit to the plain float64 definition (the extension's sums in
      element order); a zero similarity has the sign of that definition.
    - ``kind``: "flat" (``orbisk_engine.FlatIndex``: exact, ties by insertion order),
      "graph" (``orbisk.PyHNSW``: approximate, at most ``ef_search``
      results; ``layers``, ``m``, ``ef_construction``, ``ef_search`` as
      there; ``fields`` names the metadata attributes that filters test;
      "euclidean" and "cosine" only) or "sharded"
      (``orbisk_shard.ShardedFlat``: exact as "flat", over ``shards`` shards
      on ``backend`` "local", "ray" or "dask").
    - ``allow_nonfinite``: False (the default) refuses rows and queries that
      hold NaN or an infinity with ValueError, as scikit-learn does; True
      takes them, and their scores follow the extension's rules (NaN last).

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

    Keys are any hashable values, unique in the index (ints from 0 in
    insertion order by default). Metadata is one mapping (or None) per row,
    returned with the results; ``save`` needs keys and metadata of JSON types.

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
    match.

    The index keeps a copy of its rows (the extension cannot hand them
    back): for ``save``, for the keys of graph results and for zero signs.
    """

    def __init__(self, dim: int, metric: str = "euclidean", kind: str = "flat", *,
                 fields: Sequence[str] | None = None,
                 layers: int | None = None, m: int | None = None,
                 ef_construction: int | None = None, ef_search: int | None = None,
                 shards: int = 2, max_shard_rows: int | None = None,
                 backend: Any = "local", allow_nonfinite: bool = False) -> None:
        self._dim: int = _positive("dim", dim, optional=False) or 0
        self._metric = check_metric(metric)
        if kind not in KINDS:
            raise ValueError(f"unknown kind {kind!r}: expected one of {', '.join(map(repr, KINDS))}")
        if kind == "graph" and self._metric == "inner_product":
            raise ValueError('kind="graph" offers "euclidean" and "cosine"; '
                             'for inner products use kind="flat" (exact)')
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
            native = orbisk_engine.FlatIndex(self._dim, FLAT_NAMES[self._metric])
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
            native = orbisk.PyHNSW(self._dim, p["layers"], p["m"], p["ef_construction"], p["ef_search"],
                                   metric="euclidean",
                                   schema=None if self._fields is None else list(self._fields))
        else:
            from orbisk_shard import ShardedFlat
            self._params = {"shards": _positive("shards", shards, optional=False),
                            "max_shard_rows": _positive("max_shard_rows", max_shard_rows)}
            native = ShardedFlat(self._dim, FLAT_NAMES[self._metric], backend=backend, **self._params)
        self._native = native
        self._rows = np.empty((16, self._dim))
        self._n = 0
        self._keys: list[Hashable] = []
        self._key_ints = np.empty(16, dtype=np.int64)
        self._int_keys = True            # every key an int (not bool) in int64
        self._row_of: dict[Hashable, int] = {}
        self._meta: list[Mapping[str, Any] | None] = []
        self._tagged: list[tuple[_values.Tagged, ...]] = []   # graph with fields
        self._by_hash: dict[int, list[int]] = {}               # graph: walked bytes -> rows
        # The vectors the graph walks, row by row: the rows themselves, or
        # for "cosine" their scaled forms (kept to tell hash collisions apart).
        self._scaled = self._metric == "cosine" and kind == "graph"
        self._walked = np.empty((16, self._dim)) if self._scaled else self._rows

    # -- what it holds ---------------------------------------------------

    dim = property(lambda self: self._dim, doc="The length of every vector.")
    metric = property(lambda self: self._metric, doc='"euclidean", "cosine" or "inner_product".')
    kind = property(lambda self: self._kind, doc='"flat", "graph" or "sharded".')
    fields = property(lambda self: self._fields, doc="The graph's filterable metadata names, or None.")
    allow_nonfinite = property(lambda self: self._allow_nonfinite,
                               doc="Whether rows and queries may hold NaN and infinities.")
    native = property(lambda self: self._native,
                      doc="The native index underneath (orbisk_engine.FlatIndex, orbisk.PyHNSW or ShardedFlat); "
                          "adding to it directly puts the index out of step.")

    @property
    def parameters(self) -> dict[str, Any]:
        """The kind's parameters as given (None for the extension's default)."""
        return dict(self._params)

    def __len__(self) -> int:
        return self._n

    def __contains__(self, key: object) -> bool:
        try:
            return key in self._row_of
        except TypeError:
            return False

    def __repr__(self) -> str:
        return f"Index(dim={self._dim}, metric={self._metric!r}, kind={self._kind!r}, rows={self._n})"

    @property
    def keys(self) -> list[Hashable]:
        """The keys in insertion order."""
        return list(self._keys)

    @property
    def rows(self) -> npt.NDArray[np.float64]:
        """A read-only view of the stored rows, in insertion order."""
        view = self._rows[: self._n]
        view.flags.writeable = False
        return view

    def metadata(self, key: Hashable) -> Mapping[str, Any] | None:
        """The metadata stored with `key` (KeyError if there is no such key)."""
        return self._meta[self._row_of[key]]

    def close(self) -> None:
        """Stops the shards' actors (kind "sharded"); nothing for the others."""
        if self._kind == "sharded":
            self._native.close()

    def __enter__(self) -> Index:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- adding ----------------------------------------------------------

    def add(self, vectors: Any, keys: Sequence[Hashable] | None = None,
            metadata: Sequence[Mapping[str, Any] | None] | None = None, progress: bool = False) -> None:
        """Appends the rows of a 2-D array, each with its key and metadata.

        Everything is checked before anything is added: the shape, that
        every value is finite (unless ``allow_nonfinite``; the error names
        the first row holding NaN or an infinity), that keys
        (default: ints continuing from ``len(self)``) are hashable and new,
        one metadata mapping or None per row, and for a graph with
        ``fields`` every field present in every row with a str, int or float
        value. ``progress=True`` shows a bar (tqdm if installed).

        Ctrl-C stops the batch after the chunk being added (one row for a
        graph, 4,096 for a flat index, the whole batch for shards) and raises
        KeyboardInterrupt; the rows added so far stay, with their keys and
        metadata, and the index is usable.
        """
        rows = _real_array(vectors, "vectors")
        if rows.ndim != 2 or rows.shape[1] != self._dim:
            raise ValueError(f"Expected a 2-D array of shape (n, {self._dim}), got shape {rows.shape}")
        if not self._allow_nonfinite:
            _refuse_nonfinite(rows, "vectors")
        count = rows.shape[0]
        new_keys = self._check_keys(keys, count)
        meta = self._check_metadata(metadata, count)
        tagged = self._tag_fields(meta) if self._fields is not None else None
        if count == 0:
            return
        self._reserve(count)
        shown = _progress.bar(count, "add", progress)
        try:
            with _interrupt.deferred() as interrupt:
                step = count if self._kind == "sharded" else 1 if self._kind == "graph" else _FLAT_CHUNK
                for start in range(0, count, step):
                    stop = min(start + step, count)
                    chunk = rows[start:stop]
                    walked = steering(chunk) if self._scaled else chunk
                    self._append_native(walked, None if tagged is None else tagged[start:stop])
                    self._record(chunk, walked, new_keys[start:stop], meta[start:stop],
                                 None if tagged is None else tagged[start:stop])
                    shown.update(stop - start)
                    if interrupt.pending():
                        break
        finally:
            shown.close()

    def _check_keys(self, keys: Sequence[Hashable] | None, count: int) -> list[Hashable]:
        if keys is None:
            start = self._n
            while start in self._row_of:       # user keys may have taken these ints
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

    def _check_metadata(self, metadata: Sequence[Mapping[str, Any] | None] | None,
                        count: int) -> list[Mapping[str, Any] | None]:
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
        # A copy: a caller's later change to its dict must not change what
        # the index returns (nor part from the graph's copy of the fields).
        return [None if m is None else dict(m) for m in meta]

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
                    raise ValueError(f"metadata of row {i}: field {name!r} must be a str, int or float, "
                                     f"not {type(m[name]).__name__}")
                values.append(t)
            out.append(tuple(values))
        return out

    def _reserve(self, count: int) -> None:
        need = self._n + count
        if need > self._rows.shape[0]:
            size = max(need, 2 * self._rows.shape[0])
            grown = np.empty((size, self._dim))
            grown[: self._n] = self._rows[: self._n]
            self._rows = grown
            if self._scaled:
                walked = np.empty((size, self._dim))
                walked[: self._n] = self._walked[: self._n]
                self._walked = walked
            else:
                self._walked = self._rows
            keys = np.empty(size, dtype=np.int64)
            keys[: self._n] = self._key_ints[: self._n]
            self._key_ints = keys

    def _append_native(self, rows: npt.NDArray[np.float64], tagged: list[tuple[_values.Tagged, ...]] | None) -> None:
        if self._kind == "flat":
            self._native.add(rows)
            return
        if self._kind == "sharded":
            self._native.create(rows)
            return
        for j in range(rows.shape[0]):
            pairs = None if tagged is None else list(zip(self._fields or (), (v for _, v in tagged[j])))
            self._native.insert(rows[j], pairs)

    def _record(self, rows: npt.NDArray[np.float64], walked: npt.NDArray[np.float64], keys: list[Hashable],
                meta: list[Mapping[str, Any] | None], tagged: list[tuple[_values.Tagged, ...]] | None) -> None:
        start = self._n
        stop = start + rows.shape[0]
        self._rows[start:stop] = rows
        if self._scaled:
            self._walked[start:stop] = walked
        for j, key in enumerate(keys):
            self._row_of[key] = start + j
            if self._int_keys and isinstance(key, int) and not isinstance(key, bool) and key in _INT64:
                self._key_ints[start + j] = key
            else:
                self._int_keys = False
        self._keys.extend(keys)
        self._meta.extend(meta)
        if tagged is not None:
            self._tagged.extend(tagged)
        if self._kind == "graph":
            for j in range(rows.shape[0]):
                self._by_hash.setdefault(hash(walked[j].tobytes()), []).append(start + j)
        self._n = stop

    # -- searching -------------------------------------------------------

    def _query(self, query: Any) -> npt.NDArray[np.float64]:
        q = _real_array(query, "query")
        if q.ndim != 1 or q.shape[0] != self._dim:
            got = q.shape[0] if q.ndim == 1 else f"an array of shape {q.shape}"
            raise ValueError(f"Expected query of length {self._dim}, got {got}")
        if not self._allow_nonfinite:
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

    def _wanted_filter(self, filter: Mapping[str, Any] | None) -> tuple[str, _values.Tagged] | None:
        if filter is None:
            return None
        if self._kind != "graph":
            raise ValueError("filters are offered by kind='graph' only")
        if not self._fields:
            raise ValueError("this index has no fields to filter on: give fields=[...] when creating it")
        if not isinstance(filter, Mapping) or len(filter) != 1:
            raise ValueError("filter must be a mapping with one entry, {field: value}")
        (name, value), = filter.items()
        if name not in self._fields:
            raise ValueError(f"unknown field {name!r}: the fields are {list(self._fields)}")
        t = _values.tag(value)
        if t is None:
            raise ValueError(f"filter value must be a str, int or float, not {type(value).__name__}")
        return name, t

    def search(self, query: Any, k: int = 10, *, filter: Mapping[str, Any] | None = None,
               return_metadata: bool = False) -> Any:
        """The k best rows for `query`: ``(keys, scores)``, numpy arrays.

        Most similar first: ascending distance for "euclidean", descending
        similarity for "cosine" and "inner_product"; NaN scores last. Ties
        keep the extension's order (insertion order for flat and sharded,
        and for the cosine graph, which ranks its results itself).
        Fewer than k when the index holds fewer rows, and for a graph at
        most ``ef_search``. ``filter={field: value}`` (graph with ``fields``)
        keeps rows whose value equals it as the extension compares (1 and
        1.0 differ). ``keys`` is int64 when every key is an int, else an
        object array. With ``return_metadata=True`` a third item, the list of
        the results' metadata, follows. A query holding NaN or an infinity
        raises ValueError unless the index allows non-finite values.
        """
        q = self._query(query)
        kk = self._k(k)
        wanted = self._wanted_filter(filter)
        ids, scores = self._search_rows(q, kk, wanted)
        if return_metadata:
            return self._keys_of(ids), scores, [self._meta[r] for r in ids.tolist()]
        return self._keys_of(ids), scores

    def _search_rows(self, q: npt.NDArray[np.float64], k: int,
                     wanted: tuple[str, _values.Tagged] | None) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.float64]]:
        """(row numbers, scores) of the k best rows for `q`."""
        if k == 0 or self._n == 0:
            return np.empty(0, dtype=np.intp), np.empty(0)
        if self._kind != "graph":
            ids, raw = self._search_flat(q[None, :], k, 1)
            return ids[0], self._from_raw(q, ids[0], raw[0])
        if not self._scaled:
            return self._walk(q, k, wanted)
        ids, _ = self._walk(steering(q[None, :])[0], min(2 * k, 2**32 - 1), wanted)
        scores = cosines(q, self._rows[ids])
        nan = np.isnan(scores)
        order = np.lexsort((ids, np.where(nan, 0.0, -scores), nan))[:k]
        return ids[order], scores[order]

    def _search_flat(self, Q: npt.NDArray[np.float64], k: int,
                     threads: int | None) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.float64]]:
        """(row numbers, the extension's values) of the flat or sharded
        search for each query, with -Q for the similarities."""
        searched = -Q if self._metric in SIMILARITIES else Q
        if self._kind == "flat":
            ids, raw = self._native.search(searched, k, threads=threads)
            return np.asarray(ids).astype(np.intp, copy=False), np.asarray(raw)
        ids, raw = self._native.search_batch(searched, k, threads=threads)
        return ids.astype(np.intp, copy=False), raw

    def _walk(self, v: npt.NDArray[np.float64], k: int,
              wanted: tuple[str, _values.Tagged] | None) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.float64]]:
        """(row numbers, the extension's distances) of a graph search for
        the walked vector `v`, at most k, each row matching the filter."""
        # With a filter, one more: the start node may be dropped below.
        found = self._native.search(v, min(k + (wanted is not None), 2**32 - 1),
                                    None if wanted is None else (wanted[0], wanted[1][1]))
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
                continue          # the start node, rejected by the filter
            used[b] = taken + 1
            ids_list.append(same[taken])
            raw_list.append(d)
            if len(ids_list) == k:
                break
        return np.array(ids_list, dtype=np.intp), np.array(raw_list, dtype=np.float64)

    def _from_raw(self, q: npt.NDArray[np.float64], ids: npt.NDArray[np.intp],
                  raw: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        """Scores from the extension's values for the searched query (-q
        for the similarities)."""
        if self._metric not in SIMILARITIES:
            return raw
        scores = -raw
        fix_zero_signs(self._metric, q, scores, lambda j: self._rows[ids[j]])
        return scores

    def _keys_of(self, ids: npt.NDArray[np.intp]) -> npt.NDArray[Any]:
        if self._int_keys:
            return self._key_ints[ids]
        out = np.empty(ids.shape, dtype=object)
        flat = out.reshape(-1)
        for j, r in enumerate(ids.reshape(-1).tolist()):
            flat[j] = self._keys[r] if r >= 0 else None
        return out

    def search_batch(self, queries: Any, k: int = 10, *, filter: Mapping[str, Any] | None = None,
                     threads: int | None = None,
                     progress: bool = False) -> tuple[npt.NDArray[Any], npt.NDArray[np.float64]]:
        """Row i is ``search(queries[i], k)``: arrays of shape (m, c).

        c = min(k, len(self)) for flat and sharded, where every row is full.
        A graph can return fewer for some queries (``ef_search``, a filter,
        unreachable rows): c is then the longest result, and shorter rows are
        padded at the end with the key -1 (None in an object array) and a NaN
        score. Flat and sharded indexes answer the whole batch in one call,
        on ``threads`` threads (None: every core; for shards, every core of
        the process that holds each shard), with the interpreter lock
        released: the results are the same bits for any number of threads.
        ``progress`` shows a bar (a flat or sharded batch fills it at once).
        Unless the index allows non-finite values, a query holding NaN
        or an infinity raises ValueError naming its row, before any search.
        """
        Q = _real_array(queries, "queries")
        if Q.ndim != 2 or Q.shape[1] != self._dim:
            raise ValueError(f"Expected queries of shape (m, {self._dim}), got shape {Q.shape}")
        if not self._allow_nonfinite:
            _refuse_nonfinite(Q, "queries")
        kk = self._k(k)
        wanted = self._wanted_filter(filter)
        threads = _positive("threads", threads)
        m = Q.shape[0]
        if self._kind != "graph":
            if kk == 0 or self._n == 0 or m == 0:
                c = min(kk, self._n)
                return self._keys_of(np.empty((m, c), dtype=np.intp)), np.empty((m, c))
            shown = _progress.bar(m, "search", progress)
            try:
                ids, raw = self._search_flat(Q, kk, threads)
                shown.update(m)             # one call: the bar ends with it
            finally:
                shown.close()
            scores = raw
            if self._metric in SIMILARITIES:
                scores = -raw
                for i in np.flatnonzero((scores == 0.0).any(axis=1)).tolist():
                    fix_zero_signs(self._metric, Q[i], scores[i], lambda j, i=i: self._rows[ids[i, j]])
            return self._keys_of(ids), scores
        shown = _progress.bar(m, "search", progress)
        results = []
        try:
            for i in range(m):
                results.append(self._search_rows(Q[i], kk, wanted))
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

    # -- files -----------------------------------------------------------

    def save(self, path: Any) -> None:
        """Writes the index to `path` atomically (see `orbisk_companion.persistence`)."""
        from .persistence import save
        save(self, path)

    @classmethod
    def load(cls, path: Any, *, backend: Any = None, progress: bool = False) -> Index:
        """Reads a file written by `save` and rebuilds the index (see
        `orbisk_companion.persistence.load` for what a graph's rebuild costs)."""
        from .persistence import load
        return load(path, backend=backend, progress=progress)


