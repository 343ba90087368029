"""The warehouse's fact tables, worked out from the simulated orders and subscriptions
(see _business): what happened to each approved order (refunds, alerts, chargebacks),
its costs, its money movements, the cycles ahead and each subscription's state."""

from __future__ import annotations

import datetime as dt

import numpy as np
import pandas as pd

from ._business import AFFID_CPA, AFFIDS, POOR_AFFID, Customers

PROVIDERS = np.array(["ethoca", "rdr", "verifi"], dtype=object)
ALERT_FEES = np.array([30.0, 20.0, 25.0])
_PROVIDER_TURNS = np.array([0, 1, 2, 0, 1, 0, 1, 2, 0, 1, 0, 1, 2, 0, 1, 0, 2, 0, 1, 2])
CHARGEBACK_FEE = 25.0
RESERVE_SHARE = 0.05
LOWER_CARD = {"Visa": "visa", "Master": "master", "Discover": "discover", "Amex": "amex"}


def _stamps(today: dt.date, days: np.ndarray) -> pd.Series:
    """Timestamps ``days`` (fractional) after today's midnight, to the second."""
    return pd.Series(pd.Timestamp(today) + pd.to_timedelta(np.round(days * 86400), "s"))


def _after(rng, o, approved, rate, lo, hi):
    """Which approved orders meet an event at ``rate`` (per order), and when."""
    hit = approved & (rng.random(len(o)) < rate)
    return hit, o["time"].to_numpy() + rng.uniform(lo, hi, size=len(o))


def order_events(rng, o: pd.DataFrame, c: Customers) -> pd.DataFrame:
    """Chargebacks, alerts and refunds: approved orders only, days after them, only
    those that have happened by today."""
    cust = o["customer"].to_numpy()
    poor = AFFIDS[c.affid[cust]] == POOR_AFFID
    real = (o["approved"] & (c.card[cust] != "TESTCARD") & (o["price"] > 0)).to_numpy()
    # Customers dispute the monthly bill they forgot, hardly ever a trial of a few dollars.
    disputed = real & (o["price"].to_numpy() >= 30)
    worse = np.where(poor, 2.5, 1.0)
    cb, cb_time = _after(rng, o, disputed, 0.008 * worse, 20, 60)
    alert, alert_time = _after(rng, o, disputed & ~cb, 0.015 * worse, 3, 20)
    cs, cs_time = _after(rng, o, real & ~cb & ~alert, 0.03 * worse, 1, 25)
    cb &= cb_time < 1
    alert &= alert_time < 1
    price = o["price"].to_numpy()
    refund = np.where(alert, price, np.where(cs, price * rng.choice([1.0, 0.5], len(o)), 0.0))
    refund_time = np.where(alert, alert_time, cs_time)
    refunded = (alert | cs) & (refund_time < 1)
    # Alerts come through the providers in turn, 8:7:5, so that even a few name all.
    provider = np.zeros(len(o), dtype=np.int64)
    provider[alert] = _PROVIDER_TURNS[np.arange(int(alert.sum())) % len(_PROVIDER_TURNS)]
    return pd.DataFrame(
        {
            "chargeback": cb,
            "cb_time": cb_time,
            "alert": alert,
            "provider": provider,
            "refunded": refunded,
            "refund": np.round(refund, 2),
            "refund_time": refund_time,
            # Refunds within two days are on the order row as written; later ones only
            # in the amount refunded to date.
            "early_refund": refunded & (refund_time - o["time"].to_numpy() < 2),
        }
    )


def _next_states(o: pd.DataFrame, status: pd.DataFrame):
    """Per order: whether its subscription's next cycle was attempted, is due (ahead),
    and whether a declined order's cycle still has a retry ahead."""
    key = o["sub"].to_numpy() * 1000 + o["cycle"].to_numpy()
    attempted = np.isin(key + 1, key)
    st = status.loc[o["sub"].to_numpy()]
    ahead = st["status"].isin(["due", "retry"]).to_numpy()
    due_next = ahead & (st["cycle"].to_numpy() == o["cycle"].to_numpy() + 1)
    retry_ahead = (
        (st["status"].to_numpy() == "retry")
        & (st["cycle"].to_numpy() == o["cycle"].to_numpy())
        & (st["retries"].to_numpy() == o["attempt"].to_numpy() + 1)
    )
    return attempted, due_next, retry_ahead, st


def cpa_orders(rng, o, ev, c: Customers, status, today, shave) -> pd.DataFrame:
    n = len(o)
    cust = o["customer"].to_numpy()
    ok = o["approved"].to_numpy()
    cycle, step, attempt = (o[k].to_numpy() for k in ("cycle", "step", "attempt"))
    price = o["price"].to_numpy()
    test = c.card[cust] == "TESTCARD"
    initial = ok & (cycle == 0) & (step == 1) & ~test
    attempted, due_next, retry_ahead, st = _next_states(o, status)
    pending = pd.array(np.where(ok & due_next, True, False), "boolean")
    pending[ok & attempted] = pd.NA
    extended = ok & due_next & (rng.random(n) < 0.05)
    next_time = st["next_time"].to_numpy()
    d_pending = pd.array(~ok & retry_ahead, "boolean")
    d_pending[ok & (attempt > 0)] = pd.NA
    # Every approved first order starts a cohort that later cycles are counted against.
    include = pd.array(ok & (cycle == 0), "boolean")
    include[~ok | (cycle > 0)] = pd.NA
    diverted = initial & (rng.random(n) < shave(cust, o["time"].to_numpy()))
    has_upsell = np.isin(cust, o.loc[o["step"] == 2, "customer"].to_numpy())
    shipment = np.where(step == 1, np.where(cycle == 0, 6.5, 11.0), np.where(cycle == 0, 4.0, 8.0))
    acquired = _stamps(today, c.start[cust])
    cc_type = pd.Series(c.card[cust], dtype=object).where(c.card_known[cust], None)
    return pd.DataFrame(
        {
            "crm_id": c.crm_id[cust],
            "order_id": o["order_id"].to_numpy(),
            "customer_id": cust + 1,
            "affid": AFFIDS[c.affid[cust]],
            "campaign_id": c.campaign_id[cust],
            "gateway_id": o["gateway_id"].to_numpy(),
            "bin": c.bin[cust],
            "cc_type": cc_type,
            "acquisition_date": acquired.where(~c.at_midnight[cust], acquired.dt.normalize()),
            "step": step,
            "bc_inferred": cycle,
            "attempt_count": attempt,
            "retry_attempt_count": pd.Series(attempt, dtype="Int64").mask(rng.random(n) < 0.04),
            "decline_reason": o["reason"].to_numpy(),
            "order_total": price.astype(np.float32).astype(np.float64),
            "refund_amount": np.where(ev["early_refund"], ev["refund"], 0.0)
            .astype(np.float32)
            .astype(np.float64),
            "amount_refunded_to_date": np.where(ev["refunded"], ev["refund"], 0.0),
            "total_refund": np.where(ev["refunded"], ev["refund"], 0.0),
            "is_chargeback": ev["chargeback"].astype("int32"),
            "include_in_r": include,
            "pp_customer": c.prepaid[cust].astype("int16"),
            "cap_fill": c.cap_fill[cust],
            "order_diverted": diverted.astype("int16"),
            "block_customer": ev["chargeback"].astype("int16"),
            "saves": (ok & (cycle > 0) & (rng.random(n) < 0.06)).astype("int16"),
            "order_provider": (ok & (rng.random(n) < 0.09)).astype("int16"),
            "step_2_salvaged": (ok & (step == 2) & (attempt > 0)).astype("int16"),
            "step_1_with_2_salvaged": (ok & (step == 1) & (attempt > 0) & has_upsell).astype(
                "int16"
            ),
            "pending": pending,
            "d_pending": d_pending,
            "extended_date": _stamps(today, np.floor(next_time) + 14)
            .dt.normalize()
            .where(extended),
            "bin_pause": o["bin_pause"].to_numpy().astype("int16"),
            "cpa": np.where(initial, AFFID_CPA[c.affid[cust]], 0.0),
            "processing_cost": np.where(ok & (price > 0), np.round(price * 0.045 + 0.3, 2), 0.0),
            "product_cost": np.where(ok & ~test, shipment, 0.0),
            "alert_cost": np.where(ev["alert"], ALERT_FEES[ev["provider"]], 0.0),
            "chargeback_cost": np.where(ev["chargeback"], CHARGEBACK_FEE, 0.0),
        }
    )


def cycle_tables(o: pd.DataFrame, c: Customers, today) -> dict[str, pd.DataFrame]:
    """The billing cycles and the CRM's orders: the order is created when its cycle
    falls due, the cycle row dates the attempt (a retry's is later)."""
    cust = o["customer"].to_numpy()
    cycles = pd.DataFrame(
        {
            "crm_id": c.crm_id[cust],
            "order_id": o["order_id"].to_numpy(),
            "retry_attempt_count": o["attempt"].to_numpy(),
            "decline_reason": o["reason"].to_numpy(),
            "bc_inferred": o["cycle"].to_numpy(),
            "month_date": _stamps(today, np.floor(o["time"].to_numpy())),
        }
    )
    card = pd.Series(c.card[cust]).map(LOWER_CARD).fillna("TESTCARD")
    orders = pd.DataFrame(
        {
            "crm_id": c.crm_id[cust],
            "order_id": o["order_id"].to_numpy(),
            "gateway_id": o["gateway_id"].to_numpy(),
            "cc_type": card.to_numpy(),
            "month_date": _stamps(today, np.floor(o["due"].to_numpy())),
        }
    )
    return {"augmented_data.order_cycles": cycles, "crm_global.orders": orders}


def projected_approval(cycle, retries, factor):
    base = np.where(retries > 0, 0.2 * 0.85 ** np.maximum(retries - 1, 0), 0.0)
    natural = np.select([cycle == 1, cycle == 2], [0.6, 0.7], 0.78)
    return np.round(np.clip(np.where(retries > 0, base, natural) * factor, 0, 1), 4)


def continuity(rng, o, status, c: Customers, gw, today) -> pd.DataFrame:
    """Every rebill cycle that fell due, with the retries it took, and the cycle ahead of
    every subscription still billing."""
    factor = gw.set_index("gateway_id")["factor"]
    rebills = o[o["cycle"] > 0]
    past = rebills.groupby(["sub", "cycle"], sort=False).agg(
        due=("due", "first"), retries=("attempt", "max"), price=("price", "first")
    )
    past = past.reset_index()
    ahead = status[status["status"].isin(["due", "retry"]) & (status["cycle"] > 0)]
    ahead = pd.DataFrame(
        {
            "sub": ahead.index.to_numpy(),
            "cycle": ahead["cycle"].to_numpy(),
            "due": ahead["next_time"].to_numpy(),
            "retries": ahead["retries"].to_numpy(),
            "price": ahead["rebill_price"].to_numpy(),
        }
    )
    rows = pd.concat([past, ahead], ignore_index=True).sort_values(["due", "sub"], kind="stable")
    sub = rows["sub"].to_numpy()
    cust = status.loc[sub, "customer"].to_numpy()
    gateway = status.loc[sub, "gateway_id"].to_numpy()
    n = len(rows)
    approval = projected_approval(
        rows["cycle"].to_numpy(), rows["retries"].to_numpy(), factor.loc[gateway].to_numpy()
    )
    return pd.DataFrame(
        {
            "continuity_id": np.arange(1, n + 1),
            "crm_id": c.crm_id[cust],
            "gateway_id": gateway,
            "affid": AFFIDS[c.affid[cust]],
            "cc_type": c.card[cust],
            "next_cycle_date": _stamps(today, np.floor(rows["due"].to_numpy())),
            "retry_attempt_count": rows["retries"].to_numpy(),
            "bc_inferred": rows["cycle"].to_numpy(),
            # A few cycles whose projection or price the warehouse lacks.
            "approval": pd.Series(approval).where(rng.random(n) > 0.02),
            "order_total": pd.Series(rows["price"].to_numpy()).where(rng.random(n) > 0.02),
        }
    )


def recurring_orders(rng, o, status, c: Customers, today) -> pd.DataFrame:
    """One row per subscription that began (its approved first order), with its state
    today: active, declined with a retry ahead, or ended."""
    first = o[o["approved"] & (o["cycle"] == 0)]
    st = status.loc[first["sub"].to_numpy()]
    cust = first["customer"].to_numpy()
    n = len(first)
    in_retry = (st["status"] == "retry").to_numpy()
    active = pd.array((st["status"] == "due").to_numpy(), "boolean")
    active[np.arange(n) % 29 == 7] = pd.NA  # one in 29 states unknown to the warehouse
    card = pd.Series(c.card[cust]).map(LOWER_CARD).where(c.card_known[cust], None)
    return pd.DataFrame(
        {
            "crm_id": c.crm_id[cust],
            "order_id": first["order_id"].to_numpy(),
            "destination_gateway": first["gateway_id"].to_numpy(),
            "is_dead_mid_cascade": (rng.random(n) < 0.08).astype("int16"),
            "cc_type": card.to_numpy(),
            "active": active,
            "retry_date": _stamps(today, np.floor(st["next_time"].to_numpy())).where(in_retry),
        }
    ).sort_values("order_id", kind="stable", ignore_index=True)
