"""The engine of orbisk's everyday path: exact batch search on every core."""

from collections.abc import Buffer
from typing import Literal, final


@final
class ResultBuffer(Buffer):
    """A 2-D array of int64 or float64 that ``numpy.asarray`` wraps without a copy."""
    def __buffer__(self, flags: int, /) -> memoryview: ...

@final
class FlatIndex:
    """An exact flat index: every search compares each query with every row.

    Rows and queries are 2-D C-contiguous arrays of real numbers (float64 as
    they are; float32, ints and bools converted exactly; a 64-bit int beyond
    2**53 without a float64 of its own is refused).
    """

    def __new__(cls, dim: int, metric: Literal["euclidean", "cosine", "inner_product"] = ...) -> FlatIndex: ...
    @property
    def dim(self) -> int: ...
    @property
    def metric(self) -> Literal["euclidean", "cosine", "inner_product"]: ...
    def __len__(self) -> int: ...
    def add(self, rows: Buffer, /) -> None:
        """Appends the rows of an (n, dim) array; their ids continue from len(self)."""
    def search(self, queries: Buffer, k: int, *, threads: int | None = None) -> tuple[ResultBuffer, ResultBuffer]:
        """(ids, distances) of shape (m, min(k, len(self))), int64 and float64: row i
        is bit for bit ``orbisk.PyFlat(dim, metric).search(queries[i], k)`` over
        the same rows. ``threads``: None for every core this process may use."""
