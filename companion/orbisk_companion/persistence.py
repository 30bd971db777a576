"""Index files: one numpy ``.npz`` archive, written atomically.

Format (version 1). A zip archive as ``numpy.savez`` writes it, holding three
arrays, read back with ``allow_pickle=False`` (nothing in it is executed):

- ``header``: uint8, UTF-8 JSON: ``{"format": "orbisk-companion-index",
  "version": 1, "kind", "dim", "metric", "parameters", "fields", "count",
  "keys": "int64" | "json", "sha256"}``;
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
leaves a ``.<name>.*.tmp`` file beside it, which nothing reads.

``load`` refuses with `IndexFileError` (a ValueError) a file that is not a zip
archive of this format, is truncated, fails a zip CRC or the checksum, or has
another format version. It rebuilds the index by adding every row again: a
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
import os
import tempfile
import zipfile
from typing import TYPE_CHECKING, Any, Final

import numpy as np

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
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise
    dir_fd = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(dir_fd)
    finally:
        os.close(dir_fd)


def _read(path: str) -> tuple[dict[str, Any], np.ndarray, list[Any], list[Any]]:
    try:
        with np.load(path, allow_pickle=False) as z:
            names = set(z.files)
            if names != {"header", "rows", "keys", "metadata"}:
                raise IndexFileError(f"{path}: not an index file (it holds {sorted(names)})")
            header = json.loads(z["header"].tobytes())
            if not isinstance(header, dict) or header.get("format") != FORMAT:
                raise IndexFileError(f"{path}: not an index file of this format")
            if header.get("version") != VERSION:
                raise IndexFileError(f"{path}: format version {header.get('version')!r}; "
                                     f"this version of orbisk-companion reads version {VERSION}")
            rows, keys, meta_bytes = z["rows"], z["keys"], z["metadata"].tobytes()
    except IndexFileError:
        raise
    except (zipfile.BadZipFile, EOFError, OSError, ValueError, KeyError, UnicodeDecodeError) as e:
        if isinstance(e, FileNotFoundError):
            raise
        raise IndexFileError(f"{path}: damaged or not an index file ({type(e).__name__}: {e})") from None
    n, dim = header["count"], header["dim"]
    if rows.dtype != np.dtype("<f8") or rows.shape != (n, dim):
        raise IndexFileError(f"{path}: rows of shape {rows.shape}, the header says ({n}, {dim})")
    if hashlib.sha256(rows.tobytes() + keys.tobytes() + meta_bytes).hexdigest() != header["sha256"]:
        raise IndexFileError(f"{path}: checksum mismatch: the file is damaged")
    key_list = keys.tolist() if header["keys"] == "int64" else json.loads(keys.tobytes())
    meta = json.loads(meta_bytes)
    if len(key_list) != n or len(meta) != n:
        raise IndexFileError(f"{path}: {len(key_list)} keys and {len(meta)} metadata entries for {n} rows")
    return header, rows, key_list, meta


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
        options["backend"] = backend or "local"
    index = Index(header["dim"], header["metric"], header["kind"], **options)
    index.add(rows, keys=keys, metadata=meta, progress=progress)
    return index


