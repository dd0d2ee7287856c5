"""Command line: ``kestrova find IMAGE ...``, ``kestrova scan PATTERN ...`` and
``kestrova demo``: the arguments of every subcommand, and what each runs with them.
"""

from __future__ import annotations

import argparse
import contextlib
import math
import signal
import sys
from pathlib import Path

from . import __version__
from .describe import PIXEL_FIELDS
from .finder import find_streaks
from .io import (CATALOG_TYPES, InputError, check_writable, need, read_frame, read_mask,
                 write_catalog, write_mask)
from .progress import ProgressLines
from .scan import ScanSummary, scan
from .scan.executors import dask_client
from .settings import check_settings
from .synthetic import demo_sky, end_errors

__all__ = ["main", "format_table", "format_sky", "add_input_arguments", "add_scan_arguments",
           "run_scan", "hdu_key", "dq_bits", "UsageError"]

# Settings of find_streaks that `find` and `scan` take as options of the same names.
FIND_OPTIONS = ("sigma", "min_snr", "max_streaks", "width")

# A search that takes longer than this shows its stages on stderr.
PROGRESS_DELAY = 3.0


class UsageError(Exception):
    """Options that cannot work together or with the image: exit status 2, like argparse's."""


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


def hdu_key(text: str):
    """A FITS HDU as given on the command line: an index (digits, signed or not) or an EXTNAME.

    Examples
    --------
    >>> hdu_key("1"), hdu_key("-1"), hdu_key("SCI")
    (1, -1, 'SCI')
    """
    return int(text) if text.lstrip("+-").isdigit() else text


def _check_output(path, suffixes, what):
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


def _find_settings(args, shape=None) -> dict:
    """The find_streaks settings given as options, checked (against the image's `shape` when
    given); a usage error names the option that is wrong.

    Examples
    --------
    >>> _find_settings(argparse.Namespace(sigma=None, min_snr=5.0, max_streaks=3, width=None))
    {'min_snr': 5.0, 'max_streaks': 3}
    """
    given = {name: getattr(args, name) for name in FIND_OPTIONS
             if getattr(args, name) is not None}
    try:
        return check_settings(shape, spell=_option, **given)
    except (TypeError, ValueError) as exc:
        raise UsageError(str(exc)) from None


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


def _find(args) -> int:
    _find_settings(args)
    _check_output(args.catalog, set(CATALOG_TYPES), "catalog")
    _check_output(args.mask, {".fits", ".fit", ".npy"}, "mask")
    _check_output(args.plot, {".png", ".pdf", ".svg"}, "plot")
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
    settings = _find_settings(args, image.shape)
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
    if args.catalog:
        write_catalog(description, args.catalog)
    if args.mask:
        write_mask(catalog.mask(), args.mask, header=frame.header, bit=args.mask_bit,
                   dq=frame.dq)
    if args.plot:
        from .plot import plot_streaks

        plot_streaks(image, catalog, args.plot, title=Path(args.image).name)
    return 0


def _demo(args) -> int:
    if args.plot and args.plot.lower() != "none":
        _check_output(args.plot, {".png", ".pdf", ".svg"}, "plot")
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


def _hdu_list(values):
    """``--hdu 1 --hdu SCI,DQ`` -> [1, 'SCI', 'DQ']; None when not given."""
    if not values:
        return None
    return [hdu_key(item.strip()) for value in values for item in value.split(",")
            if item.strip()]


def add_scan_arguments(parser) -> None:
    """Add the arguments of ``kestrova scan`` to an argparse (sub)parser.

    Examples
    --------
    >>> import argparse
    >>> parser = argparse.ArgumentParser()
    >>> add_scan_arguments(parser)
    >>> parser.parse_args(["a.fits", "--catalog", "c.jsonl", "--hdu", "1,SCI"]).hdu
    ['1,SCI']
    """
    parser.add_argument("paths", nargs="+", metavar="PATTERN_OR_FILE",
                        help="FITS or .npy files, or quoted glob patterns ('night1/**/*.fits')")
    parser.add_argument("--catalog", required=True, metavar="OUT.jsonl",
                        help="JSON-lines catalog, appended to as each image finishes")
    parser.add_argument("--workers", type=int, metavar="N",
                        help="worker processes (default: all cores)")
    parser.add_argument("--scheduler", metavar="ADDRESS|local",
                        help="run on a Dask cluster (tcp://host:port), or on a local one")
    parser.add_argument("--masks", metavar="DIR",
                        help="directory of masks named like the images (nonzero = excluded)")
    parser.add_argument("--hdu", action="append", metavar="N|NAME",
                        help="FITS HDUs to scan, by index or EXTNAME; repeat or separate by "
                             "commas (default: every 2-D image HDU)")
    parser.add_argument("--resume", action="store_true",
                        help="continue an existing catalog, skipping the images it holds")
    parser.add_argument("--sigma", type=float, help="noise sigma (default: robust estimate)")
    parser.add_argument("--min-snr", type=float, help="detection threshold")
    parser.add_argument("--max-streaks", type=int, help="at most this many streaks per image")
    parser.add_argument("--width", type=float,
                        help="half-width of the band searched and measured (pixels)")
    add_input_arguments(parser)


class Terminated(KeyboardInterrupt):
    """SIGTERM, taken as Ctrl-C is: what is running is stopped and the catalog kept."""


@contextlib.contextmanager
def _terminate_as_interrupt():
    """Within: SIGTERM raises :class:`Terminated` (in the main thread only, where signals are
    handled; elsewhere nothing changes)."""
    def terminate(signum, frame):
        raise Terminated()

    try:
        previous = signal.signal(signal.SIGTERM, terminate)
    except ValueError:  # not the main thread
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def run_scan(args) -> int:
    """Run ``kestrova scan`` from parsed arguments; returns the exit status: 0 when every image
    was scanned, 1 when some failed (their error rows are in the catalog), 2 on a usage error,
    130 when interrupted by Ctrl-C and 143 when terminated (SIGTERM): the workers are stopped,
    what finished is in the catalog, and ``--resume`` carries on."""
    try:
        find_kwargs = _find_settings(args)
        if args.workers is not None and args.workers < 1:
            raise UsageError("--workers must be at least 1")
        if args.masks is not None and not Path(args.masks).is_dir():
            raise UsageError(f"--masks {args.masks}: no such directory")
        check_writable(args.catalog, "catalog")
    except (UsageError, InputError) as error:
        print(f"kestrova scan: error: {error}", file=sys.stderr)
        return 2
    try:
        with _terminate_as_interrupt(), contextlib.ExitStack() as stack:
            executor = None
            if args.scheduler:
                executor = stack.enter_context(dask_client(args.scheduler, args.workers))
            summary = scan(args.paths, catalog=args.catalog, executor=executor,
                           workers=args.workers, hdus=_hdu_list(args.hdu), masks=args.masks,
                           resume=args.resume, dq=None if args.dq is None else hdu_key(args.dq),
                           dq_bits=args.dq_bits, zeropoint=args.zeropoint, **find_kwargs)
    except KeyboardInterrupt as interrupt:
        what = "terminated" if isinstance(interrupt, Terminated) else "interrupted"
        print(f"\nkestrova scan: {what}; finished images are in {args.catalog}, "
              "continue with --resume", file=sys.stderr)
        return 128 + (signal.SIGTERM if isinstance(interrupt, Terminated) else signal.SIGINT)
    except ImportError as error:
        print(f"kestrova scan: {error.name or error} is needed: pip install 'kestrova[scan]'",
              file=sys.stderr)
        return 2
    except (FileExistsError, ValueError, OSError, TimeoutError, RuntimeError) as error:
        print(f"kestrova scan: {error}", file=sys.stderr)
        return 2
    _report(summary, args.catalog)
    return 1 if summary.failures else 0


def _report(summary: ScanSummary, catalog, shown: int = 20) -> None:
    """The failures (the first `shown` of them) and a summary line, on stderr."""
    out = sys.stderr
    for failure in summary.failures[:shown]:
        print(f"failed: {failure.task.name}: {failure.message}", file=out)
    if len(summary.failures) > shown:
        print(f"... and {len(summary.failures) - shown} more failures", file=out)
    skipped = f", {summary.skipped} already done" if summary.skipped else ""
    print(f"{summary.done + len(summary.failures)} images scanned{skipped}: "
          f"{summary.streaks} streaks, {len(summary.failures)} failed, "
          f"{summary.rate:.2f} images/s -> {catalog}", file=out)
