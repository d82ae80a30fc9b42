"""The main job: a small tracked credit pipeline, run end to end.

An applicants table (with protected columns) and a regional bureau table are
wrapped with ``wrap_dataframe_dag``; derived ratios, ``fillna``, ``clip`` and
a ``merge`` are computed on the tracked objects, so that every result element
carries its provenance and its node in the computation DAG. One element of
the final score is audited with ``dag_audit`` (printed), and its DAG is
written as JSON and DOT (and SVG when Graphviz is installed) to ./out/.

The corvanti service runs in this process on a free loopback port, over the
embedded default database (the per-user SQLite file of
``corvanti.utilities.persistence.default_database_path()``), with a new API
key. The tracker persists through ``HostedStorage`` over HTTP to it: every
node, edge and row value streams to the service while the pipeline runs;
``flush`` writes the deduplicated graph and posts the run summary to the
dashboard; ``persist_results`` stores each applicant's score with a hash of
the source row. A scikit-learn model is trained on the tracked features and
``corvanti.validate`` uploads its validation run to the same service. The job
prints where the database is, what it holds, and the dashboard's URL
(``--keep-serving`` leaves the service up). Without the ``demo`` extra (no
service, no scikit-learn) the tracker writes the database directly.
"""
import os
import shutil
import subprocess
import sys
import time
from typing import Any, Dict, Optional

import numpy as np
import pandas as pd

from corvanti.utilities import jsonweave
from corvanti.utilities.tessel32_dag import DAGTracker, dag_audit, get_dag_for_series, wrap_dataframe_dag


#: The tenant of the demo's API key.
TENANT = "demo"


def _tables() -> tuple[pd.DataFrame, pd.DataFrame]:
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
    bureau = pd.DataFrame(
        {"region": ["north", "south", "east"], "regional_default_rate": [0.031, 0.054, 0.042]}
    )
    return applicants, bureau


def _pipeline_tracked(apps: Any, bureau: Any) -> Any:
    """The pipeline on tracked Series: every element-wise step logs its nodes."""
    apps["dti"] = (apps["debt"] / apps["income"]).clip(0.0, 1.0)
    apps["savings_ratio"] = apps["savings"].fillna(0.0) / apps["income"]
    apps["age_factor"] = apps["age"].clip(18, 70) / 70.0
    merged = apps.merge(bureau, on="region", how="left")
    # Merged columns carry one "merge" node per column; the score combines them.
    risk = merged["dti"] * merged["regional_default_rate"]
    score = merged["savings_ratio"] - risk * 10.0 + merged["age_factor"]
    score.index = apps.index  # a left merge on a unique key keeps the applicants' rows in order
    return score


def _draw_svg(dot_path: str, svg_path: str) -> bool:
    """Draws the DOT file as SVG with Graphviz; says how to get Graphviz when it is missing."""
    dot = shutil.which("dot")
    if dot is None:
        print("note: no SVG drawn, Graphviz's `dot` is not installed: "
              "apt-get install graphviz (Debian/Ubuntu) or brew install graphviz (macOS)")
        return False
    done = subprocess.run([dot, "-Tsvg", dot_path, "-o", svg_path], capture_output=True, text=True)
    if done.returncode != 0:
        print(f"warning: no SVG drawn, `{dot} -Tsvg` failed (exit {done.returncode}): {done.stderr.strip()[:200]}",
              file=sys.stderr)
        return False
    return True


def _database_report(path: Optional[str], pipeline_id: Any) -> Dict[str, Any]:
    """What the lineage database holds: this run, and all runs."""
    import sqlite3

    if not path or not os.path.exists(path):
        return {}
    con = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        def count(table: str, where: str = "", args: tuple = ()) -> int:
            return con.execute(f"SELECT count(*) FROM {table} {where}", args).fetchone()[0]

        run = {table: count(table, "WHERE pipeline_id = ?", (pipeline_id,))
               for table in ("nodes", "edges", "row_values", "results")}
        total = {table: count(table) for table in ("pipelines", "nodes", "edges", "row_values")}
    finally:
        con.close()
    return {"path": str(path), "pipeline_id": pipeline_id, "this_run": run, "all_runs": total}


class _Service:
    """The corvanti service on a free loopback port of this process, over the
    embedded default database, with one API key; or nothing when the service
    extra is not installed (the tracker then writes the database directly)."""

    def __init__(self, db_path: str) -> None:
        self.url: Optional[str] = None
        self.key: Optional[str] = None
        self._stop = None
        try:
            from corvanti.service import create_key, run_in_thread
        except ImportError as exc:
            print(f"note: the corvanti service is not installed ({exc.name} missing: pip install 'corvanti[demo]'); "
                  "the tracker writes the lineage database directly")
            return
        db_url = f"sqlite:///{db_path}"
        self.key = create_key(db_url, TENANT)
        self.url, self._stop = run_in_thread(db_url)

    def get(self, path: str) -> Any:
        import json
        import urllib.request

        req = urllib.request.Request(self.url + path, headers={"Authorization": f"Bearer {self.key}"})
        with urllib.request.urlopen(req, timeout=30) as resp:
            return json.loads(resp.read())

    def stop(self) -> None:
        if self._stop is not None:
            self._stop()
            self._stop = None


def _validate_model(score: Any, applicants: pd.DataFrame, apps: Any, service: _Service) -> Optional[Dict[str, Any]]:
    """Trains a scikit-learn model on the tracked features and validates it
    against the service (predictions computed locally)."""
    try:
        from sklearn.linear_model import LogisticRegression
    except ImportError:
        print("note: scikit-learn is not installed (pip install 'corvanti[demo]'); no model validated")
        return None
    import corvanti

    features = pd.DataFrame({name: np.asarray(apps[name], dtype=float)
                             for name in ("dti", "savings_ratio", "age_factor")}, index=applicants.index)
    data = features.assign(gender=applicants["gender"].to_numpy(),
                           approved=(np.asarray(score, dtype=float) > float(np.median(score))).astype(int))
    clf = LogisticRegression().fit(data[["dti", "savings_ratio", "age_factor"]], data["approved"])
    corvanti.source(applicants, "applicants")
    try:
        return corvanti.validate(clf, test_df=data, label_column="approved", protected_columns=["gender"],
                                 model_name="credit", model_version="1", api_key=service.key,
                                 service_url=service.url)
    finally:
        corvanti.clear_sources()


def _write_dag(dag: Any, out_dir: str) -> tuple[list, bool]:
    os.makedirs(out_dir, exist_ok=True)
    json_path = os.path.join(out_dir, "score_dag.json")
    dot_path = os.path.join(out_dir, "score_dag.dot")
    with open(json_path, "w") as f:
        f.write(dag.to_json())
    with open(dot_path, "w") as f:
        f.write(dag.to_graphviz())
    svg = _draw_svg(dot_path, os.path.join(out_dir, "score_dag.svg"))
    # the picture for people: operations, source columns, the protected path, a legend
    lineage_path = os.path.join(out_dir, "score_lineage.dot")
    with open(lineage_path, "w") as f:
        f.write(dag.to_dot(legend=True, labels="rich"))
    if svg:
        _draw_svg(lineage_path, os.path.join(out_dir, "score_lineage.svg"))
    return [json_path, dot_path, lineage_path], svg


def _report_service(service: _Service, pipeline_id: Any) -> None:
    pipelines = service.get("/v1/pipelines")["pipelines"]
    print(f"dashboard: {service.url}/dashboard/ (sign in with the API key {service.key})")
    for p in pipelines[:5]:
        print(f"  pipeline {p['pipeline_id']} {p['name']!r}: {p['status']}, {p['node_count']} nodes, "
              f"{p['edge_count']} edges, started {p['started_at']}")
    for f in service.get("/v1/fairness")["findings"][:3]:
        print(f"  fairness {f['model_id']!r}: disparate impact {f['has_disparate_impact']}, "
              f"protected attributes {', '.join(f['protected_attributes'])}")
    if pipeline_id is not None:
        print(f"  per-row results with input hashes: {service.url}/dashboard/pipelines/{pipeline_id}")


def main(out_dir: str = "out", keep_serving: bool = False) -> Dict[str, Any]:
    from corvanti.utilities.persistence import default_database_path

    db_path = str(default_database_path())
    os.makedirs(os.path.dirname(db_path), exist_ok=True)
    service = _Service(db_path)
    try:
        return _run(out_dir, service, db_path, keep_serving)
    finally:
        service.stop()


def _run(out_dir: str, service: _Service, db_path: str, keep_serving: bool) -> Dict[str, Any]:
    applicants, bureau_table = _tables()
    if service.url:   # HostedStorage over HTTP to the service
        t = DAGTracker(api_key=service.key, tenant_id=TENANT, service_url=service.url, pipeline_name="credit")
    else:             # HostedStorage("") = the embedded default database
        t = DAGTracker(api_key="local", pipeline_name="credit")
    apps = wrap_dataframe_dag(applicants, t, "applicants", protected=["gender", "age"])
    bureau = wrap_dataframe_dag(bureau_table, t, "bureau")

    score = _pipeline_tracked(apps, bureau)

    row = 0
    audit = dag_audit(score, row)
    audit["value"] = float(score.iloc[row])
    paths, svg = _write_dag(get_dag_for_series(score, row), out_dir)

    print(f"credit score of applicant {score.index[row]}: {audit['value']:.4f}")
    print(jsonweave.dumps(audit, indent=2, default=str))
    print(f"tracker: {jsonweave.dumps(t.dag_stats(), default=str)}")
    print(f"DAG written to {', '.join(paths[:-1])} and {paths[-1]}" + (" (+ .svg)" if svg else ""))

    pipeline_id = t._pipeline_id
    flushed = t.flush()   # waits for the writer, writes the deduplicated graph, syncs the dashboard
    if t._storage is not None and pipeline_id is not None:
        # per-row scores with a SHA-256 of each applicant's source row (tamper check)
        t.persist_results(t._storage, pipeline_id, applicants.index, {"score": score}, source_df=applicants)
    stats = t.get_persistence_stats()
    t.disable_persistence()

    summary = _validate_model(score, applicants, apps, service) if service.url else None
    if summary is not None:
        print(f"model validated: {summary['n_rows']} rows, features {summary['feature_columns']}")

    report = _database_report(db_path, pipeline_id)
    if report:
        run, total = report["this_run"], report["all_runs"]
        print(f"lineage database: {report['path']} (flush {'complete' if flushed else 'timed out'})")
        print(f"  this run (pipeline {report['pipeline_id']}): {run['nodes']} nodes, {run['edges']} edges, "
              f"{run['row_values']} row values, {run['results']} results")
        print(f"  all runs: pipelines {total['pipelines']}, nodes {total['nodes']}, edges {total['edges']}, "
              f"row values {total['row_values']}")
        if stats:
            print(f"  writer: {stats.get('written')} records in {stats.get('batches')} batches, "
                  f"{stats.get('failed')} failed")
    else:
        print("lineage not persisted (memory-only tracker)")
    if service.url:
        _report_service(service, pipeline_id)
        if keep_serving:
            print("serving until Ctrl-C ...")
            try:
                while True:
                    time.sleep(3600)
            except KeyboardInterrupt:
                pass
    audit["database"] = report
    audit["validation"] = summary
    return audit


if __name__ == "__main__":
    import argparse

    parser = argparse.ArgumentParser(prog="python -m corvanti.demo", description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="out", help="where the DAG files go (default ./out)")
    parser.add_argument("--keep-serving", action="store_true",
                        help="leave the service (and its dashboard) up after the job, until Ctrl-C")
    args = parser.parse_args()
    main(args.out, keep_serving=args.keep_serving)
