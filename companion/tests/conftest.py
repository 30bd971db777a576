"""Backends for the tests: in process always; Ray and Dask on local clusters
when they are installed (skipped, with the reason, when not)."""

from __future__ import annotations

import importlib.util
import os
import signal
import time
from collections.abc import Callable, Iterator
from typing import Any

import pytest

from plain import same

os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")

# A suite started as a background job inherits SIGINT ignored, and Python
# then installs no KeyboardInterrupt handler: the tests of Ctrl-C need it.
signal.signal(signal.SIGINT, signal.default_int_handler)


def have(module: str) -> bool:
    return importlib.util.find_spec(module) is not None


MiB = 1024 * 1024

RAY_HEALTH_CHECKS = {
    "health_check_initial_delay_ms": 1000,
    "health_check_period_ms": 500,
    "health_check_timeout_ms": 1000,
    "health_check_failure_threshold": 5,
}
"""Ray's node health checks, quicker than its defaults (dead after five
missed checks half a second apart): an abrupt node loss is seen in about 3 s
instead of 15, which is the time the recovery tests wait for it."""


class RayNodes:
    """A Ray cluster of nodes in this machine: the head and `WORKERS`
    worker nodes, one CPU each. Worker nodes carry the resource "worker",
    which actor options can ask for to keep shards off the head."""

    WORKERS = 2

    def __init__(self) -> None:
        import ray
        from ray.cluster_utils import Cluster

        self.ray = ray
        self.cluster = Cluster(
            initialize_head=True,
            head_node_args={
                "num_cpus": 1,
                "include_dashboard": False,
                "object_store_memory": 96 * MiB,
                "_system_config": RAY_HEALTH_CHECKS,
            },
        )
        ray.init(address=self.cluster.address, log_to_driver=False)
        self.head = self.cluster.head_node.node_id
        self.workers: list[Any] = []
        self.top_up()

    def add(self) -> Any:
        node = self.cluster.add_node(num_cpus=1, object_store_memory=96 * MiB, resources={"worker": 1})
        self.workers.append(node)
        return node

    def top_up(self) -> None:
        """Back to `WORKERS` live worker nodes."""
        while len(self.workers) < self.WORKERS:
            self.add()
        self.cluster.wait_for_nodes(timeout=120)

    def remove(self, node: Any, graceful: bool) -> None:
        self.workers.remove(node)
        self.cluster.remove_node(node, allow_graceful=graceful)

    def worker_of(self, node_id: str | None) -> Any:
        return next(n for n in self.workers if n.node_id == node_id)

    def alive(self) -> set[str]:
        """The nodes Ray counts alive."""
        return {n["NodeID"] for n in self.ray.nodes() if n["Alive"]}

    def wait_dead(self, *node_ids: str, timeout: float = 90.0) -> None:
        """Until Ray reports every one of them dead."""
        deadline = time.monotonic() + timeout
        while set(node_ids) & self.alive():
            assert time.monotonic() < deadline, "Ray did not see the node die"
            time.sleep(0.1)

    def close(self) -> None:
        self.ray.shutdown()
        self.cluster.shutdown()


@pytest.fixture(scope="session")
def _ray_session() -> Iterator[RayNodes]:
    if not have("ray"):
        pytest.skip("Ray is not installed (pip install './companion[ray]')")
    nodes = RayNodes()
    yield nodes
    nodes.close()


@pytest.fixture
def ray_cluster(_ray_session: RayNodes) -> Any:
    """The ray module, connected to the cluster of `RayNodes`."""
    return _ray_session.ray


@pytest.fixture
def ray_nodes(_ray_session: RayNodes) -> Iterator[RayNodes]:
    """The cluster, for a test that removes nodes: topped up after it."""
    yield _ray_session
    _ray_session.top_up()


DASK_WORKERS = 3


@pytest.fixture(scope="session")
def _dask_session() -> Iterator[tuple[Any, Any]]:
    if not have("distributed"):
        pytest.skip("Dask is not installed (pip install './companion[dask]')")
    from distributed import Client, LocalCluster

    cluster = LocalCluster(n_workers=DASK_WORKERS, threads_per_worker=1, processes=True, dashboard_address=None)
    client = Client(cluster)
    yield cluster, client
    client.close()
    cluster.close()


def _heal(cluster: Any, client: Any, timeout: float = 180.0) -> None:
    """Back to `DASK_WORKERS` live workers. A nanny restarts a worker that
    died, but under load it may give up (its restart timed out): a worker
    that is still missing after 20 s is replaced by a new one."""
    cluster.scale(DASK_WORKERS)
    began = patient = time.monotonic()
    while True:
        live = {w["name"] for w in client.scheduler_info()["workers"].values()}
        if len(live) >= DASK_WORKERS:
            return
        assert time.monotonic() - began < timeout, (
            f"only {len(live)} of {DASK_WORKERS} Dask workers after {timeout:g} s"
        )
        gone = [name for name in cluster.worker_spec if name not in live]
        if gone and time.monotonic() - patient > 20:
            cluster.sync(cluster.scale_down, gone)
            cluster.scale(DASK_WORKERS)
            patient = time.monotonic()  # as long for the new ones
        time.sleep(0.5)


@pytest.fixture
def dask_client(_dask_session: tuple[Any, Any]) -> Any:
    cluster, client = _dask_session
    _heal(cluster, client)
    return client


@pytest.fixture
def dask_cluster(_dask_session: tuple[Any, Any]) -> Iterator[tuple[Any, Any]]:
    """The LocalCluster and its client, for a test that removes workers:
    back to `DASK_WORKERS` workers after it."""
    cluster, client = _dask_session
    _heal(cluster, client)
    yield cluster, client
    _heal(cluster, client)


@pytest.fixture(params=["local", "ray", "dask"])
def backend(request: pytest.FixtureRequest) -> Callable[[], Any]:
    """A factory of fresh backends of one engine."""
    if request.param == "local":
        from orbisk_shard import LocalBackend

        return LocalBackend
    if request.param == "ray":
        request.getfixturevalue("ray_cluster")
        from orbisk_shard.ray_backend import RayBackend

        return RayBackend
    client = request.getfixturevalue("dask_client")
    from orbisk_shard.dask_backend import DaskBackend

    return lambda: DaskBackend(client)


def mismatch(expected: list[tuple[int, float]], got: list[tuple[int, float]]) -> str | None:
    """Why `got` is not exactly `expected` (None when it is): same length,
    same ids in the same order, every distance the same double."""
    if len(expected) != len(got):
        return f"{len(got)} results, expected {len(expected)}"
    for pos, ((ei, ed), (gi, gd)) in enumerate(zip(expected, got, strict=True)):
        if type(gi) is not int or type(gd) is not float:
            return f"at {pos}: types {type(gi).__name__}, {type(gd).__name__}"
        if ei != gi or not same(ed, gd):
            return f"at {pos}: got ({gi}, {gd!r}), expected ({ei}, {ed!r})"
    return None
