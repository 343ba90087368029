"""``reports web``: serve the report pages until Ctrl-C.

The command's parser registers it through ``add_parser`` and its entry point runs
``run_web``; nothing of the web stack is imported until the subcommand runs, so the
command works without the ``web`` extra.
"""

from __future__ import annotations

import ipaddress
import os
import secrets
import sys

__all__ = ["ENV_TOKEN", "add_parser", "run_web"]

#: Environment variable read for the token when --token is not given.
ENV_TOKEN = "REPORTS_WEB_TOKEN"
DEFAULT_PORT = 8765


def _port(text: str) -> int:
    import argparse

    try:
        number = int(text)
    except ValueError:
        number = -1
    if not 1 <= number <= 65535:
        raise argparse.ArgumentTypeError(f"expected a port number 1-65535, got {text!r}")
    return number


def add_parser(commands, add_database_options) -> None:
    """Add the ``web`` subcommand to the command's subparsers; ``add_database_options``
    is the command's own --db/--scale helper."""
    parser = commands.add_parser(
        "web",
        help="serve every report as a web page, on 127.0.0.1 unless --host is given",
        description="Serves a page per report (form, colored table, SQL, CSV and JSON "
        "downloads) until Ctrl-C, on 127.0.0.1. With --host the server is reachable "
        f"from other machines and every request must carry a token (--token or "
        f"${ENV_TOKEN}). Needs the web extra: pip install 'reports[web]'.",
    )
    parser.add_argument(
        "--port", type=_port, default=DEFAULT_PORT, help=f"port (default {DEFAULT_PORT})"
    )
    parser.add_argument(
        "--host",
        metavar="ADDRESS",
        help="address to listen on instead of 127.0.0.1; requires a token",
    )
    parser.add_argument(
        "--token",
        metavar="TEXT",
        help=f"token every request must carry (default: ${ENV_TOKEN}; required with --host)",
    )
    add_database_options(parser)


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def run_web(args, progress) -> None:
    from . import command

    token = args.token if args.token is not None else os.environ.get(ENV_TOKEN)
    if token is not None and not token.strip():
        raise command.UsageError("the token is empty")
    host = args.host or "127.0.0.1"
    if not _is_loopback(host) and not token:
        raise command.UsageError(
            f"--host {host} makes the reports reachable from other machines: give a token "
            f"with --token or ${ENV_TOKEN} (for example: {ENV_TOKEN}={secrets.token_urlsafe(16)})"
        )
    try:
        import uvicorn

        from .app import LOOPBACK_HOSTS, create_app
    except ImportError as exc:
        raise command.UsageError(
            f"the web host needs the web extra ({exc.name} is missing): pip install 'reports[web]'"
        ) from None
    with command.sample_or_given_database(args, progress) as db:
        allowed = LOOPBACK_HOSTS if _is_loopback(host) else None
        app = create_app(
            db.engine,
            token=token,
            database_label=command.database_label(args),
            allowed_hosts=allowed,
        )
        shown = f"[{host}]" if ":" in host else host
        address = f"http://{shown}:{args.port}/"
        print(address + (f"?token={token}" if token else ""), flush=True)
        print("serving the reports; press Ctrl-C to stop", file=sys.stderr, flush=True)
        config = uvicorn.Config(
            app,
            host=host,
            port=args.port,
            log_level="warning",
            lifespan="off",
        )
        uvicorn.Server(config).run()
