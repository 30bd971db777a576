"""Row metadata as typed columns, against plain Python lists of dicts."""

from __future__ import annotations

import math
from collections.abc import Callable, Iterator, Mapping
from typing import Any

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from orbisk_companion import _columns, _values
from orbisk_companion._columns import Columns

NAN = float("nan")
INT64 = range(-(2**63), 2**63)


def kind(v: Any) -> _values.Tagged | None:
    """What a filter compares: the graph's tags, for the values a row may hold."""
    if isinstance(v, (bool, np.bool_)):
        return ("i", int(v))
    if isinstance(v, (int, np.integer)):
        return ("i", int(v)) if int(v) in INT64 else None
    if isinstance(v, (float, np.floating)):
        return ("f", float(v))
    if isinstance(v, str):
        return ("s", v)
    return None


def admits(row: Mapping[str, Any] | None, where: Mapping[str, Any]) -> bool:
    if row is None:
        return not where
    for name, wanted in where.items():
        got = kind(row[name]) if name in row else None
        if got is None or not _values.matches(got, kind(wanted)):  # type: ignore[arg-type]
            return False
    return True


def stored(v: Any) -> Any:
    """A value as the columns give it back: numpy scalars as Python values."""
    return v.item() if isinstance(v, np.generic) else v


def same(a: Any, b: Any) -> bool:
    """Equal with the same types all the way down (NaN equal to NaN)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b, strict=True))
    return bool(a == b)


def expected(m: Mapping[str, Any] | None) -> dict[str, Any] | None:
    return None if m is None else {k: stored(v) for k, v in m.items()}


def check(c: Columns, rows: list[Any], filters: list[dict[str, Any]]) -> None:
    assert len(c) == len(rows)
    got = c.rows(np.arange(len(rows)))
    assert all(same(g, expected(r)) for g, r in zip(got, rows, strict=True)), (got, rows)
    for where in filters:
        want = np.array([admits(r, where) for r in rows], dtype=bool)
        np.testing.assert_array_equal(c.mask(where), want, err_msg=repr(where))


def copied(c: Columns) -> Columns:
    description, arrays = c.to_arrays()
    return Columns.from_arrays(description, arrays, len(c))


names = st.sampled_from(["a", "b", "c", "é", "\ud800"])
values = st.one_of(
    st.sampled_from(
        [
            0,
            1,
            -1,
            2**63 - 1,
            -(2**63),
            2**63,
            -(2**70),
            True,
            False,
            0.0,
            -0.0,
            1.0,
            1.5,
            NAN,
            math.inf,
            -math.inf,
            "",
            "1",
            "a",
            "é",
            "\ud800",
            "😀",
            None,
            np.int64(1),
            np.uint64(2**64 - 1),
            np.float32(1.5),
            np.bool_(True),
        ]
    ),
    st.lists(st.integers(-3, 3), max_size=2),
    st.dictionaries(st.sampled_from(["x", "1"]), st.one_of(st.none(), st.floats()), max_size=2),
)
rows_st = st.one_of(st.none(), st.dictionaries(names, values, max_size=4))
batches_st = st.lists(st.lists(rows_st, max_size=6), min_size=1, max_size=4)
wanted = st.sampled_from(
    [
        0,
        1,
        -1,
        True,
        False,
        2**63 - 1,
        0.0,
        -0.0,
        1.0,
        1.5,
        NAN,
        math.inf,
        "",
        "1",
        "a",
        "\ud800",
        np.int64(1),
        np.float32(1.5),
    ]
)
filters_st = st.lists(st.dictionaries(names, wanted, max_size=2), min_size=1, max_size=6)


@settings(max_examples=300, deadline=None)
@given(batches_st, filters_st, st.data())
def test_columns_agree_with_lists_of_dicts(
    batches: list[list[Any]], filters: list[dict[str, Any]], data: st.DataObject
) -> None:
    c = Columns()
    rows: list[Any] = []
    for batch in batches:
        c.append(batch)
        rows += batch
        check(c, rows, filters)
    c = copied(c)
    check(c, rows, filters)
    keep = data.draw(st.lists(st.booleans(), min_size=len(rows), max_size=len(rows)))
    c.take(np.array(keep, dtype=bool) if data.draw(st.booleans()) else np.flatnonzero(keep))
    rows = [r for r, k in zip(rows, keep, strict=True) if k]
    check(c, rows, filters)
    # Files and appends go on from a compacted state.
    c = copied(c)
    check(c, rows, filters)
    more = data.draw(st.lists(rows_st, max_size=4))
    c.append(more)
    check(c, rows + more, filters)


@pytest.mark.parametrize(
    "value, where, hit",
    [
        (1, 1, True),
        (1, 1.0, False),
        (1, "1", False),
        (1.0, 1, False),
        ("1", 1, False),
        (True, 1, True),
        (1, True, True),
        (False, 0, True),
        (True, 1.0, False),
        (False, -0.0, False),
        (NAN, NAN, False),
        (NAN, 1.0, False),
        (-0.0, 0.0, True),
        (0.0, -0.0, True),
        (math.inf, math.inf, True),
        (2**63 - 1, 2**63 - 1, True),
        (-(2**63), -(2**63), True),
        (2**63, float(2**63), False),
        (None, 0, False),
        ([1], 1, False),
        ("é", "é", True),
        (np.float32(0.1), float(np.float32(0.1)), True),
        (np.int8(-1), -1, True),
    ],
)
def test_typed_equality(value: Any, where: Any, hit: bool) -> None:
    c = Columns()
    c.append([{"f": value}, {"g": where}, {}, None])
    assert c.mask({"f": where}).tolist() == [hit, False, False, False]
    assert c.mask({"f": where, "g": where}).tolist() == [False] * 4
    assert copied(c).mask({"f": where}).tolist() == [hit, False, False, False]


def test_masks_over_several_fields_and_missing_ones() -> None:
    c = Columns()
    c.append([{"a": 1, "b": "x"}, {"b": "x", "a": 1}, {"a": 1}, {"b": "x", "a": 2}, None])
    assert c.mask({"a": 1, "b": "x"}).tolist() == [True, True, False, False, False]
    assert c.mask({"zz": 1}).tolist() == [False] * 5
    assert c.mask({"b": "never"}).tolist() == [False] * 5
    assert c.mask({}).tolist() == [True] * 5
    assert list(c.row(1) or ()) == ["b", "a"]  # the row's own key order


@pytest.mark.parametrize(
    "where, error, text",
    [
        ({"a": [1]}, ValueError, "'a'.*list"),
        ({"a": None}, ValueError, "'a'.*NoneType"),
        ({"a": 2**63}, ValueError, "'a'.*int64"),
        ({"a": b"1"}, ValueError, "'a'.*bytes"),
        ({1: 1}, TypeError, "int"),
        ([("a", 1)], TypeError, "mapping"),
    ],
)
def test_bad_filters(where: Any, error: type[Exception], text: str) -> None:
    c = Columns()
    c.append([{"a": 1}])
    with pytest.raises(error, match=text):
        c.mask(where)


def test_rows_are_new_dicts() -> None:
    given_row = {"a": 1, "b": [2]}
    c = Columns()
    c.append([given_row, {}, None])
    given_row["a"] = 5
    first = c.row(0)
    assert first == {"a": 1, "b": [2]} and first is not given_row
    first["a"] = 7
    assert c.row(0) == {"a": 1, "b": [2]}
    assert c.row(1) == {} and c.row(2) is None
    with pytest.raises(IndexError):
        c.row(3)
    with pytest.raises(IndexError):
        c.rows([0, -1])


def state(c: Columns) -> tuple[Any, ...]:
    description, arrays = c.to_arrays()
    return description, {k: v.tobytes() for k, v in arrays.items()}, c.rows(range(len(c)))


class Exploding(Mapping[str, Any]):
    def __getitem__(self, key: str) -> Any:
        return 1

    def __len__(self) -> int:
        return 1

    def __iter__(self) -> Iterator[str]:
        raise RuntimeError("no items")


class Twice(Exploding):
    def __iter__(self) -> Iterator[str]:
        return iter(["a", "a"])


@pytest.mark.parametrize(
    "batch, error",
    [
        ([{"a": 1, "new": "s"}, {"a": 2}, 5], TypeError),
        ([{"a": 1, "new": "s"}, {"a": 2, 3: "x"}], TypeError),
        ([{"new": 1}, Exploding()], RuntimeError),
        ([{"new": 1}, Twice()], ValueError),
    ],
)
def test_a_failed_append_changes_nothing(batch: list[Any], error: type[Exception]) -> None:
    c = Columns()
    c.append([{"a": 0, "b": "x"}, None, {"a": 1.5}])
    before = state(c)
    with pytest.raises(error, match="row 2|row 1|items"):
        c.append(batch)
    assert state(c) == before
    c.append([{"a": 3}])
    assert c.rows(range(4)) == [{"a": 0, "b": "x"}, None, {"a": 1.5}, {"a": 3}]
    assert c.mask({"new": 1}).tolist() == [False] * 4


def test_each_allocation_failing_in_turn_changes_nothing(monkeypatch: pytest.MonkeyPatch) -> None:
    grown = _columns._grown

    def failing_at(fail: int) -> Callable[[np.ndarray, int, int], np.ndarray]:
        calls = iter(range(1000))

        def failing(a: np.ndarray, count: int, need: int) -> np.ndarray:
            if next(calls) == fail:
                raise MemoryError
            return grown(a, count, need)

        return failing

    for fail in range(100):
        c = Columns()
        c.append([{"a": 0, "b": "x"}, {"b": "y"}])
        before = state(c)
        monkeypatch.setattr(_columns, "_grown", failing_at(fail))
        try:
            c.append([{"a": 1, "b": "z", "c": 2.5}] * 50)
        except MemoryError:
            monkeypatch.undo()
            assert state(c) == before, fail
        else:
            monkeypatch.undo()
            assert fail > 4 and c.mask({"b": "z"}).sum() == 50
            break


@pytest.mark.parametrize(
    "keep, error",
    [
        ([1, 0], ValueError),
        ([0, 0], ValueError),
        ([0, 3], IndexError),
        ([-1], IndexError),
        (np.ones(2, dtype=bool), ValueError),
        ([0.0], TypeError),
    ],
)
def test_take_refuses_bad_positions(keep: Any, error: type[Exception]) -> None:
    c = Columns()
    c.append([{"a": 1}, {"a": "s"}, None])
    before = state(c)
    with pytest.raises(error):
        c.take(keep)
    assert state(c) == before


def test_take_forgets_strings_and_fields_of_dropped_rows() -> None:
    c = Columns()
    c.append([{"s": "gone", "only": 1}, {"s": "kept"}, {"s": "gone"}, {"s": "kept", "t": 2}])
    c.take([1, 3])
    assert c.fields == ["s", "t"]
    description, arrays = c.to_arrays()
    assert bytes(arrays["strings"]) == b"kept" and description["entries"] == 3
    assert c.mask({"s": "kept"}).tolist() == [True, True]
    assert c.mask({"t": 2}).tolist() == [False, True]


def test_files_keep_what_json_loses() -> None:
    huge = 10**40
    rows: list[Any] = [
        {"big": huge, "neg": -huge, "f": -0.0, "inf": -math.inf, "nan": NAN},
        {"s": "\ud800\U0010ffff\x00", "\x00é": [NAN, {"k": None}]},
        {},
        None,
        {"b": np.bool_(False), "i": np.int32(-7), "x": np.float16(0.5)},
    ]
    c = Columns()
    c.append(rows)
    back = copied(c)
    assert all(same(g, expected(r)) for g, r in zip(back.rows(range(5)), rows, strict=True))
    assert math.copysign(1.0, back.row(0)["f"]) == -1.0  # type: ignore[index]


@pytest.mark.parametrize("value", [(1, 2), {1: "x"}, {"k": {2}}, object(), 1j])
def test_files_refuse_what_they_cannot_give_back(value: Any) -> None:
    c = Columns()
    c.append([{"a": 1}, {"v": value}])
    with pytest.raises(TypeError, match="row 1, field 'v'"):
        c.to_arrays()


def _bad(description: dict[str, Any], arrays: dict[str, np.ndarray], what: str) -> None:
    edits: dict[str, Any] = {
        "version": lambda: description.update(version=2),
        "rows": lambda: description.update(rows=description["rows"] + 1),
        "missing": lambda: arrays.pop("floats"),
        "extra": lambda: arrays.update(more=np.zeros(1)),
        "dtype": lambda: arrays.update(ints=arrays["ints"].astype(np.int32)),
        "short": lambda: arrays.update(kinds=arrays["kinds"][:-1]),
        "kind": lambda: arrays["kinds"].__setitem__(0, 7),
        "bool": lambda: arrays["ints"].__setitem__(list(arrays["kinds"]).index(5), 2),
        "code": lambda: arrays["codes"].__setitem__(list(arrays["kinds"]).index(1), 9),
        "stray code": lambda: arrays["codes"].__setitem__(list(arrays["kinds"]).index(4), 0),
        "layout": lambda: arrays["layout"].__setitem__(0, 99),
        "layout field": lambda: arrays["layout_fields"].__setitem__(0, 99),
        "layout twice": lambda: arrays["layout_fields"].__setitem__(1, arrays["layout_fields"][0]),
        "field ends": lambda: arrays["field_ends"].__setitem__(0, arrays["field_ends"][0] + 1),
        "names": lambda: arrays["names"].__setitem__(0, 0xFF),
        "same names": lambda: arrays.update(
            names=np.frombuffer(b"aaaa", dtype=np.uint8).copy(), name_ends=np.array([1, 2, 3, 4], dtype="<i8")
        ),
        "other": lambda: arrays.update(other=np.frombuffer(b'["x"]', dtype=np.uint8).copy()),
        "other count": lambda: arrays.update(other=np.frombuffer(b"[]", dtype=np.uint8).copy()),
    }
    edits[what]()


@pytest.mark.parametrize(
    "what",
    [
        "version",
        "rows",
        "missing",
        "extra",
        "dtype",
        "short",
        "kind",
        "bool",
        "code",
        "stray code",
        "layout",
        "layout field",
        "layout twice",
        "field ends",
        "names",
        "same names",
        "other",
        "other count",
    ],
)
def test_from_arrays_refuses_inconsistent_input(what: str) -> None:
    c = Columns()
    c.append([{"a": 1, "b": "x"}, {"c": True, "a": [1]}, None, {"d": 0.5}])
    description, arrays = c.to_arrays()
    arrays = {k: v.copy() for k, v in arrays.items()}
    Columns.from_arrays(description, arrays, 4)  # as written, it loads
    _bad(description, arrays, what)
    with pytest.raises(ValueError):
        Columns.from_arrays(description, arrays, 4)
