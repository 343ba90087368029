"""Output longer than the screen goes through a pager on a terminal, as psql's does."""

from __future__ import annotations

import contextlib
import os
import shlex
import shutil
import signal
import subprocess
import sys

__all__ = ["DEFAULT_PAGER", "show"]

#: -S: long lines are cut, not wrapped (tables stay tables); -F: quit at once when the
#: text fits the screen; -R: colors pass; -X: the text stays on the screen after.
DEFAULT_PAGER = "less -SFRX"


def _pager_command() -> list[str] | None:
    text = os.environ.get("PAGER", DEFAULT_PAGER).strip()
    if not text or text == "cat":
        return None
    try:
        command = shlex.split(text)
    except ValueError:
        return None
    return command if shutil.which(command[0]) else None


def show(text: str, write, *, pager: bool) -> None:
    """Write ``text`` with ``write``, or, with ``pager`` on a terminal and ``text`` longer
    than the screen, through $PAGER. A missing pager means the text is written as is."""
    command = _pager_command() if pager and sys.stdout.isatty() else None
    lines = text.count("\n")
    if command is None or lines < shutil.get_terminal_size().lines:
        write(text)
        return
    sys.stdout.flush()
    # Ctrl-C belongs to the pager (less uses it to stop a search); the command waits.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        process = subprocess.Popen(command, stdin=subprocess.PIPE, text=True)
        with contextlib.suppress(BrokenPipeError):  # the reader quit before the end
            process.stdin.write(text)
        with contextlib.suppress(BrokenPipeError):
            process.stdin.close()
        process.wait()
    finally:
        signal.signal(signal.SIGINT, previous)
