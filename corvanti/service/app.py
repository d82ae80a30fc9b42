"""The ASGI application: the /v1 endpoints, errors as JSON, the body limit, the dashboard.

``create_app(db_url)`` builds everything; ``corvanti serve`` and
``run_in_thread`` serve it with uvicorn. Endpoints are plain functions that
FastAPI runs in its thread pool (the database calls block).
"""


import logging
from typing import Annotated, Optional, Union

from fastapi import Depends, FastAPI, Path, Query, Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse, RedirectResponse, Response
from fastapi.security import HTTPAuthorizationCredentials, HTTPBearer
from sqlalchemy.exc import OperationalError
from sqlalchemy.exc import TimeoutError as PoolTimeout
from starlette.exceptions import HTTPException as StarletteHTTPException

import corvanti
from corvanti.service import graph as G
from corvanti.service import models as M
from corvanti.service import rowhash
from corvanti.service.auth import KeyRing
from corvanti.service.db import Database
from corvanti.service.errors import NotFound, ServiceError
from corvanti.service.limits import BodyLimit
from corvanti.service.store import Store, content_batch_id

logger = logging.getLogger(__name__)

#: Largest request body accepted (bytes); larger ones are answered 413.
DEFAULT_MAX_BODY = 32 * 1024 * 1024

PipelineIdPath = Annotated[int, Path(ge=1, le=M.INT64_MAX)]
_bearer = HTTPBearer(auto_error=False, description="An API key made by `corvanti keys create`.")


class Service:
    """What the endpoints share: the database, the store, the keys, drawn graphs."""

    def __init__(self, db: Database):
        self.db = db
        self.store = Store(db)
        self.keys = KeyRing(db)
        self.svgs = G.SvgCache()

    def graph_svg(self, tenant: str, pipeline_id: int) -> str:
        info = self.store.pipeline(tenant, pipeline_id)
        key = (pipeline_id, info["node_count"], info["edge_count"])
        svg = self.svgs.get(key)
        if svg is None:
            nodes, edges, total = self.store.graph(tenant, pipeline_id, G.MAX_NODES)
            svg = G.render_svg(G.to_dot(info["name"], nodes, edges, total))
            self.svgs.put(key, svg)
        return svg

    def verify(self, tenant: str, body: M.VerifyIn) -> dict:
        res = self.store.result(tenant, body.pipeline_id, body.row_key, body.output_name)
        scheme = body.scheme or rowhash.scheme_for(res["output_name"])
        computed, verdict = rowhash.verify(body.row, res["input_hash"], scheme)
        return dict(pipeline_id=body.pipeline_id, row_key=res["row_key"], output_name=res["output_name"],
                    scheme=scheme, stored_hash=res["input_hash"] or None, computed_hash=computed, verdict=verdict)


def _error(status: int, message: str, headers: Optional[dict] = None, **extra) -> JSONResponse:
    return JSONResponse({"error": message, **extra}, status_code=status, headers=headers)


def _install_error_handlers(app: FastAPI) -> None:
    @app.exception_handler(ServiceError)
    async def _service_error(_request: Request, exc: ServiceError):
        headers = {"WWW-Authenticate": "Bearer"} if exc.status == 401 else None
        return JSONResponse({"error": exc.message}, status_code=exc.status, headers=headers)

    @app.exception_handler(RequestValidationError)
    async def _invalid(_request: Request, exc: RequestValidationError):
        errors = exc.errors()
        if any(e.get("type") == "json_invalid" for e in errors):
            ctx = next((e.get("ctx") or {} for e in errors if e.get("type") == "json_invalid"), {})
            return _error(400, f"malformed JSON body: {ctx.get('error', 'cannot be parsed')}")
        detail = [{"loc": [str(p) for p in e.get("loc", ())], "msg": str(e.get("msg", "")), "type": str(e.get("type", ""))}
                  for e in errors[:20]]
        first = detail[0] if detail else {"loc": [], "msg": "invalid request"}
        where = ".".join(first["loc"][1:] if first["loc"][:1] == ["body"] else first["loc"]) or "body"
        return _error(422, f"invalid request: {where}: {first['msg']}", detail=detail)

    @app.exception_handler(StarletteHTTPException)
    async def _http_error(_request: Request, exc: StarletteHTTPException):
        message = exc.detail if isinstance(exc.detail, str) else "request refused"
        return JSONResponse({"error": message}, status_code=exc.status_code, headers=getattr(exc, "headers", None))

    @app.exception_handler(G.GraphUnavailable)
    async def _no_graph(_request: Request, exc: G.GraphUnavailable):
        return _error(503, str(exc))

    @app.exception_handler(OperationalError)
    @app.exception_handler(PoolTimeout)
    async def _database_unavailable(_request: Request, exc: Exception):
        logger.warning("database unavailable: %s", exc)
        return _error(503, "the database is unavailable or busy; retry later", headers={"Retry-After": "5"})

    @app.exception_handler(Exception)
    async def _internal(_request: Request, exc: Exception):
        logger.exception("internal error", exc_info=exc)
        return _error(500, "internal server error")


def create_app(db: Union[str, Database], *, max_body_bytes: int = DEFAULT_MAX_BODY) -> FastAPI:
    """The service over ``db`` (a database URL or an open ``Database``)."""
    database = db if isinstance(db, Database) else Database(db)
    svc = Service(database)
    app = FastAPI(
        title="corvanti service",
        version=corvanti.__version__,
        description="Lineage, validation uploads and the dashboard of corvanti. "
                    "Every /v1 request carries `Authorization: Bearer <api key>`.",
        openapi_url="/openapi.json",
        docs_url=None,
        redoc_url=None,
    )
    app.state.service = svc
    app.add_middleware(BodyLimit, max_bytes=max_body_bytes)
    _install_error_handlers(app)

    Tenant = _tenant_type(svc)
    _pipeline_routes(app, svc, Tenant)
    _validate_routes(app, svc, Tenant)
    _storage_routes(app, svc, Tenant)
    _lineage_routes(app, svc, Tenant)

    @app.get("/healthz", tags=["service"])
    def healthz():
        """Liveness: answers without a key."""
        return {"ok": True}

    @app.get("/", include_in_schema=False)
    def root():
        return RedirectResponse("/dashboard/", status_code=307)

    from corvanti.service import dashboard

    dashboard.install(app, svc)
    return app


def _tenant_type(svc: Service):
    """The ``Annotated`` parameter type that resolves a request's tenant from its key."""
    def tenant(creds: Annotated[Optional[HTTPAuthorizationCredentials], Depends(_bearer)], request: Request) -> str:
        return svc.keys.tenant_of(request.headers.get("authorization") if creds is None else f"Bearer {creds.credentials}")

    return Annotated[str, Depends(tenant)]


_ERRORS = {401: {"description": "missing or unknown API key"}, 403: {"description": "another tenant's pipeline"},
           404: {"description": "unknown pipeline"}, 413: {"description": "body too large"}}


def _pipeline_routes(app: FastAPI, svc: Service, Tenant) -> None:
    """Pipelines, sources, and what the dashboard reads."""
    store = svc.store
    errors = _ERRORS

    # ---- pipelines and sources -------------------------------------------
    @app.post("/v1/pipelines", response_model=M.PipelineCreated, tags=["pipelines"], responses=errors)
    def create_pipeline(body: M.PipelineCreate, t: Tenant):
        """Create a pipeline run (status "running")."""
        return {"pipeline_id": store.create_pipeline(t, body.pipeline_name, body.config, body.git_commit)}

    @app.patch("/v1/pipelines/{pipeline_id}", response_model=M.PipelineStatus, tags=["pipelines"], responses=errors)
    def patch_pipeline(pipeline_id: PipelineIdPath, body: M.PipelinePatch, t: Tenant):
        """Set a pipeline's final status; a "failed" pipeline stays "failed"."""
        return {"pipeline_id": pipeline_id, "status": store.set_status(t, pipeline_id, body.status)}

    @app.get("/v1/pipelines", response_model=M.PipelineList, tags=["reading"], responses=errors)
    def list_pipelines(t: Tenant, limit: Annotated[int, Query(ge=1, le=1000)] = 200,
                       offset: Annotated[int, Query(ge=0, le=M.INT64_MAX)] = 0):
        """The tenant's pipelines, newest first, with node and edge counts."""
        return {"pipelines": store.list_pipelines(t, limit, offset)}

    @app.get("/v1/pipelines/{pipeline_id}", response_model=M.PipelineInfo, tags=["reading"], responses=errors)
    def get_pipeline(pipeline_id: PipelineIdPath, t: Tenant):
        return store.pipeline(t, pipeline_id)

    @app.get("/v1/pipelines/{pipeline_id}/graph.svg", tags=["reading"], responses=errors,
             response_class=Response)
    def pipeline_graph(pipeline_id: PipelineIdPath, t: Tenant):
        """The pipeline's lineage graph as SVG (Graphviz)."""
        return Response(svc.graph_svg(t, pipeline_id), media_type="image/svg+xml")

    @app.get("/v1/pipelines/{pipeline_id}/results", response_model=M.ResultList, tags=["reading"], responses=errors)
    def pipeline_results(pipeline_id: PipelineIdPath, t: Tenant, limit: Annotated[int, Query(ge=1, le=1000)] = 100,
                         offset: Annotated[int, Query(ge=0, le=M.INT64_MAX)] = 0):
        rows, total = store.list_results(t, pipeline_id, limit, offset)
        return {"pipeline_id": pipeline_id, "total": total, "results": rows}

    @app.post("/v1/results/verify", response_model=M.VerifyOut, tags=["reading"], responses=errors)
    def verify_row(body: M.VerifyIn, t: Tenant):
        """Rehash a result's input row and compare it with the stored input hash."""
        return svc.verify(t, body)

    @app.post("/v1/sources", response_model=M.Ok, tags=["pipelines"], responses=errors)
    def register_source(body: M.SourceIn, t: Tenant):
        """Register a source column of the tenant (one per table and column)."""
        store.register_source(t, body)
        return {"ok": True}


def _validate_routes(app: FastAPI, svc: Service, Tenant) -> None:
    """What ``corvanti.validate()``, ``upload()`` and the dashboard sync post."""
    store = svc.store
    errors = _ERRORS

    # ---- validate() uploads ------------------------------------------------
    @app.post("/v1/nodes", response_model=M.Stored, tags=["validate"], responses=errors)
    def post_nodes(body: list[M.NodeIn], t: Tenant):
        """Nodes; the first per (pipeline, fingerprint) wins."""
        _check_batch(body, "nodes")
        stored, _ = store.store_nodes(t, body)
        return {"stored": stored, "duplicate": False}

    @app.post("/v1/edges", response_model=M.Stored, tags=["validate"], responses=errors)
    def post_edges(body: list[M.EdgeIn], t: Tenant):
        """Edges by fingerprint, in the pipeline of their nodes."""
        _check_batch(body, "edges")
        return {"stored": store.store_validate_edges(t, body), "duplicate": False}

    @app.post("/v1/results", response_model=M.Stored, tags=["validate"], responses=errors)
    def post_results(body: M.ResultsIn, t: Tenant):
        """Per-row results; a repeated (row key, output) replaces the earlier one."""
        rows = [(r.row_key, r.output_name, r.fingerprint, r.output_value, r.input_hash) for r in body.results]
        stored, _ = store.store_results(t, body.pipeline_id, rows, None)
        return {"stored": stored, "duplicate": False}

    @app.post("/v1/values", response_model=M.Stored, tags=["validate"], responses=errors)
    def post_values(body: list[M.RowValueIn], t: Tenant):
        """Row values; the same page posted twice is stored once."""
        _check_batch(body, "values")
        batch = content_batch_id("values", [v.model_dump() for v in body])
        stored, dup = store.store_row_values(t, body, batch)
        return {"stored": stored, "duplicate": dup}

    @app.post("/v1/uploads", response_model=M.UploadStored, status_code=201, tags=["validate"], responses=errors)
    def post_upload(body: M.UploadIn, t: Tenant):
        """A validation upload of ``corvanti.upload()``."""
        upload_id = store.store_upload(t, body, body.model_dump(mode="json"))
        return {"upload_id": upload_id, "model_id": body.model_id, "n_rows": body.n_rows}

    @app.post("/v1/dashboard/sync", response_model=M.SyncStored, tags=["dashboard"], responses=errors)
    def dashboard_sync(body: M.DashboardSync, t: Tenant):
        """A run summary posted by ``DAGTracker.flush()``."""
        return {"ok": True, "sync_id": store.store_sync(t, body, body.model_dump(mode="json"))}

    @app.get("/v1/models", response_model=M.ModelList, tags=["reading"], responses=errors)
    def list_models(t: Tenant):
        return {"models": store.list_models(t)}

    @app.get("/v1/fairness", response_model=M.FairnessList, tags=["reading"], responses=errors)
    def list_fairness(t: Tenant):
        return {"findings": store.list_fairness(t)}


def _storage_routes(app: FastAPI, svc: Service, Tenant) -> None:
    """The storage endpoints of ``HostedStorage``."""
    store = svc.store
    errors = _ERRORS

    # ---- storage endpoints (HostedStorage) ---------------------------------
    @app.post("/v1/store/nodes", response_model=M.Stored, tags=["storage"], responses=errors)
    def store_nodes(body: M.StoreNodes, t: Tenant):
        stored, dup = store.store_nodes(t, body.nodes, body.batch_id)
        return {"stored": stored, "duplicate": dup}

    @app.post("/v1/store/edges", response_model=M.Stored, tags=["storage"], responses=errors)
    def store_edges(body: M.StoreEdges, t: Tenant):
        edges = [(e.parent_fingerprint, e.child_fingerprint, e.input_position) for e in body.edges]
        stored, dup = store.store_edges(t, body.pipeline_id, edges, body.batch_id)
        return {"stored": stored, "duplicate": dup}

    @app.post("/v1/store/edges-resolved", response_model=M.Stored, tags=["storage"], responses=errors)
    def store_edges_resolved(body: M.StoreEdgesResolved, t: Tenant):
        stored, dup = store.store_edges_resolved(t, body.edges, body.batch_id)
        return {"stored": stored, "duplicate": dup}

    @app.get("/v1/store/pipelines/{pipeline_id}/fingerprints", response_model=M.Fingerprints, tags=["storage"],
             responses=errors)
    def store_fingerprints(pipeline_id: PipelineIdPath, t: Tenant):
        return {"pipeline_id": pipeline_id, "fingerprints": store.fingerprints(t, pipeline_id)}

    @app.post("/v1/store/row-values", response_model=M.Stored, tags=["storage"], responses=errors)
    def store_row_values(body: M.StoreRowValues, t: Tenant):
        stored, dup = store.store_row_values(t, body.values, body.batch_id)
        return {"stored": stored, "duplicate": dup}

    @app.post("/v1/store/results", response_model=M.Stored, tags=["storage"], responses=errors)
    def store_results(body: M.StoreResults, t: Tenant):
        stored, dup = store.store_results(t, body.pipeline_id, body.results, body.batch_id)
        return {"stored": stored, "duplicate": dup}


def _lineage_routes(app: FastAPI, svc: Service, Tenant) -> None:
    """OpenLineage run events: what ``corvanti.openlineage.emit`` (or any OpenLineage client) posts."""
    store = svc.store
    errors = _ERRORS

    @app.post("/api/v1/lineage", response_model=M.LineageStored, status_code=201, tags=["openlineage"],
              responses={**errors, 200: {"model": M.LineageStored, "description": "the event was stored before"}})
    def post_lineage(body: M.LineageEventIn, t: Tenant):
        """One OpenLineage RunEvent; the same (runId, eventType, eventTime) is stored once (then 200)."""
        raw = body.model_dump(mode="json", exclude_unset=True)
        event_id, pid, dup = store.store_lineage_event(t, body, raw)
        return JSONResponse({"event_id": event_id, "pipeline_id": pid, "duplicate": dup}, status_code=200 if dup else 201)

    @app.get("/v1/pipelines/{pipeline_id}/openlineage", response_model=M.LineageEventList, tags=["reading"],
             responses=errors)
    def pipeline_lineage_events(pipeline_id: PipelineIdPath, t: Tenant,
                                limit: Annotated[int, Query(ge=1, le=1000)] = 100,
                                offset: Annotated[int, Query(ge=0, le=M.INT64_MAX)] = 0):
        """The OpenLineage events received for a pipeline, in event time order."""
        events, total = store.list_lineage_events(t, pipeline_id, limit, offset)
        return {"total": total, "events": events}

    @app.get("/v1/openlineage/unlinked", response_model=M.LineageEventList, tags=["reading"], responses=errors)
    def unlinked_lineage_events(t: Tenant, limit: Annotated[int, Query(ge=1, le=1000)] = 100,
                                offset: Annotated[int, Query(ge=0, le=M.INT64_MAX)] = 0):
        """The tenant's OpenLineage events that name none of its pipelines."""
        events, total = store.list_lineage_events(t, None, limit, offset)
        return {"total": total, "events": events}


def _check_batch(body: list, what: str) -> None:
    if len(body) > M.MAX_BATCH:
        raise ServiceError(f"at most {M.MAX_BATCH} {what} per request, got {len(body)}", status=422)


__all__ = ["create_app", "DEFAULT_MAX_BODY", "NotFound"]
