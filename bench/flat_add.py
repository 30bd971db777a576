"""Appends beside faiss's IndexFlatL2.add on the same float32 rows, in one
sitting: orbisk's core through bench/flat_add (built with -DORBISK_BENCH=ON)
on 1 and 2 threads, orbisk_engine.FlatIndex.add (float32 and float64
storage) and faiss on every core, each run in turn, best of REPEATS.
Also the bytes each holds per row, and a query over float32 rows beside one
over the same values kept as float64.

Usage: bench/.venv/bin/python bench/flat_add.py BUILD_DIR [--repeats R]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import faiss
import numpy as np

import orbisk_engine

sys.path.insert(0, str(Path(__file__).parent))
from bench import glove_path  # noqa: E402


def datasets():
    yield "gaussian 1,000,000 x 128", np.random.default_rng(7).standard_normal((1_000_000, 128), dtype=np.float32)
    yield "GloVe 400,000 x 50", np.ascontiguousarray(np.load(glove_path()), dtype=np.float32)


def faiss_add(rows):
    index = faiss.IndexFlatL2(rows.shape[1])
    start = time.perf_counter()
    index.add(rows)
    return time.perf_counter() - start


def engine_add(rows, storage):
    index = orbisk_engine.FlatIndex(rows.shape[1], storage=storage)
    start = time.perf_counter()
    index.add(rows)  # threads=None: every core the work pays for
    return time.perf_counter() - start


def orbisk_add(driver, path, dim, threads):
    out = subprocess.run([driver, path, str(dim), *map(str, threads)], check=True, capture_output=True, text=True)
    runs = {}
    for line in out.stdout.splitlines():
        fields = dict(f.split("=", 1) for f in line.split()[1:])
        if line.startswith("search"):
            runs["search"] = (float(fields["float32"]), float(fields["float64"]))
        else:
            runs[int(fields["threads"])] = (float(fields["seconds"]), float(fields["bytes_per_row"]), fields["tables"])
    return runs


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    driver = str(Path(args.build) / "flat_add")
    print(f"load: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores; faiss threads {faiss.omp_get_max_threads()}")
    for name, rows in datasets():
        n, dim = rows.shape
        with tempfile.NamedTemporaryFile(suffix=".f32") as f:
            rows.tofile(f.name)
            best = dict.fromkeys(["faiss", 1, 2, "float32", "float64"], float("inf"))
            for _ in range(args.repeats):
                best["faiss"] = min(best["faiss"], faiss_add(rows))
                for storage in ("float32", "float64"):
                    best[storage] = min(best[storage], engine_add(rows, storage))
                runs = orbisk_add(driver, f.name, dim, [1, 2])
                for t in (1, 2):
                    best[t] = min(best[t], runs[t][0])
                best["search"] = min(best.get("search", (1e300, 1e300)), runs["search"])
        _, per_row, tables = runs[1]
        print(f"\n{name} (orbisk kernels {tables})")
        print("| add | seconds | / faiss |")
        print("|---|---|---|")
        print(f"| faiss IndexFlatL2.add | {best['faiss']:.3f} | 1.00 |")
        for t in (1, 2):
            label = f"orbisk core float32, {t} thread{'s' if t > 1 else ''}"
            print(f"| {label} | {best[t]:.3f} | {best[t] / best['faiss']:.2f} |")
        for storage in ("float32", "float64"):
            label = f"orbisk_engine.FlatIndex.add, {storage} storage, every core"
            print(f"| {label} | {best[storage]:.3f} | {best[storage] / best['faiss']:.2f} |")
        print(f"bytes per row: orbisk {per_row:.1f}, faiss {4 * dim} ({per_row / (4 * dim):.2f}x)")
        f32, f64 = best["search"]
        print(f"one query, k = 10, one thread: float32 rows {f32 * 1e3:.3f} ms, float64 rows {f64 * 1e3:.3f} ms")


if __name__ == "__main__":
    main()
