"""NaN and infinities: refused in rows and queries unless the index allows them."""

from __future__ import annotations

import io
import json

import numpy as np
import pytest

from orbisk_companion import Index, load
from orbisk_companion._arguments import refuse_nonfinite

from plain import ranking, same
from test_persistence import version1

KINDS = ["flat", "graph", "sharded"]
BAD = [np.nan, np.inf, -np.inf]


def made(kind: str, **kw) -> Index:
    index = Index(3, "euclidean", kind, **kw)
    index.add(np.arange(12.0).reshape(4, 3), keys=list("abcd"))
    return index


def snapshot(index: Index):
    return (len(index), index.keys, index.rows.tobytes(), index.search(np.zeros(3), 10)[0].tolist())


def poisoned(n: int, row: int, value: float) -> np.ndarray:
    a = np.ones((n, 3))
    a[row, 2] = value  # the last column of a later row
    return a


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("value", BAD, ids=repr)
def test_non_finite_rows_and_queries_are_refused_naming_the_row(kind, value):
    index = made(kind)
    before = snapshot(index)
    with pytest.raises(ValueError, match="^row 3 of vectors holds NaN or infinity"):
        index.add(poisoned(5, 3, value), keys=list("vwxyz"))
    assert snapshot(index) == before and "v" not in index
    with pytest.raises(ValueError, match="^the query holds NaN or infinity"):
        index.search(poisoned(1, 0, value)[0], 2)
    with pytest.raises(ValueError, match="^row 2 of queries holds NaN or infinity"):
        index.search_batch(poisoned(4, 2, value), 2)
    assert snapshot(index) == before
    assert index.allow_nonfinite is False
    with pytest.raises(AttributeError):
        index.allow_nonfinite = True  # type: ignore[misc]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("value", BAD, ids=repr)
def test_allowed_non_finite_values_rank_as_the_extension_ranks_them(kind, value):
    index = made(kind, allow_nonfinite=True)
    index.add(poisoned(2, 1, value), keys=["e", "f"])
    rows = index.rows
    for q in (np.zeros(3), poisoned(1, 0, value)[0]):
        keys, scores = index.search(q, 6)
        want = ranking("euclidean", rows, q, 6)
        assert keys.tolist() == ["abcdef"[i] for i, _ in want]
        assert all(same(s, w) for s, (_, w) in zip(scores.tolist(), want, strict=True))
        batch_keys, _ = index.search_batch(np.vstack([q, q]), 6)
        assert batch_keys.tolist() == [keys.tolist()] * 2


def rewritten_header(path, drop: str) -> None:
    """The file at `path` as written before the header had the field `drop`."""
    with np.load(path) as z:
        arrays = {name: z[name] for name in z.files}
    header = json.loads(arrays["header"].tobytes())
    del header[drop]
    arrays["header"] = np.frombuffer(json.dumps(header).encode(), dtype=np.uint8)
    out = io.BytesIO()
    np.savez(out, **arrays)
    path.write_bytes(out.getvalue())


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("allowed, holds_nan", [(False, False), (True, False), (True, True)])
def test_files_keep_the_choice_and_older_files_allow_what_they_hold(tmp_path, kind, allowed, holds_nan):
    index = made(kind, allow_nonfinite=allowed)
    if holds_nan:
        index.add(poisoned(1, 0, np.nan))
    path = tmp_path / "x.npz"
    index.save(path)
    assert load(path).allow_nonfinite is allowed
    path.write_bytes(version1(index))  # the first release's format, then without the field
    rewritten_header(path, "allow_nonfinite")
    again = load(path)
    assert again.allow_nonfinite is holds_nan and again.rows.tobytes() == index.rows.tobytes()


@pytest.mark.parametrize("value", BAD, ids=repr)
@pytest.mark.parametrize("row", [0, 63, 64, 127, 128, 199], ids=lambda r: f"row{r}")
def test_the_check_in_blocks_of_rows_finds_a_value_at_each_edge_of_a_block(row, value):
    # 1024 values a row: blocks of 64 rows; the last row of a block, the
    # first of the next, and the last row of all.
    a = np.ones((200, 1024), dtype=np.float32)
    a[row, -1] = value
    with pytest.raises(ValueError, match=rf"^row {row} of vectors holds NaN or infinity"):
        refuse_nonfinite(a, "vectors")
    refuse_nonfinite(np.ones((200, 1024)), "vectors")


@pytest.mark.parametrize(
    "kind, storage", [("flat", "float64"), ("flat", "float32"), ("graph", "float64"), ("sharded", "float64")]
)
@pytest.mark.parametrize("row", [3, 35], ids=["in-a-full-block", "in-the-open-block"])
def test_a_file_whose_rows_its_index_refuses_is_refused_by_a_checked_load(tmp_path, kind, storage, row):
    from orbisk_companion import IndexFileError, _container

    rows = np.ones((40, 3))
    rows[7] = 0.0  # a row of zeros has no code either: kept
    rows[row, 1] = np.inf
    index = Index(3, "euclidean", kind, allow_nonfinite=True, **({"storage": storage} if kind == "flat" else {}))
    index.add(rows)
    path = tmp_path / "x.idx"
    index.save(path)
    header, arrays = _container.read(path)
    _container.write(path, dict(header, allow_nonfinite=False), {name: np.array(a) for name, a in arrays.items()})
    for options in ({}, {"mmap": True, "verify": True}):
        with pytest.raises(IndexFileError, match="its rows hold NaN or infinity, which its index refuses"):
            load(path, **options)
    rows[row, 1] = 1.0
    index = Index(3, "euclidean", kind, **({"storage": storage} if kind == "flat" else {}))
    index.add(rows)
    index.save(path)
    assert load(path).rows.tobytes() == index.rows.tobytes()
