"""Peak memory of find_streaks on float32 images, as a multiple of the image's own size.

Usage: python bench/memory.py [--sizes 2048 10000] [--dtype float32]

Each size runs in a fresh process: a synthetic sky (noise on a sky level, stars, two streaks)
is made in row blocks, so that making it peaks at no more than the image, then find_streaks runs
once. Printed per size: the image's size, the peak of the memory allocated during the call as
tracemalloc counts it (NumPy's arrays and Python objects, not the native module's buffers), the
growth of the resident set's high-water mark during the call (everything, native buffers
included; Linux only), both as multiples of the image, and the time of the call (slower than
usual under tracemalloc).
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time
import tracemalloc

import numpy as np

from kestrova import find_streaks
from kestrova.synthetic import TrueStreak, draw_streak


def make_sky(size: int, dtype, seed: int = 0) -> np.ndarray:
    """Noise (sigma 5) on a sky level of 100, 1 star per 20000 pixels and two crossing
    streaks, made block by block in `dtype`."""
    rng = np.random.default_rng(seed)
    image = np.empty((size, size), dtype)
    step = max(1, 4_000_000 // size)
    for row in range(0, size, step):
        block = image[row:row + step]
        block[...] = rng.normal(100.0, 5.0, block.shape)
    n_stars = size * size // 20_000
    rows, cols = rng.integers(2, size - 2, (2, n_stars))
    image[rows, cols] += rng.uniform(100.0, 5000.0, n_stars).astype(dtype)
    for x0, y0, x1, y1 in ((0.05, 0.1, 0.9, 0.8), (0.1, 0.9, 0.95, 0.2)):
        draw_streak(image, TrueStreak(x0 * size, y0 * size, x1 * size, y1 * size, 15.0))
    return image


def _high_water_kib() -> int | None:
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def _reset_high_water() -> bool:
    """Reset the resident set's high-water mark to the current resident set (Linux)."""
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
        return True
    except OSError:
        return False


def measure(size: int, dtype: str) -> dict:
    """One size, in this process."""
    image = make_sky(size, np.dtype(dtype))
    find_streaks(image[:256, :256])  # imports and first-call costs outside the measurement
    rss_ok = _reset_high_water()
    rss0 = _high_water_kib()
    tracemalloc.start()
    start = time.perf_counter()
    catalog = find_streaks(image)
    seconds = time.perf_counter() - start
    _, traced = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    rss1 = _high_water_kib()
    return {"size": size, "image": image.nbytes, "traced": traced,
            "rss": (rss1 - rss0) * 1024 if rss_ok and rss0 is not None else None,
            "seconds": seconds, "streaks": len(catalog)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[2048, 10000])
    parser.add_argument("--dtype", default="float32")
    parser.add_argument("--one", type=int, help=argparse.SUPPRESS)  # a worker's size
    args = parser.parse_args()
    if args.one:
        print(json.dumps(measure(args.one, args.dtype)))
        return
    print(f"{'size':>11} {'image':>9} {'traced':>9} {'x':>5} {'RSS':>9} {'x':>5} "
          f"{'time':>7} streaks")
    mib = 2.0 ** 20
    for size in args.sizes:
        out = subprocess.run([sys.executable, __file__, "--one", str(size), "--dtype",
                              args.dtype], capture_output=True, text=True, check=True).stdout
        r = json.loads(out.splitlines()[-1])
        rss = (f"{r['rss'] / mib:7.0f}Mi {r['rss'] / r['image']:5.2f}" if r["rss"] is not None
               else f"{'-':>9} {'-':>5}")
        print(f"{size:>5} x {size:<5} {r['image'] / mib:7.0f}Mi {r['traced'] / mib:7.0f}Mi "
              f"{r['traced'] / r['image']:5.2f} {rss} {r['seconds']:6.1f}s {r['streaks']}")


if __name__ == "__main__":
    main()
