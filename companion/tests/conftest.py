"""Backends for the tests: in process always; Ray and Dask on local clusters
when they are installed (skipped, with the reason, when not)."""

from __future__ import annotations

import importlib.util
import math
import os
from collections.abc import Callable, Iterator
from typing import Any

import pytest

os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")


def have(module: str) -> bool:
    return importlib.util.find_spec(module) is not None


@pytest.fixture(scope="session")
def ray_cluster() -> Iterator[Any]:
    if not have("ray"):
        pytest.skip("Ray is not installed (pip install 'orbisk-shard[ray]')")
    import ray

    # address="local": a cluster of its own, never one left running on
    # this machine.
    ray.init(address="local", num_cpus=2, include_dashboard=False, log_to_driver=False,
             object_store_memory=256 * 1024 * 1024)
    yield ray
    ray.shutdown()


@pytest.fixture(scope="session")
def dask_client() -> Iterator[Any]:
    if not have("distributed"):
        pytest.skip("Dask is not installed (pip install 'orbisk-shard[dask]')")
    from distributed import Client, LocalCluster

    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                           dashboard_address=None)
    client = Client(cluster)
    yield client
    client.close()
    cluster.close()


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


def same_bits(a: float, b: float) -> bool:
    """Equal with ==, and the same sign for zeros; NaN equals NaN."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def mismatch(expected: list[tuple[int, float]], got: list[tuple[int, float]]) -> str | None:
    """Why `got` is not exactly `expected` (None when it is): same length,
    same ids in the same order, every distance the same double."""
    if len(expected) != len(got):
        return f"{len(got)} results, expected {len(expected)}"
    for pos, ((ei, ed), (gi, gd)) in enumerate(zip(expected, got)):
        if type(gi) is not int or type(gd) is not float:
            return f"at {pos}: types {type(gi).__name__}, {type(gd).__name__}"
        if ei != gi or not same_bits(ed, gd):
            return f"at {pos}: got ({gi}, {gd!r}), expected ({ei}, {ed!r})"
    return None
