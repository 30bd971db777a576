"""Side-by-side benchmark: orbisk against numpy, faiss and hnswlib.

Run as `PYTHONPATH=build bench/.venv/bin/python bench/bench.py` (or
`bench/run.sh`). Writes docs/bench.md and docs/bench.png.

Every system runs single-threaded. Each (system, data set, n) is measured in a
fresh worker process, so the resident-set growth around its build starts from
a clean heap. Times are medians of repeated runs after a warm-up; the ratios in
the report come from this one run.
"""

import os

for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

import datetime
import gc
import json
import math
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
K = 10
DIM = 128
SEED = 20240601
N_QUERIES = 200
SIZES = [2_500, 5_000, 10_000, 20_000, 40_000]
BIG = 100_000                      # flat indexes only
EFS = [10, 20, 40, 50, 80, 160, 320]
HNSW_M, HNSW_EFC = 16, 200         # for faiss HNSW and hnswlib
ORBISK_EF_EXTRA = 200              # second orbisk graph, built at SWEEP_N only
SWEEP_N = 10_000
MAX_ORBISK_BUILD_S = 400.0
FLAT = ["numpy", "pyflat", "faiss-flat"]
GRAPHS = ["orbisk-hnsw", "hnswlib", "faiss-hnsw"]
COLORS = {"numpy": "tab:gray", "pyflat": "tab:blue", "faiss-flat": "tab:orange",
          "orbisk-hnsw": "tab:green", f"orbisk-hnsw-ef{ORBISK_EF_EXTRA}": "tab:olive",
          "hnswlib": "tab:red", "faiss-hnsw": "tab:purple"}
LABELS = {
    "numpy": "numpy (float64)",
    "pyflat": "orbisk PyFlat",
    "faiss-flat": "faiss IndexFlatL2",
    "orbisk-hnsw": "orbisk PyHNSW (ef_search=50)",
    f"orbisk-hnsw-ef{ORBISK_EF_EXTRA}": f"orbisk PyHNSW (ef_search={ORBISK_EF_EXTRA})",
    "hnswlib": "hnswlib",
    "faiss-hnsw": "faiss IndexHNSWFlat",
}


def log(*args, end="\n"):
    print(*args, file=sys.stderr, flush=True, end=end)


# ---------------------------------------------------------------- measuring

def median_time(fn, reps=5, budget=5.0):
    """Median wall time of fn() after one warm-up call; fewer reps if slow."""
    fn()
    times = []
    while len(times) < reps and (len(times) < 1 or sum(times) < budget):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


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
    """Builds once for memory (peak and retained RSS growth), then repeats for time."""
    gc.collect()
    peak_ok = reset_peak_rss()
    before = rss_bytes()
    t = time.perf_counter()
    index = build()
    times = [time.perf_counter() - t]
    after = rss_bytes()
    peak = peak_rss_bytes() if peak_ok else None
    mem = {"retained_mib": (after - before) / 2**20,
           "peak_mib": None if peak is None else (max(peak, after) - before) / 2**20}
    while len(times) < reps and sum(times) < budget:
        del index
        gc.collect()
        t = time.perf_counter()
        index = build()
        times.append(time.perf_counter() - t)
    return index, statistics.median(times), len(times), mem


def time_queries(search, queries, reps=3, pass_budget=1.0):
    """Median over passes of the mean time per query, and the first pass's results.

    A pass covers all queries unless that would take longer than pass_budget,
    then the first m of them (at least 20)."""
    for q in queries[:5]:
        search(q)
    t = time.perf_counter()
    search(queries[0])
    one = time.perf_counter() - t
    m = int(min(len(queries), max(20, pass_budget / max(one, 1e-9))))
    per, first = [], None
    for _ in range(reps):
        out = []
        t = time.perf_counter()
        for q in queries[:m]:
            out.append(search(q))
        per.append((time.perf_counter() - t) / m)
        first = first or out
    return statistics.median(per), first


def recall(ids_per_query, X, Q, kth):
    """Recall@K counting ties: a returned id is a hit when its exact float64
    distance is no more than the K-th exact distance."""
    hits = 0
    for i, ids in enumerate(ids_per_query):
        ids = sorted({int(j) for j in ids if j is not None and j >= 0})
        if ids:
            d = np.sqrt(((X[ids] - Q[i]) ** 2).sum(1))
            hits += min(K, int((d <= kth[i] * (1 + 1e-9) + 1e-12).sum()))
    return hits / (K * len(ids_per_query))


# ---------------------------------------------------------------- data

def clustered(n, d, rng, clusters=64, spread=0.5):
    centres = rng.standard_normal((clusters, d))
    return centres[rng.integers(0, clusters, n)] + spread * rng.standard_normal((n, d))


def exact_kth(X, Q):
    """The K-th exact distance per query: numpy float64 brute force, with the
    candidates preselected through a matrix product."""
    d2 = (X * X).sum(1)[None, :] - 2.0 * (Q @ X.T)
    cand = np.argpartition(d2, 4 * K, axis=1)[:, :4 * K]
    kth = np.empty(len(Q))
    for i, c in enumerate(cand):
        d = np.sqrt(((X[c] - Q[i]) ** 2).sum(1))
        kth[i] = np.sort(d)[K - 1]
    return kth


def prepare(tmp):
    sets = {}
    rng = np.random.default_rng(SEED)
    pool = clustered(BIG + N_QUERIES, DIM, rng)
    d = tmp / "clustered"
    d.mkdir()
    np.save(d / "X.npy", pool[:BIG])
    np.save(d / "Q.npy", pool[BIG:])
    for n in SIZES + [BIG]:
        np.save(d / f"kth_{n}.npy", exact_kth(pool[:n], pool[BIG:]))
    sets["clustered"] = d

    from sklearn.datasets import load_digits  # bundled with the package
    digits = load_digits().data.astype(np.float64)
    digits = digits[np.random.default_rng(SEED).permutation(len(digits))]
    d = tmp / "digits"
    d.mkdir()
    n = len(digits) - N_QUERIES
    np.save(d / "X.npy", digits[:n])
    np.save(d / "Q.npy", digits[n:])
    np.save(d / f"kth_{n}.npy", exact_kth(digits[:n], digits[n:]))
    sets["digits"] = d
    return sets, n


# ---------------------------------------------------------------- one system

def worker(system, datadir, n):
    datadir = Path(datadir)
    X = np.ascontiguousarray(np.load(datadir / "X.npy")[:n])
    Q = np.load(datadir / "Q.npy")
    kth = np.load(datadir / f"kth_{n}.npy")
    dim = X.shape[1]
    Ql = Q.tolist()
    res = {"system": system, "n": n, "dim": dim, "data_mib": X.nbytes / 2**20}

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
            d = np.sqrt(((X - q) ** 2).sum(1))
            idx = np.argpartition(d, K - 1)[:K]
            return idx[np.argsort(d[idx])]
        build = None
    elif system == "pyflat":
        def build(data=X):
            index = orbisk.PyFlat(dim)
            index.create(data)
            return index
        ids_of = lambda r: [i for i, _ in r]  # noqa: E731
    elif system.startswith("orbisk-hnsw"):
        ef = int(system[len("orbisk-hnsw-ef"):]) if "-ef" in system else None
        def build(data=X):
            index = orbisk.PyHNSW(dim, metric="euclidean", ef_search=ef)
            index.create(data)
            return index
        where = {tuple(row): i for i, row in enumerate(X.tolist())}
        ids_of = lambda r: [where.get(tuple(v)) for _, v in r]  # noqa: E731
    elif system == "faiss-flat":
        def build(data=X):
            index = faiss.IndexFlatL2(dim)
            index.add(np.ascontiguousarray(data, dtype=np.float32))
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
    elif system.startswith("faiss"):
        qsearch = {"numpy": lambda q: index.search(q[None].astype(np.float32), K)[1][0]}
    elif system == "hnswlib":
        qsearch = {"numpy": lambda q: index.knn_query(q, k=K, num_threads=1)[0][0]}
    else:
        qsearch = {"numpy": lambda q: index.search(q, k=K),
                   "list": lambda q: index.search(q, k=K)}

    def measure():
        out = {}
        for form, fn in qsearch.items():
            t, found = time_queries(fn, Ql if form == "list" else Q)
            out[form] = t
            if "recall" not in out:
                out["recall"] = recall([ids_of(r) for r in found], X, Q, kth)
        return out

    if sweep is None:
        q = measure()
        res["recall"] = q.pop("recall")
        res["query_s"] = q
    else:
        res["sweep"] = []
        for ef in EFS:
            sweep(index, ef)
            q = measure()
            res["sweep"].append({"ef": ef, "query_s": q["numpy"], "recall": q["recall"]})
        at50 = next(s for s in res["sweep"] if s["ef"] == 50)
        res["recall"], res["query_s"] = at50["recall"], {"numpy": at50["query_s"]}

    if system == "numpy":
        res["batch_query_s"] = batched_query_s(X, Q)
    if system == "pyflat":
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
            q = Q[start:start + per_call]
            d2 = norms[None, :] - 2.0 * (q @ X.T) + (q * q).sum(1)[:, None]
            idx = np.argpartition(d2, K - 1, axis=1)[:, :K]
            np.take_along_axis(idx, np.argsort(np.take_along_axis(d2, idx, 1), 1), 1)
    return median_time(run) / len(Q)


def run_worker(system, datadir, n):
    log(f"  {system:>18} n={n} ...", end="")
    t = time.perf_counter()
    out = subprocess.run([sys.executable, __file__, "--worker", system, str(datadir), str(n)],
                         capture_output=True, text=True, env=os.environ.copy())
    if out.returncode != 0:
        log(" failed\n" + out.stderr)
        return {"system": system, "n": n, "error": out.stderr.strip().splitlines()[-1:]}
    res = json.loads(out.stdout.strip().splitlines()[-1])
    log(f" {time.perf_counter() - t:.1f} s")
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


def machine():
    model, cpus = "?", os.cpu_count()
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    import faiss
    import hnswlib  # noqa: F401
    from importlib.metadata import version
    rev = subprocess.run(["git", "-C", str(ROOT), "describe", "--always", "--dirty"],
                         capture_output=True, text=True).stdout.strip() or "?"
    return (f"- CPU: {model}, {cpus} cores; every system single-threaded\n"
            f"- date: {datetime.datetime.now().astimezone():%Y-%m-%d %H:%M %Z}\n"
            f"- Python {platform.python_version()}, numpy {np.__version__}, "
            f"faiss-cpu {faiss.__version__}, hnswlib {version('hnswlib')}, orbisk at {rev}\n")


def system_table(rows):
    out = ["| system | build | build reps | peak RSS growth (MiB) | retained RSS growth (MiB) "
           "| query, numpy array | query, list | recall@10 |",
           "|---|---|---|---|---|---|---|---|"]
    for r in rows:
        if "error" in r or "skipped" in r:
            out.append(f"| {LABELS[r['system']]} | {r.get('skipped') or 'failed: ' + ' '.join(r['error'])} "
                       "| | | | | | |")
            continue
        q = r["query_s"]
        out.append(f"| {LABELS[r['system']]} | {fmt_s(r.get('build_s'))} | {r.get('build_reps', '—')} "
                   f"| {fmt_mib(r.get('peak_mib'))} | {fmt_mib(r.get('retained_mib'))} "
                   f"| {fmt_s(q.get('numpy'))} | {fmt_s(q.get('list'))} | {r['recall']:.3f} |")
    return "\n".join(out)


def key_ratios(by, n):
    get = lambda s: by.get((s, n), {})  # noqa: E731
    flat, npy, ff = get("pyflat"), get("numpy"), get("faiss-flat")
    oh, hl, fh = get("orbisk-hnsw"), get("hnswlib"), get("faiss-hnsw")
    q = lambda r, f="numpy": r.get("query_s", {}).get(f)  # noqa: E731
    lines = [
        f"| PyFlat query / numpy brute force | {ratio(q(flat), q(npy))} (list queries: {ratio(q(flat, 'list'), q(npy))}) |",
        f"| PyFlat query / faiss IndexFlatL2 | {ratio(q(flat), q(ff))} |",
        f"| PyFlat build / faiss IndexFlatL2 build | {ratio(flat.get('build_s'), ff.get('build_s'))} |",
    ]
    if "build_s" in oh:
        lines += [
            f"| PyHNSW build / hnswlib build | {ratio(oh['build_s'], hl.get('build_s'))} |",
            f"| PyHNSW build / faiss HNSW build | {ratio(oh['build_s'], fh.get('build_s'))} |",
            f"| PyHNSW query / PyFlat query | {ratio(q(oh), q(flat))} (recall {oh['recall']:.3f} vs {flat['recall']:.3f}) |",
        ]
        for peer, name in ((hl, "hnswlib"), (fh, "faiss HNSW")):
            if "sweep" in peer:
                t, note = at_recall(peer["sweep"], oh["recall"])
                lines.append(f"| PyHNSW query / {name} query at equal recall ({oh['recall']:.3f}, within 0.001) "
                             f"| {ratio(q(oh), t)} ({name} {fmt_s(t)}, {note}) |")
        for peer, name in ((hl, "hnswlib"), (fh, "faiss HNSW")):
            lines.append(f"| PyHNSW peak build memory / {name} | {ratio(oh.get('peak_mib'), peer.get('peak_mib'))} |")
    return "| ratio (lower is better for orbisk) | value |\n|---|---|\n" + "\n".join(lines)


def graph_by_n_table(by):
    """PyHNSW against hnswlib and PyFlat at every n: how build time, query
    time and retained memory grow, as ratios from this run."""
    out = ["| n | PyHNSW build | hnswlib build | ratio | PyHNSW query | PyFlat query | ratio "
           "| PyHNSW retained MiB | vectors MiB | ratio |", "|---|---|---|---|---|---|---|---|---|---|"]
    for n in sorted({n for s, n in by if s == "orbisk-hnsw"}):
        oh, hl, fl = by.get(("orbisk-hnsw", n), {}), by.get(("hnswlib", n), {}), by.get(("pyflat", n), {})
        if "build_s" not in oh:
            out.append(f"| {n:,} | {oh.get('skipped', 'failed')} | | | | | | | | |")
            continue
        q = lambda r: r.get("query_s", {}).get("numpy")  # noqa: E731
        out.append(f"| {n:,} | {fmt_s(oh['build_s'])} | {fmt_s(hl.get('build_s'))} | {ratio(oh['build_s'], hl.get('build_s'))} "
                   f"| {fmt_s(q(oh))} | {fmt_s(q(fl))} | {ratio(q(oh), q(fl))} "
                   f"| {fmt_mib(oh.get('retained_mib'))} | {oh['data_mib']:.1f} | {ratio(oh.get('retained_mib'), oh['data_mib'])} |")
    return "\n".join(out)


def by_n_table(by):
    """Build and query time at every n measured, orbisk beside the peers."""
    systems = ["pyflat", "orbisk-hnsw", "numpy", "faiss-flat", "hnswlib", "faiss-hnsw"]

    def cell(system, n):
        r = by.get((system, n))
        if r is None:
            return "—"
        if "skipped" in r or "error" in r:
            return "skipped" if "skipped" in r else "failed"
        text = f"{fmt_s(r.get('build_s'))} / {fmt_s(r['query_s']['numpy'])}"
        if system == "numpy":
            text += f" (batched: {fmt_s(r.get('batch_query_s'))})"
        if system in ("orbisk-hnsw", "hnswlib", "faiss-hnsw"):
            text += f", recall {r['recall']:.3f}"
        return text

    names = {"hnswlib": "hnswlib (ef=50)", "faiss-hnsw": "faiss HNSW (ef=50)"}
    sizes = sorted({n for s, n in by if s in systems})
    out = ["Build / time per query (k = 10, d = 128, clustered data, one query per call, a "
           "numpy array). numpy builds nothing; \"batched\" is numpy answering 50 queries "
           "with one matrix product (|x|² − 2 q·x + |q|², not exact), per query. Graphs "
           "with default parameters (PyHNSW) or ef = 50 (peers); recall@10 as below.", "",
           "| n | " + " | ".join(names.get(s, LABELS[s]) for s in systems) + " |",
           "|---|" + "---|" * len(systems)]
    for n in sizes:
        out.append(f"| {n:,} | " + " | ".join(cell(s, n) for s in systems) + " |")
    return "\n".join(out)


def write_report(results, digits_n, skipped_note, wall):
    by = {(r["system"], r["n"]): r for r in results if r.get("set") == "clustered"}
    dig = [r for r in results if r.get("set") == "digits"]
    md = ["# Benchmark: orbisk against numpy, faiss and hnswlib", "",
          "Made by `bench/bench.py` in one run; ratios compare figures from that run.", "",
          machine(),
          "## How it is measured", "",
          f"- Data: clustered Gaussian vectors, d = {DIM} (64 centres from N(0, 1), points at "
          f"spread 0.5 around them), seed {SEED}; {N_QUERIES} held-out queries from the same "
          "distribution. Real data: the 8×8 digit images bundled with scikit-learn "
          f"(d = 64, n = {digits_n}, {N_QUERIES} held out as queries).",
          "- Build: `PyFlat.create` / `PyHNSW.create` (default parameters, metric "
          "\"euclidean\") from the 2-D float64 array; faiss from the same array converted to "
          "float32 (the conversion is timed); hnswlib `add_items` on the float64 array. "
          f"faiss HNSW and hnswlib use M = {HNSW_M}, efConstruction = {HNSW_EFC}. "
          "Median of up to 5 builds, fewer once 5 s of builds are spent (column \"build reps\").",
          "- Memory: each system runs in a fresh process; the peak resident-set growth is "
          "VmHWM (reset through /proc/self/clear_refs just before) minus the resident set "
          "just before the first build; the retained growth is the resident set after that "
          "build minus the one before. Both include the transient copies a build makes. "
          "numpy brute force searches the data array in place and builds nothing.",
          "- Query: k = 10, one query per call, the query a 1-D float64 numpy array "
          "(faiss: converted to a 1×d float32 array inside the timed call) and, for orbisk, "
          "also a Python list. Five warm-up queries, then the median over 3 passes of the "
          "mean time per query; a pass covers all queries, or the first m (at least 20) "
          "where all would take over a second.",
          "- Recall@10 against numpy float64 brute force, counting ties: a returned point is "
          "a hit when its exact distance is no more than the exact 10th distance. PyHNSW "
          "returns vectors, mapped back to ids through a dict of the data rows.",
          "- hnswlib and faiss HNSW are swept over ef = " + ", ".join(map(str, EFS)) +
          "; the size tables show them at ef = 50, orbisk PyHNSW's default ef_search. "
          "\"At equal recall\" takes the fastest swept ef whose recall is at least PyHNSW's "
          "less 0.001 (2 of the 2,000 neighbours). "
          "PyHNSW's ef_search is fixed when it is built, so it is shown at 50, and with a "
          f"second graph at ef_search = {ORBISK_EF_EXTRA} for n = {SWEEP_N:,}.",
          skipped_note, "",
          f"Total run time: {wall / 60:.1f} min.", "",
          f"## Key ratios at n = {SWEEP_N:,}", "", key_ratios(by, SWEEP_N), "",
          "## Build and query time by n", "", by_n_table(by), "",
          "## PyHNSW as n grows", "", graph_by_n_table(by), ""]

    ref = by.get(("pyflat", BIG))
    if ref and "error" not in ref:
        md += [f"## Loading at n = {BIG:,} (d = {DIM}, {ref['data_mib']:.0f} MiB of float64)", "",
               "| operation | time | ratio |", "|---|---|---|",
               f"| numpy `X.sum()` (one streaming pass) | {fmt_s(ref['sum_s'])} | |",
               f"| numpy `X.copy()` | {fmt_s(ref['copy_s'])} | |",
               f"| `PyFlat.create(X)`, 2-D float64 array | {fmt_s(ref['build_s'])} "
               f"| {ratio(ref['build_s'], ref['copy_s'])} of `X.copy()` |",
               f"| `numpy.array(rows)`, list of lists | {fmt_s(ref['array_rows_s'])} | |",
               f"| `PyFlat.create(rows)`, list of lists | {fmt_s(ref['create_rows_s'])} "
               f"| {ratio(ref['create_rows_s'], ref['array_rows_s'])} of `numpy.array(rows)` |", ""]

    for n in SIZES + [BIG]:
        rows = [by[(s, n)] for s in FLAT + GRAPHS + [f"orbisk-hnsw-ef{ORBISK_EF_EXTRA}"] if (s, n) in by]
        md += [f"## Clustered, n = {n:,} (data {rows[0].get('data_mib', 0):.1f} MiB)", "", system_table(rows), ""]
        if n != SWEEP_N:
            md += [key_ratios(by, n), ""]

    md += [f"## ef sweep at n = {SWEEP_N:,}", "", "| ef | hnswlib query | hnswlib recall | "
           "faiss HNSW query | faiss HNSW recall |", "|---|---|---|---|---|"]
    hl, fh = by.get(("hnswlib", SWEEP_N), {}), by.get(("faiss-hnsw", SWEEP_N), {})
    for a, b in zip(hl.get("sweep", []), fh.get("sweep", [])):
        md.append(f"| {a['ef']} | {fmt_s(a['query_s'])} | {a['recall']:.3f} | {fmt_s(b['query_s'])} | {b['recall']:.3f} |")
    md += ["", f"## Digits (scikit-learn), n = {digits_n}, d = 64", "", system_table(dig), "",
           "![build time, query time and recall](bench.png)", ""]
    (DOCS / "bench.md").write_text("\n".join(md))
    plot(by)


def plot(by):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 3, figsize=(17, 5.2))
    ax = axes[0]
    for s in ["pyflat", "faiss-flat", "orbisk-hnsw", "hnswlib", "faiss-hnsw"]:
        pts = [(n, by[(s, n)]["build_s"]) for n in SIZES + [BIG] if "build_s" in by.get((s, n), {})]
        if pts:
            ax.plot(*zip(*pts), "o-", color=COLORS[s], label=LABELS[s])
    ax.set(xscale="log", yscale="log", xlabel="n", ylabel="build time (s)", title="Build time")
    ax.legend(fontsize=8)

    ax = axes[1]
    lines = [("numpy", "numpy", LABELS["numpy"]), ("pyflat", "numpy", "orbisk PyFlat, array query"),
             ("pyflat", "list", "orbisk PyFlat, list query"), ("faiss-flat", "numpy", LABELS["faiss-flat"]),
             ("orbisk-hnsw", "numpy", "orbisk PyHNSW, array query"),
             ("orbisk-hnsw", "list", "orbisk PyHNSW, list query"),
             ("hnswlib", "numpy", "hnswlib (ef=50)"), ("faiss-hnsw", "numpy", "faiss HNSW (ef=50)")]
    for s, form, label in lines:
        pts = [(n, by[(s, n)]["query_s"][form]) for n in SIZES + [BIG]
               if form in by.get((s, n), {}).get("query_s", {})]
        if pts:
            ax.plot(*zip(*pts), "o:" if form == "list" else "o-", color=COLORS[s], label=label)
    ax.set(xscale="log", yscale="log", xlabel="n", ylabel="time per query (s), k=10",
           title="Query time (one query per call)")
    ax.legend(fontsize=8)

    ax = axes[2]
    for s in ["hnswlib", "faiss-hnsw"]:
        sw = by.get((s, SWEEP_N), {}).get("sweep")
        if sw:
            ax.plot([p["query_s"] for p in sw], [p["recall"] for p in sw], "o-", color=COLORS[s],
                    label=f"{LABELS[s]}, ef sweep")
            for p in sw if s == "hnswlib" else []:
                ax.annotate(f"ef={p['ef']}", (p["query_s"], p["recall"]), fontsize=7, rotation=60,
                            textcoords="offset points", xytext=(-4, -22))
    for s, m in [("orbisk-hnsw", "*"), (f"orbisk-hnsw-ef{ORBISK_EF_EXTRA}", "*"),
                 ("pyflat", "s"), ("faiss-flat", "s"), ("numpy", "s")]:
        r = by.get((s, SWEEP_N), {})
        if "query_s" in r:
            ax.plot(r["query_s"]["numpy"], r["recall"], m, color=COLORS[s],
                    markersize=13 if m == "*" else 7, label=LABELS[s])
    ax.set(xscale="log", xlabel="time per query (s)", ylabel="recall@10",
           title=f"Recall vs query time, n = {SWEEP_N:,}")
    ax.legend(fontsize=8, loc="lower right")
    fig.tight_layout()
    fig.savefig(DOCS / "bench.png", dpi=110)


# ---------------------------------------------------------------- main

def main():
    start = time.perf_counter()
    tmp = Path(tempfile.mkdtemp(prefix="orbisk-bench-"))
    try:
        log("preparing data")
        sets, digits_n = prepare(tmp)
        results, orbisk_builds, skipped = [], [], []
        for n in SIZES:
            log(f"clustered n={n}")
            for s in FLAT + GRAPHS:
                if s == "orbisk-hnsw" and orbisk_builds:
                    # with one build so far, assume quadratic growth
                    n0, t0 = orbisk_builds[0]
                    (n1, t1), (n2, t2) = ([(n0 / 2, t0 / 4)] + orbisk_builds)[-2:]
                    expo = math.log(t2 / t1) / math.log(n2 / n1)
                    projected = t2 * (n / n2) ** expo
                    if projected > MAX_ORBISK_BUILD_S:
                        msg = f"skipped: build projected at {projected:.0f} s (n^{expo:.2f})"
                        skipped.append(f"orbisk PyHNSW at n = {n:,} {msg}")
                        results.append({"system": s, "n": n, "set": "clustered", "skipped": msg})
                        continue
                r = run_worker(s, sets["clustered"], n)
                r["set"] = "clustered"
                results.append(r)
                if s == "orbisk-hnsw" and "build_s" in r:
                    orbisk_builds.append((n, r["build_s"]))
            if n == SWEEP_N:
                r = run_worker(f"orbisk-hnsw-ef{ORBISK_EF_EXTRA}", sets["clustered"], n)
                r["set"] = "clustered"
                results.append(r)
        log(f"clustered n={BIG}")
        for s in FLAT:
            r = run_worker(s, sets["clustered"], BIG)
            r["set"] = "clustered"
            results.append(r)
        log("digits")
        for s in FLAT + GRAPHS:
            r = run_worker(s, sets["digits"], digits_n)
            r["set"] = "digits"
            results.append(r)
        (tmp / "results.json").write_text(json.dumps(results))
        note = ("- Skipped: " + "; ".join(skipped) + ".") if skipped else \
               f"- orbisk PyHNSW was built at every n up to {SIZES[-1]:,}."
        write_report(results, digits_n, note, time.perf_counter() - start)
        log(f"wrote {DOCS / 'bench.md'} and {DOCS / 'bench.png'} in {(time.perf_counter() - start) / 60:.1f} min")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--worker":
        print(json.dumps(worker(sys.argv[2], sys.argv[3], int(sys.argv[4]))))
    else:
        main()
