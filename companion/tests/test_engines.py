"""Engine-specific promises: a killed shard loses nothing (and brings back
no row removed), whatever its kind (float64 or float32 rows, or a graph,
rebuilt with its own seed), Ray reads shard data in place, Dask keeps each
actor on its worker."""

from __future__ import annotations

import os
import signal
import time
from typing import Any

import numpy as np
import pytest

import orbisk
import orbisk_engine
from orbisk_shard import ShardedFlat, ShardedGraph

from conftest import mismatch

ROWS = np.random.default_rng(11).normal(size=(3000, 8))
QUERIES = ROWS[:6] + 0.01


def _reference(rows: np.ndarray, metric: str | None = None) -> orbisk.PyFlat:
    index = orbisk.PyFlat(rows.shape[1], metric)
    index.create(rows)
    return index


def _results(index: ShardedFlat, k: int = 25) -> list[list[tuple[int, float]]]:
    ids, distances = index.search_batch(QUERIES, k)
    single = [index.search(q, k) for q in QUERIES]
    batch = [list(zip(i.tolist(), d.tolist(), strict=True)) for i, d in zip(ids, distances, strict=True)]
    assert batch == single
    return single


def _same(reference: orbisk.PyFlat, got: list[list[tuple[int, float]]], k: int = 25) -> None:
    for q, g in zip(QUERIES, got, strict=True):
        assert mismatch(reference.search(q, k), g) is None


KINDS = ["float64", "float32", "graph"]


def _sharded(kind: str, shards: int, backend: Any) -> Any:
    """A sharded index of `kind`: flat shards keeping float64 or float32
    rows, or graph shards."""
    if kind == "graph":
        return ShardedGraph(8, shards=shards, backend=backend, m=8, ef_construction=64)
    return ShardedFlat(8, shards=shards, backend=backend, storage=kind)


def _remove_and_compact(index: Any, metric: str = "euclidean") -> orbisk_engine.FlatIndex:
    """Rows removed across shards, compacted, then more removed and left
    as tombstones; the engine index (float64) that has had the same."""
    rows = ROWS.astype(np.float32) if getattr(index, "storage", None) == "float32" else ROWS
    reference = orbisk_engine.FlatIndex(8, metric)
    reference.add(rows)
    index.create(rows[:2000])
    index.create(rows[2000:])
    for ids, compact in (([5, 1499, 1500, 2999, 700, 2001], True), ([0, 1200, 2990], False)):
        index.remove(ids)
        reference.remove(np.array(ids))
        if compact:
            index.compact()
            reference.compact()
    return reference


def _same_as_engine(index: Any, reference: orbisk_engine.FlatIndex) -> None:
    """Searches with and without a mask, radius search and rows (as the
    shards keep them): the engine's. A graph is asked for every row (its
    walks must then return them all) and has no radius search."""
    graph = isinstance(index, ShardedGraph)
    k = len(reference) if graph else 40
    mask = np.zeros(len(reference), dtype=bool)
    mask[::3] = True
    for m in (None, mask):
        answers = [(index.search_batch(QUERIES, k, mask=m), reference.search(QUERIES, k, mask=m))]
        if not graph:
            answers.append((index.search_radius(QUERIES, 2.5, mask=m), reference.search_radius(QUERIES, 2.5, mask=m)))
        for got, expected in answers:
            for g, e in zip(got, expected, strict=True):
                assert np.array_equal(g, np.asarray(e))
    ids = np.array([0, 1, 1499, len(reference) - 11, len(reference) - 1])
    got = index.rows_of(ids)
    assert np.array_equal(got, np.asarray(reference.rows)[ids])
    assert got.dtype == (np.float32 if getattr(index, "storage", None) == "float32" else np.float64)
    assert len(index) == len(reference) and index.removed == reference.removed


# -- Ray ------------------------------------------------------------------


def _ray_pid(ray: Any, shard: Any) -> int:
    """The process of the shard's actor (a lambda: Ray sends it by value)."""
    return int(ray.get(shard.actor.__ray_call__.remote(lambda actor: os.getpid())))


def test_ray_killed_actor_is_rebuilt_from_the_object_store(ray_cluster: Any) -> None:
    ray = ray_cluster
    from orbisk_shard.ray_backend import RayBackend

    with ShardedFlat(8, "cosine", shards=2, backend=RayBackend()) as index:
        index.create(ROWS[:2000])
        index.insert(ROWS[2000])
        index.create(ROWS[2001:])  # appended batches of the last shard
        before = _results(index)
        _same(_reference(ROWS, "cosine"), before)
        for victim in (1, 0):
            shard = index.shards[victim]
            old_pid = _ray_pid(ray, shard)
            ray.kill(shard.actor)
            assert _results(index) == before
            assert shard.restarts == 1
            assert _ray_pid(ray, shard) != old_pid


@pytest.mark.parametrize("kind", KINDS)
def test_ray_rebuilt_actor_keeps_removals_and_compaction(ray_cluster: Any, kind: str) -> None:
    ray = ray_cluster
    from orbisk_shard.ray_backend import RayBackend

    def held() -> list[tuple[str, Any]]:
        """What index each actor holds: its type, and its storage or seed
        (a lambda: Ray sends it by value)."""
        return ray.get(
            [
                shard.actor.__ray_call__.remote(
                    lambda a: (type(a._index).__name__, getattr(a._index, "storage", None) or a._index.seed)
                )
                for shard in index.shards
            ]
        )

    with _sharded(kind, 3, RayBackend()) as index:
        reference = _remove_and_compact(index)
        _same_as_engine(index, reference)
        kinds = held()
        assert len(set(kinds)) == (3 if kind == "graph" else 1)
        kept = {ray.get(b).dtype for shard in index.shards for b in shard.batches}
        assert kept == {np.dtype(np.float32 if kind == "float32" else np.float64)}  # what a rebuild reads
        for shard in index.shards:
            ray.kill(shard.actor)
        _same_as_engine(index, reference)
        assert all(shard.restarts == 1 for shard in index.shards)
        assert held() == kinds
        # Killed again right after a removal and a compaction not yet waited for.
        index.remove([3, 2500])
        reference.remove(np.array([3, 2500]))
        index.compact()
        reference.compact()
        ray.kill(index.shards[2].actor)
        _same_as_engine(index, reference)


def test_ray_kill_right_after_an_append(ray_cluster: Any) -> None:
    ray = ray_cluster
    from orbisk_shard.ray_backend import RayBackend

    with ShardedFlat(8, shards=2, backend=RayBackend()) as index:
        index.create(ROWS[:1000])
        index.create(ROWS[1000:])  # not yet waited for
        ray.kill(index.shards[1].actor)
        _same(_reference(ROWS), _results(index))
        assert index.shards[1].restarts == 1


def test_ray_actor_reads_batches_in_place(ray_cluster: Any) -> None:
    ray = ray_cluster
    from orbisk_shard.ray_backend import RayBackend

    big = np.random.default_rng(2).normal(size=(20000, 8))  # 640 KiB a shard
    with ShardedFlat(8, shards=2, backend=RayBackend()) as index:
        index.create(big)
        index.create(big[:5000])
        for shard in index.shards:
            # Whether each batch reaches the actor's process as a read-only
            # view of memory it does not own (the object store's), not a copy.
            in_place = shard.actor.__ray_call__.remote(
                lambda actor, batches: [not a.flags.writeable and not a.flags.owndata for a in ray.get(batches)],
                shard.batches,
            )
            assert ray.get(in_place) == [True] * len(shard.batches)
        assert len(index.shards[1].batches) == 2


# -- Dask -----------------------------------------------------------------


def _kill_worker_of(client: Any, shard: Any) -> None:
    pid = client.run(os.getpid, workers=[shard.worker])[shard.worker]
    os.kill(pid, signal.SIGKILL)
    time.sleep(0.2)


def test_dask_killed_worker_loses_nothing(dask_client: Any) -> None:
    from orbisk_shard.dask_backend import DaskBackend

    dask_client.wait_for_workers(2)
    with ShardedFlat(8, "inner_product", shards=2, backend=DaskBackend(dask_client)) as index:
        index.create(ROWS[:2000])
        index.insert(ROWS[2000])
        index.create(ROWS[2001:])
        workers = {shard.worker for shard in index.shards}
        assert len(workers) == 2  # one actor per worker, round robin
        before = _results(index)
        _same(_reference(ROWS, "inner_product"), before)
        shard = index.shards[1]
        dead = shard.worker
        _kill_worker_of(dask_client, shard)
        assert _results(index) == before
        assert shard.restarts == 1 and shard.worker != dead


@pytest.mark.parametrize("kind", KINDS)
def test_dask_rebuilt_actor_keeps_removals_and_compaction(dask_client: Any, kind: str) -> None:
    from orbisk_shard.dask_backend import DaskBackend

    def held(shard: Any) -> tuple[str, Any]:
        key = shard.actor.key
        found = dask_client.run(
            lambda dask_worker: (
                type(a := dask_worker.state.actors[key]._index).__name__,
                getattr(a, "storage", None) or a.seed,
            ),
            workers=[shard.worker],
        )
        return found[shard.worker]  # type: ignore[no-any-return]

    dask_client.wait_for_workers(2, timeout=60)
    with _sharded(kind, 2, DaskBackend(dask_client)) as index:
        reference = _remove_and_compact(index)
        _same_as_engine(index, reference)
        kinds = [held(shard) for shard in index.shards]
        kept = {b.dtype for shard in index.shards for b in shard.batches}
        assert kept == {np.dtype(np.float32 if kind == "float32" else np.float64)}  # what a rebuild reads
        _kill_worker_of(dask_client, index.shards[0])
        _same_as_engine(index, reference)
        assert index.shards[0].restarts == 1
        assert [held(shard) for shard in index.shards] == kinds
        # A removal and a compaction that reach a lost shard: rebuilt with both.
        _kill_worker_of(dask_client, index.shards[1])
        index.remove([3, 2500])
        reference.remove(np.array([3, 2500]))
        index.compact()
        reference.compact()
        _same_as_engine(index, reference)
        assert index.shards[1].restarts >= 1


def test_dask_kill_then_append(dask_client: Any) -> None:
    from orbisk_shard.dask_backend import DaskBackend

    dask_client.wait_for_workers(2, timeout=60)
    with ShardedFlat(8, shards=2, backend=DaskBackend(dask_client)) as index:
        index.create(ROWS[:1500])
        _kill_worker_of(dask_client, index.shards[1])
        index.create(ROWS[1500:])  # goes to the lost shard: rebuilt first
        _same(_reference(ROWS), _results(index))


def test_dask_actor_stays_on_its_worker(dask_client: Any) -> None:
    from orbisk_shard.dask_backend import DaskBackend

    dask_client.wait_for_workers(2, timeout=60)
    with ShardedFlat(8, shards=3, backend=DaskBackend(dask_client)) as index:
        index.create(ROWS)
        # The actor object lives in its worker's process, and only there.
        held = dask_client.run(lambda dask_worker: sorted(dask_worker.state.actors))
        for shard in index.shards:
            assert [w for w, keys in held.items() if shard.actor.key in keys] == [shard.worker]
        _same(_reference(ROWS), _results(index))
