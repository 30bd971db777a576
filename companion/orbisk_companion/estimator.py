"""`ExactNeighbors`: exact nearest neighbours in scikit-learn's conventions.

Needs scikit-learn (``pip install 'orbisk-companion[sklearn]'``). It follows
`sklearn.neighbors.KNeighborsTransformer`: `fit`, `kneighbors`,
`kneighbors_graph`, and `transform` giving the sparse neighbours graph that
estimators with ``metric="precomputed"`` take (DBSCAN, Isomap, TSNE, ...).

Exact means the distances are the extension's, equal bit for bit to the plain
float64 definitions summed in element order, and ties are broken by the
smaller training index:

- "euclidean": sqrt(sum((x[i] - y[i])**2)), the square root of the sum of
  squares as written (scikit-learn's brute force expands it into
  |x|^2 - 2 x.y + |y|^2, which can differ in the last bits, and gives
  non-zero distances between identical rows);
- "cosine": 1 - cos(x, y), scikit-learn's cosine distance, computed from the
  exact cosine dot / (sqrt(|x|^2) * sqrt(|y|^2)) with one more rounding (the
  subtraction), then clipped to [0, 2] as scikit-learn clips it: a row and
  itself, or a scaled copy, can have a cosine a rounding above 1, and
  estimators taking a precomputed graph refuse a negative distance.
  Neighbours are ranked by the exact cosine, so neighbours whose distances
  round or clip to the same value keep the order of their cosines (ties by
  the smaller index). A zero vector has no cosine (nor has a pair whose
  norms underflow or overflow: the definition gives NaN); as scikit-learn
  does, such a cosine counts as 0: distance 1, ranked with the cosines
  equal to 0. A NaN would make those estimators refuse the graph.

Input is validated as scikit-learn's estimators validate it: NaN or infinity
in X (for `fit`, `kneighbors`, `kneighbors_graph`, `transform`) raises their
ValueError.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import orbisk
from scipy import sparse
from sklearn.base import BaseEstimator, TransformerMixin
from sklearn.utils.validation import check_is_fitted, validate_data

_METRICS = ("euclidean", "cosine")


class ExactNeighbors(TransformerMixin, BaseEstimator):  # type: ignore[misc]
    """``ExactNeighbors(n_neighbors=5, metric="euclidean", mode="distance")``.

    `metric`: "euclidean" or "cosine" (1 - cosine similarity). `mode` is what
    `transform` fills the graph with, as in `KNeighborsTransformer`:
    "distance" (each sample's n_neighbors + 1 nearest, itself included,
    since pipelines that take precomputed neighbours expect that) or
    "connectivity" (n_neighbors, ones).
    """

    def __init__(self, n_neighbors: int = 5, metric: str = "euclidean", mode: str = "distance") -> None:
        self.n_neighbors = n_neighbors
        self.metric = metric
        self.mode = mode

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.transformer_tags.preserves_dtype = []     # the graph is float64 whatever X is
        tags.input_tags.sparse = False
        return tags

    def _check_params(self) -> None:
        if self.metric not in _METRICS:
            raise ValueError(f"unknown metric {self.metric!r}: expected one of {', '.join(map(repr, _METRICS))}")
        if self.mode not in ("distance", "connectivity"):
            raise ValueError(f"mode must be 'distance' or 'connectivity', got {self.mode!r}")
        if not isinstance(self.n_neighbors, (int, np.integer)) or isinstance(self.n_neighbors, bool) \
                or self.n_neighbors < 1:
            raise ValueError(f"n_neighbors must be a positive int, got {self.n_neighbors!r}")

    def fit(self, X: Any, y: Any = None) -> ExactNeighbors:
        self._check_params()
        X = validate_data(self, X, dtype=np.float64, order="C", ensure_min_samples=1)
        self._fit_X = np.array(X, dtype=np.float64, order="C")
        self.n_samples_fit_ = X.shape[0]
        self.effective_metric_ = self.metric
        self._build()
        return self

    def _build(self) -> None:
        index = orbisk.PyFlat(self._fit_X.shape[1], "cosine" if self.metric == "cosine" else None)
        index.create(self._fit_X)
        self._index = index

    # The extension's index cannot be pickled; a flat index is rebuilt from
    # the training rows exactly, so pickles (and joblib) carry only those.
    def __getstate__(self) -> dict[str, Any]:
        state = dict(super().__getstate__())
        state.pop("_index", None)
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        super().__setstate__(state)
        if "_fit_X" in state:
            self._build()

    def _search(self, q: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray]:
        if self.metric == "euclidean":
            found = self._index.search(q, k)
            return (np.fromiter((d for _, d in found), dtype=np.float64, count=len(found)),
                    np.fromiter((i for i, _ in found), dtype=np.intp, count=len(found)))
        ids, cos = self._cosines(q, k)
        # The extension ranks a NaN cosine (a zero vector) last; here it counts
        # as 0, so when the k-th cosine is not above 0 such a row may belong
        # among the k: rank every row, a NaN as 0, ties by the smaller index.
        if k < self.n_samples_fit_ and not cos[-1] > 0.0:
            ids, cos = self._cosines(q, self.n_samples_fit_)
        if np.isnan(cos).any():
            cos = np.where(np.isnan(cos), 0.0, cos)
            order = np.lexsort((ids, -cos))
            ids, cos = ids[order], cos[order]
        ids, cos = ids[:k], cos[:k]
        # 1 - cos rounds below 0 (or above 2) at cosines a rounding past +-1.
        return np.clip(1.0 - cos, 0.0, 2.0), ids

    def _cosines(self, q: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray]:
        """The k most similar rows' ids and exact cosines, NaNs last."""
        found = self._index.search(-q, k)
        # -(raw) is the exact cosine up to the sign of a zero, which 1 - c drops.
        return (np.fromiter((i for i, _ in found), dtype=np.intp, count=len(found)),
                -np.fromiter((d for _, d in found), dtype=np.float64, count=len(found)))

    def kneighbors(self, X: Any = None, n_neighbors: int | None = None,
                   return_distance: bool = True) -> Any:
        """(distances, indices), each of shape (n_queries, n_neighbors), nearest
        first, ties by the smaller index. With X=None the training samples
        are the queries and each is left out of its own neighbours (if an
        identical sample ties with it, the sample itself is the one left out)."""
        check_is_fitted(self, "_index")
        k = self.n_neighbors if n_neighbors is None else n_neighbors
        if not isinstance(k, (int, np.integer)) or isinstance(k, bool) or k < 1:
            raise ValueError(f"Expected n_neighbors > 0, got {k!r}")
        k = int(k)
        own = X is None
        if own:
            Q = self._fit_X
            ask = k + 1
        else:
            Q = validate_data(self, X, dtype=np.float64, order="C", reset=False)
            ask = k
        if ask > self.n_samples_fit_:
            raise ValueError(f"Expected n_neighbors <= n_samples_fit, but n_neighbors = {ask}, "
                             f"n_samples_fit = {self.n_samples_fit_}, n_samples = {Q.shape[0]}")
        dist = np.empty((Q.shape[0], k))
        ind = np.empty((Q.shape[0], k), dtype=np.intp)
        for i in range(Q.shape[0]):
            d, ids = self._search(Q[i], ask)
            if own:
                hit = np.flatnonzero(ids == i)
                drop = hit[0] if hit.size else ask - 1
                d, ids = np.delete(d, drop), np.delete(ids, drop)
            dist[i], ind[i] = d, ids
        return (dist, ind) if return_distance else ind

    def kneighbors_graph(self, X: Any = None, n_neighbors: int | None = None,
                         mode: str = "connectivity") -> sparse.csr_matrix:
        """CSR matrix of shape (n_queries, n_samples_fit): row i holds ones
        ("connectivity") or the distances ("distance") of its neighbours."""
        if mode not in ("distance", "connectivity"):
            raise ValueError(f"mode must be 'distance' or 'connectivity', got {mode!r}")
        dist, ind = self.kneighbors(X, n_neighbors, return_distance=True)
        n_queries, k = ind.shape
        data = dist.ravel() if mode == "distance" else np.ones(n_queries * k)
        return sparse.csr_matrix((data, ind.ravel(), np.arange(0, n_queries * k + 1, k)),
                                 shape=(n_queries, self.n_samples_fit_))

    def transform(self, X: Any) -> sparse.csr_matrix:
        """The neighbours graph of X against the training samples, as
        `KNeighborsTransformer.transform`: n_neighbors + 1 per row in mode
        "distance", n_neighbors in mode "connectivity"."""
        check_is_fitted(self, "_index")
        return self.kneighbors_graph(X, self.n_neighbors + (self.mode == "distance"), mode=self.mode)

    def fit_transform(self, X: Any, y: Any = None) -> sparse.csr_matrix:
        return self.fit(X).transform(X)
