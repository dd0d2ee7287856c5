"""Find and measure every streak in an image: :func:`find_streaks`, :func:`streak_mask`.

The search scores every line on a reduced image once, then repeats: refine the strongest
candidate not yet examined on the full image (from the pixels near it), measure it, blank its
band, score the angles near it again, and look again, until nothing stands out above
``min_snr`` or ``max_streaks`` streaks are found. Blanking a found streak before the next
candidate is examined is what separates crossing and parallel streaks: the side lobes that a
bright streak throws into the score map vanish with it.
"""

from __future__ import annotations

import contextlib
import warnings
from dataclasses import asdict, dataclass, field, fields, replace

import numpy as np

from .detect import (ScoreMap, band_pixels, canonical, choose_binning,
                     coarse_map, find_peaks, reduce_image, refine_line, refine_near,
                     rescore_near, to_full_r, to_reduced_r)
from .hough import HoughTransform
from .prepare import PreparedImage, prepare_image

__all__ = ["Streak", "StreakCatalog", "StreakRecord", "find_streaks", "streak_mask",
           "best_segment"]


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
        Signal per unit length summed across the band, and its 1-sigma noise.
    level, goodness : float
        Level and goodness figure of the ramp fit to the running sum along the line.
    width : float
        Half-width of the band used for the measurement, in pixels.

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

    @property
    def start(self) -> tuple:
        return (self.x_start, self.y_start)

    @property
    def end(self) -> tuple:
        return (self.x_end, self.y_end)

    @property
    def flux(self) -> float:
        """Total signal in the band over the streak's length."""
        return self.flux_per_length * self.length

    @property
    def angle(self) -> float:
        """Direction of the streak in degrees, from the +column axis towards +row, in [0, 180)."""
        return float(np.degrees(self.theta))


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
    """

    position: np.ndarray
    running_sum: np.ndarray
    fit: np.ndarray
    start: float
    end: float


@dataclass(frozen=True)
class StreakCatalog:
    """The streaks found in an image, strongest first, with what the search saw.

    Behaves as a sequence of :class:`Streak`.

    Examples
    --------
    >>> cat = StreakCatalog((), (10, 20), 1.0)
    >>> len(cat), cat.to_table(astropy=False).dtype.names[:3]
    (0, ('id', 'r', 'theta'))
    """

    streaks: tuple
    shape: tuple
    sigma: float
    search: ScoreMap | None = None
    records: tuple = ()
    background: float = 0.0
    excluded: np.ndarray | None = field(default=None, repr=False)

    def __len__(self):
        return len(self.streaks)

    def __iter__(self):
        return iter(self.streaks)

    def __getitem__(self, index):
        return self.streaks[index]

    def to_table(self, astropy: bool | None = None):
        """The catalog as a NumPy structured array, or an astropy Table (with units in the
        column descriptions) when astropy is installed and `astropy` is not False."""
        names = ["id"] + [f.name for f in fields(Streak)]
        dtype = [("id", np.int32)] + [(f.name, np.float64) for f in fields(Streak)]
        rows = [(i + 1, *asdict(s).values()) for i, s in enumerate(self.streaks)]
        array = np.array(rows, dtype=dtype)
        if astropy is False:
            return array
        try:
            from astropy.table import Table
        except ImportError:
            if astropy:
                raise
            return array
        table = Table(array)
        for name, text in COLUMN_NOTES.items():
            table[name].description = text
        table.meta["sigma"] = self.sigma
        table.meta["shape"] = list(self.shape)
        assert table.colnames == names
        return table

    def mask(self, grow: float = 3.0) -> np.ndarray:
        """Boolean mask of the streaks; see :func:`streak_mask`."""
        return streak_mask(self.shape, self.streaks, grow=grow)


COLUMN_NOTES = {
    "id": "streak number, strongest first",
    "r": "signed distance of the line from the image centre (pixels)",
    "theta": "direction of the line from +column towards +row (radians)",
    "snr": "signal-to-noise ratio of the band along the whole line",
    "score": "detection signal-to-noise ratio",
    "x_start": "start column (pixels)",
    "y_start": "start row (pixels)",
    "x_end": "end column (pixels)",
    "y_end": "end row (pixels)",
    "length": "length (pixels)",
    "flux_per_length": "signal per pixel of length, summed across the band",
    "flux_per_length_err": "1-sigma noise of flux_per_length",
    "level": "fitted level of the running sum before the streak",
    "goodness": "goodness figure of the ramp fit",
    "width": "half-width of the measuring band (pixels)",
}


def find_streaks(image, sigma: float | None = None, *, mask=None, min_snr: float = 6.0,
                 max_streaks: int = 20, width: float = 2.0, min_length: float = 10.0,
                 binning: int | None = None, background_box: int | None = 64,
                 max_candidates: int = 30) -> StreakCatalog:
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
                     max_candidates=max_candidates)


def _find(image, sigma, mask, *, min_snr, max_streaks, width, min_length, binning,
          background_box, max_candidates):
    """The body of :func:`find_streaks`, its arguments checked."""
    prep = prepare_image(image, sigma, mask, box=background_box, clip=3.0)
    search = _Search(prep, width=width, min_snr=min_snr, min_length=min_length,
                     binning=binning or choose_binning(prep.data.shape))
    first_map = search.coarse()
    snr = first_map.snr.copy()
    examined = set()
    while len(search.streaks) < max_streaks:
        peaks = find_peaks(replace(first_map, snr=snr), search.seed_threshold,
                           limit=max_candidates)
        streak = None
        for peak in peaks:
            # A peak examined before, at the same place and height, would fail again.
            key = (peak[3], peak[4], peak[0])
            if key in examined:
                continue
            examined.add(key)
            # Small score maps: on a busy machine a second thread costs more than it saves.
            with _one_thread("openmp"):
                streak = search.examine(peak, first_map)
            if streak is not None:
                break
        if streak is None:
            break
        # Blanking the streak took its ridge, and the side lobes next to it that may hide a
        # fainter streak at a similar angle, out of the reduced image: score those angles
        # again. Farther away its remains are spread thin, and a peak they raise fails
        # refinement on the blanked image.
        rescore_near(snr, first_map, search.small, streak.theta, RESCORE_HALF_ANGLE)
    order = np.argsort([-s.score for s in search.streaks], kind="stable")
    # The background is smooth: a sparse sample gives its median.
    level = float(np.median(prep.background[::4, ::4]))
    return StreakCatalog(tuple(search.streaks[i] for i in order), prep.data.shape, prep.sigma,
                         first_map, tuple(search.records[i] for i in order), level,
                         prep.excluded)


# Half-width (radians) of the range of angles scored again around a found streak.
RESCORE_HALF_ANGLE = 0.2


class _MeasuringTransform(HoughTransform):
    """HoughTransform that samples a band from the pixels near the line only (the same pixels
    and coordinates as the whole-image evaluation, at a fraction of the cost), and keeps its last
    record: `snr`, `fit` and the end-point search all sample the same band."""

    def elements_along(self, r, theta, w):
        key = (np.float32(r), np.float32(theta), np.float32(w))
        if getattr(self, "_key", None) != key:
            rows, cols, _, dm = band_pixels(self.image.shape, r, theta, w)
            dm = np.append(dm, self.append_x)
            values = np.append(self.image[rows, cols], self.append_y)
            index = dm.argsort()
            self._record = np.vstack((dm[index], np.cumsum(values[index])))
            self._key = key
        return self._record

    def forget(self):
        self._key = None


class _Search:
    """The state of one search: working images (found streaks blanked) and the results."""

    def __init__(self, prep: PreparedImage, *, width, min_snr, min_length, binning):
        self.sigma = prep.sigma
        self.width = float(width)
        self.min_snr = float(min_snr)
        self.min_length = float(min_length)
        self.seed_threshold = 0.75 * self.min_snr
        self.f = int(binning)
        # The search owns the prepared image: found streaks are blanked in place.
        self.data = prep.data
        self.detect = prep.detect
        self.small, self.offset = reduce_image(self.detect, self.f)
        if self.f > 1:
            # A faint star, averaged into one reduced pixel, would stand out as much as a bright
            # one; a streak near the threshold is far below this limit in every block.
            self.small_clip = 2.5 * self.sigma / self.f
            np.clip(self.small, -self.small_clip, self.small_clip, out=self.small)
        self.small_ht = HoughTransform(self.small, 1.0)
        self.fine_ht = HoughTransform(self.detect, 1.0)
        self.meas_ht = _MeasuringTransform(self.data, self.sigma)
        self.streaks, self.records = [], []

    def coarse(self) -> ScoreMap:
        return coarse_map(self.small, self.f, self.offset)

    def examine(self, peak, smap: ScoreMap):
        """Refine and measure one candidate; the streak if one was found (and blanked), else
        None."""
        _, r_full, theta, _, _ = peak
        f = self.f
        coarse_dt = float(smap.theta[1] - smap.theta[0])
        r_small = to_reduced_r(r_full, theta, f, self.offset)
        if f > 1:
            # Narrow the window cheaply on the reduced image, then refine at full resolution
            # from the pixels near the line.
            line = refine_line(self.small_ht, smap.noise, r_small, theta, half_r=1.5,
                               half_t=1.5 * coarse_dt, width=max(0.5, self.width / f))
            if line.score < self.seed_threshold:
                return None
            r_full = to_full_r(line.r, line.theta, f, self.offset)
            radius_small = max(float(self.small_ht.radius), 1.0)
            line = refine_near(self.detect, self.sigma, r_full, line.theta,
                               half_r=0.5 * f + 1, half_t=0.3 / radius_small, width=self.width)
        else:
            line = refine_line(self.fine_ht, self.sigma, r_full, theta, half_r=1.5,
                               half_t=1.5 * coarse_dt, width=self.width)
        if not line.score >= self.min_snr:
            return None
        measured = self.measure(line.r, line.theta, line.score)
        if measured is None:
            return None
        streak, record = measured
        self.streaks.append(streak)
        self.records.append(record)
        self.blank(streak)
        return streak

    def measure(self, r, theta, score):
        r, theta = canonical(r, theta)
        ht, w = self.meas_ht, self.width
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            elements = ht.elements_along(r, theta, w)
            snr = float(ht.snr(r, theta, w))
            fit = np.asarray(ht.fit(r, theta, w), dtype=float)
        lo, hi = _chord(r, theta, ht.image.shape)
        # Excluded pixels were set to exactly 0: leave them out, so that a streak is measured
        # across a masked star or a blanked crossing streak.
        values = np.diff(elements[1], prepend=0.0)
        valid = values != 0.0
        position = elements[0][valid]
        seeds = [(fit[2], fit[3]), (lo, hi)]
        segment = best_segment(position, np.cumsum(values[valid]), seeds,
                               min_count=int(4 * w) + 2)
        if segment is None:
            return None
        a, b, total, count = _split_at_gap(position, np.cumsum(values[valid]), segment,
                                           self.sigma, self.min_length)
        a, b = max(a, lo), min(b, hi)
        length = b - a
        if length < self.min_length or total <= 0:
            return None
        inside = elements[0][1:-1]
        inside = np.count_nonzero((inside > a) & (inside < b))
        density = inside / length  # band pixels per unit length, masked ones included
        if self._duplicate(r, theta, a, b):
            return None
        cy, cx = (np.asarray(ht.image.shape) - 1) / 2.0
        p, q = ht.locate(r, theta, a), ht.locate(r, theta, b)
        streak = Streak(
            r=float(r), theta=float(theta), snr=snr, score=float(score),
            x_start=float(p[0] + cx), y_start=float(p[1] + cy),
            x_end=float(q[0] + cx), y_end=float(q[1] + cy), length=float(length),
            flux_per_length=float(total / count * density),
            flux_per_length_err=float(self.sigma / np.sqrt(count) * density),
            level=float(fit[0]), goodness=float(fit[4]), width=w)
        step = max(1, elements.shape[1] // 4000)
        record = StreakRecord(elements[0, ::step].copy(), elements[1, ::step].copy(), fit,
                              float(a), float(b))
        return streak, record

    def _duplicate(self, r, theta, a, b):
        """True if the segment lies on (the blanked band of) a streak already found: the wings
        of a wide streak can outlive the blanking of its band."""
        for s in self.streaks:
            if abs(np.sin(theta - s.theta)) > 0.05:
                continue
            mid = 0.5 * (a + b)
            x = r * np.sin(theta) + mid * np.cos(theta)
            y = -r * np.cos(theta) + mid * np.sin(theta)
            across = np.sin(s.theta) * x - np.cos(s.theta) * y - s.r
            if abs(across) < 3.0 * s.width + 4.0:
                m0 = _along(s, self.data.shape, s.x_start, s.y_start)
                m1 = _along(s, self.data.shape, s.x_end, s.y_end)
                along = np.cos(s.theta) * x + np.sin(s.theta) * y
                if m0 - 10.0 < along < m1 + 10.0:
                    return True
        return False

    def blank(self, streak: Streak):
        """Zero the streak's band (grown, since a wide streak spills beyond it) in every
        working image."""
        region, (rows, cols) = _segment_region(self.data.shape, streak,
                                               2.0 * streak.width + 1.0, 3.0 * streak.width + 5.0)
        self.data[rows, cols][region] = 0.0
        self.detect[rows, cols][region] = 0.0
        f = self.f
        if f > 1:
            r0, r1 = rows.start // f, -(-rows.stop // f)
            c0, c1 = cols.start // f, -(-cols.stop // f)
            block = np.zeros(((r1 - r0) * f, (c1 - c0) * f))
            src = self.detect[r0 * f:r1 * f, c0 * f:c1 * f]
            block[:src.shape[0], :src.shape[1]] = src
            block = block.reshape(r1 - r0, f, c1 - c0, f).mean(axis=(1, 3))
            self.small[r0:r1, c0:c1] = np.clip(block, -self.small_clip, self.small_clip)
        self.meas_ht.forget()


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


def best_segment(position, running_sum, seeds, *, min_count: int = 2):
    """The stretch of a line that a streak covers: the run of samples whose sum S and count n
    maximise S / sqrt(n) (the least-squares fit of a box of free height to the samples), found
    by alternating searches for the start and the end from each seed (start, end).

    Returns (start, end, S, n) with start and end halfway between the first (last) sample inside
    and its outer neighbour, or None when no run has a positive sum.

    Examples
    --------
    >>> pos = np.arange(100.0)
    >>> values = np.where((pos >= 30) & (pos < 60), 1.0, 0.0)
    >>> start, end, total, count = best_segment(pos, np.cumsum(values), [(0.0, 99.0)])
    >>> start, end, total, count
    (29.5, 59.5, 30.0, 30)
    """
    position = np.asarray(position, dtype=float)
    values = np.diff(np.asarray(running_sum, dtype=float), prepend=0.0)
    cum = np.concatenate(([0.0], np.cumsum(values)))
    n = len(position)
    if n < 2:
        return None
    best = None
    for a, b in seeds:
        if not (np.isfinite(a) and np.isfinite(b)) or b <= a:
            continue
        i = int(np.clip(np.searchsorted(position, a), 0, n - 1))
        j = int(np.clip(np.searchsorted(position, b, side="right"), i + 1, n))
        for _ in range(20):
            i_new = _best_start(cum, j, min_count)
            j_new = _best_end(cum, i_new, min_count)
            if (i_new, j_new) == (i, j):
                break
            i, j = i_new, j_new
        count = j - i
        if count < 1:
            continue
        total = cum[j] - cum[i]
        merit = total / np.sqrt(count)
        if total > 0 and (best is None or merit > best[0]):
            best = (merit, i, j, total, count)
    if best is None:
        return None
    _, i, j, total, count = best
    start = 0.5 * (position[i] + position[i - 1]) if i > 0 else position[0]
    end = 0.5 * (position[j - 1] + position[j]) if j < n else position[-1]
    return float(start), float(end), float(total), int(count)


def _split_at_gap(position, running_sum, segment, sigma, min_length, significance=6.0):
    """Two collinear streaks with a gap between them fit one box better than either alone:
    if the segment holds a run that falls short of its mean level by more than `significance`
    sigma, keep the stronger side (the other is found on a later pass)."""
    a, b, total, count = segment
    inside = (position > a) & (position < b)
    pos, values = position[inside], np.diff(running_sum, prepend=0.0)[inside]
    if pos.size < 4:
        return segment
    deficit = total / count - values
    gap = best_segment(pos, np.cumsum(deficit), [(pos[0], pos[-1])], min_count=2)
    if gap is None or gap[2] < significance * sigma * np.sqrt(gap[3]):
        return segment
    c, d = gap[0], gap[1]
    pieces = []
    for lo_, hi_ in ((a, c), (d, b)):
        sel = (pos > lo_) & (pos < hi_)
        n = int(sel.sum())
        if hi_ - lo_ >= min_length and n > 0:
            pieces.append((values[sel].sum() / np.sqrt(n), lo_, hi_, values[sel].sum(), n))
    if not pieces:
        return segment
    _, lo_, hi_, total, n = max(pieces)
    return lo_, hi_, float(total), n


def _best_start(cum, j, min_count):
    i = np.arange(0, max(j - min_count, 0) + 1)
    merit = (cum[j] - cum[i]) / np.sqrt(np.maximum(j - i, 1))
    return int(i[np.argmax(merit)])


def _best_end(cum, i, min_count):
    j = np.arange(min(i + min_count, len(cum) - 1), len(cum))
    merit = (cum[j] - cum[i]) / np.sqrt(np.maximum(j - i, 1))
    return int(j[np.argmax(merit)])


def _chord(r, theta, shape):
    """Along-line range of the line (r, theta) inside the rectangle of pixel centres."""
    ny, nx = shape
    c, s = np.cos(theta), np.sin(theta)
    x0, y0 = r * s, -r * c
    lo, hi = -np.inf, np.inf
    for p, u, half in ((x0, c, (nx - 1) / 2.0), (y0, s, (ny - 1) / 2.0)):
        if abs(u) < 1e-12:
            if abs(p) > half:
                return 0.0, 0.0
            continue
        t0, t1 = (-half - p) / u, (half - p) / u
        lo, hi = max(lo, min(t0, t1)), min(hi, max(t0, t1))
    return float(lo), float(hi)


def _along(streak: Streak, shape, x, y):
    cy, cx = (np.asarray(shape) - 1) / 2.0
    return np.cos(streak.theta) * (x - cx) + np.sin(streak.theta) * (y - cy)


def _segment_region(shape, streak: Streak, half_width: float, extend: float):
    """Pixels within `half_width` of the streak's line and within `extend` of its stretch, as a
    boolean array over the bounding box and the box's (row slice, column slice)."""
    ny, nx = shape
    pad = half_width + extend + 1.0
    c0 = max(int(np.floor(min(streak.x_start, streak.x_end) - pad)), 0)
    c1 = min(int(np.ceil(max(streak.x_start, streak.x_end) + pad)) + 1, nx)
    r0 = max(int(np.floor(min(streak.y_start, streak.y_end) - pad)), 0)
    r1 = min(int(np.ceil(max(streak.y_start, streak.y_end) + pad)) + 1, ny)
    rows, cols = slice(r0, max(r1, r0)), slice(c0, max(c1, c0))
    yy = np.arange(r0, max(r1, r0))[:, None] - (ny - 1) / 2.0
    xx = np.arange(c0, max(c1, c0))[None, :] - (nx - 1) / 2.0
    c, s = np.cos(streak.theta), np.sin(streak.theta)
    across = s * xx - c * yy - streak.r
    along = c * xx + s * yy
    m0 = _along(streak, shape, streak.x_start, streak.y_start)
    m1 = _along(streak, shape, streak.x_end, streak.y_end)
    region = (np.abs(across) < half_width) & (along >= m0 - extend) & (along <= m1 + extend)
    return region, (rows, cols)


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
        region, box = _segment_region(shape, streak, half, grow)
        result[box] |= region
    return result
