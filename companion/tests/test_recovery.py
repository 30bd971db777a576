"""Lost nodes and workers lose nothing: after each loss every search and
search_batch equals one PyFlat over the same rows, bit for bit, no row is
lost or doubled, ids stay where they were and later inserts land. Ray runs
on a cluster of a head and two worker nodes in this machine, Dask on a
LocalCluster of three workers."""

from __future__ import annotations

import os
import signal
import socket
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
import pytest

import orbisk
from orbisk_shard import ShardedFlat, ShardLostError, merge

from conftest import DASK_WORKERS, RayNodes, mismatch

DIM = 8
RNG = np.random.default_rng(19)
ROWS = RNG.normal(size=(900, DIM))
ROWS[::97] = ROWS[5]  # ties across shards
QUERIES = np.concatenate([ROWS[:3] + 0.01, RNG.normal(size=(3, DIM))])
ON_WORKERS = {"num_cpus": 0, "resources": {"worker": 0.01}, "scheduling_strategy": "SPREAD"}
"""Actor options that keep shards on the worker nodes, off the head."""


def agree(index: ShardedFlat, rows: np.ndarray, metric: str | None = None) -> None:
    """Every answer is one PyFlat's over `rows`, and holds every row once."""
    reference = orbisk.PyFlat(DIM, metric)
    reference.create(rows)
    n = rows.shape[0]
    assert len(index) == n
    for k in (1, 10, n):
        ids, distances = index.search_batch(QUERIES, k)
        for i, q in enumerate(QUERIES):
            expected = reference.search(q, k)
            assert mismatch(expected, index.search(q, k)) is None
            assert mismatch(expected, list(zip(ids[i].tolist(), distances[i].tolist(), strict=True))) is None
    assert sorted(ids[0].tolist()) == list(range(n))


def inserts_land(index: ShardedFlat, rows: np.ndarray, metric: str | None = None) -> np.ndarray:
    more = RNG.normal(size=(40, DIM))
    index.create(more[:39])
    index.insert(more[39])
    rows = np.concatenate([rows, more])
    agree(index, rows, metric)
    return rows


def within(seconds: float, call: Callable[[], Any]) -> Any:
    """What `call()` returns or raises, which must happen within `seconds`
    (a wait that does not end fails the test instead of holding it)."""
    outcome: dict[str, Any] = {}

    def run() -> None:
        try:
            outcome["value"] = call()
        except BaseException as e:
            outcome["error"] = e

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(seconds)
    assert not thread.is_alive(), f"still waiting after {seconds} s"
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("value")


# -- Ray ------------------------------------------------------------------


@pytest.fixture
def ray_index(ray_nodes: RayNodes) -> Iterator[Callable[..., ShardedFlat]]:
    from orbisk_shard.ray_backend import RayBackend

    made: list[ShardedFlat] = []

    def make(metric: str | None = None, shards: int = 4, **options: Any) -> ShardedFlat:
        index = ShardedFlat(DIM, metric, shards=shards, backend=RayBackend(**options))
        made.append(index)
        return index

    yield make
    for index in made:
        index.close()


def _nodes_of(index: ShardedFlat) -> list[str | None]:
    return [shard.node for shard in index.shards]


@pytest.mark.parametrize("graceful", [True, False], ids=["graceful", "abrupt"])
def test_ray_node_removed_right_after_an_append(ray_nodes: RayNodes, ray_index: Any, graceful: bool) -> None:
    index = ray_index("cosine", shards=3, actor_options=ON_WORKERS)
    index.create(ROWS[:600])
    agree(index, ROWS[:600], "cosine")
    before = index.shard_ranges
    # Appended to the last shard and not waited for, then its node goes.
    index.create(ROWS[600:])
    victim = ray_nodes.worker_of(index.shards[-1].node)
    lost = [i for i, node in enumerate(_nodes_of(index)) if node == victim.node_id]
    ray_nodes.remove(victim, graceful)
    agree(index, ROWS, "cosine")
    # Once Ray has seen the node die, every shard it held has moved.
    ray_nodes.wait_dead(victim.node_id)
    agree(index, ROWS, "cosine")
    assert index.shard_ranges[:-1] == before[:-1] and index.shard_ranges[-1].start == before[-1].start
    for i in lost:
        assert index.shards[i].restarts >= 1
        assert index.shards[i].node in ray_nodes.alive()
    inserts_land(index, ROWS, "cosine")


def test_ray_all_worker_nodes_lost_at_once_then_added_back(ray_nodes: RayNodes, ray_index: Any) -> None:
    # 40 rows of 4 dimensions in 4 shards, spread over the head and both
    # worker nodes; both worker nodes go at once.
    rows = ROWS[:40]
    index = ray_index(shards=4)
    index.create(rows)
    agree(index, rows)
    gone = [n.node_id for n in ray_nodes.workers]
    for node in list(ray_nodes.workers):
        ray_nodes.remove(node, graceful=False)
    agree(index, rows)
    ray_nodes.wait_dead(*gone)
    agree(index, rows)
    assert set(_nodes_of(index)) == {ray_nodes.head}
    ray_nodes.top_up()
    rows = inserts_land(index, rows)
    assert len(index.shard_ranges) == 4


def test_ray_restart_that_fails_is_retried(ray_nodes: RayNodes, ray_index: Any) -> None:
    """The replacement of a lost actor lands on a node that has died but
    that Ray still counts alive, fails with it, and is started again once a
    node is back."""
    index = ray_index(shards=2, actor_options=ON_WORKERS)
    index.create(ROWS)
    agree(index, ROWS)
    first, second = ray_nodes.workers
    ray_nodes.remove(first, graceful=False)
    ray_nodes.wait_dead(first.node_id)
    # Now the second goes too: for a few seconds Ray still counts it alive,
    # and it is the only node a replacement may go to.
    ray_nodes.remove(second, graceful=False)

    # The search runs beside; nodes are added from the main thread (Ray
    # starts a node only there).
    failed: list[BaseException] = []

    def search() -> None:
        try:
            agree(index, ROWS)
        except BaseException as e:
            failed.append(e)

    searching = threading.Thread(target=search)
    searching.start()
    ray_nodes.wait_dead(second.node_id)
    ray_nodes.add()
    searching.join(timeout=180)
    assert not searching.is_alive() and not failed, failed
    assert max(shard.restarts for shard in index.shards) >= 2
    assert set(_nodes_of(index)) == {ray_nodes.workers[0].node_id}
    inserts_land(index, ROWS)


def test_ray_answer_lost_with_its_node(ray_nodes: RayNodes, ray_index: Any) -> None:
    """The node goes after its shard answered and before the answer was
    fetched: it was in that node's object store (over 100 kB)."""
    ray = ray_nodes.ray
    index = ray_index(shards=2, actor_options=ON_WORKERS)
    index.create(ROWS)
    agree(index, ROWS)
    queries = np.concatenate([QUERIES] * 20)  # 120 queries, k = 100: 190 kB an answer
    keep = 100
    shared = index.backend.share_queries(queries)
    waits = [shard.search(shared, keep) for shard in index.shards]
    for shard in index.shards:
        # Calls run in order on an actor: once this one is answered, the
        # search's answer is in the store.
        ray.get(shard.actor.__ray_call__.remote(lambda actor: None))
    victim = ray_nodes.worker_of(index.shards[1].node)
    ray_nodes.remove(victim, graceful=False)
    parts = [(ids + r.start, d) for r, (ids, d) in zip(index.shard_ranges, (w() for w in waits), strict=True)]
    ids, distances = merge(parts, keep)
    reference = orbisk.PyFlat(DIM)
    reference.create(ROWS)
    for i, q in enumerate(queries):
        assert (
            mismatch(reference.search(q, keep), list(zip(ids[i].tolist(), distances[i].tolist(), strict=True))) is None
        )
    assert index.shards[1].restarts >= 1
    agree(index, ROWS)


def test_ray_recovery_is_bounded_and_names_the_shard(ray_nodes: RayNodes, ray_index: Any) -> None:
    index = ray_index(shards=3, actor_options=ON_WORKERS, recovery_timeout=2.5)
    index.create(ROWS)
    agree(index, ROWS)
    for node in list(ray_nodes.workers):
        ray_nodes.remove(node, graceful=True)  # no node left for a shard
    with pytest.raises(ShardLostError, match=r"^shard 0 \(ids 0 to 299\): answer lost and not recovered"):
        within(30, lambda: index.search(QUERIES[0], 5))
    # A shard whose recovery failed bounds its next wait from the start.
    with pytest.raises(ShardLostError, match=r"^shard 0 "):
        within(30, lambda: index.search_batch(QUERIES, 5))
    ray_nodes.top_up()
    index.backend.recovery_timeout = 120.0  # the shards start on the new nodes
    agree(index, ROWS)
    # And the number of restarts is bounded too.
    few = ray_index(shards=1, retries=0)
    few.create(ROWS[:10])
    ray_nodes.ray.kill(few.shards[0].actor)
    with pytest.raises(ShardLostError, match=r"shard 0 \(ids 0 to 9\).*0 restart\(s\).*ActorDiedError"):
        few.search(QUERIES[0])


# -- Dask -----------------------------------------------------------------


def _pid(client: Any, worker: str) -> int:
    """The worker's process."""
    return int(client.run(os.getpid, workers=[worker])[worker])


@pytest.fixture
def dask_index(dask_cluster: tuple[Any, Any]) -> Iterator[Callable[..., ShardedFlat]]:
    from orbisk_shard.dask_backend import DaskBackend

    cluster, client = dask_cluster
    made: list[ShardedFlat] = []

    def make(metric: str | None = None, shards: int = 3, client: Any = client, **options: Any) -> ShardedFlat:
        index = ShardedFlat(DIM, metric, shards=shards, backend=DaskBackend(client, **options))
        made.append(index)
        return index

    yield make
    for index in made:
        index.close()


def _remove_worker(cluster: Any, client: Any, worker: str, graceful: bool) -> None:
    if graceful:
        # Dask does not retire a worker that holds an actor: the cluster
        # closes it instead, in an orderly way.
        name = client.scheduler_info()["workers"][worker]["name"]
        cluster.sync(cluster.scale_down, [name])
    else:
        # The process dies at once; its nanny starts a new worker (at a new
        # address) a moment later.
        os.kill(_pid(client, worker), signal.SIGKILL)


@pytest.mark.parametrize("graceful", [True, False], ids=["graceful", "abrupt"])
def test_dask_worker_removed_right_after_an_append(
    dask_cluster: tuple[Any, Any], dask_index: Any, graceful: bool
) -> None:
    cluster, client = dask_cluster
    index = dask_index("inner_product")
    index.create(ROWS[:600])
    agree(index, ROWS[:600], "inner_product")
    before = index.shard_ranges
    index.create(ROWS[600:])
    shard = index.shards[-1]
    victim = shard.worker
    began = time.monotonic()
    _remove_worker(cluster, client, victim, graceful)
    agree(index, ROWS, "inner_product")
    # Well within Dask's 30 s connect timeout, on a slow machine too.
    assert time.monotonic() - began < 20
    assert shard.restarts >= 1 and shard.worker != victim
    assert index.shard_ranges[:-1] == before[:-1]
    inserts_land(index, ROWS, "inner_product")


def _closed(address: str, timeout: float = 10.0) -> None:
    """Until nothing listens at the worker's address any more."""
    host, port = address.removeprefix("tcp://").rsplit(":", 1)
    deadline = time.monotonic() + timeout
    while True:
        try:
            socket.create_connection((host, int(port)), timeout=1).close()
        except ConnectionRefusedError:
            return
        assert time.monotonic() < deadline, f"{address} still listens"
        time.sleep(0.01)


@pytest.mark.parametrize("direct", [False, True], ids=["through the scheduler", "direct to workers"])
def test_dask_search_sent_as_the_worker_dies_is_not_held_up(
    dask_cluster: tuple[Any, Any], dask_index: Any, direct: bool
) -> None:
    """A call sent after its worker died and before the scheduler saw it go
    retries the dead address until Dask's connect timeout (30 s): it ends
    as soon as the worker is off the scheduler's list. The scheduler is
    kept busy for two seconds so that the call surely falls in that window."""
    from distributed import Client

    cluster, client = dask_cluster
    caller = Client(cluster.scheduler_address, direct_to_workers=True) if direct else client
    index = dask_index(shards=2, client=caller)
    try:
        index.create(ROWS)
        agree(index, ROWS)
        shard = index.shards[1]
        worker = shard.worker
        pid = _pid(client, worker)
        busy = threading.Event()

        def hold() -> None:
            busy.set()
            time.sleep(2.0)

        cluster.loop.add_callback(hold)  # the scheduler's loop
        busy.wait()
        os.kill(pid, signal.SIGKILL)
        _closed(worker)
        if direct:
            caller.rpc.remove(worker)  # no open connection to reuse
        began = time.monotonic()
        ids, distances = index.search_batch(QUERIES, 10)
        assert time.monotonic() - began < 15
        assert shard.restarts >= 1 and shard.worker != worker
        reference = orbisk.PyFlat(DIM)
        reference.create(ROWS)
        for i, q in enumerate(QUERIES):
            assert (
                mismatch(reference.search(q, 10), list(zip(ids[i].tolist(), distances[i].tolist(), strict=True)))
                is None
            )
    finally:
        if direct:
            index.close()
            caller.close()


def test_dask_restart_that_fails_is_retried(dask_cluster: tuple[Any, Any], dask_index: Any) -> None:
    """The replacement of a lost actor goes to the least loaded worker,
    which is listed alive but does not answer; its start reaches the wait
    bound and the next one goes elsewhere."""
    cluster, client = dask_cluster
    index = dask_index(shards=2, timeout=5.0)
    index.create(ROWS)
    agree(index, ROWS)
    shard = index.shards[0]
    idle = next(w for w in client.scheduler_info()["workers"] if w not in {s.worker for s in index.shards})
    pid = _pid(client, idle)
    os.kill(pid, signal.SIGSTOP)
    try:
        client.cancel([shard.actor_future])  # the actor is gone
        agree(index, ROWS)
    finally:
        os.kill(pid, signal.SIGCONT)
    assert shard.restarts >= 2 and shard.worker == index.shards[1].worker
    assert idle in index.backend.failed
    inserts_land(index, ROWS)


def test_dask_worker_gone_while_a_shard_is_sent_to_it(dask_cluster: tuple[Any, Any]) -> None:
    from orbisk_shard.dask_backend import DaskBackend

    cluster, client = dask_cluster

    class Leaving(DaskBackend):
        """The first worker it picks once armed dies, and the scheduler
        drops it, before the shard's batches are sent there."""

        armed = False
        doomed: str | None = None

        def pick_worker(self, timeout: float) -> str:
            worker = super().pick_worker(timeout)
            if self.armed and self.doomed is None:
                self.doomed = worker
                os.kill(_pid(client, worker), signal.SIGKILL)
                deadline = time.monotonic() + 60
                while worker in self.workers():
                    assert time.monotonic() < deadline
                    time.sleep(0.05)
            return worker

    backend = Leaving(client)
    with ShardedFlat(DIM, shards=2, backend=backend) as index:
        index.create(ROWS)
        agree(index, ROWS)
        backend.armed = True
        shard = index.shards[1]
        os.kill(_pid(client, shard.worker), signal.SIGKILL)
        agree(index, ROWS)
        assert shard.restarts >= 2 and backend.doomed in backend.failed
        inserts_land(index, ROWS)


def test_dask_all_workers_lost_at_once(dask_cluster: tuple[Any, Any], dask_index: Any) -> None:
    cluster, client = dask_cluster
    index = dask_index("cosine")
    index.create(ROWS)
    agree(index, ROWS, "cosine")
    before = index.shard_ranges
    for pid in client.run(os.getpid).values():
        os.kill(pid, signal.SIGKILL)
    # The nannies start new workers; the shards wait for them.
    agree(index, ROWS, "cosine")
    assert all(shard.restarts >= 1 for shard in index.shards)
    assert index.shard_ranges == before
    inserts_land(index, ROWS, "cosine")


def test_dask_recovery_is_bounded_and_names_the_shard(dask_cluster: tuple[Any, Any], dask_index: Any) -> None:
    cluster, client = dask_cluster
    index = dask_index(shards=2, recovery_timeout=3.0)
    index.create(ROWS[:600])
    agree(index, ROWS[:600])
    cluster.scale(0)
    deadline = time.monotonic() + 60
    while client.scheduler_info()["workers"]:
        assert time.monotonic() < deadline
        time.sleep(0.1)
    with pytest.raises(ShardLostError, match=r"^shard 0 \(ids 0 to 299\): answer lost and not recovered"):
        within(30, lambda: index.search(QUERIES[0], 5))
    # An append that cannot be placed leaves the index as it was.
    with pytest.raises(ShardLostError, match=r"^shard 1 \(ids 300 to 899\)"):
        within(30, lambda: index.create(ROWS[600:]))
    assert len(index) == 600 and index.shard_ranges == [range(0, 300), range(300, 600)]
    cluster.scale(DASK_WORKERS)
    client.wait_for_workers(DASK_WORKERS, timeout=120)
    index.backend.recovery_timeout = 120.0  # the shards start on the new workers
    agree(index, ROWS[:600])
    inserts_land(index, ROWS[:600])
