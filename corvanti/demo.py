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
from typing import Any, Dict

import numpy as np
import pandas as pd

from corvanti.utilities import jsonweave
from corvanti.utilities import tessel32_dag as dagmod
from corvanti.utilities.tessel32 import OpCode
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


def _series_ops_available() -> bool:
    """Whether the module's DAGTrackedSeries has its tracked operators."""
    cls = vars(dagmod).get("DAGTrackedSeries")
    return cls is not None and all(name in vars(cls) for name in ("_binop_dag", "fillna", "clip"))


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


def _pipeline_fallback(apps: Any, bureau: Any, t: DAGTracker) -> Any:
    """The pipeline (without the regional merge) with the tracker's bulk
    logging, for a module whose DAGTrackedSeries operators are not available."""
    from corvanti.utilities.tessel32_dag import _log_binary_many, _log_unary_many

    def col(name: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        values = pd.DataFrame.__getitem__(apps, name).to_numpy(dtype=float)
        return values, apps._col_prov[name], apps._col_nodes[name]

    def binary(a, b, fn, op_name, op):
        prov = np.array([t.combine(int(x), int(y), op) for x, y in zip(a[1], b[1])], dtype=np.uint32)
        return fn(a[0], b[0]), prov, _log_binary_many(t, op_name, prov, a[2], b[2])

    def unary(a, fn, op_name, op):
        prov = np.array([t.update_chain(int(x), op) for x in a[1]], dtype=np.uint32)
        return fn(a[0]), prov, _log_unary_many(t, op_name, prov, a[2])

    dti = unary(binary(col("debt"), col("income"), np.true_divide, "div", OpCode.DIV),
                lambda v: np.clip(v, 0.0, 1.0), "clip", OpCode.CLIP)
    savings = unary(col("savings"), lambda v: np.nan_to_num(v, nan=0.0), "fillna", OpCode.FILL)
    savings_ratio = binary(savings, col("income"), np.true_divide, "div", OpCode.DIV)
    age = unary(col("age"), lambda v: np.clip(v, 18, 70) / 70.0, "clip", OpCode.CLIP)
    score = binary(binary(savings_ratio, dti, np.subtract, "sub", OpCode.SUB), age, np.add, "add", OpCode.ADD)
    result = pd.Series(score[0], index=apps.index)
    object.__setattr__(result, "_prov", score[1])
    object.__setattr__(result, "_tracker", t)
    object.__setattr__(result, "_node_ids", score[2])
    return result


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

    tracked = _series_ops_available()
    score = _pipeline_tracked(apps, bureau) if tracked else _pipeline_fallback(apps, bureau, t)
    if not tracked:
        print("note: DAGTrackedSeries operators are not available; element-wise steps logged in bulk")

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
    svg = False
    if shutil.which("dot"):
        subprocess.run(["dot", "-Tsvg", dot_path, "-o", os.path.join(out_dir, "score_dag.svg")], check=True)
        svg = True

    print(f"credit score of applicant {score.index[row]}: {audit['value']:.4f}")
    print(jsonweave.dumps(audit, indent=2, default=str))
    print(f"tracker: {jsonweave.dumps(t.dag_stats(), default=str)}")
    print(f"DAG written to {json_path} and {dot_path}" + (" (+ .svg)" if svg else ""))

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
