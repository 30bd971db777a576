"""An optional progress bar: tqdm when it is installed, else a counter."""

from __future__ import annotations

import sys
from typing import Any


class _Counter:
    def __init__(self, total: int, desc: str) -> None:
        self.total, self.desc, self.n = total, desc, 0
        self._shown = -1

    def update(self, n: int) -> None:
        self.n += n
        percent = 100 * self.n // self.total if self.total else 100
        if percent != self._shown:
            self._shown = percent
            sys.stderr.write(f"\r{self.desc}: {self.n}/{self.total} ({percent}%)")
            sys.stderr.flush()

    def close(self) -> None:
        sys.stderr.write("\n")
        sys.stderr.flush()


class _Silent:
    def update(self, n: int) -> None:
        pass

    def close(self) -> None:
        pass


SILENT = _Silent()


def bar(total: int, desc: str, enabled: bool) -> Any:
    if not enabled:
        return _Silent()
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return _Counter(total, desc)
    return tqdm(total=total, desc=desc, unit="row" if desc == "add" else "query")
