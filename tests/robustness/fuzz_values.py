"""Hostile values for the fuzz run (fuzz.py): objects whose special methods raise, return
the wrong thing or change the call's own arguments, the functions' attributes and the
modules' globals; recursive containers, huge numbers, odd strings and dates.

Everything is drawn from one random generator, so that a case can be made again."""

import datetime
import gc

PIECES = [
    "crm_id", "a.b", "", " ", "'", "''", "\\", "%", "%%", "%(x)s", "%s", "\x00", "\ud800",
    "\udfff", "\U0001f600", "é", '"', '"a %"', '"we""ird"', "DESC", "NULLS LAST", ";", "--",
    "start_date", "end_date", "engine", "x" * 300,
]  # fmt: skip
ERRORS = [
    ValueError, KeyError, TypeError, RuntimeError, LookupError, RecursionError, MemoryError,
    StopIteration, KeyboardInterrupt, ZeroDivisionError, AttributeError, UnicodeError,
]  # fmt: skip
ATTRIBUTES = ["__defaults__", "__module__", "__qualname__", "__name__", "__doc__", "__dict__"]
SPECIAL = [
    "__str__", "__format__", "__repr__", "__eq__", "__hash__", "__bool__", "__iter__",
    "__getitem__", "__len__", "__index__", "__del__", "__getattr__", "isoformat", "items",
    "keys", "astype", "set_index", "to_dict", "replace", "date",
]  # fmt: skip


def raising(error):
    def act():
        raise error("hostile")

    return act


class Case:
    """One case's generator and what its mischief may reach: the targets, the modules,
    and the mutable arguments of the call being made."""

    def __init__(self, rng, world):
        self.rng = rng
        self.world = world
        self.arguments = []
        self.depth = 0

    def chance(self, p):
        return self.rng.random() < p

    def choice(self, items):
        return items[self.rng.randrange(len(items))]

    # -- plain values ---------------------------------------------------------------

    def text(self):
        return "".join(self.choice(PIECES) for _ in range(self.rng.randrange(1, 4)))

    def number(self):
        return self.choice(
            [0, -1, 1, 2**63, -(2**64), 10**5000, 1.5, float("nan"), float("inf"), True, 2**31]
        )

    def moment(self):
        rng = self.rng
        zones = [None, datetime.timezone.utc, datetime.timezone(datetime.timedelta(hours=-5))]
        zones.append(datetime.timezone(datetime.timedelta(hours=13, minutes=7, seconds=3)))
        zones.append(datetime.timezone(datetime.timedelta(microseconds=-1)))
        year = self.choice([1, 9, 999, 1000, 1969, 2026, 9999, rng.randrange(1, 10000)])
        day = datetime.date(year, rng.randrange(1, 13), rng.randrange(1, 29))
        if self.chance(0.4):
            return self.subclass(datetime.date)(day.year, day.month, day.day)
        time = [rng.randrange(24), rng.randrange(60), rng.randrange(60)]
        micro = self.choice([0, 0, 1, 999999, rng.randrange(10**6)])
        kind = self.subclass(datetime.datetime) if self.chance(0.3) else datetime.datetime
        return kind(day.year, day.month, day.day, *time, micro, tzinfo=self.choice(zones))

    def container(self):
        kind = self.rng.randrange(7)
        items = [self.value() for _ in range(self.rng.randrange(4))]
        if kind == 0:
            items.append(items)  # holds itself
            return items
        if kind == 1:
            mapping = {self.text(): value for value in items}
            mapping["self"] = mapping
            return mapping
        if kind == 2:
            return tuple(items)
        if kind == 3:
            return iter(items)
        if kind == 4:
            return {"start_date": self.value(), "end_date": self.value()}
        if kind == 5:
            return {self.text(): self.value() for _ in items}
        return items

    def value(self):
        self.depth += 1
        try:
            if self.depth > 3:
                return self.choice([None, "crm_id", 1, []])
            kind = self.rng.randrange(10)
            if kind < 2:
                return self.text()
            if kind == 2:
                return self.number()
            if kind == 3:
                return self.moment()
            if kind in (4, 5):
                return self.container()
            if kind == 6:
                return self.choice([None, False, b"crm_id", object(), *self.world.targets.values()])
            return self.hostile()
        finally:
            self.depth -= 1

    # -- hostile objects ------------------------------------------------------------

    def mischief(self):
        """Something a hostile method does before answering, drawn now, done later."""
        rng, world = self.rng, self.world
        kind = rng.randrange(9) if self.depth < 3 else 8
        if kind == 0:
            return raising(self.choice(ERRORS))
        if kind == 1:
            target = self.choice(list(world.targets.values()))
            attribute, value = self.choice(ATTRIBUTES), self.attribute_value()
            return lambda: world.assign(target, attribute, value)
        if kind == 2:
            seed = rng.random()
            return lambda: world.disturb_arguments(self.arguments, seed)
        if kind == 3:
            name, value = self.choice(world.global_names), self.value()
            return lambda: world.rebind(name, value)
        if kind == 4 and self.depth < 2:
            call = self.call()
            return lambda: world.run(call)
        if kind == 5:
            return lambda: gc.collect(0)
        return lambda: None

    def attribute_value(self):
        return self.choice(
            [None, (), (self.value(),), (None,) * 9, ([], {}, False, False, False), self.text(),
             self.hostile(), 12345, {}, {"x": self.value()}, self.world.DELETE]
        )  # fmt: skip

    def subclass(self, base):
        """A subclass of `base`, some of whose special methods are hostile."""
        methods = {}
        self.depth += 1
        try:
            for name in self.rng.sample(SPECIAL, self.rng.randrange(0, 4)):
                methods[name] = self.method(name)
        finally:
            self.depth -= 1
        try:
            return type(f"Hostile{base.__name__.title()}", (base,), methods)
        except TypeError:
            return type("Hostile", (object,), methods)

    def method(self, name):
        act, answer = self.mischief(), self.answer(name)
        if name == "__getattr__":

            def method(self, attribute):
                if attribute.startswith("__"):
                    raise AttributeError(attribute)
                act()
                return answer()

        elif name == "__getitem__":

            def method(self, key):
                if isinstance(key, int) and key > 5:
                    raise IndexError(key)  # iterating by index ends
                act()
                return answer()

        elif name == "__del__":

            def method(self, *args):
                act()

        else:

            def method(self, *args, **kwargs):
                act()
                return answer()

        return method

    def answer(self, name):
        """What a hostile method returns: sometimes right, sometimes of the wrong type."""
        right = {
            "__str__": self.text, "__format__": self.text, "__repr__": self.text,
            "__eq__": lambda: self.choice([True, False, NotImplemented]),
            "__hash__": self.number, "__bool__": lambda: self.choice([True, False]),
            "__len__": lambda: self.choice([0, 3, -1, 2**70]),
            "__index__": lambda: self.choice([0, 2**70]),
            "__iter__": lambda: iter([self.text(), self.text()]),
            "items": lambda: iter([(self.text(), self.value())]),
        }.get(name)  # fmt: skip
        pick = right() if right is not None and self.chance(0.7) else self.value()
        return lambda: pick

    def hostile(self):
        base = self.choice([object, object, str, int, list, dict, tuple, datetime.date])
        cls = self.subclass(base)
        try:
            if base is datetime.date:
                return cls(2026, 11, 1)
            if base in (str, list, tuple):
                return cls(self.choice(["crm_id", "ab", "'%"]))
            if base is dict:
                return cls(start_date=self.value(), end_date=self.value())
            return cls()
        except Exception:
            return cls.__name__

    # -- calls ----------------------------------------------------------------------

    def call(self):
        """(target name, positional arguments, keyword arguments)."""
        world = self.world
        self.depth += 1
        try:
            return self.make_call(world)
        finally:
            self.depth -= 1

    def make_call(self, world):
        name = self.choice(list(world.targets))
        parameters = world.parameters[name]
        positional = [self.argument(p) for p in parameters[: self.rng.randrange(9)]]
        if len(positional) < len(parameters) and self.chance(0.05):
            positional += [self.value() for _ in range(self.rng.randrange(1, 4))]
        keywords = {}
        for parameter in parameters[len(positional) :]:
            if self.chance(0.5):
                keywords[parameter] = self.argument(parameter)
        if self.chance(0.15):
            keywords[self.choice([self.text(), self.subclass(str)("order_by"), "db"])] = (
                self.value()
            )
        self.arguments += [a for a in (*positional, *keywords.values()) if world.mutable(a)]
        return name, positional, keywords

    def argument(self, parameter):
        """Mostly something of the expected shape, so calls get past the first check."""
        if self.chance(0.35):
            return self.value()
        world = self.world
        plausible = {
            "db": lambda: world.database(self),
            "self": lambda: world.reader(self),
            "group_by": lambda: [self.choice(["crm_id", "affid", self.text()])],
            "filters": lambda: {"crm_id": self.value()},
            "reporting_query": lambda: {"start_date": self.moment(), "end_date": self.value()},
            "order_by": lambda: [self.choice(['"a %" DESC', "crm_id", self.text()])],
        }.get(parameter, self.value)
        return plausible()
