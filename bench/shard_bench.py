"""Sharded exact search side by side: one in-process PyFlat against
orbisk_shard.ShardedFlat with 1 and 2 shards in process, on Ray and on Dask.

    companion/ci.sh bench [--rows 100000] [--dim 128] [--queries 1000] [--rounds 5]
    companion/ci.sh bench --recovery [--rows 100000] [--dim 128] [--rounds 3]

With --recovery it measures instead how long searches stall when a shard's
worker, node or all worker nodes are lost, until the shard's replacement has
answered: Ray on a cluster of a head and two worker nodes in this machine
(Ray's default health checks), Dask on a LocalCluster of three workers.

(ci.sh sets up companion/.venv with both engines and runs this script with
orbisk from build/.) Every configuration is built first, then timed in
rounds, one after the other within each round, so that the load of a shared
machine falls on all of them alike; the figures are medians over rounds and
ratios to the in-process PyFlat of the same round. Prints a Markdown report.
"""

from __future__ import annotations

import argparse
import importlib.metadata as md
import os
import platform
import statistics
import sys
import time
from collections.abc import Callable
from functools import partial
from typing import Any

import numpy as np

MiB = 1024 * 1024


def _closure(name: str) -> set[str]:
    """The distributions `name` needs at run time, itself included."""
    from packaging.requirements import Requirement

    seen: set[str] = set()
    todo = [name]
    while todo:
        n = todo.pop().lower().replace("_", "-")
        if n in seen:
            continue
        try:
            dist = md.distribution(n)
        except md.PackageNotFoundError:
            continue
        seen.add(n)
        for r in dist.requires or []:
            req = Requirement(r)
            if req.marker is None or req.marker.evaluate({"extra": ""}):
                todo.append(req.name)
    return seen


def _installed_mib(names: set[str]) -> float:
    total = 0
    for n in names:
        dist = md.distribution(n)
        for f in dist.files or []:
            try:
                total += dist.locate_file(f).stat().st_size  # type: ignore[union-attr]
            except OSError:
                pass
    return total / MiB


def env_sizes() -> dict[str, float]:
    base = _closure("numpy")
    return {
        "ray": _installed_mib(_closure("ray") - base),
        "dask[distributed]": _installed_mib((_closure("distributed") | _closure("dask")) - base),
    }


def uss(pid: int) -> int:
    import psutil

    return int(psutil.Process(pid).memory_full_info().uss)


def tree_uss(pid: int) -> int:
    import psutil

    total = 0
    for p in psutil.Process(pid).children(recursive=True):
        try:
            total += p.memory_full_info().uss
        except psutil.Error:
            pass
    return total


def timed(fn: Callable[[], Any]) -> float:
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def _stall(index: Any, shard: Any, lose: Callable[[], None], check: Callable[[Any], None]) -> tuple[float, float]:
    """Lose the shard's worker with `lose()`, then search back to back until
    the shard's replacement has answered: (the longest search, the time
    from the loss until then). Every answer is checked."""
    before = shard.restarts
    began = time.perf_counter()
    lose()
    longest = 0.0
    while True:
        t = time.perf_counter()
        check(index)
        longest = max(longest, time.perf_counter() - t)
        if shard.restarts > before:
            return longest, time.perf_counter() - began
        if time.perf_counter() - began > 600:
            raise RuntimeError("the shard was not restarted within 600 s")


def recovery(args: argparse.Namespace) -> None:
    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    import signal

    import orbisk
    from orbisk_shard import ShardedFlat

    n, dim, k = args.rows, args.dim, args.k
    rng = np.random.default_rng(0)
    rows = rng.normal(size=(n, dim))
    queries = rng.normal(size=(5, dim))
    flat = orbisk.PyFlat(dim)
    flat.create(rows)
    expected = [flat.search(q, k) for q in queries]

    def check(index: Any) -> None:
        ids, distances = index.search_batch(queries, k)
        assert [list(zip(i.tolist(), d.tolist(), strict=True)) for i, d in zip(ids, distances, strict=True)] == expected

    results: dict[str, list[tuple[float, float]]] = {}

    # -- Ray: a head and two worker nodes, Ray's default health checks ------
    import ray
    from ray.cluster_utils import Cluster

    from orbisk_shard.ray_backend import RayBackend

    cluster = Cluster(
        initialize_head=True,
        head_node_args={"num_cpus": 1, "include_dashboard": False, "object_store_memory": 512 * MiB},
    )
    ray.init(address=cluster.address, log_to_driver=False)
    workers: list[Any] = []

    def top_up() -> None:
        while len(workers) < 2:
            workers.append(cluster.add_node(num_cpus=1, object_store_memory=512 * MiB))
        cluster.wait_for_nodes(timeout=120)

    def on_worker_node(index: Any) -> tuple[Any, Any]:
        for shard in index.shards:
            node = next((w for w in workers if w.node_id == shard.node), None)
            if node is not None:
                return shard, node
        raise RuntimeError("no shard on a worker node")

    def remove(node: Any, graceful: bool) -> None:
        workers.remove(node)
        cluster.remove_node(node, allow_graceful=graceful)

    def remove_all() -> None:
        for node in list(workers):
            remove(node, False)

    ray_cases: dict[str, Callable[[Any, Any, Any], None]] = {
        "Ray: actor killed (ray.kill)": lambda index, shard, node: ray.kill(shard.actor),
        "Ray: its node removed gracefully": lambda index, shard, node: remove(node, True),
        "Ray: its node removed abruptly": lambda index, shard, node: remove(node, False),
        "Ray: both worker nodes removed abruptly": lambda index, shard, node: remove_all(),
    }
    top_up()
    for _ in range(args.rounds):
        for name, lose in ray_cases.items():
            # Three shards over three nodes; a fresh index each time, so
            # that one of them is on a worker node.
            index = ShardedFlat(dim, shards=3, backend=RayBackend())
            index.create(rows)
            check(index)
            shard, node = on_worker_node(index)
            results.setdefault(name, []).append(_stall(index, shard, partial(lose, index, shard, node), check))
            index.close()
            top_up()
    ray.shutdown()
    cluster.shutdown()

    # -- Dask: a LocalCluster of three workers -------------------------------
    from distributed import Client, LocalCluster

    from orbisk_shard.dask_backend import DaskBackend

    dask_cluster = LocalCluster(n_workers=3, threads_per_worker=1, processes=True, dashboard_address=None)
    client = Client(dask_cluster)

    def kill(worker: str) -> None:
        os.kill(client.run(os.getpid, workers=[worker])[worker], signal.SIGKILL)

    def kill_all() -> None:
        for worker in client.scheduler_info()["workers"]:
            kill(worker)

    def close_gracefully(worker: str) -> None:
        name = client.scheduler_info()["workers"][worker]["name"]
        dask_cluster.sync(dask_cluster.scale_down, [name])

    dask_cases: dict[str, Callable[[Any], None]] = {
        "Dask: worker process killed": lambda shard: kill(shard.worker),
        "Dask: worker closed gracefully": lambda shard: close_gracefully(shard.worker),
        "Dask: all worker processes killed": lambda shard: kill_all(),
    }
    for _ in range(args.rounds):
        for name, lose in dask_cases.items():
            dask_cluster.scale(3)
            client.wait_for_workers(3, timeout=120)
            index = ShardedFlat(dim, shards=3, backend=DaskBackend(client))
            index.create(rows)
            check(index)
            shard = index.shards[1]
            results.setdefault(name, []).append(_stall(index, shard, partial(lose, shard), check))
            index.close()
    client.close()
    dask_cluster.close()

    out = print
    out(f"## Recovery, n = {n:,}, d = {dim}, 3 shards of {n // 3:,} rows ({rows.nbytes / 3 / MiB:.0f} MiB)\n")
    out(
        f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
        f"Python {platform.python_version()}, ray {ray.__version__}, "
        f"distributed {md.version('distributed')}, {time.strftime('%Y-%m-%d')}; "
        f"{args.rounds} trials each, median (range).\n"
    )
    out("| the shard's worker is lost by | longest search | until its replacement answered |")
    out("|---|---:|---:|")

    def seconds(values: list[float]) -> str:
        return f"{statistics.median(values):.1f} s ({min(values):.1f}-{max(values):.1f})"

    for name, trials in results.items():
        out(f"| {name} | {seconds([t[0] for t in trials])} | {seconds([t[1] for t in trials])} |")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=100_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--k", type=int, default=10)
    ap.add_argument("--rounds", type=int, default=None, help="5, or 3 with --recovery")
    ap.add_argument("--recovery", action="store_true", help="measure recovery times instead")
    args = ap.parse_args()
    if args.recovery:
        args.rounds = args.rounds or 3
        return recovery(args)
    args.rounds = args.rounds or 5

    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    import orbisk
    from orbisk_shard import ShardedFlat

    n, dim, nq, k = args.rows, args.dim, args.queries, args.k
    rng = np.random.default_rng(0)
    rows = rng.normal(size=(n, dim))
    queries = rng.normal(size=(nq, dim))
    data_mib = rows.nbytes / MiB
    notes: list[str] = []

    # -- one PyFlat, and in-process shards --------------------------------
    flat = orbisk.PyFlat(dim)
    build = {"PyFlat": timed(lambda: flat.create(rows))}
    configs: dict[str, Callable[[], Any]] = {
        f"PyFlat, {nq:,} searches": lambda: [flat.search(q, k) for q in queries],
    }
    indexes: dict[str, ShardedFlat] = {}
    for s in (1, 2):
        index = ShardedFlat(dim, shards=s, backend="local")
        build[f"local {s}"] = timed(partial(index.create, rows))
        indexes[f"local {s}"] = index

    # -- Ray ---------------------------------------------------------------
    import ray

    driver = os.getpid()
    before = tree_uss(driver)
    t = time.perf_counter()
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, object_store_memory=1024 * MiB)
    ray_start = time.perf_counter() - t
    time.sleep(2)
    ray_idle = (tree_uss(driver) - before) / MiB
    from orbisk_shard.ray_backend import RayBackend

    for s in (1, 2):
        index = ShardedFlat(dim, shards=s, backend=RayBackend())
        build[f"ray {s}"] = timed(lambda index=index: (index.create(rows), index.search(queries[0])))
        indexes[f"ray {s}"] = index
    ray_shard = [
        uss(ray.get(sh.actor.__ray_call__.remote(lambda actor: os.getpid()))) / MiB for sh in indexes["ray 2"].shards
    ]

    # -- Dask --------------------------------------------------------------
    from distributed import Client, LocalCluster

    before = tree_uss(driver)
    t = time.perf_counter()
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    client = Client(cluster)
    client.wait_for_workers(2)
    dask_start = time.perf_counter() - t
    time.sleep(2)
    dask_idle = (tree_uss(driver) - before) / MiB
    from orbisk_shard.dask_backend import DaskBackend

    worker_pids = client.run(os.getpid)
    worker_before = {w: uss(p) for w, p in worker_pids.items()}
    for s in (1, 2):
        index = ShardedFlat(dim, shards=s, backend=DaskBackend(client))
        build[f"dask {s}"] = timed(lambda index=index: (index.create(rows), index.search(queries[0])))
        indexes[f"dask {s}"] = index
    # Workers hold the 1-shard index (worker 0) and one shard each of the
    # 2-shard index: per shard = growth over the three shards.
    dask_growth = sum(uss(p) - worker_before[w] for w, p in worker_pids.items()) / MiB / 3

    for name, index in indexes.items():
        configs[f"{name} shard{'s' if name.endswith('2') else ''}, one batch of {nq:,}"] = lambda index=index: (
            index.search_batch(queries, k)
        )
    for name in ("ray 2", "dask 2"):
        index = indexes[name]
        configs[f"{name} shards, batches of 100"] = lambda index=index: [
            index.search_batch(queries[i : i + 100], k) for i in range(0, nq, 100)
        ]

    # Exactness on the benchmark data itself.
    expected = [flat.search(q, k) for q in queries[:50]]
    for name, index in indexes.items():
        ids, distances = index.search_batch(queries[:50], k)
        got = [list(zip(i.tolist(), d.tolist(), strict=True)) for i, d in zip(ids, distances, strict=True)]
        assert got == expected, name

    # -- throughput, in rounds ---------------------------------------------
    times: dict[str, list[float]] = {c: [] for c in configs}
    ratios: dict[str, list[float]] = {c: [] for c in configs}
    same_layout: dict[str, list[float]] = {c: [] for c in configs}
    for _ in range(args.rounds):
        this = {c: timed(fn) for c, fn in configs.items()}
        for c, v in this.items():
            times[c].append(v)
            ratios[c].append(this[f"PyFlat, {nq:,} searches"] / v)
            # Against the in-process shards of the same layout: what the
            # engine adds or saves beyond the smaller stores.
            local = next((x for x in this if x.startswith("local " + c.split(" ")[1])), None)
            if local is not None and not c.startswith(("PyFlat", "local")):
                same_layout[c].append(this[local] / v)

    # -- round trip of one search -------------------------------------------
    tiny_rows = rows[:64]
    tiny_flat = orbisk.PyFlat(dim)
    tiny_flat.create(tiny_rows)
    trips: dict[str, float] = {}

    def per_call(fn: Callable[[np.ndarray], Any], reps: int = 300) -> float:
        samples = []
        for i in range(reps):
            q = queries[i % nq]
            t = time.perf_counter()
            fn(q)
            samples.append(time.perf_counter() - t)
        return statistics.median(samples)

    trips["PyFlat"] = per_call(lambda q: tiny_flat.search(q, k))
    for engine, make in (("local", lambda: "local"), ("ray", RayBackend), ("dask", lambda: DaskBackend(client))):
        for s in (1, 2):
            index = ShardedFlat(dim, shards=s, backend=make())
            index.create(tiny_rows)
            index.search(queries[0])
            trips[f"{engine} {s}"] = per_call(lambda q, index=index: index.search(q, k))
            index.close()

    # -- report ------------------------------------------------------------
    out = print
    out(f"## Sharded search, n = {n:,}, d = {dim}, float64, k = {k}, {nq:,} queries\n")
    out(
        f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
        f"Python {platform.python_version()}, ray {ray.__version__}, "
        f"distributed {md.version('distributed')}, {time.strftime('%Y-%m-%d')}; "
        f"median of {args.rounds} rounds, every configuration once per round.\n"
    )

    def ratio(values: list[float]) -> str:
        if not values:
            return "-"
        return f"{statistics.median(values):.2f}x ({min(values):.2f}-{max(values):.2f})"

    out(
        f"| configuration | time for {nq:,} queries | queries/s | speed vs one PyFlat | "
        "vs in-process shards, same layout |"
    )
    out("|---|---:|---:|---:|---:|")
    for c in configs:
        med = statistics.median(times[c])
        out(f"| {c} | {med * 1e3:,.0f} ms | {nq / med:,.0f} | {ratio(ratios[c])} | {ratio(same_layout[c])} |")
    out("\nSpeeds are ratios of times measured in the same round (median, and range over rounds).")
    out("")
    out("| round trip of one search (64 rows, k = 10) | median |")
    out("|---|---:|")
    for c, v in trips.items():
        out(f"| {c}{' shard' if c[-1] == '1' else ' shards' if c[-1] == '2' else ''} | {v * 1e3:.3f} ms |")
    out("")
    sizes = env_sizes()
    out("| memory | Ray | Dask |")
    out("|---|---:|---:|")
    out(f"| installed beyond orbisk + numpy | {sizes['ray']:.0f} MiB | {sizes['dask[distributed]']:.0f} MiB |")
    out(f"| cluster start (2 workers) | {ray_start:.1f} s | {dask_start:.1f} s |")
    out(f"| idle local cluster, unique memory of its processes | {ray_idle:.0f} MiB | {dask_idle:.0f} MiB |")
    out(
        f"| per shard of {data_mib / 2:.0f} MiB data: worker memory | "
        f"{statistics.mean(ray_shard):.0f} MiB (actor process) | {dask_growth:.0f} MiB (added to its worker) |"
    )
    out(
        f"| per shard: the kept copy of its batches | {data_mib / 2:.0f} MiB (object store, shared memory) | "
        f"{data_mib / 2:.0f} MiB (client process) |"
    )
    out("")
    out("| build (create of all rows, first search) | time |")
    out("|---|---:|")
    for c, v in build.items():
        out(f"| {c}{'' if c == 'PyFlat' else ' shard' if c.endswith('1') else ' shards'} | {v:.2f} s |")
    for note in notes:
        out(note)

    for index in indexes.values():
        index.close()
    client.close()
    cluster.close()
    ray.shutdown()


if __name__ == "__main__":
    sys.exit(main())
