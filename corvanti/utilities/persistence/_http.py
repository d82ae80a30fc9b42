"""HostedStorage over HTTP: the storage endpoints of the hosted service.

Every write is sent in batches of at most 5000 records, each with a
``batch_id``. A batch that fails is retried here with the same id (the
service stores a batch id once, so a batch whose answer was lost is not
stored twice); a call that the writer repeats after a failure with the very
same records reuses the id of the failed attempt for the same reason.
"""

from __future__ import annotations

import hashlib
import json
import math
import socket
import time
import urllib.error
import urllib.parse
import urllib.request
import uuid
from typing import Any, Iterable, Optional

from ._native import StorageError

BATCH_LIMIT = 5000
TIMEOUT = 30.0
ATTEMPTS = 3
_USER_AGENT = "corvanti-python-client/1.0"
_MAX_ERROR_TEXT = 200

_NODE_FIELDS = ("fingerprint", "node_type", "operation", "table_name", "column_name", "pair_id",
                "is_protected", "entity_hash", "chain_hash", "metadata", "pipeline_id")
_EDGE_FIELDS = ("parent_fingerprint", "child_fingerprint", "input_position")
_VALUE_FIELDS = ("pipeline_id", "row_index", "fingerprint", "node_operation", "value", "column_name",
                 "tenant_id", "text_value")


def _finite(v):
    if isinstance(v, float) and not math.isfinite(v):
        return None
    return v


def _record(obj, fields) -> dict:
    out = {}
    for f in fields:
        v = getattr(obj, f)
        if f == "node_type" and not isinstance(v, str):
            v = getattr(v, "name", str(v))
        out[f] = _finite(v)
    return out


def _chunks(items: list, n: int = BATCH_LIMIT):
    for i in range(0, len(items), n):
        yield items[i:i + n]


class HttpStorage:
    """JSON-over-HTTP client of the storage endpoints (see docs/service-api.md)."""

    def __init__(self, url: str, api_key: Optional[str], tenant_id: Optional[str],
                 timeout: float = TIMEOUT, attempts: int = ATTEMPTS):
        self.url = url
        self.base = url.rstrip("/")
        self.api_key = api_key
        self.tenant_id = tenant_id
        self.timeout = float(timeout)
        self.attempts = max(1, int(attempts))
        self._failed_ids: dict[str, str] = {}  # content digest -> batch id of a failed attempt

    def __repr__(self) -> str:
        return f"HttpStorage({self.url!r})"

    # -- transport -------------------------------------------------------
    def _request(self, method: str, path: str, body: Any = None) -> Any:
        url = self.base + path
        data = None if body is None else json.dumps(body, default=str, allow_nan=False).encode("utf-8")
        headers = {"Authorization": f"Bearer {self.api_key}", "Accept": "application/json",
                   "User-Agent": _USER_AGENT}
        if data is not None:
            headers["Content-Type"] = "application/json"
        last: Optional[BaseException] = None
        for attempt in range(self.attempts):
            if attempt:
                time.sleep(min(2.0, 0.1 * 2 ** attempt))
            req = urllib.request.Request(url, data=data, method=method, headers=headers)
            try:
                with urllib.request.urlopen(req, timeout=self.timeout) as resp:
                    raw = resp.read()
                return json.loads(raw.decode("utf-8")) if raw else None
            except urllib.error.HTTPError as e:
                text = e.read().decode("utf-8", "replace")[:_MAX_ERROR_TEXT]
                err = StorageError(f"HTTP {e.code} from {url}: {text}")
                if e.code < 500:
                    raise err from None  # the request itself is wrong: retrying cannot help
                last = err
            except (urllib.error.URLError, TimeoutError, socket.timeout, ConnectionError) as e:
                reason = getattr(e, "reason", e)
                last = StorageError(f"cannot reach {url}: {reason}")
            except ValueError as e:  # an answer that is not JSON
                raise StorageError(f"invalid answer from {url}: {e}") from None
        assert last is not None
        raise last

    def _batch(self, path: str, kind: str, body: dict) -> Any:
        digest = hashlib.sha256(kind.encode() + json.dumps(body, sort_keys=True, default=str).encode()).hexdigest()
        batch_id = self._failed_ids.get(digest) or str(uuid.uuid4())
        try:
            answer = self._request("POST", path, {"batch_id": batch_id, **body})
        except BaseException:
            self._failed_ids[digest] = batch_id
            raise
        self._failed_ids.pop(digest, None)
        return answer

    # -- the storage protocol ---------------------------------------------
    def connect(self) -> None:
        if not self.api_key:
            raise ValueError(f"HostedStorage: an API key is needed for {self.url}")

    def disconnect(self) -> None:
        pass

    def create_pipeline(self, pipeline_name=None, config=None, git_commit=None, tenant_id=None) -> int:
        answer = self._request("POST", "/v1/pipelines", {
            "pipeline_name": pipeline_name or "unnamed_pipeline", "config": config, "git_commit": git_commit})
        try:
            return int(answer["pipeline_id"])
        except (TypeError, KeyError, ValueError):
            raise StorageError(f"invalid answer from {self.base}/v1/pipelines: {str(answer)[:_MAX_ERROR_TEXT]}") from None

    def complete_pipeline(self, pipeline_id, status: str = "completed") -> None:
        self._request("PATCH", f"/v1/pipelines/{urllib.parse.quote(str(pipeline_id))}", {"status": status})

    def register_source(self, pair_id, table_name, col_name, is_protected=False) -> None:
        self._request("POST", "/v1/sources", {"pair_id": int(pair_id), "table_name": table_name,
                                              "column_name": col_name, "is_protected": bool(is_protected)})

    def store_nodes(self, nodes: Iterable) -> int:
        recs = [_record(n, _NODE_FIELDS) for n in nodes]
        return sum(int((self._batch("/v1/store/nodes", "nodes", {"nodes": c}) or {}).get("stored", 0))
                   for c in _chunks(recs))

    def get_fingerprint_node_map(self, pipeline_id) -> dict:
        answer = self._request("GET", f"/v1/store/pipelines/{urllib.parse.quote(str(pipeline_id))}/fingerprints")
        return {int(fp): int(nid) for fp, nid in (answer or {}).get("fingerprints", [])}

    def store_edges_resolved(self, rows: Iterable) -> int:
        recs = [[int(p), int(c), int(i)] for p, c, i in rows]
        return sum(int((self._batch("/v1/store/edges-resolved", "edges-resolved", {"edges": c}) or {}).get("stored", 0))
                   for c in _chunks(recs))

    def store_edges(self, edges: Iterable, pipeline_id) -> int:
        recs = [_record(e, _EDGE_FIELDS) for e in edges]
        return sum(int((self._batch("/v1/store/edges", "edges", {"pipeline_id": pipeline_id, "edges": c})
                        or {}).get("stored", 0)) for c in _chunks(recs))

    def store_row_values(self, values: Iterable) -> int:
        recs = [_record(v, _VALUE_FIELDS) for v in values]
        return sum(int((self._batch("/v1/store/row-values", "row-values", {"values": c}) or {}).get("stored", 0))
                   for c in _chunks(recs))

    def store_results(self, pipeline_id, results: Iterable) -> int:
        recs = [[str(k), o, int(fp), _finite(v), h] for k, o, fp, v, h in results]
        return sum(int((self._batch("/v1/store/results", "results", {"pipeline_id": pipeline_id, "results": c})
                        or {}).get("stored", 0)) for c in _chunks(recs))

    def store_dashboard_sync(self, payload: dict) -> None:
        self._request("POST", "/v1/dashboard/sync", payload)
