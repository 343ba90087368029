"""Interrupts: Ctrl-C and SIGTERM unwind the command like an exception, so that every
clean-up (a sample server stopped, a temporary file removed) runs; a running query is
cancelled on the server, and a connection attempt is given up at once."""

from __future__ import annotations

import contextlib
import functools
import select
import signal
import threading
import time
from collections.abc import Iterator

from .errors import EXIT_INTERRUPTED, EXIT_TERMINATED

__all__ = ["Terminated", "interrupt_status", "interruptible_queries", "terminate_as_interrupt"]


class Terminated(KeyboardInterrupt):
    """SIGTERM: unwinds as Ctrl-C does, and ends the command with 128 + SIGTERM."""


def interrupt_status(exc: KeyboardInterrupt) -> int:
    return EXIT_TERMINATED if isinstance(exc, Terminated) else EXIT_INTERRUPTED


def _terminate(signum, frame):
    raise Terminated


@contextlib.contextmanager
def terminate_as_interrupt() -> Iterator[None]:
    """SIGTERM unwinds like Ctrl-C while inside, so that a sample server is stopped and
    removed. Only the main thread can set signal handlers; elsewhere nothing changes."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def wait_interruptibly(connection, *, connect_timeout: float | None = None) -> None:
    """psycopg2 wait callback: waits on the socket in Python, where Ctrl-C can land.

    While connecting, an interrupt ends the attempt at once, and ``connect_timeout``
    seconds end it as a connection failure (libpq does not time out a connection made
    this way). Once connected, the interrupt cancels the query on the server and then
    ends the wait as the interrupt (not as the database's "canceling statement" error,
    which callers might retry)."""
    from psycopg2.extensions import POLL_OK, POLL_READ, POLL_WRITE, STATUS_SETUP

    connecting = connection.status == STATUS_SETUP
    deadline = None
    if connecting and connect_timeout is not None and connect_timeout > 0:
        deadline = time.monotonic() + connect_timeout
    interrupted: KeyboardInterrupt | None = None
    while True:
        try:
            state = connection.poll()
        except Exception:
            if interrupted is not None:
                raise interrupted from None
            raise
        if state == POLL_OK:
            break
        timeout = None if deadline is None else max(0.0, deadline - time.monotonic())
        try:
            if state == POLL_READ:
                ready = select.select([connection.fileno()], [], [], timeout)[0]
            elif state == POLL_WRITE:
                ready = select.select([], [connection.fileno()], [], timeout)[1]
            else:
                raise connection.OperationalError(f"bad state from poll: {state}")
        except KeyboardInterrupt as exc:
            if connecting:
                raise
            if interrupted is None:
                connection.cancel()
                interrupted = exc
            continue
        if not ready and deadline is not None:
            import psycopg2

            raise psycopg2.OperationalError(f"timeout expired after {connect_timeout:g} s")
    if interrupted is not None:
        raise interrupted


@contextlib.contextmanager
def interruptible_queries(*, connect_timeout: float | None = None) -> Iterator[None]:
    """Let Ctrl-C stop a running query or a connection attempt. Not around COPY, which
    psycopg2 refuses while a wait callback is set."""
    try:
        from psycopg2 import extensions
    except ImportError:
        yield
        return
    previous = extensions.get_wait_callback()
    callback = wait_interruptibly
    if connect_timeout is not None:
        callback = functools.partial(wait_interruptibly, connect_timeout=connect_timeout)
    extensions.set_wait_callback(callback)
    try:
        yield
    finally:
        extensions.set_wait_callback(previous)
