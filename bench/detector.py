"""The detector of the benchmark skies: from the light that falls on it (electrons per pixel) to
the stored image (image units): full-well saturation with charge bleeding along the columns,
cosmic rays, photon and read noise, gain and offset, cosmetic defects, and the data type.

Each defect function changes the image in place and returns the :class:`Artefact` records of
what it put there.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from scipy import ndimage

from artefacts import Artefact, column, column_band, row_band

__all__ = ["Detector", "random_detector", "saturate", "add_cosmic_rays", "expose", "digitise",
           "DEFECTS", "add_defects", "add_nan_holes", "splat"]

_LIMITS = {"uint16": (0, 65535), "int16": (-32768, 32767), "uint8": (0, 255)}


@dataclass(frozen=True)
class Detector:
    """How electrons become stored values.

    Attributes
    ----------
    dtype : str
        ``"float32"``, ``"uint16"``, ``"int16"`` or ``"uint8"``.
    gain : float
        Electrons per image unit.
    read_noise : float
        Electrons.
    offset : float
        Image units added to every pixel (bias; negative for a sky-subtracted image).
    full_well : float
        Electrons at which a pixel saturates; saturated pixels are stored at `saturation`.

    Examples
    --------
    >>> d = Detector("uint16", 2.0, 5.0, 1000.0, 200_000.0)
    >>> d.saturation, d.quantum
    (65535.0, 1.0)
    >>> round(d.variance(1000.0), 4)   # (1000 + 25) / 4 + 1 / 12
    256.3333
    """

    dtype: str
    gain: float
    read_noise: float
    offset: float
    full_well: float

    @property
    def quantum(self) -> float:
        """Step between stored values (0 for floating point)."""
        return 0.0 if self.dtype.startswith("float") else 1.0

    @property
    def saturation_e(self) -> float:
        """Electrons above the offset at which a stored value saturates."""
        return (self.saturation - self.offset) * self.gain

    @property
    def saturation(self) -> float:
        """Stored value of a saturated pixel."""
        level = self.offset + self.full_well / self.gain
        if self.dtype in _LIMITS:
            level = min(np.floor(level), _LIMITS[self.dtype][1])
        return float(level)

    def variance(self, background_e):
        """Noise variance in image units over a background of `background_e` electrons: photon
        and read noise, and the rounding to whole units."""
        return (background_e + self.read_noise**2) / self.gain**2 + self.quantum**2 / 12.0

    def to_units(self, electrons):
        """Electrons in image units (without the offset)."""
        return electrons / self.gain


def random_detector(dtype: str, rng: np.random.Generator, sky_e: float):
    """A detector of type `dtype` for a sky of `sky_e` electrons per pixel; returns it and the
    sky level in electrons (an 8-bit picture sets its own, see below).

    - float32: any scale (0.05 to 50 electrons per unit), no offset, or sky-subtracted (30 %);
    - uint16: a raw frame, gain 0.5-4, bias 300-2000;
    - int16: gain 1-6, offset 0-200;
    - uint8: a picture with noise 1-5 counts and a sky of 10-80 counts that is not a whole
      number, saturating at 255.

    Examples
    --------
    >>> d, sky = random_detector("uint8", np.random.default_rng(0), 1000.0)
    >>> bool(1.0 <= np.sqrt(d.variance(sky)) <= 5.0), d.saturation
    (True, 255.0)
    """
    read_noise = rng.uniform(3.0, 10.0)
    full_well = np.exp(rng.uniform(np.log(6e4), np.log(2.5e5)))
    if dtype == "float32":
        gain = np.exp(rng.uniform(np.log(0.05), np.log(50.0)))
        offset = -sky_e / gain if rng.random() < 0.3 else 0.0
        return Detector(dtype, gain, read_noise, offset, full_well), sky_e
    if dtype == "uint16":
        gain, offset = rng.uniform(0.5, 4.0), float(rng.integers(300, 2000))
    elif dtype == "int16":
        gain, offset = rng.uniform(1.0, 6.0), float(rng.integers(0, 200))
    elif dtype == "uint8":
        return _picture(rng)
    else:
        raise ValueError(f"unknown dtype {dtype!r}")
    return Detector(dtype, gain, read_noise, offset, full_well), sky_e


def _picture(rng):
    """An 8-bit picture: noise 1-5 counts, a sky of 10-80 counts between two whole numbers,
    values clipped at 255 (no bleeding). Photons give a random share of the noise, read noise
    the rest; at least 200 sky electrons keep the photon noise near Gaussian."""
    sigma, sky = rng.uniform(1.0, 5.0), rng.integers(10, 80) + rng.uniform(0.2, 0.8)
    analog = sigma**2 - 1.0 / 12.0  # the rounding adds 1/12
    gain = max(sky / (rng.uniform(0.3, 1.0) * analog), 200.0 / sky)
    read_noise = gain * np.sqrt(max(analog - sky / gain, 0.0))
    return Detector("uint8", gain, read_noise, 0.0, 1e12), sky * gain


def saturate(model: np.ndarray, full_well: float):
    """Clip `model` (electrons) at `full_well` in place, bleeding each saturated region's excess
    charge along its columns, half up and half down. Returns the saturated pixels and the
    "bleed" artefacts.

    Examples
    --------
    >>> model = np.zeros((40, 5)); model[20, 2] = 5.0
    >>> saturated, bleeds = saturate(model, 1.0)
    >>> int(saturated.sum()), bleeds[0].kind          # 1 pixel + 4 electrons' worth of bleed
    (5, 'bleed')
    """
    over = model > full_well
    artefacts = []
    if not over.any():
        return over, artefacts
    ny = model.shape[0]
    labels, n = ndimage.label(over)
    for k, region in enumerate(ndimage.find_objects(labels), start=1):
        rows, cols = region
        inside = labels[region] == k
        excess = np.where(inside, model[region] - full_well, 0.0).sum(axis=0)
        top, bottom = _column_extent(inside, rows.start)
        spread = excess / full_well / 2.0
        for j, c in enumerate(range(cols.start, cols.stop)):
            if not inside[:, j].any():
                continue
            r0 = max(int(np.floor(top[j] - spread[j])), 0)
            r1 = min(int(np.ceil(bottom[j] + spread[j])), ny - 1)
            over[r0:r1 + 1, c] = True
        half = spread.max()
        if half >= 2.0:
            artefacts.append(Artefact("bleed", 0.5 * (cols.start + cols.stop - 1),
                                      max(top.min() - half, 0), 0.5 * (cols.start + cols.stop - 1),
                                      min(bottom.max() + half, ny - 1),
                                      0.5 * (cols.stop - cols.start)))
    np.minimum(model, full_well, out=model)
    model[over] = full_well
    return over, artefacts


def _column_extent(inside, row0):
    """First and last row of each column's saturated pixels (NaN-free: empty columns get the
    region's middle)."""
    rows = np.arange(inside.shape[0])[:, None] + row0
    middle = row0 + inside.shape[0] / 2.0
    top = np.where(inside, rows, np.inf).min(axis=0)
    bottom = np.where(inside, rows, -np.inf).max(axis=0)
    return np.where(np.isfinite(top), top, middle), np.where(np.isfinite(bottom), bottom, middle)


def add_cosmic_rays(model: np.ndarray, rng: np.random.Generator, count: int):
    """Add `count` cosmic-ray hits (electrons, not blurred by the optics) to `model` in place:
    two thirds are tracks at a random angle, 2 px long or more with a power-law tail (half
    are under 3.2 px, one in a hundred over 40 px; at most 80 px), the others compact blobs of
    one to a few pixels. Returns their "cosmic ray" artefacts.

    Examples
    --------
    >>> model = np.zeros((100, 100))
    >>> hits = add_cosmic_rays(model, np.random.default_rng(0), 10)
    >>> len(hits), bool(model.max() > 100)
    (10, True)
    """
    ny, nx = model.shape
    artefacts = []
    for _ in range(count):
        x, y = rng.uniform(0, nx - 1), rng.uniform(0, ny - 1)
        if rng.random() < 2 / 3:
            length = min(2.0 * rng.random() ** (-1.0 / 1.5), 80.0)
            angle = rng.uniform(0, np.pi)
            dx, dy = length * np.cos(angle), length * np.sin(angle)
            t = np.linspace(0.0, 1.0, int(length * 4) + 2)
            per_px = np.exp(rng.uniform(np.log(300.0), np.log(5000.0)))
            splat(model, x + t * dx, y + t * dy, np.full(t.size, per_px * length / t.size))
            artefacts.append(Artefact("cosmic ray", x, y, x + dx, y + dy, 1.0))
        else:
            size = rng.uniform(0.3, 1.0)
            n = 12
            splat(model, x + rng.normal(0, size, n), y + rng.normal(0, size, n),
                   np.full(n, np.exp(rng.uniform(np.log(500.0), np.log(3e4))) / n))
            artefacts.append(Artefact("cosmic ray", x, y, x, y, 1.0 + 2 * size))
    return artefacts


def splat(image, x, y, values):
    """Add `values` at sub-pixel positions (x, y), each shared among its four nearest pixels."""
    ny, nx = image.shape
    x0, y0 = np.floor(x).astype(int), np.floor(y).astype(int)
    fx, fy = x - x0, y - y0
    for ox, oy, w in ((0, 0, (1 - fx) * (1 - fy)), (1, 0, fx * (1 - fy)), (0, 1, (1 - fx) * fy),
                      (1, 1, fx * fy)):
        xi, yi = x0 + ox, y0 + oy
        ok = (xi >= 0) & (xi < nx) & (yi >= 0) & (yi < ny)
        np.add.at(image, (yi[ok], xi[ok]), values[ok] * w[ok])


def expose(model: np.ndarray, rng: np.random.Generator, detector: Detector,
           saturated=None) -> np.ndarray:
    """Photon (Poisson) and read noise on `model` (electrons), in image units with the offset;
    the `saturated` pixels are flat at the saturation level.

    Examples
    --------
    >>> d = Detector("float32", 2.0, 4.0, 10.0, 1e5)
    >>> image = expose(np.full((200, 200), 400.0), np.random.default_rng(0), d)
    >>> round(float(image.mean())), round(float(image.std()))   # 10 + 400/2, sqrt(416)/2
    (210, 10)
    """
    electrons = rng.poisson(model).astype(np.float64)
    if detector.read_noise > 0:
        electrons += rng.normal(0.0, detector.read_noise, model.shape)
    electrons /= detector.gain
    electrons += detector.offset
    if saturated is not None:
        electrons[saturated] = detector.saturation
    return electrons


def digitise(image: np.ndarray, detector: Detector) -> np.ndarray:
    """The stored image: rounded and limited to the range of an integer type (NaN holes
    become 0 there).

    Examples
    --------
    >>> d = Detector("uint8", 1.0, 0.0, 0.0, 200.0)
    >>> digitise(np.array([[3.4, 300.0, np.nan, -2.0]]), d)
    array([[  3, 255,   0,   0]], dtype=uint8)
    """
    if detector.dtype not in _LIMITS:
        return image.astype(detector.dtype)
    lo, hi = _LIMITS[detector.dtype]
    return np.clip(np.nan_to_num(np.round(image)), lo, hi).astype(detector.dtype)


# ---------------------------------------------------------------------------------------------
# Cosmetic defects, in image units; `sigma` is the sky noise. Each side of the frame holds at
# most one strip.


def hot_columns(image, rng, detector, sigma, sides):
    """1-6 hot columns, 1-50 sigma above the sky; half of them only from a hot pixel onwards
    in the direction of the read-out."""
    ny, nx = image.shape
    out = []
    for _ in range(rng.integers(1, 7)):
        c = int(rng.integers(0, nx))
        r0, r1 = 0, ny
        if rng.random() < 0.5:
            start = int(rng.integers(0, ny - 20))
            r0, r1 = (start, ny) if rng.random() < 0.5 else (0, start + 20)
        image[r0:r1, c] += np.exp(rng.uniform(0.0, np.log(50.0))) * sigma
        out.append(column("hot column", c, r0, r1 - 1))
    return out


def low_columns(image, rng, detector, sigma, sides):
    """1-4 columns that collect 20-90 % of the charge (their noise scaled alike)."""
    ny, nx = image.shape
    out = []
    for _ in range(rng.integers(1, 5)):
        c = int(rng.integers(0, nx))
        image[:, c] = detector.offset + rng.uniform(0.2, 0.9) * (image[:, c] - detector.offset)
        out.append(column("low column", c, 0, ny - 1))
    return out


def zero_columns(image, rng, detector, sigma, sides):
    """1-3 columns of exact zeros."""
    ny, nx = image.shape
    out = []
    for _ in range(rng.integers(1, 4)):
        c = int(rng.integers(0, nx))
        image[:, c] = 0.0
        out.append(column("zero column", c, 0, ny - 1))
    return out


def chip_edge(image, rng, detector, sigma, sides):
    """A strip of 4-40 zero-filled columns (or rows) along one side: the chip ends there."""
    side = _free_side(rng, sides)
    return [_strip(image, side, int(rng.integers(4, 41)), "chip edge", lambda block: 0.0)]


def amplifier_edge(image, rng, detector, sigma, sides):
    """3-10 bright columns next to one side, their excess falling from 30-300 sigma to a few
    sigma away from the edge."""
    side = _free_side(rng, sides, ("left", "right"))
    width = int(rng.integers(3, 11))
    peak = np.exp(rng.uniform(np.log(30.0), np.log(300.0)))
    excess = peak * sigma * np.exp(-np.arange(width) * np.log(peak / 3.0) / max(width - 1, 1))

    def brighten(block):
        return block + (excess if side == "left" else excess[::-1])

    return [_strip(image, side, width, "amplifier edge", brighten)]


def overscan(image, rng, detector, sigma, sides):
    """A strip of 16-64 columns along one side that saw no light: the offset with read noise
    only."""
    side = _free_side(rng, sides, ("left", "right"))
    noise = max(detector.read_noise / detector.gain, 0.5 * detector.quantum)

    def dark(block):
        return detector.offset + rng.normal(0.0, noise, block.shape)

    return [_strip(image, side, int(rng.integers(16, 65)), "overscan", dark)]


def chip_gap(image, rng, detector, sigma, sides):
    """4-30 rows across the frame that fall between two chips: zeros, or NaN for floating
    point."""
    ny, nx = image.shape
    width = int(rng.integers(4, 31))
    r0 = int(rng.integers(ny // 5, 4 * ny // 5 - width))
    image[r0:r0 + width] = np.nan if detector.quantum == 0 and rng.random() < 0.5 else 0.0
    return [row_band("chip gap", r0, r0 + width, nx)]


DEFECTS = {"hot column": hot_columns, "low column": low_columns, "zero column": zero_columns,
           "chip edge": chip_edge, "amplifier edge": amplifier_edge, "overscan": overscan,
           "chip gap": chip_gap}


def _free_side(rng, sides, allowed=("left", "right", "top", "bottom")):
    """A side of the frame not yet taken by a strip (marked taken in `sides`)."""
    free = [s for s in allowed if s not in sides] or list(allowed)
    side = free[rng.integers(len(free))]
    sides.add(side)
    return side


def _strip(image, side, width, kind, fill):
    """Replace the `width` outermost columns (rows) on `side` by ``fill(block)``."""
    ny, nx = image.shape
    if side in ("left", "right"):
        c0 = 0 if side == "left" else nx - width
        image[:, c0:c0 + width] = fill(image[:, c0:c0 + width])
        return column_band(kind, c0, c0 + width, ny)
    r0 = 0 if side == "top" else ny - width
    image[r0:r0 + width] = fill(image[r0:r0 + width])
    return row_band(kind, r0, r0 + width, nx)


def add_defects(image, rng, detector, sigma, kinds):
    """Add the named defects (keys of DEFECTS) in place; an overscan and amplifier edges come
    before a chip edge so that they take the left and right sides first."""
    sides, out = set(), []
    order = ("overscan", "amplifier edge", "hot column", "low column", "zero column", "chip gap",
             "chip edge")
    for kind in order:
        if kind in kinds:
            out += DEFECTS[kind](image, rng, detector, sigma, sides)
    return out


def add_nan_holes(image, rng, count):
    """`count` holes of radius 2-20 px set to NaN (0 once stored as integers)."""
    ny, nx = image.shape
    out = []
    for _ in range(count):
        x, y, r = rng.uniform(0, nx - 1), rng.uniform(0, ny - 1), rng.uniform(2.0, 20.0)
        r0, r1 = max(int(y - r), 0), min(int(y + r) + 1, ny)
        c0, c1 = max(int(x - r), 0), min(int(x + r) + 1, nx)
        yy, xx = np.ogrid[r0:r1, c0:c1]
        image[r0:r1, c0:c1][(yy - y) ** 2 + (xx - x) ** 2 <= r * r] = np.nan
        out.append(Artefact("NaN hole", x, y, x, y, r))
    return out
