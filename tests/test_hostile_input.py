"""The modules under hostile input: what a careful user or a fuzzer tries.

Crashes (aborts, segfaults, hangs) are run in a fresh interpreter, so that a
regression fails one test instead of the whole run.
"""
import decimal
import fractions
import gc
import subprocess
import textwrap
import tracemalloc
import weakref

import numpy as np
import pandas as pd
import pytest

from corvanti.utilities import tessel32 as t32
from corvanti.utilities import tessel32_dag as M
from support.proc import run_python


def _run(code, timeout=120):
    """Run code in a fresh interpreter; a hang fails the test instead of the run."""
    try:
        return run_python(textwrap.dedent(code), check=False, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail("the child process hung")


# ---- 1: import of tessel32_dag when the base module is broken -------------------------------

@pytest.mark.parametrize("breakage,text", [
    ("del b._hash_entity", "_hash_entity"),
    ("del b.MODE_01_CHAIN_BITS", "MODE_01_CHAIN_BITS"),
    ("b._C_API = __import__('ctypes').pythonapi.PyCapsule_New.__class__", "_C_API"),
])
def test_import_with_broken_base_module_raises_import_error(breakage, text):
    out = _run(f"""
        import corvanti.utilities.tessel32 as b
        {breakage}
        try:
            import corvanti.utilities.tessel32_dag
        except ImportError as e:
            chain = []
            while e is not None:
                chain.append(f"{{type(e).__name__}}: {{e}}")
                e = e.__cause__ or e.__context__
            print(" | ".join(chain))
        else:
            print("imported")
    """)
    assert out.returncode == 0, out.stderr
    assert "ImportError" in out.stdout and text in out.stdout, out.stdout


def test_import_with_capsule_version_mismatch_raises_import_error():
    out = _run("""
        import ctypes
        import corvanti.utilities.tessel32 as b
        get = ctypes.pythonapi.PyCapsule_GetPointer
        get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
        ctypes.c_uint32.from_address(get(b._C_API, b"corvanti.utilities.tessel32._C_API")).value = 99
        try:
            import corvanti.utilities.tessel32_dag
        except ImportError as e:
            print("ImportError", e, e.__cause__)
    """)
    assert out.returncode == 0, out.stderr
    assert "version mismatch" in out.stdout


# ---- 2: one rule for int arguments -----------------------------------------------------------

class Indexable:
    def __index__(self):
        return 1


class Intable:
    def __int__(self):
        return 1


@pytest.mark.parametrize("number", [1, True, np.int64(1), 1.0, 1.9, Indexable(), Intable(), decimal.Decimal("1.5"),
                                    fractions.Fraction(3, 2)], ids=lambda v: f"{type(v).__name__}({v!s:.4})")
def test_int_arguments_accept_any_number(number):
    t = M.DAGTracker()
    t.create_source_node("t", "c", 5)
    src = t.create_source_node("t", "d", 6)
    assert t.get_node(number).node_id == 1
    assert t.get_node(np.float64(0.5)).node_id == 0
    n = t.log_unary("x", number, number)
    assert t.get_node(n).inputs == [1] and t.get_node(n).provenance == 1
    assert t.get_dag(number).root_id == 1
    assert t.get_dag(src).to_json(number).startswith("{\n ")
    assert t.combine(number, 0, 1) == t.combine(1, 0, 1)


@pytest.mark.parametrize("call,name", [
    (lambda t: t.get_node("0"), "node_id"),
    (lambda t: t.get_node(None), "node_id"),
    (lambda t: t.log_unary("x", 0, "7"), "result_prov"),
    (lambda t: t.log_unary("x", None, 7), "input_node"),
    (lambda t: t.log_binary("x", 0, b"0", 7), "right_node"),
    (lambda t: t.get_dag("2"), "root_node_id"),
    (lambda t: t.get_dag(0).to_json(None), "indent"),
    (lambda t: t._create_node(M.NodeType.UNARY, "x", [], None), "provenance"),
    (lambda t: t.get_nodes_for_provenance([1]), "provenance"),
    (lambda t: t.record_row_value("1", 0, "op"), "row_index"),
    (lambda t: t.combine("1", 0, 1), "pa"),
    (lambda t: t.update_chain(0, None), "op"),
    (lambda t: M.dag_audit(M.DAGTrackedSeries([1.0]), "0"), "row_index"),
])
def test_int_arguments_reject_non_numbers_with_one_message(call, name):
    t = M.DAGTracker()
    t.create_source_node("t", "c", 5)
    with pytest.raises(TypeError) as info:
        call(t)
    got = str(info.value)
    assert got.startswith(f"Argument '{name}' has incorrect type (expected int, got "), got


def test_int_argument_message_names_the_full_type():
    import collections
    with pytest.raises(TypeError, match=r"expected int, got collections\.OrderedDict\)"):
        M.DAGTracker().get_node(collections.OrderedDict())


# ---- 3: cycles in the graph ------------------------------------------------------------------

def _cyclic():
    t = M.DAGTracker()
    a = t.log_unary("x", 1, 0)  # names node 1 before it exists
    t.log_unary("y", 0, 0)
    return t, a


@pytest.mark.parametrize("read", [
    lambda t, a: t.get_dag(a).depth,
    lambda t, a: t.get_dag(a).to_dict(),
    lambda t, a: t.get_dag(a).to_json(),
    lambda t, a: M.dag_audit(M.DAGTrackedSeries([1.0], _tracker=t, _node_ids=np.array([a]),
                                                 _prov=np.zeros(1, np.uint32)), 0),
], ids=["depth", "to_dict", "to_json", "dag_audit"])
def test_cycle_raises_value_error_naming_a_node(read):
    t, a = _cyclic()
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match=r"cycle through node [01]\b"):
            read(t, a)
        assert tracemalloc.get_traced_memory()[1] < 10_000_000
    finally:
        tracemalloc.stop()


def test_cycle_through_negated_series_with_later_ids():
    t = M.DAGTracker()
    src = t.create_source_node("t", "c", 1)
    s = M.DAGTrackedSeries([1.0, 2.0], _tracker=t, _prov=np.array([1, 1], np.uint32),
                           _node_ids=np.array([src + 2, src + 1]))
    r = -s  # nodes 1 and 2 name 3 and 2
    with pytest.raises(ValueError, match="cycle through node"):
        M.get_dag_for_series(r, 1).depth


def test_deep_chain_without_cycle_still_has_its_depth():
    t = M.DAGTracker()
    n = t.create_source_node("t", "c", 1)
    for _ in range(50_000):
        n = t.log_unary("x", n, 1)
    assert t.get_dag(n).depth == 50_000


# ---- 4: freeing long chains of records ---------------------------------------------------------

@pytest.mark.parametrize("record", ["M.DAGEdge(head, 0, 0)",
                                    "M.DAGNode(0, M.NodeType.UNARY, 'x', [], 0, metadata={'up': head})"])
def test_long_chain_of_records_frees_without_crash(record):
    out = _run(f"""
        from corvanti.utilities import tessel32_dag as M
        head = None
        for _ in range(300_000):
            head = {record}
        del head
        print("freed")
    """)
    assert out.returncode == 0 and out.stdout.strip() == "freed", out.stderr[-2000:]


# ---- 5: buffers handed back by replaced numpy functions ---------------------------------------

@pytest.mark.parametrize("target", ["wrap", "bulk", "series"])
def test_replaced_numpy_allocation_cannot_overflow_a_buffer(target):
    out = _run(f"""
        import numpy as np, pandas as pd
        from corvanti.utilities import tessel32_dag as M
        real_zeros, real_empty = np.zeros, np.empty
        t = M.DAGTracker()
        df = pd.DataFrame({{"a": np.arange(200_000, dtype=float)}})
        w = M.wrap_dataframe_dag(df, t, "t")
        s = w["a"]
        np.zeros = lambda n, dtype=None, **k: real_zeros(1, dtype=np.uint8)
        np.empty = lambda n, dtype=None, **k: real_empty(1, dtype=np.uint8)
        try:
            if "{target}" == "wrap":
                M.wrap_dataframe_dag(df, t, "t")
            elif "{target}" == "bulk":
                M._log_unary_many(t, "x", s._prov.copy(),
                                  s._node_ids.copy())
            else:
                s + s
            print("no error")
        except TypeError as e:
            print("TypeError", e)
    """)
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.startswith(("TypeError", "no error")), out.stdout


def test_bulk_logging_checks_its_output_array(monkeypatch):
    t = M.DAGTracker()
    src = t.create_source_node("t", "c", 1)
    real_empty = np.empty
    monkeypatch.setattr(np, "empty", lambda n, dtype=None, **k: real_empty(1, dtype=np.uint8))
    with pytest.raises(TypeError, match="the node-id array must be a writable contiguous 1-D array of 3 int64"):
        M._log_unary_many(t, "x", np.ones(3, np.uint32), np.full(3, src))
    assert t._next_node_id == 1  # nothing was created


# ---- 6: node ids far apart ------------------------------------------------------------------

def test_far_ids_cost_nothing_and_stay_reachable():
    t = M.DAGTracker()
    a = t.create_source_node("t", "c", 1)
    b = t.log_unary("x", a, 1)
    tracemalloc.start()
    try:
        for jump in (10**8, 10**12, 2**62):
            t._next_node_id = jump
            n = t.log_unary("y", b, 7)
            assert n == jump and t.get_node(n).inputs == [b]
        assert tracemalloc.get_traced_memory()[1] < 1_000_000
    finally:
        tracemalloc.stop()
    assert list(t._nodes.keys()) == [0, 1, 10**8, 10**12, 2**62]
    assert [n.node_id for n in t.get_nodes_for_provenance(7)] == [10**8, 10**12, 2**62]
    assert t.get_dag(2**62).depth == 2


def test_ids_beyond_int64_are_refused():
    t = M.DAGTracker()
    with pytest.raises(ValueError, match=r"_next_node_id must be in 0\.\.9223372036854775807, got 9223372036854775808"):
        t._next_node_id = 2**63
    with pytest.raises(ValueError, match="got -1"):
        t._next_node_id = -1
    t._next_node_id = 2**63 - 2
    assert t.create_source_node("t", "c", 1) == 2**63 - 2
    with pytest.raises(OverflowError, match="node ids are exhausted"):
        t.log_unary("x", 2**63 - 2, 1)
    with pytest.raises(OverflowError, match="node ids are exhausted"):
        M._log_unary_many(t, "x", np.ones(2, np.uint32), np.zeros(2, np.int64))
    assert len(t._nodes) == 1 and t._next_node_id == 2**63 - 1


# ---- 7: node creation from code that runs under _dag_lock -------------------------------------

@pytest.mark.parametrize("hook", ["is_tainted", "_evict_oldest_nodes", "_persist_node"])
def test_logging_from_code_under_the_lock_raises(hook):
    out = _run(f"""
        import faulthandler, sys
        faulthandler.dump_traceback_later(20, exit=True)
        from corvanti.utilities import tessel32_dag as M
        class T(M.DAGTracker):
            armed = True
            def {hook}(self, *a):
                if self.armed:
                    self.log_unary("inner", 0, 1)
                return False
        t = T()
        t._max_nodes = 1
        t._writer = "{hook}" == "_persist_node"
        try:
            t.create_source_node("t", "c", 2**31)
            t.log_unary("x", 0, 2**31)
            t.log_unary("x", 0, 2**31)
            print("no error")
        except RuntimeError as e:
            print("RuntimeError", e)
        t._writer = None
        t._max_nodes = 100
        T.armed = False
        print(t.log_unary("after", 0, 1) >= 0)
    """)
    assert out.returncode == 0, out.stderr[-2000:]
    assert "RuntimeError a node was created while this thread holds _dag_lock" in out.stdout, out.stdout
    assert out.stdout.strip().endswith("True")  # the lock was released


# ---- 8: interpreter exit with a daemon thread inside native code ------------------------------

@pytest.mark.parametrize("work", [
    "t.get_dag(n)",
    "s + s",
    "M.wrap_dataframe_dag(df, t, 'x')",
    "slow.log_unary('x', n, 2**31)",  # Python code (an override) runs under the native frames
])
def test_exit_with_daemon_thread_in_native_code(work):
    code = f"""
        import threading, time
        import numpy as np, pandas as pd
        from corvanti.utilities import tessel32_dag as M
        t = M.DAGTracker()
        t._max_nodes = 10**7
        n = t.create_source_node("t", "c", 1)
        for _ in range(20_000):
            n = t.log_unary("x", n, 1)
        df = pd.DataFrame({{"a": np.arange(20_000.0), "b": np.arange(20_000)}})
        s = M.wrap_dataframe_dag(df, t, "t")["a"]
        class Slow(M.DAGTracker):
            def is_tainted(self, p):
                time.sleep(0.001)
                return False
        slow = Slow()
        started = threading.Event()
        def loop():
            while True:
                started.set()
                {work}
        threading.Thread(target=loop, daemon=True).start()
        started.wait()
        time.sleep(0.05)
        print("done")
    """
    for _ in range(4):
        out = _run(code)
        assert out.returncode == 0 and out.stdout.strip() == "done", (out.returncode, out.stderr[-2000:])


# ---- 9: GC tracking of nodes that receive objects ------------------------------------------------

@pytest.mark.parametrize("field", ["operation", "node_type"])
def test_node_receiving_an_object_joins_the_gc(field):
    t = M.DAGTracker()
    node = t.get_node(t.log_unary("x", 0, 1))

    class Holder:
        pass

    h = Holder()
    h.node = node
    setattr(node, field, h)  # cycle: node -> h -> node
    ref = weakref.ref(h)
    del h, node, t
    gc.collect()
    assert ref() is None


# ---- 10: overrides on the instance ---------------------------------------------------------------

def test_instance_override_of_create_node_is_honoured_everywhere():
    t = M.DAGTracker()
    src = t.create_source_node("t", "c", 1)
    seen = []
    original = t._create_node

    def create(*args, **kw):
        seen.append(kw.get("operation", args[1] if len(args) > 1 else None))
        return original(*args, **kw)

    t._create_node = create
    t.log_unary("unary", src, 1)
    s = M.DAGTrackedSeries([1.0, 2.0], _tracker=t, _prov=np.ones(2, np.uint32),
                           _node_ids=np.array([src, src]))
    -s
    assert seen == ["unary", "neg", "neg"]
    del t._create_node
    t.log_unary("plain", src, 1)
    -s
    assert seen == ["unary", "neg", "neg"]


def test_instance_override_of_is_tainted_is_honoured():
    t = M.DAGTracker()
    t.is_tainted = lambda p: True
    n = t.log_unary("x", 0, 1)
    assert t.get_node(n).is_protected is True
    del t.is_tainted
    assert t.get_node(t.log_unary("x", 0, 1)).is_protected is False


# ---- 11: no test hooks in the public module -----------------------------------------------------

def test_public_base_module_has_no_test_hook():
    assert not hasattr(t32, "_native")
    assert not [n for n in dir(t32) if n.startswith("_native")]


# ---- 12: row values handed to an overriding record_row_value ------------------------------------

def test_wrap_hands_record_row_value_what_iloc_gives():
    seen = {}

    class T(M.DAGTracker):
        def record_row_value(self, row_index, fingerprint, operation, value=None, column_name=None):
            seen[(row_index, column_name)] = value

    df = pd.DataFrame({"i": [1, 2], "f": [0.5, 1.5], "b": [True, False]})
    M.wrap_dataframe_dag(df, T(), "t")
    for (i, col), value in seen.items():
        want = df.iloc[i][col]
        assert type(value) is type(want) and value == want, (i, col, value, want)
    assert type(seen[(0, "f")]) is np.float64 or type(seen[(0, "f")]) is type(df.iloc[0]["f"])
    assert len(seen) == 6


# ---- the glue's conventions --------------------------------------------------------------------

@pytest.mark.parametrize("call,text", [
    (lambda t: t.get_node(1, 2), "DAGTracker.get_node() takes 2 positional arguments but 3 were given"),
    (lambda t: t.dag_stats(1), "DAGTracker.dag_stats() takes 1 positional argument but 2 were given"),
    (lambda t: t.log_unary("x", 0, 1, {}, 5), "DAGTracker.log_unary() takes from 4 to 5 positional arguments but 6 were given"),
    (lambda t: M.DAGNode(*range(11)), "DAGNode.__init__() takes from 6 to 11 positional arguments but 12 were given"),
    (lambda t: M.dag_audit(1, 2, 3), "dag_audit() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda t: t32.ProvenanceTracker.is_tainted(1, 2), "ProvenanceTracker.is_tainted() takes 1 positional argument but 2 were given"),
])
def test_arity_messages_count_self_like_cpython(call, text):
    with pytest.raises(TypeError) as info:
        call(M.DAGTracker())
    assert str(info.value) == text
