"""`ExactNeighbors`: exact nearest neighbours in scikit-learn's conventions.

Needs scikit-learn (``pip install './companion[sklearn]'``). It follows
`sklearn.neighbors.KNeighborsTransformer`: `fit`, `kneighbors`,
`kneighbors_graph`, and `transform` giving the sparse neighbours graph that
estimators with ``metric="precomputed"`` take (DBSCAN, Isomap, TSNE, ...);
and `sklearn.neighbors.NearestNeighbors`'s `radius_neighbors` and
`radius_neighbors_graph`: every training sample at a distance of at most the
radius, exactly, by the same distances.

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

import math
import struct
from numbers import Real
from typing import Any, cast

import numpy as np
from joblib import effective_n_jobs
from scipy import sparse
from sklearn.base import BaseEstimator, TransformerMixin
from sklearn.utils.validation import check_is_fitted, validate_data

import orbisk_engine
from orbisk_shard import METRICS, Metric

from ._scores import scores, searched

_METRICS = tuple(m for m in METRICS if m != "inner_product")  # no distance from an inner product


def _is_real(value: Any) -> bool:
    return isinstance(value, Real) and not isinstance(value, bool)


def _place(x: float) -> int:
    """x's place among the doubles in order: neighbouring doubles have
    neighbouring places (both zeros 0)."""
    bits: int = struct.unpack("<q", struct.pack("<d", x))[0]
    return bits if bits >= 0 else -(bits & 0x7FFF_FFFF_FFFF_FFFF)


def _double_at(place: int) -> float:
    x: float = struct.unpack("<d", struct.pack("<q", abs(place)))[0]
    return x if place >= 0 else -x


def _least_cosine_within(radius: float) -> float:
    """The least double c whose cosine distance, min(max(1 - c, 0), 2) in
    doubles, is at most `radius` (>= 0).

    1 - c is the exact difference rounded to nearest, and rounding is
    monotone, so it never grows as c grows; below radius 2 the clipping
    changes no answer (a difference below 0 is within either way, one above 2
    is not). The cosines within are therefore every double from some c on,
    and bisecting over the places of the doubles finds that first one; the
    check after it shows that c is within and the double below it is not.
    (Stepping down from 1 - radius one double at a time could take some 2**60
    steps: near radius 1 the cosines are near 0, where that many doubles give
    the same 1 - c.)
    """
    if radius >= 2.0:
        return -math.inf
    out, within = _place(-math.inf), _place(math.inf)  # 1 - c: +inf, -inf
    while within - out > 1:
        mid = (out + within) // 2
        if 1.0 - _double_at(mid) <= radius:
            within = mid
        else:
            out = mid
    least = _double_at(within)
    if not 1.0 - least <= radius < 1.0 - math.nextafter(least, -math.inf):
        raise AssertionError(f"no cosine boundary found for radius {radius!r}")
    return least


def _extreme(A: np.ndarray) -> np.ndarray:
    """Whether each row of A may have a NaN cosine with some vector.

    An ordinary row has a sum of squares in [2**-800, 2**800] summed in any
    order: every order is within a factor (1 + 2**-53)**dim of the exact sum
    of the squares (and squares that underflow move it by at most dim *
    2**-1074), so the extension's own norm, summed in element order, is in
    [2**-401, 2**401], and no element exceeds 2**401 in size. For two
    ordinary vectors the product of the norms is then neither 0 nor infinite,
    and no product or partial sum of their dot product comes near 2**1024
    (dim * 2**803 is far below it for any dim that fits in memory), so their
    cosine, dot / (norm * norm), is a number. Zero rows are extreme."""
    with np.errstate(over="ignore", under="ignore"):
        squares = np.einsum("ij,ij->i", A, A)
    ordinary: np.ndarray = (squares >= 2.0**-800) & (squares <= 2.0**800)
    return ~ordinary


def _ragged(flat: np.ndarray, offsets: np.ndarray) -> np.ndarray:
    """flat[offsets[i]:offsets[i + 1]] for each i, as a 1-D object array."""
    out = np.empty(len(offsets) - 1, dtype=object)
    for i, part in enumerate(np.split(flat, offsets[1:-1])):
        out[i] = part
    return out


class ExactNeighbors(TransformerMixin, BaseEstimator):  # type: ignore[misc]
    """``ExactNeighbors(n_neighbors=5, metric="euclidean", mode="distance", n_jobs=None, radius=1.0)``.

    `metric`: "euclidean" or "cosine" (1 - cosine similarity). `n_jobs`:
    threads for the searches, as in scikit-learn (None: 1 unless a joblib
    context says otherwise; -1: every core); any number gives the same
    bits. `mode` is what
    `transform` fills the graph with, as in `KNeighborsTransformer`:
    "distance" (each sample's n_neighbors + 1 nearest, itself included,
    since pipelines that take precomputed neighbours expect that) or
    "connectivity" (n_neighbors, ones). `radius`: the default of
    `radius_neighbors` and `radius_neighbors_graph`, a number >= 0.
    """

    def __init__(
        self,
        n_neighbors: int = 5,
        metric: str = "euclidean",
        mode: str = "distance",
        n_jobs: int | None = None,
        radius: float = 1.0,
    ) -> None:
        self.n_neighbors = n_neighbors
        self.metric = metric
        self.mode = mode
        self.n_jobs = n_jobs
        self.radius = radius

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.transformer_tags.preserves_dtype = []  # the graph is float64 whatever X is
        tags.input_tags.sparse = False
        return tags

    def _check_params(self) -> None:
        if self.metric not in _METRICS:
            raise ValueError(f"unknown metric {self.metric!r}: expected one of {', '.join(map(repr, _METRICS))}")
        if self.mode not in ("distance", "connectivity"):
            raise ValueError(f"mode must be 'distance' or 'connectivity', got {self.mode!r}")
        if (
            not isinstance(self.n_neighbors, (int, np.integer))
            or isinstance(self.n_neighbors, bool)
            or self.n_neighbors < 1
        ):
            raise ValueError(f"n_neighbors must be a positive int, got {self.n_neighbors!r}")
        if self.n_jobs is not None and (
            not isinstance(self.n_jobs, (int, np.integer)) or isinstance(self.n_jobs, bool) or self.n_jobs == 0
        ):
            raise ValueError(f"n_jobs must be None or a non-zero int, got {self.n_jobs!r}")
        if not _is_real(self.radius) or not self.radius >= 0:
            raise ValueError(f"radius must be a number >= 0, got {self.radius!r}")

    def fit(self, X: Any, y: Any = None) -> ExactNeighbors:
        self._check_params()
        X = validate_data(self, X, dtype=np.float64, order="C", ensure_min_samples=1)
        self._fit_X = np.array(X, dtype=np.float64, order="C")
        self.n_samples_fit_ = X.shape[0]
        self.effective_metric_ = self.metric
        self._build()
        return self

    def _build(self) -> None:
        index = orbisk_engine.FlatIndex(self._fit_X.shape[1], cast(Metric, self.metric))  # checked by fit
        index.add(self._fit_X)
        self._index = index
        if self.metric == "cosine":
            self._extreme_rows = _extreme(self._fit_X)

    # The extension's index cannot be pickled; a flat index is rebuilt from
    # the training rows exactly, so pickles (and joblib) carry only those.
    def __getstate__(self) -> dict[str, Any]:
        state = dict(super().__getstate__())
        state.pop("_index", None)
        state.pop("_extreme_rows", None)
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        super().__setstate__(state)
        if "_fit_X" in state:
            self._build()

    def _threads(self) -> int:
        # scikit-learn's meaning: None is 1 unless a joblib context says
        # otherwise, -1 every core, -2 all but one, ...
        return max(1, int(effective_n_jobs(self.n_jobs)))

    def _search(self, Q: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray]:
        """(distances, ids) of the k nearest rows for each query."""
        threads = self._threads()
        if self.metric == "euclidean":
            found, dist = self._index.search(Q, k, threads=threads)
            return np.asarray(dist), np.asarray(found).astype(np.intp)
        found, raw = self._index.search(searched("cosine", Q), k, threads=threads)
        ids = np.asarray(found).astype(np.intp)
        cos = scores("cosine", Q, ids, np.asarray(raw), None)  # up to the sign of a zero, which 1 - c drops
        # The extension ranks a NaN cosine (a zero vector) last; here it counts
        # as 0, so when the k-th cosine is not above 0 such a row may belong
        # among the k: rank every row, a NaN as 0, ties by the smaller index.
        if k < self.n_samples_fit_:
            for i in np.flatnonzero(~(cos[:, -1] > 0.0)).tolist():
                every_id, every_raw = self._index.search(
                    searched("cosine", Q[i : i + 1]), self.n_samples_fit_, threads=threads
                )
                every = np.asarray(every_id)
                every_cos = scores("cosine", Q[i : i + 1], every, np.asarray(every_raw), None)
                ids[i], cos[i] = self._nan_as_zero(every[0], every_cos[0], k)
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

    def kneighbors(self, X: Any = None, n_neighbors: int | None = None, return_distance: bool = True) -> Any:
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
            raise ValueError(
                f"Expected n_neighbors <= n_samples_fit, but n_neighbors = {ask}, "
                f"n_samples_fit = {self.n_samples_fit_}, n_samples = {Q.shape[0]}"
            )
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

    def kneighbors_graph(
        self, X: Any = None, n_neighbors: int | None = None, mode: str = "connectivity"
    ) -> sparse.csr_matrix:
        """CSR matrix of shape (n_queries, n_samples_fit): row i holds ones
        ("connectivity") or the distances ("distance") of its neighbours."""
        if mode not in ("distance", "connectivity"):
            raise ValueError(f"mode must be 'distance' or 'connectivity', got {mode!r}")
        dist, ind = self.kneighbors(X, n_neighbors, return_distance=True)
        n_queries, k = ind.shape
        data = dist.ravel() if mode == "distance" else np.ones(n_queries * k)
        return sparse.csr_matrix(
            (data, ind.ravel(), np.arange(0, n_queries * k + 1, k)), shape=(n_queries, self.n_samples_fit_)
        )

    def radius_neighbors(
        self, X: Any = None, radius: float | None = None, return_distance: bool = True, sort_results: bool = False
    ) -> Any:
        """(distances, indices): for each query, every training sample at a
        distance of at most `radius` (None: the constructor's), as 1-D object
        arrays of arrays (float64 and intp), as scikit-learn gives them.

        Exact: a sample is among them when the distance `kneighbors` reports
        for it is at most the radius, and the distances are those same bits.
        They always come nearest first, ties by the smaller index (ranked by
        the cosine itself for "cosine"), so `sort_results` (which needs
        `return_distance`) changes nothing. With X=None the training samples
        are the queries and each is left out of its own neighbours (an
        identical sample stays). A negative or NaN radius finds nothing."""
        check_is_fitted(self, "_index")
        if sort_results and not return_distance:
            raise ValueError("return_distance must be True if sort_results is True.")
        offsets, ind, dist = self._radius(X, radius)
        neigh_ind = _ragged(ind, offsets)
        return (_ragged(dist, offsets), neigh_ind) if return_distance else neigh_ind

    def radius_neighbors_graph(
        self, X: Any = None, radius: float | None = None, mode: str = "connectivity", sort_results: bool = False
    ) -> sparse.csr_matrix:
        """CSR matrix of shape (n_queries, n_samples_fit): row i holds ones
        ("connectivity") or the distances ("distance") of the samples that
        `radius_neighbors` finds for query i, nearest first."""
        check_is_fitted(self, "_index")
        if mode not in ("distance", "connectivity"):
            raise ValueError(f"mode must be 'distance' or 'connectivity', got {mode!r}")
        offsets, ind, dist = self._radius(X, radius)
        data = dist if mode == "distance" else np.ones(len(ind))
        return sparse.csr_matrix((data, ind, offsets), shape=(len(offsets) - 1, self.n_samples_fit_))

    def _radius(self, X: Any, radius: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(offsets, ids, distances), 1-D: the training rows within `radius` of
        query i are ids[offsets[i]:offsets[i + 1]], in ranking order; with
        X=None, each training row but query i itself."""
        offsets, ids, dist = self._within(X, radius)
        if X is None:
            keep = ids != np.repeat(np.arange(len(offsets) - 1), np.diff(offsets))
            ids, dist = ids[keep], dist[keep]
            offsets = np.concatenate(([0], np.cumsum(keep)))[offsets]
        return offsets, ids, dist

    def _within(self, X: Any, radius: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        r = self.radius if radius is None else radius
        if not _is_real(r):
            raise ValueError(f"radius must be a number, got {r!r}")
        r = float(r)
        Q = self._fit_X if X is None else validate_data(self, X, dtype=np.float64, order="C", reset=False)
        m = Q.shape[0]
        if not r >= 0.0:  # no distance is negative (nor is NaN within anything)
            return np.zeros(m + 1, dtype=np.intp), np.zeros(0, dtype=np.intp), np.zeros(0)
        threads = self._threads()
        if self.metric == "euclidean":
            offsets, ids, dist = map(np.asarray, self._index.search_radius(Q, r, threads=threads))
            return offsets.astype(np.intp), ids.astype(np.intp), np.array(dist)
        # The extension's cosine of -q is minus that of q up to the sign of a
        # zero (see _search), so "cos >= least" is "raw <= -least"; least is
        # never a zero (1 - c is 1 at 0 and at the double below it), so that
        # sign decides nothing.
        least = _least_cosine_within(r)
        offsets, ids, raw = map(
            np.asarray, self._index.search_radius(searched("cosine", Q), searched("cosine", least), threads=threads)
        )
        offsets, ids = offsets.astype(np.intp), ids.astype(np.intp)
        cos = scores("cosine", Q, ids[None, :], raw[None, :], None)[0]
        if r >= 1.0:  # a NaN cosine counts as 0: distance 1, within
            offsets, ids, cos = self._with_nan_cosines(Q, offsets, ids, cos)
        return offsets, ids, np.clip(1.0 - cos, 0.0, 2.0)

    def _with_nan_cosines(
        self, Q: np.ndarray, offsets: np.ndarray, ids: np.ndarray, cos: np.ndarray
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The radius search's results with the rows whose cosine is NaN (which
        it leaves out) added as cosine 0, in ranking order. Only a pair with an
        extreme vector (see _extreme) can have one: an extreme query is ranked
        against every row, an ordinary one against the extreme rows alone, and
        the NaN cosines found are added."""
        m, threads = Q.shape[0], self._threads()
        queries, rows = [], []
        extreme = _extreme(Q)
        for which, mask in ((np.flatnonzero(extreme), None), (np.flatnonzero(~extreme), self._extreme_rows)):
            k = self.n_samples_fit_ if mask is None else int(np.count_nonzero(mask))
            if which.size and k:
                got, raw = map(
                    np.asarray, self._index.search(searched("cosine", Q[which]), k, mask=mask, threads=threads)
                )
                at, col = np.nonzero(np.isnan(raw))
                queries.append(which[at])
                rows.append(got[at, col].astype(np.intp))
        if not any(q.size for q in queries):
            return offsets, ids, cos
        of = np.concatenate([np.repeat(np.arange(m), np.diff(offsets)), *queries])
        ids = np.concatenate([ids, *rows])
        cos = np.concatenate([cos, np.zeros(len(ids) - len(cos))])
        order = np.lexsort((ids, -cos, of))
        offsets = np.concatenate(([0], np.cumsum(np.bincount(of, minlength=m))))
        return offsets, ids[order], cos[order]

    def transform(self, X: Any) -> sparse.csr_matrix:
        """The neighbours graph of X against the training samples, as
        `KNeighborsTransformer.transform`: n_neighbors + 1 per row in mode
        "distance", n_neighbors in mode "connectivity"."""
        check_is_fitted(self, "_index")
        return self.kneighbors_graph(X, self.n_neighbors + (self.mode == "distance"), mode=self.mode)

    def fit_transform(self, X: Any, y: Any = None) -> sparse.csr_matrix:
        return self.fit(X).transform(X)
