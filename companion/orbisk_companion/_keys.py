"""The keys of an index's rows, by row id, without a Python object per row.

Keys come in three forms, the narrowest that holds every key:

- "int": every key an int (not a bool) in int64, kept in one int64 array,
  or as a run (`start`: the key of id i is start + i, as the default keys
  are while no row is removed), which holds no array at all;
- "str": every key a str, kept as one UTF-8 byte array (lone surrogates
  pass through, so any str comes back) and the int64 end of each key in it;
- "object": anything else hashable, kept in a list.

A `Keys` holds the keys of ids 0, 1, ... and room past them; which ids
mean something is the index's to say (its count `n`). A change writes only
past `n` or builds new arrays, so a snapshot taken as views of the first
`n` stays as it was, and a change that fails has nothing to undo here. The
map from keys to ids is not kept here: the index builds it when it first
looks a key up (`row_map`).
"""

from __future__ import annotations

import sys
from collections.abc import Hashable, Sequence
from typing import Any, Final

import numpy as np
import numpy.typing as npt

import orbisk_engine

INT: Final = "int"
STR: Final = "str"
OBJECT: Final = "object"
FORMS: Final = (INT, STR, OBJECT)

_IntArray = npt.NDArray[np.int64]


def _grown(a: np.ndarray, count: int, need: int) -> np.ndarray:
    """`a` if it can take `need` entries in place, else a writable copy of
    its first `count` with room for at least twice as many (a mapped
    array is read-only: its first change copies it)."""
    if need <= a.shape[0] and a.flags.writeable:
        return a
    out = np.empty(max(need, 2 * a.shape[0], 16), dtype=a.dtype)
    out[:count] = a[:count]
    return out


class Texts(list[str]):
    """str keys with their UTF-8 text made at once (`texts`)."""

    __slots__ = ("text", "ends")
    text: bytes
    ends: _IntArray


def texts(keys: list[Any]) -> Texts | None:
    """`keys` as `Texts` when every one is a str (type str itself) without
    a lone surrogate, else None: one pass, no object made per key."""
    made = orbisk_engine.encode_texts(keys)
    if made is None:
        return None
    out = Texts(keys)
    out.text, out.ends = made[0], np.frombuffer(made[1], dtype=np.int64)
    return out


def _encoded(keys: Sequence[str]) -> tuple[bytes, _IntArray]:
    """The keys' UTF-8 text, one after the other, and where each ends in it."""
    if isinstance(keys, Texts):
        return keys.text, keys.ends
    text = "".join(keys).encode("utf-8", "surrogatepass")
    lengths = np.fromiter(map(len, keys), dtype=np.int64, count=len(keys))
    if len(text) != lengths.sum():  # not every character one byte: key by key
        data = [k.encode("utf-8", "surrogatepass") for k in keys]
        lengths = np.fromiter(map(len, data), dtype=np.int64, count=len(keys))
    return text, np.cumsum(lengths)


def normalized(keys: Sequence[Hashable]) -> tuple[str, Sequence[Hashable] | _IntArray]:
    """The narrowest form holding `keys` (a range or a list of Python
    values), and the keys as `Keys.with_new` takes them in that form: a
    range as it is, ints as an int64 array."""
    if isinstance(keys, range):
        return (
            (INT, keys)
            if -(2**63) <= min(keys.start, keys.stop) and max(keys.start, keys.stop) <= 2**63
            else (OBJECT, keys)
        )
    kinds = set(map(type, keys))
    if kinds == {str}:
        return STR, keys
    # A loop, not a generator: a change makes none (see `index`).
    for kind in kinds:
        if not issubclass(kind, int) or kind is bool:
            return OBJECT, keys
    try:
        return INT, np.array(keys, dtype=np.int64)
    except OverflowError:
        return OBJECT, keys


class Keys:
    """Keys by row id in one form; see the module's docstring."""

    __slots__ = ("form", "ints", "start", "size", "blob", "ends", "objects", "source")

    def __init__(
        self,
        form: str = INT,
        ints: _IntArray | None = None,
        blob: npt.NDArray[np.uint8] | None = None,
        ends: _IntArray | None = None,
        objects: list[Hashable] | None = None,
        start: int | None = None,
        size: int | None = None,
    ) -> None:
        self.form = form
        self.ints = np.empty(0, dtype=np.int64) if ints is None else ints
        # "int" keys as a run: the key of id i is start + i (`ints` unused).
        self.start = start
        self.size = size  # a run's length when `frozen` or read from a file
        self.blob = np.empty(0, dtype=np.uint8) if blob is None else blob
        self.ends = np.empty(0, dtype=np.int64) if ends is None else ends
        self.objects: list[Hashable] = [] if objects is None else objects
        # The file whose unchecked string keys these are (mapped without
        # `verify`), until `_checked` has checked them: None once checked.
        self.source: str | None = None

    def _checked(self) -> None:
        """Checks string keys mapped from a file, once, before any is read:
        a damaged key raises `IndexFileError` rather than decode as another."""
        if self.source is not None:
            from ._container import IndexFileError

            try:
                _check_text(self.blob, self.ends)
            except ValueError as e:
                raise IndexFileError(f"{self.source}: its keys are damaged: {e}") from None
            self.source = None

    # -- reading -----------------------------------------------------------

    def _start(self, i: int) -> int:
        return int(self.ends[i - 1]) if i else 0

    def int_keys(self, n: int) -> _IntArray:
        """The first `n` "int" keys as an array (a run's made now)."""
        return self.ints[:n] if self.start is None else np.arange(self.start, self.start + n, dtype=np.int64)

    def get(self, i: int) -> Hashable:
        """The key of id `i`."""
        if self.start is not None:
            return self.start + i
        if self.form == INT:
            return int(self.ints[i])
        if self.form == STR:
            self._checked()
            return self.blob[self._start(i) : self.ends[i]].tobytes().decode("utf-8", "surrogatepass")
        return self.objects[i]

    def listed(self, ids: Sequence[int] | npt.NDArray[np.intp]) -> list[Hashable]:
        """The keys of `ids`, as Python values."""
        if self.start is not None:
            return (np.asarray(ids, dtype=np.int64) + self.start).tolist()  # type: ignore[no-any-return]
        if self.form == INT:
            return np.take(self.ints, np.asarray(ids, dtype=np.intp)).tolist()  # type: ignore[no-any-return]
        if self.form == STR:
            self._checked()
            at = np.asarray(ids, dtype=np.intp)
            his = np.take(self.ends, at).tolist()
            los = np.where(at == 0, 0, np.take(self.ends, at - 1)).tolist()  # id 0 starts at 0
            return _decoded(self.blob, los, his)
        return [self.objects[i] for i in ids]

    def first(self, n: int) -> list[Hashable]:
        """The keys of ids 0 to n - 1."""
        if self.form == INT:
            return self.int_keys(n).tolist()  # type: ignore[no-any-return]
        if self.form == STR:
            return self.listed(np.arange(n))
        return self.objects[:n]

    def of(self, ids: npt.NDArray[np.intp]) -> npt.NDArray[Any]:
        """The keys of an array of ids (-1 for none): int64 for "int" keys
        (-1 where there is no id), else an object array (None there)."""
        if self.form == INT:
            if self.start is not None:
                out = ids.astype(np.int64) + self.start
            else:
                out = self.ints[ids] if ids.size else np.empty(ids.shape, dtype=np.int64)
            if ids.size and ids.min() < 0:
                out[ids < 0] = -1
            return out
        out = np.empty(ids.shape, dtype=object)
        flat: Any = out.reshape(-1)
        valid = ids.reshape(-1).tolist()
        got = self.listed([i for i in valid if i >= 0])
        j = 0
        for at, i in enumerate(valid):
            if i >= 0:
                flat[at] = got[j]
                j += 1
        return out

    def row_map(self, ids: npt.NDArray[np.intp]) -> dict[Hashable, int]:
        """{key: id} over `ids` (the live ones). ValueError when two share a
        key (only a file mapped without `verify` can bring that)."""
        id_list = ids.tolist()
        out = dict(zip(self.listed(ids), id_list, strict=True))
        if len(out) != len(id_list):
            raise ValueError("the index holds a key twice: its file was damaged (load it with verify=True)")
        return out

    def check_unique(self, n: int) -> None:
        """ValueError naming the first of the first `n` keys that repeats
        one before it (TypeError for one that is not hashable)."""
        if self.start is not None:
            return
        if self.form == INT:
            ordered = np.sort(self.ints[:n])
            if not (ordered[1:] == ordered[:-1]).any():
                return
        if self.form == STR:
            self._checked()
            repeat = orbisk_engine.first_repeat(self.blob[: self._start(n)], self.ends[:n])
            if repeat is None:
                return
            raise ValueError(f"duplicate key {self.get(repeat)!r}")
        keys = self.first(n)
        try:
            if len(set(keys)) == n:
                return
        except TypeError:
            raise TypeError("keys must be hashable") from None
        seen: set[Hashable] = set()
        for key in keys:
            if key in seen:
                raise ValueError(f"duplicate key {key!r}")
            seen.add(key)

    def __len__(self) -> int:
        """The entries held, room included (a `frozen` one holds exactly its
        keys; a run not frozen, any number)."""
        if self.start is not None:
            return sys.maxsize if self.size is None else self.size
        return len(self.objects) if self.form == OBJECT else len(self.ends if self.form == STR else self.ints)

    # -- changing ------------------------------------------------------------

    def with_new(self, n: int, keys: Sequence[Hashable] | npt.NDArray[Any], form: str) -> Keys:
        """Keys holding the first `n` of these and then `keys` (of `form`,
        as `normalized` says): these, written past `n` when the form is the
        same, or new arrays. Nothing read from the first `n` changes.

        This and `taken` run inside changes, whose allocations may fail:
        they keep to numpy calls that survive that (no np.diff, whose
        broadcasting can free memory twice when an allocation fails)."""
        count = len(keys)
        if self.form == STR:
            self._checked()
        wide = form if form == self.form or n == 0 else OBJECT
        if wide == INT and isinstance(keys, range) and keys.step == 1:
            if n == 0:
                return Keys(INT, start=keys.start)
            if self.start is not None and keys.start == self.start + n:
                return self  # the run goes on: nothing to write
        if self.start is not None:
            base = Keys(OBJECT, objects=self.first(n)) if wide != INT else Keys(INT, ints=self.int_keys(n))
            return base.with_new(n, keys, wide)
        if wide != self.form and n:
            base = Keys(OBJECT, objects=self.first(n))
        elif wide != self.form:
            base = Keys(wide)
        else:
            base = self
        if wide == INT:
            ints = _grown(base.ints, n, n + count)
            ints[n : n + count] = np.arange(keys.start, keys.stop) if isinstance(keys, range) else keys
            return base if ints is base.ints else Keys(INT, ints=ints)
        if wide == STR:
            text, new_ends = _encoded(keys)  # type: ignore[arg-type]
            start = base._start(n)
            ends = _grown(base.ends, n, n + count)
            ends[n : n + count] = new_ends
            ends[n : n + count] += start
            size = start + len(text)
            blob = _grown(base.blob, start, size)
            blob[start:size] = np.frombuffer(text, dtype=np.uint8)
            return base if blob is base.blob and ends is base.ends else Keys(STR, blob=blob, ends=ends)
        base.objects[n:] = keys
        return base

    def taken(self, at: npt.NDArray[np.intp], n: int) -> Keys:
        """New keys holding those of ids `at` (increasing, below `n`), in order."""
        if self.start is not None:
            if not at.size or at[-1] - at[0] == at.size - 1:  # still a run
                return Keys(INT, start=self.start + (int(at[0]) if at.size else 0))
            return Keys(INT, ints=at.astype(np.int64) + self.start)
        if self.form == INT:
            return Keys(INT, ints=np.take(self.ints, at))
        if self.form == STR:
            self._checked()
            kept = np.zeros(n, dtype=bool)
            np.put(kept, at, True)
            lengths = self.ends[:n].copy()
            lengths[1:] -= self.ends[: n - 1]  # not np.diff: see `with_new`
            blob = np.compress(np.repeat(kept, lengths), self.blob[: self._start(n)])
            return Keys(STR, blob=blob, ends=np.cumsum(np.compress(kept, lengths)))
        return Keys(OBJECT, objects=[self.objects[i] for i in at.tolist()])

    def frozen(self, n: int) -> Keys:
        """The first `n` keys, as no later change alters them."""
        if self.start is not None:
            return Keys(INT, start=self.start, size=n)
        if self.form == OBJECT:
            return Keys(OBJECT, objects=self.objects[:n])
        if self.form == STR:
            out = Keys(STR, blob=self.blob[: self._start(n)] if self.source is None else self.blob, ends=self.ends[:n])
            out.source = self.source
            return out
        return Keys(INT, ints=self.ints[:n])

    # -- files ---------------------------------------------------------------

    def arrays(self, n: int) -> dict[str, np.ndarray]:
        """The arrays a file keeps of the first `n` keys ("int" and "str"
        forms: `from_arrays` reads them back)."""
        if self.start is not None:
            return {"keys.start": np.array([self.start], dtype=np.int64)}
        if self.form == INT:
            return {"keys": self.ints[:n]}
        self._checked()
        return {"keys.blob": self.blob[: self._start(n)], "keys.ends": self.ends[:n]}

    @classmethod
    def from_arrays(
        cls, form: str, arrays: dict[str, np.ndarray], n: int, source: str | None = None, run: bool = False
    ) -> Keys:
        """The keys a file's arrays hold, their dtypes and shapes checked
        (ValueError saying what is wrong): with `run`, a run of "int" keys
        from the one value of ``keys.start``. String keys are checked now
        (ends out of order or past the text, text that is not UTF-8 or a
        key cut inside a character), or with `source` (the file's name)
        when first read."""
        if run:
            start = int(_array(arrays, "keys.start", np.int64, 1)[0])
            if start > 2**63 - 1 - n:
                raise ValueError(f"the keys from {start} on pass the largest int64")
            return cls(INT, start=start, size=n)
        if form == INT:
            return cls(INT, ints=_array(arrays, "keys", np.int64, n))
        out = cls(STR, blob=_array(arrays, "keys.blob", np.uint8, None), ends=_array(arrays, "keys.ends", np.int64, n))
        if source is None:
            _check_text(out.blob, out.ends)
        out.source = source
        return out


def _check_text(blob: npt.NDArray[np.uint8], ends: _IntArray) -> None:
    """ValueError unless `ends` rise from 0 to the end of `blob` and cut it
    into UTF-8 texts (lone surrogates allowed)."""
    size = blob.shape[0]
    if ends.shape[0]:
        if ends[0] < 0 or ends[-1] != size or (ends[1:] < ends[:-1]).any():
            raise ValueError(f"the key ends must rise from 0 to the {size} bytes of the keys")
        # Every key starts on a character: a valid text cut between
        # characters is valid in every piece.
        starts = np.compress(ends[1:] > ends[:-1], ends[:-1])
        if ((np.take(blob, starts) & 0xC0) == 0x80).any():
            raise ValueError("a key starts inside a UTF-8 character")
    elif size:
        raise ValueError(f"{size} bytes of keys for no row")
    try:
        str(memoryview(blob), "utf-8", "surrogatepass")
    except UnicodeDecodeError as e:
        raise ValueError(f"the keys are not UTF-8: {e.reason} at byte {e.start}") from None


def _decoded(blob: npt.NDArray[np.uint8], los: list[int], his: list[int]) -> list[Hashable]:
    """The texts blob[lo:hi]: many keys of ASCII text sliced from one
    decoded str, others decoded one by one."""
    if len(los) > 256:
        end = max(his)
        if not (blob[:end] >= 0x80).any():
            text = str(memoryview(blob[:end]), "ascii")
            return [text[lo:hi] for lo, hi in zip(los, his, strict=True)]
    raw = memoryview(blob)
    return [str(raw[lo:hi], "utf-8", "surrogatepass") for lo, hi in zip(los, his, strict=True)]


def _array(arrays: dict[str, np.ndarray], name: str, dtype: type, n: int | None) -> np.ndarray:
    a = arrays.get(name)
    if a is None:
        raise ValueError(f"the file has no array {name!r}")
    if a.dtype != np.dtype(dtype) or a.ndim != 1 or (n is not None and a.shape[0] != n):
        shape = "(n,)" if n is None else f"({n},)"
        raise ValueError(f"array {name!r} must be {np.dtype(dtype)} of shape {shape}, not {a.dtype} of shape {a.shape}")
    return a
