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

from ..settings import check_settings
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


class _Silent:
    def show(self, result: TaskResult, streaks: int, failures: int) -> None:
        pass

    def close(self) -> None:
        pass


class _Lines(_Silent):
    """A line per finished image, for a log: where no terminal shows a bar."""

    def __init__(self, total: int):
        self.total, self.count = total, 0

    def show(self, result, streaks, failures):
        self.count += 1
        found = len(result.streaks)
        what = (result.message if result.status == ERROR
                else f"{found} streak{'s' if found != 1 else ''}")
        print(f"[{self.count}/{self.total}] {result.task.name}: {what} ({result.seconds:.1f} s)",
              file=sys.stderr, flush=True)


class _Bar(_Silent):
    def __init__(self, tqdm, total: int):
        self.bar = tqdm(total=total, unit="img", dynamic_ncols=True, file=sys.stderr)

    def show(self, result, streaks, failures):
        self.bar.update(1)
        self.bar.set_postfix({"streaks": streaks, "failed": failures}, refresh=False)

    def close(self):
        self.bar.close()


def _progress(total: int, progress: Optional[bool]):
    """Progress on stderr: a tqdm bar on a terminal (when tqdm is installed), a line per image
    otherwise; nothing for ``progress=False``."""
    if progress is False:
        return _Silent()
    if sys.stderr.isatty():
        with contextlib.suppress(ImportError):
            from tqdm import tqdm

            return _Bar(tqdm, total)
    return _Lines(total)


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
        failed are tried again, and the rows of an image that a crash left incomplete are
        dropped before it is. Without it an existing catalog is an error.
    progress : bool, optional
        Show progress on stderr (the default): a bar on a terminal, a line per image otherwise.
    find : callable, optional
        ``find(image, mask=..., **find_kwargs)`` returning dataclass records; default
        :func:`kestrova.find_streaks`. Must be picklable for process and Dask workers.
    dq, dq_bits : optional
        Data-quality HDU of every FITS file and the flags that exclude a pixel, as in
        :func:`kestrova.io.read_frame`.
    zeropoint : float, optional
        Magnitude zero point instead of the headers' (see :func:`kestrova.describe.describe`).
    **find_kwargs
        Passed on to `find` (``sigma``, ``min_snr``, ``max_streaks``, ``width``); for the
        default `find` they are checked before anything runs.

    Returns
    -------
    ScanSummary

    Raises
    ------
    ValueError
        A setting that cannot work, or a catalog that is not named ``*.jsonl``.
    FileExistsError
        The catalog exists and `resume` is not set.
    NotADirectoryError
        `masks` is not a directory.

    Examples
    --------
    >>> summary = scan("exposures/*.fits", catalog="trails.jsonl", min_snr=8)  # doctest: +SKIP
    >>> summary.streaks, len(summary.failures)                                # doctest: +SKIP
    (3, 0)
    """
    start = time.perf_counter()
    if find is None:
        find_kwargs = check_settings(**find_kwargs)
    if masks is not None and not os.path.isdir(masks):
        raise NotADirectoryError(f"masks: {masks} is not a directory")
    options = FindOptions(find, tuple(sorted(find_kwargs.items())),
                          None if masks is None else os.path.abspath(masks), dq, dq_bits,
                          zeropoint)
    rebuild = functools.partial(process_pool, workers) if executor is None else None
    done, streaks, failures = 0, 0, []
    with contextlib.closing(CatalogWriter(catalog, resume)) as out:
        tasks, failed = find_tasks(paths, hdus)
        todo = [task for task in tasks if task.key not in out.done]
        batch = iter(Batch(todo, options, executor, capacity(executor, workers), rebuild))
        shown = _progress(len(todo) + len(failed), progress)
        with contextlib.closing(batch), contextlib.closing(shown):
            for result in itertools.chain(failed, batch):
                out.write(result)
                if result.status == ERROR:
                    failures.append(result)
                else:
                    done += 1
                    streaks += len(result.streaks)
                shown.show(result, streaks, len(failures))
    return ScanSummary(images=len(tasks) + len(failed), skipped=len(tasks) - len(todo),
                       done=done, streaks=streaks, failures=tuple(failures),
                       seconds=time.perf_counter() - start)
