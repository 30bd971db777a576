"""Two builds of orbisk side by side on the same data, in one run.

    .venv/bin/python bench/ab.py BUILD_A BUILD_B [--n 10000] [--graph-n 5000]

Each build is imported in its own worker process (PYTHONPATH=BUILD), and
the workers take turns, so that a change of machine load hits both. Data:
clustered (the benchmark's own), looser clusters and pure Gaussian, d = 128.
Prints each build's median time per task and the ratio B / A; both builds
must also return identical results, which is checked.
"""

import argparse
import json
import os
import pickle
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

TASKS = ("flat_euclidean", "flat_cosine", "flat_dot", "graph_build", "graph_search")


def data(kind, n, d, rng):
    if kind == "gaussian":
        return rng.normal(size=(n, d))
    scale, spread = (10.0, 0.5) if kind == "clustered" else (3.0, 1.0)
    centres = rng.normal(size=(64, d)) * scale
    return centres[rng.integers(0, 64, n)] + rng.normal(size=(n, d)) * spread


def worker(path, n, graph_n, reps):
    import orbisk

    with open(path, "rb") as f:
        sets = pickle.load(f)
    out = {}
    for kind, (X, Q) in sets.items():
        rows, queries = X.tolist(), Q.tolist()
        for metric in ("euclidean", "cosine", "inner_product"):
            flat = orbisk.PyFlat(X.shape[1], metric)
            flat.create(X[:n])
            t = []
            for _ in range(reps):
                start = time.perf_counter()
                res = [flat.search(q, 10) for q in queries]
                t.append((time.perf_counter() - start) / len(queries))
            name = {"euclidean": "flat_euclidean", "cosine": "flat_cosine", "inner_product": "flat_dot"}[metric]
            out[(kind, name)] = (statistics.median(t), res)
        graph = orbisk.PyHNSW(X.shape[1], metric="euclidean")
        start = time.perf_counter()
        graph.create(rows[:graph_n])
        out[(kind, "graph_build")] = (time.perf_counter() - start, None)
        t = []
        for _ in range(reps):
            start = time.perf_counter()
            res = [graph.search(q, 10) for q in queries]
            t.append((time.perf_counter() - start) / len(queries))
        out[(kind, "graph_search")] = (statistics.median(t), [[d for d, _ in r] for r in res])
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("builds", nargs=2)
    ap.add_argument("--n", type=int, default=10_000)
    ap.add_argument("--graph-n", type=int, default=5_000)
    ap.add_argument("--queries", type=int, default=100)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--worker", nargs=4)
    args = ap.parse_args()
    if args.worker:
        path, n, graph_n, reps = args.worker
        result = worker(path, int(n), int(graph_n), int(reps))
        sys.stdout.buffer.write(pickle.dumps(result))
        return
    rng = np.random.default_rng(7)
    d = 128
    sets = {}
    for kind in ("clustered", "loose", "gaussian"):
        X = data(kind, max(args.n, args.graph_n), d, rng)
        Q = (
            data(kind, args.queries, d, rng)
            if kind == "gaussian"
            else X[rng.integers(0, len(X), args.queries)] + rng.normal(size=(args.queries, d)) * 0.1
        )
        sets[kind] = (X, Q)
    with tempfile.NamedTemporaryFile(suffix=".pkl", delete=False) as f:
        pickle.dump(sets, f)
        path = f.name
    times = {0: {}, 1: {}}
    results = {}
    for _ in range(args.rounds):
        for i, build in enumerate(args.builds):
            env = dict(os.environ, PYTHONPATH=os.path.abspath(build), OMP_NUM_THREADS="1")
            raw = subprocess.run(
                [
                    sys.executable,
                    __file__,
                    *args.builds,
                    "--worker",
                    path,
                    str(args.n),
                    str(args.graph_n),
                    str(args.reps),
                ],
                env=env,
                check=True,
                capture_output=True,
            ).stdout
            for key, (t, res) in pickle.loads(raw).items():
                times[i].setdefault(key, []).append(t)
                if res is not None:
                    if key in results and key[1] != "graph_search" and results[key] != res:
                        raise SystemExit(f"results differ: {key}")
                    results[key] = res
    os.unlink(path)
    print(f"n = {args.n} (flat), {args.graph_n} (graph), d = {d}, k = 10; B / A of the best of {args.rounds} rounds")
    print(f"{'data':10} {'task':15} {'A':>12} {'B':>12} {'B/A':>6}")
    for key in sorted(times[0]):
        a, b = min(times[0][key]), min(times[1][key])
        unit = "s" if key[1] == "graph_build" else "us"
        scale = 1 if unit == "s" else 1e6
        print(f"{key[0]:10} {key[1]:15} {a * scale:10.1f}{unit:>2} {b * scale:10.1f}{unit:>2} {b / a:6.2f}")
    print(json.dumps({f"{k[0]}/{k[1]}": min(times[1][k]) / min(times[0][k]) for k in times[0]}))


if __name__ == "__main__":
    main()
