"""Bad arguments raise what PyFlat raises for them, and leave the index as
PyFlat leaves itself."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import pytest

import orbisk
from orbisk_shard import ShardedFlat

from conftest import mismatch


def _outcome(call: Callable[[], Any]) -> tuple[str, str] | None:
    try:
        call()
    except BaseException as e:  # PanicException derives from BaseException
        return type(e).__name__, str(e)
    return None


CONSTRUCT = [
    (-1,),
    ("3",),
    (2**32,),
    (None,),
    (2.0,),
    (3, 5),
    (3, b"cosine"),
]


@pytest.mark.parametrize("args", CONSTRUCT, ids=repr)
def test_constructor_errors(args: tuple[Any, ...]) -> None:
    expected = _outcome(lambda: orbisk.PyFlat(*args))
    assert expected is not None
    assert _outcome(lambda: ShardedFlat(*args)) == expected


class _Index:
    """The same calls on a PyFlat and a ShardedFlat, outcomes compared."""

    def __init__(self, dim: int, backend: Any = None, metric: str | None = None) -> None:
        self.flat = orbisk.PyFlat(dim, metric)
        self.sharded = ShardedFlat(dim, metric, shards=2, backend=backend)

    def same(self, method: str, *args: Any) -> tuple[str, str] | None:
        expected = _outcome(lambda: getattr(self.flat, method)(*args))
        got = _outcome(lambda: getattr(self.sharded, method)(*args))
        assert got == expected, (method, args)
        return expected

    def same_results(self, query: Any, k: int) -> None:
        assert mismatch(self.flat.search(query, k), self.sharded.search(query, k)) is None


BAD_VECTORS = [
    [1.0],
    [1.0, 2.0, 3.0, 4.0],
    "abc",
    [1.0, "x", 2.0],
    None,
    {1: 2},
    [1.0, None, 2.0],
    5,
    (x for x in [1.0, 2.0, 3.0]),
    [1.0, 2.0, 2**2000],
]


def test_errors_of_insert_create_search_in_order(backend: Callable[[], Any]) -> None:
    index = _Index(3, backend())
    # Empty index: the length error wins over EmptyIndex; k is converted
    # before the length is checked.
    assert index.same("search", [0.0, 0.0, 0.0]) == ("ValueError", "Search error: EmptyIndex")
    assert index.same("search", [0.0, 0.0]) == ("ValueError", "Expected query of length 3, got 2")
    assert index.same("search", [0.0, 0.0], -1)[0] == "OverflowError"  # type: ignore[index]
    index.same("search", [0.0, 0.0], "a")
    for vector in BAD_VECTORS:
        assert index.same("insert", vector) is not None
    for vectors in (
        [],
        np.zeros((0, 3)),
        "abc",
        [[1.0, 2.0, 3.0], "abc"],
        [[1.0, "x", 3.0]],
        np.zeros(3),
        [1.0, 2.0, 3.0],
        None,
        np.zeros((2, 2, 3)),
    ):
        assert index.same("create", vectors) is not None
    # Still empty after all of that.
    assert index.same("search", [0.0, 0.0, 0.0]) == ("ValueError", "Search error: EmptyIndex")
    # A wrong-length row in a batch: PanicException, the rows before it kept.
    assert index.same("create", [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0], [7.0], [8.0, 9.0, 10.0]]) == (
        "PanicException",
        "Vector length 1 does not match index dimension 3",
    )
    assert index.same("create", np.ones((4, 2)))[0] == "PanicException"  # type: ignore[index]
    index.same_results([0.0, 0.0, 0.0], 10)
    assert len(index.sharded) == 2
    assert index.same("insert", [1, True, 2.5]) is None
    assert index.same("create", [range(3), b"abc", np.array([1, 2, 3], dtype=np.int8)]) is None
    for query in BAD_VECTORS:
        assert index.same("search", query) is not None
    for k in (-1, 2**32, 2**64, 1.5, "3", [1]):
        assert index.same("search", [0.0, 0.0, 0.0], k) is not None
    for k in (None, 0, 1, True, np.int64(3), 2**32 - 1):
        index.same_results([0.5, 1, 2], k)  # type: ignore[arg-type]
    index.sharded.close()


def test_dimension_zero_stores_nothing() -> None:
    index = _Index(0)
    assert index.same("insert", []) is None
    assert index.same("create", [[], []]) is None
    assert index.same("search", []) == ("ValueError", "Search error: EmptyIndex")
    assert index.same("create", [[], [1.0]])[0] == "PanicException"  # type: ignore[index]
    assert index.same("insert", [1.0]) is not None
    assert len(index.sharded) == 0 and index.sharded.shard_ranges == []


def test_search_batch_checks_every_query_as_search_does() -> None:
    index = _Index(2)
    empty = index.sharded
    with pytest.raises(ValueError, match="Search error: EmptyIndex"):
        empty.search_batch(np.zeros((3, 2)), 2)
    with pytest.raises(ValueError, match="Search error: EmptyIndex"):
        empty.search_batch([], 2)
    empty.create(np.arange(10.0).reshape(5, 2))
    with pytest.raises(ValueError, match="Expected query of length 2, got 3"):
        empty.search_batch([[0.0, 0.0], [0.0, 0.0, 0.0]], 2)
    with pytest.raises(ValueError, match="Expected query of length 2, got 3"):
        empty.search_batch(np.zeros((4, 3)), 2)
    with pytest.raises(OverflowError):
        empty.search_batch(np.zeros((4, 2)), -2)
    with pytest.raises(TypeError, match="argument 'query'"):
        empty.search_batch(["ab"], 1)
    ids, distances = empty.search_batch(np.zeros((0, 2)), 3)
    assert ids.shape == (0, 3) and distances.shape == (0, 3)
    assert ids.dtype == np.int64 and distances.dtype == np.float64
    ids, distances = empty.search_batch([[0, 0], (9.0, 9.0)], 10)
    assert ids.shape == (2, 5)
    assert ids[1].tolist() == [4, 3, 2, 1, 0]


def test_bad_options() -> None:
    with pytest.raises(ValueError, match="shards must be at least 1"):
        ShardedFlat(2, shards=0)
    with pytest.raises(TypeError):
        ShardedFlat(2, shards=1.5)  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="max_shard_rows"):
        ShardedFlat(2, max_shard_rows=0)
    with pytest.raises(ValueError, match="unknown backend"):
        ShardedFlat(2, backend="spark")
    index = ShardedFlat(2)
    index.close()
    with pytest.raises(RuntimeError, match="closed"):
        index.search([0.0, 0.0])
