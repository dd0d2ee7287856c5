"""Realistic benchmark skies with known trails and a record of everything else in them.

:func:`make_field` draws one image of a field type (a :class:`Recipe` in FIELD_TYPES) and
returns it with its truth, a :class:`Field`: the trails (:class:`trails.Trail`: ends, flux per
length, width, integrated signal-to-noise ratio) and the artefacts (:class:`artefacts.Artefact`:
kind and extent), so that a detection can be matched to a trail or labelled by what it lies on.

The image is built as light in electrons per pixel, then recorded by a detector
(:mod:`detector`):

1. sky: a level with a plane gradient and large-scale structure, optionally vignetted corners;
2. stars with power-law fluxes and galaxies (ellipticals, disks, edge-on disks with knots),
   blurred by a Moffat point-spread function; stars too bright for the detector get
   diffraction spikes along the detector axes and a halo;
3. trails (:mod:`trails`), each scaled to its integrated signal-to-noise ratio;
4. saturation with bleeding, cosmic rays, photon and read noise, gain and offset, cosmetic
   defects, NaN holes, and the data type. A trail's stated S/N is then that of the pixels
   that fill values (overscan, chip edges and gaps, zero columns) and holes leave of it.

Brightnesses are set in units of the sky noise, so a field looks alike whatever its scale.

Run ``python bench/sky.py FIELD_TYPE [--size N] [--seed S] [--png out.png]`` to draw one image.
"""

from __future__ import annotations

import argparse
from dataclasses import dataclass

import numpy as np
from scipy import signal
from scipy.interpolate import RectBivariateSpline

import trails
from artefacts import Artefact, ArtefactIndex
from detector import (DEFECTS, Detector, add_cosmic_rays, add_defects, add_nan_holes, digitise,
                      expose, random_detector, saturate, splat)

__all__ = ["Recipe", "FIELD_TYPES", "Field", "Psf", "make_field", "sky_background",
           "smooth_field", "vignetting", "star_fluxes", "add_stars", "add_galaxies",
           "sersic", "bright_star_features"]


@dataclass(frozen=True)
class Recipe:
    """What a field type holds. Densities are per megapixel; ranges (lo, hi) are drawn
    log-uniformly when both are positive, uniformly otherwise.

    Attributes
    ----------
    stars, bright_stars, galaxies, cosmics : (float, float)
        Stars (power-law fluxes), extra stars 2-300 times too bright for the detector,
        galaxies and cosmic-ray hits per megapixel.
    edge_on : float
        Fraction of disk galaxies seen edge-on.
    gradient : (float, float)
        Sky change across the frame, in units of the sky noise.
    structure : (float, float)
        Rms of the sky's large-scale structure, in units of the sky noise.
    vignetting : float
        Probability of vignetted corners.
    defects : float
        Probability of each kind of cosmetic defect (see detector.DEFECTS).
    nan_holes : (int, int)
        Number of NaN holes.
    dtypes : tuple of str
        Data types to choose from (see detector.random_detector).
    """

    stars: tuple = (100.0, 1000.0)
    bright_stars: tuple = (0.0, 0.0)
    galaxies: tuple = (10.0, 50.0)
    edge_on: float = 0.25
    gradient: tuple = (0.5, 3.0)
    structure: tuple = (0.1, 0.5)
    vignetting: float = 0.0
    cosmics: tuple = (10.0, 60.0)
    defects: float = 0.0
    nan_holes: tuple = (0, 0)
    dtypes: tuple = ("float32",)


# Artefacts that replace the data beneath them: nothing of a trail there reaches the image.
DEAD = ("overscan", "chip edge", "chip gap", "zero column", "NaN hole")

FIELD_TYPES = {
    "sparse": Recipe(stars=(50.0, 400.0), galaxies=(5.0, 30.0)),
    "crowded": Recipe(stars=(2000.0, 10000.0), bright_stars=(0.0, 2.0)),
    "saturated": Recipe(stars=(300.0, 1500.0), bright_stars=(3.0, 10.0),
                        dtypes=("float32", "uint16")),
    "galaxies": Recipe(stars=(200.0, 800.0), galaxies=(150.0, 500.0), edge_on=0.4),
    "detector": Recipe(stars=(200.0, 1000.0), cosmics=(50.0, 200.0), defects=0.6,
                       dtypes=("uint16",)),
    "gradients": Recipe(gradient=(10.0, 200.0), structure=(2.0, 15.0), vignetting=0.8),
    "cosmics": Recipe(stars=(200.0, 800.0), cosmics=(1000.0, 4000.0), nan_holes=(2, 8)),
    "uint16": Recipe(stars=(300.0, 1500.0), bright_stars=(0.0, 2.0), dtypes=("uint16",)),
    "int16": Recipe(stars=(300.0, 1500.0), bright_stars=(0.0, 2.0), dtypes=("int16",)),
    "8bit": Recipe(stars=(300.0, 1500.0), bright_stars=(0.0, 2.0), dtypes=("uint8",)),
    "mixed": Recipe(stars=(500.0, 5000.0), bright_stars=(1.0, 4.0), galaxies=(30.0, 150.0),
                    gradient=(2.0, 50.0), structure=(1.0, 10.0), vignetting=0.5,
                    cosmics=(50.0, 400.0), defects=0.3, nan_holes=(0, 3),
                    dtypes=("float32", "uint16", "int16")),
}


@dataclass(frozen=True)
class Psf:
    """A Moffat point-spread function: ``(1 + (r / alpha)**2) ** -beta``.

    Examples
    --------
    >>> psf = Psf(3.0, 3.0)
    >>> k = psf.kernel()
    >>> round(float(k.sum()), 6), round(float(k.max() / psf.peak), 2)
    (1.0, 1.0)
    """

    fwhm: float
    beta: float

    @property
    def alpha(self) -> float:
        return 0.5 * self.fwhm / np.sqrt(2.0 ** (1.0 / self.beta) - 1.0)

    @property
    def peak(self) -> float:
        """Central value of the profile of unit flux."""
        return (self.beta - 1.0) / (np.pi * self.alpha**2)

    def radius_at(self, ratio):
        """Radius at which the profile falls to `ratio` (< 1) of its peak."""
        ratio = np.minimum(np.asarray(ratio, float), 1.0)
        return self.alpha * np.sqrt(ratio ** (-1.0 / self.beta) - 1.0)

    def kernel(self, radius: int | None = None) -> np.ndarray:
        """The profile sampled on a (2 radius + 1)^2 grid, normalised to sum 1."""
        radius = radius or int(np.ceil(min(12.0 * self.fwhm, 48.0)))
        y, x = np.mgrid[-radius:radius + 1, -radius:radius + 1]
        k = (1.0 + (x * x + y * y) / self.alpha**2) ** -self.beta
        return k / k.sum()


@dataclass(frozen=True, eq=False)
class Field:
    """A benchmark image and its truth.

    Attributes
    ----------
    image : ndarray
        The stored image (float32, uint16, int16 or uint8), indexed [row, column].
    trails : tuple of trails.Trail
        The trails, in image units.
    artefacts : tuple of artefacts.Artefact
        Stars, galaxies, bright-star features, cosmic rays, defects, holes, vignetting.
    field_type : str
    detector : detector.Detector
    psf : Psf
    noise : float
        Median background noise per pixel, image units.
    """

    image: np.ndarray
    trails: tuple
    artefacts: tuple
    field_type: str
    detector: Detector
    psf: Psf
    noise: float

    def index(self) -> ArtefactIndex:
        """The artefacts and the trails (as "trail" capsules of their tolerance), for labelling
        what a detection lies on."""
        lanes = [Artefact("trail", t.x0, t.y0, t.x1, t.y1, t.tol) for t in self.trails]
        return ArtefactIndex(list(self.artefacts) + lanes, self.image.shape)


def _draw(rng, lo_hi):
    lo, hi = lo_hi
    if lo > 0 and hi > 0:
        return float(np.exp(rng.uniform(np.log(lo), np.log(hi))))
    return float(rng.uniform(lo, hi))


def _count(rng, per_megapixel, shape) -> int:
    return int(rng.poisson(_draw(rng, per_megapixel) * shape[0] * shape[1] / 1e6))


# ---------------------------------------------------------------------------------------------
# Sky


def smooth_field(shape, rng: np.random.Generator, scale: float) -> np.ndarray:
    """A smooth random field of unit rms with structure on `scale` pixels: Gaussian random
    values on a coarse grid of that spacing, interpolated by a bicubic spline.

    Examples
    --------
    >>> f = smooth_field((200, 300), np.random.default_rng(0), 50.0)
    >>> f.shape, round(float(f.std()), 6)
    ((200, 300), 1.0)
    """
    ny, nx = shape
    gy, gx = int(np.ceil(ny / scale)) + 4, int(np.ceil(nx / scale)) + 4
    yc, xc = (np.arange(gy) - 2) * scale, (np.arange(gx) - 2) * scale
    spline = RectBivariateSpline(yc, xc, rng.normal(size=(gy, gx)), kx=3, ky=3)
    f = spline(np.arange(ny, dtype=float), np.arange(nx, dtype=float))
    f -= f.mean()
    return f / (f.std() or 1.0)


def sky_background(shape, rng: np.random.Generator, level: float, sigma: float,
                   gradient: float, structure: float) -> np.ndarray:
    """Sky in electrons: `level`, a plane that changes by `gradient` sigma across the frame in
    a random direction, and large-scale structure (150-500 px) of rms `structure` sigma.

    Examples
    --------
    >>> sky = sky_background((100, 200), np.random.default_rng(0), 1000.0, 30.0, 10.0, 0.0)
    >>> round(float(sky.max() - sky.min()) / 30.0, 1) <= 10.0
    True
    """
    ny, nx = shape
    angle = rng.uniform(0, 2 * np.pi)
    y = (np.arange(ny) - (ny - 1) / 2.0)[:, None]
    x = (np.arange(nx) - (nx - 1) / 2.0)[None, :]
    half = 0.5 * np.hypot(nx, ny)
    sky = level + 0.5 * gradient * sigma * (x * np.cos(angle) + y * np.sin(angle)) / half
    if structure > 0:
        sky = sky + structure * sigma * smooth_field(shape, rng, rng.uniform(150.0, 500.0))
    return np.maximum(sky, 0.05 * level)


def vignetting(shape, rng: np.random.Generator):
    """Throughput (1 in the middle) falling quadratically towards the corners by 20-70 %, and
    "vignetting" artefacts where it is below 0.95.

    Examples
    --------
    >>> t, corners = vignetting((100, 100), np.random.default_rng(0))
    >>> float(t[50, 50]), bool(t[0, 0] < 0.8), len(corners)
    (1.0, True, 4)
    """
    ny, nx = shape
    depth, start = rng.uniform(0.2, 0.7), rng.uniform(0.55, 0.8)
    half = 0.5 * np.hypot(nx - 1, ny - 1)
    y = ((np.arange(ny) - (ny - 1) / 2.0) ** 2)[:, None]
    x = ((np.arange(nx) - (nx - 1) / 2.0) ** 2)[None, :]
    rho = np.sqrt(x + y) / half
    throughput = 1.0 - depth * np.clip((rho - start) / (1.0 - start), 0.0, 1.0) ** 2
    edge = start + (1.0 - start) * np.sqrt(0.05 / depth)
    radius = (1.0 - edge) * half
    corners = [Artefact("vignetting", cx, cy, cx, cy, radius)
               for cx in (0.0, nx - 1.0) for cy in (0.0, ny - 1.0)]
    return throughput, corners


# ---------------------------------------------------------------------------------------------
# Stars and galaxies (drawn sharp into a source image that the PSF then blurs)


def star_fluxes(n: int, rng: np.random.Generator, f_min: float, f_max: float,
                slope: float = 0.75) -> np.ndarray:
    """`n` fluxes from a power law N(> f) ~ f**-slope between `f_min` and `f_max` (slope 0.75:
    counts rising by 10**0.3 per magnitude).

    Examples
    --------
    >>> f = star_fluxes(10000, np.random.default_rng(0), 1.0, 1e4)
    >>> bool(f.min() >= 1.0 and f.max() <= 1e4), round(float(np.mean(f > 10.0)), 2)
    (True, 0.18)
    """
    u = rng.random(n)
    return f_min * (1.0 - u * (1.0 - (f_min / f_max) ** slope)) ** (-1.0 / slope)


def add_stars(source, rng, n, psf: Psf, sigma_e, saturation_e, *, bright=0):
    """Add `n` stars (peaks from 0.3 sigma up to 300 times `saturation_e`) and `bright` extra
    stars 2-300 times too bright, as points shared among four pixels, to `source` in place.

    Returns
    -------
    stars : ndarray, shape (m, 3)
        x, y and flux (electrons) of every star.
    artefacts : list of Artefact
        "star" (peak above 1 sigma) and "saturated star" discs out to where they fall to
        1 sigma.
    """
    ny, nx = source.shape
    f_min, f_max = 0.3 * sigma_e / psf.peak, 300.0 * saturation_e / psf.peak
    flux = np.concatenate([star_fluxes(n, rng, f_min, f_max),
                           saturation_e / psf.peak * np.exp(rng.uniform(np.log(2.0),
                                                                        np.log(300.0), bright))])
    x, y = rng.uniform(-0.5, nx - 0.5, flux.size), rng.uniform(-0.5, ny - 0.5, flux.size)
    splat(source, x, y, flux)
    peak = flux * psf.peak
    visible = peak > sigma_e
    radius = psf.radius_at(sigma_e / peak[visible]) + 0.5
    kinds = np.where(peak[visible] >= saturation_e, "saturated star", "star")
    artefacts = [Artefact(str(k), float(a), float(b), float(a), float(b), float(r))
                 for k, a, b, r in zip(kinds, x[visible], y[visible], radius)]
    return np.column_stack([x, y, flux]), artefacts


def sersic(dx, dy, re, n, q, angle):
    """Sersic profile relative to its value at the effective radius `re`, for axis ratio `q`
    and major axis at `angle`; the centre is softened by a quarter pixel (the pixel's own
    extent) so that steep profiles stay finite.

    Examples
    --------
    >>> round(float(sersic(np.array(5.0), np.array(0.0), 5.0, 1.0, 1.0, 0.0)), 3)
    0.992
    """
    b = 2.0 * n - 1.0 / 3.0 + 4.0 / (405.0 * n)
    c, s = np.cos(angle), np.sin(angle)
    u, v = dx * c + dy * s, (dy * c - dx * s) / q
    r = np.sqrt(u * u + v * v + 0.25)
    return np.exp(-b * ((r / re) ** (1.0 / n) - 1.0))


def _galaxy(source, rng, x, y, sigma_e, edge_on_fraction):
    """One galaxy at (x, y) drawn into `source`; returns its extent as a capsule
    (half-length along the major axis, half-width, angle)."""
    angle = rng.uniform(0, np.pi)
    knots, bulge = 0, False
    if rng.random() < 0.5:  # elliptical
        n, re, q = rng.uniform(2.0, 4.0), _draw(rng, (1.5, 12.0)), rng.uniform(0.5, 1.0)
        level = _draw(rng, (0.1, 3.0))
    else:  # disk
        n, re, level = 1.0, _draw(rng, (3.0, 25.0)), _draw(rng, (0.2, 3.0))
        if rng.random() < edge_on_fraction:
            q, knots = rng.uniform(0.06, 0.15), int(rng.integers(2, 9))
        else:
            q, knots = rng.uniform(0.3, 0.9), int(rng.integers(0, 5))
        bulge = rng.random() < 0.5
    b = 2.0 * n - 1.0 / 3.0 + 4.0 / (405.0 * n)
    # Out to where the profile falls to half the noise (at least re, at most 6 re).
    extent = re * np.clip(1.0 + np.log(max(level / 0.5, 1e-3)) / b, 1.0, 6.0 ** (1.0 / n)) ** n
    half = int(np.ceil(min(extent + 3.0, 250.0)))
    ny, nx = source.shape
    r0, r1 = max(int(y) - half, 0), min(int(y) + half + 1, ny)
    c0, c1 = max(int(x) - half, 0), min(int(x) + half + 1, nx)
    if r0 >= r1 or c0 >= c1:
        return None
    dy, dx = np.mgrid[r0:r1, c0:c1]
    dx, dy = dx - x, dy - y
    image = level * sigma_e * sersic(dx, dy, re, n, q, angle)
    if bulge:
        image += 3.0 * level * sigma_e * sersic(dx, dy, 0.15 * re, 4.0, min(3 * q, 1.0), angle)
    c, s = np.cos(angle), np.sin(angle)
    for _ in range(knots):
        along, across = rng.uniform(-2.0, 2.0) * re, rng.uniform(-1.0, 1.0) * q * re
        kx, ky = along * c - across * s, along * s + across * c
        width = rng.uniform(0.7, 2.0)
        image += (rng.uniform(1.0, 5.0) * level * sigma_e
                  * np.exp(-0.5 * ((dx - kx) ** 2 + (dy - ky) ** 2) / width**2))
    source[r0:r1, c0:c1] += image
    return extent, extent * q, angle


def add_galaxies(source, rng, n, sigma_e, psf: Psf, edge_on_fraction=0.25):
    """Add `n` galaxies to `source` in place: half ellipticals (Sersic n 2-4), half disks
    (exponential, some with a bulge and star-forming knots; `edge_on_fraction` of them seen
    edge-on, axis ratio 0.06-0.15). Brightness at the effective radius 0.1-3 sigma.

    Returns their "galaxy" capsules (along the major axis, out to half the noise).
    """
    ny, nx = source.shape
    out = []
    for _ in range(n):
        x, y = rng.uniform(0, nx - 1), rng.uniform(0, ny - 1)
        shape = _galaxy(source, rng, x, y, sigma_e, edge_on_fraction)
        if shape is None:
            continue
        major, minor, angle = shape
        length = max(major - minor, 0.0)
        ux, uy = length * np.cos(angle), length * np.sin(angle)
        out.append(Artefact("galaxy", x - ux, y - uy, x + ux, y + uy, minor + 0.5 * psf.fwhm))
    return out


def bright_star_features(light, rng, stars, psf: Psf, sigma_e, saturation_e):
    """Diffraction spikes along the detector axes and a broad halo for every star that fills
    at least half of a pixel's capacity; added to `light` (already blurred) in place.

    Spikes carry 1-8 % of the star's flux, falling as (1 + r / 2 fwhm)**-2; the halo is a
    Moffat (beta 1.5-2.5) of 10-40 px FWHM with 1-5 % of the flux. Both are drawn out to where
    they fall to 0.3 sigma.

    Returns the "spike" and "halo" artefacts.
    """
    out = []
    ny, nx = light.shape
    core = 2.0 * psf.fwhm
    for x, y, flux in stars[stars[:, 2] * psf.peak >= 0.5 * saturation_e]:
        per_length = rng.uniform(0.003, 0.02) * flux / core
        centre = per_length * trails.cross_profile(0.0, psf.fwhm)
        length = core * (np.sqrt(centre / (0.3 * sigma_e)) - 1.0)
        length = min(length, 0.5 * max(nx, ny))
        if length > 3.0 * psf.fwhm:
            t = np.arange(int(np.ceil(length)) + 1)
            relative = (1.0 + t / core) ** -2
            for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)):
                look = trails.TrailLook(x, y, x + dx * length, y + dy * length, psf.fwhm,
                                        "gaussian", 0.0, relative)
                rows, cols, values = trails.render(light.shape, look)
                light[rows, cols] += per_length * values
                out.append(Artefact("spike", x + dx * psf.fwhm, y + dy * psf.fwhm,
                                    x + dx * length, y + dy * length, psf.fwhm))
        halo = Psf(rng.uniform(10.0, 40.0), rng.uniform(1.5, 2.5))
        halo_flux = rng.uniform(0.01, 0.05) * flux
        if halo_flux * halo.peak < 0.5 * sigma_e:
            continue
        radius = int(min(np.ceil(halo.radius_at(0.3 * sigma_e / (halo_flux * halo.peak))), 300))
        r0, r1 = max(int(y) - radius, 0), min(int(y) + radius + 1, ny)
        c0, c1 = max(int(x) - radius, 0), min(int(x) + radius + 1, nx)
        if r0 >= r1 or c0 >= c1:
            continue
        yy, xx = np.ogrid[r0:r1, c0:c1]
        light[r0:r1, c0:c1] += halo_flux * halo.peak * (
            1.0 + ((xx - x) ** 2 + (yy - y) ** 2) / halo.alpha**2) ** -halo.beta
        out.append(Artefact("halo", x, y, x, y, float(radius)))
    return out


# ---------------------------------------------------------------------------------------------
# A whole field


def make_field(field_type: str = "mixed", shape=(1024, 1024), *, snrs=(), seed=0) -> Field:
    """Draw one image of `field_type` with one trail per entry of `snrs` (integrated
    signal-to-noise ratios, see :mod:`trails`).

    Examples
    --------
    >>> f = make_field("sparse", (256, 256), snrs=[20.0], seed=1)
    >>> f.image.shape, f.image.dtype.name, len(f.trails), round(f.trails[0].snr, 6)
    ((256, 256), 'float32', 1, 20.0)
    """
    recipe = FIELD_TYPES[field_type]
    rng = np.random.default_rng(seed)
    psf = Psf(rng.uniform(2.0, 4.0), rng.uniform(2.5, 4.0))
    dtype = recipe.dtypes[rng.integers(len(recipe.dtypes))]
    detector, level = random_detector(dtype, rng, _draw(rng, (100.0, 20000.0)))
    sigma_e = float(np.sqrt(level + detector.read_noise**2))
    saturation_e = detector.saturation_e
    artefacts = []

    sky = sky_background(shape, rng, level, sigma_e, _draw(rng, recipe.gradient),
                         _draw(rng, recipe.structure))
    source = np.zeros(shape)
    stars, found = add_stars(source, rng, _count(rng, recipe.stars, shape), psf, sigma_e,
                             saturation_e, bright=_count(rng, recipe.bright_stars, shape))
    artefacts += found
    artefacts += add_galaxies(source, rng, _count(rng, recipe.galaxies, shape), sigma_e, psf,
                              recipe.edge_on)
    light = signal.fftconvolve(source, psf.kernel(), mode="same")
    artefacts += bright_star_features(light, rng, stars, psf, sigma_e, saturation_e)
    model = sky + light
    throughput = None
    if rng.random() < recipe.vignetting:
        throughput, corners = vignetting(shape, rng)
        model *= throughput
        sky = sky * throughput
        artefacts += corners

    variance = detector.variance(sky)
    drawn, pixels = [], []
    for snr in snrs:
        look = trails.random_look(shape, rng, psf.fwhm, psf.beta)
        rows, cols, values, trail = trails.draw(look, shape, snr, variance, throughput)
        model[rows, cols] += values * detector.gain
        drawn.append(trail)
        pixels.append((rows, cols, values))

    # Charge bleeds once a pixel is full; the stored value may clip earlier, without bleeding.
    _, bleeds = saturate(model, detector.full_well)
    artefacts += bleeds
    artefacts += add_cosmic_rays(model, rng, _count(rng, recipe.cosmics, shape))
    saturated = model >= saturation_e
    image = expose(model, rng, detector, saturated)
    kinds = [k for k in DEFECTS if rng.random() < recipe.defects]
    artefacts += add_defects(image, rng, detector, sigma_e / detector.gain, kinds)
    holes = int(rng.integers(recipe.nan_holes[0], recipe.nan_holes[1] + 1))
    artefacts += add_nan_holes(image, rng, holes)
    # A trail's S/N is that of what the data still hold of it: not under fill values or holes.
    dead = [a for a in artefacts if a.kind in DEAD]
    drawn = [trails.visible(t, p, variance, dead) for t, p in zip(drawn, pixels)]
    noise = float(np.median(np.sqrt(variance[::8, ::8])))
    return Field(digitise(image, detector), tuple(drawn), tuple(artefacts), field_type, detector,
                 psf, noise)


def main():
    parser = argparse.ArgumentParser(description="Draw one benchmark sky.")
    parser.add_argument("field_type", choices=sorted(FIELD_TYPES))
    parser.add_argument("--size", type=int, default=1024)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--snr", type=float, nargs="*", default=[20.0])
    parser.add_argument("--png", help="save a picture (needs matplotlib)")
    args = parser.parse_args()
    field = make_field(args.field_type, (args.size, args.size), snrs=args.snr, seed=args.seed)
    d = field.detector
    print(f"{field.field_type}: {field.image.dtype.name}, gain {d.gain:.3g} e-/unit, offset "
          f"{d.offset:.4g}, noise {field.noise:.3g}, PSF FWHM {field.psf.fwhm:.2f} beta "
          f"{field.psf.beta:.2f}")
    for t in field.trails:
        print(f"  trail ({t.x0:.1f}, {t.y0:.1f}) - ({t.x1:.1f}, {t.y1:.1f}), length "
              f"{t.length:.0f}, fwhm {t.fwhm:.1f} {t.profile}, flux/length "
              f"{t.flux_per_length:.4g}, S/N {t.snr:.1f}")
    counts = {}
    for a in field.artefacts:
        counts[a.kind] = counts.get(a.kind, 0) + 1
    print("  " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))
    if args.png:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        data = field.image.astype(float)
        lo, hi = np.nanpercentile(data, [1, 99.5])
        fig, ax = plt.subplots(figsize=(8, 8 * data.shape[0] / data.shape[1]))
        ax.imshow(data, origin="lower", cmap="gray", vmin=lo, vmax=hi, interpolation="nearest")
        ax.set_axis_off()
        fig.savefig(args.png, dpi=150, bbox_inches="tight")


if __name__ == "__main__":
    main()
