"""Sample databases that outlive one run: ``serve`` (until stopped, or detached) and
``stop``."""

from __future__ import annotations

import json
import os
import signal
import sys
import time
from pathlib import Path

from ..progress import Progress
from .catalog import ENV_URL, SAMPLE_SCALE, SERVE_MARKER
from .database import started_sample
from .errors import CommandError, UsageError


def run_serve(args, progress: Progress) -> None:
    scale = args.scale or SAMPLE_SCALE
    with started_sample(scale, progress) as server:
        if args.detach:
            marker = {"url": server.url, "pid": os.getpid(), "started": time.time()}
            (server.socket_dir / SERVE_MARKER).write_text(json.dumps(marker), encoding="utf-8")
            server.engine.dispose()
            print(server.url, flush=True)
            print(
                f"sample warehouse ({scale} orders) running in the background; use it with "
                f"--db or {ENV_URL}; stop it with: reports stop '{server.url}'",
                file=sys.stderr,
                flush=True,
            )
            return
        try:
            print(server.url, flush=True)
            print(
                f"sample warehouse ({scale} orders) ready; use it with --db or {ENV_URL}; "
                "press Ctrl-C to stop it",
                file=sys.stderr,
                flush=True,
            )
            while True:
                signal.pause()
        except KeyboardInterrupt:
            pass
        finally:
            with progress.step("stopping the sample database"):
                server.stop()


def _remove(directory: Path, progress: Progress) -> None:
    from reports.pg import PostgresCommandError, remove_cluster

    try:
        with progress.step(f"stopping the sample database in {directory}"):
            remove_cluster(directory)
    except (PostgresCommandError, OSError) as exc:
        raise CommandError(f"could not stop the server in {directory}: {exc}") from None


def run_stop(args, progress: Progress) -> None:
    from sqlalchemy.engine import make_url

    from reports.pg import leftover_clusters

    if args.all:
        if args.url:
            raise UsageError("give a URL or --all, not both")
        found = leftover_clusters(include=lambda directory: (directory / SERVE_MARKER).exists())
        for directory in found:
            _remove(directory, progress)
            what = "detached server" if (directory / SERVE_MARKER).exists() else "killed run"
            print(f"removed {directory} ({what})", flush=True)
        if not found:
            print("no sample databases to remove", file=sys.stderr, flush=True)
        return
    url_text = args.url or os.environ.get(ENV_URL, "").strip()
    if not url_text:
        raise UsageError(f"give the URL that serve printed (or set {ENV_URL}), or --all")
    try:
        host = make_url(url_text).query.get("host")
    except Exception:
        host = None
    directory = Path(host) if isinstance(host, str) and host else None
    if directory is None or not (directory / SERVE_MARKER).is_file():
        raise UsageError(
            f"{url_text} is not a database started by 'reports serve --detach' "
            "('reports stop --all' removes what killed runs left behind)"
        )
    _remove(directory, progress)
    progress.note(f"stopped and removed {directory}")
