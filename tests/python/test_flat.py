"""PyFlat: exact distances, ranking, metric
names, the failure table and its step order."""

import math
import random

import pytest
from shared import comparable, top

import orbisk

from metric_models import cosine as _py_cos, dot as _py_dot, euclidean as _py_euclid

NAN, INF = math.nan, math.inf


REFS = {None: _py_euclid, "cosine": _py_cos, "inner_product": _py_dot}


def _bits(result):
    return [(i, comparable(d)) for i, d in result]


def _index(rows, dim=None, metric=None):
    idx = orbisk.PyFlat(dim if dim is not None else len(rows[0]), metric)
    for r in rows:
        idx.insert(r)
    return idx


def _value(rng, scale):
    return rng.choice(
        [rng.uniform(-1, 1), rng.gauss(0, 1) * scale, float(rng.randint(-3, 3)), rng.uniform(-1, 1) * 1e-160]
    )


@pytest.mark.parametrize("metric", REFS)
@pytest.mark.parametrize("dim", [1, 2, 7, 8, 15, 16, 17, 33, 100])
def test_distances_bit_exact(metric, dim):
    rng = random.Random(dim * 31 + len(str(metric)))
    rows = [[_value(rng, 10.0 ** rng.randint(-5, 5)) for _ in range(dim)] for _ in range(rng.randint(1, 45))]
    rows += [rows[0][:], [0.0] * dim]  # a duplicate (tie) and a zero row (NaN for cosine)
    idx = orbisk.PyFlat(dim, metric)
    cut = rng.randint(0, len(rows))  # mix insert and create so that ids cross block boundaries
    for r in rows[:cut]:
        idx.insert(r)
    if cut < len(rows):
        idx.create(rows[cut:])
    fn = REFS[metric]
    for _ in range(4):
        q = [_value(rng, 10.0 ** rng.randint(-5, 5)) for _ in range(dim)]
        for k in (1, 3, len(rows)):
            assert _bits(idx.search(q, k)) == _bits(top(q, rows, fn, k))


@pytest.mark.parametrize("metric", REFS)
def test_non_finite_values_rank_like_the_reference(metric):
    rng, dim, specials = random.Random(7), 19, [NAN, INF, -INF, 1e200, -1e200, 0.0, -0.0, 5e-324]
    rows = [
        [rng.choice(specials) if rng.random() < 0.15 else rng.uniform(-2, 2) for _ in range(dim)] for _ in range(60)
    ]
    idx = orbisk.PyFlat(dim, metric)
    idx.create(rows)
    for q in ([0.0] * dim, [rng.uniform(-2, 2) for _ in range(dim)], [INF] + [1.0] * (dim - 1), [NAN] * dim):
        for k in (1, 4, 60):
            assert _bits(idx.search(q, k)) == _bits(top(q, rows, REFS[metric], k))


def test_documented_examples():
    idx = _index([[0.0, 0.0], [3.0, 4.0], [0.0, 1.0]])
    assert idx.search([0.0, 0.0], k=2) == [(0, 0.0), (2, 1.0)]
    assert idx.search([0.0, 0.0], k=10) == [(0, 0.0), (2, 1.0), (1, 5.0)]
    assert _index([[1.0, 0.0], [0.0, 2.0]]).search([0.0, 0.0]) == [(0, 1.0)]
    dot = _index([[1, 0], [10, 0]], metric="inner_product")
    assert dot.search([1.0, 0.0], k=2) == [(0, 1.0), (1, 10.0)]
    assert dot.search([1.0, 0.0]) == [(0, 1.0)]
    cos = _index([[1.0, 0.0, 5.0], [1.0, 0.0, 0.0]], metric="cosine")
    assert cos.search([1.0, 0.0, 0.0], k=2) == [(0, 1 / math.sqrt(26)), (1, 1.0)]
    # sqrt(2) * sqrt(2) rounds above 2, so the plain formula gives 1 - 2**-52, not 1.0.
    assert _index([[1.0, 1.0]], metric="cosine").search([1.0, 1.0]) == [(0, 1.0 - 2.0**-52)]


def test_ties_by_id_and_signed_zero():
    rows = [[5.0, 5.0]] * 3 + [[1.0, 0.0], [0.0, 1.0]] + [[-1.0, 0.0]] * 20 + [[0.0, -1.0]]
    idx = _index(rows)
    assert [i for i, _ in idx.search([0.0, 0.0], k=5)] == [3, 4, 5, 6, 7]
    assert [i for i, _ in idx.search([0.0, 0.0], k=26)] == list(range(3, 26)) + [0, 1, 2]
    wide = _index([[1.0] * 40] * 30 + [[0.5] * 40] * 30)
    assert [i for i, _ in wide.search([0.0] * 40, k=7)] == list(range(30, 37))
    # Cosine can give -0.0; it ties with +0.0 and the smaller id wins.
    cos = _index([[0.0, 1.0], [-5e-324, 2.0], [-1.0, 0.0]], metric="cosine")
    got = cos.search([2.0, 0.0], k=3)
    assert got[0] == (2, -1.0) and [i for i, _ in got[1:]] == [0, 1]
    assert math.copysign(1.0, got[1][1]) == 1.0 and math.copysign(1.0, got[2][1]) == -1.0
    flipped = _index([[-5e-324, 2.0], [0.0, 1.0]], metric="cosine").search([2.0, 0.0], k=2)
    assert [i for i, _ in flipped] == [0, 1]


def test_nan_last():
    cos = _index([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0], [3.0, 0.0]], metric="cosine")
    got = cos.search([1.0, 1.0], k=4)
    assert [i for i, _ in got] == [1, 2, 3, 0] and math.isnan(got[3][1])
    assert cos.search([1.0, 1.0], k=1)[0][0] == 1
    assert [i for i, _ in cos.search([0.0, 0.0], k=9)] == [0, 1, 2, 3]
    assert all(math.isnan(d) for _, d in cos.search([0.0, 0.0], k=9))
    euc = _index([[NAN, 0.0], [NAN, NAN], [INF, 0.0], [1.0, 1.0]])
    assert [i for i, _ in euc.search([0.0, 0.0], k=4)] == [3, 2, 0, 1]
    assert euc.search([0.0, 0.0], k=2) == [(3, math.sqrt(2.0)), (2, INF)]
    # inf - inf is NaN, so the stored inf ranks after the finite row.
    assert [i for i, _ in _index([[INF], [1.0]]).search([INF], k=2)] == [1, 0]


@pytest.mark.parametrize("k,count", [(None, 1), (0, 1), (1, 1), (True, 1), (2, 2), (3, 3), (4, 3), (2**32 - 1, 3)])
def test_k(k, count):
    idx = _index([[2.0], [0.0], [1.0]])
    got = idx.search([0.0], k) if k is not None else idx.search([0.0])
    assert got == [(1, 0.0), (2, 1.0), (0, 2.0)][:count]
    assert idx.search([0.0], k=k) == got


EUCLID = [(1, math.sqrt(5.0)), (0, math.sqrt(26.0))]
COS = [(0, 0.0), (1, 2 / math.sqrt(8))]
DOT = [(0, 0.0), (1, 2.0)]


class Text(str):
    pass


@pytest.mark.parametrize(
    "metric,want",
    [
        (None, EUCLID),
        ("euclidean", EUCLID),
        ("angular", EUCLID),
        ("Cosine", EUCLID),
        ("COSINE", EUCLID),
        ("cosine ", EUCLID),
        ("cosine\x00", EUCLID),
        ("", EUCLID),
        ("inner product", EUCLID),
        ("Inner_product", EUCLID),
        ("dot", EUCLID),
        ("cosine", COS),
        (Text("cosine"), COS),
        ("inner_product", DOT),
        (Text("inner_product"), DOT),
    ],
)
def test_metric_names(metric, want):
    for idx in (orbisk.PyFlat(2, metric), orbisk.PyFlat(dim=2, metric=metric)):
        idx.create([[0.0, 5.0], [2.0, 2.0]])
        assert idx.search([1.0, 0.0], k=2) == want


def _raises(exc, msg, f, *a, **kw):
    with pytest.raises(exc) as info:
        f(*a, **kw)
    assert str(info.value) == msg and (type(info.value) is exc or exc is BaseException)
    return info.value


def test_failure_table_and_step_order():
    idx = orbisk.PyFlat(3)
    _raises(ValueError, "Search error: EmptyIndex", idx.search, [0.0, 0.0, 0.0])
    for bad in ([1.0, 2.0], [], [1.0] * 4):  # on an empty index the length error wins
        _raises(ValueError, f"Expected query of length 3, got {len(bad)}", idx.search, bad)
        _raises(ValueError, f"Expected vector of length 3, got {len(bad)}", idx.insert, bad)
    for empty in ([], (), range(0)):
        _raises(ValueError, "Create error: EmptyVectors", idx.create, empty)
    _raises(ValueError, "Expected vector of length 1234567, got 1", orbisk.PyFlat(1234567).insert, [1.0])
    # k converts before the length check, query before k, dim before metric.
    _raises(TypeError, "argument 'k': 'float' object cannot be interpreted as an integer", idx.search, [1.0], k=2.5)
    _raises(OverflowError, "can't convert negative int to unsigned", idx.search, [1.0], k=-1)
    _raises(OverflowError, "out of range integral type conversion attempted", idx.search, [0.0] * 3, k=2**32)
    _raises(TypeError, "argument 'query': Can't extract `str` to `Vec`", idx.search, "ab", k=-1)
    _raises(TypeError, "argument 'dim': 'float' object cannot be interpreted as an integer", orbisk.PyFlat, 2.0, 3)
    # Every vector converts before anything is stored, even past a wrong length.
    _raises(TypeError, "argument 'vectors': must be real number, not str", idx.create, [[1.0] * 3, [3.0], [4.0, "x"]])
    _raises(TypeError, "argument 'vectors': Can't extract `str` to `Vec`", idx.create, [[1.0] * 3, [3.0], "ab"])
    _raises(ValueError, "Search error: EmptyIndex", idx.search, [0.0, 0.0, 0.0])  # nothing was stored


def test_create_appends_with_continuing_ids():
    idx = orbisk.PyFlat(2)
    assert idx.insert([0.0, 0.0]) is None and idx.create([[1.0, 0.0], (2.0, 0.0)]) is None
    for i in range(3, 20):
        idx.insert([float(i), 0.0]) if i % 3 else idx.create([[float(i), 0.0]])
    assert idx.create([[float(i), 0.0] for i in range(20, 30)]) is None
    assert idx.search([0.0, 0.0], k=100) == [(i, float(i)) for i in range(30)]


@pytest.mark.parametrize("metric", REFS)
def test_failing_create_keeps_earlier_vectors(metric):
    idx, rows, q = _index([[9.0, 9.0]], metric=metric), [[9.0, 9.0], [1.0, 2.0], [3.0, 4.0]], [1.0, 2.0]
    e = _raises(
        BaseException,
        "Vector length 3 does not match index dimension 2",
        idx.create,
        rows[1:] + [[5.0, 6.0, 7.0], [8.0, 8.0]],
    )
    assert type(e).__name__ == "PanicException" and not isinstance(e, Exception)
    assert _bits(idx.search(q, k=10)) == _bits(top(q, rows, REFS[metric], 10))
    idx.insert([8.0, 8.0])  # the borrow was released and ids continue at 3
    idx.create([[7.0, 7.0]])
    rows += [[8.0, 8.0], [7.0, 7.0]]
    assert _bits(idx.search(q, k=10)) == _bits(top(q, rows, REFS[metric], 10))


def test_panic_example_keeps_earlier_vectors():
    idx = orbisk.PyFlat(2)
    _raises(
        BaseException, "Vector length 1 does not match index dimension 2", idx.create, [[1.0, 2.0], [3.0], [4.0, 5.0]]
    )
    assert idx.search([1.0, 2.0]) == [(0, 0.0)]
    idx.insert([4.0, 5.0])
    assert idx.search([4.0, 5.0]) == [(1, 0.0)]
    _raises(BaseException, "Vector length 0 does not match index dimension 2", idx.create, [[]])
    assert len(idx.search([0.0, 0.0], k=9)) == 2


@pytest.mark.parametrize("metric", REFS)
def test_dim_zero(metric):
    idx = orbisk.PyFlat(0, metric)
    _raises(ValueError, "Search error: EmptyIndex", idx.search, [])
    assert idx.insert([]) is None and idx.insert(()) is None and idx.create([[], []]) is None
    _raises(ValueError, "Search error: EmptyIndex", idx.search, [], k=5)  # still empty
    _raises(ValueError, "Expected vector of length 0, got 1", idx.insert, [1.0])
    _raises(ValueError, "Expected query of length 0, got 2", idx.search, [1.0, 2.0])
    _raises(BaseException, "Vector length 1 does not match index dimension 0", idx.create, [[], [1.0]])
    _raises(ValueError, "Create error: EmptyVectors", idx.create, [])


def test_integers_and_result_types():
    idx = _index([[1, 2], [True, 0], [3, 4]])
    first = idx.search([1, 2], k=3)
    assert first == [(0, 0.0), (1, 2.0), (2, math.sqrt(8.0))] and type(first) is list
    assert all(type(t) is tuple and len(t) == 2 and type(t[0]) is int and type(t[1]) is float for t in first)
    second = idx.search([1, 2], k=3)
    assert second == first and second is not first and second[0] is not first[0]
    first.clear()
    assert idx.search([1, 2], k=3) == second
    dot = _index([[2, 3]], metric="inner_product").search([4, 5])
    assert dot == [(0, 23.0)] and type(dot[0][1]) is float
    assert _index([[2**53 + 1]]).search([0]) == [(0, 2.0**53)]
