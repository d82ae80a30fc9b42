"""Row lineage of the operations that combine rows or compute new values:
joins (merge, join, concat), aggregations (groupby, reductions) and the
per-element operations (scalar operands, numpy ufuncs, abs, round, where,
astype, cumsum, apply, map; frame-level fillna, clip, replace).

Joins read the row indexers pandas computed for the result; aggregations
read the group of every row from pandas (``ngroup``). The per-element and
per-group work runs in the native kernels.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
from pandas.core.reshape.merge import _items_overlap_with_suffix

from corvanti.utilities import _row_lineage as rl
from corvanti.utilities import tessel32_dag as _dag
from corvanti.utilities.tessel32 import OpCode

_MERGE = int(OpCode.MERGE)
_AGG = int(OpCode.AGG)
_MAP = int(OpCode.MAP)


def _describe(value) -> str:
    if isinstance(value, (pd.Series, pd.DataFrame, np.ndarray, list, tuple)):
        return type(value).__name__
    text = repr(value)
    return text if len(text) <= 80 else text[:77] + "..."


def _func_name(func) -> str:
    if isinstance(func, str):
        return func
    return getattr(func, "__name__", None) or type(func).__name__


def elementwise(tracker, op_name, op_code, values, pa, na, pb=None, nb=None):
    """One node per element through the native kernel: binary where both
    operands have a node, unary from the one that has it otherwise; no node
    (-1) where neither has one."""
    values = np.asarray(values)
    pa, na = np.asarray(pa, np.uint32), np.asarray(na, np.int64)
    n = len(pa)
    if pb is None:
        prov, nodes = _dag._rows_elementwise(tracker, op_name, op_code, values, pa, na)
        nodes[na < 0] = -1
        return prov, nodes
    pb, nb = np.asarray(pb, np.uint32), np.asarray(nb, np.int64)
    prov = np.zeros(n, np.uint32)
    nodes = np.full(n, -1, np.int64)
    has_a, has_b = na >= 0, nb >= 0
    for mask, args in ((has_a & has_b, (pa, na, pb, nb)), (has_a & ~has_b, (pa, na)), (~has_a & has_b, (pb, nb))):
        if mask.all():
            return _dag._rows_elementwise(tracker, op_name, op_code, values, *args)
        if mask.any():
            idx = np.flatnonzero(mask)
            p, nd = _dag._rows_elementwise(tracker, op_name, op_code, values[idx], *(x[idx] for x in args))
            prov[idx], nodes[idx] = p, nd
    return prov, nodes


# ---------------------------------------------------------------- joins


def _arrays(frame, col):
    cp = getattr(frame, "_col_prov", None) or {}
    if col in cp and len(cp[col]) == len(frame):
        return np.asarray(cp[col], np.uint32), np.asarray(frame._col_nodes[col], np.int64)
    return None


def _anchor(frame, keys):
    """The column whose row nodes stand for a side's row in a join."""
    cp = getattr(frame, "_col_prov", None) or {}
    for k in list(keys or []) + list(cp):
        if isinstance(k, str) or np.isscalar(k):
            arr = _arrays(frame, k)
            if arr is not None:
                return arr
    return None


def _cells(tracker, values, n, primary, pos_a, secondary, pos_b, fill=None):
    """One "merge" node per cell: binary where both sides contribute, unary
    from the side that does otherwise. primary: the value's own column
    (prov, nodes) on side A; secondary: side B's anchor; fill: side B's
    column that gives the value where side A has no row (join keys)."""
    prov = np.zeros(n, np.uint32)
    nodes = np.full(n, -1, np.int64)
    has_a = (pos_a >= 0) if primary is not None else np.zeros(n, bool)
    has_b = (pos_b >= 0) if secondary is not None else np.zeros(n, bool)
    values = np.asarray(values)  # read per element only when row values are recorded

    def run(mask, a, pa, b=None, pb=None):
        if not mask.any():
            return
        idx = np.flatnonzero(mask)
        args = [values[idx], a[0].take(pa[idx]), a[1].take(pa[idx])]
        if b is not None:
            args += [b[0].take(pb[idx]), b[1].take(pb[idx])]
        p, nd = elementwise(tracker, "merge", _MERGE, *args)
        prov[idx] = p
        nodes[idx] = nd

    run(has_a & has_b, primary, pos_a, secondary, pos_b)
    run(has_a & ~has_b, primary, pos_a)
    only_b = ~has_a & (pos_b >= 0)
    if fill is not None:
        run(only_b, fill, pos_b)
    elif secondary is not None:
        run(only_b, secondary, pos_b)
    return prov, nodes


def _finalize_merge(self, caller) -> bool:
    loc = caller.f_locals
    op = loc.get("self")
    if caller.f_code.co_name != "get_result" or not hasattr(op, "orig_left") or "left_indexer" not in loc:
        return False
    left, right = op.orig_left, op.orig_right
    n = len(self)
    li, ri = loc["left_indexer"], loc["right_indexer"]
    li = np.arange(len(left), dtype=np.int64) if li is None else np.asarray(li, np.int64)
    ri = np.arange(len(right), dtype=np.int64) if ri is None else np.asarray(ri, np.int64)
    if len(li) != n or len(ri) != n:
        return False
    tracker = rl._tracker_of(left) or rl._tracker_of(right)
    llabels, rlabels = _items_overlap_with_suffix(op.left.columns, op.right.columns, op.suffixes)
    source = {}
    for out, col in zip(rlabels, op.right.columns):
        source.setdefault(out, ("R", col))
    for out, col in zip(llabels, op.left.columns):
        source[out] = ("L", col)
    fills = {}
    for name, lname, rname in zip(op.join_names, op.left_on, op.right_on):
        if isinstance(lname, str) and isinstance(rname, str) and name in self.columns:
            fills[name] = rname
    left_on = [k for k in op.left_on if not isinstance(k, (np.ndarray, pd.Series))]
    right_on = [k for k in op.right_on if not isinstance(k, (np.ndarray, pd.Series))]
    anchor_l, anchor_r = _anchor(left, left_on), _anchor(right, right_on)
    col_prov, col_nodes = {}, {}
    for col in self.columns:
        side, scol = source.get(col, (None, None))
        if side is None:
            continue
        values = self[col].to_numpy() if not isinstance(self[col], pd.DataFrame) else np.zeros(n)
        if side == "L":
            fill = _arrays(right, fills[col]) if col in fills else None
            arrays = _cells(tracker, values, n, _arrays(left, scol), li, anchor_r, ri, fill)
        else:
            arrays = _cells(tracker, values, n, _arrays(right, scol), ri, anchor_l, li)
        col_prov[col], col_nodes[col] = arrays
    object.__setattr__(self, "_tracker", tracker)
    object.__setattr__(self, "_col_prov", col_prov)
    object.__setattr__(self, "_col_nodes", col_nodes)
    return True


def _obj_arrays(obj):
    """[(label, prov, nodes)] of a frame's or series' columns (None: untracked)."""
    if isinstance(obj, pd.Series):
        prov = getattr(obj, "_prov", None)
        ok = prov is not None and len(prov) == len(obj)
        return [(obj.name, (np.asarray(prov, np.uint32), np.asarray(obj._node_ids, np.int64)) if ok else None)]
    return [(c, _arrays(obj, c)) for c in obj.columns]


def _finalize_concat(self, other, caller) -> bool:
    loc = caller.f_locals
    if caller.f_code.co_name != "_get_result" or "bm_axis" not in loc:
        return False
    objs = list(other.objs)
    stacked = (loc["bm_axis"] == 0) if loc.get("is_series") else (loc["bm_axis"] == 1)
    tracker = next((rl._tracker_of(o) for o in objs if rl._tracker_of(o)), None)
    object.__setattr__(self, "_tracker", tracker)
    if stacked:
        if len(self) != sum(len(o) for o in objs):
            return False
        labels = [self.name] if isinstance(self, pd.Series) else list(self.columns)
        out = {}
        for label in labels:
            parts_p, parts_n = [], []
            for o in objs:
                arr = dict(_obj_arrays(o)).get(label) if isinstance(o, pd.DataFrame) else _obj_arrays(o)[0][1]
                parts_p.append(arr[0] if arr else np.zeros(len(o), np.uint32))
                parts_n.append(arr[1] if arr else np.full(len(o), -1, np.int64))
            out[label] = (np.concatenate(parts_p) if parts_p else np.zeros(0, np.uint32),
                          np.concatenate(parts_n) if parts_n else np.zeros(0, np.int64))
    else:
        columns = list(self.columns)
        out, j = {}, 0
        for o in objs:
            if o.index.equals(self.index):
                pos = np.arange(len(self), dtype=np.int64)
            elif o.index.is_unique:
                pos = o.index.get_indexer(self.index).astype(np.int64)
            else:
                return False
            for _, arr in _obj_arrays(o):
                if j < len(columns) and arr is not None:
                    out[columns[j]] = (rl._take(arr[0], pos, 0, np.uint32), rl._take(arr[1], pos, -1, np.int64))
                j += 1
        if j != len(columns):
            return False
    if isinstance(self, pd.Series):
        prov, nodes = out[self.name]
        object.__setattr__(self, "_prov", prov)
        object.__setattr__(self, "_node_ids", nodes)
    else:
        object.__setattr__(self, "_col_prov", {k: v[0] for k, v in out.items()})
        object.__setattr__(self, "_col_nodes", {k: v[1] for k, v in out.items()})
    return True


def finalize_combined(self, other, method, caller) -> bool:
    """__finalize__ of a merge or concat result: the arrays of the rows each
    output row came from. False when pandas' state is not what it expects."""
    try:
        if method == "merge":
            return _finalize_merge(self, caller)
        return _finalize_concat(self, other, caller)
    except (AttributeError, KeyError, TypeError, ValueError, IndexError):
        return False


# ---------------------------------------------------------------- aggregation


def _groups(codes: np.ndarray, ngroups: int):
    order = np.argsort(codes, kind="stable").astype(np.int64)
    sorted_codes = codes[order]
    starts = np.searchsorted(sorted_codes, np.arange(ngroups + 1)).astype(np.int64)
    return order, starts


def _aggregate(tracker, op_name, arrays, order, starts, meta):
    return _dag._rows_aggregate(tracker, op_name, _AGG, arrays[0], arrays[1], order, starts, meta)


_AGG_METHODS = ("sum", "mean", "min", "max", "count", "median", "prod", "std", "var", "first", "last",
                "nunique", "size", "agg", "aggregate")


class RowGroupBy:
    """A pandas GroupBy over a row-tracked object: each aggregated value gets
    one AGGREGATE node whose inputs are the nodes of the rows of its group."""

    def __init__(self, gb, src, selection=None):
        self._gb = gb
        self._src = src
        self._selection = selection

    def __getitem__(self, key):
        return RowGroupBy(self._gb[key], self._src, key)

    def __iter__(self):
        return iter(self._gb)

    def __len__(self):
        return len(self._gb)

    def __getattr__(self, name):
        attr = getattr(self._gb, name)
        if not callable(attr):
            return attr

        def call(*args, **kwargs):
            rl._debug_once("uncovered", f"groupby.{name}")
            return attr(*args, **kwargs)

        return call

    def _source(self, label):
        src = self._src
        if isinstance(src, pd.Series):
            return _obj_arrays(src)[0][1]
        return _arrays(src, label)

    def _run(self, name, *args, **kwargs):
        res = getattr(self._gb, name)(*args, **kwargs)
        ngroups = self._gb.ngroups
        if not isinstance(res, (pd.Series, pd.DataFrame)) or len(res) != ngroups:
            rl._debug_once("unknown", f"groupby.{name}")
            return res
        tracker = rl._tracker_of(self._src)
        codes = rl._positions(self._gb.ngroup())  # NaN (a dropped group) -> -1
        order, starts = _groups(codes, ngroups)
        order = order[np.searchsorted(codes[order], 0):] if len(order) else order
        starts = starts - (len(codes) - len(order))
        label_func = name if name not in ("agg", "aggregate") else _func_name(args[0] if args else "agg")

        def one(label, func):
            base = label[0] if isinstance(label, tuple) else label
            if isinstance(self._src, pd.DataFrame) and name == "size":
                base = next(iter(self._src._col_prov), None)
            elif isinstance(self._src, pd.DataFrame) and isinstance(self._gb, pd.core.groupby.SeriesGroupBy):
                base = self._selection
            arrays = self._source(base)
            if arrays is None:
                return np.zeros(ngroups, np.uint32), np.full(ngroups, -1, np.int64)
            op = label[1] if isinstance(label, tuple) and isinstance(label[1], str) else func
            return _aggregate(tracker, op, arrays, order, starts, {"function": op, "column": str(base)})

        if isinstance(res, pd.DataFrame):
            col_prov, col_nodes = {}, {}
            for col in res.columns:
                col_prov[col], col_nodes[col] = one(col, label_func)
            return rl.make_frame(res, tracker, col_prov, col_nodes)
        prov, nodes = one(res.name, label_func)
        return rl.make_series(res, res.index, res.name, prov, nodes, tracker)


def _groupby_method(name):
    def method(self, *args, **kwargs):
        return self._run(name, *args, **kwargs)

    method.__name__ = name
    method.__doc__ = f"pandas' GroupBy.{name}; one AGGREGATE node per output value."
    return method


for _name in _AGG_METHODS:
    setattr(RowGroupBy, _name, _groupby_method(_name))


def _reduction(name):
    def method(self, *args, **kwargs):
        res = getattr(pd.Series, name)(rl._plain_series(self), *args, **kwargs)
        tracker = rl._tracker_of(self)
        n = len(self)
        if tracker and n:
            arrays = (np.asarray(self._prov, np.uint32), np.asarray(self._node_ids, np.int64))
            _, nodes = _aggregate(tracker, name, arrays, np.arange(n, dtype=np.int64),
                                  np.array([0, n], np.int64), {"function": name})
            object.__setattr__(self, "last_aggregate_node", int(nodes[0]))
        return res

    method.__name__ = name
    method.__doc__ = (f"pandas' Series.{name}; logs one AGGREGATE node over every row "
                      "(its id: last_aggregate_node).")
    return method


# ---------------------------------------------------------------- per element


def _log_each(self, values, index, name, op_name, op_code, meta):
    tracker = rl._tracker_of(self)
    if not tracker:
        return rl.make_series(values, index, name, self._prov, self._node_ids, tracker)
    prov, nodes = elementwise(tracker, op_name, op_code, values, self._prov, self._node_ids)
    if meta:
        _dag._rows_annotate(tracker, nodes, meta)
    return rl.make_series(values, index, name, prov, nodes, tracker)


def _rewrap(res):
    return rl.make_series(res, res.index, getattr(res, "name", None), res._prov,
                          res._node_ids, res._tracker)


def _aligned(self, other):
    """Both operands on pandas' aligned index (pandas' own align), each with
    the arrays of the rows that landed where."""
    a, b = pd.Series.align(rl._plain_series(self), rl._plain_series(other))
    pa, pb = pd.Series.align(rl._pos_series(self), rl._pos_series(other))
    return rl._series_like(a, self, rl._positions(pa)), rl._series_like(b, other, rl._positions(pb))


def _binop_dag(self, other, np_op, op_name, op_code):
    if isinstance(other, _dag.DAGTrackedSeries):
        if not self.index.equals(other.index):
            self, other = _aligned(self, other)  # pairs rows by label, as pandas does
        tracker = rl._tracker_of(self)
        if not tracker or len(other) != len(self):
            return _rewrap(_dag.DAGTrackedSeries._binop_dag(self, other, np_op, op_name, op_code))
        values = np_op(self.values, other.values)  # as the native operators compute them
        prov, nodes = elementwise(tracker, op_name, int(op_code), values, self._prov, self._node_ids,
                                  other._prov, other._node_ids)
        return rl.make_series(values, self.index, self.name if other.name == self.name else None, prov, nodes,
                              tracker)
    res = _dag.DAGTrackedSeries._binop_dag(self, other, np_op, op_name, op_code)
    name = self.name if not isinstance(other, pd.Series) or other.name == self.name else None
    return _log_each(self, res, res.index, name, op_name, int(op_code),
                     {"operand": _describe(other)})


def _unop_dag(self, np_op, op_name, op_code):
    return _rewrap(_dag.DAGTrackedSeries._unop_dag(self, np_op, op_name, op_code))


def _apply_tracked_unary(self, values, index, op_name, op_code):
    res = _rewrap(_dag.DAGTrackedSeries._apply_tracked_unary(self, values, index, op_name, op_code))
    res.name = self.name
    return res


def _array_ufunc(self, ufunc, method, *inputs, **kwargs):
    plain = [rl._plain_series(x) if isinstance(x, _dag.DAGTrackedSeries) else x for x in inputs]
    res = getattr(ufunc, method)(*plain, **kwargs)
    tracked = [x for x in inputs if isinstance(x, _dag.DAGTrackedSeries)]
    if method != "__call__" or not isinstance(res, pd.Series) or "out" in kwargs or len(res) != len(self):
        rl._debug_once("uncovered", f"numpy.{ufunc.__name__}.{method}")
        return res
    meta = {"function": ufunc.__name__}
    others = [x for x in inputs if not isinstance(x, _dag.DAGTrackedSeries)]
    if others:
        meta["operand"] = _describe(others[0])
    first = tracked[0]
    tracker = rl._tracker_of(first)
    values = res
    if len(tracked) >= 2 and len(tracked[1]) == len(first) and tracked[1].index.equals(first.index) and tracker:
        prov, nodes = elementwise(tracker, ufunc.__name__, _MAP, values, first._prov, first._node_ids,
                                  tracked[1]._prov, tracked[1]._node_ids)
        _dag._rows_annotate(tracker, nodes, meta)
        return rl.make_series(values, res.index, res.name, prov, nodes, tracker)
    if not first.index.equals(res.index):
        rl._debug_once("unknown", f"numpy.{ufunc.__name__}")
    return _log_each(first, values, res.index, res.name, ufunc.__name__, _MAP, meta)


def _elementwise(name, meta_of):
    def method(self, *args, **kwargs):
        res = getattr(pd.Series, name)(rl._plain_series(self), *args, **kwargs)
        if not isinstance(res, pd.Series) or len(res) != len(self):
            rl._debug_once("unknown", name)
            return res
        return _log_each(self, res, res.index, res.name, name, _MAP,
                         meta_of(*args, **kwargs))

    method.__name__ = name
    method.__doc__ = f"pandas' Series.{name}; one \"{name}\" node per element."
    return method


def _where(self, cond, other=np.nan, **kwargs):
    """pandas' Series.where; one "where" node per element, from whichever
    operand gave the element."""
    plain_other = rl._plain_series(other) if isinstance(other, _dag.DAGTrackedSeries) else other
    res = pd.Series.where(rl._plain_series(self), cond, plain_other, **kwargs)
    meta = {"function": "where", "operand": _describe(other)}
    out = _log_each(self, res, res.index, res.name, "where", _MAP, meta)
    if isinstance(other, _dag.DAGTrackedSeries) and other.index.equals(self.index):
        c = cond(self) if callable(cond) else cond
        keep = pd.Series(True, index=self.index).where(c, False).to_numpy(bool)
        alt = _log_each(other, res, res.index, res.name, "where", _MAP, meta)
        out._prov[~keep] = alt._prov[~keep]
        out._node_ids[~keep] = alt._node_ids[~keep]
    return out


def _cumsum(self, *args, **kwargs):
    """pandas' Series.cumsum; element i gets a "cumsum" node over element
    i - 1's node and its own row, so it reaches every row up to it."""
    res = pd.Series.cumsum(rl._plain_series(self), *args, **kwargs)
    tracker = rl._tracker_of(self)
    n = len(self)
    prov = np.zeros(n, np.uint32)
    nodes = np.full(n, -1, np.int64)
    if tracker:
        src_p, src_n = np.asarray(self._prov), np.asarray(self._node_ids)
        prev_p, prev_n = None, -1
        for i in range(n):
            p = int(src_p[i])
            if prev_n < 0:
                p = tracker.update_chain(p, OpCode.MAP)
                nid = tracker.log_unary("cumsum", int(src_n[i]), p) if src_n[i] >= 0 else -1
            else:
                p = tracker.combine(prev_p, p, OpCode.MAP)
                nid = tracker.log_binary("cumsum", prev_n, int(src_n[i]), p)
            prov[i], nodes[i] = p, nid
            prev_p, prev_n = p, nid
    return rl.make_series(res, res.index, res.name, prov, nodes, tracker)


_FRAME_CODES = {"fillna": int(OpCode.FILL), "clip": int(OpCode.CLIP), "replace": _MAP}


def _frame_elementwise(name):
    def method(self, *args, **kwargs):
        if kwargs.get("inplace"):
            rl._debug_once("uncovered", f"{name}(inplace=True)")
            return getattr(pd.DataFrame, name)(self, *args, **kwargs)
        res = getattr(pd.DataFrame, name)(rl._plain_frame(self), *args, **kwargs)
        tracker = rl._tracker_of(self)
        col_prov, col_nodes = {}, {}
        same = res.index.equals(self.index)
        for col in res.columns:
            arrays = _arrays(self, col)
            if arrays is None or not same or not tracker:
                continue
            col_prov[col], col_nodes[col] = elementwise(
                tracker, name, _FRAME_CODES[name], res[col].to_numpy(), arrays[0], arrays[1])
        return rl.make_frame(res, tracker, col_prov, col_nodes)

    method.__name__ = name
    method.__doc__ = f"pandas' DataFrame.{name}; one \"{name}\" node per element of each tracked column."
    return method


def install(series_cls, frame_cls):
    """Add the combining and per-element operations to the row classes."""
    series_cls._binop_dag = _binop_dag
    series_cls._unop_dag = _unop_dag
    series_cls._apply_tracked_unary = _apply_tracked_unary
    series_cls.__array_ufunc__ = _array_ufunc
    series_cls.abs = _elementwise("abs", lambda *a, **k: {"function": "abs"})
    series_cls.round = _elementwise("round", lambda decimals=0, *a, **k: {"function": "round",
                                                                         "decimals": decimals})
    series_cls.astype = _elementwise("astype", lambda dtype, *a, **k: {"function": "astype",
                                                                      "dtype": str(dtype)})
    series_cls.apply = _elementwise("apply", lambda func, *a, **k: {"function": _func_name(func)})
    series_cls.map = _elementwise("map", lambda arg, *a, **k: {"function": _func_name(arg)})
    series_cls.where = _where
    series_cls.cumsum = _cumsum
    for name in ("sum", "mean", "min", "max", "count", "median", "prod", "std", "var"):
        setattr(series_cls, name, _reduction(name))
    for name in _FRAME_CODES:
        setattr(frame_cls, name, _frame_elementwise(name))
