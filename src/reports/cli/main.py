"""The entry point: parse, run the chosen command, turn every ending into an exit status."""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Callable, Sequence

from ..output import Progress
from .catalog import REPORTS
from .commands import run_colors, run_report
from .errors import EXIT_FAILED, EXIT_INTERRUPTED, CommandError, UsageError
from .parser import build_parser
from .servers import run_serve, run_stop
from .signals import terminate_as_interrupt

__all__ = ["main"]

_COMMANDS: dict[str, Callable] = {
    **dict.fromkeys(REPORTS, run_report),
    "colors": run_colors,
    "serve": run_serve,
    "stop": run_stop,
}


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command with ``argv`` (default: the process arguments); the exit status."""
    parser = build_parser()
    progress = Progress()
    command = None
    try:
        with terminate_as_interrupt():
            args, extras = parser.parse_known_args(argv)
            command = args.command
            if extras:
                # Named here rather than by argparse, so that the message names the command.
                prog = f"reports {command}" if command else "reports"
                raise UsageError(
                    f"unrecognized arguments: {' '.join(extras)} (see '{prog} --help')", prog
                )
            if command is None:
                raise UsageError(
                    f"name a command: {', '.join(REPORTS)}, colors, serve or stop "
                    "(see 'reports --help')"
                )
            _COMMANDS[command](args, progress)
        return 0
    except SystemExit as exc:  # --help
        return exc.code if isinstance(exc.code, int) else 0
    except CommandError as exc:
        prog = exc.prog or (f"reports {command}" if command else "reports")
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return exc.status
    except KeyboardInterrupt:
        print("reports: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (reports ... | head): no traceback, and none at exit.
        with contextlib.suppress(OSError):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILED
