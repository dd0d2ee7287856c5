"""Masks of what is not sky, found from the data alone.

A streak search sums pixels along lines, so anything that lines up with the detector's rows and
columns, or spreads far around a bright star, raises lines that hold no streak. This module finds
such pixels without being told about the detector:

- whole-numbered data (:func:`quantum`, :func:`dither`), whose medians take whole values only;
- values that pile up in runs (:func:`fill_runs`): zero-filled chip edges and gaps;
- the saturation level (:func:`saturation_level`) and the saturated stars with their bleed
  columns, halos and diffraction spikes along the detector axes (:func:`bright_stars`);
- columns and rows, or long narrow pieces of them, that stand apart from their neighbours or far
  from the sky (:func:`defect_lines`: hot, dead and low columns), and strips along the borders
  (:func:`edge_strips`: overscan, amplifier edges);
- pixels far below the sky (:func:`cold_pixels`);
- the smooth residue of the detector along its axes (:func:`axis_structure`), which is not
  masked but subtracted.

Column and row statistics come from :class:`LineProfile`, the means of the good pixels of every
line in blocks along it: one pass of sums over the image, and robust where it matters through the
median over blocks.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from scipy import ndimage

from .stats import masked_median, robust_sigma, subsample

__all__ = ["quantum", "dither", "fill_runs", "saturation_level", "bright_stars", "sparse_label",
           "LineProfile", "line_profile", "defect_lines", "edge_strips", "cold_pixels",
           "axis_structure",
           "paint_disks"]

# Noise of the median of n Gaussian values, times sqrt(n) / sigma.
MEDIAN_NOISE = 1.2533141373155


# ---------------------------------------------------------------------------------------------
# Whole-numbered data


def quantum(image: np.ndarray, max_samples: int = 100_000) -> float:
    """The step between the values of quantised data (1 for an integer type), or 0 when the
    values are continuous or their steps are too fine to matter.

    Examples
    --------
    >>> quantum(np.arange(12, dtype=np.int16).reshape(3, 4))
    1.0
    >>> noise = np.random.default_rng(0).normal(0.0, 3.0, (100, 100))
    >>> quantum(np.round(noise) / 2), quantum(noise)
    (0.5, 0.0)
    """
    image = np.asarray(image)
    if image.dtype.kind in "iub":
        return 1.0
    sample = subsample(image, max_samples)
    sample = sample[np.isfinite(sample)]
    values = np.unique(sample)
    # Many distinct values in a sample mean steps far below the spread of the data.
    if values.size < 2 or values.size > sample.size // 4:
        return 0.0
    if np.array_equal(values, np.round(values)):
        return 1.0
    step = float(np.diff(values).min())
    if step <= 1e-6 * max(float(np.abs(values).max()), 1.0):
        return 0.0
    units = (values - values[0]) / step
    return step if np.allclose(units, np.round(units), rtol=0.0, atol=1e-3) else 0.0


def dither(values: np.ndarray, step: float, seed=0) -> np.ndarray:
    """`values` spread uniformly over their quantisation interval of width `step`, by the
    draws of `seed` (a seed, or a generator that goes on where it stopped).

    Medians and quantiles of quantised values are quantised: a sky at 100.4 counts reads as 100,
    and a long line summing the 0.4 count it lost stands out as a streak. Spread values have the
    unbiased medians of the continuous signal behind them; their variance is larger by exactly
    ``step**2 / 12``.

    Examples
    --------
    >>> x = np.round(np.random.default_rng(1).normal(100.4, 2.2, 200_001))
    >>> float(np.median(x)), round(float(np.median(dither(x, 1.0))), 1)
    (100.0, 100.4)
    """
    rng = np.random.default_rng(seed)
    return values + (rng.random(np.shape(values), dtype=np.float32) - 0.5) * step


# ---------------------------------------------------------------------------------------------
# Fill values


def fill_runs(image: np.ndarray, step: float = 0.0, *, min_run: int = 16,
              exclude: float | None = None, max_samples: int = 100_000) -> np.ndarray:
    """Pixels in runs of at least `min_run` of a fill value along a row or a column.

    A fill value (the zeros of a chip edge or gap) piles up: a regular sample holds it at least
    three times, and four times as often as either neighbouring value; in data quantised by
    `step`, it also lies three sigma from the sky. The value `exclude` (the saturation level)
    is left to :func:`bright_stars`.

    Examples
    --------
    >>> image = np.random.default_rng(0).normal(100.0, 3.0, (40, 50))
    >>> image[:, 42:] = 0.0
    >>> mask = fill_runs(image)
    >>> bool(mask[:, 42:].all()), bool(mask[:, :42].any())
    (True, False)
    """
    mask = np.zeros(image.shape, bool)
    for value in _pile_ups(image, step, exclude, max_samples):
        equal = image == value
        for axis in (0, 1):
            line, start, stop = _runs(equal, axis)
            keep = stop - start >= min_run
            _paint(mask, axis, line[keep], start[keep], stop[keep])
    return mask


def _pile_ups(image, step, exclude, max_samples, most=8):
    """The values (at most `most`) that a regular sample of `image` holds far more often than
    noise would: at least three times, and four times as often as either neighbouring value
    (ties of limited precision come in runs of similar counts); in data quantised by `step`,
    three sigma from the sky too."""
    sample = subsample(image, max_samples)
    sample = sample[np.isfinite(sample)]
    if sample.size == 0:
        return []
    values, counts = np.unique(sample, return_counts=True)
    around = np.maximum(np.concatenate(([0], counts[:-1])), np.concatenate((counts[1:], [0])))
    candidate = (counts >= 3) & (counts > 4 * around)
    if step > 0:
        level, noise = np.median(sample), max(robust_sigma(sample), step)
        candidate &= np.abs(values - level) > 3.0 * noise
    if exclude is not None:
        candidate &= values != exclude
    index = np.flatnonzero(candidate)
    return values[index[np.argsort(-counts[index], kind="stable")][:most]].tolist()


def _runs(flags: np.ndarray, axis: int):
    """(line, start, stop) of every run of True along `axis` of a 2-D boolean array: for axis
    1 the runs along rows, their row and their column range."""
    index = np.flatnonzero(flags)
    if index.size == 0:
        return index, index, index
    ny, nx = flags.shape
    n = nx
    if axis == 0:
        # Number the pixels down the columns instead.
        if index.size < flags.size // 16:
            row, col = np.divmod(index, nx)
            index = np.sort(col * ny + row)
        else:
            index = np.flatnonzero(np.ascontiguousarray(flags.T))
        n = ny
    # A run breaks where the next True value is not the next pixel of the same line.
    breaks = np.flatnonzero((np.diff(index) != 1) | (np.diff(index // n) != 0))
    first = np.concatenate(([0], breaks + 1))
    last = np.concatenate((breaks, [index.size - 1]))
    line, start = np.divmod(index[first], n)
    return line, start, index[last] % n + 1


def _paint_whole(mask: np.ndarray, axis: int, lines) -> None:
    """Set whole lines of `mask` True: columns for axis 0, rows for axis 1."""
    if axis == 0:
        mask[:, lines] = True
    else:
        mask[lines, :] = True


def _paint(mask: np.ndarray, axis: int, line, start, stop) -> None:
    """Set ``mask`` True over [start, stop) of each given line: along rows for axis 1 (line a
    row), along columns for axis 0 (line a column)."""
    length = np.asarray(stop) - np.asarray(start)
    if length.size == 0 or length.sum() == 0:
        return
    offset = np.arange(length.sum()) - np.repeat(np.cumsum(length) - length, length)
    along = np.repeat(start, length) + offset
    across = np.repeat(line, length)
    if axis == 1:
        mask[across, along] = True
    else:
        mask[along, across] = True


# ---------------------------------------------------------------------------------------------
# Saturation


def saturation_level(image: np.ndarray, min_count: int = 3) -> float | None:
    """The value at which the detector saturates, if pixels pile up there; None otherwise.

    Among the values far above the sky, it is the highest one that at least `min_count`
    pixels share, more of them than lie above it (a few cosmic rays may) and twice as many as
    share the next lower value: the flat top of a saturated star, not a tie among bright pixels.

    Examples
    --------
    >>> image = np.random.default_rng(0).normal(100.0, 3.0, (50, 50))
    >>> saturation_level(image) is None
    True
    >>> image[20:23, 30:32] = 5000.0
    >>> saturation_level(image)
    5000.0
    """
    sample = subsample(image, 100_000)
    sample = sample[np.isfinite(sample)]
    if sample.size == 0:
        return None
    level, noise = np.median(sample), robust_sigma(sample)
    with np.errstate(invalid="ignore"):
        high = image[image > level + 20.0 * max(noise, np.finfo(float).tiny)]
    if high.size < min_count:
        return None
    values, counts = np.unique(high, return_counts=True)
    above = np.cumsum(counts[::-1])[::-1] - counts
    below = np.concatenate(([0], counts[:-1]))
    top = np.flatnonzero((counts >= min_count) & (counts >= above) & (counts >= 2 * below))
    return float(values[top[-1]]) if top.size else None


def bright_stars(image: np.ndarray, cores: np.ndarray, usable: np.ndarray, sigma: float,
                 step: float = 0.0, *, follow: float = np.inf, halo_level: float = 0.2,
                 halo_margin: float = 0.2, spike_level: float = 2.0,
                 margin: float = 2.0) -> np.ndarray:
    """Bright stars with their bleed columns, halos and diffraction spikes.

    Each connected region of `cores` (the saturated pixels of a star with its bleed columns, or
    the brightest pixels of a star) is masked with the halo around it and the spikes along the
    detector axes through it, as far as the `image` (of noise `sigma`, quantised by `step`)
    shows them. The halo reaches to the radius r where the median of a ring comes within
    `halo_level` sigma of the sky around the star, a limit that grows as (r / `follow`)**2
    beyond `follow` pixels (where a background mesh follows the gentle curve of a halo: 1.5
    cells, say), but no farther than 16 core radii and 32 pixels; it is masked `halo_margin` of
    its radius beyond. Each spike reaches to where its excess over the pixels beside it falls
    below `spike_level` times its noise, and is masked a third of its length beyond. Pixels not
    `usable` (excluded for other reasons) are left out of both measurements.

    Examples
    --------
    >>> rng = np.random.default_rng(0)
    >>> yy, xx = np.mgrid[:120, :120]
    >>> star = 50.0 / (1.0 + ((yy - 60) ** 2 + (xx - 60) ** 2) / 9.0) ** 2
    >>> star[59:62, 60:110] += 4.0                                   # a spike to the right
    >>> image = np.minimum(star, 40.0) + rng.normal(100.0, 1.0, star.shape)
    >>> mask = bright_stars(image, star >= 40.0, np.ones(star.shape, bool), 1.0)
    >>> bool(mask[60, 105]), bool(mask[60, 5]), bool(mask[60, 75])
    (True, False, True)
    """
    mask = np.zeros(image.shape, bool)
    stars = _star_cores(cores)
    if stars is None:
        return mask
    mask |= cores
    halo = _halo_radii(image, usable, sigma, stars.y, stars.x, stars.core, halo_level, follow,
                       step)
    # Where the sky around a star has structure of its own, the halo seems to go on: no halo
    # reaches farther than a bright star's core allows.
    halo = np.minimum(halo, 16.0 * stars.core + 32.0)
    paint_disks(mask, stars.y, stars.x, halo * (1.0 + halo_margin) + margin)
    # A spike is looked for beyond the halo and beyond the core with its bleed columns.
    start = np.maximum(halo[:, None], stars.reach + 2.0)
    # Only a star with a halo beyond its core is bright enough to show spikes; most show none
    # where its halo ends, and are done with at one look.
    bright = np.flatnonzero(halo > stars.core + 4.0)
    seen = _spikes_seen(image, usable, sigma, stars.y[bright], stars.x[bright], start[bright],
                        spike_level)
    for k, d in zip(*np.nonzero(seen)):
        k = bright[k]
        dy, dx = SPIKE_DIRECTIONS[d]
        length = _spike_length(image, usable, sigma, stars.y[k], stars.x[k], dy, dx,
                               stars.half[k], start[k, d], spike_level,
                               reach=start[k, d] + 50.0 * stars.core[k] + 100.0)
        if length > start[k, d]:
            # A spike fades on beyond where it can be told from the noise.
            _paint_box(mask, stars.y[k], stars.x[k], dy, dx, 1.3 * length + margin,
                       stars.half[k] + margin)
    return mask


SPIKE_DIRECTIONS = ((0, 1), (0, -1), (1, 0), (-1, 0))


@dataclass(frozen=True)
class _Cores:
    """The cores of bright stars: centre (`y`, `x`), radius of a disk of the same area `core`,
    half-width `half` of a spike, and how far each reaches in each of the SPIKE_DIRECTIONS
    (`reach`, shape (n, 4))."""

    y: np.ndarray
    x: np.ndarray
    core: np.ndarray
    half: np.ndarray
    reach: np.ndarray


def _star_cores(cores):
    """The :class:`_Cores` of the connected regions of `cores`, or None when there are none."""
    index, lab, n = sparse_label(cores)
    if n == 0:
        return None
    rows, cols = np.divmod(index, cores.shape[1])
    count = np.bincount(lab, minlength=n).astype(float)
    y, x = np.bincount(lab, rows, n) / count, np.bincount(lab, cols, n) / count
    core = np.sqrt(count / np.pi)
    half = np.maximum(2.0, core)
    # A star sits where its core is widest: a bleed column is no wider than the core.
    for k in np.flatnonzero(count >= 20):
        mine = lab == k
        widths = np.bincount(rows[mine] - rows[mine].min())
        y[k] = rows[mine].min() + float(np.mean(np.flatnonzero(widths == widths.max())))
        half[k] = max(2.0, 0.5 * float(widths.max()))
    reach = np.zeros((n, len(SPIKE_DIRECTIONS)))
    for d, (dy, dx) in enumerate(SPIKE_DIRECTIONS):
        np.maximum.at(reach[:, d], lab, dy * (rows - y[lab]) + dx * (cols - x[lab]))
    return _Cores(y, x, core, half, reach)


def _spike_excess(values, good, n_inner):
    """The excess of a spike: the mean over its width (the first `n_inner` values along the
    last axis; a narrow spike moves a mean) against the median of the values beside it (the
    rest), and the noise of that excess for pixels of unit noise."""
    with np.errstate(invalid="ignore", divide="ignore"):
        inner = (np.where(good[..., :n_inner], values[..., :n_inner], 0.0).sum(axis=-1)
                 / good[..., :n_inner].sum(axis=-1))
    outer = masked_median(values[..., n_inner:], good[..., n_inner:], axis=-1)
    n_outer = values.shape[-1] - n_inner
    return inner - outer, np.sqrt(1.0 / n_inner + MEDIAN_NOISE**2 / n_outer)


def _spikes_seen(data, usable, sigma, y, x, start, level, block=8):
    """Whether a spike leaves each star at (`y`, `x`) in each of the SPIKE_DIRECTIONS: the
    :func:`_spike_excess` of a strip 5 pixels wide beyond the distance `start` (per star and
    direction) stands out by `level` times its noise in both of the two blocks of `block`
    pixels there."""
    ny, nx = data.shape
    n = len(y)
    if n == 0:
        return np.zeros((0, len(SPIKE_DIRECTIONS)), bool)
    along = start[:, :, None, None] + np.arange(2 * block)[None, None, :, None]
    across = np.concatenate((np.arange(-2, 3), np.arange(-9, -4), np.arange(5, 10)))
    d = np.array(SPIKE_DIRECTIONS)[None, :, None, None]
    rows = np.round(y[:, None, None, None] + d[..., 0] * along + d[..., 1] * across).astype(int)
    cols = np.round(x[:, None, None, None] + d[..., 1] * along + d[..., 0] * across).astype(int)
    inside = (rows >= 0) & (rows < ny) & (cols >= 0) & (cols < nx)
    rows, cols = np.clip(rows, 0, ny - 1), np.clip(cols, 0, nx - 1)
    values = data[rows, cols].astype(np.float64)
    excess, noise = _spike_excess(values, inside & usable[rows, cols], 5)
    blocks = excess.reshape(n, len(SPIKE_DIRECTIONS), 2, block)
    valid = np.isfinite(blocks)
    count = np.maximum(valid.sum(axis=-1), 1)
    mean = np.where(valid, blocks, 0.0).sum(axis=-1) / count
    # Both blocks: a spike runs on, a star beside the halo fills one.
    return (mean > level * sigma * noise / np.sqrt(count)).all(axis=-1)


def sparse_label(mask: np.ndarray):
    """Connected regions (8-connected) of a sparse boolean image, at a cost that grows with the
    number of True pixels only.

    Returns
    -------
    index : ndarray
        Flat indices of the True pixels, in order.
    labels : ndarray
        Region of each, from 0.
    n : int
        Number of regions.

    Examples
    --------
    >>> mask = np.zeros((4, 6), bool); mask[0, 0] = mask[1, 1] = mask[3, 4] = mask[3, 5] = True
    >>> index, labels, n = sparse_label(mask)
    >>> index.tolist(), labels.tolist(), n
    ([0, 7, 22, 23], [0, 0, 1, 1], 2)
    """
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import connected_components

    ny, nx = mask.shape
    index = np.flatnonzero(mask)
    if index.size == 0:
        return index, index, 0
    rows, cols = np.divmod(index, nx)
    links = []
    for dy, dx in ((0, 1), (1, -1), (1, 0), (1, 1)):
        neighbour = (rows + dy) * nx + cols + dx
        inside = (rows + dy < ny) & (cols + dx >= 0) & (cols + dx < nx)
        at = np.minimum(np.searchsorted(index, neighbour), index.size - 1)
        linked = np.flatnonzero(inside & (index[at] == neighbour))
        links.append((linked, at[linked]))
    a = np.concatenate([l[0] for l in links])
    b = np.concatenate([l[1] for l in links])
    graph = coo_matrix((np.ones(a.size, np.int8), (a, b)), shape=(index.size, index.size))
    n, labels = connected_components(graph, directed=False)
    return index, labels, int(n)


def _halo_radii(image, usable, sigma, y, x, core, level, follow=np.inf, step=0.0,
                reaches=(16, 64, 256)):
    """For each centre (`y`, `x`): the radius r beyond `core` at which the median of a ring
    falls to within `level` sigma, times (r / `follow`)**2 when that is more, of the local sky,
    two rings in a row.

    The local sky is a plane fitted to the outer half of a window around the star, of radius
    `reaches[0]` at first, then each of `reaches` in turn until the halo ends in the window's
    inner third; in the last window it may end anywhere, or is taken to fill it. The median of
    a ring exceeds a value when more than half its pixels do. The image is read as it is, not
    against a background mesh, which would have taken in part of a broad halo."""
    radius = np.full(len(y), np.nan)
    todo = np.arange(len(y))
    for reach in reaches:
        last = reach == reaches[-1]
        # In pieces of some 2**17 window pixels, to bound the memory (a window holds up to
        # 65 x 65 pixels, and each pixel takes a few arrays of floats); each part of 256
        # stars is dithered by one generator, as if it were read at once.
        side = 2 * (reach // max(1, reach // 32)) + 1
        piece = max(1, 2**17 // side**2)
        for i in range(0, todo.size, 256):
            rng = np.random.default_rng(0)
            for j in range(i, min(i + 256, todo.size), piece):
                k = todo[j:min(j + piece, i + 256)]
                radius[k] = _halo_window(image, usable, sigma, y[k], x[k], core[k], level,
                                         follow, reach, step, 1.0 if last else 1.0 / 3.0, rng)
        todo = todo[np.isnan(radius[todo])]
    radius[todo] = reaches[-1]
    return radius


def _halo_window(image, usable, sigma, y, x, core, level, follow, reach, step, within,
                 rng=0):
    """:func:`_halo_radii` in a window of radius `reach`: NaN where the halo does not end
    within that fraction of it. A wide window is read on a grid of every `reach` // 32
    pixels, and its rings are as wide, which leaves them as many pixels as a narrow one's."""
    ny, nx = image.shape
    n = len(y)
    stride = max(1, reach // 32)
    offsets = np.arange(-(reach // stride) * stride, reach + 1, stride)
    iy, ix = np.round(y).astype(int), np.round(x).astype(int)
    rows = iy[:, None, None] + offsets[None, :, None]
    cols = ix[:, None, None] + offsets[None, None, :]
    dy, dx = rows - y[:, None, None], cols - x[:, None, None]
    distance = np.hypot(dy, dx)
    rings = reach // stride + 1
    ring = np.minimum((distance / stride).astype(int), rings - 1)
    inside = (rows >= 0) & (rows < ny) & (cols >= 0) & (cols < nx) & (distance <= reach)
    rows, cols = np.clip(rows, 0, ny - 1), np.clip(cols, 0, nx - 1)
    use = inside & usable[rows, cols]
    values = image[rows, cols].astype(np.float64)
    if step > 0:
        values = dither(values, step, rng)
    sky = _local_sky(values, use & (2 * distance > reach), dy, dx, sigma)
    key = (np.arange(n)[:, None, None] * rings + ring)[use]
    limit = level * sigma * np.maximum(1.0, (distance / follow) ** 2)
    high = (values > sky + limit)[use]
    total = np.bincount(key, minlength=n * rings).reshape(n, rings)
    above = np.bincount(key, high, minlength=n * rings).reshape(n, rings)
    below = (2 * above <= total) & (total > 0)
    ends = below[:, :-1] & below[:, 1:] & (stride * np.arange(rings - 1) > core[:, None])
    found = ends.any(axis=1) & np.isfinite(sky).all(axis=(1, 2))
    first = stride * np.argmax(ends, axis=1).astype(float)
    return np.where(found & (first <= within * reach), first, np.nan)


def _local_sky(values, outer, dy, dx, sigma):
    """The sky under each stamp of `values` (n, size, size): a plane fitted to its `outer`
    pixels at offsets (`dy`, `dx`), leaving out those more than 5 sigma from their median (other
    stars). A plane follows a gradient across a ring that the image border cuts."""
    n = values.shape[0]
    level = masked_median(values.reshape(n, -1), outer.reshape(n, -1))
    with np.errstate(invalid="ignore"):
        use = outer & (np.abs(values - level[:, None, None]) < 5.0 * sigma)
    terms = [np.where(use, t, 0.0) for t in (1.0, dy, dx)]
    normal = np.array([[(a * b).sum(axis=(1, 2)) for b in terms]
                       for a in terms]).transpose(2, 0, 1)
    right = np.array([(a * np.where(use, values, 0.0)).sum(axis=(1, 2)) for a in terms]).T
    plane = np.full((n, 3), np.nan)
    solvable = np.abs(np.linalg.det(normal)) > 1e-9 * np.maximum(normal[:, 0, 0], 1.0) ** 3
    plane[solvable] = np.linalg.solve(normal[solvable], right[solvable][..., None])[..., 0]
    return plane[:, 0, None, None] + plane[:, 1, None, None] * dy + plane[:, 2, None, None] * dx


def _spike_length(data, usable, sigma, y, x, dy, dx, half, start, level, reach=np.inf,
                  blocks=(8, 32, 128)):
    """How far from (y, x), in the direction (dy, dx) along a detector axis, a spike of
    half-width `half` stands above the pixels beside it, measured from radius `start` on and
    at most to radius `reach`.

    The excess is averaged in blocks of the first of `blocks` pixels from `start` on, then, from
    the last block that stands out, in the longer blocks in turn: a spike fades slowly, and
    a long block still sees it where a short one cannot. A scan may miss one block in a row."""
    if dx:  # a spike along a row is one along a column of the transposed image
        data, usable, y, x, dy = data.T, usable.T, x, y, dx
    ny, nx = data.shape
    w, across = int(np.ceil(half)), int(round(x))
    inner = [slice(max(across - w, 0), min(across + w + 1, nx))]
    outer = [slice(max(across - 4 * w - 1, 0), max(across - 2 * w, 0)),
             slice(min(across + 2 * w + 1, nx), min(across + 4 * w + 2, nx))]
    n_inner = inner[0].stop - inner[0].start
    n_outer = sum(o.stop - o.start for o in outer)
    first, last = int(round(y)) + dy * int(start), int(round(y)) + dy * int(min(reach, 1e9))
    lo, hi = (first, min(ny, last + 1)) if dy > 0 else (max(0, last), first + 1)
    if n_inner <= 0 or n_outer <= 0 or hi - lo < 2 * blocks[0]:
        return 0.0

    values = np.hstack([data[lo:hi, c] for c in inner + outer]).astype(np.float64)
    good = np.hstack([usable[lo:hi, c] for c in inner + outer])
    if dy < 0:  # from the star out
        values, good = values[::-1], good[::-1]
    excess, noise = _spike_excess(values, good, n_inner)
    end = 0
    for k, block in enumerate(blocks):
        reached = _last_block(excess[end:], block, level * sigma * noise)
        if reached == 0 and k == 0:
            return 0.0
        end += reached
    return float(start + end)


def _last_block(excess, block, limit):
    """The end of the last of the blocks of `block` values of `excess` whose mean exceeds
    `limit` over the square root of its number of values, in a run from the first block that
    misses at most one block in a row; 0 when there is none."""
    n = excess.size // block
    if n == 0:
        return 0
    blocks = excess[: n * block].reshape(n, block)
    valid = np.isfinite(blocks)
    count = valid.sum(axis=1)
    mean = np.where(valid, blocks, 0.0).sum(axis=1) / np.maximum(count, 1)
    significant = (count > 0) & (mean > limit / np.sqrt(np.maximum(count, 1)))
    last = -1
    for i, flag in enumerate(significant):
        if flag:
            last = i
        elif i - last > 1:
            break
    return (last + 1) * block


def paint_disks(mask: np.ndarray, y, x, radius) -> None:
    """Set `mask` True within `radius` of each centre (`y`, `x`), in place; the disks of equal
    whole-pixel size are drawn together.

    Examples
    --------
    >>> mask = np.zeros((5, 9), bool)
    >>> paint_disks(mask, [2.0, 2.0], [1.0, 6.5], [1.0, 1.5])
    >>> mask.astype(int)
    array([[0, 0, 0, 0, 0, 0, 0, 0, 0],
           [0, 1, 0, 0, 0, 0, 1, 1, 0],
           [1, 1, 1, 0, 0, 1, 1, 1, 1],
           [0, 1, 0, 0, 0, 0, 1, 1, 0],
           [0, 0, 0, 0, 0, 0, 0, 0, 0]])
    """
    y, x, radius = (np.atleast_1d(np.asarray(v, dtype=float)) for v in (y, x, radius))
    ny, nx = mask.shape
    iy, ix = np.round(y).astype(int), np.round(x).astype(int)
    reach = np.ceil(radius).astype(int) + 1
    for r in np.unique(reach):
        k = np.flatnonzero(reach == r)
        if r > 32:
            # A halo's disk spans hundreds of pixels: drawn a band of rows at a time, with no
            # arrays of its whole area.
            for i in k:
                _paint_disk(mask, y[i], x[i], radius[i], slice(iy[i] - r, iy[i] + r + 1),
                            slice(ix[i] - r, ix[i] + r + 1))
            continue
        dy, dx = (d.ravel() for d in np.mgrid[-r:r + 1, -r:r + 1])
        rows, cols = iy[k, None] + dy, ix[k, None] + dx
        inside = ((rows - y[k, None]) ** 2 + (cols - x[k, None]) ** 2 <= radius[k, None] ** 2)
        inside &= (rows >= 0) & (rows < ny) & (cols >= 0) & (cols < nx)
        mask[rows[inside], cols[inside]] = True


def _paint_disk(mask, y, x, radius, rows, cols, band=32):
    """Set `mask` True within `radius` of (y, x), in its box (`rows`, `cols`), `band` rows at a
    time."""
    ny, nx = mask.shape
    c = np.arange(max(cols.start, 0), min(cols.stop, nx))
    if c.size == 0:
        return
    across = (c - x) ** 2
    for start in range(max(rows.start, 0), min(rows.stop, ny), band):
        r = np.arange(start, min(start + band, rows.stop, ny))
        mask[r[0]:r[-1] + 1, c[0]:c[-1] + 1] |= (r[:, None] - y) ** 2 + across <= radius**2


def _paint_box(mask, y, x, dy, dx, length, half):
    """Mask from (y, x) `length` pixels in the direction (dy, dx), `half` pixels either side."""
    ys = sorted((y, y + dy * length)) if dy else (y - half, y + half)
    xs = sorted((x, x + dx * length)) if dx else (x - half, x + half)
    ny, nx = mask.shape
    r0, r1 = max(int(np.floor(ys[0])), 0), min(int(np.ceil(ys[1])) + 1, ny)
    c0, c1 = max(int(np.floor(xs[0])), 0), min(int(np.ceil(xs[1])) + 1, nx)
    mask[r0:r1, c0:c1] = True


# ---------------------------------------------------------------------------------------------
# Columns and rows


@dataclass(frozen=True)
class LineProfile:
    """The mean of the good pixels of every line, in blocks along it: columns (`axis` 0, the
    blocks are runs of rows) or rows (`axis` 1).

    Attributes
    ----------
    means, counts : ndarray, shape (blocks, lines)
        Mean and number of the good pixels of each block of each line (mean 0 where none).
    edges : ndarray of int
        The blocks' boundaries along the lines.
    axis : int
    """

    means: np.ndarray
    counts: np.ndarray
    edges: np.ndarray
    axis: int

    def seen(self, min_fraction: float = 0.25) -> np.ndarray:
        """The blocks with at least `min_fraction` of their pixels good."""
        return self.counts >= min_fraction * np.diff(self.edges)[:, None]

    def levels(self, min_blocks: int = 1) -> np.ndarray:
        """Each line's level: the median of the means of its :meth:`seen` blocks (NaN for a
        line with fewer than `min_blocks` of them). A star, a cosmic ray or a crossing streak
        moves a few blocks' means, hardly their median."""
        seen = self.seen()
        level = masked_median(self.means, seen, axis=0)
        level[seen.sum(axis=0) < min_blocks] = np.nan
        return level

    def level_noise(self, sigma: float) -> np.ndarray:
        """The noise of each line's level, for pixels of noise `sigma`."""
        return MEDIAN_NOISE * sigma / np.sqrt(np.maximum(self.counts.sum(axis=0), 1))


def line_profile(data: np.ndarray, good: np.ndarray, axis: int, *, block: int = 64,
                 clip: float | None = None) -> LineProfile:
    """The :class:`LineProfile` of the `good` pixels of `data` along `axis`, in blocks of
    about `block` pixels, with values limited to +-`clip` when given.

    Examples
    --------
    >>> data = np.zeros((256, 3)); data[:, 1] = 2.0; data[:64, 2] = 5.0
    >>> p = line_profile(data, np.ones(data.shape, bool), 0, block=128)
    >>> p.means[[0, 1, -1]].tolist(), p.levels().tolist()
    ([[0.0, 2.0, 5.0], [0.0, 2.0, 5.0], [0.0, 2.0, 0.0]], [0.0, 2.0, 0.0])
    """
    return _profile(data, good, axis, block, clip=clip)


# Pixels of a block of rows read at a time for a line profile.
PROFILE_CHUNK = 2**17


def _profile(data, good, axis, block, *, clip=None, shift=None):
    """The :class:`LineProfile` of the `good` pixels of `data` (whatever the others hold), with
    values limited to +-`clip` and less `shift` (a level per column) when given, summed in
    double precision. A short line gets shorter blocks, down to 8 pixels, so that its median
    runs over enough of them. The image is read a block of rows at a time: no full-size copy
    is made."""
    (ny, nx), n = data.shape, data.shape[axis]
    blocks = max(1, round(n / block), min(16, n // 8))
    edges = np.linspace(0, n, blocks + 1).astype(int)
    if axis == 0:
        chunks = edges
        sums, counts = np.empty((blocks, nx)), np.empty((blocks, nx), np.int32)
    else:
        chunks = np.append(np.arange(0, ny, max(1, PROFILE_CHUNK // nx)), ny)
        sums, counts = np.empty((ny, blocks)), np.empty((ny, blocks), np.int32)
    for k, (r0, r1) in enumerate(zip(chunks[:-1], chunks[1:])):
        seen = good[r0:r1]
        values = data[r0:r1].astype(np.float64)
        if shift is not None:
            values -= shift
        if clip is not None:
            np.clip(values, -clip, clip, out=values)
        np.copyto(values, 0.0, where=~seen)
        if axis == 0:
            sums[k] = values.sum(axis=0)
            counts[k] = seen.sum(axis=0, dtype=np.int32)
        else:
            sums[r0:r1] = _block_sums(values, edges)
            counts[r0:r1] = _block_sums(seen.view(np.uint8), edges, np.int32)
    if axis == 1:
        sums, counts = sums.T, counts.T
    return LineProfile(sums / np.maximum(counts, 1), counts, edges, axis)


def _block_sums(array, edges, dtype=None):
    """Sums of `array` over the blocks [edges[k], edges[k + 1]) along its rows."""
    sizes = np.diff(edges)
    if (sizes == sizes[0]).all():
        return array.reshape(array.shape[0], len(sizes), -1).sum(axis=2, dtype=dtype)
    return np.add.reduceat(array, edges[:-1], axis=1, dtype=dtype)


def defect_lines(data: np.ndarray, good: np.ndarray, sigma: float, *, significance: float = 6.0,
                 min_offset: float = 0.5, trend: int = 15, max_width: int = 1,
                 block: int = 64) -> np.ndarray:
    """Columns and rows, or long narrow pieces of them, that are not sky.

    `data` is background-subtracted, with noise `sigma`; values are limited to +-5 sigma, so
    that a star adds little to a line. A line is masked whole when its level (see
    :class:`LineProfile`) stands apart from the running median of the levels of `trend` lines
    around it by `significance` times its noise, and no more than `max_width` lines side by
    side do: hot, low and dead columns are narrow, a streak along a line is as wide as a star
    (strips along the borders are :func:`edge_strips`). A piece of a line is masked when the
    means of at least two successive blocks stand apart, on the same side, from the running
    median of their neighbours by `significance` times their noise and `min_offset` sigma,
    again in runs of at most `max_width` lines. The blocks at either end of a piece are masked
    too, as its ends lie inside them.

    Examples
    --------
    >>> data = np.random.default_rng(0).normal(0.0, 1.0, (512, 200))
    >>> data[:, 50] += 3.0                       # a hot column
    >>> data[330:, 120] += 2.0                   # a hot piece of a column
    >>> mask = defect_lines(data, np.ones(data.shape, bool), 1.0)
    >>> [int(c) for c in np.flatnonzero(mask.any(axis=0))], int(np.flatnonzero(mask[:, 120])[0])
    ([50, 120], 288)
    """
    mask = np.zeros(data.shape, bool)
    for axis in (0, 1):
        profile = _profile(data, good, axis, block, clip=5.0 * sigma)
        level = profile.levels()
        known = np.isfinite(level)
        if known.sum() < 3:
            continue
        filled = np.interp(np.arange(level.size), np.flatnonzero(known), level[known])
        local = ndimage.median_filter(filled, size=trend, mode="nearest")
        threshold = significance * profile.level_noise(sigma)
        deviation = filled - local
        apart = known & (np.abs(deviation) > threshold) & _sharp(deviation[None])[0]
        lines = np.flatnonzero(_narrow(apart[None], max_width)[0])
        _paint_whole(mask, axis, lines)
        _paint_pieces(mask, profile, sigma, significance, min_offset, trend, max_width)
    return mask


def _paint_pieces(mask, profile, sigma, significance, min_offset, trend, max_width):
    """Mask the narrow, uniform pieces of lines that a :class:`LineProfile` shows (see
    :func:`defect_lines`)."""
    means, counts = profile.means, profile.counts
    if means.shape[0] < 2:
        return
    limit = np.maximum(significance * sigma / np.sqrt(np.maximum(counts, 1)), min_offset * sigma)
    # The running median of the neighbours is needed only where a block stands apart from its
    # whole row of blocks by half the limit.
    rough = means - np.median(means, axis=1, keepdims=True)
    block, line = np.nonzero(profile.seen() & (np.abs(rough) > 0.5 * limit))
    window = np.clip(line[:, None] + np.arange(trend) - trend // 2, 0, means.shape[1] - 1)
    deviation = means[block, line] - np.median(means[block[:, None], window], axis=1)
    hit = np.abs(deviation) > limit[block, line]
    hit &= _sharp(rough)[block, line]
    sign = np.zeros(means.shape, np.int8)
    sign[block[hit], line[hit]] = np.sign(deviation[hit])
    for s in (1, -1):
        side = sign == s
        side &= _narrow(side, max_width)
        # At least two successive blocks of the same line.
        both = side[1:] & side[:-1]
        keep = np.zeros_like(side)
        keep[1:] |= both
        keep[:-1] |= both
        # The blocks at the ends of a piece hold its ends.
        grown = keep.copy()
        grown[1:] |= keep[:-1]
        grown[:-1] |= keep[1:]
        block, line = np.nonzero(grown)
        _paint(mask, profile.axis, line, profile.edges[block], profile.edges[block + 1])


def _sharp(deviation, ratio=0.5):
    """Where a line's `deviation` (last axis: lines side by side) exceeds that of either
    neighbour, taken on the same side, by more than 1 / `ratio` times. A defect stops at its
    line; a trail along a line spreads over the stars' width, and the line beside its crest
    keeps well over half of it."""
    side = np.sign(deviation)
    padded = np.pad(deviation, [(0, 0)] * (deviation.ndim - 1) + [(1, 1)])
    limit = ratio * np.abs(deviation)
    return (padded[..., :-2] * side < limit) & (padded[..., 2:] * side < limit) & (side != 0)


def _narrow(flags, max_width):
    """The runs of True along the last axis of `flags` at most `max_width` long."""
    line, start, stop = _runs(flags, 1)
    out = np.zeros_like(flags)
    keep = stop - start <= max_width
    _paint(out, 1, line[keep], start[keep], stop[keep])
    return out


def edge_strips(image: np.ndarray, good: np.ndarray, sigma: float, *, offset: float = 4.0,
                reach: float = 0.25, block: int = 64) -> np.ndarray:
    """Strips of columns or rows along the borders of the image that are not sky: overscan and
    prescan, an amplifier's bright edge.

    The levels of the lines of the `image` itself (see :class:`LineProfile`; no background is
    taken off, which might follow a strip) are read from each border inward. A strip ends at a
    step, within `reach` of the image, between two neighbouring lines of more than `offset`
    sigma, beyond which the median of its lines lies more than `offset` sigma from the
    following lines; it goes on over the lines beyond that still lie `offset` sigma from the
    sky. Vignetting and gradients change the sky smoothly, without such steps.

    Examples
    --------
    >>> image = np.random.default_rng(0).normal(1000.0, 10.0, (200, 300))
    >>> image[:, 280:] = 400.0 + np.random.default_rng(1).normal(0.0, 3.0, (200, 20))
    >>> image[:, 274:280] += 50.0 * np.arange(1, 7)                     # a glowing edge
    >>> mask = edge_strips(image, np.ones(image.shape, bool), 10.0)
    >>> [int(c) for c in np.flatnonzero(mask.all(axis=0))] == list(range(274, 300))
    True
    """
    mask = np.zeros(image.shape, bool)
    for axis in (0, 1):
        # Every fourth pixel along the lines: the steps sought are many times their noise.
        along = (slice(None, None, 4), slice(None)) if axis == 0 else (slice(None),
                                                                      slice(None, None, 4))
        values, seen = image[along], good[along]
        level = _profile(values, seen, axis, block // 4).levels()
        known = np.flatnonzero(np.isfinite(level))
        if known.size < 8:
            continue
        for side in (1, -1):
            lines = known if side > 0 else known[::-1]
            ends = _strip_end(level[lines], sigma, offset, int(reach * level.size))
            _paint_whole(mask, axis, lines[:ends])
    return mask


def _strip_end(level, sigma, offset, reach, trend=15):
    """How many of the first lines of `level` form a strip (see :func:`edge_strips`): up to
    the farthest step that parts it from the sky, and on over the lines that still lie
    `offset` sigma from the sky beyond (the fading glow of an amplifier's edge)."""
    steps = np.flatnonzero(np.abs(np.diff(level[: reach + 1])) > offset * sigma)
    for j in steps[::-1]:
        following = level[j + 1: j + 1 + trend]
        if following.size and abs(np.median(level[: j + 1]) - np.median(following)) > \
                offset * sigma:
            sky = np.median(level[j + 1: j + 1 + 4 * trend])
            near = np.flatnonzero(np.abs(level[j + 1:] - sky) <= offset * sigma)
            return int(j + 1 + (near[0] if near.size else 0))
    return 0


def cold_pixels(data: np.ndarray, good: np.ndarray, sigma: float,
                limit: float = 8.0) -> np.ndarray:
    """Good pixels more than `limit` sigma below the sky: dead pixels, holes filled with zeros.
    Noise never reaches there, and no source is darker than the sky.

    Examples
    --------
    >>> data = np.zeros((3, 3)); data[1, 1] = -20.0
    >>> cold_pixels(data, np.ones((3, 3), bool), 1.0).sum()
    np.int64(1)
    """
    return good & (data < -limit * sigma)


def axis_structure(data: np.ndarray, good: np.ndarray, sigma: float, *,
                   significance: float = 4.0, trend: int = 15, block: int = 64):
    """Residual background along the detector axes: the smooth part of the levels of the
    columns and of the rows of the background-subtracted `data`, where it stands out from 0.

    Raw frames carry structure that a mesh of cells cannot follow: the glow towards an
    amplifier edge, a bias step, vignetting along one side. Each line's level (see
    :class:`LineProfile`) is smoothed by a running median over `trend` lines, which keeps such
    structure and drops a streak along the line (no wider than a few lines), and it is taken
    where it differs from 0 by more than `significance` times its noise. A streak crossing the
    lines at an angle moves a few of each line's blocks, hardly their median.

    Returns
    -------
    columns, rows : ndarray
        Levels to subtract from each column and from each row.

    Examples
    --------
    >>> rows, cols = np.mgrid[:200, :300]
    >>> data = np.random.default_rng(0).normal(0.0, 1.0, (200, 300))
    >>> data += 2.0 * np.exp(-cols / 15.0)           # a glow along the left edge
    >>> data[:, 150:153] += 1.0                      # a streak along a column
    >>> columns, rows = axis_structure(data, np.ones(data.shape, bool), 1.0)
    >>> bool(abs(columns[0] - 2.0) < 0.3), float(columns[151]), bool(np.abs(rows).max() < 0.1)
    (True, 0.0, True)
    """
    out = []
    for axis in (0, 1):
        # The rows are measured with the columns' levels taken off.
        profile = _profile(data, good, axis, block, shift=out[0] if out else None)
        level = profile.levels()
        known = np.isfinite(level)
        if known.sum() < trend:
            out.append(np.zeros(level.size))
            continue
        filled = np.interp(np.arange(level.size), np.flatnonzero(known), level[known])
        smooth = ndimage.median_filter(filled, size=trend, mode="nearest")
        # Near the ends the window repeats the end line, which can take the median alone: count
        # only the lines of a window centred on the line.
        i = np.arange(level.size)
        distinct = 2 * np.minimum(np.minimum(i, level.size - 1 - i), trend // 2) + 1
        noise = MEDIAN_NOISE * profile.level_noise(sigma) / np.sqrt(distinct)
        out.append(np.where(np.abs(smooth) > significance * noise, smooth, 0.0))
    return out[0], out[1]
