"""corvanti.utilities.jsonweave under both of its backends.

The behaviour tests run in this process against whichever backend imports
(orjson here). The same file is then run again by pytest in subprocesses with
orjson blocked (standard json backend), and with orjson and numpy blocked; the
JSONWEAVE_TEST_BLOCK variable names the modules to block before the import.
"""
import datetime as dt
import gc
import json
import os
import subprocess
import sys
import textwrap
import tracemalloc

import pytest

BLOCKED = [n for n in os.environ.get("JSONWEAVE_TEST_BLOCK", "").split(",") if n]
for _name in BLOCKED:
    sys.modules[_name] = None  # makes `import <name>` raise ImportError

from corvanti.utilities import jsonweave as jw  # noqa: E402

try:
    import numpy as np
except ImportError:
    np = None

ORJSON = jw.BACKEND == "orjson"
needs_numpy = pytest.mark.skipif(np is None, reason="numpy blocked in this run")
parent_only = pytest.mark.skipif(bool(BLOCKED), reason="runs the other backends itself")


class Day(dt.date):
    """A date subclass (like pandas.Timestamp is a datetime subclass)."""


def test_backend_and_module_globals():
    assert ("orjson" in BLOCKED) == (jw.BACKEND == "json")
    names = [k for k in vars(jw) if not k.startswith("__")]
    if ORJSON:
        import orjson

        assert names == ["orjson", "_NUMPY_OPT", "dumps", "loads", "BACKEND"]
        assert jw.orjson is orjson and jw._NUMPY_OPT == orjson.OPT_SERIALIZE_NUMPY
    else:
        assert names == ["json", "date", "datetime", "_NumpyEncoder", "dumps", "loads", "BACKEND"]
        assert jw.json is json and (jw.date, jw.datetime) == (dt.date, dt.datetime)
        assert jw._NumpyEncoder.__bases__ == (json.JSONEncoder,)


def test_docstrings():
    assert jw.__doc__.endswith("The stdlib fallback uses a custom encoder for the same numpy coverage.")
    assert jw.dumps.__text_signature__ == "(obj, default=None, indent=None, sort_keys=False)"
    if ORJSON:
        lines = jw.dumps.__doc__.splitlines()
        assert lines[:2] == ["Serialize to JSON string. Uses orjson for speed.", ""]
        body = " ".join(lines[2:])
        first = body.index("Handles numpy scalars, arrays, datetime, and date objects natively.")
        assert body.index("Returns a Python str (not bytes).") > first
        assert jw.loads.__doc__ == "Deserialize from JSON string. Uses orjson for speed."
    else:
        assert jw.dumps.__doc__ == "Serialize to JSON string. Stdlib fallback with numpy support."
        assert jw.loads.__doc__ == "Deserialize from JSON string. Stdlib fallback."
        assert jw._NumpyEncoder.__doc__ == "JSON encoder that handles numpy types for the stdlib fallback."


@pytest.mark.parametrize("flag", [True, 1, "yes"])
def test_sort_keys(flag):
    out = jw.dumps({"b": 1, "a": {"d": 2, "c": 3}}, sort_keys=flag)
    assert out == ('{"a":{"c":3,"d":2},"b":1}' if ORJSON else '{"a": {"c": 3, "d": 2}, "b": 1}')
    assert jw.dumps({"b": 1, "a": 2}).index('"b"') == 1  # insertion order otherwise


@pytest.mark.parametrize("args,kwargs", [(([1],), {"indent": 4}), (([1], None, 4), {})])
def test_indent(args, kwargs):
    assert jw.dumps(*args, **kwargs) == ("[\n  1\n]" if ORJSON else "[\n    1\n]")


@needs_numpy
@pytest.mark.parametrize(
    "make,text,value",
    [
        (lambda: np.int64(7), "7", 7),
        (lambda: np.bool_(True), "true", True),
        (lambda: np.float32(0.5), "0.5", 0.5),
        (lambda: np.arange(4).reshape(2, 2), None, [[0, 1], [2, 3]]),
        # What orjson cannot serialise natively goes through the same conversions.
        (lambda: np.arange(4).reshape(2, 2).T, None, [[0, 2], [1, 3]]),
        (lambda: np.arange(6).reshape(3, 2)[:, 0], None, [0, 2, 4]),
        (lambda: np.array(3), "3", 3),
        (lambda: np.array([1, "a", None], dtype=object), None, [1, "a", None]),
        (lambda: np.longdouble(2.5), "2.5", 2.5),
        (lambda: {"k": [np.uint8(255), np.float64(-1.25)]}, None, {"k": [255, -1.25]}),
    ],
)
def test_numpy_values(make, text, value):
    out = jw.dumps(make())
    assert isinstance(out, str)
    if text is not None:
        assert out == text
    assert jw.loads(out) == value
    # A caller's default is not consulted for what the conversions handle.
    assert jw.dumps(make(), default=lambda o: pytest.fail(f"default called for {o!r}")) == out


@pytest.mark.parametrize(
    "value",
    [
        dt.date(2024, 1, 2),
        dt.datetime(2024, 1, 2, 3, 4, 5, 6),
        dt.datetime(2024, 1, 2, 3, 4, 5, tzinfo=dt.timezone.utc),
        Day(2024, 1, 2),
    ],
)
def test_dates_as_iso_text(value):
    # Under the json backend this holds also without numpy.
    assert jw.loads(jw.dumps({"t": value})) == {"t": value.isoformat()}


def test_default_callable():
    assert jw.loads(jw.dumps({"s": {3, 1, 2}}, default=sorted)) == {"s": [1, 2, 3]}
    with pytest.raises(TypeError, match="not JSON serializable"):
        jw.dumps({3, 1, 2})
    # A default that never yields serialisable data: orjson gives up with a
    # TypeError, the json encoder recurses until RecursionError.
    with pytest.raises(TypeError if ORJSON else RecursionError):
        jw.dumps(object(), default=lambda o: object())


@pytest.mark.parametrize("exc", [ValueError("bad value"), TypeError("bad type"), KeyError("k")])
def test_default_exception_propagates(exc):
    def failing(o):
        raise exc

    with pytest.raises(type(exc)) as info:
        jw.dumps([1, {"x": object()}], default=failing)
    assert info.value is exc


class BadDay(dt.date):
    def isoformat(self):
        raise OSError("clock unavailable")


@pytest.mark.parametrize("default", [None, repr])
def test_conversion_error_propagates(default):
    with pytest.raises(OSError, match="clock unavailable"):
        jw.dumps({"d": BadDay(2024, 1, 1)}, default=default)


def test_unserialisable_error_has_no_internal_links():
    with pytest.raises(TypeError) as info:
        jw.dumps([object()])
    assert info.value.__cause__ is None and info.value.__context__ is None


@pytest.mark.parametrize("text", ["{", "[1,", "", "nul", '{"a" 1}'])
def test_malformed_json(text):
    with pytest.raises(ValueError):
        jw.loads(text)


@pytest.mark.parametrize(
    "value",
    [None, True, 0, -(2**63), 1.5, "", "x\ny\"\\", "日本語 🎉", [], {}, [1, [2, [3]]], {"a": {"b": [None, False, 2.25]}}],
)
def test_round_trip(value):
    assert jw.loads(jw.dumps(value)) == value
    assert jw.loads(jw.dumps(value).encode()) == value


def test_non_ascii_and_nan():
    assert jw.dumps("é") == ('"é"' if ORJSON else '"\\u00e9"')
    specials = [float("nan"), float("inf"), float("-inf")]
    assert jw.dumps(specials) == ("[null,null,null]" if ORJSON else "[NaN, Infinity, -Infinity]")


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: jw.dumps(), "dumps() missing 1 required positional argument: 'obj'"),
        (lambda: jw.dumps(1, None, None, False, 5), "dumps() takes from 1 to 4 positional arguments but 5 were given"),
        (lambda: jw.dumps(1, separators=(",", ":")), "dumps() got an unexpected keyword argument 'separators'"),
        (lambda: jw.dumps(1, obj=2), "dumps() got multiple values for argument 'obj'"),
        (lambda: jw.loads(), "loads() missing 1 required positional argument: 's'"),
        (lambda: jw.loads("1", "2"), "loads() takes 1 positional argument but 2 were given"),
        (lambda: jw.loads(text="1"), "loads() got an unexpected keyword argument 'text'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.skipif(ORJSON, reason="json backend only")
def test_numpy_encoder_and_combined_class():
    enc = jw._NumpyEncoder()
    with pytest.raises(TypeError, match="Object of type object is not JSON serializable"):
        enc.default(object())
    with pytest.raises(TypeError, match=r"_NumpyEncoder.default\(\) missing 1 required positional argument: 'o'"):
        enc.default()
    assert json.dumps([Day(2024, 5, 6)], cls=jw._NumpyEncoder) == '["2024-05-06"]'
    for _ in range(3):
        jw.dumps(object(), default=repr)
    gc.collect()
    subclasses = jw._NumpyEncoder.__subclasses__()
    assert [c.__qualname__ for c in subclasses] == ["dumps.<locals>._Combined"]
    # The caller's default is tried after the numpy/date conversions, and its
    # exception is raised while their TypeError is being handled.
    with pytest.raises(ZeroDivisionError) as info:
        jw.dumps(object(), default=lambda o: 1 / 0)
    assert isinstance(info.value.__context__, TypeError)


def test_repeated_calls_do_not_leak():
    def fallback(o):
        return sorted(o)

    def failing(o):
        raise ValueError("no")

    data = {"s": {2, 1}, "t": dt.date(2024, 1, 2), "n": [1.5, "x", None]}
    if np is not None:
        data["a"] = np.arange(6).reshape(3, 2)[:, 0]
        data["i"] = np.int64(7)

    def run(n):
        for _ in range(n):
            jw.loads(jw.dumps(data, default=fallback, sort_keys=True))
            jw.dumps(data["n"], indent=2)
            with pytest.raises(ValueError):
                jw.dumps(data, default=failing)
            with pytest.raises(TypeError):
                jw.dumps(data)

    run(500)
    gc.collect()
    refs = (sys.getrefcount(fallback), sys.getrefcount(failing), sys.getrefcount(data))
    tracemalloc.start()
    try:
        run(200)
        gc.collect()
        base = tracemalloc.get_traced_memory()[0]
        run(10_000)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    assert (sys.getrefcount(fallback), sys.getrefcount(failing), sys.getrefcount(data)) == refs
    assert grown < 64 * 1024, grown


# ---- runs of the other backends and of the import itself ------------------


def _python(code, block=(), extra_path=None):
    env = dict(os.environ)
    if extra_path:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [extra_path, env.get("PYTHONPATH")]))
    prelude = "".join(f"import sys; sys.modules[{n!r}] = None\n" for n in block)
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                          capture_output=True, text=True, env=env)


@parent_only
@pytest.mark.parametrize("block", ["orjson", "orjson,numpy"])
def test_other_backend_runs(block):
    env = dict(os.environ, JSONWEAVE_TEST_BLOCK=block)
    proc = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", __file__],
        capture_output=True, text=True, env=env, cwd=os.path.dirname(os.path.dirname(__file__)),
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert " passed" in proc.stdout and "failed" not in proc.stdout


@parent_only
@pytest.mark.parametrize("block", [(), ("orjson",)])
def test_numpy_not_imported_at_import(block):
    proc = _python("""
        import corvanti.utilities.jsonweave as jw
        import sys
        print(jw.BACKEND, sys.modules.get('numpy') is not None)
    """, block)
    assert proc.stdout.split() == ["json" if block else "orjson", "False"], proc.stderr


@parent_only
@pytest.mark.parametrize(
    "source,error",
    [
        ("raise RuntimeError('broken orjson install')", "RuntimeError: broken orjson install"),
        ("OPT_INDENT_2 = 1\nOPT_SORT_KEYS = 2\n", "AttributeError"),
        ("raise ImportError('no native part')", None),
    ],
)
def test_orjson_import_failures(tmp_path, source, error):
    (tmp_path / "orjson.py").write_text(source)
    proc = _python("""
        import corvanti.utilities.jsonweave as jw
        print(jw.BACKEND, sorted(k for k in vars(jw) if not k.startswith('__')))
    """, extra_path=str(tmp_path))
    if error is None:
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.startswith("json ") and "'orjson'" not in proc.stdout
    else:
        assert proc.returncode != 0 and error in proc.stderr, proc.stderr
