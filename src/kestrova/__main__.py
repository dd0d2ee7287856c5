"""Command line: ``python -m kestrova demo``."""

from __future__ import annotations

import argparse
import sys

import numpy as np

from .hough import HoughTransform


def synthetic_streak(shape=(64, 96), start=(10.0, 12.0), end=(85.0, 50.0), level=5.0, sigma=1.0,
                     seed=0):
    """Gaussian noise with one bright straight streak drawn between two (x, y) pixel positions.

    Examples
    --------
    >>> image = synthetic_streak()
    >>> image.shape
    (64, 96)
    """
    rng = np.random.default_rng(seed)
    image = rng.normal(0.0, sigma, shape)
    steps = int(np.hypot(end[0] - start[0], end[1] - start[1])) + 1
    xs = np.rint(np.linspace(start[0], end[0], steps)).astype(int)
    ys = np.rint(np.linspace(start[1], end[1], steps)).astype(int)
    image[ys, xs] += level
    return image


def demo() -> int:
    image = synthetic_streak()
    ht = HoughTransform(image, 1.0)
    print(f"image          {image.shape[0]} rows x {image.shape[1]} columns, sigma {ht.sigma}")
    print(f"center         {ht.center}  (row, column)")
    print(f"radius         {ht.radius:.4f}  (half the diagonal)")
    print(f"axis1 (x)      {ht.axis1[0, 0]:+.1f} .. {ht.axis1[0, -1]:+.1f}")
    print(f"axis2 (y)      {ht.axis2[0, 0]:+.1f} .. {ht.axis2[-1, 0]:+.1f}")
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="kestrova", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("demo", help="run on a built-in synthetic image")
    args = parser.parse_args(argv)
    if args.command == "demo":
        return demo()
    return 2


if __name__ == "__main__":
    sys.exit(main())
