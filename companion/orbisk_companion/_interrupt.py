"""Ctrl-C held back until the index's own records agree with the extension.

The extension stops a long batch between two rows when Ctrl-C arrives and
keeps the rows before it, but it does not say how many it kept, and a
KeyboardInterrupt raised just after a call returns would leave the keys one
batch behind the rows. While `deferred()` is active, SIGINT only sets a flag
(the extension's own check then finds no exception and finishes its chunk);
`pending()` says whether one arrived, and the caller raises it once its
records are in step. Outside the main thread Python delivers no SIGINT, and
nothing is changed.
"""

from __future__ import annotations

import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any


class Deferred:
    def __init__(self) -> None:
        self.hit = False

    def pending(self) -> bool:
        return self.hit


@contextmanager
def deferred() -> Iterator[Deferred]:
    state = Deferred()
    if threading.current_thread() is not threading.main_thread():
        yield state
        return
    previous: Any = signal.getsignal(signal.SIGINT)

    def hold(signum: int, frame: object) -> None:
        state.hit = True

    signal.signal(signal.SIGINT, hold)
    try:
        yield state
    finally:
        signal.signal(signal.SIGINT, previous)
    if state.hit:
        if callable(previous):
            previous(signal.SIGINT, None)
        elif previous == signal.SIG_DFL:
            raise KeyboardInterrupt
