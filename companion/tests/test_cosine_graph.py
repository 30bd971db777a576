"""The cosine graph: a walk over scaled rows, scored by the exact cosine."""

from __future__ import annotations

import numpy as np
import pytest

import orbisk
from orbisk_companion import Index
from orbisk_companion._scores import cosines, sequential_sums, steering

from plain import data, dot, ranking, same, score


def clustered(n: int, dim: int, clusters: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    centers = rng.normal(size=(clusters, dim))
    return centers[rng.integers(clusters, size=n)] + 0.3 * rng.normal(size=(n, dim))


def awkward_rows() -> np.ndarray:
    """Sums that a reordered or pairwise sum, or one started from the first
    product instead of +0.0, gets wrong: wide magnitudes that cancel, -0.0
    products (negative underflow, -0.0 times a positive), overflow, NaN."""
    rng = np.random.default_rng(5)
    rows = rng.normal(size=(40, 33)) * 10.0 ** rng.integers(-8, 9, size=(40, 33))
    rows[0] = -0.0
    rows[1] = -1e-300
    rows[2, :3] = [1e16, 1.0, -1e16]
    rows[3] = 1e200
    rows[4, 7] = np.nan
    rows[5, 1] = np.inf
    return rows


def test_sequential_sums_and_cosines_equal_the_plain_definition():
    rows = awkward_rows()
    with np.errstate(all="ignore"):
        for q in (rows[7], np.full(33, 1e-300), np.abs(rows[8]), np.zeros(33)):
            sums = sequential_sums(rows * q)
            assert all(same(s, dot(q.tolist(), r)) for s, r in zip(sums.tolist(), rows.tolist(), strict=True))
            got = cosines(q, rows)
            assert all(
                same(c, score("cosine", q.tolist(), r)) for c, r in zip(got.tolist(), rows.tolist(), strict=True)
            )


def small(rows: np.ndarray, **kw) -> Index:
    # One layer and ef_construction above n: every row is linked with every
    # other, so the walk sees them all and the answers are exact.
    index = Index(rows.shape[1], "cosine", "graph", layers=1, allow_nonfinite=True, **kw)
    index.add(rows, metadata=[{"g": i % 3} for i in range(len(rows))] if "fields" in kw else None)
    return index


def queries(rows: np.ndarray) -> np.ndarray:
    """Rows and their opposites; for fewer rows than the walk keeps
    (ef_search), also queries whose cosines are all NaN or zero (zero,
    NaN, huge), ranked by insertion order alone: more rows, and a walk
    cannot know which were inserted first."""
    dim = rows.shape[1]
    extra = np.zeros((4, dim))
    extra[1, 0], extra[2, 0], extra[3, 0] = 1.0, 1e200, np.nan
    return np.vstack([rows[:12], -rows[12:14], extra if len(rows) <= 50 else extra[1:2]])


@pytest.mark.parametrize(
    "rows, k",
    [
        (data(n=30), 30),  # ties, duplicates, a zero row, a NaN row, huge rows
        (np.vstack([data(n=20), 2.0 * data(n=20)[:6], 3.0 * data(n=20)[:6]]), 32),  # rows scaled to one direction
        (clustered(150, 6, 5, 0), 10),
        (clustered(150, 6, 5, 0), 25),  # 2k above ef_search: the walk's 50 are ranked
    ],
)
def test_small_cosine_graph_returns_the_exact_top_k(rows, k):
    index = small(rows)
    flat = Index(rows.shape[1], "cosine", allow_nonfinite=True)
    flat.add(rows)
    Q = queries(rows)
    batch_keys, batch_scores = index.search_batch(Q, k)
    for i, q in enumerate(Q):
        want = ranking("cosine", rows, q, k)
        keys, scores = index.search(q, k)
        assert keys.tolist() == [r for r, _ in want] == flat.search(q, k)[0].tolist()
        assert all(same(s, w) for s, (_, w) in zip(scores.tolist(), want, strict=True))
        assert batch_keys[i].tolist() == keys.tolist()
        assert batch_scores[i].tobytes() == scores.tobytes()


@pytest.mark.parametrize("g", [0, 1, 2])
def test_small_filtered_cosine_graph_returns_the_exact_top_k_of_the_matching_rows(g):
    rows = data(n=30)
    index = small(rows, fields=["g"])
    matching = np.array([i for i in range(30) if i % 3 == g])
    for q in queries(rows):
        want = ranking("cosine", rows[matching], q, 6)
        keys, scores = index.search(q, 6, filter={"g": g})
        assert keys.tolist() == [int(matching[r]) for r, _ in want]  # the start node (g = 0) only if it matches
        assert all(same(s, w) for s, (_, w) in zip(scores.tolist(), want, strict=True))


def test_rows_the_walk_ranks_the_other_way_by_rounding_are_ranked_by_their_exact_cosine():
    # Two rows of one direction: their scaled forms and cosines differ in the
    # last bits, in opposite orders; the walk puts row 0 first.
    q = [0.9034701816518086, 0.09401229776087457, -0.7434992493538084, -0.9217253762584194]
    rows = np.array(
        [
            [0.2337403364688008, -0.24559119459383807, 1.1905857199253729, 0.19501587180662752],
            [0.10193052012795041, -0.10709849477407586, 0.519195888575706, 0.08504338423893956],
        ]
    )
    index = small(rows)
    first = index.native.search(steering(np.array([q]))[0], 1)[0][1]
    assert np.array(first).tobytes() == steering(rows[:1]).tobytes()
    keys, scores = index.search(q, 1)
    assert keys.tolist() == [1] and scores.tolist() == [score("cosine", q, rows[1].tolist())] == [-0.46882433399892903]


def recall(found: list[list[int]], truth: list[list[int]]) -> float:
    return float(np.mean([len(set(f) & set(t)) / len(t) for f, t in zip(found, truth, strict=True)]))


def test_cosine_graph_recall_beats_the_angular_graph_by_far():
    # Small ef values make a bad link structure show: the extension's
    # "angular" graph links each row with the rows least similar to it.
    rows = clustered(2100, 32, 30, 1)
    Q, rows = rows[:100], rows[100:]
    params = dict(ef_construction=40, ef_search=10)
    flat = Index(32, "cosine")
    flat.add(rows)
    truth = [flat.search(q, 10)[0].tolist() for q in Q]
    graph = Index(32, "cosine", "graph", **params)
    graph.add(rows)
    angular = orbisk.PyHNSW(32, metric="angular", **params)
    angular.create(rows)
    row_of = {r.tobytes(): i for i, r in enumerate(rows)}
    new = recall([graph.search(q, 10)[0].tolist() for q in Q], truth)
    old = recall([[row_of[np.asarray(v).tobytes()] for _, v in angular.search(-q, 10)] for q in Q], truth)
    assert new >= 0.95 and new >= old + 0.3, (new, old)


def test_inner_product_graph_is_refused_naming_the_flat_kind():
    with pytest.raises(ValueError, match='offers "euclidean" and "cosine".*kind="flat"'):
        Index(3, "inner_product", "graph")
