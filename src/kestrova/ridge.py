"""The cross-profile of a line segment in an image, and the ridge a trail makes in it: centre,
width, how far it stands above the noise, the crest line through it, and the signal it holds
per unit length.

Excluded pixels (masked or blanked) are missing data throughout.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from scipy.optimize import curve_fit, least_squares
from scipy.special import gammaln

from .lines import along, point, strip
from .psf import FWHM_PER_SIGMA

__all__ = ["CrossProfile", "Ridge", "across_sums", "cross_profile", "ridge", "core_width",
           "side_levels", "crest", "flux_per_length", "profile_integral", "REACH",
           "APERTURE_FWHM"]

# The side bands of a ridge lie this many half-widths (at half maximum) from its centre, and at
# least this many pixels: far enough that a trail's own wings do not reach them.
SIDE_BAND = (3.0, 6.0)
SIDE_BAND_MIN = (5.0, 10.0)
# How far across the line the cross-profile is taken, and at most for a broad ridge (pixels).
REACH = 30.0
MAX_REACH = 200.0
# The profile's signal integrated over this many FWHM on either side of the centre is the
# trail's total signal per unit length (a Gaussian holds all but 1e-7 of it; a Moffat wing with
# beta 2.5, about 97 %).
APERTURE_FWHM = 2.5
# Width (pixels) of the bands beside the aperture whose level is the local sky, and the clip
# (sigma about their median) of the pixels that count in it.
SKY_BAND = 8.0
SKY_CLIP = 3.0
# A fitted profile's integral is taken unless its error exceeds the aperture's this many times
# (on a Moffat trail of index 2 it is about 1.7 times; on a Gaussian, 0.8).
MAX_FIT_ERROR = 3.0


@dataclass(frozen=True)
class CrossProfile:
    """Mean pixel value (in units of the noise) in bins of the across-line distance.

    Attributes
    ----------
    offset : ndarray
        Bin centres, pixels across the line (positive on the side of the normal
        (sin theta, -cos theta)).
    mean : ndarray
        Mean value in each bin, NaN where the bin has no valid pixel.
    count : ndarray of int
        Valid pixels in each bin.
    """

    offset: np.ndarray
    mean: np.ndarray
    count: np.ndarray


@dataclass(frozen=True)
class Ridge:
    """The ridge of a cross-profile: centre offset, full width at half maximum, peak (noise
    units), and the half-width out to which it stays above the noise."""

    centre: float
    fwhm: float
    peak: float
    extent: float


def cross_profile(data, excluded, sigma, r, theta, a, b, *, reach=30.0, step=1.0,
                  clip=np.inf):
    """The cross-profile of the segment [a, b] of the line (r, theta) out to `reach` pixels,
    each value limited to +-`clip` sigma.

    Examples
    --------
    >>> data = np.zeros((40, 60)); data[19:22] = [[1.0], [2.0], [1.0]]
    >>> p = cross_profile(data, data < -1, 1.0, -0.5, 0.0, -20.0, 20.0, reach=2.5)  # row 20
    >>> p.offset.tolist(), p.mean.tolist()
    ([-2.0, -1.0, 0.0, 1.0, 2.0], [0.0, 1.0, 2.0, 1.0, 0.0])
    """
    n = int(round(2 * reach / step))
    count, total = across_sums(data, excluded, sigma, r, theta, a, b, reach, step, n, clip=clip)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.where(count > 0, total / count, np.nan)
    return CrossProfile(-reach + (np.arange(n) + 0.5) * step, mean, count)


def across_sums(data, excluded, sigma, r, theta, a, b, reach, step, n, piece=256.0,
                clip=np.inf, chunks=1):
    """Count and sum (in units of the noise, each value limited to +-`clip`) of the valid pixels
    within `reach` of the segment [a, b] of the line (r, theta), in `n` bins of `step` pixels
    across it from -`reach`; with `chunks` > 1, also in that many equal parts along it (arrays
    of shape (n, chunks)).

    Gathered a `piece` of the segment at a time, so that a long line with a wide reach needs
    no more memory than a short one.
    """
    count, total = np.zeros(n * chunks, np.intp), np.zeros(n * chunks)
    for lo in np.arange(a, b, piece) if b > a else ():
        rows, cols, d, m = strip(data.shape, r, theta, lo, min(lo + piece, b), reach)
        # Pieces meet at one position: a pixel exactly there belongs to the later piece.
        valid = ~excluded[rows, cols] & ((m < lo + piece) | (lo + piece >= b))
        k = np.clip(np.floor((d[valid] + reach) / step).astype(np.intp), 0, n - 1)
        if chunks > 1:
            part = ((m[valid] - a) / (b - a) * chunks).astype(np.intp)
            k = k * chunks + np.clip(part, 0, chunks - 1)
        count += np.bincount(k, minlength=n * chunks)
        values = np.clip(data[rows[valid], cols[valid]] / sigma, -clip, clip)
        total += np.bincount(k, values, minlength=n * chunks)
    if chunks > 1:
        return count.reshape(n, chunks), total.reshape(n, chunks)
    return count, total


def ridge(profile: CrossProfile, *, search=4.0, floor=1.0) -> Ridge:
    """The highest bin within `search` pixels of the line, the run of bins above half its value
    around it (centroid and width), and how far out the profile stays above `floor`.

    Examples
    --------
    >>> x = np.arange(-9.5, 10.0)
    >>> p = CrossProfile(x, 8.0 * np.exp(-0.5 * ((x - 1.0) / 1.5) ** 2), np.ones(20, int))
    >>> rd = ridge(p)
    >>> round(rd.centre, 2), round(rd.fwhm, 1), round(rd.peak, 2), rd.extent
    (1.0, 3.7, 7.57, 3.5)
    """
    m = np.nan_to_num(profile.mean)
    x = profile.offset
    near = np.flatnonzero(np.abs(x) <= search)
    if near.size == 0:
        return Ridge(0.0, 0.0, 0.0, 0.0)
    i = near[np.argmax(m[near])]
    peak = float(m[i])
    lo, hi = _run_above(m, i, 0.5 * peak)
    weights = np.maximum(m[lo:hi + 1], 0.0)
    centre = float(np.dot(x[lo:hi + 1], weights) / weights.sum()) if weights.sum() > 0 else 0.0
    step = float(x[1] - x[0]) if x.size > 1 else 1.0
    lo_f, hi_f = _run_above(m, i, floor)
    extent = max(x[i] - x[lo_f], x[hi_f] - x[i]) + 0.5 * step
    fwhm = _crossing(x, m, hi, hi + 1, 0.5 * peak) - _crossing(x, m, lo, lo - 1, 0.5 * peak)
    return Ridge(centre, float(fwhm), peak, float(extent))


def core_width(data, excluded, sigma, r, theta, a, b, *, reach=6.0, step=0.5):
    """FWHM of the Gaussian fitted to the ridge's core, and the significance of its amplitude.

    The pixels of a line at an angle to the pixel grid lie at every sub-pixel distance from it:
    in bins of half a pixel their profile resolves ridges narrower than a pixel or two, which
    the crossings of :func:`ridge` (whole-pixel bins) cannot. (nan, 0) when the fit fails.

    Examples
    --------
    >>> from kestrova.lines import across, to_frame
    >>> rows, cols = np.mgrid[:100, :200]
    >>> r, theta = 3.0, 1.4                                      # a line off the pixel grid
    >>> d = across(r, theta, *to_frame((100, 200), cols, rows))
    >>> data = np.random.default_rng(0).normal(0.0, 1.0, (100, 200))
    >>> data += 5.0 * np.exp(-0.5 * (d / 0.6) ** 2)              # a track 1.4 px wide
    >>> width, significance = core_width(data, data < -99, 1.0, r, theta, -60.0, 60.0)
    >>> round(width, 1), significance > 20
    (1.4, True)
    """
    profile = cross_profile(data, excluded, sigma, r, theta, a, b, reach=reach, step=step)
    use = profile.count > 0
    x, m, n = profile.offset[use], profile.mean[use], profile.count[use]
    if x.size < 5 or not np.nanmax(m) > 0:
        return float("nan"), 0.0

    def model(x, amplitude, centre, s, level):
        return amplitude * np.exp(-0.5 * ((x - centre) / s) ** 2) + level

    try:
        (amplitude, _, s, _), cov = curve_fit(
            model, x, m, p0=(float(m.max()), 0.0, 1.0, 0.0), sigma=1.0 / np.sqrt(n),
            absolute_sigma=True, maxfev=400)
    except (RuntimeError, ValueError):
        return float("nan"), 0.0
    error = np.sqrt(cov[0, 0]) if np.isfinite(cov[0, 0]) and cov[0, 0] > 0 else np.inf
    return float(FWHM_PER_SIGMA * abs(s)), float(amplitude / error)


def _crossing(x, m, inside, outside, level):
    """Where the profile falls to `level` between the bins `inside` (above) and `outside`
    (at or below, or beyond the profile's end), linearly interpolated."""
    step = x[1] - x[0] if x.size > 1 else 1.0
    if not 0 <= outside < x.size:
        return float(x[inside] + 0.5 * step * np.sign(outside - inside))
    fraction = (m[inside] - level) / (m[inside] - m[outside])
    return float(x[inside] + fraction * (x[outside] - x[inside]))


def _run_above(values, i, level):
    """First and last index of the run of `values` above `level` that holds `i`."""
    below = values <= level
    lo = i - np.argmax(np.append(below[i::-1], True)) + 1
    hi = i + np.argmax(np.append(below[i:], True)) - 1
    return int(min(lo, i)), int(max(hi, i))


def side_levels(profile: CrossProfile, rd: Ridge):
    """Mean level of the two side bands of a ridge (those that hold valid pixels)."""
    half = 0.5 * max(rd.fwhm, 1.0)
    inner = max(SIDE_BAND[0] * half, SIDE_BAND_MIN[0])
    outer = max(SIDE_BAND[1] * half, SIDE_BAND_MIN[1])
    d = profile.offset - rd.centre
    levels = []
    for sign in (-1.0, 1.0):
        sel = (sign * d >= inner) & (sign * d < outer) & (profile.count > 0)
        if sel.any():
            levels.append(float(np.average(profile.mean[sel], weights=profile.count[sel])))
    return levels


def crest(data, excluded, sigma, r, theta, a, b, *, iterations=4, tolerance=0.2):
    """The line along the crest of the ridge near the segment [a, b] of (r, theta), and the
    segment's ends on it: the line through the ridge centres of the segment's two halves.

    The band of a wide trail's best line need not follow its crest: a few pixels of offset or
    tilt hardly change what a 2-pixel band holds inside a 25-pixel-wide trail.

    Examples
    --------
    >>> rows, cols = np.arange(100.0)[:, None], np.arange(200.0)
    >>> data = np.exp(-0.5 * ((rows - 49.5 - 0.02 * (cols - 99.5)) / 4.0) ** 2)  # tilted
    >>> r, theta, a, b = crest(data, data < -1, 1.0, 3.0, 0.0, -80.0, 80.0)
    >>> round(abs(r), 2), round(theta, 2)
    (0.0, 0.02)
    """
    whole = ridge(cross_profile(data, excluded, sigma, r, theta, a, b, reach=REACH))
    if not whole.peak > 0:
        return r, theta, a, b
    r += whole.centre
    window = max(2.0, 1.25 * whole.fwhm)
    for _ in range(iterations):
        mid = 0.5 * (a + b)
        halves = [(a, mid), (mid, b)]
        centres = [_centroid(data, excluded, r, theta, lo, hi, window) for lo, hi in halves]
        if any(c is None for c in centres):
            break
        if max(abs(c) for c in centres) < tolerance:
            break
        (x1, y1), (x2, y2) = (point(r + c, theta, 0.5 * (lo + hi))
                              for c, (lo, hi) in zip(centres, halves))
        ends = [point(r, theta, t) for t in (a, b)]
        theta = float(np.arctan2(y2 - y1, x2 - x1))
        r = float(np.sin(theta) * x1 - np.cos(theta) * y1)
        a, b = sorted(float(along(theta, *e)) for e in ends)
    return r, theta, a, b


def _centroid(data, excluded, r, theta, a, b, window):
    """Across-line centroid of the positive valid pixels within `window` of the line over
    [a, b], or None when there are none."""
    rows, cols, d, _ = strip(data.shape, r, theta, a, b, window)
    valid = ~excluded[rows, cols]
    weight = np.maximum(data[rows[valid], cols[valid]], 0.0)
    total = weight.sum()
    return float(np.dot(d[valid], weight) / total) if total > 0 else None


def flux_per_length(data, excluded, sigma, r, theta, a, b, fwhm):
    """The trail's total signal per unit length and its noise: the integral of the profile
    fitted to the valid pixels within `APERTURE_FWHM` FWHM of the line over [a, b] and the bands
    beside them (:func:`profile_integral`). Where the fit fails, or leaves the signal far less
    certain than the plain aperture does (a faint trail, whose wings it cannot pin down), the
    aperture's: the mean of its pixels above the level of the bands beside it (the local sky:
    the background mesh under a bright trail is raised by it), times the number of pixels per
    unit length. Excluded pixels are missing, not zero; so are the pixels that stand out by
    `SKY_CLIP` sigma, from the sky bands' median or from the trail's expected profile.

    Examples
    --------
    >>> rows = np.arange(60.0)[:, None]
    >>> data = 0.3 + np.zeros((60, 200)) + 3.0 * np.exp(-0.5 * ((rows - 30) / 1.2) ** 2)
    >>> f, err = flux_per_length(data, data < -1, 1.0, -0.5, 0.0, -80, 80, 2.8)
    >>> round(float(f / (3.0 * 1.2 * np.sqrt(2 * np.pi))), 3)
    1.0
    """
    half = APERTURE_FWHM * max(fwhm, 1.0)
    rows, cols, d, _ = strip(data.shape, r, theta, a, b, half + SKY_BAND)
    valid = ~excluded[rows, cols]
    inner = np.abs(d) < half
    aperture, sky = valid & inner, valid & ~inner
    n, m = int(aperture.sum()), int(sky.sum())
    if n == 0 or m == 0 or not b > a:
        return 0.0, float("inf")
    density = inner.sum() / (b - a)
    # Clipped about the median: a star or a galaxy beside the trail, in a sky band, would
    # raise a plain mean.
    values = data[rows[sky], cols[sky]]
    clear = np.abs(values - np.median(values)) < SKY_CLIP * sigma
    level = float(values[clear].mean()) if clear.any() else 0.0
    inside = data[rows[aperture], cols[aperture]]
    # The aperture leaves out alike what stands out of the trail's expected profile (a
    # Gaussian of the plain aperture's flux): left in, the faint stars that the sky bands leave
    # out read as the trail's signal, some 5 % of a long, faint trail's. Its mean counts those
    # pixels at that profile.
    expected = level + (inside.mean() - level) * density * _moffat(d[aperture], max(fwhm, 1.0),
                                                                   0.0)
    kept = np.abs(inside - expected) < SKY_CLIP * sigma
    signal = np.where(kept, inside, expected).mean() - level
    flux, error = signal * density, sigma * np.sqrt(1.0 / n + 1.0 / m) * density
    used = np.zeros_like(aperture)
    used[np.flatnonzero(aperture)[kept]] = True
    used[np.flatnonzero(sky)[clear]] = True
    fitted = profile_integral(d[used], data[rows[used], cols[used]], sigma, fwhm,
                              half + SKY_BAND)
    # A pixel is a unit of area: the profile's integral is the signal per unit length. Chosen
    # whenever the fit holds, not by the smaller error: the fit's error grows with the wings it
    # finds, and choosing by it would bias the flux.
    if fitted is not None and fitted[1] < MAX_FIT_ERROR * error:
        return fitted
    return float(flux), float(error)


def profile_integral(offset, values, sigma, fwhm, reach, step=0.5):
    """Integral of the profile fitted to pixel `values` (noise `sigma`) at distances `offset`
    across a line, out to `reach`, and its noise: the mean in bins of `step` pixels fitted by a
    level and a Moffat cross-profile of free centre, width and index, from 1.5 (wide wings) to
    infinity (a Gaussian); None when the fit fails.

    A trail's cross-profile is its source's blur integrated along the trail: for a Moffat blur
    of index beta a Moffat of index beta - 1/2, for a Gaussian a Gaussian. Its wings hold a few
    per cent of the signal beyond an aperture of a few FWHM, and the model takes them from the
    core, which the aperture measures with the noise of all its pixels.

    Examples
    --------
    >>> d = np.linspace(-15.0, 15.0, 3001)
    >>> gaussian = 0.2 + 4.0 / (np.sqrt(2 * np.pi) * 1.3) * np.exp(-0.5 * (d / 1.3) ** 2)
    >>> [round(v, 3) for v in profile_integral(d, gaussian, 1.0, 3.0, 15.0)]
    [4.0, 0.301]
    """
    edges = np.arange(-reach, reach + step, step)
    k = np.clip(np.searchsorted(edges, offset, side="right") - 1, 0, edges.size - 2)
    count = np.bincount(k, minlength=edges.size - 1)
    seen = count > 0
    if np.count_nonzero(seen) < 8:
        return None
    x = (0.5 * (edges[:-1] + edges[1:]))[seen]
    y = np.bincount(k, values, minlength=edges.size - 1)[seen] / count[seen]
    weight = np.sqrt(count[seen]) / sigma
    fwhm = max(fwhm, 1.0)

    def residual(p):
        return (p[0] + p[1] * _moffat(x - p[2], p[3], p[4]) - y) * weight

    start = (0.0, max(float(np.sum(y * step)), sigma), 0.0, fwhm, 1.0 / 3.0)
    lower, upper = (-np.inf, -np.inf, -fwhm, 0.5, 0.0), (np.inf, np.inf, fwhm, 4.0 * fwhm + 5.0,
                                                         1.0 / 1.5)
    try:
        fit = least_squares(residual, np.clip(start, lower, upper), bounds=(lower, upper))
        # A pseudo-inverse: at a Gaussian the index moves the model by nothing.
        cov = np.linalg.pinv(fit.jac.T @ fit.jac)
    except (ValueError, np.linalg.LinAlgError):
        return None
    error = float(np.sqrt(cov[1, 1])) if cov[1, 1] > 0 else np.inf
    return (float(fit.x[1]), error) if fit.success and np.isfinite(error) else None


def _moffat(d, fwhm, inverse_index):
    """Moffat profile of unit integral, FWHM `fwhm` and index 1 / `inverse_index` (a Gaussian at
    0)."""
    if inverse_index < 1e-6:
        s = fwhm / FWHM_PER_SIGMA
        return np.exp(-0.5 * (d / s) ** 2) / (np.sqrt(2.0 * np.pi) * s)
    index = 1.0 / inverse_index
    alpha = 0.5 * fwhm / np.sqrt(np.expm1(np.log(2.0) * inverse_index))
    norm = alpha * np.sqrt(np.pi) * np.exp(gammaln(index - 0.5) - gammaln(index))
    return np.exp(-index * np.log1p((d / alpha) ** 2)) / norm
