"""Exact row lineage: the ``lineage="rows"`` mode of a DAGTracker.

In this mode the tracked frames and series are :class:`RowTrackedDataFrame`
and :class:`RowTrackedSeries`, subclasses of the native tracked classes. Their
provenance and node-id arrays always have one entry per row, in row order, and
follow the rows through every operation that moves, drops, repeats or
combines rows. Which source row an output row came from is never guessed: it
is read off pandas itself, by running the very same pandas call on a carrier
of row positions (a positions Series on the same index, or the frame with one
hidden position column), or from the indexers pandas computed (a merge).

This module is orchestration only: it calls pandas and hands the arrays to
the native kernels of ``tessel32_dag`` (``_rows_elementwise``,
``_rows_aggregate``, ``_rows_annotate``, ``_log_*_many``), which do the
per-element work over raw buffers. The default (positional) mode never
reaches this module.
"""

from __future__ import annotations

import logging
import sys
import threading

import numpy as np
import pandas as pd

from corvanti.utilities import tessel32_dag as _dag
from corvanti.utilities.tessel32 import OpCode

logger = logging.getLogger("corvanti.utilities.tessel32_dag")

#: The hidden column that carries row positions through a frame operation.
POS = "__corvanti_row_position__"

_state = threading.local()
_logged_ops: set[str] = set()
_logged_lock = threading.Lock()


# ---------------------------------------------------------------- bookkeeping


class _covered:
    """While active, __finalize__ leaves the arrays to the covered operation."""

    def __enter__(self):
        _state.depth = getattr(_state, "depth", 0) + 1

    def __exit__(self, *exc):
        _state.depth -= 1


def _in_covered() -> bool:
    return getattr(_state, "depth", 0) > 0


def _debug_once(kind: str, op: str) -> None:
    key = f"{kind}:{op}"
    with _logged_lock:
        if key in _logged_ops:
            return
        _logged_ops.add(key)
    if kind == "uncovered":
        logger.debug("row lineage: %s is not covered by the tracked objects; provenance kept by position", op)
    else:
        logger.debug("row lineage: pandas does not tell which rows %s came from; provenance kept by position", op)


def _op_name(method, depth: int = 2) -> str:
    if method:
        return str(method)
    try:
        return sys._getframe(depth).f_code.co_name
    except ValueError:  # pragma: no cover - shallow stack
        return "unknown"


def _take(arr, pos: np.ndarray, fill: int, dtype) -> np.ndarray:
    """arr[pos] with `fill` where pos is -1 (no source row)."""
    arr = np.asarray(arr, dtype=dtype)
    if len(arr) == 0:
        return np.full(len(pos), fill, dtype=dtype)
    out = arr.take(np.where(pos >= 0, pos, 0))
    out[pos < 0] = fill
    return out


def _positions(obj) -> np.ndarray:
    """Row positions read back from a carrier (float with NaN for new rows)."""
    v = np.asarray(obj)
    if v.dtype.kind == "f":
        return np.where(np.isnan(v), -1, v).astype(np.int64)
    return v.astype(np.int64, copy=False)


def _pos_series(obj) -> pd.Series:
    return pd.Series(np.arange(len(obj), dtype=np.int64), index=obj.index)


def _plain_frame(frame) -> pd.DataFrame:
    return pd.DataFrame(frame, copy=False)


def _plain_series(s) -> pd.Series:
    return pd.Series(s, copy=False)


def _tracker_of(obj):
    return getattr(obj, "_tracker", None)


# ---------------------------------------------------------------- construction


def make_series(values, index, name, prov, nodes, tracker) -> RowTrackedSeries:
    if isinstance(values, pd.Series):
        values = values.array  # the values with their dtype (categorical, nullable, ...)
    s = RowTrackedSeries(
        values,
        index=index,
        _prov=np.asarray(prov, dtype=np.uint32),
        _tracker=tracker,
        _node_ids=np.asarray(nodes, dtype=np.int64),
    )
    s.name = name
    return s


def make_frame(data, tracker, col_prov, col_nodes) -> RowTrackedDataFrame:
    return RowTrackedDataFrame(_plain_frame(data), _tracker=tracker, _col_prov=col_prov, _col_nodes=col_nodes)


def _series_like(result, src, pos):
    """Give a Series result the arrays of src's rows at pos."""
    prov = _take(src._prov, pos, 0, np.uint32)
    nodes = _take(src._node_ids, pos, -1, np.int64)
    return make_series(result,
                       result.index, result.name, prov, nodes, _tracker_of(src))


def _frame_like(result, src, pos, columns_from=None):
    """Give a frame result the arrays of src's rows at pos (per column)."""
    col_prov, col_nodes = {}, {}
    for col in result.columns:
        scol = columns_from.get(col, col) if columns_from else col
        if scol in src._col_prov:
            col_prov[col] = _take(src._col_prov[scol], pos, 0, np.uint32)
            col_nodes[col] = _take(src._col_nodes.get(scol, ()), pos, -1, np.int64)
    return make_frame(result, _tracker_of(src), col_prov, col_nodes)


# ---------------------------------------------------------------- sources


def adopt_source(frame, table: str):
    """A freshly wrapped table in row mode: one "row" node per cell (input:
    the column's source node), remembered so that audits can name rows."""
    tracker = frame._tracker
    blocks = tracker.__dict__.setdefault("_row_blocks", [])
    col_nodes = {}
    for col, prov in frame._col_prov.items():
        prov = np.ascontiguousarray(prov, dtype=np.uint32)
        sources = np.ascontiguousarray(frame._col_nodes[col], dtype=np.int64)
        ids = _dag._log_unary_many(tracker, "row", prov, sources)
        col_nodes[col] = ids
        order = np.argsort(ids, kind="stable")
        blocks.append((ids[order], order.astype(np.int64), table))
    return make_frame(frame, tracker, dict(frame._col_prov), col_nodes)


def source_rows(tracker, dag) -> list:
    """The (table, row position) pairs of the source rows a DAG reaches."""
    blocks = tracker.__dict__.get("_row_blocks", [])
    ids = np.array(sorted(nid for nid, n in dag.nodes.items() if n.operation == "row"), dtype=np.int64)
    found = set()
    for sorted_ids, rows, table in blocks:
        if not len(ids) or not len(sorted_ids):
            continue
        at = np.searchsorted(sorted_ids, ids)
        ok = at < len(sorted_ids)
        hit = ok.copy()
        hit[ok] = sorted_ids[at[ok]] == ids[ok]
        for r in rows[at[hit]]:
            found.add((table, int(r)))
    return sorted(found)


# ---------------------------------------------------------------- fallback


def _fit_series(self, other, method):
    """__finalize__ outside a covered operation: keep the arrays when the rows
    are plainly the same, align by label when that is exact, else by position."""
    prov = getattr(other, "_prov", None)
    if prov is None or not isinstance(other, pd.Series):
        n = len(self)
        object.__setattr__(self, "_prov", np.zeros(n, np.uint32))
        object.__setattr__(self, "_node_ids", np.full(n, -1, np.int64))
        if isinstance(other, pd.DataFrame):
            _debug_once("uncovered", _op_name(method, 3))
        return
    n = len(self)
    _debug_once("uncovered", _op_name(method, 3))
    if len(prov) == n and (self.index is other.index or self.index.equals(other.index)):
        return
    if other.index.is_unique and len(other._prov) == len(other):
        pos = other.index.get_indexer(self.index)
    else:
        pos = np.where(np.arange(n) < len(prov), np.arange(n), -1)
    object.__setattr__(self, "_prov", _take(prov, pos, 0, np.uint32))
    object.__setattr__(self, "_node_ids", _take(other._node_ids, pos, -1, np.int64))


def _fit_frame(self, other, method, log=True):
    cp = getattr(other, "_col_prov", None)
    if cp is None or not isinstance(other, pd.DataFrame):
        object.__setattr__(self, "_col_prov", {})
        object.__setattr__(self, "_col_nodes", {})
        return
    cn = other._col_nodes
    n = len(self)
    same = n == len(other) and (self.index is other.index or self.index.equals(other.index))
    if log:
        _debug_once("uncovered", _op_name(method, 3))
    if same:
        pos = None
    else:
        if other.index.is_unique:
            pos = other.index.get_indexer(self.index)
        else:
            pos = np.where(np.arange(n) < len(other), np.arange(n), -1)
    prov, nodes = {}, {}
    for col in self.columns:
        if col in cp and len(cp[col]) == len(other):
            prov[col] = cp[col] if pos is None else _take(cp[col], pos, 0, np.uint32)
            nodes[col] = cn[col] if pos is None else _take(cn[col], pos, -1, np.int64)
    object.__setattr__(self, "_col_prov", prov)
    object.__setattr__(self, "_col_nodes", nodes)


# ---------------------------------------------------------------- selection


def _random_state(kw):
    """sample(): one concrete seed, so that the data and the carrier draw alike."""
    if kw.get("random_state") is None:
        kw["random_state"] = int(np.random.randint(0, 2**31 - 1))
    return kw


def _series_by_index(s, call):
    """An operation that selects rows by index or position only: the same call
    on a positions Series over the same index selects the same rows."""
    res = call(_plain_series(s))
    if not isinstance(res, pd.Series):
        return res
    rp = call(_pos_series(s))
    return _series_like(res, s, _positions(rp))


def _series_by_value(s, call):
    """An operation that looks at the values: run on a frame of the values and
    their positions, with the values as the only column that counts."""
    carrier = pd.DataFrame({"v": _plain_series(s), POS: np.arange(len(s), dtype=np.int64)}, index=s.index)
    rc = call(carrier)
    res = pd.Series(rc["v"], name=s.name, copy=False)
    return _series_like(res, s, _positions(rc[POS]))


def _frame_carrier(frame) -> pd.DataFrame:
    carrier = _plain_frame(frame).copy(deep=False)
    carrier[POS] = np.arange(len(frame), dtype=np.int64)
    return carrier


def _frame_by_carrier(frame, call, name):
    """Run the pandas call on the frame plus a hidden position column; the
    column comes back with every row, telling where each row came from."""
    if isinstance(frame.columns, pd.MultiIndex) or POS in frame.columns:
        _debug_once("unknown", name)
        return call(_plain_frame(frame))
    rc = call(_frame_carrier(frame))
    if not isinstance(rc, pd.DataFrame) or POS not in rc.columns:
        _debug_once("unknown", name)
        res = rc
        return res if not isinstance(res, pd.DataFrame) else _frame_same_rows(res, frame)
    pos = _positions(rc[POS])
    return _frame_like(rc.drop(columns=POS), frame, pos)


def _frame_same_rows(res, frame):
    """A result with the frame's rows (a column selection): arrays by column."""
    out = make_frame(res, _tracker_of(frame), {}, {})
    _fit_frame(out, frame, None, log=False)
    return out


def _frame_rows(frame, kind, key):
    """frame[key] / frame.loc[key] / frame.iloc[key]."""
    plain = _plain_frame(frame)
    if kind == "getitem":
        res = plain[key]
        rows = key
        pos_of = lambda p: p[key]  # noqa: E731
    else:
        res = getattr(plain, kind)[key]
        rows = key[0] if isinstance(key, tuple) and len(key) == 2 else key
        pos_of = lambda p: getattr(p, kind)[rows]  # noqa: E731
    if isinstance(res, pd.DataFrame):
        if kind == "getitem" and not _is_row_key(key):
            return _frame_same_rows(res, frame)
        return _frame_like(res, frame, _positions(pos_of(_pos_series(frame))))
    if not isinstance(res, pd.Series):
        return res
    rp = None if kind == "getitem" else pos_of(_pos_series(frame))
    if kind == "getitem" or isinstance(rp, pd.Series):
        col = key if kind == "getitem" else key[1]
        pos = np.arange(len(frame)) if kind == "getitem" else _positions(rp)
        prov = _take(frame._col_prov.get(col, ()), pos, 0, np.uint32)
        nodes = _take(frame._col_nodes.get(col, ()), pos, -1, np.int64)
        return make_series(res, res.index, res.name, prov, nodes, _tracker_of(frame))
    # one row across columns: element j comes from column res.index[j]
    r = int(rp)
    prov = [frame._col_prov[c][r] if c in frame._col_prov else 0 for c in res.index]
    nodes = [frame._col_nodes[c][r] if c in frame._col_nodes else -1 for c in res.index]
    return make_series(res, res.index, res.name, prov, nodes, _tracker_of(frame))


def _is_row_key(key) -> bool:
    if isinstance(key, slice):
        return True
    if isinstance(key, (pd.Series, pd.Index, np.ndarray, list)) and len(key) and not isinstance(key, str):
        try:
            return pd.api.types.is_bool_dtype(np.asarray(key))
        except (TypeError, ValueError):
            return False
    return False


class _RowIndexer:
    """loc / iloc of a row-tracked object: reading selects rows with their arrays."""

    def __init__(self, obj, kind):
        self._obj = obj
        self._kind = kind

    def __getitem__(self, key):
        obj = self._obj
        if isinstance(obj, pd.DataFrame):
            return _frame_rows(obj, self._kind, key)
        return _series_by_index(obj, lambda s: getattr(s, self._kind)[key])

    def __setitem__(self, key, value):
        _debug_once("uncovered", f"{self._kind} assignment")
        base = pd.DataFrame if isinstance(self._obj, pd.DataFrame) else pd.Series
        getattr(base, self._kind).__get__(self._obj)[key] = value


# ---------------------------------------------------------------- the classes

_SERIES_INDEX_OPS = ("take", "head", "tail", "drop", "reindex", "sort_index")
_FRAME_CARRIER_OPS = ("take", "head", "tail", "sort_values", "sort_index", "drop", "reindex", "reset_index")


def _inplace(self, name, call, kw):
    """inplace=True: compute the result, then take it over (values and arrays)."""
    kw.pop("inplace")
    res = call(kw)
    self._update_inplace(res)
    for attr in type(self)._metadata:
        object.__setattr__(self, attr, getattr(res, attr))
    return None


def _series_method(name):
    def method(self, *args, **kw):
        if name == "sample":
            _random_state(kw)
        if kw.get("inplace"):
            return _inplace(self, name, lambda k: method(self, *args, **k), kw)
        return _series_by_index(self, lambda s: getattr(pd.Series, name)(s, *args, **kw))

    method.__name__ = name
    method.__doc__ = f"pandas' Series.{name}; provenance and node ids follow the rows."
    return method


def _frame_method(name):
    def method(self, *args, **kw):
        if name == "sample":
            _random_state(kw)
        if kw.get("inplace"):
            return _inplace(self, name, lambda k: method(self, *args, **k), kw)
        cols = [c for c in self.columns]
        if name in ("dropna", "drop_duplicates") and kw.get("subset") is None and not args:
            if name == "dropna" and kw.get("axis", 0) not in (0, "index"):
                return _frame_same_rows(getattr(pd.DataFrame, name)(_plain_frame(self), *args, **kw), self)
            kw["subset"] = cols
        if name == "reindex" and kw.get("columns") is not None:
            kw["columns"] = list(kw["columns"]) + [POS]
        return _frame_by_carrier(self, lambda f: getattr(pd.DataFrame, name)(f, *args, **kw), name)

    method.__name__ = name
    method.__doc__ = f"pandas' DataFrame.{name}; provenance and node ids follow the rows."
    return method


def _value_method(name, frame_call):
    def method(self, *args, **kw):
        if kw.get("inplace"):
            return _inplace(self, name, lambda k: method(self, *args, **k), kw)
        return _series_by_value(self, lambda c: frame_call(c, *args, **kw))

    method.__name__ = name
    method.__doc__ = f"pandas' Series.{name}; provenance and node ids follow the rows."
    return method


def _sort_values(c, axis=0, ascending=True, inplace=False, kind="quicksort", na_position="last",
                 ignore_index=False, key=None):
    return c.sort_values("v", ascending=ascending, kind=kind, na_position=na_position,
                         ignore_index=ignore_index, key=key)


def _dropna(c, axis=0, inplace=False, how=None, ignore_index=False):
    return c.dropna(subset=["v"], ignore_index=ignore_index)


def _drop_duplicates(c, keep="first", inplace=False, ignore_index=False):
    return c.drop_duplicates(subset=["v"], keep=keep, ignore_index=ignore_index)


class RowTrackedSeries(_dag.DAGTrackedSeries):
    """A DAGTrackedSeries whose provenance follows its rows (lineage="rows")."""

    @property
    def _constructor(self):
        return RowTrackedSeries

    @property
    def _constructor_expanddim(self):
        return RowTrackedDataFrame

    def __finalize__(self, other, method=None, **kwargs):
        super().__finalize__(other, method, **kwargs)
        if _in_covered():
            return self
        if method == "concat" and _row_combine.finalize_combined(self, other, method, sys._getframe(1)):
            return self
        _fit_series(self, other, method)
        return self

    @property
    def loc(self):
        return _RowIndexer(self, "loc")

    @property
    def iloc(self):
        return _RowIndexer(self, "iloc")

    def __getitem__(self, key):
        return _series_by_index(self, lambda s: s[key])

    sort_values = _value_method("sort_values", _sort_values)
    dropna = _value_method("dropna", _dropna)
    drop_duplicates = _value_method("drop_duplicates", _drop_duplicates)
    sample = _series_method("sample")

    def reset_index(self, level=None, *, drop=False, name=None, inplace=False, allow_duplicates=False):
        """pandas' Series.reset_index; provenance and node ids follow the rows."""
        if inplace:
            _debug_once("uncovered", "reset_index(inplace=True)")
            return pd.Series.reset_index(self, level, drop=drop, inplace=True, allow_duplicates=allow_duplicates)
        if drop:
            return _series_by_index(self, lambda s: pd.Series.reset_index(s, level, drop=True))
        col = name if name is not None else (self.name if self.name is not None else 0)
        frame = make_frame(_plain_series(self).to_frame(name=col), _tracker_of(self),
                           {col: np.asarray(self._prov)}, {col: np.asarray(self._node_ids)})
        return frame.reset_index(level, allow_duplicates=allow_duplicates)

    def groupby(self, *args, **kw):
        from corvanti.utilities import _row_combine

        return _row_combine.RowGroupBy(pd.Series.groupby(_plain_series(self), *args, **kw), self)


for _name in _SERIES_INDEX_OPS:
    setattr(RowTrackedSeries, _name, _series_method(_name))


def _native_transform(name):
    """The native tracked transforms (one node per element already), with the
    pandas work inside them marked as covered."""
    native = getattr(_dag.DAGTrackedSeries, name)

    def method(self, *args, **kwargs):
        with _covered():
            return native(self, *args, **kwargs)

    method.__name__ = name
    method.__doc__ = native.__doc__
    return method


for _name in ("fillna", "replace", "clip"):
    setattr(RowTrackedSeries, _name, _native_transform(_name))


class RowTrackedDataFrame(_dag.DAGTrackedDataFrame):
    """A DAGTrackedDataFrame whose provenance follows its rows (lineage="rows")."""

    @property
    def _constructor(self):
        return RowTrackedDataFrame

    @property
    def _constructor_sliced(self):
        return RowTrackedSeries

    def __finalize__(self, other, method=None, **kwargs):
        pd.DataFrame.__finalize__(self, other, method, **kwargs)
        if _in_covered():
            return self
        if method in ("merge", "concat"):
            if _row_combine.finalize_combined(self, other, method, sys._getframe(1)):
                return self
            _debug_once("unknown", method)
            first = getattr(other, "left", None)
            if first is None:
                first = next(iter(getattr(other, "objs", ()) or ()), None)
            object.__setattr__(self, "_tracker", _tracker_of(first))
            _fit_frame(self, first, method, log=False)  # by position, from the first input
            return self
        _fit_frame(self, other, method)
        return self

    @property
    def loc(self):
        return _RowIndexer(self, "loc")

    @property
    def iloc(self):
        return _RowIndexer(self, "iloc")

    def __getitem__(self, key):
        return _frame_rows(self, "getitem", key)

    def __setitem__(self, key, value):
        """Set self[key] to value; a value without lineage leaves the column without lineage."""
        _dag.DAGTrackedDataFrame.__setitem__(self, key, value)
        if not isinstance(value, _dag.DAGTrackedSeries):
            for arrays in (self._col_prov, self._col_nodes):
                if isinstance(arrays, dict):
                    arrays.pop(key, None)

    sample = _frame_method("sample")
    dropna = _frame_method("dropna")
    drop_duplicates = _frame_method("drop_duplicates")

    def merge(self, right, *args, **kw):
        """pandas' DataFrame.merge; each output row gets per-row "merge" nodes."""
        return pd.DataFrame.merge(self, right, *args, **kw)

    def groupby(self, *args, **kw):
        from corvanti.utilities import _row_combine

        return _row_combine.RowGroupBy(pd.DataFrame.groupby(_plain_frame(self), *args, **kw), self)


for _name in _FRAME_CARRIER_OPS:
    setattr(RowTrackedDataFrame, _name, _frame_method(_name))


from corvanti.utilities import _row_combine  # noqa: E402  (adds the combining operations to the classes)

_row_combine.install(RowTrackedSeries, RowTrackedDataFrame)
