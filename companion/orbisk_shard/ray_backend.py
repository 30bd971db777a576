"""Ray backend: one actor per shard, shard data in Ray's object store.

Each batch of a shard (the first one and every appended one) is put once
into the object store with `ray.put`; the driver keeps the references, so
the batches live there as long as the index does, in the driver's node's
store. The shard's actor reads them there without a copy (Ray hands a numpy
array to a worker on the same node as a read-only view of the shared-memory
store) and copies them into its index (flat or graph), which owns its rows.
Removals are kept beside the batches; a compaction puts again, without the
removed rows, only the batches that lost some. `rows` reads the store, not
the actor.

Recovery. However a shard's answer fails to arrive (the actor died or never
ran, its node died, the answer was lost with the node whose store held it),
the shard starts a new actor, which rebuilds the index from the stored
batches and removals, and repeats the call, within the bounds of
`orbisk_shard._recovery`.
The new actor is placed by Ray's scheduler with the shard's actor options,
which never picks a node that Ray reports dead or draining. After an abrupt
loss Ray still counts a node alive until its health checks fail (about 15 s
with Ray's defaults); a replacement placed there fails in turn, which is one
more loss, and the next one goes elsewhere.
"""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import Any

import numpy as np

# Ray is an optional extra: where it is not installed, a type check of code
# that uses this package sees it as Any.
import ray  # type: ignore[import-not-found, unused-ignore]

from ._holder import ShardIndex
from ._recovery import Recovery, ShardLostError
from ._store import Batches, StoredShard
from ._types import FLAT, Ids, Kind, Metric, Rows

__all__ = ["DEFAULT_ACTOR_OPTIONS", "RayBackend", "RayShard", "ShardActor"]

DEFAULT_ACTOR_OPTIONS: dict[str, Any] = {"num_cpus": 0, "scheduling_strategy": "SPREAD"}
"""Shard actors reserve no CPU (a search is short and its actor is idle
otherwise, so more shards than cores still start) and are spread over the
nodes of the cluster."""

_LOSSES: tuple[type[BaseException], ...] = (
    ray.exceptions.RayActorError,  # died, never ran, unavailable
    ray.exceptions.ObjectLostError,  # the answer went with its node
    ray.exceptions.NodeDiedError,
    ray.exceptions.WorkerCrashedError,
    ray.exceptions.ActorUnschedulableError,
    ray.exceptions.GetTimeoutError,  # only raised by a bounded wait of a recovery
)
"""What says that an answer will not arrive. An error raised by the shard's
own code (RayTaskError) is not among them: it is the call's result."""


class ShardActor(ShardIndex):
    """A shard's index in its own worker process."""

    def __init__(
        self, dim: int, metric: Metric, batches: list[ray.ObjectRef[Any]], removed: Ids, kind: Kind = FLAT
    ) -> None:
        super().__init__(dim, metric, kind)
        # A list of references is not resolved by Ray: get them here, one
        # at a time, each a zero-copy view while it is copied in. (A
        # reference given to `append` as an argument arrives resolved.)
        for ref in batches:
            self.append(ray.get(ref))
        if removed.size:
            self.remove(removed)

    def ready(self) -> tuple[int, str]:
        """The rows held and the id of the node this actor runs on."""
        return self.count(), ray.get_runtime_context().get_node_id()


_RemoteShardActor: Any = ray.remote(ShardActor)


class RayShard(StoredShard):
    """The driver's side of one shard: its actor and its stored batches.

    `node` is the id of the node its actor runs on, known once the actor has
    answered; `restarts` counts the actors started after the first."""

    def __init__(self, backend: RayBackend, dim: int, metric: Metric, rows: Rows, kind: Kind = FLAT) -> None:
        self._backend = backend
        self._dim = dim
        self._metric = metric
        self._kind = kind
        self.store: Batches[ray.ObjectRef[Any]] = Batches(ray.put(rows), rows.shape[0])
        self.restarts = 0
        self._in_doubt = False
        self._waits = threading.Lock()
        self._start()

    @property
    def batches(self) -> list[ray.ObjectRef[Any]]:
        """The references of the stored batches, in order."""
        return self.store.items

    def _start(self) -> None:
        self.actor: Any = _RemoteShardActor.options(**self._backend.actor_options).remote(
            self._dim, self._metric, list(self.store.items), self.store.removed, self._kind
        )
        self.node: str | None = None
        # Calls from one caller run on an actor in the order they were made:
        # `ready` answers once the rebuild is done, appends after it, and a
        # search sent later sees them all. All are waited for with the next
        # search, where a loss of any of them is a loss of its answer.
        self._ready: tuple[int, Any] | None = (self.store.count, self.actor.ready.remote())
        self._pending: list[ray.ObjectRef[Any]] = []

    def _stop(self) -> None:
        # The actor may be gone already (that is why it is stopped).
        try:
            ray.kill(self.actor, no_restart=True)
        except Exception:
            pass
        self._ready = None
        self._pending = []

    def _restart(self) -> None:
        self._stop()
        self._start()
        self.restarts += 1

    def append(self, rows: Rows) -> None:
        ref = ray.put(rows)
        self.store.append(ref, rows.shape[0])
        self._pending.append(self.actor.append.remote(ref))

    def remove(self, ids: Ids) -> None:
        # Recorded first: an actor started from now on removes them itself,
        # and this one does before any later call.
        self.store.remove(ids)
        self._pending.append(self.actor.remove.remote(ids))

    def compact(self) -> None:
        self.store.compact(ray.get, ray.put)
        self._pending.append(self.actor.compact.remote())

    def _load(self, item: Any) -> Rows:
        return ray.get(item)  # type: ignore[no-any-return]

    def _ask(self, method: str, *args: Any) -> Callable[[], Any]:
        ref = getattr(self.actor, method).remote(*args)
        return lambda: self._wait(ref, method, args)

    def _settle(self, timeout: float | None) -> None:
        """Wait for the calls sent before the search: the actor's start and
        the appends since."""
        if self._ready is not None:
            expected, ref = self._ready
            got, node = ray.get(ref, timeout=timeout)
            if got != expected:  # pragma: no cover - would be a bug
                raise RuntimeError(f"shard rebuilt with {got} rows, expected {expected}")
            self._ready, self.node = None, node
        if self._pending:
            ray.get(self._pending, timeout=timeout)
            self._pending = []

    def _wait(self, ref: ray.ObjectRef[Any], method: str, args: tuple[Any, ...]) -> Any:
        with self._waits:
            return self._recovering(ref, method, args)

    def _recovering(self, ref: ray.ObjectRef[Any], method: str, args: tuple[Any, ...]) -> Any:
        backend = self._backend
        recovery = Recovery(backend.retries, backend.recovery_timeout, start_now=self._in_doubt)
        while True:
            try:
                self._settle(recovery.remaining())
                answer = ray.get(ref, timeout=recovery.remaining())
                self._in_doubt = False
                return answer
            except _LOSSES as e:
                try:
                    recovery.lost(e)
                except ShardLostError:
                    self._in_doubt = True
                    raise
                self._restart()
                ref = getattr(self.actor, method).remote(*args)

    def close(self) -> None:
        self._stop()
        self.store.items, self.store.sizes = [], []


class RayBackend:
    """Shards as Ray actors.

    `RayBackend(actor_options=None, retries=3, recovery_timeout=120.0)`:
    `actor_options` are passed to `.options()` of every shard actor (default
    `DEFAULT_ACTOR_OPTIONS`). A call whose answer is lost restarts its shard
    up to `retries` times, within `recovery_timeout` seconds of the first
    loss; then it raises `orbisk_shard.ShardLostError`. Ray is started with
    `ray.init()` if it is not running yet; the backend never stops it.
    """

    def __init__(
        self, actor_options: dict[str, Any] | None = None, retries: int = 3, recovery_timeout: float = 120.0
    ) -> None:
        if not ray.is_initialized():
            ray.init()
        self.actor_options = dict(DEFAULT_ACTOR_OPTIONS if actor_options is None else actor_options)
        self.retries = retries
        self.recovery_timeout = recovery_timeout

    def new_shard(self, dim: int, metric: Metric, rows: Rows, kind: Kind = FLAT) -> RayShard:
        return RayShard(self, dim, metric, rows, kind)

    def share_queries(self, queries: Rows) -> object:
        # Put once, read in place by every shard's actor.
        return ray.put(np.ascontiguousarray(queries))
