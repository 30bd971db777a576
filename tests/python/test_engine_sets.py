"""orbisk_engine.FlatIndex over a set of its rows: masks, radius searches,
removed rows and compaction, the rows' view, parts and restore. Every search
over a set is the search of an index holding those rows alone (orbisk.PyFlat,
ids mapped back), bit for bit, whatever the number of threads; bad input is
refused and changes nothing."""

import gc
import hashlib
import inspect
import math
import pickle
import struct
from itertools import pairwise

import numpy as np
import pytest
from shared import float_bits

import orbisk
import orbisk_engine

METRICS = ["euclidean", "cosine", "inner_product"]
DIM = 9
PART_NAMES = ["rows", "code_blocks", "code_open", "scales", "rhos", "extents", "norms"]


def _rows(n, seed):
    """Few distinct values: ties, duplicate rows, zero rows and NaN rows."""
    rng = np.random.default_rng(seed)
    x = rng.integers(-2, 3, (n, DIM)).astype(np.float64) * 0.75
    x[1::9] = 0.0
    x[4::13] = x[min(2, n - 1)] if n else 0.0
    x[6::29] = np.nan
    x[::5] += rng.standard_normal((len(x[::5]), DIM))
    return x


def _queries(rows, seed):
    """Queries of their own, two stored rows, the zero query and a NaN one."""
    q = np.vstack([_rows(7, seed), rows[2:4], np.zeros((1, DIM))])
    q[0, 3] = np.nan
    return q


def _engine(rows, metric="euclidean"):
    ix = orbisk_engine.FlatIndex(DIM if rows.ndim < 2 else rows.shape[1], metric)
    ix.add(rows)
    return ix


def _result(call):
    return [np.asarray(b).tobytes() for b in call]


def _reference_search(rows, ids, metric, queries, k):
    """PyFlat over rows[ids] alone, its ids mapped back: one list of
    (id, distance bits) a query."""
    if not len(ids) or k == 0:
        return [[] for _ in queries]
    flat = orbisk.PyFlat(rows.shape[1], metric)
    flat.create(rows[ids].tolist())
    return [[(int(ids[i]), float_bits(d)) for i, d in flat.search(q.tolist(), k)] for q in queries]


def _pairs(ids, distances):
    ids, distances = np.asarray(ids), np.asarray(distances)
    return [[(int(a), float_bits(b)) for a, b in zip(ids[i], distances[i], strict=True)] for i in range(len(ids))]


def _radius_pairs(offsets, ids, distances):
    offsets, ids, distances = np.asarray(offsets), np.asarray(ids), np.asarray(distances)
    return [
        [(int(a), float_bits(b)) for a, b in zip(ids[s:e], distances[s:e], strict=True)] for s, e in pairwise(offsets)
    ]


def _reference_radius(rows, ids, metric, queries, radius):
    every = _reference_search(rows, ids, metric, queries, len(ids))
    return [[(i, d) for i, d in found if struct.unpack("<d", d)[0] <= radius] for found in every]


# ---- masks ---------------------------------------------------------------------

N = 300  # four full words of mask bytes and a part word; codes in blocks and an open block


def _mask(kind, n, seed):
    rng = np.random.default_rng(seed)
    admit = {
        "none": np.zeros(n, bool),
        "one": np.arange(n) == 150,
        "every": np.ones(n, bool),
        "half": rng.random(n) < 0.5,
        "sparse": rng.random(n) < 0.02,
    }[kind]
    return admit


MASK_FORMS = {
    "bool": lambda admit: admit,
    "uint8": lambda admit: np.where(
        admit, np.array([1, 0x80, 0xFF, 7] * (len(admit) // 4 + 1))[: len(admit)], 0
    ).astype(np.uint8),
    "int8": lambda admit: np.where(admit, -1, 0).astype(np.int8),
}


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("form", MASK_FORMS)
@pytest.mark.parametrize("kind", ["none", "one", "every", "half", "sparse"])
def test_a_masked_search_is_the_search_of_the_admitted_rows_alone(metric, form, kind):
    rows = _rows(N, 1)
    admit = _mask(kind, N, 2)
    ids = np.flatnonzero(admit)
    queries = _queries(rows, 3)
    ix = _engine(rows, metric)
    for k in (1, 10, len(ids) + 5):
        got_ids, got_distances = ix.search(queries, k, mask=MASK_FORMS[form](admit))
        assert np.asarray(got_ids).shape == (len(queries), min(k, len(ids)))
        assert _pairs(got_ids, got_distances) == _reference_search(rows, ids, metric, queries, k), k


@pytest.mark.parametrize("metric", METRICS)
def test_masked_searches_give_the_same_bits_for_every_thread_count(metric):
    rows = _rows(2000, 4)
    admit = _mask("half", 2000, 5)
    queries = _queries(rows, 6)
    ix = _engine(rows, metric)
    ix.remove(np.arange(0, 2000, 3))
    first = _result(ix.search(queries, 40, mask=admit, threads=1))
    radius = first_radius = _result(ix.search_radius(queries, 2.0, mask=admit, threads=1))
    for threads in range(2, 9):
        assert _result(ix.search(queries, 40, mask=admit, threads=threads)) == first
        radius = _result(ix.search_radius(queries, 2.0, mask=admit, threads=threads))
        assert radius == first_radius


@pytest.mark.parametrize("metric", METRICS)
def test_one_query_over_rows_split_among_threads(metric):
    # Enough rows that a single query's rows are shared among the threads.
    n = 24_000
    rows = _rows(n, 7)
    ix = _engine(rows, metric)
    ix.remove(np.arange(5, n, 7))
    live = np.flatnonzero(np.arange(n) % 7 != 5)
    admit = _mask("half", n, 8)
    query = rows[10:11]
    want = _reference_search(rows, live, metric, query, 25)
    want_masked = _reference_search(rows, np.intersect1d(live, np.flatnonzero(admit)), metric, query, 25)
    radius = struct.unpack("<d", want[0][-1][1])[0]
    want_radius = _reference_radius(rows, live, metric, query, radius)
    listed = np.flatnonzero(_mask("sparse", n, 9))  # a list, split at the parts' bounds
    want_listed = _reference_search(rows, np.intersect1d(live, listed), metric, query, 25)
    for threads in range(1, 9):
        assert _pairs(*ix.search(query, 25, threads=threads)) == want, threads
        assert _pairs(*ix.search(query, 25, mask=admit, threads=threads)) == want_masked, threads
        assert _pairs(*ix.search(query, 25, rows=listed, threads=threads)) == want_listed, threads
        assert _radius_pairs(*ix.search_radius(query, radius, threads=threads)) == want_radius, threads


@pytest.mark.parametrize(
    "mask, error, text",
    [
        (np.ones(N - 1, bool), ValueError, r"one entry per row \(300\), got 299"),
        (np.ones(N + 1, bool), ValueError, r"one entry per row \(300\), got 301"),
        (np.ones(0, bool), ValueError, "got 0"),
        (np.ones((N, 1), bool), TypeError, "1-D array of bools"),
        (np.ones(N), TypeError, "1-D array of bools"),
        (np.ones(N, np.float32), TypeError, "1-D array of bools"),
        (np.ones(N, np.int16), TypeError, "1-D array of bools"),
        (np.ones(2 * N, bool)[::2], ValueError, "contiguous"),
        ([True] * N, TypeError, "1-D array of bools, not list"),
        (1, TypeError, "not int"),
    ],
)
def test_bad_masks_are_refused(mask, error, text):
    ix = _engine(_rows(N, 9))
    for call in (
        lambda: ix.search(np.zeros((2, DIM)), 3, mask=mask),
        lambda: ix.search_radius(np.zeros((2, DIM)), 3.0, mask=mask),
    ):
        with pytest.raises(error, match=text):
            call()


# ---- row lists -------------------------------------------------------------------


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("kind", ["none", "one", "sparse", "half", "every"])
@pytest.mark.parametrize("removed", [False, True])
def test_a_row_list_searches_as_the_mask_of_its_rows(metric, kind, removed):
    # Few rows are walked as a list, many go to the screen as bits; removed
    # rows on the list are skipped either way.
    rows = _rows(N, 1)
    admit = _mask(kind, N, 2)
    listed = np.flatnonzero(admit).astype(np.int64)
    queries = _queries(rows, 3)
    ix = _engine(rows, metric)
    if removed:
        ix.remove(np.unique(np.concatenate([listed[::2], np.arange(0, N, 7)])))
    for threads in (1, 3):
        for q in (queries, queries[:1]):
            for k in (1, 10, len(listed) + 5):
                got = _result(ix.search(q, k, rows=listed, threads=threads))
                assert got == _result(ix.search(q, k, mask=admit, threads=threads)), k
        got = _result(ix.search_radius(queries, 2.5, rows=listed, threads=threads))
        assert got == _result(ix.search_radius(queries, 2.5, mask=admit, threads=threads))


@pytest.mark.parametrize(
    "listed, error, text",
    [
        (np.array([3, 9, 8]), ValueError, r"rows\[2\] = 8 is not above rows\[1\] = 9"),
        (np.array([3, 3]), ValueError, r"rows\[1\] = 3 is not above"),
        (np.array([-1, 4]), ValueError, r"rows\[0\] = -1 is out of range for 300 rows"),
        (np.array([4, N]), ValueError, r"rows\[1\] = 300 is out of range"),
        (np.array([4, 5], np.int32), TypeError, "1-D array of int64"),
        (np.array([4, 5], np.uint64), TypeError, "1-D array of int64"),
        (np.array([[4, 5]]), TypeError, "1-D array of int64"),
        (np.arange(8)[::2], ValueError, "rows must be contiguous"),
        ([4, 5], TypeError, "1-D array of int64, not list"),
    ],
)
def test_bad_row_lists_are_refused(listed, error, text):
    rows = _rows(N, 9)
    ix = _engine(rows)
    queries = np.zeros((2, DIM))
    before = _result(ix.search(queries, 5))
    for call in (
        lambda: ix.search(queries, 3, rows=listed),
        lambda: ix.search_radius(queries, 3.0, rows=listed),
    ):
        with pytest.raises(error, match=text):
            call()
    with pytest.raises(TypeError, match="mask or rows, not both"):
        ix.search(queries, 3, mask=np.ones(N, bool), rows=np.array([1]))
    assert _result(ix.search(queries, 5)) == before and len(ix) == N


# ---- radius searches -------------------------------------------------------------


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("n", [20, 700])
def test_a_row_at_exactly_the_radius_is_in_and_one_ulp_below_out(metric, n):
    # 700 rows: the codes screen the rows before any distance is computed.
    rows = _rows(n, 10)
    everything = np.arange(n)
    ix = _engine(rows, metric)
    for i, q in enumerate(_queries(rows, 11)):
        ranked = _reference_search(rows, everything, metric, q[None], n)[0]
        finite = [struct.unpack("<d", d)[0] for _, d in ranked if not math.isnan(struct.unpack("<d", d)[0])]
        if not finite:  # a query holding NaN: nothing is within any radius
            assert np.asarray(ix.search_radius(q[None], math.inf)[0]).tolist() == [0, 0]
            continue
        for radius in (finite[0], finite[len(finite) // 3], finite[-1]):
            for r in (radius, math.nextafter(radius, -math.inf)):
                want = _reference_radius(rows, everything, metric, q[None], r)
                assert _radius_pairs(*ix.search_radius(q[None], r)) == want, (i, r)
            assert any(
                struct.unpack("<d", d)[0] == radius for _, d in _radius_pairs(*ix.search_radius(q[None], radius))[0]
            )


@pytest.mark.parametrize("metric", METRICS)
def test_radius_batches_with_masks_and_removed_rows(metric):
    rows = _rows(N, 12)
    queries = _queries(rows, 13)
    admit = _mask("half", N, 14)
    ix = _engine(rows, metric)
    ix.remove(np.array([0, 2, 17, 150, 299]))
    live = np.setdiff1d(np.arange(N), [0, 2, 17, 150, 299])
    for radius in (-math.inf, -1.0, 0.0, 1.5, 40.0, math.inf):
        offsets, ids, distances = ix.search_radius(queries, radius)
        assert np.asarray(offsets).shape == (len(queries) + 1,) and np.asarray(offsets)[0] == 0
        assert np.asarray(ids).dtype == np.int64 and np.asarray(distances).dtype == np.float64
        assert _radius_pairs(offsets, ids, distances) == _reference_radius(rows, live, metric, queries, radius)
        masked = ix.search_radius(queries, radius, mask=admit)
        assert _radius_pairs(*masked) == _reference_radius(
            rows, np.intersect1d(live, np.flatnonzero(admit)), metric, queries, radius
        )
    offsets, ids, _ = ix.search_radius(queries, math.nan)
    assert np.asarray(offsets).tolist() == [0] * (len(queries) + 1) and np.asarray(ids).shape == (0,)
    offsets, ids, _ = ix.search_radius(np.empty((0, DIM)), 1.0)
    assert np.asarray(offsets).tolist() == [0] and np.asarray(ids).shape == (0,)
    offsets, _, _ = ix.search_radius(queries, math.inf, mask=np.zeros(N, bool))
    assert np.asarray(offsets).tolist() == [0] * (len(queries) + 1)


# ---- remove and compact -------------------------------------------------------


def _state(ix):
    return (
        len(ix),
        ix.removed,
        [ix.is_removed(i) for i in range(len(ix))],
        np.asarray(ix.rows).tobytes(),
        _result(ix.search(_queries(_rows(3, 0), 15), 20)),
    )


@pytest.mark.parametrize(
    "ids, error, text",
    [
        (np.array([3, 40]), IndexError, "row id 40 is out of range for 40 rows"),
        (np.array([3, -1]), IndexError, "row id -1 is out of range"),
        (np.array([-(2**63)]), IndexError, "out of range"),
        (np.array([2**64 - 1], np.uint64), IndexError, "out of range"),
        (np.array([4, 8]), ValueError, "row 8 is removed already"),
        (np.array([5, 6, 5]), ValueError, "row 5 is removed already"),
        (np.array([3.0]), TypeError, "1-D array of integers"),
        (np.array([True]), TypeError, "1-D array of integers"),
        (np.array([[3]]), TypeError, "1-D array of integers"),
        ([3], TypeError, "bytes-like"),
    ],
)
def test_bad_removals_change_nothing(ids, error, text):
    ix = _engine(_rows(40, 16))
    ix.remove(np.array([8, 20], np.int32))
    before = _state(ix)
    with pytest.raises(error, match=text):
        ix.remove(ids)
    assert _state(ix) == before


@pytest.mark.parametrize("bad, error", [(40, IndexError), (-1, IndexError), (2**70, IndexError), (1.0, TypeError)])
def test_is_removed_refuses_ids_it_does_not_hold(bad, error):
    with pytest.raises(error):
        _engine(_rows(40, 17)).is_removed(bad)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("n", [40, 300])
def test_removed_rows_are_never_found_and_compaction_renumbers(metric, n):
    rows = _rows(n, 18)
    queries = _queries(rows, 19)
    rng = np.random.default_rng(20)
    gone = np.concatenate([rng.choice(n - 20, n // 3, replace=False), [n - 1, n - 2]])  # the open block's too
    live = np.setdiff1d(np.arange(n), gone)
    ix = _engine(rows, metric)
    before = np.asarray(ix.rows)
    ix.remove(gone[: len(gone) // 2].astype(np.uint16))
    ix.remove(gone[len(gone) // 2 :])
    assert (len(ix), ix.removed) == (n, len(gone))
    assert [ix.is_removed(i) for i in range(n)] == [i in gone for i in range(n)]
    for k in (1, 12, n):
        assert _pairs(*ix.search(queries, k)) == _reference_search(rows, live, metric, queries, k)
    ix.compact()
    assert (len(ix), ix.removed) == (len(live), 0)
    assert not any(ix.is_removed(i) for i in range(len(ix)))
    fresh = _engine(rows[live], metric)
    assert np.asarray(ix.rows).tobytes() == rows[live].tobytes()
    assert _result(ix.search(queries, 12)) == _result(fresh.search(queries, 12))
    assert _result(ix.search_radius(queries, 3.0)) == _result(fresh.search_radius(queries, 3.0))
    # The codes moved out of their blocks are the codes of a fresh index.
    assert {k: np.asarray(v).tobytes() for k, v in ix.parts().items()} == {
        k: np.asarray(v).tobytes() for k, v in fresh.parts().items()
    }
    # A view taken before keeps what it showed.
    assert before.shape == (n, DIM) and before.tobytes() == rows.tobytes()


@pytest.mark.parametrize("compact", [False, True])
def test_rows_added_after_a_removal(compact):
    rows, more = _rows(100, 21), _rows(37, 22)
    ix = _engine(rows, "cosine")
    ix.remove(np.array([0, 63, 64, 99]))
    if compact:
        ix.compact()
    ix.add(more)
    kept = np.setdiff1d(np.arange(100), [0, 63, 64, 99])
    every = np.vstack([rows, more])
    live = np.concatenate([kept, np.arange(100, 137)])
    if compact:
        every, live = np.vstack([rows[kept], more]), np.arange(len(kept) + 37)
    assert len(ix) == len(every) and ix.removed == (0 if compact else 4)
    assert [ix.is_removed(i) for i in range(len(ix))] == [i not in live for i in range(len(ix))]
    queries = _queries(rows, 23)
    assert _pairs(*ix.search(queries, 30)) == _reference_search(every, live, "cosine", queries, 30)
    ix.remove(np.array([len(ix) - 1]))
    assert _pairs(*ix.search(queries, 30)) == _reference_search(every, live[:-1], "cosine", queries, 30)


def test_compacting_nothing_and_removing_everything():
    rows = _rows(50, 24)
    ix = _engine(rows)
    ix.compact()
    assert np.asarray(ix.rows).tobytes() == rows.tobytes()
    ix.remove(np.array([], np.int64))
    assert ix.removed == 0
    ix.remove(np.arange(50))
    ids, _ = ix.search(np.zeros((2, DIM)), 5)
    assert np.asarray(ids).shape == (2, 0)
    ix.compact()
    assert (len(ix), np.asarray(ix.rows).shape) == (0, (0, DIM))
    ix.add(rows[:3])
    assert np.asarray(ix.search(rows[:1], 5)[0]).tolist() == [[0, 1, 2]]


# ---- the rows' view ----------------------------------------------------------


def test_the_rows_view_is_read_only_zero_copy_and_outlives_every_change():
    rows = _rows(40, 25)
    ix = _engine(rows)
    view = ix.rows
    a = np.asarray(view)
    assert a.base.obj is view and not a.flags.writeable and memoryview(view).readonly
    assert np.shares_memory(a, np.asarray(ix.rows)) and np.shares_memory(a, np.asarray(ix.parts()["rows"]))
    with pytest.raises(ValueError, match="read-only"):
        a[0, 0] = 1.0
    with pytest.raises(TypeError, match="read-only"):
        memoryview(view).cast("B")[0:1] = b"\0"
    with pytest.raises(BufferError, match="read-only"):
        view.__buffer__(1)  # PyBUF_WRITABLE
    with pytest.raises(AttributeError, match="not writable"):
        ix.rows = a
    ix.add(_rows(5000, 26))  # the store grows into new memory
    ix.remove(np.arange(0, 5040, 2))
    ix.compact()
    ix.add(_rows(1, 27))
    del ix
    gc.collect()
    assert a.shape == (40, DIM) and a.tobytes() == rows.tobytes()


@pytest.mark.parametrize(
    "flags",
    [0, inspect.BufferFlags.FORMAT, inspect.BufferFlags.ND, inspect.BufferFlags.STRIDES, inspect.BufferFlags.FULL_RO],
)
@pytest.mark.parametrize("n", [0, 5])
def test_every_buffer_request_sees_the_same_bytes(flags, n):
    # A request for no shape gets the bytes as one run (it used to get two
    # dimensions and no shape, which crashed memoryview).
    ix = _engine(_rows(n, 44))
    queries = np.ones((3, DIM))
    for buffer in (ix.rows, *ix.search(queries, 2), *ix.search(queries, 0), *ix.search_radius(queries, 9.0)):
        whole = np.asarray(buffer)
        view = buffer.__buffer__(flags)
        assert view.nbytes == whole.nbytes and view.tobytes() == whole.tobytes()
        assert view.shape == (
            whole.shape
            if flags & inspect.BufferFlags.ND
            else (whole.size,)
            if flags & inspect.BufferFlags.FORMAT
            else (whole.nbytes,)
        )
        assert hashlib.sha256(buffer).digest() == hashlib.sha256(whole.tobytes()).digest()


# ---- parts and restore -------------------------------------------------------


def _restored(ix, parts=None, **kwargs):
    parts = {k: np.asarray(v) for k, v in ix.parts().items()} if parts is None else parts
    return orbisk_engine.FlatIndex.restore(ix.dim, ix.metric, len(ix), parts, **kwargs)


def _same_searches(a, b, queries):
    assert np.asarray(a.rows).tobytes() == np.asarray(b.rows).tobytes()
    for k in (1, 17, 1000):
        assert _result(a.search(queries, k)) == _result(b.search(queries, k))
    for radius in (0.0, 2.5, math.inf):
        assert _result(a.search_radius(queries, radius)) == _result(b.search_radius(queries, radius))


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("n", [0, 1, 15, 16, 17, 300])
def test_restore_gives_the_index_back(metric, n):
    rows = _rows(n, 28)
    ix = _engine(rows, metric)
    parts = {k: np.array(v) for k, v in ix.parts().items()}  # copies of their own
    expected = {"rows", "code_blocks", "code_open", "scales", "rhos", "extents"} | (
        {"norms"} if metric == "cosine" else set()
    )
    assert set(parts) == expected
    back = _restored(ix, parts)
    assert (back.dim, back.metric, len(back), back.removed) == (DIM, metric, n, 0)
    queries = _queries(_rows(20, 29), 30)
    _same_searches(back, ix, queries)
    assert np.shares_memory(np.asarray(back.rows), parts["rows"]) or n == 0
    # It changes like any index; the arrays it reads in place stay as they were.
    saved = {k: v.tobytes() for k, v in parts.items()}
    more = _rows(40, 31)
    back.add(more)
    ix.add(more)
    _same_searches(back, ix, queries)
    back.remove(np.arange(0, n + 40, 3))
    ix.remove(np.arange(0, n + 40, 3))
    back.compact()
    ix.compact()
    _same_searches(back, ix, queries)
    assert {k: v.tobytes() for k, v in parts.items()} == saved


def test_restore_without_codes():
    # Rows too long for codes: the parts are the rows (and the norms).
    rows = np.random.default_rng(32).standard_normal((3, 70_000))
    for metric in METRICS:
        ix = _engine(rows, metric)
        parts = {k: np.array(v) for k, v in ix.parts().items()}
        assert set(parts) == ({"rows", "norms"} if metric == "cosine" else {"rows"})
        back = orbisk_engine.FlatIndex.restore(70_000, metric, 3, parts)
        queries = np.ascontiguousarray(rows[::-1])
        assert _result(back.search(queries, 3)) == _result(ix.search(queries, 3))


def test_parts_are_refused_while_removed_rows_remain():
    ix = _engine(_rows(20, 33))
    ix.remove(np.array([4]))
    with pytest.raises(ValueError, match="compact"):
        ix.parts()
    ix.compact()
    assert len(_restored(ix)) == 19


def _misaligned(a):
    raw = bytearray(a.nbytes + 1)
    b = np.frombuffer(raw, a.dtype, count=a.size, offset=1).reshape(a.shape)
    b[...] = a
    return b


@pytest.mark.parametrize("name", PART_NAMES)
@pytest.mark.parametrize("how", ["missing", "dtype", "short", "long", "2-D", "misaligned", "strided"])
def test_bad_parts_are_refused(name, how):
    ix = _engine(_rows(40, 34), "cosine")
    parts = {k: np.asarray(v) for k, v in ix.parts().items()}
    a = parts[name]
    if how == "missing":
        del parts[name]
    else:
        parts[name] = {
            "dtype": lambda: a.view(f"i{a.itemsize}"),
            "short": lambda: a[:-1],
            "long": lambda: np.concatenate([a, a[:1]]),
            "2-D": lambda: a.reshape(len(a), -1) if a.ndim == 1 else a.reshape(-1),
            "misaligned": lambda: _misaligned(a),
            "strided": lambda: np.repeat(a, 2, axis=0)[::2],
        }[how]()
    if how == "misaligned" and a.itemsize == 1:
        assert len(_restored(ix, parts)) == 40  # bytes need no alignment
        return
    with pytest.raises(ValueError, match=f"parts lack '{name}'" if how == "missing" else f"parts\\['{name}'\\]"):
        _restored(ix, parts)


@pytest.mark.parametrize("metric, extra", [("euclidean", "norms"), ("cosine", "codes"), ("cosine", "levels")])
@pytest.mark.parametrize("n", [0, 40])
def test_parts_an_index_does_not_keep_are_refused(metric, extra, n):
    ix = _engine(_rows(n, 3), metric)
    parts = {k: np.asarray(v) for k, v in ix.parts().items()}
    with pytest.raises(ValueError, match=f"parts hold '{extra}', which this index does not keep"):
        _restored(ix, {**parts, extra: parts["rows"][:, 0]})


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda p: orbisk_engine.FlatIndex.restore(DIM, "euclidean", 40, list(p.values())), TypeError, "dict"),
        (lambda p: orbisk_engine.FlatIndex.restore(DIM, "euclidean", -1, p), ValueError, "count must be at least 0"),
        (lambda p: orbisk_engine.FlatIndex.restore(DIM, "angular", 40, p), ValueError, "unknown metric"),
        (lambda p: orbisk_engine.FlatIndex.restore(DIM + 1, "euclidean", 40, p), ValueError, r"parts\['rows'\]"),
        (lambda p: orbisk_engine.FlatIndex.restore(DIM, "euclidean", 41, p), ValueError, r"parts\['rows'\]"),
        (lambda p: orbisk_engine.FlatIndex.restore(DIM, "euclidean", 40, dict(p, rows=[0.0])), TypeError, "bytes-like"),
    ],
)
def test_bad_restore_arguments(call, error, text):
    parts = {k: np.asarray(v) for k, v in _engine(_rows(40, 35)).parts().items()}
    with pytest.raises(error, match=text):
        call(parts)


def _damage(parts, name, byte):
    a = parts[name].copy()
    a.reshape(-1).view(np.uint8)[byte] ^= 0x01
    return dict(parts, **{name: a})


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize(
    "name, byte",
    [
        ("code_blocks", 0),
        ("code_blocks", 383),
        ("code_open", 5),
        ("code_open", 95),
        ("scales", 3),
        ("rhos", 157),
        ("extents", 160),
        ("norms", 58),
        ("rows", 87),
        ("rows", 40 * DIM * 8 - 2),
    ],
)
def test_a_damaged_part_is_refused_only_with_verify(metric, name, byte):
    ix = _engine(np.random.default_rng(36).standard_normal((40, DIM)), metric)  # 2 full code blocks, 8 open
    parts = {k: np.asarray(v) for k, v in ix.parts().items()}
    if name not in parts:
        pytest.skip(f"{metric} keeps no {name}")
    damaged = _damage(parts, name, byte)
    with pytest.raises(ValueError, match="do not match"):
        _restored(ix, damaged)
    assert len(_restored(ix, damaged, verify=False)) == 40
    assert len(_restored(ix, parts, verify=True)) == 40


@pytest.mark.parametrize("write", ["save", "tofile"])
def test_restore_from_memory_maps_keeps_the_file_mapped(tmp_path, write):
    rows = _rows(300, 37)
    ix = _engine(rows, "cosine")
    queries = _queries(rows, 38)
    want = _result(ix.search(queries, 20))
    maps = {}
    for name, part in ix.parts().items():
        part = np.asarray(part)
        path = tmp_path / f"{name}.bin"
        if write == "save":
            np.save(path, part)
            maps[name] = np.load(str(path) + ".npy", mmap_mode="r")
        else:
            part.tofile(path)
            maps[name] = np.memmap(path, part.dtype, "r", shape=part.shape)
    back = orbisk_engine.FlatIndex.restore(DIM, "cosine", 300, maps)
    assert np.shares_memory(np.asarray(back.rows), maps["rows"])
    del maps, part
    gc.collect()
    assert _result(back.search(queries, 20)) == want
    assert np.asarray(back.rows).tobytes() == rows.tobytes()


# ---- finite queries ----------------------------------------------------------


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
@pytest.mark.parametrize("row", [0, 4])
def test_finite_names_the_first_query_not_finite(value, row):
    rows = _rows(60, 39)
    ix = _engine(rows, "inner_product")
    queries = np.ones((5, DIM))
    queries[row, 7] = value
    queries[4, 0] = value
    for call in (lambda **kw: ix.search(queries, 3, **kw), lambda **kw: ix.search_radius(queries, 1.0, **kw)):
        with pytest.raises(orbisk_engine.NonFiniteError, match=f"^row {row} of queries holds NaN or infinity$") as e:
            call(finite=True)
        assert isinstance(e.value, ValueError) and e.value.row == row
        assert pickle.loads(pickle.dumps(e.value)).row == row  # crosses to a shard's worker and back
    assert _pairs(*ix.search(queries, 3)) == _reference_search(rows, np.arange(60), "inner_product", queries, 3)
    assert _result(ix.search(np.ones((5, DIM), np.int8), 3, finite=True)) == _result(ix.search(np.ones((5, DIM)), 3))


# ---- add -------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", [np.float32, np.int8, np.uint16, np.int32, np.int64, np.uint64, np.bool_])
def test_added_rows_of_any_type_are_their_float64_values(dtype):
    # 3,000 rows: converted in several chunks.
    values = np.random.default_rng(40).standard_normal((3000, DIM)) * 1000
    values = (np.abs(values) if np.dtype(dtype).kind in "ub" else values).astype(dtype)
    ix = _engine(values[:10])
    ix.add(values[10:])
    same = _engine(values.astype(np.float64))
    assert np.asarray(ix.rows).tobytes() == values.astype(np.float64).tobytes()
    assert {k: np.asarray(v).tobytes() for k, v in ix.parts().items()} == {
        k: np.asarray(v).tobytes() for k, v in same.parts().items()
    }


@pytest.mark.parametrize("dtype, value", [(np.int64, 2**53 + 1), (np.int64, -(2**63) + 1), (np.uint64, 2**64 - 1)])
def test_an_inexact_integer_in_the_last_row_adds_nothing(dtype, value):
    ix = _engine(_rows(10, 41))
    before = _state(ix)
    rows = np.ones((3000, DIM), dtype)
    rows[-1, -1] = value
    with pytest.raises(ValueError, match=rf"rows\[2999, 8\] = {value} has no exact float64 value"):
        ix.add(rows)
    assert _state(ix) == before


# ---- memory failures -------------------------------------------------------------

_testcapi = pytest.importorskip("_testcapi")


def _each_failure(call, check):
    """call() with the nth Python allocation and every later one failing,
    n = 1, 2, ...: a MemoryError goes with check(False, None), a result with
    check(True, result), until a call gets through."""
    for nth in range(1, 200):
        _testcapi.set_nomemory(nth - 1, 0)
        try:
            result = call()
        except MemoryError:
            result = MemoryError
        finally:
            _testcapi.remove_mem_hooks()
        check(result is not MemoryError, result)
        if result is not MemoryError:
            return
    pytest.fail("the call never got through")


@pytest.mark.parametrize("what", ["remove", "compact", "restore", "parts", "rows", "mask", "radius"])
def test_a_failed_allocation_changes_nothing(what):
    rows = _rows(100, 42)
    queries = _queries(rows, 43)
    gone = np.array([1, 50, 99])
    ix = _engine(rows, "cosine")
    if what == "compact":
        ix.remove(gone)
    parts = {k: np.asarray(v) for k, v in ix.parts().items()} if what == "restore" else None
    admit = _mask("half", 100, 44)
    before = _state(ix)
    want = {"mask": _result(ix.search(queries, 9, mask=admit)), "radius": _result(ix.search_radius(queries, 2.0))}
    call = {
        "remove": lambda: ix.remove(gone),
        "compact": ix.compact,
        "restore": lambda: orbisk_engine.FlatIndex.restore(DIM, "cosine", 100, parts),
        "parts": ix.parts,
        "rows": lambda: ix.rows,
        "mask": lambda: ix.search(queries, 9, mask=admit),
        "radius": lambda: ix.search_radius(queries, 2.0),
    }[what]

    def check(done, result):
        if not done:
            assert _state(ix) == before
        elif what in ("mask", "radius"):
            assert _result(result) == want[what]
        elif what == "restore":
            _same_searches(result, ix, queries)
        elif what in ("remove", "compact"):
            assert ix.removed == (3 if what == "remove" else 0) and len(ix) == (100 if what == "remove" else 97)

    _each_failure(call, check)


@pytest.mark.parametrize("dtype", ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"])
def test_ids_of_every_integer_width_remove_the_same_rows(dtype):
    rows = _rows(40, 3)
    ix = _engine(rows, "euclidean")
    ix.remove(np.array([1, 7, 30], dtype=dtype))
    assert [ix.is_removed(i) for i in range(40)] == [i in (1, 7, 30) for i in range(40)]
    if np.dtype(dtype).kind == "i":
        with pytest.raises(IndexError, match="-1"):
            ix.remove(np.array([-1], dtype=dtype))
    with pytest.raises(IndexError, match="40"):
        ix.remove(np.array([40], dtype=dtype))
    assert ix.removed == 3


@pytest.mark.parametrize(
    "call",
    [
        lambda: orbisk_engine.FlatIndex(),
        lambda: orbisk_engine.FlatIndex(4, metric=5),
        lambda: orbisk_engine.FlatIndex(4).search_radius(np.zeros((1, 4))),
        lambda: orbisk_engine.FlatIndex(4).search_radius(np.zeros((1, 4)), "near"),
        lambda: orbisk_engine.FlatIndex(4).search(np.zeros((1, 4)), 3, threads="all"),
        lambda: orbisk_engine.FlatIndex(4).reserve("many"),
        lambda: orbisk_engine.FlatIndex.restore(4, "euclidean"),
    ],
)
def test_calls_with_arguments_of_the_wrong_type_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_a_reservation_changes_nothing_but_the_room():
    ix = orbisk_engine.FlatIndex(4)
    ix.reserve(1000)
    assert len(ix) == 0
    ix.add(np.ones((3, 4)))
    assert len(ix) == 3
    with pytest.raises(ValueError, match="at least 0"):
        ix.reserve(-1)
    with pytest.raises((ValueError, MemoryError)):
        ix.reserve(2**62)  # past what an index holds, or what memory holds
    assert len(ix) == 3


def test_ctrl_c_stops_a_long_radius_search_within_a_second():
    import _thread
    import threading
    import time

    ix = orbisk_engine.FlatIndex(64)
    ix.add(np.random.default_rng(4).standard_normal((100_000, 64)))
    queries = np.random.default_rng(5).standard_normal((20_000, 64))
    timer = threading.Timer(0.3, _thread.interrupt_main)
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        ix.search_radius(queries, 1.0, threads=2)
        time.sleep(5)
    timer.join()
    assert time.monotonic() - start < 1.3
    assert len(ix) == 100_000
