"""``kestrova scan PATTERN ...``: its arguments, and the scan run with them on a process pool or a
Dask cluster, stopped cleanly by Ctrl-C or SIGTERM.
"""

from __future__ import annotations

import contextlib
import signal
import sys
from pathlib import Path

from .cli_options import (UsageError, add_input_arguments, add_search_arguments,
                          find_settings, hdu_key)
from .io import InputError
from .scan import ScanSummary, scan
from .scan.executors import dask_client
from .writers import check_writable

__all__ = ["Terminated", "add_scan_arguments", "run_scan"]


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
    add_search_arguments(parser)
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
        find_kwargs = find_settings(args)
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
