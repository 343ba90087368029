"""A typed host application's use of the report and color index modules, checked with
mypy --strict against the installed package's stubs (scripts/check-typing); never run.

Lines ending in `# type: ignore[code]` are calls the stubs must refuse: with
warn_unused_ignores (part of --strict) an ignore that is no longer needed is an error.
"""

from __future__ import annotations

import datetime
from dataclasses import dataclass
from decimal import Decimal
from typing import NoReturn, TypedDict

import pandas as pd
import sqlalchemy
from typing_extensions import assert_type

from reports import orvesta, tintora


@dataclass(frozen=True)
class Database:
    engine: sqlalchemy.Engine


class Period(TypedDict):
    start_date: datetime.date
    end_date: datetime.date
    label: str


class Request:
    """A report request that is not a dict: anything subscriptable by the two keys."""

    def __init__(self, start: datetime.date, end: datetime.date) -> None:
        self._dates = {"start_date": start, "end_date": end}

    def __getitem__(self, key: str) -> datetime.date:
        return self._dates[key]


def every_report(db: Database) -> list[pd.DataFrame]:
    first = orvesta.get_first_dom()
    assert_type(first, datetime.date)
    month = {"start_date": first, "end_date": datetime.date.today()}
    as_text = {"start_date": "2026-11-01", "end_date": "2026-11-30 23:59:59"}
    filters: dict[str, list[int]] = {"crm_id": [1, 2]}
    providers: list[str] = orvesta.ALERT_PROVIDERS
    frames = [
        orvesta.inactive_report(db, reporting_query=month),
        orvesta.inactive_report(db, [], {"corp": "Summit", "is_cascade": True}, as_text),
        orvesta.continuity_report(db, ["crm_id", "cc_type"], filters, Request(first, first)),
        orvesta.continuity_report(
            db, "crm_id", reporting_query=month, order_by=["crm_id desc nulls last"]
        ),
        orvesta.approval_report(db, filters={"processor": ("a", "b")}, reporting_query=month),
        orvesta.bin_report(db, ["crm_id", "bin"], {"cc_type": {"visa", None}}, month),
        orvesta.affid_report(
            db,
            group_by=["affid"],
            filters={"amount": Decimal("9.99"), "day": datetime.date(2026, 11, 2)},
            reporting_query=month,
            order_by=["-initials", ("affid", "asc")],
            inc_test_cc=True,
        ),
        orvesta.affid_report(db, ["affid"], reporting_query=month, order_by="initials desc"),
        orvesta.mtd_report(db, ["processor"], month, {"crm_id": None}, False),
        orvesta.mtd_report(db, "crm_id", reporting_query=as_text, providers=providers),
        orvesta.mtd_report(db, ["crm_id"], Period(start_date=first, end_date=first, label="")),
    ]
    for frame in frames:
        assert_type(frame, pd.DataFrame)
    return frames


def colors(db: Database) -> dict[str, dict[str, str]]:
    reader = tintora.Tintora(db)
    assert_type(reader.schema, str)
    tintora.Tintora._col_map["corp"] = "corporation_name"
    selection: dict[str, list[str]] = {"corp": ["Summit"], "processor": []}
    assert_type(tintora.Tintora.name_map(selection), dict[str, list[str]])
    by_number = tintora.TintoraV2.name_map({1: "one"})
    assert_type(by_number, dict[int | str, str])
    rows = tintora.TintoraV2(db).get("status_colors", key="label")
    rows.update(reader.get(name="status_colors", key="label"))
    return rows


class Partial(TypedDict, total=False):
    start_date: datetime.date
    end_date: datetime.date


def refused(db: Database) -> None:
    """Calls the stubs refuse: each ignore must stay needed."""
    numbers = {"start_date": 1, "end_date": 2}
    partial = Partial(start_date=datetime.date.today())
    orvesta.bin_report(db, ["bin"], reporting_query=partial)  # type: ignore[arg-type]
    orvesta.mtd_report(db, ["crm_id"], numbers)  # type: ignore[arg-type]
    orvesta.affid_report(db, "affid", reporting_query={}, filters={"a": {"b": 1}})  # type: ignore[dict-item]
    orvesta.bin_report(db, [1], reporting_query={})  # type: ignore[list-item]
    orvesta.mtd_report(db, reporting_query={})  # type: ignore[call-overload]
    orvesta.continuity_report(db, reporting_query={}, order_by=True)  # type: ignore[call-overload]
    orvesta.inactive_report(object(), reporting_query={})  # type: ignore[call-overload]
    orvesta.get_first_dom(1)  # type: ignore[call-arg]
    tintora.Tintora(db).get(5, "label")  # type: ignore[arg-type]
    tintora.Tintora.name_map(None)  # type: ignore[arg-type]


def without_request(db: Database) -> NoReturn:
    """reporting_query left out: the call raises TypeError, and the stubs say so."""
    orvesta.approval_report(db, filters={"corp": "Summit"})
