"""Photometry of a trail: the magnitude of the moving source, and its brightness along the trail
in chunks (a light curve: glints, flares and tumbling show there).

A source moving at ``v`` pixels per second leaves ``F = S / v`` per pixel of trail, where ``S``
is its count rate; over an exposure of ``T`` seconds a source standing still would have
collected ``S T = F v T``. Its magnitude is that of the source standing still::

    m = ZP - 2.5 log10(F v T)

with the zero point ``ZP`` of the image's pixel values as they are (a stationary source whose
pixels sum to 1 has magnitude ZP), whatever their unit: counts, counts per second or a
calibrated flux. ``v T`` is the length the source crossed during the exposure, so for a trail
with both ends inside the frame ``F v T`` is simply its total flux; for a trail cut by the
frame the measured length is a lower limit, and the magnitude an upper limit (the source is
at least that bright).
"""

from __future__ import annotations

import math

import numpy as np

__all__ = ["trail_magnitude", "light_curve", "POGSON"]

POGSON = 2.5 / math.log(10.0)  # d(mag) per relative flux error


def trail_magnitude(flux_per_length, travelled, zeropoint, flux_per_length_err=None):
    """Magnitude of a moving source from its trail.

    Parameters
    ----------
    flux_per_length : float or ndarray
        Signal per pixel of trail length, in the image's units.
    travelled : float or ndarray
        Pixels the source crossed during the exposure: its rate in pixels per second times the
        exposure time, or the trail's length when both its ends lie inside the frame.
    zeropoint : float
        Zero point of the image's pixel values: a stationary source summing to 1 has it as
        magnitude.
    flux_per_length_err : float or ndarray, optional
        1-sigma noise of `flux_per_length`; when given, the magnitude's noise is returned too.

    Returns
    -------
    mag : float or ndarray
        NaN where the flux is not positive.
    mag_err : float or ndarray
        Only with `flux_per_length_err`.

    Examples
    --------
    >>> round(trail_magnitude(10.0, 100.0, 25.0), 3)
    17.5
    >>> [round(v, 4) for v in trail_magnitude(10.0, 100.0, 25.0, 1.0)]
    [17.5, 0.1086]
    """
    flux = np.asarray(flux_per_length, dtype=float) * np.asarray(travelled, dtype=float)
    with np.errstate(divide="ignore", invalid="ignore"):
        mag = np.where(flux > 0, zeropoint - 2.5 * np.log10(np.where(flux > 0, flux, 1.0)),
                       np.nan)
        if flux_per_length_err is None:
            return _scalar(mag)
        err = POGSON * np.asarray(flux_per_length_err, float) / np.asarray(flux_per_length, float)
        err = np.where(np.isfinite(mag), np.abs(err), np.nan)
    return _scalar(mag), _scalar(err)


def _scalar(value):
    value = np.asarray(value)
    return float(value) if value.ndim == 0 else value


def light_curve(streak, record, chunks: int = 20):
    """The streak's signal per pixel of length in `chunks` equal stretches from its start to its
    end, and the 1-sigma noise of each; NaN for a stretch without valid pixels.

    Computed from the band's running sum that the measurement kept (`record`, a
    :class:`~kestrova.catalog.StreakRecord`): the mean of the valid (nonzero) band pixels times
    the band's pixels per unit length, so that masked pixels and blanked crossing streaks leave
    no dip, scaled so that the chunks average to the streak's ``flux_per_length`` (the band
    holds only the core of the trail's profile). Each chunk's noise is the streak's
    ``flux_per_length_err`` scaled by its share of the valid pixels.

    Parameters
    ----------
    streak : Streak
    record : StreakRecord
    chunks : int

    Returns
    -------
    value, error : ndarray of shape (chunks,)

    Examples
    --------
    >>> from types import SimpleNamespace
    >>> position = np.arange(0.0, 40.0, 0.25)
    >>> values = np.where(position < 20.0, 1.0, 3.0)      # 4 band pixels per unit length
    >>> record = SimpleNamespace(position=position, running_sum=np.cumsum(values),
    ...                          start=0.0, end=40.0)
    >>> streak = SimpleNamespace(flux_per_length=8.0, flux_per_length_err=0.5)
    >>> value, error = light_curve(streak, record, chunks=4)
    >>> value.tolist(), error.tolist()
    ([4.0, 4.0, 12.0, 12.0], [1.0, 1.0, 1.0, 1.0])
    """
    edges = np.linspace(record.start, record.end, chunks + 1)
    position = np.asarray(record.position, dtype=float)
    values = np.diff(np.asarray(record.running_sum, dtype=float), prepend=0.0)
    inside = (position >= edges[0]) & (position < edges[-1])
    # Samples by chunk; the last chunk keeps a sample lying exactly on the end.
    chunk = np.clip(np.searchsorted(edges, position[inside], side="right") - 1, 0, chunks - 1)
    values = values[inside]
    valid = values != 0.0
    count = np.bincount(chunk, minlength=chunks).astype(float)
    good = np.bincount(chunk, weights=valid, minlength=chunks)
    total = np.bincount(chunk, weights=values, minlength=chunks)
    step = (edges[-1] - edges[0]) / chunks
    with np.errstate(divide="ignore", invalid="ignore"):
        value = np.where(good > 0, total / good * count / step, np.nan)
        density = count.sum() / (edges[-1] - edges[0])
        # The band holds only the core of a trail's profile: scale the chunks so that they
        # average to the streak's flux per length, its whole profile.
        band = total.sum() / good.sum() * density if good.sum() else 0.0
        if band > 0 and np.isfinite(streak.flux_per_length):
            value *= streak.flux_per_length / band
        scale = np.sqrt(good.sum() / good) * (count / step) / density
        error = np.where(good > 0, streak.flux_per_length_err * scale, np.nan)
    return value, error
