"""Metadata records and equality filters of PyHNSW: value conversion,
schema order, exact matching, and nodes that carry no record.

Node i stores the vector [i] and the query is [0], so a result lists the
nodes by id. With one layer and a large ef_search each new node is linked
to every earlier one, so a filtered walk from node 0 reaches every admitted
node; node 0 itself starts the walk and is returned untested."""

import collections
import decimal
import fractions
import math

import pytest

import orbisk

NAN, INF = math.nan, math.inf
NO_RECORD = object()


def _raises(exc, msg, f, *a, **kw):
    with pytest.raises(exc) as info:
        f(*a, **kw)
    assert type(info.value) is exc and str(info.value) == msg


def _index(values=(), schema=("c",), via="insert", **kw):
    """Node i gets [("c", values[i])], or no metadata at all for NO_RECORD."""
    idx = orbisk.PyHNSW(1, **{"layers": 1, "ef_search": 1000, "metric": "euclidean", "schema": list(schema), **kw})
    if via == "create" and values:
        idx.create([[float(i)] for i in range(len(values))], [[("c", v)] for v in values])
        return idx
    for i, v in enumerate(values):
        idx.insert([float(i)], None if v is NO_RECORD else [("c", v)])
    return idx


def _ids(idx, flt=None):
    return [int(v[0]) for _, v in idx.search([0.0], k=1000, filter=flt)]


class Text(str):
    pass


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class FloatOnly:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class Both(Index, FloatOnly):
    def __init__(self, i, f):
        self.v, self.f = i, f

    def __float__(self):
        return self.f


class BrokenIndex(FloatOnly):
    def __index__(self):
        raise RuntimeError("discarded")


@pytest.mark.parametrize(
    "stored,wanted,match",
    [
        (True, 1, True),
        (1, True, True),
        (True, 1.0, False),
        (False, 0, True),
        (False, -0.0, False),
        (2, 2, True),
        (2, 2.0, False),
        (2.0, 2, False),
        (2.5, 2.5, True),
        (2.5, 2, False),
        (3, 3.0, False),
        (3.0, 3, False),
        (3.0, 3.0, True),
        (3, "3", False),
        ("3", 3, False),
        (-1, -1, True),
        (-1, -1.0, False),
        (-1.0, -1.0, True),
        (-1.0, -1, False),
        (2**70, 2**70, True),
        (2**70, float(2**70), True),
        (float(2**70), 2**70, True),
        (2**70, 2**70 + 1, True),
        (2**63 - 1, 2**63 - 1, True),
        (2**63 - 1, float(2**63), False),
        (2**63, float(2**63), True),
        (-(2**63), -(2**63), True),
        (-(2**63), float(-(2**63)), False),
        (-(2**63) - 1, float(-(2**63)), True),
        (NAN, NAN, False),
        (NAN, 0.0, False),
        (0.0, -0.0, True),
        (-0.0, 0.0, True),
        (0, -0.0, False),
        (INF, INF, True),
        (-INF, INF, False),
        (5e-324, 5e-324, True),
        (5e-324, 0.0, False),
        ("red", "red", True),
        ("red", "Red", False),
        ("red", "red ", False),
        ("red", " red", False),
        ("", "", True),
        ("", "\x00", False),
        ("a\x00b", "a\x00b", True),
        ("a\x00b", "a", False),
        ("\u00e9", "e\u0301", False),
        ("\u00e9", "\u00e9", True),
        ("\U0001f600", "\U0001f600", True),
        (Text("red"), "red", True),
        ("red", Text("red"), True),
        (Index(7), 7, True),
        (Index(7), 7.0, False),
        (7, Index(7), True),
        (Index(2**70), float(2**70), True),
        (FloatOnly(7.5), 7.5, True),
        (7.5, FloatOnly(7.5), True),
        (Both(4, 9.0), 4, True),
        (Both(4, 9.0), 9.0, False),
        (BrokenIndex(4.5), 4.5, True),
        (4.5, BrokenIndex(4.5), True),
        (decimal.Decimal("2.5"), 2.5, True),
        (fractions.Fraction(5, 2), 2.5, True),
        (2.5, fractions.Fraction(5, 2), True),
    ],
)
@pytest.mark.parametrize("via", ["insert", "create"])
def test_value_conversion_and_equality(stored, wanted, match, via):
    idx = _index(["anchor", stored, "other"], via=via)
    assert _ids(idx, ("c", wanted)) == ([0, 1] if match else [0])


UNSUPPORTED = [
    None,
    [],
    [1],
    (1, 2),
    {},
    {"c": 1},
    set(),
    b"x",
    bytearray(b"x"),
    1j,
    object(),
    10**400,
    -(10**400),
    2**2000,
    "\ud800",
    "a\udfffb",
    Text("\udc00"),
    BrokenIndex(None),
]


@pytest.mark.parametrize("value", UNSUPPORTED, ids=repr)
def test_unsupported_values(value):
    idx = _index(["anchor", "x"])
    msg = "Unsupported metadata type for attribute 'c'"
    _raises(ValueError, msg, idx.insert, [5.0], [("c", value)])
    _raises(ValueError, msg, idx.create, [[5.0], [6.0]], [[("c", 1)], [("c", value)]])
    assert _ids(idx) == [0, 1]  # nothing was stored
    _raises(ValueError, "Unsupported type for metadata filter", idx.search, [0.0], 5, ("c", value))
    _raises(ValueError, "Unsupported type for metadata filter", _index().search, [0.0], 5, ("c", value))


def test_last_pair_wins_and_unknown_names_are_ignored():
    idx = _index(["anchor"])
    idx.insert([1.0], [("c", "red"), ("zz", None), ("c", "blue"), ("other", 10**400)])
    idx.insert([2.0], [("c", None), ("c", 3)])
    idx.create([[3.0]], [[("c", 4), ("c", "blue")]])
    assert _ids(idx, ("c", "blue")) == [0, 1, 3]
    assert _ids(idx, ("c", "red")) == _ids(idx, ("c", 4)) == [0]
    assert _ids(idx, ("c", 3)) == [0, 2]


def test_schema_order_and_attribute_names():
    idx = orbisk.PyHNSW(1, layers=1, metric="euclidean", schema=["color", "size", "caf\u00e9"])
    idx.insert([0.0], [("color", "x"), ("size", 0), ("caf\u00e9", 0)])
    idx.insert([1.0], [("caf\u00e9", 1.5), ("size", 42), ("color", "blue")])
    idx.create([[2.0]], [[("size", "blue"), ("color", 42), ("caf\u00e9", "x")]])
    assert _ids(idx, ("color", "blue")) == _ids(idx, ("size", 42)) == _ids(idx, ("caf\u00e9", 1.5)) == [0, 1]
    assert _ids(idx, ("size", "blue")) == _ids(idx, ("color", 42)) == [0, 2]
    for name in ("Color", "color ", "cafe", "caf\u00e9\x00", ""):
        _raises(ValueError, "Search error: AttributeNotFound", idx.search, [0.0], 3, (name, 42))


@pytest.mark.parametrize(
    "pairs,msg",
    [
        ([], "Missing metadata for attribute 'a'"),
        ([("b", None)], "Missing metadata for attribute 'a'"),
        ([("b", None), ("a", None)], "Unsupported metadata type for attribute 'a'"),
        ([("a", None)], "Unsupported metadata type for attribute 'a'"),
        ([("b", 1), ("a", 1)], "Missing metadata for attribute 'caf\u00e9'"),
        ([("a", 1), ("b", None), ("caf\u00e9", None)], "Unsupported metadata type for attribute 'b'"),
        ([("A", 1), ("b", 1), ("caf\u00e9", 1)], "Missing metadata for attribute 'a'"),
        ([("a", 1), ("b", 1), ("cafe\u0301", 1)], "Missing metadata for attribute 'caf\u00e9'"),
    ],
)
def test_first_failing_schema_name_is_reported(pairs, msg):
    idx = orbisk.PyHNSW(1, layers=1, metric="euclidean", schema=["a", "b", "caf\u00e9"])
    _raises(ValueError, msg, idx.insert, [0.0], pairs)
    _raises(ValueError, msg, idx.create, [[0.0], [1.0]], [[("a", 1), ("b", 1), ("caf\u00e9", 1)], pairs])
    assert idx.search([0.0]) == []


def test_pair_names_are_texts():
    idx = _index(["anchor"])
    pair = collections.namedtuple("pair", "name value")
    idx.insert([1.0], (pair("c", "n"),))
    assert _ids(idx, pair("c", "n")) == [0, 1]
    with pytest.raises(UnicodeEncodeError):
        idx.insert([2.0], [("\ud800", 1), ("c", 1)])
    idx.insert([2.0], [(Text("c"), "t")])
    assert _ids(idx, (Text("c"), "t")) == [0, 2]


def test_empty_schema():
    idx = _index(schema=[])
    assert idx.search([0.0], 3, ("c", 1)) == []
    idx.insert([0.0], [])
    idx.insert([1.0], [("c", None), ("d", 10**400)])
    idx.insert([2.0])
    idx.create([[3.0], [4.0]], [[], [("x", [])]])
    assert _ids(idx) == [0, 1, 2, 3, 4]
    _raises(ValueError, "Search error: EmptySchema", idx.search, [0.0], 3, ("c", 1))


def test_duplicate_schema_names():
    idx = orbisk.PyHNSW(1, layers=1, ef_search=100, metric="euclidean", schema=["a", "b", "a"])
    idx.create([[0.0], [1.0], [2.0]], [[("a", 0), ("b", 0)], [("a", 1), ("b", 2)], [("b", 1), ("a", 2)]])
    assert _ids(idx, ("a", 1)) == [0, 1]
    assert _ids(idx, ("a", 2)) == [0, 2]
    assert _ids(idx, ("b", 2)) == [0, 1]
    _raises(ValueError, "Missing metadata for attribute 'a'", idx.insert, [3.0], [("b", 1)])
    _raises(ValueError, "Unsupported metadata type for attribute 'a'", idx.insert, [3.0], [("a", None), ("b", 1)])


@pytest.mark.parametrize("first", [9, NO_RECORD])
def test_nodes_without_a_record_are_never_admitted(first):
    values = [first, NO_RECORD, 1, NO_RECORD, 2, 1, NO_RECORD]
    idx = _index(values)
    idx.create([[7.0], [8.0]])  # no metadata: no records either
    idx.create([[9.0]], [[("c", 2)]])
    assert _ids(idx) == list(range(10))
    assert _ids(idx, ("c", 1)) == [0, 2, 5]
    assert _ids(idx, ("c", 2)) == [0, 4, 9]
    assert _ids(idx, ("c", 9)) == _ids(idx, ("c", "anchor")) == [0]


def test_walk_does_not_step_on_rejected_nodes():
    # ef_construction 1 on points 0, 1, 2, ... inserted in order: the path 0-1-2-3-4-5.
    idx = _index(["start", "no", "yes", "yes", "no", "yes"], ef_construction=1)
    assert _ids(idx) == list(range(6))
    assert _ids(idx, ("c", "yes")) == [0]  # node 1 blocks every path
    assert _ids(idx, ("c", "no")) == [0, 1]
    idx = _index(["start", "yes", "yes", "no", "yes"], ef_construction=1)
    assert _ids(idx, ("c", "yes")) == [0, 1, 2]
    assert [d for d, _ in idx.search([10.0], 1, ("c", "yes"))] == [8.0]  # best reachable, not best stored


def test_node_zero_is_returned_although_rejected():
    idx = _index(["start", "a", "a"])
    assert idx.search([0.0], 0, ("c", "zz")) == [(0.0, [0.0])]
    assert idx.search([2.25], 1, ("c", "a")) == [(0.25, [2.0])]
    assert idx.search([-5.0], 1, ("c", "a")) == [(5.0, [0.0])]
    assert idx.search([-5.0], 3, ("c", "start")) == [(5.0, [0.0])]
