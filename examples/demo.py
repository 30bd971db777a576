"""Builds both indexes over a few thousand generated vectors and prints what
they find and how long it took. No third-party packages needed."""

import random
import time
from collections.abc import Callable, Sequence
from functools import partial
from typing import Literal

import orbisk

DIM = 32
COUNT = 4000
QUERIES = 50
K = 10
COLORS = ["red", "green", "blue"]


def clustered(rng: random.Random, middles: list[list[float]], count: int) -> list[list[float]]:
    return [[c + rng.gauss(0.0, 1.0) for c in rng.choice(middles)] for _ in range(count)]


def timed[T](fn: Callable[[], T]) -> tuple[T, float]:
    start = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - start


def table(title: str, header: Sequence[object], rows: Sequence[Sequence[object]]) -> None:
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows, strict=True)]
    line = "  ".join("-" * w for w in widths)
    print(f"\n{title}\n{line}")
    print("  ".join(str(h).ljust(w) for h, w in zip(header, widths, strict=True)))
    print(line)
    for row in rows:
        # Numbers to the right, words to the left.
        cells = [
            str(x).rjust(w) if str(x).lstrip("-").replace(".", "", 1).isdigit() else str(x).ljust(w)
            for x, w in zip(row, widths, strict=True)
        ]
        print("  ".join(cells))


def search_each(index: orbisk.PyFlat, queries: list[list[float]]) -> list[list[tuple[int, float]]]:
    return [index.search(q, K) for q in queries]


def main() -> None:
    rng = random.Random(7)
    middles = [[rng.gauss(0.0, 4.0) for _ in range(DIM)] for _ in range(16)]
    vectors = clustered(rng, middles, COUNT)
    queries = clustered(rng, middles, QUERIES)
    colors = [COLORS[i % 3] for i in range(COUNT)]
    print(f"orbisk demo: {COUNT} vectors of dimension {DIM}, {QUERIES} queries, k = {K}")

    # Every index ranks by the raw metric value, ascending: nearest first for
    # Euclidean distance, but least similar first for the two similarities.
    # Searching with the negated query gives exactly the negated similarities,
    # so the most similar come first, and 0.0 - distance is the similarity.
    flat_rows: list[list[object]] = []
    truth: list[list[tuple[int, float]]] = []
    metrics: list[Literal["cosine", "inner_product"] | None] = [None, "cosine", "inner_product"]
    for metric in metrics:
        index = orbisk.PyFlat(DIM, metric)
        _, build = timed(partial(index.create, vectors))
        found, search = timed(partial(search_each, index, queries))
        if not truth:
            truth = found
        first_id, first = found[0][0]
        order = "nearest first" if metric is None else "least similar first, as ranked"
        flat_rows.append(
            [
                metric or "euclidean (default)",
                f"{build * 1e3:.1f}",
                f"{search / QUERIES * 1e6:.0f}",
                order,
                first_id,
                f"{first:.6f}",
            ]
        )
        if metric is not None:
            [(top_id, negated)] = index.search([-x for x in queries[0]], 1)
            flat_rows.append([metric, "", "", "most similar first, negated query", top_id, f"{0.0 - negated:.6f}"])
    table(
        "PyFlat: exhaustive search (query 0's first result)",
        ["metric", "build ms", "us/query", "order", "id", "distance or similarity"],
        flat_rows,
    )

    hnsw = orbisk.PyHNSW(DIM, metric="euclidean", schema=["color", "id"])
    metadata = [[("color", c), ("id", i)] for i, c in enumerate(colors)]
    _, build = timed(lambda: hnsw.create(vectors, metadata))
    ids = {tuple(v): i for i, v in enumerate(vectors)}

    def recall(results: list[list[tuple[float, list[float]]]], wanted: list[list[tuple[int, float]]]) -> float:
        hits = sum(
            len({ids[tuple(v)] for _, v in got} & {i for i, _ in exact})
            for got, exact in zip(results, wanted, strict=True)
        )
        return hits / sum(len(e) for e in wanted)

    near, search = timed(lambda: [hnsw.search(q, K) for q in queries])
    rows = [["none", f"{search / QUERIES * 1e6:.0f}", f"{recall(near, truth):.3f}"]]

    blue = orbisk.PyFlat(DIM)
    blue_ids = [i for i, c in enumerate(colors) if c == "blue"]
    blue.create([vectors[i] for i in blue_ids])
    blue_truth = [[(blue_ids[i], d) for i, d in blue.search(q, K)] for q in queries]
    near, search = timed(lambda: [hnsw.search(q, K, ("color", "blue")) for q in queries])
    admitted = all(colors[ids[tuple(v)]] == "blue" or ids[tuple(v)] == 0 for got in near for _, v in got)
    rows.append(['("color", "blue")', f"{search / QUERIES * 1e6:.0f}", f"{recall(near, blue_truth):.3f}"])
    table(
        f"PyHNSW: graph search (build {build:.2f} s, defaults, recall@{K} against PyFlat)",
        ["filter", "us/query", f"recall@{K}"],
        rows,
    )
    print(f"\nevery filtered result is blue (node 0, the entry point, may appear regardless): {admitted}")


if __name__ == "__main__":
    main()
