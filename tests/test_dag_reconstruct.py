"""Rebuilding a derivation, its analysis, and the dict/JSON/DOT exports."""
import json
import shutil
import subprocess

import pytest

from corvanti.utilities.tessel32 import ProvenanceTracker
from corvanti.utilities.tessel32_dag import ComputationDAG, DAGEdge, DAGNode, DAGTracker, NodeType


@pytest.fixture
def three():
    t = DAGTracker()
    s = t.create_source_node("loans", "income", 5)
    u = t.log_unary("neg", s, 6)
    b = t.log_binary("add", u, s, 7)
    return t, s, u, b


def test_walk_order_of_nodes_and_edges(three):
    t, s, u, b = three
    d = t.get_dag(b)
    assert isinstance(d, ComputationDAG)
    assert list(d.nodes) == [b, u, s]
    assert d.nodes[s] is t.get_node(s)  # the tracker's own records, not copies
    assert d.edges == [DAGEdge(u, b, 0), DAGEdge(s, b, 1), DAGEdge(s, u, 0)]
    assert d.depth == 2
    assert d.source_nodes == [t.get_node(s)]
    assert d.operation_counts == {"add": 1, "neg": 1, "loans.income": 1}
    assert d.has_protected is False and d.protected_sources == []


def test_same_input_twice_and_unknown_root():
    t = DAGTracker()
    s = t.create_source_node("a", "b", 1)
    b = t.log_binary("mul", s, s, 2)
    d = t.get_dag(b)
    assert d.edges == [DAGEdge(s, b, 0), DAGEdge(s, b, 1)] and list(d.nodes) == [b, s]
    e = t.get_dag(12345)
    assert (e.root_id, e.nodes, e.edges) == (12345, {}, [])
    with pytest.raises(KeyError):
        e.depth
    assert e.source_nodes == [] and e.has_protected is False


def test_evicted_input_leaves_an_edge_to_a_missing_node():
    t = DAGTracker()
    first = t.log_unary("a", 99, 1)
    for i in range(9):
        t.log_unary("pad", 99, 2)
    last = t.log_unary("b", first, 3)
    t._max_nodes = 10
    t.log_unary("c", 99, 4)  # evicts `first`
    d = t.get_dag(last)
    assert list(d.nodes) == [last] and d.edges == [DAGEdge(first, last, 0)]
    with pytest.raises(KeyError):
        d.depth
    with pytest.raises(KeyError):
        d.to_dict()
    assert "n%d -> n%d;" % (first, last) in d.to_graphviz()


def test_dag_for_provenance_takes_the_newest_node():
    t = DAGTracker()
    a = t.log_unary("x", 0, 42)
    b = t.log_unary("y", 0, 42)
    assert t.get_dag_for_provenance(42).root_id == b != a
    assert t.get_dag_for_provenance(43) is None


def test_long_chains_do_not_recurse():
    t = DAGTracker()
    prev = t.create_source_node("t", "c", 1)
    for i in range(200_000):
        prev = t.log_unary("inc", prev, 1)
    d = t.get_dag(prev)
    assert len(d.nodes) == 200_001 and d.depth == 200_000


def test_column_taint_risks_keeps_the_highest_first_seen_on_ties():
    t = DAGTracker()
    pid = t.register("people", "race", True)
    p0 = t.encode({pid}, entity=0, chain=0, taint=True, depth=0)
    p1 = t.encode({pid}, entity=0, chain=0, taint=True, depth=1)
    assert ProvenanceTracker.risk_score(p0) > ProvenanceTracker.risk_score(p1)
    mk = lambda i, p, col: DAGNode(i, NodeType.SOURCE, "op", [], p, table="people", column=col)
    for order in ([p1, p0], [p0, p1]):
        nodes = {i: mk(i, p, "race") for i, p in enumerate(order)}
        nodes[9] = mk(9, 0, "income")  # untainted: absent
        d = ComputationDAG(root_id=0, nodes=nodes, edges=[])
        assert d.column_taint_risks() == {"race": ProvenanceTracker.risk_score(p0)}


def test_to_dict_layout(three):
    t, s, u, b = three
    d = t.get_dag(b).to_dict()
    assert list(d) == ["root_id", "depth", "node_count", "edge_count", "has_protected", "taint_risks", "sources",
                       "protected_sources", "operation_counts", "nodes", "edges"]
    assert list(d["nodes"]) == [str(b), str(u), str(s)]
    assert d["sources"][0]["name"] == "loans.income" and d["edges"][1] == {"source": s, "target": b, "input_index": 1}
    assert d["nodes"][str(s)]["inputs"] is t.get_node(s).inputs
    assert json.loads(t.get_dag(b).to_json()) == json.loads(json.dumps(d))
    text = t.get_dag(b).to_json()
    assert text == json.dumps(d, indent=2)
    assert t.get_dag(b).to_json(indent=0) == json.dumps(d, indent=0)
    t.get_node(u).metadata["bad"] = object()
    with pytest.raises(TypeError):
        t.get_dag(b).to_json()


def test_graphviz_text(three):
    t, s, u, b = three
    assert t.get_dag(b).to_graphviz() == "\n".join([
        "digraph ComputationDAG {",
        "  rankdir=BT;",
        "  node [shape=box, style=filled];",
        "",
        f'  n{b} [label="add", fillcolor="#c084fc"];',
        f'  n{u} [label="neg", fillcolor="#4ade80"];',
        f'  n{s} [label="loans\\nincome", fillcolor="#22d3ee"];',
        "",
        f"  n{u} -> n{b};",
        f"  n{s} -> n{b};",
        f"  n{s} -> n{u};",
        "}",
    ])
    empty = ComputationDAG(root_id=0, nodes={}, edges=[])
    assert empty.to_graphviz() == 'digraph ComputationDAG {\n  rankdir=BT;\n  node [shape=box, style=filled];\n\n\n}'


def test_graphviz_escapes_quotes_and_backslashes_and_protected_colour():
    t = DAGTracker()
    t.register('we"ird', "c\\1", True)
    s = t.create_source_node('we"ird', "c\\1", 0)
    r = t.log_unary('say "hi"', s, 1)
    dot = t.get_dag(r).to_graphviz()
    assert 'label="say \\"hi\\""' in dot
    assert 'label="we\\"ird\\nc\\\\1", fillcolor="#f59e0b"' in dot
    if shutil.which("dot") is None:
        pytest.skip("Graphviz not installed")
    out = subprocess.run(["dot", "-Tsvg"], input=dot, capture_output=True, text=True, check=True)
    assert "<svg" in out.stdout and 'say &quot;hi&quot;' in out.stdout
