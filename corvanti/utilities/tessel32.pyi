"""TESSEL-32 provenance values and the base provenance tracker."""

import enum
import logging
from collections.abc import Hashable, Iterable, Mapping
from typing import Any, Final, NamedTuple, SupportsIndex

import numpy as np
import numpy.typing as npt
import pandas as pd

logger: logging.Logger

MAX_PAIRS: Final[int]  # 20: the most sources a value holds exactly
MODE_01_ENTITY_BITS: Final[int]  # 8
MODE_01_CHAIN_BITS: Final[int]  # 6
MAX_DEPTH: Final[int]  # 7
MODE_SINGLE: Final[int]  # 0
MODE_PAIR: Final[int]  # 1
MODE_SET: Final[int]  # 2
MODE_BLOOM: Final[int]  # 3

class OpCode(enum.IntEnum):
    ADD = 1
    SUB = 2
    MUL = 3
    DIV = 4
    NEG = 5
    CMP = 6
    CLIP = 7
    FILL = 8
    MAP = 9
    MERGE = 10
    AGG = 11
    CUSTOM = 15

class DecodedProvenance(NamedTuple):
    mode: int
    taint: bool
    depth: int
    pairs: tuple[int, ...]
    entity: int
    chain: int
    exact: bool

def _hash_entity(label: object) -> int: ...

_C_API: object

class ProvenanceTracker:
    _name_to_id: dict[tuple[str, str], int]
    _id_to_name: dict[int, tuple[str, str]]
    _protected_ids: set[int]
    _next_pair_id: int
    def __init__(self) -> None: ...
    def register(self, table: str, column: str, protected: object = False) -> int: ...
    def get_id(self, table: str, column: str) -> int: ...
    def is_protected(self, table: str, column: str) -> bool: ...
    def entity_from_row(self, label: object) -> int: ...
    def encode(
        self,
        ids: Iterable[SupportsIndex],
        entity: SupportsIndex = 0,
        chain: SupportsIndex = 0,
        taint: object = False,
        depth: SupportsIndex = 0,
    ) -> int: ...
    def decode_full(self, p: SupportsIndex) -> DecodedProvenance: ...
    def combine(self, pa: SupportsIndex, pb: SupportsIndex, op: SupportsIndex) -> int: ...
    def update_chain(self, p: SupportsIndex, op: SupportsIndex) -> int: ...
    @staticmethod
    def is_tainted(p: SupportsIndex) -> bool: ...
    @staticmethod
    def risk_score(p: SupportsIndex) -> float: ...
    @staticmethod
    def get_mode(p: SupportsIndex) -> int: ...
    def explain(self, p: SupportsIndex) -> list[str]: ...
    def explain_tables(self, p: SupportsIndex) -> list[str]: ...
    def has_protected(self, p: SupportsIndex) -> bool: ...

class TrackedSeries(pd.Series):
    _metadata: list[str]
    _prov: npt.NDArray[np.uint32]
    _tracker: ProvenanceTracker | None
    def __init__(
        self,
        *args: Any,
        _prov: npt.ArrayLike | None = None,
        _tracker: ProvenanceTracker | None = None,
        **kwargs: Any,
    ) -> None: ...
    @property
    def _constructor(self) -> type[TrackedSeries]: ...
    @property
    def _constructor_expanddim(self) -> type[TrackedDataFrame]: ...

class TrackedDataFrame(pd.DataFrame):
    _metadata: list[str]
    _col_prov: dict[Hashable, npt.NDArray[np.uint32]]
    _tracker: ProvenanceTracker | None
    def __init__(
        self,
        *args: Any,
        _col_prov: Mapping[Hashable, npt.ArrayLike] | None = None,
        _tracker: ProvenanceTracker | None = None,
        **kwargs: Any,
    ) -> None: ...
    @property
    def _constructor(self) -> type[TrackedDataFrame]: ...
    @property
    def _constructor_sliced(self) -> type[TrackedSeries]: ...
