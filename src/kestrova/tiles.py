"""Search over parts of lines: score maps of overlapping tiles at a few scales.

The coarse map scores whole lines, so a streak much shorter than the image is diluted by the
noise of the rest of its line: a 64-pixel streak on a 2048-pixel image adds its signal to some
2000 pixels of noise. Here the image is cut into square tiles, overlapping by half, and every
line of every tile is scored on the tile's block-averaged pixels with the compiled
``HoughTransform.score_map``, against the lines parallel to it as in the coarse map: a streak
of length L is scored over a chord of length comparable to L. The default search has one size
of tiles, up to a third of the image's side (:func:`large_scale`); small tiles
(:func:`choose_scales`, 128 pixels and doubling) find shorter streaks, at a cost in time and
false detections.

More trials need a higher threshold. Each tile map is divided by its own robust spread (never
below that of white noise), and a peak is a candidate when it reaches the level that all tiles of
an image of pure noise together reach with probability :data:`FALSE_CANDIDATES`: the Gaussian
tail level for the number of independent cells of all maps, widened by as much as the maps' own
tail is wider than that of noise (galaxies, faint stars and cosmic rays widen it several times,
one streak does not). A candidate is refined on the full-resolution pixels of its tile alone, where
it must reach that level and ``min_snr``, and measured like any other line on the pixels near its
tile; its streak must overlap the tile. Candidates on the line of a streak found or refused before
are dropped; bright compact things that the preparation keeps as elongated (blends of stars, at the
search image's limit in knots, where a bright streak is at it all along), streaks shorter than a
quarter of a tile and streaks that fade from their middle (galaxies) are refused. What is left is
verified and blanked like any line (:mod:`~kestrova.verify`), as a short streak: no wider than a
star (a thin edge-on disk is a little wider); its acceptance rests on the significance of its own
segment, while its ``snr`` stays that of its whole line, often below ``min_snr``.

A short streak bright enough to show pixel by pixel is diluted by a large tile's map all the same;
the elongated regions of the smoothed search image (:mod:`~kestrova.traces`) are examined first,
each refined on the pixels around it (where it must reach ``min_snr``) and then checked, measured
and verified as a tile candidate is.
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from functools import partial
from typing import NamedTuple

import numpy as np
from scipy.special import ndtr, ndtri

from .detect import (ScoreMap, find_peaks, grid_axes, line_grid, parallel_contrast, reduce_image,
                     reduction_limit, update_reduction)
from .hough import HoughTransform
from .measure import Measurer, best_segment
from .lines import (across, along, band_pixels, ends_along, point, span, to_frame, to_full_r,
                    to_pixels, to_reduced_r)
from .refine import Line, refine_line
from .stats import MAD_TO_SIGMA
from .traces import MIN_TRACE_LENGTH, Trace, find_traces

__all__ = ["Scale", "Stretch", "TileCandidate", "TileSearch", "choose_scales", "large_scale",
           "tile_plan", "tile_threshold", "measure_within", "FALSE_CANDIDATES"]

# Probability that the tiles of an image of pure noise give a candidate.
FALSE_CANDIDATES = 0.001
# Cells of a tile map per independent trial: neighbouring cells share half their pixels in r
# and in theta, and overlapping tiles score the same pixels again (measured on noise images).
CELLS_PER_TRIAL = 2.0
# The maps' tail is compared with pure noise's at this level (in units of a map's spread): over
# all tiles but the tenth with the most cells above it (where streaks lie), pure noise has
# NOISE_TAIL times the Gaussian fraction there (measured on the maps scored against their
# parallel lines, 0.78 to 0.93 by scale; the spread is never taken below that of white noise).
# Galaxies, faint stars and cosmic rays raise it several times.
TAIL_LEVEL = 3.0
NOISE_TAIL = 0.8
# Limit of a reduced pixel of a tile, in units of its noise: a short streak near the threshold
# is brighter per pixel than a long one (2 to 4), and must not lose its signal; a star averaged
# into a reduced pixel must not dominate a line of a few dozen.
TILE_CLIP = 4.0
# A streak found in a tile spans at least this many of its reduced pixels (a quarter of a small
# tile's side): over fewer, a map cannot tell it from a pair of stars or a small galaxy.
MIN_CELLS = 8
# The outer half of a streak found in a tile holds at least this fraction of the signal of its
# inner half: a streak is even along its length, an elongated galaxy fades from its middle.
MIN_OUTER = 0.5
# A streak found in a tile whose band holds more than this fraction of pixels at the search
# image's limit is a bright compact thing (a blend of stars, which the preparation keeps as
# elongated), unless they lie all along it: a faint streak has far fewer, and a bright short
# one, which the whole lines' map clips away, has them in each of CLIPPED_CHUNKS equal chunks of
# its length, at least CLIPPED_EVEN of their share over the whole (its blurred ends take some
# from the outer chunks); a blend has them in its stars' cores, with gaps between.
MAX_CLIPPED = 0.3
CLIPPED_CHUNKS = 6
CLIPPED_EVEN = 0.5
# A line is scored only where its chord holds at least this fraction of the tile side: a
# streak's middle lies in the central half of some tile, whose chords are longer.
MIN_CHORD = 0.5
# Peaks of the tile maps are taken from this fraction of the search's threshold on (a tile's
# line is short already: no short feature gains on it by being refined).
SEED_FRACTION = 0.75
# A trace (:mod:`~kestrova.traces`) is refined on the pixels within its length (at least
# TRACE_BOX) of its middle, within TRACE_HALF_R pixels of its line and TRACE_TURN pixels of
# its ends' sideways shift (the second moments of a few dozen pixels give its angle to a few
# degrees), and measured within twice that; candidates within TRACE_TOLERANCE of a trace's line
# are the same.
TRACE_BOX = 32.0
TRACE_HALF_R = 3.0
TRACE_TURN = 2.0
TRACE_TOLERANCE = 5.0


@dataclass(frozen=True)
class Scale:
    """Tiles of `size` x `size` pixels, scored after block-averaging by `binning`."""

    size: int
    binning: int

    @property
    def cells(self) -> int:
        """Side of a tile in reduced pixels."""
        return self.size // self.binning


def choose_scales(shape, *, smallest: int = 128, cells: int = 32, max_binning: int = 8,
                  largest: float = 0.25) -> list[Scale]:
    """Tile sizes from `smallest`, doubling up to `largest` times the larger image side (and
    within the smaller one), each block-averaged to `cells` reduced pixels a side, as long as
    the binning stays within `max_binning`: up to 8 pixels a streak's signal is held whole by
    the band of a reduced pixel, and a larger tile at that binning would cost as much as all
    the smaller ones, for streaks that their whole line dilutes less.

    Examples
    --------
    >>> choose_scales((2048, 2048))
    [Scale(size=128, binning=4), Scale(size=256, binning=8)]
    >>> choose_scales((600, 800)), choose_scales((400, 400))
    ([Scale(size=128, binning=4)], [])
    """
    scales = []
    size = smallest
    while size <= largest * max(shape) and size <= min(shape) and size // cells <= max_binning:
        scales.append(Scale(size, max(1, size // cells)))
        size *= 2
    return scales


def large_scale(shape, *, cells: int = 64, min_binning: int = 4) -> Scale | None:
    """The tiles of the default search: the largest power of two within a third of the larger
    image side (and within the smaller one), block-averaged to `cells` reduced pixels a side;
    None when that takes a binning under `min_binning` (both sides under 768 pixels), where
    a tile is too small a part of the image to gain on its whole lines.

    A streak from about a tenth to half of the image's side is scored over a chord comparable
    to its length; a 2048 x 2048 image has 49 such tiles, which cost about half as much as its
    coarse map, and far fewer trials than the small tiles of :func:`choose_scales` (a lower
    threshold).

    Examples
    --------
    >>> large_scale((2048, 2048)), large_scale((768, 1024))
    (Scale(size=512, binning=8), Scale(size=256, binning=4))
    >>> large_scale((600, 700)) is None
    True
    """
    size = 2 ** int(np.floor(np.log2(max(max(shape) / 3.0, 1.0))))
    if size // cells < min_binning or size > min(shape):
        return None
    return Scale(size, size // cells)


def tile_plan(shape, tiles) -> list[Scale]:
    """The tile scales of a search with the ``tiles`` setting of
    :func:`~kestrova.find_streaks`: none for False, the :func:`large_scale` for "large", and
    for True the small tiles of :func:`choose_scales` as well (those of the large tiles' size
    at the large tiles' finer binning).

    Examples
    --------
    >>> [s.size for s in tile_plan((2048, 2048), True)], tile_plan((2048, 2048), False)
    ([128, 256, 512], [])
    >>> tile_plan((1024, 1024), True)
    [Scale(size=128, binning=4), Scale(size=256, binning=4)]
    """
    if not tiles:
        return []
    large = large_scale(shape)
    scales = [] if tiles == "large" else choose_scales(shape)
    if large is not None:
        scales = [s for s in scales if s.size != large.size] + [large]
    return sorted(scales, key=lambda s: s.size)


def tile_threshold(trials: float, false_rate: float = FALSE_CANDIDATES) -> float:
    """The level that the largest of `trials` independent standard normal values exceeds with
    probability `false_rate`.

    Examples
    --------
    >>> round(tile_threshold(1e6, 0.01), 2), round(tile_threshold(1e6, 0.001), 2)
    (5.61, 6.0)
    """
    return float(-ndtri(false_rate / max(trials, 1.0)))


class TileCandidate(NamedTuple):
    """A peak of a tile map: its S/N (in units of the map's robust spread), its line in the
    full-resolution frame (theta in [0, pi)), the along-line range (:func:`kestrova.lines.along`)
    of the line's chord in the tile, and where it came from (scale, tile, cell)."""

    snr: float
    r: float
    theta: float
    start: float
    end: float
    scale: int
    tile: int
    k: int
    l: int


class Stretch(NamedTuple):
    """A stretch [start, end] along the line (r, theta) that failed: a tile candidate, or a line
    that the verification refused. A candidate within `tolerance` of it, over a stretch that
    overlaps it, is the same; it may be tried again once something is blanked within `margin`
    of the stretch along its line. A refused whole line (`whole_line`) covers its whole line and
    stays refused, as it does in the search of whole lines."""

    r: float
    theta: float
    start: float
    end: float
    tolerance: float
    margin: float
    whole_line: bool = False


class _Layer:
    """The tiles of one scale: their reduced pixels (a view of the scale's reduced image), the
    shared grid of lines, and per tile its peaks and noise."""

    def __init__(self, index: int, scale: Scale, small: np.ndarray, offset, shape,
                 sigma: float):
        self.index, self.scale, self.small, self.offset = index, scale, small, offset
        self.shape = shape
        # A map of white noise of `sigma` per pixel has the noise of a reduced pixel.
        self.white = sigma / scale.binning
        m = scale.cells
        step = max(m // 2, 1)
        rows, cols = _starts(small.shape[0], m, step), _starts(small.shape[1], m, step)
        self.origins = [(i, j) for i in rows for j in cols]
        # The tiles' first rows and columns in the full image, for finding those a box meets.
        self.starts = np.array(self.origins, dtype=np.intp).reshape(-1, 2) * scale.binning
        self.grid = line_grid((m, m))
        self.r, self.theta = grid_axes(*self.grid)
        count = HoughTransform(np.ones((m, m)), 1.0).score_map(*self.grid, 1.0) ** 2
        self.valid = count >= MIN_CHORD * m
        self.n_valid = int(self.valid.sum())
        n = len(self.origins)
        self.noise = np.ones(n)
        self.tail = np.zeros(n)
        self.peaks: list[list[TileCandidate]] = [[] for _ in range(n)]

    def box(self, t: int):
        """(row slice, column slice) of tile `t` in the full image."""
        b, m = self.scale.binning, self.scale.cells
        i, j = self.origins[t]
        ny, nx = self.shape
        return slice(i * b, min((i + m) * b, ny)), slice(j * b, min((j + m) * b, nx))

    def tile_offset(self, t: int):
        """(dx, dy) of tile `t`'s reduced frame centre in the full frame."""
        b, m = self.scale.binning, self.scale.cells
        i, j = self.origins[t]
        my, mx = self.small.shape
        return (b * (j + (m - mx) / 2.0) + self.offset[0],
                b * (i + (m - my) / 2.0) + self.offset[1])

    def score(self, t: int, floor: float) -> None:
        """Score tile `t` and keep its peaks above `floor`."""
        m = self.scale.cells
        i, j = self.origins[t]
        raw = HoughTransform(self.small[i:i + m, j:j + m], 1.0).score_map(*self.grid, 1.0)
        raw *= self.valid
        # Against the lines parallel to it, as a whole line is scored: over the sky's structure
        # that the background mesh left (a gradient, a vignetted corner), a tile's lines vary
        # several times as much as noise, and the spread of its map hid its streaks.
        parallel_contrast(raw, self.scale.binning, out=raw)
        # The spread of a tile's map (from every other cell each way, at a quarter of the
        # cost) scatters by several per cent, and one streak widens it: it only ever raises
        # the noise above that of white noise, where something else than noise widens it.
        centre, spread = _centre_spread(raw[::2, ::2][self.valid[::2, ::2]])
        noise = self.noise[t] = max(spread, self.white)
        self.tail[t] = np.count_nonzero(raw > centre + TAIL_LEVEL * noise) / self.n_valid
        if not raw.max() > centre + floor * noise:
            self.peaks[t] = []
            return
        snr = (raw - centre) / noise
        snr *= self.valid
        smap = ScoreMap(snr, self.r, self.theta, self.scale.binning, self.tile_offset(t), noise)
        self.peaks[t] = [self._candidate(t, p) for p in find_peaks(smap, floor, limit=20)]

    def _candidate(self, t: int, peak) -> TileCandidate:
        rows, cols = self.box(t)
        lower = to_frame(self.shape, cols.start, rows.start)
        upper = to_frame(self.shape, cols.stop - 1, rows.stop - 1)
        c, s = np.cos(peak.theta), np.sin(peak.theta)
        start, end = span((peak.r * s, -peak.r * c), (c, s), lower, upper)
        return TileCandidate(peak.snr, peak.r, peak.theta, start, end, self.index, t, peak.k,
                             peak.l)

    def touching(self, region, box) -> list[int]:
        """Tiles that hold a pixel of `region`, a boolean array over the (row slice, column
        slice) `box` of the full image."""
        rows, cols = box
        i, j = self.starts.T
        # Only the tiles whose box meets `box` can hold a pixel of it.
        size = self.scale.size
        meets = ((i < rows.stop) & (i + size > rows.start)
                 & (j < cols.stop) & (j + size > cols.start))
        out = []
        for t in np.flatnonzero(meets).tolist():
            tr, tc = self.box(t)
            r0, r1 = max(tr.start, rows.start), min(tr.stop, rows.stop)
            c0, c1 = max(tc.start, cols.start), min(tc.stop, cols.stop)
            if r0 < r1 and c0 < c1 and region[r0 - rows.start:r1 - rows.start,
                                              c0 - cols.start:c1 - cols.start].any():
                out.append(t)
        return out

    def tail_scale(self) -> float:
        """How much wider the maps' tail is than that of pure noise: the factor by which a
        Gaussian would have to be widened to put the observed fraction of cells above
        TAIL_LEVEL (1 when it is no wider)."""
        tail = np.sort(self.tail)[:max(1, int(0.9 * self.tail.size))]
        excess = tail.mean() / (NOISE_TAIL * ndtr(-TAIL_LEVEL))
        return 1.0 if not excess > 1.0 else float(TAIL_LEVEL / -ndtri(ndtr(-TAIL_LEVEL) * excess))

    def local_noise(self, t: int) -> float:
        """Tile `t`'s map noise relative to that of white noise (at least 1)."""
        return float(self.noise[t] / self.white)


class TileSearch:
    """The tile maps of a :class:`~kestrova.detect.Detector`'s search image, and the
    examination of their candidates.

    Parameters
    ----------
    detector : Detector
        Supplies the search image (blanked in place as streaks are found), its noise, the band
        half-width and the thresholds.
    scales : list of Scale, optional
        Default :func:`choose_scales` of the image.
    false_rate : float
        Probability that an image of pure noise gives a tile candidate.

    Examples
    --------
    >>> from kestrova.detect import Detector
    >>> from kestrova.synthetic import TrueStreak, draw_streak
    >>> image = np.random.default_rng(0).normal(size=(512, 512))
    >>> short = TrueStreak(100.0, 300.0, 150.0, 340.0, 4.0)
    >>> detector = Detector(draw_streak(image, short), 1.0, binning=2, width=2.0, min_snr=6.0)
    >>> search = TileSearch(detector)
    >>> c = search.candidates()[0]
    >>> r, theta = short.line(image.shape)
    >>> bool(abs(c.r - r) < 4 and abs(c.theta - theta) < 0.1)
    True
    >>> round(search.level(0), 2), search.threshold(0)     # pure noise level; min_snr is higher
    (5.7, 6.0)
    """

    def __init__(self, detector, scales=None, *, false_rate: float = FALSE_CANDIDATES):
        self.detector = detector
        self.shape = detector.detect.shape
        self.sigma = detector.sigma
        self.scales = choose_scales(self.shape) if scales is None else list(scales)
        self.false_rate = false_rate
        # The maps are made when the first candidate is asked for: streaks found on their
        # whole lines before are blanked by then, and their tiles need no second scoring.
        self.layers: list[_Layer] | None = None
        self.traces: list[Trace] = []
        self._dirty: set[tuple[int, int]] = set()
        self._tails: list[float] = []
        self._failed: list[Stretch] = []

    def refresh(self) -> None:
        """Make the tile maps, or score again those of the tiles blanked since."""
        if self.layers is None:
            self.traces = find_traces(self.detector.detect, self.sigma)
            self.reduced = _reductions(self.detector.detect, self.sigma,
                                       {s.binning for s in self.scales})
            self.layers = [_Layer(i, s, *self.reduced[s.binning], self.shape, self.sigma)
                           for i, s in enumerate(self.scales)]
            trials = sum(x.n_valid * len(x.origins) for x in self.layers) / CELLS_PER_TRIAL
            # The level that pure noise reaches rarely; peaks below it are never candidates.
            self.base = tile_threshold(trials, self.false_rate)
            self._dirty = {(i, t) for i, x in enumerate(self.layers)
                           for t in range(len(x.origins))}
        if self._dirty:
            for i, t in sorted(self._dirty):
                self.layers[i].score(t, self.base)
            self._tails = [layer.tail_scale() for layer in self.layers]
            self._dirty.clear()

    def level(self, scale: int, *, rescore: bool = True) -> float:
        """The S/N that pure noise rarely reaches in the maps of `scale`: the Gaussian level
        for all maps' cells, widened as much as the maps' own tail is wider than noise's.
        Without `rescore`, as the maps stood when last scored: the tiles blanked since are
        scored again when candidates are next asked for."""
        if rescore:
            self.refresh()
        return self.base * self._tails[scale]

    def threshold(self, scale: int, *, rescore: bool = True) -> float:
        """The S/N a candidate of `scale` needs refined on the full image: :meth:`level`, and
        at least the search's own threshold."""
        return max(self.level(scale, rescore=rescore), self.detector.min_snr)

    def candidates(self, found=()) -> list[TileCandidate]:
        """Peaks of all tile maps above the level that pure noise reaches rarely (and the
        search's seed threshold), strongest first, one per line and stretch, leaving out those
        on the lines of the streaks `found`."""
        self.refresh()
        seeds = [max(self.level(i), SEED_FRACTION * self.detector.min_snr)
                 for i in range(len(self.layers))]
        pool = sorted((c for layer in self.layers for peaks in layer.peaks for c in peaks
                       if c.snr >= seeds[c.scale]), key=lambda c: -c.snr)
        kept = []
        for c in pool:
            # Within two reduced pixels of the coarser tile, or of a found streak's band.
            near = self._tolerance(c.scale)
            if any(_same(c, k, max(near, self._tolerance(k.scale)))
                   for k in kept) or any(_on(c, s, near + 3.0 * s.width) for s in found):
                continue
            kept.append(c)
        return kept

    def refine(self, c: TileCandidate) -> Line | None:
        """The line that candidate `c` stands for, refined on the full-resolution pixels of its
        tile alone; None when it scores below the threshold there."""
        layer = self.layers[c.scale]
        rows, cols = layer.box(c.tile)
        tile = self.detector.detect[rows, cols]
        offset = (cols.start + (tile.shape[1] - self.shape[1]) / 2.0,
                  rows.start + (tile.shape[0] - self.shape[0]) / 2.0)
        b, m = layer.scale.binning, layer.scale.cells
        # The window spans a cell and a half of the tile map each way. Its bands cover much of
        # the tile: the compiled kernel scores all its pixels faster than the pixels near the
        # line are gathered and scored (refine_near).
        line = refine_line(HoughTransform(tile, 1.0), self.sigma,
                           to_reduced_r(c.r, c.theta, 1, offset), c.theta, half_r=b + 1.0,
                           half_t=1.5 * np.sqrt(2.0) / m, width=self.detector.width)
        score = line.score / layer.local_noise(c.tile)
        # Each candidate examined is blanked: scoring its tiles again before the next one would
        # cost more than the examination, and in the last round, which refuses them all, be
        # wasted (the candidates examined were chosen from the maps before).
        if score < self.threshold(c.scale, rescore=False):
            return None
        return Line(float(to_full_r(line.r, line.theta, 1, offset)), line.theta, score)

    def examine(self, measurer, found, judge, limit: int = 30):
        """Refine and measure up to `limit` candidates, strongest first, with `measurer`
        (:class:`~kestrova.measure.Measurer`) against the streaks `found`, and hand each
        measurement to `judge` (called with it, the refined line and how to measure a line
        again near the tile, as a short streak; see :mod:`~kestrova.finder`), which verifies
        and blanks it and returns (Streak, StreakRecord, whether it is a trail). The first
        trail's (Streak, StreakRecord), or None.

        A candidate that fails, in its measurement or its verdict, is not tried again until
        the image near it changes (:meth:`blank`)."""
        # The traces first: each stands out pixel by pixel, and few images have any. A map's
        # candidate on the line of one that failed just now is the same.
        traces = [t for t in self.traces
                  if not any(_on(t, s, TRACE_TOLERANCE + 3.0 * s.width) for s in found)]
        for t in traces:
            if not self._has_failed(t):
                out = self._try(t, measurer, found, judge)
                if out is not None:
                    return out
        fresh = [c for c in self.candidates(found) if not self._has_failed(c)]
        for c in fresh[:limit]:
            out = self._try(c, measurer, found, judge)
            if out is not None:
                return out
        return None

    def _try(self, c, measurer, found, judge):
        """Examine candidate or trace `c`: the trail's (Streak, StreakRecord), or None, its
        stretch then recorded as failed."""
        measured = self._measure(c, measurer, found)
        if measured is not None:
            streak, record, ok = judge(*measured, short=True)
            if ok:
                return streak, record
        # After the judge's blanking, which would otherwise clear it at once.
        self._failed.append(self._stretch(c))
        return None

    def _stretch(self, c) -> Stretch:
        """The stretch of candidate or trace `c`, with the tolerance of its line and the margin
        along it within which something blanked lets it be tried again."""
        if isinstance(c, Trace):
            return Stretch(c.r, c.theta, c.start, c.end, TRACE_TOLERANCE, c.length)
        return Stretch(c.r, c.theta, c.start, c.end, self._tolerance(c.scale),
                       self.scales[c.scale].size)

    def refused(self, streak) -> None:
        """Record a whole line's streak that the verification refused (and that was blanked):
        a candidate on its line is more of the same thing (a spike's other side, the rest of a
        defect column), as on a found streak's line. It stays refused: a bleed or a streak
        blanked across it changes it where they cross, not its other stretches."""
        if not self.scales:
            return
        a, b = ends_along(self.shape, streak.theta, streak.start, streak.end)
        # As far from its line as a candidate on a found streak's line is dropped.
        near = min(_line_tolerance(s.binning) for s in self.scales)
        self._failed.append(Stretch(streak.r, streak.theta, a, b,
                                    near + 3.0 * streak.width, 0.0, whole_line=True))

    def _tolerance(self, scale: int) -> float:
        return _line_tolerance(self.layers[scale].scale.binning)

    def _has_failed(self, c) -> bool:
        """Whether candidate or trace `c` lies on a stretch that failed. The map of a tile
        scored again gives its peaks new heights and, near what was blanked, new places."""
        near = self._stretch(c).tolerance
        return any((_on if f.whole_line else _same)(c, f, max(near, f.tolerance))
                   for f in self._failed)

    def _measure(self, c, measurer, found):
        """Candidate `c` (of a tile map, or a trace) refined, checked and measured near where
        it was seen, without its ramp fit: (the measurement, the refined line, how to measure a
        line again there), or None when it fails."""
        if isinstance(c, Trace):
            line, near, shortest = self._refine_trace(c), self._around(c, 2.0), MIN_TRACE_LENGTH
        else:
            line, near = self.refine(c), self._near(c)
            shortest = MIN_CELLS * self.layers[c.scale].scale.binning
        if line is None:
            return None
        data = measurer.ht.image
        # The stretch of the line that stands out in the tile: a bright compact thing is
        # refused before the costlier measurement.
        rows, cols, _, dm = band_pixels(self.shape, line.r, line.theta, self.detector.width)
        inside = (dm >= c.start) & (dm <= c.end)
        rows, cols, dm = rows[inside], cols[inside], dm[inside]
        order = np.argsort(dm)
        segment = best_segment(dm[order], np.cumsum(data[rows, cols][order]),
                               [(c.start, c.end)])
        if segment is None or _compact(data, self.detector.detect, rows, cols, dm,
                                       segment[0], segment[1]):
            return None
        measure = partial(measure_within, measurer, found=found, box=near)
        measured = measure(line)
        if measured is None or not _overlaps(measured[0], c, self.shape):
            return None
        streak, record = measured
        if streak.length < shortest:
            return None
        rows, cols, _, dm = band_pixels(self.shape, streak.r, streak.theta, streak.width)
        if _compact(data, self.detector.detect, rows, cols, dm, record.start, record.end):
            return None
        within = (dm >= record.start) & (dm <= record.end)
        middle = np.abs(dm - 0.5 * (record.start + record.end)) < 0.25 * streak.length
        inner = data[rows[within & middle], cols[within & middle]].sum()
        outer = data[rows[within & ~middle], cols[within & ~middle]].sum()
        return (measured, line, measure) if outer >= MIN_OUTER * inner else None

    def _refine_trace(self, t: Trace) -> Line | None:
        """The line of trace `t` refined on the pixels around it; None when it scores below
        the search's threshold there."""
        rows, cols = self._around(t, 1.0)
        box = self.detector.detect[rows, cols]
        offset = (cols.start + (box.shape[1] - self.shape[1]) / 2.0,
                  rows.start + (box.shape[0] - self.shape[0]) / 2.0)
        line = refine_line(HoughTransform(box, 1.0), self.sigma,
                           to_reduced_r(t.r, t.theta, 1, offset), t.theta, half_r=TRACE_HALF_R,
                           half_t=TRACE_TURN / max(t.length, TRACE_BOX),
                           width=self.detector.width)
        if line.score < self.detector.min_snr:
            return None
        return Line(float(to_full_r(line.r, line.theta, 1, offset)), line.theta, line.score)

    def _around(self, t: Trace, scale: float):
        """The (row slice, column slice) within `scale` times trace `t`'s length (at least
        TRACE_BOX) of its middle."""
        col, row = to_pixels(self.shape, *point(t.r, t.theta, 0.5 * (t.start + t.end)))
        half = scale * max(t.length, TRACE_BOX)
        ny, nx = self.shape
        return (slice(int(max(row - half, 0)), int(min(row + half + 1, ny))),
                slice(int(max(col - half, 0)), int(min(col + half + 1, nx))))

    def _near(self, c: TileCandidate):
        """The (row slice, column slice) within a tile's size of candidate `c`'s tile, where it
        is measured: the rest of its line can hold something brighter (a bleed, a stretch of
        another streak) that a measurement along all of it would take instead."""
        layer = self.layers[c.scale]
        size = layer.scale.size
        tr, tc = layer.box(c.tile)
        return (slice(max(tr.start - size, 0), min(tr.stop + size, self.shape[0])),
                slice(max(tc.start - size, 0), min(tc.stop + size, self.shape[1])))

    def blank(self, region, box) -> None:
        """Bring the search up to date after the pixels `region` of the (row slice, column slice)
        `box` were blanked in the search image: the maps of the tiles that hold them are scored
        again (their peaks are new candidates), and a candidate that failed is tried again when
        they lie on its line within a tile's size of its stretch, where it was measured: a
        streak crossing it, or beside it, may have been what it was measured as or refused
        for (a refused whole line stays refused)."""
        rows, cols = np.nonzero(region)
        if rows.size and self._failed:
            x, y = to_frame(self.shape, cols + box[1].start, rows + box[0].start)
            reach = self.detector.width + 1.0
            self._failed = [f for f in self._failed
                            if f.whole_line or not _crosses(f, x, y, reach)]
        if self.layers is None:
            return
        for b, (small, _) in self.reduced.items():
            update_reduction(small, self.detector.detect, self.sigma, b, box, TILE_CLIP)
        self._dirty.update((i, t) for i, layer in enumerate(self.layers)
                           for t in layer.touching(region, box))


def _line_tolerance(binning: int) -> float:
    """How far apart (pixels) two candidates of tiles reduced by `binning` may lie and be one
    line: two reduced pixels, and one more."""
    return 2.0 * binning + 1.0


def _crosses(f: Stretch, x, y, reach: float) -> bool:
    """Whether any of the points (x, y) lies within `reach` of the line of `f` and within its
    margin of its stretch along it."""
    t = along(f.theta, x, y)
    return bool(((np.abs(across(f.r, f.theta, x, y)) < reach)
                 & (t > f.start - f.margin) & (t < f.end + f.margin)).any())


def _compact(data, detect, rows, cols, dm, start, end) -> bool:
    """Whether the band pixels (rows, cols), at along-line positions `dm`, of the stretch
    [start, end] are a bright compact thing's: more than MAX_CLIPPED of the valid ones are held
    at the search image `detect`'s limit (where it differs from the measured image `data`),
    and some chunk of the stretch has too few of them to be a bright streak's.

    Examples
    --------
    >>> dm = np.arange(60.0); rows = np.zeros(60, int); cols = np.arange(60)
    >>> data = np.full((1, 60), 5.0); detect = np.minimum(data, 3.0)          # clipped all along
    >>> _compact(data, detect, rows, cols, dm, 0.0, 59.0)
    False
    >>> detect[0, 20:40] = data[0, 20:40] = 1.0                               # a gap between two
    >>> _compact(data, detect, rows, cols, dm, 0.0, 59.0)
    True
    """
    select = (dm >= start) & (dm <= end)
    rows, cols, dm = rows[select], cols[select], dm[select]
    values = data[rows, cols]
    valid = values != 0.0
    if not valid.any():
        return False
    at_limit = detect[rows, cols][valid] != values[valid]
    share = float(np.mean(at_limit))
    if share <= MAX_CLIPPED:
        return False
    n = CLIPPED_CHUNKS
    chunk = np.minimum(((dm[valid] - start) * n / max(end - start, 1e-9)).astype(int), n - 1)
    counts = np.bincount(chunk, minlength=n)
    held = np.bincount(chunk, weights=at_limit, minlength=n)
    # A chunk that is all masked (a star on the streak) tells nothing.
    seen = counts > 0
    return bool((held[seen] / counts[seen]).min() < CLIPPED_EVEN * share)


def measure_within(measurer, line: Line, found, box):
    """`measurer.measure(line, found, ramp=False)` (:class:`~kestrova.measure.Measurer`) on the
    pixels of the (row slice, column slice) `box` of its image alone; the streak and record are
    given in the frame of the whole image, and the streak's snr is that of its whole line (the
    catalog's meaning, whatever part of the line was measured). When the streak reaches an edge
    of the box inside the image, it may run on: it is measured on the whole line instead.

    Examples
    --------
    >>> from kestrova.measure import Measurer
    >>> rows = np.arange(100.0)[:, None]
    >>> data = np.random.default_rng(4).normal(size=(100, 300))
    >>> data[:, 200:260] += 3.0 * np.exp(-0.5 * (rows - 30.0) ** 2)   # r = 19.5, theta = 0
    >>> data[:, 20:120] += 9.0 * np.exp(-0.5 * (rows - 30.0) ** 2)    # brighter, same line
    >>> measurer = Measurer(data, 1.0, width=2.0)
    >>> near = (slice(0, 100), slice(150, 300))
    >>> streak, record = measure_within(measurer, Line(19.5, 0.0, 10.0), [], near)
    >>> round(streak.x_start), round(streak.x_end), round(streak.y_start)
    (200, 260, 30)
    >>> streak, record = measurer.measure(Line(19.5, 0.0, 10.0), [], ramp=False)
    >>> round(streak.x_start), round(streak.x_end)
    (20, 120)
    """
    data = measurer.ht.image
    shape = data.shape
    rows, cols = box
    sub = data[rows, cols]
    offset = (cols.start + (sub.shape[1] - shape[1]) / 2.0,
              rows.start + (sub.shape[0] - shape[0]) / 2.0)
    local = Measurer(sub, measurer.sigma, width=measurer.width, min_length=measurer.min_length)
    moved = [_moved(s, -cols.start, -rows.start, sub.shape) for s in found]
    r = float(to_reduced_r(line.r, line.theta, 1, offset))
    measured = local.measure(Line(r, line.theta, line.score), moved, ramp=False)
    if measured is None:
        return None
    streak, record = measured
    ends = np.array([streak.x_start, streak.x_end, streak.y_start, streak.y_end])
    low = np.array([cols.start > 0] * 2 + [rows.start > 0] * 2)
    high = np.array([cols.stop < shape[1]] * 2 + [rows.stop < shape[0]] * 2)
    limit = np.array([sub.shape[1] - 1] * 2 + [sub.shape[0] - 1] * 2)
    if ((ends < 2.0) & low).any() or ((ends > limit - 2.0) & high).any():
        return measurer.measure(line, found, ramp=False)
    streak = _moved(streak, cols.start, rows.start, shape)
    streak = replace(streak, snr=float(measurer.ht.snr(streak.r, streak.theta, streak.width)))
    shift = float(along(streak.theta, *offset))
    return streak, replace(record, position=record.position + shift,
                           start=record.start + shift, end=record.end + shift,
                           knots=tuple((a + shift, b + shift) for a, b in record.knots))


def _moved(streak, dcol: float, drow: float, shape):
    """`streak` with its pixel positions moved by (dcol, drow), in the frame of an image of
    `shape` (r follows from its new start)."""
    x0, y0, x1, y1 = (streak.x_start + dcol, streak.y_start + drow, streak.x_end + dcol,
                      streak.y_end + drow)
    r = float(across(0.0, streak.theta, *to_frame(shape, x0, y0)))
    return replace(streak, r=r, x_start=x0, y_start=y0, x_end=x1, y_end=y1)


def _reductions(detect, sigma, binnings) -> dict:
    """:func:`~kestrova.detect.clipped_reduction` of `detect` by each of `binnings`; a binning
    that is a multiple of a smaller one is reduced from that one's block means, which is the
    same and far cheaper than from the image.

    Examples
    --------
    >>> from kestrova.detect import clipped_reduction
    >>> detect = np.random.default_rng(0).normal(size=(50, 70))
    >>> small, offset = _reductions(detect, 1.0, {2, 4})[4]
    >>> direct = clipped_reduction(detect, 1.0, 4, TILE_CLIP)
    >>> bool(np.allclose(small, direct[0])), offset == direct[1]
    (True, True)
    """
    out, previous = {}, None
    for b in sorted(binnings):
        if previous is not None and b % previous[0] == 0:
            f0, means, (ox, oy) = previous
            small, (dx, dy) = reduce_image(means, b // f0)
            offset = (f0 * dx + ox, f0 * dy + oy)
        else:
            small, offset = reduce_image(detect, b)
        previous = (b, small, offset)
        limit = reduction_limit(sigma, b, TILE_CLIP)
        out[b] = (np.clip(small, -limit, limit) if b > 1 else small, offset)
    return out


def _centre_spread(sample: np.ndarray):
    """Median and robust spread (from the median absolute deviation) of `sample`.

    Examples
    --------
    >>> x = np.random.default_rng(0).normal(3.0, 2.0, 10_001)
    >>> [round(v, 1) for v in _centre_spread(x)]
    [3.0, 2.0]
    """
    sample = sample[sample != 0.0]
    if sample.size < 16:
        return 0.0, 0.0
    k = sample.size // 2
    centre = float(np.partition(sample, k)[k])
    return centre, MAD_TO_SIGMA * float(np.partition(np.abs(sample - centre), k)[k])


def _starts(n: int, m: int, step: int) -> list[int]:
    """Starts of tiles of side `m`, `step` apart, that cover 0..n (the last one ends at n).

    Examples
    --------
    >>> _starts(100, 32, 16), _starts(20, 32, 16)
    ([0, 16, 32, 48, 64, 68], [])
    """
    if n < m:
        return []
    starts = list(range(0, n - m + 1, step))
    return starts + ([n - m] if starts[-1] != n - m else [])


def _same(a: TileCandidate, b, tolerance: float) -> bool:
    """Whether candidate `a` and `b` (a candidate or a :class:`Stretch`) are one line over
    overlapping stretches: the part of a's stretch alongside b's lies within `tolerance` of b's
    line at both ends. A short streak in a large
    tile has a coarse angle, which a comparison of (r, theta) would take for another line."""
    if abs(np.sin(a.theta - b.theta)) > 0.25:
        return False
    ends = along(a.theta, *point(b.r, b.theta, np.array([b.start, b.end])))
    lo, hi = max(a.start, ends.min()), min(a.end, ends.max())
    if hi <= lo:
        return False
    x, y = point(a.r, a.theta, np.array([lo, hi]))
    return bool((np.abs(across(b.r, b.theta, x, y)) < tolerance).all())


def _on(c: TileCandidate, streak, tolerance: float) -> bool:
    """Whether candidate `c` lies on the line of a found (or refused) streak, within `tolerance`
    of it at both ends of its stretch: on the streak's stretch it is what was blanked, and
    elsewhere more of the same (a gap in a streak, a defect along a column)."""
    if abs(np.sin(c.theta - streak.theta)) > 0.25:
        return False
    x, y = point(c.r, c.theta, np.array([c.start, c.end]))
    return bool((np.abs(across(streak.r, streak.theta, x, y)) < tolerance).all())


def _overlaps(streak, c: TileCandidate, shape) -> bool:
    """Whether the measured `streak` overlaps the stretch of candidate `c`."""
    a, b = ends_along(shape, c.theta, streak.start, streak.end)
    return min(b, c.end) > max(a, c.start)
