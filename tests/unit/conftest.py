"""The report module under test, loaded from a host package of the tests' own: a copy of
the built extension beside a stand-in helper module that records every call."""

import importlib
import importlib.util
import shutil
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest

HERE = Path(__file__).parent
HOST_PACKAGE = "standin_host"


def built_extension(name):
    spec = importlib.util.find_spec(f"reports.{name}")
    assert spec is not None and spec.origin, f"reports.{name} is not built"
    return Path(spec.origin)


def make_host_package(root, name, dependencies_source, extension="orvesta"):
    """A package `name` under `root` holding a copy of the extension and the given
    dependencies module; returns the package directory."""
    package = root / name
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "dependencies.py").write_text(dependencies_source)
    source = built_extension(extension)
    shutil.copy(source, package / source.name)
    return package


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


def run_python(code, *, cwd=None, extra_path=(), values=None):
    """Runs `code` in a fresh interpreter (module loading can be checked only once per
    process) and returns the completed process. `values` are bound as globals first."""
    path = [str(p) for p in extra_path]
    prelude = f"import sys; sys.path[:0] = {path!r}\n"
    for name, value in (values or {}).items():
        prelude += f"{name} = {value!r}\n"
    return subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=120,
    )
