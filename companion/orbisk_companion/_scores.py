"""Metric names, and the conversion of the extension's raw values into scores.

The extension ranks every metric ascending by its raw value. For the two
similarities the index searches with the negated query: each product
(-q[i]) * x[i] is exactly -(q[i] * x[i]) and round-to-nearest is symmetric,
so the raw value for -q is exactly the negated similarity for q, and
negating it again gives the similarity bit for bit. The one exception is the
sign of a zero: a sum that starts from +0.0 ends on +0.0 whenever it
cancels, for q and for -q alike, so negating turns that +0.0 into -0.0.
`searched` (negation in) and `scores` (negation out, and the sign of a zero
put back) are the one place that does this, for the index and the
estimator alike.

The graph is walked in another space for "cosine" (see `steering`) and its
results are scored here by `cosines`, bit for bit the extension's cosine.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Final

import numpy as np
import numpy.typing as npt

from orbisk_shard import METRICS, Metric

SIMILARITIES: Final = frozenset({"cosine", "inner_product"})


def check_metric(metric: object) -> Metric:
    if isinstance(metric, str):
        for name in METRICS:
            if metric == name:
                return name
    hint = " ('angular' is the graph extension's name for 'cosine')" if metric == "angular" else ""
    raise ValueError(f"unknown metric {metric!r}: expected one of {', '.join(map(repr, METRICS))}{hint}")


def sequential_dot(a: npt.NDArray[np.float64], b: npt.NDArray[np.float64]) -> float:
    """The dot product in element order from +0.0, as the extension sums it."""
    s = 0.0
    for x, y in zip(a.tolist(), b.tolist(), strict=True):
        s += x * y
    return s


def sequential_sums(products: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Each row's sum in element order from +0.0, as the extension sums it.

    `np.add.accumulate` adds element by element along the row, each running
    sum the previous one plus the next element, so every partial sum equals
    the sequential one as a number; only a zero can differ in sign, since
    accumulate starts from the first element rather than from +0.0 (a row of
    -0.0 products sums to -0.0 there). A sum from +0.0 never ends on -0.0
    (x + y is -0.0 only when both are), so adding +0.0 at the end, which
    changes nothing but the sign of -0.0, gives the sequential sum.
    """
    return np.add.accumulate(products, axis=1)[:, -1] + 0.0


def cosines(query: npt.NDArray[np.float64], rows: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The extension's cosine of `query` with each row of `rows`:
    dot / (sqrt(|query|^2) * sqrt(|row|^2)), each sum sequential."""
    with np.errstate(all="ignore"):  # IEEE: overflow to inf, 0/0 is NaN, x/inf a signed zero
        qq = sequential_sums((query * query)[None, :])
        dots, xx = sequential_sums(rows * query), sequential_sums(rows * rows)
        out: npt.NDArray[np.float64] = dots / (np.sqrt(qq) * np.sqrt(xx))
    return out


def steering(rows: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The vectors a cosine graph walks: each row over its length.

    Between vectors of length one the Euclidean distance is
    sqrt(2 - 2 cos), so a Euclidean walk over them heads for the rows of
    highest cosine (up to rounding; the scores are the exact cosines). A row
    without a finite direction (zero, NaN or infinite elements, or a length
    whose square under- or overflows) walks as the zero vector, at distance
    1 from every other: its cosine is NaN, or a zero or infinity of the
    definition's rounding, never a measure of its direction.
    """
    with np.errstate(all="ignore"):
        out = rows / np.sqrt(sequential_sums(rows * rows))[:, None]
    out[~np.isfinite(out).all(axis=1) | (out == 0.0).all(axis=1)] = 0.0
    return out


def searched[T: (float, npt.NDArray[np.float64])](metric: str, values: T) -> T:
    """What the engine is asked with for `values` (queries, or a radius):
    negated for a similarity, which the engine then ranks as a distance."""
    return -values if metric in SIMILARITIES else values


def padding(metric: str) -> float:
    """The raw value that `scores` turns into a NaN score (the NaN numpy
    gives): what pads a result shorter than the others of its batch."""
    return -math.nan if metric in SIMILARITIES else math.nan


def scores(
    metric: str,
    queries: npt.NDArray[np.float64],
    ids: npt.NDArray[np.intp],
    raw: npt.NDArray[np.float64],
    row: Callable[[int], npt.NDArray[np.float64]] | None,
) -> npt.NDArray[np.float64]:
    """The scores of an engine's raw values (row i for `queries[i]`, `ids`
    the row ids found): the distance as it is, a similarity negated, each
    zero similarity with the sign of its definition.

    `row(id)` returns a stored row; without it, a zero keeps the sign the
    negation gives it (for a use that loses the sign, as 1 - cos does). A dot product that is zero is +0.0 for q
    as for -q (a sum from +0.0 never reaches -0.0), so a zero inner product
    is always +0.0. A zero cosine is either such a zero dot (true value
    +0.0) or a non-zero dot divided into zero by huge norms, where the
    division already gave -q's result the opposite sign, and the negation is
    right: only the first case needs the row, to tell them apart. (A cosine
    graph computes its cosines itself, for q: negated twice, they come back
    bit for bit, and its zeros already have these signs.)
    """
    if metric not in SIMILARITIES:
        return raw
    out = -raw
    if row is None:
        return out
    for i in np.flatnonzero((out == 0.0).any(axis=1)).tolist():
        for j in np.flatnonzero(out[i] == 0.0).tolist():
            if metric == "inner_product" or sequential_dot(queries[i], row(int(ids[i, j]))) == 0.0:
                out[i, j] = 0.0
    return out
