"""The entry point: parse, run the chosen command, turn every ending into an exit status
and at most one line on stderr."""

from __future__ import annotations

import contextlib
import os
import sys
import traceback
from collections.abc import Callable, Sequence

from reports.web.command_line import run_web

from ..progress import Progress
from .catalog import REPORTS
from .columns import run_columns
from .commands import run_colors, run_report
from .emit import StdoutFailed
from .errors import EXIT_FAILED, CommandError, UsageError
from .parser import build_parser
from .servers import run_serve, run_stop
from .signals import interrupt_status, terminate_as_interrupt

__all__ = ["main"]

_COMMANDS: dict[str, Callable] = {
    **dict.fromkeys(REPORTS, run_report),
    "columns": run_columns,
    "colors": run_colors,
    "serve": run_serve,
    "stop": run_stop,
    "web": run_web,
}


def _silence_stdout() -> None:
    """Point stdout at /dev/null, so that what is still buffered for a reader that went
    away (or a full disk) raises nothing when the interpreter flushes it at exit."""
    with contextlib.suppress(OSError, ValueError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())


def _unexpected(exc: BaseException, prog: str, progress: Progress, debug: bool) -> int:
    if debug:
        traceback.print_exception(type(exc), exc, exc.__traceback__, file=sys.stderr)
    doing = f" while {progress.failed}" if progress.failed else ""
    detail = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
    hint = "" if debug else " (--debug shows the traceback)"
    print(f"{prog}: error: unexpected failure{doing}: {detail}{hint}", file=sys.stderr)
    return EXIT_FAILED


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command with ``argv`` (default: the process arguments); the exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    progress = Progress()
    command = None
    debug = "--debug" in argv  # before parsing, so that a failure in it shows too
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
                    f"name a command: {', '.join(REPORTS)}, columns, colors, serve or stop "
                    "(see 'reports --help')"
                )
            _COMMANDS[command](args, progress)
        return 0
    except SystemExit as exc:  # --help
        return exc.code if isinstance(exc.code, int) else 0
    except CommandError as exc:
        if isinstance(exc, StdoutFailed):
            _silence_stdout()
        prog = exc.prog or (f"reports {command}" if command else "reports")
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return exc.status
    except KeyboardInterrupt as exc:
        print("reports: interrupted", file=sys.stderr)
        return interrupt_status(exc)
    except BrokenPipeError:
        # The reader went away (reports ... | head): end quietly, as other tools do.
        _silence_stdout()
        return EXIT_FAILED
    except Exception as exc:
        prog = f"reports {command}" if command else "reports"
        return _unexpected(exc, prog, progress, debug)
