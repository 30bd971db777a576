"""Exact sharded search over engine flat index shards, on Ray, Dask or in
process.

`ShardedFlat` answers every search exactly as one `orbisk.PyFlat` (and, with
masks, radius search, removal and compaction, as one
`orbisk_engine.FlatIndex`) over all the rows would: same ids, same distances
bit for bit, same order.
"""

from ._local import LocalBackend, LocalShard
from ._recovery import ShardLostError
from ._sharded import ShardedFlat, merge, merge_radius
from ._types import METRICS, Backend, Mask, Metric, Part, Radius, Rows, Shard

__all__ = [
    "METRICS",
    "Backend",
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
    "merge",
    "merge_radius",
]
__version__ = "0.1.0"
