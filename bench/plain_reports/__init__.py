"""The six reports as the obvious pure-Python code a host would write (f-strings over
the same query text, the same helpers), for bench/query_building.py to measure against."""

from .affid import affid_report
from .approval import approval_report
from .bin import bin_report
from .continuity import continuity_report
from .inactive import inactive_report
from .mtd import mtd_report

__all__ = [
    "inactive_report",
    "continuity_report",
    "approval_report",
    "bin_report",
    "affid_report",
    "mtd_report",
]
