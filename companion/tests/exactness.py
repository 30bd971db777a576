"""The exactness grid: one PyFlat over all rows against a ShardedFlat over
the same rows, every metric, k in {None, 0, 1, 10, 37, n, n + 5}, duplicate
rows across every shard boundary, zero vectors under cosine, NaN."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

import orbisk
from orbisk_shard import ShardedFlat
from orbisk_shard._sharded import _split
from orbisk_shard._types import Part

from conftest import mismatch

METRICS = [None, "cosine", "inner_product"]
SHARDS = [1, 2, 3]
N, DIM = 2400, 8


def ks(n: int) -> list[int | None]:
    return [None, 0, 1, 10, 37, n, n + 5]


def boundaries(n: int) -> set[int]:
    """The first row of every shard but the first, for every shard count."""
    out = set()
    for s in SHARDS:
        sizes = _split(n, s)
        out.update(int(b) for b in np.cumsum(sizes)[:-1])
    return out


def data(n: int = N, dim: int = DIM, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """Rows and queries with ties, zero vectors and NaN placed where a
    careless merge would show it."""
    rng = np.random.default_rng(seed)
    rows = rng.normal(size=(n, dim))
    rows[:, 0] = np.round(rows[:, 0], 1)  # many equal coordinates
    hot = rows[7].copy()
    # Duplicates across every shard boundary: the rows on both sides, and
    # a run of the same row straddling it.
    for b in sorted(boundaries(n)):
        rows[b] = rows[b - 1]
        rows[b + 1] = hot
        rows[b - 2] = hot
    # The same row many times, spread over every shard, so that k = 37 and
    # more cut through a tie.
    for i in rng.choice(n, size=45, replace=False):
        rows[i] = hot
    # Zero vectors (NaN under cosine) on both sides of boundaries and at
    # the ends; rows with a NaN coordinate (NaN under every metric).
    for b in sorted(boundaries(n)):
        rows[b - 3] = 0.0
        rows[b + 2] = 0.0
        rows[b + 4, 3] = np.nan
    rows[0] = 0.0
    rows[n - 1] = 0.0
    rows[n // 5, 1] = np.nan
    rows[n - 2, 0] = np.nan
    queries = np.stack(
        [
            rng.normal(size=dim),
            hot,  # ties at the top
            rows[min(boundaries(n))],  # a boundary duplicate
            np.zeros(dim),  # NaN everywhere under cosine
            np.full(dim, np.nan),  # NaN everywhere: id order
            hot * 3.0,  # cosine ties with the hot row's copies
        ]
    )
    return rows, queries


def flat(rows: np.ndarray, metric: str | None) -> orbisk.PyFlat:
    index = orbisk.PyFlat(rows.shape[1], metric)
    index.create(rows)
    return index


Merge = Callable[[Sequence[Part], int], Part]


def answers(index: ShardedFlat, queries: np.ndarray, k: int | None, merge: Merge | None) -> Part:
    """`index.search_batch(queries, k)`; with `merge` given, the same answer
    put together from the index's own shards with that merge instead of the
    real one (the negative control's way in)."""
    if merge is None:
        return index.search_batch(queries, k)
    keep = 1 if k is None else max(k, 1)
    shared = index.backend.share_queries(np.ascontiguousarray(queries, dtype=np.float64))
    waits = [(r.start, shard.search(shared, keep)) for r, shard in zip(index.shard_ranges, index.shards, strict=True)]
    parts = [(ids + start, distances) for start, (ids, distances) in ((s, w()) for s, w in waits)]
    return merge(parts, min(keep, len(index)))


def run(
    make_backend: Callable[[], Any],
    n: int = N,
    metrics: list[str | None] = METRICS,
    shards: list[int] = SHARDS,
    merge: Merge | None = None,
) -> tuple[int, list[str]]:
    """Compares every result list; returns how many lists were compared and
    the mismatches found."""
    rows, queries = data(n)
    compared, bad = 0, []
    for metric in metrics:
        reference = flat(rows, metric)
        for s in shards:
            with ShardedFlat(rows.shape[1], metric, shards=s, backend=make_backend()) as index:
                index.create(rows)
                assert len(index.shard_ranges) == s
                for k in ks(n):
                    expected = [reference.search(q, k) for q in queries]
                    ids, distances = answers(index, queries, k, merge)
                    for i, q in enumerate(queries):
                        if merge is None:
                            single = index.search(q, k)
                        else:
                            one = answers(index, q.reshape(1, -1), k, merge)
                            single = list(zip(one[0][0].tolist(), one[1][0].tolist(), strict=True))
                        for where, got in (
                            ("search", single),
                            ("search_batch", list(zip(ids[i].tolist(), distances[i].tolist(), strict=True))),
                        ):
                            compared += 1
                            why = mismatch(expected[i], got)
                            if why:
                                bad.append(f"{where} metric={metric} shards={s} k={k} query={i}: {why}")
    return compared, bad
