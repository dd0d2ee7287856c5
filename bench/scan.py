"""Throughput of ``kestrova scan``: many FITS files through a process pool and through Dask.

Usage: python3 bench/scan.py [--images 64] [--size 1024] [--repeat 2]

Writes `--images` synthetic `--size` x `--size` FITS files (Gaussian noise, a few stars, one
streak each) to a temporary directory and scans them with the process pool at 1 and 2 workers
and with a Dask LocalCluster of 2 single-threaded worker processes (``local_cluster``, what
``--scheduler local`` starts). Executors are started and
warmed up (one small scan) before timing, so the figures compare the per-image cost of the two
paths; the pool's start-up is printed separately. The engines take turns, `--repeat` rounds, and
each figure is the best of its runs; the load average is printed, as other work on the machine
shows in the figures. The finder called in this process on 8 images is the baseline.
The Dask overhead is 1 - (Dask rate / pool rate) at 2 workers; it should stay under 15 %.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import os
import tempfile
import time
from pathlib import Path

import numpy as np
from astropy.io import fits

from kestrova import find_streaks
from kestrova.scan import local_cluster, process_pool, scan


def write_images(directory: Path, n: int, size: int, seed: int = 0) -> list[Path]:
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[:size, :size]
    paths = []
    for i in range(n):
        image = rng.normal(100.0, 5.0, (size, size))
        for x, y in rng.uniform(0, size, (20, 2)):
            image[int(y), int(x)] += rng.uniform(100, 2000)
        theta = rng.uniform(0, np.pi)
        r = rng.uniform(-size / 4, size / 4)
        distance = np.sin(theta) * (xx - size / 2) - np.cos(theta) * (yy - size / 2) - r
        image += 3.0 * np.exp(-0.5 * distance ** 2)
        path = directory / f"image{i:03d}.fits"
        fits.PrimaryHDU(image.astype(np.float32)).writeto(path)
        paths.append(path)
    return paths


def images_per_second(paths, workdir: Path, executor, find) -> float:
    catalog = workdir / f"run{time.monotonic_ns()}.jsonl"
    summary = scan(paths, catalog=catalog, executor=executor, find=find, progress=False)
    assert not summary.failures, summary.failures[0].message
    return summary.rate


def in_process_rate(paths, find, n: int = 8) -> float:
    """Images per second calling the finder here, on all cores, without any pool."""
    images = [np.asarray(fits.getdata(p), dtype=np.float64) for p in paths[:n]]
    find(images[0])
    start = time.perf_counter()
    for image in images:
        find(image)
    return len(images) / (time.perf_counter() - start)


@contextlib.contextmanager
def engines(workdir: Path, warm, find):
    """The three engines, started and warmed up: {name: (workers, executor)}."""
    with contextlib.ExitStack() as stack:
        out = {}
        for workers in (1, 2):
            start = time.perf_counter()
            pool = stack.enter_context(process_pool(workers))
            images_per_second(warm, workdir, pool, find)
            print(f"process pool of {workers} started and warm in "
                  f"{time.perf_counter() - start:.1f} s")
            out[f"process pool, {workers}"] = (workers, pool)
        client = stack.enter_context(local_cluster(2))
        images_per_second(warm, workdir, client, find)
        out["Dask LocalCluster, 2"] = (2, client)
        yield out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", type=int, default=64)
    parser.add_argument("--size", type=int, default=1024)
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()

    find, finder = None, "kestrova.find_streaks"  # None: the workers' own default
    with tempfile.TemporaryDirectory() as tmp:
        workdir = Path(tmp)
        paths = write_images(workdir, args.images, args.size)
        print(f"{datetime.date.today()}  {os.cpu_count()} cores  {args.images} FITS images "
              f"{args.size} x {args.size}  finder: {finder}")
        print(f"load average before: {os.getloadavg()[0]:.2f}")
        inline = in_process_rate(paths, find_streaks)
        best = {}
        with engines(workdir, paths[:2], find) as running:
            for _ in range(args.repeat):  # interleaved, so that a change of load hits all alike
                for name, (workers, executor) in running.items():
                    rate = images_per_second(paths, workdir, executor, find)
                    best[name] = (workers, max(rate, best.get(name, (0, 0.0))[1]))
        print(f"load average after:  {os.getloadavg()[0]:.2f}\n")

    pool2 = best["process pool, 2"][1]
    print(f"{'engine':<34} {'workers':>7} {'images/s':>9} {'s/image':>8} {'vs pool':>8}")
    rows = [("in this process, no pool", "-", inline)]
    rows += [(name.split(",")[0], workers, rate) for name, (workers, rate) in best.items()]
    for engine, workers, rate in rows:
        print(f"{engine:<34} {workers:>7} {rate:>9.2f} {1 / rate:>8.3f} "
              f"{rate / pool2 - 1:>+8.1%}")
    overhead = 1 - best["Dask LocalCluster, 2"][1] / pool2
    print(f"\nDask overhead against the process pool at 2 workers: {overhead:+.1%} "
          f"({'within' if overhead < 0.15 else 'ABOVE'} the 15 % budget)")


if __name__ == "__main__":
    main()
