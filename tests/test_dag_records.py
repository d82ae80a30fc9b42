"""DAG records behave like the dataclasses they stand for."""
import copy
import dataclasses
import pickle

import pytest

from corvanti.utilities.tessel32_dag import DAGEdge, DAGNode, NodeType


def test_nodetype_is_a_real_enum_numbered_from_one():
    import enum

    assert issubclass(NodeType, enum.Enum)
    assert [m.name for m in NodeType] == [
        "SOURCE", "CONSTANT", "UNARY", "BINARY", "AGGREGATE", "MERGE", "FILTER", "CUSTOM"]
    assert NodeType.SOURCE.value == 1 and NodeType.CUSTOM.value == 8
    assert NodeType["MERGE"] is NodeType.MERGE
    assert NodeType.__doc__ == "Types of nodes in the computation DAG."


def test_defaults_and_fresh_metadata_per_node():
    a = DAGNode(0, NodeType.SOURCE, "", [], 0)
    b = DAGNode(1, NodeType.SOURCE, "", [], 0)
    assert a.metadata == {} and a.metadata is not b.metadata
    a.metadata["k"] = 1
    assert b.metadata == {}
    assert (a.table, a.column, a.pair_id, a.is_protected) == (None, None, None, False)
    assert a.is_source is True and a.is_leaf is True


def test_identity_of_inputs_and_metadata_is_kept():
    inputs, meta = [3, 4], {"x": 1}
    n = DAGNode(5, NodeType.BINARY, "add", inputs, 7, meta)
    assert n.inputs is inputs and n.metadata is meta
    d = n.to_dict()
    assert d["inputs"] is inputs and d["metadata"] is meta


def test_dataclass_protocol():
    n = DAGNode(2, NodeType.UNARY, "neg", [1], 9, {"a": 1}, is_protected=True)
    assert dataclasses.is_dataclass(n) and dataclasses.is_dataclass(DAGNode)
    assert [f.name for f in dataclasses.fields(n)] == [
        "node_id", "node_type", "operation", "inputs", "provenance", "metadata",
        "table", "column", "pair_id", "is_protected"]
    assert dataclasses.fields(DAGNode)[0].type == "int"
    assert dataclasses.asdict(n)["metadata"] == {"a": 1}
    r = dataclasses.replace(n, operation="abs")
    assert r.operation == "abs" and r.inputs is n.inputs and r.node_id == 2
    assert [f.name for f in dataclasses.fields(DAGEdge)] == ["source_id", "target_id", "input_index"]


def test_repr_equality_and_hash():
    n = DAGNode(0, NodeType.SOURCE, "", [], 0)
    assert repr(n) == (
        "DAGNode(node_id=0, node_type=<NodeType.SOURCE: 1>, operation='', inputs=[], provenance=0, "
        "metadata={}, table=None, column=None, pair_id=None, is_protected=False)")
    assert n == DAGNode(0, NodeType.SOURCE, "", [], 0)
    assert n != DAGNode(0, NodeType.SOURCE, "", [], 1)
    assert (n == (0,)) is False
    with pytest.raises(TypeError, match="unhashable"):
        hash(n)
    e = DAGEdge(3, 7, 1)
    assert repr(e) == "DAGEdge(source_id=3, target_id=7, input_index=1)"
    assert e == DAGEdge(3, 7, 1) and e != DAGEdge(3, 7, 0)
    with pytest.raises(TypeError):
        hash(e)


def test_recursive_repr_does_not_loop():
    n = DAGNode(0, NodeType.UNARY, "op", [], 0)
    n.metadata["self"] = n
    assert "..." in repr(n)


@pytest.mark.parametrize(
    "kwargs, name",
    [
        (dict(table="loans", column="income", operation="ignored"), "loans.income"),
        (dict(table="loans", column="", operation="op"), "op"),
        (dict(table=None, column=None, operation=""), "node_17"),
    ],
)
def test_display_name(kwargs, name):
    op = kwargs.pop("operation")
    n = DAGNode(17, NodeType.SOURCE, op, [], 0, **kwargs)
    assert n.to_dict()["name"] == name


def test_to_dict_layout_and_provenance_text():
    n = DAGNode(1, NodeType.UNARY, "neg", [0], 48879)
    d = n.to_dict()
    assert list(d) == ["id", "name", "type", "operation", "inputs", "provenance", "table", "column",
                       "pair_id", "is_protected", "metadata"]
    assert d["provenance"] == "0x0000BEEF" and d["type"] == "UNARY"
    wide = DAGNode(1, NodeType.UNARY, "neg", [0], 0x1_2345_6789)
    assert wide.to_dict()["provenance"] == "0x123456789"
    assert DAGEdge(3, 7, 1).to_dict() == {"source": 3, "target": 7, "input_index": 1}
    assert list(DAGEdge(3, 7, 1).to_dict()) == ["source", "target", "input_index"]


def test_constructor_errors_read_like_a_dataclass():
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'provenance'"):
        DAGNode(0, NodeType.SOURCE, "", [])
    with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
        DAGNode(0, NodeType.SOURCE, "", [], 0, colour="red")
    with pytest.raises(TypeError, match=r"DAGEdge.__init__\(\) missing 1 required positional argument: 'input_index'"):
        DAGEdge(1, 2)


def test_is_leaf_uses_len_of_inputs():
    n = DAGNode(0, NodeType.UNARY, "op", 5, 0)
    with pytest.raises(TypeError):
        n.is_leaf


def test_fields_are_mutable_and_any_value_is_kept():
    n = DAGNode("id-x", NodeType.UNARY, "op", [], -3)
    assert n.node_id == "id-x" and n.provenance == -3
    n.node_id = 12
    n.provenance = 2**40
    n.is_protected = 1
    assert (n.node_id, n.provenance, n.is_protected) == (12, 2**40, 1)
    c = copy.copy(n)
    assert c == n and c.inputs is n.inputs
    assert pickle.loads(pickle.dumps(n)) == n
    e = DAGEdge(1, 2, 0)
    assert pickle.loads(pickle.dumps(e)) == e and copy.deepcopy(e) == e
