"""Find and measure straight streaks in 2-D images.

The compiled module :mod:`kestrova.hough` holds the core, :class:`kestrova.hough.HoughTransform`:
a band Hough score map over an (r, theta) grid, line geometry, sampling along a line and
measurement of a streak (signal-to-noise ratio, start and end). On top of it,
:func:`find_streaks` finds and measures every streak in an image and :func:`streak_mask` masks
them; :func:`describe` adds sky positions, times and photometry from the image's FITS header,
and :func:`read_catalog` reads a scan's catalog back into a table; ``kestrova find IMAGE`` does
the same from the command line.

Examples
--------
>>> import numpy as np
>>> from kestrova.hough import HoughTransform
>>> ht = HoughTransform(np.zeros((3, 4)), 1.0)
>>> ht.center
(1.0, 1.5)
>>> from kestrova import find_streaks
>>> len(find_streaks(np.random.default_rng(0).normal(size=(64, 64))))
0
"""

from .catalog import Streak, StreakCatalog, streak_mask
from .columns import read_catalog
from .describe import Description, describe
from .finder import find_streaks

__version__ = "0.1.0"

__all__ = ["__version__", "Description", "Streak", "StreakCatalog", "describe", "find_streaks",
           "read_catalog", "streak_mask"]
