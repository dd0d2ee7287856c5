"""Find and measure straight streaks in 2-D images.

The compiled module :mod:`kestrova.hough` holds the core, :class:`kestrova.hough.HoughTransform`:
a band Hough score map over an (r, theta) grid, line geometry, sampling along a line and
measurement of a streak (signal-to-noise ratio, start and end).

Examples
--------
>>> import numpy as np
>>> from kestrova.hough import HoughTransform
>>> ht = HoughTransform(np.zeros((3, 4)), 1.0)
>>> ht.center
(1.0, 1.5)
"""

__version__ = "0.1.0"

__all__ = ["__version__"]
