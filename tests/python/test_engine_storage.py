"""orbisk_engine.FlatIndex keeping float32 rows: every result is the bits of
float64 storage of the same values; a value float32 cannot keep is refused,
naming its row, with nothing changed; parts carry the storage."""

import os
import subprocess
import sys

import numpy as np
import pytest

import orbisk_engine

METRICS = ["euclidean", "cosine", "inner_product"]


def _values(n, dim, seed):
    """float32 values with ties, zero rows and duplicates among them."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, dim)).astype(np.float32)
    x[::13] = np.round(x[::13])
    x[5::17] = 0.0
    if n > 1:
        x[7::19] = x[1]
    return x


def _results(ix, queries, mask):
    out = [ix.search(queries[:1], 9), ix.search(queries, 9, threads=2), ix.search(queries, 4, mask=mask)]
    out.append(ix.search_radius(queries, 2.5, mask=mask))
    return [bytes(a) for r in out for a in r]


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("dim", [9, 300])  # with codes, and beyond the codes' reach
def test_float32_storage_gives_the_bits_of_float64_storage(metric, dim):
    x = _values(2_003, dim, dim)
    wide = orbisk_engine.FlatIndex(dim, metric)
    wide.add(x)
    narrow = orbisk_engine.FlatIndex(dim, metric, storage="float32")
    narrow.add(x[:1000])
    narrow.add(x[1000:].astype(np.float64))  # float64 values that are float32 ones
    queries = np.vstack([np.random.default_rng(1).standard_normal((6, dim)), x[:2]])
    mask = np.random.default_rng(2).random(len(x)) < 0.3
    assert narrow.storage == "float32" and np.asarray(narrow.rows).dtype == np.float32
    assert np.asarray(narrow.rows).tobytes() == x.tobytes()
    assert _results(narrow, queries, mask) == _results(wide, queries, mask)


@pytest.mark.parametrize(
    "rows, row",
    [
        (lambda x: np.nextafter(x.astype(np.float64), 9.0), 0),  # one ulp of float64 off
        (lambda x: np.vstack([x, np.full((1, x.shape[1]), 2.0**-150)]), 40),  # below float32's least
        (lambda x: np.vstack([x.astype(np.int64)] * 400 + [np.full((1, x.shape[1]), 2**24 + 1)]), 16_000),
    ],
    ids=["ulp", "subnormal", "int beyond 2**24, a later chunk"],
)
def test_a_value_float32_cannot_keep_is_refused_naming_its_row(rows, row):
    x = _values(40, 9, 3)
    ix = orbisk_engine.FlatIndex(9, storage="float32")
    ix.add(x[:21])  # an open block the refused add would have closed
    before = [np.asarray(a).tobytes() for a in ix.parts().values()]
    with pytest.raises(orbisk_engine.InexactRowError, match=f"^row {row} of rows holds a value that float32") as e:
        ix.add(rows(x), threads=2)
    assert e.value.row == row and isinstance(e.value, ValueError)
    assert len(ix) == 21 and [np.asarray(a).tobytes() for a in ix.parts().values()] == before


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("n", [0, 37])
def test_parts_restore_an_index_of_the_same_storage(metric, n):
    ix = orbisk_engine.FlatIndex(9, metric, storage="float32")
    ix.add(_values(n, 9, 4))
    parts = {name: np.asarray(a) for name, a in ix.parts().items()}
    again = orbisk_engine.FlatIndex.restore(9, metric, n, parts)
    assert repr(again) == repr(ix) == f"FlatIndex(dim=9, metric='{metric}', storage='float32', rows={n})"
    assert [np.asarray(a).tobytes() for a in again.parts().values()] == [a.tobytes() for a in parts.values()]
    assert bytes(again.search(np.ones((1, 9)), 5)[1]) == bytes(ix.search(np.ones((1, 9)), 5)[1])


def test_an_add_lets_go_of_the_arrays_an_index_was_restored_from_under_the_interpreter_lock():
    # The add moves the rows out of the arrays on its own thread, the lock
    # released; Python's debug allocator aborts a free made without it.
    child = """if True:
        import numpy as np, orbisk_engine
        ix = orbisk_engine.FlatIndex(9, "cosine", storage="float32")
        ix.add(np.ones((37, 9), np.float32))
        again = orbisk_engine.FlatIndex.restore(9, "cosine", 37, {k: np.array(a) for k, a in ix.parts().items()})
        again.add(np.ones((40_000, 9), np.float32), threads=2)
        assert len(again) == 40_037
    """
    env = {**os.environ, "PYTHONMALLOC": "debug"}
    done = subprocess.run([sys.executable, "-c", child], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
