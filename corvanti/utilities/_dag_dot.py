"""ComputationDAG.to_dot: a DOT picture meant for people.

Each node is labelled with its operation, the source columns its value
derives from and (labels="rich") the scalar or function in its metadata;
nodes and edges on a path from a protected source are drawn in red; a legend
explains the shapes and colours. ``to_graphviz()`` stays the compact export.
"""

from __future__ import annotations

from corvanti.utilities.tessel32_dag import NodeType

_PROTECTED = "#c9302c"
_FILL = {
    NodeType.SOURCE: "#dff0d8",
    NodeType.AGGREGATE: "#fcf8e3",
    NodeType.MERGE: "#e8e1f5",
}
_LEGEND = (
    ("source column", "cylinder", "#dff0d8", "black"),
    ("operation", "box", "#e8eef7", "black"),
    ("aggregate", "box", "#fcf8e3", "black"),
    ("depends on a protected column", "box", "#e8eef7", _PROTECTED),
)


def _quote(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def _derivation(dag):
    """Per node id: the source columns it derives from and whether a protected
    source is among its ancestors (inputs always have smaller ids)."""
    columns, protected = {}, {}
    for nid in sorted(dag.nodes):
        node = dag.nodes[nid]
        if node.node_type == NodeType.SOURCE:
            columns[nid] = {f"{node.table}.{node.column}"}
            protected[nid] = bool(node.is_protected)
            continue
        cols, prot = set(), bool(node.is_protected)
        for i in node.inputs:
            cols |= columns.get(i, set())
            prot = prot or protected.get(i, False)
        columns[nid], protected[nid] = cols, prot
    return columns, protected


def _label(node, cols, rich):
    if node.node_type == NodeType.SOURCE:
        lines = [f"{node.table}.{node.column}", "source"]
    else:
        lines = [str(node.operation)]
        if cols:
            shown = sorted(cols)
            lines.append("from " + ", ".join(shown[:3]) + (f" +{len(shown) - 3}" if len(shown) > 3 else ""))
        if rich and node.metadata:
            for key in sorted(node.metadata)[:3]:
                lines.append(f"{key}: {node.metadata[key]}")
    lines.append(f"#{node.node_id}")
    return "\n".join(lines)


def render(dag, legend: bool, labels: str) -> str:
    rich = labels == "rich"
    columns, protected = _derivation(dag)
    out = [
        "digraph lineage {",
        "  rankdir=LR;",
        '  node [fontname="Helvetica", fontsize=10];',
        '  edge [color="#555555"];',
    ]
    for nid in sorted(dag.nodes):
        node = dag.nodes[nid]
        shape = "cylinder" if node.node_type == NodeType.SOURCE else "box"
        attrs = [f"label={_quote(_label(node, columns[nid], rich))}", f"shape={shape}", 'style="filled,rounded"',
                 f'fillcolor="{_FILL.get(node.node_type, "#e8eef7")}"']
        if protected[nid]:
            attrs += [f'color="{_PROTECTED}"', "penwidth=2"]
        if nid == dag.root_id:
            attrs.append("peripheries=2")
        out.append(f"  n{nid} [{', '.join(attrs)}];")
    for nid in sorted(set(e.source_id for e in dag.edges) - set(dag.nodes)):
        out.append(f'  n{nid} [label={_quote(f"evicted #{nid}")}, shape=box, style=dashed, color="#999999"];')
    for e in dag.edges:
        attrs = f' [color="{_PROTECTED}", penwidth=2]' if protected.get(e.source_id) else ""
        out.append(f"  n{e.source_id} -> n{e.target_id}{attrs};")
    if legend:
        out += ["  subgraph cluster_legend {", '    label="Legend"; fontname="Helvetica"; color="#bbbbbb";']
        for i, (text, shape, fill, color) in enumerate(_LEGEND):
            pen = ", penwidth=2" if color != "black" else ""
            out.append(f'    legend{i} [label={_quote(text)}, shape={shape}, style="filled,rounded", '
                       f'fillcolor="{fill}", color="{color}"{pen}];')
        out.append(f'    legend_root [label="the audited value", shape=box, peripheries=2];')
        out.append("  }")
    out.append("}")
    return "\n".join(out) + "\n"
