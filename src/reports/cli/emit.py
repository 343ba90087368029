"""Where a result goes: a table (aligned or expanded, paged on a terminal), Markdown,
CSV or JSON on stdout, or a CSV file.

A CSV file that is absent or regular is written through a temporary file renamed into
place, so that a reader never sees half a result; it keeps an existing file's mode and
owner. A symlink is followed first. Anything else (a device, a FIFO, /dev/stdout) is
opened and written in place, as a shell's ``>`` would: renaming over it would replace
the device or pipe with a plain file.
"""

from __future__ import annotations

import dataclasses
import json
import os
import shutil
import stat
import sys
from pathlib import Path

from ..output import (
    format_csv,
    format_expanded,
    format_markdown,
    format_table,
    frame_records,
    table_width,
    write_file,
)
from ..progress import Progress
from .errors import CommandError, UsageError
from .pager import show

__all__ = [
    "CsvTarget",
    "StdoutFailed",
    "check_output",
    "csv_target",
    "emit",
    "output_format",
]

# Pseudo-file systems: a write there changes the kernel's settings, never a result file.
_REFUSED = ("/proc", "/sys")


class StdoutFailed(CommandError):
    """Writing to stdout failed (a full disk, a closed terminal); main makes sure that
    nothing is flushed there again at exit."""


@dataclasses.dataclass(frozen=True)
class CsvTarget:
    path: Path
    #: Opened and written as it is (a device, a FIFO, /dev/stdout).
    in_place: bool = False
    #: Permission bits and (uid, gid) of the regular file that the result replaces.
    mode: int | None = None
    owner: tuple[int, int] | None = None


def _may(path: str, mode: int) -> bool:
    # As open() will decide: by the effective user, which is who writes.
    return os.access(path, mode, effective_ids=os.access in os.supports_effective_ids)


def _under(path: str, roots: tuple[str, ...]) -> bool:
    return any(path == root or path.startswith(root + "/") for root in roots)


def csv_target(given: str, option: str = "--csv") -> CsvTarget:
    """Where ``--csv given`` (or another file option) writes, refused (UsageError) when
    it cannot be written."""
    if not given:
        stdout = " ('-' for stdout)" if option == "--csv" else ""
        raise UsageError(f"{option} needs a file name{stdout}")
    absolute = os.path.normpath(os.path.abspath(given))
    if _under(absolute, _REFUSED):
        raise UsageError(f"{option} {given}: will not write under {', '.join(_REFUSED)}")
    real = os.path.realpath(absolute)
    try:
        found = os.stat(absolute)
    except FileNotFoundError:
        found = None
    except OSError as exc:
        raise UsageError(f"{option} {given}: {exc.strerror}") from None
    if found is not None and stat.S_ISDIR(found.st_mode):
        raise UsageError(f"{option} {given}: is a directory")
    if found is not None and (
        not stat.S_ISREG(found.st_mode) or _under(absolute, ("/dev",)) or _under(real, ("/proc",))
    ):
        if not _may(absolute, os.W_OK):
            raise UsageError(f"{option} {given}: not writable")
        return CsvTarget(Path(absolute), in_place=True)
    if _under(real, _REFUSED):
        raise UsageError(f"{option} {given}: will not write under {', '.join(_REFUSED)}")
    parent = os.path.dirname(real)
    if not os.path.isdir(parent):
        raise UsageError(f"{option} {given}: no such directory {parent}")
    if not _may(parent, os.W_OK | os.X_OK):
        raise UsageError(f"{option} {given}: cannot write in {parent}")
    if found is None:
        return CsvTarget(Path(real))
    if not _may(real, os.W_OK):
        raise UsageError(f"{option} {given}: the file is not writable")
    owner = (found.st_uid, found.st_gid)
    return CsvTarget(Path(real), mode=stat.S_IMODE(found.st_mode), owner=owner)


def check_output(args) -> None:
    """Refuse an output file that cannot be written before any work is done; the
    checked target is kept in ``args.csv_target``."""
    path = getattr(args, "csv", None)
    args.csv_target = None if path is None or path == "-" else csv_target(path)


def _write_csv_file(target: CsvTarget, text: str) -> None:
    if target.in_place:
        with open(target.path, "w", encoding="utf-8", newline="") as fh:
            fh.write(text)
        return
    write_file(target.path, text, mode=target.mode, owner=target.owner)


def write_stdout(text: str) -> None:
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise StdoutFailed(f"cannot write to stdout: {exc.strerror or exc}") from None


def output_format(args) -> str:
    """What goes to stdout: table, csv, json or markdown."""
    if getattr(args, "json", False):
        return "json"
    if getattr(args, "csv", None) == "-":
        return "csv"
    return getattr(args, "format", None) or "table"


def _table_text(args, frame, labels: int, null: str) -> str:
    terminal = sys.stdout.isatty()
    width = shutil.get_terminal_size().columns if terminal else None
    expanded = args.expanded or (
        terminal and not args.no_expanded and table_width(frame, null=null) > width
    )
    if expanded:
        return format_expanded(frame, null=null)
    return format_table(frame, label_columns=labels, width=width, null=null)


def emit(args, frame, *, labels: int, json_data=None, progress: Progress) -> None:
    null = getattr(args, "null", "")
    if args.csv is not None and args.csv != "-":
        target: CsvTarget = args.csv_target
        try:
            _write_csv_file(target, format_csv(frame, null=null))
        except OSError as exc:
            raise CommandError(f"cannot write {args.csv}: {exc.strerror or exc}") from None
        progress.note(f"{len(frame)} rows written to {args.csv}")
        return
    kind = output_format(args)
    if kind == "json":
        data = frame_records(frame) if json_data is None else json_data
        write_stdout(json.dumps(data, indent=2, ensure_ascii=False) + "\n")
    elif kind == "csv":
        write_stdout(format_csv(frame, null=null))
    elif kind == "markdown":
        write_stdout(format_markdown(frame, null=null))
    else:
        show(_table_text(args, frame, labels, null), write_stdout, pager=not args.no_pager)
