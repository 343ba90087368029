"""The ``reports`` command: run a report or read a color index table from the shell.

    reports affid --group-by crm_id,affid --start 2026-11-01 --end 2026-11-30
    reports mtd --db postgresql://analyst@warehouse/reporting --group-by processor --csv mtd.csv
    reports colors status_colors --json

Without ``--db`` (or REPORTS_DATABASE_URL) a run starts a throwaway PostgreSQL cluster,
fills it with the sample warehouse, runs the report and removes the cluster again;
``reports serve`` keeps such a database running for several runs.

Every argument that reaches the query is checked before any database work starts, by
building the report's query once against a stand-in database object (see
``_check_arguments``), so that a typo costs no server start. Failures end the command
with one line on stderr: exit status 2 for input refused before the database was
touched, 1 for a database that cannot be reached or that refuses the query, 130 when
interrupted.
"""

from .arguments import report_arguments
from .catalog import ENV_URL, REPORTS
from .main import main
from .parser import build_parser

__all__ = ["ENV_URL", "REPORTS", "build_parser", "main", "report_arguments"]
