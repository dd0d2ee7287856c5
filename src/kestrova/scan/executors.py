"""Where the tasks of a scan run: a process pool of this machine or a Dask cluster, and
:class:`Batch`, which keeps any such executor fed and survives its workers dying.
"""

from __future__ import annotations

import asyncio
import contextlib
import ctypes
import logging
import multiprocessing
import os
import queue
import signal
from collections import deque
from concurrent.futures import BrokenExecutor, ProcessPoolExecutor
from typing import Callable, Iterator, Optional, Sequence

from .tasks import ERROR, FindOptions, Task, TaskResult, describe, run_task

__all__ = ["Batch", "capacity", "dask_client", "limit_threads", "local_cluster", "process_pool",
           "stop_workers", "WORKER_DIED"]

WORKER_DIED = "worker process died (crash in native code or out of memory)"
DEATHS_IN_A_ROW = 3  # images killing their worker, alone, before a scan gives up as hopeless


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
        from .. import hough  # noqa: F401 - load the OpenMP runtime, so that it is limited too

        threadpool_limits(limits=int(threads))
        return
    try:
        from .. import hough

        ctypes.CDLL(hough.__file__).omp_set_num_threads(int(threads))
    except (ImportError, OSError, AttributeError):
        pass  # no extension, or built without OpenMP


def _start_worker(threads: int) -> None:
    # Ctrl-C reaches every process of the terminal's group: the scan stops the workers itself,
    # rather than each printing its own traceback.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    limit_threads(threads)


def stop_workers(pool: ProcessPoolExecutor) -> None:
    """End the worker processes of `pool` now (shutting it down would wait for the images they
    are on); the pool is broken afterwards and can only be shut down."""
    terminate = getattr(pool, "terminate_workers", None)  # Python 3.14
    if terminate is not None:
        terminate()
        return
    processes = list((getattr(pool, "_processes", None) or {}).values())
    for process in processes:
        process.terminate()
    for process in processes:
        process.join(10.0)


def process_pool(workers: Optional[int] = None) -> ProcessPoolExecutor:
    """A process pool whose workers share the cores: ``cores // workers`` OpenMP threads each.

    Workers are started by a fork server (or spawned), never forked from a process whose OpenMP
    runtime may already hold threads. They ignore Ctrl-C: the scan that owns them stops them.

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
    return ProcessPoolExecutor(workers, mp_context=context, initializer=_start_worker,
                               initargs=(max(1, cores // workers),))


def capacity(executor, workers: Optional[int]) -> int:
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


class Batch:
    """Runs tasks on an executor; iterating yields each result as it finishes.

    At most twice `capacity` tasks are submitted ahead, which bounds memory and scheduler load
    for huge batches. With `rebuild` (a factory of pools owned here, `executor` None) a pool is
    made on the first task and shut down at the end. When a worker process dies, a process pool
    fails every task in it; those tasks are then run again one at a time on a fresh pool, so that
    only the task that kills a worker on its own is reported as failed. When workers die on
    every image (say, they cannot import the package) the scan stops with RuntimeError rather
    than restarting a pool per image. Stopped early (an interrupt, an error), a pool owned here
    has its workers ended at once; tasks running on an executor of the caller's are cancelled.
    """

    def __init__(self, tasks: Sequence[Task], options: FindOptions, executor, capacity: int,
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
            if self.rebuild is None:
                for future in self.running:
                    future.cancel()
            else:
                # A pool owned here fails every task itself once its workers are ended; a task
                # cancelled meanwhile makes its thread print an error (it fails a cancelled one).
                if self.running:
                    stop_workers(self.executor)
                self.executor.shutdown(wait=True)

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
                yield TaskResult(task, ERROR, message=describe(error))
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
            yield TaskResult(task, ERROR, message=describe(error))
        else:
            self.deaths = 0
            yield result


def _not_a_closed_connection(record: logging.LogRecord) -> bool:
    # A worker busy on an image when its cluster is closed may still send a heartbeat to the
    # scheduler that is gone, and logs the failure with its traceback. A worker lost while the
    # scan runs is reported by the scan itself.
    from distributed.comm import CommClosedError

    return not (record.exc_info and isinstance(record.exc_info[1], CommClosedError))


@contextlib.contextmanager
def local_cluster(workers: Optional[int] = None):
    """A client of a new Dask ``LocalCluster`` of `workers` single-threaded worker processes
    (default: one per core) sharing the cores between their OpenMP and BLAS threads.

    Dask gives its workers ``MALLOC_TRIM_THRESHOLD_`` by default, which turns every large
    temporary array into fresh pages from the system and costs :func:`find_streaks` 15-30 %;
    the workers made here go without it. Do the same on a cluster of your own (Dask setting
    ``distributed.nanny.pre-spawn-environ``).

    The workers ignore Ctrl-C (the scan stops them, instead of each printing tracebacks), and
    Dask's messages below errors are not shown, nor a worker's errors on a closed connection:
    those of a cluster closed on tasks still running tell nothing that the scan does not.

    Examples
    --------
    >>> with local_cluster(2) as client:                      # doctest: +SKIP
    ...     summary = scan("exposures/*.fits", catalog="trails.jsonl", executor=client)
    """
    import dask
    from dask.distributed import Client, LocalCluster, WorkerPlugin

    class QuietWorker(WorkerPlugin):
        def setup(self, worker):
            with contextlib.suppress(ValueError):  # the event loop runs in the main thread
                signal.signal(signal.SIGINT, signal.SIG_IGN)
            logging.getLogger("distributed.worker").addFilter(_not_a_closed_connection)

    cores = os.cpu_count() or 1
    workers = workers or cores
    threads = str(max(1, cores // workers))
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", {}))
    environ.pop("MALLOC_TRIM_THRESHOLD_", None)
    environ.update(OMP_NUM_THREADS=threads, OPENBLAS_NUM_THREADS=threads, MKL_NUM_THREADS=threads)
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}), \
            LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                         dashboard_address=None, silence_logs=logging.ERROR) as cluster, \
            Client(cluster) as client:
        client.wait_for_workers(workers)
        register = getattr(client, "register_plugin", None) or client.register_worker_plugin
        register(QuietWorker(), name="kestrova-quiet-worker")
        yield client


@contextlib.contextmanager
def dask_client(scheduler: str, workers: Optional[int]):
    """A client of the Dask scheduler at `scheduler`, or of a :func:`local_cluster` of
    `workers` for ``"local"``."""
    if scheduler == "local":
        with local_cluster(workers) as client:
            yield client
    else:
        from dask.distributed import Client

        with Client(scheduler) as client:
            yield client
