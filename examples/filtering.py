"""Metadata and filters: equality on one attribute, with typed values."""

import orbisk


def main() -> None:
    graph = orbisk.PyHNSW(2, metric="euclidean", layers=1, schema=["color", "size"])
    points = [[0.0, 0.0], [1.0, 0.0], [0.0, 1.0], [5.0, 5.0]]
    graph.create(
        points,
        [
            [("color", "red"), ("size", 1)],
            [("color", "blue"), ("size", 1.0)],  # a float, not the int 1
            [("color", "blue"), ("size", 2)],
            [("size", 3), ("color", "blue")],  # pair order does not matter
        ],
    )

    blue = graph.search([4.0, 4.0], k=3, filter=("color", "blue"))
    print("blue:", [v for _, v in blue])

    # 1 and 1.0 are different values: the int matches node 0 only, the
    # float matches node 1 only (plus node 0, where every walk starts).
    ints = [v for _, v in graph.search([1.0, 0.0], k=4, filter=("size", 1))]
    floats = [v for _, v in graph.search([1.0, 0.0], k=4, filter=("size", 1.0))]
    assert ints == [[0.0, 0.0]]
    assert [1.0, 0.0] in floats
    print("size == 1:", ints, " size == 1.0:", floats)


if __name__ == "__main__":
    main()
