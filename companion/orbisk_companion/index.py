"""`Index`: the everyday index over orbisk, with keys, metadata and files."""

from __future__ import annotations

import copy
import math
import operator
from collections.abc import Callable, Hashable, Iterable, Mapping, Sequence
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from . import _engines, _interrupt, _progress, persistence
from ._arguments import positive, real_array, refuse_nonfinite
from ._columns import Columns
from ._scores import check_metric, scores
from .persistence import Snapshot

KINDS: Final = _engines.KINDS
_INT64: Final = range(-(2**63), 2**63)
# Past this fraction of removed rows among those stored, a removal compacts.
COMPACT_FRACTION: Final = 0.25


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
        self._dim: int = positive("dim", dim, optional=False) or 0
        self._metric = check_metric(metric)
        if kind not in KINDS:
            raise ValueError(f"unknown kind {kind!r}: expected one of {', '.join(map(repr, KINDS))}")
        self._kind = kind
        self._allow_nonfinite = bool(allow_nonfinite)
        options = dict(
            fields=fields,
            layers=layers,
            m=m,
            ef_construction=ef_construction,
            ef_search=ef_search,
            shards=shards,
            max_shard_rows=max_shard_rows,
            backend=backend,
        )
        self._engine: _engines.Engine = _engines.make(kind, self._dim, self._metric, options)
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

    # -- what it holds ---------------------------------------------------

    dim = property(lambda self: self._dim, doc="The length of every vector.")
    metric = property(lambda self: self._metric, doc='"euclidean", "cosine" or "inner_product".')
    kind = property(lambda self: self._kind, doc='"flat", "graph" or "sharded".')
    fields = property(lambda self: self._engine.fields, doc="The graph's filterable metadata names, or None.")
    allow_nonfinite = property(
        lambda self: self._allow_nonfinite, doc="Whether rows and queries may hold NaN and infinities."
    )
    native = property(
        lambda self: self._engine.native,
        doc="The native index underneath (orbisk_engine.FlatIndex, orbisk.PyHNSW or ShardedFlat); "
        "changing it directly puts the index out of step.",
    )

    @property
    def parameters(self) -> dict[str, Any]:
        """The kind's parameters as given (None for the extension's default)."""
        return dict(self._engine.parameters)

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
        self.compact()
        view = self._engine.rows()
        view.flags.writeable = False
        return view

    def metadata(self, key: Hashable) -> Mapping[str, Any] | None:
        """The metadata stored with `key` (KeyError if there is no such key)."""
        return self._columns.row(self._row_of[key])

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
        tags = self._engine.tag(meta)
        if count == 0:
            return
        self._reserve(count)
        start = self._n
        self._columns.append(meta)  # checks the field names; undone below for rows not added
        shown = _progress.bar(count, "add", progress)
        # Ctrl-C is held while the records change (it would land between the
        # extension's rows and the keys); it stops the batch between pieces
        # and is raised once the keys are in step.
        try:
            with _interrupt.deferred() as interrupt:

                def step(n: int) -> bool:
                    shown.update(n)
                    return interrupt.pending()

                try:
                    self._engine.append(rows, tags, step)
                finally:
                    added = len(self._engine) - start  # a failed piece may keep rows before its failure
                    if added < count:
                        self._columns.take(np.arange(start + added))
                    self._record(new_keys[:added])
        finally:
            shown.close()

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
            if self._engine.fields:
                raise ValueError(f"this index filters on fields {list(self._engine.fields)}: every row needs metadata")
            return [None] * count
        meta = list(metadata)
        if len(meta) != count:
            raise ValueError(f"got {len(meta)} metadata entries for {count} rows")
        for i, m in enumerate(meta):
            if m is not None and not isinstance(m, Mapping):
                raise TypeError(f"metadata of row {i} must be a mapping or None, not {type(m).__name__}")
        return meta

    def _reserve(self, count: int) -> None:
        self._engine.reserve(count)
        need = self._n + count
        if need <= self._key_ints.shape[0]:
            return
        size = max(need, 2 * self._key_ints.shape[0])
        keys = np.empty(size, dtype=np.int64)
        keys[: self._n] = self._key_ints[: self._n]
        live = np.ones(size, dtype=bool)
        live[: self._n] = self._live[: self._n]
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

    def _refusal(self, queries: npt.NDArray[np.float64], what: str) -> Callable[[], None] | None:
        """What an engine that checks the queries' values in its search
        calls to raise the error naming the first non-finite one."""
        if self._allow_nonfinite or not self._engine.checks_finite:
            return None
        return lambda: refuse_nonfinite(queries, what)

    @staticmethod
    def _k(k: Any) -> int:
        try:
            n = operator.index(k)
        except TypeError:
            raise TypeError(f"k must be an int, not {type(k).__name__}") from None
        if n < 0:
            raise ValueError(f"k must be at least 0, got {n}")
        return min(n, 2**32 - 1)

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
        ValueError unless the index allows non-finite values. The rows of a
        large exact index are split among the cores, the same bits as one.
        """
        q = self._query(query, engine_checks=True)
        kk = self._k(k)
        # threads=None: the engine splits one query's rows among the cores
        # only when they are enough to pay for it.
        ids, found = self._found(q[None, :], kk, filter, None, _progress.SILENT, self._refusal(q, "the query"))
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
        refuse: Callable[[], None] | None,
    ) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.float64]]:
        """(row ids, scores) of the k best rows for each query, a row each."""
        where = None if filter is None else self._engine.where(filter, self._mask)
        ids, raw = self._engine.search(Q, k, where, threads, shown, refuse)
        return ids, scores(self._metric, Q, ids, raw, self._engine.row)

    def _keys_of(self, ids: npt.NDArray[np.intp]) -> npt.NDArray[Any]:
        """The keys of row ids; -1 (None in an object array) for a padding id."""
        if self._int_keys:
            keys = self._key_ints[ids]
            if self._engine.pads:
                keys[ids < 0] = -1
            return keys
        out = np.empty(ids.shape, dtype=object)
        flat = out.reshape(-1)
        for j, r in enumerate(ids.reshape(-1).tolist()):
            flat[j] = self._keys[r] if r >= 0 else None
        return out

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
        threads = positive("threads", threads)
        shown = _progress.bar(Q.shape[0], "search", progress)
        try:
            ids, found = self._found(Q, kk, filter, threads, shown, self._refusal(Q, "queries"))
        finally:
            shown.close()
        return self._keys_of(ids), found

    def search_radius(self, query: Any, radius: float, *, filter: Any = None, return_metadata: bool = False) -> Any:
        """Every row within `radius` of `query`: ``(keys, scores)``, most
        similar first (as ``search``), exactly.

        For "euclidean", the rows at a distance of at most `radius`; for
        "cosine" and "inner_product", the rows whose similarity is at least
        `radius`. ``filter`` and ``return_metadata`` as for ``search``.
        Exact kinds only (a graph raises ValueError); a NaN radius is a
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
        self._engine.exact("remove")
        ids = self._ids_of(keys, "remove")
        if not ids:
            return
        self._engine.remove(ids)
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
        self._engine.exact("update")
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
                self._engine.append(rows, None, lambda n: False)
            except BaseException:
                # Rows the engine took before it failed become tombstones
                # with no key: the old rows stay as they were.
                added = len(self._engine) - start
                self._columns.take(np.arange(start + added))
                if added:
                    self._engine.remove(np.arange(start, start + added))
                    self._keys.extend([None] * added)
                    self._live[start : start + added] = False
                    self._n += added
                    self._removed += added
                raise
            self._engine.remove(ids)
            self._forget(ids)
            self._record(key_list)
        if self._removed > COMPACT_FRACTION * self._n:
            self.compact()

    def compact(self) -> None:
        """Drops the removed rows' tombstones and frees their memory. Keys,
        metadata and every search stay as they were."""
        if not self._removed:
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
        self._engine.compact()  # the last step that can fail
        self._keys, self._key_ints, self._row_of, self._columns, self._live = keys, key_ints, row_of, columns, live
        self._n, self._removed = n, 0

    # -- files -----------------------------------------------------------

    def snapshot(self) -> Snapshot:
        """The index as a file keeps it (removed rows compacted first)."""
        self.compact()
        n = self._n
        engine = self._engine.parts()
        rows = engine["rows"] if engine is not None else self.rows
        return Snapshot(
            self._kind,
            self._dim,
            self._metric,
            dict(self._engine.parameters),
            self._engine.fields,
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
        fields = None if snap.fields is None else list(snap.fields)
        options: dict[str, Any] = dict(snap.parameters)
        index = cls(
            snap.dim,
            snap.metric,
            snap.kind,
            fields=fields,
            backend=backend,
            allow_nonfinite=snap.allow_nonfinite,
            **options,
        )
        n = snap.rows.shape[0]
        if native is None:
            index.add(snap.rows, keys=snap.keys, metadata=snap.columns.rows(range(n)), progress=progress)
            return index
        index._engine.adopt(native)
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
        persistence.save(self, path)

    @classmethod
    def load(cls, path: Any, *, mmap: bool = False, backend: Any = None, progress: bool = False) -> Index:
        """Reads a file written by `save`: a flat index as it was, nothing
        computed again (``mmap=True``: its rows and codes mapped read-only
        from the file, used in place); a graph or sharded index is built
        again from its rows. See `orbisk_companion.persistence`."""
        return persistence.load(path, cls.from_snapshot, mmap=mmap, backend=backend, progress=progress)


def load(path: Any, *, mmap: bool = False, backend: Any = None, progress: bool = False) -> Index:
    """`Index.load`: reads a file written by `Index.save`."""
    return Index.load(path, mmap=mmap, backend=backend, progress=progress)
