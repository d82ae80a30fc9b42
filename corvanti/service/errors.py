"""Errors the service answers with a status and a JSON body ``{"error": text}``."""

from __future__ import annotations


class ServiceError(Exception):
    """A request the service refuses; ``status`` is the HTTP status."""

    status = 400

    def __init__(self, message: str, status: int | None = None):
        super().__init__(message)
        self.message = message
        if status is not None:
            self.status = status


class Unauthorized(ServiceError):
    status = 401


class Forbidden(ServiceError):
    status = 403


class NotFound(ServiceError):
    status = 404


class Conflict(ServiceError):
    status = 409
