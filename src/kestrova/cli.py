"""Command line: ``kestrova find IMAGE ...`` and ``kestrova demo``."""

from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path

import numpy as np

from .io import InputError, read_image, read_mask, write_catalog, write_mask
from .streaks import find_streaks

__all__ = ["main", "format_table"]

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


def format_table(streaks, extra=None) -> str:
    """Right-aligned text table of streaks (`extra`: more (header, values) columns).

    Examples
    --------
    >>> print(format_table([]))
    no streak found
    """
    streaks = list(streaks)
    if not streaks:
        return "no streak found"
    header = [c[0] for c in COLUMNS]
    rows = [[fmt.format(i + 1 if attr is None else getattr(s, attr)) for _, attr, fmt in COLUMNS]
            for i, s in enumerate(streaks)]
    for name, values in extra or ():
        header.append(name)
        for row, value in zip(rows, values):
            row.append(value)
    widths = [max(len(h), *(len(r[k]) for r in rows)) for k, h in enumerate(header)]
    lines = ["  ".join(h.rjust(w) for h, w in zip(header, widths))]
    lines += ["  ".join(v.rjust(w) for v, w in zip(r, widths)) for r in rows]
    return "\n".join(lines)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kestrova", description="Find and measure straight streaks in 2-D images.")
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
    find.add_argument("--catalog", metavar="FILE", help="write the catalog (.ecsv, .csv, .json)")
    find.add_argument("--mask", metavar="FILE", help="write the streak mask (.fits, .npy)")
    find.add_argument("--plot", metavar="FILE", help="write a picture of the result (.png)")
    demo = commands.add_parser("demo", help="run on a built-in synthetic sky",
                               description="Build a synthetic sky with two crossing streaks, "
                               "find them, print them beside the truth and draw demo.png.")
    demo.add_argument("--plot", metavar="FILE", default="demo.png",
                      help="picture to write (default: %(default)s); 'none' to skip")
    demo.add_argument("--seed", type=int, default=1, help="random seed (default: %(default)s)")
    from .scan import add_scan_arguments

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
            from .scan import run_scan

            return run_scan(args)
        if args.command == "find":
            return _find(args)
        return _demo(args)
    except InputError as exc:
        print(f"kestrova: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


def _hdu(text):
    if text is None:
        return None
    return int(text) if text.lstrip("+-").isdigit() else text


def _check_output(path, suffixes, what):
    if path is not None and Path(path).suffix.lower() not in suffixes:
        raise InputError(f"{path}: unknown {what} type '{Path(path).suffix}' "
                         f"(expected {', '.join(sorted(suffixes))})")


def _find(args) -> int:
    _check_output(args.catalog, {".ecsv", ".csv", ".json"}, "catalog")
    _check_output(args.mask, {".fits", ".fit", ".npy"}, "mask")
    _check_output(args.plot, {".png", ".pdf", ".svg"}, "plot")
    if args.plot:
        _require("matplotlib", "plot", "--plot")
    if args.catalog and args.catalog.lower().endswith(".ecsv"):
        _require("astropy", "fits", "an .ecsv catalog")
    image = read_image(args.image, _hdu(args.hdu))
    exclude = read_mask(args.exclude, image.shape) if args.exclude else None
    if args.sigma is not None and not args.sigma > 0:
        raise InputError("--sigma must be positive")
    if args.max_streaks < 0 or not args.width > 0:
        raise InputError("--max-streaks must not be negative and --width must be positive")
    try:
        catalog = find_streaks(image, args.sigma, mask=exclude, min_snr=args.min_snr,
                               max_streaks=args.max_streaks, width=args.width)
    except ValueError as exc:
        raise InputError(f"{args.image}: {exc}") from None
    print(f"{args.image}: {image.shape[0]} x {image.shape[1]} pixels, sigma {catalog.sigma:.4g}, "
          f"{len(catalog)} streak{'s' if len(catalog) != 1 else ''}")
    print(format_table(catalog))
    if args.catalog:
        write_catalog(catalog, args.catalog)
    if args.mask:
        write_mask(catalog.mask(), args.mask)
    if args.plot:
        from .plot import plot_streaks

        plot_streaks(image, catalog, args.plot, title=Path(args.image).name)
    return 0


def _require(module, extra, what):
    try:
        __import__(module)
    except ImportError:
        raise InputError(f"{what} needs the optional package {module}: "
                         f"pip install 'kestrova[{extra}]'") from None


def demo_sky(seed: int = 1):
    """The demo's synthetic sky: 512 x 768 pixels of noise (sigma 1) on a sky of 100, about
    65 stars and two streaks, one crossing the other; returns (image, truth).

    Examples
    --------
    >>> image, truth = demo_sky()
    >>> image.shape, len(truth)
    ((512, 768), 2)
    """
    from .synthetic import TrueStreak, synthetic_sky

    truth = [TrueStreak(60.0, 70.0, 700.0, 420.0, 2.5, 1.2),    # long, bright
             TrueStreak(230.0, 460.0, 520.0, 60.0, 1.2, 1.0)]   # fainter, crossing it
    return synthetic_sky((512, 768), truth, seed=seed)


def _demo(args) -> int:
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
    best, distance = None, np.inf
    for i, s in enumerate(catalog):
        d = min(np.hypot(s.x_start - t.x0, s.y_start - t.y0) + np.hypot(s.x_end - t.x1,
                                                                         s.y_end - t.y1),
                np.hypot(s.x_start - t.x1, s.y_start - t.y1) + np.hypot(s.x_end - t.x0,
                                                                        s.y_end - t.y0))
        if d < distance:
            best, distance = i, d
    return best if distance < 0.5 * t.length else None
