"""The month-to-date report's second attempt with mid_id for mid_number."""

import pytest

DATES = {"start_date": "2026-11-01", "end_date": "2026-11-30"}


class CountingDb:
    def __init__(self):
        self.reads = 0

    @property
    def engine(self):
        self.reads += 1
        return f"engine#{self.reads}"


@pytest.fixture
def mid_grouping(results):
    results["get_filters"] = "AND mid_number <> ''"
    results["get_order_by"] = lambda group_by, order_by: "a.mid_number"
    return ["crm_id", "mid_number"]


def test_retry_replaces_every_mid_number_and_reads_engine_again(orvesta, pd, mid_grouping):
    db = CountingDb()
    pd.failures.append(LookupError("column mid_number does not exist"))
    frame = orvesta.mtd_report(db, mid_grouping, DATES)
    assert frame is pd.frame
    (first, first_engine), (second, second_engine) = (args for args, _ in pd.queries)
    assert (first_engine, second_engine) == ("engine#1", "engine#2")
    assert first.count("mid_number") == 5  # grouping at three places, filter, ordering
    assert "mid_number" not in second
    assert second == first.replace("mid_number", "mid_id")


def test_text_without_mid_number_runs_again_unchanged(orvesta, db, pd):
    pd.failures.append(ValueError("transient"))
    assert orvesta.mtd_report(db, ["crm_id"], DATES) is pd.frame
    first, second = (args[0] for args, _ in pd.queries)
    assert first == second


def test_second_failure_carries_the_first_as_context(orvesta, db, pd, mid_grouping):
    first_error, second_error = LookupError("first"), RuntimeError("second")
    pd.failures += [first_error, second_error]
    with pytest.raises(RuntimeError) as raised:
        orvesta.mtd_report(db, mid_grouping, DATES)
    assert raised.value is second_error
    assert raised.value.__context__ is first_error
    assert first_error.__traceback__ is not None
    assert len(pd.queries) == 2
    # The handled exception does not outlive the report.
    import sys

    assert sys.exc_info() == (None, None, None)


def test_failure_reading_the_engine_is_retried_too(orvesta, pd):
    class FlakyDb:
        attempts = 0

        @property
        def engine(self):
            FlakyDb.attempts += 1
            if FlakyDb.attempts == 1:
                raise ConnectionError("pool exhausted")
            return "engine"

    assert orvesta.mtd_report(FlakyDb(), ["crm_id"], DATES) is pd.frame
    assert len(pd.queries) == 1


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_interrupts_are_not_retried(orvesta, db, pd, interrupt):
    pd.failures += [interrupt(), LookupError("must not be reached")]
    with pytest.raises(interrupt):
        orvesta.mtd_report(db, ["crm_id"], DATES)
    assert len(pd.queries) == 1


def test_base_exception_subclass_is_not_retried(orvesta, db, pd):
    class Cancelled(BaseException):
        pass

    pd.failures.append(Cancelled())
    with pytest.raises(Cancelled):
        orvesta.mtd_report(db, ["crm_id"], DATES)
    assert len(pd.queries) == 1


def test_context_inside_an_outer_handler_still_chains_to_the_first_failure(orvesta, db, pd):
    first_error, second_error = LookupError("first"), RuntimeError("second")
    pd.failures += [first_error, second_error]
    outer = KeyError("outer")
    try:
        raise outer
    except KeyError:
        with pytest.raises(RuntimeError) as raised:
            orvesta.mtd_report(db, ["crm_id"], DATES)
        import sys

        assert sys.exc_info()[1] is outer  # restored after the report
    assert raised.value.__context__ is first_error
