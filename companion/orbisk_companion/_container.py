"""Index files of format version 2: named numpy arrays beside a JSON header,
laid out so that a reader can map the arrays straight from the file.

Layout (integers little-endian)::

    offset  size  what
    0       8     MAGIC
    8       4     format version, uint32: 2
    12      4     CRC-32 of the header's bytes, uint32
    16      8     the header's length in bytes, uint64 (at most HEADER_LIMIT)
    24      n     the header: ASCII JSON {"header": {...}, "arrays": [entry, ...]}
    then          each array's data in C order, in the order of the table,
                  starting at the first multiple of ALIGN at or after the end
                  of what comes before it, zero bytes in between

An entry of the table: ``{"name": str, "dtype": "<f8" | "<f4" | "<i8" | "<i4"
| "<u4" | "|i1" | "|u1" | "|b1", "shape": [int, ...], "offset": int,
"nbytes": int, "crc32": "8 lowercase hex digits"}``, names unique. The file
ends where the last array's data ends (where the header ends, without
arrays). Every byte is accounted for: the prefix by its fields, the header by
its CRC, the padding by being zero, each array by its CRC. So a file is a
function of what was written, and a byte changed anywhere is refused by a
full read.

ALIGN is 64 bytes: a cache line and the widest vector load (AVX-512), so a
mapped array is as aligned for the kernels as one numpy allocates. The whole
file is mapped at once, at a page boundary, so page-aligned arrays (4096)
would buy nothing but up to 4 KiB of padding per array, which small index
files would mostly consist of.

`read` refuses with `IndexFileError` (naming the path and what is wrong)
every file that is not of this layout, having checked the whole structure
before it reads or maps any array: the magic, the version, the header's
length within the file and its CRC, the JSON an object of the two fields, each
entry complete and typed (an allowed dtype, non-negative int dimensions, at
most 64), ``nbytes`` the shape's size, every offset aligned, past the header,
not overlapping the array before it and leaving no gap, every array inside
the file and the file no longer than the last one; then the padding is zero.

With ``mmap=False`` each array is read into memory it owns, and with
``verify`` its CRC is checked as it is read (and a bool array's bytes are 0
or 1). With ``mmap=True`` each array is a read-only view of one read-only
mapping of the file, which stays valid while any of them is alive (the
file's descriptor is closed before `read` returns); ``verify`` checks the
arrays through the mapping, but for those that ``trusted`` names, which are
not read at open: a large array used in place then costs nothing until it
is used. A mapping trusts that nobody truncates or rewrites the file in
place while it is mapped (`write` never does: it replaces a file by renaming
a new one over it, and a mapping keeps the old one); a file changed under a
mapping is undefined (its pages may show the new bytes, or reading past a
new end may end the process with SIGBUS).

An OSError about the path itself (a missing file, a folder, no permission) is
raised as it is.
"""

from __future__ import annotations

import contextlib
import io
import json
import math
import mmap as _mmap
import os
import re
import secrets
import socket
import stat
import struct
from collections.abc import Callable, Iterator, Mapping
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, BinaryIO, Final

import numpy as np

from orbisk_engine import crc32

MAGIC: Final = b"\x89orbisk\n"
VERSION: Final = 2
ALIGN: Final = 64
HEADER_LIMIT: Final = 64 << 20
"""The longest header read: a damaged length field costs at most this much
memory before the CRC refuses it."""

_PREFIX: Final = struct.Struct("<8sIIQ")  # magic, version, header CRC, header length
_CHUNK: Final = 4 << 20  # read or written, then checksummed, a chunk at a time
_SUMMED_ASIDE: Final = 8 << 20  # from here a file's CRCs are computed on a thread of their own
_DTYPES: Final = {np.dtype(t).str: np.dtype(t) for t in ("<f8", "<f4", "<i8", "<i4", "<u4", "i1", "u1", "?")}
_MAX_DIMS: Final = 64  # numpy's limit
_INT64: Final = range(2**63)


class IndexFileError(ValueError):
    """A file that is not a complete index file of a version this reads."""


class _Sums:
    """The CRC-32 of each array, from its chunks given in order. For a file
    of `size` bytes from _SUMMED_ASIDE on they are summed on a thread of
    their own while the caller reads or writes the next chunks (crc32
    releases the interpreter lock over a chunk), so that a file is summed
    in the time it takes to read or write; else at once. `done` waits for
    every chunk given; leaving the `with` without it drops those not begun."""

    def __init__(self, size: int) -> None:
        self.values: dict[str, int] = {}
        self._pool = ThreadPoolExecutor(1, thread_name_prefix="orbisk-crc") if size >= _SUMMED_ASIDE else None
        self._last: Future[None] | None = None

    def _sum(self, name: str, chunk: memoryview) -> None:
        self.values[name] = crc32(chunk, self.values.get(name, 0))

    def add(self, name: str, chunk: memoryview) -> None:
        if self._pool is None:
            self._sum(name, chunk)
        else:
            self._last = self._pool.submit(self._sum, name, chunk)  # one thread: in the order given

    def done(self) -> dict[str, int]:
        if self._last is not None:
            self._last.result()
        return self.values

    def __enter__(self) -> _Sums:
        return self

    def __exit__(self, *exc: object) -> None:
        if self._pool is not None:
            self._pool.shutdown(wait=True, cancel_futures=True)


def is_container(path: Any) -> bool:
    """Whether the file at `path` starts with MAGIC; reads only that much."""
    with open(path, "rb") as f:
        return f.read(len(MAGIC)) == MAGIC


# ----------------------------------------------------------------- writing


def write(path: Any, header: dict[str, Any], arrays: Mapping[str, np.ndarray]) -> None:
    """Writes `header` (a dict that JSON brings back equal: str keys, no
    tuples, no NaN) and `arrays` to `path` atomically, as
    `persistence.save` writes. Every refusal (TypeError, ValueError) comes
    before a file is touched. Arrays are written from their own buffers; one
    not C-contiguous, or big-endian, is first copied."""
    path = os.fspath(path)
    table, buffers = _plan(header, arrays)
    text = _header_text(header, table)
    with _replacing(path) as f, _Sums(sum(entry["nbytes"] for entry in table)) as sums:
        f.write(bytes(_PREFIX.size + len(text)))  # the prefix and header, once the CRCs are known
        end = _PREFIX.size + len(text)
        for entry, data in zip(table, buffers, strict=True):
            f.write(bytes(entry["offset"] - end))
            for at in range(0, entry["nbytes"], _CHUNK):
                chunk = data[at : at + _CHUNK]
                f.write(chunk)
                sums.add(entry["name"], chunk)
            end = entry["offset"] + entry["nbytes"]
        crcs = sums.done()
        for entry in table:
            entry["crc32"] = f"{crcs.get(entry['name'], 0):08x}"
        final = _header_text(header, table)
        if len(final) != len(text):  # never: a CRC is 8 hex digits each time
            raise AssertionError("the header changed length once the checksums were known")
        f.seek(0)
        f.write(_PREFIX.pack(MAGIC, VERSION, crc32(final), len(final)) + final)


def _plan(header: dict[str, Any], arrays: Mapping[str, np.ndarray]) -> tuple[list[dict[str, Any]], list[memoryview]]:
    """The table (CRCs still zero) and each array's bytes, C order."""
    table: list[dict[str, Any]] = []
    buffers: list[memoryview] = []
    for name, array in arrays.items():
        if not isinstance(name, str):
            raise TypeError(f"array names must be str, got {name!r}")
        if not isinstance(array, np.ndarray):
            raise TypeError(f"array {name!r}: a numpy array is needed, got {type(array).__name__}")
        if array.dtype.str not in _DTYPES:
            little = array.dtype.newbyteorder("<")
            if little.str not in _DTYPES:
                raise TypeError(f"array {name!r}: dtype {array.dtype} is not one of {', '.join(_DTYPES)}")
            array = array.astype(little)  # the same values, little-endian
        if not array.flags.c_contiguous:
            array = array.copy(order="C")
        table.append(
            {
                "name": name,
                "dtype": array.dtype.str,
                "shape": list(array.shape),
                "offset": 0,
                "nbytes": array.nbytes,
                "crc32": "00000000",
            }
        )
        buffers.append(memoryview(array).cast("B") if array.nbytes else memoryview(b""))
    # Offsets are written as numbers: their digits count in the header's
    # length, which decides where the first array starts. Settle by
    # recomputing until the offsets no longer move (they only grow, and only
    # by a digit now and then).
    while True:
        end = _PREFIX.size + len(_header_text(header, table))
        moved = False
        for entry in table:
            offset = -(-end // ALIGN) * ALIGN
            moved |= offset != entry["offset"]
            entry["offset"] = offset
            end = offset + entry["nbytes"]
        if not moved:
            return table, buffers


def _header_text(header: dict[str, Any], table: list[dict[str, Any]]) -> bytes:
    if not isinstance(header, dict):
        raise TypeError(f"the header must be a dict, not {type(header).__name__}")
    text = json.dumps({"header": header, "arrays": table}, allow_nan=False, separators=(",", ":"))
    if json.loads(text)["header"] != header:
        raise TypeError("the header does not come back equal from JSON (keys not str, or tuples?)")
    if len(text) > HEADER_LIMIT:
        raise ValueError(f"the header takes {len(text)} bytes; at most {HEADER_LIMIT} are written")
    return text.encode("ascii")


# A temporary file's name: ``.<name>.<host>.<pid>.<random>.tmp``, the host
# as 8 hex digits of a hash of its name. A writer that is killed leaves it;
# the next write into the folder from the same host removes those whose
# process no longer runs.
_TEMPORARY: Final = re.compile(r"\..+\.(?P<host>[0-9a-f]{8})\.(?P<pid>[0-9]+)\.[0-9a-f]{12}\.tmp")
_HOST: Final = crc32(socket.gethostname().encode()).to_bytes(4, "big").hex()


def _running(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True  # another user's: it runs
    return True


def _remove_abandoned(folder: str) -> None:
    """Removes the temporary files of this host's writers that no longer
    run (and nothing else: only regular files named as `_create_beside`
    names them). Best effort: what cannot be listed or removed stays."""
    with contextlib.suppress(OSError), os.scandir(folder) as entries:
        for entry in entries:
            found = _TEMPORARY.fullmatch(entry.name)
            if found is None or found["host"] != _HOST:
                continue
            pid = int(found["pid"])
            if pid != os.getpid() and not _running(pid) and entry.is_file(follow_symlinks=False):
                with contextlib.suppress(OSError):
                    os.unlink(entry.path)


def _create_beside(path: str, folder: str) -> tuple[int, str]:
    """Creates ``.<name>.<host>.<pid>.<random>.tmp`` in `folder` with mode
    0o666 less the umask, as any new file (tempfile's 0o600 would stay on
    the renamed file)."""
    for _ in range(100):
        tmp = os.path.join(folder, f".{os.path.basename(path)}.{_HOST}.{os.getpid()}.{secrets.token_hex(6)}.tmp")
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


@contextlib.contextmanager
def _replacing(path: str) -> Iterator[BinaryIO]:
    """A new file to write into, which then replaces `path` atomically: it
    is created beside it, synced, renamed over it, and the folder synced; at
    every moment `path` is the old file or the new one, complete. A new file
    gets the mode 0o666 less the umask, a replaced one keeps its permission
    bits. On any failure the temporary file is removed, and an OSError about
    it, or about writing it (a full disk), is raised naming `path`. The
    temporary files of writers that were killed are removed first."""
    folder = os.path.dirname(os.path.abspath(path))
    _remove_abandoned(folder)
    try:
        keep = stat.S_IMODE(os.stat(path).st_mode) & 0o777
    except FileNotFoundError:
        keep = None
    fd, tmp = _create_beside(path, folder)
    try:
        with os.fdopen(fd, "wb") as f:
            if keep is not None and keep != stat.S_IMODE(os.fstat(f.fileno()).st_mode):
                os.fchmod(f.fileno(), keep)
            yield f
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException as e:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        if isinstance(e, OSError) and (e.filename is None or tmp in (e.filename, e.filename2)):
            raise _naming(e, path) from None
        raise
    dir_fd = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(dir_fd)
    finally:
        os.close(dir_fd)


# ----------------------------------------------------------------- reading


def read(
    path: Any, *, mmap: bool = False, verify: bool = True, trusted: Callable[[str, str], bool] | None = None
) -> tuple[dict[str, Any], dict[str, np.ndarray]]:
    """The header and the arrays (in the order written) of the file at
    `path`; see the module's docstring for what is checked. `verify` checks
    each array's CRC as it is read; a mapping checks those that `trusted`
    (a test of the array's name and dtype) does not name, reading them once."""
    path = os.fspath(path)
    with open(path, "rb", buffering=0) as f:
        return read_from(f, path, mmap=mmap, verify=verify, trusted=trusted)


def read_from(
    f: io.FileIO,
    path: str,
    *,
    mmap: bool = False,
    verify: bool = True,
    trusted: Callable[[str, str], bool] | None = None,
) -> tuple[dict[str, Any], dict[str, np.ndarray]]:
    """`read` of a file already open (unbuffered, from its start), named `path` in errors."""
    f.seek(0)
    size = os.fstat(f.fileno()).st_size
    header, table, start = _layout(f, size, path)
    if mmap:
        return header, _mapped(f, size, table, start, verify, trusted, path)
    return header, _loaded(f, table, start, verify, path)


def _refusal(path: str, what: str) -> ValueError:
    return IndexFileError(f"{path}: {what}")


def _read(f: io.FileIO, n: int) -> bytes:
    data = f.read(n)
    return data if data is not None else b""


def _layout(f: io.FileIO, size: int, path: str) -> tuple[dict[str, Any], list[dict[str, Any]], int]:
    """The header, the array table and where the header ends, all checked."""
    prefix = _read(f, _PREFIX.size)
    if prefix[: len(MAGIC)] != MAGIC:
        raise _refusal(path, f"not an index file of format version {VERSION} (no magic number)")
    if len(prefix) < _PREFIX.size:
        raise _refusal(path, f"truncated: {size} bytes, shorter than the {_PREFIX.size} bytes of the prefix")
    _, version, crc, length = _PREFIX.unpack(prefix)
    if version != VERSION:
        raise _refusal(path, f"format version {version}; this reads version {VERSION}")
    if length > min(size - _PREFIX.size, HEADER_LIMIT):
        raise _refusal(path, f"a header of {length} bytes, but {size - _PREFIX.size} follow the prefix")
    text = _read(f, length)
    if len(text) != length:
        raise _refusal(path, "the file ended while its header was read")
    if crc32(text) != crc:
        raise _refusal(path, "header checksum mismatch: the file is damaged")
    try:
        document = json.loads(text.decode("utf-8"))
    except (ValueError, RecursionError) as e:  # ValueError: bad UTF-8 or JSON
        raise _refusal(path, f"the header is not JSON ({type(e).__name__})") from None
    if not isinstance(document, dict) or document.keys() != {"header", "arrays"}:
        raise _refusal(path, "the header is not an object of the fields 'header' and 'arrays'")
    header, entries = document["header"], document["arrays"]
    if not isinstance(header, dict):
        raise _refusal(path, "the header's field 'header' is not an object")
    if not isinstance(entries, list):
        raise _refusal(path, "the header's field 'arrays' is not a list")
    names: set[str] = set()
    for i, entry in enumerate(entries):
        _check_entry(entry, i, path)
        if entry["name"] in names:
            raise _refusal(path, f"two arrays are named {entry['name']!r}")
        names.add(entry["name"])
    start = end = _PREFIX.size + length
    for entry in entries:
        end = _check_place(entry, end, size, path)
    if end != size:
        raise _refusal(path, f"{size - end} bytes past the end of the last array")
    return header, entries, start


def _exact_int(value: Any) -> bool:
    return type(value) is int and value in _INT64  # JSON true is not a 1 here


def _shape_ok(value: Any) -> bool:
    return (
        isinstance(value, list)
        and len(value) <= _MAX_DIMS
        and all(_exact_int(d) for d in value)
        and math.prod(d for d in value if d) * 8 in _INT64
    )  # numpy's limit, zeros or not


_ENTRY: Final[dict[str, tuple[str, Callable[[Any], bool]]]] = {
    "name": ("a str", lambda v: isinstance(v, str)),
    "dtype": (f"one of {', '.join(map(repr, _DTYPES))}", lambda v: isinstance(v, str) and v in _DTYPES),
    "shape": (f"a list of at most {_MAX_DIMS} ints from 0, of a size numpy can hold", _shape_ok),
    "offset": (f"a multiple of {ALIGN} from 0", lambda v: _exact_int(v) and v % ALIGN == 0),
    "nbytes": ("an int from 0", _exact_int),
    "crc32": ("8 lowercase hex digits", lambda v: isinstance(v, str) and re.fullmatch("[0-9a-f]{8}", v) is not None),
}


def _shown(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _check_entry(entry: Any, i: int, path: str) -> None:
    if not isinstance(entry, dict):
        raise _refusal(path, f"array table entry {i} is not an object")
    for field, (what, ok) in _ENTRY.items():
        if field not in entry:
            raise _refusal(path, f"array table entry {i} has no field {field!r}")
        if not ok(entry[field]):
            raise _refusal(path, f"array table entry {i}: field {field!r} must be {what}, not {_shown(entry[field])}")
    if len(entry) != len(_ENTRY):
        extra = sorted(set(entry) - set(_ENTRY))
        raise _refusal(path, f"array table entry {i} has fields this does not know: {_shown(extra)}")
    wanted = math.prod(entry["shape"]) * _DTYPES[entry["dtype"]].itemsize
    if entry["nbytes"] != wanted:
        raise _refusal(path, f"array {entry['name']!r}: nbytes {entry['nbytes']}, its shape and dtype take {wanted}")


def _check_place(entry: dict[str, Any], end: int, size: int, path: str) -> int:
    """Where `entry` ends, having checked that it starts at the first
    aligned byte after `end` (what comes before it) and ends in the file."""
    name: str = entry["name"]
    offset: int = entry["offset"]
    nbytes: int = entry["nbytes"]
    if offset < end:
        raise _refusal(path, f"array {name!r} at byte {offset} overlaps what comes before it (up to byte {end})")
    if offset != -(-end // ALIGN) * ALIGN:
        raise _refusal(path, f"array {name!r} at byte {offset} leaves a gap after byte {end}")
    if offset + nbytes > size:
        raise _refusal(
            path,
            f"array {name!r} ends at byte {offset + nbytes}, past the end of the file "
            f"({size} bytes): the file is truncated or its header is wrong",
        )
    return offset + nbytes


def _padding(table: list[dict[str, Any]], end: int) -> Iterator[tuple[int, int]]:
    """The (start, length) of the padding before each array, the first
    after the header's `end`."""
    for entry in table:
        yield end, entry["offset"] - end
        end = entry["offset"] + entry["nbytes"]


def _loaded(
    f: io.FileIO, table: list[dict[str, Any]], header_end: int, verify: bool, path: str
) -> dict[str, np.ndarray]:
    arrays: dict[str, np.ndarray] = {}
    with _Sums(sum(entry["nbytes"] for entry in table) if verify else 0) as sums:
        for entry, (at, gap) in zip(table, _padding(table, header_end), strict=True):
            f.seek(at)
            if any(_read(f, gap)):
                raise _refusal(path, f"nonzero bytes before array {entry['name']!r}: the file is damaged")
            array = np.empty(entry["shape"], _DTYPES[entry["dtype"]])
            data = memoryview(array).cast("B") if entry["nbytes"] else memoryview(bytearray())
            done = 0
            while done < len(data):
                n = f.readinto(data[done : done + _CHUNK])
                if not n:
                    raise _refusal(path, f"the file ended while array {entry['name']!r} was read")
                if verify:
                    sums.add(entry["name"], data[done : done + n])
                done += n
            arrays[entry["name"]] = array
        crcs = sums.done()
    if verify:
        for entry in table:
            _check(arrays[entry["name"]], crcs.get(entry["name"], 0), entry, path)
    return arrays


def _check(array: np.ndarray, crc: int, entry: dict[str, Any], path: str) -> None:
    """Refuses an array whose bytes' CRC is not its entry's, or a bool
    array holding other bytes than 0 and 1."""
    if f"{crc:08x}" != entry["crc32"]:
        raise _refusal(path, f"checksum mismatch in array {entry['name']!r}: the file is damaged")
    if array.dtype == np.bool_ and array.view(np.uint8).max(initial=0) > 1:
        raise _refusal(path, f"array {entry['name']!r} holds bytes other than 0 and 1 for bool")


def _mapped(
    f: io.FileIO,
    size: int,
    table: list[dict[str, Any]],
    header_end: int,
    verify: bool,
    trusted: Callable[[str, str], bool] | None,
    path: str,
) -> dict[str, np.ndarray]:
    # trackfd=False: the mapping keeps no descriptor of its own, so closing
    # the file leaves nothing open; the arrays keep the mapping alive.
    whole = _mmap.mmap(f.fileno(), size, access=_mmap.ACCESS_READ, trackfd=False)
    arrays: dict[str, np.ndarray] = {}
    for entry, (at, gap) in zip(table, _padding(table, header_end), strict=True):
        if any(whole[at : at + gap]):
            raise _refusal(path, f"nonzero bytes before array {entry['name']!r}: the file is damaged")
        dtype = _DTYPES[entry["dtype"]]
        if entry["nbytes"]:
            array = np.frombuffer(whole, dtype, entry["nbytes"] // dtype.itemsize, entry["offset"])
        else:
            array = np.empty(0, dtype)
            array.flags.writeable = False
        if verify and not (trusted and trusted(entry["name"], entry["dtype"])):
            data = memoryview(whole)[entry["offset"] : entry["offset"] + entry["nbytes"]]
            crc = 0
            for start in range(0, len(data), _CHUNK):
                crc = crc32(data[start : start + _CHUNK], crc)
            data.release()
            _check(array, crc, entry, path)
        arrays[entry["name"]] = array.reshape(entry["shape"])
    return arrays
