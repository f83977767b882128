"""Korvex's own errors: what a caller can catch when Korvex refuses a setting or a table.

Bottom layer: imports nothing from the package. Every refusal Korvex means to
make is a KorvexError; the two kinds that replace ValueError also subclass it,
so that code written as `except ValueError` keeps catching them.
"""

from __future__ import annotations


class KorvexError(Exception):
    """A refusal: the message says what was wrong and, where it can, what to give instead."""


class SettingsError(KorvexError, ValueError):
    """A setting (of a bed, a plan, a reclaimer, a feed generator or the command line) out of its range,
    or settings that do not fit together; the message names the setting, its value and its unit."""


class TableError(KorvexError, ValueError):
    """A table or a file that cannot be read as it stands: its shape, a cell, a row, or its size;
    the message names the file and the line, row or column."""


class BusyError(KorvexError, RuntimeError):
    """What another process holds: a live bed that a tracker follows already."""
