"""Rehashing a result's input row, to tell whether the data was changed since.

Two digests are stored as a result's ``input_hash``, and a row is rehashed
the same way it was hashed:

``row_json`` (results written by ``DAGTracker.persist_results``)
    ``sha256(pandas.Series(row).to_json().encode("utf-8")).hexdigest()``:
    the row as a JSON object from column to value, in column order, as pandas
    writes it (no spaces, floats keep their ``.0``). A row posted as
    ``{"income": 52000, "debt": 12000.0}`` gives the same text as
    ``df.iloc[i].to_json()`` of the frame it came from, since pandas infers
    the same common dtype from the values as from the columns.
``validate`` (results of ``corvanti.validate()``, output ``model_validate``)
    ``sha256`` of the row serialised with sorted keys and ``default=str``, by
    the client's JSON backend: the standard ``json`` module (", " and ": "
    separators) or orjson (compact). The client's values were often numpy
    scalars, which reach ``default=str`` and so were hashed as their text:
    under orjson every number and bool, under ``json`` integers and bools
    (numpy's float64 is a float). A posted row is hashed in each of these
    forms; any one matching counts as intact. Changing any value changes
    every form, so a tampered row matches none.
"""

from __future__ import annotations

import hashlib
import json

VALIDATE_OUTPUT = "model_validate"


def _sha(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def row_json_text(row: dict) -> str:
    import pandas as pd

    series = pd.Series(row, dtype=object) if not row else pd.Series(row)
    return series.to_json()


def row_json_hash(row: dict) -> str:
    return _sha(row_json_text(row))


def _as_text(row: dict, kinds: tuple) -> dict:
    return {k: str(v) if isinstance(v, kinds) else v for k, v in row.items()}


def _orjson_text(row: dict) -> bytes | None:
    try:
        import orjson
    except ImportError:
        return json.dumps(row, sort_keys=True, default=str, separators=(",", ":"), ensure_ascii=False).encode("utf-8")
    try:
        return orjson.dumps(row, default=str, option=orjson.OPT_SORT_KEYS)
    except TypeError:  # values orjson refuses (e.g. integers beyond 64 bits)
        return None


def validate_hashes(row: dict) -> list[str]:
    """The digests ``validate()`` could have stored for ``row``, first the plain ``json`` one."""
    out = []
    for kinds in ((), (bool, int), (bool, int, float)):
        form = _as_text(row, kinds) if kinds else row
        out.append(_sha(json.dumps(form, sort_keys=True, default=str)))
        compact = _orjson_text(form)
        if compact is not None:
            out.append(hashlib.sha256(compact).hexdigest())
    return list(dict.fromkeys(out))


def scheme_for(output_name: str) -> str:
    return "validate" if output_name == VALIDATE_OUTPUT else "row_json"


def verify(row: dict, stored_hash: str | None, scheme: str) -> tuple[str, str]:
    """(computed hash, verdict) for ``row`` against ``stored_hash``."""
    candidates = validate_hashes(row) if scheme == "validate" else [row_json_hash(row)]
    if not stored_hash:
        return candidates[0], "no stored hash"
    if stored_hash in candidates:
        return stored_hash, "intact"
    return candidates[0], "tampered"
