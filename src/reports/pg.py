"""A throwaway PostgreSQL cluster for tests, benchmarks and sample databases.

    with EmbeddedPostgres() as pg:
        pandas.read_sql("select 1", pg.engine)

The cluster is created with the server's own ``initdb`` and ``pg_ctl`` in a new
temporary directory, listens on a Unix socket in that directory only (no TCP port),
trusts local connections, and is stopped and deleted on leaving the ``with`` block,
also when the block raises or is interrupted with Ctrl-C.

A process killed outright (kill -9) cannot clean up: its server keeps running and its
directory stays. Each directory names the process that made it (``owner.json``), so that
``leftover_clusters`` finds those whose maker is gone and ``remove_cluster`` removes them.

PostgreSQL refuses to run as root. When the calling process is root the server runs
as an unprivileged account instead: ``postgres`` when that account exists, else
``nobody``; the temporary directory is handed over to that account.
"""

from __future__ import annotations

import contextlib
import glob
import json
import os
import pwd
import re
import shutil
import signal
import subprocess
import tempfile
from pathlib import Path

import psycopg2
import sqlalchemy
from psycopg2 import sql

__all__ = [
    "OWNER_FILE",
    "EmbeddedPostgres",
    "PostgresCommandError",
    "PostgresNotFoundError",
    "find_bin_dir",
    "leftover_clusters",
    "remove_cluster",
]

_PORT = 5432  # only names the socket file; the server opens no TCP port
_PREFIX = "reports-pg-"
#: Names the process that made a cluster directory, so that the directory of a process
#: that was killed (kill -9 runs no clean-up) can be told from one still in use.
OWNER_FILE = "owner.json"
_FALLBACK_OS_USERS = ("postgres", "nobody")


class PostgresNotFoundError(RuntimeError):
    """No PostgreSQL server binaries (initdb, pg_ctl) could be found."""


class PostgresCommandError(RuntimeError):
    """initdb or pg_ctl failed; the message carries its output and the server log."""


def _version_key(path: str) -> tuple[int, ...]:
    version = Path(path).parent.parent.name  # /usr/lib/postgresql/<version>/bin/initdb
    return tuple(int(part) for part in re.findall(r"\d+", version)) or (0,)


def find_bin_dir() -> Path:
    """Directory holding ``initdb`` and ``pg_ctl``: the newest Debian-style install
    under /usr/lib/postgresql/<version>/bin, else the directory of ``pg_ctl`` on PATH."""
    candidates = [
        path
        for path in glob.glob("/usr/lib/postgresql/*/bin/initdb")
        if os.access(Path(path).with_name("pg_ctl"), os.X_OK)
    ]
    if candidates:
        return Path(max(candidates, key=_version_key)).parent
    on_path = shutil.which("pg_ctl")
    if on_path and os.access(Path(on_path).with_name("initdb"), os.X_OK):
        return Path(on_path).parent
    raise PostgresNotFoundError(
        "no PostgreSQL server binaries found: looked for initdb and pg_ctl under "
        "/usr/lib/postgresql/*/bin and on PATH (install the Debian package "
        "'postgresql', or pass bin_dir=)"
    )


def _server_account(os_user: str | None) -> pwd.struct_passwd | None:
    """The account the server runs as, or None to run it as the calling user."""
    if os_user is not None:
        return pwd.getpwnam(os_user)
    if os.geteuid() != 0:
        return None
    for name in _FALLBACK_OS_USERS:
        with contextlib.suppress(KeyError):
            return pwd.getpwnam(name)
    raise RuntimeError(
        "running as root, and neither a 'postgres' nor a 'nobody' account exists to run "
        "the server as; pass os_user="
    )


def _process_start(pid: int) -> str | None:
    """When process ``pid`` started (clock ticks after boot), which tells it from a later
    process given the same pid; None when there is no such process."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return stat.rsplit(")", 1)[1].split()[19]


def leftover_clusters(*, include=lambda directory: False) -> list[Path]:
    """Cluster directories in the temporary folder whose making process is gone without
    removing them (killed), made by this user; and those for which ``include`` is true
    whatever their maker (a server left running on purpose)."""
    found = []
    for directory in sorted(Path(tempfile.gettempdir()).glob(_PREFIX + "*")):
        owner_file = directory / OWNER_FILE
        try:
            if owner_file.stat().st_uid != os.geteuid():
                continue
            owner = json.loads(owner_file.read_text(encoding="utf-8"))
        except (OSError, ValueError):
            continue
        dead = _process_start(owner.get("pid", -1)) != owner.get("started")
        if include(directory) or (dead and owner.get("started") is not None):
            found.append(directory)
    return found


def remove_cluster(directory: str | os.PathLike, bin_dir: str | os.PathLike | None = None) -> None:
    """Stop the server of a cluster directory made by EmbeddedPostgres, if it runs, and
    delete the directory. The server is stopped as the account that owns its data."""
    directory = Path(directory)
    data = directory / "data"
    pid_file = data / "postmaster.pid"
    if pid_file.exists():
        owner = data.stat()
        account = {}
        if os.geteuid() == 0 and owner.st_uid != 0:
            account = {"user": owner.st_uid, "group": owner.st_gid, "extra_groups": []}
        env = {k: v for k, v in os.environ.items() if not k.startswith("PG")}
        tool = Path(bin_dir or find_bin_dir()) / "pg_ctl"
        result = subprocess.run(
            [str(tool), "-D", str(data), "-m", "fast", "-w", "-t", "30", "stop"],
            cwd=directory,
            env=env,
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            check=False,
            **account,
        )
        if result.returncode != 0 and pid_file.exists():
            # Not a server pg_ctl can stop (initdb's single-user one, killed with its run):
            # an immediate shutdown of the process the pid file names.
            try:
                os.kill(int(pid_file.read_text().split()[0]), signal.SIGQUIT)
            except (OSError, ValueError, IndexError):
                output = (result.stderr or result.stdout).strip().splitlines()
                raise PostgresCommandError(
                    f"pg_ctl stop failed: {output[0] if output else result.returncode}"
                ) from None
    shutil.rmtree(directory, ignore_errors=True)


class EmbeddedPostgres:
    """Context manager for a temporary PostgreSQL cluster reached over a Unix socket.

    Parameters:
        dbname: database created in the cluster (the URL and engine point at it).
        user: database superuser role.
        bin_dir: directory of ``initdb`` and ``pg_ctl``; found by ``find_bin_dir`` if None.
        os_user: account the server runs as; by default the caller, or an unprivileged
            account (``postgres``, else ``nobody``) when the caller is root.
        settings: extra ``postgresql.conf`` settings, name -> value (quoted as needed).

    Attributes once entered: ``url`` (a SQLAlchemy URL string), ``engine`` (a SQLAlchemy
    engine using psycopg2), ``socket_dir``, ``data_dir``, ``dbname``, ``user``.
    """

    def __init__(
        self,
        *,
        dbname: str = "reports",
        user: str = "postgres",
        bin_dir: str | os.PathLike | None = None,
        os_user: str | None = None,
        settings: dict[str, object] | None = None,
    ):
        self.dbname = dbname
        self.user = user
        self._bin_dir = Path(bin_dir) if bin_dir is not None else None
        self._os_user = os_user
        self._settings = dict(settings or {})
        self._root: Path | None = None
        self._started = False
        self.engine: sqlalchemy.Engine | None = None
        self.url: str | None = None

    # -- paths -----------------------------------------------------------------------

    @property
    def socket_dir(self) -> Path:
        return self._root

    @property
    def data_dir(self) -> Path:
        return self._root / "data"

    # -- life cycle ------------------------------------------------------------------

    def __enter__(self) -> EmbeddedPostgres:
        try:
            self.start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc_info) -> None:
        self.stop()

    def start(self) -> None:
        """Create, start and open the cluster. Prefer the ``with`` form, which always
        cleans up; after calling this directly, call ``stop`` in a ``finally``."""
        bin_dir = self._bin_dir or find_bin_dir()
        for tool in ("initdb", "pg_ctl"):
            if not os.access(bin_dir / tool, os.X_OK):
                raise PostgresNotFoundError(f"{bin_dir / tool} is missing or not executable")
        self._bin_dir = bin_dir
        self._account = _server_account(self._os_user)

        self._root = Path(tempfile.mkdtemp(prefix=_PREFIX))
        owner = {"pid": os.getpid(), "started": _process_start(os.getpid())}
        (self._root / OWNER_FILE).write_text(json.dumps(owner), encoding="utf-8")
        if self._account is not None:
            os.chown(self._root, self._account.pw_uid, self._account.pw_gid)

        self._run(
            "initdb",
            "-D",
            str(self.data_dir),
            "-U",
            self.user,
            "--auth=trust",
            "--encoding=UTF8",
            "--locale=C",
            "--no-sync",
        )
        conf = {
            "listen_addresses": "",
            "unix_socket_directories": str(self.socket_dir),
            "port": _PORT,
            # A scratch cluster: durability is worthless, speed is not.
            "fsync": "off",
            "synchronous_commit": "off",
            "full_page_writes": "off",
            "timezone": "UTC",
            **self._settings,
        }
        with open(self.data_dir / "postgresql.conf", "a", encoding="utf-8") as fh:
            fh.write("\n# embedded cluster\n")
            for name, value in conf.items():
                text = str(value).lower() if isinstance(value, bool) else str(value)
                fh.write(f"{name} = '{text.replace(chr(39), chr(39) * 2)}'\n")

        # A session of its own keeps a terminal's Ctrl-C away from the server, so that
        # stop() is the one that shuts it down, in order.
        self._started = True
        self._run(
            "pg_ctl",
            "-D",
            str(self.data_dir),
            "-l",
            str(self._root / "server.log"),
            "-w",
            "-t",
            "60",
            "start",
            new_session=True,
        )

        with contextlib.closing(
            psycopg2.connect(
                host=str(self.socket_dir), port=_PORT, user=self.user, dbname="postgres"
            )
        ) as conn:
            conn.autocommit = True
            with conn.cursor() as cur:
                cur.execute(sql.SQL("CREATE DATABASE {}").format(sql.Identifier(self.dbname)))

        self.url = sqlalchemy.URL.create(
            "postgresql+psycopg2",
            username=self.user,
            database=self.dbname,
            query={"host": str(self.socket_dir), "port": str(_PORT)},
        ).render_as_string(hide_password=False)
        self.engine = sqlalchemy.create_engine(self.url)

    def stop(self) -> None:
        """Stop the server and delete the cluster. Safe to call more than once."""
        if self.engine is not None:
            with contextlib.suppress(Exception):
                self.engine.dispose()
            self.engine = None
        if self._root is None:
            return
        try:
            if self._started:
                self._stop_server()
        finally:
            self._started = False
            shutil.rmtree(self._root, ignore_errors=True)
            self._root = None

    def _stop_server(self) -> None:
        pid_file = self.data_dir / "postmaster.pid"
        if not pid_file.exists():
            return
        try:
            self._run("pg_ctl", "-D", str(self.data_dir), "-m", "fast", "-w", "-t", "30", "stop")
        except (PostgresCommandError, OSError):
            # Last resort: an immediate shutdown of the postmaster named in the pid file.
            with contextlib.suppress(OSError, ValueError, IndexError):
                os.kill(int(pid_file.read_text().split()[0]), signal.SIGQUIT)

    # -- helpers ---------------------------------------------------------------------

    def _run(self, tool: str, *args: str, new_session: bool = False) -> None:
        kwargs = {}
        if self._account is not None:
            kwargs = {
                "user": self._account.pw_uid,
                "group": self._account.pw_gid,
                "extra_groups": [],
            }
        env = {k: v for k, v in os.environ.items() if not k.startswith("PG")}
        env["LC_ALL"] = "C"
        result = subprocess.run(
            [str(self._bin_dir / tool), *args],
            cwd=self._root,
            env=env,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            start_new_session=new_session,
            check=False,
            **kwargs,
        )
        if result.returncode != 0:
            log = self._root / "server.log"
            tail = log.read_text(errors="replace")[-2000:] if log.exists() else ""
            raise PostgresCommandError(
                f"{tool} {' '.join(args)} failed with exit code {result.returncode}:\n"
                f"{result.stdout}\n{tail}".rstrip()
            )
