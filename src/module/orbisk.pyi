"""Exact in-memory k-nearest-neighbour search over vectors of 64-bit floats."""

from collections.abc import Buffer, Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias, final

__all__ = ["PyFlat", "PyHNSW"]

# Anything whose items convert to float: lists, tuples, ranges, numpy arrays,
# array.array, bytes.
_Vector: TypeAlias = Sequence[SupportsFloat | SupportsIndex] | Buffer
# Rows of vectors, or a 2-D numeric array.
_Vectors: TypeAlias = Sequence[_Vector] | Buffer
# (attribute, value) pairs; values are str, int or float.
_Metadata: TypeAlias = Sequence[tuple[str, object]]

@final
class PyFlat:
    """Our Python-facing Flat index."""

    def __new__(cls, dim: SupportsIndex, metric: str | None = None) -> PyFlat: ...
    def insert(self, vector: _Vector) -> None:
        """Insert a vector into the index.

        The vector is expected as a list of floats whose length equals the index dimension."""

    def search(self, query: _Vector, k: SupportsIndex | None = None) -> list[tuple[int, float]]:
        """Search for the k nearest neighbors.

        Returns a list of tuples `(id, distance)`."""

    def create(self, vectors: _Vectors) -> None:
        """Create an index from a list of vectors."""

@final
class PyHNSW:
    def __new__(
        cls,
        dim: SupportsIndex,
        layers: SupportsIndex | None = None,
        m: SupportsIndex | None = None,
        ef_construction: SupportsIndex | None = None,
        ef_search: SupportsIndex | None = None,
        metric: str | None = None,
        schema: Sequence[str] | None = None,
    ) -> PyHNSW: ...
    def insert(self, vector: _Vector, metadata: _Metadata | None = None) -> None:
        """Insert a vector into the index."""

    def search(
        self, query: _Vector, k: SupportsIndex | None = None, filter: tuple[str, object] | None = None
    ) -> list[tuple[float, list[float]]]:
        """Search for the k nearest neighbors.

        Returns a list of tuples `(distance, vector)`."""

    def create(self, vectors: _Vectors, metadata: Sequence[_Metadata] | None = None) -> None: ...
