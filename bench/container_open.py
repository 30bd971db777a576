"""How long an index file of format version 2 takes to open: mapped, and
read into memory with and without checksums, beside what the checksum costs
alone and what a plain read of the bytes costs.

    .venv/bin/python bench/container_open.py [--rows 1000000] [--dim 128] [--codes-mib 128] [--rounds 3] [--dir DIR]

(`make build` first: it installs orbisk into .venv; the companion is taken
from companion/ in this checkout.) The file holds a float64 array of rows x
dim and a uint8 array of codes (128 MiB by default), about 1.1 GiB at the
defaults, written into DIR (default: a temporary folder, removed after). The
file was just written, so the reads are from the page cache: a file on a
cold disk reads at the disk's speed, and only the mapped open stays as fast.
The figures are medians over rounds. Prints a Markdown report.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time
import zlib
from collections.abc import Callable
from typing import Any

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "companion"))
from orbisk_companion import _container  # noqa: E402

CHUNK = 1 << 20


def timed(rounds: int, run: Callable[[], Any]) -> float:
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def checksum(f: Callable[[Any, int], int], arrays: dict[str, np.ndarray]) -> None:
    for array in arrays.values():
        data = memoryview(array).cast("B")
        value = 0
        for at in range(0, len(data), CHUNK):
            value = f(data[at : at + CHUNK], value)


def plain_read(path: str, arrays: dict[str, np.ndarray]) -> None:
    """The file's bytes into preallocated memory, nothing checked."""
    with open(path, "rb", buffering=0) as f:
        for array in arrays.values():
            data = memoryview(array).cast("B")
            done = 0
            while done < len(data):
                done += f.readinto(data[done : done + CHUNK])


def touch_mapped(path: str) -> None:
    for array in _container.read(path, mmap=True)[1].values():
        array.view(np.uint8).max(initial=0)  # every page read once


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--codes-mib", type=int, default=128)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dir", default=None)
    args = parser.parse_args()

    rng = np.random.default_rng(7)
    arrays = {
        "rows": rng.standard_normal((args.rows, args.dim)),
        "codes": rng.integers(0, 256, args.codes_mib << 20, dtype=np.uint8),
    }
    size = sum(a.nbytes for a in arrays.values())
    with tempfile.TemporaryDirectory(dir=args.dir) as folder:
        path = os.path.join(folder, "index.idx")
        write = timed(1, lambda: _container.write(path, {"rows": args.rows}, arrays))
        scratch = {name: np.empty_like(a) for name, a in arrays.items()}
        figures = {
            "write (atomic, synced)": write,
            "open, mapped": timed(args.rounds, lambda: _container.read(path, mmap=True)),
            "open, mapped, then every page touched": timed(args.rounds, lambda: touch_mapped(path)),
            "read, checksums verified": timed(args.rounds, lambda: _container.read(path)),
            "read, verify=False": timed(args.rounds, lambda: _container.read(path, verify=False)),
            "plain read of the bytes (no checks)": timed(args.rounds, lambda: plain_read(path, scratch)),
            "zlib.crc32 over the arrays in memory": timed(args.rounds, lambda: checksum(zlib.crc32, arrays)),
            "zlib.adler32 over the arrays in memory": timed(args.rounds, lambda: checksum(zlib.adler32, arrays)),
        }
    print(
        f"# Opening a {size / 2**30:.2f} GiB index file ({args.rows} x {args.dim} float64, "
        f"{args.codes_mib} MiB uint8; zlib {zlib.ZLIB_RUNTIME_VERSION}; median of {args.rounds})\n"
    )
    print("| what | seconds | GB/s |\n| --- | ---: | ---: |")
    for what, seconds in figures.items():
        print(f"| {what} | {seconds:.4f} | {size / seconds / 1e9:.2f} |")


if __name__ == "__main__":
    main()
