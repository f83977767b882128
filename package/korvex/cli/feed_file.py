"""A feed file given on the command line: a quality series or a table of chunks, in a CSV or a workbook."""

from __future__ import annotations

import argparse
import csv
import sys
import warnings
from collections.abc import Sequence
from pathlib import Path

from ..chunks import ChunkTable
from .. import validation
from ..dates import DateFormat
from ..errors import KorvexError, SettingsError, TableError
from ..series import QualitySeries
from ..units import DensityWarning
from ..tables import WORKBOOK_SUFFIXES, ReadLimits, comment_lines, header_names, read_table

# Line of a CSV file that holds its first row of data: the header is line 1, as an editor counts.
CSV_FIRST_LINE = 2
# Longest header line read: room for the most columns allowed, with long names. The limits are read from
# validation as a file is read, so that a test may lower them.
HEADER_CHARS = 100 * validation.MAX_COLUMNS


def read_csv(
    path: Path,
    *,
    time_column: str | None = "timestamp",
    volume_column: str = "volume",
    volume_m3: float | None = None,
    qualities: Sequence[str] | None = None,
    sep: str = ",",
    decimal: str = ".",
    dates: DateFormat = DateFormat(),
    sheet: str | None = None,
    bulk_density_t_per_m3: float | None = None,
    stop_after_s: float | None = None,
) -> QualitySeries | ChunkTable:
    """A CSV or Excel workbook of a quality series, or of chunks when it has columns x, z and volume.

    Refuses files with more rows or columns than the limits in validation; a
    message about a row names its line in the file (its row in a sheet) and
    starts with the file's name.
    """
    try:
        workbook = path.suffix.lower() in WORKBOOK_SUFFIXES
        # Korvex's own files carry their stamp in comment lines above the header.
        skipped = 0 if workbook else comment_lines(path)
        first_line = CSV_FIRST_LINE + skipped
        if not workbook:
            # Lines end at a line feed only, so that a carriage return quoted in a name is seen as one.
            with path.open(newline="\n", encoding="utf-8") as file:
                for _ in range(skipped):
                    file.readline()
                line = file.readline(HEADER_CHARS + 1)
            if len(line) > HEADER_CHARS:
                raise TableError(f"line {skipped + 1} is longer than {HEADER_CHARS:,} characters")
            header_names(line, sep, f"line {skipped + 1}", validation.MAX_COLUMNS)
        limits = ReadLimits(max_rows=validation.MAX_ROWS, max_columns=validation.MAX_COLUMNS)
        frame = read_table(
            path, sep=sep, decimal=decimal, dates=dates, time_column=time_column, sheet=sheet, limits=limits
        )
        columns = {str(column) for column in frame.columns}
        if {"x", "z", "volume"} <= columns:
            return ChunkTable.from_frame(frame, first_line=first_line)
        return QualitySeries.from_frame(
            frame,
            time_column=time_column,
            volume_column=volume_column,
            volume_m3=volume_m3,
            qualities=qualities,
            first_line=first_line,
            bulk_density_t_per_m3=bulk_density_t_per_m3,
            stop_after_s=stop_after_s,
        )
    except (ValueError, csv.Error) as error:
        # The table readers name the file themselves.
        named = str(error).startswith(str(path))
        kind = type(error) if isinstance(error, KorvexError) else TableError
        raise kind(str(error) if named else f"{path}: {error}") from None


def read_feed(args: argparse.Namespace, path: Path) -> QualitySeries | ChunkTable:
    """The file at `path`, read as the feed options say; what a volume column says beside the mass the
    amounts are taken from is printed on stderr."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", DensityWarning)
        data = _read_feed(args, path)
    for warning in caught:
        if issubclass(warning.category, DensityWarning):
            print(f"note: {path}: {warning.message}", file=sys.stderr)
        else:
            warnings.warn_explicit(warning.message, warning.category, warning.filename, warning.lineno)
    return data


def _read_feed(args: argparse.Namespace, path: Path) -> QualitySeries | ChunkTable:
    return read_csv(
        path,
        time_column=args.time_column,
        volume_column=args.volume_column,
        volume_m3=args.volume_m3,
        qualities=args.quality,
        sep=args.sep,
        decimal=args.decimal,
        dates=DateFormat(args.date_format, args.dayfirst),
        sheet=args.sheet,
        bulk_density_t_per_m3=args.bulk_density_t_per_m3,
        stop_after_s=None if args.stop_after_min is None else args.stop_after_min * 60,
    )


def sweep_feed(args: argparse.Namespace) -> tuple[QualitySeries | None, str | None]:
    """The series --feed names for every run of a sweep, and its file's name; None for the synthetic feed."""
    if args.feed is None:
        return None, None
    data = read_feed(args, args.feed)
    if isinstance(data, ChunkTable):
        raise SettingsError(
            f"{args.feed} is a table of chunks (it has x, z and volume); a sweep needs a quality series"
        )
    return data, args.feed.name

