"""A reader-writer lock for objects that several threads share: a shard's
holder here, and the everyday index built on this package.

Readers run together; a writer waits for the readers in progress and then
runs alone. A writer that is waiting holds back readers that come after it,
so a stream of searches never starves a change. A thread may take the lock
again while it holds it (a read or a write inside its own write, a read
inside its own read); a write inside its own read would wait for itself, so
it is refused with RuntimeError. Every wait is a `threading.Condition` wait,
which releases the interpreter lock. The condition's mutex is taken and
released by hand, not by `with`: leaving a `with` allocates, and a failed
allocation there would leave the mutex held.

A child made by `os.fork` inherits the lock in whatever state the parent's
threads left it, though only the forking thread runs on in the child: each
lock is reset there to what that thread held (nothing, unless it forked from
inside a call), with a new condition, since the parent's could be held by a
thread that no longer exists.
"""

from __future__ import annotations

import functools
import os
import threading
import weakref
from collections.abc import Callable, Iterator
from contextlib import AbstractContextManager, contextmanager
from typing import Concatenate, Protocol

__all__ = ["ReadWriteLock", "reads", "writes"]

_LOCKS: weakref.WeakSet[ReadWriteLock] = weakref.WeakSet()


class ReadWriteLock:
    """Many readers or one writer; see the module's docstring."""

    def __init__(self) -> None:
        self._reset({})
        _LOCKS.add(self)

    def _reset(self, held: dict[int, int]) -> None:
        self.once = threading.Lock()
        """For readers that fill a cache of the object together: whoever
        holds it fills the cache, the others wait and find it filled."""
        self._mutex = threading.Lock()
        self._changed = threading.Condition(self._mutex)
        self._held = held  # thread -> how many times it holds the lock (reads and writes)
        self._writer: int | None = None
        self._readers = 0  # threads reading
        self._waiting = 0  # writers waiting

    def _after_fork(self) -> None:
        me = threading.get_ident()
        depth = self._held.get(me)
        writing = self._writer == me
        self._reset({me: depth} if depth else {})
        if depth:
            if writing:
                self._writer = me
            else:
                self._readers = 1

    def acquire_read(self) -> int:
        """Waits until the calling thread may read; its id, for `release`."""
        me = threading.get_ident()
        self._mutex.acquire()
        try:
            if me in self._held:  # a read inside its own read or write
                self._held[me] += 1
                return me
            while self._writer is not None or self._waiting:
                self._changed.wait()
            self._held[me] = 1  # first: the one step that may fail (MemoryError)
            self._readers += 1
        finally:
            self._mutex.release()
        return me

    def acquire_write(self) -> int:
        """Waits until the calling thread may write alone; its id, for `release`."""
        me = threading.get_ident()
        self._mutex.acquire()
        try:
            if self._writer == me:
                self._held[me] += 1
                return me
            if me in self._held:
                raise RuntimeError("a thread cannot change what it is reading (a write inside its own read)")
            self._waiting += 1
            try:
                while self._writer is not None or self._readers:
                    self._changed.wait()
            except BaseException:  # KeyboardInterrupt while waiting: it gives up
                self._waiting -= 1
                self._changed.notify_all()  # the readers it held back
                raise
            try:
                self._held[me] = 1  # first: the one step that may fail (MemoryError)
            finally:
                self._waiting -= 1
            self._writer = me
        finally:
            self._mutex.release()
        return me

    def release(self, me: int | None = None) -> None:
        """Releases the last read or write of the calling thread (`me`, its
        id from the acquire: then nothing is allocated, so a change that is
        made cannot fail on its way out)."""
        if me is None:
            me = threading.get_ident()
        self._mutex.acquire()
        try:
            depth = self._held[me] - 1
            if depth:
                self._held[me] = depth
                return
            del self._held[me]
            if self._writer == me:
                self._writer = None
            else:
                self._readers -= 1
                if not self._waiting:
                    return  # no writer waits, so no reader does either
            self._changed.notify_all()
        finally:
            self._mutex.release()

    def reading(self) -> AbstractContextManager[None]:
        return self._holding(self.acquire_read)

    def writing(self) -> AbstractContextManager[None]:
        return self._holding(self.acquire_write)

    @contextmanager
    def _holding(self, acquire: Callable[[], int]) -> Iterator[None]:
        me = acquire()
        try:
            yield
        finally:
            self.release(me)


def _after_fork_in_child() -> None:
    for lock in list(_LOCKS):
        lock._after_fork()


os.register_at_fork(after_in_child=_after_fork_in_child)


class Locked(Protocol):
    _lock: ReadWriteLock


def _holding[S: Locked, **P, R](
    acquire: Callable[[ReadWriteLock], int], method: Callable[Concatenate[S, P], R]
) -> Callable[Concatenate[S, P], R]:
    @functools.wraps(method)
    def holding(self: S, /, *args: P.args, **kwargs: P.kwargs) -> R:
        me = acquire(self._lock)
        try:
            return method(self, *args, **kwargs)
        finally:
            self._lock.release(me)

    return holding


def reads[S: Locked, **P, R](method: Callable[Concatenate[S, P], R]) -> Callable[Concatenate[S, P], R]:
    """`method` run holding its object's `_lock` to read."""
    return _holding(ReadWriteLock.acquire_read, method)


def writes[S: Locked, **P, R](method: Callable[Concatenate[S, P], R]) -> Callable[Concatenate[S, P], R]:
    """`method` run holding its object's `_lock` alone."""
    return _holding(ReadWriteLock.acquire_write, method)
