"""The web host: a page per report, CSV and JSON downloads of the same result.

    app = create_app(engine, database_label="warehouse")
    uvicorn.run(app, host="127.0.0.1", port=8000)

Every page runs its report on a read-only connection. A form that the command would
refuse comes back with the command's message in one line and the form as sent; a query
that fails in the database shows the database's message; nothing shows a traceback.
"""

from __future__ import annotations

import time
from importlib import resources

import jinja2
import markupsafe
import sqlalchemy
from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.middleware.trustedhost import TrustedHostMiddleware
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles
from starlette.templating import Jinja2Templates

from . import command
from .form import ReportForm
from .guards import SafetyHeadersMiddleware, TokenMiddleware
from .running import Cancelled, run_report
from .screens import SCREENS, install_filter_names
from .table import MAX_ROWS, build_table

__all__ = ["LOOPBACK_HOSTS", "create_app"]

LOOPBACK_HOSTS = ("127.0.0.1", "localhost")

_PACKAGE = resources.files(__package__)


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


def _report_or_404(request: Request):
    name = request.path_params["name"]
    if name not in command.REPORTS:
        raise HTTPException(404, f"no report {name!r}")
    return command.REPORTS[name]


def create_app(
    engine: sqlalchemy.Engine,
    *,
    token: str | None = None,
    database_label: str = "",
    allowed_hosts: tuple[str, ...] | None = LOOPBACK_HOSTS,
) -> Starlette:
    """The application on ``engine``. With ``token`` every request must carry it (see
    reports.web.guards); ``allowed_hosts`` are the Host headers accepted (None: any),
    which keeps pages on a loopback address from being read through a hostile DNS name."""
    from reports.tintora import Tintora

    install_filter_names(Tintora)
    read_only = engine.execution_options(postgresql_readonly=True)
    # Every template is HTML: escape every value, whatever its file name.
    environment = jinja2.Environment(
        loader=jinja2.FileSystemLoader(str(_PACKAGE / "templates")), autoescape=True
    )
    templates = Jinja2Templates(env=environment)
    templates.env.globals.update(
        reports=command.REPORTS, periods=command.PERIODS, database_label=database_label
    )

    async def index(request: Request) -> Response:
        return templates.TemplateResponse(request, "index.html", {"current": None})

    async def run(request: Request, report):
        """The form, the checked request (or None) and the result of the report, or
        the status and one line that say why there is none. Cancelled when the browser
        left before the result was complete."""
        form = ReportForm.from_query(report.name, request.query_params)
        try:
            checked = form.check(Tintora)
        except command.UsageError as exc:
            return form, None, None, (400, str(exc))
        try:
            result = await run_report(read_only, checked, request.receive)
        except Cancelled:
            raise
        except command.UsageError as exc:  # a column the report's table lacks
            return form, checked, None, (400, str(exc))
        except sqlalchemy.exc.DBAPIError as exc:
            return form, checked, None, (502, command.database_message(exc, checked))
        except command.CommandError as exc:  # a result column to order by that is not there
            return form, checked, None, (400, str(exc))
        except Exception as exc:
            message = f"the report failed: {type(exc).__name__}: {_first_line(exc)}"
            return form, checked, None, (500, message)
        return form, checked, result, None

    async def report_page(request: Request) -> Response:
        report = _report_or_404(request)
        started = time.perf_counter()
        try:
            form, checked, result, failure = await run(request, report)
        except Cancelled:
            return Response(status_code=499)  # nobody is listening any more
        context = {
            "current": report,
            "report": report,
            "screen": SCREENS[report.name],
            "form": form,
            "checked": checked,
            "error": failure[1] if failure else None,
            "table": None,
            "downloads": form.query_string(),
        }
        if failure:
            return templates.TemplateResponse(
                request, "report.html", context, status_code=failure[0]
            )
        every_row = request.query_params.get("rows") == "all"
        context["table"] = build_table(
            result.frame, result.palette, None if every_row else MAX_ROWS
        )
        context["missing_colors"] = result.palette.missing
        context["seconds"] = time.perf_counter() - started
        return templates.TemplateResponse(request, "report.html", context)

    async def download(request: Request) -> Response:
        report = _report_or_404(request)
        kind = request.url.path.rsplit(".", 1)[1]
        try:
            _, checked, result, failure = await run(request, report)
        except Cancelled:
            return Response(status_code=499)
        if failure:
            return Response(failure[1] + "\n", status_code=failure[0], media_type="text/plain")
        if kind == "csv":
            body, media = command.csv_text(result.frame), "text/csv; charset=utf-8"
        else:
            body, media = command.json_text(result.frame), "application/json"
        dates = f"-{checked.start}-{checked.end}" if report.dates else ""
        headers = {"Content-Disposition": f'attachment; filename="{report.name}{dates}.{kind}"'}
        return Response(body, media_type=media, headers=headers)

    async def chart(request: Request) -> Response:
        report = _report_or_404(request)
        try:
            _, checked, result, failure = await run(request, report)
        except Cancelled:
            return Response(status_code=499)
        if not failure:
            try:
                svg = await run_in_threadpool(command.chart_svg, checked, result.frame)
                return Response(svg, media_type="image/svg+xml")
            except command.CommandError as exc:
                failure = (422, str(exc))
        # An image that says why there is no chart, where the chart would be.
        text = markupsafe.escape(failure[1])
        svg = (
            '<svg xmlns="http://www.w3.org/2000/svg" width="640" height="32">'
            f'<text x="4" y="20" font-family="sans-serif" font-size="13">{text}</text></svg>'
        )
        return Response(svg, status_code=failure[0], media_type="image/svg+xml")

    async def not_found(request: Request, exc: HTTPException) -> Response:
        context = {"current": None, "message": exc.detail, "status": exc.status_code}
        return templates.TemplateResponse(
            request, "error.html", context, status_code=exc.status_code
        )

    middleware = [Middleware(SafetyHeadersMiddleware)]
    if allowed_hosts is not None:
        middleware.append(Middleware(TrustedHostMiddleware, allowed_hosts=list(allowed_hosts)))
    if token is not None:
        middleware.append(Middleware(TokenMiddleware, token=token))
    routes = [
        Route("/", index),
        # Before the page route, whose {name} would take "approval.csv" whole.
        Route("/report/{name}.csv", download, name="csv"),
        Route("/report/{name}.json", download, name="json"),
        Route("/report/{name}.svg", chart, name="chart"),
        Route("/report/{name}", report_page),
        Mount("/static", StaticFiles(directory=str(_PACKAGE / "static")), name="static"),
    ]
    return Starlette(
        routes=routes, middleware=middleware, exception_handlers={HTTPException: not_found}
    )
