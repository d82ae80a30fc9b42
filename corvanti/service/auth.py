"""API keys: one tenant per key, stored as the SHA-256 of the key only.

A key is shown once, when it is created; the database keeps its hash, so a
copy of the database does not hand out working keys.
"""

from __future__ import annotations

import hashlib
import re
import secrets
import threading

from sqlalchemy import select

from corvanti.service import tables as T
from corvanti.service.db import Database, now_iso
from corvanti.service.errors import Unauthorized

KEY_PREFIX = "cvk_"
_TENANT_RE = re.compile(r"^[A-Za-z0-9][A-Za-z0-9._@-]{0,127}$")


def hash_key(key: str) -> str:
    return hashlib.sha256(key.encode("utf-8")).hexdigest()


def check_tenant(tenant: str) -> str:
    if not isinstance(tenant, str) or not _TENANT_RE.match(tenant):
        raise ValueError(
            f"tenant must be 1 to 128 characters of letters, digits and . _ @ - "
            f"(starting with a letter or digit), got {tenant!r}"
        )
    return tenant


def create_key(db: Database, tenant: str) -> str:
    """Create a new API key for ``tenant`` and return it (the only time it is seen)."""
    check_tenant(tenant)
    key = KEY_PREFIX + secrets.token_urlsafe(32)
    with db.write() as conn:
        conn.execute(T.api_keys.insert().values(key_hash=hash_key(key), tenant_id=tenant, created_at=now_iso()))
    return key


class KeyRing:
    """Looks up the tenant of a key; known keys are remembered (keys are never revoked)."""

    def __init__(self, db: Database):
        self._db = db
        self._known: dict[str, str] = {}
        self._lock = threading.Lock()

    def tenant_of(self, authorization: str | None) -> str:
        if not authorization:
            raise Unauthorized("missing API key: send the header 'Authorization: Bearer <key>'")
        scheme, _, key = authorization.strip().partition(" ")
        key = key.strip()
        if scheme.lower() != "bearer" or not key:
            raise Unauthorized("the Authorization header must be 'Bearer <key>'")
        digest = hash_key(key)
        with self._lock:
            tenant = self._known.get(digest)
        if tenant is None:
            with self._db.read() as conn:
                tenant = conn.execute(select(T.api_keys.c.tenant_id).where(T.api_keys.c.key_hash == digest)).scalar()
            if tenant is None:
                raise Unauthorized("unknown API key")
            with self._lock:
                self._known[digest] = tenant
        return tenant
