"""The saturation level, and the masks of saturated and bright stars with their bleed columns,
halos and diffraction spikes along the detector axes, found from the data alone.

A streak search sums pixels along lines: a spike along a row or a column, or a halo spreading far
around a bright star, raises lines that hold no streak.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import NamedTuple

import numpy as np

from .defects import dither
from .masks import paint_box, paint_disks, sparse_label
from .stats import MEDIAN_NOISE, masked_median, robust_sigma, subsample

__all__ = ["saturation_level", "bright_stars", "StarMask"]


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


class StarMask(NamedTuple):
    """The mask of :func:`bright_stars`, and the (column, row) centres of the stars with a
    spike seen, shape (2, n)."""

    mask: np.ndarray
    spiked: np.ndarray


def bright_stars(image: np.ndarray, cores: np.ndarray, usable: np.ndarray, sigma: float,
                 step: float = 0.0, *, follow: float = np.inf, halo_level: float = 0.2,
                 halo_margin: float = 0.2, spike_level: float = 2.0,
                 margin: float = 2.0) -> StarMask:
    """Bright stars with their bleed columns, halos and diffraction spikes.

    Each connected region of `cores` (the saturated pixels of a star with its bleed columns, or
    the brightest pixels of a star) is masked with the halo around it and the spikes along the
    detector axes through it, as far as the `image` (of noise `sigma`, quantised by `step`)
    shows them. The halo reaches to the radius r where the median of a ring comes within
    `halo_level` sigma of the sky around the star, or of the rings 1.5 to 2 times as far out
    (a sky that curves around the star), a limit that grows as (r / `follow`)**2
    beyond `follow` pixels (where a background mesh follows the gentle curve of a halo: 1.5
    cells, say), but no farther than 16 core radii and 32 pixels; it is masked `halo_margin` of
    its radius beyond. Each spike reaches to where its excess over the pixels beside it falls
    below `spike_level` times its noise, and is masked a third of its length beyond. Pixels not
    `usable` (excluded for other reasons) are left out of both measurements. Returns the mask
    and the centres of the stars whose spikes it holds (:class:`StarMask`).

    Examples
    --------
    >>> rng = np.random.default_rng(0)
    >>> yy, xx = np.mgrid[:120, :120]
    >>> star = 50.0 / (1.0 + ((yy - 60) ** 2 + (xx - 60) ** 2) / 9.0) ** 2
    >>> star[59:62, 60:110] += 4.0                                   # a spike to the right
    >>> image = np.minimum(star, 40.0) + rng.normal(100.0, 1.0, star.shape)
    >>> mask, spiked = bright_stars(image, star >= 40.0, np.ones(star.shape, bool), 1.0)
    >>> bool(mask[60, 105]), bool(mask[60, 5]), bool(mask[60, 75]), spiked.round().tolist()
    (True, False, True, [[60.0], [60.0]])
    """
    mask = np.zeros(image.shape, bool)
    stars = _star_cores(cores)
    if stars is None:
        return StarMask(mask, np.zeros((2, 0)))
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
    spiked = np.zeros(stars.x.size, bool)
    for k, d in zip(*np.nonzero(seen)):
        k = bright[k]
        dy, dx = SPIKE_DIRECTIONS[d]
        length = _spike_length(image, usable, sigma, stars.y[k], stars.x[k], dy, dx,
                               stars.half[k], start[k, d], spike_level,
                               reach=start[k, d] + 50.0 * stars.core[k] + 100.0)
        if length > start[k, d]:
            # A spike fades on beyond where it can be told from the noise.
            paint_box(mask, stars.y[k], stars.x[k], dy, dx, 1.3 * length + margin,
                       stars.half[k] + margin)
            spiked[k] = True
    return StarMask(mask, np.array([stars.x[spiked], stars.y[spiked]], dtype=float))


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
    mean, count = _block_means(excess.reshape(n, len(SPIKE_DIRECTIONS), 2, block))
    # Both blocks: a spike runs on, a star beside the halo fills one.
    return (mean > level * sigma * noise / np.sqrt(np.maximum(count, 1))).all(axis=-1)


def _halo_radii(image, usable, sigma, y, x, core, level, follow=np.inf, step=0.0,
                reaches=(16, 64, 256)):
    """For each centre (`y`, `x`): the radius r beyond `core` at which the median of a ring
    falls to within `level` sigma, times (r / `follow`)**2 when that is more, of the local sky
    or of the rings 1.5 r to 2 r out, two rings in a row.

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

    def limit(radius):
        return level * sigma * np.maximum(1.0, (radius / follow) ** 2)

    high = (values > sky + limit(distance))[use]
    total = np.bincount(key, minlength=n * rings).reshape(n, rings)
    above = np.bincount(key, high, minlength=n * rings).reshape(n, rings)
    below = (2 * above <= total) & (total > 0)
    # The plane misses a sky that curves across the window (a vignetted corner beyond the
    # star): the halo then seemed to go on to its cap. A ring that lies within the limit of
    # the rings half again to twice as far out has stopped falling, whatever the plane says;
    # over a baseline in proportion to the radius, a halo's slow tail still falls by most of
    # its level there.
    radii = stride * np.arange(rings)
    medians = _ring_medians((values - sky)[use], key, total)
    with np.errstate(invalid="ignore"):
        below |= medians - _outer_medians(medians) <= limit(radii)
    ends = below[:, :-1] & below[:, 1:] & (radii[:-1] > core[:, None])
    found = ends.any(axis=1) & np.isfinite(sky).all(axis=(1, 2))
    first = stride * np.argmax(ends, axis=1).astype(float)
    return np.where(found & (first <= within * reach), first, np.nan)


def _ring_medians(values, key, total):
    """Per star and ring (shape of `total`, the count of each), the lower median of the
    `values` whose flat (star, ring) index is `key`; NaN for an empty ring."""
    # By value, then by key in a stable sort: a key of 16 bits or fewer is radix-sorted, several
    # times faster than a lexsort of both.
    order = np.argsort(values)
    key = key.astype(np.min_scalar_type(max(int(total.size) - 1, 0)), copy=False)
    ordered = values[order[np.argsort(key[order], kind="stable")]]
    counts = total.ravel()
    first = np.cumsum(counts) - counts
    medians = np.full(counts.size, np.nan)
    some = counts > 0
    medians[some] = ordered[first[some] + (counts[some] - 1) // 2]
    return medians.reshape(total.shape)


def _outer_medians(medians):
    """Per star and ring k, the median of the ring medians from 1.5 k to 2 k, leaving out the
    NaN of empty rings (NaN where the window holds none of them).

    Examples
    --------
    >>> _outer_medians(np.array([[9.0, 8.0, 4.0, 2.0, np.nan, 1.0, 0.0]]))
    array([[nan, 4. , 2. , 0.5, 0. , nan, nan]])
    """
    n, rings = medians.shape
    k = np.arange(rings)
    lo, hi = -(-3 * k // 2), np.minimum(2 * k, rings - 1)
    # All windows at once, each padded with NaN to the widest: sorted, the NaN come last.
    index = lo[:, None] + np.arange(max(int((hi - lo).max()) + 1, 1))
    window = np.where((index <= hi[:, None]) & (k[:, None] > 0),
                      medians[:, np.minimum(index, rings - 1)], np.nan)
    window.sort(axis=2)
    count = np.count_nonzero(~np.isnan(window), axis=2)
    upper = np.take_along_axis(window, (count // 2)[..., None], axis=2)[..., 0]
    lower = np.take_along_axis(window, np.maximum(count - 1, 0)[..., None] // 2, axis=2)[..., 0]
    return np.where(count > 0, 0.5 * (lower + upper), np.nan)


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
    mean, count = _block_means(excess[: n * block].reshape(n, block))
    significant = (count > 0) & (mean > limit / np.sqrt(np.maximum(count, 1)))
    last = -1
    for i, flag in enumerate(significant):
        if flag:
            last = i
        elif i - last > 1:
            break
    return (last + 1) * block


def _block_means(blocks):
    """The mean of the finite values of each block (last axis; 0 where there are none), and
    their number."""
    valid = np.isfinite(blocks)
    count = valid.sum(axis=-1)
    return np.where(valid, blocks, 0.0).sum(axis=-1) / np.maximum(count, 1), count
