"""What an analyst reaches for: the query text (--sql), fewer rows and columns, other
formats (Markdown read back by a Markdown parser), the columns to group by, charts, and
on a terminal the expanded layout and the pager (through a pseudo-terminal)."""

from __future__ import annotations

import fcntl
import importlib.metadata
import json
import os
import pty
import re
import select
import struct
import subprocess
import sys
import termios
import xml.etree.ElementTree as ElementTree

import pytest
import sqlalchemy

from reports import cli, orvesta


def now(text: str) -> str:
    return re.sub(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+", "NOW", text)


@pytest.fixture
def sent(monkeypatch):
    """The statements every engine sends, as the database receives them."""
    statements: list[str] = []

    def record(conn, cursor, statement, parameters, context, executemany):
        statements.append(cursor.query.decode())

    sqlalchemy.event.listen(sqlalchemy.engine.Engine, "after_cursor_execute", record)
    yield statements
    sqlalchemy.event.remove(sqlalchemy.engine.Engine, "after_cursor_execute", record)


SQL = [  # each report, with options that change its text
    ["inactive"],
    ["continuity", "--group-by", "crm_id,cc_type", "--order-by=-crm_id"],
    ["approval", "--filter", "corp=Summit Holdings"],
    ["bin", "--group-by", "crm_id,bin"],
    ["affid", "--filter", "affid=50%OFF", "--include-test-cards"],  # % in names and values
    ["mtd", "--group-by", "processor"],
]


@pytest.mark.parametrize("argv", SQL, ids=[a[0] for a in SQL])
def test_sql_is_the_text_the_report_runs(run, db, date_options, sent, monkeypatch, argv):
    argv = [*argv, *date_options(argv[0])]
    monkeypatch.setattr("reports.pg.EmbeddedPostgres.start", None)  # no server for --sql
    shown = run(*argv, "--sql")
    assert (shown.status, shown.err) == (0, ""), shown.err
    assert sent == []
    assert run(*argv, "--db", db.url, "--json").status == 0
    # Reports that look ahead from now carry the moment of the run in their text.
    assert now(shown.out) == now(sent[-1] + "\n")


def test_limit_and_columns_on_the_ordered_result(run, db, date_options):
    argv = ["affid", "--db", db.url, "--json", "--order-by=-initials", *date_options("affid")]
    result = run(*argv, "--columns", "initials,affid", "--limit", "3")
    assert result.status == 0, result.err
    full = json.loads(run(*argv).out)
    assert len(full) > 3
    assert json.loads(result.out) == [
        {"initials": r["initials"], "affid": r["affid"]} for r in full[:3]
    ]


def _cell_texts(tokens) -> list[list[str]]:
    rows, row, inside = [], [], False
    for token in tokens:
        if token.type == "tr_open":
            row = []
        elif token.type in ("th_open", "td_open"):
            inside = True
        elif token.type == "inline" and inside:
            row.append("".join(child.content for child in token.children or []))
            inside = False
        elif token.type == "tr_close":
            rows.append(row)
    return rows


def test_markdown_reads_back_as_the_same_table(run, db, period, date_options, same_rows):
    from markdown_it import MarkdownIt

    argv = ["approval", "--db", db.url, *date_options("approval")]
    result = run(*argv, "--format", "markdown", "--null", "NULL")
    assert result.status == 0, result.err
    header, *body = _cell_texts(MarkdownIt("commonmark").enable("table").parse(result.out))
    rows = [
        {
            name: ("" if cell == "NULL" else cell.replace(",", ""))
            for name, cell in zip(header, row, strict=True)
        }
        for row in body
    ]
    expected = orvesta.approval_report(db, reporting_query=period)
    same_rows(rows, expected, ["corporation_name", "processor", "mid_number", "cc_type"], tol=5e-5)
    assert any("&" in row["corporation_name"] for row in rows)


def test_columns_lists_the_report_table_and_refuses_a_report_without(run, db):
    result = run("columns", "affid", "--db", db.url, "--json")
    assert result.status == 0, result.err
    listed = json.loads(result.out)
    assert [row["column"] for row in listed] == list(db.tables["reporting.cpa_orders"].columns)
    assert {"affid": "text", "crm_id": "integer"}.items() <= {
        row["column"]: row["type"] for row in listed
    }.items()
    refused = run("columns", "inactive", "--db", db.url)
    assert (refused.status, refused.err) == (
        2, "reports columns: error: the inactive report takes no grouping or filter columns\n"
    )  # fmt: skip


def test_version_from_the_package_metadata(run):
    result = run("--version")
    assert (result.status, result.out) == (0, f"reports {importlib.metadata.version('reports')}\n")


@pytest.mark.parametrize("suffix", ["svg", "png"])
def test_chart_file_with_one_bar_per_group(run, db, date_options, tmp_path, suffix):
    target = tmp_path / f"revenue.{suffix}"
    argv = ["mtd", "--db", db.url, "--group-by", "processor", *date_options("mtd"), "--json"]
    result = run(*argv, "--chart", str(target))
    assert result.status == 0, result.err
    groups = {row["processor"] for row in json.loads(result.out)}
    data = target.read_bytes()
    if suffix == "png":
        assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 1000
        from matplotlib import image

        assert image.imread(target).shape[2] in (3, 4)
        return
    root = ElementTree.fromstring(data)
    bars = [e for e in root.iter() if e.get("id", "").startswith("bar-1-")]
    assert len(bars) == len(groups) > 1


def test_chart_without_matplotlib_says_how_to_get_it(run, monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    result = run(
        "mtd", "--db", "postgresql://u@/d?host=/nonexistent", "--chart", str(tmp_path / "c.png")
    )
    assert result.status == 2
    assert "pip install 'reports[charts]'" in result.err
    assert os.listdir(tmp_path) == []


def _on_terminal(argv: list[str], env: dict, rows: int = 24, columns: int = 80) -> str:
    """What the command shows on a terminal of the given size."""
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
    process = subprocess.Popen(
        [sys.executable, "-m", "reports", *argv], stdin=follower, stdout=follower,
        stderr=subprocess.PIPE, env=env,
    )  # fmt: skip
    os.close(follower)
    shown = b""
    try:
        while True:
            ready, _, _ = select.select([leader], [], [], 120)
            assert ready, "the command stopped writing"
            try:
                chunk = os.read(leader, 65536)
            except OSError:  # the terminal closed with the last writer
                break
            if not chunk:
                break
            shown += chunk
        assert process.wait(120) == 0, process.stderr.read()
    finally:
        os.close(leader)
        if process.poll() is None:
            process.kill()
    return shown.decode().replace("\r\n", "\n")


@pytest.mark.parametrize(
    "options, expanded, paged",
    [([], True, True),  # 28 columns on 80: one record per block, longer than the screen
     (["--no-pager"], True, False),
     (["--columns", "affid,initials"], False, False),  # fits: the table, shorter than 24 lines
     (["--columns", "affid,initials", "--expanded"], True, False)],  # 15 lines
)  # fmt: skip
def test_terminal_output_expanded_when_too_wide_and_paged_when_too_long(
    db, date_options, tmp_path, options, expanded, paged
):
    paged_file = tmp_path / "paged.txt"
    env = {k: v for k, v in os.environ.items() if k != cli.ENV_URL}
    env["PAGER"] = f"sh -c 'cat > {paged_file}'"
    argv = ["affid", "--db", db.url, *date_options("affid"), *options]
    shown = _on_terminal(argv, env)
    text = paged_file.read_text() if paged else shown
    assert paged_file.exists() == paged
    if paged:
        assert shown == ""
    assert ("-[ RECORD 1 ]" in text) == expanded
    if expanded:
        assert text.count("-[ RECORD ") == 5 and "initials" in text
    else:
        assert text.splitlines()[:2] == ["affid     initials", "--------  --------"]
