"""The native interface of corvanti.utilities.tessel32, called through ctypes
exactly as another extension module calls it: the capsule's table of C
function pointers, with no test hook in the module itself."""

import ctypes

from corvanti.utilities import tessel32

_u32, _i64 = ctypes.c_uint32, ctypes.c_int64


class _Table(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint32),
        ("combine", ctypes.CFUNCTYPE(_u32, _u32, _u32, ctypes.c_int)),
        ("update_chain", ctypes.CFUNCTYPE(_u32, _u32, ctypes.c_int)),
        ("is_tainted", ctypes.CFUNCTYPE(ctypes.c_int, _u32)),
        ("risk_score", ctypes.CFUNCTYPE(ctypes.c_double, _u32)),
        ("base_type", ctypes.py_object),
        ("combine_attr", ctypes.py_object),
        ("update_chain_attr", ctypes.py_object),
        ("is_tainted_attr", ctypes.py_object),
        ("risk_score_attr", ctypes.py_object),
        ("encode", ctypes.CFUNCTYPE(_u32, ctypes.POINTER(_u32), ctypes.c_size_t, _u32, _u32, ctypes.c_int, _u32)),
        ("hash_entity", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.POINTER(_u32))),
        ("hash_entity_i64", ctypes.CFUNCTYPE(_u32, _i64)),
        ("encode_attr", ctypes.py_object),
        ("entity_from_row_attr", ctypes.py_object),
        ("combine_many", ctypes.CFUNCTYPE(None, ctypes.POINTER(_u32), ctypes.POINTER(_u32), ctypes.POINTER(_u32),
                                          ctypes.c_size_t, ctypes.c_int)),
        ("update_chain_many", ctypes.CFUNCTYPE(None, ctypes.POINTER(_u32), ctypes.POINTER(_u32), ctypes.c_size_t,
                                               ctypes.c_int)),
    ]


def table() -> _Table:
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    address = get(tessel32._C_API, b"corvanti.utilities.tessel32._C_API")
    return _Table.from_address(address)


def encode(ids, entity, chain, taint, depth) -> int:
    ids = list(ids)
    arr = (_u32 * len(ids))(*ids)
    return table().encode(arr, len(ids), entity, chain, int(bool(taint)), min(depth, 7))


def attrs():
    t = table()
    return t.base_type, t.combine_attr, t.update_chain_attr, t.is_tainted_attr, t.risk_score_attr


def combine_many(pa, pb, op) -> list:
    n = len(pa)
    a, b, out = (_u32 * n)(*pa), (_u32 * n)(*pb), (_u32 * (n + 1))(*([0xDEADBEEF] * (n + 1)))
    table().combine_many(a, b, out, n, op)
    assert out[n] == 0xDEADBEEF, "wrote past the end"
    return list(out[:n])


def update_chain_many(p, op) -> list:
    n = len(p)
    a, out = (_u32 * n)(*p), (_u32 * (n + 1))(*([0xDEADBEEF] * (n + 1)))
    table().update_chain_many(a, out, n, op)
    assert out[n] == 0xDEADBEEF, "wrote past the end"
    return list(out[:n])
