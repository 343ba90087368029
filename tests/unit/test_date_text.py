"""Dates and datetimes of the exact built-in types are written without calling format();
the text must be what format() gives, character for character. Differential: every
generated value against its own format() text, put in by the same report."""

import datetime
import random

SEED = 14
ZONES = [None, datetime.timezone.utc]


class Zone(datetime.tzinfo):
    """A time zone of Python code: not one the fast path may trust."""

    def __init__(self, offset):
        self.offset = offset

    def utcoffset(self, moment):
        return self.offset

    def dst(self, moment):
        return None


class Day(datetime.date):
    pass


class Moment(datetime.datetime):
    pass


class Shown(datetime.datetime):
    def __format__(self, format_spec):
        return "shown " + super().__format__(format_spec)


def offsets(rng):
    seconds = rng.randrange(-86399, 86400)
    yield datetime.timedelta(seconds=seconds)
    yield datetime.timedelta(hours=rng.randrange(-23, 24), minutes=rng.randrange(60))
    yield datetime.timedelta(seconds=seconds, microseconds=rng.randrange(-999999, 10**6))


def generated_values(count):
    rng = random.Random(SEED)
    years = [1, 9, 10, 99, 999, 1000, 1969, 1970, 2026, 9999]
    values = []
    while len(values) < count:
        year = rng.choice(years) if rng.random() < 0.3 else rng.randrange(1, 10000)
        month = rng.randrange(1, 13)
        day = rng.choice([1, 28, rng.randrange(1, 29)])
        time = (rng.randrange(24), rng.randrange(60), rng.randrange(60))
        micro = rng.choice([0, 1, 999999, rng.randrange(10**6)])
        zones = ZONES + [datetime.timezone(o) for o in offsets(rng)] + [Zone(next(offsets(rng)))]
        kind = rng.randrange(8)
        if kind == 0:
            values.append(datetime.date(year, month, day))
        elif kind in (1, 2, 3):
            zone = rng.choice(zones)
            values.append(datetime.datetime(year, month, day, *time, micro, tzinfo=zone))
        elif kind == 4:
            values.append(Day(year, month, day))
        elif kind == 5:
            cls = rng.choice([Moment, Shown])
            values.append(cls(year, month, day, *time, micro, tzinfo=rng.choice(zones)))
        elif kind == 6:
            values.append(f"{year:04d}-{month:02d}-{day:02d}" + rng.choice(["", " 10:30", "Z"]))
        else:
            values.append(datetime.datetime(year, month, day, *time, fold=1))
    return values


VALUES = generated_values(3000)


def outcome(pd, call):
    """The query text that `call` hands to read_sql, or the error it raises."""
    try:
        call()
    except ValueError as error:  # a zone offset that format() itself refuses
        return f"{type(error).__name__}: {error}"
    return pd.queries[-1][0][0]


def test_dates_are_written_as_format_writes_them(orvesta, db, pd):
    # Every dated report writes its dates through the same step; this one uses each text
    # twice.
    def text(dates):
        return outcome(pd, lambda: orvesta.approval_report(db, reporting_query=dates))

    for index in range(0, len(VALUES), 2):
        start, end = VALUES[index], VALUES[index + 1]
        got = text({"start_date": start, "end_date": end})
        assert got == text({"start_date": format(start), "end_date": format(end)}), (start, end)


def test_continuity_writes_now_as_format_writes_it(orvesta, db, pd, results):
    dates = {}.fromkeys(["start_date", "end_date"])
    for value in VALUES[:1000]:
        texts = []
        for results["now"] in (value, format(value)):
            orvesta.continuity_report(db, ["crm_id"], reporting_query=dates)
            texts.append(pd.queries[-1][0][0])
        assert texts[0] == texts[1], value


def test_each_date_is_formatted_once_per_call(orvesta, db, pd):
    formatted = []

    class Counted(datetime.date):
        def __format__(self, format_spec):
            formatted.append(self)
            return super().__format__(format_spec)

    dates = {"start_date": Counted(2026, 11, 1), "end_date": Counted(2026, 11, 30)}
    orvesta.approval_report(db, reporting_query=dates)
    assert formatted == [dates["start_date"], dates["end_date"]]
    assert pd.queries[0][0][0].count("'2026-11-01'::date") == 2
