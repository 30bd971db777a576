"""Module surface and PanicException."""

import copy
import importlib
import inspect
import os
import pickle
import sys
import weakref

import pytest

import orbisk

HNSW_SIG = "(dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None)"
CLASSES = [("PyFlat", "(dim, metric=None)", "Our Python-facing Flat index."), ("PyHNSW", HNSW_SIG, "")]
METHODS = [
    (
        "PyFlat",
        "insert",
        "($self, vector)",
        "Insert a vector into the index.\n\n"
        "The vector is expected as a list of floats whose length equals the index dimension.",
    ),
    (
        "PyFlat",
        "search",
        "($self, query, k=None)",
        "Search for the k nearest neighbors.\n\nReturns a list of tuples `(id, distance)`.",
    ),
    ("PyFlat", "create", "($self, vectors)", "Create an index from a list of vectors."),
    (
        "PyHNSW",
        "insert",
        "($self, vector, metadata=None)",
        "Insert a vector into the index.\n\nThe vector is expected as a list of floats.\n"
        'Optionally, metadata can be provided as a list of tuples, e.g.:\n`[("color", "blue"), ("size", 42)]`',
    ),
    (
        "PyHNSW",
        "search",
        "($self, query, k=None, filter=None)",
        "Search for the k nearest neighbors.\n\nReturns a list of tuples `(distance, vector)`.",
    ),
    ("PyHNSW", "create", "($self, vectors, metadata=None)", None),
]


def _instances():
    return [orbisk.PyFlat(2), orbisk.PyHNSW(2, metric="euclidean")]


def _panic():
    try:
        orbisk.PyFlat(2).create([[1.0, 2.0], [3.0]])
    except BaseException as e:  # noqa: B036 - PanicException is a BaseException
        return e
    pytest.fail("create with a wrong-length vector did not raise")


def test_module_attributes():
    assert type(orbisk.__all__) is list and orbisk.__all__ == ["PyFlat", "PyHNSW"]
    assert orbisk.__doc__ == "" and orbisk.__name__ == "orbisk"
    assert [n for n in vars(orbisk) if not n.startswith("__")] == ["PyFlat", "PyHNSW"]


@pytest.mark.parametrize("name,sig,doc", CLASSES)
def test_class_objects(name, sig, doc):
    cls = getattr(orbisk, name)
    assert type(cls) is type and cls.__bases__ == (object,)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "builtins")
    assert cls.__doc__ == doc and cls.__text_signature__ == sig
    assert str(inspect.signature(cls)) == sig
    assert cls.__init__ is object.__init__
    for slot in ("__repr__", "__eq__", "__hash__", "__reduce_ex__", "__setattr__"):
        assert getattr(cls, slot) is getattr(object, slot), slot
    assert not hasattr(cls, "__len__")
    assert "__dict__" not in vars(cls) and "__weakref__" not in vars(cls)
    assert [n for n in vars(cls) if not n.startswith("__")] == ["insert", "search", "create"]


@pytest.mark.parametrize("cls,meth,sig,doc", METHODS, ids=[f"{c}.{m}" for c, m, *_ in METHODS])
def test_method_docs(cls, meth, sig, doc):
    f = getattr(getattr(orbisk, cls), meth)
    assert type(f).__name__ == "method_descriptor"
    assert f.__text_signature__ == sig
    assert f.__doc__ == doc
    assert f.__qualname__ == f"{cls}.{meth}"


@pytest.mark.parametrize("name", ["PyFlat", "PyHNSW"])
def test_no_subclassing(name):
    with pytest.raises(TypeError):
        type("Sub", (getattr(orbisk, name),), {})


@pytest.mark.parametrize("name", ["PyFlat", "PyHNSW"])
def test_classes_cannot_be_changed(name):
    # A replaced __new__ would make instances whose index was never built.
    cls = getattr(orbisk, name)
    changes = [
        lambda: setattr(cls, "__new__", staticmethod(lambda c, *a, **k: object.__new__(c))),
        lambda: setattr(cls, "search", cls.__dict__["insert"]),
        lambda: setattr(cls, "tag", 1),
        lambda: delattr(cls, "create"),
    ]
    for change in changes:
        with pytest.raises(TypeError, match="immutable type"):
            change()
    assert not hasattr(cls, "tag") and "create" in cls.__dict__


@pytest.mark.parametrize("obj", _instances(), ids=["PyFlat", "PyHNSW"])
def test_instances_have_no_dict_and_no_weakrefs(obj):
    with pytest.raises(AttributeError):
        obj.tag = 1
    with pytest.raises(AttributeError):
        _ = obj.__dict__
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not hasattr(obj, "dim") and not hasattr(obj, "metric")
    for refused in (lambda: pickle.dumps(obj), lambda: copy.copy(obj), lambda: object.__new__(type(obj))):
        with pytest.raises(TypeError):  # no pickling, and no instance without its index
            refused()


def test_reimport_returns_cached_module():
    first = sys.modules.pop("orbisk")
    try:
        again = importlib.import_module("orbisk")
        assert again is first
        assert again.__all__ == ["PyFlat", "PyHNSW"]
        assert again.PyFlat is first.PyFlat and again.PyHNSW is first.PyHNSW
    finally:
        sys.modules["orbisk"] = first
    assert importlib.reload(orbisk) is first and orbisk.__all__ == ["PyFlat", "PyHNSW"]


def test_init_function_returns_cached_module():
    ctypes = pytest.importorskip("ctypes")
    init = ctypes.PyDLL(orbisk.__file__).PyInit_orbisk  # the same loaded object, called again
    init.restype, init.argtypes = ctypes.py_object, []
    assert init() is orbisk and init() is orbisk
    assert orbisk.__all__ == ["PyFlat", "PyHNSW"]


def test_subinterpreter_import_fails(tmp_path):
    testcapi = pytest.importorskip("_testcapi", reason="_testcapi is not available")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("_testcapi.run_in_subinterp is not available")
    out = tmp_path / "outcome.txt"
    code = f"""if 1:
        import sys
        sys.path.insert(0, {os.path.dirname(orbisk.__file__)!r})
        results = []
        for _ in range(2):
            try:
                import orbisk
                results.append("imported")
            except ImportError as e:
                results.append("ImportError:" + str(e))
            except BaseException as e:
                results.append(type(e).__name__ + ":" + str(e))
        open({str(out)!r}, "w").write("\\n".join(results))
    """
    assert testcapi.run_in_subinterp(code) == 0
    outcomes = out.read_text().split("\n")
    assert len(outcomes) == 2
    for line in outcomes:
        assert line.startswith("ImportError:") and "sub-interpreter" in line, line
    # The main interpreter's module is unaffected.
    assert sys.modules["orbisk"] is orbisk and orbisk.__all__ == ["PyFlat", "PyHNSW"]
    idx = orbisk.PyFlat(1)
    idx.insert([2.0])
    assert idx.search([0.0]) == [(0, 2.0)]


def test_panic_exception_class():
    e = _panic()
    cls = type(e)
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert f"{cls.__module__}.{cls.__qualname__}" == "orbisk.PanicException"
    assert e.args == ("Vector length 1 does not match index dimension 2",)
    assert str(e) == "Vector length 1 does not match index dimension 2"
    assert type(_panic()) is cls  # created once
    assert "PanicException" not in orbisk.__all__


def test_panic_escapes_except_exception():
    caught = []
    with pytest.raises(BaseException) as info:
        try:
            orbisk.PyFlat(3).create([[0.0, 0.0, 0.0], [1.0]])
        except Exception as e:
            caught.append(e)
    assert caught == []
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "Vector length 1 does not match index dimension 3"
