"""OpenLineage export of corvanti lineage.

A tracked pipeline run becomes OpenLineage ``RunEvent`` dicts (START, then
COMPLETE or FAIL) with input datasets for the wrapped source tables, output
datasets with column-level lineage read from the computation DAG, and the
run's taint findings in the custom run facet ``corvanti_taintFindings``.
``emit`` posts them to any OpenLineage HTTP endpoint. See docs/openlineage.md.

- :func:`run_events` (``DAGTracker.openlineage_events``): a tracker's pipeline;
- :func:`dag_events` (``ComputationDAG.to_openlineage``): one result value;
- :func:`emit`: POST events to ``<url>/api/v1/lineage``;
- :func:`record_source_schema` / :func:`track_source`: column dtypes of the
  source tables for their ``schema`` facets.

Needs nothing beyond the standard library, numpy and pandas.
"""

from corvanti.openlineage.events import (
    DEFAULT_JOB_NAME,
    dag_events,
    new_run_id,
    pipeline_failed,
    record_source_schema,
    run_events,
    track_source,
)
from corvanti.openlineage.facets import (
    COLUMN_LINEAGE_FACET_URL,
    PRODUCER,
    RUN_EVENT_SCHEMA_URL,
    SCHEMA_FACET_URL,
    TAINT_FACET_NAME,
    TAINT_FACET_SCHEMA_ID,
    TAINT_FACET_SCHEMA_URL,
    taint_facet_schema,
)
from corvanti.openlineage.transport import DEFAULT_TIMEOUT, LINEAGE_PATH, emit, lineage_url

__all__ = [
    "COLUMN_LINEAGE_FACET_URL",
    "DEFAULT_JOB_NAME",
    "DEFAULT_TIMEOUT",
    "LINEAGE_PATH",
    "PRODUCER",
    "RUN_EVENT_SCHEMA_URL",
    "SCHEMA_FACET_URL",
    "TAINT_FACET_NAME",
    "TAINT_FACET_SCHEMA_ID",
    "TAINT_FACET_SCHEMA_URL",
    "dag_events",
    "emit",
    "lineage_url",
    "new_run_id",
    "pipeline_failed",
    "record_source_schema",
    "run_events",
    "taint_facet_schema",
    "track_source",
]
