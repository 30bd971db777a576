"""The everyday path over orbisk.

- `Index`: flat (exact), graph or sharded (exact, on Ray or Dask), with
  strict metric names, most similar first, keys and metadata with every
  result, batches into numpy arrays, and atomic files (`save` / `load`);
- `ExactNeighbors` (in `orbisk_companion.estimator`, needs scikit-learn):
  an exact `sklearn.neighbors`-style estimator and transformer.

The sharded index itself is `orbisk_shard.ShardedFlat`; this package uses it
and it does not import this one.
"""

from orbisk_shard._types import METRICS

from .index import KINDS, Index
from .persistence import IndexFileError, load

__all__ = ["KINDS", "METRICS", "Index", "IndexFileError", "load"]
__version__ = "0.1.0"
