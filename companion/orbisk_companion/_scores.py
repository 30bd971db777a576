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
"""

from __future__ import annotations

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


def searched[T: (float, npt.NDArray[np.float64])](metric: str, values: T) -> T:
    """What the engine is asked with for `values` (queries, or a radius):
    negated for a similarity, which the engine then ranks as a distance."""
    return -values if metric in SIMILARITIES else values


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
    right: only the first case needs the row, to tell them apart.
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
