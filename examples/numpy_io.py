"""numpy in and out: arrays go in as they are, results come back as lists
that numpy turns into arrays in one call. Needs numpy, which orbisk itself
does not (`pip install numpy`; `make examples` runs it in .venv, which has it)."""

import numpy as np

import orbisk


def main() -> None:
    rng = np.random.default_rng(0)
    data = rng.normal(size=(2000, 16))  # float64 rows, copied in once
    query = rng.normal(size=16)

    flat = orbisk.PyFlat(16)
    flat.create(data)
    found = flat.search(query, k=5)
    ids = np.array([i for i, _ in found])
    distances = np.array([d for _, d in found])

    # The same ranking as numpy's brute force (numpy sums pairwise, so its
    # distances may differ from the sequential ones in the last bit).
    exact = np.sqrt(((data - query) ** 2).sum(axis=1))
    assert list(ids) == list(np.argsort(exact, kind="stable")[:5])
    assert np.allclose(distances, exact[ids])

    graph = orbisk.PyHNSW(16, metric="euclidean")
    graph.create(data.astype(np.float32))  # any numeric dtype converts
    vectors = np.array([v for _, v in graph.search(query, k=5)])
    print("flat ids:", ids.tolist())
    print("graph vectors:", vectors.shape)


if __name__ == "__main__":
    main()
