"""orbisk_engine.GraphIndex: every distance it reports is FlatIndex's bits,
a batch row is the single search's answer for any thread count, bad input is
refused and changes nothing, Ctrl-C keeps the rows linked so far, threads
share an index, and its parts restore it without a build."""

import _thread
import threading
import time

import numpy as np
import pytest
from shared import float_bits

import orbisk_engine

METRICS = ["euclidean", "cosine", "inner_product"]
DIM = 12


def _clustered(n, seed):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((20, DIM)) * 3
    return centres[rng.integers(0, 20, n)] + rng.standard_normal((n, DIM))


def _graph(rows, metric="euclidean", **options):
    ix = orbisk_engine.GraphIndex(DIM, metric, m=8, ef_construction=64, seed=3, **options)
    ix.add(rows)
    return ix


def _flat(rows, metric):
    flat = orbisk_engine.FlatIndex(DIM, metric)
    flat.add(rows)
    return flat


# The inner product walks with the product itself: rows of large norm draw
# the walk away, and its recall is the lowest of the three.
@pytest.mark.parametrize("metric, floor", [("euclidean", 0.97), ("cosine", 0.97), ("inner_product", 0.75)])
def test_reports_flat_bits_with_recall_and_a_batch_is_each_search(metric, floor):
    rows, queries = _clustered(3000, 1), _clustered(40, 2)
    if metric != "euclidean":
        queries = -queries  # products rank the rows least like the query first: ask for the most like it
    ix, flat = _graph(rows, metric), _flat(rows, metric)
    truth, _ = (np.asarray(a) for a in flat.search(queries, 10))
    hits = 0
    for i, q in enumerate(queries):
        ids, distances = (np.asarray(a) for a in ix.search(q, 10, ef=128))
        # Each row's distance is the flat index's for that row, and the rows
        # are in ranking order.
        exact = np.asarray(flat.search(q[None], 3000)[1])[0]
        order = np.asarray(flat.search(q[None], 3000)[0])[0]
        by_id = dict(zip(order.tolist(), exact.tolist(), strict=True))
        assert [float_bits(d) for d in distances] == [float_bits(by_id[j]) for j in ids.tolist()]
        assert (np.diff(distances) >= 0).all()
        hits += len(set(ids.tolist()) & set(truth[i].tolist()))
    assert hits / truth.size >= floor
    for threads in (1, 2, None):
        ids, distances = (np.asarray(a) for a in ix.search_batch(queries, 10, ef=128, threads=threads))
        for i, q in enumerate(queries):
            one_ids, one = (np.asarray(a) for a in ix.search(q, 10, ef=128))
            assert ids[i].tolist() == one_ids.tolist()
            assert [float_bits(d) for d in distances[i]] == [float_bits(d) for d in one]


def test_k_beyond_ef_and_masks_report_only_admitted_rows():
    rows = _clustered(2000, 3)
    ix, flat = _graph(rows), _flat(rows, "euclidean")
    q = rows[7] + 0.01
    assert np.asarray(ix.search(q, 2000, ef=5)[0]).shape == (2000,)  # no cap at ef
    for every in (400, 3):  # few rows admitted: a scan; many: a walk
        mask = np.zeros(2000, np.bool_)
        mask[::every] = True
        ids, distances = (np.asarray(a) for a in ix.search(q, 5, mask=mask))
        assert mask[ids].all()
        if every == 400:
            want = flat.search(q[None], 5, mask=mask)
            assert ids.tolist() == np.asarray(want[0])[0].tolist()
            assert [float_bits(d) for d in distances] == [float_bits(d) for d in np.asarray(want[1])[0]]


def _state(ix):
    return (
        len(ix),
        ix.removed,
        np.asarray(ix.rows).tobytes(),
        {k: np.asarray(v).tobytes() for k, v in ix.parts().items()},
    )


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda ix: ix.add(np.zeros((2, DIM + 1))), ValueError, "shape (n, 12)"),
        (lambda ix: ix.add(np.zeros((2, DIM)), threads=0), ValueError, "threads"),
        (lambda ix: ix.search(np.zeros((1, DIM)), 3), ValueError, "shape (12,)"),
        (lambda ix: ix.search(np.zeros(DIM), -1), ValueError, "k must be at least 0"),
        (lambda ix: ix.search(np.zeros(DIM), 3, ef=0), ValueError, "ef must be at least 1"),
        (lambda ix: ix.search(np.zeros(DIM), 3, mask=np.ones(5, np.bool_)), ValueError, "one entry per row"),
        (lambda ix: ix.search(np.full(DIM, np.nan), 3, finite=True), orbisk_engine.NonFiniteError, "NaN"),
        (lambda ix: ix.search_batch(np.zeros(DIM), 3), ValueError, "shape (n, 12)"),
        (lambda ix: ix.remove(np.array([500])), IndexError, "500"),
        (lambda ix: ix.remove(np.array([4, 4])), ValueError, "removed already"),
    ],
)
def test_bad_input_raises_and_changes_nothing(call, error, text):
    ix = _graph(_clustered(300, 4))
    before = _state(ix)
    with pytest.raises(error) as caught:
        call(ix)
    assert text in str(caught.value)
    assert _state(ix) == before


@pytest.mark.parametrize(
    "options, text",
    [
        ({"m": 1}, "m must be between 2 and 64"),
        ({"ef_construction": 0}, "ef_construction must be between"),
        ({"metric": "manhattan"}, "unknown metric"),
    ],
)
def test_bad_parameters_are_refused(options, text):
    with pytest.raises(ValueError, match=text):
        orbisk_engine.GraphIndex(DIM, **options)


def test_parts_restore_without_a_build_and_spoiled_ones_are_refused():
    rows = _clustered(1500, 5)
    ix = _graph(rows, "cosine")
    ix.remove(np.array([0, 9, 700]))
    with pytest.raises(ValueError, match="compact"):
        ix.parts()
    ix.compact()
    assert len(ix) == 1497 and not ix.is_removed(0)
    parts = {k: np.asarray(v) for k, v in ix.parts().items()}
    again = orbisk_engine.GraphIndex.restore(DIM, "cosine", len(ix), parts, m=8, ef_construction=64, seed=3)
    queries = _clustered(10, 6)
    for a, b in zip(ix.search_batch(queries, 5), again.search_batch(queries, 5), strict=True):
        assert np.asarray(a).tobytes() == np.asarray(b).tobytes()
    assert np.shares_memory(np.asarray(again.rows), parts["rows"])  # read in place
    # A record holds the row's code, scale, squared norm and where its upper
    # lists start, then zeros to its stride: nothing else of the process's
    # memory reaches a file.
    records = parts["records"].reshape(len(ix), -1)
    assert records.shape[1] > DIM + 12 and not records[:, DIM + 12 :].any()
    bottom = parts["bottom"].copy()
    bottom[0] = 0  # a link to itself
    with pytest.raises(ValueError, match="a link to itself"):
        orbisk_engine.GraphIndex.restore(DIM, "cosine", len(ix), {**parts, "bottom": bottom}, m=8)
    with pytest.raises(ValueError, match="parts lack 'levels'"):
        orbisk_engine.GraphIndex.restore(DIM, "cosine", len(ix), {"rows": parts["rows"]}, m=8)
    with pytest.raises(ValueError, match="parts hold 'norms', which this index does not keep"):
        orbisk_engine.GraphIndex.restore(DIM, "cosine", len(ix), {**parts, "norms": parts["rows"]}, m=8)


def test_ctrl_c_keeps_the_rows_linked_so_far_and_the_next_add_works():
    rows = _clustered(60_000, 7)
    # Interrupt well after the first rows are linked, whatever the build's
    # speed (an instrumented one is several times slower), and long before
    # the last: 2,000 rows take about a thirty-seventh of the time of all.
    start = time.monotonic()
    orbisk_engine.GraphIndex(DIM, seed=1).add(rows[:2000], threads=2)
    delay = max(0.3, 4 * (time.monotonic() - start))
    ix = orbisk_engine.GraphIndex(DIM, seed=1)
    timer = threading.Timer(delay, _thread.interrupt_main)
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        ix.add(rows, threads=2)
        time.sleep(5)
    timer.join()
    assert time.monotonic() - start < delay + 1.0
    kept = len(ix)
    assert 0 < kept < len(rows)
    assert np.asarray(ix.rows).tobytes() == rows[:kept].tobytes()
    ix.add(rows[kept : kept + 100], threads=1)
    ids = np.asarray(ix.search(rows[kept + 50], 1)[0])
    assert ids.tolist() == [kept + 50]


def test_threads_share_an_index_while_one_adds():
    rows = _clustered(4000, 8)
    ix = _graph(rows[:2000])
    errors = []

    def search():
        try:
            for _ in range(30):
                n = len(ix)
                ids, distances = (np.asarray(a) for a in ix.search_batch(rows[:4], 5, threads=1))
                assert (ids < len(ix)).all() and n <= len(ix) and (np.diff(distances, axis=1) >= 0).all()
        except Exception as e:  # noqa: BLE001 - kept for the test to raise
            errors.append(e)

    workers = [threading.Thread(target=search) for _ in range(3)]
    for w in workers:
        w.start()
    for first in range(2000, 4000, 250):
        ix.add(rows[first : first + 250], threads=2)
    for w in workers:
        w.join()
    assert not errors, errors
    assert len(ix) == 4000


@pytest.mark.parametrize(
    "kwargs, text",
    [
        ({"dim": 0}, "dim must be between 1"),
        ({"dim": 2**32}, "dim must be between 1"),
        ({"dim": 4, "m": 1}, "m must be between 2"),
        ({"dim": 4, "ef_construction": 0}, "ef_construction must be between 1"),
        ({"dim": 4, "metric": "manhattan"}, "unknown metric 'manhattan'"),
    ],
)
def test_graph_parameters_out_of_range_are_refused(kwargs, text):
    with pytest.raises(ValueError, match=text):
        orbisk_engine.GraphIndex(**kwargs)


def test_a_graph_says_what_it_is():
    ix = orbisk_engine.GraphIndex(4, "cosine", m=6, ef_construction=30, seed=7)
    ix.add(np.eye(4))
    ix.remove(np.array([2]))
    assert (ix.dim, ix.metric, ix.m, ix.ef_construction, ix.seed, ix.removed) == (4, "cosine", 6, 30, 7, 1)
    assert [ix.is_removed(i) for i in range(4)] == [False, False, True, False]
    assert repr(ix) == "GraphIndex(dim=4, metric='cosine', m=6, rows=4)"
    for bad in (-1, 4):
        with pytest.raises(IndexError, match=f"row id {bad} is out of range for 4 rows"):
            ix.is_removed(bad)
