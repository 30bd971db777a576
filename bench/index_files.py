"""A saved flat index opened three ways: mapped (`Index.load(path, mmap=True)`),
read (`Index.load(path)`: every checksum and every code checked), and, for
scale, the plain read of the file's bytes; then the first query on each
beside a query on the index in memory, and the filtered search's speed.

    .venv/bin/python bench/index_files.py [--rows 1000000] [--dim 128] [--dir DIR]

(`make build` first; the companion is taken from companion/ in this
checkout.) The file was just written, so reads come from the page cache; the
first query after a mapped open reads the pages of codes it screens (and the
rows it computes) through page faults. Prints a Markdown report.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import time
from functools import partial

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "companion"))
from orbisk_companion import Index  # noqa: E402


def timed(f):
    start = time.perf_counter()
    out = f()
    return time.perf_counter() - start, out


def query_time(index: Index, queries: np.ndarray, **kw) -> float:
    """Median seconds of one query per call."""
    times = []
    for q in queries:
        t, _ = timed(partial(index.search, q, 10, **kw))
        times.append(t)
    return float(np.median(times))


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--dir", default=None)
    a = p.parse_args()
    rng = np.random.default_rng(0)
    centers = rng.standard_normal((1000, a.dim)) * 4
    rows = (centers[rng.integers(0, 1000, a.rows)] + rng.standard_normal((a.rows, a.dim))).astype(np.float32)
    queries = centers[rng.integers(0, 1000, 50)] + rng.standard_normal((50, a.dim))
    folder = a.dir or tempfile.mkdtemp()
    path = os.path.join(folder, "bench.idx")
    try:
        index = Index(a.dim)
        t_add, _ = timed(lambda: index.add(rows))
        t_save, _ = timed(lambda: index.save(path))
        size = os.path.getsize(path)
        in_memory = query_time(index, queries)

        def raw_read() -> None:
            with open(path, "rb", buffering=0) as f:
                buf = bytearray(1 << 24)
                while f.readinto(buf):
                    pass

        t_raw, _ = timed(raw_read)
        t_new, held = timed(lambda: np.fromfile(path, dtype=np.uint8))  # the bytes into new memory
        del held
        t_load, loaded = timed(lambda: Index.load(path))
        first_loaded, _ = timed(partial(loaded.search, queries[0], 10))
        del loaded
        t_map, mapped = timed(lambda: Index.load(path, mmap=True))
        first_mapped, _ = timed(partial(mapped.search, queries[1], 10))
        warm_mapped = query_time(mapped, queries[2:])

        n = a.rows
        mask = np.zeros(n, dtype=bool)
        mask[rng.choice(n, n // 100, replace=False)] = True
        filtered = query_time(index, queries, filter=mask)
        field = Index(a.dim)
        print(f"## A saved flat index: {a.rows:,} x {a.dim}, {size / 2**30:.2f} GiB\n")
        print("| step | seconds |")
        print("|---|---|")
        print(f"| add (float32 rows) | {t_add:.2f} |")
        print(f"| save | {t_save:.2f} |")
        print(f"| read the file's bytes into a reused 16 MiB buffer (page cache) | {t_raw:.3f} |")
        print(f"| read the file into new memory (`numpy.fromfile`) | {t_new:.3f} |")
        print(f"| `Index.load(path)` (checksums, codes checked) | {t_load:.3f} |")
        print(f"| `Index.load(path, mmap=True)` | {t_map:.3f} |")
        print()
        print("| query (k = 10) | microseconds |")
        print("|---|---|")
        print(f"| in memory, median | {in_memory * 1e6:.0f} |")
        print(f"| first after a full load | {first_loaded * 1e6:.0f} |")
        print(f"| first after a mapped open | {first_mapped * 1e6:.0f} |")
        print(f"| mapped, later queries, median | {warm_mapped * 1e6:.0f} |")
        print(
            f"| in memory, a mask admitting 1% of the rows, median | {filtered * 1e6:.0f} "
            f"({in_memory / filtered:.1f}x faster) |"
        )
        del field
    finally:
        if a.dir is None:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
