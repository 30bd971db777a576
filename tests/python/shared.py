"""Helpers the Python suites share: how a double is compared bit for bit,
and the ranking every index promises (ascending, NaN last, ties by id)."""

import math
import struct


def float_bits(x):
    """The eight bytes of a double: -0.0 and every NaN payload told apart."""
    return struct.pack("<d", x)


def same_double(a, b):
    """Equal as doubles, zeros by sign too, any NaN equal to any NaN."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def comparable(d):
    """A value equal for two doubles exactly when same_double holds, for
    comparing whole lists with ==."""
    return "nan" if math.isnan(d) else (d, math.copysign(1.0, d))


def nan_last(d):
    """Sort key of a distance: ascending, every NaN after every number."""
    return (math.isnan(d), 0.0 if math.isnan(d) else d)


def ranked(query, rows, fn):
    """(distance, row) of every row by fn(query, row), in the order a search
    returns them: nan_last, ties by row."""
    return sorted(((fn(query, r), i) for i, r in enumerate(rows)), key=lambda c: (*nan_last(c[0]), c[1]))


def top(query, rows, fn, k):
    """(row, distance) of the first k of ranked(), at least one."""
    return [(i, d) for d, i in ranked(query, rows, fn)[: max(k, 1)]]
