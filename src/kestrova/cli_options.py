"""Options that ``kestrova find`` and ``kestrova scan`` share, and their checks: a wrong option
is a :class:`UsageError` (exit status 2) that names it, raised before any work.
"""

from __future__ import annotations

import argparse
from pathlib import Path

from .io import InputError
from .settings import check_settings
from .writers import check_writable

__all__ = ["FIND_OPTIONS", "UsageError", "add_input_arguments", "add_search_arguments",
           "check_output", "dq_bits", "find_settings", "hdu_key"]

# Settings of find_streaks that `find` and `scan` take as options of the same names.
FIND_OPTIONS = ("sigma", "min_snr", "max_streaks", "width", "tiles", "wide")


class UsageError(Exception):
    """Options that cannot work together or with the image: exit status 2, like argparse's."""


def hdu_key(text: str):
    """A FITS HDU as given on the command line: an index (digits, signed or not) or an EXTNAME.

    Examples
    --------
    >>> hdu_key("1"), hdu_key("-1"), hdu_key("SCI")
    (1, -1, 'SCI')
    """
    return int(text) if text.lstrip("+-").isdigit() else text


def check_output(path, suffixes, what):
    """A usage error unless `path` (when given) has one of `suffixes` and can be written."""
    if path is None:
        return
    if Path(path).suffix.lower() not in suffixes:
        raise UsageError(f"{path}: unknown {what} type '{Path(path).suffix}' "
                         f"(expected {', '.join(sorted(suffixes))})")
    try:
        check_writable(path, what)
    except InputError as exc:
        raise UsageError(str(exc)) from None


def _option(name: str) -> str:
    return "--" + name.replace("_", "-")


def find_settings(args, shape=None) -> dict:
    """The find_streaks settings given as options, checked (against the image's `shape` when
    given); a usage error names the option that is wrong.

    Examples
    --------
    >>> find_settings(argparse.Namespace(sigma=None, min_snr=5.0, max_streaks=3, width=None))
    {'min_snr': 5.0, 'max_streaks': 3}
    """
    given = {name: getattr(args, name, None) for name in FIND_OPTIONS
             if getattr(args, name, None) is not None}
    try:
        return check_settings(shape, spell=_option, **given)
    except (TypeError, ValueError) as exc:
        raise UsageError(str(exc)) from None


def add_search_arguments(parser) -> None:
    """``--tiles``, ``--no-tiles`` and ``--wide``: absent leaves find_streaks's defaults (the
    large tiles, no wide search), so that a scan's settings read as before."""
    tiles = parser.add_mutually_exclusive_group()
    tiles.add_argument("--tiles", action="store_const", const=True, default=None,
                       help="also search small tiles of the image, for the shortest streaks "
                            "(slower, and more false detections)")
    tiles.add_argument("--no-tiles", dest="tiles", action="store_const", const=False,
                       help="search whole lines only, no tiles of the image")
    parser.add_argument("--wide", action="store_const", const=True, default=None,
                        help="also search the image block-averaged by 4 for wide (defocused) "
                             "trails")


def add_input_arguments(parser) -> None:
    """The input options that ``find`` and ``scan`` share: data-quality plane and zero point."""
    parser.add_argument("--dq", metavar="HDU",
                        help="FITS HDU (index or name) of a data-quality plane: flagged pixels "
                             "are ignored")
    parser.add_argument("--dq-bits", type=dq_bits, metavar="BITS",
                        help="flag values that exclude a pixel, e.g. 4,16 or 0x14 (default: "
                             "any nonzero)")
    parser.add_argument("--zeropoint", type=float, metavar="MAG",
                        help="magnitude zero point of the pixel values (default: MAGZERO, "
                             "MAGZPT, MAGZP or PHOTZP of the header)")


def dq_bits(text: str) -> int:
    """Flag values as given on the command line, OR-ed: "4,16", "4+16", "20" or "0x14".

    Examples
    --------
    >>> dq_bits("4,16"), dq_bits("0x14"), dq_bits("1+2")
    (20, 20, 3)
    """
    try:
        value = 0
        for item in text.replace("+", ",").split(","):
            value |= int(item.strip(), 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of flag values: {text!r}") from None
    return value
