"""Column lineage read from the computation DAG.

For a set of result nodes, ``LineageWalker`` finds every source column
(table, column) they derive from and how: copied unchanged (IDENTITY),
computed from it (TRANSFORMATION) or folded over many rows (AGGREGATION).

A path from a result back to a source is classified by the strongest step
on it: steps that carry values through unchanged (a merge, a row filter)
keep a path IDENTITY; any other operation makes it TRANSFORMATION; an
aggregate node makes it AGGREGATION. Several paths from one result to one
source column (different rows, or a value used twice) can differ, so each
(result, source column) pair carries the set of classes of all its paths.

The walk is iterative (long derivation chains do not meet the recursion
limit), memoised per node (shared ancestors are classified once) and safe
against ids that form a cycle or name evicted nodes. Reading a node's
`inputs` creates its inputs list, which the node then keeps (about 80 bytes
per node walked).
"""

from __future__ import annotations

from typing import Callable, Dict, Iterable, List, Tuple

from corvanti.utilities.tessel32_dag import NodeType

#: Path classes, as bit flags so that a set of classes is one int.
IDENTITY = 1
TRANSFORMATION = 2
AGGREGATION = 4

#: The column-lineage subtype of each class, weakest first.
SUBTYPES: Tuple[Tuple[int, str], ...] = (
    (IDENTITY, "IDENTITY"),
    (TRANSFORMATION, "TRANSFORMATION"),
    (AGGREGATION, "AGGREGATION"),
)

#: Unary operations that copy their input's value unchanged.
PASS_THROUGH_OPERATIONS = frozenset({"merge"})

SourceKey = Tuple[str, str]  # (table, column)
SourceMap = Dict[SourceKey, int]  # source column -> set of path classes

_EMPTY: SourceMap = {}


def node_level(node) -> int:
    """0 for a step that copies values, 1 for a transformation, 2 for an aggregation."""
    kind = node.node_type
    if kind == NodeType.AGGREGATE:
        return 2
    if kind in (NodeType.MERGE, NodeType.FILTER):
        return 0
    if kind == NodeType.UNARY and node.operation in PASS_THROUGH_OPERATIONS:
        return 0
    return 1


def raise_classes(mask: int, level: int) -> int:
    """The classes of paths in `mask` after one more step of `level`."""
    if level == 0 or not mask:
        return mask
    if level == 2:
        return AGGREGATION
    return (mask & AGGREGATION) | (TRANSFORMATION if mask & (IDENTITY | TRANSFORMATION) else 0)


def subtypes(mask: int) -> List[str]:
    """Subtype names of a set of classes, weakest first."""
    return [name for bit, name in SUBTYPES if mask & bit]


class LineageWalker:
    """Walks back from result nodes of one tracker.

    `lookup(node_id)` returns the node or None (unknown or evicted). Every
    node met is kept in `nodes` (id order of discovery); ids that were
    referenced but not found are collected in `missing`.
    """

    def __init__(self, lookup: Callable[[int], object]):
        self._lookup = lookup
        self._memo: Dict[int, SourceMap] = {}
        self._shapes: Dict[tuple, SourceMap] = {}
        self._interned: Dict[frozenset, SourceMap] = {}
        self.nodes: Dict[int, object] = {}
        self.missing: set = set()
        self.edge_count = 0

    def sources(self, node_id: int) -> SourceMap:
        """Source columns of one node with their path classes (do not mutate)."""
        memo = self._memo
        if node_id in memo:
            return memo[node_id]
        # Frames: [id, iterator over its inputs or None before expansion].
        stack: List[list] = [[node_id, None]]
        open_ids = set()
        while stack:
            frame = stack[-1]
            nid, inputs = frame
            if inputs is None:
                if nid in memo:
                    stack.pop()
                    continue
                node = self._lookup(nid)
                if node is None:
                    self.missing.add(nid)
                    memo[nid] = _EMPTY
                    stack.pop()
                    continue
                self.nodes[nid] = node
                if node.node_type == NodeType.SOURCE or node.is_leaf:
                    memo[nid] = _leaf_map(node)
                    stack.pop()
                    continue
                open_ids.add(nid)
                frame[1] = iter(node.inputs)
                continue
            descended = False
            for child in inputs:
                if child not in memo and child not in open_ids:
                    stack.append([child, None])
                    descended = True
                    break
            if descended:
                continue
            stack.pop()
            open_ids.discard(nid)
            memo[nid] = self._combine(self.nodes[nid])
        return memo[node_id]

    def _combine(self, node) -> SourceMap:
        ins = node.inputs
        self.edge_count += len(ins)
        level = node_level(node)
        # An input still open here closes a cycle: it contributes nothing.
        maps = [self._memo.get(i, _EMPTY) for i in ins]
        if level == 0 and len(maps) == 1:
            return maps[0]  # shared, never mutated
        # The rows of a column repeat one shape of derivation: the same step
        # over inputs whose maps are equal. Maps are interned, so a shape is
        # keyed by the step's level and the identities of its input maps
        # (all kept alive by the memo for the walker's life).
        shape = (level, *map(id, maps))
        out = self._shapes.get(shape)
        if out is None:
            merged: SourceMap = {}
            for m in maps:
                for key, mask in m.items():
                    merged[key] = merged.get(key, 0) | raise_classes(mask, level)
            out = self._interned.setdefault(frozenset(merged.items()), merged)
            self._shapes[shape] = out
        return out

    def column_sources(self, node_ids: Iterable[int]) -> SourceMap:
        """Union of the source maps of several nodes (one column's rows)."""
        out: SourceMap = {}
        seen = set()  # ids of maps already merged (maps are interned)
        for nid in node_ids:
            m = self.sources(nid)
            if id(m) in seen:
                continue
            seen.add(id(m))
            for key, mask in m.items():
                out[key] = out.get(key, 0) | mask
        return out


def _leaf_map(node) -> SourceMap:
    if node.node_type == NodeType.SOURCE and node.table and node.column:
        return {(str(node.table), str(node.column)): IDENTITY}
    return _EMPTY


def distinct_ids(node_ids) -> List[int]:
    """The distinct non-negative node ids of an id array, in first-seen order."""
    import numpy as np

    arr = np.asarray(node_ids)
    if arr.size == 0:
        return []
    arr = arr.astype(np.int64, copy=False).ravel()
    uniq, first = np.unique(arr, return_index=True)
    order = np.argsort(first, kind="stable")
    return [int(v) for v in uniq[order] if v >= 0]
