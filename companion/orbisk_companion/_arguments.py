"""Checks of the arguments `Index` and its engines share: counts, and arrays
of real numbers (with their non-finite values refused, naming the row)."""

from __future__ import annotations

import operator
from typing import Any, Final

import numpy as np
import numpy.typing as npt

import orbisk_engine

# dtypes the engine converts to float64 itself, exactly and a chunk at a time.
# (64-bit ints are converted here, rounded as numpy rounds them.)
_ENGINE_DTYPES: Final = frozenset("?bBhHiIfd")
# Float arrays whose non-finite values the engine finds itself.
_ENGINE_FLOATS: Final = frozenset({np.dtype("<f4"), np.dtype("<f8")})


def positive(name: str, value: object, *, optional: bool = True, least: int = 1) -> int | None:
    """`value` as an int from `least` (1) to 2**32 - 1 (None stays None if `optional`)."""
    if value is None and optional:
        return None
    try:
        n = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None
    if n < least or n > 2**32 - 1:
        raise ValueError(f"{name} must be between {least} and 4294967295, got {n}")
    return n


def real_array(x: object, what: str) -> npt.NDArray[np.float64]:
    a = np.asarray(x)
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{what} must hold real numbers, got an array of dtype {a.dtype}")
    return np.ascontiguousarray(a, dtype=np.float64)


def engine_array(x: object, what: str) -> npt.NDArray[Any]:
    """`x` as a C-contiguous array the engine converts itself (float64,
    float32, ints, bools: no float64 copy made here), else as float64."""
    a = np.asarray(x)
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{what} must hold real numbers, got an array of dtype {a.dtype}")
    if a.dtype.char in _ENGINE_DTYPES and a.dtype.isnative:
        return np.ascontiguousarray(a)
    return np.ascontiguousarray(a, dtype=np.float64)


def refuse_inexact(a: npt.NDArray[Any], what: str) -> None:
    """ValueError naming the first row of `a` holding a value that float32
    storage cannot keep exactly (NaN and infinities it keeps), checked a
    block of rows at a time."""
    if a.dtype == np.float32 or a.dtype == np.bool_:
        return
    step = max(1, 2**16 // max(1, a.shape[1]))
    for start in range(0, a.shape[0], step):
        block = a[start : start + step]
        with np.errstate(over="ignore"):
            kept = block.astype(np.float32) == block
        kept |= np.isnan(block) if block.dtype.kind == "f" else False
        if not kept.all():
            row = start + int(np.flatnonzero(~kept.all(axis=1))[0])
            raise ValueError(f"row {row} of {what} holds a value that float32 storage cannot keep exactly")


def refuse_nonfinite(a: npt.NDArray[Any], what: str, row: int | None = None) -> None:
    """ValueError naming the first row of `a` (or the vector `a`) that holds
    a NaN or an infinity: `row`, when a search has found it already, or else
    looked for a block of rows at a time (no mask as big as the rows)."""
    if row is None:
        row = first_nonfinite(a)
        if row is None:
            return
    named = what if a.ndim == 1 else f"row {row} of {what}"
    raise ValueError(f"{named} holds NaN or infinity (allow_nonfinite=True accepts it)")


def first_nonfinite(a: npt.NDArray[Any]) -> int | None:
    if a.dtype.kind != "f":
        return None  # ints and bools are finite
    if a.dtype in _ENGINE_FLOATS and a.flags.c_contiguous and a.ndim <= 2:
        return orbisk_engine.first_nonfinite(a)  # one pass, no mask, the interpreter lock released
    if a.ndim == 1:
        return None if np.isfinite(a).all() else 0
    step = max(1, 2**16 // max(1, a.shape[1]))
    for start in range(0, a.shape[0], step):
        block = a[start : start + step]
        if not np.isfinite(block).all():
            return start + int(np.flatnonzero(~np.isfinite(block).all(axis=1))[0])
    return None
