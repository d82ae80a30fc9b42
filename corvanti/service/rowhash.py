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
    separators) or orjson (compact). Both forms are computed; either matching
    counts as intact.
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


def validate_hashes(row: dict) -> list[str]:
    """The digests ``validate()`` would have stored, one per JSON backend."""
    out = [_sha(json.dumps(row, sort_keys=True, default=str))]
    try:
        import orjson
    except ImportError:
        compact = json.dumps(row, sort_keys=True, default=str, separators=(",", ":"), ensure_ascii=False)
        out.append(_sha(compact))
    else:
        try:
            out.append(hashlib.sha256(orjson.dumps(row, default=str, option=orjson.OPT_SORT_KEYS)).hexdigest())
        except TypeError:  # values orjson refuses (e.g. integers beyond 64 bits)
            pass
    return out


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
