"""Choosing an index: PyFlat is exact and, for in-memory sizes, fast; PyHNSW
adds metadata filters. Both compute every distance exactly."""

import random
import time

import orbisk


def main() -> None:
    rng = random.Random(1)
    dim, count = 24, 1500
    data = [[rng.gauss(0.0, 1.0) for _ in range(dim)] for _ in range(count)]
    queries = [[rng.gauss(0.0, 1.0) for _ in range(dim)] for _ in range(20)]

    flat = orbisk.PyFlat(dim)
    start = time.perf_counter()
    flat.create(data)
    flat_build = time.perf_counter() - start

    graph = orbisk.PyHNSW(dim, metric="euclidean")
    start = time.perf_counter()
    graph.create(data)
    graph_build = time.perf_counter() - start

    ids = {tuple(v): i for i, v in enumerate(data)}
    hits = 0
    for q in queries:
        exact = {i for i, _ in flat.search(q, k=10)}
        hits += len(exact & {ids[tuple(v)] for _, v in graph.search(q, k=10)})
    print(f"build: flat {flat_build * 1e3:.1f} ms, graph {graph_build * 1e3:.0f} ms")
    print(f"graph recall@10 against flat: {hits / (10 * len(queries)):.3f}")
    print("PyFlat: exact top k, (id, distance); PyHNSW: filters, (distance, vector)")


if __name__ == "__main__":
    main()
