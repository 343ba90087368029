"""Each report page against the sample warehouse: the table the command would print, its
colored cells, and downloads byte for byte the command's output; refused forms."""

from __future__ import annotations

import datetime as dt
import html
import json
import re

import pytest

SIXTY_DAYS_AGO = str(dt.date.today() - dt.timedelta(days=60))


def _table(page: str) -> tuple[list[str], list[list[tuple[str, str]]]]:
    """The result table's header, and its rows as (text, attributes) per cell."""
    head, body = re.search(r'<table id="result">(.*?)<tbody>(.*?)</tbody>', page, re.S).groups()
    header = [html.unescape(name) for name in re.findall(r'class="sort"[^>]*>(.*?)<', head)]
    rows = [
        [(html.unescape(text), attrs) for attrs, text in re.findall(r"<td([^>]*)>(.*?)</td>", row)]
        for row in re.findall(r"<tr>(.*?)</tr>", body, re.S)
    ]
    return header, rows


# report, form fields, the same request as command arguments, a column colored from
# ui_tintora (None: none of the report's columns has a color table)
CASES = [
    ("inactive", {}, [], "enabled"),
    ("continuity", {"group_by": "cc_type,crm_id", "f.crm": ["1", "2"]},
     ["--group-by", "cc_type,crm_id", "--filter", "crm_id=1", "--filter", "crm_id=2"],
     "natural_projected_approval %"),
    ("approval", {"period": "last_30_days", "f.card_type": ["visa", "master"]},
     ["--period", "last_30_days", "--filter", "cc_type=visa", "--filter", "cc_type=master"],
     "approval%"),
    ("bin", {"period": "90"}, ["--period", "90"], "bin_category"),
    ("affid", {"start": SIXTY_DAYS_AGO, "group_by": "crm_id,affid", "f.crm": "1",
               "test_cards": "on", "order_by": "-initials"},
     ["--start", SIXTY_DAYS_AGO, "--group-by", "crm_id,affid", "--filter", "crm_id=1",
      "--include-test-cards", "--order-by=-initials"], "chargeback %"),
    ("mtd", {"period": "last_30_days", "group_by": "processor", "more": "crm_id=2"},
     ["--period", "last_30_days", "--group-by", "processor", "--filter", "crm_id=2"], None),
]  # fmt: skip


@pytest.mark.parametrize(("name", "form", "argv", "colored"), CASES, ids=[c[0] for c in CASES])
def test_report_page_shows_the_commands_result(
    client, command, page_error, name, form, argv, colored
):
    response = client.get(f"/report/{name}", params=form)
    assert response.status_code == 200, page_error(response.text)
    header, rows = _table(response.text)
    assert rows, "a page without rows proves nothing"
    assert f"{len(rows):,} row" in response.text
    # The cells are the command's table cells, row by row and in its order.
    printed = command(name, *argv).splitlines()
    assert printed[0].split() == " ".join(header).split()
    for line, row in zip(printed[2:], rows, strict=True):
        assert line.split() == " ".join(text for text, _ in row).split()
    # Colors come from the color tables, only on the columns that have one.
    colored_at = {i for row in rows for i, (_, attrs) in enumerate(row) if "data-color" in attrs}
    ratios = {i for i, name in enumerate(header) if name.endswith("%")}
    expected = {header.index(colored)} if colored else set()
    assert expected <= colored_at <= expected | ratios
    # The SQL shown is the command's --sql text; the chart is its --chart drawing.
    shown = re.search(r'<pre id="sql">(.*?)</pre>', response.text, re.S)[1]
    now = re.compile(r"\d\d:\d\d:\d\d\.\d+")  # continuity looks ahead from now()
    assert now.sub("", html.unescape(shown) + "\n") == now.sub("", command(name, *argv, "--sql"))
    chart = client.get(f"/report/{name}.svg", params=form)
    assert chart.headers["content-type"] == "image/svg+xml" and 'id="bar-1-1"' in chart.text
    # Downloads: the command's --csv and --json output for the same request.
    csv = client.get(f"/report/{name}.csv", params=form)
    assert csv.headers["content-disposition"].startswith(f'attachment; filename="{name}')
    assert csv.text == command(name, *argv, "--csv", "-")
    downloaded = client.get(f"/report/{name}.json", params=form).text
    assert downloaded == command(name, *argv, "--json")
    assert len(json.loads(downloaded)) == len(rows)


@pytest.mark.parametrize(
    ("name", "form", "message"),
    [
        ("approval", {"start": "2026-13-01"}, "start: not a date: '2026-13-01'"),
        ("approval", {"start": "2026-11-30", "end": "2026-11-01"}, "is after the end date"),
        ("approval", {"period": "fortnight"}, "unknown period 'fortnight'"),
        ("approval", {"period": "last_7_days", "end": "2026-11-01"}, "period cannot be combined"),
        ("bin", {"group_by": "crm_id"}, "grouping must include bin"),
        ("affid", {"group_by": "affid; drop table x"}, "invalid grouping column"),
        ("affid", {"f.card type": "visa"}, "invalid column name 'card type'"),
        ("affid", {"more": "cc_type visa"}, "expected COLUMN=VALUE"),
        ("mtd", {"order_by": "revenue_$; select 1"}, "invalid"),
        # Checked against the database's catalog, as the command does.
        (
            "affid",
            {"group_by": "affid,campain_id"},
            "no grouping column 'campain_id' in reporting.cpa_orders (did you mean campaign_id",
        ),
        ("approval", {"f.card_type": "visa", "more": "bin=411111"}, "no filter column 'bin'"),
    ],
)
def test_refused_form_shows_one_line_and_keeps_the_form(client, page_error, name, form, message):
    response = client.get(f"/report/{name}", params=form)
    assert response.status_code == 400
    error = html.unescape(page_error(response.text) or "")
    assert message in error and "\n" not in error and "--" not in error
    assert 'id="result"' not in response.text
    for value in form.values():
        assert (
            f'value="{html.escape(value)}"' in response.text or html.escape(value) in response.text
        )
    download = client.get(f"/report/{name}.csv", params=form)
    assert (download.status_code, message in download.text) == (400, True)


def test_database_failure_is_one_message(client, page_error):
    response = client.get("/report/affid", params={"f.crm": "first"})
    assert response.status_code == 502
    error = html.unescape(page_error(response.text))
    assert error == 'the query failed: invalid input syntax for type integer: "first"'
    assert "Traceback" not in response.text and 'id="result"' not in response.text


def test_values_are_escaped(client):
    hostile = "<script>alert('x')</script>"
    response = client.get("/report/approval", params={"f.corporation": hostile})
    assert response.status_code == 200
    assert "<script>alert" not in response.text
    # And were anything ever to slip through, the browser runs only the package's script.
    assert "script-src" not in response.headers["content-security-policy"]
    assert response.headers["content-security-policy"].startswith("default-src 'self';")
    # Echoed in the form and written into the SQL (quotes doubled), escaped both times.
    assert 'value="&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"' in response.text
    assert "&#39;&lt;script&gt;alert(&#39;&#39;x&#39;&#39;)&lt;/script&gt;&#39;" in response.text
    # Text from the database is escaped too: the sample has a corporation "O'Hara & Sons".
    everything = client.get("/report/approval", params={"period": "90"}).text
    assert "O&#39;Hara &amp; Sons" in everything and "O'Hara & Sons" not in everything


def test_unknown_report_is_not_found(client):
    response = client.get("/report/nope")
    assert response.status_code == 404 and "no report &#39;nope&#39;" in response.text
