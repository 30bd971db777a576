"""The engines under `Index`: one class per kind, behind one protocol.

`Index` keeps the keys, the metadata and which rows are removed; its engine
holds the rows and searches them. Row ids are the engine's: 0, 1, ... in
insertion order, removed rows included until a compaction renumbers the
rest. A search gives raw values, what the engine ranks ascending: the
distance itself, or for a similarity its negation up to the sign of a zero;
`_scores.scores` turns them into scores, for every kind alike.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from typing import Any, ClassVar, Final, Literal, NoReturn, Protocol

import numpy as np
import numpy.typing as npt

import orbisk
import orbisk_engine
from orbisk_shard import Metric

from . import _values
from ._arguments import engine_array, positive, real_array
from ._scores import cosines, padding, searched, steering

Ids = npt.NDArray[np.intp]
Raw = npt.NDArray[np.float64]
Tags = tuple[_values.Tagged, ...]
Mask = npt.NDArray[np.bool_]
Metadata = Sequence[Mapping[str, Any] | None]

# Values handed to the flat engine per call: a Ctrl-C waits for one chunk.
_FLAT_CHUNK_VALUES: Final = 2**23
STORAGES: Final = ("float64", "float32")


def _storage(options: dict[str, Any], kind: str) -> Literal["float64", "float32"]:
    """The rows' storage the options ask for ("float64" when not given);
    float32 for a flat index only."""
    storage = options.get("storage") or "float64"
    if storage not in STORAGES:
        raise ValueError(f"storage must be 'float64' or 'float32', not {storage!r}")
    if storage != "float64" and kind != "flat":
        raise ValueError(f"storage={storage!r} is for kind='flat'; kind={kind!r} keeps float64 rows")
    return "float32" if storage == "float32" else "float64"


class Progress(Protocol):
    def update(self, n: int) -> None: ...


class Engine(Protocol):
    """What `Index` asks of the rows' holder."""

    native: Any
    parameters: dict[str, Any]  # the kind's parameters as given (None: the extension's default)

    PARAMETERS: ClassVar[dict[str, bool]]
    """The kind's parameters, each name with whether it may be None: what
    `parameters` holds and a file's header keeps."""

    @classmethod
    def make(cls, dim: int, metric: Metric, options: dict[str, Any]) -> Engine:
        """A new engine holding no row, checking the options it takes (its
        `PARAMETERS`, "fields", "backend") and refusing the graph's."""
        ...

    @classmethod
    def restore(
        cls, dim: int, metric: Metric, options: dict[str, Any], parts: dict[str, Any] | None, *, verify: bool
    ) -> Engine:
        """The engine `parts()` described (rows included), nothing computed
        again but, with `verify`, every code to compare; for a kind that
        keeps no parts (`parts` None), a new one, to which the rows are
        added. TypeError or ValueError for parts that describe no engine."""
        ...

    @property
    def fields(self) -> tuple[str, ...] | None:
        """The metadata fields a filter tests in the engine itself."""
        ...

    @property
    def storage(self) -> str:
        """How the rows are kept: "float64", or "float32" (a flat index's choice)."""
        ...

    @property
    def checks_finite(self) -> bool:
        """Whether `search` refuses non-finite queries itself (see `refuse`)."""
        ...

    @property
    def pads(self) -> bool:
        """Whether a result can be shorter than others (padded with id -1)."""
        ...

    def __len__(self) -> int:
        """Ids in use, removed rows included."""
        ...

    @property
    def removed(self) -> int:
        """Rows removed and not compacted away."""
        ...

    def exact(self, what: str) -> None:
        """ValueError naming `what` unless the engine can forget and find rows exactly."""

    def as_rows(self, vectors: object, what: str) -> npt.NDArray[Any]:
        """`vectors` as the array `append` takes (TypeError for non-numbers)."""
        ...

    def tag(self, metadata: Metadata | None) -> list[Tags] | None:
        """The values of `fields` of each row, checked (ValueError); None
        without fields."""
        ...

    def where(self, filter: Any, mask: Callable[[Any], Mask | None]) -> Any:
        """The user's `filter` (not None: `search` takes None for every
        row) as `search` takes it; `mask` makes it a bool per row id."""

    def reserve(self, count: int) -> None:
        """Room for `count` more rows, so that `append` allocates no records."""

    def append(self, rows: npt.NDArray[Any], tags: list[Tags] | None, step: Callable[[int], bool]) -> None:
        """Appends `rows` (checked) in pieces, calling `step(rows in the
        piece)` after each and stopping when it returns True. A failure may
        keep the pieces before it (`len` says how many rows stay), never
        part of one."""

    def search(
        self,
        queries: npt.NDArray[np.float64],
        k: int,
        where: Any,
        threads: int | None,
        shown: Progress,
        refuse: Callable[[int | None], None] | None,
    ) -> tuple[Ids, Raw]:
        """(row ids, raw values) of the k best rows for each query, a row
        per query. `refuse` is given when the engine checks the queries'
        values (`checks_finite`): it raises the error naming the first
        non-finite query, given its row when the engine found it (or None)."""
        ...

    def search_radius(self, query: npt.NDArray[np.float64], radius: float, mask: Mask | None) -> tuple[Ids, Raw]:
        """(row ids, raw values) of every row within `radius` of `query`
        (a similarity at least `radius`), in ranking order."""
        ...

    def remove(self, ids: Sequence[int] | npt.NDArray[Any]) -> None: ...

    def compact(self) -> None:
        """Drops the removed rows; the others take the ids 0, 1, ... in order."""

    def rows(self) -> npt.NDArray[np.float64]:
        """Every row by id (asked for after a compaction: none removed)."""
        ...

    def row(self, i: int) -> npt.NDArray[np.float64]: ...

    def parts(self) -> dict[str, npt.NDArray[Any]] | None:
        """The arrays a file keeps to restore the engine without building
        it again (rows included), or None when it is built from its rows."""
        ...

    def close(self) -> None: ...


def _refuse_graph_options(options: dict[str, Any]) -> None:
    given = [name for name in GraphEngine.PARAMETERS if options.get(name) is not None]
    given += ["fields"] if options.get("fields") is not None else []
    if given:
        raise ValueError(f"{', '.join(given)}: only for kind='graph'")


class _Common:
    """What an engine does unless its kind does more: no fields, no
    padding, every query checked by the index, nothing to reserve, close or
    restore."""

    fields: tuple[str, ...] | None = None
    storage: str = "float64"
    checks_finite: bool = False
    pads: bool = False
    removed: int = 0

    def exact(self, what: str) -> None:
        pass

    def tag(self, metadata: Metadata | None) -> list[Tags] | None:
        return None

    def reserve(self, count: int) -> None:
        pass

    def parts(self) -> dict[str, npt.NDArray[Any]] | None:
        return None

    @classmethod
    def make(cls, dim: int, metric: Metric, options: dict[str, Any]) -> Engine:
        raise NotImplementedError

    @classmethod
    def restore(
        cls, dim: int, metric: Metric, options: dict[str, Any], parts: dict[str, Any] | None, *, verify: bool
    ) -> Engine:
        if parts is not None:
            raise ValueError("only a flat index takes an engine holding its rows; the other kinds add them again")
        return cls.make(dim, metric, options)

    def close(self) -> None:
        pass


# -- exact kinds --------------------------------------------------------------


class _Exact(_Common):
    """What the flat and the sharded engine share: the same searches over
    the same rows, masks, removal and compaction."""

    def __init__(self, native: Any, metric: Metric, parameters: dict[str, Any]) -> None:
        self.native = native
        self.parameters = parameters
        self.storage = str(getattr(native, "storage", "float64"))  # shards keep float64 rows
        # The engine ranks every metric ascending: a similarity is searched
        # with the negated query (see `_scores`).
        self._metric = metric

    def __len__(self) -> int:
        return len(self.native)

    @property
    def removed(self) -> int:  # type: ignore[override]
        return int(self.native.removed)

    def as_rows(self, vectors: object, what: str) -> npt.NDArray[Any]:
        return engine_array(vectors, what)

    def where(self, filter: Any, mask: Callable[[Any], Mask | None]) -> Any:
        return mask(filter)

    def search(
        self,
        queries: npt.NDArray[np.float64],
        k: int,
        where: Any,
        threads: int | None,
        shown: Progress,
        refuse: Callable[[int | None], None] | None,
    ) -> tuple[Ids, Raw]:
        m = queries.shape[0]
        live = len(self.native) - self.native.removed
        if k == 0 or live == 0 or m == 0:
            if refuse is not None:
                refuse(None)
            c = 0 if m else min(k, live)
            ids, raw = np.empty((m, c), dtype=np.intp), np.empty((m, c))
        else:
            ids, raw = self._search(searched(self._metric, queries), k, where, threads, refuse)
            if ids.dtype != np.intp:
                ids = ids.astype(np.intp)
        shown.update(m)  # one call: the bar ends with it
        return ids, raw

    def _search(
        self,
        searched: npt.NDArray[np.float64],
        k: int,
        mask: Mask | None,
        threads: int | None,
        refuse: Callable[[int | None], None] | None,
    ) -> tuple[npt.NDArray[Any], Raw]:
        raise NotImplementedError

    def search_radius(self, query: npt.NDArray[np.float64], radius: float, mask: Mask | None) -> tuple[Ids, Raw]:
        # A similarity s >= r exactly when -s <= -r: the engine's values for
        # the negated query are the negated similarities.
        found = self.native.search_radius(
            searched(self._metric, query)[None, :], searched(self._metric, radius), mask=mask, threads=1
        )
        return np.asarray(found[1]).astype(np.intp, copy=False), np.asarray(found[2])

    def remove(self, ids: Sequence[int] | npt.NDArray[Any]) -> None:
        self.native.remove(np.asarray(ids, dtype=np.int64))

    def compact(self) -> None:
        self.native.compact()


class FlatEngine(_Exact):
    """The companion's flat kind: ``orbisk_engine.FlatIndex``, exact, every
    core, the queries' values checked in the search itself."""

    PARAMETERS: ClassVar[dict[str, bool]] = {}
    checks_finite = True

    @classmethod
    def make(cls, dim: int, metric: Metric, options: dict[str, Any]) -> FlatEngine:
        _refuse_graph_options(options)
        return cls(orbisk_engine.FlatIndex(dim, metric, storage=_storage(options, "flat")), metric, {})

    @classmethod
    def restore(
        cls, dim: int, metric: Metric, options: dict[str, Any], parts: dict[str, Any] | None, *, verify: bool
    ) -> FlatEngine:
        if parts is None:
            return cls.make(dim, metric, options)
        _refuse_graph_options(options)
        count = parts["rows"].shape[0] if "rows" in parts else 0
        # The rows' dtype is the storage: the engine restores it as it was.
        return cls(orbisk_engine.FlatIndex.restore(dim, metric, count, parts, verify=verify), metric, {})

    def append(self, rows: npt.NDArray[Any], tags: list[Tags] | None, step: Callable[[int], bool]) -> None:
        count = rows.shape[0]
        self.native.reserve(count)  # one allocation for every chunk
        size = max(1, _FLAT_CHUNK_VALUES // rows.shape[1])
        for first in range(0, count, size):
            self.native.add(rows[first : first + size])
            if step(min(size, count - first)):
                break

    def _search(
        self,
        searched: npt.NDArray[np.float64],
        k: int,
        mask: Mask | None,
        threads: int | None,
        refuse: Callable[[int | None], None] | None,
    ) -> tuple[npt.NDArray[Any], Raw]:
        try:
            found = self.native.search(searched, k, mask=mask, threads=threads, finite=refuse is not None)
        except orbisk_engine.NonFiniteError as e:
            if refuse is not None:
                refuse(e.row)  # raises, naming the row
            raise
        return np.asarray(found[0]), np.asarray(found[1])

    def rows(self) -> npt.NDArray[np.float64]:
        return np.asarray(self.native.rows)

    def row(self, i: int) -> npt.NDArray[np.float64]:
        row: npt.NDArray[np.float64] = np.asarray(self.native.rows)[i].astype(np.float64)  # widened exactly
        return row

    def parts(self) -> dict[str, npt.NDArray[Any]] | None:
        return {name: np.asarray(a) for name, a in self.native.parts().items()}


class ShardedEngine(_Exact):
    """The companion's sharded kind: ``orbisk_shard.ShardedFlat``, exact as
    the flat engine, over shards."""

    PARAMETERS: ClassVar[dict[str, bool]] = {"shards": False, "max_shard_rows": True}

    @classmethod
    def make(cls, dim: int, metric: Metric, options: dict[str, Any]) -> ShardedEngine:
        from orbisk_shard import ShardedFlat

        _refuse_graph_options(options)
        parameters: dict[str, Any] = {
            name: positive(name, options[name], optional=null) for name, null in cls.PARAMETERS.items()
        }
        return cls(ShardedFlat(dim, metric, backend=options["backend"], **parameters), metric, parameters)

    def append(self, rows: npt.NDArray[Any], tags: list[Tags] | None, step: Callable[[int], bool]) -> None:
        self.native.create(rows)
        step(rows.shape[0])

    def _search(
        self,
        searched: npt.NDArray[np.float64],
        k: int,
        mask: Mask | None,
        threads: int | None,
        refuse: Callable[[int | None], None] | None,
    ) -> tuple[npt.NDArray[Any], Raw]:
        ids, raw = self.native.search_batch(searched, k, threads=threads, mask=mask)
        return ids, raw

    def rows(self) -> npt.NDArray[np.float64]:
        chunks = list(self.native.iter_rows())
        return np.concatenate(chunks) if chunks else np.empty((0, self.native.dim))

    def row(self, i: int) -> npt.NDArray[np.float64]:
        row: npt.NDArray[np.float64] = self.native.rows_of(np.array([i]))[0]
        return row

    def close(self) -> None:
        self.native.close()


# -- the graph ----------------------------------------------------------------


class GraphEngine(_Common):
    """The companion's graph kind: ``orbisk.PyHNSW``, approximate, its own
    filter on `fields`, no removal.

    Its results carry vectors, not ids: the engine finds the row of each
    from a copy of the vectors it walks (for "cosine", the rows scaled by
    `steering`), and keeps the rows themselves for the exact cosine and
    for a save. See `Index` for what that means for equal vectors and for
    the start node, which a filtered walk can return.
    """

    PARAMETERS: ClassVar[dict[str, bool]] = dict.fromkeys(("layers", "m", "ef_construction", "ef_search"), True)
    pads = True

    def __init__(
        self, native: Any, dim: int, metric: Metric, parameters: dict[str, Any], fields: tuple[str, ...] | None
    ) -> None:
        self.native = native
        self.parameters = parameters
        self.fields = fields
        self._scaled = metric == "cosine"
        self._padding = padding(metric)
        self._n = 0
        self._rows = np.empty((16, dim))
        self._walked = np.empty((16, dim)) if self._scaled else self._rows
        self._tagged: list[Tags] = []  # with fields
        self._by_hash: dict[int, list[int]] = {}  # walked bytes -> rows

    @classmethod
    def make(cls, dim: int, metric: Metric, options: dict[str, Any]) -> GraphEngine:
        if metric == "inner_product":
            raise ValueError('kind="graph" offers "euclidean" and "cosine"; for inner products use kind="flat" (exact)')
        parameters = {name: positive(name, options.get(name)) for name in cls.PARAMETERS}
        fields = options.get("fields")
        if fields is not None:
            if isinstance(fields, str) or not all(isinstance(f, str) for f in fields):
                raise TypeError("fields must be a sequence of str")
            if len(set(fields)) != len(fields):
                raise ValueError("fields must not repeat a name")
            fields = tuple(fields)
        native = orbisk.PyHNSW(
            dim,
            parameters["layers"],
            parameters["m"],
            parameters["ef_construction"],
            parameters["ef_search"],
            metric="euclidean",
            schema=None if fields is None else list(fields),
        )
        return cls(native, dim, metric, parameters, fields)

    def __len__(self) -> int:
        return self._n

    def exact(self, what: str) -> NoReturn:
        raise ValueError(
            f"{what} needs an exact index: a graph cannot forget or find rows exactly "
            "(its links are fixed when rows are added); use kind='flat'"
        )

    def as_rows(self, vectors: object, what: str) -> npt.NDArray[Any]:
        return real_array(vectors, what)

    def tag(self, metadata: Metadata | None) -> list[Tags] | None:
        if self.fields is None or metadata is None:
            return None
        out = []
        for i, m in enumerate(metadata):
            values = []
            for name in self.fields:
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

    def where(self, filter: Any, mask: Callable[[Any], Mask | None]) -> tuple[str, _values.Tagged] | None:
        """One field and its tagged value."""
        if filter is None:
            return None
        if not self.fields:
            raise ValueError("this index has no fields to filter on: give fields=[...] when creating it")
        if not isinstance(filter, Mapping) or len(filter) != 1:
            raise ValueError(
                "a graph's filter must be a mapping with one entry, {field: value} "
                "(kind='flat' takes several fields, masks and keys)"
            )
        ((name, value),) = filter.items()
        if name not in self.fields:
            raise ValueError(f"unknown field {name!r}: the fields are {list(self.fields)}")
        t = _values.tag(value)
        if t is None:
            raise ValueError(f"filter value must be a str, int or float, not {type(value).__name__}")
        return name, t

    def reserve(self, count: int) -> None:
        need = self._n + count
        if need <= self._rows.shape[0]:
            return
        size = max(need, 2 * self._rows.shape[0])
        rows = np.empty((size, self._rows.shape[1]))
        rows[: self._n] = self._rows[: self._n]
        walked = rows
        if self._scaled:
            walked = np.empty((size, self._rows.shape[1]))
            walked[: self._n] = self._walked[: self._n]
        self._rows, self._walked = rows, walked

    def append(self, rows: npt.NDArray[Any], tags: list[Tags] | None, step: Callable[[int], bool]) -> None:
        for j in range(rows.shape[0]):
            walked = steering(rows[j : j + 1])[0] if self._scaled else rows[j]
            tagged = None if tags is None else tags[j]
            pairs = None if tagged is None else list(zip(self.fields or (), [v for _, v in tagged], strict=True))
            # The row's records go first, past the rows linked (where nothing
            # reads them): once the extension has linked it, only the count
            # changes, which cannot fail.
            row_id = self._n
            after = row_id + 1
            self._rows[row_id] = rows[j]
            if self._scaled:
                self._walked[row_id] = walked
            if tagged is not None:
                self._tagged[row_id:] = [tagged]
            same = self._by_hash.setdefault(hash(self._walked[row_id].tobytes()), [])
            same.append(row_id)
            try:
                self.native.insert(walked, pairs)
            except BaseException:
                same.pop()
                raise
            self._n = after
            if step(1):
                break

    def search(
        self,
        queries: npt.NDArray[np.float64],
        k: int,
        where: Any,
        threads: int | None,
        shown: Progress,
        refuse: Callable[[int | None], None] | None,
    ) -> tuple[Ids, Raw]:
        m = queries.shape[0]
        found = []
        for i in range(m):
            found.append(self._search_one(queries[i], k, where))
            shown.update(1)
        width = max((len(ids) for ids, _ in found), default=0)
        all_ids = np.full((m, width), -1, dtype=np.intp)
        all_raw = np.full((m, width), self._padding)
        for i, (ids, raw) in enumerate(found):
            all_ids[i, : len(ids)] = ids
            all_raw[i, : len(ids)] = raw
        return all_ids, all_raw

    def _search_one(
        self, q: npt.NDArray[np.float64], k: int, wanted: tuple[str, _values.Tagged] | None
    ) -> tuple[Ids, Raw]:
        if k == 0 or self._n == 0:
            return np.empty(0, dtype=np.intp), np.empty(0)
        if not self._scaled:
            return self._walk(q, k, wanted)
        ids, _ = self._walk(steering(q[None, :])[0], min(2 * k, 2**32 - 1), wanted)
        scores = cosines(q, self._rows[ids])
        nan = np.isnan(scores)
        order = np.lexsort((ids, np.where(nan, 0.0, -scores), nan))[:k]
        return ids[order], -scores[order]

    def _walk(self, v: npt.NDArray[np.float64], k: int, wanted: tuple[str, _values.Tagged] | None) -> tuple[Ids, Raw]:
        """(row numbers, the extension's distances) of a graph search for
        the walked vector `v`, at most k, each row matching the filter."""
        # With a filter, one more: the start node may be dropped below.
        found = self.native.search(
            v, min(k + (wanted is not None), 2**32 - 1), None if wanted is None else (wanted[0], wanted[1][1])
        )
        ids_list: list[int] = []
        raw_list: list[float] = []
        used: dict[bytes, int] = {}
        position = None if wanted is None else self.fields.index(wanted[0])  # type: ignore[union-attr]
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

    def search_radius(self, query: npt.NDArray[np.float64], radius: float, mask: Mask | None) -> tuple[Ids, Raw]:
        self.exact("search_radius")

    def remove(self, ids: Sequence[int] | npt.NDArray[Any]) -> None:
        self.exact("remove")

    def compact(self) -> None:
        pass  # a graph never holds removed rows

    def rows(self) -> npt.NDArray[np.float64]:
        return self._rows[: self._n]

    def row(self, i: int) -> npt.NDArray[np.float64]:
        row: npt.NDArray[np.float64] = self._rows[i]
        return row


CLASSES: Final[dict[str, type[FlatEngine] | type[GraphEngine] | type[ShardedEngine]]] = {
    "flat": FlatEngine,
    "graph": GraphEngine,
    "sharded": ShardedEngine,
}
KINDS: Final = tuple(CLASSES)
PARAMETERS: Final = {kind: engine.PARAMETERS for kind, engine in CLASSES.items()}
"""Each kind's parameters, name -> whether it may be None."""


def make(kind: str, dim: int, metric: Metric, options: dict[str, Any]) -> Engine:
    """A new engine of `kind` (one of `KINDS`) holding no row."""
    _storage(options, kind)
    return CLASSES[kind].make(dim, metric, options)


def restore(
    kind: str, dim: int, metric: Metric, options: dict[str, Any], parts: dict[str, Any] | None, *, verify: bool
) -> Engine:
    """The engine of `kind` that a file's `parts` describe (see `Engine.restore`)."""
    _storage(options, kind)
    return CLASSES[kind].restore(dim, metric, options, parts, verify=verify)
