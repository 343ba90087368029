"""Loading the report module: what is imported and bound, and the one-module-per-process
rules. Each case runs in a fresh interpreter."""

import sys
from pathlib import Path

import pytest
from host_package import in_shared_gil_interpreter, make_host_package, run_python

STANDIN = (Path(__file__).parent / "standin_dependencies.py").read_text()


@pytest.fixture
def host_root(tmp_path):
    make_host_package(tmp_path, "hostapp", STANDIN)
    return tmp_path


def check(code, root, **values):
    result = run_python(code, extra_path=[root], values=values)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_importing_again_hands_back_the_same_module(host_root):
    check(
        """
        import sys
        import hostapp.orvesta as first
        defaults = first.inactive_report.__defaults__
        del sys.modules["hostapp.orvesta"]
        import hostapp.orvesta as second
        assert second is first
        assert second.inactive_report.__defaults__ is defaults
        assert second.pd is sys.modules["pandas"]
        assert second.now is sys.modules["hostapp.dependencies"].now
        """,
        host_root,
    )


def test_helpers_come_from_the_sibling_module_only(tmp_path):
    """A top-level module named dependencies is not the one imported."""
    make_host_package(tmp_path, "hostapp", STANDIN)
    (tmp_path / "dependencies.py").write_text("raise AssertionError('absolute import')\n")
    check("import hostapp.orvesta", tmp_path)


def test_missing_helper_fails_the_import_and_a_later_import_starts_again(tmp_path):
    package = make_host_package(tmp_path, "hostapp", STANDIN.replace("def get_cast", "def _gone"))
    check(
        """
        import importlib, sys
        try:
            import hostapp.orvesta
        except ImportError as error:
            assert str(error) == "cannot import name get_cast", error
        else:
            raise AssertionError("imported without get_cast")
        assert "hostapp.orvesta" not in sys.modules
        with open(helpers_path, "a") as fh:
            fh.write("\\ndef get_cast():\\n    pass\\n")
        del sys.modules["hostapp.dependencies"]
        importlib.invalidate_caches()
        import hostapp.orvesta
        assert hostapp.orvesta.get_cast is sys.modules["hostapp.dependencies"].get_cast
        """,
        tmp_path,
        helpers_path=str(package / "dependencies.py"),
    )


def test_helper_may_be_a_submodule_of_a_dependencies_package(tmp_path):
    package = make_host_package(tmp_path, "hostapp", "")
    (package / "dependencies.py").unlink()
    helpers = package / "dependencies"
    helpers.mkdir()
    (helpers / "__init__.py").write_text(STANDIN.replace("def now(", "def _now("))
    (helpers / "now.py").write_text("")
    check(
        """
        import hostapp.orvesta, hostapp.dependencies.now as now_module
        assert hostapp.orvesta.now is now_module
        """,
        tmp_path,
    )


def test_pandas_failure_fails_the_import(host_root):
    check(
        """
        import sys
        sys.modules["pandas"] = None
        try:
            import hostapp.orvesta
        except ImportError as error:
            assert "pandas" in str(error)
        else:
            raise AssertionError("imported without pandas")
        assert "hostapp.orvesta" not in sys.modules
        """,
        host_root,
    )


def test_executing_another_module_object_is_refused(host_root):
    check(
        """
        import ctypes, types
        import hostapp.orvesta as module
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        definition = api.PyModule_GetDef(module)
        # PyModuleDef: the base (object header, m_init, m_index, m_copy), then m_name,
        # m_doc, m_size, m_methods and m_slots.
        pointer = ctypes.sizeof(ctypes.c_void_p)
        slots = ctypes.c_void_p.from_address(definition + 2 * pointer + 7 * pointer).value
        class Slot(ctypes.Structure):
            _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]
        exec_slot = next(
            Slot.from_address(slots + i * ctypes.sizeof(Slot)).value
            for i in range(8)
            if Slot.from_address(slots + i * ctypes.sizeof(Slot)).slot == 2  # Py_mod_exec
        )
        execute = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(exec_slot)
        assert execute(module) == 0  # the initialised module itself: nothing to do
        try:
            execute(types.ModuleType("orvesta"))
        except RuntimeError as error:
            assert str(error) == (
                "Module 'orvesta' has already been imported. Re-initialisation is not supported."
            ), error
        else:
            raise AssertionError("executed a second module object")
        """,
        host_root,
    )


def test_second_interpreter_is_refused(host_root):
    script = "\n".join(
        [
            f"import sys; sys.path.insert(0, {str(host_root)!r})",
            "try:",
            "    import hostapp.orvesta",
            "except ImportError as error:",
            "    message = str(error)",
            "else:",
            "    message = 'imported'",
            "assert message == ('Interpreter change detected - this module can only be loaded '",
            "                   'into one interpreter per process.'), message",
        ]
    )
    output = check(
        in_shared_gil_interpreter(
            """
        import hostapp.orvesta
        result = interpreters.run_string(interp, script)
        print("refused" if result is None else result)
        """
        ),
        host_root,
        script=script,
    )
    assert output.strip() == "refused"


def test_no_version_warning_on_the_interpreter_it_was_built_for(host_root):
    output = check(
        """
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("error", RuntimeWarning)
            import hostapp.orvesta
        print("ok")
        """,
        host_root,
    )
    assert output.strip() == "ok"
    assert sys.version_info[:2] >= (3, 10)
