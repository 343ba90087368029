"""Deterministic sample data for the reporting warehouse (see ``generate``)."""

from __future__ import annotations

import datetime as dt

import numpy as np
import pandas as pd

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

_DECLINE_REASONS = np.array(
    ["Insufficient funds", "Do not honor", "Issuer unavailable", "Card expired"], dtype=object
)
_AFFIDS = np.array(["AFF-100", "AFF-200", "AFF-300", "50%OFF", "O'Reilly"], dtype=object)
_ALERT_PROVIDERS = np.array(["ethoca", "rdr", "verifi"], dtype=object)

# Gateway numbers that orders use but no steps row describes.
_UNKNOWN_GATEWAYS = 3

# Edge-case gateways, by their index among the known ones (gateway_id = index + 1).
_GW_ALL_DECLINED = 3  # every order cycle of this gateway is declined
_GW_ONLY_RETRIES = 2  # every recurring order here is active or scheduled for a retry


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
    closed = rng.random(n_gw) < 0.2
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


def _pick_gateways(rng: np.random.Generator, gw: pd.DataFrame, n: int):
    """Gateway ids and their instances for n rows; a few rows use unknown gateways."""
    n_gw = len(gw)
    pos = rng.integers(0, n_gw + _UNKNOWN_GATEWAYS, size=n)
    gateway_id = pos + 1
    crm = np.where(pos < n_gw, gw["crm_id"].to_numpy()[np.minimum(pos, n_gw - 1)], 1)
    return gateway_id, crm


def _dates(today: dt.date, offsets: np.ndarray) -> pd.Series:
    return pd.Series(pd.Timestamp(today) + pd.to_timedelta(offsets, unit="D"))


def _days_ago(rng: np.random.Generator, span_days: int, n: int, ahead: int = 1) -> np.ndarray:
    """n day offsets from today, spread over the span_days up to today (and ``ahead - 1``
    days after it), in ascending order: a warehouse numbers its rows as they come, so
    ids and dates rise together."""
    return np.sort(rng.integers(-(span_days - 1), ahead, size=n))


def _recurring_orders(rng, gw, n, today) -> pd.DataFrame:
    gateway_id, crm = _pick_gateways(rng, gw, n)
    active = pd.array(rng.choice([True, False, None], size=n, p=[0.35, 0.5, 0.15]), "boolean")
    has_retry = rng.random(n) < 0.45
    # The edge-case gateway never has an inactive order without a retry date.
    only_retries = gateway_id == _GW_ONLY_RETRIES + 1
    has_retry[only_retries] = True
    retry_date = _dates(today, rng.integers(1, 30, size=n))
    return pd.DataFrame(
        {
            "crm_id": crm,
            "order_id": np.arange(1, n + 1),
            "destination_gateway": gateway_id,
            "is_dead_mid_cascade": (rng.random(n) < 0.2).astype("int16"),
            "cc_type": rng.choice(
                np.array(["visa", "master", "discover", "amex", None], dtype=object),
                size=n,
                p=[0.4, 0.3, 0.12, 0.13, 0.05],
            ),
            "active": active,
            "retry_date": retry_date.where(has_retry),
        }
    )


def _continuity(rng, gw, n, today, span_days) -> pd.DataFrame:
    gateway_id, crm = _pick_gateways(rng, gw, n)
    retry = rng.choice(
        np.arange(0, 9), size=n, p=[0.55, 0.1, 0.08, 0.07, 0.05, 0.05, 0.04, 0.03, 0.03]
    )
    approval = pd.Series(np.round(rng.uniform(0, 1, size=n), 4)).where(rng.random(n) > 0.05)
    total = pd.Series(rng.choice([89.85, 87.99, 59.95, 39.95], size=n)).where(rng.random(n) > 0.03)
    return pd.DataFrame(
        {
            "continuity_id": np.arange(1, n + 1),
            "crm_id": crm,
            "gateway_id": gateway_id,
            "affid": rng.choice(_AFFIDS, size=n),
            "cc_type": rng.choice(np.array(["Visa", "Master", "Discover"], dtype=object), size=n),
            # Past cycles over the span and six weeks ahead, today included.
            "next_cycle_date": _dates(today, _days_ago(rng, span_days, n, ahead=41)),
            "retry_attempt_count": retry,
            "bc_inferred": rng.choice([1, 2, 3, 4, 5], size=n, p=[0.4, 0.25, 0.15, 0.12, 0.08]),
            "approval": approval,
            "order_total": total,
        }
    )


def _order_cycles(rng, gw, n, today, span_days) -> dict[str, pd.DataFrame]:
    gateway_id, crm = _pick_gateways(rng, gw, n)
    order_id = np.arange(1, n + 1)
    month_offsets = _days_ago(rng, span_days, n)
    month_date = _dates(today, month_offsets)
    # A few orders carry a different month than their cycle, so that the two date
    # conditions of the approval report each matter.
    shift = np.where(rng.random(n) < 0.05, rng.integers(-40, 41, size=n), 0)
    declined = rng.random(n) < 0.4
    declined[gateway_id == _GW_ALL_DECLINED + 1] = True
    reason = pd.Series(rng.choice(_DECLINE_REASONS, size=n)).where(declined)
    cycles = pd.DataFrame(
        {
            "crm_id": crm,
            "order_id": order_id,
            "retry_attempt_count": rng.choice([0, 1, 2, 3], size=n, p=[0.6, 0.2, 0.12, 0.08]),
            "decline_reason": reason,
            "bc_inferred": rng.choice(
                [0, 1, 2, 3, 4, 11], size=n, p=[0.4, 0.25, 0.15, 0.1, 0.07, 0.03]
            ),
            "month_date": month_date,
        }
    )
    orders = pd.DataFrame(
        {
            "crm_id": crm,
            "order_id": order_id,
            "gateway_id": gateway_id,
            "cc_type": rng.choice(
                np.array(["visa", "master", "discover", "amex", "TESTCARD"], dtype=object),
                size=n,
                p=[0.4, 0.3, 0.12, 0.1, 0.08],
            ),
            "month_date": _dates(today, month_offsets + shift),
        }
    )
    return {"augmented_data.order_cycles": cycles, "crm_global.orders": orders}


def _bins(rng, n_bins) -> np.ndarray:
    first = rng.choice(["4", "5", "6", "3"], size=n_bins * 2, p=[0.45, 0.3, 0.15, 0.1])
    rest = rng.integers(0, 100000, size=n_bins * 2)
    bins = pd.unique(np.array([f"{f}{r:05d}" for f, r in zip(first, rest, strict=True)]))
    return np.array(bins[:n_bins], dtype=object)


def _blacklist(rng, bins, today) -> pd.DataFrame:
    rows = []
    for crm_id in _CRM_IDS:
        listed = bins[rng.random(len(bins)) < 0.35]
        n = len(listed)
        enabled = rng.random(n) < 0.4
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


def _cpa_orders(rng, gw, n, today, span_days, bins) -> pd.DataFrame:
    gateway_id, _ = _pick_gateways(rng, gw, n)
    crm = rng.choice(_CRM_IDS, size=n, p=[0.35, 0.3, 0.25, 0.1])
    bin_ = rng.choice(bins, size=n)
    card_by_digit = {"4": "Visa", "5": "Master", "6": "Discover", "3": "Amex"}
    cc_type = pd.Series([card_by_digit[b[0]] for b in bin_], dtype=object)
    special = rng.random(n)
    cc_type[special < 0.05] = "TESTCARD"
    cc_type[(special >= 0.05) & (special < 0.07)] = None

    bc = rng.choice([0, 1, 2, 3, 4], size=n, p=[0.55, 0.2, 0.12, 0.08, 0.05])
    step = rng.choice([1, 2, 3], size=n, p=[0.7, 0.2, 0.1])
    approved = rng.random(n) < 0.7
    initial_price = rng.choice([4.95, 6.95, 9.95, 0.0], size=n, p=[0.4, 0.3, 0.25, 0.05])
    rebill_price = rng.choice([89.85, 87.99, 59.95], size=n, p=[0.5, 0.3, 0.2])
    # Stored as real: keep the single-precision value so comparisons here match the
    # database's.
    order_total = np.where(bc == 0, initial_price, rebill_price).astype(np.float32)
    order_total = order_total.astype(np.float64)

    refunded = approved & (rng.random(n) < 0.1)
    refund_share = rng.choice([0.5, 1.0], size=n)
    refund_amount = np.where(
        refunded, (order_total * refund_share).astype(np.float32).astype(np.float64), 0.0
    )
    refunded_to_date = np.where(refunded, np.round(order_total * refund_share, 2), 0.0)
    # Some refunds arrive after the order row was written: refunded to date only.
    late_refund = approved & ~refunded & (rng.random(n) < 0.05)
    refunded_to_date = np.where(late_refund, np.round(order_total, 2), refunded_to_date)

    acquired = (
        pd.Timestamp(today)
        + pd.to_timedelta(_days_ago(rng, span_days, n), "D")
        + pd.to_timedelta(rng.integers(0, 86400, size=n), "s")
    )
    at_midnight = rng.random(n) < 0.03
    acquired = pd.Series(acquired).where(~at_midnight, pd.Series(acquired).dt.normalize())

    chargeback = approved & (rng.random(n) < 0.03)
    alert = approved & (rng.random(n) < 0.05)
    initial_sale = approved & (bc == 0) & (step == 1)

    def flag(p):
        return (rng.random(n) < p).astype("int16")

    def tri(p_true, p_false):
        return pd.array(
            rng.choice([True, False, None], size=n, p=[p_true, p_false, 1 - p_true - p_false]),
            "boolean",
        )

    return pd.DataFrame(
        {
            "crm_id": crm,
            "order_id": np.arange(1, n + 1),
            "customer_id": rng.integers(1, int(n * 0.7) + 2, size=n),
            "affid": rng.choice(_AFFIDS, size=n, p=[0.3, 0.25, 0.2, 0.15, 0.1]),
            "campaign_id": rng.integers(1, 7, size=n),
            "gateway_id": gateway_id,
            "bin": bin_,
            "cc_type": cc_type,
            "acquisition_date": acquired,
            "step": step,
            "bc_inferred": bc,
            "attempt_count": rng.choice([0, 1, 2, 3], size=n, p=[0.6, 0.2, 0.12, 0.08]),
            "retry_attempt_count": pd.Series(rng.integers(0, 4, size=n), dtype="Int64").mask(
                rng.random(n) < 0.3
            ),
            "decline_reason": pd.Series(rng.choice(_DECLINE_REASONS, size=n)).where(~approved),
            "order_total": order_total,
            "refund_amount": refund_amount,
            "amount_refunded_to_date": refunded_to_date,
            "total_refund": refunded_to_date,
            "is_chargeback": chargeback.astype("int32"),
            "include_in_r": tri(0.8, 0.1),
            "pp_customer": flag(0.08),
            "cap_fill": rng.random(n) < 0.1,
            "order_diverted": flag(0.05),
            "block_customer": flag(0.05),
            "saves": flag(0.1),
            "order_provider": flag(0.15),
            "step_2_salvaged": flag(0.05),
            "step_1_with_2_salvaged": flag(0.05),
            "pending": tri(0.25, 0.15),
            "d_pending": tri(0.2, 0.15),
            "extended_date": pd.Series(
                pd.Timestamp(today) + pd.to_timedelta(rng.integers(1, 30, size=n), "D")
            ).where(rng.random(n) < 0.1),
            "bin_pause": flag(0.1),
            "cpa": np.where(initial_sale, rng.choice([25.0, 30.0, 45.0], size=n), 0.0),
            "processing_cost": np.where(approved, np.round(order_total * 0.05 + 0.3, 2), 0.1),
            "product_cost": np.where(approved, 2.5, 0.0),
            "alert_cost": np.where(alert, rng.choice([15.0, 25.0], size=n), 0.0),
            "chargeback_cost": np.where(chargeback, 25.0, 0.0),
        }
    )


def _revenue_transactions(rng, gw, n, today, span_days) -> pd.DataFrame:
    corp_names = dict(_CORPS)
    pos = rng.integers(0, len(gw), size=n)
    g = gw.iloc[pos].reset_index(drop=True)
    types = np.array(
        [
            "revenue",
            "refund",
            "alert",
            "cb_cost",
            "cb_amount",
            "reserves",
            "processing_cost",
            "transaction_cost",
            "cpa",
        ],
        dtype=object,
    )
    type_ = rng.choice(types, size=n, p=[0.4, 0.12, 0.08, 0.04, 0.04, 0.06, 0.1, 0.08, 0.08])
    is_rev = type_ == "revenue"
    value = np.where(
        is_rev,
        rng.choice([89.85, 87.99, 59.95, 4.95], size=n),
        -np.round(rng.uniform(0.5, 60, size=n), 2),
    )
    # A few revenue reversals: negative revenue counts in revenue_$ but in no cycle.
    value = np.where(is_rev & (rng.random(n) < 0.05), -value, value)
    provider = pd.Series(rng.choice(_ALERT_PROVIDERS, size=n))
    provider = provider.where((type_ == "alert") | ((type_ == "refund") & (rng.random(n) < 0.5)))
    bc = pd.array(rng.choice([0, 1, 2, 3, 4], size=n, p=[0.3, 0.3, 0.2, 0.15, 0.05]), "Int16")
    bc[~is_rev] = pd.NA
    return pd.DataFrame(
        {
            "transaction_id": np.arange(1, n + 1),
            "date": _dates(today, _days_ago(rng, span_days, n)),
            "crm_id": g["crm_id"].to_numpy(),
            "corporation_name": g["corp_id"].map(corp_names).to_numpy(),
            "processor": g["processor"].to_numpy(),
            "mid_id": g["mid_id"].to_numpy(),
            "gateway_id": g["gateway_id"].to_numpy(),
            "type": type_,
            "bc_inferred": bc,
            "alert_provider": provider,
            "value": value,
        }
    )


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
        "ui_tintora.empty_palette": pd.DataFrame(
            {"name": pd.Series([], dtype=object), "color": pd.Series([], dtype=object)}
        ),
    }


def generate_tables(
    scale: int, seed: int, today: dt.date, span_days: int
) -> dict[str, pd.DataFrame]:
    rng = np.random.default_rng(seed)
    n_gw = int(np.clip(scale // 40, 16, 4000))
    n_bins = min(max(48, scale // 3), 50_000)
    gw = _gateway_table(rng, n_gw, today)
    bins = _bins(rng, n_bins)
    tables = _client_tables(rng, gw)
    tables["ui_54407332_bins.bin_blacklist"] = _blacklist(rng, bins, today)
    tables["processing.recurring_orders"] = _recurring_orders(rng, gw, scale, today)
    tables["reporting.continuity"] = _continuity(rng, gw, scale, today, span_days)
    tables.update(_order_cycles(rng, gw, scale, today, span_days))
    tables["reporting.cpa_orders"] = _cpa_orders(rng, gw, scale, today, span_days, bins)
    tables["reporting.ui_revenue_transactions"] = _revenue_transactions(
        rng, gw, 2 * scale, today, span_days
    )
    tables.update(_tintora_tables(today))
    return tables
