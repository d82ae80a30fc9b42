"""corvanti.wrapper's service HTTP client (_post_json, _patch_json) against a real local server."""

import datetime as dt
import json
import socket
import urllib.error
import urllib.request

import numpy as np
import pytest

from corvanti import wrapper
from support.service import free_port

KEY = "secret-key"
ARG_MSG = "Argument '{}' has incorrect type (expected {}, got {})"


class StrSub(str):
    pass


def test_post_sends_json_with_headers_and_returns_object(service):
    service.respond("POST", "/v1/things", json={"id": 7, "items": [1, "a"]})
    out = wrapper._post_json(service.url + "/v1/things?x=1", KEY, {"b": 1, "a": [1.5, "é"]})
    assert out == {"id": 7, "items": [1, "a"]}
    (req,) = service.requests
    assert (req.method, req.path, req.query) == ("POST", "/v1/things", "x=1")
    assert req.header("Authorization") == "Bearer " + KEY
    assert req.header("Content-Type") == "application/json"
    assert req.header("Accept") == "application/json"
    assert req.header("User-Agent") == "corvanti-python-client/1.0"
    assert req.json == {"b": 1, "a": [1.5, "é"]}
    assert req.body == wrapper._fast_dumps({"b": 1, "a": [1.5, "é"]}, default=str).encode()


def test_patch_sends_patch(service):
    assert wrapper._patch_json(service.url + "/v1/pipelines/3", KEY, {"status": "done"}) == {"ok": True}
    (req,) = service.requests
    assert (req.method, req.path, req.json) == ("PATCH", "/v1/pipelines/3", {"status": "done"})
    assert req.header("Authorization") == "Bearer " + KEY


def test_payload_values_json_cannot_hold_are_sent_as_text(service):
    when = dt.datetime(2024, 1, 2, 3, 4, 5)
    payload = [{"when": when, "n": np.int64(4), "x": np.float64(0.5), "d": dt.date(2024, 1, 2), "obj": {1, 2}}]
    assert wrapper._post_json(service.url + "/v1/values", KEY, payload) == {"ok": True}
    body = service.requests[0].json
    assert body == json.loads(wrapper._fast_dumps(payload, default=str))
    assert body[0]["n"] == "4" and body[0]["x"] == "0.5" and body[0]["obj"] == str({1, 2})
    assert body[0]["when"].startswith("2024-01-02") and body[0]["d"] == "2024-01-02"


@pytest.mark.parametrize("fn, method, infix", [
    (wrapper._post_json, "POST", " from "),
    (wrapper._patch_json, "PATCH", " (PATCH) from "),
])
@pytest.mark.parametrize("status", [401, 404, 500, 503])
def test_error_status_raises_runtime_error_with_truncated_text(service, fn, method, infix, status):
    body = "".join(chr(0x41 + i % 26) for i in range(1000))
    service.respond(method, "/v1/x", status=status, text=body)
    url = service.url + "/v1/x"
    with pytest.raises(RuntimeError) as ei:
        fn(url, KEY, {"a": 1})
    assert str(ei.value) == f"HTTP {status}{infix}{url}: {body[:200]}"
    cause = ei.value.__cause__
    assert isinstance(cause, urllib.error.HTTPError) and cause.code == status
    assert ei.value.__suppress_context__


def test_error_text_limit_is_read_at_error_time_and_counts_characters(service, monkeypatch):
    service.respond("POST", "/v1/x", status=400, body="ééé".encode() + b"\xff\xfeabc")
    monkeypatch.setattr(wrapper, "_MAX_ERROR_TEXT", 5)
    with pytest.raises(RuntimeError) as ei:
        wrapper._post_json(service.url + "/v1/x", KEY, {})
    # Three two-byte characters, then two undecodable bytes shown as U+FFFD.
    assert str(ei.value).endswith(": ééé\ufffd\ufffd")


@pytest.mark.parametrize("method", ["POST", "PATCH"])
def test_null_and_non_object_bodies(service, method):
    fn = wrapper._post_json if method == "POST" else wrapper._patch_json
    url = service.url + "/v1/r"
    service.respond(method, "/v1/r", json=None, times=1)
    assert fn(url, KEY, {}) is None
    service.respond(method, "/v1/r", json=[1, 2], times=1)
    with pytest.raises(TypeError, match=r"^Expected dict, got list$"):
        fn(url, KEY, {})
    service.respond(method, "/v1/r", json="text", times=1)
    with pytest.raises(TypeError, match=r"^Expected dict, got str$"):
        fn(url, KEY, {})
    service.respond(method, "/v1/r", body=b"", times=1)
    with pytest.raises(ValueError):  # the JSON decoder's error
        fn(url, KEY, {})
    service.respond(method, "/v1/r", body=b'{"a": "\xff"}', times=1)
    with pytest.raises(UnicodeDecodeError):
        fn(url, KEY, {})


def test_unreachable_port_raises_urlerror():
    port = free_port()
    with pytest.raises(urllib.error.URLError):
        wrapper._post_json(f"http://127.0.0.1:{port}/v1/pipelines", KEY, {})


def test_timeout_raises(service):
    service.respond("POST", "/v1/slow", delay=3)
    with pytest.raises((TimeoutError, socket.timeout, urllib.error.URLError)):
        wrapper._post_json(service.url + "/v1/slow", KEY, {}, timeout=0.9999 + 0.5)  # int() -> 1


@pytest.mark.parametrize("url, scheme", [
    ("file:///etc/passwd", "file"),
    ("FILE:///etc/passwd", "file"),
    ("  <URL:file:///etc/hostname>", "file"),
    ("ftp://127.0.0.1/x", "ftp"),
    ("data:application/json,{}", "data"),
    ("gopher://127.0.0.1/", "gopher"),
])
@pytest.mark.parametrize("fn", [wrapper._post_json, wrapper._patch_json])
def test_only_http_and_https_urls_are_opened(monkeypatch, url, scheme, fn):
    opened = []
    monkeypatch.setattr(urllib.request, "urlopen", lambda *a, **k: opened.append(a))
    with pytest.raises(ValueError) as ei:
        fn(url, KEY, {})
    assert f"'{scheme}'" in str(ei.value) and "http" in str(ei.value)
    assert opened == []


def test_url_without_scheme_is_a_value_error(monkeypatch):
    with pytest.raises(ValueError):
        wrapper._post_json("127.0.0.1:1/v1/x", KEY, {})


def test_timeouts_given_to_urlopen(service, monkeypatch):
    seen = []
    real = urllib.request.urlopen

    def spy(req, timeout):
        seen.append((req.get_method(), timeout, type(timeout)))
        return real(req, timeout=timeout)

    monkeypatch.setattr(urllib.request, "urlopen", spy)
    wrapper._post_json(service.url + "/a", KEY, {})
    wrapper._patch_json(service.url + "/a", KEY, {})
    wrapper._post_json(service.url + "/a", KEY, {}, 5.5)
    wrapper._patch_json(service.url + "/a", KEY, {}, timeout=np.int32(7))
    wrapper._post_json(service.url + "/a", KEY, [1], True)
    assert seen == [("POST", 120, int), ("PATCH", 30, int), ("POST", 5, int), ("PATCH", 7, int), ("POST", 1, int)]


@pytest.mark.parametrize("fn", [wrapper._post_json, wrapper._patch_json])
@pytest.mark.parametrize("args, kwargs, msg", [
    ((b"http://x", KEY, {}), {}, ARG_MSG.format("url", "str", "bytes")),
    ((None, KEY, {}), {}, ARG_MSG.format("url", "str", "NoneType")),
    ((StrSub("http://x"), KEY, {}), {}, ARG_MSG.format("url", "str", "StrSub")),
    (("http://x", 5, {}), {}, ARG_MSG.format("api_key", "str", "int")),
    (("http://x", KEY, {}), {"timeout": "5"}, ARG_MSG.format("timeout", "int", "str")),
    (("http://x", KEY, {}), {"timeout": None}, ARG_MSG.format("timeout", "int", "NoneType")),
])
def test_argument_type_errors_before_any_request(service, fn, args, kwargs, msg):
    with pytest.raises(TypeError) as ei:
        fn(*args, **kwargs)
    assert str(ei.value) == msg
    assert service.requests == []


def test_patch_requires_dict_payload_post_accepts_list(service):
    with pytest.raises(TypeError) as ei:
        wrapper._patch_json(service.url + "/v1/x", KEY, [{"a": 1}])
    assert str(ei.value) == ARG_MSG.format("payload", "dict", "list")
    assert service.requests == []
    assert wrapper._post_json(service.url + "/v1/x", KEY, [{"a": 1}]) == {"ok": True}
    assert service.requests[0].json == [{"a": 1}]


def test_unencodable_payload_raises_before_any_request(service):
    with pytest.raises(TypeError):
        wrapper._post_json(service.url + "/v1/x", KEY, {1: object()})  # orjson: non-str key
    assert service.requests == []


def test_keyword_arguments_and_arity():
    with pytest.raises(TypeError, match=r"^_post_json\(\) missing 1 required positional argument: 'payload'$"):
        wrapper._post_json("http://x", KEY)
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'data'"):
        wrapper._patch_json("http://x", KEY, {}, data=1)


def test_concurrent_calls(service):
    import threading

    errors = []

    def work(i):
        try:
            assert wrapper._post_json(service.url + f"/v1/c/{i}", KEY, {"i": i}) == {"ok": True}
        except Exception as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert sorted(r.json["i"] for r in service.requests) == list(range(8))


STDLIB_CLIENT = """
import json, sys
sys.modules["orjson"] = None
sys.path.insert(0, sys.argv[1])
import numpy as np
from corvanti import wrapper
from support.service import ServiceServer
with ServiceServer() as service:
    service.respond("POST", "/v1/x", body='{"r": "\\u00e9"}'.encode())
    out = wrapper._post_json(service.url + "/v1/x", "k", {"a": np.int64(1), "\\u00e9": float("nan")})
    print(json.dumps({"out": out, "body": service.requests[0].body.decode("ascii")}))
"""


def test_client_with_stdlib_json_backend():
    import pathlib

    from support.proc import run_python

    proc = run_python(STDLIB_CLIENT, str(pathlib.Path(__file__).resolve().parent))
    res = json.loads(proc.stdout)
    assert res["out"] == {"r": "é"}
    assert res["body"] == '{"a": "1", "\\u00e9": NaN}'
