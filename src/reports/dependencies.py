"""Placeholder helper module; the reference implementation replaces it."""

import datetime


def now():
    return datetime.datetime.now()


def today():
    return datetime.date.today()


def _get_interval_date(*args, **kwargs):
    raise NotImplementedError


def get_cast(*args, **kwargs):
    raise NotImplementedError


def get_filters(filters, *args, **kwargs):
    return ""


def format_group_by(group_by):
    return list(group_by)


def get_order_by(group_by, order_by=False):
    return ",".join(order_by or group_by)
