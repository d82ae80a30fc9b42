"""The dashboard: server-rendered HTML pages over the tenant's data.

Signing in posts an API key once; the key is then kept in an HttpOnly,
SameSite=Strict cookie scoped to /dashboard, and every page looks the tenant
up from it like an API request. Pages need no script and no external
resource: the style sheet is a static file of this package, the lineage
graph is SVG drawn on the server.
"""


import json
import pathlib
import re
from html import escape
from typing import Optional
from urllib.parse import parse_qs, quote

from fastapi import FastAPI, Request
from fastapi.responses import HTMLResponse, RedirectResponse, Response
from fastapi.staticfiles import StaticFiles
from starlette.concurrency import run_in_threadpool

from corvanti.service import graph as G
from corvanti.service import models as M
from corvanti.service import rowhash
from corvanti.service.errors import ServiceError, Unauthorized

COOKIE = "corvanti_key"
STATIC_DIR = pathlib.Path(__file__).resolve().parent / "static"
PAGE = 100
_HEADERS = {
    "Content-Security-Policy": "default-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:; "
                               "form-action 'self'; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
}


def _e(value) -> str:
    return "" if value is None else escape(str(value), quote=True)


def _layout(title: str, body: str, tenant: Optional[str] = None, active: str = "") -> str:
    nav = ""
    if tenant is not None:
        links = [("pipelines", "/dashboard/", "Pipelines"), ("models", "/dashboard/models", "Models"),
                 ("fairness", "/dashboard/fairness", "Fairness"),
                 ("openlineage", "/dashboard/openlineage", "OpenLineage")]
        nav = "<nav>" + "".join(
            f'<a href="{href}"{" class=\"active\"" if key == active else ""}>{label}</a>' for key, href, label in links
        ) + (f'</nav><span class="tenant" id="tenant">tenant <b>{_e(tenant)}</b></span>'
             '<form method="post" action="/dashboard/logout" class="logout"><button type="submit">Sign out</button></form>')
    return (
        '<!doctype html><html lang="en"><head><meta charset="utf-8">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        f'<title>{_e(title)} · corvanti</title><link rel="stylesheet" href="/static/dashboard.css"></head>'
        f'<body><header><a class="brand" href="/dashboard/">corvanti</a>{nav}</header>'
        f'<main><h1>{_e(title)}</h1>{body}</main></body></html>'
    )


def _html(text: str, status: int = 200) -> HTMLResponse:
    return HTMLResponse(text, status_code=status, headers=_HEADERS)


def _status_badge(status: str) -> str:
    return f'<span class="badge status-{_e(re.sub(r"[^a-z_]", "", str(status).lower()))}">{_e(status)}</span>'


def _table(table_id: str, headers: list[str], rows: list[list[str]], empty: str) -> str:
    if not rows:
        return f'<p class="empty" id="{table_id}-empty">{empty}</p>'
    head = "".join(f"<th>{h}</th>" for h in headers)
    body = "".join("<tr>" + "".join(f"<td>{c}</td>" for c in row) + "</tr>" for row in rows)
    return f'<table id="{table_id}"><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>'


def _number(value) -> str:
    if value is None:
        return '<span class="null">null</span>'
    if isinstance(value, float) and value.is_integer() and abs(value) < 1e15:
        return _e(int(value))
    if isinstance(value, float):
        return f'<span title="{_e(repr(value))}">{_e(f"{value:.6g}")}</span>'
    return _e(value)


def _prefill_value(value):
    if isinstance(value, float) and value.is_integer() and abs(value) < 2**53:
        return int(value)
    return value


def install(app: FastAPI, svc) -> None:
    store = svc.store
    app.mount("/static", StaticFiles(directory=str(STATIC_DIR)), name="static")

    def tenant_of(request: Request) -> Optional[str]:
        key = request.cookies.get(COOKIE)
        if not key:
            return None
        try:
            return svc.keys.tenant_of("Bearer " + key)
        except Unauthorized:
            return None

    def login_redirect() -> RedirectResponse:
        resp = RedirectResponse("/dashboard/login", status_code=303)
        resp.delete_cookie(COOKIE, path="/dashboard")
        return resp

    def page(request: Request, render):
        """Run ``render(tenant)`` for a signed-in tenant; errors become pages."""
        t = tenant_of(request)
        if t is None:
            return login_redirect()
        try:
            return render(t)
        except ServiceError as exc:
            return _html(_layout("Not available", f'<p class="error">{_e(exc.message)}</p>', t), exc.status)

    @app.get("/dashboard", include_in_schema=False)
    def dashboard_root():
        return RedirectResponse("/dashboard/", status_code=307)

    @app.get("/dashboard/login", include_in_schema=False)
    def login_form(error: str = ""):
        msg = f'<p class="error" id="login-error">{_e(error)}</p>' if error else ""
        body = (f'{msg}<form method="post" action="/dashboard/login" class="login" id="login-form">'
                '<label for="key">API key</label><input type="password" name="key" id="key" autocomplete="off" '
                'placeholder="cvk_..." required><button type="submit" id="login-submit">Sign in</button></form>'
                '<p class="hint">Create a key with <code>corvanti keys create --tenant NAME</code>.</p>')
        return _html(_layout("Sign in", body))

    @app.post("/dashboard/login", include_in_schema=False)
    async def login(request: Request):
        form = parse_qs((await request.body()).decode("utf-8", "replace"))
        key = (form.get("key") or [""])[0].strip()
        try:
            await run_in_threadpool(svc.keys.tenant_of, "Bearer " + key)
        except Unauthorized:
            return RedirectResponse("/dashboard/login?error=" + quote("unknown API key"), status_code=303)
        resp = RedirectResponse("/dashboard/", status_code=303)
        resp.set_cookie(COOKIE, key, httponly=True, samesite="strict", path="/dashboard",
                        secure=request.url.scheme == "https")
        return resp

    @app.post("/dashboard/logout", include_in_schema=False)
    def logout():
        return login_redirect()

    _list_pages(app, store, page)
    _pipeline_pages(app, svc, page, tenant_of)


def _list_pages(app: FastAPI, store, page) -> None:
    """Pipelines, models and fairness findings of the signed-in tenant."""
    @app.get("/dashboard/", include_in_schema=False)
    def pipelines_page(request: Request):
        def render(t):
            rows = [[
                f'<a href="/dashboard/pipelines/{p["pipeline_id"]}">{_e(p["name"])}</a>',
                _status_badge(p["status"]), _e(p["node_count"]), _e(p["edge_count"]),
                _e(p["started_at"]), _e(p["finished_at"] or "—"),
            ] for p in store.list_pipelines(t, limit=500)]
            table = _table("pipelines", ["Pipeline", "Status", "Nodes", "Edges", "Started", "Finished"], rows,
                           "No pipelines yet: run a tracked pipeline with persistence, or corvanti.validate(), "
                           "against this service.")
            return _html(_layout("Pipelines", table, t, "pipelines"))
        return page(request, render)

    @app.get("/dashboard/models", include_in_schema=False)
    def models_page(request: Request):
        def render(t):
            rows = [[_e(m["model_id"]), _e(m["name"]), _e(m["version"]), _e(m["status"] or "—"),
                     _e(m["domain"] or "—"), _e(m["source"]), _e(m["pipeline_name"] or "—"),
                     _e("—" if m["n_rows"] is None else m["n_rows"]), _e(m["received_at"])]
                    for m in store.list_models(t)]
            table = _table("models", ["Model", "Name", "Version", "Status", "Domain", "From", "Pipeline", "Rows",
                                      "Received"], rows, "No models yet: they arrive with dashboard syncs and uploads.")
            return _html(_layout("Models", table, t, "models"))
        return page(request, render)

    @app.get("/dashboard/fairness", include_in_schema=False)
    def fairness_page(request: Request):
        def render(t):
            rows = []
            for f in store.list_fairness(t):
                flag = ('<span class="badge flag-yes">disparate impact</span>' if f["has_disparate_impact"]
                        else '<span class="badge flag-no">none found</span>')
                attrs = "".join(f'<span class="attr">{_e(a)}</span>' for a in sorted(f["protected_attributes"])) or "—"
                pipe = _e(f["pipeline_name"])
                if f["provenance_pipeline_id"] is not None:
                    pipe = f'<a href="/dashboard/pipelines/{int(f["provenance_pipeline_id"])}">{pipe}</a>'
                rows.append([_e(f["model_id"]), pipe, flag, attrs, _e(f["node_count"]), _e(f["edge_count"]),
                             _e(f["received_at"])])
            table = _table("fairness", ["Model", "Pipeline", "Disparate impact", "Protected attributes touched",
                                        "Nodes", "Edges", "Received"], rows,
                           "No fairness findings yet: DAGTracker.flush() posts one per pipeline.")
            return _html(_layout("Fairness findings", table, t, "fairness"))
        return page(request, render)

    @app.get("/dashboard/openlineage", include_in_schema=False)
    def unlinked_lineage_page(request: Request):
        def render(t):
            events, total = store.list_lineage_events(t, None, 500, 0)
            table = _table("unlinked-events", ["Type", "Time", "Namespace", "Job", "Run", "Inputs", "Outputs",
                                               "Column lineage"], _event_rows(events, with_pipeline=True),
                           "No unlinked OpenLineage events: every event received names a pipeline of this tenant.")
            intro = ('<p class="hint">OpenLineage events received on <code>/api/v1/lineage</code> that name none of '
                     "this tenant's pipelines (by the run facet's <code>pipelineId</code> or the job name). Events "
                     "of a pipeline are listed on its page.</p>")
            more = f'<p class="pager">the first 500 of {total} events</p>' if total > 500 else ""
            return _html(_layout("Unlinked OpenLineage events", intro + table + more, t, "openlineage"))
        return page(request, render)


def _names(datasets) -> str:
    """The names of an event's input or output datasets, one per line."""
    if not isinstance(datasets, list) or not datasets:
        return "—"
    out = []
    for d in datasets:
        if isinstance(d, dict):
            out.append(f'<span class="dataset" title="{_e(d.get("namespace"))}">{_e(d.get("name"))}</span>')
    return "<br>".join(out) or "—"


def _column_lineage(outputs) -> str:
    """Each output column with the input fields it derives from: "out.col ← table.field (SUBTYPE)"."""
    lines = []
    for d in outputs if isinstance(outputs, list) else ():
        facets = d.get("facets") if isinstance(d, dict) else None
        facet = facets.get("columnLineage") if isinstance(facets, dict) else None
        fields = facet.get("fields") if isinstance(facet, dict) else None
        if not isinstance(fields, dict):
            continue
        for column, spec in fields.items():
            inputs = spec.get("inputFields") if isinstance(spec, dict) else None
            sources = []
            for f in inputs if isinstance(inputs, list) else ():
                if not isinstance(f, dict):
                    continue
                kinds = [t.get("subtype") or t.get("type") for t in f.get("transformations") or ()
                         if isinstance(t, dict)] if isinstance(f.get("transformations"), list) else []
                kind = f' <span class="subtype">{_e(", ".join(str(k) for k in kinds if k))}</span>' if kinds else ""
                sources.append(f'<code>{_e(f.get("name"))}.{_e(f.get("field"))}</code>{kind}')
            lines.append(f'<li><code>{_e(d.get("name"))}.{_e(column)}</code> ← {", ".join(sources) or "—"}</li>')
    return f'<ul class="column-lineage">{"".join(lines)}</ul>' if lines else "—"


def _event_rows(events: list[dict], with_pipeline: bool = False) -> list[list[str]]:
    rows = []
    for ev in events:
        body = ev["event"]
        row = [f'<span class="badge event-{_e(ev["event_type"].lower())}">{_e(ev["event_type"])}</span>',
               _e(ev["event_time"]), f'<code title="{_e(ev["job_namespace"])}">{_e(ev["job_name"])}</code>',
               f'<code>{_e(ev["run_id"])}</code>', _names(body.get("inputs")), _names(body.get("outputs")),
               _column_lineage(body.get("outputs"))]
        if with_pipeline:
            row.insert(2, _e(ev["job_namespace"]))
        rows.append(row)
    return rows


def _lineage_events(store, tenant: str, pipeline_id: int) -> str:
    events, total = store.list_lineage_events(tenant, pipeline_id, PAGE, 0)
    table = _table("openlineage-events", ["Type", "Time", "Job", "Run", "Inputs", "Outputs", "Column lineage"],
                   _event_rows(events), "No OpenLineage events received for this pipeline.")
    more = f'<p class="pager">the first {PAGE} of {total} events</p>' if total > PAGE else ""
    return table + more


def _pipeline_pages(app: FastAPI, svc, page, tenant_of) -> None:
    """One pipeline: details, graph, results; the verify form."""
    store = svc.store

    @app.get("/dashboard/pipelines/{pipeline_id}", include_in_schema=False)
    def pipeline_page(request: Request, pipeline_id: int, offset: int = 0):
        def render(t):
            if pipeline_id < 1 or pipeline_id > M.INT64_MAX:
                raise ServiceError("no such pipeline", 404)
            p = store.pipeline(t, pipeline_id)
            info = (f'<dl class="info" id="pipeline-info"><dt>Status</dt><dd>{_status_badge(p["status"])}</dd>'
                    f'<dt>Nodes</dt><dd id="node-count">{p["node_count"]}</dd>'
                    f'<dt>Edges</dt><dd id="edge-count">{p["edge_count"]}</dd>'
                    f'<dt>Started</dt><dd>{_e(p["started_at"])}</dd><dt>Finished</dt><dd>{_e(p["finished_at"] or "—")}</dd>'
                    + (f'<dt>Commit</dt><dd><code>{_e(p["git_commit"])}</code></dd>' if p["git_commit"] else "")
                    + "</dl>")
            try:
                svg = svc.graph_svg(t, pipeline_id) if p["node_count"] else ""
                graph = (f'<div class="graph" id="graph">{svg}</div>' if svg
                         else '<p class="empty" id="graph-empty">No nodes stored for this pipeline.</p>')
            except G.GraphUnavailable as exc:
                graph = f'<p class="error" id="graph-error">{_e(exc)}</p>'
            start = max(0, min(offset, M.INT64_MAX))
            results, total = store.list_results(t, pipeline_id, PAGE, start)
            rows = [[
                f'<code>{_e(r["row_key"])}</code>', _e(r["output_name"]), f'<code>0x{r["fingerprint"] & 0xFFFFFFFF:08X}</code>',
                _number(r["value"]),
                f'<code class="hash" title="{_e(r["input_hash"])}">{_e((r["input_hash"] or "—")[:16])}</code>',
                (f'<a class="verify" href="/dashboard/pipelines/{pipeline_id}/verify?row_key={quote(r["row_key"])}'
                 f'&amp;output_name={quote(r["output_name"])}">verify</a>') if r["input_hash"] else "",
            ] for r in results]
            table = _table("results", ["Row key", "Output", "Fingerprint", "Value", "Input hash", ""], rows,
                           "No per-row results stored for this pipeline.")
            pager = ""
            if total > PAGE:
                links = []
                if start > 0:
                    links.append(f'<a href="?offset={max(0, start - PAGE)}">previous</a>')
                links.append(f"rows {start + 1}–{min(total, start + PAGE)} of {total}")
                if start + PAGE < total:
                    links.append(f'<a href="?offset={start + PAGE}">next</a>')
                pager = '<p class="pager">' + " · ".join(links) + "</p>"
            body = (f'{info}<h2>Lineage graph</h2>{graph}'
                    f'<p><a href="/dashboard/pipelines/{pipeline_id}/graph.svg">open the SVG</a></p>'
                    f'<h2>Results</h2>{table}{pager}'
                    f'<h2>OpenLineage events</h2>{_lineage_events(store, t, pipeline_id)}')
            return _html(_layout(p["name"], body, t, "pipelines"))
        return page(request, render)

    @app.get("/dashboard/pipelines/{pipeline_id}/graph.svg", include_in_schema=False)
    def pipeline_svg(request: Request, pipeline_id: int):
        t = tenant_of(request)
        if t is None:
            return Response("sign in first", status_code=401, media_type="text/plain")
        try:
            return Response(svc.graph_svg(t, pipeline_id), media_type="image/svg+xml", headers=_HEADERS)
        except ServiceError as exc:
            return Response(exc.message, status_code=exc.status, media_type="text/plain")

    def _verify_page(t, pipeline_id: int, row_key: str, output_name: Optional[str], row_text: Optional[str],
                     outcome: str = "", status: int = 200):
        p = store.pipeline(t, pipeline_id)
        res = store.result(t, pipeline_id, row_key, output_name)
        if row_text is None:
            row_text = json.dumps(_prefill(store, t, pipeline_id, res), indent=2)
        body = (
            f'<p><a href="/dashboard/pipelines/{pipeline_id}">← {_e(p["name"])}</a></p>{outcome}'
            f'<dl class="info"><dt>Row key</dt><dd><code id="row-key">{_e(res["row_key"])}</code></dd>'
            f'<dt>Output</dt><dd>{_e(res["output_name"])}</dd>'
            f'<dt>Stored input hash</dt><dd><code id="stored-hash">{_e(res["input_hash"] or "—")}</code></dd>'
            f'<dt>Hashing</dt><dd>{_e(rowhash.scheme_for(res["output_name"]))}</dd></dl>'
            f'<form method="post" action="/dashboard/pipelines/{pipeline_id}/verify" id="verify-form">'
            f'<input type="hidden" name="row_key" value="{_e(res["row_key"])}">'
            f'<input type="hidden" name="output_name" value="{_e(res["output_name"])}">'
            '<label for="row">The row\'s current values (a JSON object, column → value, in column order)</label>'
            f'<textarea name="row" id="row" rows="10" spellcheck="false">{_e(row_text)}</textarea>'
            '<button type="submit" id="verify-submit">Verify</button></form>'
        )
        return _html(_layout("Verify a row", body, t, "pipelines"), status)

    @app.get("/dashboard/pipelines/{pipeline_id}/verify", include_in_schema=False)
    def verify_form(request: Request, pipeline_id: int, row_key: str, output_name: Optional[str] = None):
        return page(request, lambda t: _verify_page(t, pipeline_id, row_key, output_name, None))

    @app.post("/dashboard/pipelines/{pipeline_id}/verify", include_in_schema=False)
    async def verify_post(request: Request, pipeline_id: int):
        form = parse_qs((await request.body()).decode("utf-8", "replace"), keep_blank_values=True)
        row_key = (form.get("row_key") or [""])[0]
        output_name = (form.get("output_name") or [None])[0]
        row_text = (form.get("row") or [""])[0]

        def render(t):
            try:
                row = json.loads(row_text)
                if not isinstance(row, dict):
                    raise ValueError("the row must be a JSON object")
            except ValueError as exc:
                outcome = f'<p class="verdict error" id="verdict">Cannot read the row: {_e(exc)}</p>'
                return _verify_page(t, pipeline_id, row_key, output_name, row_text, outcome, 400)
            out = svc.verify(t, M.VerifyIn(pipeline_id=pipeline_id, row_key=row_key, output_name=output_name, row=row))
            text = {"intact": "Intact: the row hashes to the stored input hash.",
                    "tampered": "Tampered: the row does not hash to the stored input hash.",
                    "no stored hash": "No input hash was stored for this result."}[out["verdict"]]
            outcome = (f'<div class="verdict {out["verdict"].replace(" ", "-")}" id="verdict" '
                       f'data-verdict="{_e(out["verdict"])}"><b>{text}</b><br>'
                       f'computed <code>{_e(out["computed_hash"])}</code></div>')
            return _verify_page(t, pipeline_id, row_key, output_name, row_text, outcome)
        return await run_in_threadpool(page, request, render)


def _prefill(store, tenant: str, pipeline_id: int, res: dict) -> dict:
    """The stored source values of a result's row, as a starting point for the form."""
    scheme = rowhash.scheme_for(res["output_name"])
    if scheme == "validate":
        tail = res["row_key"].rsplit("_", 1)[-1]
        if not tail.isdigit():
            return {}
        row_index, operations = int(tail), ["source_feature"]
    else:
        row_index = store.result_position(pipeline_id, res)
        operations = store.source_operations(pipeline_id)
    row = store.source_row(tenant, pipeline_id, row_index, operations)
    if scheme == "validate":
        row = dict(sorted(row.items()))
    return {k: _prefill_value(v) for k, v in row.items()}
