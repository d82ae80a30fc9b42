"""The stored record types: keyword constructors, defaults, attribute access,
equality, repr, pickling."""
import pickle

import pytest

from corvanti.utilities import persistence as P
from corvanti.utilities.persistence import storage as S

NODE = dict(fingerprint=0x80000001, node_type="SOURCE", operation="source", table_name="t", column_name="c",
            pair_id=3, is_protected=True, entity_hash=7, chain_hash=9, metadata={"k": [1, 2]}, pipeline_id=5)
EDGE = dict(parent_fingerprint=1, child_fingerprint=2, input_position=1)
VALUE = dict(pipeline_id=5, row_index=3, fingerprint=11, node_operation="t.c", value=2.5, column_name="c",
             tenant_id="acme", text_value=None)


@pytest.mark.parametrize("cls,fields", [(P.StoredNode, NODE), (P.StoredEdge, EDGE), (P.StoredRowValue, VALUE)])
def test_keyword_and_positional_construction_agree(cls, fields):
    a = cls(**fields)
    b = cls(*fields.values())
    assert a == b and not (a != b)
    assert list(cls._fields) == list(fields)
    for k, v in fields.items():
        assert getattr(a, k) == v
    assert a._asdict() == fields
    assert pickle.loads(pickle.dumps(a)) == a
    text = repr(a)
    assert text.startswith(cls.__name__ + "(") and all(f"{k}={v!r}" in text for k, v in fields.items())
    with pytest.raises(TypeError):
        hash(a)


def test_same_types_from_package_and_storage_module():
    assert P.StoredNode is S.StoredNode and P.StoredRowValue is S.StoredRowValue and P.StoredEdge is S.StoredEdge
    assert P.StoredNode.__module__ == "corvanti.utilities.persistence.storage"


def test_defaults_of_optional_fields():
    n = P.StoredNode(fingerprint=1, node_type="UNARY", operation="neg", table_name=None, column_name=None,
                     pair_id=None, is_protected=False, pipeline_id=4)
    assert (n.entity_hash, n.chain_hash, n.metadata, n.pipeline_id) == (None, None, None, 4)
    v = P.StoredRowValue(pipeline_id=1, row_index=0, fingerprint=2, node_operation="op")
    assert (v.value, v.column_name, v.tenant_id, v.text_value) == (None, None, None, None)


@pytest.mark.parametrize("call,message", [
    (lambda: P.StoredEdge(1, 2), "StoredEdge() missing required argument 'input_position'"),
    (lambda: P.StoredEdge(1, 2, 3, 4), "StoredEdge() takes 3 positional arguments but 4 were given"),
    (lambda: P.StoredEdge(1, 2, 3, colour=1), "StoredEdge() got an unexpected keyword argument 'colour'"),
    (lambda: P.StoredEdge(1, 2, 3, parent_fingerprint=1),
     "StoredEdge() got multiple values for argument 'parent_fingerprint'"),
])
def test_bad_arguments_raise_type_errors_naming_them(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_fields_are_writable_and_equality_is_fieldwise():
    a, b = P.StoredEdge(**EDGE), P.StoredEdge(**EDGE)
    b.input_position = 2
    assert a != b and b.input_position == 2
    assert P.StoredEdge(**EDGE) != P.StoredRowValue(**VALUE)
    assert (P.StoredEdge(**EDGE) == (1, 2, 1)) is False


def test_subclass_is_constructed_through_init():
    class Mine(P.StoredEdge):
        pass

    m = Mine(parent_fingerprint=1, child_fingerprint=2, input_position=0)
    m.extra = "ok"
    assert m.child_fingerprint == 2 and repr(m).startswith("Mine(")


def test_repr_of_a_record_that_contains_itself():
    n = P.StoredNode(**NODE)
    n.metadata = {"self": n}
    assert "..." in repr(n)


def test_records_of_atomic_values_stay_out_of_the_cyclic_gc_until_a_container_is_set():
    import gc
    import weakref

    v = P.StoredRowValue(**VALUE)
    assert not gc.is_tracked(v)
    n = P.StoredNode(**NODE)  # metadata is a dict
    assert gc.is_tracked(n)
    v.value = [v]  # a cycle through a record: the collector must see it again
    assert gc.is_tracked(v)

    class Sentinel:
        pass

    v.text_value = s = Sentinel()
    ref = weakref.ref(s)
    del v, s
    gc.collect()
    assert ref() is None
