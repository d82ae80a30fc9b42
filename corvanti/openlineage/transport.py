"""Posting OpenLineage events to an HTTP endpoint (``/api/v1/lineage``).

Only http and https URLs are opened (urllib would also read file: and ftp:
URLs, so a mistaken or hostile URL could read local files); the scheme is
checked before anything is serialised or sent. Every event is serialised
first, so an event that is not valid JSON fails before any request. Events
are posted one per request, in order (START before COMPLETE), as the
OpenLineage HTTP API takes them. Redirects are not followed: a redirected
POST would reach the new place as a GET, losing the event while looking
like success.
"""

from __future__ import annotations

import json
import socket
import urllib.error
import urllib.request
from typing import Any, Dict, Iterable, List, Mapping, Optional, Union
from urllib.parse import urlsplit

#: Path of the lineage endpoint under the base URL.
LINEAGE_PATH = "/api/v1/lineage"
#: Seconds to wait for each request.
DEFAULT_TIMEOUT = 10.0
#: Characters of an error answer quoted in the exception.
MAX_ERROR_TEXT = 200

_USER_AGENT = "corvanti-openlineage"


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, req, fp, code, msg, headers, newurl):
        return None  # urllib then raises HTTPError for the 3xx answer


_opener = urllib.request.build_opener(_NoRedirect)


def lineage_url(url: str) -> str:
    """`url` + /api/v1/lineage (unless it already ends so), after the scheme check."""
    if not isinstance(url, str):
        raise TypeError(f"url must be a str, got {type(url).__name__}")
    scheme = urlsplit(url).scheme.lower()
    if scheme not in ("http", "https"):
        raise ValueError(f"URL scheme '{scheme}' is not allowed: only http and https URLs are opened")
    base = url.rstrip("/")
    return base if base.endswith(LINEAGE_PATH) else base + LINEAGE_PATH


def _check_timeout(timeout) -> float:
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, got {type(timeout).__name__}")
    value = float(timeout)
    if not value > 0 or value == float("inf"):
        raise ValueError(f"timeout must be a positive number of seconds, got {timeout!r}")
    return value


def emit(events: Union[Mapping[str, Any], Iterable[Mapping[str, Any]]], url: str, api_key: Optional[str] = None,
         timeout: float = DEFAULT_TIMEOUT) -> List[int]:
    """POST each event to `<url>/api/v1/lineage`; returns the HTTP status of each.

    `api_key`, when given, is sent as a bearer token. A non-2xx answer raises
    RuntimeError with the status and the first 200 characters of the body; an
    endpoint that does not answer within `timeout` seconds raises
    TimeoutError; one that cannot be reached raises ConnectionError. Events
    before the failing one have been delivered; the message names its position.
    """
    target = lineage_url(url)
    if api_key is not None and not isinstance(api_key, str):
        raise TypeError(f"api_key must be a str, got {type(api_key).__name__}")
    limit = _check_timeout(timeout)
    batch = [events] if isinstance(events, Mapping) else list(events)
    bodies = []
    for i, event in enumerate(batch):
        if not isinstance(event, Mapping):
            raise TypeError(f"event {i + 1} must be a dict, got {type(event).__name__}")
        bodies.append(json.dumps(event, allow_nan=False, separators=(",", ":")).encode("utf-8"))

    headers: Dict[str, str] = {"Content-Type": "application/json", "Accept": "application/json",
                               "User-Agent": _USER_AGENT}
    if api_key:
        headers["Authorization"] = "Bearer " + api_key
    statuses = []
    for i, body in enumerate(bodies):
        where = f"event {i + 1} of {len(bodies)} ({batch[i].get('eventType', 'event')})"
        statuses.append(_post(target, body, headers, limit, where))
    return statuses


def _post(target: str, body: bytes, headers: Dict[str, str], timeout: float, where: str) -> int:
    request = urllib.request.Request(target, data=body, headers=headers, method="POST")
    try:
        with _opener.open(request, timeout=timeout) as response:
            response.read()
            status = response.status
    except urllib.error.HTTPError as e:
        try:
            text = e.read().decode("utf-8", "replace")
        except OSError:
            text = ""
        finally:
            e.close()
        raise RuntimeError(f"OpenLineage endpoint {target} answered {e.code} to {where}: {text[:MAX_ERROR_TEXT]}") from e
    except (TimeoutError, socket.timeout) as e:
        raise TimeoutError(f"OpenLineage endpoint {target} did not answer {where} within {timeout:g} s") from e
    except urllib.error.URLError as e:
        if isinstance(e.reason, (TimeoutError, socket.timeout)):
            raise TimeoutError(f"OpenLineage endpoint {target} did not answer {where} within {timeout:g} s") from e
        raise ConnectionError(f"cannot reach OpenLineage endpoint {target} for {where}: {e.reason}") from e
    if not 200 <= status < 300:
        raise RuntimeError(f"OpenLineage endpoint {target} answered {status} to {where}")
    return status
