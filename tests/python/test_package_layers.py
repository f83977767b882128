"""The package's layers, as its docstring writes them down, held against every module's imports."""

import ast
import functools
import re
from dataclasses import dataclass
from pathlib import Path

import pytest

import korvex

PACKAGE = Path(korvex.__file__).parent
# Libraries a user may lack (the package's extras and their engines).
OPTIONAL = {
    "dask", "distributed", "jinja2", "markupsafe", "matplotlib", "openpyxl", "pandas", "plotly", "pyarrow", "scipy"
}
# The check of a cluster's workers imports these on each worker, where it runs.
ON_A_WORKER = {("sweeps", "_native"), ("sweeps", "_version")}
LAYER = re.compile(r"^\s*(\d+)\. (\w+): ([\w.]+(?:, [\w.]+)*)\s*$")


def module_name(path: Path, package: Path) -> str:
    """A file's module as the layers name it: bed, cli.demo; a subpackage's __init__.py by the subpackage."""
    parts = path.relative_to(package).with_suffix("").parts
    if parts[-1] == "__init__" and len(parts) > 1:
        parts = parts[:-1]
    return ".".join(parts)


def module_path(package: Path, name: str) -> Path:
    folder = package.joinpath(*name.split("."))
    return folder / "__init__.py" if folder.is_dir() else folder.with_suffix(".py")


MODULES = sorted(module_name(path, PACKAGE) for path in PACKAGE.rglob("*.py"))


@dataclass(frozen=True)
class Import:
    library: str  # the top-level name imported: "korvex" for the package's own modules
    module: str | None  # the package's module it names, if any
    names: tuple[str, ...]  # the names taken from that module
    in_function: bool
    typing_only: bool  # under `if TYPE_CHECKING:`, never run
    line: int


def places() -> dict[str, tuple[int, int]]:
    """Each module's place, as the package docstring lists it: (layer, position within the layer)."""
    found = {}
    for line in korvex.__doc__.splitlines():
        layer = LAYER.match(line)
        if layer:
            for position, name in enumerate(layer[3].split(", ")):
                found[name] = (int(layer[1]), position)
    return found


def imports(name: str) -> list[Import]:
    return imports_in(PACKAGE, name)


def own_module(parts: list[str]) -> str:
    """The package's module that a path of names inside korvex stands for: its __init__ when empty."""
    return ".".join(parts) or "__init__"


@functools.cache
def imports_in(package: Path, name: str) -> list[Import]:
    path = module_path(package, name)
    tree = ast.parse(path.read_text(encoding="utf-8"))
    # The subpackage a relative import starts from: the module's own folder.
    here = name.split(".") if path.name == "__init__.py" and name != "__init__" else name.split(".")[:-1]
    found: list[Import] = []

    def visit(node: ast.AST, in_function: bool, typing_only: bool) -> None:
        for child in ast.iter_child_nodes(node):
            if isinstance(child, ast.ImportFrom):
                names = tuple(alias.name for alias in child.names)
                base = here[: len(here) - child.level + 1] if child.level else []
                if child.level and child.module is None:
                    found.extend(
                        Import("korvex", own_module([*base, alias]), (), in_function, typing_only, child.lineno)
                        for alias in names
                    )
                elif child.level:
                    module = own_module([*base, *child.module.split(".")])
                    found.append(Import("korvex", module, names, in_function, typing_only, child.lineno))
                else:
                    parts = child.module.split(".")
                    module = own_module(parts[1:]) if parts[0] == "korvex" else None
                    found.append(Import(parts[0], module, names, in_function, typing_only, child.lineno))
            elif isinstance(child, ast.Import):
                for alias in child.names:
                    parts = alias.name.split(".")
                    module = own_module(parts[1:]) if parts[0] == "korvex" else None
                    found.append(Import(parts[0], module, (), in_function, typing_only, child.lineno))
            guarded = isinstance(child, ast.If) and ast.unparse(child.test) == "TYPE_CHECKING"
            visit(child, in_function or isinstance(child, ast.FunctionDef), typing_only or guarded)

    visit(tree, False, False)
    return found


PLACES = places()


def loads_optional() -> set[str]:
    """The package's modules that load an optional library as they are imported, directly or through another."""
    loading: set[str] = set()
    grown = True
    while grown:
        grown = False
        for name in set(MODULES) - loading:
            if any(
                item.library in OPTIONAL or item.module in loading
                for item in imports(name)
                if not item.in_function and not item.typing_only
            ):
                loading.add(name)
                grown = True
    return loading


def upward(name: str) -> list[str]:
    return [
        f"line {item.line}: {item.module}"
        for item in imports(name)
        if item.module is not None and item.module in PLACES and PLACES[item.module] >= PLACES[name]
    ]


def lazy(name: str) -> list[str]:
    loading = loads_optional()
    return [
        f"line {item.line}: {item.module or item.library}"
        for item in imports(name)
        if item.in_function
        and item.library not in OPTIONAL
        and item.module not in loading
        and (name, item.module) not in ON_A_WORKER
    ]


def private(name: str) -> list[str]:
    found = imports(name)
    taken = [
        f"line {item.line}: {item.module}.{taken}"
        for item in found
        if item.module is not None
        for taken in item.names
        if taken.startswith("_") and not taken.startswith("__")
    ]
    modules = {item.module.rsplit(".", 1)[-1] for item in found if item.library == "korvex" and not item.names}
    tree = ast.parse(module_path(PACKAGE, name).read_text(encoding="utf-8"))
    return taken + [
        f"line {node.lineno}: {node.value.id}.{node.attr}"
        for node in ast.walk(tree)
        if isinstance(node, ast.Attribute)
        and isinstance(node.value, ast.Name)
        and node.value.id in modules
        and node.attr.startswith("_")
    ]


def test_the_docstring_places_every_module_once():
    layers = [LAYER.match(line) for line in korvex.__doc__.splitlines()]
    listed = [name for layer in layers if layer for name in layer[3].split(", ")]
    assert len(listed) == len(set(listed)), "a module stands in two places"
    assert sorted(set(MODULES) - set(PLACES)) == [], "modules in no layer: give them one in the package docstring"
    assert sorted(set(PLACES) - set(MODULES) - {"_native"}) == [], "the layers name modules that do not exist"


@pytest.mark.parametrize("name", MODULES)
def test_a_module_imports_only_what_lies_below_it(name):
    assert upward(name) == [], f"{name} {PLACES[name]} imports modules placed at or above it"


@pytest.mark.parametrize("name", MODULES)
def test_inside_a_function_a_module_imports_only_what_a_user_may_lack(name):
    assert lazy(name) == [], f"{name} imports inside a function what it could import at the top"


@pytest.mark.parametrize("name", MODULES)
def test_no_private_name_crosses_modules(name):
    assert private(name) == [], f"{name} takes private names of other modules"


def test_the_checks_find_what_breaks_each_rule(tmp_path, monkeypatch):
    built = PACKAGE
    monkeypatch.setattr(f"{__name__}.PACKAGE", tmp_path)
    for name in MODULES:
        path = tmp_path / module_path(built, name).relative_to(built)
        path.parent.mkdir(exist_ok=True)
        path.write_text("")
    (tmp_path / "plots.py").write_text("import matplotlib\n")
    (tmp_path / "series.py").write_text(
        "from typing import TYPE_CHECKING\n"
        "from . import plans\n"
        "if TYPE_CHECKING:\n    from .study import Study\n"
        "def f():\n    from .units import with_volume\n    from .plots import save_plots\n    import pandas\n"
        "from .chunks import _hidden\n"
        "plans._cut()\n"
    )
    # In a subpackage a relative import starts from its own folder, and its __init__.py is the subpackage.
    (tmp_path / "cli" / "options.py").write_text(
        "from ..bed import Bed\nfrom .demo import add_demo_command\nfrom . import terminal\n"
        "from .. import cli\nfrom korvex.cli.sweep import run_sweep\nterminal._hidden()\n"
    )
    (tmp_path / "cli" / "__init__.py").write_text("from .options import x\nfrom ..cli.track import y\n")
    assert upward("series") == ["line 2: plans", "line 4: study", "line 7: plots", "line 9: chunks"]
    assert lazy("series") == ["line 6: units"]
    assert private("series") == ["line 9: chunks._hidden", "line 10: plans._cut"]
    assert upward("cli.options") == ["line 2: cli.demo", "line 3: cli.terminal", "line 4: cli", "line 5: cli.sweep"]
    assert private("cli.options") == ["line 6: terminal._hidden"]
    assert upward("cli") == []
