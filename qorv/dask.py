"""Fits beyond one machine, on Dask.

Two ways of outgrowing one machine are covered:

* :class:`PolynomialRegressor` (and the shortcut :func:`fit`) fits one model
  to data too tall to hold, given as ``dask.array`` columns chunked by rows.
  Every chunk builds its mapped design and reduces it to small per-fold
  factors; the factors are combined in a tree on the workers and only the
  final small system reaches the caller, where the in-memory fit's own steps
  choose and solve from it. Its ``predict`` takes dask arrays too.
* :func:`fit_many` fits one model per group (per sensor, per region, ...),
  many groups to a task, and returns every group's model or its error.

Both run on a ``distributed`` cluster: the one whose :class:`~distributed.Client`
(or scheduler address) is passed as ``client``, or, with ``client=None``, a
:class:`~distributed.LocalCluster` of one single-threaded worker process per
core, started for the call and closed after it.

This module needs the ``dask`` extra (``python3 -m pip install '.[dask]'``
from a checkout); ``import qorv`` does not import it.
"""
from __future__ import annotations

import contextlib
import hashlib
import os
from dataclasses import replace
from typing import Any, Callable, Hashable, Iterator, Mapping, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

import dask
import dask.array as da
from dask.delayed import delayed
from distributed import Client, LocalCluster

from . import _basis, _estimator, _inference, _pipeline, _stats
from ._stats import Basis, Factor, Summary

__all__ = ["PolynomialRegressor", "fit", "fit_many", "from_dataframe", "from_files"]

Array = npt.NDArray[np.float64]
ClientLike = Union[None, str, Client]

# Values a selection pass gathers to one place at most; the narrowing passes
# before it shrink the candidate range until the order statistic's bin holds
# no more than this.
_SELECT_GATHER = 1 << 20
_HIST_BINS = 4096
# Inputs combined per node of a reduction tree.
_FAN_IN = 8
# Batches of fit_many: enough per worker to balance the load, none so large
# that one task holds a worker for long.
_BATCHES_PER_WORKER = 8
_BATCH_ROWS = 200_000


# --------------------------------------------------------------- clusters
# A cluster without workers would leave every computation waiting forever.
WORKER_WAIT_S = 30.0


def _have_workers(c: Client) -> None:
    try:
        c.wait_for_workers(1, timeout=WORKER_WAIT_S)
    except TimeoutError:
        where = getattr(c.scheduler, "address", "?")
        raise ValueError(f"client: the cluster at {where} has no workers after "
                         f"{WORKER_WAIT_S:g} s") from None


@contextlib.contextmanager
def _cluster(client: ClientLike) -> Iterator[Client]:
    """The client to compute with: the one given, one connected to the given
    scheduler address, or a local cluster of processes made for the call."""
    if isinstance(client, Client):
        _have_workers(client)
        yield client
        return
    if isinstance(client, str):
        with Client(client, timeout=WORKER_WAIT_S) as c:
            _have_workers(c)
            yield c
        return
    if client is not None:
        raise TypeError(f"client must be None, a scheduler address or a "
                        f"distributed.Client, not {type(client).__name__}")
    with _local_cluster() as cluster, Client(cluster) as c:
        yield c


# Dask starts its workers with MALLOC_TRIM_THRESHOLD_ set, which also turns
# off glibc's adaptive mmap threshold: every large array is then a fresh
# mapping whose pages fault in again, and small fits ran at half their speed
# (measured). Workers made for one call do not live long enough to need the
# trimming, so they keep glibc's defaults; nor does anyone read their
# statistical profile, which samples every task's stack a hundred times a
# second.
_WORKER_ENV = {"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None,
               "distributed.worker.profile.enabled": False}


def _local_cluster(n_workers: Optional[int] = None) -> LocalCluster:
    """The cluster ``client=None`` starts: one single-threaded worker process
    per core (or `n_workers`), with glibc's default memory allocation."""
    with dask.config.set(_WORKER_ENV):
        return LocalCluster(n_workers=n_workers or os.cpu_count() or 1, threads_per_worker=1,
                            processes=True, dashboard_address=":0")


# ---------------------------------------------------------- tree reduction
def _tree_reduce(parts: Sequence[Any], combine: Callable[[Sequence[Any]], Any]) -> Any:
    """Combines delayed partial results in a tree of fan-in 8 on the workers,
    in part order (so the result does not depend on scheduling), and returns
    the delayed root."""
    level = list(parts)
    if not level:
        raise ValueError("nothing to reduce: the input has no chunks")
    node = delayed(combine, pure=True)
    while len(level) > 1:
        level = [node(level[i:i + _FAN_IN]) for i in range(0, len(level), _FAN_IN)]
    return level[0] if len(parts) > 1 else node(level)


# ---------------------------------------------------- exact order statistics
def _bin_counts(v: Array, edges: Array) -> npt.NDArray[np.int64]:
    # Bin j holds edges[j] <= v < edges[j + 1]; values outside count nowhere.
    idx = np.searchsorted(edges, v, side="right") - 1
    ok = (idx >= 0) & (idx < len(edges) - 1)
    return np.bincount(idx[ok], minlength=len(edges) - 1).astype(np.int64)


def _histogram(client: Client, v: da.Array, edges: Array) -> Array:
    per_block = da.map_blocks(_bin_counts, v, edges, dtype=np.int64,
                              chunks=((_HIST_BINS,) * v.numblocks[0],))
    return np.asarray(client.compute(
        per_block.reshape(v.numblocks[0], _HIST_BINS).sum(axis=0), sync=True))


def _hist_edges(lo: float, hi: float) -> Array:
    """The bin edges of one narrowing pass over [lo, hi]."""
    edges = np.linspace(lo, hi, _HIST_BINS + 1)
    edges[-1] = np.nextafter(hi, np.inf)  # hi itself lies in the last bin
    return edges


def _order_statistics(client: Client, v: da.Array, ks: Sequence[int], lo: float,
                     hi: float, counts: Optional[Array] = None) -> list[float]:
    """The ks-th smallest values (0-based, ascending, close together) of the
    1-D dask array v, whose values lie in [lo, hi], exactly.

    A histogram pass narrows [lo, hi] to the bins that hold the wanted
    values; once they hold few values, one selection among them gives the
    answer. A crowded bin is first shrunk to the least and greatest value in
    it, so that a value repeated many times ends the narrowing at once.
    v must hold no NaN. counts: the first pass's histogram over
    _hist_edges(lo, hi), when another pass has already counted it.
    """
    ks = list(ks)
    while True:
        if lo == hi:
            return [lo] * len(ks)
        edges = _hist_edges(lo, hi)
        here = _histogram(client, v, edges) if counts is None else counts
        counts = None
        cum = np.cumsum(here)
        j0, j1 = (int(np.searchsorted(cum, k, side="right")) for k in (ks[0], ks[-1]))
        if j0 != j1:
            # In different bins: each on its own, so that every round narrows
            # (a range of two crowded values would otherwise never shrink).
            return [_order_statistics(client, v, [k], lo, hi, here)[0] for k in ks]
        below = int(cum[j0 - 1]) if j0 > 0 else 0
        n_in = int(cum[j1]) - below
        ks = [k - below for k in ks]
        lo, hi = float(edges[j0]), float(np.nextafter(edges[j1 + 1], -np.inf))
        inside = (v >= lo) & (v <= hi)
        if n_in <= _SELECT_GATHER:
            vals = np.partition(client.compute(v[inside], sync=True), ks)
            return [float(vals[k]) for k in ks]
        lo, hi = (float(t) for t in client.compute(
            [da.where(inside, v, np.inf).min(), da.where(inside, v, -np.inf).max()],
            sync=True))


def _median(client: Client, v: da.Array, n: int, lo: float, hi: float,
           counts: Optional[Array] = None) -> float:
    """The median as the core computes it (the middle value, or half the sum
    of the two middle values; 0.0 for no values) of the n values of v, which
    lie in [lo, hi]."""
    if n == 0:
        return 0.0
    if n % 2:
        return _order_statistics(client, v, [n // 2], lo, hi, counts)[0]
    b, a = _order_statistics(client, v, [n // 2 - 1, n // 2], lo, hi, counts)
    return 0.5 * (a + b)


def _mad(client: Client, v: da.Array, n: Optional[int] = None,
        lo: Optional[float] = None, hi: Optional[float] = None,
        counts: Optional[Array] = None) -> float:
    """Median absolute deviation about the median, the core's ``mad``, of the
    n values of v in [lo, hi] (measured here when not given); counts: v's
    histogram over _hist_edges(lo, hi), if already counted."""
    if n is None or lo is None or hi is None:
        n_, lo_, hi_ = client.compute([v.size, v.min(), v.max()], sync=True)
        n, lo, hi = int(n_), float(lo_), float(hi_)
    m = _median(client, v, n, lo, hi, counts)
    return _median(client, abs(v - m), n, 0.0, max(abs(hi - m), abs(lo - m)))


# ---------------------------------------------------------- seeds for groups
def _group_seed(random_state: Optional[int], key: Hashable) -> int:
    """A seed for one group from the call's random_state and the group key,
    the same on every worker and in every process (not Python's salted
    hash), so results do not depend on scheduling."""
    digest = hashlib.sha256(repr((random_state, key)).encode()).digest()
    return int.from_bytes(digest[:4], "little") & 0x7FFFFFFF


# ------------------------------------------------------------- tall data
def _blocks(X: Any, y: Any, sample_weight: Any) -> tuple[da.Array, da.Array, da.Array]:
    """X (n, D), y (n,) and the weights (n,) as dask arrays with the same row
    chunks and X's columns in one chunk. NumPy inputs are chunked here."""
    Xd = X if isinstance(X, da.Array) else da.from_array(np.asarray(X))
    if Xd.ndim == 1:
        Xd = Xd[:, None]
    if Xd.ndim != 2:
        raise ValueError(f"X must have 2 dimensions (rows, variables), got {Xd.ndim}")
    Xd = Xd.rechunk({1: -1}).astype(np.float64)
    rows = Xd.chunks[0]
    if any(np.isnan(c) for c in rows):
        raise ValueError("X has chunks of unknown size; call X.compute_chunk_sizes() first")
    yd = y if isinstance(y, da.Array) else da.from_array(np.asarray(y))
    if yd.ndim == 2 and yd.shape[1] == 1:
        yd = yd[:, 0]
    if yd.ndim != 1 or yd.shape[0] != Xd.shape[0]:
        raise ValueError(f"y must have one entry per row of X ({Xd.shape[0]}), "
                         f"got shape {yd.shape}")
    yd = yd.rechunk((rows,)).astype(np.float64)
    if sample_weight is None:
        wd = da.ones(Xd.shape[0], chunks=(rows,))
    else:
        wd = sample_weight if isinstance(sample_weight, da.Array) else \
            da.from_array(np.asarray(sample_weight))
        if wd.shape != (Xd.shape[0],):
            raise ValueError(f"sample_weight must have one entry per row of X "
                             f"({Xd.shape[0]}), got shape {wd.shape}")
        wd = wd.rechunk((rows,)).astype(np.float64)
    return Xd, yd, wd


def _starts(rows: Sequence[int]) -> list[int]:
    return [int(s) for s in np.cumsum((0,) + tuple(rows[:-1]))]


def _per_chunk(fn: Callable[..., Any], X: da.Array, y: da.Array, w: da.Array,
               *args: Any) -> list[Any]:
    """fn(X block, y block, w block, first row, *args) for every row chunk,
    as delayed values in row order."""
    call = delayed(fn, pure=True)
    xs, ys, ws = X.to_delayed()[:, 0], y.to_delayed(), w.to_delayed()
    return [call(xb, yb, wb, s, *args)
            for xb, yb, wb, s in zip(xs, ys, ws, _starts(X.chunks[0]))]


# ------------------------------------------------------------- many fits
def _fit_batch(items: Sequence[tuple[Hashable, Any, Any, Any]], params: Mapping[str, Any],
               base_seed: int) -> list[Any]:
    """Fits every group of one batch, in order; a group that fails yields
    its error instead of a model, and never stops the others."""
    out: list[Any] = []
    for key, X, y, w in items:
        try:
            est = _estimator.PolynomialRegressor(
                **{**params, "random_state": _group_seed(base_seed, key)})
            out.append(est.fit(X, y, sample_weight=w))
        except Exception as exc:  # the group's own failure, reported as its result
            out.append(exc)
    return out


def _groups_of(groups: Any, by: Any, x: Any, y: Any, weight: Any
               ) -> Iterator[tuple[Hashable, Any, Any, Any]]:
    if isinstance(groups, Mapping):
        for key, g in groups.items():
            if len(g) not in (2, 3):
                raise ValueError(f"group {key!r}: expected (X, y) or (X, y, sample_weight), "
                                 f"got {len(g)} items")
            yield key, g[0], g[1], g[2] if len(g) == 3 else None
        return
    if by is None or x is None or y is None:
        raise ValueError("for a dataframe, name the key column(s) `by`, the input "
                         "column(s) `x` and the target column `y`")
    cols = [x] if isinstance(x, str) else list(x)
    # dropna=False: a group whose key is None or NaN is a group too
    for key, g in groups.groupby(by, sort=False, dropna=False):
        # converted by each group's own fit, so that a bad cell fails its group only
        yield key, g[cols].to_numpy(), g[y].to_numpy(), \
            None if weight is None else g[weight].to_numpy()


def fit_many(groups: Any, *, by: Any = None, x: Any = None, y: Any = None,
             weight: Optional[str] = None, client: ClientLike = None,
             batch_rows: Optional[int] = None, **params: Any) -> dict[Hashable, Any]:
    """Fit one :class:`~qorv.PolynomialRegressor` per group, in parallel.

    Parameters
    ----------
    groups : mapping or pandas DataFrame
        A mapping from group key to ``(X, y)`` or ``(X, y, sample_weight)``,
        or a dataframe whose rows are grouped by the column(s) `by`.
    by, x, y, weight : str or list of str, optional
        For a dataframe: the key column(s), the input column(s), the target
        column and an optional weight column.
    client : None, str or distributed.Client
        Where to run: None starts a local cluster of processes for the call.
    batch_rows : int, optional
        Small groups are fitted together, one task per batch of about this
        many rows, so that scheduling does not dominate. By default about
        eight batches per worker, of at most 200,000 rows.
    **params
        Parameters of every group's PolynomialRegressor. The search solver's
        seed (and the folds of ``criterion="cv"``) of each group derive from
        ``random_state`` (default 0, as for the estimator) and the group
        key, so results do not depend on the scheduling or on the number of
        workers.

    Returns
    -------
    dict
        For every group key, its fitted model, or the exception its fit
        raised (too few rows, NaN, ...).
    """
    # fail before shipping anything
    _pipeline.check_params(_estimator.PolynomialRegressor(**params).get_params())
    if batch_rows is not None and not (_pipeline._is_int(batch_rows) and batch_rows >= 1):
        raise _pipeline.fail("batch_rows", batch_rows, "must be None or an int >= 1")
    base = _pipeline.fold_seed(params.pop("random_state", 0))  # the estimator's default
    items = list(_groups_of(groups, by, x, y, weight))
    if not items:
        return {}
    sizes = [len(it[2]) if hasattr(it[2], "__len__") else 1 for it in items]
    with _cluster(client) as c:
        if batch_rows is None:
            workers = max(1, len(c.scheduler_info().get("workers", {})))
            batch_rows = max(1, min(_BATCH_ROWS, sum(sizes) // (_BATCHES_PER_WORKER * workers)))
        batches: list[list[tuple[Hashable, Any, Any, Any]]] = [[]]
        rows = 0
        for item, n in zip(items, sizes):
            if batches[-1] and rows + n > batch_rows:
                batches.append([])
                rows = 0
            batches[-1].append(item)
            rows += n
        futures = [c.submit(_fit_batch, b, params, base, pure=False) for b in batches]
        # Keyed by the caller's own key objects (by position): a NaN key comes
        # back from a worker as another NaN, which no lookup would find.
        out: dict[Hashable, Any] = {}
        for batch, part in zip(batches, c.gather(futures)):
            out.update((item[0], result) for item, result in zip(batch, part))
    return out


def _chunk_summary(Xb: Array, yb: Array, wb: Array, start: int) -> Summary:
    return _stats.summary(Xb, yb, wb)


def _chunk_factors(Xb: Array, yb: Array, wb: Array, start: int, basis: Basis, n_folds: int,
                   seed: int, y_edges: Array) -> tuple[list[Factor], npt.NDArray[np.int64]]:
    """One chunk's per-fold factors, and the histogram of its targets over
    y_edges: the first pass of the exact median, counted while the chunk is
    at hand."""
    return (_stats.chunk_factors(Xb, yb, wb, start, basis, n_folds, seed),
            _bin_counts(yb[wb > 0], y_edges))


def _combine_factors(parts: Sequence[tuple[list[Factor], Any]]) -> tuple[list[Factor], Any]:
    return _stats.combine_folds([p[0] for p in parts]), np.sum([p[1] for p in parts], axis=0)


def _chunk_hits(Xb: Array, yb: Array, wb: Array, start: int, basis: Basis, B: Array,
                shift: float, eps: float) -> npt.NDArray[np.int64]:
    keep = wb > 0
    return _stats.hit_counts(basis.design(Xb[keep]), yb[keep], B, shift, eps)


def _add(parts: Sequence[Array]) -> Array:
    return np.sum(parts, axis=0)


def _chunk_sample(Xb: Array, yb: Array, wb: Array, start: int,
                  positions: Optional[npt.NDArray[np.intp]]) -> tuple[Array, Array, Array]:
    take = wb > 0
    if positions is not None:
        inside = positions[(positions >= start) & (positions < start + len(yb))] - start
        take = np.zeros(len(yb), bool)
        take[inside] = wb[inside] > 0
    return Xb[take], yb[take], wb[take]


def _concat(parts: Sequence[tuple[Array, Array, Array]]) -> tuple[Array, Array, Array]:
    X, y, w = zip(*parts)
    return np.concatenate(X), np.concatenate(y), np.concatenate(w)


def _chunk_residuals(Xb: Array, yb: Array, wb: Array, basis: Basis, beta: Array) -> Array:
    # zero-weight rows are masked out by the caller
    return _pipeline.standardised(yb[:, 0] - basis.design(Xb) @ beta, np.abs(wb[:, 0]))


def _chunk_bisquare(Xb: Array, yb: Array, wb: Array, start: int, basis: Basis, beta: Array,
                    scale: float, step: Array) -> tuple[Factor, float]:
    keep = wb > 0
    return _pipeline.bisquare_step(basis.design(Xb[keep]), yb[keep], wb[keep], beta, scale,
                                   step)


def _combine_bisquare(parts: Sequence[tuple[Factor, float]]) -> tuple[Factor, float]:
    return _stats.combine([p[0] for p in parts]), max(p[1] for p in parts)


def _chunk_psi(Xb: Array, yb: Array, wb: Array, start: int, basis: Basis, beta: Array,
               scale: float) -> _inference.PsiSums:
    keep = wb > 0
    return _pipeline.psi_sums(yb[keep] - basis.design(Xb[keep]) @ beta, wb[keep], scale)


def _add_psi(parts: Sequence[_inference.PsiSums]) -> _inference.PsiSums:
    return _inference.PsiSums(*(sum(getattr(p, f) for p in parts)
                                for f in ("psi2", "dpsi", "dpsi2", "rows")))


def _chunk_bisquare_weights(Xb: Array, yb: Array, wb: Array, basis: Basis, beta: Array,
                            scale: float, times_w: bool = True) -> Array:
    return _pipeline.bisquare_rows(Xb, yb[:, 0], wb[:, 0], basis, beta, scale,
                                   times_w)[:, None]


class _DaskSource:
    """The passes of a fit (qorv._pipeline.Source) over row chunks, each
    reduced in a tree on the workers."""

    def __init__(self, client: Client, X: da.Array, y: da.Array, w: da.Array) -> None:
        self._c, self._X, self._y, self._w = client, X, y, w
        self._kept = y[w > 0]
        self._y_counts: Optional[Array] = None

    def _reduce(self, fn: Callable[..., Any], combine: Callable[[Sequence[Any]], Any],
                *args: Any) -> Any:
        return self._c.compute(_tree_reduce(_per_chunk(fn, self._X, self._y, self._w, *args),
                                            combine), sync=True)

    def summary(self) -> Summary:
        info: Summary = self._reduce(_chunk_summary, _stats.merge_summaries)
        if not info.finite:
            raise ValueError("Input X or y contains NaN or infinity.")
        if not info.weights_ok:
            raise _pipeline.fail("sample_weight", "...", "weights must be finite and >= 0")
        if info.rows == 0:
            raise _pipeline.fail("sample_weight", "all zero",
                                 "at least one weight must be positive")
        if info.rows_all < 2:  # counted before zero weights drop rows, as in memory
            raise ValueError(f"Found array with {info.rows_all} sample(s) while a minimum "
                             "of 2 is required.")
        if not np.isfinite(info.y_hi - info.y_lo):
            raise ValueError(f"y spans [{info.y_lo:g}, {info.y_hi:g}], a range that "
                             "overflows a double; rescale it")
        self._info = info
        return info

    def factors(self, basis: Basis, n_folds: int, seed: int) -> list[Factor]:
        edges = _hist_edges(self._info.y_lo, self._info.y_hi)
        parts, self._y_counts = self._reduce(_chunk_factors, _combine_factors, basis,
                                             n_folds, seed, edges)
        return list(parts)

    def split_factors(self, basis: Basis) -> None:
        return None  # folds by row position only

    def hits(self, basis: Basis, B: Array, shift: float, eps: float) -> npt.NDArray[np.int64]:
        return np.asarray(self._reduce(_chunk_hits, _add, basis, B, shift, eps))

    def spread(self, shift: float) -> float:
        i = self._info
        return _mad(self._c, self._kept - shift if shift else self._kept, i.rows,
                    i.y_lo - shift, i.y_hi - shift, None if shift else self._y_counts)

    def rows(self, basis: Basis) -> tuple[Array, Array, Array]:
        raise ValueError("this fit needs every row in one process")

    def sample(self, basis: Basis, positions: Optional[npt.NDArray[np.intp]]
               ) -> tuple[Array, Array, Array]:
        X, y, w = self._reduce(_chunk_sample, _concat, positions)
        return basis.design(X), y, w

    def spread_of_residuals(self, basis: Basis, beta: Array) -> float:
        r = da.map_blocks(_chunk_residuals, self._X, self._y[:, None], self._w[:, None],
                          basis, beta, dtype=np.float64, drop_axis=1)
        keep = self._w > 0
        lo, hi = (float(v) for v in self._c.compute(
            [da.where(keep, r, np.inf).min(), da.where(keep, r, -np.inf).max()], sync=True))
        return _mad(self._c, r[keep], self._info.rows, lo, hi)

    def bisquare_factor(self, basis: Basis, beta: Array, scale: float,
                        step: Array) -> tuple[Factor, float]:
        f, moved = self._reduce(_chunk_bisquare, _combine_bisquare, basis, beta, scale, step)
        return f, float(moved)

    def scaled(self, factor: float) -> "_DaskSource":
        out = _DaskSource(self._c, self._X, self._y * factor, self._w)
        out._info = replace(self._info, y_lo=self._info.y_lo * factor,
                            y_hi=self._info.y_hi * factor)
        return out

    def psi_sums(self, basis: Basis, beta: Array, scale: float) -> _inference.PsiSums:
        out: _inference.PsiSums = self._reduce(_chunk_psi, _add_psi, basis, beta, scale)
        return out

    def bisquare_weighted(self, basis: Basis, beta: Array, scale: float) -> "_DaskSource":
        w = da.map_blocks(_chunk_bisquare_weights, self._X, self._y[:, None],
                          self._w[:, None], basis, beta, scale, dtype=np.float64,
                          chunks=(self._X.chunks[0], (1,)))[:, 0]
        out = _DaskSource(self._c, self._X, self._y, w)
        out._info = self._info
        return out


class PolynomialRegressor(_estimator.PolynomialRegressor):
    """:class:`qorv.PolynomialRegressor` for data chunked by rows.

    The same parameters and fitted attributes; `fit` takes dask arrays (or
    array-likes, chunked here) and a `client`, and gives the model the
    in-memory fit gives for the same data (the same chosen degree and
    penalty weight, predictions within 1e-10 relative, the same score),
    computed without ever holding more than a chunk of rows in one place.
    `predict` takes dask arrays (giving a dask array, chunk by chunk) as well
    as NumPy ones.

    ``solver="robust"`` starts from the search on a seeded sample of at
    most 2000 rows gathered from the chunks (every row when there are no
    more) and refines by one pass over the chunks a step; `robust_weights_`
    and `inlier_mask_` are dask arrays. ``solver="search"`` is refused: the
    search evaluates every row at every step and needs the data in one
    process (fit it in memory on a sample, or per group with
    :func:`fit_many`).

    Notes
    -----
    Passes over the data: one for finiteness, weights and the domain (the
    per-chunk minima and maxima), one in which every chunk reduces its
    mapped design to per-fold triangular factors of [A b] (combined by QR in
    a tree of fan-in 8 on the workers), a few histogram passes for the exact
    median absolute deviation of y, and one counting the hits of the final
    model (plus one for the candidates of ``criterion="mdl"``). The folds of
    "cv" are assigned by row position and seed, so they are the in-memory
    folds.
    """

    def fit(self, X: Any, y: Any, sample_weight: Any = None, groups: Any = None, *,
            client: ClientLike = None) -> "PolynomialRegressor":
        """Fit to row-chunked data.

        Parameters
        ----------
        X : dask array of shape (n_samples, n_features), or array-like
            Input variables, chunked by rows (any column chunks are merged).
        y : dask array of shape (n_samples,), or array-like
            Targets; rechunked to X's row chunks.
        sample_weight : dask array of shape (n_samples,), optional
            Non-negative weights, as for the in-memory fit.
        groups : None
            Not taken: the distributed fit's folds are by row position.
        client : None, str or distributed.Client
            Where to compute: None starts a local cluster of processes for
            the call; a scheduler address connects to it.

        Returns
        -------
        self : PolynomialRegressor
        """
        settings = _pipeline.check_params(self.get_params())
        if settings.solver == "search":
            raise _pipeline.fail("solver", self.solver, "the search needs the data in one "
                                 "process; fit it in memory (on a sample) or per group with "
                                 "fit_many")
        if settings.cv is not None or groups is not None:
            raise _pipeline.fail("cv", self.cv, "the distributed fit's folds are by row "
                                 "position (n_folds or an int cv); a splitter needs the rows "
                                 "in one process")
        Xd, yd, wd = _blocks(X, y, sample_weight)
        with _cluster(client) as c:
            fitted = _pipeline.fit(settings, _DaskSource(c, Xd, yd, wd))
        robust = {}
        if fitted.scale_ is not None:  # every sample's weight, lazily, as in memory
            basis = Basis(*_basis.mapparms(fitted.domain_), fitted.powers_.tolist())
            rw = da.map_blocks(_chunk_bisquare_weights, Xd, yd[:, None], wd[:, None], basis,
                               fitted.coef_, fitted.scale_, False, dtype=np.float64,
                               chunks=(Xd.chunks[0], (1,)))[:, 0]
            robust = {"robust_weights_": rw, "inlier_mask_": rw > 0}
        _pipeline.apply(self, fitted, **robust)
        return self

    def predict(self, X: Any) -> Any:
        """Predicted values: a dask array (chunked as X's rows) for a dask
        array or dataframe (one chunk per partition, never gathered), an
        ndarray otherwise."""
        import dask.dataframe as dd

        if isinstance(X, (dd.DataFrame, dd.Series)):
            X = X.to_dask_array(lengths=True).astype(np.float64)
        if isinstance(X, da.Array):
            Xd = X[:, None] if X.ndim == 1 else X.rechunk({1: -1})
            return Xd.map_blocks(super().predict, drop_axis=1, dtype=np.float64)
        return super().predict(X)


def fit(X: Any, y: Any, sample_weight: Any = None, *, client: ClientLike = None,
        **params: Any) -> PolynomialRegressor:
    """``PolynomialRegressor(**params).fit(X, y, sample_weight, client=client)``:
    one model fitted to data chunked by rows (see :class:`PolynomialRegressor`)."""
    return PolynomialRegressor(**params).fit(X, y, sample_weight, client=client)


# ------------------------------------------------------------- inputs
def from_dataframe(df: Any, x: Union[str, Sequence[str]], y: str,
                   weight: Optional[str] = None) -> tuple[da.Array, ...]:
    """(X, y) or (X, y, sample_weight) as row-chunked dask arrays from the
    columns of a dask (or pandas) dataframe; one chunk per partition."""
    import dask.dataframe as dd

    if not isinstance(df, dd.DataFrame):
        df = dd.from_pandas(df, npartitions=1)
    cols = [x] if isinstance(x, str) else list(x)
    missing = [c for c in cols + [y] + ([weight] if weight else []) if c not in df.columns]
    if missing:
        raise ValueError(f"no column(s) {missing} among {list(df.columns)}")
    X = df[cols].astype(np.float64).to_dask_array(lengths=True)
    out = [X, df[y].astype(np.float64).to_dask_array(lengths=True).rechunk((X.chunks[0],))]
    if weight:
        out.append(df[weight].astype(np.float64).to_dask_array(lengths=True)
                   .rechunk((X.chunks[0],)))
    return tuple(out)


def _check_headers(files: Sequence[str], cols: Sequence[str]) -> None:
    """Every CSV file's header names the columns."""
    import csv

    for f in files:
        with open(f, newline="", encoding="utf-8-sig") as fh:
            header = [h.strip() for h in next(csv.reader(fh), [])]
        missing = [c for c in cols if c not in header]
        if missing:
            raise ValueError(f"{f}: no column {missing[0]!r} (columns: {', '.join(header)})")


def _load_doubles(f: str) -> Array:
    return np.asarray(np.load(f), dtype=np.float64)


def from_files(path: Union[str, os.PathLike[str]], x: Any, y: Any,
               weight: Any = None) -> tuple[da.Array, ...]:
    """(X, y[, sample_weight]) from a folder (or glob) of CSV files with a
    header row (x, y, weight name columns), or of ``.npy`` files each holding
    a 2-D array (x, y, weight are column indices); one chunk per file, read
    on the workers."""
    import glob

    p = os.fspath(path)
    found = glob.glob(os.path.join(p, "*")) if os.path.isdir(p) else glob.glob(p)
    files = sorted(f for f in found if os.path.isfile(f))
    if not files:
        raise ValueError(f"path={p!r}: " + ("no such file or folder" if not found and
                                            not os.path.exists(p) else "holds no files"))
    npy = [f for f in files if f.endswith(".npy")]
    csv = [f for f in files if f.endswith(".csv")]
    if npy and not csv:
        blocks: list[da.Array] = []
        for f in npy:
            head = np.load(f, mmap_mode="r")
            if head.ndim != 2 or head.dtype.kind not in "fiub":
                raise ValueError(f"{f}: expected a 2-D array of numbers, got shape "
                                 f"{head.shape} and dtype {head.dtype}")
            if blocks and head.shape[1] != blocks[0].shape[1]:
                raise ValueError(f"{f}: {head.shape[1]} columns, where {npy[0]} has "
                                 f"{blocks[0].shape[1]}")
            blocks.append(da.from_delayed(delayed(_load_doubles)(f), head.shape,
                                          dtype=np.float64))
        table = da.concatenate(blocks, axis=0)
        xs = [x] if isinstance(x, int) else list(x)
        out = [table[:, xs], table[:, y]] + ([table[:, weight]] if weight is not None else [])
        return tuple(a.astype(np.float64) for a in out)
    if csv and not npy:
        import dask.dataframe as dd

        # Read the named columns as doubles in every file: dtypes inferred from
        # the first file (integers) would not hold a later one's decimals or
        # blanks (which become NaN, and the fit names them).
        cols = [*([x] if isinstance(x, str) else list(x)), y,
                *([] if weight is None else [weight])]
        _check_headers(csv, cols)
        frame = dd.read_csv(csv, usecols=cols, dtype=dict.fromkeys(cols, "float64"))
        return from_dataframe(frame, x, y, weight)
    raise ValueError(f"{p}: expected .csv or .npy files (one kind), found "
                     f"{len(csv)} .csv and {len(npy)} .npy")
