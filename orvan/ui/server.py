"""The web server: standard library HTTP, one thread per request, and
Server-Sent Events that tell open pages when the catalog has changed."""

from __future__ import annotations

import ast
import json
import os
import textwrap
import sys
import threading
import time
import traceback
from collections.abc import Callable
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, unquote, urlsplit

from ..store import Store
from ..store.naming import partition_token
from ..states import State
from . import files, pages, run_page
from .asset_page import asset_page
from .automations_page import automations_page
from .freshness import Judge
from .html import RELOADING, e, error_page, shell
from .job_page import job_page
from .live import Snapshots, delta
from .search import search
from .loading import Models
from .model import Model, ModelCache
from .reader import CatalogUnavailable, ChangeDetector, Latest, Queries, Reader

STATIC_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
JS = "text/javascript; charset=utf-8"
STATIC_TYPES = {"ui.css": "text/css; charset=utf-8", "ui.js": JS, "matrix.js": JS, "timeline.js": JS, "graph.js": JS,
                "find.js": JS}
# Scripts only from our own static files: even a value that slipped past
# escaping could not run.
SECURITY_HEADERS = {
    "Content-Security-Policy": "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
                               "img-src 'self' data:; object-src 'none'; base-uri 'none'; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
}
SSE_CHECK_SECONDS = 0.25
SSE_PING_SECONDS = 15.0
CHUNK = 64 * 1024
RUNS_SHOWN = 200


class NotFound(Exception):
    pass


class App:
    """What every request shares: where to read, the loaded pipeline and the
    change detector (one read-only connection, used under a lock)."""

    def __init__(self, out_dir: str, modules: list[str], directory: str, out_arg: str | None):
        self.out_dir = out_dir
        self.out_arg = out_arg
        self.modules = modules
        # A remote store holding the values and logs, when there is one.
        self.store: Store | None = None
        self.reader = Reader(out_dir)
        self.models = Models(ModelCache(modules, directory), self.reader)
        self.snapshots = Snapshots()
        self._detector = ChangeDetector(self.reader.location)
        self._lock = threading.Lock()
        self.stopping = threading.Event()

    def version(self) -> str:
        """Changes whenever what the pages show may have: a run wrote to the
        catalog, or the pipeline's code was loaded again."""
        with self._lock:
            return f"{self._detector.token()}:{self.models.generation}"

    def changes(self, since: str, run: int | None, runs: bool = False) -> dict[str, object]:
        """What changed since the version a page was drawn at (see live.py)."""
        now = self.version()
        with self.reader.connect() as q:
            model = self.models.get(q)
            old = self.snapshots.get(since)
            new = self.snapshots.at(now, q, model, lambda: self.judge(q, model), [run] if run is not None else [])
        head: dict[str, object] = {"v": now, "reloading": self.models.reloading}
        if since == now:
            return head
        if old is None:
            return {**head, "reload": True}
        return {**head, **delta(old, new, run, runs)}

    def alive(self) -> bool:
        return self.reader.location.active()

    def judge(self, q: Queries, model: Model, scope: list[str] | None = None) -> Judge:
        """The verdicts a page needs: on every job, or on `scope`'s assets'."""
        return Judge(q.latest(), self.alive(), model.plan, self.out_dir, scope)

    def nothing_recorded(self) -> bool:
        """No catalog yet, rather than one that cannot be read."""
        try:
            return not self.reader.location.exists()
        except Exception:  # a shared catalog's server out of reach: not a question of runs
            return False

    def before_any_run(self, why: str) -> tuple[HTTPStatus, str]:
        """The front page before anything has been run: the graph the code
        declares, every job missing, and what to do."""
        model = self.models.without_catalog()
        if model is None:
            return HTTPStatus.OK, shell("graph", f"<h1>Assets</h1><p class=problem>{e(why)}</p>",
                                        out_dir=self.out_dir, banner=f"{RELOADING} to show the graph it declares")
        if model.problem:
            return HTTPStatus.SERVICE_UNAVAILABLE, error_page(
                "No catalog to show", f"{why}; the pipeline's code could not be loaded either: {model.problem}",
                self.out_dir)
        judge = Judge(Latest({}, {}), False, model.plan, self.out_dir)
        return HTTPStatus.OK, pages.graph_page(
            model, judge, self.out_dir,
            "Nothing has been run with this output directory yet: `orvan run` computes these assets, and this page "
            "follows it.")

    def banner(self, model: Model) -> str:
        if self.models.reloading:
            if not self.models.loaded:
                return f"{RELOADING}; until it has, the pages show what the catalog records, without stale or blocked"
            return f"{RELOADING} again; the pages show the last version that loaded meanwhile"
        if model.problem:
            return f"the pipeline's code could not be loaded ({model.problem}); showing what the catalog records"
        return ""


Page = Callable[[App, Queries, dict[str, str], str], str]


def graph(app: App, q: Queries, params: dict[str, str], rest: str) -> str:
    model = app.models.get(q)
    latest = q.runs(1)
    going = latest[0] if latest and latest[0].status == "running" and app.alive() else None
    running = (going, q.run_counts([going.id])[going.id]) if going else None
    return pages.graph_page(model, app.judge(q, model), app.out_dir, app.banner(model), params, running)


def docstring(model: Model, key: str) -> str:
    """The asset function's docstring, read from its source once per model."""
    docs = model.cache.setdefault("docs", {})
    assert isinstance(docs, dict)
    if key not in docs:
        jobs = model.plan.by_asset.get(key) if model.plan is not None else None
        source = textwrap.dedent(jobs[0].asset.record.function_source) if jobs else ""
        try:
            tree = ast.parse(source)
            found = tree.body[0] if tree.body else None
            text = ast.get_docstring(found) if isinstance(found, (ast.FunctionDef, ast.AsyncFunctionDef)) else None
        except SyntaxError:
            text = None
        docs[key] = text or ""
    return str(docs[key])


def asset(app: App, q: Queries, params: dict[str, str], rest: str) -> str:
    model = app.models.get(q)
    found = model.assets.get(params.get("key", ""))
    if found is None:
        raise NotFound(f"no asset {params.get('key', '')!r} in this pipeline")
    return asset_page(found, app.judge(q, model, [found.key]), params, app.out_dir, app.banner(model),
                      modules=app.models.named_modules(model), out_arg=app.out_arg, doc=docstring(model, found.key))


def job(app: App, q: Queries, params: dict[str, str], rest: str) -> str:
    key = params.get("key", "")
    partition = {k[2:]: v for k, v in sorted(params.items()) if k.startswith("p.")}
    history = q.job_history(key, partition_token(partition))
    model = app.models.get(q)
    view = model.assets.get(key)
    if view is None and not history:
        raise NotFound(f"no job {key!r} {partition} in this pipeline or its catalog")
    return job_page(key, partition, view, history, app.judge(q, model, [key]), app.out_dir, app.out_arg,
                    app.models.named_modules(model), store=app.store)


def jobs(app: App, q: Queries, params: dict[str, str], rest: str) -> str:
    state = params.get("state", "")
    if state not in list(State):
        raise NotFound(f"no state {state!r}: one of {', '.join(State)}")
    model = app.models.get(q)
    return pages.jobs_page(model, app.judge(q, model), state, app.out_dir, params.get("module", ""))


def runs(app: App, q: Queries, params: dict[str, str], rest: str) -> str:
    listed = q.runs(RUNS_SHOWN)
    return run_page.runs_page(listed, q.run_counts([r.id for r in listed]), app.out_dir)


def run(app: App, q: Queries, params: dict[str, str], rest: str) -> str:
    # A run id is a 64-bit SQLite integer: a longer number names no run.
    row = q.run(int(rest)) if rest.isascii() and rest.isdigit() and int(rest) < 1 << 63 else None
    if row is None:
        raise NotFound(f"no run {rest!r}")
    model = app.models.get(q)
    return run_page.run_page(row, q.run_jobs(row.id), app.out_dir, model, app.models.named_modules(model), app.out_arg)


ROUTES: dict[str, Page] = {"/": graph, "/graph": graph, "/asset": asset, "/job": job, "/jobs": jobs, "/runs": runs,
                           "/automations": automations_page}
PREFIX_ROUTES: dict[str, Page] = {"/run/": run}


class _Discard:
    """Where a HEAD request's body goes."""

    def write(self, data: bytes) -> int:
        return len(data)

    def flush(self) -> None:
        pass


class Handler(BaseHTTPRequestHandler):
    server: UiServer
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args: object) -> None:
        if self.server.verbose:
            super().log_message(format, *args)

    _head_only = False

    def do_HEAD(self) -> None:
        """GET's status and headers, its body written nowhere. The event
        stream never ends: its headers only."""
        if urlsplit(self.path).path == "/events":
            self.send_response(HTTPStatus.OK)
            self.send_header("Content-Type", "text/event-stream")
            self.end_headers()
            self.close_connection = True
            return
        real, self._head_only = self.wfile, True
        try:
            self.do_GET()
        finally:
            self.wfile, self._head_only = real, False

    def end_headers(self) -> None:
        super().end_headers()
        if self._head_only:
            self.wfile = _Discard()  # type: ignore[assignment]

    def do_GET(self) -> None:
        url = urlsplit(self.path)
        path = url.path
        try:
            if path == "/events":
                return self._events()
            if path == "/version":
                return self._send(HTTPStatus.OK, "text/plain; charset=utf-8", self.server.app.version().encode())
            if path == "/changes":
                return self._changes(dict(parse_qsl(url.query)))
            if path == "/api/search":
                return self._search(dict(parse_qsl(url.query)).get("q", ""))
            if path.startswith("/api/run/"):
                return self._run_rows(path[len("/api/run/"):], dict(parse_qsl(url.query)))
            if path.startswith("/static/"):
                return self._static(path[len("/static/"):])
            if path.startswith("/files/"):
                return self._file(unquote(path[len("/files/"):]))
            self._page(path, dict(parse_qsl(url.query, keep_blank_values=True)))
        except (BrokenPipeError, ConnectionResetError):
            pass

    def _page(self, path: str, params: dict[str, str]) -> None:
        app = self.server.app
        page = ROUTES.get(path)
        rest = ""
        if page is None:
            for prefix, candidate in PREFIX_ROUTES.items():
                if path.startswith(prefix):
                    page, rest = candidate, path[len(prefix):]
        try:
            if page is None:
                raise NotFound(f"no page at {path}")
            # Read before drawing: a change made while the page is drawn is sent again, never lost.
            version = app.version()
            with app.reader.connect() as q:
                html = page(app, q, params, rest)
            html = html.replace("<main id=live", f'<main id=live data-v="{e(version)}"', 1)
            status = HTTPStatus.OK
        except NotFound as exc:
            status, html = HTTPStatus.NOT_FOUND, error_page("Not found", str(exc), app.out_dir)
        except CatalogUnavailable as exc:
            if path in ("/", "/graph") and app.nothing_recorded():
                status, html = app.before_any_run(str(exc))
                html = html.replace("<main id=live", f'<main id=live data-v="{e(app.version())}"', 1)
            else:
                status, html = HTTPStatus.SERVICE_UNAVAILABLE, error_page("No catalog to show", str(exc), app.out_dir)
        except Exception as exc:  # a page that fails must still answer, and say why
            traceback.print_exc(file=sys.stderr)
            status = HTTPStatus.INTERNAL_SERVER_ERROR
            html = error_page("This page failed", f"{type(exc).__name__}: {exc}", app.out_dir)
        self._send(status, "text/html; charset=utf-8", html.encode("utf-8"))

    def _send(self, status: HTTPStatus, ctype: str, body: bytes) -> None:
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        for name, value in SECURITY_HEADERS.items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def _json(self, status: HTTPStatus, value: object) -> None:
        self._send(status, "application/json", json.dumps(value, separators=(",", ":")).encode("utf-8"))

    def _changes(self, params: dict[str, str]) -> None:
        run = params.get("run", "")
        try:
            found = self.server.app.changes(params.get("since", ""), int(run) if run.isdigit() else None,
                                            params.get("runs") == "1")
        except CatalogUnavailable:
            found = {"reload": True}
        self._json(HTTPStatus.OK, found)

    def _search(self, text: str) -> None:
        app = self.server.app
        try:
            with app.reader.connect() as q:
                found = search(app.models.get(q), q.runs(RUNS_SHOWN), text)
        except CatalogUnavailable:
            model = app.models.without_catalog()
            found = search(model, [], text) if model is not None else []
        self._json(HTTPStatus.OK, found)

    def _run_rows(self, rest: str, params: dict[str, str]) -> None:
        if not (rest.isascii() and rest.isdigit() and int(rest) < 1 << 63):
            return self._json(HTTPStatus.NOT_FOUND, {"error": f"no run {rest!r}"})
        try:
            with self.server.app.reader.connect() as q:
                rows = run_page.group_rows(q.run_jobs(int(rest)), params.get("asset", ""))
        except CatalogUnavailable as exc:
            return self._json(HTTPStatus.SERVICE_UNAVAILABLE, {"error": str(exc)})
        self._json(HTTPStatus.OK, rows)

    def _refuse(self, status: HTTPStatus, message: str) -> None:
        self._send(status, "text/html; charset=utf-8",
                   error_page(status.phrase, message, self.server.app.out_dir).encode("utf-8"))

    def _static(self, name: str) -> None:
        if name not in STATIC_TYPES:
            return self._refuse(HTTPStatus.NOT_FOUND, f"no static file {name!r}")
        with open(os.path.join(STATIC_DIR, name), "rb") as f:
            self._send(HTTPStatus.OK, STATIC_TYPES[name], f.read())

    def _file(self, relpath: str) -> None:
        """A file of the output directory as plain text, streamed: logs can be large."""
        try:
            real = files.safe_path(self.server.app.out_dir, relpath)
        except files.OutsidePath:
            return self._refuse(HTTPStatus.FORBIDDEN, f"{relpath!r} is not a path inside the output directory")
        if not os.path.isfile(real):
            return self._refuse(HTTPStatus.NOT_FOUND, f"no file {relpath!r} in the output directory")
        with open(real, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            self.send_response(HTTPStatus.OK)
            self.send_header("Content-Type", "text/plain; charset=utf-8")
            self.send_header("Content-Length", str(size))
            for name, value in SECURITY_HEADERS.items():
                self.send_header(name, value)
            self.end_headers()
            # A log still being written may grow: send what it held when opened.
            remaining = size
            while remaining > 0:
                chunk = f.read(min(CHUNK, remaining))
                if not chunk:
                    break
                self.wfile.write(chunk)
                remaining -= len(chunk)
        if remaining > 0:  # it shrank: the length we promised cannot be kept
            self.close_connection = True

    def _events(self) -> None:
        app = self.server.app
        self.send_response(HTTPStatus.OK)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.close_connection = True
        last = app.version()
        self.wfile.write(f"retry: 2000\ndata: {last}\n\n".encode())
        self.wfile.flush()
        quiet_since = time.monotonic()
        while not app.stopping.wait(SSE_CHECK_SECONDS):
            now = app.version()
            if now != last:
                self.wfile.write(f"data: {now}\n\n".encode())
            elif time.monotonic() - quiet_since > SSE_PING_SECONDS:
                self.wfile.write(b": ping\n\n")  # finds a closed page's connection
            else:
                continue
            self.wfile.flush()
            last, quiet_since = now, time.monotonic()


class UiServer(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False

    def __init__(self, app: App, host: str, port: int, verbose: bool = False):
        self.app = app
        self.verbose = verbose
        super().__init__((host, port), Handler)

    def server_close(self) -> None:
        self.app.stopping.set()
        super().server_close()


def serve(server: UiServer) -> None:
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.server_close()
