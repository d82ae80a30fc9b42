"""corvanti: per-element provenance and computation-DAG lineage for pandas pipelines."""

__version__ = "0.1.0"
