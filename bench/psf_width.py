"""The stars' width that the preparation measures, against the truth, on the benchmark skies.

Usage: python bench/psf_width.py [--seeds 0,1,2] [--types cosmics,galaxies,...] [--size N]

For each field type, the 16 images of the quick plan of ``catalogs.py`` (with their trails) are
prepared as ``find_streaks`` prepares them, and the measured FWHM of the point-spread function is
divided by the true one. The stars are Moffat profiles, whose matching Gaussian reads some 10-20 %
above their half-maximum width, so a right measurement lies between 1.05 and 1.45 times the truth.
Printed per field type: how many images got a width, how many of those lie in that range, and
the median ratio.
"""

from __future__ import annotations

import argparse
import warnings
from dataclasses import replace

import numpy as np

import catalogs
from kestrova.prepare import prepare_image
from sky import FIELD_TYPES

RIGHT = (1.05, 1.45)


def ratios(field_type: str, seed: int, size: int | None = None) -> list[float]:
    """Measured over true width for each image of the quick plan, its images `size` pixels
    a side when given (NaN where none was measured)."""
    plan = catalogs.QUICK if size is None else replace(catalogs.QUICK, size=size)
    out = []
    for field in catalogs.plan_fields(plan, field_type, seed):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            fwhm = prepare_image(field.image).psf_fwhm
        out.append(np.nan if fwhm is None else fwhm / field.psf.fwhm)
    return out


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", default="0,1,2")
    parser.add_argument("--types", default=",".join(FIELD_TYPES))
    parser.add_argument("--size", type=int, help="side of the images (galaxies: many more a frame)")
    args = parser.parse_args(argv)
    seeds = [int(s) for s in args.seeds.split(",")]
    print(f"{'field':<10} {'images':>6} {'measured':>8} {'right':>6} {'median':>7}")
    for field_type in args.types.split(","):
        r = np.array([x for s in seeds for x in ratios(field_type, s, args.size)])
        got = r[np.isfinite(r)]
        right = np.count_nonzero((got >= RIGHT[0]) & (got <= RIGHT[1]))
        median = f"{np.median(got):7.2f}" if got.size else "      -"
        print(f"{field_type:<10} {r.size:>6} {got.size:>8} {right:>6} {median}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
