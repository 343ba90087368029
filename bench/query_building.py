"""Per-call cost of the report functions themselves: argument binding, the helper calls
and joining the query text, with pandas.read_sql replaced by a function that returns at
once. The database's own time is measured by bench/database.py.

In one process and interleaved, for each report: our module, the same report written as
plain Python (bench/plain_reports), and its floor: a bare Python call of the same arity,
the same stand-in helper calls and one ''.join of as many pieces of the same text. With
--baseline, another build of the module (a .so file, e.g. of an earlier commit) runs
beside ours.

    .venv/py3.10/bin/python bench/query_building.py [--number N] [--repeat N]
        [--baseline path/to/orvesta.cpython-310-x86_64-linux-gnu.so]
"""

import argparse
import atexit
import datetime
import importlib
import shutil
import sys
import tempfile
import timeit
import types
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import plain_reports  # noqa: E402 - from this folder

from reports import orvesta  # noqa: E402

DATES = {"start_date": datetime.date(2026, 11, 1), "end_date": datetime.date(2026, 11, 30)}
GROUPING = ["crm_id", "affid", "bin"]
TRANSLATE = {"corp": "corporation_name", "is_cascade": "is_dead_mid_cascade"}
REPORTS = plain_reports.__all__
# Pieces of each report's text as the module joins them.
PIECES = {
    "inactive_report": 3,
    "continuity_report": 11,
    "approval_report": 11,
    "bin_report": 15,
    "affid_report": 21,
    "mtd_report": 23,
}
FIXED_NOW = datetime.datetime(2026, 12, 8, 10, 30)


def read_sql(qry, engine):
    return qry


def get_filters(filters, *args, **kwargs):
    return "AND crm_id IN (1, 2)"


def format_group_by(group_by):
    return group_by


def get_order_by(group_by, order_by):
    return ", ".join(group_by)


def now():
    return FIXED_NOW


def stub_helpers(module):
    """Helpers that cost next to nothing, so the figures are the reports' own."""
    module.pd = types.SimpleNamespace(read_sql=read_sql)
    for helper in (get_filters, format_group_by, get_order_by, now):
        if hasattr(module, helper.__name__):
            setattr(module, helper.__name__, helper)


def floor(name, text):
    """The least a call of `name` can cost: the same helper calls and one join."""
    size = -(-len(text) // PIECES[name])
    pieces = [text[i : i + size] for i in range(0, len(text), size)]
    helpers = {
        "inactive_report": lambda g, f, o: get_filters(f, translate=TRANSLATE, prefix="WHERE"),
        "continuity_report": lambda g, f, o: (get_filters(f), format_group_by(g), now()),
        "approval_report": lambda g, f, o: get_filters(f, translate=TRANSLATE, prefix="WHERE"),
        "bin_report": lambda g, f, o: (format_group_by(g), get_filters(f, "a.")),
        "affid_report": lambda g, f, o: (
            get_filters(f),
            get_order_by(format_group_by(g), o),
        ),
        "mtd_report": lambda g, f, o: (get_filters(f), get_order_by(format_group_by(g), o)),
    }[name]
    if name == "mtd_report":

        def call(db, group_by=(), reporting_query=False, filters=(), order_by=False, **kwargs):
            helpers(group_by, filters, order_by)
            return read_sql("".join(pieces), db.engine)

    else:

        def call(
            db,
            group_by=(),
            filters=(),
            reporting_query=False,
            order_by=False,
            inc_test_cc=False,
            **kwargs,
        ):
            helpers(group_by, filters, order_by)
            return read_sql("".join(pieces), db.engine)

    return call


def load_baseline(path):
    """Another build of the module, loaded beside ours from a package of its own."""
    root = Path(tempfile.mkdtemp(prefix="baseline-"))
    # The loaded module needs no file once it is mapped; the folder goes at exit.
    atexit.register(shutil.rmtree, root, ignore_errors=True)
    package = root / "baseline_host"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "dependencies.py").write_text("from reports.dependencies import *  # noqa\n")
    shutil.copy(path, package / Path(path).name)
    sys.path.insert(0, str(root))
    return importlib.import_module("baseline_host.orvesta")


def calls_of(module):
    db = types.SimpleNamespace(engine=object())
    return {
        "inactive_report": lambda: module.inactive_report(db, reporting_query=DATES),
        "continuity_report": lambda: module.continuity_report(db, GROUPING, {}, DATES),
        "approval_report": lambda: module.approval_report(db, reporting_query=DATES),
        "bin_report": lambda: module.bin_report(db, GROUPING, {}, DATES),
        "affid_report": lambda: module.affid_report(db, GROUPING, {}, DATES),
        "mtd_report": lambda: module.mtd_report(db, GROUPING, DATES),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=20000, help="calls per measurement")
    parser.add_argument("--repeat", type=int, default=5, help="measurements per report")
    parser.add_argument("--baseline", help="another build of the orvesta module (.so)")
    options = parser.parse_args()

    implementations = {"module": orvesta}
    if options.baseline:
        implementations["baseline"] = load_baseline(options.baseline)
    for module in [*implementations.values(), *vars(plain_reports).values()]:
        if isinstance(module, types.ModuleType) and module.__name__ != "datetime":
            stub_helpers(module)
    calls = {label: calls_of(module) for label, module in implementations.items()}
    calls["plain"] = calls_of(plain_reports)
    texts = {name: calls["module"][name]() for name in REPORTS}
    floors = {name: floor(name, texts[name]) for name in REPORTS}
    calls["floor"] = calls_of(types.SimpleNamespace(**floors))

    for label, table in calls.items():
        differing = [name for name in REPORTS if table[name]() != texts[name]]
        if differing and label != "floor":
            print(f"warning: {label} writes other texts for {', '.join(differing)}")

    best = {label: {} for label in calls}
    for _ in range(options.repeat):  # interleaved, so that drift hits all alike
        for name in REPORTS:
            for label, table in calls.items():
                seconds = timeit.timeit(table[name], number=options.number)
                per_call = seconds / options.number * 1e6
                best[label][name] = min(best[label].get(name, per_call), per_call)

    labels = list(calls)
    header = f"{'report':<19}{'chars':>7}" + "".join(f"{label:>10}" for label in labels)
    header += f"{'plain/mod':>11}{'mod-floor':>11}"
    if options.baseline:
        header += f"{'base/mod':>10}"
    print(
        f"best µs per call of {options.repeat} x {options.number}, CPython {sys.version.split()[0]}"
    )
    print(header)
    for name in REPORTS:
        figures = best["module"][name]
        row = f"{name:<19}{len(texts[name]):>7}"
        row += "".join(f"{best[label][name]:>10.2f}" for label in labels)
        row += f"{best['plain'][name] / figures:>10.2f}x{figures - best['floor'][name]:>11.2f}"
        if options.baseline:
            row += f"{best['baseline'][name] / figures:>9.2f}x"
        print(row)


if __name__ == "__main__":
    main()
