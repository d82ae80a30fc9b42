"""The lineage graph of a stored pipeline as SVG, drawn by Graphviz ``dot``.

The DOT text is built here from the stored nodes and edges (every label is a
quoted DOT string with its quotes, backslashes and line breaks escaped, so no
stored text can change the graph's structure); ``dot -Tsvg`` runs as a child
process with a time-out. Large pipelines are drawn up to ``MAX_NODES`` nodes
and say so in the graph's title.
"""

from __future__ import annotations

import re
import shutil
import subprocess
import threading
from collections import OrderedDict

MAX_NODES = 300
DOT_TIMEOUT = 30.0

_CONTROL = re.compile(r"[\x00-\x1f\x7f]")


class GraphUnavailable(RuntimeError):
    """Graphviz is missing or failed."""


def dot_quote(text: str) -> str:
    text = _CONTROL.sub(" ", str(text)).replace("\\", "\\\\").replace('"', '\\"')
    return '"' + text + '"'


def _label(node: dict) -> str:
    lines = [str(node["operation"] or node["node_type"])]
    where = None
    if node.get("table_name") and node.get("column_name"):
        where = f'{node["table_name"]}.{node["column_name"]}'
    elif node.get("column_name"):
        where = str(node["column_name"])
    if where and where != lines[0]:
        lines.append(where)
    lines.append(f'0x{int(node["fingerprint"]) & 0xFFFFFFFF:08X}')
    return "\\n".join(dot_quote(line)[1:-1] for line in lines)


def to_dot(name: str, nodes: list[dict], edges: list[tuple[int, int, int]], total: int) -> str:
    title = name if total <= len(nodes) else f"{name} (first {len(nodes)} of {total} nodes)"
    out = [
        "digraph lineage {",
        "  rankdir=LR;",
        f"  label={dot_quote(title)}; labelloc=t; fontname=\"Helvetica\";",
        '  node [shape=box, style="rounded,filled", fillcolor="#eef3fb", color="#5b7db1", fontname="Helvetica", fontsize=10];',
        '  edge [color="#7a869a", arrowsize=0.7];',
    ]
    for n in nodes:
        attrs = [f'label="{_label(n)}"', f'id="node-{int(n["id"])}"',
                 f'class="{"protected" if n["is_protected"] else "plain"}"']
        if n["is_protected"]:
            attrs.append('fillcolor="#fde2e1", color="#c0392b"')
        elif str(n["node_type"]).upper() == "SOURCE":
            attrs.append('fillcolor="#e3f4e8", color="#2e8b57"')
        out.append(f'  n{int(n["id"])} [{", ".join(attrs)}];')
    for parent, child, pos in edges:
        out.append(f'  n{parent} -> n{child} [tooltip="input {pos}"];')
    out.append("}")
    return "\n".join(out) + "\n"


def render_svg(dot_text: str) -> str:
    exe = shutil.which("dot")
    if exe is None:
        raise GraphUnavailable("Graphviz 'dot' is not installed on the server")
    try:
        proc = subprocess.run([exe, "-Tsvg"], input=dot_text.encode("utf-8"), capture_output=True,
                              timeout=DOT_TIMEOUT, check=False)
    except subprocess.TimeoutExpired:
        raise GraphUnavailable(f"Graphviz took longer than {DOT_TIMEOUT:.0f} s") from None
    if proc.returncode != 0:
        raise GraphUnavailable("Graphviz failed: " + proc.stderr.decode("utf-8", "replace")[:200])
    svg = proc.stdout.decode("utf-8", "replace")
    start = svg.find("<svg")
    return svg[start:] if start >= 0 else svg


class SvgCache:
    """Recently drawn graphs by (pipeline, node count, edge count): a graph only grows."""

    def __init__(self, size: int = 64):
        self._size = size
        self._items: OrderedDict = OrderedDict()
        self._lock = threading.Lock()

    def get(self, key):
        with self._lock:
            svg = self._items.get(key)
            if svg is not None:
                self._items.move_to_end(key)
            return svg

    def put(self, key, svg: str) -> None:
        with self._lock:
            self._items[key] = svg
            self._items.move_to_end(key)
            while len(self._items) > self._size:
                self._items.popitem(last=False)
