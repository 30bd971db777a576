"""The metadata of an index's rows, kept field by field in typed arrays.

Each field (a str key of some row's mapping) is a column over the rows that
have it: an int8 kind per entry, an int64 array (ints and bools), a float64
array, and int32 codes into the column's own vocabulary of strings (-1 where
the entry is not a str). Values of any other kind (lists, dicts, None, ints
beyond int64, ...) sit in a dict from entry to value. A column present in
every row since the first is dense (entry i is row i); any other column
keeps the row of each entry in a sorted int64 array. Each row keeps one
int32: -1 for None, else the code of its layout, the tuple of its fields in
the row's own order ({} is the empty layout). No per-row dict is held.

Filters compare as the graph compares (``_values.tag`` and ``matches``): a
filter value is a str, an int in int64 or a float; an entry matches when it
is of the same kind with an equal value, so 1, 1.0 and "1" are three values,
NaN matches nothing and -0.0 equals 0.0. A bool is an int for filters, as
the graph stores it: True matches the filter 1 and the filter True matches
the int 1 (a filter must give the same rows on every kind of index); the
row still comes back holding a bool. A row lacking the field, None, or a
value of another kind never matches; a field no row has gives no row.
Strings are compared as Python strings, so text the graph refuses (a lone
surrogate) is still found here. Where the graph's ``tag`` is looser, these
columns keep to the three kinds: an int beyond int64 is a value of its own
(kind "other", the graph would take it as a float) and never matches, and a
filter value that is none of the three (a Decimal, bytes) is a ValueError,
as is an int filter beyond int64.

``str``, ``int`` and ``float`` subclasses (an IntEnum member, numpy's
float64) are kept as values of the base type; numpy's other number scalars
as their Python values. Other values are kept as they are, not copied: a
list inside a row is the list that was given.
"""

from __future__ import annotations

import bisect
import contextlib
import itertools
import json
import math
import operator
from collections.abc import Mapping, Sequence
from contextlib import AbstractContextManager
from itertools import pairwise
from typing import Any, Final

import numpy as np
import numpy.typing as npt

# Entry kinds (a row lacking the field has no entry, so no kind "absent").
# INT and BOOL last, so that "an int for filters" is one comparison.
STR: Final = 1
FLOAT: Final = 2
OTHER: Final = 3
INT: Final = 4
BOOL: Final = 5
_KINDS: Final = (STR, FLOAT, OTHER, INT, BOOL)

VERSION: Final = 1
_INT64_MIN: Final = -(2**63)
_INT64_MAX: Final = 2**63 - 1

_IntArray = npt.NDArray[np.int64]


def _value(v: Any) -> tuple[int, Any]:
    """The kind of a row's value and the value to keep."""
    t = type(v)
    if t is str:
        return STR, v
    if t is bool or isinstance(v, np.bool_):
        return BOOL, bool(v)
    if t is float:
        return FLOAT, v
    if t is int or isinstance(v, (int, np.integer)):
        i = int.__index__(v) if isinstance(v, int) else int(v)
        return (INT, i) if _INT64_MIN <= i <= _INT64_MAX else (OTHER, i)
    if isinstance(v, float):
        return FLOAT, float.__float__(v)
    if isinstance(v, np.floating):
        return FLOAT, float(v)
    if isinstance(v, str):
        return STR, str.__str__(v)
    if isinstance(v, np.generic):
        return _value(v.item())
    return OTHER, v


def _wanted(name: Any, value: Any) -> tuple[int, Any]:
    """The kind and value a filter asks for: STR, INT or FLOAT."""
    if not isinstance(name, str):
        raise TypeError(f"filter field names are str, not {type(name).__name__} ({name!r})")
    if isinstance(value, str):
        return STR, str.__str__(value)
    if isinstance(value, (bool, np.bool_)):
        return INT, int(value)
    if isinstance(value, (float, np.floating)):
        return FLOAT, float(value)
    try:
        i = operator.index(value)
    except TypeError:
        raise ValueError(
            f"filter on field {name!r}: the value must be a str, int or float, not {type(value).__name__}"
        ) from None
    if not _INT64_MIN <= i <= _INT64_MAX:
        raise ValueError(f"filter on field {name!r}: the int {i} is outside int64")
    return INT, int(i)


def _grown(a: np.ndarray, count: int, need: int) -> np.ndarray:
    """`a` if it holds `need` entries and may be written (one mapped from a
    file may not), else a copy of its first `count` with room for at least
    twice as many (amortised appends)."""
    if need <= a.shape[0] and a.flags.writeable:
        return a
    out = np.empty(max(need, 2 * a.shape[0]), dtype=a.dtype)
    out[:count] = a[:count]
    return out


class _Column:
    """One field: its entries' kinds and values, and their rows when sparse."""

    __slots__ = ("name", "count", "pos", "kinds", "ints", "floats", "codes", "words", "code_of", "other", "found")

    def __init__(self, name: str) -> None:
        self.name = name
        self.count = 0
        self.pos: _IntArray | None = None  # None: dense, entry i is row i
        self.kinds: npt.NDArray[np.int8] = np.empty(0, dtype=np.int8)
        self.ints: _IntArray = np.empty(0, dtype=np.int64)
        self.floats: npt.NDArray[np.float64] = np.empty(0, dtype=np.float64)
        self.codes: npt.NDArray[np.int32] = np.empty(0, dtype=np.int32)
        self.words: list[str] = []
        self.code_of: dict[str, int] = {}
        self.other: dict[int, Any] = {}
        self.found: _Found | None = None  # the entries sorted by value, once a filter asked

    def hits(self, kind: int, value: Any, lo: int = 0) -> npt.NDArray[np.bool_]:
        """Which entries from `lo` on match (`value` a code for STR; a float
        not NaN for FLOAT)."""
        c = self.count
        if kind == STR:
            coded: npt.NDArray[np.bool_] = self.codes[lo:c] == value
            return coded
        if kind == INT:
            same: npt.NDArray[np.bool_] = self.ints[lo:c] == value
            same &= self.kinds[lo:c] >= INT  # ints and bools
            return same
        equal: npt.NDArray[np.bool_] = self.floats[lo:c] == value
        equal &= self.kinds[lo:c] == FLOAT
        return equal

    def rows_of(self, entries: _IntArray) -> _IntArray:
        """The rows of entries (in entry order: ascending)."""
        return entries if self.pos is None else np.take(self.pos, entries)

    def matching(self, kind: int, value: Any, once: AbstractContextManager[Any]) -> _IntArray | None:
        """The rows whose entry equals `value` (of the filter's `kind`),
        ascending, or None when none can. The sorted entries answer for
        those they cover, a scan for the entries appended since; once
        those pass a quarter of the rest, the entries are sorted again
        (`once` held: readers may race here, and one sorts)."""
        if kind == STR:
            value = self.code_of.get(value)
            if value is None:
                return None
        elif kind == FLOAT and math.isnan(value):
            return None
        found = self.found
        if found is None or self.count - found.covered > max(_TAIL, found.covered // 4):
            with once:
                found = self.found
                if found is None or self.count - found.covered > max(_TAIL, found.covered // 4):
                    found = self.found = _Found(self)
        head = found.rows(kind, value)
        if found.covered == self.count:
            return head
        tail = self.rows_of(found.covered + np.flatnonzero(self.hits(kind, value, found.covered)))
        return np.concatenate((head, tail))

    def entries(self, rows: _IntArray) -> _IntArray:
        """The entry of each row, -1 where the row lacks the field."""
        if self.pos is None:
            return rows
        pos = self.pos[: self.count]
        e = np.searchsorted(pos, rows)
        found = e < self.count
        found[found] = np.take(pos, e[found]) == rows[found]
        return np.where(found, e, -1)

    def values(self, entries: _IntArray) -> list[Any]:
        """The values of these entries (every one present)."""
        out: list[Any] = [None] * len(entries)
        kinds = np.take(self.kinds, entries)
        for kind, source in ((INT, self.ints), (FLOAT, self.floats), (STR, self.codes)):
            at = np.flatnonzero(kinds == kind)
            if len(at):
                got = np.take(source, np.take(entries, at)).tolist()
                if kind == STR:
                    got = [self.words[w] for w in got]
                for j, v in zip(at.tolist(), got, strict=True):
                    out[j] = v
        for j in np.flatnonzero(kinds == BOOL).tolist():
            out[j] = bool(self.ints[entries[j]])
        for j in np.flatnonzero(kinds == OTHER).tolist():
            out[j] = self.other[int(entries[j])]
        return out


# Entries appended since a column was sorted that a filter scans, at most,
# before it sorts the column again (or a quarter of those sorted, if more).
_TAIL: Final = 4096


class _Found:
    """A column's first `covered` entries sorted by value, a kind at a time:
    for each of STR (by code), INT (ints and bools) and FLOAT (but NaN),
    the values in order and the row of each, ascending among equal values
    (a stable sort of entries, which are in row order). A change never
    alters it: appends go past `covered`, removed rows stay until
    compaction (the engine never returns them), and a compaction makes
    new columns, which sort again when a filter asks."""

    __slots__ = ("covered", "sorted")

    def __init__(self, column: _Column) -> None:
        c = column.count
        kinds = column.kinds[:c]
        rows = column.rows_of(np.arange(c))
        floats = column.floats[:c]
        self.covered = c
        self.sorted = {
            STR: _by_value(column.codes[:c], kinds == STR, rows),
            INT: _by_value(column.ints[:c], kinds >= INT, rows),
            FLOAT: _by_value(floats, (kinds == FLOAT) & ~np.isnan(floats), rows),
        }

    def rows(self, kind: int, value: Any) -> _IntArray:
        values, rows = self.sorted[kind]
        return rows[values.searchsorted(value, "left") : values.searchsorted(value, "right")]


def _by_value(values: np.ndarray, where: npt.NDArray[np.bool_], rows: _IntArray) -> tuple[np.ndarray, _IntArray]:
    """The values `where` selects in order (stable), with their rows."""
    picked = np.compress(where, values)
    order = np.argsort(picked, kind="stable")
    return np.take(picked, order), np.take(np.compress(where, rows), order)


class _Batch:
    """One field's new entries from one append, gathered before any change."""

    __slots__ = ("rows", "kinds", "ints", "floats", "words", "other")

    def __init__(self) -> None:
        self.rows: list[int] = []
        self.kinds: list[int] = []
        self.ints: list[int] = []
        self.floats: list[float] = []
        self.words: list[str | None] = []
        self.other: dict[int, Any] = {}

    def add(self, row: int, kind: int, value: Any) -> None:
        if kind == OTHER:
            self.other[len(self.rows)] = value
        self.rows.append(row)
        self.kinds.append(kind)
        self.ints.append(int(value) if kind >= INT else 0)
        self.floats.append(value if kind == FLOAT else 0.0)
        self.words.append(value if kind == STR else None)


class _Change:
    """One column's part of a staged append: its arrays holding the new
    entries past its count, the strings new to its vocabulary (str -> code)
    and its other values (entry -> value), and what it held before."""

    __slots__ = ("column", "rows", "arrays", "words", "other", "before", "count", "count_after", "vocabulary")

    def __init__(
        self, column: _Column, rows: list[int], arrays: tuple[Any, ...], words: dict[str, int], other: dict[int, Any]
    ) -> None:
        self.column = column
        self.rows = rows  # the rows of the new entries, ascending
        self.arrays = arrays
        self.words = words
        self.other = other
        self.before = (column.pos, column.kinds, column.ints, column.floats, column.codes)
        self.count = column.count
        self.count_after = column.count + len(rows)
        self.vocabulary = len(column.words)


class Staged:
    """An append read, checked and allocated, nothing changed yet
    (`Columns.stage`)."""

    def __init__(
        self,
        columns: Columns,
        start: int,
        count: int,
        layout: npt.NDArray[np.int32] | None,
        new_columns: list[_Column],
        new_fields: dict[str, int],
        new_layouts: dict[tuple[int, ...], int],
        changes: list[_Change],
    ) -> None:
        self.start = start
        self.count = count
        self.end = start + count
        self.layout = layout
        self.layout_before = columns._layout
        self.layouts_before = len(columns._layouts)
        self.columns = new_columns
        self.columns_before = columns._columns
        self.new_fields = new_fields
        self.new_layouts = new_layouts
        self.changes = changes


class Columns:
    """The metadata of an index's rows, field by field."""

    def __init__(self) -> None:
        self._n = 0
        # Per row: -1 (None) or a layout code; None while no row has metadata.
        self._layout: npt.NDArray[np.int32] | None = None
        self._layouts: list[tuple[int, ...]] = []  # field ids in a row's own order
        self._layout_of: dict[tuple[int, ...], int] = {}
        self._columns: list[_Column] = []
        self._field_of: dict[str, int] = {}

    def __len__(self) -> int:
        return self._n

    def has(self, field: str) -> bool:
        """Whether some row has `field`."""
        return field in self._field_of

    @property
    def fields(self) -> list[str]:
        """The fields some row has, in the order they first came."""
        return [c.name for c in self._columns]

    # -- adding ------------------------------------------------------------

    def append(self, metadata: Sequence[Mapping[str, Any] | None]) -> None:
        """Appends one row per mapping (or None): `stage`, then `commit`."""
        self.commit(self.stage(metadata, len(metadata)))

    def stage(self, metadata: Sequence[Mapping[str, Any] | None] | None, count: int) -> Staged:
        """Reads and checks an append of one row per mapping (or None; with
        `metadata` None, `count` rows of None), and allocates what it takes,
        changing nothing: `commit` then makes it. A failure (TypeError for a
        row that is not a mapping or None, or for a key that is not a str;
        ValueError for a mapping that gives a key twice) leaves nothing to
        undo."""
        start = self._n
        new_fields: dict[str, int] = {}
        new_layouts: dict[tuple[int, ...], int] = {}
        batches: dict[int, _Batch] = {}
        codes: list[int] = []
        for j, m in enumerate(metadata or ()):
            if m is None:
                codes.append(-1)
                continue
            if not isinstance(m, Mapping):
                raise TypeError(f"metadata of row {j} must be a mapping or None, not {type(m).__name__}")
            ids = []
            for name, v in m.items():
                if type(name) is not str:
                    raise TypeError(
                        f"metadata of row {j}: field names must be str, not {type(name).__name__} ({name!r})"
                    )
                f = self._field_of.get(name)
                if f is None:
                    f = new_fields.setdefault(name, len(self._columns) + len(new_fields))
                ids.append(f)
                kind, value = _value(v)
                batch = batches.get(f)
                if batch is None:
                    batch = batches[f] = _Batch()
                batch.add(start + j, kind, value)
            if type(m) is not dict and len(set(ids)) != len(ids):
                raise ValueError(f"metadata of row {j} gives a field twice")  # a Mapping's own iterator
            key = tuple(ids)
            code = self._layout_of.get(key)
            if code is None:
                code = new_layouts.setdefault(key, len(self._layouts) + len(new_layouts))
            codes.append(code)
        if metadata is not None:
            count = len(codes)
        # New entries go past each array's count, where nothing reads them:
        # until the commit every column is as it was.
        columns = self._columns + [_Column(name) for name in new_fields]
        layout = self._layout
        if metadata is not None and layout is None:
            layout = np.full(max(self._n + count, 16), -1, dtype=np.int32)
        elif layout is not None:
            layout = _grown(layout, self._n, self._n + count)
        if layout is not None:
            layout[self._n : self._n + count] = codes if metadata is not None else -1
        empty = _Batch()
        changes = []
        for f, column in enumerate(columns):
            b = batches.get(f, empty)
            if b.rows or column.pos is None:
                changes.append(self._change(column, b, start, count))
        return Staged(self, start, count, layout, columns, new_fields, new_layouts, changes)

    def _change(self, column: _Column, batch: _Batch, start: int, count: int) -> _Change:
        """The column's arrays holding `batch` past its count and the strings
        new to its vocabulary, the column itself unchanged."""
        c = column.count
        k = len(batch.rows)
        need = c + k
        dense = column.pos is None and c == start and k == count
        if dense:
            pos = None
        else:
            rows = np.asarray(batch.rows, dtype=np.int64)
            if column.pos is None:
                pos = np.empty(max(need, 2 * c), dtype=np.int64)
                pos[:c] = np.arange(c)
            else:
                pos = _grown(column.pos, c, need)
            pos[c:need] = rows
        kinds = _grown(column.kinds, c, need)
        ints = _grown(column.ints, c, need)
        floats = _grown(column.floats, c, need)
        codes = _grown(column.codes, c, need)
        kinds[c:need] = batch.kinds
        ints[c:need] = batch.ints
        floats[c:need] = batch.floats
        fresh: dict[str, int] = {}
        got = []
        for w in batch.words:
            if w is None:
                got.append(-1)
                continue
            code = column.code_of.get(w)
            if code is None:
                code = fresh.setdefault(w, len(column.words) + len(fresh))
            got.append(code)
        codes[c:need] = got
        other = {c + j: v for j, v in batch.other.items()}
        return _Change(column, batch.rows, (pos, kinds, ints, floats, codes), fresh, other)

    def commit(self, staged: Staged) -> None:
        """Makes a staged append, all or nothing: a failure on the way
        (MemoryError) is rolled back before it is raised."""
        if staged.columns_before is not self._columns or staged.start != self._n:
            raise RuntimeError("the columns changed since the append was staged")
        try:
            for change in staged.changes:
                column = change.column
                column.pos, column.kinds, column.ints, column.floats, column.codes = change.arrays
                column.words.extend(change.words)
                column.code_of.update(change.words)
                column.other.update(change.other)
                column.count = change.count_after
            self._columns = staged.columns
            self._field_of.update(staged.new_fields)
            self._layouts.extend(staged.new_layouts)
            self._layout_of.update(staged.new_layouts)
            self._layout = staged.layout
            self._n = staged.end
        except BaseException:
            self.rollback(staged)
            raise

    def rollback(self, staged: Staged, kept: int = 0) -> None:
        """Undoes `staged`, committed or only partly, but for its first
        `kept` rows (an add that stopped keeps them; its later rows' new
        fields, layouts and strings go with them). With `kept` 0 every
        column is as it was before the commit; nothing here allocates in
        proportion to the rows."""
        end = staged.start + kept
        for change in staged.changes:
            column = change.column
            if kept:
                column.count = change.count + bisect.bisect_left(change.rows, end)
            else:
                column.pos, column.kinds, column.ints, column.floats, column.codes = change.before
                column.count = change.count
            # Strings new to the column are numbered in the order they first
            # came: those the kept entries use are the first of them.
            kept_codes = column.codes[change.count : column.count]
            words = max(change.vocabulary, int(kept_codes.max(initial=-1)) + 1)
            for w in itertools.islice(change.words, words - change.vocabulary, None):
                column.code_of.pop(w, None)
            del column.words[words:]
            for e in change.other:
                if e >= column.count:
                    column.other.pop(e, None)
        before = len(staged.columns_before)
        # New fields come in the order rows first name them: those the kept
        # rows have are the first of them.
        fields = before
        while fields < len(staged.columns) and staged.columns[fields].count:
            fields += 1
        for column in staged.columns[fields:]:
            self._field_of.pop(column.name, None)
        self._columns = staged.columns[:fields] if kept else staged.columns_before
        layouts = staged.layouts_before
        if kept and staged.layout is not None:
            layouts = max(layouts, int(staged.layout[staged.start : end].max(initial=-1)) + 1)
        for key in itertools.islice(staged.new_layouts, layouts - staged.layouts_before, None):
            self._layout_of.pop(key, None)
        del self._layouts[layouts:]
        self._layout = staged.layout if kept else staged.layout_before
        self._n = end

    # -- reading -----------------------------------------------------------

    def _positions(self, ids: Any) -> _IntArray:
        a = np.asarray(ids)
        if a.ndim != 1 or (a.dtype.kind not in "iu" and a.size):
            raise TypeError(f"row positions must be a 1-D sequence of ints, not {a.dtype} of shape {a.shape}")
        if a.size and (a.min() < 0 or a.max() >= self._n):
            raise IndexError(f"row positions must be in [0, {self._n})")
        return a.astype(np.int64)

    def row(self, i: int) -> dict[str, Any] | None:
        """A new dict equal to row `i`'s mapping, or None."""
        i = operator.index(i)
        if not 0 <= i < self._n:
            raise IndexError(f"row {i} is not in [0, {self._n})")
        return self.rows([i])[0]

    def rows(self, ids: Sequence[int] | np.ndarray) -> list[dict[str, Any] | None]:
        """The rows at these positions, each a new dict (or None)."""
        at = self._positions(ids)
        if self._layout is None:
            return [None] * len(at)
        codes = np.take(self._layout, at)
        fields = sorted({f for code in np.unique(codes[codes >= 0]).tolist() for f in self._layouts[code]})
        values: dict[int, list[Any]] = {}
        for f in fields:
            column = self._columns[f]
            e = column.entries(at)
            have = np.flatnonzero(e >= 0)
            got: list[Any] = [None] * len(at)
            for j, v in zip(have.tolist(), column.values(e[have]), strict=True):
                got[j] = v
            values[f] = got
        names = [c.name for c in self._columns]
        return [
            None if code < 0 else {names[f]: values[f][j] for f in self._layouts[code]}
            for j, code in enumerate(codes.tolist())
        ]

    def mask(self, where: Mapping[str, Any], once: AbstractContextManager[Any] | None = None) -> npt.NDArray[np.bool_]:
        """Which rows match every ``field: value`` of `where` (all of them
        for an empty `where`): `admitted` as a bool per row."""
        rows = self.admitted(where, once)
        if rows is None:
            return np.ones(self._n, dtype=bool)
        out = np.zeros(self._n, dtype=bool)
        out[rows] = True  # a search, not a change: indexing by ints is safe here
        return out

    def admitted(self, where: Mapping[str, Any], once: AbstractContextManager[Any] | None = None) -> _IntArray | None:
        """The rows that match every ``field: value`` of `where`, ascending
        (None for an empty `where`: every row). ValueError for a value that
        is not a str, an int in int64 or a float; a field no row has matches
        no row. Each field's rows come from its entries sorted by value
        (`_Found`), so a filter costs about the rows it admits; `once` is
        held while a column sorts (callers holding a shared lock to read
        give one)."""
        if not isinstance(where, Mapping):
            raise TypeError(f"a filter is a mapping of fields to values, not {type(where).__name__}")
        wanted = [(name, *_wanted(name, value)) for name, value in where.items()]
        out: _IntArray | None = None
        for name, kind, value in wanted:
            f = self._field_of.get(name)
            rows = None if f is None else self._columns[f].matching(kind, value, once or contextlib.nullcontext())
            if rows is None or not len(rows):
                return np.empty(0, dtype=np.int64)
            out = rows if out is None else np.intersect1d(out, rows, assume_unique=True)
        return out

    def copy(self) -> Columns:
        """Columns equal to these that no later change of these alters (the
        arrays are shared: a change only writes past their counts, or
        replaces them)."""
        out = Columns()
        out._n = self._n
        out._layout = self._layout
        out._layouts = list(self._layouts)
        out._layout_of = dict(self._layout_of)
        out._field_of = dict(self._field_of)
        for column in self._columns:
            c = _Column(column.name)
            c.count, c.pos, c.kinds, c.ints = column.count, column.pos, column.kinds, column.ints
            c.found = column.found
            c.floats, c.codes = column.floats, column.codes
            c.words = list(column.words)
            c.code_of = dict(column.code_of)
            c.other = dict(column.other)
            out._columns.append(c)
        return out

    # -- compaction ----------------------------------------------------------

    def take(self, keep: npt.ArrayLike) -> None:
        """Keeps only the rows at `keep` (increasing positions, or a bool
        mask of one flag per row), in order. Bad `keep`: nothing changes."""
        k = np.asarray(keep)
        if k.dtype == bool:
            if k.shape != (self._n,):
                raise ValueError(f"a mask to keep rows needs shape ({self._n},), not {k.shape}")
            at = np.flatnonzero(k)
        else:
            at = self._positions(k)
            if len(at) > 1 and (np.diff(at) <= 0).any():
                raise ValueError("positions to keep must be strictly increasing")
        n = len(at)
        if self._layout is None:
            self._n = n
            return
        layout = np.take(self._layout, at)
        used = np.unique(layout[layout >= 0])
        fields = sorted({f for code in used.tolist() for f in self._layouts[code]})
        field_id = {f: j for j, f in enumerate(fields)}
        layouts = [tuple([field_id[f] for f in self._layouts[code]]) for code in used.tolist()]
        renumber = np.full(len(self._layouts) + 1, -1, dtype=np.int32)
        np.put(renumber, used, np.arange(len(used), dtype=np.int32))
        layout = np.take(renumber, layout)  # -1 (None) reads the last slot, -1
        columns = [self._kept(self._columns[f], at, n) for f in fields]
        self._columns = columns
        self._field_of = {c.name: j for j, c in enumerate(columns)}
        self._layouts = layouts
        self._layout_of = {key: code for code, key in enumerate(layouts)}
        self._layout = layout
        self._n = n

    @staticmethod
    def _kept(column: _Column, at: _IntArray, n: int) -> _Column:
        e = column.entries(at)
        present = e >= 0
        e = e[present]
        out = _Column(column.name)
        out.count = len(e)
        out.pos = None if out.count == n else np.flatnonzero(present).astype(np.int64)
        out.kinds = np.take(column.kinds, e)
        out.ints = np.take(column.ints, e)
        out.floats = np.take(column.floats, e)
        codes = np.take(column.codes, e)
        used = np.unique(codes[codes >= 0])
        renumber = np.full(len(column.words) + 1, -1, dtype=np.int32)
        np.put(renumber, used, np.arange(len(used), dtype=np.int32))
        out.codes = np.take(renumber, codes)
        out.words = [column.words[w] for w in used.tolist()]
        out.code_of = {w: code for code, w in enumerate(out.words)}
        kept = np.flatnonzero(out.kinds == OTHER)
        out.other = {j: column.other[old] for j, old in zip(kept.tolist(), e[kept].tolist(), strict=True)}
        return out

    # -- files ---------------------------------------------------------------

    def to_arrays(self) -> tuple[dict[str, Any], dict[str, np.ndarray]]:
        """A JSON-able description and named little-endian arrays from which
        `from_arrays` builds these columns again. Values of kind "other" must
        be JSON values (dict with str keys, list, str, int, float, bool,
        None; numpy number scalars are written as their Python values):
        anything else is a TypeError naming its row and field."""
        columns = self._columns
        other: list[Any] = []
        for column in columns:
            entries = np.flatnonzero(column.kinds[: column.count] == OTHER).tolist()
            rows = entries if column.pos is None else column.pos[entries].tolist()
            for e, r in zip(entries, rows, strict=True):
                other.append(_plain(column.other[e], f"metadata of row {r}, field {column.name!r}"))
        try:
            other_text = json.dumps(other, ensure_ascii=True, allow_nan=True, separators=(",", ":"))
        except ValueError as e:  # an int of more digits than Python writes
            raise ValueError(f"metadata cannot be written: {e}") from None
        words = [w for c in columns for w in c.words]
        names, name_ends = _texts([c.name for c in columns])
        strings, string_ends = _texts(words)
        layout_fields = [f for key in self._layouts for f in key]
        arrays = {
            "layout": (
                np.full(self._n, -1, dtype="<i4") if self._layout is None else self._layout[: self._n].astype("<i4")
            ),
            "layout_fields": np.asarray(layout_fields, dtype="<i4"),
            "layout_ends": np.cumsum([len(key) for key in self._layouts], dtype=np.int64).astype("<i8"),
            "names": names,
            "name_ends": name_ends,
            "field_ends": np.cumsum([c.count for c in columns], dtype=np.int64).astype("<i8"),
            "kinds": _joined([c.kinds[: c.count] for c in columns], "i1"),
            "ints": _joined([c.ints[: c.count] for c in columns], "<i8"),
            "floats": _joined([c.floats[: c.count] for c in columns], "<f8"),
            "codes": _joined([c.codes[: c.count] for c in columns], "<i4"),
            "strings": strings,
            "string_ends": string_ends,
            "word_ends": np.cumsum([len(c.words) for c in columns], dtype=np.int64).astype("<i8"),
            "other": np.frombuffer(other_text.encode("ascii"), dtype=np.uint8).copy(),
        }
        description = {
            "version": VERSION,
            "rows": self._n,
            "fields": len(columns),
            "layouts": len(self._layouts),
            "entries": int(sum(c.count for c in columns)),
        }
        return description, arrays

    @classmethod
    def from_arrays(cls, description: dict[str, Any], arrays: Mapping[str, np.ndarray], rows: int) -> Columns:
        """The columns `to_arrays` described. Anything inconsistent (a
        missing or extra array, a dtype, a length, a kind, a code, a layout,
        text that does not decode, a value of kind "other" that is typed)
        raises ValueError saying what."""
        d = _Description(description, arrays, rows)
        out = cls()
        out._n = rows
        out._layout = d.layout if d.layouts else None  # no layout: every row is None
        out._layouts = d.layouts
        out._layout_of = {key: code for code, key in enumerate(d.layouts)}
        other = iter(d.other)
        for f, name in enumerate(d.names):
            column = _Column(name)
            lo, hi = d.field_ends[f], d.field_ends[f + 1]
            column.count = hi - lo
            column.pos = None if column.count == rows else d.pos[lo:hi].copy()
            # Used in place (a mapped file's arrays: its first append copies them).
            column.kinds = d.kinds[lo:hi].astype(np.int8, copy=False)
            column.ints = d.ints[lo:hi].astype(np.int64, copy=False)
            column.floats = d.floats[lo:hi].astype(np.float64, copy=False)
            column.codes = d.codes[lo:hi].astype(np.int32, copy=False)
            column.words = d.words[d.word_ends[f] : d.word_ends[f + 1]]
            column.code_of = {w: code for code, w in enumerate(column.words)}
            column.other = {e: next(other) for e in np.flatnonzero(column.kinds == OTHER).tolist()}
            out._columns.append(column)
            out._field_of[name] = f
        return out


def _plain(v: Any, where: str) -> Any:
    """`v` as JSON writes it back exactly, or TypeError."""
    if v is None or type(v) in (str, int, float, bool):
        return v
    if isinstance(v, np.generic) and v.dtype.kind in "biuf":
        return v.item()
    if isinstance(v, list):
        return [_plain(x, where) for x in v]
    if isinstance(v, dict):
        for key in v:
            if type(key) is not str:
                raise TypeError(f"{where}: keys of a dict in metadata must be str, not {type(key).__name__}")
        return {key: _plain(x, where) for key, x in v.items()}
    if isinstance(v, (str, int, float)):  # bool is never subclassed
        return _value(v)[1]
    raise TypeError(f"{where}: {type(v).__name__} is not a JSON value (dict, list, str, int, float, bool, None)")


def _texts(words: list[str]) -> tuple[np.ndarray, np.ndarray]:
    # surrogatepass: a str holding a lone surrogate comes back the same.
    data = [w.encode("utf-8", "surrogatepass") for w in words]
    ends = np.cumsum([len(b) for b in data], dtype=np.int64).astype("<i8")
    return np.frombuffer(b"".join(data), dtype=np.uint8).copy(), ends


def _joined(parts: list[np.ndarray], dtype: str) -> np.ndarray:
    return np.concatenate(parts).astype(dtype) if parts else np.empty(0, dtype=dtype)


_ARRAYS: Final = {
    "layout": ("<i4", "rows"),
    "layout_fields": ("<i4", None),
    "layout_ends": ("<i8", "layouts"),
    "names": ("u1", None),
    "name_ends": ("<i8", "fields"),
    "field_ends": ("<i8", "fields"),
    "kinds": ("i1", "entries"),
    "ints": ("<i8", "entries"),
    "floats": ("<f8", "entries"),
    "codes": ("<i4", "entries"),
    "strings": ("u1", None),
    "string_ends": ("<i8", None),
    "word_ends": ("<i8", "fields"),
    "other": ("u1", None),
}


class _Description:
    """The checked content of `to_arrays`' output."""

    def __init__(self, description: Any, arrays: Any, rows: Any) -> None:
        if not isinstance(description, dict):
            raise ValueError(f"the description is a {type(description).__name__}, not a dict")
        if description.get("version") != VERSION:
            raise ValueError(f"the description has version {description.get('version')!r}, not {VERSION}")
        sizes = {"rows": rows}
        for key in ("fields", "layouts", "entries"):
            sizes[key] = description.get(key)
        if description.get("rows") != rows:
            raise ValueError(f"the description holds {description.get('rows')!r} rows, not {rows!r}")
        for key, size in sizes.items():
            if type(size) is not int or size < 0:
                raise ValueError(f"the description's {key} must be an int from 0, not {size!r}")
        if not isinstance(arrays, Mapping) or set(arrays) != set(_ARRAYS):
            got = sorted(arrays) if isinstance(arrays, Mapping) else type(arrays).__name__
            raise ValueError(f"the arrays must be exactly {sorted(_ARRAYS)}, not {got}")
        a: dict[str, np.ndarray] = {}
        for name, (dtype, size_of) in _ARRAYS.items():
            v = arrays[name]
            if not isinstance(v, np.ndarray) or v.dtype != np.dtype(dtype) or v.ndim != 1:
                shown = f"{v.dtype} of shape {v.shape}" if isinstance(v, np.ndarray) else type(v).__name__
                raise ValueError(f"array {name!r} must be 1-D {np.dtype(dtype)}, not {shown}")
            if size_of is not None and len(v) != sizes[size_of]:
                raise ValueError(f"array {name!r} holds {len(v)} values, not {sizes[size_of]} ({size_of})")
            a[name] = v
        n_fields, n_entries = sizes["fields"], sizes["entries"]
        self.names = _decoded(a["names"], a["name_ends"], "field names")
        if len(set(self.names)) != len(self.names):
            raise ValueError("the field names repeat")
        # Layouts: distinct tuples of distinct fields.
        layout_ends = _ends(a["layout_ends"], len(a["layout_fields"]), "layout_ends")
        fields_of = a["layout_fields"].astype(np.int64)
        if len(fields_of) and (fields_of.min() < 0 or fields_of.max() >= n_fields):
            raise ValueError(f"a layout names a field outside [0, {n_fields})")
        self.layouts = [tuple(fields_of[lo:hi].tolist()) for lo, hi in pairwise(layout_ends)]
        if any(len(set(key)) != len(key) for key in self.layouts):
            raise ValueError("a layout names a field twice")
        if len(set(self.layouts)) != len(self.layouts):
            raise ValueError("a layout repeats")
        layout = a["layout"]
        if len(layout) and (layout.min() < -1 or layout.max() >= len(self.layouts)):
            raise ValueError(f"a row's layout is outside [-1, {len(self.layouts)})")
        self.layout = layout.astype(np.int32, copy=False)
        # Every (row, field) a layout gives, by field then row: the rows of
        # each field's entries.
        had = np.flatnonzero(layout >= 0)
        lengths = np.diff(layout_ends)[layout[had]]
        firsts = layout_ends[:-1][layout[had]]
        total = int(lengths.sum())
        if total != n_entries:
            raise ValueError(f"the layouts give {total} entries, the description {n_entries}")
        offsets = np.cumsum(lengths) - lengths
        field = fields_of[np.repeat(firsts - offsets, lengths) + np.arange(total)]
        order = np.argsort(field, kind="stable")
        self.pos = np.repeat(had, lengths)[order]
        counts = np.bincount(field, minlength=n_fields)
        if n_fields and counts.min() == 0:
            raise ValueError(f"field {self.names[int(np.argmin(counts))]!r} is in no row's layout")
        self.field_ends = _ends(a["field_ends"], n_entries, "field_ends").tolist()
        if not np.array_equal(np.diff(self.field_ends), counts):
            raise ValueError("field_ends do not count the entries the layouts give")
        # Entries.
        kinds = a["kinds"]
        if not np.isin(kinds, _KINDS).all():
            bad = kinds[~np.isin(kinds, _KINDS)][0]
            raise ValueError(f"unknown kind {int(bad)} of an entry")
        ints = a["ints"]
        if ((kinds == BOOL) & (ints != 0) & (ints != 1)).any():
            raise ValueError("a bool entry holds neither 0 nor 1")
        self.words = _decoded(a["strings"], a["string_ends"], "strings")
        self.word_ends = _ends(a["word_ends"], len(self.words), "word_ends").tolist()
        codes = a["codes"].astype(np.int64)
        field_of_entry = np.repeat(np.arange(n_fields), np.diff(self.field_ends))
        vocabulary = np.diff(self.word_ends)[field_of_entry] if n_entries else np.zeros(0, dtype=np.int64)
        if ((kinds == STR) & ((codes < 0) | (codes >= vocabulary))).any():
            raise ValueError("a str entry's code is outside its field's strings")
        if ((kinds != STR) & (codes != -1)).any():
            raise ValueError("an entry that is not a str has a code")
        for f in range(n_fields):
            lo, hi = self.word_ends[f], self.word_ends[f + 1]
            if len(set(self.words[lo:hi])) != hi - lo:
                raise ValueError(f"the strings of field {self.names[f]!r} repeat")
        self.kinds, self.ints, self.floats, self.codes = kinds, ints, a["floats"], a["codes"]
        try:
            other = json.loads(a["other"].tobytes().decode("ascii"))
        except ValueError as e:
            raise ValueError(f"the other values are not JSON text: {e}") from None
        want = int((kinds == OTHER).sum())
        if not isinstance(other, list) or len(other) != want:
            raise ValueError(f"the other values must be a list of {want}")
        for v in other:
            if _value(v)[0] != OTHER:
                raise ValueError(f"an other value is {type(v).__name__} {v!r}, a kind of its own")
        self.other = other


def _ends(ends: np.ndarray, size: int, what: str) -> np.ndarray:
    """[0, *ends] as int64, checked non-decreasing and ending at `size`."""
    out = np.concatenate([[0], ends.astype(np.int64)])
    if (np.diff(out) < 0).any() or out[-1] != size:
        raise ValueError(f"{what} must rise from 0 to {size}")
    return out


def _decoded(data: np.ndarray, ends: np.ndarray, what: str) -> list[str]:
    bounds = _ends(ends, len(data), f"the ends of the {what}").tolist()
    raw = data.tobytes()
    try:
        return [raw[lo:hi].decode("utf-8", "surrogatepass") for lo, hi in pairwise(bounds)]
    except UnicodeDecodeError as e:
        raise ValueError(f"the {what} are not UTF-8: {e}") from None
