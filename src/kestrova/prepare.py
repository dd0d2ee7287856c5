"""Preparation of an image for streak detection: background, noise, and the pixels that are not
sky.

The Hough score sums pixel values along lines, so anything that is not noise or streak must be
neutralised first: the sky level (subtracted, with the residual structure of the detector along
its axes), and every pixel whose value says nothing about a streak, which is excluded (set to 0,
adding nothing to a score): non-finite and user-masked pixels, detector defects and saturated
stars (:mod:`~kestrova.defects`), and bright compact sources such as stars and hot pixels, which
would otherwise raise every line through them (masked out with their wings).

The isolated stars also give the width of the point-spread function (:mod:`~kestrova.psf`).
"""

from __future__ import annotations

import enum
from dataclasses import dataclass
from functools import cached_property

import numpy as np
from scipy import ndimage

from . import defects
from .psf import FWHM_PER_SIGMA, star_fwhm
from .stats import masked_median, robust_sigma, subsample

__all__ = ["Exclusion", "PreparedImage", "prepare_image", "background_mesh", "robust_sigma",
           "Sources", "find_sources", "compact_sources"]

# Fewer sky pixels than this leave the noise unknown.
MIN_SKY_PIXELS = 100

# FWHM (pixels) up to which a compact source is masked as a star, whatever the stars' own.
MAX_STAR_WIDTH = 20.0


class Exclusion(enum.IntFlag):
    """Why a pixel is excluded: the bits of :attr:`PreparedImage.flags`.

    Examples
    --------
    >>> int(Exclusion.DEFECT | Exclusion.SOURCE)
    20
    """

    INVALID = 1      # not a finite number
    MASKED = 2       # masked by the caller
    DEFECT = 4       # detector defect: fill values, defect lines, cold pixels
    SATURATED = 8    # saturated star with its bleed, halo and spikes
    SOURCE = 16      # compact source: star, hot pixel, cosmic-ray hit


@dataclass(frozen=True)
class PreparedImage:
    """An image made ready for the search.

    Attributes
    ----------
    data : ndarray of float64
        Background-subtracted image, 0 at excluded pixels; used to measure streaks.
    detect : ndarray of float64
        `data` limited to +-`clip` sigma; used to search for streaks.
    background : ndarray of float64
        The subtracted background: the mesh and the structure along the detector axes.
    sigma : float
        Noise per pixel.
    flags : ndarray of uint8
        Why each pixel is excluded, as bits of :class:`Exclusion` (0 for sky).
    saturation : float or None
        The value at which the detector saturates, when the image shows it.
    psf_fwhm : float or None
        FWHM in pixels of the isolated, unsaturated stars; None when there are too few.
    """

    data: np.ndarray
    detect: np.ndarray
    background: np.ndarray
    sigma: float
    flags: np.ndarray
    saturation: float | None = None
    psf_fwhm: float | None = None

    @cached_property
    def excluded(self) -> np.ndarray:
        """Pixels set to 0 in `data` and `detect`, whatever the reason."""
        return self.flags != 0

    @property
    def sources(self) -> np.ndarray:
        """The compact-source part of `excluded`."""
        return self.excluded_by(Exclusion.SOURCE)

    def excluded_by(self, reason: Exclusion) -> np.ndarray:
        """Pixels excluded for (any of the bits of) `reason`."""
        return (self.flags & np.uint8(reason)) != 0

    def saturated_points(self, step: int = 4) -> np.ndarray:
        """(column, row) of the saturated pixels, one per `step` x `step` cell that has any.

        Examples
        --------
        >>> image = np.random.default_rng(0).normal(100.0, 5.0, (200, 200))
        >>> image[50:53, 60:70] = 65535.0; image[150, 20] = 65535.0
        >>> columns, rows = prepare_image(image).saturated_points()
        >>> sorted(set(rows.tolist()))                # the stars with the halos masked around them
        [44.0, 48.0, 52.0, 56.0, 144.0, 148.0, 152.0]
        """
        rows, cols = np.nonzero(self.flags & np.uint8(Exclusion.SATURATED))
        cells = np.unique((rows // step) * (self.flags.shape[1] // step + 1) + cols // step)
        rows, cols = np.divmod(cells, self.flags.shape[1] // step + 1)
        return np.array([cols * step, rows * step], dtype=float)


def background_mesh(image: np.ndarray, good: np.ndarray, box: int | None = 64,
                    step: float = 0.0) -> np.ndarray:
    """Smooth background: medians of the cells of a mesh, bilinearly interpolated between the
    cell centres. The cells are `box` pixels wide, narrowing to a quarter of that towards the
    borders of the image, where vignetting and glows change the sky fastest; every other pixel
    of a cell is read (every pixel of a narrow one). ``box=None`` gives one global median.
    Values quantised by `step` are dithered first (see :func:`~kestrova.defects.dither`).

    Examples
    --------
    >>> image = np.full((100, 130), 7.0)
    >>> bool(np.allclose(background_mesh(image, np.ones(image.shape, bool), 32), 7.0))
    True
    >>> rows, cols = np.mgrid[:300, :400]
    >>> ramp = 0.01 * cols + 0.02 * rows + 10.0 * np.exp(-cols / 20.0)   # a glow at an edge
    >>> bool(np.abs(background_mesh(ramp, np.ones(ramp.shape, bool)) - ramp).max() < 1.5)
    True
    """
    if box is None or box >= max(image.shape):
        return np.full(image.shape, _global_median(image, good, step))
    grid = _MeshGrid(image.shape, box)
    return grid.interpolate(grid.medians(grid.gather(image, step), grid.gather(good)))


def _global_median(image, good, step):
    """The median of the `good` pixels of (a subsample of) `image`; 0 when there are none."""
    values = subsample(image)[subsample(good)]
    if values.size == 0:
        values = image[good]
    return float(np.median(_dithered(values, step))) if values.size else 0.0


def _dithered(values, step):
    return defects.dither(values, step) if step > 0 else values


class _MeshGrid:
    """The cells of a background mesh and the pixels read in each.

    Along each axis the cells are `box` pixels wide, apart from the outermost quarter, quarter
    and half of a box at either end of an axis at least three boxes long. Cells of one width
    class (narrow, half, whole) are read alike, so that the cells of a pair of classes form one
    array: as many pixels of each, from its start, as the smallest of them holds, every other
    one in cells at least 24 pixels wide.
    """

    def __init__(self, shape, box):
        self.shape, self.box = shape, box
        self.edges = [_cell_edges(n, box) for n in shape]
        self.classes = [_cell_classes(np.diff(e)) for e in self.edges]

    def _reads(self, axis):
        """For each class along `axis`: its cells and the offsets of the pixels read, as
        (cells, pixel indices of shape (cells, reads))."""
        out = []
        for cells, length, stride in self.classes[axis]:
            offsets = np.arange(0, length, stride)
            out.append((cells, self.edges[axis][cells][:, None] + offsets))
        return out

    def gather(self, array, step=0.0):
        """The read pixels of `array`, per pair of row and column classes: a list of
        (row cells, column cells, values of shape (row cells, column cells, reads))."""
        out = []
        for rcells, rows in self._reads(0):
            for ccells, cols in self._reads(1):
                values = np.take(np.take(array, rows.ravel(), axis=0), cols.ravel(), axis=1)
                values = values.reshape(rows.shape[0], rows.shape[1], cols.shape[0],
                                        cols.shape[1]).transpose(0, 2, 1, 3)
                values = values.reshape(rows.shape[0], cols.shape[0], -1)
                out.append((rcells, ccells, _dithered(values, step)))
        return out

    def medians(self, values, good) -> np.ndarray:
        """Median of the good pixels of each cell, from :meth:`gather` of the image and of
        the flags. A cell with too few good pixels takes the value of the nearest cell that
        has enough. In a corner, where the cells are narrow both ways and a streak passing
        through fills much of one, a cell keeps its difference from the nearest whole cell
        inward only as far as a neighbour along the border shares it: a vignetted corner is
        followed, a streak through it is not."""
        mesh = np.empty((len(self.edges[0]) - 1, len(self.edges[1]) - 1))
        for (rcells, ccells, v), (_, _, g) in zip(values, good):
            m = masked_median(v, g, axis=2)
            m[g.sum(axis=2) < 0.2 * g.shape[2]] = np.nan
            mesh[np.ix_(rcells, ccells)] = m
        empty = np.isnan(mesh)
        if empty.all():
            return np.zeros_like(mesh)
        if empty.any():
            _, nearest = ndimage.distance_transform_edt(empty, return_indices=True)
            mesh = mesh[tuple(nearest)]
        narrow = [np.diff(e) < 0.75 * self.box for e in self.edges]
        if narrow[0].any() and narrow[1].any():
            corner = narrow[0][:, None] & narrow[1][None, :]
            smooth = mesh
            for axis in (0, 1):
                wide = np.flatnonzero(~narrow[axis])
                inward = np.clip(np.arange(mesh.shape[axis]), wide[0], wide[-1])
                base = np.take(smooth, inward, axis=axis)
                smooth = base + _coherent(smooth - base, 1 - axis)
            mesh = np.where(corner, smooth, mesh)
        return mesh

    def interpolate(self, mesh: np.ndarray, out: np.ndarray | None = None) -> np.ndarray:
        """The full-size background from the cell medians (written into `out` if given)."""
        (ny, nx), (ry, rx) = self.shape, self.edges
        wy = _interpolation_weights(ny, (ry[:-1] + ry[1:] - 1) / 2)
        wx = _interpolation_weights(nx, (rx[:-1] + rx[1:] - 1) / 2)
        return np.matmul(wy @ mesh, wx.T, out=out)


def _coherent(step: np.ndarray, axis: int) -> np.ndarray:
    """`step` limited, cell by cell, to the larger step of the same sign of its two neighbours
    along `axis`.

    Examples
    --------
    >>> _coherent(np.array([[0.0, 0.0, 3.0, 0.1, 0.0], [1.0, 0.9, 0.8, -0.5, 0.4]]), 1).tolist()
    [[0.0, 0.0, 0.1, 0.1, 0.0], [0.9, 0.9, 0.8, 0.0, 0.0]]
    """
    limit = np.zeros_like(step)
    for shift in (1, -1):
        neighbour = np.roll(step, shift, axis=axis)
        end = [slice(None)] * step.ndim
        end[axis] = 0 if shift == 1 else -1
        neighbour[tuple(end)] = 0.0
        same = np.sign(neighbour) == np.sign(step)
        limit = np.maximum(limit, np.where(same, np.abs(neighbour), 0.0))
    return np.sign(step) * np.minimum(np.abs(step), limit) + 0.0


def _cell_edges(n, box):
    """Cell boundaries along an axis of `n` pixels: `box` wide, with a quarter, a quarter and
    a half of `box` at either end when the axis is at least three boxes long.

    Examples
    --------
    >>> _cell_edges(400, 64).tolist()
    [0, 16, 32, 64, 132, 200, 268, 336, 368, 384, 400]
    >>> _cell_edges(160, 64).tolist()
    [0, 80, 160]
    """
    if n < 3 * box or box < 8:
        return np.linspace(0, n, max(1, round(n / box)) + 1).astype(int)
    q = box // 4
    inner = np.linspace(4 * q, n - 4 * q, max(1, round((n - 8 * q) / box)) + 1).astype(int)
    return np.concatenate(([0, q, 2 * q], inner, [n - 2 * q, n - q, n]))


def _cell_classes(widths):
    """The cells grouped by width class, with the pixels read in each: a list of
    (cells, length read, stride)."""
    classes = []
    kind = np.digitize(widths, [24, 48])
    for k in np.unique(kind):
        cells = np.flatnonzero(kind == k)
        every = 2 if k > 0 else 1
        length = int(widths[cells].min()) // every * every
        classes.append((cells, length, every))
    return classes


def _interpolation_weights(n: int, centres: np.ndarray) -> np.ndarray:
    """(n, m) matrix that interpolates linearly between m cell centres, and extrapolates the
    outer slopes to the image border (a gradient continues into the outer half cells)."""
    m = len(centres)
    weights = np.zeros((n, m))
    if m == 1:
        weights[:, 0] = 1.0
        return weights
    x = np.arange(n, dtype=float)
    pos = np.interp(x, centres, np.arange(m))
    pos = np.where(x < centres[0], (x - centres[0]) / (centres[1] - centres[0]), pos)
    pos = np.where(x > centres[-1], m - 1 + (x - centres[-1]) / (centres[-1] - centres[-2]), pos)
    lo = np.clip(np.floor(pos).astype(int), 0, m - 2)
    frac = pos - lo
    weights[np.arange(n), lo] = 1.0 - frac
    weights[np.arange(n), lo + 1] += frac
    return weights


@dataclass(frozen=True)
class Sources:
    """The bright sources of an image: connected regions above a low threshold whose brightest
    pixel stands out (see :func:`find_sources`), one entry per source.

    Attributes
    ----------
    y, x : ndarray
        Centroid of the core (row, column).
    peak : ndarray
        Brightest pixel, in units of the noise.
    radius : ndarray
        Radius of the disk that masks the source with its wings.
    compact : ndarray of bool
        Whether the core is compact: round enough, and reaching no farther than a star's.
    width : ndarray
        FWHM (pixels) of the Gaussian that falls from the peak to the edge of the core.
    wing : ndarray
        How far the disk reaches beyond the core.
    core, owner : ndarray of int
        Flat indices of the pixels of the cores, and the source each belongs to.
    """

    y: np.ndarray
    x: np.ndarray
    peak: np.ndarray
    radius: np.ndarray
    compact: np.ndarray
    width: np.ndarray
    wing: np.ndarray
    core: np.ndarray
    owner: np.ndarray

    def mask(self, shape, max_width: float = np.inf) -> np.ndarray:
        """The disks of the compact sources no wider than `max_width` (stars), and the cores
        of the wider ones (galaxies, glows) grown by their wings, which follow their shape: a
        disk fitted to the peak of a broad, faint source would reach far beyond it."""
        mask = np.zeros(shape, bool)
        star = self.compact & (self.width <= max_width)
        defects.paint_disks(mask, self.y[star], self.x[star], self.radius[star])
        wide = (self.compact & ~star)[self.owner]
        if wide.any():
            core = self.core[wide]
            mask.flat[core] = True
            # The wings around a core are those around its rim.
            nx = shape[1]
            rim = np.zeros(core.size, bool)
            for step in (1, -1, nx, -nx):
                at = np.clip(np.searchsorted(core, core + step), 0, core.size - 1)
                rim |= core[at] != core + step
            rows, cols = np.divmod(core[rim], nx)
            defects.paint_disks(mask, rows, cols, self.wing[self.owner[wide][rim]])
        return mask


def find_sources(data: np.ndarray, sigma: float, *, low: float = 3.0, peak: float = 6.0,
                 max_elongation: float = 3.0, grow: float = 2.0,
                 max_radius: float = 30.0) -> Sources:
    """The bright sources of a background-subtracted image and the disks that mask them.

    A source is a connected region above `low` sigma whose brightest pixel exceeds `peak`
    sigma. Its core, the pixels above a twentieth of the peak (at least `low` sigma), counts as
    compact when its second moments give an axis ratio below `max_elongation` and it reaches no
    farther than `max_radius` pixels from its centre: a bright streak is elongated and kept
    (while a bright star on a faint streak still has a compact core), and a glow or a region of
    the sky left high is larger than a star can be. A source is masked out to the radius where
    a Gaussian of its core's size falls to 1 sigma, plus `grow` pixels. The width of that
    Gaussian tells a star from a galaxy or a glow that a low peak lets look compact, whose
    core is masked as it is (see :meth:`Sources.mask`).

    Examples
    --------
    >>> image = np.zeros((40, 40)); image[20, 20] = 100.0; image[5, 5:35] = 50.0
    >>> found = find_sources(image, 1.0)
    >>> found.compact.tolist(), found.y.tolist()
    ([False, True], [5.0, 20.0])
    """
    labels, n = ndimage.label(data > low * sigma, structure=np.ones((3, 3)))
    empty = np.zeros(0)
    if n == 0:
        return Sources(empty, empty, empty, empty, np.zeros(0, bool), empty, empty,
                       np.zeros(0, int), np.zeros(0, int))
    index = np.flatnonzero(labels)
    lab = labels.ravel()[index]
    value = data.ravel()[index] / sigma
    peaks = np.zeros(n + 1)
    np.maximum.at(peaks, lab, value)
    level = np.maximum(low, peaks / 20.0)
    core = (peaks[lab] > peak) & (value >= level[lab])
    index, lab = index[core], lab[core]
    rows, cols = np.divmod(index, data.shape[1])
    count = np.maximum(np.bincount(lab, minlength=n + 1).astype(float), 1.0)
    my = np.bincount(lab, rows, n + 1) / count
    mx = np.bincount(lab, cols, n + 1) / count
    dy, dx = rows - my[lab], cols - mx[lab]
    syy = np.bincount(lab, dy * dy, n + 1) / count
    sxx = np.bincount(lab, dx * dx, n + 1) / count
    sxy = np.bincount(lab, dx * dy, n + 1) / count
    half_trace, det = 0.5 * (sxx + syy), sxx * syy - sxy**2
    root = np.sqrt(np.maximum(half_trace**2 - det, 0.0))
    major, minor = half_trace + root, np.maximum(half_trace - root, 0.0)
    extent = np.zeros(n + 1)
    np.maximum.at(extent, lab, np.hypot(dy, dx))
    compact = (major <= max_elongation**2 * (minor + 1.0 / 12.0)) & (extent <= max_radius)
    # A Gaussian that falls from the peak to `level` within the core's extent reaches 1 sigma
    # at sqrt(ln(peak) / ln(peak / level)) times that extent.
    with np.errstate(divide="ignore", invalid="ignore"):
        scale = np.sqrt(np.log(np.maximum(peaks, 1.0)) / np.log(peaks / level))
    scale = np.clip(np.nan_to_num(scale, nan=1.0, posinf=3.0), 1.0, 3.0)
    radius = (extent + 0.5) * scale + grow + 0.5
    with np.errstate(divide="ignore", invalid="ignore"):
        width = FWHM_PER_SIGMA * (extent + 0.5) / np.sqrt(2.0 * np.log(peaks / level))
    k, owner = np.unique(lab, return_inverse=True)
    return Sources(my[k], mx[k], peaks[k], radius[k], compact[k],
                   np.nan_to_num(width[k], nan=np.inf), radius[k] - extent[k] - 0.5, index, owner)


def compact_sources(data: np.ndarray, sigma: float, **kwargs) -> np.ndarray:
    """Mask of the bright compact sources (stars, hot pixels, cosmic-ray hits) with their
    wings: the disks of :func:`find_sources`, which takes the keyword arguments.

    Examples
    --------
    >>> image = np.zeros((40, 40)); image[20, 20] = 100.0
    >>> mask = compact_sources(image, 1.0)
    >>> int(mask.sum()) > 1, bool(mask[20, 22])
    (True, True)
    """
    return find_sources(data, sigma, **kwargs).mask(data.shape)


def prepare_image(image, sigma: float | None = None, mask=None, *, box: int | None = 64,
                  clip: float = 5.0, source_peak: float = 6.0,
                  bright_peak: float = 500.0) -> PreparedImage:
    """Subtract the background, estimate the noise and exclude what is not sky.

    In turn: non-finite and masked pixels; fill values, and the saturated stars with their
    bleed, halos and spikes; a first background and noise; defect columns and rows and pixels
    far below the sky; compact sources; the background again from the sky alone, with the
    structure along the detector axes; the final noise and the stars' width. Whole-numbered
    data are dithered where medians are taken, so that they do not take whole values only.

    Parameters
    ----------
    image : array_like, 2-D
    sigma : float, optional
        Noise per pixel; estimated from the median absolute deviation when not given.
    mask : array_like of bool, optional
        True at pixels to ignore.
    box : int or None
        Cell size of the background mesh; None for a single global median.
    clip : float
        The search image is limited to +-`clip` sigma, so that no single pixel dominates a line.
    source_peak : float
        Compact sources peaking above this many sigma are masked out.
    bright_peak : float
        Stars peaking above this many sigma are masked with their halos and spikes, as far as
        the image shows them, like saturated stars.

    Examples
    --------
    >>> rng = np.random.default_rng(0)
    >>> image = rng.normal(10.0, 2.0, (128, 128)); image[5, 7] = np.nan
    >>> prep = prepare_image(image)
    >>> round(prep.sigma, 1), float(prep.data[5, 7]), bool(prep.excluded[5, 7])
    (2.0, 0.0, True)
    >>> Exclusion(int(prep.flags[5, 7])).name
    'INVALID'
    """
    raw = np.asarray(image)
    image, flags = _valid(raw, mask)
    step = defects.quantum(raw)
    saturation = defects.saturation_level(image)
    saturated = None if saturation is None else _at_least(image, saturation)
    if saturated is not None:
        _flag(flags, saturated, Exclusion.SATURATED)
    _flag(flags, defects.fill_runs(image, step, exclude=saturation), Exclusion.DEFECT)
    good = flags == 0
    before = np.count_nonzero(good)
    background = background_mesh(image, good, box, step)
    data = _subtract(image, background, ~good)
    noise = _noise(data, good, step, flags) if sigma is None else _positive(float(sigma))
    good = _exclude_stars_and_defects(image, data, flags, noise, step, saturated, box,
                                      bright_peak)
    if sigma is None and before - np.count_nonzero(good) > 0.01 * good.size:
        # Wide defects and halos (an overscan, an amplifier's glow) widen the first estimate.
        noise = _noise(data, good, step, flags)
    data[~good] = 0.0
    found = find_sources(data, noise, peak=source_peak)
    psf_fwhm = star_fwhm(data, found.y, found.x, found.peak,
                         found.compact & (found.peak > 20.0), good)
    # No star is much wider than the isolated ones (the width of a faint one is rough).
    max_width = MAX_STAR_WIDTH if psf_fwhm is None else max(5.0 * psf_fwhm, MAX_STAR_WIDTH)
    sources = found.mask(image.shape, max_width) & good
    sky = good & ~sources
    # Stars and their wings raise a median: measure the sky again without them. The first
    # background is done with once the data are measured against it.
    if _sky_background(image, data, sky, 3.0 * noise, box, step, out=background) is not None:
        data = _subtract(image, background, ~good, out=data)
    columns, rows = defects.axis_structure(data, sky, noise)
    background += columns
    background += rows[:, None]
    data -= columns
    data -= rows[:, None]
    _flag(flags, sources, Exclusion.SOURCE)
    if sigma is None:
        noise = _noise(data, sky, step, flags)
    data[flags != 0] = 0.0
    detect = np.clip(data, -clip * noise, clip * noise)
    return PreparedImage(data, detect, background, noise, flags, saturation, psf_fwhm)


def _valid(raw, mask):
    """The image in double precision and its first flags: not finite, masked by the caller."""
    if raw.ndim != 2:
        raise ValueError(f"expected a 2-D image, got {raw.ndim} dimension(s)")
    image = raw.astype(np.float64, copy=False)
    flags = np.zeros(image.shape, np.uint8)
    _flag(flags, ~np.isfinite(image), Exclusion.INVALID)
    if mask is not None:
        mask = np.asarray(mask, dtype=bool)
        if mask.shape != image.shape:
            raise ValueError(f"mask shape {mask.shape} differs from image shape {image.shape}")
        _flag(flags, mask, Exclusion.MASKED)
    if flags.all():
        raise ValueError("no valid pixel in the image")
    return image, flags


def _at_least(image, level):
    with np.errstate(invalid="ignore"):
        return image >= level


def _exclude_stars_and_defects(image, data, flags, noise, step, saturated, box, bright_peak):
    """Flag the saturated and the brightest stars with their halos and spikes, strips along the
    borders, defect lines and cold pixels, from the `data` measured against a first
    background; returns the pixels left."""
    good = flags == 0
    # Beyond a cell and a half the mesh follows a halo's gentle curve.
    follow = np.inf if box is None else 1.5 * box
    if saturated is not None:
        stars = defects.bright_stars(image, saturated, good, noise, step, follow=follow)
        _flag(flags, stars, Exclusion.SATURATED)
        good &= ~stars
    bright = good & (data > bright_peak * noise)
    if bright.any():
        stars = defects.bright_stars(image, bright, good, noise, step, follow=follow)
        _flag(flags, stars, Exclusion.SOURCE)
        good &= ~stars
    lines = (defects.edge_strips(image, good, noise) | defects.defect_lines(data, good, noise)
             | defects.cold_pixels(data, good, noise))
    _flag(flags, lines, Exclusion.DEFECT)
    return good & ~lines


def _flag(flags, where, reason):
    """Set the bit `reason` in `flags` at the pixels `where`."""
    flags |= where.view(np.uint8) * np.uint8(reason)


def _positive(sigma: float) -> float:
    """`sigma`, checked: a noise of zero (a flat image) or NaN leaves nothing to measure by."""
    if not np.isfinite(sigma) or sigma <= 0.0:
        raise ValueError(f"noise sigma must be positive, got {sigma}; pass sigma explicitly")
    return sigma


def _sky_background(image, data, sky, limit, box, step, out):
    """Background mesh of the `sky` pixels whose `data` lies within `limit`, written into
    `out`, or None when they are too few (a fifth of the sky pixels the mesh reads). The mesh
    reads them at its read pixels only."""
    if box is None or box >= max(image.shape):
        use = sky & (np.abs(data) < limit)
        if not use.sum() > 0.2 * sky.sum():
            return None
        out[:] = _global_median(image, use, step)
        return out
    grid = _MeshGrid(image.shape, box)
    use, total = [], 0
    for (rc, cc, s), (_, _, d) in zip(grid.gather(sky), grid.gather(data)):
        total += s.sum()
        use.append((rc, cc, s & (np.abs(d) < limit)))
    if not sum(u.sum() for *_, u in use) > 0.2 * total:
        return None
    return grid.interpolate(grid.medians(grid.gather(image, step), use), out)


def _subtract(image, background, bad, out=None):
    """image - background, 0 at bad pixels."""
    data = np.subtract(image, background, out=out)
    np.copyto(data, 0.0, where=bad)
    return data


def _noise(data, sky, step, flags, max_samples=250_000):
    """Robust noise of the `sky` pixels of `data`, from a regular subsample of the image.

    Values quantised by `step` are dithered, and the variance the dither adds, step**2 / 12, is
    taken off again: the result is the noise of the data as they are. Too few sky pixels raise
    a ValueError that counts what the exclusions (the bits of `flags`) took.
    """
    sample = subsample(data, max_samples)[subsample(sky, max_samples)]
    if sample.size < min(1000, sky.sum()):
        sample = data[sky]
    if sample.size < MIN_SKY_PIXELS:
        raise ValueError(_too_few_sky(sky, flags))
    if step > 0:
        spread = robust_sigma(defects.dither(sample, step))
        return _positive(float(np.sqrt(max(spread**2 - step**2 / 12.0, 0.0))))
    return _positive(robust_sigma(sample))


def _too_few_sky(sky, flags):
    """The message of a noise estimate left without sky: what took the pixels."""
    taken = [f"{np.count_nonzero(flags & np.uint8(reason))} {reason.name.lower()}"
             for reason in Exclusion if np.any(flags & np.uint8(reason))]
    return (f"too few sky pixels to estimate the noise: {np.count_nonzero(sky)} of {sky.size} "
            f"are left after excluding {', '.join(taken) or 'none'} (a pixel may count more "
            "than once); pass sigma explicitly")
