"""Reading the tables users hand us (CSV, Excel) and writing a study's results back as CSV and workbooks.

Files are untrusted: every reader is bounded in bytes, rows, columns and cells
before it allocates, and workbooks are parsed with defusedxml in place (openpyxl
uses it when it is installed; we refuse to read a workbook without it).

Errors name the place as the user sees it: the CSV line counting as an editor
does (the header is line 1), or the workbook's sheet and row, and the column.
"""

from __future__ import annotations

import csv
import math
import numbers
import warnings
import zipfile
import zlib
from collections import Counter
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from . import validation
from .dates import DateFormat, Origin, parse_dates
from .derived import add_derived
from .equipment import SHIFT_H
from .errors import TableError
from .metrics import figures_frame

if TYPE_CHECKING:
    import pandas as pd

    from .study import RingStudy, Study

WORKBOOK_SUFFIXES = (".xlsx", ".xlsm")
# Excel's own limit on a sheet's name.
SHEET_NAME_CHARACTERS = 31

# First characters with which a spreadsheet runs a cell's text as a formula.
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")
# Characters that make a CSV field need quotes: besides the separator, quotes and line breaks, the
# comment mark that readers such as pd.read_csv(comment="#") cut a line at.
CSV_SPECIAL = ('"', "\n", "\r", "#")


@dataclass(frozen=True)
class ReadLimits:
    """Bounds on what one input file may make us allocate.

    max_bytes: size of the file (for a workbook also its unpacked size).
    max_rows, max_columns, max_cells: of the table read.
    """

    max_bytes: int = 256 * 1024 * 1024
    max_rows: int = 5_000_000
    max_columns: int = 1_000
    max_cells: int = 50_000_000

    def check_size(self, path: Path, size: int, what: str = "") -> None:
        if size > self.max_bytes:
            raise TableError(
                f"{path}: {what or 'the file'} is {size:,} bytes, more than the limit of {self.max_bytes:,}"
            )

    def check_shape(self, path: Path, rows: int, columns: int) -> None:
        if columns > self.max_columns:
            raise TableError(f"{path}: {columns:,} columns, more than the limit of {self.max_columns:,}")
        if rows > self.max_rows:
            raise TableError(f"{path}: the file would have {rows:,} rows, more than the {self.max_rows:,} allowed")
        if rows * columns > self.max_cells:
            raise TableError(f"{path}: more than the limit of {self.max_cells:,} cells")


def _numbers(frame: pd.DataFrame, skip: set[str], decimal: str, origin: Origin) -> pd.DataFrame:
    """Text columns that hold numbers made numeric; a column of numbers with one word in it is an error.

    A column where no cell reads as a number is text (a comment, a supplier)
    and stays as it is.
    """
    from pandas.api import types

    result = frame.copy()
    for column in frame.columns:
        name = str(column)
        if name in skip or types.is_numeric_dtype(frame[column]) or types.is_datetime64_any_dtype(frame[column]):
            continue
        cells = frame[column].astype("string").to_numpy(dtype=object, na_value=None)
        values, failed = column_numbers(cells, decimal)
        if np.isnan(values).all():
            continue
        if failed.any():
            position = int(np.argmax(failed))
            raise TableError(f"{origin.at(position, name)}: {cells[position].strip()!r} is not a number")
        result[column] = values
    return result


def column_numbers(cells: Iterable[str | None], decimal: str = ".") -> tuple[np.ndarray, np.ndarray]:
    """The numbers that text cells hold (NaN where a cell is empty or missing), and where a cell holds
    text that is no number: what every reader of deliveries takes for a number, a file at once or a line
    at a time. A number is written in ASCII, with the given decimal mark and no digit grouping, and is
    read to the last digit; "nan" is no number, "inf" and 1e309 are numbers that are not finite."""
    values: list[float] = []
    failed: list[bool] = []
    for cell in cells:
        text = "" if cell is None else cell.strip()
        if decimal != ".":
            text = text.replace(decimal, ".")
        try:
            value = float(text) if text.isascii() and "_" not in text else math.nan
        except ValueError:
            value = math.nan
        values.append(value)
        failed.append(bool(text) and math.isnan(value))
    return np.array(values, dtype=np.float64), np.array(failed, dtype=bool)


def header_names(line: str, sep: str = ",", where: str = "the header", max_columns: int | None = None) -> list[str]:
    """The column names of a CSV's header line, as every reader of deliveries takes them; at most
    max_columns of them (by default validation.MAX_COLUMNS).

    The byte-order mark that Excel writes before a "CSV UTF-8" is not part of the first name. A name that
    holds a line break is refused: read back line by line, it would split its own row.
    """
    try:
        names = next(csv.reader([line.removeprefix("\ufeff").rstrip("\r\n")], delimiter=sep, strict=True), [])
    except csv.Error as error:
        raise TableError(f"{where} is not a readable CSV line: {error}") from None
    limit = validation.MAX_COLUMNS if max_columns is None else max_columns
    if len(names) > limit:
        raise TableError(f"{where} names {len(names):,} columns, more than the {limit:,} allowed")
    broken = [name for name in names if "\r" in name or "\n" in name]
    if broken:
        raise TableError(f"{where} names the column {broken[0]!r}, which holds a line break: name it on one line")
    # pandas would rename a second CaO to CaO.1 and carry on.
    twice = [name for name, count in Counter(names).items() if count > 1]
    if twice:
        raise TableError(f"{where} names the column {twice[0]!r} more than once")
    return names


# Comment lines (#) Korvex writes above its tables: the stamp and the setup. More than this is no preamble.
MAX_COMMENT_LINES = 100


def comment_lines(path: str | Path) -> int:
    """How many lines at the top of a CSV are comments (start with #), as Korvex writes its stamp."""
    count = 0
    with Path(path).open(encoding="utf-8", errors="replace") as file:
        for line in file:
            if count >= MAX_COMMENT_LINES or not line.startswith("#"):
                break
            count += 1
    return count


def read_csv(
    path: str | Path,
    *,
    sep: str = ",",
    decimal: str = ".",
    dates: DateFormat = DateFormat(),
    time_column: str | None = "timestamp",
    limits: ReadLimits = ReadLimits(),
) -> pd.DataFrame:
    """A CSV as a table: numbers as numbers (with the given decimal mark), the time column as dates.

    sep: field separator (";" where the decimal mark is a comma).
    A time column of numbers stays numbers (seconds). Empty lines at the end
    are dropped; an empty line in the middle is an empty row. Comment lines (#)
    above the header are skipped.
    """
    import pandas as pd

    path = Path(path)
    limits.check_size(path, path.stat().st_size)
    if sep == decimal:
        raise TableError(f"the separator and the decimal mark are both {sep!r}")
    skipped = comment_lines(path)
    try:
        with warnings.catch_warnings():
            # Rows longer than the header: pandas would take the first column for an index, or drop the last.
            warnings.simplefilter("error", pd.errors.ParserWarning)
            frame = pd.read_csv(
                path,
                skiprows=skipped,
                sep=sep,
                nrows=limits.max_rows + 1,
                skip_blank_lines=False,
                dtype=str,
                keep_default_na=False,
                na_values=[""],
                index_col=False,
            )
    except pd.errors.ParserWarning:
        raise TableError(f"{path}: {_longer_row(path, sep)}") from None
    except (pd.errors.ParserError, UnicodeDecodeError) as error:
        raise TableError(f"{path}: not a readable CSV: {error}") from None
    limits.check_shape(path, len(frame), len(frame.columns))
    frame = _without_trailing_blanks(frame)
    # Row k of the file's data is line k + 2 below the comments: the header is the line before. A blank
    # line in the middle stays as an empty row, for the reader of the table to refuse.
    return _typed(frame, decimal, dates, time_column, Origin(str(path), np.arange(len(frame)) + 2 + skipped))


def _longer_row(path: Path, sep: str) -> str:
    """Which line of a CSV holds more fields than its header names."""
    with path.open(newline="", encoding="utf-8") as file:
        lines = csv.reader(file, delimiter=sep)
        header = next(lines, [])
        for record in lines:
            if len(record) > len(header):
                return f"line {lines.line_num} has {len(record)} fields, more than the {len(header)} of the header"
    return f"a line has more fields than the {len(header)} of the header"


def _typed(
    frame: pd.DataFrame, decimal: str, dates: DateFormat, time_column: str | None, origin: Origin
) -> pd.DataFrame:
    """Numbers and dates from a table of text cells."""
    from pandas.api import types

    time = str(time_column) if time_column is not None and time_column in frame.columns else None
    frame = _numbers(frame, {time} if time else set(), decimal, origin)
    if time is not None and not types.is_datetime64_any_dtype(frame[time]):
        as_numbers = _numbers(frame[[time]], set(), decimal, origin)[time]
        if types.is_numeric_dtype(as_numbers):
            frame[time] = as_numbers
        else:
            frame[time] = parse_dates(frame[time], time, dates, origin=origin)
    return frame


def _without_trailing_blanks(frame: pd.DataFrame) -> pd.DataFrame:
    filled = np.flatnonzero(frame.notna().any(axis=1).to_numpy())
    return frame.iloc[: int(filled[-1]) + 1 if filled.size else 0].reset_index(drop=True)


def _check_defused() -> None:
    from openpyxl import xml

    if not xml.DEFUSEDXML:
        raise RuntimeError("openpyxl runs without defusedxml; install defusedxml before reading workbooks")


def read_workbook(
    path: str | Path,
    *,
    sheet: str | None = None,
    dates: DateFormat = DateFormat(),
    time_column: str | None = "timestamp",
    limits: ReadLimits = ReadLimits(),
) -> pd.DataFrame:
    """One sheet of an Excel workbook as a table (the first sheet by default); the first row names the columns."""
    import pandas as pd

    path = Path(path)
    limits.check_size(path, path.stat().st_size)
    try:
        with zipfile.ZipFile(path) as archive:
            unpacked = sum(info.file_size for info in archive.infolist())
    except zipfile.BadZipFile:
        raise TableError(f"{path}: not an Excel workbook (.xlsx)") from None
    limits.check_size(path, unpacked, "the unpacked workbook")
    _check_defused()
    try:
        rows, title = _sheet_rows(path, sheet, limits)
    except (zipfile.BadZipFile, zlib.error, KeyError, EOFError, OSError, ValueError, TypeError, SyntaxError) as error:
        if isinstance(error, TableError):
            raise
        # A damaged archive (a bad CRC, a part missing) or XML that is no workbook's.
        raise TableError(f"{path}: not a readable Excel workbook: {error}") from None
    if not rows:
        raise TableError(f"{path}: sheet {title!r} is empty")
    header = [("" if cell is None else str(cell)).strip() for cell in rows[0]]
    unnamed = [k + 1 for k, name in enumerate(header) if not name]
    if unnamed:
        raise TableError(f"{path}: sheet {title!r} has no name in row 1 for column {unnamed[0]}")
    body = [list(row) + [None] * (len(header) - len(row)) for row in rows[1:]]
    frame = pd.DataFrame([row[: len(header)] for row in body], columns=header, dtype=object)
    frame = _without_trailing_blanks(frame)
    # Sheet rows count from 1 with the header, as Excel numbers them.
    lines = np.arange(len(frame)) + 2
    if time_column is not None and time_column in frame.columns:
        column = frame[time_column]
        if column.map(lambda cell: hasattr(cell, "year")).all():
            frame[time_column] = pd.to_datetime(column, utc=True)
    return _typed(frame, ".", dates, time_column, Origin(f"{path} sheet {title!r}", lines, "row"))


def _sheet_rows(path: Path, sheet: str | None, limits: ReadLimits) -> tuple[list[tuple[Any, ...]], str]:
    """Every row of one sheet as cell values, and the sheet's title."""
    from openpyxl import load_workbook

    book = load_workbook(path, read_only=True, data_only=True)
    try:
        if sheet is None:
            page = book.worksheets[0]
        elif sheet in book.sheetnames:
            page = book[sheet]
        else:
            raise TableError(f"{path}: no sheet {sheet!r} among {book.sheetnames}")
        # The sheet's own record of its size may say fewer rows than it holds: read them all.
        page.reset_dimensions()
        rows: list[tuple[Any, ...]] = []
        width = 0
        for row in page.iter_rows(values_only=True):
            width = max(width, len(row))
            limits.check_shape(path, len(rows), width)
            rows.append(row)
        return rows, page.title
    finally:
        book.close()


def read_table(
    path: str | Path,
    *,
    sep: str = ",",
    decimal: str = ".",
    dates: DateFormat = DateFormat(),
    time_column: str | None = "timestamp",
    sheet: str | None = None,
    limits: ReadLimits = ReadLimits(),
) -> pd.DataFrame:
    """A CSV or (by its suffix) an Excel workbook as a table; see read_csv and read_workbook."""
    path = Path(path)
    if path.suffix.lower() in WORKBOOK_SUFFIXES:
        return read_workbook(path, sheet=sheet, dates=dates, time_column=time_column, limits=limits)
    if sheet is not None:
        raise TableError(f"{path} is a CSV file: it has no sheet {sheet!r}")
    return read_csv(path, sep=sep, decimal=decimal, dates=dates, time_column=time_column, limits=limits)


def write_workbook(path: str | Path, sheets: Mapping[str, pd.DataFrame]) -> Path:
    """Write each table to its own sheet, in the given order, without the index; return the path.

    Every cell of text is written as text, never as a formula, whatever it starts with."""
    import pandas as pd

    path = Path(path)
    long = [name for name in sheets if len(name) > SHEET_NAME_CHARACTERS]
    if long:
        raise TableError(f"sheet names are at most {SHEET_NAME_CHARACTERS} characters: {long}")
    path.parent.mkdir(parents=True, exist_ok=True)
    with pd.ExcelWriter(path, engine="openpyxl") as writer:
        for name, table in sheets.items():
            table.to_excel(writer, sheet_name=name, index=False)
        # openpyxl takes text that starts with "=" for a formula; we write none.
        for page in writer.book.worksheets:
            for row in page.iter_rows():
                for cell in row:
                    if cell.data_type == "f":
                        cell.data_type = "s"
    return path


def as_text(cell: str) -> str:
    """Text that a spreadsheet shows rather than runs: an apostrophe before a formula's first character."""
    return "'" + cell if cell.startswith(FORMULA_STARTS) else cell


def from_text(cell: str) -> str:
    """Text as it was before as_text."""
    return cell[1:] if cell.startswith("'") and cell[1:].startswith(FORMULA_STARTS) else cell


def csv_field(value: object, sep: str) -> str:
    """One CSV field: numbers so that they read back exactly, text neutralised and quoted where needed."""
    if value is None:
        return ""
    if isinstance(value, bool | np.bool_):
        return str(bool(value))
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, numbers.Real):
        number = float(value)
        # repr is the shortest text that reads back as the same float.
        return "" if math.isnan(number) else repr(number)
    text = as_text(str(value))
    if sep in text or any(mark in text for mark in CSV_SPECIAL):
        return '"' + text.replace('"', '""') + '"'
    return text


def write_csv(path: str | Path, table: pd.DataFrame, *, comments: Iterable[str] = (), sep: str = ",") -> Path:
    """Write a table as CSV without its index, below comment lines (# ...); return the path.

    Floats are written as the shortest text that reads back as the same float;
    text that a spreadsheet would run as a formula gets an apostrophe first
    (from_text takes it off), and text with a # in it is quoted, so that
    pd.read_csv(path, comment="#") reads every column back.
    """
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    with path.open("w", encoding="utf-8", newline="") as file:
        for comment in comments:
            file.write(f"# {comment}\n")
        file.write(sep.join(csv_field(str(name), sep) for name in table.columns) + "\n")
        # Every missing cell (NaN, None, NA, NaT) as an empty field, as pandas writes them.
        cells = table.astype(object).where(table.notna(), None)
        for row in cells.itertuples(index=False, name=None):
            file.write(sep.join(csv_field(value, sep) for value in row) + "\n")
    return path


def save_workbook(study: Study, path: str | Path, *, intervals_h: tuple[float, ...] = (1.0, SHIFT_H)) -> Path:
    """An Excel workbook: the setup and stamp, the summary, the figures (mean and std in and out, VRR and E
    of every value), the slices, the regions and, with a reclaim rate, the output series and its composites
    over each interval, each on its own sheet."""
    import pandas as pd

    run = pd.DataFrame({"item": ["setup", "made by"], "text": [study.describe(), study.stamp]})
    sheets = {
        "run": run,
        "summary": study.summary(),
        "figures": figures_frame(study.homogenisation()),
        "slices": study.slices(),
        "regions": study.regions(),
    }
    if study.reclaimer is not None and study.bulk_density_t_per_m3 is not None:
        sheets["output"] = add_derived(study.output.frame, study.derived)
        for interval in intervals_h:
            sheets[f"composites {interval:g} h"] = study.composites(interval)
    return write_workbook(path, sheets)


def save_reclaimed(study: Study, path: str | Path) -> Path:
    """Write the reclaimed slices (see Study.slices) as CSV, below comment lines (#) with the stamp and the
    setup; return the path."""
    return _save_csv(study, study.slices(), path)


def save_output(study: Study, path: str | Path) -> Path:
    """Write the output series in time as CSV, below the stamp and the setup; return the path."""
    return _save_csv(study, add_derived(study.output.frame, study.derived), path)


def save_composites(study: Study, path: str | Path, interval_h: float = 1.0) -> Path:
    """Write the composites over interval_h as CSV, below the stamp and the setup; return the path."""
    return _save_csv(study, study.composites(interval_h), path)


def save_ring_reclaimed(study: RingStudy, path: str | Path) -> Path:
    """Write the output slices of a ring, with their phase, as CSV, below comment lines (#) with the stamp and
    the setup; return the path."""
    frame = study.output.to_frame()
    frame.insert(0, "phase", study.phase)
    if study.bulk_density_t_per_m3 is not None:
        frame.insert(4, "mass_t", frame["volume_m3"] * study.bulk_density_t_per_m3)
    return _save_csv(study, frame, path)


def _save_csv(study: Study | RingStudy, frame: pd.DataFrame, path: str | Path) -> Path:
    return write_csv(path, frame, comments=(study.stamp, study.describe()))
