"""Color index tables that the web host reads to color report cells: chargeback-ratio
bands and gateway status colors, beside the approval bands and BIN category colors
that the generator makes. Kept apart from the generator: these rows are fixed and do
not depend on the scale, the seed or the day."""

from __future__ import annotations

import pandas as pd
import sqlalchemy

__all__ = ["REPORT_COLOR_TABLES", "load_report_colors"]

_DDL = """
CREATE TABLE ui_tintora.chargeback_bands (
    band        text PRIMARY KEY,
    lower_bound numeric(5, 4) NOT NULL,
    upper_bound numeric(5, 4) NOT NULL,
    color       text NOT NULL,
    note        text
);

CREATE TABLE ui_tintora.gateway_status_colors (
    status text PRIMARY KEY,
    label  text NOT NULL,
    color  text NOT NULL
);
"""

# Card schemes start monitoring merchants at about 0.9% chargebacks of approved orders.
REPORT_COLOR_TABLES = {
    "ui_tintora.chargeback_bands": pd.DataFrame(
        {
            "band": ["ok", "watch", "excessive"],
            "lower_bound": [0.0, 0.005, 0.009],
            "upper_bound": [0.005, 0.009, 1.0],
            "color": ["#5cb85c", "#f0ad4e", "#d9534f"],
            "note": [None, "near the schemes' monitoring threshold", "in monitoring"],
        }
    ),
    "ui_tintora.gateway_status_colors": pd.DataFrame(
        {
            "status": ["true", "false", "unknown"],
            "label": ["enabled", "disabled", "no setting"],
            "color": ["#5cb85c", "#d9534f", "#999999"],
        }
    ),
}


def load_report_colors(engine: sqlalchemy.Engine) -> dict[str, pd.DataFrame]:
    """Create and fill the tables of ``REPORT_COLOR_TABLES`` in the schema ui_tintora,
    which must exist and must not hold them yet; their rows, "schema.table" -> frame."""
    from . import _execute_script, copy_frames

    _execute_script(engine, _DDL)
    copy_frames(engine, REPORT_COLOR_TABLES)
    return {name: frame.copy() for name, frame in REPORT_COLOR_TABLES.items()}
