"""Robust statistics of pixel samples: regular subsamples, the noise from the median absolute
deviation, and medians that leave flagged samples out.

Every estimate of the sky and its noise in :mod:`~kestrova.prepare` and
the masks of what is not sky (:mod:`~kestrova.defects`, :mod:`~kestrova.saturation`,
:mod:`~kestrova.detector_lines`) is built from these, so that an excluded pixel is left out the
same way everywhere.
"""

from __future__ import annotations

import numpy as np

__all__ = ["MAD_TO_SIGMA", "MEDIAN_NOISE", "subsample", "robust_sigma", "masked_median"]

MAD_TO_SIGMA = 1.482602218505602

# Noise of the median of n Gaussian values, times sqrt(n) / sigma.
MEDIAN_NOISE = 1.2533141373155


def subsample(values: np.ndarray, max_samples: int | None = 500_000) -> np.ndarray:
    """A regular subsample of at most about `max_samples` of the flattened `values` (all of
    them for None).

    Examples
    --------
    >>> subsample(np.arange(10), 4).tolist()
    [0, 2, 4, 6, 8]
    """
    flat = np.ravel(values)
    return flat if max_samples is None else flat[:: max(1, flat.size // max_samples)]


def robust_sigma(values: np.ndarray, max_samples: int | None = 500_000, *,
                 overwrite: bool = False) -> float:
    """Noise from the median absolute deviation of (a regular subsample of at most
    `max_samples` of) `values`; ``max_samples=None`` takes them all. With `overwrite`, the
    array `values` is worked in, and left holding the absolute deviations in no order: no copy
    of it is made.

    Examples
    --------
    >>> x = np.random.default_rng(0).normal(0.0, 2.0, 100_000)
    >>> round(robust_sigma(x), 1)
    2.0
    """
    sample = subsample(values, max_samples)
    med = np.median(sample, overwrite_input=overwrite)
    deviation = np.subtract(sample, med, out=sample if overwrite else None)
    np.abs(deviation, out=deviation)
    return float(MAD_TO_SIGMA * np.median(deviation, overwrite_input=True))


def masked_median(values: np.ndarray, good: np.ndarray, axis: int = -1) -> np.ndarray:
    """Median along `axis` of the `good` entries of `values`; NaN where there are none.

    Short lines (up to 64 entries) are sorted, with the flagged entries last. In long ones the
    flagged entries are replaced by equal numbers of -inf and +inf, which leave the median of
    the others unchanged, so that a single partition of the whole array does the work; when a
    long line has an odd number of them, its median is off by half a rank, up or down in turn
    from one line to the next.

    Examples
    --------
    >>> values = np.array([[1.0, 9.0, 2.0, 3.0, 8.0], [5.0, 6.0, 7.0, 8.0, 9.0]])
    >>> good = np.array([[True, False, True, True, True], [False] * 5])
    >>> masked_median(values, good).tolist()
    [2.5, nan]
    """
    axis = axis % values.ndim
    if values.shape[axis] <= 64:
        ordered = np.sort(np.where(good, values, np.inf), axis=axis)
        count = np.expand_dims(good.sum(axis=axis), axis)
        low = np.take_along_axis(ordered, np.maximum(count - 1, 0) // 2, axis=axis)
        high = np.take_along_axis(ordered, count // 2, axis=axis)
        with np.errstate(invalid="ignore"):
            median = np.squeeze(0.5 * (low + high), axis=axis)
        median[np.squeeze(count, axis=axis) == 0] = np.nan
        return median
    bad = ~good
    if bad.any():
        lines = list(values.shape)
        lines[axis] = 1
        turn = np.indices(lines).sum(axis=0)
        fill = np.where((np.cumsum(bad, axis=axis) + turn) % 2 == 0, np.inf, -np.inf)
        values = np.where(bad, fill, values)
    with np.errstate(invalid="ignore"):
        median = np.median(values, axis=axis)
    median = np.asarray(median, dtype=float)
    median[~np.isfinite(median)] = np.nan
    return median
