"""The source registry of corvanti.wrapper: _ProvenanceRegistry and _registry."""

import gc
import logging
import sys
import threading
import tracemalloc

import numpy as np
import pandas as pd
import pytest

from corvanti import wrapper

needs_serialize = pytest.mark.skipif(not hasattr(wrapper, "_serialize"), reason="_serialize not built yet")


@pytest.fixture
def reg():
    return wrapper._ProvenanceRegistry()


def frame(**cols):
    return pd.DataFrame(cols)


def test_module_instance_and_class_shape():
    assert isinstance(wrapper._registry, wrapper._ProvenanceRegistry)
    cls = wrapper._ProvenanceRegistry
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "corvanti.wrapper"
    assert cls.__doc__.startswith("Global registry tracking source DataFrames for pipeline lineage.\n")
    assert cls.register.__doc__.startswith("Register a DataFrame as a source table.")
    assert cls.resolve.__doc__.startswith("Resolve provenance for every column in a DataFrame.")
    assert cls.build_source_snapshots.__doc__ == (
        "Build source snapshots containing ONLY columns used in the final DataFrame."
    )
    assert cls.get_source_mapping.__doc__ == "Return the full column -> table.col mapping."
    assert cls.get_source_metadata.__doc__ == "Return source table metadata (columns + dtypes)."
    assert cls.clear.__doc__ == "Reset the registry (between pipeline runs)."
    r = cls()
    assert type(r._lock) is type(threading.Lock())
    assert r._sources == {} and r._source_columns == {} and r._source_dtypes == {}


def test_register_records_names_and_dtypes_not_values(reg):
    df = frame(income=[1, 2], age=[3.5, 4.0], city=["a", "b"])
    assert reg.register(df, "applications") is None
    assert reg._sources == {
        "income": "applications.income", "age": "applications.age", "city": "applications.city",
    }
    assert reg._source_columns == {"applications": ["income", "age", "city"]}
    assert reg._source_dtypes["applications"]["income"] == "int64"
    assert reg._source_dtypes["applications"]["age"] == "float64"
    assert list(reg._source_dtypes["applications"]) == ["income", "age", "city"]


def test_resolve_known_and_derived(reg):
    reg.register(frame(income=[1], age=[2]), "applications")
    assert reg.resolve(frame(income=[1], score=[2])) == {
        "income": "applications.income", "score": "derived",
    }
    # labels are looked up as they are: 0 and "0" are different columns
    reg.register(pd.DataFrame({0: [1]}), "ints")
    out = reg.resolve(pd.DataFrame({0: [1], "0": [2]}))
    assert out == {0: "ints.0", "0": "derived"}
    assert reg.resolve(np.zeros((2, 2))) == {}


def test_last_registration_wins_and_reregistration(reg):
    reg.register(frame(x=[1], a=[1]), "a")
    reg.register(frame(x=[1.0], b=[1]), "b")
    assert reg._sources["x"] == "b.x"
    assert set(reg._source_columns) == {"a", "b"}
    # the same table again: columns and dtypes replaced, old column entries kept
    reg.register(frame(y=[1]), "a")
    assert reg._source_columns["a"] == ["y"]
    assert reg._source_dtypes["a"] == {"y": "int64"}
    assert reg._sources["a"] == "a.a"


@pytest.mark.parametrize("obj", [np.zeros((2, 2)), None, [1, 2], {"a": [1]}])
def test_register_without_columns_logs_and_skips(reg, caplog, obj):
    with caplog.at_level(logging.DEBUG, logger="corvanti.wrapper"):
        assert reg.register(obj, "t") is None
    assert [r.getMessage() for r in caplog.records] == ["ProvenanceRegistry: df has no .columns, skipping"]
    assert caplog.records[0].levelno == logging.DEBUG
    assert reg._sources == {} and reg._source_columns == {} and reg._source_dtypes == {}


class StrSub(str):
    pass


@pytest.mark.parametrize("bad,tname", [(None, "NoneType"), (b"t", "bytes"), (StrSub("t"), "StrSub"), (1, "int")])
def test_register_table_name_type(reg, bad, tname):
    with pytest.raises(TypeError) as ei:
        reg.register(frame(a=[1]), bad)
    assert str(ei.value) == f"Argument 'table_name' has incorrect type (expected str, got {tname})"
    assert reg._sources == {}


def test_failure_inside_releases_lock(reg):
    dup = pd.DataFrame([[1, 2]], columns=["a", "a"])
    with pytest.raises(AttributeError):
        reg.register(dup, "dup")  # df["a"] is a DataFrame: no .dtype
    assert not reg._lock.locked()
    # the steps done before the failure stay done
    assert reg._sources == {"a": "dup.a"}
    reg.register(df=frame(b=[1]), table_name="ok")
    assert reg._sources["b"] == "ok.b"


class RecordingLock:
    """Stands in for the lock: records entries and exits, checks nesting."""

    def __init__(self):
        self.depth = 0
        self.entries = 0
        self.exits = []

    def __enter__(self):
        assert self.depth == 0, "lock taken twice"
        self.depth += 1
        self.entries += 1
        return self

    def __exit__(self, *exc):
        self.depth -= 1
        self.exits.append(exc[0])
        return False


def test_every_method_runs_inside_the_lock(reg):
    lock = RecordingLock()
    reg._lock = lock
    df = frame(a=[1.0, 2.0])
    reg.register(df, "t")
    reg.resolve(df)
    reg.build_source_snapshots(df)
    reg.get_source_mapping()
    reg.get_source_metadata()
    reg.clear()
    assert lock.entries == 6 and lock.depth == 0
    assert lock.exits == [None] * 6
    with pytest.raises(AttributeError):
        reg.register(pd.DataFrame([[1, 2]], columns=["a", "a"]), "dup")
    assert lock.exits[-1] is AttributeError and lock.depth == 0


@needs_serialize
def test_snapshots_hold_only_registered_final_columns(reg):
    reg.register(frame(income=[1, 2], age=[30, 40], zip=["a", "b"]), "applications")
    reg.register(frame(score=[0.5, 0.7]), "bureau")
    final = frame(age=[31, 41], score=[0.1, float("nan")], ratio=[1.0, 2.0])
    snaps = reg.build_source_snapshots(final)
    assert set(snaps) == {"applications", "bureau"}
    assert snaps["applications"] == {"dataframe": {"index": [0, 1], "columns": ["age"], "data": [[31], [41]]}}
    assert snaps["bureau"]["dataframe"]["data"] == [[0.1], [None]]


@needs_serialize
def test_snapshot_table_of_dotted_column_label(reg):
    reg.register(frame(**{"price.usd": [1.5], "qty": [2]}), "sales")
    snaps = reg.build_source_snapshots(frame(**{"price.usd": [9.5], "qty": [3]}))
    assert list(snaps) == ["sales"]
    assert snaps["sales"]["dataframe"]["columns"] == ["price.usd", "qty"]


def test_snapshot_edge_cases(reg):
    reg.register(frame(a=[1]), "t")
    assert reg.build_source_snapshots(np.zeros((1, 1))) == {}
    assert reg.build_source_snapshots(frame(b=[1])) == {}
    # a source text without "." is skipped
    reg._sources["b"] = "nodot"
    assert reg.build_source_snapshots(frame(b=[1])) == {}

    class HasColumns:  # not a DataFrame: the table is skipped
        columns = ["a"]

    assert reg.build_source_snapshots(HasColumns()) == {}


def test_copies_of_mapping_and_metadata(reg):
    reg.register(frame(a=[1]), "t")
    mapping = reg.get_source_mapping()
    mapping["z"] = "x.z"
    assert "z" not in reg._sources
    meta = reg.get_source_metadata()
    assert meta is not reg._source_dtypes
    meta["other"] = {}
    assert "other" not in reg._source_dtypes
    meta["t"]["extra"] = "int64"  # inner dicts are the registry's own
    assert reg._source_dtypes["t"]["extra"] == "int64"


def test_clear_keeps_dict_objects(reg):
    reg.register(frame(a=[1]), "t")
    ids = (id(reg._sources), id(reg._source_columns), id(reg._source_dtypes))
    assert reg.clear() is None
    assert reg._sources == {} and reg._source_columns == {} and reg._source_dtypes == {}
    assert ids == (id(reg._sources), id(reg._source_columns), id(reg._source_dtypes))


def test_concurrent_use_loses_nothing(reg):
    n_threads, per_thread = 8, 40
    errors = []
    start = threading.Barrier(n_threads + 2)

    def writer(t):
        try:
            start.wait()
            for i in range(per_thread):
                reg.register(frame(**{f"c{t}_{i}": [i], f"d{t}_{i}": [1.0]}), f"t{t}_{i}")
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    def reader():
        try:
            start.wait()
            probe = frame(**{f"c{t}_0": [0] for t in range(n_threads)})
            for _ in range(per_thread):
                out = reg.resolve(probe)
                assert set(out.values()) <= {"derived"} | {f"t{t}_0.c{t}_0" for t in range(n_threads)}
                reg.build_source_snapshots(probe)
                reg.get_source_mapping()
                reg.get_source_metadata()
        except Exception as e:  # pragma: no cover
            errors.append(e)

    threads = [threading.Thread(target=writer, args=(t,)) for t in range(n_threads)]
    threads += [threading.Thread(target=reader) for _ in range(2)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []
    assert len(reg._sources) == n_threads * per_thread * 2
    assert len(reg._source_columns) == n_threads * per_thread
    assert len(reg._source_dtypes) == n_threads * per_thread
    for t in range(n_threads):
        for i in range(per_thread):
            assert reg._sources[f"c{t}_{i}"] == f"t{t}_{i}.c{t}_{i}"
            assert reg._source_dtypes[f"t{t}_{i}"] == {f"c{t}_{i}": "int64", f"d{t}_{i}": "float64"}
    assert not reg._lock.locked()


def test_no_leaks_over_many_calls(reg):
    df = frame(income=[1, 2, 3], age=[1.0, 2.0, 3.0])
    final = frame(income=[1, 2, 3], score=[1, 2, 3])
    name = "applications"

    def cycle():
        reg.register(df, name)
        reg.resolve(final)
        reg.build_source_snapshots(final)
        reg.get_source_mapping()
        reg.get_source_metadata()
        reg.register(None, name)
        try:
            reg.register(df, 1)
        except TypeError:
            pass

    for _ in range(50):
        cycle()
    gc.collect()
    before = (sys.getrefcount(df), sys.getrefcount(final), sys.getrefcount(name), sys.getrefcount(reg))
    tracemalloc.start()
    for _ in range(200):
        cycle()
    gc.collect()
    base, _ = tracemalloc.get_traced_memory()
    for _ in range(1000):
        cycle()
    gc.collect()
    now, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    after = (sys.getrefcount(df), sys.getrefcount(final), sys.getrefcount(name), sys.getrefcount(reg))
    assert before == after
    assert now - base < 64 * 1024
