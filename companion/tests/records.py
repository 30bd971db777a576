"""What an Index holds, read without changing it: its records checked
against each other and its engine, and everything a user can observe."""

from __future__ import annotations

from typing import Any

import numpy as np

from orbisk_companion import Index


def consistent(index: Index) -> None:
    """Rows, keys, metadata and tombstones in step with the engine."""
    n, removed = index._n, index._removed
    assert len(index._engine) == n and index._engine.removed == removed
    assert len(index._columns) == n
    live = index._live[:n]
    assert int(np.count_nonzero(~live)) == removed
    keys = index._keys.first(n)  # every id's key, tombstones' too
    if index._row_of is not None:  # the map of keys, once built, as it would be built now
        assert index._row_of == {keys[i]: i for i in np.flatnonzero(live).tolist()}


def view(index: Index, queries: np.ndarray) -> Any:
    """Everything observable (floats by their bits), after `consistent`,
    and the metadata columns as a file keeps them."""
    consistent(index)
    description, arrays = index._columns.to_arrays()
    columns = description, {name: a.tobytes() for name, a in arrays.items()}
    keys = index.keys
    rows = np.array([index._engine.row(i) for i in index._live_ids().tolist()])
    found = []
    for q in queries:
        got = index.search(q, k=len(keys) + 1, return_metadata=True)
        found.append((got[0].dtype.str, got[0].tolist(), got[1].tobytes(), got[2]))
    return keys, [index.metadata(k) for k in keys], rows.tobytes(), found, columns
