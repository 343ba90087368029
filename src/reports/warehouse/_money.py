"""reporting.ui_revenue_transactions: the money movements of the simulated orders."""

from __future__ import annotations

import numpy as np
import pandas as pd

from ._facts import ALERT_FEES, CHARGEBACK_FEE, PROVIDERS, RESERVE_SHARE, _stamps

TRANSACTION_FEE = 0.15


def revenue_transactions(rng, o, ev, cpa, gw, corp_names, today) -> pd.DataFrame:
    """Revenue of approved orders (a few voided again), their processing costs and
    affiliate payouts on the day; refunds, alerts and chargebacks on the day they came;
    a fee per declined attempt; each MID's reserve at the end of every month."""
    time, price, cycle = (o[k].to_numpy() for k in ("time", "price", "cycle"))
    ok, gateway = o["approved"].to_numpy(), o["gateway_id"].to_numpy()
    paid = ok & (price > 0)
    voided = paid & (rng.random(len(o)) < 0.003)
    parts = [
        (paid, time, "revenue", price, cycle, None),
        (voided, time, "revenue", -price, cycle, None),
        (paid, time, "processing_cost", -cpa["processing_cost"].to_numpy(), None, None),
        (~ok, time, "transaction_cost", np.full(len(o), -TRANSACTION_FEE), None, None),
        (
            cpa["cpa"].to_numpy() > 0,
            time,
            "cpa",
            -np.where(cpa["order_diverted"] == 1, 0.0, cpa["cpa"]),
            None,
            None,
        ),
        (ev["refunded"], ev["refund_time"], "refund", -ev["refund"], None, "refund"),
        (ev["alert"], ev["refund_time"], "alert", -ALERT_FEES[ev["provider"]], None, "alert"),
        (ev["chargeback"], ev["cb_time"], "cb_cost", np.full(len(o), -CHARGEBACK_FEE), None, None),
        (ev["chargeback"], ev["cb_time"], "cb_amount", -price, None, None),
    ]
    provider = PROVIDERS[ev["provider"].to_numpy()]
    alerted = ev["alert"].to_numpy()
    frames = []
    for mask, when, kind, value, bc, with_provider in parts:
        mask = np.asarray(mask) & (np.asarray(when) < 1)
        if kind == "cpa":
            mask &= np.asarray(value) < 0
        who = None
        if with_provider == "alert":
            who = provider[mask]
        elif with_provider == "refund":  # alert refunds name their provider
            who = np.where(alerted[mask], provider[mask], None)
        frames.append(
            pd.DataFrame(
                {
                    "day": np.floor(np.asarray(when)[mask]),
                    "gateway_id": gateway[mask],
                    "type": kind,
                    "bc_inferred": pd.array(
                        np.asarray(bc)[mask] if bc is not None else [pd.NA] * int(mask.sum()),
                        "Int16",
                    ),
                    "alert_provider": who if who is not None else None,
                    "value": np.round(np.asarray(value, dtype=float)[mask], 2),
                }
            )
        )
    money = pd.concat(frames, ignore_index=True)
    money = pd.concat([money, _reserves(money, today)], ignore_index=True)
    money = money.sort_values(["day", "gateway_id"], kind="stable", ignore_index=True)
    g = gw.set_index("gateway_id").loc[money["gateway_id"].to_numpy()]
    return pd.DataFrame(
        {
            "transaction_id": np.arange(1, len(money) + 1),
            "date": _stamps(today, money["day"].to_numpy()),
            "crm_id": g["crm_id"].to_numpy(),
            "corporation_name": g["corp_id"].map(corp_names).to_numpy(),
            "processor": g["processor"].to_numpy(),
            "mid_id": g["mid_id"].to_numpy(),
            "gateway_id": money["gateway_id"].to_numpy(),
            "type": money["type"].to_numpy(),
            "bc_inferred": money["bc_inferred"].array,
            "alert_provider": money["alert_provider"].to_numpy(),
            "value": money["value"].to_numpy(),
        }
    )


def _reserves(money: pd.DataFrame, today) -> pd.DataFrame:
    """A share of each MID's revenue held back on the last day of each past month."""
    revenue = money[money["type"] == "revenue"]
    day = pd.Timestamp(today) + pd.to_timedelta(revenue["day"], "D")
    month_end = (day + pd.offsets.MonthEnd(0)).dt.normalize()
    held = revenue.groupby([revenue["gateway_id"], month_end])["value"].sum().reset_index()
    held.columns = ["gateway_id", "end", "value"]
    held = held[held["end"] < pd.Timestamp(today)]
    return pd.DataFrame(
        {
            "day": (held["end"] - pd.Timestamp(today)).dt.days.to_numpy().astype(float),
            "gateway_id": held["gateway_id"].to_numpy(),
            "type": "reserves",
            "bc_inferred": pd.array([pd.NA] * len(held), "Int16"),
            "alert_provider": None,
            "value": -np.round(held["value"].to_numpy() * RESERVE_SHARE, 2),
        }
    )
