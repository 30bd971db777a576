"""orbisk_engine.FlatIndex: every batch row is orbisk.PyFlat.search's answer
for that query, bit for bit, whatever the number of threads; bad input is
refused and leaves the index as it was; Ctrl-C stops a long batch."""

import _thread
import threading
import time

import numpy as np
import pytest
from shared import float_bits

import orbisk
import orbisk_engine

METRICS = ["euclidean", "cosine", "inner_product"]
DIM = 9


def _data(kind, n, seed):
    rng = np.random.default_rng(seed)
    if kind == "gaussian":
        return rng.standard_normal((n, DIM))
    if kind == "clustered":
        centres = rng.standard_normal((4, DIM)) * 10
        return centres[rng.integers(0, 4, n)] + rng.standard_normal((n, DIM)) * 0.01
    # ties: few values, duplicates, zero rows and a NaN
    x = rng.integers(-2, 3, (n, DIM)).astype(np.float64)
    x[::7] = 0.0
    x[3::11] = x[0]
    if n > 5:
        x[5, 0] = np.nan
    return x


def _pairs(ids, distances, i):
    return [(int(a), float_bits(b)) for a, b in zip(ids[i], distances[i], strict=True)]


def _reference(rows, metric):
    flat = orbisk.PyFlat(DIM, metric)
    if len(rows):
        flat.create(rows.tolist())
    return flat


def _engine(rows, metric):
    ix = orbisk_engine.FlatIndex(DIM, metric)
    ix.add(rows)
    return ix


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("kind", ["gaussian", "clustered", "ties"])
@pytest.mark.parametrize("n, k", [(1, 1), (6, 10), (700, 1), (700, 10), (700, 300), (5000, 40)])
def test_every_row_is_the_per_query_search(metric, kind, n, k):
    # 5,000 rows of 9 elements: codes in two chunks and a part.
    rows = _data(kind, n, 1)
    queries = np.vstack([_data(kind, 23, 2), rows[:2]])  # two of them stored rows
    ids, distances = (np.asarray(b) for b in _engine(rows, metric).search(queries, k))
    assert ids.dtype == np.int64 and distances.dtype == np.float64
    assert ids.shape == distances.shape == (len(queries), min(k, n))
    flat = _reference(rows, metric)
    for i, q in enumerate(queries):
        want = [(i_, float_bits(d)) for i_, d in flat.search(q.tolist(), k)]
        assert _pairs(ids, distances, i) == want, f"query {i}"


@pytest.mark.parametrize("metric", METRICS)
def test_the_same_bits_for_every_thread_count(metric):
    rows = _data("ties", 3000, 3)
    queries = _data("ties", 41, 4)
    ix = _engine(rows, metric)
    first = [np.asarray(b).tobytes() for b in ix.search(queries, 50, threads=1)]
    for threads in range(2, 9):
        assert [np.asarray(b).tobytes() for b in ix.search(queries, 50, threads=threads)] == first


@pytest.mark.parametrize("k, n, shape", [(0, 10, (3, 0)), (5, 0, (3, 0)), (2**40, 4, (3, 4))])
def test_widths_follow_k_and_the_rows(k, n, shape):
    ix = orbisk_engine.FlatIndex(DIM)
    if n:
        ix.add(_data("gaussian", n, 5))
    ids, distances = (np.asarray(b) for b in ix.search(np.zeros((3, DIM)), k))
    assert ids.shape == distances.shape == shape


def test_an_empty_batch_and_results_numpy_wraps_without_a_copy():
    ix = _engine(_data("gaussian", 20, 6), "euclidean")
    ids, distances = ix.search(np.empty((0, DIM)), 5)
    assert np.asarray(ids).shape == (0, 5)
    ids, _ = ix.search(np.zeros((2, DIM)), 3)
    a, b = np.asarray(ids), np.asarray(ids)
    a[0, 0] = -5
    assert b[0, 0] == -5 and memoryview(ids).shape == (2, 3)


@pytest.mark.parametrize(
    "dtype", [np.float32, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64, np.bool_]
)
def test_other_dtypes_are_converted_exactly(dtype):
    rng = np.random.default_rng(7)
    values = rng.standard_normal((50, DIM)) * 100
    values = (np.abs(values) if np.dtype(dtype).kind in "ub" else values).astype(dtype)
    ix = _engine(values, "euclidean")
    same = _engine(values.astype(np.float64), "euclidean")
    q = values[:4]
    assert [np.asarray(b).tobytes() for b in ix.search(q, 7)] == [
        np.asarray(b).tobytes() for b in same.search(q.astype(np.float64), 7)
    ]


def test_misaligned_float64_and_bool_bytes_beyond_one_read_as_their_values():
    misaligned = np.frombuffer(bytearray(8 * 2 * DIM + 1), offset=1, dtype=np.float64, count=2 * DIM).reshape(2, DIM)
    misaligned[:] = _data("gaussian", 2, 13)
    ix = _engine(_data("gaussian", 50, 14), "euclidean")
    assert [bytes(b) for b in ix.search(misaligned, 5)] == [bytes(b) for b in ix.search(misaligned.copy(), 5)]
    raw = np.arange(2 * DIM, dtype=np.uint8).reshape(2, DIM) % 4 * 85  # 0, 85, 170, 255
    ix.add(raw.view(np.bool_))
    assert (np.asarray(ix.rows)[-2:] == (raw != 0)).all()


@pytest.mark.parametrize(
    "bad, error, text",
    [
        (np.zeros((2, DIM + 1)), ValueError, r"shape \(n, 9\), got shape \(2, 10\)"),
        (np.zeros(DIM), ValueError, r"got shape \(9,\)"),
        (np.zeros((1, 1, DIM)), ValueError, r"got shape \(1, 1, 9\)"),
        (np.zeros((DIM, 2)).T, ValueError, "C-contiguous"),
        (np.zeros((2, DIM), dtype=np.complex128), TypeError, "real numbers"),
        (np.zeros((2, DIM), dtype=np.float16), TypeError, "real numbers"),
        (np.array([[2**53 + 1] * DIM], dtype=np.int64), ValueError, r"\[0, 0\] = 9007199254740993 has no exact"),
        (np.array([[2**64 - 1] * DIM], dtype=np.uint64), ValueError, "has no exact"),
        ([[0.0] * DIM], TypeError, "must be a 2-D array"),
        ("abc", TypeError, "must be a 2-D array"),
    ],
)
def test_bad_arrays_are_refused_and_change_nothing(bad, error, text):
    ix = _engine(_data("gaussian", 30, 8), "cosine")
    before = [np.asarray(b).tobytes() for b in ix.search(np.ones((1, DIM)), 5)]
    with pytest.raises(error, match=text):
        ix.add(bad)
    with pytest.raises(error, match=text.replace("rows", "queries")):
        ix.search(bad, 3)
    assert len(ix) == 30
    assert [np.asarray(b).tobytes() for b in ix.search(np.ones((1, DIM)), 5)] == before


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: orbisk_engine.FlatIndex(0), ValueError, "dim must be between 1"),
        (lambda: orbisk_engine.FlatIndex(3, "angular"), ValueError, "unknown metric 'angular'"),
        (lambda: orbisk_engine.FlatIndex(3).search(np.zeros((1, 3)), -1), ValueError, "k must be at least 0"),
        (lambda: orbisk_engine.FlatIndex(3).search(np.zeros((1, 3)), 1, threads=0), ValueError, "threads must be"),
        (lambda: orbisk_engine.FlatIndex(3).search(np.zeros((1, 3)), 1, threads=1.5), TypeError, "integer"),
        (lambda: orbisk_engine.FlatIndex(3).search(np.zeros((1, 3)), 1, threads=5000), ValueError, "threads must be"),
        (lambda: orbisk_engine.FlatIndex(3).search(np.zeros((1, 3)), 1, threads=2**70), OverflowError, "too large|int"),
        (lambda: orbisk_engine.FlatIndex(2**32), ValueError, "dim must be between 1"),
        (lambda: orbisk_engine.ResultBuffer(), TypeError, "cannot create"),
    ],
)
def test_bad_arguments(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_the_index_describes_itself():
    ix = orbisk_engine.FlatIndex(3, "inner_product")
    ix.add(np.eye(3))
    assert (ix.dim, ix.metric, len(ix), repr(ix)) == (
        3,
        "inner_product",
        3,
        "FlatIndex(dim=3, metric='inner_product', rows=3)",
    )


def _long_batch(queries):
    ix = orbisk_engine.FlatIndex(DIM)
    ix.add(_data("gaussian", 200_000, 9))
    return ix, _data("gaussian", queries, 10)


def test_ctrl_c_stops_a_long_batch_within_a_second():
    ix, queries = _long_batch(200_000)  # seconds of work on any machine
    returned = False
    timer = threading.Timer(0.3, _thread.interrupt_main)
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        ix.search(queries, 10, threads=2)
        returned = True
        time.sleep(5)
    timer.join()
    assert not returned, "the batch ended before the interrupt"
    assert time.monotonic() - start < 1.3
    assert len(ix) == 200_000
    assert np.asarray(ix.search(queries[:2], 3)[0]).shape == (2, 3)  # still usable


@pytest.mark.parametrize("stream", ["searches", "changes"])
def test_neither_changes_nor_searches_starve_in_a_stream_of_the_other_from_three_threads(stream):
    # Searches that overlap would starve a change, and changes queued behind
    # a search would starve the next one, without their turns. None is
    # refused. (The streamed change is a reserve: the rows searched stay.)
    ix, queries = _long_batch(20)
    stop = threading.Event()
    deadline = time.monotonic() + 30
    search = lambda: ix.search(queries, 10, threads=1)  # noqa: E731
    streamed, counted = (
        (search, lambda: ix.add(np.zeros((1, DIM))))
        if stream == "searches"
        else (
            lambda: ix.reserve(1),
            search,
        )
    )
    seen = []

    def stream_until_stopped():
        while not stop.is_set() and time.monotonic() < deadline:
            streamed()
            seen.append(len(ix))

    threads = [threading.Thread(target=stream_until_stopped) for _ in range(3)]
    for t in threads:
        t.start()
    try:
        for _ in range(20):
            counted()
        in_time = time.monotonic() < deadline
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert in_time, f"the {stream} starved the other calls"
    assert len(ix) == 200_000 + 20 * (stream == "searches")
    assert len(set(seen)) > 1 or stream == "changes", "the searches did not go on between the adds"


_testcapi = pytest.importorskip("_testcapi")


@pytest.mark.parametrize("call", ["new", "add", "search"])
def test_every_allocation_may_fail(call):
    rows = _data("gaussian", 40, 11)
    queries = _data("gaussian", 3, 12)
    want = [np.asarray(b).tobytes() for b in _engine(rows, "euclidean").search(queries, 4)]
    for nth in range(1, 60):
        ix = _engine(rows, "euclidean") if call != "new" else None
        _testcapi.set_nomemory(nth - 1, 0)
        try:
            if call == "new":
                result = orbisk_engine.FlatIndex(DIM)
            elif call == "add":
                result = ix.add(rows[:3])
            else:
                result = ix.search(queries, 4)
        except MemoryError:
            result = None
        finally:
            _testcapi.remove_mem_hooks()
        if call == "search" and result is not None:
            assert [np.asarray(b).tobytes() for b in result] == want
            break
        if call == "add":
            assert len(ix) in (40, 43)
            if len(ix) == 43:
                break
        if call == "new" and result is not None:
            break
    else:
        pytest.fail("the call never got through")
    if ix is not None:
        assert [np.asarray(b).tobytes() for b in ix.search(queries, 4)][0] is not None
