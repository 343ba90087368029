"""Interrupts: Ctrl-C and SIGTERM unwind the command like an exception, so that every
clean-up (a sample server stopped, a temporary file removed) runs; a running query is
cancelled on the server."""

from __future__ import annotations

import contextlib
import select
import signal
import threading
from collections.abc import Iterator

__all__ = ["interruptible_queries", "terminate_as_interrupt"]


def _interrupt(signum, frame):
    raise KeyboardInterrupt


@contextlib.contextmanager
def terminate_as_interrupt() -> Iterator[None]:
    """SIGTERM unwinds like Ctrl-C while inside, so that a sample server is stopped and
    removed. Only the main thread can set signal handlers; elsewhere nothing changes."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, _interrupt)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def wait_interruptibly(connection) -> None:
    """psycopg2 wait callback: waits on the socket in Python, where Ctrl-C can land; the
    interrupt cancels the query on the server and then ends the wait as an interrupt
    (not as the database's "canceling statement" error, which callers might retry)."""
    from psycopg2.extensions import POLL_OK, POLL_READ, POLL_WRITE

    interrupted = False
    while True:
        try:
            state = connection.poll()
        except Exception:
            if interrupted:
                raise KeyboardInterrupt from None
            raise
        if state == POLL_OK:
            break
        try:
            if state == POLL_READ:
                select.select([connection.fileno()], [], [])
            elif state == POLL_WRITE:
                select.select([], [connection.fileno()], [])
            else:
                raise connection.OperationalError(f"bad state from poll: {state}")
        except KeyboardInterrupt:
            if not interrupted:
                connection.cancel()
                interrupted = True
    if interrupted:
        raise KeyboardInterrupt


@contextlib.contextmanager
def interruptible_queries() -> Iterator[None]:
    """Let Ctrl-C stop a running query. Not around COPY, which psycopg2 refuses while a
    wait callback is set."""
    try:
        from psycopg2 import extensions
    except ImportError:
        yield
        return
    previous = extensions.get_wait_callback()
    extensions.set_wait_callback(wait_interruptibly)
    try:
        yield
    finally:
        extensions.set_wait_callback(previous)
