"""Tintora.get against the color index tables of the sample warehouse."""

from __future__ import annotations

import pandas as pd
import pytest
import sqlalchemy.exc


def expected_rows(frame: pd.DataFrame, key: str) -> dict:
    """Every cell as the text pandas makes of it: NULL text as 'None', a missing float
    as 'nan', a numeric 0.7500 as '0.75', a boolean as 'True'."""
    return {
        str(row[key]): {column: str(row[column]) for column in frame.columns if column != key}
        for _, row in frame.iterrows()
    }


@pytest.fixture(params=["Tintora", "TintoraV2"])
def reader(request, tintora, db):
    return getattr(tintora, request.param)(db)


@pytest.mark.parametrize(
    "schema, table, key",
    [
        (None, "approval_bands", "band"),
        (None, "bin_category_colors", "bin_category"),
        (None, "status_colors", "status_code"),
        (None, "status_colors", "color"),
        (None, "empty_palette", "name"),
        ("ui_54407332_clients", "corps", "corp_id"),
    ],
)
def test_whole_table_keyed_by_a_column_every_cell_as_text(reader, tables, schema, table, key):
    if schema:  # else the default, ui_tintora
        reader.schema = schema
    frame = tables[f"{schema or 'ui_tintora'}.{table}"]
    assert reader.get(table, key) == expected_rows(frame, key)


@pytest.mark.parametrize(
    "table, key, error",
    [
        ("no_such_table", "name", sqlalchemy.exc.ProgrammingError),
        ("status_colors", "no_such_column", KeyError),
    ],
)
def test_missing_table_or_key_column(reader, table, key, error):
    with pytest.raises(error, match="no_such"):
        reader.get(table, key)
