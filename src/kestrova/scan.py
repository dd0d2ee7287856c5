"""Scan many images for streaks in parallel, with one append-only catalog for the whole run.

Every 2-D image is one task: each FITS HDU holding 2-D image data (or each HDU asked for) and
each ``.npy`` file. Tasks run on any executor with ``submit()`` whose futures have
``add_done_callback()`` and ``result()``: a :class:`concurrent.futures.ProcessPoolExecutor` (the
default, made here), a thread pool, or a ``dask.distributed.Client``.

The catalog is JSON lines, one object per line, appended and flushed as each image finishes:

- ``status == "ok"``: one row per streak, with ``index`` (0-based) out of ``nstreaks`` and
  every field of the :class:`~kestrova.streaks.Streak` record;
- ``status == "none"``: one row for an image without streaks, so that a resumed run knows that
  the image is done;
- ``status == "error"``: one row with the ``message``; such images are tried again on resume.

Every row starts with ``file`` (absolute path), ``hdu`` (index; for ``.npy`` files 0) and
``extname``. JSON lines rather than CSV because a line torn by a crash is detectable (it does
not parse) where a torn CSV number still reads as a valid value, and because each row describes
itself, so that error rows need no empty streak columns and vector fields need no flattening.
Non-finite numbers are written as ``null`` to keep the file strict JSON.

Examples
--------
>>> from kestrova.scan import scan, read_catalog
>>> summary = scan("night1/*.fits", catalog="night1.jsonl", min_snr=8)  # doctest: +SKIP
>>> rows = read_catalog("night1.jsonl")                                # doctest: +SKIP
>>> [row["snr"] for row in rows if row["status"] == "ok"]              # doctest: +SKIP
[12.5, 7.9, 31.0]
"""

from __future__ import annotations

import asyncio
import contextlib
import ctypes
import dataclasses
import functools
import glob
import itertools
import json
import math
import multiprocessing
import os
import queue
import sys
import time
import warnings
from collections import defaultdict, deque
from concurrent.futures import BrokenExecutor, ProcessPoolExecutor
from pathlib import Path
from typing import Any, Callable, Iterable, Iterator, Mapping, Optional, Sequence, Union

# NumPy and astropy are imported inside the functions that need them: a process pool worker
# imports this module before its initializer limits the native thread pools.

__all__ = [
    "ScanSummary",
    "Task",
    "TaskResult",
    "add_scan_arguments",
    "completed_images",
    "find_tasks",
    "limit_threads",
    "local_cluster",
    "process_pool",
    "read_catalog",
    "run_scan",
    "run_task",
    "scan",
]

CATALOG_SUFFIXES = (".jsonl", ".ndjson", ".json")
OK, NONE, ERROR = "ok", "none", "error"
WORKER_DIED = "worker process died (crash in native code or out of memory)"
DEATHS_IN_A_ROW = 3  # images killing their worker, alone, before a scan gives up as hopeless

HduKey = Union[int, str, None]


@dataclasses.dataclass(frozen=True)
class Task:
    """One image: an HDU of a FITS file (index, or a requested name that was not found) or a
    ``.npy`` file (``hdu == 0``). ``hdu is None`` stands for the whole file when it could not be
    listed.

    Examples
    --------
    >>> Task("/data/a.fits", 1, "SCI").key
    ('/data/a.fits', 1)
    """

    file: str
    hdu: HduKey
    extname: str = ""

    @property
    def key(self) -> tuple[str, HduKey]:
        return (self.file, self.hdu)


@dataclasses.dataclass(frozen=True)
class TaskResult:
    """The outcome of one task: its streaks as plain dictionaries, or an error message.

    Examples
    --------
    >>> result = TaskResult(Task("/a.npy", 0), "none")
    >>> result.rows()
    [{'file': '/a.npy', 'hdu': 0, 'extname': '', 'status': 'none', 'nstreaks': 0}]
    """

    task: Task
    status: str
    streaks: tuple[dict, ...] = ()
    message: str = ""
    seconds: float = 0.0

    def rows(self) -> list[dict]:
        head = {"file": self.task.file, "hdu": self.task.hdu, "extname": self.task.extname,
                "status": self.status}
        if self.status == ERROR:
            return [{**head, "message": self.message}]
        if not self.streaks:
            return [{**head, "nstreaks": 0}]
        n = len(self.streaks)
        return [{**head, "nstreaks": n, "index": i, **fields} for i, fields in
                enumerate(self.streaks)]


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


@dataclasses.dataclass(frozen=True)
class _Options:
    find: Optional[Callable]
    find_kwargs: tuple[tuple[str, Any], ...]
    masks: Optional[str]


# ---------------------------------------------------------------------------------------------
# Listing the tasks


def _is_npy(path: str) -> bool:
    return path.lower().endswith(".npy")


def _expand(patterns: Iterable) -> tuple[list[str], list[TaskResult]]:
    """Absolute paths of the files named or matched, in order, without repeats."""
    files, unmatched = {}, []
    for pattern in patterns:
        pattern = os.fspath(pattern)
        if any(c in pattern for c in "*?["):
            matches = sorted(glob.glob(pattern, recursive=True))
            if not matches:
                unmatched.append(TaskResult(Task(pattern, None), ERROR,
                                            message="no file matches this pattern"))
        else:
            matches = [pattern]
        files.update((os.path.abspath(m), None) for m in matches)
    return list(files), unmatched


def _fits_tasks(path: str, hdus: Optional[Sequence[HduKey]]) -> list:
    """Tasks for the 2-D image HDUs of a FITS file, or for the HDUs asked for (by index, or by
    EXTNAME: every HDU of that name, as multi-chip files repeat it)."""
    from astropy.io import fits

    # A corrupt file becomes an error row; its warnings would only clutter the progress bar.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with fits.open(path, lazy_load_hdus=True, memmap=False) as hdul:
            listed = [(i, hdu.name, hdu.is_image and hdu.header.get("NAXIS") == 2)
                      for i, hdu in enumerate(hdul)]
    if hdus is None:
        tasks = [Task(path, i, name) for i, name, is_2d in listed if is_2d]
        if not tasks:
            raise ValueError("no HDU holds a 2-D image")
        return tasks
    out = []
    for wanted in hdus:
        if isinstance(wanted, int):
            found = [(i, name) for i, name, _ in listed if i == wanted]
        else:
            found = [(i, name) for i, name, _ in listed if name.upper() == wanted.upper()]
        if found:
            out.extend(Task(path, i, name) for i, name in found)
        else:
            out.append(TaskResult(Task(path, wanted), ERROR, message=f"no HDU {wanted!r}"))
    return out


def find_tasks(paths, hdus: Optional[Sequence[HduKey]] = None
               ) -> tuple[list[Task], list[TaskResult]]:
    """List the images of the files named or matched by glob patterns in `paths`.

    Only headers are read. Files that cannot be listed (missing, corrupt, no 2-D image, a
    pattern matching nothing, a requested HDU that does not exist) come back as error results.

    Parameters
    ----------
    paths : str, path or sequence of them
        Files (FITS or ``.npy``) and glob patterns (``**`` for any depth).
    hdus : sequence of int or str, optional
        HDUs to take from FITS files, by index or EXTNAME. By default every HDU holding a 2-D
        image. Ignored for ``.npy`` files.

    Returns
    -------
    tasks : list of Task
    failed : list of TaskResult

    Examples
    --------
    >>> tasks, failed = find_tasks(["/nonexistent/*.fits"])
    >>> tasks, failed[0].message
    ([], 'no file matches this pattern')
    """
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    files, failed = _expand(paths)
    tasks = []
    seen = set()
    for path in files:
        try:
            found = [Task(path, 0)] if _is_npy(path) else _fits_tasks(path, hdus)
        except Exception as error:  # noqa: BLE001 - any unreadable file becomes an error row
            failed.append(TaskResult(Task(path, None), ERROR, message=_describe(error)))
            continue
        for item in found:
            if isinstance(item, TaskResult):
                failed.append(item)
            elif item.key not in seen:
                seen.add(item.key)
                tasks.append(item)
    return tasks, failed


# ---------------------------------------------------------------------------------------------
# One task, run in a worker


def _describe(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def _load_array(path: str, hdu: HduKey):
    import numpy as np

    if _is_npy(path):
        data = np.load(path, allow_pickle=False)
    else:
        from astropy.io import fits

        with fits.open(path, memmap=False) as hdul:
            data = hdul[hdu].data
    if data is None:
        raise ValueError(f"HDU {hdu!r} holds no data")
    if data.ndim != 2:
        raise ValueError(f"{data.ndim}-D data {data.shape}, not a 2-D image")
    return data


def _load_mask(masks: str, task: Task, shape: tuple):
    """The mask of an image: the file of the same name in the masks directory (same HDU);
    nonzero pixels are excluded."""
    path = os.path.join(masks, os.path.basename(task.file))
    if not os.path.exists(path):
        raise FileNotFoundError(f"no mask {path}")
    mask = _load_array(path, task.hdu) != 0
    if mask.shape != shape:
        raise ValueError(f"mask {path} has shape {mask.shape}, the image {shape}")
    return mask


def _plain(value):
    """`value` as JSON-ready Python: NumPy scalars and arrays unwrapped, non-finite as None."""
    if isinstance(value, (str, bool)) or value is None:
        return value
    if isinstance(value, int):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if hasattr(value, "tolist"):  # NumPy scalar or array
        return _plain(value.tolist())
    if isinstance(value, Mapping):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return str(value)


def _record(streak) -> dict:
    if dataclasses.is_dataclass(streak):
        return {f.name: _plain(getattr(streak, f.name)) for f in dataclasses.fields(streak)}
    if isinstance(streak, Mapping):
        return _plain(streak)
    raise TypeError(f"cannot catalog a {type(streak).__name__}: expected a dataclass record")


def _default_find():
    from .streaks import find_streaks

    return find_streaks


def run_task(task: Task, options: _Options) -> TaskResult:
    """Read one image (and its mask), find its streaks; any failure becomes an error result.

    Examples
    --------
    >>> result = run_task(Task("/nonexistent.npy", 0), _Options(None, (), None))
    >>> result.status, result.message.split(":")[0]
    ('error', 'FileNotFoundError')
    """
    import numpy as np

    start = time.perf_counter()
    try:
        image = np.asarray(_load_array(task.file, task.hdu), dtype=np.float64)
        kwargs = dict(options.find_kwargs)
        if options.masks is not None:
            kwargs["mask"] = _load_mask(options.masks, task, image.shape)
        find = options.find if options.find is not None else _default_find()
        streaks = tuple(_record(s) for s in find(image, **kwargs))
    except Exception as error:  # noqa: BLE001 - reported in the catalog, the batch goes on
        return TaskResult(task, ERROR, message=_describe(error),
                          seconds=time.perf_counter() - start)
    return TaskResult(task, OK if streaks else NONE, streaks,
                      seconds=time.perf_counter() - start)


# ---------------------------------------------------------------------------------------------
# Executors


def limit_threads(threads: int) -> None:
    """Limit the OpenMP and BLAS threads of this process, so that N worker processes do not
    each start a thread per core.

    A worker has usually loaded NumPy and the extension before this runs (a fork server
    preloads the main module), so the environment alone is too late: threadpoolctl, when
    installed, limits the loaded runtimes; otherwise ``omp_set_num_threads``, looked up through
    the extension's own dependencies, limits at least the OpenMP runtime.

    Examples
    --------
    >>> limit_threads(1)     # doctest: +SKIP
    """
    for name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        os.environ[name] = str(threads)
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        pass
    else:
        from . import hough  # noqa: F401 - load the OpenMP runtime, so that it is limited too

        threadpool_limits(limits=int(threads))
        return
    try:
        from . import hough

        ctypes.CDLL(hough.__file__).omp_set_num_threads(int(threads))
    except (ImportError, OSError, AttributeError):
        pass  # no extension, or built without OpenMP


def process_pool(workers: Optional[int] = None) -> ProcessPoolExecutor:
    """A process pool whose workers share the cores: ``cores // workers`` OpenMP threads each.

    Workers are started by a fork server (or spawned), never forked from a process whose OpenMP
    runtime may already hold threads.

    Examples
    --------
    >>> with process_pool(2) as pool:           # doctest: +SKIP
    ...     pool.submit(sum, [1, 2]).result()
    3
    """
    cores = os.cpu_count() or 1
    workers = workers or cores
    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")
    return ProcessPoolExecutor(workers, mp_context=context, initializer=limit_threads,
                               initargs=(max(1, cores // workers),))


def _capacity(executor, workers: Optional[int]) -> int:
    """How many tasks the executor runs at once, from what it tells (thread or process pool:
    ``_max_workers``; Dask client: ``nthreads()``)."""
    if workers:
        return workers
    count = getattr(executor, "_max_workers", None)
    if count is None and callable(getattr(executor, "nthreads", None)):
        with contextlib.suppress(Exception):
            count = sum(executor.nthreads().values())
    return max(1, count or os.cpu_count() or 1)


def _next_done(done: queue.Queue):
    while True:  # short waits keep Ctrl-C responsive
        with contextlib.suppress(queue.Empty):
            return done.get(timeout=0.5)


class _Batch:
    """Runs tasks on an executor; iterating yields each result as it finishes.

    At most twice `capacity` tasks are submitted ahead, which bounds memory and scheduler load
    for huge batches. With `rebuild` (a factory of pools owned here, `executor` None) a pool is
    made on the first task and shut down at the end. When a worker process dies, a process pool
    fails every task in it; those tasks are then run again one at a time on a fresh pool, so that
    only the task that kills a worker on its own is reported as failed. When workers die on
    every image (say, they cannot import the package) the scan stops with RuntimeError rather
    than restarting a pool per image.
    """

    def __init__(self, tasks: Sequence[Task], options: _Options, executor, capacity: int,
                 rebuild: Optional[Callable]):
        self.options, self.executor, self.capacity, self.rebuild = (options, executor,
                                                                    capacity, rebuild)
        self.pending, self.suspects = deque(tasks), deque()
        self.running: dict = {}  # future -> (task, ran alone)
        self.done: queue.Queue = queue.Queue()
        self.broken, self.deaths = False, 0

    def __iter__(self) -> Iterator[TaskResult]:
        if self.rebuild is not None:
            self.executor = self.rebuild()
        try:
            while self.pending or self.suspects or self.running:
                if self.broken and not self.running:
                    self.executor.shutdown(wait=True)
                    self.executor, self.broken = self.rebuild(), False
                yield from self._submit()
                if self.running:
                    yield from self._collect(_next_done(self.done))
        finally:
            for future in self.running:
                future.cancel()
            if self.rebuild is not None:
                self.executor.shutdown(wait=not self.running, cancel_futures=True)

    def _submit(self) -> Iterator[TaskResult]:
        """Submit tasks up to the limit (one at a time while isolating a dead worker's tasks);
        yields the tasks that could not be submitted as failures."""
        source, limit = (self.suspects, 1) if self.suspects else (self.pending, 2 * self.capacity)
        while not self.broken and source and len(self.running) < limit:
            task = source.popleft()
            try:
                future = self.executor.submit(run_task, task, self.options)
            except BrokenExecutor:
                if self.rebuild is None:
                    yield TaskResult(task, ERROR, message=WORKER_DIED)
                else:
                    self.suspects.append(task)
                    self.broken = True
            except Exception as error:  # noqa: BLE001 - e.g. a closed client
                yield TaskResult(task, ERROR, message=_describe(error))
            else:
                self.running[future] = (task, source is self.suspects)
                future.add_done_callback(self.done.put)

    def _collect(self, future) -> Iterator[TaskResult]:
        task, alone = self.running.pop(future)
        try:
            result = future.result()
        except BrokenExecutor:
            if self.rebuild is None or alone:
                yield TaskResult(task, ERROR, message=WORKER_DIED)
                self.deaths += 1
            else:
                self.suspects.append(task)
            self.broken = self.rebuild is not None
            if self.broken and self.deaths >= DEATHS_IN_A_ROW:
                raise RuntimeError(f"worker processes died on {self.deaths} images in a row; "
                                   "stopped (is kestrova importable by the workers?)") from None
        except (Exception, asyncio.CancelledError) as error:  # noqa: BLE001 - lost worker, ...
            yield TaskResult(task, ERROR, message=_describe(error))
        else:
            self.deaths = 0
            yield result


# ---------------------------------------------------------------------------------------------
# The catalog


def _parse_lines(lines: list[str], path) -> list[dict]:
    rows = []
    for number, line in enumerate(lines, 1):
        if not line.strip():
            continue
        try:
            rows.append(json.loads(line))
        except json.JSONDecodeError:
            if number < len(lines):
                raise ValueError(f"{path}:{number}: not a catalog row") from None
            # a last line cut short by a crash: its image was not complete
    return rows


def read_catalog(path) -> list[dict]:
    """The rows of a scan catalog, in the order written; a torn last line is left out.

    Examples
    --------
    >>> rows = read_catalog("night1.jsonl")                     # doctest: +SKIP
    >>> sum(row["status"] == "ok" for row in rows)  # streaks     # doctest: +SKIP
    3
    """
    with open(path, encoding="utf-8") as file:
        return _parse_lines(file.read().split("\n"), path)


def completed_images(rows: Iterable[Mapping]) -> set[tuple[str, HduKey]]:
    """The (file, hdu) pairs that a catalog holds complete: a "none" row, or every one of the
    ``nstreaks`` rows of an "ok" image. Errors do not count.

    Examples
    --------
    >>> rows = [{"file": "a", "hdu": 0, "status": "ok", "nstreaks": 2, "index": 0},
    ...         {"file": "b", "hdu": 0, "status": "none", "nstreaks": 0}]
    >>> completed_images(rows)
    {('b', 0)}
    """
    done, seen, needed = set(), defaultdict(set), {}
    for row in rows:
        key = (row["file"], row["hdu"])
        if row["status"] == NONE:
            done.add(key)
        elif row["status"] == OK:
            seen[key].add(row["index"])
            needed[key] = row["nstreaks"]
    return done | {key for key, indices in seen.items() if len(indices) >= needed[key]}


def _json_line(row: dict) -> str:
    return json.dumps(row, allow_nan=False, separators=(", ", ": ")) + "\n"


class _Catalog:
    """Append-only writer: all rows of an image in one write, flushed at once."""

    def __init__(self, path, resume: bool):
        path = Path(path)
        if path.suffix.lower() not in CATALOG_SUFFIXES:
            raise ValueError(f"the catalog is JSON lines: name it *.jsonl, not {path.name}")
        exists = path.exists() and path.stat().st_size > 0
        if exists and not resume:
            raise FileExistsError(f"catalog {path} exists: resume it (--resume) or remove it")
        self.done = set()
        if exists:
            self.done = completed_images(read_catalog(path))
            _drop_torn_line(path)
        self._file = open(path, "a", encoding="utf-8")

    def write(self, result: TaskResult) -> None:
        self._file.write("".join(_json_line(row) for row in result.rows()))
        self._file.flush()

    def close(self) -> None:
        self._file.close()


def _drop_torn_line(path: Path) -> None:
    """Cut an unfinished last line (a crash mid-write), so that the next row starts a line."""
    with open(path, "rb+") as file:
        data = file.read()
        if data and not data.endswith(b"\n"):
            file.truncate(data.rfind(b"\n") + 1)


# ---------------------------------------------------------------------------------------------
# The batch


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
         **find_kwargs) -> ScanSummary:
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
        :func:`kestrova.streaks.find_streaks`. Must be picklable for process and Dask workers.
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
    options = _Options(find, tuple(sorted(find_kwargs.items())),
                       None if masks is None else os.path.abspath(masks))
    rebuild = functools.partial(process_pool, workers) if executor is None else None
    done, streaks, failures = 0, 0, []
    with contextlib.closing(_Catalog(catalog, resume)) as out:
        tasks, failed = find_tasks(paths, hdus)
        todo = [task for task in tasks if task.key not in out.done]
        batch = iter(_Batch(todo, options, executor, _capacity(executor, workers), rebuild))
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


# ---------------------------------------------------------------------------------------------
# Command line


def _hdu_list(values: Optional[list[str]]) -> Optional[list[HduKey]]:
    """``--hdu 1 --hdu SCI,DQ`` -> [1, 'SCI', 'DQ']."""
    if not values:
        return None
    items = [item.strip() for value in values for item in value.split(",") if item.strip()]
    return [int(item) if item.lstrip("-").isdigit() else item for item in items]


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


@contextlib.contextmanager
def local_cluster(workers: Optional[int] = None):
    """A client of a new Dask ``LocalCluster`` of `workers` single-threaded worker processes
    (default: one per core) sharing the cores between their OpenMP and BLAS threads.

    Dask gives its workers ``MALLOC_TRIM_THRESHOLD_`` by default, which turns every large
    temporary array into fresh pages from the system and costs :func:`find_streaks` 15-30 %;
    the workers made here go without it. Do the same on a cluster of your own (Dask setting
    ``distributed.nanny.pre-spawn-environ``).

    Examples
    --------
    >>> with local_cluster(2) as client:                      # doctest: +SKIP
    ...     summary = scan("exposures/*.fits", catalog="trails.jsonl", executor=client)
    """
    import dask
    from dask.distributed import Client, LocalCluster

    cores = os.cpu_count() or 1
    workers = workers or cores
    threads = str(max(1, cores // workers))
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", {}))
    environ.pop("MALLOC_TRIM_THRESHOLD_", None)
    environ.update(OMP_NUM_THREADS=threads, OPENBLAS_NUM_THREADS=threads, MKL_NUM_THREADS=threads)
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}), \
            LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                         dashboard_address=None) as cluster, Client(cluster) as client:
        client.wait_for_workers(workers)
        yield client


@contextlib.contextmanager
def _dask_client(scheduler: str, workers: Optional[int]):
    if scheduler == "local":
        with local_cluster(workers) as client:
            yield client
    else:
        from dask.distributed import Client

        with Client(scheduler) as client:
            yield client


def _report(summary: ScanSummary, catalog, shown: int = 20) -> None:
    out = sys.stderr
    for failure in summary.failures[:shown]:
        task = failure.task
        where = task.file if task.hdu is None else f"{task.file}[{task.hdu}]"
        print(f"failed: {where}: {failure.message}", file=out)
    if len(summary.failures) > shown:
        print(f"... and {len(summary.failures) - shown} more failures", file=out)
    skipped = f", {summary.skipped} already done" if summary.skipped else ""
    print(f"{summary.done + len(summary.failures)} images scanned{skipped}: "
          f"{summary.streaks} streaks, {len(summary.failures)} failed, "
          f"{summary.rate:.2f} images/s -> {catalog}", file=out)


def run_scan(args) -> int:
    """Run ``kestrova scan`` from parsed arguments; returns the exit status: 0 when every image
    was scanned, 1 when some failed (their error rows are in the catalog), 2 on a usage error,
    130 when interrupted (what finished is in the catalog; rerun with ``--resume``)."""
    find_kwargs = {name: value for name, value in (
        ("sigma", args.sigma), ("min_snr", args.min_snr), ("max_streaks", args.max_streaks),
        ("width", args.width)) if value is not None}
    if args.workers is not None and args.workers < 1:
        print("kestrova scan: --workers must be at least 1", file=sys.stderr)
        return 2
    try:
        with contextlib.ExitStack() as stack:
            executor = None
            if args.scheduler:
                executor = stack.enter_context(_dask_client(args.scheduler, args.workers))
            summary = scan(args.paths, catalog=args.catalog, executor=executor,
                           workers=args.workers, hdus=_hdu_list(args.hdu), masks=args.masks,
                           resume=args.resume, **find_kwargs)
    except KeyboardInterrupt:
        print(f"\nkestrova scan: interrupted; finished images are in {args.catalog}, "
              "continue with --resume", file=sys.stderr)
        return 130
    except ImportError as error:
        print(f"kestrova scan: {error.name or error} is needed: pip install 'kestrova[scan]'",
              file=sys.stderr)
        return 2
    except (FileExistsError, ValueError, OSError, TimeoutError, RuntimeError) as error:
        print(f"kestrova scan: {error}", file=sys.stderr)
        return 2
    _report(summary, args.catalog)
    return 1 if summary.failures else 0
