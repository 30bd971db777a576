"""ExactNeighbors.radius_neighbors and radius_neighbors_graph: the plain
definitions at and one double inside every boundary, and scikit-learn's
conventions."""

from __future__ import annotations

import math
import pickle

import numpy as np
import pytest

pytest.importorskip("sklearn")
from sklearn.neighbors import NearestNeighbors  # noqa: E402

from orbisk_companion.estimator import ExactNeighbors  # noqa: E402

from plain import same  # noqa: E402
from test_estimator import near_duplicates, plain_neighbours, plane_with_zeros, tied_data  # noqa: E402


def plain_within(metric, X, q, radius, leave_out=None):
    """(distances, indices) of every row at a plain distance of at most
    `radius`, in kneighbors' order."""
    dist, ind = plain_neighbours(metric, X, q, len(X), leave_out)
    return [d for d in dist if d <= radius], [i for d, i in zip(dist, ind, strict=True) if d <= radius]


def assert_plain(metric, X, Q, radius, dist, ind, own=False):
    assert dist.dtype == object and ind.dtype == object and dist.shape == ind.shape == (len(Q),)
    for i, q in enumerate(Q):
        want_d, want_i = plain_within(metric, X, q, radius, leave_out=i if own else None)
        assert ind[i].dtype == np.intp and dist[i].dtype == np.float64
        assert ind[i].tolist() == want_i, (i, radius)
        assert all(map(same, dist[i].tolist(), want_d))


def extreme_rows(dim):
    """Rows whose norm underflows to 0 or overflows: their cosines are
    NaN, infinite or 0 against ordinary rows and each other."""
    rows = np.zeros((4, dim))
    rows[0, 0] = 1e-170  # norm 0, cosine +-inf with ordinary rows
    rows[1, :2] = [-1e-170, 1e-170]
    rows[2, :2] = [1e200, 1e200]  # norm inf: cosine 0 with ordinary rows, NaN with itself
    rows[3, :2] = [-1e200, 3e199]
    return rows


def queries(X):
    rng = np.random.default_rng(1)
    return np.vstack(
        [
            X[:10] + rng.integers(-1, 2, size=(10, X.shape[1])),
            X[:5],
            np.zeros((1, X.shape[1])),
            extreme_rows(X.shape[1]),
        ]
    )


DATA = {
    "normal": np.random.default_rng(0).normal(size=(60, 5)),
    "ties": tied_data(),
    "near-duplicates": near_duplicates(60),
    "plane-with-zeros": plane_with_zeros(),
    "extreme": np.vstack([np.random.default_rng(2).normal(size=(30, 3)), extreme_rows(3), np.zeros((2, 3))]),
}


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
@pytest.mark.parametrize("name", DATA)
@pytest.mark.parametrize("radius", [0.0, 0.4, math.nextafter(1.0, 0.0), 1.0, 1.7, 2.0, math.inf])
def test_within_the_radius_equals_the_plain_definition(metric, name, radius):
    X = DATA[name]
    est = ExactNeighbors(metric=metric, radius=radius).fit(X)
    Q = queries(X)
    assert_plain(metric, X, Q, radius, *est.radius_neighbors(Q))
    assert_plain(metric, X, X, radius, *est.radius_neighbors(), own=True)


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_a_radius_at_a_reported_distance_takes_the_row_and_one_double_less_does_not(metric):
    X = DATA["extreme"] if metric == "cosine" else near_duplicates(60)
    est = ExactNeighbors(metric=metric).fit(X)
    Q = queries(X)[::3]
    dist, _ = est.kneighbors(Q, n_neighbors=len(X))
    for q, row in zip(Q, dist, strict=True):
        for d in np.unique(row)[::4].tolist():
            for radius in (d, math.nextafter(d, -math.inf)):
                got_d, got_i = est.radius_neighbors(q[None], radius=radius)
                assert_plain(metric, X, q[None], radius, got_d, got_i)
                assert (d in got_d[0].tolist()) == (radius == d)


def unit_rows(cosines):
    """2-D rows whose norm is exactly 1 as summed, so that their cosine with
    [1, 0] is the given double itself."""
    rows = []
    for a in cosines:
        root = math.sqrt(1.0 - a * a)
        for b in (
            root,
            *(math.nextafter(root, s * math.inf) for s in (1, -1)),
            *(math.nextafter(math.nextafter(root, s * math.inf), s * math.inf) for s in (1, -1)),
        ):
            if 0.0 + a * a + b * b == 1.0:
                rows.append([a, b])
                break
    return np.array(rows)


def steps(x, n):
    """x and the n doubles on each side of it."""
    out, up, down = [x], x, x
    for _ in range(n):
        up, down = math.nextafter(up, math.inf), math.nextafter(down, -math.inf)
        out += [up, down]
    return out


@pytest.mark.parametrize(
    "radius, cosines",
    [
        (0.3, steps(0.7, 6)),
        (1e-12, steps(1.0 - 1e-12, 6)),
        (0.0, [1.0 - k * 2.0**-53 for k in range(6)]),
        (1.0, steps(-(2.0**-53), 3) + steps(-(2.0**-52), 2) + steps(2.0**-54, 2) + [0.0, -(2.0**-60)]),
        (math.nextafter(1.0, 0.0), steps(2.0**-54, 3) + steps(2.0**-53, 2) + [0.0, 2.0**-60]),
        (1.5, steps(-0.5, 6)),
        (math.nextafter(2.0, 0.0), [-1.0 + k * 2.0**-53 for k in range(8)]),
    ],
)
def test_cosines_whose_distance_rounds_onto_the_radius(radius, cosines):
    X = unit_rows(sorted(set(cosines)))
    assert len(X) > 0.8 * len(set(cosines))
    est = ExactNeighbors(metric="cosine", radius=radius).fit(X)
    q = np.array([[1.0, 0.0]])
    dist, ind = est.radius_neighbors(q)
    assert_plain("cosine", X, q, radius, dist, ind)
    # The rows reach one double on each side of the boundary.
    inside = X[ind[0], 0]
    outside = np.delete(X[:, 0], ind[0])
    assert len(outside) and math.nextafter(inside.min(), -math.inf) == outside.max()


@pytest.mark.parametrize("radius", [0.5, math.nextafter(1.0, 0.0), 1.0, 1.5])
def test_zero_rows_and_queries_are_at_cosine_distance_one(radius):
    X = plane_with_zeros()
    zeros = np.flatnonzero(~X.any(axis=1))
    est = ExactNeighbors(metric="cosine", radius=radius).fit(X)
    dist, ind = est.radius_neighbors(np.vstack([np.zeros((1, 2)), X[:2]]))
    if radius < 1.0:
        assert len(ind[0]) == 0 and not np.isin(zeros, ind[1]).any()
    else:
        assert ind[0].tolist() == list(range(len(X))) and (dist[0] == 1.0).all()
        assert np.isin(zeros, ind[1]).all() and (dist[1][np.isin(ind[1], zeros)] == 1.0).all()
    _, own = est.radius_neighbors()  # a zero sample, its own neighbour at 1, is left out
    assert all((z not in own[z].tolist()) and (len(own[z]) == (len(X) - 1 if radius >= 1.0 else 0)) for z in zeros)


def test_each_sample_is_left_out_but_its_duplicates_stay():
    X = tied_data()  # every row three times
    for metric, radius in (("euclidean", 0.0), ("cosine", 1e-12)):
        ind = ExactNeighbors(metric=metric, radius=radius).fit(X).radius_neighbors(return_distance=False)
        for i in range(len(X)):
            twins = {j for j in range(len(X)) if j != i and (X[j] == X[i]).all()}
            if metric == "cosine" and not X[i].any():
                twins = set()  # a zero row is at distance 1 from everything
            assert twins <= set(ind[i].tolist()) and i not in ind[i].tolist()


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_sort_results_and_return_distance(metric):
    X = near_duplicates(60)
    est = ExactNeighbors(metric=metric, radius=1.2).fit(X)
    d, i = est.radius_neighbors(X[:9], sort_results=True)
    d2, i2 = est.radius_neighbors(X[:9])
    ind = est.radius_neighbors(X[:9], return_distance=False)
    assert all(a.tolist() == b.tolist() == c.tolist() for a, b, c in zip(i, i2, ind, strict=True))
    assert all(a.tobytes() == b.tobytes() and (np.diff(a) >= 0).all() for a, b in zip(d, d2, strict=True))
    with pytest.raises(ValueError, match="return_distance must be True if sort_results is True."):
        est.radius_neighbors(X[:9], return_distance=False, sort_results=True)


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
@pytest.mark.parametrize("own", [False, True])
def test_graph_modes(metric, own):
    X = near_duplicates(60)
    est = ExactNeighbors(metric=metric, radius=1.1).fit(X)
    Q = None if own else queries(X)
    dist, ind = est.radius_neighbors(Q)
    for mode in ("connectivity", "distance"):
        g = est.radius_neighbors_graph(Q, mode=mode, sort_results=mode == "distance")
        assert g.format == "csr" and g.shape == (len(ind), len(X)) and g.dtype == np.float64
        for r in range(len(ind)):
            row = g.getrow(r)
            assert row.indices.tolist() == ind[r].tolist()
            assert row.data.tobytes() == (dist[r] if mode == "distance" else np.ones(len(ind[r]))).tobytes()
    assert est.radius_neighbors_graph(Q, radius=0.5).nnz == sum(map(len, est.radius_neighbors(Q, 0.5)[1]))
    with pytest.raises(ValueError, match="mode must be"):
        est.radius_neighbors_graph(Q, mode="distances")


def separated(metric):
    """Queries and rows with no distance within 1e-6 of the radius."""
    rng = np.random.default_rng(11)
    X, Q = rng.normal(size=(150, 6)), rng.normal(size=(40, 6))
    radius = 3.0 if metric == "euclidean" else 0.6
    for A in (Q, X):
        d = NearestNeighbors(metric=metric, algorithm="brute").fit(X).kneighbors(A, len(X))[0]
        assert not (np.abs(d - radius) < 1e-6).any()
    return X, Q, radius


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_same_neighbours_as_scikit_learn_on_separated_data(metric):
    X, Q, radius = separated(metric)
    ours = ExactNeighbors(metric=metric, radius=radius).fit(X)
    theirs = NearestNeighbors(metric=metric, radius=radius, algorithm="brute").fit(X)
    for A in (Q, None):
        (d, i), (sd, si) = ours.radius_neighbors(A), theirs.radius_neighbors(A, sort_results=True)
        assert sum(map(len, i)) > len(i)
        assert all(a.tolist() == b.tolist() for a, b in zip(i, si, strict=True))
        assert all(np.allclose(a, b, rtol=1e-12, atol=1e-14) for a, b in zip(d, sd, strict=True))
        for mode in ("connectivity", "distance"):
            g, sg = ours.radius_neighbors_graph(A, mode=mode), theirs.radius_neighbors_graph(A, mode=mode)
            assert type(g) is type(sg) and np.allclose(g.toarray(), sg.toarray(), rtol=1e-12, atol=1e-14)


def test_radius_parameters():
    X = np.random.default_rng(3).normal(size=(20, 3))
    for bad in (-0.5, math.nan, "1", True, None):
        with pytest.raises(ValueError, match="radius must be a number >= 0"):
            ExactNeighbors(radius=bad).fit(X)
    est = ExactNeighbors(radius=0.5).fit(X)
    with pytest.raises(ValueError, match="radius must be a number"):
        est.radius_neighbors(X, radius="1")
    for nothing in (-1.0, math.nan):  # as scikit-learn: nothing is that near
        d, i = est.radius_neighbors(X[:3], radius=nothing)
        assert [len(a) for a in i] == [0, 0, 0] and i[0].dtype == np.intp and d[0].dtype == np.float64
    assert est.radius_neighbors_graph(X[:3], radius=-1.0).shape == (3, 20)
    assert all(len(a) == 20 for a in est.radius_neighbors(X[:3], radius=np.float32(100))[1])


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_every_n_jobs_and_a_pickle_give_the_same_bits(metric):
    X = DATA["extreme"]
    Q = queries(X)
    want = ExactNeighbors(metric=metric, radius=1.0).fit(X)
    wd, wi = want.radius_neighbors(Q)
    for est in [ExactNeighbors(metric=metric, radius=1.0, n_jobs=n).fit(X) for n in (2, 3, -1)] + [
        pickle.loads(pickle.dumps(want))
    ]:
        d, i = est.radius_neighbors(Q)
        assert all(a.tobytes() == b.tobytes() for a, b in zip([*d, *i], [*wd, *wi], strict=True))
