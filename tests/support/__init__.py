"""Shared test helpers (a programmable local JSON service)."""
