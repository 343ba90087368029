# Types of the color index module as built into this package.

from collections.abc import Hashable
from typing import ClassVar, Protocol, TypeVar, type_check_only

from _typeshed import SupportsItems

_K = TypeVar("_K", bound=Hashable)
_V = TypeVar("_V")

@type_check_only
class _Database(Protocol):
    # Only read, at each get, and handed to pandas.read_sql as its connection.
    @property
    def engine(self) -> object: ...

class Tintora:
    # Filter name -> the name name_map puts in its place. Created empty; the host may
    # fill it or rebind it on Tintora (entries on a subclass or an instance are unused).
    _col_map: ClassVar[dict[str, str]]
    db: _Database
    # "ui_tintora"; get reads from the schema the instance holds at the time.
    schema: str
    def __init__(self, db: _Database) -> None: ...
    # The keys of `filters` mapped through Tintora._col_map (unmapped keys kept), values
    # kept, in a new dictionary; `filters` is a dict or anything with items().
    @staticmethod
    def name_map(filters: SupportsItems[_K, _V]) -> dict[_K | str, _V]: ...
    # The table `name` of the schema, every cell as text, keyed by the text of column
    # `key`: {key text: {other column: text}}. A schema or table name that is not an
    # SQL identifier raises ValueError before any query.
    def get(self, name: str, key: str) -> dict[str, dict[str, str]]: ...

class TintoraV2(Tintora):
    def __init__(self, db: _Database) -> None: ...
