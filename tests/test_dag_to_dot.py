"""ComputationDAG.to_dot: the readable picture, parsed by Graphviz itself."""
import shutil
import subprocess

import numpy as np
import pandas as pd
import pytest

from corvanti.utilities.tessel32_dag import DAGTracker, get_dag_for_series, wrap_dataframe_dag

needs_dot = pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz not installed")


def pipeline(lineage="positional"):
    t = DAGTracker(lineage=lineage)
    f = wrap_dataframe_dag(pd.DataFrame({"income": [1.0, 2.0], "age": [30.0, 40.0], "x": [1.0, 1.0]}), t,
                           "apps", protected=["age"])
    ratio = f["x"] / f["income"]
    score = ratio + f["age"].clip(18, 70)
    return t, get_dag_for_series(score, 0)


def plain_dot(text):
    done = subprocess.run(["dot", "-Tplain"], input=text, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


@needs_dot
@pytest.mark.parametrize("lineage", ["positional", "rows"])
@pytest.mark.parametrize("legend, labels", [(True, "rich"), (False, "plain")])
def test_graphviz_parses_the_picture_with_every_node_and_edge(lineage, legend, labels):
    _, dag = pipeline(lineage)
    layout = plain_dot(dag.to_dot(legend=legend, labels=labels))
    drawn = {line.split()[1] for line in layout.splitlines() if line.startswith("node ")}
    assert {f"n{i}" for i in dag.nodes} <= drawn
    assert any(n.startswith("legend") for n in drawn) is legend
    edges = [line.split()[1:3] for line in layout.splitlines() if line.startswith("edge ")]
    assert sorted(edges) == sorted([f"n{e.source_id}", f"n{e.target_id}"] for e in dag.edges)


def test_labels_name_the_operation_and_source_columns_and_mark_the_protected_path():
    _, dag = pipeline()
    text = dag.to_dot()
    root = [line for line in text.splitlines() if line.strip().startswith(f"n{dag.root_id} ")][0]
    assert "add" in root and "apps.age" in root and "apps.income" in root and "#c9302c" in root
    div = [n for n in dag.nodes.values() if n.operation == "div"][0]
    div_line = [line for line in text.splitlines() if line.strip().startswith(f"n{div.node_id} ")][0]
    assert "#c9302c" not in div_line  # not downstream of the protected column
    assert text.count("->") == len(dag.edges)


def test_rich_labels_carry_metadata_and_evicted_ids_are_drawn_dashed():
    t = DAGTracker(lineage="rows")
    t._max_nodes = 12
    f = wrap_dataframe_dag(pd.DataFrame({"a": np.arange(4.0)}), t, "t")
    s = f["a"]
    for _ in range(3):
        s = s * 2.5
    dag = get_dag_for_series(s, 0)
    text = dag.to_dot(labels="rich")
    assert "operand: 2.5" in text and "operand: 2.5" not in dag.to_dot(labels="plain")
    for missing in dag.missing_ids:
        assert f'n{missing} [label="evicted #{missing}"' in text


def test_to_graphviz_is_unchanged_and_arguments_are_checked():
    _, dag = pipeline()
    assert dag.to_graphviz() != dag.to_dot() and "Legend" not in dag.to_graphviz()
    with pytest.raises(ValueError, match=r'labels must be "rich" or "plain", got \'fancy\''):
        dag.to_dot(labels="fancy")
    with pytest.raises(TypeError, match="Argument 'legend' has incorrect type"):
        dag.to_dot(legend="yes")
    with pytest.raises(TypeError):
        dag.to_dot(True)
