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
import orbisk_engine
from joblib import effective_n_jobs
from scipy import sparse
from sklearn.base import BaseEstimator, TransformerMixin
from sklearn.utils.validation import check_is_fitted, validate_data

_METRICS = ("euclidean", "cosine")


class ExactNeighbors(TransformerMixin, BaseEstimator):  # type: ignore[misc]
    """``ExactNeighbors(n_neighbors=5, metric="euclidean", mode="distance", n_jobs=None)``.

    `metric`: "euclidean" or "cosine" (1 - cosine similarity). `n_jobs`:
    threads for the searches, as in scikit-learn (None: 1 unless a joblib
    context says otherwise; -1: every core); any number gives the same
    bits. `mode` is what
    `transform` fills the graph with, as in `KNeighborsTransformer`:
    "distance" (each sample's n_neighbors + 1 nearest, itself included,
    since pipelines that take precomputed neighbours expect that) or
    "connectivity" (n_neighbors, ones).
    """

    def __init__(self, n_neighbors: int = 5, metric: str = "euclidean", mode: str = "distance",
                 n_jobs: int | None = None) -> None:
        self.n_neighbors = n_neighbors
        self.metric = metric
        self.mode = mode
        self.n_jobs = n_jobs

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
        if self.n_jobs is not None and (not isinstance(self.n_jobs, (int, np.integer))
                                        or isinstance(self.n_jobs, bool) or self.n_jobs == 0):
            raise ValueError(f"n_jobs must be None or a non-zero int, got {self.n_jobs!r}")

    def fit(self, X: Any, y: Any = None) -> ExactNeighbors:
        self._check_params()
        X = validate_data(self, X, dtype=np.float64, order="C", ensure_min_samples=1)
        self._fit_X = np.array(X, dtype=np.float64, order="C")
        self.n_samples_fit_ = X.shape[0]
        self.effective_metric_ = self.metric
        self._build()
        return self

    def _build(self) -> None:
        index = orbisk_engine.FlatIndex(self._fit_X.shape[1], self.metric)
        index.add(self._fit_X)
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

    def _threads(self) -> int:
        # scikit-learn's meaning: None is 1 unless a joblib context says
        # otherwise, -1 every core, -2 all but one, ...
        return max(1, effective_n_jobs(self.n_jobs))

    def _search(self, Q: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray]:
        """(distances, ids) of the k nearest rows for each query."""
        threads = self._threads()
        if self.metric == "euclidean":
            ids, dist = self._index.search(Q, k, threads=threads)
            return np.asarray(dist), np.asarray(ids).astype(np.intp)
        ids, raw = self._index.search(-Q, k, threads=threads)
        # -(raw) is the exact cosine up to the sign of a zero, which 1 - c drops.
        ids, cos = np.asarray(ids).astype(np.intp), -np.asarray(raw)
        # The extension ranks a NaN cosine (a zero vector) last; here it counts
        # as 0, so when the k-th cosine is not above 0 such a row may belong
        # among the k: rank every row, a NaN as 0, ties by the smaller index.
        if k < self.n_samples_fit_:
            for i in np.flatnonzero(~(cos[:, -1] > 0.0)).tolist():
                every_id, every_raw = self._index.search(-Q[i : i + 1], self.n_samples_fit_, threads=threads)
                ids[i], cos[i] = self._nan_as_zero(np.asarray(every_id)[0], -np.asarray(every_raw)[0], k)
        for i in np.flatnonzero(np.isnan(cos).any(axis=1)).tolist():
            ids[i], cos[i] = self._nan_as_zero(ids[i], cos[i], k)
        # 1 - cos rounds below 0 (or above 2) at cosines a rounding past +-1.
        return np.clip(1.0 - cos, 0.0, 2.0), ids

    @staticmethod
    def _nan_as_zero(ids: np.ndarray, cos: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray]:
        """The first k of `ids` ranked by cosine with NaN taken as 0, ties by
        the smaller id."""
        cos = np.where(np.isnan(cos), 0.0, cos)
        order = np.lexsort((ids, -cos))[:k]
        return ids[order], cos[order]

    def kneighbors(self, X: Any = None, n_neighbors: int | None = None,
                   return_distance: bool = True) -> Any:
        """(distances, indices), each of shape (n_queries, n_neighbors), nearest
        first, ties by the smaller index. With X=None the training samples
        are the queries and each is left out of its own neighbours (if an
        identical sample ties with it, the sample itself is the one left out).
        The queries are searched on ``n_jobs`` threads (scikit-learn's
        meaning); the results are the same bits for any number."""
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
        dist, ind = self._search(Q, ask)
        if own:
            # Each sample leaves its own first place, or the last if it is not
            # among its neighbours (identical samples tie ahead of it).
            hit = ind == np.arange(Q.shape[0])[:, None]
            drop = np.where(hit.any(axis=1), hit.argmax(axis=1), ask - 1)
            keep = np.ones(ind.shape, dtype=bool)
            keep[np.arange(Q.shape[0]), drop] = False
            dist, ind = dist[keep].reshape(-1, k), ind[keep].reshape(-1, k)
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
