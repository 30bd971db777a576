"""Dask backend: one actor per shard, pinned to its worker.

An index can never be pickled or moved, so each shard's `PyFlat` lives in a
Dask actor created on one worker (`workers=[address]`,
`allow_other_workers=False`) and stays there.

Where the data stays. Dask has no store that outlives a worker: scattered
data lives in the memory of the workers that hold it, and the scheduler's
active memory manager drops extra replicas within seconds (so
`Client.replicate` does not keep a second copy). The backend therefore keeps
every batch of every shard in the client (one copy per batch, taken when it
is appended) and sends it to the shard's worker, which copies it into the
actor's `PyFlat`; nothing of it stays in the worker beyond the index. When
the worker dies, the next call to the actor fails; the shard then starts a
new actor on a live worker, sends it every stored batch, and repeats the
call.
"""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import Any

import numpy as np

# Dask is an optional extra: where it is not installed, a type check of code
# that uses this package sees it as Any.
import distributed  # type: ignore[import-not-found, unused-ignore]

from ._holder import ShardIndex
from ._types import Metric, Part, Rows

__all__ = ["DaskBackend", "DaskShard", "ShardActor"]


class ShardActor(ShardIndex):
    """A PyFlat held by a Dask worker."""

    def __init__(self, dim: int, metric: Metric, batches: list[Rows]) -> None:
        super().__init__(dim, metric)
        for rows in batches:
            self.append(rows)


def _lost_types() -> tuple[type[BaseException], ...]:
    # Raised by a call to an actor whose worker has died or gone (the comm
    # errors derive from OSError; a lost actor future is cancelled).
    found: list[type[BaseException]] = [OSError, TimeoutError]
    for module, name in (("client", "FutureCancelledError"), ("scheduler", "KilledWorker")):
        cls = getattr(getattr(distributed, module, None), name, None)
        if isinstance(cls, type) and issubclass(cls, BaseException):
            found.append(cls)
    return tuple(found)


_LOST = _lost_types()


def _lost(e: BaseException) -> bool:
    """Whether `e` says the actor's worker is gone."""
    return isinstance(e, _LOST) or (
        isinstance(e, RuntimeError) and "Worker holding Actor was lost" in str(e))


class DaskShard:
    """The client's side of one shard: its actor, its worker and its batches."""

    def __init__(self, backend: DaskBackend, dim: int, metric: Metric, rows: Rows, worker: str) -> None:
        self._backend = backend
        self._dim = dim
        self._metric = metric
        self.batches: list[Rows] = [np.array(rows, dtype=np.float64, order="C", copy=True)]
        self._count = rows.shape[0]
        self.restarts = 0
        self.worker = worker
        self._future: Any = None
        self.actor: Any = None
        self._start(worker)

    def _start(self, worker: str) -> None:
        client = self._backend.client
        # Sent straight to the chosen worker, then released once the actor
        # has copied them into its index.
        sent = client.scatter(self.batches, workers=[worker], hash=False)
        future = client.submit(ShardActor, self._dim, self._metric, sent, actor=True,
                               workers=[worker], allow_other_workers=False, pure=False)
        actor = future.result(timeout=self._backend.timeout)
        got = actor.count().result(timeout=self._backend.timeout)
        if got != self._count:  # pragma: no cover - would be a bug
            raise RuntimeError(f"shard built with {got} rows, expected {self._count}")
        del sent
        self._future, self.actor, self.worker = future, actor, worker

    def _restart(self) -> None:
        dead = self.worker
        self._future = self.actor = None
        deadline = time.monotonic() + self._backend.timeout
        while True:
            worker = self._backend.pick_worker(avoid=dead)
            try:
                self._start(worker)
                self.restarts += 1
                return
            except _LOST:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)

    def _alive(self) -> bool:
        # Once the scheduler has seen the worker die, the actor refuses
        # every call (RuntimeError "Worker holding Actor was lost").
        return self._future is not None and self._future.status in ("finished", "pending")

    def _call(self, name: str, *args: Any) -> Any:
        for attempt in range(self._backend.retries + 1):
            try:
                if not self._alive():
                    self._restart()
                return getattr(self.actor, name)(*args).result(timeout=self._backend.timeout)
            except Exception as e:
                if not _lost(e) or attempt == self._backend.retries:
                    raise
                self._restart()

    def append(self, rows: Rows) -> None:
        batch = np.array(rows, dtype=np.float64, order="C", copy=True)
        if not self._alive():
            self._restart()  # from the batches so far; then append this one
        self.batches.append(batch)
        self._count += rows.shape[0]
        # Waited for: calls to a Dask actor are not ordered, and a search
        # must see these rows.
        try:
            self.actor.append(batch).result(timeout=self._backend.timeout)
        except Exception as e:
            if not _lost(e):
                raise
            self._restart()  # the new actor gets every batch, this one too

    def search(self, queries: object, keep: int) -> Callable[[], Part]:
        started: Any = None
        if self._alive():
            try:
                started = self.actor.search(queries, keep)
            except Exception as e:
                if not _lost(e):
                    raise

        def wait() -> Part:
            if started is not None:
                try:
                    part: Part = started.result(timeout=self._backend.timeout)
                    return part
                except Exception as e:
                    if not _lost(e):
                        raise
                    self._restart()
            return self._call("search", queries, keep)  # type: ignore[no-any-return]

        return wait

    def close(self) -> None:
        if self._future is not None:
            self._future.release()
        self._future = self.actor = None
        self.batches = []
        if self in self._backend.shards:
            self._backend.shards.remove(self)


class DaskBackend:
    """Shards as Dask actors, placed round robin over the workers.

    `DaskBackend(client=None, timeout=60.0, retries=2)`: the client of the
    cluster (default: the current one, `distributed.get_client()`); each
    call waits at most `timeout` seconds; a call to a lost actor restarts it
    on a live worker up to `retries` times.
    """

    def __init__(self, client: distributed.Client | None = None, timeout: float = 60.0,
                 retries: int = 2) -> None:
        # Any: distributed's own annotations leave much of the client untyped.
        self.client: Any = client if client is not None else distributed.get_client()
        self.timeout = timeout
        self.retries = retries
        self.shards: list[DaskShard] = []

    def workers(self) -> list[str]:
        return sorted(self.client.scheduler_info()["workers"])

    def pick_worker(self, avoid: str | None = None) -> str:
        """The live worker holding the fewest of this backend's shards."""
        deadline = time.monotonic() + self.timeout
        while True:
            live = [w for w in self.workers() if w != avoid]
            if live:
                load = {w: 0 for w in live}
                for s in self.shards:
                    if s.actor is not None and s.worker in load:
                        load[s.worker] += 1
                return min(live, key=lambda w: (load[w], live.index(w)))
            if time.monotonic() > deadline:
                raise TimeoutError("no live Dask worker to place a shard on")
            time.sleep(0.2)

    def new_shard(self, dim: int, metric: Metric, rows: Rows) -> DaskShard:
        shard = DaskShard(self, dim, metric, rows, self.pick_worker())
        self.shards.append(shard)
        return shard

    def share_queries(self, queries: Rows) -> object:
        return queries  # sent to each shard's worker with the call
