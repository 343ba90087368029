"""Fails unless every public name that the installed extension modules define is declared
in their stubs, and the stubs and py.typed lie beside the modules.

stubtest checks each name the stubs declare, and class members both ways, but it takes
a module-level function or class for an import when its __module__ differs from the
module's import name, and ours say "orvesta" and "tintora" rather than
"reports.orvesta": a new function or class without a stub would go unnoticed there.
"""

import ast
import importlib
import sys
import types
from pathlib import Path

MODULES = ("reports.orvesta", "reports.tintora")


def declared_names(stub: Path) -> set[str]:
    names = set()
    for node in ast.parse(stub.read_text()).body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
    return names


def defined_names(module: types.ModuleType) -> set[str]:
    """Public names bound by the module itself: not modules, not the helper module's."""
    own = {module.__name__, module.__name__.rpartition(".")[2]}
    return {
        name
        for name, value in vars(module).items()
        if not name.startswith("_")
        and not isinstance(value, types.ModuleType)
        and getattr(value, "__module__", module.__name__) in own
    }


def problems() -> list[str]:
    found = []
    for name in MODULES:
        module = importlib.import_module(name)
        folder = Path(module.__file__).parent
        stub = folder / (name.rpartition(".")[2] + ".pyi")
        if not (folder / "py.typed").is_file():
            found.append(f"{folder}: no py.typed")
        if not stub.is_file():
            found.append(f"{stub}: missing")
            continue
        for missing in sorted(defined_names(module) - declared_names(stub)):
            found.append(f"{name}.{missing} is not present in stub {stub.name}")
    return found


if __name__ == "__main__":
    found = problems()
    for problem in found:
        print(f"error: {problem}", file=sys.stderr)
    print(f"stub coverage: {len(found)} problem(s) in {len(MODULES)} modules")
    sys.exit(1 if found else 0)
