"""Dask backend: one actor per shard, pinned to its worker.

An index can never be pickled or moved, so each shard's index lives in a
Dask actor created on one worker (`workers=[address]`,
`allow_other_workers=False`) and stays there.

Where the data stays. Dask has no store that outlives a worker: scattered
data lives in the memory of the workers that hold it, and the scheduler's
active memory manager drops extra replicas within seconds (so
`Client.replicate` does not keep a second copy). The backend therefore keeps
every batch of every shard in the client (one copy per batch, taken when it
is appended) and sends it to the shard's worker, which copies it into the
actor's index; nothing of it stays in the worker beyond the index.
Removals are kept beside the batches, and a compaction drops the removed
rows from them too. `rows` reads the client's batches, not the actor.

Recovery. When the worker dies or leaves, the next call to the actor fails,
or never answers: a call reaches an actor through the scheduler, which
keeps trying to connect to a dead worker for Dask's connect timeout (30 s by
default). So every wait is made in short slices, and between them the
backend asks the scheduler whether the shard's worker is still there; a call
to a worker that is gone ends as soon as the scheduler has seen it go. Any
such loss is answered as `orbisk_shard._recovery` says: a new actor on a
live worker (never one this backend has seen fail), every stored batch and
removal sent to it, the call repeated.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from typing import Any

# Dask is an optional extra: where it is not installed, a type check of code
# that uses this package sees it as Any.
import distributed  # type: ignore[import-not-found, unused-ignore]
import numpy as np

from ._holder import ShardIndex
from ._recovery import Recovery, ShardLostError
from ._store import Batches, StoredShard
from ._types import FLAT, Ids, Kind, Metric, Rows

__all__ = ["DaskBackend", "DaskShard", "ShardActor"]

POLL = 0.2
"""Seconds between two looks at the scheduler's list of workers while a
call is waited for."""


class ShardActor(ShardIndex):
    """A shard's index held by a Dask worker."""

    def __init__(self, dim: int, metric: Metric, batches: list[Rows], removed: Ids, kind: Kind = FLAT) -> None:
        super().__init__(dim, metric, kind)
        for rows in batches:
            self.append(rows)
        if removed.size:
            self.remove(removed)


class _WorkerGone(Exception):
    """The shard's worker is no longer among the scheduler's workers, or
    another shard of the backend has seen it fail."""


def _loss_types() -> tuple[type[BaseException], ...]:
    # The comm errors derive from OSError, TimeoutError too (a wait of ours
    # that reached its bound); a lost actor future is cancelled.
    found: list[type[BaseException]] = [OSError, _WorkerGone]
    for module, name in (("client", "FutureCancelledError"), ("scheduler", "KilledWorker")):
        cls = getattr(getattr(distributed, module, None), name, None)
        if isinstance(cls, type) and issubclass(cls, BaseException):
            found.append(cls)
    return tuple(found)


_LOSSES = _loss_types()


def _is_loss(e: BaseException) -> bool:
    """Whether `e` says that the answer will not arrive."""
    return isinstance(e, _LOSSES) or (isinstance(e, RuntimeError) and "Worker holding Actor was lost" in str(e))


class DaskShard(StoredShard):
    """The client's side of one shard: its actor, its worker and its batches.

    `actor_future` is the future of the task that made the actor: the
    scheduler's handle on it, as long as it lives."""

    def __init__(self, backend: DaskBackend, dim: int, metric: Metric, rows: Rows, kind: Kind = FLAT) -> None:
        self._backend = backend
        self._dim = dim
        self._metric = metric
        self._kind = kind
        self.store: Batches[Rows] = Batches(np.array(rows, order="C", copy=True), rows.shape[0])
        self._starts = 0
        self.worker: str | None = None
        self.actor_future: Any = None
        self.actor: Any = None
        self._in_doubt = False
        self._waits = threading.Lock()
        self._run(None, None)

    @property
    def batches(self) -> list[Rows]:
        """The stored batches, in order."""
        return self.store.items

    @property
    def restarts(self) -> int:
        """The actors started after the first."""
        return max(self._starts - 1, 0)

    # -- the actor's life --------------------------------------------------

    def _start(self, recovery: Recovery) -> None:
        """A new actor on a live worker, with every stored batch and removal."""
        backend = self._backend
        worker = backend.pick_worker(self._bound(recovery))
        self.worker = worker
        self._starts += 1
        # Sent straight to the chosen worker, then released once the actor
        # has copied them into its index. Scatter's own timeout bounds only
        # the wait for workers, not the sending: to a worker that has
        # stopped answering it would wait for ever, so it runs on the
        # client's loop under our bound.
        client = backend.client
        try:
            sent = client.sync(
                lambda: client.scatter(self.store.items, workers=[worker], hash=False, asynchronous=True),
                callback_timeout=self._bound(recovery),
            )
        except Exception as e:
            # The scheduler refuses to scatter to a worker it has just
            # dropped (KeyError): that is a loss like any other.
            if _is_loss(e) or worker not in backend.workers():
                raise _WorkerGone(f"worker {worker} left while the shard was sent to it") from e
            raise
        future = client.submit(
            ShardActor,
            self._dim,
            self._metric,
            sent,
            self.store.removed,
            self._kind,
            actor=True,
            workers=[worker],
            allow_other_workers=False,
            pure=False,
        )
        self.actor_future = future
        actor = self._await(future, recovery)
        got = self._await(actor.count(), recovery)
        if got != self.store.count:  # pragma: no cover - would be a bug
            raise RuntimeError(f"shard built with {got} rows, expected {self.store.count}")
        del sent
        self.actor = actor

    def _lose(self) -> None:
        """Forget the actor; its worker is not used again by this backend."""
        if self.worker is not None:
            self._backend.failed.add(self.worker)
        if self.actor_future is not None:
            try:
                self.actor_future.release()
            except Exception:
                pass
        self.actor_future = self.actor = None

    def _alive(self) -> bool:
        # Once the scheduler has seen the worker die, the actor's future is
        # no longer finished and the actor refuses every call (RuntimeError
        # "Worker holding Actor was lost").
        return (
            self.actor is not None
            and self.actor_future.status == "finished"
            and self.worker not in self._backend.failed
        )

    # -- waiting -----------------------------------------------------------

    def _bound(self, recovery: Recovery) -> float:
        """How long one wait may last: the backend's timeout, and no longer
        than the recovery has left."""
        left = recovery.remaining()
        return self._backend.timeout if left is None else min(self._backend.timeout, left)

    def _await(self, future: Any, recovery: Recovery) -> Any:
        """The result of `future` (a call to this shard's actor, or its
        start), waited for in slices of POLL seconds; between two slices,
        whether the worker is still there."""
        end = time.monotonic() + self._bound(recovery)
        while True:
            try:
                return future.result(timeout=max(min(POLL, end - time.monotonic()), 0.001))
            except TimeoutError:
                if time.monotonic() >= end:
                    raise
                if self.worker in self._backend.failed or self.worker not in self._backend.workers():
                    raise _WorkerGone(f"worker {self.worker} is gone") from None

    def _run(self, call: Callable[[Any], Any] | None, started: Any, *, rebuild_does_it: bool = True) -> Any:
        """Call `call(actor)` and wait for its result, recovering from every
        loss; `started` is the call's future if it was already sent. With
        `call` None, or `rebuild_does_it` and a restart, a started actor is
        the result (the new actor got every stored batch already)."""
        recovery = Recovery(self._backend.retries, self._backend.recovery_timeout, start_now=self._in_doubt)
        future = started
        error: BaseException | None = None
        try:
            while True:
                try:
                    if future is None:
                        restart = not self._alive()
                        if restart:
                            if error is not None or self._starts:
                                # A lost actor, found before the call or by it.
                                recovery.lost(error or _WorkerGone(f"the actor on {self.worker} is lost"))
                            self._lose()
                            self._start(recovery)
                        if call is None or (restart and rebuild_does_it):
                            result = None
                            break
                        future = call(self.actor)
                    result = self._await(future, recovery)
                    break
                except ShardLostError:
                    raise
                except Exception as e:
                    if not _is_loss(e):
                        raise
                    future, error = None, e
                    self._lose()
        except ShardLostError:
            self._in_doubt = True
            raise
        self._in_doubt = False
        return result

    # -- the shard ---------------------------------------------------------

    def append(self, rows: Rows) -> None:
        batch = np.array(rows, order="C", copy=True)
        self.store.append(batch, rows.shape[0])
        # Waited for: calls to a Dask actor are not ordered, and a search
        # must see these rows. A restart sends this batch with the others.
        try:
            self._run(lambda actor: actor.append(batch), None, rebuild_does_it=True)
        except BaseException:
            # Not appended: the shard holds what it held before, and the
            # actor, which may have taken the batch, is rebuilt next time.
            self.store.pop()
            self._lose()
            raise

    def remove(self, ids: Ids) -> None:
        # Kept even when the call fails: the actor, which may or may not
        # have removed them, is rebuilt with them next time.
        self.store.remove(ids)
        self._change(lambda actor: actor.remove(ids))

    def compact(self) -> None:
        self.store.compact(self._load, lambda rows: rows)
        self._change(lambda actor: actor.compact())

    def _change(self, call: Callable[[Any], Any]) -> None:
        """Apply a change already in the store to the actor (a restart
        rebuilds it from the store, which has it)."""
        try:
            self._run(call, None, rebuild_does_it=True)
        except BaseException:
            self._lose()
            raise

    def _load(self, item: Any) -> Rows:
        return item  # type: ignore[no-any-return]

    def _ask(self, method: str, *args: Any) -> Callable[[], Any]:
        started: Any = None
        if self._alive():
            try:
                started = getattr(self.actor, method)(*args)
            except Exception as e:
                if not _is_loss(e):
                    raise

        def wait() -> Any:
            with self._waits:
                return self._run(lambda actor: getattr(actor, method)(*args), started, rebuild_does_it=False)

        return wait

    def close(self) -> None:
        if self.actor_future is not None:
            self.actor_future.release()
        self.actor_future = self.actor = None
        self.store.items, self.store.sizes = [], []
        if self in self._backend.shards:
            self._backend.shards.remove(self)


class DaskBackend:
    """Shards as Dask actors, placed on the least loaded worker.

    `DaskBackend(client=None, timeout=60.0, retries=2, recovery_timeout=120.0)`:
    the client of the cluster (default: the current one,
    `distributed.get_client()`); each call waits at most `timeout` seconds.
    A call whose answer is lost restarts its shard on a live worker up to
    `retries` times, within `recovery_timeout` seconds of the first loss;
    then it raises `orbisk_shard.ShardLostError`.
    """

    def __init__(
        self,
        client: distributed.Client | None = None,
        timeout: float = 60.0,
        retries: int = 2,
        recovery_timeout: float = 120.0,
    ) -> None:
        # Any: distributed's own annotations leave much of the client untyped.
        self.client: Any = client if client is not None else distributed.get_client()
        self.timeout = timeout
        self.retries = retries
        self.recovery_timeout = recovery_timeout
        self.shards: list[DaskShard] = []
        self.failed: set[str] = set()
        """Workers on which a shard of this backend was lost: never used again."""

    def workers(self) -> list[str]:
        return sorted(self.client.scheduler_info()["workers"])

    def pick_worker(self, timeout: float) -> str:
        """The live worker holding the fewest of this backend's shards,
        waiting up to `timeout` seconds for one to be there."""
        deadline = time.monotonic() + timeout
        while True:
            live = [w for w in self.workers() if w not in self.failed]
            if live:
                load = {w: 0 for w in live}
                for s in self.shards:
                    if s.actor is not None and s.worker in load:
                        load[s.worker] += 1
                return min(live, key=lambda w: (load[w], live.index(w)))
            if time.monotonic() > deadline:
                raise TimeoutError("no live Dask worker to place a shard on")
            time.sleep(POLL)

    def new_shard(self, dim: int, metric: Metric, rows: Rows, kind: Kind = FLAT) -> DaskShard:
        shard = DaskShard(self, dim, metric, rows, kind)
        self.shards.append(shard)
        return shard

    def share_queries(self, queries: Rows) -> object:
        return queries  # sent to each shard's worker with the call
