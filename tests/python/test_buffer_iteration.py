"""Every object a vector, query or batch argument takes gives what iterating
it gives: buffers read directly store the same values, find the same
distances and raise the same errors as their items converted one by one."""

import array
import ctypes
import fractions
import math
import random
import warnings

import pytest
from hypothesis import given, settings, strategies as st

from iteration_model import (
    BATCH_SITES,
    CAST_FORMATS,
    CTYPES,
    NUMPY_CODES,
    SITES,
    VECTOR_SITES,
    both,
    build_buffer,
    cast_view,
    ctypes_array,
    numpy_array,
)

try:
    import numpy as np
except ImportError:
    np = None

needs_numpy = pytest.mark.skipif(np is None, reason="numpy is not installed")

RAW = random.Random(10).randbytes(128)
FLOATS = [0.0, -0.0, 1.5, -2.25, math.inf, -math.inf, math.nan, 5e-324, 2.0**53 + 2]
BOOL_BYTES = b"\x00\x02\xff\x01"


def limits(typecode):
    """The extremes of an integer typecode, and 2**53 + 1 where it fits."""
    bits = 8 * array.array(typecode).itemsize
    lo, hi = (0, 2**bits - 1) if typecode.isupper() else (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1)
    return [v for v in (lo, -1, 0, 1, 2**53 + 1, hi) if lo <= v <= hi]


def arrays():
    """array.array of every typecode, on its awkward values."""
    for code in array.typecodes:
        if code in "uw":
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)  # 'u'
                yield code, array.array(code, "ab")
        elif code in "fd":
            yield code, array.array(code, FLOATS)
        else:
            yield code, array.array(code, limits(code))


def shifted(items):
    """How the look-alikes below iterate: not as their buffers read."""
    return iter([x + 0.5 for x in items])


def look_alike(base, name, module=None):
    """A subclass of base that calls itself name (and, given one, lives in
    module) and iterates otherwise."""
    cls = type("LookAlike", (base,), {"__iter__": lambda self: shifted(base.__iter__(self))})
    cls.__name__ = cls.__qualname__ = name
    if module:
        cls.__module__ = module
    return cls


class Exposed:
    """Exposes one buffer and iterates as other items."""

    def __init__(self, view, items):
        self._view = view
        self._items = items

    def __buffer__(self, flags):
        return memoryview(self._view)

    def __len__(self):
        return len(self._items)

    def __getitem__(self, i):
        return self._items[i]

    def __iter__(self):
        return iter(self._items)


def exposed(name, view, items):
    cls = type("Exposed", (Exposed,), {})
    cls.__name__ = cls.__qualname__ = name
    return cls(view, items)


def ctypes_views():
    """Memoryviews of ctypes arrays: every format with a byte-order prefix."""
    for ctype in CTYPES:
        yield f"memoryview ctypes {ctype.__name__}", lambda c=ctype: memoryview(ctypes_array(RAW[:24], c))
        if ctypes.sizeof(ctype) > 1 and hasattr(ctype, "__ctype_be__"):
            yield (
                f"memoryview ctypes big-endian {ctype.__name__}",
                lambda c=ctype: memoryview(ctypes_array(RAW[:24], c, big_endian=True)),
            )


PLAIN_VECTORS = [
    ("bytes", lambda: bytes(RAW[:5])),
    ("bytearray", lambda: bytearray(RAW[:5])),
    ("empty bytes", lambda: b""),
    ("memoryview bytes", lambda: memoryview(RAW[:5])),
    ("memoryview bool cast", lambda: memoryview(BOOL_BYTES).cast("?")),
    ("memoryview 2-D", lambda: cast_view(RAW[:48], "d", columns=3)),
    ("memoryview sliced", lambda: cast_view(RAW[:48], "d")[::2]),
    ("memoryview unaligned d", lambda: cast_view(RAW[:33], "d", offset=1)),
    ("memoryview unaligned q", lambda: cast_view(RAW[:33], "q", offset=3)),
    ("memoryview unaligned h", lambda: cast_view(RAW[:9], "h", offset=1)),
    *((f"memoryview cast {f}", lambda f=f: cast_view(RAW[:32], f)) for f in CAST_FORMATS),
    *((f"array {c}", lambda a=a: a) for c, a in arrays()),
    *((f"memoryview array {c}", lambda a=a: memoryview(a)) for c, a in arrays() if c in "uwbQd"),
    ("empty array", lambda: array.array("d")),
    *(
        (f"ctypes {c.__name__}", lambda c=c: ctypes_array(RAW[:24], c))
        for c in (ctypes.c_double, ctypes.c_bool, ctypes.c_char)
    ),
    ("ctypes big-endian c_double", lambda: ctypes_array(RAW[:24], ctypes.c_double, big_endian=True)),
    *ctypes_views(),
    ("array subclass iterating otherwise", lambda: look_alike(array.array, "OwnIter")("d", FLOATS)),
    ("bytes subclass iterating otherwise", lambda: look_alike(bytes, "OwnIter")(RAW[:4])),
    ("bytearray named numpy.ndarray", lambda: look_alike(bytearray, "numpy.ndarray")(RAW[:4])),
    ("bytearray named array.array", lambda: look_alike(bytearray, "array.array")(RAW[:4])),
    ("bytearray in module numpy", lambda: look_alike(bytearray, "ndarray", "numpy")(RAW[:4])),
    ("buffer named numpy.ndarray", lambda: exposed("numpy.ndarray", array.array("d", [1.0, 2.0]), [3.0, 4.0])),
    ("buffer named array.array", lambda: exposed("array.array", array.array("d", [1.0, 2.0]), [3.0, 4.0])),
]


def specials(dtype):
    with np.errstate(over="ignore"):  # 2**53 + 2 is inf in float16
        return np.array(FLOATS, dtype=dtype)


def matrix(rows):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.matrix(rows)


def dtype_cases(columns):
    """Every numeric dtype in both byte orders, from raw bytes."""
    for code in NUMPY_CODES:
        for order in "=" if code in "?bB" else "<>":
            yield (f"dtype {order}{code}", lambda c=code, o=order: numpy_array(np, RAW, c, o, columns=columns)[:4])


NUMPY_SHAPES = [
    ("0-d", lambda: np.array(2.5)),
    ("scalar", lambda: np.float64(2.5)),
    ("3-D", lambda: np.arange(8.0).reshape(2, 2, 2)),
    ("3-D of one column", lambda: np.arange(3.0).reshape(3, 1, 1)),
    ("Fortran", lambda: np.asfortranarray(np.arange(6.0).reshape(2, 3))),
    ("transposed", lambda: np.arange(6.0).reshape(2, 3).T),
    ("empty", lambda: np.zeros(0)),
    ("empty rows", lambda: np.zeros((0, 3))),
    ("empty columns", lambda: np.zeros((2, 0))),
    ("object", lambda: np.array([1, 2.5, True, -0.0, fractions.Fraction(1, 3), 2**64 + 1], dtype=object)),
    ("object refused", lambda: np.array([1.0, "2"], dtype=object)),
    ("structured", lambda: np.zeros(2, dtype=[("a", "<f8")])),
    ("datetime", lambda: np.array([1, 2], dtype="M8[s]")),
    ("matrix", lambda: matrix([[1.0, 2.0], [3.0, 4.0]])),
]
NUMPY_VECTORS = [
    *dtype_cases(0),
    ("int64 beyond 2**53", lambda: np.array([2**53 + 1, -(2**63), 2**63 - 1], dtype=np.int64)),
    ("uint64 beyond 2**53", lambda: np.array([2**53 + 1, 2**63 + 1025, 2**64 - 1], dtype=np.uint64)),
    *((f"{t} specials", lambda t=t: specials(t)) for t in ("float16", "float32", "float64", "longdouble")),
    ("bool from bytes", lambda: np.frombuffer(BOOL_BYTES, dtype=np.bool_)),
    ("memoryview bool from bytes", lambda: memoryview(np.frombuffer(BOOL_BYTES, dtype=np.bool_))),
    ("strided", lambda: np.arange(12.0)[::4]),
    ("reversed", lambda: np.arange(3.0)[::-1]),
    ("unaligned", lambda: numpy_array(np, RAW[:33], "d", offset=1)),
    ("unaligned int32", lambda: numpy_array(np, RAW[:17], "i", offset=1)),
    ("memoryview unaligned", lambda: memoryview(numpy_array(np, RAW[:33], "d", offset=1))),
    ("memoryview big-endian", lambda: memoryview(numpy_array(np, RAW[:32], "d", ">"))),
    ("subclass", lambda: np.arange(3.0).view(type("Sub", (np.ndarray,), {}))),
    ("subclass iterating otherwise", lambda: np.arange(3.0).view(look_alike(np.ndarray, "OwnIter"))),
    ("subclass named numpy.ndarray", lambda: np.arange(3.0).view(look_alike(np.ndarray, "numpy.ndarray"))),
    *NUMPY_SHAPES,
]

PLAIN_BATCHES = [
    ("memoryview 2-D", lambda: cast_view(RAW[:48], "d", columns=3)),
    ("memoryview 2-D bool", lambda: cast_view(BOOL_BYTES, "?", columns=2)),
    ("memoryview ctypes 2-D", lambda: memoryview(((ctypes.c_double * 3) * 2).from_buffer_copy(RAW[:48]))),
    ("ctypes 2-D", lambda: ((ctypes.c_double * 3) * 2).from_buffer_copy(RAW[:48])),
    ("rows of memoryview ctypes", lambda: [memoryview(ctypes_array(RAW[:24], ctypes.c_double))] * 2),
    ("rows of memoryview bool", lambda: (memoryview(BOOL_BYTES).cast("?"),) * 2),
    ("rows of arrays", lambda: [array.array("f", FLOATS[:4]), array.array("Q", limits("Q"))]),
    ("rows of bytes", lambda: [RAW[:3], bytearray(RAW[3:6])]),
    ("rows named numpy.ndarray", lambda: [look_alike(bytearray, "numpy.ndarray")(RAW[:4])] * 2),
    ("memoryview 1-D", lambda: cast_view(RAW[:24], "d")),
    (
        "buffer named numpy.ndarray",
        lambda: exposed("numpy.ndarray", cast_view(RAW[:48], "d", columns=3), [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]),
    ),
]
NUMPY_BATCHES = [
    *dtype_cases(2),
    ("uint64 beyond 2**53", lambda: np.array([[2**53 + 1, 2**64 - 1], [2**63 + 1025, 3]], dtype=np.uint64)),
    ("float64 specials", lambda: np.array(FLOATS[:8], dtype=np.float64).reshape(4, 2)),
    ("bool from bytes", lambda: np.frombuffer(BOOL_BYTES, dtype=np.bool_).reshape(2, 2)),
    ("column-strided", lambda: np.arange(12.0).reshape(3, 4)[:, ::2]),
    ("row-strided", lambda: np.arange(12.0).reshape(6, 2)[::3]),
    ("unaligned", lambda: numpy_array(np, RAW[:49], "d", offset=1, columns=3)),
    ("memoryview", lambda: memoryview(np.arange(6.0).reshape(2, 3))),
    ("rows of arrays", lambda: [np.frombuffer(BOOL_BYTES, dtype=np.bool_), np.arange(4, dtype=">u2")]),
    (
        "subclass named numpy.ndarray",
        lambda: np.arange(6.0).reshape(2, 3).view(look_alike(np.ndarray, "numpy.ndarray")),
    ),
    ("1-D", lambda: np.arange(3.0)),
    *NUMPY_SHAPES,
]


def params(plain, numpy_cases):
    return [pytest.param(make, id=name) for name, make in plain] + [
        pytest.param(make, id="numpy " + name, marks=needs_numpy) for name, make in numpy_cases
    ]


@pytest.mark.parametrize("site", VECTOR_SITES)
@pytest.mark.parametrize("make", params(PLAIN_VECTORS, NUMPY_VECTORS))
def test_vector_argument_equals_iteration(make, site):
    as_is, iterated = both(site, make())
    assert as_is == iterated


@pytest.mark.parametrize("site", BATCH_SITES)
@pytest.mark.parametrize("make", params(PLAIN_BATCHES, NUMPY_BATCHES))
def test_batch_argument_equals_iteration(make, site):
    as_is, iterated = both(site, make())
    assert as_is == iterated


@settings(max_examples=300, deadline=None)
@given(st.data(), st.binary(max_size=80), st.sampled_from(sorted(SITES)))
def test_random_buffer_equals_iteration(data, raw, site):
    obj = build_buffer(
        lambda options: data.draw(st.sampled_from(options)), lambda lo, hi: data.draw(st.integers(lo, hi)), raw, np
    )
    as_is, iterated = both(site, obj)
    assert as_is == iterated
