"""Scan many images for streaks in parallel, with one append-only catalog for the whole run.

Every 2-D image is one task: each FITS HDU holding 2-D image data (or each HDU asked for) and
each ``.npy`` file. Tasks run on any executor with ``submit()`` whose futures have
``add_done_callback()`` and ``result()``: a :class:`concurrent.futures.ProcessPoolExecutor` (the
default, made here), a thread pool, or a ``dask.distributed.Client``.

The catalog is JSON lines, one object per line, appended and flushed as each image finishes:

- ``status == "ok"``: one row per streak, with ``index`` (0-based) out of ``nstreaks`` and
  every field of the :class:`~kestrova.Streak` record;
- ``status == "none"``: one row for an image without streaks, so that a resumed run knows that
  the image is done;
- ``status == "error"``: one row with the ``message``; such images are tried again on resume.

Every row starts with ``file`` (absolute path), ``hdu`` (index; for ``.npy`` files 0) and
``extname``. JSON lines rather than CSV because a line torn by a crash is detectable (it does
not parse) where a torn CSV number still reads as a valid value, and because each row describes
itself, so that error rows need no empty streak columns and vector fields need no flattening.
Non-finite numbers are written as ``null`` to keep the file strict JSON.

The stages are modules of their own: :mod:`.tasks` (what an image is, listing, running one),
:mod:`.executors` (process pool, Dask, the batch that feeds them), :mod:`.store` (the catalog)
and :mod:`.batch` (:func:`scan`, which joins them).

Examples
--------
>>> from kestrova.scan import scan, read_catalog
>>> summary = scan("night1/*.fits", catalog="night1.jsonl", min_snr=8)  # doctest: +SKIP
>>> rows = read_catalog("night1.jsonl")                                # doctest: +SKIP
>>> [row["snr"] for row in rows if row["status"] == "ok"]              # doctest: +SKIP
[12.5, 7.9, 31.0]
"""

from .batch import ScanSummary, scan
from .executors import WORKER_DIED, limit_threads, local_cluster, process_pool
from .store import completed_images, read_catalog
from .tasks import Task, TaskResult, find_tasks, run_task

__all__ = ["ScanSummary", "Task", "TaskResult", "WORKER_DIED", "completed_images", "find_tasks",
           "limit_threads", "local_cluster", "process_pool", "read_catalog", "run_task", "scan"]
