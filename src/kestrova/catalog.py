"""The records of a search: :class:`Streak`, :class:`StreakRecord`, :class:`Refusal`,
:class:`StreakCatalog`, and the streak masks made from them (:func:`streak_mask`).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np

from .lines import segment_region

if TYPE_CHECKING:
    from .detect import ScoreMap

__all__ = ["Streak", "StreakRecord", "Refusal", "StreakCatalog", "streak_mask"]


@dataclass(frozen=True)
class Streak:
    """One measured streak.

    Attributes
    ----------
    r, theta : float
        The line, in the pixel frame centred on the image: the points with
        ``sin(theta) x - cos(theta) y == r``, theta in [0, pi).
    snr : float
        Signal-to-noise ratio of the band along the whole line inside the image.
    score : float
        Detection signal-to-noise ratio of the line (its band Hough score over sigma).
    x_start, y_start, x_end, y_end : float
        End points as (column, row); the streak runs from start to end in the direction
        (cos theta, sin theta).
    length : float
        Distance from start to end, in pixels.
    flux_per_length, flux_per_length_err : float
        The trail's total signal per unit length (the integral of its fitted cross-profile),
        and its 1-sigma noise.
    level, goodness : float
        Level and goodness figure of the ramp fit to the running sum along the line.
    width : float
        Half-width of the band used for the detection and the ends, in pixels.
    fwhm : float
        Full width at half maximum of the trail's cross-profile, in pixels.

    Examples
    --------
    >>> s = Streak(0.0, 0.0, 12.0, 11.0, 1.0, 5.0, 81.0, 5.0, 80.0, 2.0, 0.1, 0.0, 0.01, 2.0)
    >>> s.flux, s.start
    (160.0, (1.0, 5.0))
    """

    r: float
    theta: float
    snr: float
    score: float
    x_start: float
    y_start: float
    x_end: float
    y_end: float
    length: float
    flux_per_length: float
    flux_per_length_err: float
    level: float
    goodness: float
    width: float
    fwhm: float = float("nan")

    @property
    def start(self) -> tuple:
        return (self.x_start, self.y_start)

    @property
    def end(self) -> tuple:
        return (self.x_end, self.y_end)

    @property
    def flux(self) -> float:
        """Total signal of the streak."""
        return self.flux_per_length * self.length

    @property
    def angle(self) -> float:
        """Direction of the streak in degrees, from the +column axis towards +row, in [0, 180)."""
        return float(np.degrees(self.theta))

    def region(self, shape, half_width: float, extend: float):
        """The pixels of an image of `shape` within `half_width` of the streak's line and
        within `extend` of its ends: a boolean array over their bounding box, and the box's
        (row slice, column slice); see :func:`kestrova.lines.segment_region`."""
        return segment_region(shape, self.r, self.theta, self.start, self.end, half_width,
                              extend)


@dataclass(frozen=True)
class StreakRecord:
    """What the measurement of one streak was based on, for plots and checks.

    Attributes
    ----------
    position, running_sum : ndarray
        Along-line positions of the band's pixels and the running sum of their values.
    fit : ndarray
        The ramp fit: level, slope, start, end, goodness (along-line positions).
    start, end : float
        The adopted along-line start and end.
    knots : tuple of (float, float)
        Along-line (start, end) of bright knots left out of the measurement: compact things on
        the line (a cosmic-ray hit, a galaxy's core) that outweighed a faint streak through them.
    """

    position: np.ndarray
    running_sum: np.ndarray
    fit: np.ndarray
    start: float
    end: float
    knots: tuple = ()


@dataclass(frozen=True)
class Refusal:
    """A line that the search measured and did not report, because its verification found
    it is not a trail.

    Attributes
    ----------
    streak : Streak
        As measured, before verification (its `fwhm` is NaN and its flux per length that of
        the detection band).
    reason : str
        Why it is not a trail: "spike" (along a saturated or bright star's diffraction spike),
        "no ridge", "not elongated", "off centre" (the ridge beside it is something else's),
        "broad" (wider than a trail, or with light beside it), "sharp" (sharper than a star:
        a cosmic-ray track, a hot column), "tapered" (fading towards both ends, as an edge-on
        disk), "hollow" (two sources with nothing between), "knotty" (its signal in a few
        knots), "soft ends" or "noise" (no more significant than the lines parallel to it).
    """

    streak: Streak
    reason: str


@dataclass(frozen=True)
class StreakCatalog:
    """The streaks found in an image, strongest first, with what the search saw.

    Behaves as a sequence of :class:`Streak`.

    Attributes
    ----------
    streaks : tuple of Streak
    shape : tuple of int
        The image's (rows, columns).
    sigma : float
        Noise per pixel.
    search : ScoreMap or None
        The coarse score map of every line, as first made.
    records : tuple of StreakRecord
        What each streak's measurement was based on, in the order of `streaks`.
    background : float
        Median level of the background subtracted.
    excluded : ndarray of bool or None
        Pixels left out of the search (masked, saturated, defects, sources).
    refused : tuple of Refusal
        The lines measured and refused as not trails, in the order examined: why a visible
        feature is not in the catalog.

    Examples
    --------
    >>> cat = StreakCatalog((), (10, 20), 1.0)
    >>> len(cat), cat.to_table(astropy=False).dtype.names[:4]
    (0, ('id', 'r', 'theta', 'angle'))
    """

    streaks: tuple
    shape: tuple
    sigma: float
    search: ScoreMap | None = None
    records: tuple = ()
    background: float = 0.0
    excluded: np.ndarray | None = field(default=None, repr=False)
    refused: tuple = field(default=(), repr=False)

    def __len__(self):
        return len(self.streaks)

    def __iter__(self):
        return iter(self.streaks)

    def __getitem__(self, index):
        return self.streaks[index]

    def to_table(self, astropy: bool | None = None, *, header=None, **options):
        """The catalog as an astropy Table with units, descriptions and meta, or a NumPy
        structured array when astropy is missing or `astropy` is False.

        With the image's FITS `header`, sky positions, times and photometry are added; the
        keyword `options` (``zeropoint``, ``one_based``, ``chunks``, ``file``, ``hdu``,
        ``extname``) are those of :func:`kestrova.describe.describe`.
        """
        return self.describe(header, **options).to_table(astropy=astropy)

    def describe(self, header=None, **options):
        """The streaks in astronomers' terms; see :func:`kestrova.describe.describe`."""
        from .describe import describe

        return describe(self, header, **options)

    def mask(self, grow: float = 3.0) -> np.ndarray:
        """Boolean mask of the streaks; see :func:`streak_mask`."""
        return streak_mask(self.shape, self.streaks, grow=grow)


def streak_mask(shape, streaks, *, grow: float = 3.0, width: float | None = None) -> np.ndarray:
    """Boolean mask of the streaks: each one's band over its measured stretch, widened and
    lengthened by `grow` pixels on every side.

    Parameters
    ----------
    shape : tuple of int
        (rows, columns) of the image.
    streaks : iterable of Streak
    grow : float
        Margin in pixels added around each band and beyond each end.
    width : float, optional
        Half-width of the band; by default each streak's measuring half-width.

    Examples
    --------
    >>> s = Streak(0.0, 0.0, 9.0, 9.0, 2.0, 5.0, 17.0, 5.0, 15.0, 1.0, 0.1, 0.0, 0.0, 1.0)
    >>> m = streak_mask((11, 21), [s], grow=1.0)
    >>> m.shape, int(m[5].sum()), int(m[:, 10].sum())
    ((11, 21), 18, 3)
    """
    result = np.zeros(shape, dtype=bool)
    for streak in streaks:
        half = (streak.width if width is None else width) + grow
        region, box = streak.region(shape, half, grow)
        result[box] |= region
    return result
