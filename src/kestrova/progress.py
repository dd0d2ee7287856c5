"""Progress of a search: :class:`Progress` events, and :class:`ProgressLines`, which prints them.

A large image takes a while (a 10000 x 10000 image most of a minute); ``find_streaks(...,
progress=...)`` reports each stage as it ends, to a function of the caller's or, with
``progress=True``, as lines on stderr.
"""

from __future__ import annotations

import sys
import time
from dataclasses import dataclass
from typing import Callable, Optional, TextIO, Union

__all__ = ["Progress", "ProgressLines", "reporter"]


@dataclass(frozen=True)
class Progress:
    """Where a search stands.

    Attributes
    ----------
    stage : str
        The stage just ended: "prepared" (background, noise and excluded pixels), "scored"
        (the coarse score map of every line), "streak" (one more streak measured) or "done".
    streaks : int
        Streaks found so far.
    seconds : float
        Time since the search began.

    Examples
    --------
    >>> str(Progress("streak", 2, 7.25))
    'streak 2 measured (7.2 s)'
    """

    stage: str
    streaks: int
    seconds: float

    def __str__(self) -> str:
        text = {"prepared": "background and noise measured",
                "scored": "coarse score map made",
                "streak": f"streak {self.streaks} measured",
                "done": f"done: {self.streaks} streak{'s' if self.streaks != 1 else ''}",
                }.get(self.stage, self.stage)
        return f"{text} ({self.seconds:.1f} s)"


class ProgressLines:
    """Prints progress events as lines on `file` (default stderr), each after `label`, from the
    first event that comes `delay` seconds or more into the search: a quick search stays
    silent.

    Examples
    --------
    >>> import io
    >>> out = io.StringIO()
    >>> lines = ProgressLines(label="sky.fits: ", delay=5.0, file=out)
    >>> lines(Progress("prepared", 0, 1.0)); lines(Progress("scored", 0, 6.0))
    >>> out.getvalue()
    'sky.fits: coarse score map made (6.0 s)\\n'
    """

    def __init__(self, label: str = "", delay: float = 0.0, file: Optional[TextIO] = None):
        self.label, self.delay, self.file = label, delay, file

    def __call__(self, event: Progress) -> None:
        if event.seconds >= self.delay:
            print(f"{self.label}{event}", file=self.file or sys.stderr, flush=True)


Callback = Callable[[Progress], None]


def reporter(progress: Union[bool, Callback, None]) -> Callable[[str, int], None]:
    """A function ``report(stage, streaks)`` that times the search from now and passes each
    :class:`Progress` on: to `progress` when it is callable, as lines on stderr for True, to
    nowhere for None or False.

    Examples
    --------
    >>> events = []
    >>> report = reporter(events.append)
    >>> report("done", 0)
    >>> events[0].stage, events[0].streaks
    ('done', 0)
    """
    if progress is None or progress is False:
        return lambda stage, streaks: None
    if progress is True:
        progress = ProgressLines()
    elif not callable(progress):
        raise TypeError(f"progress must be a bool or a callable, got {progress!r}")
    start = time.perf_counter()

    def report(stage: str, streaks: int) -> None:
        progress(Progress(stage, streaks, time.perf_counter() - start))

    return report
