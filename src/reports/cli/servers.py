"""Sample databases that outlive one run: ``serve`` (until stopped, or detached) and
``stop``."""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

from ..output import Progress
from .catalog import ENV_URL, SAMPLE_SCALE
from .database import started_sample
from .errors import CommandError, UsageError

# Written into the directory of a server left running by ``serve --detach``; ``stop``
# removes only directories that carry it.
_SERVE_MARKER = "reports-serve.json"


def run_serve(args, progress: Progress) -> None:
    scale = args.scale or SAMPLE_SCALE
    with started_sample(scale, progress) as server:
        if args.detach:
            marker = {"url": server.url, "pid": os.getpid(), "started": time.time()}
            (server.socket_dir / _SERVE_MARKER).write_text(json.dumps(marker), encoding="utf-8")
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


def run_stop(args, progress: Progress) -> None:
    from sqlalchemy.engine import make_url

    from reports.pg import find_bin_dir

    url_text = args.url or os.environ.get(ENV_URL, "").strip()
    if not url_text:
        raise UsageError(f"give the URL that serve printed (or set {ENV_URL})")
    try:
        host = make_url(url_text).query.get("host")
    except Exception:
        host = None
    directory = Path(host) if isinstance(host, str) and host else None
    if directory is None or not (directory / _SERVE_MARKER).is_file():
        raise UsageError(f"{url_text} is not a database started by 'reports serve --detach'")
    data = directory / "data"
    if (data / "postmaster.pid").exists():
        owner = data.stat()
        account = {}
        if os.geteuid() == 0 and owner.st_uid != 0:
            account = {"user": owner.st_uid, "group": owner.st_gid, "extra_groups": []}
        env = {k: v for k, v in os.environ.items() if not k.startswith("PG")}
        command = [str(find_bin_dir() / "pg_ctl"), "-D", str(data), "-m", "fast", "-w", "stop"]
        with progress.step("stopping the sample database"):
            result = subprocess.run(
                command,
                cwd=directory,
                env=env,
                stdin=subprocess.DEVNULL,
                capture_output=True,
                text=True,
                check=False,
                **account,
            )
        if result.returncode != 0:
            output = (result.stderr or result.stdout).strip().splitlines()
            raise CommandError(f"pg_ctl stop failed: {output[0] if output else result.returncode}")
    shutil.rmtree(directory, ignore_errors=True)
    progress.note(f"stopped and removed {directory}")
