"""Exact sharded search with the companion package orbisk_shard: the same
answers as one PyFlat, bit for bit, from shards on Ray, on Dask or in this
process. Runs on Ray when it is installed (pip install ./companion[ray]),
else in process, with only orbisk and numpy. Needs numpy, which orbisk itself
does not (`make examples` runs it in .venv, which has it)."""

import importlib
import importlib.util
import os
import pathlib
import sys

# The companion lives in companion/ of this repository; an installed
# orbisk-shard is found first.
sys.path.append(str(pathlib.Path(__file__).resolve().parents[1] / "companion"))

import numpy as np  # noqa: E402

import orbisk  # noqa: E402
from orbisk_shard import ShardedFlat  # noqa: E402


def main() -> None:
    rng = np.random.default_rng(0)
    rows = rng.normal(size=(5000, 32))
    queries = rng.normal(size=(100, 32))

    engine = "ray" if importlib.util.find_spec("ray") else "local"
    if engine == "ray":
        os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
        ray = importlib.import_module("ray")
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)

    one = orbisk.PyFlat(32, "cosine")
    one.create(rows)
    with ShardedFlat(32, "cosine", shards=2, backend=engine) as index:
        index.create(rows)  # split into two contiguous id ranges
        index.insert(rows[0] * 2.0)  # id 5000, appended to the last shard
        one.insert(rows[0] * 2.0)
        print(engine, "shards:", index.shard_ranges)

        # One query: a list of (id, distance), exactly one PyFlat's answer.
        assert index.search(queries[0], k=5) == one.search(queries[0], k=5)

        # Many queries in one round trip: arrays of shape (100, 10).
        ids, distances = index.search_batch(queries, k=10)
        for q, i, d in zip(queries, ids, distances, strict=True):
            assert list(zip(i.tolist(), d.tolist(), strict=True)) == one.search(q, k=10)
        print("first query:", ids[0][:3].tolist(), distances[0][:3].tolist())
    if engine == "ray":
        importlib.import_module("ray").shutdown()


if __name__ == "__main__":
    main()
