"""The background writer and its settings."""

from __future__ import annotations

from dataclasses import dataclass

from ._native import AsyncWriter

__all__ = ["AsyncWriter", "WriterConfig"]


@dataclass(frozen=True)
class WriterConfig:
    """Settings of an :class:`AsyncWriter`.

    ``batch_size`` records are written per storage transaction; a partial
    batch is written once its oldest record has waited ``flush_interval``
    seconds; the queue holds at most ``queue_size`` records (a producer that
    finds it full waits).
    """

    batch_size: int = 100
    flush_interval: float = 1.0
    queue_size: int = 10000

    def __post_init__(self):
        for name in ("batch_size", "queue_size"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"WriterConfig.{name} must be an int, got {type(value).__name__}")
            if value <= 0:
                raise ValueError(f"WriterConfig.{name} must be positive, got {value}")
        interval = self.flush_interval
        if isinstance(interval, bool) or not isinstance(interval, (int, float)):
            raise TypeError(f"WriterConfig.flush_interval must be a number, got {type(interval).__name__}")
        if not interval > 0:
            raise ValueError(f"WriterConfig.flush_interval must be positive, got {interval}")
