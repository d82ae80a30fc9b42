"""The facets of corvanti's OpenLineage events: dataset schema, column
lineage, and the taint findings of a run (a custom run facet whose JSON
schema ships beside this file as ``TaintFindingsRunFacet.json``)."""

from __future__ import annotations

from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

from corvanti.openlineage.lineage import SourceMap, subtypes

RUN_EVENT_SCHEMA_URL = "https://openlineage.io/spec/2-0-2/OpenLineage.json#/$defs/RunEvent"
SCHEMA_FACET_URL = "https://openlineage.io/spec/facets/1-2-0/SchemaDatasetFacet.json#/$defs/SchemaDatasetFacet"
COLUMN_LINEAGE_FACET_URL = (
    "https://openlineage.io/spec/facets/1-2-0/ColumnLineageDatasetFacet.json#/$defs/ColumnLineageDatasetFacet"
)

#: Key of the taint findings in the run facets.
TAINT_FACET_NAME = "corvanti_taintFindings"
#: `$id` of the taint facet's JSON schema (the file TaintFindingsRunFacet.json).
TAINT_FACET_SCHEMA_ID = "https://corvanti.dev/openlineage/facets/1-0-0/TaintFindingsRunFacet.json"
TAINT_FACET_SCHEMA_URL = TAINT_FACET_SCHEMA_ID + "#/$defs/TaintFindingsRunFacet"
TAINT_FACET_SCHEMA_FILE = "TaintFindingsRunFacet.json"


def _producer() -> str:
    try:
        from importlib.metadata import version

        v = version("corvanti")
    except Exception:  # running from a source tree without an installed distribution
        from corvanti import __version__ as v
    return f"https://corvanti.dev/openlineage/{v}"


#: URI naming this exporter in every event and facet.
PRODUCER = _producer()


def taint_facet_schema() -> Dict[str, Any]:
    """The JSON schema of the taint findings facet, as shipped in the package."""
    import json
    from importlib.resources import files

    return json.loads(files("corvanti.openlineage").joinpath(TAINT_FACET_SCHEMA_FILE).read_text("utf-8"))


def _base(schema_url: str) -> Dict[str, Any]:
    return {"_producer": PRODUCER, "_schemaURL": schema_url}


def schema_facet(fields: Sequence[Tuple[str, Optional[str]]]) -> Dict[str, Any]:
    """`schema` dataset facet from (name, type or None) pairs, in column order."""
    out = []
    for name, dtype in fields:
        field: Dict[str, Any] = {"name": name}
        if dtype is not None:
            field["type"] = dtype
        out.append(field)
    facet = _base(SCHEMA_FACET_URL)
    facet["fields"] = out
    return facet


def input_fields(namespace: str, sources: SourceMap) -> List[Dict[str, Any]]:
    """`inputFields` of one output column: one entry per source column, with
    one DIRECT transformation per class of path that reaches it."""
    out = []
    for (table, column), mask in sources.items():
        out.append({
            "namespace": namespace,
            "name": table,
            "field": column,
            "transformations": [{"type": "DIRECT", "subtype": s} for s in subtypes(mask)],
        })
    return out


def column_lineage_facet(namespace: str, columns: Iterable[Tuple[str, SourceMap]]) -> Optional[Dict[str, Any]]:
    """`columnLineage` dataset facet, or None when no column has lineage."""
    fields = {name: {"inputFields": input_fields(namespace, src)} for name, src in columns if src}
    if not fields:
        return None
    facet = _base(COLUMN_LINEAGE_FACET_URL)
    facet["fields"] = fields
    return facet


def taint_facet(
    *,
    namespace: str,
    protected_sources: Iterable[Tuple[str, str]],
    column_risks: Dict[str, float],
    output_columns: List[Dict[str, Any]],
    node_count: int,
    edge_count: int,
    missing_count: int,
    pipeline_id: Optional[int] = None,
) -> Dict[str, Any]:
    """The taint findings run facet (see docs/openlineage.md). ``pipeline_id``,
    the tracker's persisted pipeline, is carried as ``pipelineId`` when it is
    a positive int."""
    protected = [{"namespace": namespace, "name": t, "field": c} for t, c in protected_sources]
    facet = _base(TAINT_FACET_SCHEMA_URL)
    facet.update({
        "hasProtected": bool(protected),
        "protectedSourceColumns": protected,
        "columnTaintRisks": {str(k): float(v) for k, v in column_risks.items()},
        "outputColumns": output_columns,
        "nodeCount": int(node_count),
        "edgeCount": int(edge_count),
        "missingNodeCount": int(missing_count),
    })
    if isinstance(pipeline_id, int) and not isinstance(pipeline_id, bool) and 0 < pipeline_id < 2**63:
        facet["pipelineId"] = pipeline_id
    return facet
