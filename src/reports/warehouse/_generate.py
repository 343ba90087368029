"""Deterministic sample data for the reporting warehouse (see ``generate``)."""

from __future__ import annotations

import datetime as dt

import numpy as np
import pandas as pd

from ._business import draw_customers, simulate
from ._facts import continuity, cpa_orders, cycle_tables, order_events, recurring_orders
from ._money import revenue_transactions

# Orders reach their gateways through a small fixed set of instances. Instance 4 is
# archived, so the BIN report leaves it out; instance 2's archived flag is unknown
# (NULL), which counts as not archived.
_INSTANCES = [(1, "alpha", False), (2, "bravo", None), (3, "charlie", False), (4, "delta", True)]
_CRM_IDS = np.array([1, 2, 3, 4])

# Corporation 4 owns no MID; some MIDs name corporation 9, which does not exist. The
# names carry a quote and a percent sign on purpose: filter values must survive both.
_CORPS = [
    (1, "Northwind Payments LLC"),
    (2, "O'Hara & Sons 100% Retail"),
    (3, "Summit Holdings"),
    (4, "Idle Corp"),
]
_ORPHAN_CORP_ID = 9
_PROCESSORS = np.array(["proc_alpha", "proc_beta", "proc_gamma"], dtype=object)

# Approval rates differ by processor and corporation, and a little by MID.
_PROCESSOR_FACTOR = {"proc_alpha": 1.0, "proc_beta": 0.96, "proc_gamma": 0.9}
_CORP_FACTOR = {1: 1.0, 2: 0.97, 3: 1.03, _ORPHAN_CORP_ID: 0.95}
# Gateways that serve first orders and are deliberately poor, and busy: the instance
# routes three times their peers' share to them. One approves about a third of what
# its peers do, the other is a dead MID that declines everything.
POOR_GATEWAY = 2
DEAD_GATEWAY = 4


def _gateway_table(rng: np.random.Generator, n_gw: int, today: dt.date) -> pd.DataFrame:
    idx = np.arange(n_gw)
    gw = pd.DataFrame(
        {
            "gateway_id": idx + 1,
            "crm_id": _CRM_IDS[idx % len(_CRM_IDS)],
            "mid_id": [str(1000 + i) for i in idx],
            "mid_number": [f"MN{700000 + 37 * i:06d}" for i in idx],
            "step": rng.choice([1, 2], size=n_gw, p=[0.7, 0.3]),
            "processor": rng.choice(_PROCESSORS, size=n_gw),
            "corp_id": rng.choice([1, 2, 3], size=n_gw),
        }
    )
    gw.loc[idx % 13 == 6, "corp_id"] = _ORPHAN_CORP_ID
    # Every instance has gateways for both steps, and a sound one for first orders
    # besides the poor ones.
    gw.loc[idx < 12, "step"] = np.repeat([1, 2, 1], 4)[: min(n_gw, 12)]
    gw["factor"] = (
        gw["processor"].map(_PROCESSOR_FACTOR)
        * gw["corp_id"].map(_CORP_FACTOR)
        * rng.uniform(0.94, 1.04, size=n_gw)
    )
    gw.loc[gw["gateway_id"] == POOR_GATEWAY, "factor"] *= 0.35
    gw["weight"] = np.where(gw["gateway_id"].isin([POOR_GATEWAY, DEAD_GATEWAY]), 3.0, 1.0)
    gw.loc[gw["gateway_id"] == DEAD_GATEWAY, "factor"] = 0.0
    closed = (rng.random(n_gw) < 0.2) | (gw["gateway_id"] == DEAD_GATEWAY).to_numpy()
    close_dates = [today - dt.timedelta(days=int(d)) for d in rng.integers(1, 300, size=n_gw)]
    gw["close_date"] = pd.to_datetime(
        pd.Series(close_dates, dtype=object).where(closed, None), errors="coerce"
    )
    # Which related rows the warehouse is missing for a gateway.
    gw["has_mid_row"] = idx % 11 != 7
    gw["has_cap"] = idx % 7 != 3
    gw["has_trailing_cap"] = idx % 9 != 4
    gw["has_settings"] = idx % 8 != 5
    return gw


def _client_tables(rng: np.random.Generator, gw: pd.DataFrame) -> dict[str, pd.DataFrame]:
    corp_names = dict(_CORPS)
    steps = gw[["crm_id", "gateway_id", "mid_number", "mid_id", "step", "close_date"]].copy()
    mids = gw.loc[gw.has_mid_row, ["mid_id", "processor", "corp_id"]].reset_index(drop=True)

    cap = gw.loc[gw.has_cap, ["mid_id", "step", "corp_id"]].copy()
    cap["mid_id"] = cap["mid_id"].astype("int64")
    cap["corporation_name"] = cap.pop("corp_id").map(corp_names).fillna("Unassigned")
    n = len(cap)
    cap["daily_available"] = np.round(rng.uniform(0, 5000, size=n), 2)
    cap["monthly_available"] = np.round(rng.uniform(0, 150000, size=n), 2)
    cap["daily_transaction_cap"] = rng.integers(50, 500, size=n)
    cap["used_dtc"] = rng.integers(0, 50, size=n)

    trailing = gw.loc[gw.has_trailing_cap, ["mid_id", "step"]].copy()
    trailing["available_tc"] = np.round(rng.uniform(0, 90000, size=len(trailing)), 2)

    settings = gw.loc[gw.has_settings, ["crm_id", "gateway_id"]].copy()
    settings["gateway_id"] = settings["gateway_id"].astype(str)
    settings["enabled"] = rng.random(len(settings)) < 0.75

    return {
        "ui_54407332_clients.instance_data": pd.DataFrame(
            _INSTANCES, columns=["crm_id", "crm_name", "archived"]
        ).astype({"archived": "boolean"}),
        "ui_54407332_clients.corps": pd.DataFrame(_CORPS, columns=["corp_id", "corporation_name"]),
        "ui_54407332_clients.mids": mids,
        "ui_54407332_clients.steps": steps,
        "ui_54407332_clients.gateway_settings": settings.reset_index(drop=True),
        "processing.cap": cap.reset_index(drop=True),
        "processing.trailing_cap": trailing.reset_index(drop=True),
    }


def _bins(rng, n_bins):
    """BINs, how often customers carry each (a few issuers' BINs are most cards), and
    which are prepaid."""
    first = rng.choice(["4", "5", "6", "3"], size=n_bins * 2, p=[0.45, 0.3, 0.15, 0.1])
    rest = rng.integers(0, 100000, size=n_bins * 2)
    bins = pd.unique(np.array([f"{f}{r:05d}" for f, r in zip(first, rest, strict=True)]))
    bins = np.array(bins[:n_bins], dtype=object)
    weights = 1 / (np.arange(n_bins) + 5.0) ** 1.05
    return bins, weights / weights.sum(), rng.random(n_bins) < 0.08


def _blacklist(rng, bins, today) -> pd.DataFrame:
    rows = []
    for crm_id in _CRM_IDS:
        listed = bins[rng.random(len(bins)) < 0.25]
        n = len(listed)
        # The most common BINs are never blocked outright.
        enabled = (rng.random(n) < 0.25) & ~np.isin(listed, bins[:10])
        shave = ~enabled & (rng.random(n) < 0.5)
        # Blocked entries that also shave stay 'block': enabled takes precedence.
        shave |= enabled & (rng.random(n) < 0.3)
        block_pct = pd.Series(rng.choice([0.0, 25.0, 50.0, 100.0], size=n)).where(
            rng.random(n) > 0.1
        )
        since = pd.Series(
            pd.Timestamp(today) - pd.to_timedelta(rng.integers(1, 400, size=n), "D")
        ).where(rng.random(n) > 0.3)
        rows.append(
            pd.DataFrame(
                {
                    "crm_id": crm_id,
                    "bin": listed,
                    "effective_from": since,
                    "enabled": enabled,
                    "block_pct": block_pct,
                    "enable_shave": shave,
                }
            )
        )
    return pd.concat(rows, ignore_index=True)


def _tintora_tables(today: dt.date) -> dict[str, pd.DataFrame]:
    stamp = pd.Timestamp(today) - dt.timedelta(days=3, hours=4, minutes=30)
    return {
        "ui_tintora.approval_bands": pd.DataFrame(
            {
                "band": ["low", "mid", "high"],
                "lower_bound": [0.0, 0.5, 0.75],
                "upper_bound": [0.5, 0.75, 1.0],
                "color": ["#d9534f", "#f0ad4e", "#5cb85c"],
                "note": [None, "watch", "it's fine: 100% ok"],
            }
        ),
        "ui_tintora.bin_category_colors": pd.DataFrame(
            {
                "bin_category": ["block", "shave", "normal"],
                "color": ["#000000", "#777777", "#ffffff"],
                "sort_order": [1, 2, 3],
                "highlighted": [True, False, False],
            }
        ),
        "ui_tintora.status_colors": pd.DataFrame(
            {
                "status_code": [200, 404, 500],
                "label": ["ok", "missing", "error"],
                "color": ["green", "grey", "red"],
                "weight": [1.5, np.nan, 0.25],
                "updated_at": [stamp, stamp + dt.timedelta(seconds=1), stamp],
            }
        ),
        # Card schemes start monitoring merchants at about 0.9% chargebacks of approved orders.
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
        "ui_tintora.empty_palette": pd.DataFrame(
            {"name": pd.Series([], dtype=object), "color": pd.Series([], dtype=object)}
        ),
    }


def _block_effects(blacklist: pd.DataFrame, c, today: dt.date):
    """Functions of (customers, times): the share of orders their BIN's blacklist entry
    blocks (blocked entries) or shaves (shaved ones) from its effective date on."""
    entries = pd.DataFrame({"crm_id": c.crm_id, "bin": c.bin}).merge(
        blacklist, on=["crm_id", "bin"], how="left"
    )
    since = ((entries["effective_from"] - pd.Timestamp(today)) / np.timedelta64(1, "D")).fillna(
        -np.inf
    )
    since = since.to_numpy().astype(float)
    pct = entries["block_pct"].to_numpy(dtype=float, na_value=np.nan) / 100
    enabled = entries["enabled"].eq(True).to_numpy()
    shaved = ~enabled & entries["enable_shave"].eq(True).to_numpy()
    block_share = np.where(enabled, np.nan_to_num(pct, nan=1.0), 0.0)
    shave_share = np.where(shaved, np.nan_to_num(pct, nan=0.5), 0.0)

    def block(cust, when):
        return np.where(when >= since[cust], block_share[cust], 0.0)

    def shave(cust, when):
        return np.where(when >= since[cust], shave_share[cust], 0.0)

    return block, shave


def _simulate(seed, n_customers, span_days, gw, bins, weights, prepaid, blacklist, today):
    rng = np.random.default_rng([seed, n_customers])
    c = draw_customers(rng, n_customers, span_days, bins, weights, prepaid)
    block, shave = _block_effects(blacklist, c, today)
    orders, status = simulate(rng, c, gw, block)
    return rng, c, orders, status, shave


def _exactly(scale, seed, span_days, *config):
    """A simulation with exactly ``scale`` orders: enough customers, then whole customers
    left out, picked at random, until the orders add up."""
    n = max(1, round(scale / 3))
    for _ in range(50):
        rng, c, orders, status, shave = _simulate(seed, n, span_days, *config)
        surplus = len(orders) - scale
        if surplus < 0:  # too few: more customers, by the orders each brought
            n += max(1, int(np.ceil(-surplus * 1.05 * n / max(len(orders), 1))))
            continue
        counts = orders["customer"].value_counts()
        dropped = []
        for customer, count in counts.sample(frac=1, random_state=rng).items():
            if surplus == 0:
                break
            if count <= surplus:
                dropped.append(customer)
                surplus -= count
        if surplus == 0:
            keep = ~orders["customer"].isin(dropped)
            orders = orders[keep].reset_index(drop=True)
            status = status[~status["customer"].isin(dropped)]
            return rng, c, orders, status, shave
        n += 1
    raise RuntimeError(f"no simulation of {scale} orders")  # pragma: no cover


def generate_tables(
    scale: int, seed: int, today: dt.date, span_days: int
) -> dict[str, pd.DataFrame]:
    rng = np.random.default_rng(seed)
    n_gw = int(np.clip(scale // 40, 16, 4000))
    n_bins = min(max(48, scale // 3), 50_000)
    gw = _gateway_table(rng, n_gw, today)
    bins, weights, prepaid = _bins(rng, n_bins)
    tables = _client_tables(rng, gw)
    blacklist = _blacklist(rng, bins, today)
    tables["ui_54407332_bins.bin_blacklist"] = blacklist
    rng, c, orders, status, shave = _exactly(
        scale, seed, span_days, gw, bins, weights, prepaid, blacklist, today
    )
    orders = orders.sort_values(["time", "customer", "step"], kind="stable", ignore_index=True)
    orders["order_id"] = np.arange(1, len(orders) + 1)
    events = order_events(rng, orders, c)
    cpa = cpa_orders(rng, orders, events, c, status, today, shave)
    tables["processing.recurring_orders"] = recurring_orders(rng, orders, status, c, today)
    tables["reporting.continuity"] = continuity(rng, orders, status, c, gw, today)
    tables.update(cycle_tables(orders, c, today))
    # The cohort table lies in acquisition order, as it is rebuilt day by day.
    order = np.lexsort((cpa["order_id"].to_numpy(), cpa["acquisition_date"].to_numpy()))
    tables["reporting.cpa_orders"] = cpa.iloc[order].reset_index(drop=True)
    tables["reporting.ui_revenue_transactions"] = revenue_transactions(
        rng, orders, events, cpa, gw, dict(_CORPS), today
    )
    tables.update(_tintora_tables(today))
    return tables
