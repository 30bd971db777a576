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

import orbisk_engine
from orbisk_shard import Metric

from . import _values
from ._arguments import engine_array, first_nonfinite, positive
from ._scores import searched

Ids = npt.NDArray[np.intp]
Raw = npt.NDArray[np.float64]
Tags = tuple[_values.Tagged, ...]
Mask = npt.NDArray[np.bool_]
Rows = npt.NDArray[np.int64]
Where = Mask | Rows  # a bool per row id, or the ascending row ids admitted
Metadata = Sequence[Mapping[str, Any] | None]

# Values handed to the flat engine per call: a Ctrl-C waits for one chunk.
_FLAT_CHUNK_VALUES: Final = 2**23
# Rows the graph links per call at ef_construction 200 (fewer for more): at
# least the first, and about the second's values. Linking costs about 0.3 ms
# a row at d = 50 and 0.8 ms at d = 384 on two busy cores, so a piece takes
# well under a second and a Ctrl-C waits for little; 256 rows keep every
# core busy.
_GRAPH_PIECE_ROWS: Final = 256
_GRAPH_PIECE_VALUES: Final = 2**16
# What a graph's parameters are when not given (orbisk_engine.GraphIndex's).
_GRAPH_DEFAULTS: Final = {"m": 16, "ef_construction": 200, "ef_search": 64, "seed": 0}
STORAGES: Final = ("float64", "float32")


def _storage(options: dict[str, Any], kind: str) -> Literal["float64", "float32"]:
    """The rows' storage the options ask for ("float64" when not given);
    float32 for flat rows only (a flat index, or flat shards)."""
    storage = options.get("storage") or "float64"
    if storage not in STORAGES:
        raise ValueError(f"storage must be 'float64' or 'float32', not {storage!r}")
    if storage != "float64" and (kind == "graph" or (kind == "sharded" and _shard_kind(options) == "graph")):
        raise ValueError(
            f"storage={storage!r} is for flat rows (kind='flat', or shard_kind='flat'); a graph keeps float64 rows"
        )
    return "float32" if storage == "float32" else "float64"


def _shard_kind(options: dict[str, Any]) -> Literal["flat", "graph"]:
    """The kind of index each shard is: "flat" unless the options say
    "graph" (or, from a file, hold the graph's parameters)."""
    kind = options.get("shard_kind")
    if kind is None:
        return "graph" if options.get("m") is not None else "flat"
    if kind not in ("flat", "graph"):
        raise ValueError(f"shard_kind must be 'flat' or 'graph', not {kind!r}")
    return "graph" if kind == "graph" else "flat"


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
        cls,
        dim: int,
        metric: Metric,
        options: dict[str, Any],
        parts: dict[str, Any] | None,
        *,
        verify: bool,
        finite: bool = False,
    ) -> Engine:
        """The engine `parts()` described (rows included), nothing computed
        again but, with `verify`, every code to compare (and with `finite`
        too, the rows refused with orbisk_engine.NonFiniteError when one
        holds NaN or an infinity); for a kind that keeps no parts (`parts`
        None), a new one, to which the rows are added. TypeError or
        ValueError for parts that describe no engine."""
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
    def takes_rows(self) -> bool:
        """Whether `search` and `search_radius` take a filter as the
        ascending row ids it admits (`Rows`) as well as a mask."""
        ...

    def __len__(self) -> int:
        """Ids in use, removed rows included."""
        ...

    @property
    def removed(self) -> int:
        """Rows removed and not compacted away."""
        ...

    def exact(self, what: str) -> None:
        """ValueError naming `what` unless the engine finds rows exactly."""

    def as_rows(self, vectors: object, what: str) -> npt.NDArray[Any]:
        """`vectors` as the array `append` takes (TypeError for non-numbers)."""
        ...

    def tag(self, metadata: Metadata | None) -> list[Tags] | None:
        """The values of `fields` of each row, checked (ValueError); None
        without fields."""
        ...

    def where(self, filter: Any, mask: Callable[[Any], Where | None]) -> Any:
        """The user's `filter` (not None: `search` takes None for every
        row) as `search` takes it; `mask` makes it a bool per row id (or
        the row ids it admits, for an engine that `takes_rows`)."""

    def reserve(self, count: int) -> None:
        """Room for `count` more rows, so that `append` allocates no records."""

    def append(
        self, rows: npt.NDArray[Any], tags: list[Tags] | None, step: Callable[[int], bool], threads: int | None = None
    ) -> None:
        """Appends `rows` (checked) in pieces on `threads` threads (None:
        every core), calling `step(rows in the piece)` after each and
        stopping when it returns True. A failure may
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
        ef: int | None = None,
    ) -> tuple[Ids, Raw]:
        """(row ids, raw values) of the k best rows for each query, a row
        per query. `refuse` is given when the engine checks the queries'
        values (`checks_finite`): it raises the error naming the first
        non-finite query, given its row when the engine found it (or None).
        `ef`: what `ef` made of the caller's."""
        ...

    def ef(self, ef: object) -> int | None:
        """The candidates a walk keeps for the caller's `ef` (None: the
        index's default); ValueError for an exact kind, which walks nothing."""
        ...

    def search_radius(self, query: npt.NDArray[np.float64], radius: float, mask: Where | None) -> tuple[Ids, Raw]:
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


def _refuse_graph_options(options: dict[str, Any], names: tuple[str, ...] = ()) -> None:
    given = [name for name in (*(names or GraphEngine.PARAMETERS), "layers", "fields") if options.get(name) is not None]
    if given:
        where = (
            "kind='graph'"
            if not names
            else "kind='graph' (and m, ef_construction, ef_search, seed for shard_kind='graph')"
        )
        raise ValueError(f"{', '.join(given)}: only for {where}")


class _Common:
    """What an engine does unless its kind does more: no fields, every
    query checked by the index, no walk, nothing to reserve, close or
    restore."""

    FORMER: tuple[dict[str, bool], ...] = ()  # the parameters older files hold
    fields: tuple[str, ...] | None = None
    storage: str = "float64"
    checks_finite: bool = False
    takes_rows: bool = False
    removed: int = 0

    def exact(self, what: str) -> None:
        pass

    def ef(self, ef: object) -> int | None:
        if ef is not None:
            raise ValueError("ef sets how far a graph walks: only for kind='graph' (an exact kind compares every row)")
        return None

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
        cls,
        dim: int,
        metric: Metric,
        options: dict[str, Any],
        parts: dict[str, Any] | None,
        *,
        verify: bool,
        finite: bool = False,
    ) -> Engine:
        if parts is not None:
            raise ValueError("only flat and graph indexes take an engine holding their rows; shards add them again")
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
        self.storage = str(getattr(native, "storage", "float64"))  # graph shards keep float64 rows
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

    def where(self, filter: Any, mask: Callable[[Any], Where | None]) -> Any:
        return mask(filter)

    def search(
        self,
        queries: npt.NDArray[np.float64],
        k: int,
        where: Any,
        threads: int | None,
        shown: Progress,
        refuse: Callable[[int | None], None] | None,
        ef: int | None = None,
    ) -> tuple[Ids, Raw]:
        m = queries.shape[0]
        live = len(self.native) - self.native.removed
        if k == 0 or live == 0 or m == 0:
            if refuse is not None:
                refuse(None)
            c = 0 if m else min(k, live)
            ids, raw = np.empty((m, c), dtype=np.intp), np.empty((m, c))
        else:
            ids, raw = self._search(searched(self._metric, queries), k, where, threads, refuse, ef)
            if ids.dtype != np.intp:
                ids = ids.astype(np.intp)
        shown.update(m)  # one call: the bar ends with it
        return ids, raw

    def _search(
        self,
        searched: npt.NDArray[np.float64],
        k: int,
        mask: Where | None,
        threads: int | None,
        refuse: Callable[[int | None], None] | None,
        ef: int | None = None,
    ) -> tuple[npt.NDArray[Any], Raw]:
        raise NotImplementedError

    def search_radius(self, query: npt.NDArray[np.float64], radius: float, mask: Where | None) -> tuple[Ids, Raw]:
        # A similarity s >= r exactly when -s <= -r: the engine's values for
        # the negated query are the negated similarities.
        found = self.native.search_radius(
            searched(self._metric, query)[None, :], searched(self._metric, radius), **_admitted(mask), threads=1
        )
        return np.asarray(found[1]).astype(np.intp, copy=False), np.asarray(found[2])

    def remove(self, ids: Sequence[int] | npt.NDArray[Any]) -> None:
        self.native.remove(np.asarray(ids, dtype=np.int64))

    def compact(self) -> None:
        self.native.compact()


def _admitted(where: Where | None) -> dict[str, Where | None]:
    """The keyword a native search takes `where` by: rows for row ids."""
    return {"rows": where} if where is not None and where.dtype == np.int64 else {"mask": where}


def _native_search(
    call: Callable[..., Any],
    searched: npt.NDArray[np.float64],
    k: int,
    mask: Where | None,
    threads: int | None,
    refuse: Callable[[int | None], None] | None,
    **walk: int | None,
) -> tuple[npt.NDArray[Any], Raw]:
    """A native engine's search, its non-finite query refused by `refuse`."""
    try:
        found = call(searched, k, **_admitted(mask), threads=threads, finite=refuse is not None, **walk)
    except orbisk_engine.NonFiniteError as e:
        if refuse is not None:
            refuse(e.row)  # raises, naming the row
        raise
    return np.asarray(found[0]), np.asarray(found[1])


class _Native(_Exact):
    """What the flat and the graph engine share: an index of the engine
    module holding the rows, added `_piece` rows at a time on every core,
    the queries' values checked in the search itself."""

    checks_finite = True

    def _piece(self, dim: int) -> int:
        raise NotImplementedError

    def append(
        self, rows: npt.NDArray[Any], tags: list[Tags] | None, step: Callable[[int], bool], threads: int | None = None
    ) -> None:
        count = rows.shape[0]
        size = self._piece(rows.shape[1])
        for first in range(0, count, size):
            self.native.add(rows[first : first + size], threads=threads)
            if step(min(size, count - first)):
                break

    def rows(self) -> npt.NDArray[np.float64]:
        return np.asarray(self.native.rows)

    def row(self, i: int) -> npt.NDArray[np.float64]:
        row: npt.NDArray[np.float64] = np.asarray(self.native.rows)[i].astype(np.float64)  # widened exactly
        return row

    def parts(self) -> dict[str, npt.NDArray[Any]] | None:
        return {name: np.asarray(a) for name, a in self.native.parts().items()}


class FlatEngine(_Native):
    """The companion's flat kind: ``orbisk_engine.FlatIndex``, exact."""

    PARAMETERS: ClassVar[dict[str, bool]] = {}
    takes_rows = True

    @classmethod
    def make(cls, dim: int, metric: Metric, options: dict[str, Any]) -> FlatEngine:
        _refuse_graph_options(options)
        return cls(orbisk_engine.FlatIndex(dim, metric, storage=_storage(options, "flat")), metric, {})

    @classmethod
    def restore(
        cls,
        dim: int,
        metric: Metric,
        options: dict[str, Any],
        parts: dict[str, Any] | None,
        *,
        verify: bool,
        finite: bool = False,
    ) -> FlatEngine:
        if parts is None:
            return cls.make(dim, metric, options)
        _refuse_graph_options(options)
        count = parts["rows"].shape[0] if "rows" in parts else 0
        # The rows' dtype is the storage: the engine restores it as it was,
        # and looks for non-finite rows in the same pass as its check.
        native = orbisk_engine.FlatIndex.restore(dim, metric, count, parts, verify=verify, finite=finite)
        return cls(native, metric, {})

    def _piece(self, dim: int) -> int:
        return max(1, _FLAT_CHUNK_VALUES // dim)

    def append(
        self, rows: npt.NDArray[Any], tags: list[Tags] | None, step: Callable[[int], bool], threads: int | None = None
    ) -> None:
        self.native.reserve(rows.shape[0])  # one allocation for every chunk
        super().append(rows, tags, step, threads)

    def _search(
        self,
        searched: npt.NDArray[np.float64],
        k: int,
        mask: Where | None,
        threads: int | None,
        refuse: Callable[[int | None], None] | None,
        ef: int | None = None,
    ) -> tuple[npt.NDArray[Any], Raw]:
        return _native_search(self.native.search, searched, k, mask, threads, refuse)


class ShardedEngine(_Exact):
    """The companion's sharded kind: ``orbisk_shard.ShardedFlat``, exact as
    the flat engine, over shards; or with ``shard_kind="graph"``
    ``orbisk_shard.ShardedGraph``, a graph a shard, each reported score
    exact and the shards' lists merged exactly by it."""

    PARAMETERS: ClassVar[dict[str, bool]] = {"shards": False, "max_shard_rows": True}
    # Graph shards keep the graph's parameters too, resolved (never null):
    # a file's parameters tell the shards' kind.
    GRAPH_PARAMETERS: ClassVar[dict[str, bool]] = {
        **PARAMETERS,
        **dict.fromkeys(("m", "ef_construction", "ef_search", "seed"), False),
    }
    FORMER = (GRAPH_PARAMETERS,)

    @classmethod
    def make(cls, dim: int, metric: Metric, options: dict[str, Any]) -> ShardedEngine:
        from orbisk_shard import ShardedFlat, ShardedGraph

        parameters: dict[str, Any] = {
            name: positive(name, options[name], optional=null) for name, null in cls.PARAMETERS.items()
        }
        if _shard_kind(options) == "flat":
            _refuse_graph_options(options, tuple(_GRAPH_DEFAULTS))
            native: Any = ShardedFlat(
                dim, metric, backend=options["backend"], storage=_storage(options, "sharded"), **parameters
            )
            return cls(native, metric, parameters)
        _refuse_graph_options({"fields": options.get("fields"), "layers": options.get("layers")}, ("fields",))
        graph, _, _ = GraphEngine._options(options)
        graph = {name: graph[name] if graph[name] is not None else default for name, default in _GRAPH_DEFAULTS.items()}
        native = ShardedGraph(dim, metric, backend=options["backend"], **parameters, **graph)
        return cls(native, metric, {**parameters, **graph})

    @property
    def graph(self) -> bool:
        return "m" in self.parameters

    def exact(self, what: str) -> None:
        if self.graph:
            raise ValueError(f"{what} needs exact shards: use shard_kind='flat'")

    def ef(self, ef: object) -> int | None:
        if not self.graph:
            return super().ef(ef)
        given = positive("ef", ef)
        return int(self.parameters["ef_search"]) if given is None else given

    def append(
        self, rows: npt.NDArray[Any], tags: list[Tags] | None, step: Callable[[int], bool], threads: int | None = None
    ) -> None:
        self.native.create(rows)
        step(rows.shape[0])

    def _search(
        self,
        searched: npt.NDArray[np.float64],
        k: int,
        mask: Where | None,
        threads: int | None,
        refuse: Callable[[int | None], None] | None,
        ef: int | None = None,
    ) -> tuple[npt.NDArray[Any], Raw]:
        if self.graph:
            return self.native.search_batch(searched, k, threads=threads, mask=mask, ef=ef)  # type: ignore[no-any-return]
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


class GraphEngine(_Native):
    """The companion's graph kind: ``orbisk_engine.GraphIndex``, approximate
    (a walk can miss rows) but ranked and scored exactly as the flat engine,
    with the same masks, removal and compaction; `fields` are checked in
    every row's metadata, as the index was asked to."""

    PARAMETERS: ClassVar[dict[str, bool]] = dict.fromkeys(("m", "ef_construction", "ef_search", "seed"), True)
    FORMER = (dict.fromkeys(("layers", "m", "ef_construction", "ef_search"), True),)

    def __init__(self, native: Any, metric: Metric, parameters: dict[str, Any], fields: tuple[str, ...] | None) -> None:
        super().__init__(native, metric, parameters)
        self.fields = fields

    @staticmethod
    def _options(options: dict[str, Any]) -> tuple[dict[str, Any], dict[str, Any], tuple[str, ...] | None]:
        """The parameters as given, the engine's keywords and the fields, checked."""
        parameters = {name: positive(name, options.get(name)) for name in ("m", "ef_construction", "ef_search")}
        parameters["seed"] = positive("seed", options.get("seed"), least=0)
        fields: Any = options.get("fields")
        if fields is not None:
            if isinstance(fields, str) or not all(isinstance(f, str) for f in fields):
                raise TypeError("fields must be a sequence of str")
            if len(set(fields)) != len(fields):
                raise ValueError("fields must not repeat a name")
            fields = tuple(fields)
        given = {name: parameters[name] for name in ("m", "ef_construction", "seed") if parameters[name] is not None}
        return parameters, given, fields

    @classmethod
    def make(cls, dim: int, metric: Metric, options: dict[str, Any]) -> GraphEngine:
        parameters, given, fields = cls._options(options)
        return cls(orbisk_engine.GraphIndex(dim, metric, **given), metric, parameters, fields)

    @classmethod
    def restore(
        cls,
        dim: int,
        metric: Metric,
        options: dict[str, Any],
        parts: dict[str, Any] | None,
        *,
        verify: bool,
        finite: bool = False,
    ) -> GraphEngine:
        if parts is None:
            return cls.make(dim, metric, options)
        parameters, given, fields = cls._options(options)
        count = parts["rows"].shape[0] if "rows" in parts else 0
        if verify and finite and count and (row := first_nonfinite(parts["rows"])) is not None:
            error = orbisk_engine.NonFiniteError(f"row {row} of rows holds NaN or infinity")
            error.row = row
            raise error
        native = orbisk_engine.GraphIndex.restore(dim, metric, count, parts, verify=verify, **given)
        return cls(native, metric, parameters, fields)

    def exact(self, what: str) -> NoReturn:
        raise ValueError(f"{what} needs an exact index: use kind='flat'")

    def ef(self, ef: object) -> int | None:
        given = positive("ef", ef)
        return self.parameters["ef_search"] if given is None else given

    def tag(self, metadata: Metadata | None) -> list[Tags] | None:
        """Checks that every row has each of `fields`, with a str, int or
        float value (filters test any field, named or not)."""
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

    def _piece(self, dim: int) -> int:
        return max(1, max(_GRAPH_PIECE_ROWS, _GRAPH_PIECE_VALUES // dim) * 200 // int(self.native.ef_construction))

    def _search(
        self,
        searched: npt.NDArray[np.float64],
        k: int,
        mask: Where | None,
        threads: int | None,
        refuse: Callable[[int | None], None] | None,
        ef: int | None = None,
    ) -> tuple[npt.NDArray[Any], Raw]:
        return _native_search(self.native.search_batch, searched, k, mask, threads, refuse, ef=ef)


CLASSES: Final[dict[str, type[FlatEngine] | type[GraphEngine] | type[ShardedEngine]]] = {
    "flat": FlatEngine,
    "graph": GraphEngine,
    "sharded": ShardedEngine,
}
KINDS: Final = tuple(CLASSES)
PARAMETERS: Final = {kind: engine.PARAMETERS for kind, engine in CLASSES.items()}
"""Each kind's parameters, name -> whether it may be None."""
IN_FILES: Final = {kind: (engine.PARAMETERS, *engine.FORMER) for kind, engine in CLASSES.items()}
TAKEN: Final = {
    kind: {*engine.PARAMETERS, *getattr(engine, "GRAPH_PARAMETERS", ())} for kind, engine in CLASSES.items()
}
"""Each kind's parameters that a file's header hands to it (graph shards
take the graph's too; an older graph's "layers" no longer means anything)."""
"""Each kind's sets of parameters a file may hold: its own, then older ones."""


def make(kind: str, dim: int, metric: Metric, options: dict[str, Any]) -> Engine:
    """A new engine of `kind` (one of `KINDS`) holding no row."""
    _storage(options, kind)
    return CLASSES[kind].make(dim, metric, options)


def restore(
    kind: str,
    dim: int,
    metric: Metric,
    options: dict[str, Any],
    parts: dict[str, Any] | None,
    *,
    verify: bool,
    finite: bool = False,
) -> Engine:
    """The engine of `kind` that a file's `parts` describe (see `Engine.restore`)."""
    _storage(options, kind)
    return CLASSES[kind].restore(dim, metric, options, parts, verify=verify, finite=finite)
