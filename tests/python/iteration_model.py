"""What a sequence argument means: its items, obtained by iterating it and
converted in order. A buffer may be read directly only where that changes
nothing a caller can see, so every conversion site is run twice on an
object, as is and wrapped in Iterated, and the two runs must agree in
everything observable: stored values and distances bit for bit, the result,
the exception's class and message, the warnings.

Shared by the tests and by the fuzzer (fuzz/fuzz_orbisk.py)."""

import array
import ctypes
import struct
import warnings

import orbisk

_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.argtypes = [ctypes.py_object]
_sequence_check.restype = ctypes.c_int

# More than any case stores, so that every search returns every vector.
K = 1000


def is_sequence(obj):
    """Whether the conversion would iterate obj: a sequence, but not a str."""
    return not isinstance(obj, str) and _sequence_check(obj) == 1


class Iterated:
    """Passes the sequence check but yields its items only by iterating the
    object it wraps; with rows, each item that is a sequence is wrapped too.
    Only sequences are wrapped: anything else must meet the same refusal."""

    def __new__(cls, inner, rows=False):
        if not is_sequence(inner):
            return inner
        self = super().__new__(cls)
        self._inner = inner
        self._rows = rows
        return self

    def __len__(self):
        return len(self._inner)

    def __getitem__(self, i):
        raise TypeError("read by iteration only")

    def __iter__(self):
        if not self._rows:
            return iter(self._inner)
        # The outermost iterable is taken at once, so iter() fails here as
        # it would on the object itself.
        return (Iterated(row) for row in self._inner)


def as_is(obj, rows=False):
    return obj


def bits(value):
    """Floats with their bit patterns, so -0.0 and NaN payloads count,
    inside any nesting of lists and tuples."""
    if isinstance(value, float):
        return f"{value!r} {struct.pack('>d', value).hex()}"
    if isinstance(value, (list, tuple)):
        return type(value)(bits(v) for v in value)
    return value


def attempt(fn, *args):
    """The result, or the exception's class and message."""
    try:
        return bits(fn(*args))
    except Exception as e:
        return type(e), str(e)
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
        return type(e), str(e)


def probes(dim):
    """Queries whose inner products with a vector give each of its values
    and their sum."""
    return [[float(i == j) for j in range(dim)] for i in range(dim)] + [[1.0] * dim]


def flat_index(dim, filled=False):
    index = orbisk.PyFlat(dim, "inner_product")
    if filled:
        index.create(probes(dim))
    return index


def graph_index(dim, filled=False):
    index = orbisk.PyHNSW(max(dim, 1), layers=1, ef_search=K, metric="inner_product")
    if filled:
        index.create(probes(max(dim, 1)))
    return index


def flat_seen(index, dim):
    return [attempt(index.search, q, K) for q in probes(dim)]


def graph_seen(index, dim):
    """Every stored vector, bit for bit, with its distance."""
    return attempt(index.search, [1.0] * max(dim, 1), K)


def _insert(make, seen):
    def site(obj, dim, wrap):
        index = make(dim)
        return attempt(index.insert, wrap(obj)), seen(index, dim)

    return site


def _search(make):
    def site(obj, dim, wrap):
        index = make(dim, filled=True)
        return attempt(index.search, wrap(obj), K)

    return site


def _create_row(make, seen):
    """The object as the second row of a batch, after one that stays."""

    def site(obj, dim, wrap):
        index = make(dim)
        return attempt(index.create, [[1.0] * dim, wrap(obj)]), seen(index, dim)

    return site


def _create(make, seen):
    def site(obj, dim, wrap):
        index = make(dim)
        return attempt(index.create, wrap(obj, rows=True)), seen(index, dim)

    return site


VECTOR_SITES = {
    "PyFlat.insert": _insert(flat_index, flat_seen),
    "PyFlat.search": _search(flat_index),
    "PyFlat.create row": _create_row(flat_index, flat_seen),
    "PyHNSW.insert": _insert(graph_index, graph_seen),
    "PyHNSW.search": _search(graph_index),
    "PyHNSW.create row": _create_row(graph_index, graph_seen),
}
BATCH_SITES = {
    "PyFlat.create": _create(flat_index, flat_seen),
    "PyHNSW.create": _create(graph_index, graph_seen),
}
SITES = {**VECTOR_SITES, **BATCH_SITES}


def dimension(obj, rows):
    """The length of the vector iteration gives (of the first row for a
    batch); where iteration fails, the buffer's shape; else 2."""
    try:
        items = list(Iterated(obj, rows))
        if rows:
            items = list(items[0]) if items else []
        return len(items)
    except Exception:
        pass
    try:
        shape = memoryview(obj).shape
    except Exception:
        return 2
    return shape[-1] if shape else 2


def run(site, obj, wrap):
    dim = dimension(obj, site in BATCH_SITES)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        seen = SITES[site](obj, dim, wrap)
    return seen, [(w.category, str(w.message)) for w in caught]


def both(site, obj):
    """The site's observations of obj as is, then of obj iterated."""
    return run(site, obj, as_is), run(site, obj, Iterated)


# Element formats to see raw bytes through. numpy's object dtype is left
# out: random bytes read as references would crash.
CAST_FORMATS = ("c", "b", "B", "?", "h", "H", "i", "I", "l", "L", "q", "Q", "n", "N", "f", "d", "e", "P", "@d", "@B")
CTYPES = (
    ctypes.c_int8,
    ctypes.c_uint8,
    ctypes.c_int16,
    ctypes.c_uint16,
    ctypes.c_int32,
    ctypes.c_uint32,
    ctypes.c_int64,
    ctypes.c_uint64,
    ctypes.c_float,
    ctypes.c_double,
    ctypes.c_longdouble,
    ctypes.c_bool,
    ctypes.c_char,
)
NUMPY_CODES = "?bBhHiIlLqQefdgFDG"


def cast_view(raw, fmt, offset=0, columns=0):
    """raw from offset (unaligned when offset is not a multiple of the item
    size) as items of fmt; rows of `columns` items when columns > 0 and
    there is a row (a memoryview cannot have zero rows)."""
    per_row = struct.calcsize(fmt) * max(columns, 1)
    view = memoryview(raw)[offset:]
    view = view[: len(view) // per_row * per_row]
    if columns > 0 and view:
        return view.cast(fmt, [len(view) // per_row, columns])
    return view.cast(fmt)


def ctypes_array(raw, ctype, big_endian=False):
    """A ctypes array of raw's leading items; its memoryview's format has a
    byte-order prefix ('<d', '>d', '<?', ...)."""
    if big_endian:
        ctype = getattr(ctype, "__ctype_be__", ctype)
    n = len(raw) // ctypes.sizeof(ctype)
    return (ctype * n).from_buffer_copy(raw[: n * ctypes.sizeof(ctype)])


def numpy_array(np, raw, code, order="=", offset=0, step=1, columns=0, fortran=False):
    """raw from offset as an array of code in the given byte order, every
    step-th item (reversed for a negative step), in rows of `columns` items
    when columns > 0, Fortran-ordered on request."""
    dtype = np.dtype(code).newbyteorder(order)
    count = max(len(raw) - offset, 0) // dtype.itemsize
    a = np.frombuffer(raw, dtype, count=count, offset=offset if count else 0)[::step]
    if columns > 0:
        a = a[: len(a) // columns * columns].reshape(-1, columns)
    return np.asfortranarray(a) if fortran else a


ARRAY_CODES = [c for c in array.typecodes if c != "u"]  # 'u' is deprecated


def build_buffer(pick, number, raw, np=None):
    """raw seen through a chosen carrier and element format: a memoryview
    cast, a ctypes array, an array.array or (given numpy) an ndarray, with
    chosen offset, stride, rows and byte order where the carrier has them,
    and the last three perhaps through a memoryview of them. pick(options)
    chooses one option, number(lo, hi) an int from lo to hi."""
    carrier = pick(("cast", "ctypes", "array", "numpy") if np is not None else ("cast", "ctypes", "array"))
    if carrier == "cast":
        return cast_view(raw, pick(CAST_FORMATS), number(0, 7), number(0, 3))
    if carrier == "ctypes":
        obj = ctypes_array(raw, pick(CTYPES), pick((False, True)))
    elif carrier == "array":
        obj = array.array(pick(ARRAY_CODES))
        obj.frombytes(raw[: len(raw) // obj.itemsize * obj.itemsize])
    else:
        obj = numpy_array(
            np, raw, pick(NUMPY_CODES), pick("<>="), number(0, 7), pick((1, 2, -1)), number(0, 3), pick((False, True))
        )
    if pick((False, True)):
        try:
            return memoryview(obj)
        except ValueError:  # numpy shows long doubles in native order only
            pass
    return obj
