"""Checks of OpenLineage events against the published JSON schemas and the
official ``openlineage-python`` client.

``validate_event(event)`` validates an event against the run-event schema
(OpenLineage 2-0-2) and every facet in it against the schema its
``_schemaURL`` names: the published facet schemas in tests/data/openlineage
and corvanti's own taint facet schema shipped in the package. Formats
(uuid, date-time, uri) are checked. Nothing is fetched: the URLs resolve to
those files.

``parse_event(event)`` builds the client's ``RunEvent`` (its attrs classes
run their own validators: UUID run id, ISO date-time with a time, producer
URI) and returns it with the dict the client serialises it back to.
"""

from __future__ import annotations

import json
import pathlib
from functools import lru_cache
from typing import Any, Dict, List, Tuple

import jsonschema
from referencing import Registry, Resource

from corvanti.openlineage import taint_facet_schema

DATA = pathlib.Path(__file__).resolve().parent.parent / "data" / "openlineage"
CORE_ID = "https://openlineage.io/spec/2-0-2/OpenLineage.json"


@lru_cache(maxsize=1)
def registry() -> Registry:
    docs = [json.loads(p.read_text("utf-8")) for p in sorted(DATA.glob("*.json"))]
    docs.append(taint_facet_schema())
    return Registry().with_resources((d["$id"], Resource.from_contents(d)) for d in docs)


def _validator(schema: Dict[str, Any]) -> jsonschema.Draft202012Validator:
    return jsonschema.Draft202012Validator(
        schema, registry=registry(), format_checker=jsonschema.Draft202012Validator.FORMAT_CHECKER
    )


def _facets(event: Dict[str, Any]) -> List[Tuple[str, Dict[str, Any]]]:
    found = [(f"run.{k}", v) for k, v in (event["run"].get("facets") or {}).items()]
    found += [(f"job.{k}", v) for k, v in (event["job"].get("facets") or {}).items()]
    for side in ("inputs", "outputs"):
        for ds in event.get(side) or []:
            for group in ("facets", "inputFacets", "outputFacets"):
                found += [(f"{side}.{ds['name']}.{k}", v) for k, v in (ds.get(group) or {}).items()]
    return found


def validate_event(event: Dict[str, Any]) -> None:
    """Raise jsonschema.ValidationError (or AssertionError for an unknown facet schema)."""
    _validator(registry().contents(CORE_ID)).validate(event)
    for where, facet in _facets(event):
        url = facet["_schemaURL"]
        base = url.split("#", 1)[0]
        assert base in {r for r in registry()}, f"{where}: no schema known for {url}"
        _validator({"$ref": url}).validate(facet)


# ---- the official client ----------------------------------------------------------


def _facet(cls, data: Dict[str, Any], **fields):
    facet = cls(producer=data["_producer"], **fields)
    # The generated classes set their own schema URL; keep the event's.
    facet._schemaURL = data["_schemaURL"]
    return facet


def _dataset_facets(data: Dict[str, Any]) -> Dict[str, Any]:
    from openlineage.client.facet_v2 import column_lineage_dataset as cl
    from openlineage.client.facet_v2 import schema_dataset as sd

    out = {}
    for key, f in data.items():
        if key == "schema":
            out[key] = _facet(sd.SchemaDatasetFacet, f, fields=[
                sd.SchemaDatasetFacetFields(name=x["name"], type=x.get("type")) for x in f["fields"]])
        elif key == "columnLineage":
            out[key] = _facet(cl.ColumnLineageDatasetFacet, f, fields={
                col: cl.Fields(inputFields=[
                    cl.InputField(namespace=i["namespace"], name=i["name"], field=i["field"],
                                  transformations=[cl.Transformation(type=t["type"], subtype=t.get("subtype"))
                                                   for t in i.get("transformations", [])])
                    for i in column["inputFields"]])
                for col, column in f["fields"].items()})
        else:
            raise AssertionError(f"unexpected dataset facet {key!r}")
    return out


def _run_facets(data: Dict[str, Any]) -> Dict[str, Any]:
    from openlineage.client.facet_v2 import RunFacet

    out = {}
    for key, f in data.items():
        extra = {k: v for k, v in f.items() if not k.startswith("_")}
        out[key] = _facet(RunFacet, f).with_additional_properties(**extra)
        out[key]._schemaURL = f["_schemaURL"]
    return out


def prune(obj: Any) -> Any:
    """Drop empty lists and dicts (the client serialises its defaults as [] and {})."""
    if isinstance(obj, dict):
        pruned = {k: prune(v) for k, v in obj.items()}
        return {k: v for k, v in pruned.items() if v not in ([], {}) and v is not None}
    if isinstance(obj, list):
        return [prune(v) for v in obj]
    return obj


def parse_event(event: Dict[str, Any]):
    """(client RunEvent, the client's dict of it)."""
    from openlineage.client.event_v2 import InputDataset, Job, OutputDataset, Run, RunEvent, RunState
    from openlineage.client.serde import Serde

    parsed = RunEvent(
        eventType=RunState(event["eventType"]),
        eventTime=event["eventTime"],
        producer=event["producer"],
        run=Run(runId=event["run"]["runId"], facets=_run_facets(event["run"].get("facets") or {})),
        job=Job(namespace=event["job"]["namespace"], name=event["job"]["name"]),
        inputs=[InputDataset(namespace=d["namespace"], name=d["name"], facets=_dataset_facets(d.get("facets") or {}))
                for d in event["inputs"]],
        outputs=[OutputDataset(namespace=d["namespace"], name=d["name"], facets=_dataset_facets(d.get("facets") or {}))
                 for d in event["outputs"]],
    )
    assert parsed.schemaURL == event["schemaURL"], (parsed.schemaURL, event["schemaURL"])
    return parsed, Serde.to_dict(parsed)


def check_event(event: Dict[str, Any]) -> None:
    """Valid against the schemas, parsed by the client, and serialised back unchanged."""
    validate_event(event)
    json.dumps(event, allow_nan=False)  # plain JSON, nothing that needs a default
    _, back = parse_event(event)
    assert prune(back) == prune(event)


# ---- the main job's pipeline -----------------------------------------------------------


def credit_pipeline(record_dtypes: bool = True):
    """The tracked credit pipeline of the main job (corvanti/demo.py): two
    wrapped tables (gender and age protected), column arithmetic, fillna,
    clip, a merge. Returns (tracker, apps, merged, score)."""
    import numpy as np
    import pandas as pd

    from corvanti.openlineage import record_source_schema
    from corvanti.utilities.tessel32_dag import DAGTracker, wrap_dataframe_dag

    applicants = pd.DataFrame(
        {
            "income": [52_000.0, 31_000.0, 78_500.0, 44_200.0, 61_000.0, 27_800.0],
            "debt": [12_000.0, 15_500.0, 9_000.0, 20_100.0, 4_500.0, 19_900.0],
            "savings": [8_000.0, np.nan, 22_000.0, 1_500.0, np.nan, 600.0],
            "age": [34, 23, 47, 38, 59, 29],
            "gender": ["f", "m", "f", "m", "f", "m"],
            "region": ["north", "south", "north", "east", "south", "east"],
        },
        index=pd.Index([101, 102, 103, 104, 105, 106], name="applicant_id"),
    )
    bureau = pd.DataFrame({"region": ["north", "south", "east"], "regional_default_rate": [0.031, 0.054, 0.042]})
    t = DAGTracker(pipeline_name="credit-demo")
    apps = wrap_dataframe_dag(applicants, t, "applicants", protected=["gender", "age"])
    bureau_t = wrap_dataframe_dag(bureau, t, "bureau")
    if record_dtypes:
        record_source_schema(t, "applicants", applicants)
        record_source_schema(t, "bureau", bureau)
    apps["dti"] = (apps["debt"] / apps["income"]).clip(0.0, 1.0)
    apps["savings_ratio"] = apps["savings"].fillna(0.0) / apps["income"]
    apps["age_factor"] = apps["age"].clip(18, 70) / 70.0
    merged = apps.merge(bureau_t, on="region", how="left")
    risk = merged["dti"] * merged["regional_default_rate"]
    score = merged["savings_ratio"] - risk * 10.0 + merged["age_factor"]
    return t, apps, merged, score


def lineage_of(event: Dict[str, Any], dataset: str, column: str) -> Dict[Tuple[str, str], List[str]]:
    """(table, column) -> subtypes, for one output column of an event."""
    (ds,) = [d for d in event["outputs"] if d["name"] == dataset]
    fields = ds["facets"]["columnLineage"]["fields"][column]["inputFields"]
    return {(f["name"], f["field"]): [x["subtype"] for x in f["transformations"]] for f in fields}
