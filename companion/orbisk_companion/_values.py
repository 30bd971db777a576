"""Metadata values as the graph extension stores and compares them.

The extension keeps a value as text, a signed 64-bit integer or a double,
tried in that order, and a filter admits a value only of the same kind and
equal payload (so 1 and 1.0 differ, NaN matches nothing). The index converts
each value the same way before handing it over, so that it can test a filter
itself (for the graph's start node, which the walk never tests) and pass the
extension only values it takes as they are.
"""

from __future__ import annotations

import math
import operator
from typing import Any

Tagged = tuple[str, Any]

_INT64 = range(-(2**63), 2**63)


def tag(value: object) -> Tagged | None:
    """("s", str), ("i", int) or ("f", float), or None if the extension
    would refuse the value."""
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return None
        return ("s", str(value))
    try:
        i = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        pass
    else:
        if i in _INT64:
            return ("i", int(i))
    try:
        f = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError, OverflowError):
        return None
    return ("f", f)


def matches(stored: Tagged, wanted: Tagged) -> bool:
    return stored[0] == wanted[0] and stored[1] == wanted[1] and not (stored[0] == "f" and math.isnan(stored[1]))
