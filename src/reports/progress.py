"""A progress line on the terminal while a slow step runs."""

from __future__ import annotations

import contextlib
import os
import sys
import threading
import time
from collections.abc import Iterator

from .width import fitted

__all__ = ["Progress"]


class Progress:
    """A line on stderr that tells what a slow step is doing, while it runs.

    Only on a terminal: with ``enabled`` left None it is on when ``stream`` is one. The
    line appears once a step has taken ``delay`` seconds and is erased when it ends.
    """

    _FRAMES = "|/-\\"

    def __init__(self, stream=None, *, enabled: bool | None = None, delay: float = 0.5):
        self.stream = stream if stream is not None else sys.stderr
        if enabled is None:
            isatty = getattr(self.stream, "isatty", None)
            enabled = bool(isatty and isatty())
        self.enabled = enabled
        self.delay = delay
        #: The innermost step that a failure unwound, for the failure message to name.
        self.failed: str | None = None

    def _columns(self) -> int:
        try:
            return os.get_terminal_size(self.stream.fileno()).columns
        except (AttributeError, ValueError, OSError):
            return 80

    @contextlib.contextmanager
    def step(self, message: str) -> Iterator[None]:
        try:
            with self._shown(message):
                yield
        except BaseException:
            if self.failed is None:
                self.failed = message
            raise

    @contextlib.contextmanager
    def _shown(self, message: str) -> Iterator[None]:
        if not self.enabled:
            yield
            return
        started = time.monotonic()
        done = threading.Event()
        lock = threading.Lock()
        shown = False

        def draw(tick: int) -> None:
            nonlocal shown
            with lock:
                if done.is_set():
                    return
                elapsed = time.monotonic() - started
                frame = self._FRAMES[tick % len(self._FRAMES)]
                # A line wider than the terminal wraps, and each redraw would then add a
                # line: cut it to one character less than the width.
                text = fitted(f"{frame} {message}... {int(elapsed)}s", self._columns() - 1)
                self.stream.write(f"\r{text}\x1b[K")
                self.stream.flush()
                shown = True

        def animate() -> None:
            tick = 1
            while not done.wait(0.1):
                if time.monotonic() - started >= self.delay:
                    draw(tick)
                    tick += 1

        if self.delay <= 0:
            draw(0)
        thread = threading.Thread(target=animate, name="progress", daemon=True)
        thread.start()
        try:
            yield
        finally:
            with lock:
                done.set()
                if shown:
                    self.stream.write("\r\x1b[K")
                    self.stream.flush()
            thread.join()

    def note(self, message: str) -> None:
        """A line for the person at the terminal only."""
        if self.enabled:
            self.stream.write(message + "\n")
            self.stream.flush()
