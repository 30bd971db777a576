"""Metric names, and the conversion of the extension's raw values into scores.

The extension ranks every metric ascending by its raw value. For the two
similarities the index searches with the negated query: each product
(-q[i]) * x[i] is exactly -(q[i] * x[i]) and round-to-nearest is symmetric,
so the raw value for -q is exactly the negated similarity for q, and
negating it again gives the similarity bit for bit. The one exception is the
sign of a zero: a sum that starts from +0.0 ends on +0.0 whenever it
cancels, for q and for -q alike, so negating turns that +0.0 into -0.0.
`fix_zero_signs` puts it back.
"""

from __future__ import annotations

from typing import Any, Final, Literal

import numpy as np
import numpy.typing as npt

METRICS: Final = ("euclidean", "cosine", "inner_product")
SIMILARITIES: Final = frozenset({"cosine", "inner_product"})
# What each index kind of the extension calls our metric.
FLAT_NAMES: Final[dict[str, Literal["euclidean", "cosine", "inner_product"]]] = {
    "euclidean": "euclidean", "cosine": "cosine", "inner_product": "inner_product"}
GRAPH_NAMES: Final[dict[str, Literal["euclidean", "angular", "inner_product"]]] = {
    "euclidean": "euclidean", "cosine": "angular", "inner_product": "inner_product"}


def check_metric(metric: object) -> str:
    if isinstance(metric, str) and metric in METRICS:
        return metric
    hint = " ('angular' is the graph extension's name for 'cosine')" if metric == "angular" else ""
    raise ValueError(f"unknown metric {metric!r}: expected one of {', '.join(map(repr, METRICS))}{hint}")


def sequential_dot(a: npt.NDArray[np.float64], b: npt.NDArray[np.float64]) -> float:
    """The dot product in element order from +0.0, as the extension sums it."""
    s = 0.0
    for x, y in zip(a.tolist(), b.tolist()):
        s += x * y
    return s


def fix_zero_signs(metric: str, query: npt.NDArray[np.float64], scores: npt.NDArray[np.float64],
                   rows: Any) -> None:
    """Gives zero scores (already negated) the sign of the true similarity.

    `rows(j)` returns the stored row of result j. A dot product that is zero
    is +0.0 for q as for -q (a sum from +0.0 never reaches -0.0), so a zero
    inner product is always +0.0. A zero cosine is either such a zero dot
    (true value +0.0) or a non-zero dot divided into zero by huge norms,
    where the division already gave -q's result the opposite sign, and the
    negation is right: only the first case needs the row, to tell them apart.
    """
    zeros = np.flatnonzero(scores == 0.0)
    for j in zeros.tolist():
        if metric == "inner_product" or sequential_dot(query, rows(j)) == 0.0:
            scores[j] = 0.0
