"""Find and measure every streak in an image: :func:`find_streaks`.

The search scores every line on a reduced image once, then repeats: refine the strongest
candidate not yet examined on the full image (from the pixels near it), measure it, verify that
it is a trail, blank it, score the angles near it again, and look again, until nothing stands
out above ``min_snr`` or ``max_streaks`` streaks are found. Blanking a found streak, over its
whole width, before the next candidate is examined is what separates crossing and parallel
streaks: the side lobes that a bright streak throws into the score map vanish with it.

When no whole line stands out, the tile search (:mod:`~kestrova.tiles`) offers the lines of
streaks too short to lift their whole line; its candidates are verified and blanked exactly as
the others, and the search goes on with whole lines after each one found. By default the tiles
are a third of the image's side at most; small tiles as well are a setting.

Last, when asked (``wide=True``), the wide search (:mod:`~kestrova.wide`) runs the same search
on the image block-averaged by 4, without the trails found, for trails too wide for the band of
this one (a defocused satellite), and reports those wider than twice the stars.

Each step is a stage of its own module: :mod:`~kestrova.prepare` (background, noise, excluded
pixels), :mod:`~kestrova.detect` (coarse map, peaks, refinement), :mod:`~kestrova.measure`
(signal-to-noise ratio, fit, ends), :mod:`~kestrova.verify` (trail or not, width, flux) and
:mod:`~kestrova.catalog` (the records); this module only calls them in turn.
"""

from __future__ import annotations

import contextlib
from dataclasses import replace
from functools import partial

import numpy as np

from .catalog import Refusal, StreakCatalog
from .detect import Detector, choose_binning, find_peaks
from .lines import ends_along
from .measure import Measurer, knot_regions
from .prepare import prepare_image
from .progress import reporter
from .refine import Line
from .settings import SEARCH_CLIP, as_image, check_settings
from .tiles import TileSearch, tile_plan
from .verify import DEFAULT_PSF_FWHM, Verifier, on_spike
from .wide import (SHAPE_REASONS, WIDE_BINNING, WIDE_MAP_SIZE, block_mean, is_wing,
                   photometric, record_to_full, refused_before, searchable, to_full,
                   wide_enough)

__all__ = ["find_streaks"]

# Half-width (radians) of the range of angles scored again around a found streak.
RESCORE_HALF_ANGLE = 0.2


def find_streaks(image, sigma: float | None = None, *, mask=None, min_snr: float = 6.0,
                 max_streaks: int = 20, width: float = 2.0, min_length: float = 20.0,
                 binning: int | None = None, background_box: int | None = 64,
                 max_candidates: int = 30, tiles: bool | str = "large", wide: bool = False,
                 progress=None) -> StreakCatalog:
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
        Detection threshold: the signal-to-noise ratio of the band Hough score of a line, and
        of a trail against the lines parallel to it nearby.
    max_streaks : int
        Stop after this many streaks.
    width : float
        Half-width in pixels of the band in which a streak is detected and measured.
    min_length : float
        Shorter detections are rejected (shorter than this, an elongated galaxy or a pair of
        stars looks like a trail).
    binning : int, optional
        Block size of the reduced image of the full search; by default the larger side is
        brought down to at most 384 pixels.
    background_box : int or None
        Cell size of the background mesh; None subtracts one global median.
    max_candidates : int
        At most this many peaks of the coarse score map, and of the tile maps, are examined per
        search round.
    tiles : bool or "large"
        Also search tiles of the image (:mod:`~kestrova.tiles`), for streaks too short to stand out
        on their whole line. "large": tiles of up to a third of the image's side
        (:func:`~kestrova.tiles.large_scale`; none when both sides are under 768 pixels), for some
        0.03 s on a 2048 x 2048 image. True: small tiles of 128 and 256 pixels as well, which find
        many more of the shortest trails on large images (69 % of the benchmark's trails at
        S/N >= 10 on 2048 x 2048 instead of 58 %), with more false detections (pieces of
        galaxies), and some 1.5 times the time of a 2048 x 2048 image. False: whole lines
        only.
    wide : bool
        Also search the image block-averaged by 4 (:mod:`~kestrova.wide`) for trails more than
        twice as wide as the stars (a defocused satellite), which the band of the full-resolution
        search holds too little of; some 0.1 s on a 2048 x 2048 image. Off by default: a straight
        band of the background some 30 pixels wide across the image passes there as a wide
        trail.
    progress : bool or callable, optional
        Report each stage as it ends: True prints a line on stderr, a callable is called with a
        :class:`~kestrova.progress.Progress`.

    Returns
    -------
    StreakCatalog
        The streaks, strongest first; ``catalog.to_table()`` tabulates them, and
        ``catalog.refused`` holds the lines that the full-resolution search measured and
        refused as not trails, with why.

    Raises
    ------
    ValueError
        A complex image, or a setting that cannot work (NaN, out of range, or too large for
        the image); see :func:`~kestrova.settings.check_settings`.

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
    image = as_image(image)
    settings = check_settings(image.shape, sigma=sigma, min_snr=min_snr,
                              max_streaks=max_streaks, width=width, min_length=min_length,
                              binning=binning, background_box=background_box,
                              max_candidates=max_candidates, tiles=tiles, wide=wide)
    report = reporter(progress)
    threads = _Threads()
    with threads.one("blas"):
        return _find(image, mask=mask, report=report, threads=threads, **settings)


def _find(image, sigma, mask, *, min_snr, max_streaks, width, min_length, binning,
          background_box, max_candidates, tiles, wide, report, threads):
    """The body of :func:`find_streaks`, its arguments checked."""
    given_sigma = sigma
    prep = prepare_image(image, sigma, mask, box=background_box, clip=SEARCH_CLIP)
    report("prepared", 0)
    # The background is smooth: a sparse sample gives its median. Only that is kept, so that
    # the search does not hold the full-size background.
    level = prep.background.median(every=4)
    data, detect, sigma, excluded = prep.data, prep.detect, prep.sigma, prep.excluded
    psf_fwhm, stars = prep.psf_fwhm, prep.star_points()
    del prep
    shape = data.shape
    # The stages own the prepared images: found streaks are blanked in them, in place.
    detector = Detector(detect, sigma, binning=binning or choose_binning(shape), width=width,
                        min_snr=min_snr)
    measurer = Measurer(data, sigma, width=width, min_length=min_length)
    verifier = Verifier(data, excluded, sigma, min_snr=min_snr, width=width, psf_fwhm=psf_fwhm,
                        stars=stars)
    # The verifier keeps a copy of its own; the catalog's waits at a bit per pixel.
    excluded = np.packbits(excluded)
    scales = tile_plan(shape, tiles)
    tile_search = TileSearch(detector, scales) if scales else None
    stages = (measurer, detector, verifier) + ((tile_search,) if tile_search else ())
    judge = _Judge(measurer, verifier, stages, 3.0 * width + 5.0)
    first_map = detector.coarse()
    report("scored", 0)
    # The search scores the map again in place; the catalog keeps the first one, for plots,
    # in single precision.
    snr = first_map.snr
    first_map = replace(first_map, snr=snr.astype(np.float32))
    examined = set()
    streaks, records = [], []
    while len(streaks) < max_streaks:
        found = None
        for peak in find_peaks(replace(first_map, snr=snr), detector.seed_threshold,
                               limit=max_candidates):
            # A peak examined before, at the same place and height, would fail again.
            key = (peak.k, peak.l, peak.snr)
            if key in examined:
                continue
            examined.add(key)
            # Small score maps: on a busy machine a second thread costs more than it saves.
            with threads.one("openmp"):
                line = detector.refine(peak, first_map)
                # The ramp fit waits for the verdict: most candidates are not trails.
                measured = (None if line is None
                            else measurer.measure(line, streaks, ramp=False))
            if measured is None:
                continue
            streak, record, ok = judge(measured, line,
                                       partial(measurer.measure, found=streaks, ramp=False))
            if ok:
                found = streak, record
                break
            if tile_search is not None:
                # Its pieces would stand out in the tiles once it is blanked.
                tile_search.refused(streak)
        if found is None and tile_search is not None:
            # Nothing stands out on its whole line: the streaks too short for that, from the
            # tile maps (made on first use, so that the streaks found so far are blanked). The
            # maps are scored on every thread (a large tile's in two takes two thirds of the
            # time on one), their candidates refined and measured on one.
            tile_search.refresh()
            with threads.one("openmp"):
                found = tile_search.examine(measurer, streaks, judge, max_candidates)
        if found is None:
            break
        streaks.append(found[0])
        records.append(found[1])
        report("streak", len(streaks))
        # Blanking the streak took its ridge, and the side lobes next to it that may hide a
        # fainter streak at a similar angle, out of the reduced image: score those angles
        # again. Farther away its remains are spread thin, and a peak they raise fails
        # refinement on the blanked image.
        detector.rescore(snr, first_map, found[0].theta, RESCORE_HALF_ANGLE)
    trails, refused = judge.trail_regions, judge.refused
    # The stages hold full-size planes that the wide search does not need.
    del judge, stages, measurer, detector, verifier, tile_search, data, detect, snr
    excluded = np.unpackbits(excluded, count=shape[0] * shape[1]).view(bool).reshape(shape)
    if wide and len(streaks) < max_streaks and searchable(shape):
        more = _wide_search(
            image, excluded, trails, streaks, refused, psf_fwhm, stars, sigma=given_sigma,
            min_snr=min_snr, max_streaks=max_streaks - len(streaks), width=width,
            min_length=min_length, background_box=background_box,
            max_candidates=max_candidates, threads=threads)
        for streak, record in more:
            streaks.append(streak)
            records.append(record)
            report("streak", len(streaks))
    order = np.argsort([-s.score for s in streaks], kind="stable")
    report("done", len(streaks))
    # The local spreads served the search; the catalog's map is divided by them already.
    return StreakCatalog(tuple(streaks[i] for i in order), shape, sigma,
                         replace(first_map, spread=None),
                         tuple(records[i] for i in order), level, excluded,
                         tuple(refused))


def _wide_search(image, excluded, trails, found, refused, psf_fwhm, stars, *, sigma, threads,
                 **settings):
    """The wide trails (:mod:`~kestrova.wide`) of `image`, whose pixels `excluded` and the
    `trails` found ((region, box) each; the streaks `found`) are left out: (Streak, StreakRecord)
    pairs in the image's pixels. Not reported: the wings of those found, the streaks on the lines
    `refused` (Refusal) for their shape (:func:`~kestrova.wide.refused_before`), those whose
    photometry does not hold them (:func:`~kestrova.wide.photometric`), and the diffraction
    spikes of the saturated and bright `stars` (at full resolution; the reduced image holds them no
    more)."""
    f = WIDE_BINNING
    excluded = excluded.copy()
    for region, box in trails:
        excluded[box] |= region
    small = block_mean(image, excluded, f)
    settings["min_length"] /= f
    try:
        wide = _find(small, None if sigma is None else sigma / f, None,
                     binning=choose_binning(small.shape, WIDE_MAP_SIZE),
                     tiles=False, wide=False, report=reporter(None), threads=threads,
                     **settings)
    except ValueError:
        # Too little sky is left at that scale to measure the noise: nothing wide to find.
        return []
    psf = psf_fwhm or DEFAULT_PSF_FWHM
    shapes = [r.streak for r in refused if r.reason in SHAPE_REASONS]
    kept = [(to_full(s, image.shape, f), record_to_full(rec, image.shape, s.theta, f))
            for s, rec in zip(wide.streaks, wide.records)]
    # Its refusals are not kept: mostly what the full-resolution search refused already, seen
    # again four times coarser.
    return [(s, rec) for s, rec in kept
            if wide_enough(s, psf) and photometric(s, settings["min_snr"])
            and not any(is_wing(s, t, image.shape) for t in found)
            and not any(refused_before(s, t, image.shape) for t in shapes)
            and not on_spike(image.shape, s.r, s.theta, stars, reach=3.0 + s.fwhm,
                             segment=ends_along(image.shape, s.theta, s.start, s.end))]


class _Judge:
    """The verdict on a measured candidate, whether from a whole line or a tile: verified and
    centred on its crest; a trail photometered and given its ramp fit; trail or not, blanked
    in every stage (over `extend` pixels beyond its ends), since a rejected line would
    otherwise come back with every search round.

    Called with the measurement (Streak, StreakRecord), the refined line, how to measure a
    line again (for the crest) and whether the streak is `short` (from a tile); returns the
    Streak, its StreakRecord and whether it is a trail. The candidates refused are kept
    (`refused`), for the catalog."""

    def __init__(self, measurer, verifier, stages, extend: float):
        self.measurer, self.verifier = measurer, verifier
        self.stages, self.extend = stages, extend
        self.refused = []
        # The pixels blanked around each trail found, (region, box) each.
        self.trail_regions = []

    def __call__(self, measured, line, measure, *, short=False):
        # The knots left out of the measurement are left out of everything from now on.
        for region, box in knot_regions(self.measurer.ht.image.shape, *measured):
            for stage in self.stages:
                stage.blank(region, box)
        verifier = partial(self.verifier, short=short)
        streak, record, verdict = _verified(measured, line, measure, verifier)
        if verdict.ok:
            streak, record = self.measurer.ramp(self.verifier.finish(streak, verdict), record)
        else:
            self.refused.append(Refusal(streak, verdict.reason))
        half = self.verifier.blank_half_width(streak, verdict)
        region, box = streak.region(self.measurer.ht.image.shape, half, self.extend)
        if verdict.ok:
            self.trail_regions.append((region, box))
        # In this order: the tile search reads the detector's blanked image.
        for stage in self.stages:
            stage.blank(region, box)
        return streak, record, verdict.ok


def _verified(measured, line, measure, verifier):
    """The streak and its record measured on the crest of its ridge, and the verdict on it;
    `measure` measures a line again the way `measured` was measured."""
    streak, record = measured
    verdict = verifier(streak)
    if verdict.ok and verdict.moved >= 0.5:
        # A wide or asymmetric trail's best band need not follow its crest: measure again
        # there, so that the ends and the blanking follow the trail.
        centred = measure(Line(verdict.r, verdict.theta, line.score))
        if centred is not None:
            (streak, record), verdict = centred, verifier(centred[0])
    return streak, record, verdict


class _Threads:
    """Contexts in which the thread pools of "blas" or "openmp" libraries run one thread, when
    threadpoolctl is installed.

    The search makes only small BLAS calls (the fit's minimiser many tiny ones, the background
    mesh's interpolation thin products), and only small score maps once the coarse one is made;
    on a busy machine, waking a second thread for them costs several times the work itself.
    The libraries are looked up once: each lookup reads the process's memory map, which took
    longer than the small maps themselves.
    """

    def __init__(self):
        try:
            from threadpoolctl import ThreadpoolController
        except ImportError:
            self._controller = None
        else:
            self._controller = ThreadpoolController()

    def one(self, user_api: str):
        if self._controller is None:
            return contextlib.nullcontext()
        return self._controller.limit(limits=1, user_api=user_api)
