"""Masks, radius search, removal and compaction of a ShardedFlat: after any
history of appends, removals and compactions it answers as one engine
FlatIndex holding the same rows, bit for bit (with float32 shards too, over
the same values), and a refused call changes nothing on any shard. A
ShardedGraph whose k covers a shard's rows answers the same."""

from __future__ import annotations

import re
from collections.abc import Callable
from typing import Any

import numpy as np
import pytest

import orbisk_engine
from orbisk_shard import LocalBackend, ShardedFlat, ShardedGraph
from orbisk_shard._holder import ShardIndex
from orbisk_shard._store import Batches

DIM = 5


def _np(result: Any) -> tuple[np.ndarray, ...]:
    return tuple(np.asarray(x) for x in result)


def same(got: tuple[np.ndarray, ...], expected: tuple[np.ndarray, ...]) -> None:
    """Equal arrays: same shapes, dtypes and bits (zeros' signs included)."""
    assert len(got) == len(expected)
    for g, e in zip(got, expected, strict=True):
        assert g.shape == e.shape and g.dtype == e.dtype, (g.shape, e.shape, g.dtype, e.dtype)
        assert np.array_equal(g.view(f"i{g.itemsize}"), e.view(f"i{e.itemsize}")), (g, e)


KINDS = ["flat", "float32", "graph"]


class Twins:
    """A sharded index and one engine FlatIndex (float64) given the same
    calls. `kind`: ShardedFlat, ShardedFlat with float32 storage (rows that
    float32 keeps), or ShardedGraph, compared only where k covers the rows
    of every shard (a walk then returns them all)."""

    def __init__(
        self,
        rng: np.random.Generator,
        metric: str,
        shards: int,
        max_rows: int | None,
        backend: Any = None,
        kind: str = "flat",
    ) -> None:
        self.rng = rng
        self.kind = kind
        given = {"shards": shards, "max_shard_rows": max_rows, "backend": backend}
        if kind == "graph":
            self.index: Any = ShardedGraph(DIM, metric, **given, m=2, ef_search=1, seed=int(rng.integers(99)))
        else:
            self.index = ShardedFlat(DIM, metric, **given, storage="float32" if kind == "float32" else "float64")
        self.reference = orbisk_engine.FlatIndex(DIM, metric)
        self.pool = np.round(rng.normal(size=(8, DIM)), 1)  # rows met again: ties across shards

    def add(self) -> None:
        n = int(self.rng.integers(1, 14))
        rows = np.round(self.rng.normal(size=(n, DIM)), 1)
        again = self.rng.random(n) < 0.4
        rows[again] = self.pool[self.rng.integers(0, len(self.pool), int(again.sum()))]
        rows[self.rng.random(n) < 0.1] = 0.0
        if self.kind == "float32":
            rows = rows.astype(np.float32)
        self.index.create(rows)
        self.reference.add(rows)

    def remove(self) -> None:
        live = [i for i in range(len(self.reference)) if not self.reference.is_removed(i)]
        if not live:
            return
        ids = self.rng.permutation(live)[: int(self.rng.integers(1, max(len(live) // 3, 1) + 1))]
        self.index.remove(ids)
        self.reference.remove(ids)

    def compact(self) -> None:
        self.index.compact()
        self.reference.compact()

    def masks(self) -> list[np.ndarray | None]:
        n = len(self.reference)
        one = np.zeros(n, dtype=bool)
        if n:
            one[self.rng.integers(0, n)] = True
        return [None, self.rng.random(n) < 0.3, one, np.ones(n, dtype=bool), np.zeros(n, dtype=bool)]

    def check(self, queries: np.ndarray) -> None:
        index, reference = self.index, self.reference
        assert len(index) == len(reference) and index.removed == reference.removed
        ranges = index.shard_ranges
        assert [r.start for r in ranges] == [0, *(r.stop for r in ranges[:-1])] and ranges[-1].stop == len(index)
        for i in range(len(reference)):
            assert index.is_removed(i) == reference.is_removed(i)
        for mask in self.masks():
            admitted = (
                len(reference) - reference.removed
                if mask is None
                else int(sum(mask[i] and not reference.is_removed(i) for i in range(len(reference))))
            )
            widest = max(len(r) for r in ranges)
            for k in (widest, admitted + 2) if self.kind == "graph" else (1, 3, admitted + 2):
                same(index.search_batch(queries, k, mask=mask), _np(reference.search(queries, k, mask=mask)))
            if self.kind == "graph":
                continue
            expected = _np(reference.search(queries, admitted + 2, mask=mask))[1]
            radii = [0.0, np.inf, float(np.median(expected)) if expected.size else 1.0]
            if expected.size:
                # A row's exact distance, and one ulp below it.
                exact = float(expected[0, expected.shape[1] // 2])
                radii += [exact, float(np.nextafter(exact, -np.inf))]
            for radius in radii:
                same(
                    index.search_radius(queries, radius, mask=mask),
                    _np(reference.search_radius(queries, radius, mask=mask)),
                )
        rows = np.asarray(reference.rows).astype(np.float32 if self.kind == "float32" else np.float64)
        if len(rows):
            picked = self.rng.integers(0, len(rows), 7)
            same((index.rows_of(picked),), (rows[picked],))
        live = np.array([not reference.is_removed(i) for i in range(len(rows))], dtype=bool)
        chunks = list(index.iter_rows(chunk=4))
        assert all(len(c) == 4 for c in chunks[:-1]) and all(0 < len(c) <= 4 for c in chunks)
        same((np.concatenate(chunks) if chunks else np.empty((0, DIM)),), (rows[live].reshape(-1, DIM),))


def run_history(twins: Twins, steps: int) -> None:
    queries = np.concatenate([twins.pool[:3], np.round(twins.rng.normal(size=(3, DIM)), 1)])
    twins.add()
    twins.check(queries)
    for _ in range(steps):
        step = twins.rng.choice(["add", "remove", "remove", "compact"])
        getattr(twins, str(step))()
        twins.check(queries)
    # Adding after it all: ids go on from len().
    twins.add()
    twins.check(queries)


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "inner_product"])
@pytest.mark.parametrize(("shards", "max_rows"), [(1, None), (2, 4), (3, 7), (5, 3)])
@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("kind", KINDS)
def test_histories_answer_as_one_engine_index(
    metric: str, shards: int, max_rows: int | None, seed: int, kind: str
) -> None:
    run_history(Twins(np.random.default_rng(seed), metric, shards, max_rows, kind=kind), steps=12)


@pytest.mark.parametrize("kind", KINDS)
def test_histories_through_every_backend(backend: Callable[[], Any], kind: str) -> None:
    twins = Twins(np.random.default_rng(7), "euclidean", 3, 5, backend(), kind)
    try:
        run_history(twins, steps=8)
    finally:
        twins.index.close()


def _filled(shards: int = 3, max_rows: int | None = 4) -> tuple[ShardedFlat, orbisk_engine.FlatIndex]:
    rows = np.random.default_rng(3).normal(size=(20, DIM))
    index = ShardedFlat(DIM, shards=shards, max_shard_rows=max_rows)
    index.create(rows)
    reference = orbisk_engine.FlatIndex(DIM)
    reference.add(rows)
    index.remove([2, 9])
    reference.remove(np.array([2, 9]))
    return index, reference


def _k_best(target: Any) -> Any:
    return target.search_batch if isinstance(target, ShardedFlat) else target.search


def _state(index: ShardedFlat) -> tuple[Any, ...]:
    """What a refused call must leave as it was, the shards' own indexes too."""
    held = [(len(s._held._index), s._held._index.removed) for s in index.shards]
    return len(index), index.removed, index.shard_ranges, held, index.search_batch(np.ones((2, DIM)), 30)


def _same_error(
    call: Callable[[Any], Any], index: ShardedFlat, reference: orbisk_engine.FlatIndex, same_text: bool = True
) -> None:
    """`call` raises the same error type (and text) on both, and changes
    neither."""
    before = _state(index)
    with pytest.raises(Exception) as expected:
        call(reference)
    with pytest.raises(type(expected.value), match=f"^{re.escape(str(expected.value))}$" if same_text else None):
        call(index)
    after = _state(index)
    assert before[:4] == after[:4]
    same(after[4], before[4])


@pytest.mark.parametrize(
    "ids",
    [
        [3, 20],
        [20, 3],
        [-1],
        [5, 2],
        [4, 6, 4],
        [0, 1, 1, 30],
        [7, 8, 9],
    ],
    ids=[
        "out of range last",
        "out of range first",
        "negative",
        "removed already",
        "given twice",
        "twice, then out of range",
        "one spans into removed",
    ],
)
def test_bad_removals_change_nothing_on_any_shard(ids: list[int]) -> None:
    index, reference = _filled()
    _same_error(lambda target: target.remove(np.array(ids)), index, reference)


@pytest.mark.parametrize(
    "mask",
    [
        np.ones(19, dtype=bool),
        np.ones(21, dtype=bool),
        np.ones((20, 1), dtype=bool),
        np.ones(20, dtype=np.float64),
        np.ones(40, dtype=bool)[::2],
        "mask",
    ],
    ids=["short", "long", "2-D", "floats", "strided", "str"],
)
def test_bad_masks_are_refused_as_the_engine_refuses_them(mask: Any) -> None:
    index, reference = _filled()
    queries = np.zeros((2, DIM))
    _same_error(lambda target: _k_best(target)(queries, 3, mask=mask), index, reference)
    _same_error(lambda target: target.search_radius(queries, 1.0, mask=mask), index, reference)


@pytest.mark.parametrize(("radius", "threads"), [("1", None), (None, None), (1.0, 0), (1.0, 5000), (1.0, "2")])
def test_bad_radius_or_threads_are_refused(radius: Any, threads: Any) -> None:
    index, reference = _filled()
    # The engine's own text for a radius lacks the argument's name.
    _same_error(
        lambda target: target.search_radius(np.zeros((1, DIM)), radius, threads=threads),
        index,
        reference,
        same_text=threads is not None,
    )


def test_bad_ids_to_read_and_chunks() -> None:
    index, _ = _filled()
    with pytest.raises(IndexError, match="row id 20 is out of range for 20 rows"):
        index.rows_of([0, 20])
    with pytest.raises(TypeError, match="ids must be a 1-D array of integers"):
        index.rows_of([0.0])
    with pytest.raises(ValueError, match="chunk must be at least 1"):
        index.iter_rows(chunk=0)
    with pytest.raises(IndexError):
        index.is_removed(20)
    assert index.rows_of([]).shape == (0, DIM)
    index.remove([])  # nothing to do
    assert index.removed == 2


def test_compact_renumbers_across_shards_and_empties_shards() -> None:
    index = ShardedFlat(1, shards=3)
    index.create(np.arange(9.0).reshape(9, 1))
    index.remove([0, 3, 4, 5, 8])  # the middle shard loses every row
    assert index.shard_ranges == [range(0, 3), range(3, 6), range(6, 9)]
    index.compact()
    assert index.shard_ranges == [range(0, 2), range(2, 2), range(2, 4)]
    assert index.search([6.0], k=10) == [(2, 0.0), (3, 1.0), (1, 4.0), (0, 5.0)]
    index.create([[9.0], [10.0]])
    assert index.shard_ranges == [range(0, 2), range(2, 2), range(2, 6)]
    assert index.rows_of([0, 1, 2, 3, 4, 5]).ravel().tolist() == [1.0, 2.0, 6.0, 7.0, 9.0, 10.0]
    index.remove(np.arange(6))
    index.compact()
    assert len(index) == 0 and index.search_batch(np.zeros((2, 1)), 3)[0].shape == (2, 0)
    assert list(index.iter_rows()) == []


def test_a_shard_rebuilt_from_its_record_holds_what_the_live_one_holds() -> None:
    """What Ray and Dask rebuild a lost shard from: its batches and the
    removals since the last compaction. Rebuilt after every step of a
    history, it has the live shard's rows, ids and removals."""
    rng = np.random.default_rng(5)
    saved: list[np.ndarray] = []

    def save(rows: np.ndarray) -> int:
        saved.append(rows.copy())
        return len(saved) - 1

    live = ShardIndex(DIM, "euclidean")
    first = rng.normal(size=(6, DIM))
    live.append(first)
    record = Batches(save(first), 6)
    queries = rng.normal(size=(3, DIM))
    for step in rng.choice(["add", "remove", "compact"], size=30):
        if step == "add":
            rows = rng.normal(size=(int(rng.integers(1, 5)), DIM))
            live.append(rows)
            record.append(save(rows), len(rows))
        elif step == "remove" and live.count() > record.removed.size:
            candidates = np.setdiff1d(np.arange(live.count()), record.removed)
            ids = rng.permutation(candidates)[: int(rng.integers(1, 4))]
            live.remove(ids)
            record.remove(ids)
        elif step == "compact":
            live.compact()
            record.compact(lambda item: saved[item], save)
        rebuilt = ShardIndex(DIM, "euclidean")
        for item in record.items:
            rebuilt.append(saved[item])
        if record.removed.size:
            rebuilt.remove(record.removed)
        assert rebuilt.count() == live.count() == record.count
        ids = np.arange(live.count())
        same((rebuilt.rows(ids),), (live.rows(ids),))
        same((record.take(ids, lambda item: saved[item], DIM),), (live.rows(ids),))
        same(rebuilt.search(queries, 50), live.search(queries, 50))


def test_merge_breaks_ties_by_global_id_across_shards() -> None:
    # The same row in every shard, its local id smaller in the later shards.
    row = np.ones(DIM)
    index = ShardedFlat(DIM, shards=3, backend=LocalBackend())
    filler = np.full((1, DIM), 5.0)
    index.create(np.concatenate([filler, filler, row[None], filler, row[None], row[None]]))
    assert index.shard_ranges == [range(0, 2), range(2, 4), range(4, 6)]
    ids, _ = index.search_batch(row[None], 3)
    assert ids.tolist() == [[2, 4, 5]]
    offsets, ids, _ = index.search_radius(row[None], 0.0)
    assert offsets.tolist() == [0, 3] and ids.tolist() == [2, 4, 5]
