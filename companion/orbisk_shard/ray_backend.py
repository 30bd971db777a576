"""Ray backend: one actor per shard, shard data in Ray's object store.

Each batch of a shard (the first one and every appended one) is put once
into the object store with `ray.put`; the driver keeps the references, so
the batches live there as long as the index does. The shard's actor reads
them there without a copy (Ray hands a numpy array to a worker on the same
node as a read-only view of the shared-memory store) and copies them into its
`PyFlat`, which must own its rows. When an actor dies (`ray.kill`, a crashed
worker process), the next call to it fails with `RayActorError`; the shard
then starts a new actor, which rebuilds the index from the stored batches,
and repeats the call.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

# Ray is an optional extra: where it is not installed, a type check of code
# that uses this package sees it as Any.
import ray  # type: ignore[import-not-found, unused-ignore]

from ._holder import ShardIndex
from ._types import Metric, Part, Rows

__all__ = ["RayBackend", "RayShard"]

DEFAULT_ACTOR_OPTIONS: dict[str, Any] = {"num_cpus": 0, "scheduling_strategy": "SPREAD"}
"""Shard actors reserve no CPU (a search is short and its actor is idle
otherwise, so more shards than cores still start) and are spread over the
nodes of the cluster."""


class ShardActor(ShardIndex):
    """A PyFlat in its own worker process."""

    def __init__(self, dim: int, metric: Metric, batches: list[ray.ObjectRef[Any]]) -> None:
        super().__init__(dim, metric)
        # A list of references is not resolved by Ray: get them here, one
        # at a time, each a zero-copy view while it is copied in. (A
        # reference given to `append` as an argument arrives resolved.)
        for ref in batches:
            self.append(ray.get(ref))


_RemoteShardActor: Any = ray.remote(ShardActor)


class RayShard:
    """The driver's side of one shard: its actor and its stored batches."""

    def __init__(self, backend: RayBackend, dim: int, metric: Metric, rows: Rows) -> None:
        self._backend = backend
        self._dim = dim
        self._metric = metric
        self.batches: list[ray.ObjectRef[Any]] = [ray.put(rows)]
        self._count = rows.shape[0]
        self._pending: list[ray.ObjectRef[Any]] = []
        self.restarts = 0
        self.actor = self._start()

    def _start(self) -> Any:
        return _RemoteShardActor.options(**self._backend.actor_options).remote(
            self._dim, self._metric, list(self.batches))

    def _stop(self) -> None:
        # The actor may be gone already (that is why it is stopped).
        try:
            ray.kill(self.actor, no_restart=True)
        except Exception:
            pass
        self._pending = []

    def _restart(self) -> None:
        self._stop()
        self.actor = self._start()
        self.restarts += 1
        got = ray.get(self.actor.count.remote())
        if got != self._count:  # pragma: no cover - would be a bug
            raise RuntimeError(f"shard rebuilt with {got} rows, expected {self._count}")

    def append(self, rows: Rows) -> None:
        ref = ray.put(rows)
        self.batches.append(ref)
        self._count += rows.shape[0]
        # Calls from one caller run on an actor in the order they were
        # made, so later searches see these rows; the result is checked
        # when the next search is waited for.
        self._pending.append(self.actor.append.remote(ref))

    def search(self, queries: object, keep: int) -> Callable[[], Part]:
        ref = self.actor.search.remote(queries, keep)
        return lambda: self._wait(ref, queries, keep)

    def _wait(self, ref: ray.ObjectRef[Any], queries: object, keep: int) -> Part:
        for _ in range(self._backend.retries):
            try:
                if self._pending:
                    ray.get(self._pending)
                    self._pending = []
                part: Part = ray.get(ref)
                return part
            except ray.exceptions.RayActorError:
                self._restart()
                ref = self.actor.search.remote(queries, keep)
        part = ray.get(ref)
        return part

    def close(self) -> None:
        self._stop()
        self.batches = []


class RayBackend:
    """Shards as Ray actors.

    `RayBackend(actor_options=None, retries=3)`: `actor_options` are passed
    to `.options()` of every shard actor (default `DEFAULT_ACTOR_OPTIONS`);
    a call to a dead actor restarts it up to `retries` times. Ray is started
    with `ray.init()` if it is not running yet; the backend never stops it.
    """

    def __init__(self, actor_options: dict[str, Any] | None = None, retries: int = 3) -> None:
        if not ray.is_initialized():
            ray.init()
        self.actor_options = dict(DEFAULT_ACTOR_OPTIONS if actor_options is None else actor_options)
        self.retries = retries

    def new_shard(self, dim: int, metric: Metric, rows: Rows) -> RayShard:
        return RayShard(self, dim, metric, rows)

    def share_queries(self, queries: Rows) -> object:
        # Put once, read in place by every shard's actor.
        return ray.put(np.ascontiguousarray(queries))
