"""``--chart FILE``: the report's headline figure per group as horizontal bars, drawn
with matplotlib (the optional extra ``charts``)."""

from __future__ import annotations

import dataclasses
import datetime as dt
import io
import math
from pathlib import Path

from ..output import write_file
from .catalog import Report
from .emit import csv_target
from .errors import CommandError, UsageError

__all__ = ["check_chart", "draw_chart"]

SUFFIXES = (".png", ".svg")
#: Bars drawn at most; the smaller groups are summed up in one more bar, "other".
MAX_BARS = 15


@dataclasses.dataclass(frozen=True)
class Series:
    column: str
    label: str
    #: "ratio" (a fraction shown as a percentage), "money" or "count"
    kind: str


@dataclasses.dataclass(frozen=True)
class Chart:
    title: str
    series: tuple[Series, ...]
    #: Result columns naming a group; empty for the report's own grouping columns.
    groups: tuple[str, ...] = ()
    #: Column weighting ratios when groups are merged (a ratio of more orders counts more).
    weight: str | None = None


CHARTS = {
    "approval": Chart(
        "Approval rate per processor and MID, most orders",
        (Series("approval%", "approval rate", "ratio"),),
        groups=("processor", "mid_number"),
        weight="order count",
    ),
    "bin": Chart(
        "Approval and chargeback rates per {groups}, most initial orders",
        (
            Series("Natural Approval Initial %", "initial approval rate", "ratio"),
            Series("CB %", "chargeback rate", "ratio"),
        ),
        weight="initial",
    ),
    "affid": Chart(
        "Gross margin and CLTV per {groups}, most initial orders",
        (Series("gm %", "gross margin", "ratio"), Series("cltv $", "CLTV", "money")),
        weight="initials",
    ),
    "mtd": Chart("Revenue per {groups}", (Series("revenue_$", "revenue", "money"),)),
    "continuity": Chart(
        "Projected revenue of upcoming cycles per {groups}",
        (Series("projected_revenue $", "projected revenue", "money"),),
    ),
    "inactive": Chart(
        "Inactive recurring orders per gateway",
        (Series("total_inactive", "inactive orders", "count"),),
        groups=("mid_number", "gateway_id"),
    ),
}


def check_chart(path: str, report: Report) -> None:
    """Refuse, before any database work, a chart that cannot be drawn or written."""
    if Path(path).suffix.lower() not in SUFFIXES:
        raise UsageError(f"--chart {path}: name a .png or .svg file")
    csv_target(path, option="--chart")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise UsageError(
            "--chart needs matplotlib: pip install 'reports[charts]' in a clone (or pip "
            "install matplotlib)"
        ) from None


def _merged(frame, columns: list[str], chart: Chart):
    """One row per group: sums of money and counts, weighted means of ratios."""
    import pandas as pd

    keys = frame[columns].astype(str).agg(" / ".join, axis=1)
    weight = frame[chart.weight].astype(float) if chart.weight in frame else None
    rows = {}
    for key, part in frame.groupby(keys, sort=False):
        rows[key] = [_combined(part[s.column].astype(float), weight, s) for s in chart.series]
    return pd.DataFrame.from_dict(rows, orient="index", columns=[s.column for s in chart.series])


def _combined(values, weight, series: Series) -> float:
    if series.kind != "ratio":
        return float(values.sum(min_count=1))
    present = values.notna()
    if weight is not None:
        w = weight.reindex(values.index)[present].fillna(0)
        if w.sum() > 0:
            return float((values[present] * w).sum() / w.sum())
    return float(values[present].mean()) if present.any() else math.nan


def _top(merged, frame, columns: list[str], chart: Chart):
    """The groups with the most volume (orders, or the figure itself where there is no
    weight), sorted by the first figure, and the rest as one "other" bar last."""
    first = chart.series[0].column
    merged = merged.dropna(subset=[first])
    keys = frame[columns].astype(str).agg(" / ".join, axis=1)
    if chart.weight in frame:
        volume = frame[chart.weight].astype(float).groupby(keys).sum()
        ranked = volume.reindex(merged.index).sort_values(ascending=False, kind="stable")
    else:
        ranked = merged[first].sort_values(ascending=False, kind="stable")
    if len(merged) <= MAX_BARS:
        return merged.sort_values(first, ascending=False, kind="stable"), None
    kept = merged.loc[ranked.index[: MAX_BARS - 1]].sort_values(first, ascending=False)
    rest = ranked.index[MAX_BARS - 1 :]
    others = frame[keys.isin(rest)]
    weight = others[chart.weight].astype(float) if chart.weight in others else None
    kept.loc[f"other ({len(rest)} groups)"] = [
        _combined(others[s.column].astype(float), weight, s) for s in chart.series
    ]
    return kept, kept.index[-1]


def _formatter(kind: str):
    from matplotlib.ticker import FuncFormatter, PercentFormatter

    if kind == "ratio":
        return PercentFormatter(1.0)
    if kind == "money":  # $2.50, not "$2", where the ticks fall between whole dollars
        return FuncFormatter(lambda x, _: f"${x:,.0f}" if float(x).is_integer() else f"${x:,.2f}")
    return FuncFormatter(lambda x, _: f"{x:,.0f}")


def _value_text(value: float, kind: str) -> str:
    if math.isnan(value):
        return "n/a"
    if kind == "ratio":
        return f"{value:.1%}"
    if kind == "money":  # cents matter in small amounts (a CLTV of $13.51)
        return f"${value:,.2f}" if abs(value) < 1000 else f"${value:,.0f}"
    return f"{value:,.0f}"


def draw_chart(path: str, report: Report, frame, labels: int, dates: dict) -> None:
    """Draw the report's chart for its result ``frame`` (whose first ``labels`` columns
    name a row) into ``path``, written whole as --csv files are."""
    from matplotlib.figure import Figure

    chart = CHARTS[report.name]
    columns = list(chart.groups) or [
        str(c) for c in frame.columns[: max(labels - report.label_columns, 1)]
    ]
    missing = [c for c in [*columns, *(s.column for s in chart.series)] if c not in frame]
    if missing:
        raise CommandError(f"--chart: the result has no column {missing[0]!r}")
    bars, other = _top(_merged(frame, columns, chart), frame, columns, chart)
    if bars.empty:
        raise CommandError("--chart: no rows to draw")
    names = list(bars.index)[::-1]  # the first on top
    figure = Figure(
        figsize=(5.5 + 3.5 * len(chart.series), 1.6 + 0.32 * len(names)), layout="constrained"
    )
    axes = figure.subplots(1, len(chart.series), sharey=True, squeeze=False)[0]
    palette = ("#4C72B0", "#DD8452")
    for index, (ax, series) in enumerate(zip(axes, chart.series, strict=True)):
        color = palette[index]
        values = [float(bars.at[name, series.column]) for name in names]
        drawn = [0.0 if math.isnan(v) else v for v in values]
        # A summed "other" bar may dwarf the rest: it is cut at the axis end, its full
        # value written beside it.
        shown = [v for name, v in zip(names, drawn, strict=True) if name != other]
        limit = max([abs(v) for v in shown] or [0.0]) * 1.35
        cut = series.kind != "ratio" and other is not None and limit > 0
        colors = ["#9E9E9E" if name == other else color for name in names]
        if cut:
            drawn = [
                min(v, limit) if name == other else v for name, v in zip(names, drawn, strict=True)
            ]
        container = ax.barh(names, drawn, color=colors)
        for number, bar in enumerate(container):  # named in an SVG file: one per group
            bar.set_gid(f"bar-{index + 1}-{len(names) - number}")
        texts = [_value_text(v, series.kind) for v in values]
        if cut and bars.at[other, series.column] > limit:
            texts[names.index(other)] += " (cut)"
        ax.bar_label(container, texts, padding=3, fontsize=8)
        if cut:
            ax.set_xlim(0, limit * 1.1)
        ax.set_title(series.label, fontsize=10)
        ax.xaxis.set_major_formatter(_formatter(series.kind))
        ax.margins(x=0.18)
        ax.grid(axis="x", alpha=0.3)
        ax.set_axisbelow(True)
        for side in ("top", "right"):
            ax.spines[side].set_visible(False)
    axes[0].set_ylabel(" / ".join(columns))
    axes[0].tick_params(axis="y", labelsize=8)
    if report.dates:
        when = f"{dates['start_date']} to {dates['end_date']}"
    else:
        when = f"as of {dt.date.today()}"
    title = chart.title.format(groups=" / ".join(columns))
    figure.suptitle(f"{report.name}: {title}, {when}", fontsize=11)
    data = io.BytesIO()
    figure.savefig(data, format=Path(path).suffix.lower()[1:], dpi=110)
    target = csv_target(path, option="--chart")
    try:
        if target.in_place:
            with open(target.path, "wb") as fh:
                fh.write(data.getvalue())
        else:
            write_file(target.path, data.getvalue(), mode=target.mode, owner=target.owner)
    except OSError as exc:
        raise CommandError(f"cannot write {path}: {exc.strerror or exc}") from None
