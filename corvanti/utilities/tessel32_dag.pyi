"""TESSEL-32 DAG: Full Computation Graph Reconstruction."""
import enum
import threading
from collections.abc import Iterable, Iterator, Mapping, MutableMapping
from typing import Any, Dict, List, Literal, Optional

import numpy as np
import numpy.typing as npt

from corvanti.utilities.tessel32 import (
    MAX_PAIRS as MAX_PAIRS,
    MODE_01_CHAIN_BITS as MODE_01_CHAIN_BITS,
    MODE_01_ENTITY_BITS as MODE_01_ENTITY_BITS,
    OpCode as OpCode,
    ProvenanceTracker as ProvenanceTracker,
    TrackedDataFrame as TrackedDataFrame,
    TrackedSeries as TrackedSeries,
    _hash_entity as _hash_entity,
)

class NodeType(enum.Enum):
    SOURCE = 1
    CONSTANT = 2
    UNARY = 3
    BINARY = 4
    AGGREGATE = 5
    MERGE = 6
    FILTER = 7
    CUSTOM = 8

class DAGNode:
    node_id: int
    node_type: NodeType
    operation: str
    inputs: List[int]
    provenance: int
    metadata: Dict[str, Any]
    table: Optional[str]
    column: Optional[str]
    pair_id: Optional[int]
    is_protected: bool
    def __init__(
        self,
        node_id: int,
        node_type: NodeType,
        operation: str,
        inputs: List[int],
        provenance: int,
        metadata: Dict[str, Any] = ...,
        table: Optional[str] = None,
        column: Optional[str] = None,
        pair_id: Optional[int] = None,
        is_protected: bool = False,
    ) -> None: ...
    @property
    def is_source(self) -> bool: ...
    @property
    def is_leaf(self) -> bool: ...
    def to_dict(self) -> Dict[str, Any]: ...

class DAGEdge:
    source_id: int
    target_id: int
    input_index: int
    def __init__(self, source_id: int, target_id: int, input_index: int) -> None: ...
    def to_dict(self) -> Dict[str, Any]: ...

class ComputationDAG:
    root_id: int
    nodes: Dict[int, DAGNode]
    edges: List[DAGEdge]
    def __init__(self, root_id: int, nodes: Dict[int, DAGNode], edges: List[DAGEdge]) -> None: ...
    @property
    def depth(self) -> int: ...
    @property
    def missing_ids(self) -> List[int]: ...
    @property
    def source_nodes(self) -> List[DAGNode]: ...
    @property
    def protected_sources(self) -> List[DAGNode]: ...
    @property
    def has_protected(self) -> bool: ...
    @property
    def operation_counts(self) -> Dict[str, int]: ...
    def column_taint_risks(self) -> Dict[str, float]: ...
    def to_dict(self) -> Dict[str, Any]: ...
    def to_json(self, indent: int = 2) -> str: ...
    def to_graphviz(self) -> str: ...
    def to_dot(self, legend: bool = True, labels: Literal["rich", "plain"] = "rich") -> str: ...
    def to_openlineage(
        self,
        namespace: str,
        job_name: Optional[str] = None,
        run_id: Optional[str] = None,
        dataset: Optional[str] = None,
        field: Optional[str] = None,
    ) -> List[Dict[str, Any]]: ...

class NodeRegistry(MutableMapping[int, DAGNode]):
    def __getitem__(self, key: int) -> DAGNode: ...
    def __setitem__(self, key: int, value: DAGNode) -> None: ...
    def __delitem__(self, key: int) -> None: ...
    def __iter__(self) -> Iterator[int]: ...
    def __len__(self) -> int: ...

class ProvenanceIndex(Mapping[int, List[int]]):
    def __getitem__(self, key: int) -> List[int]: ...
    def __iter__(self) -> Iterator[int]: ...
    def __len__(self) -> int: ...

class DAGTracker(ProvenanceTracker):
    _dag_lock: threading.Lock
    _nodes: NodeRegistry
    _next_node_id: int
    _value_buffer: list
    _value_buffer_lock: threading.Lock
    _value_flush_threshold: int
    _nodes_persisted: bool
    _max_nodes: int
    _prov_to_nodes: ProvenanceIndex
    _source_nodes: Dict[tuple, int]
    _writer: Any
    _storage: Any
    _pipeline_id: Any
    _pipeline_name: Optional[str]
    _api_key: Optional[str]
    _tenant_id: Optional[str]
    _service_url: str
    _dashboard_synced: bool
    _pipeline_status: Optional[str]  # "failed" after a with block left by an exception
    _lineage: Literal["positional", "rows"]
    _nodes_written: int  # set by the bulk write of a flush
    _edges_written: int
    def __init__(
        self,
        api_key: Optional[str] = None,
        tenant_id: Optional[str] = None,
        service_url: str = "",
        pipeline_name: Optional[str] = None,
        *,
        lineage: Literal["positional", "rows"] = "positional",
    ) -> None: ...
    def enable_persistence(self) -> None: ...
    def record_row_value(
        self, row_index: int, fingerprint: int, operation: str, value: Any = None, column_name: Optional[str] = None
    ) -> None: ...
    def disable_persistence(self) -> None: ...
    def flush(self, timeout: float = 30.0) -> bool: ...
    def get_persistence_stats(self) -> Optional[dict]: ...
    def _persist_node(self, node: DAGNode) -> None: ...
    def _start_new_pipeline(self) -> None: ...
    def _persist_dag_to_storage(self) -> None: ...
    def persist_to_storage(self, storage: Any, pipeline_id: Optional[int] = None) -> int: ...
    @staticmethod
    def persist_results(
        storage: Any, pipeline_id: int, row_keys: Iterable[Any], outputs: Dict[str, "DAGTrackedSeries"],
        source_df: Optional[pd.DataFrame] = None,
    ) -> None: ...
    def _sync_to_dashboard(self) -> None: ...
    def __del__(self) -> None: ...
    def _create_node(self, node_type: NodeType, operation: str, inputs: List[int], provenance: int, **kwargs: Any) -> int: ...
    def _evict_oldest_nodes(self) -> None: ...
    def __enter__(self) -> "DAGTracker": ...
    def __exit__(self, exc_type: Any, exc_val: Any, exc_tb: Any) -> bool: ...
    def create_source_node(self, table: str, column: str, provenance: int) -> int: ...
    def log_unary(self, op_name: str, input_node: int, result_prov: int, metadata: Optional[Dict] = None) -> int: ...
    def log_binary(
        self, op_name: str, left_node: int, right_node: int, result_prov: int, metadata: Optional[Dict] = None
    ) -> int: ...
    def log_merge(
        self,
        left_nodes: List[int],
        right_nodes: List[int],
        result_prov: int,
        merge_type: str = "inner",
        metadata: Optional[Dict] = None,
    ) -> int: ...
    def log_aggregate(self, op_name: str, input_nodes: List[int], result_prov: int, metadata: Optional[Dict] = None) -> int: ...
    def get_node(self, node_id: int) -> Optional[DAGNode]: ...
    def get_nodes_for_provenance(self, provenance: int) -> List[DAGNode]: ...
    def get_dag(self, root_node_id: int) -> ComputationDAG: ...
    def get_dag_for_provenance(self, provenance: int) -> Optional[ComputationDAG]: ...
    def dag_stats(self) -> Dict[str, Any]: ...
    def openlineage_events(
        self,
        namespace: str,
        job_name: Optional[str] = None,
        run_id: Optional[str] = None,
        outputs: Optional[Dict[str, Any]] = None,
    ) -> List[Dict[str, Any]]: ...

def _sha256_hex(data: bytes, /) -> str: ...
def _log_binary_many(
    tracker: DAGTracker, op_name: str, provenances: npt.NDArray[np.uint32], left: npt.NDArray[np.int64],
    right: npt.NDArray[np.int64]
) -> npt.NDArray[np.int64]: ...
def _log_unary_many(
    tracker: DAGTracker, op_name: str, provenances: npt.NDArray[np.uint32], left: npt.NDArray[np.int64]
) -> npt.NDArray[np.int64]: ...

# ---- tracked DataFrame and the wrapping/audit functions ----------------------------------
import pandas as pd

class DAGTrackedDataFrame(pd.DataFrame):
    """Pandas DataFrame with DAG-tracked provenance."""

    _metadata: List[str]
    _tracker: Optional[DAGTracker]
    _col_prov: Dict[Any, npt.NDArray[np.uint32]]
    _col_nodes: Dict[Any, npt.NDArray[np.int64]]
    def __init__(
        self,
        *args: Any,
        _tracker: Optional[DAGTracker] = None,
        _col_prov: Optional[Dict[Any, Any]] = None,
        _col_nodes: Optional[Dict[Any, Any]] = None,
        **kwargs: Any,
    ) -> None: ...
    @property
    def _constructor(self) -> type[DAGTrackedDataFrame]: ...
    @property
    def _constructor_sliced(self) -> type[pd.Series]: ...
    def __getitem__(self, key: Any) -> Any: ...
    def __setitem__(self, key: Any, value: Any) -> None: ...
    def merge(self, right: pd.DataFrame | pd.Series, *args: Any, **kwargs: Any) -> DAGTrackedDataFrame: ...  # type: ignore[override]
    def _merge_col_provenance(
        self,
        col_prov: Mapping[Any, Any],
        col_nodes: Mapping[Any, Any],
        result_columns: set,
        n: int,
        out_prov: Dict[Any, Any],
        out_nodes: Dict[Any, Any],
    ) -> None: ...

def wrap_dataframe_dag(
    df: pd.DataFrame, tracker: DAGTracker, table: str, protected: Any = False, include_entity: bool = True
) -> DAGTrackedDataFrame: ...
def combine_provenances(tracker: DAGTracker, node_ids: Any, op_code: Optional[Any] = None) -> int: ...
def get_dag_for_series(series: pd.Series, row_index: int = 0) -> Optional[ComputationDAG]: ...
def dag_audit(series: pd.Series, row_index: int = 0) -> Dict[str, Any]: ...

# ---- tracked Series ----------------------------------------------------------------------
from collections.abc import Callable, Sequence

class DAGTrackedSeries(pd.Series):
    """Pandas Series with DAG-tracked provenance."""

    _metadata: List[str]
    _prov: npt.NDArray[np.uint32] | Sequence[int]
    _tracker: Optional[DAGTracker]
    _node_ids: npt.NDArray[np.int64] | Sequence[int]
    def __init__(
        self,
        *args: Any,
        _prov: Optional[npt.NDArray[np.uint32] | Sequence[int]] = None,
        _tracker: Optional[DAGTracker] = None,
        _node_ids: Optional[npt.NDArray[np.int64] | Sequence[int]] = None,
        **kwargs: Any,
    ) -> None: ...
    @property
    def _constructor(self) -> type[DAGTrackedSeries]: ...
    def _binop_dag(self, other: Any, np_op: Callable[[Any, Any], Any], op_name: str, op_code: int) -> DAGTrackedSeries: ...
    def _unop_dag(self, np_op: Callable[[Any], Any], op_name: str, op_code: int) -> DAGTrackedSeries: ...
    def _apply_tracked_unary(self, result_values: Any, result_index: Any, op_name: str, op_code: Any) -> DAGTrackedSeries: ...
    def __add__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override]
    def __sub__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override]
    def __mul__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override]
    def __truediv__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override]
    def __floordiv__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override]
    def __pow__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override]
    def __radd__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override]
    def __rsub__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override]
    def __rmul__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override]
    def __rtruediv__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override]
    def __neg__(self) -> DAGTrackedSeries: ...  # type: ignore[override]
    def __gt__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override]
    def __lt__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override]
    def __ge__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override]
    def __le__(self, other: Any) -> DAGTrackedSeries: ...  # type: ignore[override]
    def fillna(self, value: Any = 0, **kwargs: Any) -> Any: ...  # type: ignore[override]
    def replace(self, *args: Any, **kwargs: Any) -> Any: ...  # type: ignore[override]
    def clip(self, lower: Any = None, upper: Any = None) -> DAGTrackedSeries: ...  # type: ignore[override]
