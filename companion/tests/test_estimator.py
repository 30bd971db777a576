"""ExactNeighbors: scikit-learn's own checks, the plain definitions, and
where scikit-learn's brute force (not exact) differs."""

from __future__ import annotations

import math
import pickle
from itertools import pairwise

import numpy as np
import pytest

sklearn = pytest.importorskip("sklearn")
from sklearn.cluster import DBSCAN  # noqa: E402
from sklearn.datasets import load_iris  # noqa: E402
from sklearn.manifold import Isomap  # noqa: E402
from sklearn.neighbors import KNeighborsClassifier, NearestNeighbors  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from orbisk_companion.estimator import ExactNeighbors  # noqa: E402

from plain import same, score  # noqa: E402


@parametrize_with_checks([ExactNeighbors(), ExactNeighbors(metric="cosine"), ExactNeighbors(mode="connectivity")])
def test_scikit_learn_checks(estimator, check):
    check(estimator)


def plain_neighbours(metric, X, q, k, leave_out=None):
    """The k nearest by the plain definitions: a NaN cosine (zero vector)
    counts as 0, a cosine distance is 1 - cos clipped to [0, 2], ranking by
    the cosine itself, ties by the smaller index."""
    scored = [(i, score(metric, q.tolist(), r)) for i, r in enumerate(X.tolist()) if i != leave_out]
    if metric == "euclidean":
        found = sorted(scored, key=lambda p: (p[1], p[0]))[:k]
        return [d for _, d in found], [i for i, _ in found]
    found = sorted(((i, 0.0 if math.isnan(c) else c) for i, c in scored), key=lambda p: (-p[1], p[0]))[:k]
    return [min(max(1.0 - c, 0.0), 2.0) for _, c in found], [i for i, _ in found]


def tied_data():
    rng = np.random.default_rng(4)
    return np.repeat(rng.integers(-3, 4, size=(20, 3)).astype(np.float64), 3, axis=0)


def near_duplicates(n=200, dim=5, seed=5):
    """Real-valued rows, some scaled or nudged copies of others (1 - cos
    rounds below 0 for them) and a few zero rows."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, dim))
    X[1::7] = X[::7][: len(X[1::7])] * 3.0
    X[2::11] = np.nextafter(X[::11][: len(X[2::11])], np.inf)
    X[[4, 50, 51]] = 0.0
    return X


def plane_with_zeros():
    """Seven neighbours of twelve rows in a plane reach negative cosines,
    past the zero rows' cosine 0."""
    X = np.random.default_rng(8).normal(size=(12, 2))
    X[[2, 5, 9]] = 0.0
    return X


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
@pytest.mark.parametrize(
    "X",
    [np.random.default_rng(0).normal(size=(80, 5)), tied_data(), near_duplicates(80), plane_with_zeros()],
    ids=["normal", "ties", "near-duplicates", "plane-with-zeros"],
)
def test_neighbours_and_distances_equal_the_plain_definition(metric, X):
    est = ExactNeighbors(n_neighbors=7, metric=metric).fit(X)
    Q = np.vstack(
        [
            X[:15] + np.random.default_rng(1).integers(-1, 2, size=(len(X[:15]), X.shape[1])),
            X[:8],
            np.zeros((1, X.shape[1])),
        ]
    )
    dist, ind = est.kneighbors(Q)
    assert (dist >= 0.0).all() and (metric == "euclidean" or (dist <= 2.0).all())
    for i, q in enumerate(Q):
        want_d, want_i = plain_neighbours(metric, X, q, 7)
        assert ind[i].tolist() == want_i and all(map(same, dist[i].tolist(), want_d))
    dist, ind = est.kneighbors()  # the training set, each sample left out
    for i in range(len(X)):
        want_d, want_i = plain_neighbours(metric, X, X[i], 7, leave_out=i)
        assert ind[i].tolist() == want_i and all(map(same, dist[i].tolist(), want_d))


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_scikit_learn_brute_force_differs_in_the_last_bits_and_at_ties(metric):
    X = np.random.default_rng(0).normal(size=(300, 16))
    Q = np.random.default_rng(1).normal(size=(50, 16))
    d, i = ExactNeighbors(n_neighbors=5, metric=metric).fit(X).kneighbors(Q)
    sd, si = NearestNeighbors(n_neighbors=5, metric=metric, algorithm="brute").fit(X).kneighbors(Q)
    assert (si == i).all()  # the same neighbours here ...
    assert (sd != d).sum() > 50  # ... at distances off in the last bits
    assert np.allclose(sd, d, rtol=1e-13, atol=1e-15)
    T = tied_data()
    d, i = ExactNeighbors(n_neighbors=6, metric=metric).fit(T).kneighbors(T[:10])
    sd, si = NearestNeighbors(n_neighbors=6, metric=metric, algorithm="brute").fit(T).kneighbors(T[:10])
    assert (si != i).any()  # equal distances, another order
    for row, dists in zip(i, d, strict=True):  # ours: ties by ascending index
        assert all((a, x) < (b, y) for (a, b), (x, y) in zip(pairwise(dists), pairwise(row), strict=True))


def test_graph_transform_and_pipeline():
    rng = np.random.default_rng(2)
    X, y = rng.normal(size=(120, 4)), rng.integers(0, 3, size=120)
    est = ExactNeighbors(n_neighbors=4).fit(X)
    g = est.kneighbors_graph(X[:3], mode="distance")
    d, i = est.kneighbors(X[:3])
    assert g.shape == (3, 120) and g[0, i[0, 1]] == d[0, 1]
    assert (est.kneighbors_graph(X[:3]).toarray().sum(axis=1) == 4).all()
    t = est.transform(X[:3])  # n_neighbors + 1, the sample itself at distance 0
    assert (t.getnnz(axis=1) == 5).all() and t[0, 0] == 0.0
    Xt = rng.normal(size=(40, 4))
    ours = make_pipeline(ExactNeighbors(n_neighbors=5), KNeighborsClassifier(n_neighbors=5, metric="precomputed"))
    theirs = KNeighborsClassifier(n_neighbors=5, algorithm="brute")
    assert (ours.fit(X, y).predict(Xt) == theirs.fit(X, y).predict(Xt)).all()


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
@pytest.mark.parametrize(
    "name, X, y",
    [
        ("iris", *load_iris(return_X_y=True)),  # identical and proportional rows
        ("near-duplicates", near_duplicates(), np.random.default_rng(6).integers(0, 3, size=200)),
    ],
)
def test_precomputed_pipelines_take_the_graph(metric, name, X, y):
    """scikit-learn refuses a precomputed graph with a negative or NaN distance."""
    Xt = np.vstack([X[::9], X[::13] * 1.5])
    ours = make_pipeline(
        ExactNeighbors(n_neighbors=5, metric=metric), KNeighborsClassifier(n_neighbors=5, metric="precomputed")
    )
    theirs = KNeighborsClassifier(n_neighbors=5, metric=metric, algorithm="brute")
    agree = ours.fit(X, y).predict(Xt) == theirs.fit(X, y).predict(Xt)
    assert agree.mean() > 0.95  # votes between tied neighbours may differ
    graph = ExactNeighbors(n_neighbors=5, metric=metric).fit_transform(X)
    assert graph.data.min() >= 0.0 and np.isfinite(graph.data).all()
    embedded = make_pipeline(
        ExactNeighbors(n_neighbors=60, metric=metric),  # iris: one component
        Isomap(n_neighbors=60, metric="precomputed"),
    ).fit_transform(X)
    assert embedded.shape == (len(X), 2) and np.isfinite(embedded).all()
    labels = (
        make_pipeline(ExactNeighbors(n_neighbors=6, metric=metric), DBSCAN(eps=0.5, metric="precomputed"))
        .fit(X)
        .steps[-1][1]
        .labels_
    )
    assert labels.shape == (len(X),)


@pytest.mark.parametrize(
    "call", ["fit", "kneighbors", "kneighbors_graph", "transform", "radius_neighbors", "radius_neighbors_graph"]
)
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_input_is_refused_as_scikit_learn_refuses_it(call, bad):
    X = np.random.default_rng(7).normal(size=(20, 3))
    Z = X.copy()
    Z[4, 1] = bad
    with pytest.raises(ValueError) as theirs:
        NearestNeighbors(n_neighbors=3).fit(Z)
    est = ExactNeighbors(n_neighbors=3)
    with pytest.raises(ValueError) as ours:
        est.fit(Z) if call == "fit" else getattr(est.fit(X), call)(Z)
    assert str(ours.value).splitlines()[0] == str(theirs.value).splitlines()[0]


def test_pickle_rebuilds_the_index():
    X = np.random.default_rng(3).normal(size=(50, 3))
    est = ExactNeighbors(n_neighbors=3, metric="cosine").fit(X)
    again = pickle.loads(pickle.dumps(est))
    assert [a.tolist() for a in again.kneighbors(X[:5])] == [a.tolist() for a in est.kneighbors(X[:5])]


@pytest.mark.parametrize(
    "params, call, message",
    [
        ({"metric": "l2"}, "fit", "unknown metric 'l2'"),
        ({"mode": "dist"}, "fit", "mode must be"),
        ({"n_neighbors": 0}, "fit", "n_neighbors must be a positive int"),
        ({"n_neighbors": 10}, "kneighbors", "n_neighbors <= n_samples_fit"),
    ],
)
def test_bad_parameters(params, call, message):
    est = ExactNeighbors(**params)
    X = np.zeros((10, 2))
    with pytest.raises(ValueError, match=message):
        est.fit(X) if call == "fit" else est.fit(X).kneighbors()


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_every_n_jobs_gives_the_same_bits(metric):
    from joblib import parallel_config

    X = np.vstack([tied_data(), np.c_[plane_with_zeros(), np.zeros(12)], near_duplicates(60)[:, :3]])
    Q = np.random.default_rng(9).normal(size=(37, 3))
    want = ExactNeighbors(n_neighbors=6, metric=metric).fit(X)
    got = [want.kneighbors(), want.kneighbors(Q)]
    for n_jobs in (1, 2, 3, -1, -2):
        est = ExactNeighbors(n_neighbors=6, metric=metric, n_jobs=n_jobs).fit(X)
        for (d, i), (wd, wi) in zip([est.kneighbors(), est.kneighbors(Q)], got, strict=True):
            assert d.tobytes() == wd.tobytes() and i.tobytes() == wi.tobytes()
    with parallel_config(n_jobs=2):
        d, i = want.kneighbors(Q)
    assert d.tobytes() == got[1][0].tobytes() and i.tobytes() == got[1][1].tobytes()


@pytest.mark.parametrize("n_jobs", [0, 1.5, True, "2"])
def test_n_jobs_must_be_none_or_a_non_zero_int(n_jobs):
    with pytest.raises(ValueError, match="n_jobs must be None or a non-zero int"):
        ExactNeighbors(n_jobs=n_jobs).fit(np.eye(3))
