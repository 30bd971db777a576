"""Exact in-memory k-nearest-neighbour search over vectors of 64-bit floats.

Results are ranked by the raw metric value, ascending, for every metric: with
a similarity metric ("cosine", "angular", "inner_product") the *least*
similar vector comes first. Search with the negated query to get the most
similar first; its distances are then exactly the negated similarities.

Internal failures raise ``PanicException``, which derives from BaseException
(an ``except Exception`` does not catch it) and is not a module attribute::

    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
"""

from collections.abc import Buffer, Sequence
from typing import Literal, SupportsFloat, SupportsIndex, final, overload

__all__ = ["PyFlat", "PyHNSW"]

# Anything whose items convert to float: lists, tuples, ranges, numpy arrays,
# array.array, bytes.
type _Vector = Sequence[SupportsFloat | SupportsIndex] | Buffer
# Rows of vectors, or a 2-D numeric array.
type _Vectors = Sequence[_Vector] | Buffer
# (attribute, value) pairs; values are str, int or float.
type _Metadata = Sequence[tuple[str, object]]
# PyFlat takes any str and uses Euclidean distance for every name but these
# two; only the names that mean what they say are accepted here.
type _FlatMetric = Literal["euclidean", "cosine", "inner_product"]
# PyHNSW refuses every other name, and a missing one, with "Unsupported metric".
type _GraphMetric = Literal["euclidean", "angular", "inner_product"]

@final
class PyFlat:
    """Our Python-facing Flat index.

    ``PyFlat(dim, metric=None)``: an exhaustive index. ``metric`` is
    "cosine" (cosine similarity), "inner_product" (dot product), or None or
    "euclidean" for Euclidean distance. At run time any other str also means
    Euclidean distance, "angular" and "Cosine" included; these stubs reject
    such names because they do not do what they say.

    Ids are insertion positions from 0. Searches return ``(id, distance)``
    pairs, smallest distance first for every metric (so least similar first
    for "cosine" and "inner_product"), ties by ascending id, NaN last."""

    def __new__(cls, dim: SupportsIndex, metric: _FlatMetric | None = None) -> PyFlat: ...
    def insert(self, vector: _Vector) -> None:
        """Insert a vector into the index.

        The vector is expected as a list of floats whose length equals the index dimension."""

    def search(self, query: _Vector, k: SupportsIndex | None = None) -> list[tuple[int, float]]:
        """Search for the k nearest neighbors.

        Returns a list of tuples `(id, distance)`.

        The min(k, size) smallest distances, ascending for every metric (least
        similar first for "cosine" and "inner_product"), ties by ascending id,
        NaN last. k defaults to 1, and k=0 also returns one result. Raises
        ValueError "Search error: EmptyIndex" on an empty index."""

    def create(self, vectors: _Vectors) -> None:
        """Create an index from a list of vectors.

        Appends the vectors after those already stored. A vector of the wrong
        length raises PanicException (a BaseException); the vectors before it
        stay, as they do when Ctrl-C (KeyboardInterrupt) stops a long batch."""

@final
class PyHNSW:
    """``PyHNSW(dim, ..., metric=..., schema=None)``: a layered graph index.

    ``metric`` is required: "euclidean", "angular" (cosine similarity) or
    "inner_product" (dot product); anything else raises ValueError
    "Unsupported metric". ``ef_search`` (default 50) is fixed here and caps
    the number of results of every search. Searches return
    ``(distance, vector)`` pairs, smallest distance first for every metric
    (least similar first for "angular" and "inner_product")."""

    @overload
    def __new__(
        cls,
        dim: SupportsIndex,
        layers: SupportsIndex | None = None,
        m: SupportsIndex | None = None,
        ef_construction: SupportsIndex | None = None,
        ef_search: SupportsIndex | None = None,
        *,
        metric: _GraphMetric,
        schema: Sequence[str] | None = None,
    ) -> PyHNSW: ...
    @overload
    def __new__(
        cls,
        dim: SupportsIndex,
        layers: SupportsIndex | None,
        m: SupportsIndex | None,
        ef_construction: SupportsIndex | None,
        ef_search: SupportsIndex | None,
        metric: _GraphMetric,
        schema: Sequence[str] | None = None,
    ) -> PyHNSW: ...
    def insert(self, vector: _Vector, metadata: _Metadata | None = None) -> None:
        """Insert a vector into the index.

        The vector is expected as a list of floats.
        Optionally, metadata can be provided as a list of tuples, e.g.:
        `[("color", "blue"), ("size", 42)]`"""

    def search(
        self, query: _Vector, k: SupportsIndex | None = None, filter: tuple[str, object] | None = None
    ) -> list[tuple[float, list[float]]]:
        """Search for the k nearest neighbors.

        Returns a list of tuples `(distance, vector)`.

        Ascending distance for every metric (least similar first for
        "angular" and "inner_product"); ties keep the walk's order. At most
        min(k, ef_search) results: ef_search, fixed at construction, caps k.
        k defaults to 1, and k=0 also returns one result. With a filter, node
        0 (the first vector inserted, where every walk starts) can be in the
        result although the filter rejects it; every other result matches."""

    def create(self, vectors: _Vectors, metadata: Sequence[_Metadata] | None = None) -> None:
        """Insert a batch of vectors, each with its metadata list if given.

        Lengths and metadata are all checked before anything is inserted. A
        batch that fails part-way (Ctrl-C's KeyboardInterrupt between two
        insertions, or a "Create error: ...") keeps the vectors before the
        failing one."""
