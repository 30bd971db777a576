"""Sharded search over engine index shards, on Ray, Dask or in process.

`ShardedFlat` answers every search exactly as one `orbisk.PyFlat` (and, with
masks, radius search, removal and compaction, as one
`orbisk_engine.FlatIndex`) over all the rows would: same ids, same distances
bit for bit, same order. Its shards keep float64 rows, or float32 ones.

`ShardedGraph` holds a graph in every shard: approximate searches whose
every distance is exact, merged exactly across the shards.
"""

from ._local import LocalBackend, LocalShard
from ._recovery import ShardLostError
from ._sharded import ShardedFlat, ShardedGraph, merge, merge_radius
from ._types import (
    FLAT,
    METRICS,
    Backend,
    FlatKind,
    GraphKind,
    Kind,
    Mask,
    Metric,
    Part,
    Radius,
    Rows,
    Shard,
    Storage,
)

__all__ = [
    "FLAT",
    "METRICS",
    "Backend",
    "FlatKind",
    "GraphKind",
    "Kind",
    "LocalBackend",
    "LocalShard",
    "Mask",
    "Metric",
    "Part",
    "Radius",
    "Rows",
    "Shard",
    "ShardLostError",
    "ShardedFlat",
    "ShardedGraph",
    "Storage",
    "merge",
    "merge_radius",
]
__version__ = "0.1.0"
