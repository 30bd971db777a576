"""Rows kept as float32: the same bits as float64 storage of the same values,
through changes and files; values float32 cannot keep are refused."""

from __future__ import annotations

import numpy as np
import pytest

from orbisk_companion import Index, IndexFileError, load
from orbisk_shard import METRICS

DIM = 6


def _pair(metric: str) -> tuple[Index, Index]:
    rng = np.random.default_rng(3)
    rows = rng.standard_normal((60, DIM)).astype(np.float32)
    rows[7] = rows[3]  # ties keep insertion order
    meta = [{"g": i % 4} for i in range(60)]
    out = []
    for storage in ("float32", "float64"):
        index = Index(DIM, metric, storage=storage)
        index.add(rows, keys=[f"k{i}" for i in range(60)], metadata=meta)
        index.remove(["k5", "k9"])
        index.update(["k11"], rows[:1] * 2)
        out.append(index)
    return out[0], out[1]


def _answers(index: Index) -> list:
    queries = np.random.default_rng(4).standard_normal((5, DIM))
    mask = np.arange(len(index)) % 3 == 0
    got = []
    for where in (None, {"g": 2}, mask, ["k1", "k3", "k7", "k40"]):
        keys, scores = index.search_batch(queries, 7, filter=where)
        got.append((keys.tolist(), scores.tobytes()))
        keys, scores = index.search(queries[0], 7, filter=where)
        got.append((keys.tolist(), scores.tobytes()))
    keys, scores = index.search_radius(queries[1], 0.1 if index.metric != "euclidean" else 3.0)
    return [*got, (keys.tolist(), scores.tobytes())]


@pytest.mark.parametrize("metric", METRICS)
def test_float32_storage_answers_as_float64_storage_of_the_same_values(tmp_path, metric):
    narrow, wide = _pair(metric)
    assert narrow.storage == "float32" and narrow.rows.dtype == np.float32
    assert narrow.rows.tobytes() == wide.rows.astype(np.float32).tobytes()
    want = _answers(wide)
    assert _answers(narrow) == want
    narrow.save(tmp_path / "ix.idx")
    for again in (
        load(tmp_path / "ix.idx"),
        load(tmp_path / "ix.idx", mmap=True),
        Index.from_snapshot(narrow.snapshot()),
    ):
        assert again.storage == "float32" and again.rows.dtype == np.float32
        assert _answers(again) == want


def test_a_value_float32_cannot_keep_is_refused_naming_its_row():
    index = Index(2, storage="float32")
    index.add(np.array([[0.5, 1.0]]), keys=["a"])
    one_ulp_off = np.nextafter(np.float64(np.float32(0.1)), 1.0)
    for rows, row in (([[0.25, 0.5], [1.0, one_ulp_off]], 1), ([[2.0**24 + 1, 0.0]], 0)):
        with pytest.raises(ValueError, match=f"row {row} of vectors holds a value that float32 storage cannot keep"):
            index.add(np.array(rows), keys=["b", "c"][: len(rows)])
    assert index.keys == ["a"] and len(index.native) == 1
    index.add(np.array([[float(np.float32(0.1)), 3]]), keys=["b"])  # exact float32 values in float64: taken
    assert index.rows.tolist() == [[0.5, 1.0], [float(np.float32(0.1)), 3.0]]


@pytest.mark.parametrize(
    "kind, storage, message",
    [("graph", "float32", "for kind='flat'"), ("sharded", "float32", "for kind='flat'"), ("flat", "half", "must be")],
)
def test_storage_is_float64_or_float32_for_a_flat_index(kind, storage, message):
    with pytest.raises(ValueError, match=message):
        Index(DIM, kind=kind, storage=storage)


def test_a_file_whose_rows_disagree_with_its_storage_is_refused(tmp_path):
    from test_persistence import _rewritten

    narrow, _ = _pair("euclidean")
    narrow.save(tmp_path / "ix.idx")
    _rewritten(tmp_path / "ix.idx", lambda header, arrays: header.update(storage="float64"))
    for mmap in (False, True):
        with pytest.raises(IndexFileError, match="'rows' must be float64"):
            load(tmp_path / "ix.idx", mmap=mmap)
