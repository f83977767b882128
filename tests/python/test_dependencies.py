"""What installing the package brings: every library its modules use is a dependency or in an extra of
pyproject.toml, `all` holds every extra, and the `korvex` command is what `python -m korvex` runs."""

import ast
import functools
import importlib
import re
import subprocess
import sys
import tomllib
from importlib.metadata import packages_distributions
from pathlib import Path

import pytest

from test_package_layers import MODULES, PACKAGE, imports_in, module_path

PYPROJECT = Path(__file__).resolve().parents[2] / "pyproject.toml"
PROJECT = tomllib.loads(PYPROJECT.read_text(encoding="utf-8"))["project"]
EXTRAS = PROJECT["optional-dependencies"]
# pandas's readers and writers name the library they hand a file to: engine="pyarrow".
TABLE_IO = re.compile(r"^(read_\w+|to_\w+|ExcelWriter)$")


def normalised(name: str) -> str:
    return re.sub(r"[-_.]+", "-", name).lower()


def requirement(line: str) -> str:
    """The distribution a requirement names: "numpy>=2" is numpy."""
    return normalised(re.match(r"[A-Za-z0-9][A-Za-z0-9._-]*", line)[0])


def declared(lines: list[str]) -> set[str]:
    return {requirement(line) for line in lines}


@functools.cache
def distributions(library: str) -> set[str]:
    """The distributions that install an importable name; the name itself where none installed does."""
    return {normalised(name) for name in packages_distributions().get(library, [library])}


def engines_named(path: Path) -> list[tuple[str, int]]:
    tree = ast.parse(path.read_text(encoding="utf-8"))
    return [
        (keyword.value.value, node.lineno)
        for node in ast.walk(tree)
        if isinstance(node, ast.Call)
        and TABLE_IO.match(getattr(node.func, "attr", getattr(node.func, "id", "")))
        for keyword in node.keywords
        if keyword.arg == "engine" and isinstance(keyword.value, ast.Constant) and isinstance(keyword.value.value, str)
    ]


def undeclared(package: Path, modules: list[str], requirements: set[str]) -> list[str]:
    """Every library a module imports, or hands a table to by name, that no requirement installs."""
    found = []
    for name in modules:
        used = [(item.library, item.line) for item in imports_in(package, name)]
        used += engines_named(module_path(package, name))
        for library, line in used:
            if library == "korvex" or library in sys.stdlib_module_names:
                continue
            if not distributions(library) & requirements:
                found.append(f"{library} ({name}, line {line})")
    return found


def every_requirement() -> set[str]:
    return declared(PROJECT["dependencies"]).union(*(declared(lines) for lines in EXTRAS.values()))


def test_every_library_the_package_uses_is_a_dependency_or_an_extra():
    assert undeclared(PACKAGE, MODULES, every_requirement()) == [], (
        "declare these in pyproject.toml: in the extra of the feature that imports them, and in `all`"
    )


def loaded_by(statement: str) -> set[str]:
    """The top-level modules a fresh interpreter holds after the statement."""
    shown = "import sys; print(*{m.split('.')[0] for m in sys.modules})"
    return set(subprocess.run([sys.executable, "-c", f"{statement}; {shown}"], check=True, capture_output=True, text=True).stdout.split())


def test_what_import_korvex_loads_is_a_dependency():
    # What the interpreter loads on its own (a sitecustomize, say) is no library of ours.
    third_party = loaded_by("import korvex") - loaded_by("pass") - set(sys.stdlib_module_names) - {"korvex"}
    dependencies = declared(PROJECT["dependencies"])
    assert sorted(
        library for library in third_party if not library.startswith("_") and not distributions(library) & dependencies
    ) == []


def test_all_holds_every_extra():
    extras = {name: declared(lines) for name, lines in EXTRAS.items() if name != "all"}
    assert set().union(*extras.values()) == declared(EXTRAS["all"])


@pytest.mark.parametrize("extra", sorted(name for name, lines in EXTRAS.items() if "openpyxl" in declared(lines)))
def test_an_extra_that_reads_workbooks_brings_defusedxml(extra):
    # korvex.tables refuses to read a workbook while openpyxl parses without defusedxml.
    assert "defusedxml" in declared(EXTRAS[extra])


def test_the_korvex_command_runs_what_python_m_korvex_runs():
    main = ast.parse((PACKAGE / "__main__.py").read_text(encoding="utf-8"))
    imported = [
        f"korvex.{node.module}:{alias.name}"
        for node in ast.walk(main)
        if isinstance(node, ast.ImportFrom) and node.level == 1
        for alias in node.names
    ]
    target = PROJECT["scripts"]["korvex"]
    assert imported == [target]
    module, _, name = target.partition(":")
    assert callable(getattr(importlib.import_module(module), name))


def test_the_check_finds_what_no_requirement_installs(tmp_path):
    (tmp_path / "cli").mkdir()
    (tmp_path / "feed.py").write_text(
        "import json\nimport numpy as np\nfrom . import units\n"
        "def f():\n    import yaml\n    from sklearn.linear_model import Ridge\n"
    )
    (tmp_path / "cli" / "sweep.py").write_text(
        "from ..feed import f\ndef g(table):\n    table.to_parquet('x', engine='fastparquet')\n"
        "    table.to_parquet('x', engine='pyarrow')\n    Bed(engine='layered')\n"
    )
    assert undeclared(tmp_path, ["feed", "cli.sweep"], {"numpy", "pyarrow"}) == [
        "yaml (feed, line 5)",
        "sklearn (feed, line 6)",
        "fastparquet (cli.sweep, line 3)",
    ]
