# Types of the report module as built into this package, beside reports.dependencies.
#
# The module hands `filters`, `group_by` and `order_by` to the helper module unchanged,
# so their types are the ones reports.dependencies takes; a host that puts the module
# beside helpers of its own keeps these stubs only as far as its helpers agree.
#
# Every report reads reporting_query["start_date"] and ["end_date"]; its default, False,
# cannot be subscripted, so a call without it raises TypeError. The last overload of
# each report says so (NoReturn) while matching the runtime signature, default included.
# The helpers refuse an empty grouping (ValueError), so the reports that group need
# group_by although it defaults to an empty list. Parameters a report never reads are
# `object`: anything is accepted and ignored.

import datetime
from collections.abc import Iterable, Mapping, Sequence, Set
from decimal import Decimal
from typing import Literal, NoReturn, Protocol, TypeAlias, TypedDict, overload, type_check_only

from pandas import DataFrame
from typing_extensions import ReadOnly

@type_check_only
class _Database(Protocol):
    # Only read, and handed to pandas.read_sql as its connection (an SQLAlchemy
    # engine or connection in practice); the module itself asks nothing of it.
    @property
    def engine(self) -> object: ...

# A date goes into the query between single quotes as its text form (str() of a date or
# datetime, or the string itself), which must hold no quote and no backslash (ValueError).
_Date: TypeAlias = datetime.date | str

# A dict or any other mapping holding "start_date" and "end_date" (KeyError without),
# or a TypedDict with both keys required.
@type_check_only
class _Subscriptable(Protocol):
    def __getitem__(self, key: str, /) -> _Date: ...

@type_check_only
class _RequestDict(TypedDict):
    start_date: ReadOnly[_Date]
    end_date: ReadOnly[_Date]

_ReportRequest: TypeAlias = _Subscriptable | _RequestDict

# A filter value is compared with `=` (None: IS NULL); a list, tuple, set or frozenset
# of them with IN. Sequence and Set keep a dict[str, list[int]] acceptable (list is
# invariant); other sequences, nested collections and mappings raise TypeError.
_FilterScalar: TypeAlias = str | int | float | Decimal | datetime.date | datetime.time | None
_Filters: TypeAlias = Mapping[str, _FilterScalar | Sequence[_FilterScalar] | Set[_FilterScalar]]
# Column names; one name may be given as a string.
_Grouping: TypeAlias = str | Iterable[str]
# "col", "col desc", "-col", ("col", "asc"), or a list of them; false: grouping order.
_OrderItem: TypeAlias = str | tuple[str, str]
_Ordering: TypeAlias = _OrderItem | Iterable[_OrderItem] | Literal[False] | None
# The continuity report joins the items itself: column names, each with an optional
# ASC/DESC and NULLS FIRST/LAST (ValueError otherwise); false: grouping order.
_ColumnOrdering: TypeAlias = Iterable[str] | Literal[False] | None

ALERT_PROVIDERS: list[str]

def get_first_dom() -> datetime.date: ...

# Inactive gateways; reads filters only, besides the (unused) dates.
@overload
def inactive_report(
    db: _Database,
    group_by: object,
    filters: _Filters | None,
    reporting_query: _ReportRequest,
    order_by: object = ...,
    inc_test_cc: object = ...,
    **kwargs: object,
) -> DataFrame: ...
@overload
def inactive_report(
    db: _Database,
    group_by: object = ...,
    filters: _Filters | None = ...,
    *,
    reporting_query: _ReportRequest,
    order_by: object = ...,
    inc_test_cc: object = ...,
    **kwargs: object,
) -> DataFrame: ...
@overload
def inactive_report(
    db: _Database,
    group_by: object = ...,
    filters: _Filters | None = ...,
    reporting_query: Literal[False] = False,
    order_by: object = ...,
    inc_test_cc: object = ...,
    **kwargs: object,
) -> NoReturn: ...

# Upcoming recurring cycles per group.
@overload
def continuity_report(
    db: _Database,
    group_by: _Grouping,
    filters: _Filters | None,
    reporting_query: _ReportRequest,
    order_by: _ColumnOrdering = ...,
    inc_test_cc: object = ...,
    **kwargs: object,
) -> DataFrame: ...
@overload
def continuity_report(
    db: _Database,
    group_by: _Grouping,
    filters: _Filters | None = ...,
    *,
    reporting_query: _ReportRequest,
    order_by: _ColumnOrdering = ...,
    inc_test_cc: object = ...,
    **kwargs: object,
) -> DataFrame: ...
@overload
def continuity_report(
    db: _Database,
    group_by: _Grouping = ...,
    filters: _Filters | None = ...,
    reporting_query: Literal[False] = False,
    order_by: _ColumnOrdering = ...,
    inc_test_cc: object = ...,
    **kwargs: object,
) -> NoReturn: ...

# Approval rates by corporation, processor, MID and card type.
@overload
def approval_report(
    db: _Database,
    group_by: object,
    filters: _Filters | None,
    reporting_query: _ReportRequest,
    order_by: object = ...,
    inc_test_cc: object = ...,
    **kwargs: object,
) -> DataFrame: ...
@overload
def approval_report(
    db: _Database,
    group_by: object = ...,
    filters: _Filters | None = ...,
    *,
    reporting_query: _ReportRequest,
    order_by: object = ...,
    inc_test_cc: object = ...,
    **kwargs: object,
) -> DataFrame: ...
@overload
def approval_report(
    db: _Database,
    group_by: object = ...,
    filters: _Filters | None = ...,
    reporting_query: Literal[False] = False,
    order_by: object = ...,
    inc_test_cc: object = ...,
    **kwargs: object,
) -> NoReturn: ...

# Blacklisted BINs per group, top 1000 by initial count; the grouping includes "bin".
@overload
def bin_report(
    db: _Database,
    group_by: _Grouping,
    filters: _Filters | None,
    reporting_query: _ReportRequest,
    order_by: object = ...,
    inc_test_cc: object = ...,
    **kwargs: object,
) -> DataFrame: ...
@overload
def bin_report(
    db: _Database,
    group_by: _Grouping,
    filters: _Filters | None = ...,
    *,
    reporting_query: _ReportRequest,
    order_by: object = ...,
    inc_test_cc: object = ...,
    **kwargs: object,
) -> DataFrame: ...
@overload
def bin_report(
    db: _Database,
    group_by: _Grouping = ...,
    filters: _Filters | None = ...,
    reporting_query: Literal[False] = False,
    order_by: object = ...,
    inc_test_cc: object = ...,
    **kwargs: object,
) -> NoReturn: ...

# Orders per affiliate group; inc_test_cc keeps test-card orders in.
@overload
def affid_report(
    db: _Database,
    group_by: _Grouping,
    filters: _Filters | None,
    reporting_query: _ReportRequest,
    order_by: _Ordering = ...,
    inc_test_cc: bool = ...,
    **kwargs: object,
) -> DataFrame: ...
@overload
def affid_report(
    db: _Database,
    group_by: _Grouping,
    filters: _Filters | None = ...,
    *,
    reporting_query: _ReportRequest,
    order_by: _Ordering = ...,
    inc_test_cc: bool = ...,
    **kwargs: object,
) -> DataFrame: ...
@overload
def affid_report(
    db: _Database,
    group_by: _Grouping = ...,
    filters: _Filters | None = ...,
    reporting_query: Literal[False] = False,
    order_by: _Ordering = ...,
    inc_test_cc: bool = ...,
    **kwargs: object,
) -> NoReturn: ...

# Month-to-date revenue per group; reporting_query comes before filters here.
@overload
def mtd_report(
    db: _Database,
    group_by: _Grouping,
    reporting_query: _ReportRequest,
    filters: _Filters | None = ...,
    order_by: _Ordering = ...,
    **kwargs: object,
) -> DataFrame: ...
@overload
def mtd_report(
    db: _Database,
    group_by: _Grouping = ...,
    reporting_query: Literal[False] = False,
    filters: _Filters | None = ...,
    order_by: _Ordering = ...,
    **kwargs: object,
) -> NoReturn: ...
