"""Satellite trails for the benchmark skies: geometry, cross-profile, brightness along the trail,
and scaling to a chosen integrated signal-to-noise ratio.

A trail is a straight segment whose cross-section is a normalised 1-D profile (Gaussian or
Moffat) of full width at half maximum ``fwhm`` and whose flux per length varies along it. Where
a trail ends inside the frame its end is blurred by a Gaussian of the same width; where it runs
off the frame it is drawn past the edge, so nothing marks the edge. Pixel values are the model
sampled at the pixel centres (x = column, y = row, 0-based).

The integrated signal-to-noise ratio of a trail is that of a matched filter over the whole
trail against the local background noise::

    S/N = sqrt( sum_i s_i**2 / sigma_i**2 )

summed over the pixels i of the frame, with s_i the trail's signal in pixel i and sigma_i**2 the
background variance there (sky photons, read noise and quantisation, in image units). For a
uniform trail of flux per length F and length L in uniform noise sigma this is
``F * sqrt(L / w_eff) / sigma``, where ``w_eff = 1 / integral(P(d)**2 dd)`` is the equivalent
width of the normalised cross-profile P (``2 sqrt(pi) s = 1.505 fwhm`` for a Gaussian of sigma
s), so trails of any width and length compare on one scale.
"""

from __future__ import annotations

from dataclasses import dataclass, replace

import numpy as np
from scipy.special import erf, gammaln

from artefacts import capsule_distance

__all__ = ["Trail", "TrailLook", "cross_profile", "equivalent_width", "brightness_along",
           "chord", "random_segment", "random_look", "extend_to_edges", "render", "matched_snr",
           "truth_of", "draw", "visible"]

FWHM_TO_SIGMA = 1.0 / (2.0 * np.sqrt(2.0 * np.log(2.0)))


@dataclass(frozen=True, eq=False)
class Trail:
    """The truth of one trail drawn into an image (image units).

    Attributes
    ----------
    x0, y0, x1, y1 : float
        Ends of the visible centre line (column, row). An end on the frame (``edge0``,
        ``edge1``) is where the line leaves the image; an end inside is the blurred end's
        half-light point.
    flux_per_length : float
        Mean over the visible trail of the signal per unit length, integrated across the whole
        profile.
    fwhm : float
        Full width at half maximum of the cross-profile, pixels.
    profile : str
        ``"gaussian"`` or ``"moffat"``.
    beta : float
        Moffat index of the cross-profile (unused for a Gaussian).
    snr : float
        Integrated (matched-filter) signal-to-noise ratio of the visible trail.
    brightness : ndarray
        Flux per length at unit steps along the centre line from (x0, y0) to (x1, y1).
    edge0, edge1 : bool
        Whether the start (end) lies on the frame, the trail continuing beyond it.

    Examples
    --------
    >>> t = Trail(0.0, 0.0, 30.0, 40.0, 2.0, 3.0, "gaussian", 0.0, 10.0, np.full(51, 2.0))
    >>> t.length, t.tol, t.flux_between(5.0, 20.0)
    (50.0, 4.5, 2.0)
    """

    x0: float
    y0: float
    x1: float
    y1: float
    flux_per_length: float
    fwhm: float
    profile: str
    beta: float
    snr: float
    brightness: np.ndarray
    edge0: bool = False
    edge1: bool = False

    @property
    def length(self) -> float:
        return float(np.hypot(self.x1 - self.x0, self.y1 - self.y0))

    @property
    def tol(self) -> float:
        """Distance from the centre line within which a detection's ends lie on the trail."""
        return 3.0 + 0.5 * self.fwhm

    def flux_between(self, a: float, b: float) -> float:
        """Mean flux per length between distances `a` and `b` from the start."""
        a, b = sorted((float(np.clip(a, 0.0, self.length)), float(np.clip(b, 0.0, self.length))))
        if b - a < 1.0:
            return float(np.interp(0.5 * (a + b), np.arange(self.brightness.size),
                                   self.brightness))
        t = np.linspace(a, b, int(np.ceil(b - a)) + 1)
        return float(np.mean(np.interp(t, np.arange(self.brightness.size), self.brightness)))


@dataclass(frozen=True, eq=False)
class TrailLook:
    """What a trail looks like before it is scaled to its signal-to-noise ratio.

    Attributes
    ----------
    x0, y0, x1, y1 : float
        Ends of the drawn centre line; an end that runs off the frame lies beyond it.
    fwhm, profile, beta
        Cross-profile, as in :class:`Trail`.
    relative : ndarray
        Relative flux per length at unit steps from (x0, y0) to (x1, y1).
    edge0, edge1 : bool
        Whether the trail runs off the frame at the start (end).
    """

    x0: float
    y0: float
    x1: float
    y1: float
    fwhm: float
    profile: str
    beta: float
    relative: np.ndarray
    edge0: bool = False
    edge1: bool = False

    @property
    def length(self) -> float:
        return float(np.hypot(self.x1 - self.x0, self.y1 - self.y0))

    @property
    def reach(self) -> float:
        """Half-width of the band outside which the profile is negligible (< 1e-4 of peak)."""
        if self.profile == "gaussian":
            return 4.3 * self.fwhm * FWHM_TO_SIGMA + 1.0
        alpha = _moffat_alpha(self.fwhm, self.beta)
        return alpha * np.sqrt(1e4 ** (1.0 / self.beta) - 1.0) + 1.0


def _moffat_alpha(fwhm, beta):
    return 0.5 * fwhm / np.sqrt(2.0 ** (1.0 / beta) - 1.0)


def cross_profile(d, fwhm: float, profile: str = "gaussian", beta: float = 3.0):
    """The normalised cross-profile P(d) (integral 1 over all d) at distances `d` from the line.

    Examples
    --------
    >>> d = np.linspace(-60, 60, 120001)
    >>> [round(float(np.trapezoid(cross_profile(d, 4.0, p, 3.0), d)), 4)
    ...  for p in ("gaussian", "moffat")]
    [1.0, 1.0]
    >>> p = cross_profile(np.array([0.0, 2.0]), 4.0, "moffat", 3.0)
    >>> round(float(p[1] / p[0]), 6)
    0.5
    """
    d = np.asarray(d, dtype=float)
    if profile == "gaussian":
        s = fwhm * FWHM_TO_SIGMA
        return np.exp(-0.5 * (d / s) ** 2) / (np.sqrt(2.0 * np.pi) * s)
    if profile == "moffat":
        alpha = _moffat_alpha(fwhm, beta)
        norm = alpha * np.sqrt(np.pi) * np.exp(gammaln(beta - 0.5) - gammaln(beta))
        return (1.0 + (d / alpha) ** 2) ** -beta / norm
    raise ValueError(f"unknown profile {profile!r}")


def equivalent_width(fwhm: float, profile: str = "gaussian", beta: float = 3.0) -> float:
    """``1 / integral(P**2)``: the width of the box that gives a uniform trail the same
    matched-filter signal-to-noise ratio.

    Examples
    --------
    >>> round(equivalent_width(1.0), 4)   # 2 sqrt(pi) sigma
    1.5054
    """
    d = np.linspace(-50.0 * fwhm, 50.0 * fwhm, 200001)
    return float(1.0 / np.trapezoid(cross_profile(d, fwhm, profile, beta) ** 2, d))


def brightness_along(length: float, rng: np.random.Generator, *, variation: float = 0.3,
                     glints: int = 0) -> np.ndarray:
    """Relative flux per length at unit steps along a trail of `length`, mean 1.

    A smooth variation (a sum of three sinusoids of periods 80-2000 px, scaled so that its
    extreme deviation is +-`variation`) and `glints` short flashes (Gaussian bumps of width
    2-15 px, 1-4 times the mean).

    Examples
    --------
    >>> b = brightness_along(500.0, np.random.default_rng(1), variation=0.6)
    >>> b.size, round(float(b.mean()), 6), bool(b.min() > 0.3)
    (501, 1.0, True)
    """
    t = np.arange(int(np.ceil(length)) + 1, dtype=float)
    smooth = np.zeros_like(t)
    for period in np.exp(rng.uniform(np.log(80.0), np.log(2000.0), 3)):
        smooth += rng.uniform(0.3, 1.0) * np.sin(2 * np.pi * t / period + rng.uniform(0, 2 * np.pi))
    smooth -= smooth.mean()
    extreme = np.abs(smooth).max()
    f = 1.0 + variation * smooth / extreme if extreme > 0 else np.ones_like(t)
    for _ in range(glints):
        centre, width = rng.uniform(0, length), rng.uniform(2.0, 15.0)
        f += rng.uniform(1.0, 4.0) * np.exp(-0.5 * ((t - centre) / width) ** 2)
    return f / f.mean()


def chord(x, y, ux, uy, shape):
    """Parameters (lo, hi) of the points (x, y) + t (ux, uy) inside the frame of pixel centres
    [0, nx - 1] x [0, ny - 1]; lo > hi when the line misses it.

    Examples
    --------
    >>> chord(5.0, 5.0, 1.0, 0.0, (11, 21))
    (-5.0, 15.0)
    """
    ny, nx = shape
    lo, hi = -np.inf, np.inf
    for p, u, n in ((x, ux, nx), (y, uy, ny)):
        if abs(u) < 1e-12:
            if not 0.0 <= p <= n - 1:
                return 1.0, 0.0
            continue
        t0, t1 = (0.0 - p) / u, (n - 1.0 - p) / u
        lo, hi = max(lo, min(t0, t1)), min(hi, max(t0, t1))
    return float(lo), float(hi)


def random_segment(shape, rng: np.random.Generator, *, min_length: float = 50.0):
    """A random visible segment: ``(x0, y0, x1, y1, edge0, edge1)``.

    Edge to edge (40 %), one end inside (30 %) or both inside (30 %); a segment with an end
    inside has a log-uniform length from `min_length` to the chord of its line.

    Examples
    --------
    >>> x0, y0, x1, y1, e0, e1 = random_segment((200, 300), np.random.default_rng(3))
    >>> bool(np.hypot(x1 - x0, y1 - y0) >= 50.0)
    True
    """
    ny, nx = shape
    while True:
        theta = rng.uniform(0.0, np.pi)
        ux, uy = np.cos(theta), np.sin(theta)
        cx, cy = rng.uniform(0, nx - 1), rng.uniform(0, ny - 1)
        lo, hi = chord(cx, cy, ux, uy, shape)
        if hi - lo >= min_length:
            break
    # Positions along the chord run from 0 at its start (x, y) to `total`.
    x, y, total = cx + lo * ux, cy + lo * uy, hi - lo
    kind = rng.choice(3, p=[0.4, 0.3, 0.3])
    if kind == 0:
        a, b = 0.0, total
    else:
        length = np.exp(rng.uniform(np.log(min_length), np.log(total)))
        if kind == 1:
            a, b = (0.0, length) if rng.random() < 0.5 else (total - length, total)
        else:
            a = rng.uniform(0.0, total - length)
            b = a + length
    edge0, edge1 = bool(a <= 0.0), bool(b >= total)
    if rng.random() < 0.5:  # either direction of travel
        a, b, edge0, edge1 = b, a, edge1, edge0
    return (float(x + a * ux), float(y + a * uy), float(x + b * ux), float(y + b * uy),
            edge0, edge1)


def _band(shape, look: TrailLook):
    """Rows, columns, along- and across-line coordinates of the frame's pixels within the
    look's reach of its drawn segment."""
    ny, nx = shape
    length = max(look.length, 1e-9)
    ux, uy = (look.x1 - look.x0) / length, (look.y1 - look.y0) / length
    h = look.reach
    # Step along the axis the line follows more closely; each step meets the band in a short run.
    if abs(ux) >= abs(uy):
        steps = np.arange(max(0, int(np.floor(min(look.x0, look.x1) - h))),
                          min(nx - 1, int(np.ceil(max(look.x0, look.x1) + h))) + 1)
        centre = look.y0 + (steps - look.x0) * uy / ux
        half = int(np.ceil(h / abs(ux))) + 1
        rows = np.round(centre).astype(int)[:, None] + np.arange(-half, half + 1)
        cols = np.broadcast_to(steps[:, None], rows.shape)
    else:
        steps = np.arange(max(0, int(np.floor(min(look.y0, look.y1) - h))),
                          min(ny - 1, int(np.ceil(max(look.y0, look.y1) + h))) + 1)
        centre = look.x0 + (steps - look.y0) * ux / uy
        half = int(np.ceil(h / abs(uy))) + 1
        cols = np.round(centre).astype(int)[:, None] + np.arange(-half, half + 1)
        rows = np.broadcast_to(steps[:, None], cols.shape)
    rows, cols = rows.ravel(), cols.ravel()
    inside = (rows >= 0) & (rows < ny) & (cols >= 0) & (cols < nx)
    rows, cols = rows[inside], cols[inside]
    dx, dy = cols - look.x0, rows - look.y0
    along, across = dx * ux + dy * uy, dx * uy - dy * ux
    keep = (np.abs(across) <= h) & (along >= -h) & (along <= length + h)
    return rows[keep], cols[keep], along[keep], across[keep]


def render(shape, look: TrailLook):
    """The trail's pixels in a frame of `shape`, at unit mean flux per length.

    Returns
    -------
    rows, cols : ndarray of int
    values : ndarray
        relative(t) * P(d) * E(t): relative brightness at the distance t along the line, the
        cross-profile at the distance d from it, and the blurred ends E.

    Examples
    --------
    >>> look = TrailLook(20.0, 30.0, 120.0, 30.0, 3.0, "gaussian", 0.0, np.ones(101))
    >>> rows, cols, values = render((60, 140), look)
    >>> round(float(values.sum()), 3)       # flux per length 1 over a length of 100
    100.0
    """
    rows, cols, along, across = _band(shape, look)
    sigma_end = look.fwhm * FWHM_TO_SIGMA * np.sqrt(2.0)
    ends = 0.5 * (erf(along / sigma_end) - erf((along - look.length) / sigma_end))
    relative = np.interp(along, np.arange(look.relative.size), look.relative)
    return rows, cols, relative * ends * cross_profile(across, look.fwhm, look.profile, look.beta)


def matched_snr(signal, variance) -> float:
    """``sqrt(sum(signal**2 / variance))``: the matched-filter signal-to-noise ratio.

    Examples
    --------
    >>> matched_snr(np.full(100, 0.5), np.full(100, 4.0))
    2.5
    """
    return float(np.sqrt(np.sum(np.square(signal) / variance)))


def truth_of(look: TrailLook, shape, scale: float, snr: float, throughput=None) -> Trail:
    """The :class:`Trail` of `look` drawn at `scale` times its unit flux per length, with
    `throughput` (an image of multipliers, e.g. vignetting, or None) applied to it."""
    length = max(look.length, 1e-9)
    ux, uy = (look.x1 - look.x0) / length, (look.y1 - look.y0) / length
    lo, hi = chord(look.x0, look.y0, ux, uy, shape)
    a, b = max(lo, 0.0), min(hi, length)
    t = a + np.arange(int(np.floor(b - a)) + 1)
    brightness = scale * np.interp(t, np.arange(look.relative.size), look.relative)
    if throughput is not None:
        xs, ys = look.x0 + t * ux, look.y0 + t * uy
        ny, nx = shape
        brightness *= throughput[np.clip(np.round(ys).astype(int), 0, ny - 1),
                                 np.clip(np.round(xs).astype(int), 0, nx - 1)]
    return Trail(float(look.x0 + a * ux), float(look.y0 + a * uy), float(look.x0 + b * ux),
                 float(look.y0 + b * uy), float(np.mean(brightness)), look.fwhm, look.profile,
                 look.beta, float(snr), brightness, look.edge0, look.edge1)


def draw(look: TrailLook, shape, snr: float, variance: np.ndarray, throughput=None):
    """Scale `look` to integrated signal-to-noise ratio `snr` against the background
    `variance` (an image, in image units) and return its pixels and its truth.

    Returns
    -------
    rows, cols : ndarray of int
    signal : ndarray
        The trail's signal in those pixels, in image units.
    trail : Trail

    Examples
    --------
    >>> look = TrailLook(20.0, 30.0, 120.0, 30.0, 3.0, "gaussian", 0.0, np.ones(101))
    >>> rows, cols, signal, trail = draw(look, (60, 140), 10.0, np.full((60, 140), 4.0))
    >>> round(matched_snr(signal, 4.0), 6)
    10.0
    >>> round(float(trail.flux_per_length * trail.length / signal.sum()), 3)
    1.0
    """
    rows, cols, values = render(shape, look)
    if throughput is not None:
        values = values * throughput[rows, cols]
    scale = snr / matched_snr(values, variance[rows, cols])
    return rows, cols, scale * values, truth_of(look, shape, scale, snr, throughput)


def extend_to_edges(shape, x0, y0, x1, y1, edge0, edge1, margin):
    """The segment lengthened by `margin` beyond each end that lies on the frame, so that the
    drawn trail shows no end there."""
    length = max(np.hypot(x1 - x0, y1 - y0), 1e-9)
    ux, uy = (x1 - x0) / length, (y1 - y0) / length
    if edge0:
        x0, y0 = x0 - margin * ux, y0 - margin * uy
    if edge1:
        x1, y1 = x1 + margin * ux, y1 + margin * uy
    return x0, y0, x1, y1


def random_look(shape, rng: np.random.Generator, psf_fwhm: float, psf_beta: float, *,
                min_length: float = 50.0) -> TrailLook:
    """A trail on a random segment: mostly of the image's PSF width and profile, one in five
    wider (log-uniform up to 25 px, e.g. a defocused low orbit), with a smooth brightness
    variation up to +-60 % and, for one in three, glints.

    Examples
    --------
    >>> look = random_look((300, 400), np.random.default_rng(2), 3.0, 3.0)
    >>> look.profile in ("gaussian", "moffat"), bool(look.relative.size >= look.length)
    (True, True)
    """
    x0, y0, x1, y1, edge0, edge1 = random_segment(shape, rng, min_length=min_length)
    fwhm = psf_fwhm
    if rng.random() < 0.2:
        fwhm = float(np.exp(rng.uniform(np.log(psf_fwhm * 1.5), np.log(25.0))))
    profile = "gaussian" if rng.random() < 0.5 else "moffat"
    draft = TrailLook(x0, y0, x1, y1, fwhm, profile, psf_beta, np.ones(1))
    x0, y0, x1, y1 = extend_to_edges(shape, x0, y0, x1, y1, edge0, edge1, draft.reach + 2.0)
    length = float(np.hypot(x1 - x0, y1 - y0))
    glints = int(rng.integers(1, 4)) if rng.random() < 1 / 3 else 0
    relative = brightness_along(length, rng, variation=rng.uniform(0.0, 0.6), glints=glints)
    return TrailLook(x0, y0, x1, y1, fwhm, profile, psf_beta, relative, edge0, edge1)


def visible(trail: Trail, pixels, variance: np.ndarray, dead) -> Trail:
    """`trail` with the S/N of what the image shows of it once the capsules `dead`
    (:class:`artefacts.Artefact`: fill values, holes) have replaced the data: that of its
    `pixels` (rows, cols, signal from :func:`draw`) outside them. Its ends stay where it runs,
    as a trail goes on under a strip at the border to the frame's edge.

    Examples
    --------
    >>> from artefacts import column_band
    >>> look = TrailLook(0.0, 30.0, 139.0, 30.0, 3.0, "gaussian", 0.0, np.ones(140), True, True)
    >>> variance = np.full((60, 140), 4.0)
    >>> rows, cols, signal, trail = draw(look, (60, 140), 20.0, variance)
    >>> dead = [column_band("overscan", 105, 140, 60)]
    >>> round(visible(trail, (rows, cols, signal), variance, dead).snr, 1)
    17.4
    """
    if not dead:
        return trail
    rows, cols, signal = pixels
    points = np.stack([cols, rows], axis=-1).astype(float)[:, None]
    inside = capsule_distance(points, np.array([[d.x0, d.y0] for d in dead]),
                              np.array([[d.x1, d.y1] for d in dead]),
                              np.array([d.radius for d in dead])) <= 0.0
    live = ~inside.any(axis=1)
    return replace(trail, snr=matched_snr(signal[live], variance[rows[live], cols[live]]))
