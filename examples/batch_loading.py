"""Batch loading: create appends, ids continue, and a bad batch leaves the
index as it was."""

import orbisk


def main() -> None:
    flat = orbisk.PyFlat(3)
    flat.create([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0]])  # ids 0 and 1
    flat.create([[0.0, 2.0, 0.0], [0.0, 0.0, 3.0]])  # ids 2 and 3
    assert [i for i, _ in flat.search([0.0, 0.0, 2.9], k=4)] == [3, 0, 1, 2]

    graph = orbisk.PyHNSW(3, metric="euclidean", schema=["shard"])
    rows = [[float(i), 0.0, 0.0] for i in range(100)]
    graph.create(rows, [[("shard", i % 4)] for i in range(100)])
    try:
        # Every metadata list is converted before anything is inserted.
        graph.create([[1.0, 1.0, 1.0], [2.0, 2.0, 2.0]], [[("shard", 1)], []])
    except ValueError as e:
        print("refused:", e)
    assert len(graph.search([0.0, 0.0, 0.0], k=1000)) == 50  # ef_search caps k
    print("loaded", 4, "flat vectors and", 100, "graph vectors")


if __name__ == "__main__":
    main()
