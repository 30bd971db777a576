"""The engine of orbisk's everyday path: exact batch search on every core, and an approximate graph."""

from collections.abc import Buffer
from typing import Any, Literal, final

@final
class ResultBuffer(Buffer):
    """An array (results, or a read-only view of an index's rows) that
    ``numpy.asarray`` wraps without a copy."""
    def __buffer__(self, flags: int, /) -> memoryview: ...

class NonFiniteError(ValueError):
    """A query holds NaN or an infinity where finite ones were asked for
    (``finite=True``). The message is "row R of queries holds NaN or
    infinity"; ``row`` is R, the first such query's row."""

    row: int

class InexactRowError(ValueError):
    """A row holds a value that float32 storage cannot keep exactly. The
    message is "row R of rows holds a value that float32 storage cannot keep
    exactly"; ``row`` is R, the first such row of the call."""

    row: int

def crc32(data: Buffer, value: int = 0, /) -> int:
    """``zlib.crc32(data, value)`` for a C-contiguous buffer, several times
    faster (carry-less multiplication where the processor has it); the
    interpreter lock is released over buffers of 1 MiB and more."""

def first_nonfinite(rows: Buffer, /) -> int | None:
    """The first row of a C-contiguous 1-D or 2-D float32 or float64 array
    that holds NaN or an infinity (0 for a 1-D array), or None."""

def first_repeat(text: Buffer, ends: Buffer, /) -> int | None:
    """The position of the first of the texts ``text[ends[i - 1]:ends[i]]``
    (the first from 0; ``ends`` a 1-D int64 array rising within ``text``,
    else ValueError) equal byte for byte to one before it, or None; the
    interpreter lock is released from 65,536 texts on."""

def encode_texts(keys: list[Any], /) -> tuple[bytes, bytes] | None:
    """For a list of str (type str itself): their UTF-8 text one after the
    other, and the end of each in it (the bytes of native int64s: read them
    with ``np.frombuffer(ends, np.int64)``). None when an item is not a str
    or holds a lone surrogate."""

@final
class FlatIndex:
    """An exact flat index: every search compares each query with every row.

    Rows and queries are 2-D C-contiguous arrays of real numbers (float64 and
    float32 as they are; ints and bools converted exactly; a 64-bit int beyond
    2**53 without a float64 of its own is refused).

    ``storage="float32"`` keeps the rows as float32, at half the bytes: every
    value must be a float32 (float32 arrays go in as they are; another value
    raises InexactRowError), and every distance is computed from the values
    widened exactly, so results are bit for bit those of float64 storage.

    Threads may share an index: searches run together, with the interpreter
    lock released; a change (add, remove, reserve, compact) waits for the
    searches in progress, with the lock released, then runs alone, and
    searches and reads (``len``, ``rows``) that come meanwhile wait for it.
    Nothing a thread reads is half a change. Ctrl-C ends a wait as it ends a
    batch.
    """

    def __new__(
        cls,
        dim: int,
        metric: Literal["euclidean", "cosine", "inner_product"] = ...,
        *,
        storage: Literal["float64", "float32"] = ...,
    ) -> FlatIndex: ...
    @property
    def dim(self) -> int: ...
    @property
    def metric(self) -> Literal["euclidean", "cosine", "inner_product"]: ...
    @property
    def storage(self) -> Literal["float64", "float32"]: ...
    def __len__(self) -> int: ...
    @property
    def rows(self) -> ResultBuffer:
        """A read-only (len(self), dim) view of every row as stored (float64 or
        float32), removed ones included, in id order; it stays valid (and
        unchanged) whatever the index does later."""
    @property
    def removed(self) -> int:
        """Rows removed and not yet compacted away."""
    def add(self, rows: Buffer, /, *, threads: int | None = None) -> None:
        """Appends the rows of an (n, dim) array; their ids continue from len(self).
        Their codes and norms are computed on ``threads`` threads (None: the cores
        the work pays for) with the interpreter lock released, the same bits for
        any count. A failure (MemoryError, InexactRowError) or Ctrl-C (within a
        second) leaves the index as it was."""
    def search(
        self,
        queries: Buffer,
        k: int,
        *,
        mask: Buffer | None = None,
        rows: Buffer | None = None,
        threads: int | None = None,
        finite: bool = False,
    ) -> tuple[ResultBuffer, ResultBuffer]:
        """(ids, distances) of shape (m, min(k, c)), int64 and float64, over the c
        rows searched (not removed and, with ``mask``, a bool per row id, those it
        admits; with ``rows``, those of its ids): row i is bit for bit
        ``orbisk.PyFlat(dim, metric).search(queries[i], k)`` over those rows alone,
        with their ids here. ``rows``: a 1-D contiguous int64 array of strictly
        ascending ids below len(self) (ValueError naming the first that is not;
        TypeError with ``mask`` too), the same rows and results as the mask
        admitting them, at a cost of about the rows listed. ``threads``: None for
        as many of the cores this process may use as the work pays for (a thread
        per 2**20 values, queries x rows x dim; fewer queries than threads
        share out their rows). ``finite``: a query holding NaN or an infinity
        raises NonFiniteError naming its row."""
    def search_radius(
        self,
        queries: Buffer,
        radius: float,
        *,
        mask: Buffer | None = None,
        rows: Buffer | None = None,
        threads: int | None = None,
        finite: bool = False,
    ) -> tuple[ResultBuffer, ResultBuffer, ResultBuffer]:
        """(offsets, ids, distances), 1-D: the rows searched (``mask`` and ``rows``
        as for ``search``) at a distance of at most ``radius`` from query i are
        ids[offsets[i]:offsets[i + 1]], in ranking order."""
    def reserve(self, rows: int, /) -> None:
        """Room for ``rows`` more rows: adding them in several calls allocates nothing more."""
    def remove(self, ids: Buffer, /) -> None:
        """Marks rows removed (IndexError out of range, ValueError if removed already;
        nothing changes then)."""
    def compact(self) -> None:
        """Drops the removed rows: the others keep their order and take the ids 0, 1, ..."""
    def is_removed(self, id: int, /) -> bool: ...
    def parts(self) -> dict[str, ResultBuffer]:
        """The arrays ``restore`` takes (ValueError while removed rows remain)."""
    @classmethod
    def restore(
        cls,
        dim: int,
        metric: Literal["euclidean", "cosine", "inner_product"],
        count: int,
        parts: dict[str, Buffer],
        *,
        verify: bool = True,
        finite: bool = False,
    ) -> FlatIndex:
        """An index from ``parts()``'s arrays, nothing computed again; the rows and
        code blocks are read in place, and their type (float64 or float32) is the
        index's storage. ``verify`` computes every code again and
        raises ValueError when one does not match; with ``finite`` too, a row
        holding NaN or an infinity raises NonFiniteError naming the first."""

@final
class GraphIndex:
    """An approximate index: a layered graph of bounded degree (``m`` links a
    node on the upper layers, ``2 * m`` on the bottom one), walked on one-byte
    codes of the rows; every row it reports is scored again from the stored
    row, so that a distance is bit for bit ``FlatIndex``'s. What a walk misses
    is the only approximation.

    Rows and queries are C-contiguous arrays of real numbers, as for
    ``FlatIndex``. Threads may share an index as they share a ``FlatIndex``;
    an add links its rows with the interpreter lock released (``len`` and
    ``rows`` count them once it ends), and Ctrl-C keeps the rows linked so far.
    """

    def __new__(
        cls,
        dim: int,
        metric: Literal["euclidean", "cosine", "inner_product"] = ...,
        *,
        m: int = 16,
        ef_construction: int = 200,
        seed: int = 0,
    ) -> GraphIndex: ...
    @property
    def dim(self) -> int: ...
    @property
    def metric(self) -> Literal["euclidean", "cosine", "inner_product"]: ...
    @property
    def m(self) -> int: ...
    @property
    def ef_construction(self) -> int: ...
    @property
    def seed(self) -> int: ...
    def __len__(self) -> int: ...
    @property
    def rows(self) -> ResultBuffer:
        """A read-only (len(self), dim) float64 view of every row stored, removed
        ones included, in id order."""
    @property
    def removed(self) -> int:
        """Rows removed and not yet compacted away."""
    def add(self, rows: Buffer, /, *, threads: int | None = None) -> None:
        """Appends the rows of an (n, dim) array and links them, on up to ``threads``
        threads (None: every core this process may use); their ids continue from
        len(self). One thread builds the same graph for the same seed however the
        rows are split into calls."""
    def search(
        self, query: Buffer, k: int, *, ef: int | None = None, mask: Buffer | None = None, finite: bool = False
    ) -> tuple[ResultBuffer, ResultBuffer]:
        """(ids, distances), 1-D, of min(k, c) entries over the c rows searched
        (not removed and, with ``mask``, admitted), in ranking order. The walk
        keeps max(ef, k) candidates (ef None: 64); a mask admitting few rows is
        answered by an exact scan of them."""
    def search_batch(
        self,
        queries: Buffer,
        k: int,
        *,
        ef: int | None = None,
        mask: Buffer | None = None,
        threads: int | None = None,
        finite: bool = False,
    ) -> tuple[ResultBuffer, ResultBuffer]:
        """``search`` for each row of an (m, dim) array: (ids, distances) of shape
        (m, min(k, c)); row i is bit for bit ``search(queries[i], k)``, for any
        number of threads."""
    def remove(self, ids: Buffer, /) -> None:
        """Marks rows removed: no search reports them, walks still pass through them
        (IndexError out of range, ValueError if removed already; nothing changes then)."""
    def compact(self) -> None:
        """Drops the removed rows, linking their neighbours around them; the others
        keep their order and take the ids 0, 1, ..."""
    def is_removed(self, id: int, /) -> bool: ...
    def parts(self) -> dict[str, ResultBuffer]:
        """The arrays ``restore`` takes: rows, levels, bottom and upper lists, the
        entry point and the code records (ValueError while removed rows remain)."""
    @classmethod
    def restore(
        cls,
        dim: int,
        metric: Literal["euclidean", "cosine", "inner_product"],
        count: int,
        parts: dict[str, Buffer],
        *,
        m: int = 16,
        ef_construction: int = 200,
        seed: int = 0,
        verify: bool = True,
    ) -> GraphIndex:
        """An index from ``parts()``'s arrays without a build; the rows are read in
        place. Every list is checked; ``verify`` computes every code again. ValueError
        names what does not hold."""
