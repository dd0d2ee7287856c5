"""Masks of what is not sky, found from the data alone: whole-numbered data and fill values.

A streak search sums pixels along lines, so anything that lines up with the detector's rows and
columns, or spreads far around a bright star, raises lines that hold no streak. The masks of such
pixels are found without being told about the detector. This module holds

- whole-numbered data (:func:`quantum`, :func:`dither`), whose medians take whole values only;
- values that pile up in runs (:func:`fill_runs`): zero-filled chip edges and gaps.

Saturated and bright stars with their bleed columns, halos and spikes are
:mod:`~kestrova.saturation`; defect columns and rows, border strips, cold pixels and the
residual structure along the detector axes are :mod:`~kestrova.detector_lines`.
"""

from __future__ import annotations

import numpy as np

from .masks import paint_runs, runs
from .stats import robust_sigma, subsample

__all__ = ["quantum", "dither", "fill_runs"]


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
    is left to :func:`~kestrova.saturation.bright_stars`.

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
            line, start, stop = runs(equal, axis)
            keep = stop - start >= min_run
            paint_runs(mask, axis, line[keep], start[keep], stop[keep])
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
