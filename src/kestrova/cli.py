"""Command line: ``kestrova find IMAGE ...``, ``kestrova scan PATTERN ...`` and
``kestrova demo``: the parser of every subcommand, and what ``find`` and ``demo`` run (the
shared options are in :mod:`kestrova.cli_options`, ``scan`` in :mod:`kestrova.cli_scan`).
"""

from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path

from . import __version__
from .cli_options import (UsageError, add_input_arguments, add_search_arguments,
                          check_output, dq_bits, find_settings, hdu_key)
from .cli_scan import add_scan_arguments, run_scan
from .describe import PIXEL_FIELDS
from .finder import find_streaks
from .io import InputError, need, read_frame, read_mask
from .progress import ProgressLines
from .synthetic import demo_sky, end_errors
from .writers import CATALOG_TYPES, write_catalog, write_mask

__all__ = ["main", "format_table", "format_sky", "format_refused", "add_input_arguments",
           "add_scan_arguments", "run_scan", "hdu_key", "dq_bits", "UsageError"]

# A search that takes longer than this shows its stages on stderr.
PROGRESS_DELAY = 3.0


class _Parser(argparse.ArgumentParser):
    """Usage errors in one line, the usage itself a ``--help`` away."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


COLUMNS = [  # header, attribute, format
    ("id", None, "{:d}"),
    ("x_start", "x_start", "{:.1f}"),
    ("y_start", "y_start", "{:.1f}"),
    ("x_end", "x_end", "{:.1f}"),
    ("y_end", "y_end", "{:.1f}"),
    ("length", "length", "{:.1f}"),
    ("angle", "angle", "{:.2f}"),
    ("snr", "snr", "{:.1f}"),
    ("score", "score", "{:.1f}"),
    ("flux/px", "flux_per_length", "{:.4g}"),
    ("+-", "flux_per_length_err", "{:.2g}"),
]


def format_table(streaks, extra=None, origin: int = 0) -> str:
    """Right-aligned text table of streaks (`extra`: more (header, values) columns), with pixel
    positions counted from `origin` (0, or 1 as in FITS).

    Examples
    --------
    >>> print(format_table([]))
    no streak found
    """
    streaks = list(streaks)
    if not streaks:
        return "no streak found"
    header = [c[0] for c in COLUMNS]

    def value(i, s, attr):
        if attr is None:
            return i + 1
        return getattr(s, attr) + (origin if attr in PIXEL_FIELDS else 0)

    rows = [[fmt.format(value(i, s, attr)) for _, attr, fmt in COLUMNS]
            for i, s in enumerate(streaks)]
    for name, values in extra or ():
        header.append(name)
        for row, value in zip(rows, values):
            row.append(value)
    widths = [max(len(h), *(len(r[k]) for r in rows)) for k, h in enumerate(header)]
    lines = ["  ".join(h.rjust(w) for h, w in zip(header, widths))]
    lines += ["  ".join(v.rjust(w) for v, w in zip(r, widths)) for r in rows]
    return "\n".join(lines)


def format_refused(refused, origin: int = 0) -> str:
    """The lines that verification refused (:class:`~kestrova.catalog.Refusal`), one per line:
    where they lie and why they are not trails.

    Examples
    --------
    >>> from kestrova.catalog import Refusal, Streak
    >>> s = Streak(0.0, 0.0, 4.0, 9.0, 10.0, 5.0, 30.0, 5.0, 20.0, 2.0, 0.1, 0.0, 0.0, 2.0)
    >>> print(format_refused([Refusal(s, "sharp")], origin=1))
    1 line refused as not a trail:
      (11.0, 6.0) -> (31.0, 6.0), length 20.0, score 9.0: sharp
    """
    refused = list(refused)
    if not refused:
        return "no line refused"
    lines = [f"{len(refused)} line{'s' if len(refused) != 1 else ''} refused as not "
             f"{'a trail' if len(refused) == 1 else 'trails'}:"]
    for r in refused:
        s = r.streak
        lines.append(f"  ({s.x_start + origin:.1f}, {s.y_start + origin:.1f}) -> "
                     f"({s.x_end + origin:.1f}, {s.y_end + origin:.1f}), length {s.length:.1f}, "
                     f"score {s.score:.1f}: {r.reason}")
    return "\n".join(lines)


SKY_COLUMNS = [  # header, column, format
    ("id", "id", "{:d}"),
    ("ra_start", "ra_start", "{:.5f}"),
    ("dec_start", "dec_start", "{:+.5f}"),
    ("ra_end", "ra_end", "{:.5f}"),
    ("dec_end", "dec_end", "{:+.5f}"),
    ('length"', "length_arcsec", "{:.1f}"),
    ("pa", "pa", "{:.2f}"),
    ('rate"/s', "rate", "{:.4g}"),
    ("mag", "mag", "{:.2f}"),
]


def format_sky(description) -> str:
    """Right-aligned text table of the streaks' sky columns (ICRS degrees, arcsec, position
    angle east of north, rate, magnitude); a rate or magnitude of a truncated trail is a limit,
    marked with ">" or "<".

    Examples
    --------
    >>> from kestrova.describe import Description
    >>> row = {"id": 1, "ra_start": 10.0, "dec_start": -5.0, "ra_end": 10.01, "dec_end": -5.0,
    ...        "length_arcsec": 35.9, "pa": 90.0, "truncated": True}
    >>> print(format_sky(Description(tuple(row), (row,), {})))
    id  ra_start  dec_start    ra_end   dec_end  length"     pa
     1  10.00000   -5.00000  10.01000  -5.00000    >35.9  90.00
    """
    shown = [c for c in SKY_COLUMNS if c[1] in description.columns]
    limits = {"length_arcsec": ">", "rate": ">", "mag": "<"}
    rows = [[(limits.get(name, "") if row.get("truncated") else "") + fmt.format(row[name])
             for _, name, fmt in shown] for row in description.rows]
    header = [c[0] for c in shown]
    widths = [max(len(h), *(len(r[k]) for r in rows)) for k, h in enumerate(header)]
    lines = ["  ".join(h.rjust(w) for h, w in zip(header, widths))]
    lines += ["  ".join(v.rjust(w) for v, w in zip(r, widths)) for r in rows]
    return "\n".join(lines)


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="kestrova", description="Find and measure straight streaks in 2-D images.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    find = commands.add_parser("find", help="find the streaks in an image",
                               description="Find and measure the streaks in an image "
                               "(FITS, .npy, PNG/TIFF/JPEG) and print them as a table.")
    find.add_argument("image", metavar="IMAGE")
    find.add_argument("--hdu", help="FITS extension number or name (default: first 2-D image)")
    find.add_argument("--sigma", type=float, help="noise per pixel (default: robust estimate)")
    find.add_argument("--min-snr", type=float, default=6.0,
                      help="detection threshold (default: %(default)s)")
    find.add_argument("--max-streaks", type=int, default=20,
                      help="stop after this many streaks (default: %(default)s)")
    find.add_argument("--width", type=float, default=2.0,
                      help="half-width of the measuring band in pixels (default: %(default)s)")
    add_search_arguments(find)
    find.add_argument("--exclude", metavar="FILE",
                      help="mask of pixels to ignore (.fits/.npy/picture, nonzero = ignore)")
    add_input_arguments(find)
    find.add_argument("--catalog", metavar="FILE",
                      help="write the catalog (.ecsv, .fits, .csv, .json)")
    find.add_argument("--one-based", action="store_true",
                      help="pixel positions 1-based as in FITS and ds9 (default: 0-based, pixel "
                           "centres at integers)")
    find.add_argument("--mask", metavar="FILE", help="write the streak mask (.fits, .npy)")
    find.add_argument("--mask-bit", type=int, metavar="N",
                      help="write the mask as flag 2**N OR-ed into the --dq plane (FITS)")
    find.add_argument("--plot", metavar="FILE", help="write a picture of the result (.png)")
    find.add_argument("--refused", action="store_true",
                      help="also list the lines measured and refused as not trails, and why "
                           "(and draw them in the --plot)")
    demo = commands.add_parser("demo", help="run on a built-in synthetic sky",
                               description="Build a synthetic sky with two crossing streaks, "
                               "find them, print them beside the truth and draw demo.png.")
    demo.add_argument("--plot", metavar="FILE", default="demo.png",
                      help="picture to write (default: %(default)s); 'none' to skip")
    demo.add_argument("--seed", type=int, default=1, help="random seed (default: %(default)s)")
    add_scan_arguments(commands.add_parser(
        "scan", help="scan many images in parallel into one catalog",
        description="Find the streaks in many FITS/.npy images in parallel "
                    "(process pool or Dask) and append them to one JSON-lines catalog."))
    return parser


def main(argv=None) -> int:
    """Run the command line; returns the exit status."""
    args = _parser().parse_args(argv)
    try:
        if args.command == "scan":
            return run_scan(args)
        if args.command == "find":
            return _find(args)
        return _demo(args)
    except UsageError as exc:
        print(f"kestrova {args.command}: error: {exc}", file=sys.stderr)
        return 2
    except InputError as exc:
        print(f"kestrova: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


def _find(args) -> int:
    find_settings(args)
    check_output(args.catalog, set(CATALOG_TYPES), "catalog")
    check_output(args.mask, {".fits", ".fit", ".npy"}, "mask")
    check_output(args.plot, {".png", ".pdf", ".svg"}, "plot")
    if args.plot:
        need("matplotlib", "plot", "--plot")
    if args.catalog and args.catalog.lower().endswith((".ecsv", ".fits")):
        need("astropy", "fits", f"a {Path(args.catalog).suffix} catalog")
    frame = read_frame(args.image, None if args.hdu is None else hdu_key(args.hdu),
                       dq=None if args.dq is None else hdu_key(args.dq), dq_bits=args.dq_bits)
    if frame.chosen and frame.count > 1:
        print(f"kestrova: {args.image}: HDU {frame.hdu} ({frame.extname}) of {frame.count}, the "
              "first holding a 2-D image (choose with --hdu)", file=sys.stderr)
    image = frame.data
    exclude = read_mask(args.exclude, image.shape) if args.exclude else None
    if frame.excluded is not None:
        exclude = frame.excluded if exclude is None else exclude | frame.excluded
    settings = find_settings(args, image.shape)
    progress = ProgressLines(f"{args.image}: ", delay=PROGRESS_DELAY)
    try:
        catalog = find_streaks(image, mask=exclude, progress=progress, **settings)
    except ValueError as exc:
        raise InputError(f"{args.image}: {exc}") from None
    print(f"{args.image}: {image.shape[0]} x {image.shape[1]} pixels, sigma {catalog.sigma:.4g}, "
          f"{len(catalog)} streak{'s' if len(catalog) != 1 else ''}")
    description = catalog.describe(frame.header, zeropoint=args.zeropoint,
                                   one_based=args.one_based, file=args.image, hdu=frame.hdu,
                                   extname=frame.extname)
    print(format_table(catalog, origin=int(args.one_based)))
    if len(catalog) and "ra_start" in description.columns:
        print(format_sky(description))
    if args.refused:
        print(format_refused(catalog.refused, origin=int(args.one_based)))
    if args.catalog:
        write_catalog(description, args.catalog)
    if args.mask:
        write_mask(catalog.mask(), args.mask, header=frame.header, bit=args.mask_bit,
                   dq=frame.dq)
    if args.plot:
        from .plot import plot_streaks

        plot_streaks(image, catalog, args.plot, title=Path(args.image).name,
                     refused=args.refused)
    return 0


def _demo(args) -> int:
    if args.plot and args.plot.lower() != "none":
        check_output(args.plot, {".png", ".pdf", ".svg"}, "plot")
    image, truth = demo_sky(args.seed)
    catalog = find_streaks(image)
    print(f"synthetic sky {image.shape[0]} x {image.shape[1]}, noise 1, {len(truth)} streaks "
          f"drawn, {len(catalog)} found\n")
    print(format_table(catalog))
    print("\ntruth (nearest detection; flux/px in the measuring band in brackets):")
    for k, t in enumerate(truth):
        best = _nearest(catalog, t)
        found = f"streak {best + 1}" if best is not None else "not found"
        # A measurement sums the band |across| < width only: the cross-section's wings fall out.
        width = catalog[best].width if best is not None else 2.0
        in_band = t.flux_per_length * math.erf(width / (math.sqrt(2.0) * t.psf_sigma))
        print(f"  {k + 1}: ({t.x0:.1f}, {t.y0:.1f}) -> ({t.x1:.1f}, {t.y1:.1f}), "
              f"length {t.length:.1f}, flux/px {t.flux_per_length:.3g} ({in_band:.3g})  "
              f"[{found}]")
    if args.plot and args.plot.lower() != "none":
        try:
            from .plot import plot_streaks
        except ImportError:
            raise InputError("the demo plot needs matplotlib: pip install 'kestrova[plot]' "
                             "(or pass --plot none)") from None
        plot_streaks(image, catalog, args.plot, truth=truth,
                     title="demo: synthetic sky, truth dashed")
        print(f"\nwrote {args.plot}")
    return 0


def _nearest(catalog, t):
    """Index of the detection whose ends lie nearest to those of the true streak `t`, or None
    when even those are farther off than half its length."""
    best, distance = None, math.inf
    for i, s in enumerate(catalog):
        d = sum(end_errors(s, t))
        if d < distance:
            best, distance = i, d
    return best if distance < 0.5 * t.length else None
