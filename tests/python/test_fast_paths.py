"""The fast paths (buffer reads, the blocked scan with early abandoning, the
bounded top-k) give exactly what the plain definitions give."""

import array
import math
import random

import pytest
from shared import top

import orbisk

from metric_models import cosine, dot, euclidean

np = pytest.importorskip("numpy")


METRICS = [(None, euclidean), ("cosine", cosine), ("inner_product", dot)]


def same(got, want):
    return len(got) == len(want) and all(
        i == j and (d == e or (math.isnan(d) and math.isnan(e))) for (i, d), (j, e) in zip(got, want, strict=True)
    )


@pytest.mark.parametrize("metric,fn", METRICS)
@pytest.mark.parametrize("seed", range(12))
def test_flat_matches_plain_model(metric, fn, seed):
    rng = random.Random(seed)
    dim = rng.choice([1, 3, 7, 8, 9, 16, 17, 40])
    n = rng.randint(1, 90)
    specials = [0.0, -0.0, math.inf, -math.inf, math.nan]

    def value():
        r = rng.random()
        if r < 0.04:
            return rng.choice(specials)
        if r < 0.6:
            return float(rng.randint(-2, 2))  # many ties
        return rng.gauss(0.0, 3.0)

    rows = [[value() for _ in range(dim)] for _ in range(n)]
    index = orbisk.PyFlat(dim, metric)
    index.create(rows[: n // 2])
    for r in rows[n // 2 :]:
        index.insert(r)
    for _ in range(6):
        query = [value() for _ in range(dim)]
        for k in (0, 1, 2, 5, n, n + 3):
            assert same(index.search(query, k), top(query, rows, fn, k))


BUFFERS = [
    lambda v: np.array(v, dtype=np.float64),
    lambda v: np.array(v, dtype=np.float32),
    lambda v: np.array([round(x) for x in v], dtype=np.int64),
    lambda v: np.array([round(x) % 256 for x in v], dtype=np.uint8),
    lambda v: np.array([x > 0 for x in v], dtype=np.bool_),
    lambda v: array.array("d", v),
    lambda v: array.array("f", v),
    lambda v: array.array("i", [round(x) for x in v]),
    lambda v: array.array("Q", [abs(round(x)) for x in v]),
    lambda v: bytes(round(x) % 256 for x in v),
    lambda v: bytearray(round(x) % 256 for x in v),
    lambda v: memoryview(array.array("d", v)),
    lambda v: memoryview(bytes(round(x) % 256 for x in v)),
    lambda v: np.array(v * 2, dtype=np.float64)[::2],  # strided: iterated
    lambda v: np.array(v, dtype=np.float16),  # unknown format: iterated
]


@pytest.mark.parametrize("make", BUFFERS)
def test_buffer_reads_equal_item_iteration(make):
    rng = random.Random(5)
    dim = 9
    rows = [[rng.gauss(0.0, 40.0) for _ in range(dim)] for _ in range(30)]
    a, b = orbisk.PyFlat(dim), orbisk.PyFlat(dim)
    for r in rows:
        buf = make(r)
        a.insert(buf)
        b.insert([float(x) for x in buf])  # what iterating the object yields
    q = make(rows[3])
    assert a.search(q, 30) == b.search([float(x) for x in q], 30)
    h = orbisk.PyHNSW(dim, metric="euclidean", layers=1)
    h.insert(q)
    assert h.search(q) == [(0.0, [float(x) for x in q])]


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int32])
@pytest.mark.parametrize("metric", [None, "cosine", "inner_product"])
def test_create_from_matrix_equals_create_from_lists(dtype, metric):
    rng = np.random.default_rng(1)
    x = (rng.normal(size=(45, 6)) * 10).astype(dtype)
    a, b, c = orbisk.PyFlat(6, metric), orbisk.PyFlat(6, metric), orbisk.PyFlat(6, metric)
    a.create(x)
    b.create(x.tolist())
    c.insert(x[0])  # an open block before the batch
    c.create(x[1:])
    for q in x[:5]:
        assert a.search(q, 50) == b.search(q.tolist(), 50) == c.search(q, 50)


def test_matrix_errors_match_the_list_path():
    flat = orbisk.PyFlat(4)
    with pytest.raises(ValueError, match="^Create error: EmptyVectors$"):
        flat.create(np.zeros((0, 4)))
    panic = None
    try:
        flat.create(np.ones((3, 5)))
    except BaseException as e:  # PanicException derives from BaseException
        panic = e
    assert type(panic).__name__ == "PanicException"
    assert str(panic) == "Vector length 5 does not match index dimension 4"
    with pytest.raises(ValueError, match="EmptyIndex"):
        flat.search([0.0] * 4)  # nothing was stored
    with pytest.raises(TypeError, match="^argument 'vectors': iteration over a 0-d array$"):
        flat.create(np.array(3))
    zero = orbisk.PyFlat(0)
    zero.create(np.zeros((2, 0)))
    with pytest.raises(ValueError, match="EmptyIndex"):
        zero.search([])


def test_hnsw_create_from_matrix_keeps_values():
    x = np.random.default_rng(2).normal(size=(20, 3)).astype(np.float32)
    h = orbisk.PyHNSW(3, metric="euclidean", layers=1, ef_search=100)
    h.create(x)
    got = sorted(tuple(v) for _, v in h.search(x[0], 100))
    assert got == sorted(tuple(float(c) for c in row) for row in x)
