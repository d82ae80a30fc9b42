"""corvanti: per-element provenance and computation-DAG lineage for pandas pipelines.

Top-level functions for model validation runs:

- :func:`source` registers a source table, so that uploads can tell which
  columns of the final model input came from which table;
- :func:`upload` sends a model's validation data, with the column lineage and
  source snapshots of the registered tables, to the corvanti service;
- :func:`validate` runs the model locally (when no predictions are passed) and
  uploads the provenance graph of the validation run;
- :func:`clear_sources` forgets every registered source table.

Importing the package is cheap: pandas, numpy and the native helpers are
loaded when one of these functions is first called.
"""

__version__ = "0.1.0"

__all__ = ["__version__", "clear_sources", "source", "upload", "validate"]

#: Path of the validation-upload endpoint of the service (see docs/service-api.md).
UPLOAD_PATH = "/v1/uploads"


def _wrapper():
    from corvanti import wrapper

    return wrapper


# ---- argument checks -----------------------------------------------------------


def _type_name(value) -> str:
    return type(value).__name__


def _require_text(value, name: str, hint: str) -> str:
    """A required, non-empty str argument."""
    if value is None or (isinstance(value, str) and not value):
        raise ValueError(f"{name} is required: {hint}")
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, got {_type_name(value)}")
    return value


def _check_service_url(service_url) -> str:
    url = _require_text(service_url, "service_url", "pass service_url='https://...' (the base URL of your corvanti service)")
    if not url.lower().startswith(("http://", "https://")):
        raise ValueError(f"service_url must start with http:// or https://, got {url!r}")
    return url


def _check_optional_text(value, name: str):
    if value is not None and not isinstance(value, str):
        raise TypeError(f"{name} must be a str, got {_type_name(value)}")
    return value


def _check_data(value, name: str) -> None:
    """Model data: a DataFrame, Series, array, sparse matrix or sequence of rows."""
    if value is None:
        return
    if isinstance(value, (str, bytes, bytearray)) or not (hasattr(value, "__len__") or hasattr(value, "shape")):
        raise TypeError(
            f"{name} must be a pandas DataFrame or Series, a numpy array or a sequence of rows, "
            f"got {_type_name(value)}"
        )


def _check_protected_columns(protected_columns) -> list:
    if protected_columns is None:
        return []
    if isinstance(protected_columns, (str, bytes)):
        raise TypeError(
            "protected_columns must be a list of column names, not a single "
            f"{_type_name(protected_columns)} (use protected_columns=[{protected_columns!r}])"
        )
    try:
        return list(protected_columns)
    except TypeError:
        raise TypeError(
            f"protected_columns must be a list of column names, got {_type_name(protected_columns)}"
        ) from None


def _row_count(X) -> int:
    shape = getattr(X, "shape", None)
    if shape is not None and len(shape) > 0:
        return int(shape[0])
    return len(X)


def _check_length(values, name: str, n_rows: int) -> None:
    import numpy as np

    arr = np.asarray(values)
    if arr.ndim == 0:
        raise ValueError(f"{name} must hold one value per row, got a scalar")
    if arr.shape[0] != n_rows:
        raise ValueError(f"{name} has {arr.shape[0]} rows but the model input has {n_rows}")


# ---- shared preparation ----------------------------------------------------------


class _Run:
    """The resolved inputs, outputs and identity of one validation run."""

    __slots__ = (
        "model_name", "model_version", "model_id", "model_hash", "label_column", "protected_columns",
        "X_train", "y_train", "X_test", "y_test", "protected_df", "predictions", "n_rows",
    )


def _prepare(model, *, test_df, label_column, train_df, X_test, y_test, X_train, y_train, predictions,
             protected_columns, model_name, model_version, model_id, api_key, service_url) -> _Run:
    _require_text(api_key, "api_key", "pass api_key='...' (the API key of your corvanti account)")
    _check_service_url(service_url)
    _check_optional_text(model_name, "model_name")
    if not isinstance(model_version, str):
        raise TypeError(f"model_version must be a str, got {_type_name(model_version)}")
    _check_optional_text(model_id, "model_id")
    for name, value in (("X_test", X_test), ("X_train", X_train), ("y_test", y_test),
                        ("y_train", y_train), ("predictions", predictions)):
        _check_data(value, name)
    if test_df is not None and isinstance(test_df, (str, bytes)):
        raise TypeError(f"test_df must be a pandas DataFrame (or a dict of columns), got {_type_name(test_df)}")
    if train_df is not None and isinstance(train_df, (str, bytes)):
        raise TypeError(f"train_df must be a pandas DataFrame (or a dict of columns), got {_type_name(train_df)}")
    prot = _check_protected_columns(protected_columns)
    if model is None and predictions is None:
        raise ValueError("Pass model= (to predict locally) or predictions= (one per row of the test data).")
    if model_name is None:
        if model is None:
            raise ValueError("model_name is required when no model is passed")
        model_name = _type_name(model)
    if not model_name:
        raise ValueError("model_name must not be empty")

    w = _wrapper()
    X_train, y_train, X_test, y_test, protected_df = w._resolve_inputs(
        train_df, test_df, label_column, X_train, y_train, X_test, y_test, prot
    )
    n_rows = _row_count(X_test)
    if predictions is None:
        predictions = w._run_local_predict(model, X_test)
    _check_length(predictions, "predictions", n_rows)
    if y_test is not None:
        _check_length(y_test, "y_test", n_rows)
    if protected_df is not None and _row_count(protected_df) != n_rows:
        raise ValueError(f"protected data has {_row_count(protected_df)} rows but the model input has {n_rows}")

    run = _Run()
    run.model_name = model_name
    run.model_version = model_version
    run.model_hash = w._compute_model_hash(model) if model is not None else None
    run.model_id = model_id if model_id is not None else (run.model_hash or "")
    run.label_column = label_column
    run.protected_columns = prot
    run.X_train, run.y_train, run.X_test, run.y_test = X_train, y_train, X_test, y_test
    run.protected_df = protected_df
    run.predictions = predictions
    run.n_rows = n_rows
    return run


# ---- public functions ------------------------------------------------------------


def source(df, table_name: str):
    """Register ``df`` as the source table ``table_name``.

    Only the column names and dtypes are recorded, never cell values. A later
    :func:`upload` resolves every column of the model input to
    ``"<table_name>.<column>"`` when it comes from a registered table (and to
    ``"derived"`` otherwise), and sends snapshots of the final values of those
    columns. Registering another table with a column of the same name makes
    that column belong to the newer table.

    Returns ``df`` itself, so that ``df = corvanti.source(pd.read_csv(...), "loans")``
    works.

    Raises ``TypeError`` when ``df`` is not a pandas DataFrame or ``table_name``
    is not a str, and ``ValueError`` for an empty table name or duplicate
    column labels.
    """
    import pandas as pd

    if not isinstance(table_name, str):
        raise TypeError(f"table_name must be a str, got {_type_name(table_name)}")
    if not table_name:
        raise ValueError("table_name must not be empty")
    if not isinstance(df, pd.DataFrame):
        raise TypeError(f"source() expects a pandas DataFrame, got {_type_name(df)}")
    if not df.columns.is_unique:
        dupes = sorted({str(c) for c in df.columns[df.columns.duplicated()]})
        raise ValueError(f"source() needs unique column labels; duplicated: {', '.join(dupes)}")
    _wrapper()._registry.register(df, table_name)
    return df


def clear_sources() -> None:
    """Forget every table registered with :func:`source` (between pipeline runs)."""
    _wrapper()._registry.clear()


def validate(
    model=None,
    *,
    test_df=None,
    label_column=None,
    train_df=None,
    X_test=None,
    y_test=None,
    X_train=None,
    y_train=None,
    predictions=None,
    protected_columns=None,
    model_name: str | None = None,
    model_version: str = "1",
    model_id: str | None = None,
    api_key: str | None = None,
    service_url: str | None = None,
) -> dict:
    """Run a validation of ``model`` and upload its provenance graph.

    Data can be passed in one of two ways:

    - DataFrame mode: ``test_df`` (and optionally ``train_df``) with the name
      of the ``label_column``; the label and the ``protected_columns`` are split
      out of the table and the rest is the model input.
    - Array mode: ``X_test`` (and optionally ``y_test``, ``X_train``,
      ``y_train``); when ``X_test`` is a DataFrame, the ``protected_columns``
      found in it are moved out of the model input.

    ``test_df`` takes precedence over ``X_test`` when both are given.

    Without ``predictions``, the model is run locally: ``predict_proba``
    (probability of the last class), ``predict``, a torch module, an
    inference session with ``get_inputs()``/``run()``, or a plain callable.

    The service receives a pipeline named ``<model_name>_v<model_version>``
    with one source node per input and protected column, one model node, one
    result per row and the row values; the pipeline ends with the status
    "validation_complete". Network and service failures during this upload
    are logged on the ``corvanti.wrapper`` logger and do not raise.

    ``model_name`` defaults to the model's class name and ``model_id`` to the
    SHA-256 of the pickled model (empty when it cannot be pickled).

    Returns a dict with ``model_name``, ``model_version``, ``model_id``,
    ``n_rows``, ``feature_columns`` (the model input's columns),
    ``protected_columns`` (those found in the data) and ``predictions``.

    Raises ``ValueError`` for missing ``api_key``/``service_url``/data, a
    missing ``label_column`` in DataFrame mode or predictions whose length does
    not match the rows; ``TypeError`` for arguments of the wrong type;
    ``RuntimeError`` when no predictions can be obtained from the model.
    """
    run = _prepare(
        model, test_df=test_df, label_column=label_column, train_df=train_df, X_test=X_test,
        y_test=y_test, X_train=X_train, y_train=y_train, predictions=predictions,
        protected_columns=protected_columns, model_name=model_name, model_version=model_version,
        model_id=model_id, api_key=api_key, service_url=service_url,
    )
    w = _wrapper()
    # The service compares protected names with the str() column names of the data.
    protected_names = [str(c) for c in run.protected_columns]
    w._sync_prov(
        run.X_test, run.predictions, run.protected_df, protected_names, run.model_name,
        run.model_version, api_key, service_url, run.model_id,
    )
    return {
        "model_name": run.model_name,
        "model_version": run.model_version,
        "model_id": run.model_id,
        "n_rows": run.n_rows,
        "feature_columns": w._cn(run.X_test),
        "protected_columns": [] if run.protected_df is None else w._cn(run.protected_df, "protected"),
        "predictions": run.predictions,
    }


def _serialized(w, value, name: str):
    """The tagged JSON form of one piece of data; None stays None."""
    if value is None:
        return None
    out = w._serialize(value)
    if out is None:
        raise TypeError(f"{name} of type {_type_name(value)} cannot be serialised for upload")
    return out


def _lineage(w, run):
    """Column resolution, registered tables and source snapshots of the final frame."""
    import pandas as pd

    registry = w._registry
    tables = registry.get_source_metadata()
    if not isinstance(run.X_test, pd.DataFrame):
        return {"columns": {}, "tables": tables, "snapshots": {}}
    parts = [run.X_test]
    if isinstance(run.protected_df, pd.DataFrame):
        parts.append(run.protected_df[[c for c in run.protected_df.columns if c not in run.X_test.columns]])
    if run.label_column is not None and run.y_test is not None and run.label_column not in run.X_test.columns:
        parts.append(pd.Series(run.y_test, name=run.label_column))
    final = pd.concat(parts, axis=1) if len(parts) > 1 else run.X_test
    columns = {str(k): v for k, v in registry.resolve(final).items()}
    snapshots = registry.build_source_snapshots(final)
    return {"columns": columns, "tables": tables, "snapshots": snapshots}


def upload(
    model=None,
    *,
    test_df=None,
    label_column=None,
    train_df=None,
    X_test=None,
    y_test=None,
    X_train=None,
    y_train=None,
    predictions=None,
    protected_columns=None,
    model_name: str | None = None,
    model_version: str = "1",
    model_id: str | None = None,
    api_key: str | None = None,
    service_url: str | None = None,
) -> dict | None:
    """Upload a model's validation data, with its column lineage, to the service.

    The data arguments work as in :func:`validate` (DataFrame mode with
    ``test_df`` and ``label_column``, or array mode with ``X_test``); without
    ``predictions`` the model is run locally.

    One request, ``POST <service_url>/v1/uploads``, carries the model identity
    (name, version, id, SHA-256 of the pickled model, class), the test inputs,
    labels, predictions and protected columns (and the training data when
    given), and the lineage from the tables registered with :func:`source`:
    for every final column its source (``"table.column"``) or ``"derived"``,
    the dtypes of every registered table, and snapshots of the final values of
    the columns that come from each table. Non-finite floats are sent as null.

    Returns the service's JSON answer (a dict, or None for a JSON null).

    Raises ``ValueError``/``TypeError`` for bad arguments as :func:`validate`
    does, ``TypeError`` when a piece of data cannot be serialised,
    ``RuntimeError`` for an HTTP error status (with the status and the start of
    the answer) and ``urllib.error.URLError`` when the service cannot be
    reached.
    """
    run = _prepare(
        model, test_df=test_df, label_column=label_column, train_df=train_df, X_test=X_test,
        y_test=y_test, X_train=X_train, y_train=y_train, predictions=predictions,
        protected_columns=protected_columns, model_name=model_name, model_version=model_version,
        model_id=model_id, api_key=api_key, service_url=service_url,
    )
    w = _wrapper()
    payload = {
        "model_name": run.model_name,
        "model_version": run.model_version,
        "model_id": run.model_id,
        "model_hash": run.model_hash,
        "model_type": None if model is None else _type_name(model),
        "n_rows": run.n_rows,
        "label_column": None if run.label_column is None else str(run.label_column),
        "feature_columns": w._cn(run.X_test),
        "protected_columns": [] if run.protected_df is None else w._cn(run.protected_df, "protected"),
        "data": {
            "X_test": _serialized(w, run.X_test, "X_test"),
            "y_test": _serialized(w, run.y_test, "y_test"),
            "predictions": _serialized(w, run.predictions, "predictions"),
            "protected": _serialized(w, run.protected_df, "protected data"),
            "X_train": _serialized(w, run.X_train, "X_train"),
            "y_train": _serialized(w, run.y_train, "y_train"),
        },
        "lineage": _lineage(w, run),
    }
    return w._post_json(service_url.rstrip("/") + UPLOAD_PATH, api_key, payload)
