"""ExactNeighbors: scikit-learn's own checks, the plain definitions, and
where scikit-learn's brute force (not exact) differs."""

from __future__ import annotations

import pickle

import numpy as np
import pytest

sklearn = pytest.importorskip("sklearn")
from sklearn.neighbors import KNeighborsClassifier, NearestNeighbors  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from orbisk_companion.estimator import ExactNeighbors  # noqa: E402
from plain import ranking, same  # noqa: E402


@parametrize_with_checks([ExactNeighbors(), ExactNeighbors(metric="cosine"), ExactNeighbors(mode="connectivity")])
def test_scikit_learn_checks(estimator, check):
    check(estimator)


def plain_neighbours(metric, X, q, k, leave_out=None):
    found = ranking(metric, X, q, len(X))
    if leave_out is not None:
        found = [p for p in found if p[0] != leave_out]
    found = found[:k]
    return ([1.0 - s if metric == "cosine" else s for _, s in found], [i for i, _ in found])


def tied_data():
    rng = np.random.default_rng(4)
    return np.repeat(rng.integers(-3, 4, size=(20, 3)).astype(np.float64), 3, axis=0)


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
@pytest.mark.parametrize("X", [np.random.default_rng(0).normal(size=(80, 5)), tied_data()], ids=["normal", "ties"])
def test_neighbours_and_distances_equal_the_plain_definition(metric, X):
    est = ExactNeighbors(n_neighbors=7, metric=metric).fit(X)
    Q = X[:15] + np.random.default_rng(1).integers(-1, 2, size=(15, X.shape[1]))
    dist, ind = est.kneighbors(Q)
    for i, q in enumerate(Q):
        want_d, want_i = plain_neighbours(metric, X, q, 7)
        assert ind[i].tolist() == want_i and all(map(same, dist[i].tolist(), want_d))
    dist, ind = est.kneighbors()                     # the training set, each sample left out
    for i in range(len(X)):
        want_d, want_i = plain_neighbours(metric, X, X[i], 7, leave_out=i)
        assert ind[i].tolist() == want_i and all(map(same, dist[i].tolist(), want_d))


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_scikit_learn_brute_force_differs_in_the_last_bits_and_at_ties(metric):
    X = np.random.default_rng(0).normal(size=(300, 16))
    Q = np.random.default_rng(1).normal(size=(50, 16))
    d, i = ExactNeighbors(n_neighbors=5, metric=metric).fit(X).kneighbors(Q)
    sd, si = NearestNeighbors(n_neighbors=5, metric=metric, algorithm="brute").fit(X).kneighbors(Q)
    assert (si == i).all()                       # the same neighbours here ...
    assert (sd != d).sum() > 50                  # ... at distances off in the last bits
    assert np.allclose(sd, d, rtol=1e-13, atol=1e-15)
    T = tied_data()
    d, i = ExactNeighbors(n_neighbors=6, metric=metric).fit(T).kneighbors(T[:10])
    sd, si = NearestNeighbors(n_neighbors=6, metric=metric, algorithm="brute").fit(T).kneighbors(T[:10])
    assert (si != i).any()                       # equal distances, another order
    for row, dists in zip(i, d):                 # ours: ties by ascending index
        assert all((a, x) < (b, y) for a, b, x, y in zip(dists, dists[1:], row, row[1:]))


def test_graph_transform_and_pipeline():
    rng = np.random.default_rng(2)
    X, y = rng.normal(size=(120, 4)), rng.integers(0, 3, size=120)
    est = ExactNeighbors(n_neighbors=4).fit(X)
    g = est.kneighbors_graph(X[:3], mode="distance")
    d, i = est.kneighbors(X[:3])
    assert g.shape == (3, 120) and g[0, i[0, 1]] == d[0, 1]
    assert (est.kneighbors_graph(X[:3]).toarray().sum(axis=1) == 4).all()
    t = est.transform(X[:3])                     # n_neighbors + 1, the sample itself at distance 0
    assert (t.getnnz(axis=1) == 5).all() and t[0, 0] == 0.0
    Xt = rng.normal(size=(40, 4))
    ours = make_pipeline(ExactNeighbors(n_neighbors=5), KNeighborsClassifier(n_neighbors=5, metric="precomputed"))
    theirs = KNeighborsClassifier(n_neighbors=5, algorithm="brute")
    assert (ours.fit(X, y).predict(Xt) == theirs.fit(X, y).predict(Xt)).all()


def test_pickle_rebuilds_the_index():
    X = np.random.default_rng(3).normal(size=(50, 3))
    est = ExactNeighbors(n_neighbors=3, metric="cosine").fit(X)
    again = pickle.loads(pickle.dumps(est))
    assert [a.tolist() for a in again.kneighbors(X[:5])] == [a.tolist() for a in est.kneighbors(X[:5])]


@pytest.mark.parametrize("params, call, message", [
    ({"metric": "l2"}, "fit", "unknown metric 'l2'"),
    ({"mode": "dist"}, "fit", "mode must be"),
    ({"n_neighbors": 0}, "fit", "n_neighbors must be a positive int"),
    ({"n_neighbors": 10}, "kneighbors", "n_neighbors <= n_samples_fit"),
])
def test_bad_parameters(params, call, message):
    est = ExactNeighbors(**params)
    X = np.zeros((10, 2))
    with pytest.raises(ValueError, match=message):
        est.fit(X) if call == "fit" else est.fit(X).kneighbors()
