"""Index files: one numpy ``.npz`` archive, written atomically.

Format (version 1). A zip archive as ``numpy.savez`` writes it, holding three
arrays, read back with ``allow_pickle=False`` (nothing in it is executed):

- ``header``: uint8, UTF-8 JSON: ``{"format": "orbisk-companion-index",
  "version": 1, "kind", "dim", "metric", "parameters", "fields", "count",
  "keys": "int64" | "json", "sha256", "allow_nonfinite"}``; files written
  before ``allow_nonfinite`` existed lack it, and load with it true exactly
  when their rows hold NaN or an infinity;
- ``rows``: float64 of shape (count, dim), little-endian, in insertion order;
- ``keys``: int64 of shape (count,) when every key is an int that fits;
  otherwise uint8 JSON of the list of keys;
- ``metadata``: uint8 JSON of the list of metadata (an object or null per row).

``sha256`` is the hex digest of the rows' bytes, then the keys' bytes, then the
metadata's bytes. Keys must be str, int, float or bool (they come back with
their type); metadata values must be JSON types (dict with str keys, list,
str, int, float, bool, None, and numpy's number scalars, written as their
Python values: a tuple would come back as a list, so it is refused). ``save`` refuses anything else with TypeError before writing.

The file is written to a temporary file in the same folder, flushed to disk
(fsync), and renamed over `path`, and the folder is synced: at every moment
`path` is the old file or the new one, complete. A writer killed mid-way
leaves a ``.<name>.*.tmp`` file beside it, which nothing reads. A new file
gets the mode any new file gets (0o666 less the umask); a file replaced
keeps its permission bits (owner, group and other; its owner and group
become the writer's, as for any new file). An OSError about the temporary
file (a missing or read-only folder, `path` a folder) is raised naming
`path`.

``load`` raises `IndexFileError` (a ValueError), naming the path and what is
wrong, for every file that is not a complete index file of this version:
not a zip archive, truncated, a zip CRC or the checksum failing, members
missing, extra, compressed or encrypted, an array of another dtype or
shape, another format or version, a header field missing, of another type
or out of range (``dim`` and the parameters from 1 to 4294967295, ``count``
from 0, ``fields`` only for a graph; fields not listed above are ignored),
keys or metadata that are not what ``save`` writes, and a header or rows
the index itself refuses. Arrays are read with numpy's npy header reader,
the dtype checked before any data is read, never with ``np.load``, whose
messages advise unpickling. An OSError about `path` itself (FileNotFoundError,
PermissionError, IsADirectoryError) is raised as it is: the file is not
damaged, the path is wrong.

``load`` rebuilds the index by adding every row again: a
flat index costs about one copy of the rows; a graph is built again from
scratch, which costs as much as the first build (insertion links each row by
a search of the graph so far), and draws new random levels, so its searches
can return other (approximate) results than before the save. The keys,
metadata, scores of every row found and the exact kinds are unchanged.
"""

from __future__ import annotations

import hashlib
import io
import json
import math
import os
import re
import secrets
import stat
import struct
import zipfile
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, BinaryIO, Final

import numpy as np

from ._scores import METRICS

if TYPE_CHECKING:
    from .index import Index

FORMAT: Final = "orbisk-companion-index"
VERSION: Final = 1


class IndexFileError(ValueError):
    """A file that is not a complete index file of a version this reads."""


def _check_json(value: Any, where: str) -> None:
    if value is None or isinstance(value, (str, bool, int)):
        return
    if isinstance(value, float) or (isinstance(value, np.generic) and value.dtype.kind in "biuf"):
        return      # numpy scalars are written as their Python values
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
    return json.dumps(value, ensure_ascii=False, allow_nan=True, separators=(",", ":"),
                      default=lambda o: o.item()).encode()


def _array(b: bytes) -> np.ndarray:
    return np.frombuffer(b, dtype=np.uint8)


def encode(index: Index) -> bytes:
    n = len(index)
    rows = np.ascontiguousarray(index.rows, dtype="<f8")
    if index._int_keys:
        keys = np.ascontiguousarray(index._key_ints[:n], dtype="<i8")
        key_kind = "int64"
    else:
        for key in index._keys:
            if not isinstance(key, (str, int, float)):
                raise TypeError(f"key {key!r}: keys must be str, int, float or bool to be saved")
        keys = _array(_dumps(index._keys))
        key_kind = "json"
    meta = [dict(m) if m is not None else None for m in index._meta]
    for i, m in enumerate(meta):
        _check_json(m, f"metadata of row {i}")
    meta_bytes = _dumps(meta)
    digest = hashlib.sha256(rows.tobytes() + keys.tobytes() + meta_bytes).hexdigest()
    header = {"format": FORMAT, "version": VERSION, "kind": index.kind, "dim": index.dim,
              "metric": index.metric, "parameters": index.parameters,
              "fields": None if index.fields is None else list(index.fields),
              "count": n, "keys": key_kind, "sha256": digest, "allow_nonfinite": index.allow_nonfinite}
    out = io.BytesIO()
    np.savez(out, header=_array(_dumps(header)), rows=rows, keys=keys, metadata=_array(meta_bytes))
    return out.getvalue()


def save(index: Index, path: Any) -> None:
    """Writes `index` to `path` atomically; see the module's docstring."""
    data = encode(index)        # every refusal happens before a file is touched
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    try:
        keep = stat.S_IMODE(os.stat(path).st_mode) & 0o777
    except FileNotFoundError:
        keep = None             # a new file: the mode the umask gives
    fd, tmp = _create_beside(path, folder)
    try:
        with os.fdopen(fd, "wb") as f:
            if keep is not None and keep != stat.S_IMODE(os.fstat(f.fileno()).st_mode):
                os.fchmod(f.fileno(), keep)
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException as e:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        if isinstance(e, OSError) and tmp in (e.filename, e.filename2):
            raise _naming(e, path) from None
        raise
    dir_fd = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(dir_fd)
    finally:
        os.close(dir_fd)


def _create_beside(path: str, folder: str) -> tuple[int, str]:
    """Creates ``.<name>.<random>.tmp`` in `folder` with mode 0o666 less the
    umask, as any new file (tempfile's 0o600 would stay on the renamed file)."""
    for _ in range(100):
        tmp = os.path.join(folder, f".{os.path.basename(path)}.{secrets.token_hex(6)}.tmp")
        try:
            return os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666), tmp
        except FileExistsError:
            continue
        except OSError as e:
            raise _naming(e, path) from None
    raise FileExistsError(f"{folder}: no free name for a temporary file beside {path}")


def _naming(e: OSError, path: str) -> OSError:
    """The same error about the user's path, not the temporary file."""
    return OSError(e.errno, e.strerror, path) if e.errno is not None else e


# The npy header readers by format version (numpy.savez writes 1.0; 2.0 only
# for headers past 64 KiB). Member arrays are read with these, never np.load:
# the dtype is checked before any data is read.
_NPY_HEADERS: Final = {(1, 0): np.lib.format.read_array_header_1_0,
                       (2, 0): np.lib.format.read_array_header_2_0}
_MEMBERS: Final = ("header", "rows", "keys", "metadata")
_UINT32: Final = range(1, 2**32)
_KIND_PARAMETERS: Final = {"flat": {}, "graph": dict.fromkeys(("layers", "m", "ef_construction", "ef_search"), True),
                           "sharded": {"shards": False, "max_shard_rows": True}}   # name -> may be null


def _exact_int(value: Any, allowed: range) -> bool:
    return type(value) is int and value in allowed      # JSON true is not a 1 here


def _parameters_ok(value: Any, kind: str) -> bool:
    wanted = _KIND_PARAMETERS[kind]
    return (isinstance(value, dict) and value.keys() == wanted.keys()
            and all((v is None and wanted[name]) or _exact_int(v, _UINT32) for name, v in value.items()))


# Every field after format and version: (what it must be, the test), in the
# order they are checked; "parameters" and "fields" depend on "kind".
_FIELDS: Final[dict[str, tuple[str, Callable[[Any, dict[str, Any]], bool]]]] = {
    "kind": (f"one of {', '.join(map(repr, _KIND_PARAMETERS))}",
             lambda v, h: isinstance(v, str) and v in _KIND_PARAMETERS),
    "dim": ("an int from 1 to 4294967295", lambda v, h: _exact_int(v, _UINT32)),
    "metric": (f"one of {', '.join(map(repr, METRICS))}", lambda v, h: isinstance(v, str) and v in METRICS),
    "parameters": ("the kind's parameters, each null or an int from 1 to 4294967295",
                   lambda v, h: _parameters_ok(v, h["kind"])),
    "fields": ("null, or for a graph a list of str",
               lambda v, h: v is None or (h["kind"] == "graph" and isinstance(v, list)
                                          and all(isinstance(f, str) for f in v))),
    "count": ("an int from 0", lambda v, h: _exact_int(v, range(2**63))),
    "keys": ("'int64' or 'json'", lambda v, h: v in ("int64", "json")),
    "sha256": ("64 lowercase hex digits",
               lambda v, h: isinstance(v, str) and re.fullmatch("[0-9a-f]{64}", v) is not None),
}


def _shown(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _check_header(header: Any, path: str) -> dict[str, Any]:
    if not isinstance(header, dict) or header.get("format") != FORMAT:
        found = _shown(header.get("format")) if isinstance(header, dict) else "none"
        raise IndexFileError(f"{path}: not an index file of this format (format {found})")
    version = header.get("version")
    if not _exact_int(version, range(VERSION, VERSION + 1)):
        raise IndexFileError(f"{path}: format version {_shown(version)}; "
                             f"this version of orbisk-companion reads version {VERSION}")
    for name, (what, ok) in _FIELDS.items():
        if name not in header:
            raise IndexFileError(f"{path}: the header has no field {name!r}")
        if not ok(header[name], header):
            raise IndexFileError(f"{path}: header field {name!r} must be {what}, not {_shown(header[name])}")
    allowed = header.get("allow_nonfinite", False)     # absent from older files
    if not isinstance(allowed, bool):
        raise IndexFileError(f"{path}: header field 'allow_nonfinite' must be true or false, not {_shown(allowed)}")
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
        data = f.read(size + 1)            # to the end, so the CRC is checked
    if len(data) != size:
        raise IndexFileError(f"{path}: member {name!r} holds {len(data)} bytes of data, its header says {size}")
    return np.frombuffer(data, dtype=found).reshape(shape, order="F" if fortran else "C")


def _text(z: zipfile.ZipFile, name: str, path: str) -> bytes:
    data = _member(z, name, "u1", path)
    if data.ndim != 1:
        raise IndexFileError(f"{path}: member {name!r} has shape {data.shape}, not (n,)")
    return data.tobytes()


def _list(text: bytes, n: int, ok: Callable[[Any], bool], what: str, path: str) -> list[Any]:
    values = json.loads(text)
    if not isinstance(values, list) or len(values) != n:
        raise IndexFileError(f"{path}: the {what} are not a list of {n}")
    for v in values:
        if not ok(v):
            raise IndexFileError(f"{path}: the {what} hold {_shown(v)}")
    return values


def _parse(f: BinaryIO, path: str) -> tuple[dict[str, Any], np.ndarray, list[Any], list[Any]]:
    with zipfile.ZipFile(f) as z:
        names = z.namelist()
        if sorted(names) != sorted(f"{m}.npy" for m in _MEMBERS):
            raise IndexFileError(f"{path}: not an index file (it holds {_shown(sorted(names))})")
        header = _check_header(json.loads(_text(z, "header", path)), path)
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


def _read(path: str) -> tuple[dict[str, Any], np.ndarray, list[Any], list[Any]]:
    with open(path, "rb") as f:     # an error about the path itself is the OS's, as is
        try:
            return _parse(f, path)
        except IndexFileError:
            raise
        except (zipfile.BadZipFile, EOFError, OSError, ValueError, struct.error, RecursionError) as e:
            # ValueError covers bad JSON and UTF-8; RecursionError, JSON nested too deep.
            raise IndexFileError(f"{path}: damaged or not an index file ({type(e).__name__})") from None


def load(path: Any, *, backend: Any = None, progress: bool = False) -> Index:
    """Reads `path` and rebuilds the index; see the module's docstring.
    `backend` chooses the shards' backend for kind "sharded" (default "local")."""
    from .index import Index

    path = os.fspath(path)
    header, rows, keys, meta = _read(path)
    options: dict[str, Any] = dict(header["parameters"])
    # Files from before the field existed took any rows: allow them where they hold any.
    options["allow_nonfinite"] = header.get("allow_nonfinite", not np.isfinite(rows).all())
    if header["kind"] == "graph":
        options["fields"] = header["fields"]
    if header["kind"] == "sharded":
        from orbisk_shard._sharded import _resolve_backend
        options["backend"] = _resolve_backend(backend)   # the caller's mistake stays the caller's
    try:
        index = Index(header["dim"], header["metric"], header["kind"], **options)
    except (TypeError, ValueError) as e:
        raise IndexFileError(f"{path}: the header describes an index that cannot be made: {e}") from None
    try:
        index.add(rows, keys=keys, metadata=meta, progress=progress)
    except (TypeError, ValueError) as e:
        index.close()
        raise IndexFileError(f"{path}: its rows, keys or metadata are refused: {e}") from None
    return index
