"""How a backend recovers a shard whose answer did not arrive: one rule for
every engine.

Whatever the way the answer failed to arrive (its actor died, never ran, its
worker or node died, the answer was lost with the node that held it, or a
restart failed in any of these ways), it is one loss: the shard is restarted
from its stored batches on a live worker and the call is repeated. A call
may restart its shard at most `retries` times, all within `timeout` seconds
of the first loss it saw; past either bound it raises `ShardLostError`.
Nothing partial is ever returned, and the shard keeps every stored batch, so
a later call starts over.
"""

from __future__ import annotations

import time

__all__ = ["Recovery", "ShardLostError"]


class ShardLostError(RuntimeError):
    """A shard's answer did not arrive, and restarting the shard did not
    bring it within the bounds of its recovery. The call has no result; the
    index keeps all its rows, and a later call tries again."""


def _first_line(error: BaseException) -> str:
    lines = str(error).strip().splitlines()
    return f"{type(error).__name__}: {lines[0]}" if lines else type(error).__name__


class Recovery:
    """The bounds of one call's recovery: counts its restarts and keeps its
    deadline. `start_now` starts the clock at once, for a shard whose last
    recovery failed (its actor may never come up, so no wait of it may be
    unbounded)."""

    def __init__(self, retries: int, timeout: float, *, start_now: bool = False) -> None:
        self._retries = retries
        self._timeout = timeout
        self.restarts = 0
        self._began: float | None = None
        if start_now:
            self._begin()

    def _begin(self) -> float:
        if self._began is None:
            self._began = time.monotonic()
        return self._began

    def remaining(self) -> float | None:
        """How long the next wait may last: None (no bound of ours, the
        engine's failure detection ends it) until a loss is seen, then the
        time left."""
        if self._began is None:
            return None
        return max(self._began + self._timeout - time.monotonic(), 0.0)

    def lost(self, error: BaseException) -> None:
        """Count one loss, which the caller answers with a restart; raise
        ShardLostError, from `error`, when the bounds leave no restart."""
        began = self._begin()
        spent = time.monotonic() - began
        if self.restarts >= self._retries or spent >= self._timeout:
            raise ShardLostError(
                f"answer lost and not recovered: {self.restarts} restart(s) in {spent:.1f} s "
                f"(at most {self._retries} within {self._timeout:g} s); last: {_first_line(error)}"
            ) from error
        self.restarts += 1
