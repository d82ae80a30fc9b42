"""Request bodies bounded in size: anything over the limit is answered 413.

A pure ASGI middleware, so the check happens before any framework code
parses the body. A declared ``Content-Length`` over the limit is refused
without buffering; the body is still read and discarded (up to
``_DRAIN_MAX``), so that a client that writes its whole body before reading
sees the 413 instead of a reset connection.
"""

from __future__ import annotations

import json

_DRAIN_MAX = 1 << 30


class BodyLimit:
    def __init__(self, app, max_bytes: int):
        self.app = app
        self.max_bytes = int(max_bytes)

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            return await self.app(scope, receive, send)
        declared = None
        for name, value in scope.get("headers", ()):
            if name == b"content-length":
                try:
                    declared = int(value)
                except ValueError:
                    return await self._refuse(send, 400, "invalid Content-Length header")
        if declared is not None and declared > self.max_bytes:
            if declared <= _DRAIN_MAX:
                await self._drain(receive)
            return await self._refuse(send, 413, self._too_large())
        chunks, size = [], 0
        while True:
            message = await receive()
            if message["type"] == "http.disconnect":
                return
            body = message.get("body", b"")
            size += len(body)
            if size > self.max_bytes:
                if message.get("more_body"):
                    await self._drain(receive, size)
                return await self._refuse(send, 413, self._too_large())
            chunks.append(body)
            if not message.get("more_body"):
                break
        whole = b"".join(chunks)
        replayed = False

        async def replay():
            nonlocal replayed
            if not replayed:
                replayed = True
                return {"type": "http.request", "body": whole, "more_body": False}
            return await receive()

        return await self.app(scope, replay, send)

    def _too_large(self) -> str:
        return f"request body larger than the service's limit of {self.max_bytes} bytes; send smaller batches"

    @staticmethod
    async def _drain(receive, seen: int = 0) -> None:
        while seen <= _DRAIN_MAX:
            message = await receive()
            if message["type"] != "http.request":
                return
            seen += len(message.get("body", b""))
            if not message.get("more_body"):
                return

    @staticmethod
    async def _refuse(send, status: int, message: str) -> None:
        body = json.dumps({"error": message}).encode("utf-8")
        await send({"type": "http.response.start", "status": status,
                    "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode())]})
        await send({"type": "http.response.body", "body": body})
