"""The everyday path over orbisk.

- `Index`: flat (exact), graph or sharded (exact, on Ray or Dask), with
  strict metric names, most similar first, keys and metadata with every
  result, batches into numpy arrays, exact filters, removal and radius
  search on the exact kinds, and atomic files (`save` / `load`, mapped);
- `ExactNeighbors` (in `orbisk_companion.estimator`, needs scikit-learn):
  an exact `sklearn.neighbors`-style estimator and transformer.

The sharded index itself is `orbisk_shard.ShardedFlat`; this package uses it
and it does not import this one.
"""

from orbisk_shard import METRICS

from .index import COMPACT_FRACTION, KINDS, Index, load
from .persistence import IndexFileError

__all__ = ["COMPACT_FRACTION", "KINDS", "METRICS", "Index", "IndexFileError", "load"]
__version__ = "0.1.0"
