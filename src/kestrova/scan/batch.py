"""A scan: every image of many files through an executor into one catalog (:func:`scan`)."""

from __future__ import annotations

import contextlib
import dataclasses
import functools
import itertools
import os
import sys
import time
from typing import Callable, Optional, Sequence

from .executors import Batch, capacity, process_pool
from .store import CatalogWriter
from .tasks import ERROR, FindOptions, HduKey, TaskResult, find_tasks

__all__ = ["ScanSummary", "scan"]


@dataclasses.dataclass(frozen=True)
class ScanSummary:
    """What a :func:`scan` did.

    Examples
    --------
    >>> ScanSummary(images=3, skipped=1, done=2, streaks=5, failures=(), seconds=2.0).rate
    1.0
    """

    images: int  # tasks found, including files that could not be listed
    skipped: int  # already complete in the catalog
    done: int  # finished in this run without error
    streaks: int
    failures: tuple[TaskResult, ...]
    seconds: float

    @property
    def rate(self) -> float:
        """Images finished (with or without error) per second in this run."""
        finished = self.done + len(self.failures)
        return finished / self.seconds if self.seconds > 0 else float("nan")


class _NoBar:
    def update(self, n=1): pass

    def set_postfix(self, *args, **kwargs): pass

    def close(self): pass


def _progress_bar(total: int, progress: Optional[bool]):
    """A tqdm bar on stderr; by default only when stderr is a terminal."""
    if progress is False:
        return _NoBar()
    try:
        from tqdm import tqdm
    except ImportError:
        return _NoBar()
    return tqdm(total=total, unit="img", disable=None if progress is None else False,
                dynamic_ncols=True, file=sys.stderr)


def scan(paths, *, catalog, executor=None, workers: Optional[int] = None,
         hdus: Optional[Sequence[HduKey]] = None, masks=None, resume: bool = False,
         progress: Optional[bool] = None, find: Optional[Callable] = None,
         dq: Optional[HduKey] = None, dq_bits: Optional[int] = None,
         zeropoint: Optional[float] = None, **find_kwargs) -> ScanSummary:
    """Find the streaks in many images in parallel, appending them to one catalog.

    Parameters
    ----------
    paths : str, path or sequence of them
        FITS and ``.npy`` files, and glob patterns (``**`` for any depth).
    catalog : str or path
        JSON-lines catalog (``*.jsonl``), appended to as each image finishes.
    executor : Executor-like, optional
        Anything with ``submit(fn, *args)`` returning futures with ``add_done_callback`` and
        ``result``: a ``concurrent.futures`` executor or a ``dask.distributed.Client``. It must be
        able to run functions of :mod:`kestrova`, and its workers to read the files. By default a
        :func:`process_pool` of `workers`, made and shut down here.
    workers : int, optional
        Size of the default process pool (default: all cores); with an `executor`, how many
        tasks it runs at once (default: asked from the executor).
    hdus : sequence of int or str, optional
        FITS HDUs to scan, by index or EXTNAME; default every HDU holding a 2-D image.
    masks : str or path, optional
        Directory holding a mask per image under the image's file name (same HDU layout);
        nonzero mask pixels are excluded. An image without its mask fails.
    resume : bool
        Append to an existing catalog, skipping the images it holds complete; images that
        failed are tried again. Without it an existing catalog is an error.
    progress : bool, optional
        Show a progress bar; by default only on a terminal.
    find : callable, optional
        ``find(image, mask=..., **find_kwargs)`` returning dataclass records; default
        :func:`kestrova.find_streaks`. Must be picklable for process and Dask workers.
    dq, dq_bits : optional
        Data-quality HDU of every FITS file and the flags that exclude a pixel, as in
        :func:`kestrova.io.read_frame`.
    zeropoint : float, optional
        Magnitude zero point instead of the headers' (see :func:`kestrova.describe.describe`).
    **find_kwargs
        Passed on to `find` (``sigma``, ``min_snr``, ``max_streaks``, ``width``).

    Returns
    -------
    ScanSummary

    Examples
    --------
    >>> summary = scan("exposures/*.fits", catalog="trails.jsonl", min_snr=8)  # doctest: +SKIP
    >>> summary.streaks, len(summary.failures)                                # doctest: +SKIP
    (3, 0)
    """
    start = time.perf_counter()
    options = FindOptions(find, tuple(sorted(find_kwargs.items())),
                          None if masks is None else os.path.abspath(masks), dq, dq_bits,
                          zeropoint)
    rebuild = functools.partial(process_pool, workers) if executor is None else None
    done, streaks, failures = 0, 0, []
    with contextlib.closing(CatalogWriter(catalog, resume)) as out:
        tasks, failed = find_tasks(paths, hdus)
        todo = [task for task in tasks if task.key not in out.done]
        batch = iter(Batch(todo, options, executor, capacity(executor, workers), rebuild))
        bar = _progress_bar(len(todo) + len(failed), progress)
        with contextlib.closing(batch), contextlib.closing(bar):
            for result in itertools.chain(failed, batch):
                out.write(result)
                if result.status == ERROR:
                    failures.append(result)
                else:
                    done += 1
                    streaks += len(result.streaks)
                bar.update(1)
                bar.set_postfix({"streaks": streaks, "failed": len(failures)}, refresh=False)
    return ScanSummary(images=len(tasks) + len(failed), skipped=len(tasks) - len(todo),
                       done=done, streaks=streaks, failures=tuple(failures),
                       seconds=time.perf_counter() - start)
