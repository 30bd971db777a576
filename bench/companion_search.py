"""One query at a time through the companion's `Index.search`, flat, on
10,000 x 128 rows: the path whose overhead beside the engine matters most.

    .venv/bin/python bench/companion_search.py [COMPANION_DIR ...] [--rounds 7] [--queries 400]

Each companion folder (default: companion/ of this checkout; give two to
compare a change with what it replaces) is imported in its own worker
process with build/ on its path, and the workers take turns round after
round, so that a change of machine load hits each alike. Prints the median
microseconds per query for each metric and folder, and checks that every
folder returns the same keys and score bits.
"""

from __future__ import annotations

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

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
METRICS = ("euclidean", "cosine", "inner_product")


def worker(companion: str, data: str, rounds: int) -> None:
    sys.path[:0] = [companion, os.path.join(ROOT, "build")]
    from orbisk_companion import Index

    with open(data, "rb") as f:
        rows, queries = pickle.load(f)
    indexes = {}
    for metric in METRICS:
        indexes[metric] = Index(rows.shape[1], metric)
        indexes[metric].add(rows)
    for _ in range(rounds):
        line = sys.stdin.readline()
        if not line:
            return
        out = {}
        for metric, index in indexes.items():
            found = []
            start = time.perf_counter()
            for q in queries:
                found.append(index.search(q, 10))
            per_query = (time.perf_counter() - start) / len(queries)
            digest = [(k.tolist(), s.tobytes().hex()) for k, s in found[:20]]
            out[metric] = (per_query, digest)
        print(json.dumps(out), flush=True)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("companions", nargs="*", default=[os.path.join(ROOT, "companion")])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--queries", type=int, default=400)
    parser.add_argument("--rows", type=int, default=10_000)
    parser.add_argument("--worker", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker[0], args.worker[1], args.rounds)
        return
    rng = np.random.default_rng(20240601)
    rows = rng.normal(size=(args.rows, 128))
    queries = rng.normal(size=(args.queries, 128))
    with tempfile.NamedTemporaryFile(suffix=".pickle", delete=False) as f:
        pickle.dump((rows, queries), f)
    try:
        workers = [
            subprocess.Popen(
                [sys.executable, __file__, "--rounds", str(args.rounds), "--worker", c, f.name],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                text=True,
            )
            for c in args.companions
        ]
        times: list[dict[str, list[float]]] = [{m: [] for m in METRICS} for _ in workers]
        digests: list[dict[str, object]] = [{} for _ in workers]
        for _ in range(args.rounds):
            for w, t, d in zip(workers, times, digests, strict=True):
                assert w.stdin is not None and w.stdout is not None
                w.stdin.write("go\n")
                w.stdin.flush()
                for metric, (per_query, digest) in json.loads(w.stdout.readline()).items():
                    t[metric].append(per_query)
                    d[metric] = digest
        for w in workers:
            assert w.stdin is not None
            w.stdin.close()
            w.wait()
    finally:
        os.unlink(f.name)
    if any(d != digests[0] for d in digests):
        raise SystemExit("the folders return different results")
    print(f"Index.search, flat, {args.rows} x 128, k = 10: median microseconds per query over {args.rounds} rounds")
    for metric in METRICS:
        cells = [f"{1e6 * statistics.median(t[metric]):8.1f}" for t in times]
        ratio = f"  ratio {statistics.median(times[-1][metric]) / statistics.median(times[0][metric]):.3f}"
        print(f"{metric:>14}: " + " ".join(cells) + (ratio if len(times) > 1 else ""))


if __name__ == "__main__":
    main()
