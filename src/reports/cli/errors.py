"""How the command ends: exit statuses and the errors that carry them."""

from __future__ import annotations

EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as a shell reports Ctrl-C
EXIT_TERMINATED = 143  # 128 + SIGTERM


class CommandError(Exception):
    """Ends the command with one line on stderr and a non-zero exit status."""

    status = EXIT_FAILED

    def __init__(self, message: str, prog: str | None = None):
        super().__init__(message)
        self.prog = prog


class UsageError(CommandError):
    """Input refused before any database work."""

    status = EXIT_USAGE
