"""The lineage graph's DOT text: stored text cannot change the graph; large graphs are cut and say so."""

import shutil

import pytest

pytest.importorskip("fastapi")

from corvanti.service import graph as G  # noqa: E402


def _node(i, op, **kw):
    return dict(id=i, fingerprint=i, node_type="UNARY", operation=op, table_name=None, column_name=None,
                is_protected=0, **kw)


@pytest.mark.parametrize("op", ['a"; n9 [label="x', "back\\slash\\", "line\nbreak\r", "}", "\\n", "日本 é", "\x00ctl\x1f"])
def test_stored_text_stays_inside_its_label(op):
    if shutil.which("dot") is None:
        pytest.skip("Graphviz is not installed")
    dot = G.to_dot("p", [_node(1, op), _node(2, "sink")], [(1, 2, 0)], 2)
    svg = G.render_svg(dot)
    assert svg.startswith("<svg") and svg.count('class="node') == 2 and svg.count('class="edge"') == 1


def test_large_graphs_say_they_are_cut():
    dot = G.to_dot("big", [_node(i, "op") for i in range(1, 4)], [], 1000)
    assert 'label="big (first 3 of 1000 nodes)"' in dot


def test_missing_graphviz_is_reported(monkeypatch):
    monkeypatch.setattr(G.shutil, "which", lambda name: None)
    with pytest.raises(G.GraphUnavailable, match="not installed"):
        G.render_svg("digraph {}")
