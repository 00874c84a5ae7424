"""qorv.dask on a two-worker local cluster of processes (which also proves
that everything shipped to the workers pickles): the tall fit gives the
in-memory answer, the exact spread is the core's, and many fits return every
group's model or error whatever the batching."""
import subprocess
import sys

import numpy as np
import pytest

import qorv
import _qorv_native
import qorv_core

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
qd = pytest.importorskip("qorv.dask")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as c:
        yield c


def _data(n=6000, seed=7):
    rng = np.random.default_rng(seed)
    X = np.column_stack([rng.uniform(1950, 2020, n), rng.uniform(-3, 5, n)])
    y = 300 + 0.02 * (X[:, 0] - 1980) ** 2 - 4 * X[:, 1] + X[:, 1] ** 3 / 5 \
        + rng.standard_t(3, n)
    w = rng.integers(0, 4, n).astype(float)  # zero weights drop rows
    return X, y, w


@pytest.mark.parametrize("params", [
    dict(criterion="cv"), dict(criterion="mdl", max_degree=5), dict(criterion="bic"),
    dict(criterion="gcv", weights=True), dict(degree=4, penalty="curvature", weights=True),
    dict(basis="tensor", degree=[3, 2], penalty=["gradient", "curvature"], gamma=1e-4),
    dict(degree=2, domain=[(1900, 2100), (-10, 10)]),
    dict(solver="robust", max_degree=3, weights=True),
], ids=str)
@pytest.mark.filterwarnings("ignore::qorv.EdgeWarning")  # max_degree=3 is chosen
def test_tall_fit_is_the_in_memory_fit(client, params):
    X, y, w = _data()
    params = dict(params)
    weights = w if params.pop("weights", False) else None
    mem = qorv.PolynomialRegressor(**params).fit(X, y, sample_weight=weights)
    Xd, yd = da.from_array(X, chunks=(700, 1)), da.from_array(y, chunks=900)
    wd = None if weights is None else da.from_array(weights, chunks=500)
    dist = qd.fit(Xd, yd, wd, client=client, **params)
    assert np.array_equal(dist.degree_, mem.degree_)
    # the same folds, row by row, whatever the chunks
    if mem.criterion_scores_ is not None:
        np.testing.assert_allclose(dist.criterion_scores_, mem.criterion_scores_, rtol=1e-9)
    assert dist.gamma_ == pytest.approx(mem.gamma_, rel=1e-12)  # a grid point of the same grid
    np.testing.assert_array_equal(dist.powers_, mem.powers_)
    np.testing.assert_allclose(dist.predict(Xd).compute(), mem.predict(X), rtol=1e-10)
    assert dist.mdl_score_ == pytest.approx(mem.mdl_score_, rel=1e-12)
    assert dist.rank_ == mem.rank_
    np.testing.assert_allclose(dist.coef_se_, mem.coef_se_, rtol=1e-8)
    assert dist.sigma_ == pytest.approx(mem.sigma_, rel=1e-10)
    if mem.scale_ is not None:  # the same start, the same rows set aside
        assert dist.scale_ == pytest.approx(mem.scale_, rel=1e-12)
        np.testing.assert_array_equal(dist.inlier_mask_.compute(), mem.inlier_mask_)


def test_tall_fit_refuses_what_it_cannot_do(client):
    X, y, _ = _data(100)
    with pytest.raises(ValueError, match="solver"):
        qd.fit(X, y, client=client, solver="search")
    y[5] = np.nan
    with pytest.raises(ValueError, match="NaN"):
        qd.fit(X, y, client=client, degree=2)


@pytest.mark.parametrize("v", [
    np.r_[np.zeros(150_000), 1.0, 2.0],                       # one value repeated
    np.r_[np.zeros(60_000), np.ones(60_000)],                 # the middle pair apart
    np.random.default_rng(1).standard_cauchy(120_001),        # heavy tails, odd n
    np.round(np.random.default_rng(2).normal(size=110_000), 2),  # many ties, even n
], ids=["repeated", "split", "cauchy", "ties"])
def test_exact_spread_is_the_cores(client, v, monkeypatch):
    monkeypatch.setattr(qd, "_SELECT_GATHER", 1000)  # make it narrow by histograms
    assert qd._mad(client, da.from_array(v, chunks=20_000)) == qorv_core.mad(v)


def test_description_length_from_hits_is_the_cores():
    rng = np.random.default_rng(3)
    for n, k, H in [(7, 3, 20), (1000, 11, 5), (50, 0, 1)]:
        yp, yt = rng.normal(size=n), rng.normal(size=n)
        eps = 0.4 * qorv_core.mad(yt)
        hits = int(np.count_nonzero(np.abs(yp - yt) < eps))
        assert _qorv_native.mdl_from_hits(hits, n, k, H) == qorv_core.mdl_score(yp, yt, k, H)


@pytest.mark.filterwarnings("ignore::qorv.SearchWarning")  # smooth data: LS is as good
def test_many_fits_return_every_group_whatever_the_batching(client):
    rng = np.random.default_rng(4)
    groups = {}
    for g in range(12):
        x = rng.uniform(-1, 1, 40 + g)
        groups[("sensor", g)] = (x[:, None], 1 + g * x - x ** 2 + 0.01 * rng.normal(size=x.size))
    groups["short"] = (np.ones((1, 1)), np.ones(1))
    groups["nan"] = (np.array([[0.0], [1.0], [np.nan]]), np.ones(3))
    params = dict(degree=2, solver="search", random_state=5,
                  search_options={"n_chains": 4, "n_warmup": 20, "n_deep": 50})
    one_batch = qd.fit_many(groups, client=client, batch_rows=10**6, **params)
    per_group = qd.fit_many(groups, client=client.scheduler.address, batch_rows=1, **params)
    assert set(one_batch) == set(groups) == set(per_group)
    assert isinstance(one_batch["short"], ValueError) and isinstance(one_batch["nan"], ValueError)
    for key in groups:
        if key in ("short", "nan"):
            continue
        np.testing.assert_array_equal(one_batch[key].coef_, per_group[key].coef_)
        # the seed comes from random_state and the key, as a plain loop would derive it
        own = qorv.PolynomialRegressor(**{**params, "random_state": qd._group_seed(5, key)})
        np.testing.assert_array_equal(own.fit(*groups[key]).coef_, one_batch[key].coef_)


def test_one_bad_cell_fails_its_group_only(client):
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(6)
    x = rng.uniform(-1, 1, 90)
    y = (1 + 2 * x).astype(object)
    y[40] = "n/a"  # a text cell in group b, as a CSV reader leaves it: a text column
    df = pd.DataFrame({"g": np.repeat(["a", "b", "c"], 30), "x": x, "y": y})
    out = qd.fit_many(df, by="g", x="x", y="y", client=client, degree=1)
    assert set(out) == {"a", "b", "c"} and isinstance(out["b"], ValueError)
    for g in ("a", "c"):
        sel = (df.g == g).to_numpy()
        np.testing.assert_allclose(out[g].predict(x[sel, None]), 1 + 2 * x[sel], rtol=1e-12)


def test_fit_many_loses_no_group_with_a_missing_key(client):
    pd = pytest.importorskip("pandas")
    x = np.tile(np.linspace(-1, 1, 20), 3)
    # pandas counts None and NaN as one missing key: its rows are one group
    df = pd.DataFrame({"g": np.repeat(np.array(["a", None, np.nan], dtype=object), 20),
                       "x": x, "y": np.repeat([1.0, 2.0, 2.0], 20) + x})
    out = qd.fit_many(df, by="g", x="x", y="y", client=client, degree=1)
    at0 = sorted(float(m.predict(np.zeros((1, 1)))[0]) for m in out.values())
    assert len(out) == 2 and at0 == pytest.approx([1.0, 2.0])
    nan = float("nan")
    got = qd.fit_many({nan: (x[:, None], x), "b": (x[:, None], 2 * x)}, client=client,
                      degree=1)
    # the caller's own NaN finds its model
    assert float(got[nan].predict(np.ones((1, 1)))[0]) == pytest.approx(1.0)


def test_inputs_from_files_and_dataframes(client, tmp_path):
    X, y, _ = _data(3000)
    (tmp_path / "npy").mkdir()
    (tmp_path / "csv").mkdir()
    for i, part in enumerate(np.array_split(np.column_stack([X, y]), 3)):
        np.save(tmp_path / "npy" / f"part{i}.npy", part)
        np.savetxt(tmp_path / "csv" / f"part{i}.csv", part, delimiter=",", header="a,b,y",
                   comments="")
    mem = qorv.PolynomialRegressor(degree=3).fit(X, y).predict(X)
    # client=None: a local cluster of processes started and closed by the call
    for args, where in [((tmp_path / "npy" / "*.npy", [0, 1], 2), None),
                        ((tmp_path / "csv", ["a", "b"], "y"), client)]:
        Xd, yd = qd.from_files(*args)
        got = qd.fit(Xd, yd, client=where, degree=3).predict(X)
        np.testing.assert_allclose(got, mem, rtol=1e-10)


def test_files_of_integers_then_decimals_read_as_doubles(client, tmp_path):
    # The first file's integers must not fix the dtype of the rest.
    x = np.arange(40)
    for i, part in enumerate(np.array_split(np.c_[x, 3 * x - 2], 2)):
        np.save(tmp_path / f"p{i}.npy", part.astype(np.int64))
    (tmp_path / "c").mkdir()
    (tmp_path / "c" / "a.csv").write_text("x,y,note\n" + "".join(
        f"{v},{3 * v - 2},n{v}\n" for v in range(20)))
    (tmp_path / "c" / "b.csv").write_text("x,y,note\n" + "".join(
        f"{v + 0.5},{3 * v - 0.5},{v}\n" for v in range(20, 40)))
    for args in [(tmp_path / "*.npy", 0, 1), (tmp_path / "c", "x", "y")]:
        m = qd.fit(*qd.from_files(*args), client=client, degree=1)
        np.testing.assert_allclose(m.predict(np.array([[10.0]])), [28.0], rtol=1e-12)
    np.save(tmp_path / "p2.npy", np.array([["a", "b"]]))
    with pytest.raises(ValueError, match="p2.npy: expected a 2-D array of numbers"):
        qd.from_files(tmp_path / "*.npy", 0, 1)


def test_import_qorv_does_not_import_dask():
    code = "import sys, qorv; qorv.PolynomialRegressor(); sys.exit('dask' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code]).returncode == 0


@pytest.mark.parametrize("call, match", [
    (lambda p: qd.from_files(p / "nowhere" / "*.csv", "x", "y"), "no such file or folder"),
    (lambda p: qd.from_files(p / "c", "z", "y"), "a.csv: no column 'z'"),
    (lambda p: qd.fit_many({"a": (np.ones((3, 1)), np.ones(3))}, batch_rows=0),
     "batch_rows=0: must be"),
    (lambda p: qd.fit_many({"a": (np.ones((3, 1)), np.ones(3))}, batch_rows="9"),
     "batch_rows='9'"),
])
def test_bad_dask_inputs_are_clear_errors(tmp_path, call, match):
    (tmp_path / "c").mkdir()
    (tmp_path / "c" / "a.csv").write_text("x,y\n1,2\n")
    (tmp_path / "c" / "sub.csv").mkdir()  # a folder named like a file is skipped
    with pytest.raises(ValueError, match=match):
        call(tmp_path)


def test_predict_on_a_dask_dataframe_stays_lazy(client):
    pd = pytest.importorskip("pandas")
    import dask.dataframe as dd
    x = np.linspace(0, 1, 100)
    m = qd.fit(x[:, None], 2 * x + 1, degree=1, client=client)
    got = m.predict(dd.from_pandas(pd.DataFrame({"x": x}), npartitions=3))
    assert isinstance(got, da.Array) and got.numblocks == (3,)
    np.testing.assert_allclose(got.compute(), 2 * x + 1, rtol=1e-12)


def test_a_cluster_without_workers_fails_after_a_bounded_wait(monkeypatch):
    from distributed import Client, LocalCluster
    monkeypatch.setattr(qd, "WORKER_WAIT_S", 0.5)
    with LocalCluster(n_workers=0, processes=False) as cluster, Client(cluster) as c:
        with pytest.raises(ValueError, match="has no workers after 0.5 s"):
            qd.fit(np.ones((10, 1)), np.ones(10), degree=1, client=c)
