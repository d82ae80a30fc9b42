"""A throwaway PostgreSQL server for tests: ``initdb`` + ``pg_ctl`` under a temporary folder.

``PostgresServer.start()`` finds the server programs (PATH, then Debian's
/usr/lib/postgresql/<version>/bin), creates a cluster in a new temporary
folder, and starts it on a free port of 127.0.0.1 with trust authentication
(loopback only; Unix sockets inside the folder). PostgreSQL refuses to run
as root, so as root the cluster belongs to the ``postgres`` user (or
``nobody``) and the programs run through ``runuser``. ``stop()`` stops the
server and removes the folder.

``PostgresServer.unavailable()`` says why no server can be started (None
when one can), for a clear skip reason.
"""

from __future__ import annotations

import glob
import os
import pwd
import shutil
import subprocess
import tempfile
import time
from typing import Optional

from support.service import free_port

__all__ = ["PostgresServer"]


def _find(program: str) -> Optional[str]:
    found = shutil.which(program)
    if found:
        return found
    candidates = sorted(glob.glob(f"/usr/lib/postgresql/*/bin/{program}"), reverse=True)
    return candidates[0] if candidates else None


def _run_as() -> Optional[str]:
    if os.geteuid() != 0:
        return None
    for user in ("postgres", "nobody"):
        try:
            pwd.getpwnam(user)
            return user
        except KeyError:
            continue
    return "nobody"


class PostgresServer:
    def __init__(self):
        self.folder: Optional[str] = None
        self.port: Optional[int] = None
        self._user = _run_as()
        self._initdb = _find("initdb")
        self._pg_ctl = _find("pg_ctl")

    @staticmethod
    def unavailable() -> Optional[str]:
        if not _find("initdb") or not _find("pg_ctl"):
            return "PostgreSQL server programs (initdb, pg_ctl) are not installed; .ci/run installs Debian's postgresql"
        if os.geteuid() == 0 and not shutil.which("runuser"):
            return "running as root without runuser, cannot start PostgreSQL as another user"
        try:
            import psycopg  # noqa: F401  (only whether it imports)
        except ImportError:
            return "psycopg is not installed (the service extra)"
        return None

    def _cmd(self, *args: str) -> list[str]:
        return (["runuser", "-u", self._user, "--"] if self._user else []) + list(args)

    def start(self) -> "PostgresServer":
        self.folder = tempfile.mkdtemp(prefix="corvanti-pg-")
        data = os.path.join(self.folder, "data")
        if self._user:
            pw = pwd.getpwnam(self._user)
            os.chown(self.folder, pw.pw_uid, pw.pw_gid)
        os.chmod(self.folder, 0o700)
        subprocess.run(self._cmd(self._initdb, "-D", data, "-U", "postgres", "--auth=trust", "-E", "UTF8",
                                 "--no-instructions", "--locale=C"),
                       check=True, capture_output=True, timeout=120)
        for attempt in range(5):
            self.port = free_port()
            opts = f"-c listen_addresses=127.0.0.1 -c port={self.port} -c unix_socket_directories={self.folder} " \
                   "-c fsync=off -c synchronous_commit=off -c full_page_writes=off -c max_connections=200"
            proc = subprocess.run(self._cmd(self._pg_ctl, "-D", data, "-o", opts, "-l",
                                            os.path.join(self.folder, "server.log"), "-w", "-t", "60", "start"),
                                  capture_output=True, timeout=90)
            if proc.returncode == 0:
                return self
            time.sleep(0.2)
        log = open(os.path.join(self.folder, "server.log"), encoding="utf-8", errors="replace").read()[-2000:]
        raise RuntimeError(f"PostgreSQL did not start: {proc.stderr.decode(errors='replace')}\n{log}")

    def url(self, database: str = "postgres") -> str:
        return f"postgresql://postgres@127.0.0.1:{self.port}/{database}"

    def create_database(self, name: str) -> str:
        import psycopg

        with psycopg.connect(f"host=127.0.0.1 port={self.port} user=postgres dbname=postgres", autocommit=True) as conn:
            conn.execute(f'CREATE DATABASE "{name}"')
        return self.url(name)

    def stop(self) -> None:
        if self.folder is None:
            return
        data = os.path.join(self.folder, "data")
        subprocess.run(self._cmd(self._pg_ctl, "-D", data, "-m", "immediate", "-w", "stop"),
                       capture_output=True, timeout=60)
        shutil.rmtree(self.folder, ignore_errors=True)
        self.folder = None

    def __enter__(self) -> "PostgresServer":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()
