"""The comparison catches a wrong merge: each deliberately wrong merge
answers the exactness grid from the index's own shards in place of the real
one, and the grid must report it."""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np
import pytest

from orbisk_shard import LocalBackend, Part, merge

import exactness
from conftest import mismatch


def _ties_by_descending_id(parts: Sequence[Part], keep: int) -> Part:
    ids = np.concatenate([p[0] for p in parts], axis=1)
    d = np.concatenate([p[1] for p in parts], axis=1)
    nan = np.isnan(d)
    order = np.lexsort((-ids, np.where(nan, 0.0, d), nan), axis=-1)[:, :keep]
    return np.take_along_axis(ids, order, 1), np.take_along_axis(d, order, 1)


def _nan_first(parts: Sequence[Part], keep: int) -> Part:
    ids = np.concatenate([p[0] for p in parts], axis=1)
    d = np.concatenate([p[1] for p in parts], axis=1)
    nan = np.isnan(d)
    order = np.lexsort((ids, np.where(nan, 0.0, d), ~nan), axis=-1)[:, :keep]
    return np.take_along_axis(ids, order, 1), np.take_along_axis(d, order, 1)


def _plain_distance_id_sort(parts: Sequence[Part], keep: int) -> Part:
    """sorted() on (distance, id) tuples: NaN compares false with every
    number, so the sort leaves NaN (and whatever follows it) in place."""
    ids = np.concatenate([p[0] for p in parts], axis=1)
    d = np.concatenate([p[1] for p in parts], axis=1)
    out_ids = np.empty((ids.shape[0], keep), dtype=np.int64)
    out_d = np.empty((ids.shape[0], keep), dtype=np.float64)
    for i in range(ids.shape[0]):
        pairs = sorted(zip(d[i].tolist(), ids[i].tolist(), strict=True))[:keep]
        out_d[i] = [p[0] for p in pairs]
        out_ids[i] = [p[1] for p in pairs]
    return out_ids, out_d


@pytest.mark.parametrize("wrong", [_ties_by_descending_id, _nan_first, _plain_distance_id_sort])
def test_a_wrong_merge_is_caught(wrong: exactness.Merge) -> None:
    compared, bad = exactness.run(LocalBackend, n=600, merge=wrong)
    assert compared > 0
    assert bad, f"{wrong.__name__} was not caught"


@pytest.mark.parametrize("through", ["the index", "its shards"])
def test_the_real_merge_passes_the_same_grid(through: str) -> None:
    compared, bad = exactness.run(LocalBackend, n=600, merge=None if through == "the index" else merge)
    assert compared == 3 * 3 * 7 * 6 * 2 and not bad


def test_mismatch_sees_the_last_bit_types_and_length() -> None:
    base = [(0, 1.0), (1, math.nan)]
    assert mismatch(base, [(0, 1.0), (1, math.nan)]) is None
    assert mismatch(base, [(0, math.nextafter(1.0, 2.0)), (1, math.nan)])
    assert mismatch([(0, 0.0)], [(0, -0.0)])
    assert mismatch(base, [(1, math.nan), (0, 1.0)])
    assert mismatch(base, base[:1])
    assert mismatch(base, [(0, 1.0), (1, 2.0)])
    assert mismatch([(0, 1.0)], [(np.int64(0), 1.0)])  # type: ignore[list-item]
