"""Private helpers behind corvanti's upload() and validate() (native module)."""

import hashlib as hashlib
import json as json
import logging
import pickle as pickle
from types import ModuleType
from typing import Any, Callable, Optional

logger: logging.Logger
_orjson: Optional[ModuleType]
_MAX_ERROR_TEXT: int

# ---- serialisation and hashing ---------------------------------------------------

def _fast_dumps(obj: Any, default: Optional[Callable[[Any], Any]] = None, sort_keys: Any = False) -> str: ...
def _fast_loads(s: str | bytes | bytearray | memoryview) -> Any: ...
def _sanitize_value(v: Any) -> Any: ...
def _sanitize_list(lst: Any) -> list[Any]: ...
def _sanitize_rows(rows: Any) -> list[list[Any]]: ...
def _serialize(arr: Any) -> Optional[dict[str, Any]]: ...
def _content_hash(*parts: Any) -> int:
    """Content-addressable 32-bit hash for DAG node identification."""

def _compute_model_hash(model: Any) -> Optional[str]: ...

# ---- service HTTP client ---------------------------------------------------------

def _post_json(url: str, api_key: str, payload: Any, timeout: int = 120) -> Optional[dict[str, Any]]: ...
def _patch_json(url: str, api_key: str, payload: dict[str, Any], timeout: int = 30) -> Optional[dict[str, Any]]: ...

# ---- row and column helpers ------------------------------------------------------

def _cn(X: Any, fallback_prefix: str = "feature") -> list[str]: ...
def _rc(X: Any) -> int: ...
def _trd(X: Any, cols: list[str]) -> list[dict[str, Any]]: ...
def _fo(outputs: Any, n: int) -> list[Any]: ...
def _gs(val: Any) -> tuple[Optional[float], Optional[str]]: ...
def _rh(row_dict: dict[str, Any]) -> str: ...

# ---- validate() provenance upload ------------------------------------------------

def _sync_prov(
    X: Any,
    y: Any,
    protected_data: Any,
    protected_columns: list[str],
    model_name: str,
    model_version: str,
    api_key: str,
    service_url: str,
    model_id: str = "",
) -> None: ...

# ---- source registry, input resolution and local prediction ----------------------

import threading
from collections.abc import Iterable

import numpy
import pandas

class _ProvenanceRegistry:
    """Global registry tracking source DataFrames for pipeline lineage."""

    _lock: threading.Lock
    _sources: dict[Any, str]
    _source_columns: dict[str, list[Any]]
    _source_dtypes: dict[str, dict[str, str]]

    def __init__(self) -> None: ...
    def register(self, df: Any, table_name: str) -> None:
        """Register a DataFrame as a source table."""
    def resolve(self, df: Any) -> dict[Any, str]:
        """Resolve provenance for every column in a DataFrame."""
    def build_source_snapshots(self, final_df: Any) -> dict[str, Optional[dict[str, Any]]]:
        """Build source snapshots containing ONLY columns used in the final DataFrame."""
    def get_source_mapping(self) -> dict[Any, str]:
        """Return the full column -> table.col mapping."""
    def get_source_metadata(self) -> dict[str, dict[str, str]]:
        """Return source table metadata (columns + dtypes)."""
    def clear(self) -> None:
        """Reset the registry (between pipeline runs)."""

_registry: _ProvenanceRegistry

def _resolve_inputs(
    train_df: Any,
    test_df: Any,
    label_column: Any,
    X_train: Any,
    y_train: Any,
    X_test: Any,
    y_test: Any,
    protected_columns: Iterable[Any],
) -> tuple[Any, Any, Any, Any, Optional[pandas.DataFrame]]: ...
def _run_local_predict(model: Any, X: Any) -> numpy.ndarray: ...
