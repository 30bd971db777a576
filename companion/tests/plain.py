"""Plain float64 definitions in Python loops, the yardstick of the tests."""

from __future__ import annotations

import math

import numpy as np


def dot(a: list[float], b: list[float]) -> float:
    s = 0.0
    for x, y in zip(a, b, strict=True):
        s += x * y
    return s


def score(metric: str, q: list[float], x: list[float]) -> float:
    if metric == "euclidean":
        s = 0.0
        for a, b in zip(q, x, strict=True):
            d = a - b
            s += d * d
        return math.sqrt(s)
    if metric == "inner_product":
        return dot(q, x)
    den = math.sqrt(dot(q, q)) * math.sqrt(dot(x, x))
    # IEEE division: 0/0 and NaN/0 are NaN, x/+0.0 an infinity of x's sign (a
    # zero norm gives +0.0, never -0.0), x/inf a signed zero. The extension's
    # own tests write the zero case out (tests/python/metric_models.py): the
    # same doubles.
    with np.errstate(all="ignore"):
        return float(np.float64(dot(q, x)) / np.float64(den))


def ranking(metric: str, rows: np.ndarray, q: np.ndarray, k: int) -> list[tuple[int, float]]:
    """(row, score) of the k best rows: most similar first, NaN last, ties by row."""
    ql = q.tolist()
    scored = [(i, score(metric, ql, r)) for i, r in enumerate(rows.tolist())]
    sign = 1.0 if metric == "euclidean" else -1.0
    scored.sort(key=lambda p: (math.isnan(p[1]), 0.0 if math.isnan(p[1]) else sign * p[1], p[0]))
    return scored[:k]


def same(a: float, b: float) -> bool:
    """Equal as doubles, zeros by sign too, NaN equal to NaN."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def data(seed: int = 0, n: int = 60, dim: int = 4) -> np.ndarray:
    """Small integers (many exact ties and cancelling dot products), some
    duplicated rows, a zero row (NaN cosine), a NaN row and huge rows whose
    cosine underflows to a signed zero."""
    rng = np.random.default_rng(seed)
    rows = rng.integers(-2, 3, size=(n, dim)).astype(np.float64)
    rows[5] = rows[3]
    rows[17] = rows[3]
    rows[8] = 0.0
    rows[9, 1] = np.nan
    rows[10] = [1e200, 0.0, 0.0, 0.0][:dim] + [0.0] * (dim - 4)
    rows[11] = [-1e-200, 1e200, 0.0, 0.0][:dim] + [0.0] * (dim - 4)
    return rows
