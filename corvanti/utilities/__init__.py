"""Provenance utilities: the TESSEL-32 scheme, the lineage engine, JSON helpers."""
