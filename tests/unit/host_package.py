"""Building a host package around a copy of a built extension module, and running code
in a fresh interpreter."""

import importlib.util
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest


def built_extension(name):
    found = importlib.util.find_spec(f"reports.{name}")
    assert found is not None and found.origin, f"reports.{name} is not built"
    return Path(found.origin)


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


def in_shared_gil_interpreter(code):
    """Child `code` after lines that bind `interpreters` and `interp`, a new interpreter
    sharing the main one's GIL: the only kind the modules load into, so that the modules'
    own check and not the interpreter's isolation check decides. Skips where there is
    no subinterpreter module."""
    for module in ("_interpreters", "_xxsubinterpreters"):
        try:
            __import__(module)
        except ImportError:
            continue
        return textwrap.dedent(
            f"""
            import importlib
            interpreters = importlib.import_module({module!r})
            for create in (
                lambda: interpreters.create("legacy"),  # 3.13
                lambda: interpreters.create(isolated=False),  # 3.12
                interpreters.create,  # 3.10, 3.11
            ):
                try:
                    interp = create()
                    break
                except (TypeError, ValueError):
                    continue
            """
        ) + textwrap.dedent(code)
    pytest.skip("this interpreter has no subinterpreter module")
