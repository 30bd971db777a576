"""Index results against the plain definitions."""

from __future__ import annotations

import os
import signal
import threading

import numpy as np
import pytest

import orbisk_companion
from orbisk_companion import Index, _progress

from plain import data, ranking, same

METRICS = ["euclidean", "cosine", "inner_product"]
KINDS = ["flat", "graph", "sharded"]


def queries(rows: np.ndarray) -> np.ndarray:
    extra = np.array(
        [[0.0, 0, 0, 0], [1, 1, 0, 0], [1, -1, 0, 0], [np.nan, 0, 0, 0], [1e200, 0, 0, 0], [-1e200, 0, 0, 0]]
    )
    return np.vstack([rows[:12], extra])


def made(kind: str, metric: str, rows: np.ndarray, **kw) -> Index:
    index = Index(rows.shape[1], metric, kind, allow_nonfinite=True, **kw)
    index.add(rows, keys=[f"k{i}" for i in range(len(rows))], metadata=[{"i": i} for i in range(len(rows))])
    return index


# A graph of fewer rows than its walk keeps (ef_search, 64) is walked whole:
# its answers are the exact ones, widened past ef when k is larger.
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("k", [1, 7, 60, 100])
def test_small_indexes_equal_the_plain_definition(kind, metric, k):
    rows = data()
    index = made(kind, metric, rows)
    Q = queries(rows)
    batch_keys, batch_scores = index.search_batch(Q, k)
    for qi, q in enumerate(Q):
        want = ranking(metric, rows, q, k)
        keys, scores, meta = index.search(q, k, return_metadata=True)
        assert list(keys) == [f"k{i}" for i, _ in want]
        assert all(same(s, w) for s, (_, w) in zip(scores.tolist(), want, strict=True)), (q, scores, want)
        assert meta == [{"i": i} for i, _ in want]
        assert list(batch_keys[qi]) == list(keys)
        assert all(same(a, b) for a, b in zip(batch_scores[qi].tolist(), scores.tolist(), strict=True))


@pytest.mark.parametrize("how", ["search", "search_batch", "search_radius"])
@pytest.mark.parametrize("kind", ["flat", "graph", "sharded"])
@pytest.mark.parametrize(
    "q, x, metric, want",
    [
        ([1.0, 0.0], [0.0, 1.0], "cosine", 0.0),  # orthogonal: +0.0, -q gives -0.0
        ([1.0, 1.0], [1.0, -1.0], "inner_product", 0.0),  # a sum that cancels: +0.0
        ([1e200, 0.0], [-1e-200, 1e200], "cosine", -0.0),  # -1 / inf: the true zero is -0.0
        ([-1e200, 0.0], [-1e-200, 1e200], "cosine", 0.0),  # 1 / inf
    ],
)
def test_zero_similarities_keep_the_sign_of_the_definition(how, kind, q, x, metric, want):
    if (kind, how) == ("graph", "search_radius"):
        pytest.skip("no radius search on a graph")
    index = Index(2, metric, kind)
    index.add(np.array([x]))
    if how == "search":
        scores = index.search(q, 1)[1]
    elif how == "search_batch":
        scores = index.search_batch([q], 1)[1][0]
    else:
        scores = index.search_radius(q, -1.0)[1]
    assert same(scores[0], want)
    assert same(ranking(metric, np.array([x]), np.array(q), 1)[0][1], want)


@pytest.mark.parametrize("kind", ["flat", "graph"])
def test_filter_values_compare_typed(kind):
    index = Index(1, "euclidean", kind)
    index.add(np.array([[0.0], [1.0], [2.0], [3.0]]), metadata=[{"n": 1.0}, {"n": 1}, {"n": 1.0}, {"n": True}])
    assert sorted(index.search([0.0], 4, filter={"n": 1})[0]) == [1, 3]  # True is the integer 1
    assert sorted(index.search([0.0], 4, filter={"n": 1.0})[0]) == [0, 2]
    assert list(index.search([0.0], 4, filter={"n": float("nan")})[0]) == []
    assert list(index.search([0.0], 4, filter={"n": "1"})[0]) == []


@pytest.mark.parametrize("kind", ["flat", "graph", "sharded"])
def test_batches_sizes_and_defaults(kind):
    index = Index(3, "euclidean", kind)
    keys, scores = index.search_batch(np.zeros((2, 3)), 4)
    assert keys.shape == scores.shape == (2, 0)
    index.add(np.arange(12.0).reshape(4, 3))
    index.add(np.arange(6.0).reshape(2, 3) + 0.5)
    assert len(index) == 6 and index.keys == list(range(6))
    keys, scores = index.search_batch(np.zeros((3, 3)), 10)
    assert keys.dtype == np.int64 and keys.shape == (3, 6)
    assert list(index.search([0.0, 1.0, 2.0], 0)[0]) == []


class _InterruptAt:
    """A progress bar that sends Ctrl-C to this process at its n-th update."""

    def __init__(self, at: int) -> None:
        self.at, self.calls = at, 0

    def __call__(self, total, desc, enabled):
        return self

    def update(self, n: int) -> None:
        self.calls += 1
        if self.calls == self.at:
            signal.raise_signal(signal.SIGINT)

    def close(self) -> None:
        pass


# A flat index adds its batch in one call (the engine answers Ctrl-C itself:
# see the real Ctrl-C test below); the bar's interruption comes after it. A
# graph links pieces of at least 256 rows, so 600 rows of a 512-wide graph
# take three.
@pytest.mark.parametrize("kind, chunk", [("flat", None), ("graph", 256), ("sharded", None)])
def test_ctrl_c_keeps_keys_in_step_with_rows(kind, chunk, monkeypatch):
    dim = 2**12 if kind == "graph" else 3
    rows = np.random.default_rng(1).normal(size=(3 * 4096 + 5 if kind == "flat" else 600 if chunk else 30, dim))
    index = Index(dim, "euclidean", kind)
    index.add(rows[:2], keys=["x", "y"])
    monkeypatch.setattr(_progress, "bar", _InterruptAt(1 if chunk is None else 2))
    with pytest.raises(KeyboardInterrupt):
        index.add(rows[2:], keys=list(range(len(rows) - 2)), progress=True)
    monkeypatch.undo()
    kept = len(rows) - 2 if chunk is None else 2 * chunk  # two chunks (shards: the one batch)
    assert len(index) == 2 + kept
    assert index.keys == ["x", "y"] + list(range(kept))
    assert len(index.native) == len(index)  # the engine holds exactly the rows the index counts
    for i in (0, 1, len(index) - 1):
        assert index.search(index.rows[i], 1)[0][0] == index.keys[i]
    index.add(rows[:1] + 100.0, keys=["after"])
    assert index.search(rows[0] + 100.0, 1)[0][0] == "after"


@pytest.mark.parametrize("kind", ["flat", "graph"])
def test_a_real_ctrl_c_during_adds_leaves_keys_in_step_with_the_extension(kind):
    # SIGINT from another thread lands wherever the main thread is: mostly
    # inside the extension's create or insert, or in the bookkeeping after it.
    index = Index(16, "euclidean", kind)
    batch = np.random.default_rng(2).normal(size=(4096 if kind == "flat" else 256, 16))
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            for i in range(100_000):
                index.add(batch + i, metadata=[{"at": i * len(batch) + j} for j in range(len(batch))])
    finally:
        timer.cancel()
    assert len(index.native) == len(index) > 0
    assert index.keys == list(range(len(index)))
    assert (
        index.rows.tobytes()
        == np.vstack([batch + i for i in range(len(index) // len(batch) + 1)])[: len(index)].tobytes()
    )
    last = len(index) - 1
    assert index.metadata(last) == {"at": last}
    index.add(batch[:1], keys=["after"], metadata=[{"at": "after"}])  # the metadata stays in step too
    assert index.metadata("after") == {"at": "after"}


def test_progress_counter_without_tqdm(monkeypatch, capsys):
    import builtins

    real = builtins.__import__

    def no_tqdm(name, *a, **kw):
        if name.startswith("tqdm"):
            raise ImportError(name)
        return real(name, *a, **kw)

    monkeypatch.setattr(builtins, "__import__", no_tqdm)
    index = Index(2)
    index.add(np.zeros((3, 2)), progress=True)
    index.search_batch(np.zeros((2, 2)), 1, progress=True)
    err = capsys.readouterr().err
    assert "add: 3/3 (100%)" in err and "search: 2/2 (100%)" in err


def test_package_layout_imports_one_way():
    import pathlib

    shard = pathlib.Path(orbisk_companion.__file__).parents[1] / "orbisk_shard"
    assert not [p.name for p in shard.glob("*.py") if "orbisk_companion" in p.read_text()]


def test_the_package_modules_import_each_other_without_a_cycle():
    """Imports inside functions and for type checking count too: a module
    that needs another lazily is still part of a circle."""
    import ast
    import graphlib
    import pathlib

    folder = pathlib.Path(orbisk_companion.__file__).parent
    names = {p.stem for p in folder.glob("*.py")} - {"__init__"}
    imports: dict[str, set[str]] = {}
    for name in names:
        found: set[str] = set()
        for node in ast.walk(ast.parse((folder / f"{name}.py").read_text())):
            if isinstance(node, ast.ImportFrom) and node.level == 1:
                found |= {node.module.split(".")[0]} if node.module else {a.name for a in node.names}
            elif isinstance(node, (ast.Import, ast.ImportFrom)):
                modules = [a.name for a in node.names] if isinstance(node, ast.Import) else [node.module or ""]
                found |= {m.split(".")[1] for m in modules if m.startswith("orbisk_companion.")}
        imports[name] = found & names
    assert imports["persistence"].isdisjoint({"index", "_engines"})
    graphlib.TopologicalSorter(imports).prepare()  # CycleError names a circle


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "inner_product"])
@pytest.mark.parametrize("kind", ["flat", "sharded"])
def test_batches_give_the_same_bits_on_any_number_of_threads(kind, metric):
    rows = data(6, dim=6)
    index = Index(6, metric, kind, allow_nonfinite=True, **({"shards": 3} if kind == "sharded" else {}))
    index.add(rows)
    queries = np.vstack([rows[:5], np.random.default_rng(3).normal(size=(30, 6))])
    keys, scores = index.search_batch(queries, 7, threads=1)
    for i, q in enumerate(queries):
        k1, s1 = index.search(q, 7)
        assert keys[i].tolist() == k1.tolist() and scores[i].tobytes() == s1.tobytes()
    for threads in (2, 3, 8, None):
        k2, s2 = index.search_batch(queries, 7, threads=threads)
        assert k2.tobytes() == keys.tobytes() and s2.tobytes() == scores.tobytes()


@pytest.mark.parametrize("threads, error", [(0, ValueError), (-1, ValueError), (1.5, TypeError), ("2", TypeError)])
def test_threads_must_be_a_positive_int(threads, error):
    index = Index(2)
    index.add(np.eye(2))
    with pytest.raises(error, match="threads"):
        index.search_batch(np.eye(2), 1, threads=threads)
