"""The main job: a small tracked credit pipeline, run end to end.

An applicants table (with protected columns) and a regional bureau table are
wrapped with ``wrap_dataframe_dag``; derived ratios, ``fillna``, ``clip`` and
a ``merge`` are computed on the tracked objects, so that every result element
carries its provenance and its node in the computation DAG. One element of
the final score is audited with ``dag_audit`` (printed), and its DAG is
written as JSON and DOT (and SVG when Graphviz is installed) to ./out/.

The tracker persists to the embedded default store (``api_key="local"`` with
no service URL: the per-user SQLite database of
``corvanti.utilities.persistence.default_database_path()``): every node, edge
and row value streams to it while the pipeline runs, ``flush`` writes the
deduplicated graph, and the job prints where the database is and what it
holds.
"""
import os
import shutil
import subprocess
import sys
from typing import Any, Dict

import numpy as np
import pandas as pd

from corvanti.utilities import jsonweave
from corvanti.utilities.tessel32_dag import DAGTracker, dag_audit, get_dag_for_series, wrap_dataframe_dag


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


def _database_report(t: DAGTracker) -> Dict[str, Any]:
    """Where the lineage went and what the database holds (this run, and all runs)."""
    import sqlite3

    path = getattr(t._storage, "database_path", None)
    if not path:
        return {}
    con = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        def count(table: str, where: str = "", args: tuple = ()) -> int:
            return con.execute(f"SELECT count(*) FROM {table} {where}", args).fetchone()[0]

        pid = t._pipeline_id
        run = {table: count(table, "WHERE pipeline_id = ?", (pid,)) for table in ("nodes", "edges", "row_values")}
        total = {table: count(table) for table in ("pipelines", "nodes", "edges", "row_values")}
    finally:
        con.close()
    return {"path": str(path), "pipeline_id": pid, "this_run": run, "all_runs": total}


def main(out_dir: str = "out") -> Dict[str, Any]:
    applicants, bureau_table = _tables()
    t = DAGTracker(api_key="local", pipeline_name="credit")
    apps = wrap_dataframe_dag(applicants, t, "applicants", protected=["gender", "age"])
    bureau = wrap_dataframe_dag(bureau_table, t, "bureau")

    score = _pipeline_tracked(apps, bureau)

    row = 0
    audit = dag_audit(score, row)
    audit["value"] = float(score.iloc[row])
    dag = get_dag_for_series(score, row)

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

    print(f"credit score of applicant {score.index[row]}: {audit['value']:.4f}")
    print(jsonweave.dumps(audit, indent=2, default=str))
    print(f"tracker: {jsonweave.dumps(t.dag_stats(), default=str)}")
    print(f"DAG written to {json_path}, {dot_path} and {lineage_path}" + (" (+ .svg)" if svg else ""))

    flushed = t.flush()
    stats = t.get_persistence_stats()
    report = _database_report(t)
    t.disable_persistence()
    if report:
        run, total = report["this_run"], report["all_runs"]
        print(f"lineage database: {report['path']} (flush {'complete' if flushed else 'timed out'})")
        print(f"  this run (pipeline {report['pipeline_id']}): {run['nodes']} nodes, {run['edges']} edges, "
              f"{run['row_values']} row values")
        print(f"  all runs: pipelines {total['pipelines']}, nodes {total['nodes']}, edges {total['edges']}, "
              f"row values {total['row_values']}")
        if stats:
            print(f"  writer: {stats.get('written')} records in {stats.get('batches')} batches, "
                  f"{stats.get('failed')} failed")
    else:
        print("lineage not persisted (memory-only tracker)")
    audit["database"] = report
    return audit


if __name__ == "__main__":
    main()
