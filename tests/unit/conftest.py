"""The report module under test, loaded from a host package of the tests' own: a copy of
the built extension beside a stand-in helper module that records every call."""

import importlib
import sys
import types
from pathlib import Path

import pytest
from host_package import make_host_package

HERE = Path(__file__).parent
HOST_PACKAGE = "standin_host"


@pytest.fixture(scope="session")
def host(tmp_path_factory):
    root = tmp_path_factory.mktemp("host")
    make_host_package(root, HOST_PACKAGE, (HERE / "standin_dependencies.py").read_text())
    sys.path.insert(0, str(root))
    try:
        module = importlib.import_module(f"{HOST_PACKAGE}.orvesta")
        yield types.SimpleNamespace(
            orvesta=module, dependencies=sys.modules[f"{HOST_PACKAGE}.dependencies"]
        )
    finally:
        sys.path.remove(str(root))


class RecordingPandas:
    """Stands in for pandas: read_sql records its arguments and answers with a token,
    or raises what the test queued in `failures`."""

    def __init__(self):
        self.queries = []
        self.failures = []
        self.frame = object()

    def read_sql(self, *args, **kwargs):
        self.queries.append((args, kwargs))
        if self.failures:
            raise self.failures.pop(0)
        return self.frame


@pytest.fixture
def pd(host, monkeypatch):
    recorder = RecordingPandas()
    monkeypatch.setattr(host.orvesta, "pd", recorder)
    return recorder


@pytest.fixture
def orvesta(host, pd, monkeypatch):
    """The report module with a recording pandas and a freshly reset stand-in helper
    module; bindings a test changes are restored afterwards."""
    host.dependencies.reset()
    for name in ("get_filters", "format_group_by", "get_order_by", "now", "ALERT_PROVIDERS"):
        monkeypatch.setattr(host.orvesta, name, getattr(host.orvesta, name))
    return host.orvesta


@pytest.fixture
def calls(host):
    return host.dependencies.calls


@pytest.fixture
def results(host):
    return host.dependencies.results


@pytest.fixture
def db():
    return types.SimpleNamespace(engine=object())
