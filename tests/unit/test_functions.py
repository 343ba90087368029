"""The module's functions behave like functions written in Python: binding, defaults,
argument errors, names, method binding, late binding and traceback entries."""

import ctypes
import datetime
import inspect
import sys
import traceback

import pytest

REPORTS = [
    "inactive_report",
    "continuity_report",
    "approval_report",
    "bin_report",
    "affid_report",
]
ALL_REPORTS = REPORTS + ["mtd_report"]
DATES = {"start_date": "2026-11-01", "end_date": "2026-11-30"}


def test_namespace_order_and_constants(orvesta):
    names = [n for n in vars(orvesta) if not n.startswith("__")]
    assert names == [
        "pd", "now", "today", "_get_interval_date", "get_cast", "get_order_by", "get_filters",
        "format_group_by", "ALERT_PROVIDERS", "affid_report", "bin_report", "get_first_dom",
        "mtd_report", "continuity_report", "inactive_report", "approval_report",
    ]  # fmt: skip
    assert orvesta.ALERT_PROVIDERS == ["ethoca", "rdr"]


def test_defaults_are_shared_per_function_and_separate_between_functions(orvesta):
    seen = set()
    for name in ALL_REPORTS:
        function = getattr(orvesta, name)
        defaults = function.__defaults__
        if name == "mtd_report":
            group_by, reporting_query, filters, order_by = defaults
            assert (reporting_query, order_by) == (False, False)
        else:
            group_by, filters, *flags = defaults
            assert flags == [False, False, False]
        assert (group_by, filters) == ([], {})
        assert function.__defaults__[0] is group_by
        assert function.__kwdefaults__ is None
        seen |= {id(group_by), id(filters)}
    assert len(seen) == 2 * len(ALL_REPORTS)
    assert orvesta.get_first_dom.__defaults__ is None


def test_names_and_module(orvesta):
    for name in ALL_REPORTS + ["get_first_dom"]:
        function = getattr(orvesta, name)
        assert (function.__name__, function.__qualname__, function.__module__) == (
            name,
            name,
            "orvesta",
        )
        assert callable(function) and isinstance(function.__dict__, dict)
        assert repr(function).startswith(f"<function {name} at 0x")


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda o: o.inactive_report(1, 2, 3, 4, 5, 6, 7),
            "inactive_report() takes at most 6 positional arguments (7 given)",
        ),
        (
            lambda o: o.mtd_report(1, 2, 3, 4, 5, 6),
            "mtd_report() takes at most 5 positional arguments (6 given)",
        ),
        (
            lambda o: o.affid_report(group_by=[], reporting_query=DATES),
            "affid_report() takes at least 1 positional argument (0 given)",
        ),
        (lambda o: o.bin_report(), "bin_report() takes at least 1 positional argument (0 given)"),
        (
            lambda o: o.approval_report(1, db=2),
            "approval_report() got multiple values for keyword argument 'db'",
        ),
        (
            lambda o: o.mtd_report(1, [], DATES, filters={}, reporting_query=DATES),
            "mtd_report() got multiple values for keyword argument 'reporting_query'",
        ),
        (lambda o: o.get_first_dom(1), "get_first_dom() takes no arguments (1 given)"),
        (lambda o: o.get_first_dom(day=1), "get_first_dom() takes no keyword arguments"),
    ],
)
def test_argument_errors(orvesta, calls, pd, call, message):
    with pytest.raises(TypeError) as raised:
        call(orvesta)
    assert str(raised.value) == message
    assert calls == [] and pd.queries == []


def test_too_many_positional_arguments_are_reported_before_keywords(orvesta):
    with pytest.raises(TypeError, match=r"at most 6 positional arguments \(7 given\)"):
        orvesta.inactive_report(1, 2, 3, 4, 5, 6, 7, db=1)


def test_non_string_keyword_names_from_native_callers(orvesta):
    """Python code cannot pass such names, but native code calling through vectorcall can."""
    function = orvesta.inactive_report
    # The function's vectorcall entry point directly follows the object header.
    header = ctypes.sizeof(ctypes.c_ssize_t) + ctypes.sizeof(ctypes.c_void_p)
    entry = ctypes.c_void_p.from_address(id(function) + header).value
    signature = ctypes.PYFUNCTYPE(
        ctypes.py_object, ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object
    )
    vectorcall = signature(entry)
    db, value, kwnames = object(), object(), (1,)
    argv = (ctypes.py_object * 2)(db, value)
    with pytest.raises(TypeError) as raised:
        vectorcall(function, ctypes.addressof(argv), 1, kwnames)
    assert str(raised.value) == "inactive_report() keywords must be strings"


def test_further_keywords_are_accepted_and_ignored(orvesta, db, pd):
    orvesta.mtd_report(db, reporting_query=DATES, inc_test_cc=True, anything=object())
    orvesta.inactive_report(db=db, reporting_query=DATES, **{"order": 1, "x-y": 2})
    assert len(pd.queries) == 2


def test_mtd_positional_dictionary_is_the_report_request(orvesta, db, calls):
    orvesta.mtd_report(db, ["crm_id"], DATES)
    assert calls[0] == ("get_filters", (orvesta.mtd_report.__defaults__[2],), {})


def test_signature_as_python_sees_it(orvesta):
    signature = inspect.signature(orvesta.inactive_report)
    assert list(signature.parameters) == [
        "db", "group_by", "filters", "reporting_query", "order_by", "inc_test_cc", "kwargs",
    ]  # fmt: skip
    assert signature.parameters["kwargs"].kind is inspect.Parameter.VAR_KEYWORD
    assert signature.parameters["group_by"].default is orvesta.inactive_report.__defaults__[0]
    assert str(inspect.signature(orvesta.get_first_dom)) == "()"


def test_binds_as_a_method_and_works_as_staticmethod(orvesta, db, pd, calls):
    class Reports:
        inactive = orvesta.inactive_report
        first_day = staticmethod(orvesta.get_first_dom)
        engine = db.engine

    reports = Reports()
    assert Reports.inactive is orvesta.inactive_report
    bound = reports.inactive
    assert bound.__self__ is reports and bound.__func__ is orvesta.inactive_report
    reports.inactive(reporting_query=DATES)
    assert pd.queries[0][0][1] is db.engine  # the instance was bound as `db`
    assert reports.first_day() == datetime.date(2026, 12, 1)


def test_defaults_can_be_replaced_like_a_python_function(orvesta, db, pd, calls):
    report = orvesta.inactive_report
    original = report.__defaults__
    try:
        report.__defaults__ = ([], {}, DATES, False, False)
        report(db)
        assert len(pd.queries) == 1
        report.__defaults__ = None
        with pytest.raises(TypeError, match=r"takes exactly 6 positional arguments \(1 given\)"):
            report(db)
        with pytest.raises(TypeError):
            report.__defaults__ = [1]
    finally:
        report.__defaults__ = original
    assert report.__defaults__ is original


def test_get_first_dom_chains_now_replace_date(orvesta, results, calls):
    results["now"] = datetime.datetime(2026, 7, 15, 10, 30)
    assert orvesta.get_first_dom() == datetime.date(2026, 7, 1)
    assert calls == [("now", (), {})]

    class Moment:
        def replace(self, **kwargs):
            self.kwargs = kwargs
            return self

        def date(self):
            return "first"

    moment = Moment()
    results["now"] = moment
    assert orvesta.get_first_dom() == "first"
    assert moment.kwargs == {"day": 1} and type(moment.kwargs["day"]) is int


def test_late_binding_of_pandas_and_helpers(orvesta, db, pd, monkeypatch):
    other = type(pd)()
    monkeypatch.setattr(orvesta, "pd", other)
    monkeypatch.setattr(orvesta, "get_filters", lambda *a, **k: "-- replaced")
    orvesta.inactive_report(db, reporting_query=DATES)
    assert pd.queries == [] and len(other.queries) == 1
    assert "-- -- replaced\n" in other.queries[0][0][0]
    monkeypatch.delattr(orvesta, "pd")
    with pytest.raises(NameError, match="name 'pd' is not defined"):
        orvesta.inactive_report(db, reporting_query=DATES)


def test_traceback_names_the_module_function(orvesta, db):
    with pytest.raises(TypeError) as raised:
        orvesta.bin_report(db)
    entries = traceback.extract_tb(raised.value.__traceback__)
    assert entries[-1].name == "orvesta.bin_report"
    assert entries[-1].filename.endswith("bin_report.cpp")
    with pytest.raises(TypeError) as raised:
        orvesta.inactive_report()
    assert traceback.extract_tb(raised.value.__traceback__)[-1].name == "orvesta.inactive_report"


def test_no_reference_is_left_behind(orvesta, db, pd, results):
    """Running and failing reports many times leaves the reference total unchanged."""
    if not hasattr(sys, "gettotalrefcount"):
        frame = object()
        pd.frame = frame
        before = sys.getrefcount(frame), sys.getrefcount(db)
        for _ in range(200):
            orvesta.mtd_report(db, ["crm_id"], DATES)
            with pytest.raises(KeyError):
                orvesta.affid_report(db, ["crm_id"], reporting_query={})
        pd.queries.clear()
        assert (sys.getrefcount(frame), sys.getrefcount(db)) == before
