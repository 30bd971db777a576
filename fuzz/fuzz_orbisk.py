"""Structured fuzzer for the orbisk bindings.

Each input is read as a small program: build a PyFlat or PyHNSW from fuzzed
constructor arguments, then run a few insert/search/create calls with
arguments drawn from a grammar of awkward Python values (deep nesting, huge
ints, NaN, subclasses, buffers, objects whose protocol methods raise, lie,
mutate what is being converted or call back into the same index).

Any exception is an acceptable outcome except those that mean a bug in the
extension: SystemError, a PanicException other than the one PyFlat.create
raises for a vector of the wrong length, and anything that is not an
Exception subclass.  Those are re-raised so the fuzzer reports them; a crash
of the interpreter is reported by the fuzzer itself.

What the program leaves of the input builds one buffer (random bytes through
a random format, carrier, offset, stride and shape) and passes it to one
conversion site as is and wrapped so that it can only be iterated: any
difference in what the two calls store, return or raise is a finding.

    python fuzz/fuzz_orbisk.py -atheris_runs=1000000 CORPUS_DIR

TestOneInput() also works without atheris (tests replay the seed corpus
through it), using a small stand-in for FuzzedDataProvider.
"""

import array
import pathlib
import re
import sys

try:
    import atheris
except ImportError:  # replay mode, see ByteReader
    atheris = None

try:
    import numpy
except ImportError:
    numpy = None

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
if atheris is not None:
    with atheris.instrument_imports():
        import orbisk

        import iteration_model
else:
    import orbisk

    import iteration_model


DOCUMENTED_PANIC = re.compile(r"Vector length \d+ does not match index dimension \d+")
MAX_DIM = 8
MAX_VECTORS = 50
MAX_OPS = 6
MAX_DEPTH = 4


class Finding(Exception):
    """Carries a bug-class exception out of a hook, where the extension
    would otherwise be free to wrap or replace it."""


class ByteReader:
    """The subset of atheris.FuzzedDataProvider this harness uses."""

    def __init__(self, data):
        self._data = bytes(data)
        self._pos = 0

    def remaining_bytes(self):
        return len(self._data) - self._pos

    def _take(self, n):
        chunk = self._data[self._pos : self._pos + n]
        self._pos += len(chunk)
        return chunk

    def ConsumeIntInRange(self, lo, hi):
        span = hi - lo
        if span <= 0:
            return lo
        width = (span.bit_length() + 7) // 8
        return lo + int.from_bytes(self._take(width).ljust(width, b"\0"), "little") % (span + 1)

    def ConsumeBool(self):
        return bool(self.ConsumeIntInRange(0, 1))

    def ConsumeBytes(self, n):
        return self._take(n)

    def ConsumeUnicodeNoSurrogates(self, n):
        return "".join(chr(b) for b in self._take(n))

    def ConsumeRegularFloat(self):
        raw = int.from_bytes(self._take(4).ljust(4, b"\0"), "little", signed=True)
        return raw / 256.0


def provider(data):
    if atheris is not None:
        return atheris.FuzzedDataProvider(data)
    return ByteReader(data)


# --- the index a hook calls back into ---------------------------------------

_current = []  # stack of indexes under test; hooks use the top one
_findings = []  # bug-class exceptions seen inside hooks


def classify(exc, method):
    """Return True when exc is an acceptable outcome of calling method."""
    if isinstance(exc, Finding):
        return False
    if type(exc).__name__ == "PanicException":
        return method == "PyFlat.create" and bool(DOCUMENTED_PANIC.fullmatch(str(exc)))
    if isinstance(exc, SystemError):
        return False
    return isinstance(exc, Exception)


def call(method, fn, *args, **kwargs):
    try:
        return fn(*args, **kwargs)
    except BaseException as exc:  # noqa: B036 - every outcome is classified
        if classify(exc, method):
            return None
        raise


def reenter(fdp_bytes):
    """Call back into the index under test from inside a protocol hook."""
    if not _current:
        return
    index = _current[-1]
    kind = "PyFlat" if isinstance(index, orbisk.PyFlat) else "PyHNSW"
    op = fdp_bytes % 3
    vec = [0.5] * 2
    try:
        if op == 0:
            call(kind + ".insert", index.insert, vec)
        elif op == 1:
            call(kind + ".search", index.search, vec)
        else:
            call(kind + ".create", index.create, [vec, vec])
    except BaseException as exc:  # noqa: B036 - reported after the top-level call
        _findings.append(exc)
        raise Finding(repr(exc)) from None


# --- hostile objects ---------------------------------------------------------


class StrSub(str):
    pass


class TupleSub(tuple):
    pass


class ListSub(list):
    pass


class FloatSub(float):
    pass


class IntSub(int):
    pass


class Hook:
    """A number whose __float__ / __index__ misbehave in one chosen way."""

    def __init__(self, mode, value):
        self.mode = mode
        self.value = value

    def _act(self):
        mode = self.mode
        if mode == 0:
            raise ValueError("hook refuses")
        if mode == 1:
            return "not a number"
        if mode == 2:
            reenter(int(abs(self.value)) if self.value == self.value and abs(self.value) < 1e9 else 0)
            return float(self.value)
        if mode == 3:
            target = _mutate_target[-1] if _mutate_target else None
            if target is not None:
                del target[:]
            return 1.0
        if mode == 4:
            return FloatSub(self.value)
        return self.value

    def __float__(self):
        return self._act()

    def __index__(self):
        out = self._act()
        if isinstance(out, float):
            return int(out) if out == out and abs(out) != float("inf") else 10**30
        return out


_mutate_target = []  # lists a Hook in mode 3 empties while they are being read


class LyingSeq:
    """A sequence whose length, items or iteration misbehave."""

    def __init__(self, items, mode, claimed):
        self.items = items
        self.mode = mode
        self.claimed = claimed

    def __len__(self):
        if self.mode == 0:
            raise TypeError("no length")
        if self.mode in (1, 2):
            return self.claimed
        if self.mode == 6:
            reenter(self.claimed)
        return len(self.items)

    def __getitem__(self, i):
        if self.mode == 3:
            raise IndexError("gone")
        if self.mode == 4 and self.items:
            self.items.pop()
        if self.mode == 6:
            reenter(i if isinstance(i, int) else 0)
        return self.items[i]

    def __iter__(self):
        if self.mode == 5:
            raise RuntimeError("no iteration")
        if self.mode == 2:
            yield from self.items
            yield from self.items
            return
        for i in range(len(self.items)):
            if self.mode == 4 and self.items:
                self.items.pop()
            if i >= len(self.items):
                return
            yield self.items[i]


class MutatingList(list):
    """A list whose elements empty it while they are converted."""


INTS = (
    0,
    1,
    -1,
    2,
    7,
    8,
    2**31 - 1,
    2**32 - 1,
    2**32,
    2**63 - 1,
    2**63,
    -(2**63),
    2**64,
    -(2**64) - 1,
    10**30,
    -(10**30),
)
FLOATS = (0.0, -0.0, 1.0, -1.0, 0.5, float("nan"), float("inf"), float("-inf"), 1e308, -1e308, 5e-324, 1e-300)


def gen_scalar(fdp):
    kind = fdp.ConsumeIntInRange(0, 11)
    if kind == 0:
        return INTS[fdp.ConsumeIntInRange(0, len(INTS) - 1)]
    if kind == 1:
        return FLOATS[fdp.ConsumeIntInRange(0, len(FLOATS) - 1)]
    if kind == 2:
        return fdp.ConsumeRegularFloat()
    if kind == 3:
        return fdp.ConsumeIntInRange(-5, 5)
    if kind == 4:
        return fdp.ConsumeBool()
    if kind == 5:
        return None
    if kind == 6:
        s = fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 4))
        return StrSub(s) if fdp.ConsumeBool() else s
    if kind == 7:
        return Hook(fdp.ConsumeIntInRange(0, 5), FLOATS[fdp.ConsumeIntInRange(0, len(FLOATS) - 1)])
    if kind == 8:
        return FloatSub(fdp.ConsumeRegularFloat())
    if kind == 9:
        return IntSub(INTS[fdp.ConsumeIntInRange(0, len(INTS) - 1)])
    if kind == 10:
        return complex(1, 1)
    return object()


def gen_value(fdp, depth=0, dim=2):
    """Anything at all, biased towards sequences of numbers of length dim."""
    if depth >= MAX_DEPTH or fdp.remaining_bytes() == 0:
        return gen_scalar(fdp)
    kind = fdp.ConsumeIntInRange(0, 11)
    if kind <= 1:
        return gen_scalar(fdp)
    if kind == 2:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, MAX_DIM + 1))
    if kind == 3:
        raw = fdp.ConsumeBytes(8 * fdp.ConsumeIntInRange(0, MAX_DIM))
        typecode = "dbfiq"[fdp.ConsumeIntInRange(0, 4)]
        size = array.array(typecode).itemsize
        buf = array.array(typecode, raw[: len(raw) // size * size])
        return memoryview(buf) if fdp.ConsumeBool() else buf
    if kind == 4:
        return bytearray(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, MAX_DIM + 1)))
    n = dim if fdp.ConsumeIntInRange(0, 3) else fdp.ConsumeIntInRange(0, MAX_DIM + 1)
    items = [
        gen_value(fdp, depth + 1, dim) if fdp.ConsumeIntInRange(0, 7) == 0 else fdp.ConsumeRegularFloat()
        for _ in range(n)
    ]
    if kind == 5:
        return tuple(items)
    if kind == 6:
        return TupleSub(items)
    if kind == 7:
        return ListSub(items)
    if kind == 8:
        claimed = (10**9, -1, 0, n + 1, 2**63 - 1, 2**64)[fdp.ConsumeIntInRange(0, 5)]
        return LyingSeq(items, fdp.ConsumeIntInRange(0, 6), claimed)
    if kind == 9:
        victim = MutatingList(items)
        if victim:
            victim[fdp.ConsumeIntInRange(0, len(victim) - 1)] = Hook(3, 1.0)
        return victim
    return items


def gen_vector(fdp, dim):
    """Usually a well-formed vector, so conversion gets past the first check."""
    if fdp.ConsumeIntInRange(0, 3):
        return [fdp.ConsumeRegularFloat() for _ in range(dim)]
    return gen_value(fdp, 0, dim)


def gen_vectors(fdp, dim):
    choice = fdp.ConsumeIntInRange(0, 5)
    if choice == 0:
        return gen_value(fdp, 0, dim)
    n = fdp.ConsumeIntInRange(0, MAX_VECTORS if choice == 1 else 6)
    rows = [gen_vector(fdp, dim) for _ in range(n)]
    if choice == 2:
        return tuple(rows)
    if choice == 3:
        return LyingSeq(rows, fdp.ConsumeIntInRange(0, 6), (10**9, -1, n + 1)[fdp.ConsumeIntInRange(0, 2)])
    if choice == 4 and rows:
        victim = MutatingList(rows)
        victim[-1] = [Hook(3, 1.0)] * dim
        return victim
    return rows


def gen_int_arg(fdp, default_hi):
    """A constructor or k argument: mostly small ints, sometimes hostile."""
    choice = fdp.ConsumeIntInRange(0, 7)
    if choice <= 3:
        return fdp.ConsumeIntInRange(0, default_hi)
    if choice == 4:
        return None
    if choice == 5:
        return INTS[fdp.ConsumeIntInRange(0, len(INTS) - 1)]
    return gen_scalar(fdp)


def gen_metric(fdp, names):
    choice = fdp.ConsumeIntInRange(0, 5)
    if choice <= 2:
        return names[fdp.ConsumeIntInRange(0, len(names) - 1)]
    if choice == 3:
        return StrSub(names[fdp.ConsumeIntInRange(0, len(names) - 1)])
    if choice == 4:
        return None
    return gen_scalar(fdp)


def gen_metadata(fdp, names):
    choice = fdp.ConsumeIntInRange(0, 4)
    if choice == 0:
        return None
    if choice == 1:
        return gen_value(fdp, 1, 2)
    pairs = []
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        name = names[fdp.ConsumeIntInRange(0, len(names) - 1)] if names and fdp.ConsumeBool() else gen_scalar(fdp)
        value = gen_scalar(fdp)
        pair = (name, value) if fdp.ConsumeIntInRange(0, 3) else gen_value(fdp, 2, 2)
        pairs.append(TupleSub(pair) if isinstance(pair, tuple) and fdp.ConsumeBool() else pair)
    return pairs


def clamp_dim(dim):
    return dim if isinstance(dim, int) and 0 <= dim <= MAX_DIM else 2


def run_flat(fdp):
    dim = gen_int_arg(fdp, MAX_DIM)
    metric = gen_metric(fdp, ("euclidean", "cosine", "inner_product", "angular", ""))
    args = (dim,) if fdp.ConsumeBool() else (dim, metric)
    index = call("PyFlat", orbisk.PyFlat, *args)
    if index is None:
        return
    _current.append(index)
    vdim = clamp_dim(dim)
    for _ in range(fdp.ConsumeIntInRange(1, MAX_OPS)):
        if fdp.remaining_bytes() == 0:
            break
        op = fdp.ConsumeIntInRange(0, 2)
        if op == 0:
            call("PyFlat.insert", index.insert, gen_vector(fdp, vdim))
        elif op == 1:
            vectors = gen_vectors(fdp, vdim)
            _mutate_target.append(vectors if isinstance(vectors, list) else None)
            try:
                call("PyFlat.create", index.create, vectors)
            finally:
                _mutate_target.pop()
        else:
            query = gen_vector(fdp, vdim)
            if fdp.ConsumeBool():
                call("PyFlat.search", index.search, query, k=gen_int_arg(fdp, 60))
            else:
                call("PyFlat.search", index.search, query)


def run_hnsw(fdp):
    dim = gen_int_arg(fdp, MAX_DIM)
    kwargs = {}
    if fdp.ConsumeBool():
        kwargs["layers"] = gen_int_arg(fdp, 8)
    if fdp.ConsumeBool():
        kwargs["m"] = gen_int_arg(fdp, 32)
    if fdp.ConsumeBool():
        kwargs["ef_construction"] = gen_int_arg(fdp, 50)
    if fdp.ConsumeBool():
        kwargs["ef_search"] = gen_int_arg(fdp, 60)
    kwargs["metric"] = gen_metric(fdp, ("euclidean", "angular", "inner_product", "cosine"))
    names = []
    if fdp.ConsumeBool():
        choice = fdp.ConsumeIntInRange(0, 3)
        if choice <= 1:
            names = ["color", "n", "tag"][: fdp.ConsumeIntInRange(0, 3)]
            kwargs["schema"] = names if choice == 0 else TupleSub(names)
        else:
            kwargs["schema"] = gen_value(fdp, 1, 2)
    # Large layer and ef_construction values are slow by design; keep runs short.
    for key, cap in (("layers", 8), ("ef_construction", 50)):
        value = kwargs.get(key)
        if isinstance(value, int) and value > cap:
            kwargs[key] = cap
    index = call("PyHNSW", orbisk.PyHNSW, dim, **kwargs)
    if index is None:
        return
    _current.append(index)
    vdim = clamp_dim(dim)
    for _ in range(fdp.ConsumeIntInRange(1, MAX_OPS)):
        if fdp.remaining_bytes() == 0:
            break
        op = fdp.ConsumeIntInRange(0, 2)
        if op == 0:
            vector = gen_vector(fdp, vdim)
            if fdp.ConsumeBool():
                call("PyHNSW.insert", index.insert, vector, metadata=gen_metadata(fdp, names))
            else:
                call("PyHNSW.insert", index.insert, vector)
        elif op == 1:
            vectors = gen_vectors(fdp, vdim)
            _mutate_target.append(vectors if isinstance(vectors, list) else None)
            try:
                if fdp.ConsumeBool():
                    n = len(vectors) if isinstance(vectors, list) else fdp.ConsumeIntInRange(0, 3)
                    meta = [gen_metadata(fdp, names) for _ in range(n + fdp.ConsumeIntInRange(-1, 1) if n else 0)]
                    call("PyHNSW.create", index.create, vectors, metadata=meta)
                else:
                    call("PyHNSW.create", index.create, vectors)
            finally:
                _mutate_target.pop()
        else:
            query = gen_vector(fdp, vdim)
            kw = {}
            if fdp.ConsumeBool():
                kw["k"] = gen_int_arg(fdp, 60)
            if fdp.ConsumeBool():
                choice = fdp.ConsumeIntInRange(0, 2)
                if choice == 0 and names:
                    kw["filter"] = (names[fdp.ConsumeIntInRange(0, len(names) - 1)], gen_scalar(fdp))
                elif choice == 1:
                    kw["filter"] = TupleSub((gen_scalar(fdp), gen_scalar(fdp)))
                else:
                    kw["filter"] = gen_value(fdp, 2, 2)
            call("PyHNSW.search", index.search, query, **kw)


def check_buffer(fdp):
    """A buffer must give at a conversion site what its iteration gives."""
    if fdp.remaining_bytes() == 0:
        return
    sites = sorted(iteration_model.SITES)
    site = sites[fdp.ConsumeIntInRange(0, len(sites) - 1)]
    raw = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 80))
    obj = iteration_model.build_buffer(
        lambda options: options[fdp.ConsumeIntInRange(0, len(options) - 1)], fdp.ConsumeIntInRange, raw, numpy
    )
    as_is, iterated = iteration_model.both(site, obj)
    if as_is != iterated:
        shown = obj
        if isinstance(obj, memoryview):
            shown = f"memoryview {obj.format!r} {obj.shape} of {obj.obj!r}"
        raise Finding(f"{site}({shown}) as is: {as_is!r}; iterated: {iterated!r}")


def TestOneInput(data):
    fdp = provider(data)
    del _findings[:]
    kind = fdp.ConsumeIntInRange(0, 1)
    runner = run_flat if kind == 0 else run_hnsw
    try:
        runner(fdp)
    finally:
        del _current[:]
        _mutate_target.clear()
    if _findings:
        raise _findings[0]
    check_buffer(fdp)


def main():
    # orbisk itself is not built with coverage; the harness's own branches
    # (which conversion paths each input took) are what guides the search.
    atheris.instrument_all()
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
