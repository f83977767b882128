"""The package's version: from the installed distribution, or from the source tree's pyproject.toml."""

from __future__ import annotations

import tomllib
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path


def _version() -> str:
    try:
        return version("korvex")
    except PackageNotFoundError:
        pass
    # Run from a checkout (PYTHONPATH=package): the project file two folders up says it.
    project = Path(__file__).resolve().parents[2] / "pyproject.toml"
    try:
        with project.open("rb") as file:
            found = tomllib.load(file).get("project", {})
    except (OSError, tomllib.TOMLDecodeError):
        return "0+unknown"
    return str(found["version"]) if found.get("name") == "korvex" and "version" in found else "0+unknown"


__version__ = _version()
