"""Request and response bodies of the service, as docs/service-api.md defines them.

Every text field refuses NUL characters and lone surrogates (neither can be
stored as text by both engines), and every integer is bounded to what a
64-bit column holds, so a body the database could not take is answered 422
instead of failing inside the database.
"""

from __future__ import annotations

from typing import Annotated, Any, Literal, Optional

from pydantic import AfterValidator, BaseModel, ConfigDict, Field

INT64_MAX = 2**63 - 1
FINGERPRINT_MAX = 2**32 - 1
#: Records in one batch of a storage endpoint (the client splits larger calls).
MAX_BATCH = 5000


def _clean_text(value: str) -> str:
    if "\x00" in value:
        raise ValueError("text must not contain NUL characters")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError("text must be valid Unicode (no lone surrogates)") from None
    return value


Text = Annotated[str, AfterValidator(_clean_text)]
Name = Annotated[str, Field(min_length=1), AfterValidator(_clean_text)]
BatchId = Annotated[str, Field(min_length=1, max_length=200), AfterValidator(_clean_text)]
Int64 = Annotated[int, Field(ge=-INT64_MAX - 1, le=INT64_MAX)]
Count = Annotated[int, Field(ge=0, le=INT64_MAX)]
PipelineId = Annotated[int, Field(ge=1, le=INT64_MAX)]
NodeId = Annotated[int, Field(ge=1, le=INT64_MAX)]
Fingerprint = Annotated[int, Field(ge=0, le=FINGERPRINT_MAX)]
JSONObject = dict[str, Any]


class _Body(BaseModel):
    model_config = ConfigDict(extra="ignore")


# ---- pipelines and sources -------------------------------------------------

class PipelineCreate(_Body):
    pipeline_name: Name
    config: Optional[JSONObject] = None
    git_commit: Optional[Text] = None


class PipelineCreated(BaseModel):
    pipeline_id: int


PipelineStatusName = Literal["completed", "failed", "validation_complete"]


class PipelinePatch(_Body):
    status: PipelineStatusName


class PipelineStatus(BaseModel):
    pipeline_id: int
    status: str


class SourceIn(_Body):
    pair_id: Int64
    table_name: Name
    column_name: Name
    is_protected: bool = False
    pipeline_id: Optional[PipelineId] = None


class Ok(BaseModel):
    ok: bool = True


# ---- graph records ---------------------------------------------------------

class NodeIn(_Body):
    """A node: what ``validate()`` posts to /v1/nodes and the ``StoredNode`` fields."""

    fingerprint: Fingerprint
    node_type: Name
    operation: Text
    table_name: Optional[Text] = None
    column_name: Optional[Text] = None
    pair_id: Optional[Int64] = None
    is_protected: bool = False
    entity_hash: Optional[Int64] = None
    chain_hash: Optional[Int64] = None
    metadata: Optional[JSONObject] = None
    pipeline_id: PipelineId


class EdgeIn(_Body):
    """An edge of ``validate()``: by fingerprint, in the pipeline of its nodes."""

    parent_fingerprint: Fingerprint
    child_fingerprint: Fingerprint
    pipeline_id: Optional[PipelineId] = None
    input_position: Optional[Count] = None


class ResultIn(_Body):
    row_key: Text
    output_name: Text
    fingerprint: Fingerprint
    output_value: Optional[float] = None
    input_hash: Optional[Text] = None


class ResultsIn(_Body):
    pipeline_id: PipelineId
    results: Annotated[list[ResultIn], Field(max_length=1_000_000)]


class RowValueIn(_Body):
    """A row value: what ``validate()`` posts to /v1/values and the ``StoredRowValue`` fields."""

    pipeline_id: PipelineId
    row_index: Int64
    fingerprint: Fingerprint
    node_operation: Text
    column_name: Optional[Text] = None
    value: Optional[float] = None
    text_value: Optional[Text] = None
    tenant_id: Optional[Text] = None


class Stored(BaseModel):
    stored: int
    duplicate: bool = False


# ---- storage endpoints (HostedStorage) -----------------------------------

class StoreNodes(_Body):
    batch_id: BatchId
    nodes: Annotated[list[NodeIn], Field(max_length=MAX_BATCH)]


class StoreEdge(_Body):
    parent_fingerprint: Fingerprint
    child_fingerprint: Fingerprint
    input_position: Count = 0


class StoreEdges(_Body):
    batch_id: BatchId
    pipeline_id: PipelineId
    edges: Annotated[list[StoreEdge], Field(max_length=MAX_BATCH)]


class StoreEdgesResolved(_Body):
    batch_id: BatchId
    edges: Annotated[list[tuple[NodeId, NodeId, Count]], Field(max_length=MAX_BATCH)]


class StoreRowValues(_Body):
    batch_id: BatchId
    values: Annotated[list[RowValueIn], Field(max_length=MAX_BATCH)]


class StoreResults(_Body):
    batch_id: BatchId
    pipeline_id: PipelineId
    results: Annotated[list[tuple[Text, Text, Fingerprint, Optional[float], Optional[Text]]],
                       Field(max_length=MAX_BATCH)]


class Fingerprints(BaseModel):
    pipeline_id: int
    fingerprints: list[tuple[int, int]]


# ---- dashboard sync --------------------------------------------------------

class SyncPipeline(_Body):
    pipeline_name: Text
    status: Text
    node_count: Count
    edge_count: Count
    provenance_pipeline_id: Optional[PipelineId] = None


class SyncModel(_Body):
    model_id: Text
    name: Text
    version: Text
    status: Text
    domain: Text


class SyncFairnessDetails(_Body):
    node_count: Count
    edge_count: Count
    protected_sources: list[Text]


class SyncFairness(_Body):
    model_id: Text
    has_disparate_impact: bool
    protected_attributes: list[Text]
    details: SyncFairnessDetails


class DashboardSync(_Body):
    pipeline: SyncPipeline
    model: SyncModel
    fairness: SyncFairness


class SyncStored(BaseModel):
    ok: bool = True
    sync_id: int


# ---- validation uploads ----------------------------------------------------

class UploadData(_Body):
    X_test: JSONObject
    y_test: Optional[JSONObject] = None
    predictions: JSONObject
    protected: Optional[JSONObject] = None
    X_train: Optional[JSONObject] = None
    y_train: Optional[JSONObject] = None


class UploadLineage(_Body):
    columns: dict[str, Text]
    tables: dict[str, dict[str, Text]]
    snapshots: dict[str, JSONObject]


class UploadIn(_Body):
    model_name: Text
    model_version: Text
    model_id: Text
    model_hash: Optional[Text] = None
    model_type: Optional[Text] = None
    n_rows: Count
    label_column: Optional[Text] = None
    feature_columns: list[Text]
    protected_columns: list[Text]
    data: UploadData
    lineage: UploadLineage


class UploadStored(BaseModel):
    upload_id: str
    model_id: str
    n_rows: int


# ---- reading -----------------------------------------------------------------

class PipelineInfo(BaseModel):
    pipeline_id: int
    name: str
    status: str
    started_at: str
    finished_at: Optional[str]
    git_commit: Optional[str]
    config: Optional[Any]
    node_count: int
    edge_count: int


class PipelineList(BaseModel):
    pipelines: list[PipelineInfo]


class ResultOut(BaseModel):
    row_key: str
    output_name: str
    fingerprint: int
    value: Optional[float]
    input_hash: Optional[str]


class ResultList(BaseModel):
    pipeline_id: int
    total: int
    results: list[ResultOut]


class VerifyIn(_Body):
    pipeline_id: PipelineId
    row_key: Text
    output_name: Optional[Text] = None
    row: JSONObject
    scheme: Optional[Literal["row_json", "validate"]] = None


class VerifyOut(BaseModel):
    pipeline_id: int
    row_key: str
    output_name: str
    scheme: str
    stored_hash: Optional[str]
    computed_hash: str
    verdict: Literal["intact", "tampered", "no stored hash"]


class ModelInfo(BaseModel):
    model_id: str
    name: Optional[str]
    version: Optional[str]
    status: Optional[str]
    domain: Optional[str]
    source: Literal["dashboard sync", "upload"]
    pipeline_name: Optional[str]
    n_rows: Optional[int]
    received_at: str


class ModelList(BaseModel):
    models: list[ModelInfo]


class FairnessInfo(BaseModel):
    sync_id: int
    model_id: str
    pipeline_name: str
    provenance_pipeline_id: Optional[int]
    has_disparate_impact: bool
    protected_attributes: list[str]
    node_count: Optional[int]
    edge_count: Optional[int]
    received_at: str


class FairnessList(BaseModel):
    findings: list[FairnessInfo]


# ---- OpenLineage run events ----------------------------------------------------

#: The run states of an OpenLineage RunEvent.
LineageEventType = Literal["START", "RUNNING", "COMPLETE", "ABORT", "FAIL", "OTHER"]


def _event_time(value: str) -> str:
    """An ISO-8601 date-time with a UTC offset, as the UTC text the store keeps."""
    from datetime import datetime, timezone

    try:
        when = datetime.fromisoformat(value)
    except ValueError:
        raise ValueError("eventTime must be an ISO-8601 date-time, e.g. 2026-12-09T01:47:14.123Z") from None
    if when.tzinfo is None or when.utcoffset() is None:
        raise ValueError("eventTime must carry a UTC offset (Z or +hh:mm)")
    try:
        return when.astimezone(timezone.utc).replace(tzinfo=None).isoformat(timespec="microseconds") + "Z"
    except (OverflowError, ValueError):
        raise ValueError("eventTime is out of range") from None


def _run_id(value: str) -> str:
    import uuid

    try:
        return str(uuid.UUID(value))
    except ValueError:
        raise ValueError("runId must be a UUID") from None


EventTime = Annotated[str, Field(max_length=64), AfterValidator(_event_time)]
RunId = Annotated[str, Field(max_length=64), AfterValidator(_run_id)]
LineageName = Annotated[str, Field(min_length=1, max_length=4096), AfterValidator(_clean_text)]


class _OpenBody(BaseModel):
    """OpenLineage objects are open: keys not named here are kept as sent."""

    model_config = ConfigDict(extra="allow")


class LineageRun(_OpenBody):
    runId: RunId
    facets: Optional[JSONObject] = None


class LineageJob(_OpenBody):
    namespace: LineageName
    name: LineageName
    facets: Optional[JSONObject] = None


class LineageDataset(_OpenBody):
    namespace: LineageName
    name: LineageName
    facets: Optional[JSONObject] = None


class LineageEventIn(_OpenBody):
    """One OpenLineage RunEvent."""

    eventType: LineageEventType
    eventTime: EventTime
    run: LineageRun
    job: LineageJob
    producer: Annotated[str, Field(min_length=1), AfterValidator(_clean_text)]
    schemaURL: Annotated[str, Field(min_length=1), AfterValidator(_clean_text)]
    inputs: Annotated[list[LineageDataset], Field(max_length=MAX_BATCH)] = []
    outputs: Annotated[list[LineageDataset], Field(max_length=MAX_BATCH)] = []


class LineageStored(BaseModel):
    event_id: int
    pipeline_id: Optional[int]
    duplicate: bool


class LineageEventInfo(BaseModel):
    event_id: int
    pipeline_id: Optional[int]
    run_id: str
    event_type: str
    event_time: str
    job_namespace: str
    job_name: str
    received_at: str
    event: JSONObject


class LineageEventList(BaseModel):
    total: int
    events: list[LineageEventInfo]
