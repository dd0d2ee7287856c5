"""Find and measure every streak in an image: :func:`find_streaks`.

The search scores every line on a reduced image once, then repeats: refine the strongest
candidate not yet examined on the full image (from the pixels near it), measure it, blank its
band, score the angles near it again, and look again, until nothing stands out above
``min_snr`` or ``max_streaks`` streaks are found. Blanking a found streak before the next
candidate is examined is what separates crossing and parallel streaks: the side lobes that a
bright streak throws into the score map vanish with it.

Each step is a stage of its own module: :mod:`~kestrova.prepare` (background, noise, excluded
pixels), :mod:`~kestrova.detect` (coarse map, peaks, refinement), :mod:`~kestrova.measure`
(signal-to-noise ratio, fit, ends) and :mod:`~kestrova.catalog` (the records); this module only
calls them in turn.
"""

from __future__ import annotations

import contextlib
from dataclasses import replace

import numpy as np

from .catalog import StreakCatalog
from .detect import Detector, choose_binning, find_peaks
from .measure import Measurer
from .prepare import prepare_image
from .tiles import TileSearch

__all__ = ["find_streaks"]

# Half-width (radians) of the range of angles scored again around a found streak.
RESCORE_HALF_ANGLE = 0.2


def find_streaks(image, sigma: float | None = None, *, mask=None, min_snr: float = 6.0,
                 max_streaks: int = 20, width: float = 2.0, min_length: float = 10.0,
                 binning: int | None = None, background_box: int | None = 64,
                 max_candidates: int = 30, tiles: bool = True) -> StreakCatalog:
    """Find and measure the straight streaks in an image.

    Parameters
    ----------
    image : array_like, 2-D
        The image, indexed [row, column]. NaN and infinite pixels are ignored.
    sigma : float, optional
        Noise per pixel; estimated robustly (median absolute deviation) when not given.
    mask : array_like of bool, optional
        True at pixels to ignore.
    min_snr : float
        Detection threshold: the signal-to-noise ratio of the band Hough score of a line.
    max_streaks : int
        Stop after this many streaks.
    width : float
        Half-width in pixels of the band in which a streak is detected and measured.
    min_length : float
        Shorter detections are rejected.
    binning : int, optional
        Block size of the reduced image of the full search; by default the larger side is
        brought down to at most 384 pixels.
    background_box : int or None
        Cell size of the background mesh; None subtracts one global median.
    max_candidates : int
        At most this many peaks of the coarse score map are examined per search round.
    tiles : bool
        Also search tiles of the image at a few scales (:mod:`~kestrova.tiles`), for streaks
        too short to stand out on their whole line.

    Returns
    -------
    StreakCatalog
        The streaks, strongest first; ``catalog.to_table()`` tabulates them.

    Examples
    --------
    >>> from kestrova.synthetic import TrueStreak, synthetic_sky
    >>> image, truth = synthetic_sky((200, 300), [TrueStreak(20, 30, 270, 160, 4.0)], seed=1)
    >>> catalog = find_streaks(image)
    >>> len(catalog)
    1
    >>> s = catalog[0]
    >>> bool(abs(s.x_start - 20) < 3 and abs(s.y_end - 160) < 3)
    True
    """
    if max_streaks < 0:
        raise ValueError("max_streaks must not be negative")
    if not width > 0:
        raise ValueError("width must be positive")
    with _one_thread("blas"):
        return _find(image, sigma, mask, min_snr=min_snr, max_streaks=max_streaks, width=width,
                     min_length=min_length, binning=binning, background_box=background_box,
                     max_candidates=max_candidates, tiles=tiles)


def _find(image, sigma, mask, *, min_snr, max_streaks, width, min_length, binning,
          background_box, max_candidates, tiles):
    """The body of :func:`find_streaks`, its arguments checked."""
    prep = prepare_image(image, sigma, mask, box=background_box, clip=3.0)
    shape = prep.data.shape
    # The stages own the prepared images: found streaks are blanked in them, in place.
    detector = Detector(prep.detect, prep.sigma, binning=binning or choose_binning(shape),
                        width=width, min_snr=min_snr)
    measurer = Measurer(prep.data, prep.sigma, width=width, min_length=min_length)
    first_map = detector.coarse()
    tile_search = TileSearch(detector) if tiles else None
    snr = first_map.snr.copy()
    examined = set()
    streaks, records = [], []
    while len(streaks) < max_streaks:
        measured = None
        for peak in find_peaks(replace(first_map, snr=snr), detector.seed_threshold,
                               limit=max_candidates):
            # A peak examined before, at the same place and height, would fail again.
            key = (peak.k, peak.l, peak.snr)
            if key in examined:
                continue
            examined.add(key)
            # Small score maps: on a busy machine a second thread costs more than it saves.
            with _one_thread("openmp"):
                line = detector.refine(peak, first_map)
                measured = None if line is None else measurer.measure(line, streaks)
            if measured is not None:
                break
        if measured is None and tile_search is not None:
            with _one_thread("openmp"):
                measured = tile_search.examine(measurer, streaks, max_candidates)
        if measured is None:
            break
        streak, record = measured
        streaks.append(streak)
        records.append(record)
        # The band is grown, since a wide streak spills beyond it.
        region, box = streak.region(shape, 2.0 * streak.width + 1.0, 3.0 * streak.width + 5.0)
        measurer.blank(region, box)
        detector.blank(region, box)
        if tile_search is not None:
            tile_search.blanked(region, box)
        # Blanking the streak took its ridge, and the side lobes next to it that may hide a
        # fainter streak at a similar angle, out of the reduced image: score those angles
        # again. Farther away its remains are spread thin, and a peak they raise fails
        # refinement on the blanked image.
        detector.rescore(snr, first_map, streak.theta, RESCORE_HALF_ANGLE)
    order = np.argsort([-s.score for s in streaks], kind="stable")
    # The background is smooth: a sparse sample gives its median.
    level = float(np.median(prep.background[::4, ::4]))
    return StreakCatalog(tuple(streaks[i] for i in order), shape, prep.sigma, first_map,
                         tuple(records[i] for i in order), level, prep.excluded)


def _one_thread(user_api):
    """Context in which the thread pools of `user_api` ("blas" or "openmp") run one thread,
    when threadpoolctl is installed.

    The search makes only small BLAS calls (the fit's minimiser many tiny ones, the background
    mesh's interpolation thin products), and only small score maps once the coarse one is made;
    on a busy machine, waking a second thread for them costs several times the work itself.
    """
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        return contextlib.nullcontext()
    return threadpool_limits(limits=1, user_api=user_api)
