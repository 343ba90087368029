"""Stand-in for the host's helper module: records every call, in order, and answers
with what the test put into `results` (a value, an exception to raise, or a callable
that computes the answer from the call's arguments)."""

import datetime

calls = []
results = {}


def reset():
    calls.clear()
    results.clear()
    results.update(
        get_filters="",
        format_group_by=list,
        get_order_by=lambda group_by, order_by: "ordering",
        now=datetime.datetime(2026, 12, 8, 10, 30),
    )


def _answer(name, args, kwargs):
    calls.append((name, args, kwargs))
    result = results[name]
    if isinstance(result, BaseException):
        raise result
    return result(*args, **kwargs) if callable(result) else result


def get_filters(*args, **kwargs):
    return _answer("get_filters", args, kwargs)


def format_group_by(*args, **kwargs):
    return _answer("format_group_by", args, kwargs)


def get_order_by(*args, **kwargs):
    return _answer("get_order_by", args, kwargs)


def now(*args, **kwargs):
    return _answer("now", args, kwargs)


def today():
    raise AssertionError("the report module never calls today()")


def _get_interval_date(*args, **kwargs):
    raise AssertionError("the report module never calls _get_interval_date()")


def get_cast(*args, **kwargs):
    raise AssertionError("the report module never calls get_cast()")


reset()
