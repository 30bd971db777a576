"""Exact sharded search over orbisk.PyFlat shards, on Ray, Dask or in process.

`ShardedFlat` answers every search exactly as one `orbisk.PyFlat` over all
the rows would: same ids, same distances bit for bit, same order.
"""

from ._local import LocalBackend, LocalShard
from ._recovery import ShardLostError
from ._sharded import ShardedFlat, merge
from ._types import Backend, Part, Rows, Shard

__all__ = ["Backend", "LocalBackend", "LocalShard", "Part", "Rows", "Shard", "ShardLostError", "ShardedFlat", "merge"]
__version__ = "0.1.0"
