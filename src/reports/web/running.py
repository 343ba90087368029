"""Running one report for one page: on a connection of its own that only reads, in a
worker thread, cancelled on the server when the browser goes away.

The report functions block until ``pandas.read_sql`` returns, so they run in a thread
while the request's task listens for the browser's disconnect. On a disconnect the
running statement is cancelled through the connection's cancel request (which
PostgreSQL takes from any thread), and the database object stops handing out its
connection, so that a report that would try again (mtd does, once) fails at once.
"""

from __future__ import annotations

import dataclasses
import threading

import anyio
from starlette.concurrency import run_in_threadpool

from . import command
from .colors import Palette, read_palette

__all__ = ["Cancelled", "ReportResult", "run_report"]


class Cancelled(Exception):
    """The browser went away; the query was cancelled."""


class _PageDatabase:
    """The database object handed to a report: ``engine`` is this page's connection,
    until the page is cancelled."""

    def __init__(self, connection):
        self._connection = connection
        self._lock = threading.Lock()
        self.cancelled = False

    @property
    def engine(self):
        if self.cancelled:
            raise Cancelled
        return self._connection

    def cancel(self) -> None:
        with self._lock:
            if self.cancelled:
                return
            self.cancelled = True
            dbapi = self._connection.connection.dbapi_connection
            if dbapi is not None:
                dbapi.cancel()


@dataclasses.dataclass
class ReportResult:
    frame: object
    palette: Palette


def _run(engine, checked, started: threading.Event, box: dict) -> ReportResult:
    from reports.tintora import Tintora

    command.check_source_columns(checked, engine)
    with engine.connect() as connection:
        box["page"] = page = _PageDatabase(connection)
        started.set()
        frame = command.ordered(checked, checked.function(page, **checked.kwargs))
        colors = Tintora(page)

        def read_table(name: str, key: str) -> dict:
            try:
                return colors.get(name, key)
            except Exception:
                connection.rollback()  # a failed read leaves the transaction unusable
                raise

        palette = read_palette(read_table, [str(c) for c in frame.columns])
        return ReportResult(frame, palette)


async def run_report(engine, checked, receive) -> ReportResult:
    """Run ``checked`` (a CheckedRequest) on a connection of its own from ``engine`` (the
    pages pass a read-only one) and read its colors; Cancelled when ``receive`` (the
    request's ASGI receive) reports a disconnect before the result is complete."""
    started = threading.Event()
    box: dict = {}

    async def watch() -> None:
        while True:
            message = await receive()
            if message["type"] == "http.disconnect":
                break
        # The thread has a connection by now or gets one soon; wait without blocking.
        while not started.is_set():
            await anyio.sleep(0.01)
        box["page"].cancel()

    async with anyio.create_task_group() as group:
        group.start_soon(watch)
        try:
            result, error = await run_in_threadpool(_run, engine, checked, started, box), None
        except Exception as exc:
            result, error = None, exc
        group.cancel_scope.cancel()
    page = box.get("page")
    if page is not None and page.cancelled:
        raise Cancelled
    if error is not None:
        raise error
    return result
