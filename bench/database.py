"""Wall time of every report on the sample warehouse in a throwaway PostgreSQL cluster,
through pandas.read_sql, SQLAlchemy and psycopg2, as a host application runs them.

    .venv/py3.10/bin/python bench/database.py [--scale 100000] [--repeat 3]
"""

import argparse
import datetime
import statistics
import time
import types

from reports import orvesta, pg, tintora, warehouse


def timed(call, repeat):
    times, rows = [], 0
    for _ in range(repeat):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
        rows = len(result)
    return min(times), statistics.median(times), rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=int, default=100_000, help="orders in the warehouse")
    parser.add_argument("--repeat", type=int, default=3, help="runs per report")
    parser.add_argument("--seed", type=int, default=0)
    options = parser.parse_args()

    with pg.EmbeddedPostgres() as server:
        start = time.perf_counter()
        warehouse.load(server.engine, scale=options.scale, seed=options.seed)
        print(f"loaded {options.scale} orders in {time.perf_counter() - start:.1f} s")
        db = types.SimpleNamespace(engine=server.engine)
        today = datetime.date.today()
        month = {"start_date": today - datetime.timedelta(days=30), "end_date": today}
        quarter = {"start_date": today - datetime.timedelta(days=90), "end_date": today}
        reports = {
            "inactive_report": lambda: orvesta.inactive_report(db, reporting_query=month),
            "continuity_report": lambda: orvesta.continuity_report(
                db, ["crm_id", "gateway_id"], reporting_query=month
            ),
            "approval_report": lambda: orvesta.approval_report(db, reporting_query=quarter),
            "bin_report": lambda: orvesta.bin_report(
                db, ["crm_id", "bin"], reporting_query=quarter
            ),
            "affid_report": lambda: orvesta.affid_report(db, ["affid"], reporting_query=quarter),
            "mtd_report": lambda: orvesta.mtd_report(db, ["crm_id", "mid_number"], month),
            "Tintora.get": lambda: tintora.Tintora(db).get("status_colors", "status_code"),
        }
        print(f"{'report':<20}{'rows':>8}{'best s':>10}{'median s':>10}")
        for name, call in reports.items():
            best, median, rows = timed(call, options.repeat)
            print(f"{name:<20}{rows:>8}{best:>10.3f}{median:>10.3f}")


if __name__ == "__main__":
    main()
