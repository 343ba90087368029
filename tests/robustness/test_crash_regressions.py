"""Plain Python that used to take the interpreter down through the modules. Each case
runs in a child interpreter, so that a crash fails the test instead of ending the run."""

import textwrap
from pathlib import Path

from host_package import in_shared_gil_interpreter, make_host_package, run_python

STANDIN = (Path(__file__).parents[1] / "unit" / "standin_dependencies.py").read_text()

PRELUDE = """
import sys, threading, types
import reports.orvesta as o
from reports import tintora
o.pd = types.SimpleNamespace(read_sql=lambda qry, engine: qry)
db = types.SimpleNamespace(engine=None)
DATES = {"start_date": "2026-11-01", "end_date": "2026-11-30"}
REPORTS = [o.inactive_report, o.continuity_report, o.approval_report, o.bin_report,
           o.affid_report, o.mtd_report]
"""


def check(code, **kwargs):
    result = run_python(PRELUDE + textwrap.dedent(code), **kwargs)
    assert result.returncode == 0, f"exit status {result.returncode}\n{result.stderr}"
    return result.stdout


def test_defaults_replaced_during_a_call_live_until_the_call_ends():
    check(
        """
        o.continuity_report.__defaults__ = (["crm_id"], {}, False, False, False)

        class Request:
            def __getitem__(self, key):
                o.continuity_report.__defaults__ = None  # frees the tuple the call binds
                return "2026-01-01"

        assert "select crm_id" in o.continuity_report(db, reporting_query=Request())
        o.continuity_report.__defaults__ = ([], {}, False, False, False)

        # Another thread replacing every report's defaults between two bytecodes of the
        # helpers each report calls.
        sys.setswitchinterval(1e-6)
        done = threading.Event()

        def replace_all():
            for report in REPORTS:
                fresh = (["crm_id"], {"crm_id": 1})
                report.__defaults__ = fresh + report.__defaults__[2:]

        def replace():
            while not done.is_set():
                replace_all()

        replace_all()
        thread = threading.Thread(target=replace)
        thread.start()
        try:
            for _ in range(1000):
                for report in REPORTS:
                    report(db, reporting_query=DATES)
        finally:
            done.set()
            thread.join()
        """
    )


def test_every_writable_attribute_behaves_as_on_a_python_function():
    check(
        """
        import traceback

        def python_function(db, group_by=[], filters={}, reporting_query=False,
                            order_by=False, inc_test_cc=False, **kwargs):
            pass

        class Text(str):
            pass

        DELETE = object()
        CASES = [
            ("__module__", DELETE), ("__module__", 12345), ("__module__", None),
            ("__module__", "m\\ud800"), ("__module__", Text("m")),
            ("__qualname__", "q\\ud800"), ("__qualname__", Text("q")), ("__qualname__", 1),
            ("__qualname__", DELETE), ("__name__", "n\\x00"), ("__name__", b"n"),
            ("__name__", DELETE), ("__doc__", DELETE), ("__doc__", 1.5),
            ("__dict__", {"x": 1}), ("__dict__", 1), ("__dict__", DELETE),
            ("__defaults__", DELETE), ("__defaults__", (["crm_id"], {}, DATES)),
            ("__defaults__", [1]), ("__defaults__", None),
        ]

        def assign(function, attribute, value):
            try:
                if value is DELETE:
                    delattr(function, attribute)
                else:
                    setattr(function, attribute, value)
            except Exception as error:
                return type(error).__name__, str(error)
            return "read back", repr(getattr(function, attribute))

        report = o.inactive_report
        for attribute, value in CASES:
            print(attribute, ascii(value), flush=True)
            saved = getattr(report, attribute)
            expected = assign(python_function, attribute, value)
            assert assign(report, attribute, value) == expected, (expected, attribute)
            repr(report)
            for args in [(None,), (db,)]:  # failing, then (with a request) succeeding
                try:
                    report(*args)
                except TypeError as error:
                    names = [entry.name for entry in traceback.extract_tb(error.__traceback__)]
                    assert names[-1] == "orvesta.inactive_report", names
            setattr(report, attribute, saved)
            setattr(python_function, attribute, getattr(report, attribute))
        """
    )


def test_calls_back_into_the_modules_end_in_recursion_error():
    output = check(
        """
        def recursion_error(call):
            try:
                call()
            except RecursionError:
                return "RecursionError"
            return "returned"

        o.get_filters = o.continuity_report
        print(recursion_error(lambda: o.continuity_report(None)))
        o.now = o.get_first_dom
        print(recursion_error(o.get_first_dom))
        tintora.Tintora = tintora.TintoraV2  # TintoraV2.__init__ calls Tintora.__init__
        print(recursion_error(lambda: tintora.TintoraV2(None)))

        # The limit holds on a thread's own stack too.
        result = []
        thread = threading.Thread(target=lambda: result.append(
            recursion_error(lambda: o.continuity_report(None))))
        thread.start()
        thread.join()
        print(*result)
        """
    )
    assert output.split() == ["RecursionError"] * 4


def test_a_load_failed_in_another_interpreter_leaves_no_claim(tmp_path):
    make_host_package(tmp_path, "hostapp", STANDIN)
    result = run_python(
        in_shared_gil_interpreter(
            """
        import sys

        def outcome(script):
            try:
                exec(script, {})
            except ImportError as error:
                return str(error)
            return "ok"

        def outcome_there(script):
            try:  # up to 3.12 a failure raises, 3.13 returns it
                result = interpreters.run_string(interp, script)
            except Exception as error:
                result = error
            return "ok" if result is None else str(result)

        # Fails there (pandas cannot be imported), then loads here.
        there = outcome_there(
            f"import sys; sys.path.insert(0, {path!r}); sys.modules['pandas'] = None\\n"
            "import hostapp.orvesta"
        )
        assert there != "ok"
        sys.path.insert(0, path)
        import hostapp.orvesta
        assert str(hostapp.orvesta.get_first_dom()) == "2026-12-01"

        # The installed modules as a host meets them: numpy may refuse to load in the
        # other interpreter (and then here as well), but the modules' own claim is
        # refused only after a load that succeeded there.
        for name in ("reports.orvesta", "reports.tintora"):
            there, here = outcome_there(f"import {name}"), outcome(f"import {name}")
            claimed = "Interpreter change detected" in here
            assert claimed == (there == "ok"), (name, there, here)
        print("ok")
        """
        ),
        values={"path": str(tmp_path)},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
