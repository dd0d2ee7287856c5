"""The tasks of a scan: one per 2-D image (a FITS HDU, a ``.npy`` file or a picture), how they
are listed from file names and patterns, and how one is run (in a worker process) into a result.
"""

from __future__ import annotations

import dataclasses
import glob
import math
import os
import time
from typing import Any, Callable, Iterable, Mapping, Optional, Sequence, Union

from ..catalog import StreakCatalog
from ..finder import find_streaks
from ..io import file_kind, fits_hdus, read_frame, read_mask

__all__ = ["Task", "TaskResult", "FindOptions", "find_tasks", "run_task", "describe",
           "OK", "NONE", "ERROR"]

OK, NONE, ERROR = "ok", "none", "error"

HduKey = Union[int, str, None]


@dataclasses.dataclass(frozen=True)
class Task:
    """One image: an HDU of a FITS file (index, or a requested name that was not found), or a
    file of one image (``.npy`` or a picture; ``hdu == 0``). ``hdu is None`` stands for the
    whole file when it could not be listed.

    Examples
    --------
    >>> Task("/data/a.fits", 1, "SCI").key, Task("/data/a.fits", 1, "SCI").name
    (('/data/a.fits', 1), '/data/a.fits[1]')
    """

    file: str
    hdu: HduKey
    extname: str = ""

    @property
    def key(self) -> tuple[str, HduKey]:
        return (self.file, self.hdu)

    @property
    def name(self) -> str:
        """The file, and the HDU of a FITS file."""
        if self.hdu is None or file_kind(self.file) != "fits":
            return self.file
        return f"{self.file}[{self.hdu}]"


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
class FindOptions:
    """What every task runs: ``find(image, mask=..., **find_kwargs)`` (None: the package's
    :func:`~kestrova.find_streaks`), with each image's mask from the directory `masks` and its
    data-quality plane `dq` (flags `dq_bits`); the streaks of a
    :class:`~kestrova.StreakCatalog` are described with the image's header and `zeropoint`."""

    find: Optional[Callable]
    find_kwargs: tuple[tuple[str, Any], ...]
    masks: Optional[str]
    dq: HduKey = None
    dq_bits: Optional[int] = None
    zeropoint: Optional[float] = None


def _expand(patterns: Iterable) -> tuple[list[str], list[TaskResult]]:
    """Absolute paths of the files named or matched (directories that a pattern matches left
    out), in order, without repeats."""
    files, unmatched = {}, []
    for pattern in patterns:
        pattern = os.fspath(pattern)
        if any(c in pattern for c in "*?["):
            matches = [m for m in sorted(glob.glob(pattern, recursive=True))
                       if not os.path.isdir(m)]
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
    listed = fits_hdus(path)
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

    Only FITS headers are read. Files that cannot be listed (missing, corrupt, no 2-D image, a
    pattern matching nothing, a requested HDU that does not exist) come back as error results;
    a file of one image (``.npy``, a picture) is one task, checked when it is read.

    Parameters
    ----------
    paths : str, path or sequence of them
        Files (FITS, ``.npy``, PNG/TIFF/JPEG: what ``kestrova find`` reads) and glob patterns
        (``**`` for any depth).
    hdus : sequence of int or str, optional
        HDUs to take from FITS files, by index or EXTNAME. By default every HDU holding a 2-D
        image. Ignored for other files.

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
            found = _fits_tasks(path, hdus) if file_kind(path) == "fits" else [Task(path, 0)]
        except Exception as error:  # noqa: BLE001 - any unreadable file becomes an error row
            failed.append(TaskResult(Task(path, None), ERROR, message=describe(error)))
            continue
        for item in found:
            if isinstance(item, TaskResult):
                failed.append(item)
            elif item.key not in seen:
                seen.add(item.key)
                tasks.append(item)
    return tasks, failed


def describe(error: BaseException) -> str:
    """An error as one line of a catalog row: its type and its message, white space folded.

    Examples
    --------
    >>> describe(ValueError("no HDU   'SCI' "))
    "ValueError: no HDU 'SCI'"
    """
    text = " ".join(str(error).split())
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


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


def run_task(task: Task, options: FindOptions) -> TaskResult:
    """Read one image (and its mask), find its streaks; any failure becomes an error result.

    Examples
    --------
    >>> result = run_task(Task("/nonexistent.npy", 0), FindOptions(None, (), None))
    >>> result.status, result.message
    ('error', 'InputError: /nonexistent.npy: no such file')
    """
    start = time.perf_counter()
    try:
        hdu = task.hdu if file_kind(task.file) == "fits" else None
        frame = read_frame(task.file, hdu, dq=None if hdu is None else options.dq,
                           dq_bits=options.dq_bits)
        kwargs = dict(options.find_kwargs)
        mask = frame.excluded
        if options.masks is not None:
            path = os.path.join(options.masks, os.path.basename(task.file))
            extra = read_mask(path, frame.data.shape, hdu)
            mask = extra if mask is None else mask | extra
        if mask is not None:
            kwargs["mask"] = mask
        find = options.find if options.find is not None else find_streaks
        found = find(frame.data, **kwargs)
        if isinstance(found, StreakCatalog):
            rows = found.describe(frame.header, zeropoint=options.zeropoint).scan_rows()
            streaks = tuple(_plain(row) for row in rows)
        else:
            streaks = tuple(_record(s) for s in found)
    except Exception as error:  # noqa: BLE001 - reported in the catalog, the batch goes on
        return TaskResult(task, ERROR, message=describe(error),
                          seconds=time.perf_counter() - start)
    return TaskResult(task, OK if streaks else NONE, streaks,
                      seconds=time.perf_counter() - start)
