"""Ctrl-C held back until the index's own records agree with its engine.

The engine stops a long add between two pieces when Ctrl-C arrives and keeps
the rows before it, and a KeyboardInterrupt raised just after a call returns
would leave the keys one piece behind the rows. While a `Deferred` is
active, SIGINT only sets a flag (the engine's own check then finds no
exception and finishes its piece); `pending()` says whether one arrived, and
the KeyboardInterrupt is raised on leaving, once the records are in step.
Outside the main thread Python delivers no SIGINT, and nothing is changed.

A class rather than a generator, and `_signal` rather than `signal` (which
makes enums of the numbers): leaving it allocates nothing, so that once a
change is committed no failed allocation can report it as failed.
"""

from __future__ import annotations

import _signal  # type: ignore[import-not-found]  # no stubs: the C half of `signal`
import signal
import threading
from typing import Any


class Deferred:
    def __init__(self) -> None:
        self.hit = False
        self._previous: Any = None
        self._installed = False

    def pending(self) -> bool:
        return self.hit

    def _hold(self, signum: int, frame: object) -> None:
        self.hit = True

    def __enter__(self) -> Deferred:
        if threading.current_thread() is threading.main_thread():
            self._previous = _signal.signal(_signal.SIGINT, self._hold)
            self._installed = True
        return self

    def __exit__(self, kind: object, *exc: object) -> None:
        if not self._installed:
            return
        self._installed = False
        _signal.signal(_signal.SIGINT, self._previous)
        if self.hit and kind is None:  # an error on its way out is raised as it is
            if callable(self._previous):
                self._previous(signal.SIGINT, None)
            elif self._previous == signal.SIG_DFL:
                raise KeyboardInterrupt


def deferred() -> Deferred:
    return Deferred()
