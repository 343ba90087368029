"""A subscription business, simulated: customers arrive through affiliates, take a trial
(and sometimes an upsell), then are billed every month until they cancel or their card
keeps declining. Every billing attempt is one order."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

AFFIDS = np.array(["AFF-100", "AFF-200", "AFF-300", "50%OFF", "O'Reilly"], dtype=object)
AFFID_SHARES = [0.3, 0.25, 0.2, 0.15, 0.1]
# A coupon site: cheap, and its customers decline, cancel and dispute more.
POOR_AFFID = "50%OFF"
AFFID_CPA = np.array([35.0, 30.0, 40.0, 20.0, 45.0])
AFFID_QUALITY = np.array([1.0, 0.97, 1.03, 0.75, 1.0])
AFFID_CAMPAIGNS = np.array([[4, 6], [1, 5], [2, 3], [3, 6], [1, 2]])

# Retried declines; the others end the subscription.
SOFT_DECLINES = np.array(["Insufficient funds", "Issuer unavailable"], dtype=object)
HARD_DECLINES = np.array(["Do not honor", "Card expired"], dtype=object)
BLOCKED = "Blocked BIN"
TRIAL_DAYS, CYCLE_DAYS = 14, 30
# Days after the due date of each attempt: initials are retried within days, rebills
# every other day for as long as the instance allows (MAX_RETRIES).
INITIAL_RETRY_DAYS = np.array([0, 1, 2])
REBILL_RETRY_DAYS = np.arange(0, 22, 2)
MAX_RETRIES = {1: 4, 2: 6, 3: 10, 4: 8}
UPSELL_SHARE = 0.3
INITIAL_PRICES, INITIAL_PRICE_SHARES = [4.95, 6.95, 1.95, 0.0], [0.45, 0.3, 0.15, 0.1]
UPSELL_PRICE = 5.95
# (step 1, step 2) monthly prices; the cheaper plan for a third of the customers.
REBILL_PRICES = [(89.85, 87.99), (59.95, 39.95)]


@dataclass
class Customers:
    """One entry per customer, in order of arrival."""

    start: np.ndarray  # days from today (negative), with the time of day as fraction
    crm_id: np.ndarray
    affid: np.ndarray  # index into AFFIDS
    campaign_id: np.ndarray
    bin: np.ndarray
    card: np.ndarray  # "Visa", "Master", "Discover", "Amex" or "TESTCARD"
    card_known: np.ndarray  # False: the reporting tables lost the card type
    prepaid: np.ndarray
    cap_fill: np.ndarray
    cheap_plan: np.ndarray
    quality: np.ndarray
    at_midnight: np.ndarray  # acquired on a date without a time of day


def draw_customers(rng, n, span_days, bins, bin_weights, prepaid_bins) -> Customers:
    start = np.sort(rng.uniform(-(span_days - 1), 1, size=n))
    start = np.minimum(start, 1 - 1 / 86400)  # not after today
    affid = rng.choice(len(AFFIDS), size=n, p=AFFID_SHARES)
    pick = rng.choice(len(bins), size=n, p=bin_weights)
    bin_ = bins[pick]
    by_digit = {"4": "Visa", "5": "Master", "6": "Discover", "3": "Amex"}
    card = np.array([by_digit[b[0]] for b in bin_], dtype=object)
    card[np.arange(n) % 41 == 13] = "TESTCARD"  # the shop's own test orders
    return Customers(
        start=start,
        crm_id=rng.choice([1, 2, 3, 4], size=n, p=[0.35, 0.3, 0.25, 0.1]),
        affid=affid,
        campaign_id=AFFID_CAMPAIGNS[affid, rng.integers(0, 2, size=n)],
        bin=bin_,
        card=card,
        card_known=np.arange(n) % 31 != 5,  # one customer in 31
        prepaid=prepaid_bins[pick],
        cap_fill=rng.random(n) < 0.05,
        cheap_plan=rng.random(n) < 0.33,
        quality=AFFID_QUALITY[affid] * rng.uniform(0.9, 1.1, size=n),
        at_midnight=rng.random(n) < 0.03,
    )


@dataclass
class Attempts:
    """Columns of one billing attempt each, gathered as the simulation goes."""

    columns: dict

    @classmethod
    def empty(cls):
        return cls({k: [] for k in ATTEMPT_COLUMNS})

    def add(self, **values):
        for k in ATTEMPT_COLUMNS:
            self.columns[k].append(np.asarray(values[k]))

    def frame(self) -> pd.DataFrame:
        return pd.DataFrame({k: np.concatenate(v) for k, v in self.columns.items()})


ATTEMPT_COLUMNS = (
    "sub", "customer", "step", "gateway_id", "cycle", "attempt", "time", "due",
    "price", "approved", "reason", "bin_pause",
)  # fmt: skip


def _decline_reasons(rng, n, blocked, retry):
    # A card that declined softly once mostly keeps declining softly.
    soft = rng.random(n) < (0.85 if retry else 0.6)
    reason = np.where(
        soft, rng.choice(SOFT_DECLINES, size=n, p=[0.8, 0.2]), rng.choice(HARD_DECLINES, size=n)
    )
    return np.where(blocked, BLOCKED, reason).astype(object)


@dataclass
class Subscriptions:
    customer: np.ndarray
    step: np.ndarray
    gateway_id: np.ndarray
    start: np.ndarray
    rebill_price: np.ndarray


def simulate(rng, c: Customers, gw: pd.DataFrame, block) -> tuple[pd.DataFrame, pd.DataFrame]:
    """Every order (one per billing attempt) and every subscription's state today.

    ``block(customers, times)`` gives, per attempt, the blacklist entry's share of orders
    it blocks (0 when the BIN is not blocked then)."""
    n = len(c.start)
    factor = gw.set_index("gateway_id")["factor"]
    gateway_factor = np.zeros(factor.index.max() + 1)
    gateway_factor[factor.index] = factor.to_numpy()
    pay = {"Visa": 1.0, "Master": 0.98, "Discover": 0.93, "Amex": 0.95, "TESTCARD": 1.0}
    card_factor = pd.Series(c.card).map(pay).to_numpy()

    def choose_gateways(crm, step):
        out = np.zeros(len(crm), dtype=np.int64)
        for (g_crm, g_step), group in gw.groupby(["crm_id", "step"]):
            at = (crm == g_crm) & (step == g_step)
            weight = group["weight"].to_numpy()
            out[at] = rng.choice(
                group["gateway_id"].to_numpy(), size=int(at.sum()), p=weight / weight.sum()
            )
        return out

    # The trial: cycle 0, step 1, retried within two days.
    subs = Subscriptions(
        customer=np.arange(n),
        step=np.ones(n, dtype=np.int64),
        gateway_id=choose_gateways(c.crm_id, np.ones(n, dtype=np.int64)),
        start=c.start,
        rebill_price=np.where(c.cheap_plan, REBILL_PRICES[1][0], REBILL_PRICES[0][0]),
    )
    price0 = rng.choice(INITIAL_PRICES, size=n, p=INITIAL_PRICE_SHARES)
    attempts = Attempts.empty()
    state = {"sub": [], "status": [], "next_time": [], "cycle": [], "retries": []}

    def bill(sub_ids, cycle, price, base, retry_days, max_retries, retry_base):
        """Attempts of one cycle for sub_ids; returns the ids approved and their times."""
        due = s_start[sub_ids] + (0 if cycle == 0 else TRIAL_DAYS + CYCLE_DAYS * (cycle - 1))
        live = sub_ids
        approved_ids, approved_at = [np.empty(0, np.int64)], [np.empty(0)]
        for k in range(len(retry_days)):
            when = due[np.searchsorted(sub_ids, live)] + retry_days[k]
            future = when >= 1  # not yet attempted: scheduled
            if future.any():
                _remember(state, live[future], "retry" if k else "due", when[future], cycle, k)
            live, when = live[~future], when[~future]
            if not len(live):
                break
            cust = s_customer[live]
            p = base if k == 0 else retry_base * 0.85 ** (k - 1)
            p = np.clip(
                p * gateway_factor[s_gateway[live]] * card_factor[cust] * c.quality[cust], 0, 1
            )
            if cycle > 0:
                p = p * np.where(c.prepaid[cust], 0.6, 1.0)
            share = block(cust, when)
            blocked = rng.random(len(live)) < share
            ok = ~blocked & (rng.random(len(live)) < p)
            reason = _decline_reasons(rng, len(live), blocked, k > 0)
            attempts.add(
                sub=live, customer=cust, step=s_step[live], gateway_id=s_gateway[live],
                cycle=np.full(len(live), cycle), attempt=np.full(len(live), k), time=when,
                due=due[np.searchsorted(sub_ids, live)], price=price[live],
                approved=ok, reason=np.where(ok, None, reason), bin_pause=share > 0,
            )  # fmt: skip
            approved_ids.append(live[ok])
            approved_at.append(when[ok])
            soft = np.isin(reason, SOFT_DECLINES) & ~ok
            out_of_retries = (k >= max_retries[live]) | (k == len(retry_days) - 1)
            ended = ~ok & (~soft | out_of_retries)
            _remember(state, live[ended], "declined", when[ended], cycle, k)
            live = live[soft & ~out_of_retries]
        order = np.argsort(np.concatenate(approved_ids), kind="stable")
        return np.concatenate(approved_ids)[order], np.concatenate(approved_at)[order]

    def arrays():  # bill() reads the subscriptions through these
        return subs.customer, subs.step, subs.gateway_id, subs.start

    s_customer, s_step, s_gateway, s_start = arrays()
    initial_ok, initial_at = bill(
        np.arange(n), 0, price0, 0.82, INITIAL_RETRY_DAYS,
        np.full(n, 2), 0.35,
    )  # fmt: skip

    # Upsells: offered right after an approved trial, on a step 2 gateway, billed once.
    takes = initial_ok[(rng.random(len(initial_ok)) < UPSELL_SHARE)]
    takes = takes[c.card[takes] != "TESTCARD"]
    m = len(takes)
    step2_gw = choose_gateways(c.crm_id[takes], np.full(m, 2))
    has_gw = step2_gw > 0
    takes, step2_gw = takes[has_gw], step2_gw[has_gw]
    m = len(takes)
    upsell_time = initial_at[np.searchsorted(initial_ok, takes)] + 1 / 1440
    now = upsell_time < 1  # an upsell offered after midnight today is not in yet
    takes, step2_gw, upsell_time = takes[now], step2_gw[now], upsell_time[now]
    m = len(takes)
    upsells = np.arange(n, n + m)
    subs = Subscriptions(
        customer=np.concatenate([subs.customer, takes]),
        step=np.concatenate([subs.step, np.full(m, 2)]),
        gateway_id=np.concatenate([subs.gateway_id, step2_gw]),
        start=np.concatenate([subs.start, upsell_time]),
        rebill_price=np.concatenate(
            [
                subs.rebill_price,
                np.where(c.cheap_plan[takes], REBILL_PRICES[1][1], REBILL_PRICES[0][1]),
            ]
        ),
    )
    s_customer, s_step, s_gateway, s_start = arrays()
    all_price0 = np.concatenate([price0, np.full(m, UPSELL_PRICE)])
    upsell_ok, _ = bill(
        upsells, 0, all_price0, 0.9, INITIAL_RETRY_DAYS[:1], np.zeros(n + m, dtype=np.int64), 0.0
    )

    max_retries = pd.Series(c.crm_id[s_customer]).map(MAX_RETRIES).to_numpy()
    alive = np.concatenate([initial_ok, upsell_ok])
    alive.sort()
    stay = [0.8, 0.75] + [0.85] * 200  # chance to stay for the next cycle, by cycle
    cycle = 0
    while len(alive):
        keep = rng.random(len(alive)) < stay[cycle] * np.minimum(c.quality[s_customer[alive]], 1)
        keep &= c.card[s_customer[alive]] != "TESTCARD"  # test orders are cancelled at once
        # Customers cancel a week before their next bill; one due later than a week
        # from now has not decided yet.
        next_due = s_start[alive] + TRIAL_DAYS + CYCLE_DAYS * cycle
        keep |= next_due - 7 >= 1
        _remember(state, alive[~keep], "cancelled", next_due[~keep] - 7, cycle, 0)
        cycle += 1
        base = {1: 0.6, 2: 0.7}.get(cycle, 0.78)
        alive, _ = bill(
            alive[keep], cycle, subs.rebill_price, base, REBILL_RETRY_DAYS, max_retries, 0.2
        )

    orders = attempts.frame()
    status = pd.DataFrame({k: np.concatenate(v) for k, v in state.items()})
    status = status.sort_values("sub", kind="stable").drop_duplicates("sub", keep="last")
    status = status.set_index("sub").reindex(np.arange(len(s_customer)))
    status["customer"] = s_customer
    status["step"] = s_step
    status["gateway_id"] = s_gateway
    status["rebill_price"] = subs.rebill_price
    status["max_retries"] = max_retries
    return orders, status


def _remember(state, subs, status, when, cycle, retries):
    n = len(subs)
    if not n:
        return
    state["sub"].append(subs)
    state["status"].append(np.full(n, status, dtype=object))
    state["next_time"].append(np.broadcast_to(when, (n,)).astype(float))
    state["cycle"].append(np.full(n, cycle))
    state["retries"].append(np.full(n, retries))
