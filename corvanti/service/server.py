"""Serving the app with uvicorn: from the command line, or in a thread of this process.

The service binds loopback addresses only, unless the caller names another
host explicitly (``corvanti serve --host 0.0.0.0``): a lineage database holds
a team's data, and exposing it must be a decision, not a default.
"""

from __future__ import annotations

import ipaddress
import socket
import threading
import time
from typing import Callable, Optional

import uvicorn

from corvanti.service.app import DEFAULT_MAX_BODY, create_app
from corvanti.service.db import Database

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8750


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def check_bind(host: str, explicit: bool) -> None:
    """Refuse a non-loopback address unless it was asked for by name."""
    if not is_loopback(host) and not explicit:
        raise ValueError(
            f"refusing to listen on {host!r}, which is not a loopback address; "
            f"pass --host {host} explicitly to expose the service"
        )


def _config(app, host: str, port: int, log_level: str) -> uvicorn.Config:
    return uvicorn.Config(app, host=host, port=port, log_level=log_level, access_log=False,
                          lifespan="off", timeout_keep_alive=30, server_header=False)


def serve(db_url: str, host: str = DEFAULT_HOST, port: int = DEFAULT_PORT, *, host_explicit: bool = False,
          max_body_bytes: int = DEFAULT_MAX_BODY, log_level: str = "info",
          on_ready: Optional[Callable[[str], None]] = None) -> None:
    """Serve until interrupted (Ctrl-C or SIGTERM)."""
    check_bind(host, host_explicit)
    db = Database(db_url)
    server = uvicorn.Server(_config(create_app(db, max_body_bytes=max_body_bytes), host, port, log_level))
    if on_ready is not None:
        threading.Thread(target=_announce, args=(server, on_ready), daemon=True).start()
    try:
        server.run()
    finally:
        db.close()


def _announce(server: uvicorn.Server, on_ready: Callable[[str], None]) -> None:
    while not server.started and not server.should_exit:
        time.sleep(0.02)
    if server.started:
        on_ready(_url(server))


def _url(server: uvicorn.Server) -> str:
    sock = server.servers[0].sockets[0]
    host, port = sock.getsockname()[:2]
    if sock.family == socket.AF_INET6:
        host = f"[{host}]"
    return f"http://{host}:{port}"


def run_in_thread(db_url: str, host: str = DEFAULT_HOST, port: int = 0, *,
                  max_body_bytes: int = DEFAULT_MAX_BODY, log_level: str = "warning",
                  timeout: float = 30.0) -> tuple[str, Callable[[], None]]:
    """Start the service in a daemon thread of this process; returns (base URL, stop).

    ``port=0`` picks a free port. Only loopback hosts are accepted here.
    ``stop()`` shuts the server down, waits for the thread and closes the
    database; calling it again does nothing.
    """
    check_bind(host, explicit=False)
    db = Database(db_url)
    server = uvicorn.Server(_config(create_app(db, max_body_bytes=max_body_bytes), host, port, log_level))
    server.install_signal_handlers = lambda: None  # uvicorn < 0.29 sets handlers; only the main thread may
    failure: list[BaseException] = []

    def run():
        try:
            server.run()
        except BaseException as exc:  # reported by the caller's wait below
            failure.append(exc)

    thread = threading.Thread(target=run, name="corvanti-service", daemon=True)
    thread.start()
    deadline = time.monotonic() + timeout
    while not server.started:
        if failure or not thread.is_alive() or time.monotonic() > deadline:
            server.should_exit = True
            thread.join(5)
            db.close()
            raise RuntimeError(f"the service did not start on {host}:{port}: {failure[0] if failure else 'timed out'}")
        time.sleep(0.01)
    url = _url(server)
    stopped = threading.Event()

    def stop() -> None:
        if stopped.is_set():
            return
        stopped.set()
        server.should_exit = True
        thread.join(10)
        db.close()

    return url, stop
