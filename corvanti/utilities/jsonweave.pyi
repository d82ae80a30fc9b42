"""Fast JSON serialisation with orjson and a standard-library fallback.

orjson serialises numpy int, float, bool and ndarray values natively.
The stdlib fallback uses a custom encoder for the same numpy coverage.
"""

from typing import Any, Callable, Final, Literal

# "orjson" when orjson is installed, else "json" (chosen once, at import).
BACKEND: Final[Literal["orjson", "json"]]

def dumps(
    obj: Any,
    default: Callable[[Any], Any] | None = None,
    indent: int | str | None = None,
    sort_keys: bool = False,
) -> str:
    """Serialize to JSON string."""

def loads(s: str | bytes | bytearray | memoryview) -> Any:
    """Deserialize from JSON string."""
