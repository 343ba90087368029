"""Wall time of every report on the sample warehouse in a throwaway PostgreSQL cluster,
through pandas.read_sql, SQLAlchemy and psycopg2, as a host application runs them:
first on the plain schema (tables, primary keys, ANALYZE, default settings), then with
the recommended indexes and statistics (reports.warehouse.tune) and session settings
(reports.session_settings), side by side in one run.

    .venv/py3.10/bin/python bench/database.py [--scale 100000] [--span-days 730] [--repeat 3]

The reports of each configuration run in a fresh process of their own, whose peak
resident memory is shown: what a host's report process needs, without the generator.
"""

import argparse
import datetime
import json
import resource
import statistics
import subprocess
import sys
import time
import types

CONFIGURATIONS = ("plain", "tuned")


def reports(db):
    from reports import orvesta, tintora

    today = datetime.date.today()
    month = {"start_date": today - datetime.timedelta(days=30), "end_date": today}
    quarter = {"start_date": today - datetime.timedelta(days=90), "end_date": today}
    return {
        "inactive_report": lambda: orvesta.inactive_report(db, reporting_query=month),
        "continuity_report": lambda: orvesta.continuity_report(
            db, ["crm_id", "gateway_id"], reporting_query=month
        ),
        "approval_report": lambda: orvesta.approval_report(db, reporting_query=quarter),
        "bin_report": lambda: orvesta.bin_report(db, ["crm_id", "bin"], reporting_query=quarter),
        "affid_report": lambda: orvesta.affid_report(db, ["affid"], reporting_query=quarter),
        "mtd_report": lambda: orvesta.mtd_report(db, ["crm_id", "mid_number"], month),
        "Tintora.get": lambda: tintora.Tintora(db).get("status_colors", "status_code"),
    }


def timed(call, repeat):
    times, rows = [], 0
    for _ in range(repeat):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
        rows = len(result)
    return {"best": min(times), "median": statistics.median(times), "rows": rows}


def peak_resident_mb():
    # VmHWM starts afresh at exec, unlike getrusage's ru_maxrss, which keeps the
    # parent's peak across fork and exec.
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def run_reports(url, configuration, repeat):
    """In the child process: every report, timed; JSON on stdout."""
    import sqlalchemy

    from reports.session_settings import configure_report_engine

    engine = sqlalchemy.create_engine(url)
    if configuration == "tuned":
        configure_report_engine(engine)
    db = types.SimpleNamespace(engine=engine)
    figures = {name: timed(call, repeat) for name, call in reports(db).items()}
    engine.dispose()
    json.dump({"reports": figures, "peak_mb": peak_resident_mb()}, sys.stdout)


def in_child(url, configuration, repeat):
    command = [sys.executable, __file__, "--child", configuration, "--url", url]
    done = subprocess.run(
        [*command, "--repeat", str(repeat)], stdout=subprocess.PIPE, text=True, check=True
    )
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=int, default=100_000, help="orders in the warehouse")
    parser.add_argument(
        "--span-days", type=int, default=None, help="days of history (default: two years)"
    )
    parser.add_argument("--repeat", type=int, default=3, help="runs per report")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--child", choices=CONFIGURATIONS, help=argparse.SUPPRESS)
    parser.add_argument("--url", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        run_reports(options.url, options.child, options.repeat)
        return

    from reports import pg, warehouse

    span = options.span_days or warehouse.DEFAULT_SPAN_DAYS
    results = {}
    with pg.EmbeddedPostgres() as server:
        start = time.perf_counter()
        warehouse.load(
            server.engine, scale=options.scale, seed=options.seed, span_days=span, tuned=False
        )
        print(
            f"loaded {options.scale} orders over {span} days in {time.perf_counter() - start:.1f} s"
        )
        server.engine.dispose()  # the children open their own connections
        results["plain"] = in_child(server.url, "plain", options.repeat)
        start = time.perf_counter()
        warehouse.tune(server.engine)
        print(f"indexes, statistics and VACUUM (ANALYZE) in {time.perf_counter() - start:.1f} s")
        server.engine.dispose()
        results["tuned"] = in_child(server.url, "tuned", options.repeat)

    plain, tuned = results["plain"]["reports"], results["tuned"]["reports"]
    print(f"\n{'':<20}{'plain schema':>26}  {'indexes, statistics, settings':>31}")
    print(
        f"{'report':<20}{'rows':>8}{'best s':>9}{'median s':>9}  "
        f"{'rows':>8}{'best s':>9}{'median s':>9}{'speed-up':>9}"
    )
    for name, before in plain.items():
        after = tuned[name]
        print(
            f"{name:<20}{before['rows']:>8}{before['best']:>9.3f}{before['median']:>9.3f}  "
            f"{after['rows']:>8}{after['best']:>9.3f}{after['median']:>9.3f}"
            f"{before['best'] / after['best']:>8.1f}x"
        )
    print(
        f"{'peak memory MB':<20}{results['plain']['peak_mb']:>26.0f}  "
        f"{results['tuned']['peak_mb']:>26.0f}"
    )


if __name__ == "__main__":
    main()
