"""Every success and error path of the modules, looped thousands of times: the reference
counts of the default objects, of the constants the modules hand to helpers and of the
arguments stay where they were, no allocation is left behind and the process does not
grow."""

import datetime
import os
import sys
import types

import pytest

from reports import orvesta, tintora

LOOPS = 2000
# test_functions pins the namespace; here, every report it holds.
REPORTS = [name for name in vars(orvesta) if name.endswith("_report")]
HELPERS = ["get_filters", "format_group_by", "get_order_by", "now", "read_sql"]
SANITIZED = bool(os.environ.get("REPORTS_SANITIZED"))  # ASan keeps freed memory aside


class Helpers:
    """Stand-ins for the helper module and pandas: each keeps every object it is handed
    while `recording`, and raises a fresh exception when its name is in `failing`."""

    def __init__(self):
        self.received = {}
        self.recording = False
        self.failing = set()
        self.read_sql_failures = 0
        self.frame = object()

    def answer(self, name, args, kwargs, result):
        if self.recording:
            for value in (*args, *kwargs.values()):
                self.received.setdefault(id(value), value)
        if name in self.failing:
            raise LookupError(name)
        return result

    def install(self, monkeypatch):
        now = datetime.datetime(2026, 12, 8, 10, 30)
        monkeypatch.setattr(orvesta, "pd", types.SimpleNamespace(read_sql=self.read_sql))
        monkeypatch.setattr(tintora, "pd", types.SimpleNamespace(read_sql=self.read_sql))
        for name, result in [
            ("get_filters", lambda: "AND crm_id = 1"),
            ("format_group_by", lambda group_by: list(group_by) or ["crm_id"]),
            ("get_order_by", lambda group_by, order_by: "crm_id"),
            ("now", lambda: now),
        ]:
            monkeypatch.setattr(orvesta, name, self.helper(name, result))

    def helper(self, name, result):
        def call(*args, **kwargs):
            value = result(*args[: result.__code__.co_argcount])
            return self.answer(name, args, kwargs, value)

        return call

    def read_sql(self, qry, engine):
        if self.read_sql_failures:
            self.read_sql_failures -= 1
            raise RuntimeError("server gone")
        return self.answer("read_sql", (engine,), {}, Frame())


class Frame:
    """Enough of a data frame for Tintora.get."""

    def astype(self, kind):
        return self

    def set_index(self, key):
        return self

    def to_dict(self, orient):
        return {}


DB = types.SimpleNamespace(engine=object())
GROUPING = ["crm_id", "affid"]
FILTERS = {"crm_id": 1}
REQUEST = {"start_date": datetime.date(2026, 11, 1), "end_date": datetime.date(2026, 11, 30)}
ARGUMENTS = [DB, GROUPING, FILTERS, REQUEST]


def report_paths(name):
    """(label, helpers failing, read_sql failures, call) for every path of one report."""
    report = getattr(orvesta, name)

    def with_request(r, **kwargs):
        return report(DB, GROUPING, filters=FILTERS, reporting_query=r, **kwargs)

    paths = [("ok", (), 0, lambda: with_request(REQUEST))]
    paths += [(f"{h} fails", (h,), 0, lambda: with_request(REQUEST)) for h in HELPERS]
    paths += [
        ("request misses a date", (), 0, lambda: with_request({"start_date": "x"})),
        ("quote in a date", (), 0, lambda: with_request({**REQUEST, "end_date": "x'"})),
        ("percent in a date", (), 0, lambda: with_request({**REQUEST, "start_date": "1%"})),
        ("too many arguments", (), 0, lambda: report(*range(7))),
        ("given twice", (), 0, lambda: report(DB, db=DB)),
        ("no arguments", (), 0, lambda: report()),
        ("db without engine", (), 0, lambda: report(object(), reporting_query=REQUEST)),
        ("non-string grouping", (), 0, lambda: report(DB, [1], reporting_query=REQUEST)),
    ]
    if name == "continuity_report":
        paths += [
            ("order_by", (), 0, lambda: with_request(REQUEST, order_by=['"a %" DESC'])),
            ("bad order_by", (), 0, lambda: with_request(REQUEST, order_by=["a;b"])),
        ]
    if name == "mtd_report":
        paths += [
            ("retried", (), 1, lambda: with_request(REQUEST)),
            ("retry fails", (), 2, lambda: with_request(REQUEST)),
        ]
    return [(f"{name}: {label}", *rest) for label, *rest in paths]


def tintora_paths():
    reader = tintora.TintoraV2(DB)
    odd = types.SimpleNamespace(items=lambda: iter([("a", 1), ("b", 2)]))
    return [
        ("Tintora()", (), 0, lambda: tintora.Tintora(DB)),
        ("TintoraV2()", (), 0, lambda: tintora.TintoraV2(DB)),
        ("get", (), 0, lambda: reader.get("colors", "id")),
        ("get: bad table name", (), 0, lambda: reader.get("a b", "id")),
        ("get: read_sql fails", ("read_sql",), 0, lambda: reader.get("colors", "id")),
        ("name_map: dict", (), 0, lambda: tintora.Tintora.name_map(FILTERS)),
        ("name_map: items", (), 0, lambda: tintora.Tintora.name_map(odd)),
        ("name_map: not a mapping", (), 0, lambda: tintora.Tintora.name_map(1)),
        ("get: too few arguments", (), 0, lambda: reader.get("colors")),
    ]


def recurse(report):
    """report() with get_filters calling report() again, until RecursionError."""
    helper = orvesta.get_filters
    orvesta.get_filters = report
    try:
        report(DB, reporting_query=REQUEST)
    finally:
        orvesta.get_filters = helper


def other_paths():
    report = orvesta.inactive_report
    return [
        ("recursion", (), 0, lambda: recurse(report)),
        ("get_first_dom", (), 0, orvesta.get_first_dom),
        ("get_first_dom: now fails", ("now",), 0, orvesta.get_first_dom),
        ("__signature__", (), 0, lambda: report.__signature__),
        ("__defaults__ set", (), 0, lambda: setattr(report, "__defaults__", report.__defaults__)),
        ("repr", (), 0, lambda: repr(report)),
    ]


PATHS = [path for name in REPORTS for path in report_paths(name)]
PATHS += tintora_paths() + other_paths()


@pytest.fixture
def helpers(monkeypatch):
    stand_ins = Helpers()
    stand_ins.install(monkeypatch)
    return stand_ins


def run(helpers, failing, read_sql_failures, call, times):
    if call.__name__ == "<lambda>" and "recurse" in call.__code__.co_names:
        times = max(times // 100, 5)  # each call is a thousand calls deep
    helpers.failing = set(failing)
    for _ in range(times):
        helpers.read_sql_failures = read_sql_failures
        try:
            call()
        except Exception:  # every path that fails must fail the same way each time
            pass


def tracked_objects(helpers):
    objects = dict(helpers.received)
    for value in ARGUMENTS + [orvesta.ALERT_PROVIDERS, *orvesta.ALERT_PROVIDERS]:
        objects[id(value)] = value
    for name in REPORTS:
        defaults = getattr(orvesta, name).__defaults__
        for value in (defaults, *defaults):
            objects[id(value)] = value
    # The interpreter's singletons change hands everywhere.
    return {k: v for k, v in objects.items() if v is not None and v is not True and v is not False}


def reference_counts(objects):
    return {key: sys.getrefcount(objects[key]) for key in objects}


@pytest.mark.parametrize(
    ("label", "failing", "read_sql_failures", "call"), PATHS, ids=[p[0] for p in PATHS]
)
def test_looping_a_path_leaves_every_count_as_it_was(
    helpers, label, failing, read_sql_failures, call
):
    helpers.recording = True
    run(helpers, failing, read_sql_failures, call, 20)
    helpers.recording = False
    objects = tracked_objects(helpers)
    before = reference_counts(objects)
    blocks = sys.getallocatedblocks()
    run(helpers, failing, read_sql_failures, call, LOOPS)
    after = reference_counts(objects)
    drift = {repr(objects[k])[:60]: after[k] - before[k] for k in before if after[k] != before[k]}
    assert drift == {}
    # A leak of one object per call would leave LOOPS blocks behind.
    assert sys.getallocatedblocks() - blocks < LOOPS // 10


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer holds freed memory in quarantine")
def test_the_process_does_not_grow(helpers):
    def all_paths():
        for _, failing, read_sql_failures, call in PATHS:
            run(helpers, failing, read_sql_failures, call, 500)

    all_paths()
    before = resident_bytes()
    for _ in range(3):
        all_paths()
    # 3 x 500 calls of every path: a leak of even a query text per call is megabytes.
    assert resident_bytes() - before < 2 * 1024 * 1024
