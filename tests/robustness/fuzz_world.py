"""What the fuzz run calls and what its hostile values may change: the public callables
of both modules, their attributes, the modules' globals and the stand-ins for pandas and
the helper module, all put back before every case."""

import datetime
import types

from reports import orvesta, tintora

DELETE = object()
HELPERS = ["get_filters", "format_group_by", "get_order_by", "now"]


class World:
    DELETE = DELETE

    def __init__(self):
        Tintora = tintora.Tintora
        self.targets = {
            name: getattr(orvesta, name)
            for name in [
                "inactive_report", "continuity_report", "approval_report", "bin_report",
                "affid_report", "mtd_report", "get_first_dom",
            ]
        }  # fmt: skip
        self.targets.update(
            Tintora=Tintora,
            TintoraV2=tintora.TintoraV2,
            get=Tintora.get,
            name_map=Tintora.name_map,
            bound_get=Tintora(types.SimpleNamespace(engine=None)).get,
        )
        report = ["db", "group_by", "filters", "reporting_query", "order_by", "inc_test_cc"]
        self.parameters = {name: report for name in self.targets}
        self.parameters.update(
            mtd_report=["db", "group_by", "reporting_query", "filters", "order_by"],
            get_first_dom=[],
            Tintora=["db"],
            TintoraV2=["db"],
            get=["self", "name", "key"],
            bound_get=["name", "key"],
            name_map=["filters"],
        )
        self.functions = [f for f in self.targets.values() if type(f).__name__ != "type"]
        self.functions += [Tintora.__init__, tintora.TintoraV2.__init__]
        self.functions = [f for f in self.functions if not isinstance(f, types.MethodType)]
        self.global_names = [f"orvesta.{n}" for n in [*HELPERS, "pd", "ALERT_PROVIDERS"]]
        self.global_names += ["tintora.pd", "tintora.Tintora", "Tintora._col_map"]
        self.saved_globals = {m: dict(vars(m)) for m in (orvesta, tintora)}
        self.saved_col_map = Tintora.__dict__["_col_map"]
        self.saved_attributes = [
            (f, name, getattr(f, name))
            for f in self.functions
            for name in ["__defaults__", "__module__", "__qualname__", "__name__", "__doc__"]
        ]
        self.saved_dicts = [(f, dict(f.__dict__)) for f in self.functions]
        self.calls = 0

    # -- putting everything back ---------------------------------------------------------

    def restore(self):
        for module, saved in self.saved_globals.items():
            namespace = vars(module)
            for name in [n for n in namespace if n not in saved]:
                del namespace[name]
            namespace.update(saved)
        self.saved_globals[tintora]["Tintora"]._col_map = self.saved_col_map
        for function, name, value in self.saved_attributes:
            setattr(function, name, value)
        for function, saved in self.saved_dicts:
            function.__dict__ = dict(saved)

    # -- what a case sets up --------------------------------------------------------------

    def configure(self, case):
        """Stand-ins for this case: the real helpers, plain ones or hostile ones."""
        plain = {
            "get_filters": lambda *a, **k: "AND crm_id = 1",
            "format_group_by": lambda group_by: group_by,
            "get_order_by": lambda group_by, order_by: "crm_id",
            "now": lambda: datetime.datetime(2026, 12, 8, 10, 30, 15, 250),
        }
        for name in HELPERS:
            pick = case.rng.randrange(4)
            if pick == 1:
                setattr(orvesta, name, plain[name])
            elif pick == 2:
                setattr(orvesta, name, self.hostile_callable(case))
            elif pick == 3:
                setattr(orvesta, name, case.value())
            # else: the real helper from the dependencies module stays
        pd = types.SimpleNamespace(read_sql=self.read_sql(case))
        orvesta.pd = tintora.pd = pd
        if case.chance(0.2):
            orvesta.ALERT_PROVIDERS = case.choice(
                [["ethoca", case.text()], case.value(), (case.hostile(),)]
            )
        if case.chance(0.2):
            table = case.choice([{"a": case.value()}, case.hostile()])
            self.saved_globals[tintora]["Tintora"]._col_map = table

    def hostile_callable(self, case):
        act, answer = case.mischief(), case.value()

        def helper(*args, **kwargs):
            act()
            return answer

        return helper

    def read_sql(self, case):
        pick = case.rng.randrange(4)
        if pick == 0:
            return lambda qry, engine: qry
        if pick == 1:
            return self.hostile_callable(case)
        frame = case.subclass(object)()
        return lambda qry, engine: frame

    def database(self, case):
        if case.chance(0.2):
            return case.hostile()
        return types.SimpleNamespace(engine=case.value())

    def reader(self, case):
        reader = self.saved_globals[tintora]["Tintora"](self.database(case))
        if case.chance(0.4):
            reader.schema = case.choice([case.text(), case.value(), "ui_tintora"])
        return reader

    # -- mischief ---------------------------------------------------------------------

    def assign(self, function, attribute, value):
        if not hasattr(function, "__defaults__"):
            function = getattr(function, "__init__", function)
        if value is DELETE:
            delattr(function, attribute)
        else:
            setattr(function, attribute, value)

    def rebind(self, name, value):
        owner, attribute = name.split(".")
        target = {"orvesta": orvesta, "tintora": tintora}.get(owner, tintora.Tintora)
        if value is None and owner != "Tintora":
            delattr(target, attribute)
        else:
            setattr(target, attribute, value)

    @staticmethod
    def mutable(value):
        return type(value) in (list, dict)

    @staticmethod
    def disturb_arguments(arguments, seed):
        for index, argument in enumerate(arguments):
            pick = int(seed * 1000 + index) % 4
            if pick == 0:
                argument.clear()
            elif pick == 1 and isinstance(argument, list):
                argument.append(argument)
            elif pick == 1:
                argument["start_date"] = argument
            elif pick == 2 and argument:
                argument.pop() if isinstance(argument, list) else argument.popitem()

    def run(self, call):
        name, positional, keywords = call
        self.calls += 1
        return self.targets[name](*positional, **keywords)
