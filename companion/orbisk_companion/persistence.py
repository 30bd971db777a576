"""Index files, written atomically: format version 3, read with versions 1 and 2.

Version 3 (what ``save`` writes) is a container of named arrays
(`_container`: a checked JSON header, then each array in C order at an
aligned offset, with a CRC-32 of each), so that a file can be mapped and its
arrays used in place:

- the header: ``{"format": "orbisk-companion-index", "version": 2, "kind",
  "dim", "metric", "parameters", "fields", "count", "keys": "range" |
  "int64" | "utf8" | "json", "allow_nonfinite", "metadata"}`` (``metadata``: the
  description of the metadata columns, `_columns.Columns.to_arrays`);
- ``rows``: float64 of shape (count, dim), in insertion order (removed rows
  are compacted away before a save);
- the keys, in the form the index keeps them (`_keys`): ``keys.start``,
  int64 of shape (1,), when the keys are a run (the key of row i is
  start + i, header "keys": "range"); ``keys``, int64 of
  shape (count,), when every key is an int that fits; ``keys.blob`` (uint8,
  the keys' UTF-8 text one after the other) and ``keys.ends`` (int64 of
  shape (count,), where each key ends in it) when every key is a str;
  otherwise ``keys``, uint8 JSON of the list of keys;
- ``metadata.*``: the metadata columns' arrays;
- ``engine.*`` (flat and graph): the engine's codes of the rows (code
  blocks, the open block, the code values, the norms for cosine; for a
  graph its code records, each row's level, the bottom and upper lists and
  the entry point), as the engine keeps them, so that loading computes
  nothing again. A graph file written before graphs kept them has none:
  its rows are linked again when it loads.

Keys must be str, int, float or bool (they come back with their type);
metadata values must be JSON types (dict with str keys, list, str, int,
float, bool, None, and numpy's number scalars, written as their Python
values); ``save`` refuses anything else with TypeError before writing.

The file is written to a temporary file in the same folder, flushed to disk
(fsync), and renamed over `path`, and the folder is synced: at every moment
`path` is the old file or the new one, complete. A writer killed mid-way
leaves a ``.<name>.<host>.<pid>.<random>.tmp`` file beside it, which nothing
reads, and which the next save into that folder from the same machine
removes once that process no longer runs. A new file gets the mode any new
file gets (0o666 less the umask); a file replaced keeps its permission bits.
An OSError about the temporary file or about writing it (a missing or
read-only folder, `path` a folder, a full disk) is raised naming `path`.

Version 2 is the same but for the keys: int64, or JSON for any other keys
(str keys among them, which load into the str form).

``load(path)`` reads every array, checks every CRC, checks that no key
repeats, and for a flat index
hands the rows and codes to the engine, which computes every row's code
again and compares (a file whose codes do not match its rows is refused):
no index is built again. ``load(path, mmap=True)`` maps the file read-only
instead: the rows, codes and keys (but JSON keys) are used in place, pages
read as searches touch them, so a file of a million rows opens in
milliseconds whatever its keys. It checks the file's structure (header,
array table, every array's place, dtype and shape, the padding between
them) and the CRC of every array it reads at open (the metadata, JSON
keys), but trusts the bytes of the rows, codes and keys: no CRC, no check
of the codes against the rows, none of NaN in rows an index refuses, none
of keys repeated (reading every byte at open would lose the point of the
map). String keys are checked when first read (ends in order within the
text, valid UTF-8, each key whole): a damaged one raises `IndexFileError`
then; a repeated key is refused by the first lookup by key, which builds
the map of keys. ``load(path, mmap=True, verify=True)`` checks all of it at
open, reading the file once. A mapped file must stay as it is while an index uses it:
``save`` never rewrites a file in place (it renames a new file over the old
one, and the mapping keeps the old), but a file truncated or overwritten in
place from outside (``cp other.idx live.idx``) is undefined, as with
databases that map their files: searches may answer from the new bytes, or
reading past a new end may end the process (SIGBUS). Replace a mapped file
by renaming a new one over it. A mapped index stays read-only until it
changes: the first add copies its rows into memory, removals only mark rows,
and a compaction builds new arrays. A sharded index is built
again from the rows (``mmap`` then only spares a copy while reading).

``load`` raises `IndexFileError` (a ValueError), naming the path and what is
wrong, for every file that is not a complete index file of a version it
reads: a damaged container or zip, a CRC failing, arrays missing, extra or of
another dtype or shape, header fields missing, of another type or out of
range (``dim`` and the parameters from 1 to 4294967295, a graph's ``seed``
from 0, ``count`` from 0, ``fields`` only for a graph), keys or metadata
that are not what ``save`` writes, codes that do not match their rows, a
graph's links that do not describe a graph of its rows, and a header or rows
the index itself refuses. A graph's parameters are those it takes now
(``m``, ``ef_construction``, ``ef_search``, ``seed``) or those older files
hold (``layers`` in place of ``seed``, which then means nothing). An OSError about `path` itself (FileNotFoundError,
PermissionError, IsADirectoryError) is raised as it is.

Version 1 files (a zip archive as ``numpy.savez`` writes it: ``header``,
``rows``, ``keys`` and ``metadata`` as uint8 JSON, with a ``sha256`` of the
rows, keys and metadata in the header) still load: each member is read with
numpy's npy header reader, its dtype checked before any data is read, never
with ``np.load``; the index is built again by adding every row (a graph
links them again, so its approximate results can differ).
"""

from __future__ import annotations

import hashlib
import io
import json
import math
import os
import re
import struct
import zipfile
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, BinaryIO, Final, Protocol, TypeGuard

import numpy as np
import numpy.typing as npt

import orbisk_engine
from orbisk_shard import METRICS

from . import _container
from ._arguments import first_nonfinite
from ._columns import Columns
from ._container import IndexFileError
from ._keys import INT, OBJECT, STR, Keys, normalized

FORMAT: Final = "orbisk-companion-index"
VERSION: Final = 3
# The header's "keys" by the form of the keys (version 2 files: "int64" or "json").
_KEY_KINDS: Final = {INT: "int64", STR: "utf8", OBJECT: "json"}

__all__ = ["FORMAT", "VERSION", "IndexFileError", "Snapshot", "load", "save"]


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
    rows: npt.NDArray[Any]  # (n, dim), read-only; float32 rows for a flat index of float32 storage
    keys: Keys  # exactly the rows' keys
    columns: Columns
    engine: dict[str, npt.NDArray[Any]] | None = None  # a flat or graph index's engine parts (rows, codes, links)


class Loaded(Protocol):
    """What `load` builds (an `Index`): it adds a version 1 file's rows."""

    def add(self, vectors: Any, keys: Any = None, metadata: Any = None, progress: bool = False) -> None: ...

    def close(self) -> None: ...


class Build[L: Loaded](Protocol):
    """`Index.from_snapshot`: an index holding what a snapshot holds (with
    `restore`, its engine restored from the snapshot's `engine` parts, the
    codes computed again only with `verify`), TypeError or ValueError when
    the snapshot describes no index."""

    def __call__(self, snap: Snapshot, *, restore: bool, verify: bool, backend: Any, progress: bool) -> L: ...


def _check_json(value: Any, where: str) -> None:
    if value is None or isinstance(value, (str, bool, int)):
        return
    if isinstance(value, float) or (isinstance(value, np.generic) and value.dtype.kind in "biuf"):
        return  # numpy scalars are written as their Python values
    if isinstance(value, list):
        for v in value:
            _check_json(v, where)
        return
    if isinstance(value, dict):
        for k, v in value.items():
            if not isinstance(k, str):
                raise TypeError(f"{where}: metadata keys must be str, got {k!r}")
            _check_json(v, where)
        return
    raise TypeError(f"{where}: {type(value).__name__} is not a JSON type (dict, list, str, int, float, bool, None)")


def _dumps(value: Any) -> bytes:
    return json.dumps(
        value, ensure_ascii=False, allow_nan=True, separators=(",", ":"), default=lambda o: o.item()
    ).encode()


def _array(b: bytes) -> np.ndarray:
    return np.frombuffer(b, dtype=np.uint8)


# The npy header readers by format version (numpy.savez writes 1.0; 2.0 only
# for headers past 64 KiB). Member arrays are read with these, never np.load:
# the dtype is checked before any data is read.
_NPY_HEADERS: Final = {(1, 0): np.lib.format.read_array_header_1_0, (2, 0): np.lib.format.read_array_header_2_0}
_MEMBERS: Final = ("header", "rows", "keys", "metadata")
_UINT32: Final = range(1, 2**32)
_SEEDS: Final = range(2**32)  # a graph's seed may be 0

Kinds = Mapping[str, Sequence[Mapping[str, bool]]]
"""Each kind's sets of parameters a file may hold, name -> whether it may be
null: the one the engine class declares, then those of older versions
(`load` is given them)."""


def _exact_int(value: object, allowed: range) -> TypeGuard[int]:
    return type(value) is int and value in allowed  # JSON true is not a 1 here


def _parameters_ok(value: Any, kind: str, kinds: Kinds) -> bool:
    if not isinstance(value, dict):
        return False
    for wanted in kinds[kind]:
        if value.keys() == wanted.keys():
            return all(
                (v is None and wanted[name]) or _exact_int(v, _SEEDS if name == "seed" else _UINT32)
                for name, v in value.items()
            )
    return False


# Every field after format and version: (what it must be, the test of its
# value, the header and the kinds), in the order they are checked;
# "parameters" and "fields" depend on "kind".
_FIELDS: Final[dict[str, tuple[str, Callable[[Any, dict[str, Any], Kinds], bool]]]] = {
    "kind": ("one of {kinds}", lambda v, h, k: isinstance(v, str) and v in k),
    "dim": ("an int from 1 to 4294967295", lambda v, h, k: _exact_int(v, _UINT32)),
    "metric": (f"one of {', '.join(map(repr, METRICS))}", lambda v, h, k: isinstance(v, str) and v in METRICS),
    "parameters": (
        "the kind's parameters, each null or an int from 1 (a seed from 0) to 4294967295",
        lambda v, h, k: _parameters_ok(v, h["kind"], k),
    ),
    "fields": (
        "null, or for a graph a list of str",
        lambda v, h, k: (
            v is None or (h["kind"] == "graph" and isinstance(v, list) and all(isinstance(f, str) for f in v))
        ),
    ),
    "count": ("an int from 0", lambda v, h, k: _exact_int(v, range(2**63))),
    "keys": (
        "'int64', 'json', or from version 3 'range' or 'utf8'",
        lambda v, h, k: v in ("int64", "json") or (v in ("range", "utf8") and h["version"] >= 3),
    ),
    "sha256": (
        "64 lowercase hex digits",
        lambda v, h, k: isinstance(v, str) and re.fullmatch("[0-9a-f]{64}", v) is not None,
    ),
}


def _shown(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _check_header(header: Any, path: str, kinds: Kinds, zipped: bool = False) -> dict[str, Any]:
    if not isinstance(header, dict) or header.get("format") != FORMAT:
        found = _shown(header.get("format")) if isinstance(header, dict) else "none"
        raise IndexFileError(f"{path}: not an index file of this format (format {found})")
    version = header.get("version")
    if not _exact_int(version, range(1, VERSION + 1)) or (version == 1) != zipped:
        raise IndexFileError(
            f"{path}: format version {_shown(version)}; "
            f"this version of orbisk-companion reads versions 1 (zip) to {VERSION}"
        )
    for name, (what, ok) in _FIELDS.items():
        if name == "sha256" and version != 1:
            continue  # containers (versions 2 and 3) carry a checksum of each array instead
        if name not in header:
            raise IndexFileError(f"{path}: the header has no field {name!r}")
        if not ok(header[name], header, kinds):
            what = what.format(kinds=", ".join(map(repr, kinds)))
            raise IndexFileError(f"{path}: header field {name!r} must be {what}, not {_shown(header[name])}")
    allowed = header.get("allow_nonfinite", False)  # absent from older files
    if not isinstance(allowed, bool) or (version > 1 and "allow_nonfinite" not in header):
        raise IndexFileError(f"{path}: header field 'allow_nonfinite' must be true or false, not {_shown(allowed)}")
    if version > 1 and not isinstance(header.get("metadata"), dict):
        raise IndexFileError(f"{path}: header field 'metadata' must be an object")
    storage = header.setdefault("storage", "float64") if version < 3 else header.get("storage")
    if storage not in ("float64", "float32") or (storage == "float32" and header["kind"] == "graph"):
        raise IndexFileError(
            f"{path}: header field 'storage' must be 'float64' (or 'float32' for flat rows), not {_shown(storage)}"
        )
    return header


def _member(z: zipfile.ZipFile, name: str, dtype: str, path: str) -> np.ndarray:
    """The array `name` of the archive, of `dtype`: its dtype is checked
    before any data is read, its size against its header, its bytes against
    the zip's CRC."""
    info = z.getinfo(f"{name}.npy")
    if info.compress_type != zipfile.ZIP_STORED or info.flag_bits & 0x1:
        raise IndexFileError(f"{path}: member {name!r} is compressed or encrypted; index files store it plainly")
    with z.open(info) as f:
        try:
            read_header = _NPY_HEADERS[np.lib.format.read_magic(f)]
            shape, fortran, found = read_header(f)
        except Exception:
            # numpy parses the header as a Python literal and raises what its
            # parser raises (ValueError, SyntaxError, tokenize.TokenError, ...),
            # with messages that can advise allow_pickle: not for a damaged file.
            raise IndexFileError(f"{path}: member {name!r} is not a numpy array of this format") from None
        if found != np.dtype(dtype):
            raise IndexFileError(f"{path}: member {name!r} holds {found}, not {np.dtype(dtype)}")
        size = math.prod(shape) * found.itemsize
        data = f.read(size + 1)  # to the end, so the CRC is checked
    if len(data) != size:
        raise IndexFileError(f"{path}: member {name!r} holds {len(data)} bytes of data, its header says {size}")
    return np.frombuffer(data, dtype=found).reshape(shape, order="F" if fortran else "C")


def _text(z: zipfile.ZipFile, name: str, path: str) -> bytes:
    data = _member(z, name, "u1", path)
    if data.ndim != 1:
        raise IndexFileError(f"{path}: member {name!r} has shape {data.shape}, not (n,)")
    return data.tobytes()


def _list(text: bytes, n: int, ok: Callable[[Any], bool], what: str, path: str) -> list[Any]:
    try:
        values = json.loads(text)
    except (ValueError, RecursionError) as e:  # bad JSON or UTF-8; nested too deep
        raise IndexFileError(f"{path}: the {what} are not JSON text ({type(e).__name__})") from None
    if not isinstance(values, list) or len(values) != n:
        raise IndexFileError(f"{path}: the {what} are not a list of {n}")
    for v in values:
        if not ok(v):
            raise IndexFileError(f"{path}: the {what} hold {_shown(v)}")
    return values


def _parse(f: BinaryIO, path: str, kinds: Kinds) -> tuple[dict[str, Any], np.ndarray, list[Any], list[Any]]:
    with zipfile.ZipFile(f) as z:
        names = z.namelist()
        if sorted(names) != sorted(f"{m}.npy" for m in _MEMBERS):
            raise IndexFileError(f"{path}: not an index file (it holds {_shown(sorted(names))})")
        header = _check_header(json.loads(_text(z, "header", path)), path, kinds, zipped=True)
        n, dim = header["count"], header["dim"]
        rows = _member(z, "rows", "<f8", path)
        if rows.shape != (n, dim):
            raise IndexFileError(f"{path}: rows of shape {rows.shape}, the header says ({n}, {dim})")
        if header["keys"] == "int64":
            keys = _member(z, "keys", "<i8", path)
            if keys.shape != (n,):
                raise IndexFileError(f"{path}: keys of shape {keys.shape}, the header says ({n},)")
        else:
            keys = np.frombuffer(_text(z, "keys", path), dtype=np.uint8)
        meta_bytes = _text(z, "metadata", path)
    digest = hashlib.sha256(rows)
    digest.update(keys)
    digest.update(meta_bytes)
    if digest.hexdigest() != header["sha256"]:
        raise IndexFileError(f"{path}: checksum mismatch: the file is damaged")
    if header["keys"] == "int64":
        key_list = keys.tolist()
    else:
        key_list = _list(keys.tobytes(), n, lambda k: isinstance(k, (str, int, float)), "keys", path)
    meta = _list(meta_bytes, n, lambda m: m is None or isinstance(m, dict), "metadata entries", path)
    return header, rows, key_list, meta


def _read(f: BinaryIO, path: str, kinds: Kinds) -> tuple[dict[str, Any], np.ndarray, list[Any], list[Any]]:
    f.seek(0)
    try:
        return _parse(f, path, kinds)
    except IndexFileError:
        raise
    except (zipfile.BadZipFile, EOFError, OSError, ValueError, struct.error, RecursionError) as e:
        # ValueError covers bad JSON and UTF-8; RecursionError, JSON nested too deep.
        raise IndexFileError(f"{path}: damaged or not an index file ({type(e).__name__})") from None


def load[L: Loaded](
    path: Any,
    build: Build[L],
    kinds: Kinds,
    *,
    mmap: bool = False,
    verify: bool = False,
    backend: Any = None,
    progress: bool = False,
) -> L:
    """Reads `path` into the index `build` makes (`Index.from_snapshot`),
    of one of `kinds` (each with its parameters, which may be null or not);
    see the module's docstring. `backend` chooses the shards' backend for
    kind "sharded" (default "local"); `mmap` maps a container (versions 2 and 3) flat index's
    rows and codes from the file instead of reading them, and `verify`
    checks them then too."""
    path = os.fspath(path)
    with open(path, "rb", buffering=0) as f:  # an error about the path itself is the OS's, as is
        if f.read(len(_container.MAGIC)) == _container.MAGIC:
            return _load_container(f, path, build, kinds, mmap=mmap, verify=verify, backend=backend, progress=progress)
        return _load_zip(f, path, build, kinds, backend=backend, progress=progress)


def _backend(header: dict[str, Any], backend: Any) -> Any:
    if header["kind"] != "sharded":
        return None
    from orbisk_shard._sharded import _resolve_backend

    return _resolve_backend(backend)  # the caller's mistake stays the caller's


def _load_zip[L: Loaded](f: BinaryIO, path: str, build: Build[L], kinds: Kinds, *, backend: Any, progress: bool) -> L:
    header, rows, keys, meta = _read(f, path, kinds)
    dim = header["dim"]
    fields = header["fields"]
    empty = Snapshot(
        header["kind"],
        dim,
        header["metric"],
        dict(header["parameters"]),
        None if fields is None else tuple(fields),
        # Files from before the field existed took any rows: allow them where they hold any.
        header.get("allow_nonfinite", not np.isfinite(rows).all()),
        np.empty((0, dim)),
        Keys(),
        Columns(),
    )
    # The index is made empty, then takes the rows: what the header asks
    # for and what the rows hold are refused with their own messages.
    try:
        index = build(empty, restore=False, verify=True, backend=_backend(header, backend), progress=False)
    except (TypeError, ValueError) as e:
        raise IndexFileError(f"{path}: the header describes an index that cannot be made: {e}") from None
    try:
        index.add(rows, keys=keys, metadata=meta, progress=progress)
    except (TypeError, ValueError) as e:
        index.close()
        raise IndexFileError(f"{path}: its rows, keys or metadata are refused: {e}") from None
    return index


# -- versions 2 and 3 ------------------------------------------------------------


def save(snap: Snapshot, path: Any) -> None:
    """Writes the index of `snap` to `path` atomically; see the module's
    docstring. Rows, keys and metadata that do not agree (an index out of
    step) are a ValueError, and nothing is written."""
    n = snap.rows.shape[0]
    held = {"keys": len(snap.keys), "metadata rows": len(snap.columns)}
    if snap.engine is not None:
        held["engine rows"] = snap.engine["rows"].shape[0]
    if any(count != n for count in held.values()):
        found = ", ".join(f"{count} {what}" for what, count in held.items())
        raise ValueError(f"{os.fspath(path)}: not saved: the index holds {n} rows but {found}")
    if snap.keys.form == OBJECT:
        for key in snap.keys.objects:
            if not isinstance(key, (str, int, float)):
                raise TypeError(f"key {key!r}: keys must be str, int, float or bool to be saved")
        keys = {"keys": _array(_dumps(snap.keys.objects))}
    else:
        keys = snap.keys.arrays(n)
    description, meta = snap.columns.to_arrays()  # TypeError for what JSON cannot give back
    header = {
        "format": FORMAT,
        "version": VERSION,
        "kind": snap.kind,
        "dim": snap.dim,
        "metric": snap.metric,
        "parameters": snap.parameters,
        "fields": None if snap.fields is None else list(snap.fields),
        "count": n,
        "keys": "range" if snap.keys.start is not None else _KEY_KINDS[snap.keys.form],
        "allow_nonfinite": snap.allow_nonfinite,
        "storage": "float32" if snap.rows.dtype == np.float32 else "float64",
        "metadata": description,
    }
    arrays: dict[str, np.ndarray] = {"rows": snap.rows, **keys}
    arrays.update((f"metadata.{name}", a) for name, a in meta.items())
    if snap.engine is not None:
        arrays.update((f"engine.{name}", a) for name, a in snap.engine.items() if name != "rows")
    _container.write(path, header, arrays)


def _array_of(arrays: dict[str, np.ndarray], name: str, dtype: str, shape: tuple[int, ...], path: str) -> np.ndarray:
    a = arrays.get(name)
    if a is None:
        raise IndexFileError(f"{path}: the file has no array {name!r}")
    if a.dtype != np.dtype(dtype) or a.shape != shape:
        raise IndexFileError(
            f"{path}: array {name!r} must be {np.dtype(dtype)} of shape {shape}, not {a.dtype} of shape {a.shape}"
        )
    return a


_KEY_ARRAYS: Final = {
    "range": ("keys.start",),
    "int64": ("keys",),
    "utf8": ("keys.blob", "keys.ends"),
    "json": ("keys",),
}


def _keys(kind: str, arrays: dict[str, np.ndarray], n: int, path: str, mapped: bool) -> Keys:
    """The keys of a file, checked (`mapped` in place: string keys when
    first read): as the file keeps them ("int64" and "utf8"), or read from
    JSON (as version 2 wrote every key that is not an int) into their
    narrowest form."""
    if kind != "json":
        try:
            form = STR if kind == "utf8" else INT
            return Keys.from_arrays(form, arrays, n, path if mapped else None, run=kind == "range")
        except ValueError as e:
            raise IndexFileError(f"{path}: its keys are damaged: {e}") from None
    text = arrays.get("keys")
    if text is None or text.dtype != np.uint8 or text.ndim != 1:
        raise IndexFileError(f"{path}: array 'keys' must be uint8 JSON text")
    listed = _list(text.tobytes(), n, lambda k: isinstance(k, (str, int, float)), "keys", path)
    form, values = normalized(listed)
    return Keys().with_new(0, values, form).frozen(n)


def _in_place(name: str, dtype: str) -> bool:
    """The arrays a mapped index uses in place, checked at open only with
    `verify`: rows, codes, and keys but those of JSON text."""
    return name in ("rows", "keys.blob", "keys.ends") or name.startswith("engine.") or (name, dtype) == ("keys", "<i8")


def _load_container[L: Loaded](
    f: io.FileIO, path: str, build: Build[L], kinds: Kinds, *, mmap: bool, verify: bool, backend: Any, progress: bool
) -> L:
    verify = verify or not mmap
    header, arrays = _container.read_from(f, path, mmap=mmap, trusted=None if verify else _in_place)
    header = _check_header(header, path, kinds)
    n, dim, kind = header["count"], header["dim"], header["kind"]
    rows = _array_of(arrays, "rows", "<f4" if header["storage"] == "float32" else "<f8", (n, dim), path)
    keys = _keys(header["keys"], arrays, n, path, mapped=mmap and not verify)
    meta = {name[len("metadata.") :]: a for name, a in arrays.items() if name.startswith("metadata.")}
    try:
        columns = Columns.from_arrays(header["metadata"], meta, n)
    except (TypeError, ValueError, RecursionError) as e:
        raise IndexFileError(f"{path}: its metadata is damaged: {e}") from None
    engine = {name[len("engine.") :]: a for name, a in arrays.items() if name.startswith("engine.")}
    known = {"rows", *_KEY_ARRAYS[header["keys"]]} | {f"metadata.{m}" for m in meta} | {f"engine.{e}" for e in engine}
    if kind == "sharded" and engine:
        raise IndexFileError(f"{path}: a {kind} index file holds engine arrays")
    if arrays.keys() - known:
        raise IndexFileError(f"{path}: unknown arrays {sorted(arrays.keys() - known)}")
    nonfinite = f"{path}: its rows hold NaN or infinity, which its index refuses"
    # Engines restored from their parts look at the rows themselves (a flat
    # one in the same pass as its codes); rows added again are looked at here.
    kept = kind == "flat" or bool(engine)
    if verify and not header["allow_nonfinite"] and not kept and first_nonfinite(rows) is not None:
        raise IndexFileError(nonfinite)
    snap = Snapshot(
        kind,
        dim,
        header["metric"],
        dict(header["parameters"]),
        None if header["fields"] is None else tuple(header["fields"]),
        header["allow_nonfinite"],
        rows,
        keys,
        columns,
        # A graph file written before the graph kept its links holds none: its rows are linked again.
        {"rows": rows, **engine} if kept else None,
    )
    try:
        return build(snap, restore=True, verify=verify, backend=_backend(header, backend), progress=progress)
    except orbisk_engine.NonFiniteError:
        raise IndexFileError(nonfinite) from None
    except (TypeError, ValueError) as e:
        raise IndexFileError(f"{path}: its rows, codes, links, keys or metadata are refused: {e}") from None
