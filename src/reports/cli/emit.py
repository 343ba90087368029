"""Where a result goes: the aligned table, CSV or JSON on stdout, or a CSV file."""

from __future__ import annotations

import json
import os
import shutil
import sys
from pathlib import Path

from ..output import Progress, format_table, frame_records, write_file
from .errors import UsageError


def check_output(args) -> None:
    """Refuse an output file that cannot be written before any work is done."""
    path = getattr(args, "csv", None)
    if path is None or path == "-":
        return
    target = Path(path)
    if target.is_dir():
        raise UsageError(f"--csv {path}: is a directory")
    parent = target.absolute().parent
    if not parent.is_dir():
        raise UsageError(f"--csv {path}: no such directory {parent}")
    if not os.access(parent, os.W_OK | os.X_OK):
        raise UsageError(f"--csv {path}: cannot write in {parent}")


def emit(args, frame, *, labels: int, json_data=None, progress: Progress) -> None:
    if args.json:
        data = frame_records(frame) if json_data is None else json_data
        sys.stdout.write(json.dumps(data, indent=2, ensure_ascii=False) + "\n")
    elif args.csv:
        text = frame.to_csv(index=False)
        if args.csv == "-":
            sys.stdout.write(text)
        else:
            write_file(args.csv, text)
            progress.note(f"{len(frame)} rows written to {args.csv}")
    else:
        width = shutil.get_terminal_size().columns if sys.stdout.isatty() else None
        sys.stdout.write(format_table(frame, label_columns=labels, width=width))
    sys.stdout.flush()
