"""Calling conventions of every callable: binding, conversion,
error naming and the borrow rules under re-entrancy."""

import array

import pytest

import orbisk

HNSW_PARAMS = ["dim", "layers", "m", "ef_construction", "ef_search", "metric", "schema"]


def _flat(rows=((0.0, 0.0), (3.0, 4.0))):
    idx = orbisk.PyFlat(2)
    for r in rows:
        idx.insert(list(r))
    return idx


def _hnsw(rows=((0.0, 0.0), (3.0, 4.0)), **kw):
    idx = orbisk.PyHNSW(2, metric="euclidean", **kw)
    for r in rows:
        idx.insert(list(r))
    return idx


CALLABLES = [
    ("PyFlat.__new__()", lambda: orbisk.PyFlat, ["dim", "metric"]),
    ("PyFlat.insert()", lambda: _flat().insert, ["vector"]),
    ("PyFlat.search()", lambda: _flat().search, ["query", "k"]),
    ("PyFlat.create()", lambda: _flat().create, ["vectors"]),
    ("PyHNSW.__new__()", lambda: orbisk.PyHNSW, HNSW_PARAMS),
    ("PyHNSW.insert()", lambda: _hnsw().insert, ["vector", "metadata"]),
    ("PyHNSW.search()", lambda: _hnsw().search, ["query", "k", "filter"]),
    ("PyHNSW.create()", lambda: _hnsw().create, ["vectors", "metadata"]),
]
ids = [c[0] for c in CALLABLES]


def _raises(exc, msg, f, *a, **kw):
    with pytest.raises(exc) as info:
        f(*a, **kw)
    assert type(info.value) is exc and str(info.value) == msg
    return info.value


@pytest.mark.parametrize("name,get,params", CALLABLES, ids=ids)
def test_binding_messages(name, get, params):
    f, n = get(), len(params)
    missing = f"{name} missing 1 required positional argument: '{params[0]}'"
    _raises(TypeError, missing, f)
    if n > 1:
        _raises(TypeError, missing, f, **{params[-1]: None})
    for extra in (1, 3):
        given = n + extra
        if n == 1:
            msg = f"{name} takes 1 positional arguments but {given} were given"
        else:
            msg = f"{name} takes from 1 to {n} positional arguments but {given} were given"
        _raises(TypeError, msg, f, *[None] * given)
        _raises(TypeError, msg, f, *[None] * given, nope=1)  # positional error wins
    multiple = f"{name} got multiple values for argument '{params[0]}'"
    unexpected = f"{name} got an unexpected keyword argument 'nope'"
    _raises(TypeError, multiple, f, None, **{params[0]: None})
    _raises(TypeError, unexpected, f, None, nope=1)
    _raises(TypeError, unexpected, f, nope=1)  # keywords are checked before the missing one
    _raises(TypeError, f"{name} got an unexpected keyword argument '{params[0].upper()}'", f, **{params[0].upper(): 1})
    # The first offending keyword in call order is reported.
    _raises(TypeError, unexpected, f, None, nope=1, **{params[0]: None})
    _raises(TypeError, multiple, f, None, **{params[0]: None}, nope=1)
    # Every parameter binds by keyword; a required None is converted and refused.
    with pytest.raises(TypeError, match=f"^argument '{params[0]}': 'NoneType' object "):
        f(**{params[0]: None})


@pytest.mark.parametrize(
    "cls,other",
    [(orbisk.PyFlat, _hnsw), (orbisk.PyHNSW, _flat), (orbisk.PyFlat, object)],
    ids=["flat-on-graph", "graph-on-flat", "flat-on-object"],
)
@pytest.mark.parametrize("method", ["insert", "search", "create"])
def test_a_method_refuses_another_object_as_self(cls, other, method):
    # The methods read self as their own class without looking: only the
    # descriptor's check stands between them and another object's memory.
    victim = other()
    with pytest.raises(TypeError, match=f"^descriptor '{method}' for 'builtins.{cls.__name__}' objects"):
        getattr(cls, method)(victim, [1.0, 2.0])
    if not isinstance(victim, (orbisk.PyFlat, orbisk.PyHNSW)):
        return
    assert victim.search([0.0, 0.0], 5)[0] in [(0, 0.0), (0.0, [0.0, 0.0])]


def test_none_equals_omitted():
    assert _flat().search([0.0, 0.0], None) == _flat().search([0.0, 0.0]) == [(0, 0.0)]
    explicit = orbisk.PyFlat(2, None)
    explicit.create([[0.0, 5.0], [2.0, 2.0]])
    assert explicit.search([1.0, 0.0], k=2) == [(1, 5.0**0.5), (0, 26.0**0.5)]
    h = orbisk.PyHNSW(2, None, None, None, None, "euclidean", None)
    assert h.insert([1.0, 1.0], None) is None and h.create([[2.0, 2.0]], None) is None
    assert h.search([1.0, 1.0], None, None) == h.search([1.0, 1.0]) == [(0.0, [1.0, 1.0])]


class Box:
    class Inner:
        pass


def _gen():
    yield 1.0


NOT_SEQUENCES = [
    ({1: 2}, "dict"),
    ({1.0, 2.0}, "set"),
    (frozenset(), "frozenset"),
    (_gen(), "generator"),
    (iter([1.0]), "list_iterator"),
    (5, "int"),
    (1.5, "float"),
    (Box.Inner(), "Box.Inner"),
]


@pytest.mark.parametrize("value,tname", NOT_SEQUENCES, ids=[t for _, t in NOT_SEQUENCES])
def test_sequence_refusals(value, tname):
    msg = f"'{tname}' object cannot be converted to 'Sequence'"
    _raises(TypeError, f"argument 'vector': {msg}", _flat().insert, value)
    _raises(TypeError, f"argument 'query': {msg}", _hnsw().search, value)
    _raises(TypeError, f"argument 'vectors': {msg}", _flat().create, [[1.0, 2.0], value])
    _raises(TypeError, f"argument 'schema': {msg}", orbisk.PyHNSW, 2, metric="euclidean", schema=value)
    _raises(TypeError, f"argument 'metadata': {msg}", _hnsw(schema=[]).create, [[1.0, 1.0]], [value])


class Text(str):
    pass


@pytest.mark.parametrize("s", ["", "ab", Text("ab")])
def test_str_refused_at_every_level(s):
    msg = "Can't extract `str` to `Vec`"
    _raises(TypeError, f"argument 'vector': {msg}", _flat().insert, s)
    _raises(TypeError, f"argument 'vectors': {msg}", _flat().create, s)
    _raises(TypeError, f"argument 'vectors': {msg}", _flat().create, [[1.0, 2.0], s])
    _raises(TypeError, f"argument 'vectors': {msg}", _hnsw().create, (s,))
    _raises(TypeError, f"argument 'schema': {msg}", orbisk.PyHNSW, 2, metric="euclidean", schema=s)
    _raises(TypeError, f"argument 'metadata': {msg}", _hnsw(schema=["c"]).insert, [1.0, 1.0], s)
    _raises(TypeError, f"argument 'metadata': {msg}", _hnsw(schema=["c"]).create, [[1.0, 1.0]], [s])
    _raises(TypeError, f"argument 'metadata': {msg}", _hnsw(schema=["c"]).create, [[1.0, 1.0]], s)


class Seq:
    """A sequence by __getitem__ only, whose __len__ may lie or fail."""

    def __init__(self, items, length=None):
        self.items, self.length = items, length

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length


class RevList(list):
    def __iter__(self):
        return reversed(self[:])


@pytest.mark.parametrize(
    "value,stored",
    [
        (b"\x01\xff", [1.0, 255.0]),
        (bytearray(b"\x00\x03"), [0.0, 3.0]),
        ((True, False), [1.0, 0.0]),
        (range(2, 4), [2.0, 3.0]),
        (array.array("i", [5, -6]), [5.0, -6.0]),
        ([2**53 + 1, 3], [2.0**53, 3.0]),
        (Seq([1.0, 2.0], length=100), [1.0, 2.0]),
        (Seq([1.0, 2.0], length=ValueError("x")), [1.0, 2.0]),
        (Seq([1.0, 2.0], length=TypeError("x")), [1.0, 2.0]),
        (RevList([1.0, 2.0]), [2.0, 1.0]),
    ],
)
def test_accepted_sequences(value, stored):
    f = orbisk.PyFlat(2)
    assert f.insert(value) is None
    f.create([value, list(stored)])
    assert f.search(stored, k=3) == [(0, 0.0), (1, 0.0), (2, 0.0)]
    h = orbisk.PyHNSW(2, metric="euclidean")
    h.insert(value)
    assert h.search(stored) == [(0.0, stored)]


class Num:
    def __init__(self, exc=None, value=1.0, index=None):
        self.exc, self.value, self.index = exc, value, index

    def __float__(self):
        if self.exc is not None:
            raise self.exc
        return self.value

    def __index__(self):
        if self.exc is not None:
            raise self.exc
        return self.index


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class MyTypeError(TypeError):
    pass


class BadIter(list):
    def __init__(self, exc):
        super().__init__([1.0, 1.0])
        self.exc = exc

    def __iter__(self):
        raise self.exc


@pytest.mark.parametrize(
    "exc",
    [
        MyTypeError("mine"),
        ValueError("v"),
        OverflowError("o"),
        KeyError("k"),
        RuntimeError("r"),
        ZeroDivisionError("z"),
    ],
)
def test_hook_errors_pass_unchanged(exc):
    for call in (
        lambda: _flat().insert([1.0, Num(exc)]),
        lambda: _hnsw().search([Num(exc), 1.0]),
        lambda: _flat().search([1.0, 1.0], k=Num(exc)),
        lambda: orbisk.PyFlat(Num(exc)),
        lambda: orbisk.PyHNSW(2, ef_search=Num(exc), metric="euclidean"),
        lambda: _flat().create(Seq([[1.0, 1.0], [1.0, Num(exc)]])),
        lambda: _flat().insert(BadIter(exc)),
        lambda: _hnsw().create([[1.0, 1.0], BadIter(exc)]),
    ):
        with pytest.raises(BaseException) as info:
            call()
        assert info.value is exc


def test_exact_type_error_is_renamed_and_keeps_cause():
    cause = KeyError("root")
    try:
        raise TypeError("boom") from cause
    except TypeError as e:
        original = e
    for call, param in (
        (lambda: _flat().insert([Num(original), 1.0]), "vector"),
        (lambda: _hnsw().search([1.0, 1.0], k=Num(original)), "k"),
        (lambda: orbisk.PyHNSW(2, m=Num(original), metric="euclidean"), "m"),
    ):
        e = _raises(TypeError, f"argument '{param}': boom", call)
        assert e is not original and e.__cause__ is cause
        assert original not in (e.__cause__, e.__context__)
    e = _raises(TypeError, "argument 'query': bare", _flat().search, [Num(TypeError("bare")), 1.0])
    assert e.__cause__ is None
    _raises(TypeError, "argument 'vectors': it", _flat().create, [[1.0, 1.0], BadIter(TypeError("it"))])


def test_number_conversion_messages():
    _raises(TypeError, "argument 'vector': must be real number, not str", _flat().insert, [1.0, "x"])
    _raises(TypeError, "argument 'vectors': must be real number, not NoneType", _flat().create, [[1.0, None]])
    _raises(OverflowError, "int too large to convert to float", _flat().insert, [1.0, 10**400])
    idx = orbisk.PyFlat(2)
    idx.insert([Idx(3), Num(value=-2.5)])  # __index__ serves a double too
    assert idx.search([3.0, -2.5]) == [(0, 0.0)]
    _raises(
        TypeError, "argument 'k': 'Box' object cannot be interpreted as an integer", _flat().search, [0.0, 0.0], k=Box()
    )
    _raises(TypeError, "argument 'k': __index__ returned non-int (type float)", _flat().search, [0.0, 0.0], k=Idx(1.5))


U32_SITES = [
    ("dim", lambda v: orbisk.PyFlat(v)),
    ("k", lambda v: _flat().search([0.0, 0.0], k=v)),
    ("k", lambda v: _hnsw().search([0.0, 0.0], v)),
] + [(p, lambda v, p=p: orbisk.PyHNSW(**{"dim": 2, "metric": "euclidean", p: v})) for p in HNSW_PARAMS[:5]]


@pytest.mark.parametrize("param,call", U32_SITES, ids=[f"{p}{i}" for i, (p, _) in enumerate(U32_SITES)])
def test_unsigned_conversion(param, call):
    _raises(OverflowError, "can't convert negative int to unsigned", call, -1)
    _raises(OverflowError, "int too big to convert", call, 2**64)
    for big in (2**32, 2**64 - 1):
        _raises(OverflowError, "out of range integral type conversion attempted", call, big)
    _raises(TypeError, f"argument '{param}': 'float' object cannot be interpreted as an integer", call, 2.0)
    _raises(TypeError, f"argument '{param}': 'str' object cannot be interpreted as an integer", call, "3")
    _raises(OverflowError, "out of range integral type conversion attempted", call, Idx(2**32))
    call(True)
    call(Idx(4))
    if param == "k":
        assert len(call(2**32 - 1)) == 2


def test_text_conversion():
    for bad, tname in ((3, "int"), (b"cosine", "bytes"), (["cosine"], "list")):
        msg = f"'{tname}' object cannot be converted to 'PyString'"
        _raises(TypeError, f"argument 'metric': {msg}", orbisk.PyFlat, 2, bad)
        _raises(TypeError, f"argument 'metric': {msg}", orbisk.PyHNSW, 2, metric=bad)
        _raises(TypeError, f"argument 'schema': {msg}", orbisk.PyHNSW, 2, metric="euclidean", schema=["a", bad])
    for call in (
        lambda: orbisk.PyFlat(2, "\ud800"),
        lambda: orbisk.PyHNSW(2, metric="euclidean", schema=["\udc00"]),
        lambda: _hnsw(schema=["a"]).search([0.0, 0.0], filter=("\ud800", 1)),
    ):
        with pytest.raises(UnicodeEncodeError):
            call()
    assert orbisk.PyHNSW(2, metric=Text("euclidean")) is not None
    # Parameters convert in order: the first bad one is reported.
    _raises(
        TypeError,
        "argument 'layers': 'float' object cannot be interpreted as an integer",
        orbisk.PyHNSW,
        2,
        1.0,
        metric=3,
        schema="ab",
    )
    _raises(TypeError, "argument 'schema': Can't extract `str` to `Vec`", orbisk.PyHNSW, 2, schema="ab")


class Pair(tuple):
    pass


def test_pair_conversion():
    plain, schema = _hnsw(), _hnsw(schema=["color"])
    for idx in (plain, schema):
        search = idx.search
        _raises(
            TypeError,
            "argument 'filter': 'list' object cannot be converted to 'PyTuple'",
            search,
            [0.0, 0.0],
            filter=["color", "red"],
        )
        for t in ((), ("color",), ("color", "red", 3)):
            _raises(
                ValueError, f"expected tuple of length 2, but got tuple of length {len(t)}", search, [0.0, 0.0], 1, t
            )
        _raises(
            TypeError,
            "argument 'filter': 'int' object cannot be converted to 'PyString'",
            search,
            [0.0, 0.0],
            filter=(1, "red"),
        )
    _raises(
        ValueError,
        "No schema provided in HNSW instance; cannot use metadata filtering",
        plain.search,
        [0.0, 0.0],
        filter=Pair(("color", "red")),
    )
    _raises(
        TypeError,
        "argument 'metadata': 'list' object cannot be converted to 'PyTuple'",
        schema.insert,
        [1.0, 1.0],
        [["color", "red"]],
    )
    _raises(
        TypeError,
        "argument 'metadata': 'str' object cannot be converted to 'PyTuple'",
        schema.create,
        [[1.0, 1.0]],
        [[("color", "red"), "x"]],
    )
    schema.insert([1.0, 1.0], [Pair(("color", "red"))])
    assert schema.search([1.0, 1.0], filter=Pair(("color", "red"))) == [(0.0, [1.0, 1.0])]


# ---- borrows under re-entrancy ------------------------------------------------


class Hook:
    """Runs `fn` when converted (as a float or an index), recording the outcome."""

    def __init__(self, fn, value=0.0):
        self.fn, self.value, self.seen = fn, value, []

    def _run(self):
        try:
            self.seen.append(self.fn())
        except RuntimeError as e:
            self.seen.append(e)
            raise

    def __float__(self):
        self._run()
        return self.value

    def __index__(self):
        self._run()
        return 1


KINDS = {"flat": _flat, "hnsw": _hnsw}


def _snap(idx):
    return idx.search([0.0, 0.0], k=50)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "outer,inner,msg",
    [
        ("search", "insert", "Already borrowed"),
        ("search", "create", "Already borrowed"),
        ("search_k", "insert", "Already borrowed"),
        ("insert", "search", "Already mutably borrowed"),
        ("create", "search", "Already mutably borrowed"),
        ("insert", "insert", "Already borrowed"),
        ("create", "create", "Already borrowed"),
        ("insert", "create", "Already borrowed"),
    ],
)
def test_conflicting_reentry(kind, outer, inner, msg):
    idx = KINDS[kind]()
    before = _snap(idx)
    calls = {
        "search": lambda: idx.search([1.0, 1.0]),
        "insert": lambda: idx.insert([9.0, 9.0]),
        "create": lambda: idx.create([[9.0, 9.0]]),
    }
    outers = {
        "search": lambda h: idx.search([h, 0.0]),
        "search_k": lambda h: idx.search([0.0, 0.0], k=h),
        "insert": lambda h: idx.insert([h, 0.0]),
        "create": lambda h: idx.create([[1.0, 1.0], [h, 0.0]]),
    }
    hook = Hook(calls[inner])
    e = _raises(RuntimeError, msg, outers[outer], hook)
    assert hook.seen == [e]  # propagated as is, not renamed
    assert _snap(idx) == before
    # A refused borrow does not release the one held: refused twice, then the outer call completes.
    errors = []

    def twice():
        for _ in range(2):
            try:
                calls[inner]()
            except RuntimeError as err:
                errors.append(str(err))

    outers[outer](Hook(twice))
    assert errors == [msg, msg]
    after = _snap(idx)
    assert len(after) == len(before) + {"search": 0, "search_k": 0, "insert": 1, "create": 2}[outer]
    idx.insert([5.0, 5.0])  # the borrow word is free again
    assert len(_snap(idx)) == len(after) + 1


@pytest.mark.parametrize("kind", KINDS)
def test_nested_search_inside_search(kind):
    idx = KINDS[kind]()
    before = _snap(idx)
    hook = Hook(lambda: _snap(idx))
    assert idx.search([hook, 0.0], k=50) == before and hook.seen == [before]
    deep = Hook(lambda: idx.search([Hook(lambda: _snap(idx)), 0.0], k=50))
    assert idx.search([0.0, 0.0], k=deep) == before[:1] and deep.seen == [before]
    # The nested search returns its own share only: the outer one still excludes writers.
    late = Hook(lambda: idx.insert([1.0, 1.0]))
    _raises(RuntimeError, "Already borrowed", idx.search, [Hook(lambda: _snap(idx)), late])
    assert _snap(idx) == before
    other = KINDS[kind]()
    assert idx.search([Hook(lambda: other.insert([1.0, 1.0])), 0.0], k=9) == before  # other instance: no conflict
    assert len(_snap(other)) == 3


@pytest.mark.parametrize("kind", KINDS)
def test_reentry_through_iteration(kind):
    idx = KINDS[kind]()

    class Query:
        def __getitem__(self, i):
            if i == 0:
                idx.insert([1.0, 1.0])
            raise IndexError

    _raises(RuntimeError, "Already borrowed", idx.search, Query())
    assert len(_snap(idx)) == 2
