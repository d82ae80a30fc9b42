"""The main job: a small tracked credit pipeline, run end to end.

Registers an applicants table (with a protected column), logs the derivation
of a credit score through the lineage engine element by element, rebuilds and
audits the derivation of one result, and writes its DAG as JSON and DOT (and
SVG when Graphviz is installed) to ./out/.
"""
import os
import shutil
import subprocess

import numpy as np
import pandas as pd

from corvanti.utilities import jsonweave
from corvanti.utilities.tessel32 import OpCode
from corvanti.utilities.tessel32_dag import DAGTracker, _log_binary_many


def main(out_dir: str = "out") -> None:
    applicants = pd.DataFrame(
        {
            "income": [52_000.0, 31_000.0, 78_500.0, 44_200.0],
            "debt": [12_000.0, 15_500.0, 9_000.0, 20_100.0],
            "age_band": ["30-39", "20-29", "40-49", "30-39"],
            "gender": ["f", "m", "f", "m"],
        },
        index=[101, 102, 103, 104],
    )
    protected = {"gender"}
    t = DAGTracker(pipeline_name="credit-demo")

    # One provenance value per cell and one source node per column.
    prov, nodes = {}, {}
    for col in applicants.columns:
        pid = t.register("applicants", col, col in protected)
        taint = t.is_protected("applicants", col)
        prov[col] = np.array(
            [t.encode({pid}, entity=t.entity_from_row(label), chain=0, taint=taint, depth=0)
             for label in applicants.index],
            dtype=np.uint32,
        )
        src = t.create_source_node("applicants", col, int(prov[col][0]))
        nodes[col] = np.full(len(applicants), src, dtype=np.int64)

    # ratio = debt / income, element by element (native bulk path).
    ratio = applicants["debt"] / applicants["income"]
    ratio_prov = np.array([t.combine(int(a), int(b), OpCode.DIV) for a, b in zip(prov["debt"], prov["income"])],
                          dtype=np.uint32)
    ratio_nodes = _log_binary_many(t, "truediv", ratio_prov, nodes["debt"], nodes["income"])

    # score = ratio adjusted by a protected attribute (a fairness finding).
    score = ratio * np.where(applicants["gender"] == "f", 1.1, 1.0)
    score_prov = np.array([t.combine(int(a), int(b), OpCode.MUL) for a, b in zip(ratio_prov, prov["gender"])],
                          dtype=np.uint32)
    score_nodes = _log_binary_many(t, "mul", score_prov, ratio_nodes, nodes["gender"])

    # Audit the first applicant's score.
    dag = t.get_dag(int(score_nodes[0]))
    info = t.decode_full(int(score_prov[0]))
    audit = {
        "value": float(score.iloc[0]),
        "provenance": f"0x{int(score_prov[0]):08X}",
        "tainted": bool(t.is_tainted(int(score_prov[0]))),
        "depth": info.depth,
        "sources": [n.to_dict()["name"] for n in dag.source_nodes],
        "protected_sources": [n.to_dict()["name"] for n in dag.protected_sources],
        "column_taint_risks": dag.column_taint_risks(),
        "operation_counts": dag.operation_counts,
        "tracker": t.dag_stats(),
    }

    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "score_dag.json"), "w") as f:
        f.write(dag.to_json())
    dot_path = os.path.join(out_dir, "score_dag.dot")
    with open(dot_path, "w") as f:
        f.write(dag.to_graphviz())
    if shutil.which("dot"):
        subprocess.run(["dot", "-Tsvg", dot_path, "-o", os.path.join(out_dir, "score_dag.svg")], check=True)
    print(jsonweave.dumps(audit, indent=2, default=str))
    print(f"DAG written to {out_dir}/score_dag.json and {dot_path}" + (" (+ .svg)" if shutil.which("dot") else ""))


if __name__ == "__main__":
    main()
