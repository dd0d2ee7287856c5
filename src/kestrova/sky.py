"""Where and when: the streaks' ends on the sky from the image's celestial WCS, and what the
FITS header says about the exposure (start, end, exposure time, pixel unit, gain, zero point).

Sky positions come from astropy's WCS (``pixel_to_world``, with SIP and other distortions the
header describes) and are given in ICRS degrees. Needs astropy (the extra ``kestrova[fits]``).
"""

from __future__ import annotations

import math
import re
import warnings
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

__all__ = ["Exposure", "header_value", "read_exposure", "celestial_wcs", "sky_ends",
           "ZEROPOINT_KEYS", "EXPTIME_KEYS"]

ZEROPOINT_KEYS = ("MAGZERO", "MAGZPT", "MAGZP", "PHOTZP")
EXPTIME_KEYS = ("EXPTIME", "EXPOSURE")
# Time of day beside a DATE-OBS without one, most specific first.
TIME_OF_DAY_KEYS = ("TIME-OBS", "UT-STR", "UTSTART", "UT", "TAIHMS")
START_MJD_KEYS = ("MJD-BEG", "MJD-STR", "MJD-OBS")
# Flux-calibrated pixel units with a fixed zero point.
UNIT_ZEROPOINTS = {"nanomaggy": 22.5, "nanomaggies": 22.5, "nmgy": 22.5}


@dataclass(frozen=True)
class Exposure:
    """What a header says about its exposure; None where it says nothing.

    Attributes
    ----------
    start, end : astropy.time.Time or None
        Shutter opening and closing, in the header's time scale (TIMESYS).
    exptime : float or None
        Exposure time in seconds.
    bunit : str
        Unit of the pixel values ("" when not given).
    gain : float or None
        Detector gain (e-/ADU).
    zeropoint : float or None
        Magnitude zero point of the pixel values, and `zeropoint_source` where it came from.
    """

    start: Any = None
    end: Any = None
    exptime: Optional[float] = None
    bunit: str = ""
    gain: Optional[float] = None
    zeropoint: Optional[float] = None
    zeropoint_source: str = ""

    def meta(self) -> dict:
        """The known values as table meta: times in ISO and MJD (UTC).

        Examples
        --------
        >>> Exposure(exptime=30.0, bunit="adu").meta()
        {'bunit': 'adu', 'exptime': 30.0}
        """
        meta = {"bunit": self.bunit or None, "gain": self.gain, "exptime": self.exptime}
        for name, time in (("start", self.start), ("end", self.end)):
            if time is not None:
                meta[f"date_{name}"] = time.utc.isot
                meta[f"mjd_{name}"] = float(time.utc.mjd)
        meta["zeropoint"] = self.zeropoint
        meta["zeropoint_source"] = self.zeropoint_source or None
        return {k: v for k, v in meta.items() if v is not None}


def header_value(header, *keys):
    """The first of `keys` that `header` gives a value (strings stripped, empty ones skipped),
    with its key; (None, "") when none.

    Examples
    --------
    >>> header_value({"B": "  7 ", "C": 1}, "A", "B", "C")
    ('7', 'B')
    """
    if header is None:
        return None, ""
    for key in keys:
        value = header.get(key)
        if isinstance(value, str):
            value = value.strip()
        if value is not None and value != "":
            return value, key
    return None, ""


def _number(value) -> Optional[float]:
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    return number if math.isfinite(number) else None


def _time_scale(header) -> str:
    from astropy.time import Time

    scale, _ = header_value(header, "TIMESYS")
    scale = str(scale or "utc").lower()
    return scale if scale in Time.SCALES else "utc"


def _iso_date(text: str) -> Optional[str]:
    """A DATE-OBS as an ISO date (and time); the old "dd/mm/yy" form counts years from 1900."""
    old = re.fullmatch(r"(\d{1,2})/(\d{1,2})/(\d{2,3})", text)
    if old:
        day, month, year = map(int, old.groups())
        return f"{1900 + year:04d}-{month:02d}-{day:02d}"
    return text if re.match(r"\d{4}-\d{2}-\d{2}", text) else None


def _start_time(header, scale):
    """Shutter opening: DATE-BEG, DATE-OBS (with its time of day, or one of
    TIME_OF_DAY_KEYS), or an MJD of START_MJD_KEYS."""
    from astropy.time import Time

    candidates = []
    text, _ = header_value(header, "DATE-BEG")
    if text:
        candidates.append(("isot", str(text)))
    text, _ = header_value(header, "DATE-OBS")
    date = _iso_date(str(text)) if text else None
    if date and "T" in date:
        candidates.append(("isot", date))
    elif date:
        clock, _ = header_value(header, *TIME_OF_DAY_KEYS)
        if clock:
            candidates.append(("isot", f"{date}T{str(clock).strip()}"))
    mjd, _ = header_value(header, *START_MJD_KEYS)
    if _number(mjd) is not None:
        candidates.append(("mjd", _number(mjd)))
    for form, value in candidates:
        try:
            return Time(value, format=form, scale=scale)
        except (ValueError, TypeError):
            continue
    return None


def read_exposure(header, zeropoint: Optional[float] = None) -> Exposure:
    """The exposure described by a FITS `header` (an astropy Header or any mapping).

    The start is DATE-BEG, else DATE-OBS (with TIME-OBS, UT-STR, UTSTART, UT or TAIHMS when it
    holds no time of day), else MJD-BEG, MJD-STR or MJD-OBS; the end is the start plus EXPTIME
    (or EXPOSURE), else DATE-END or MJD-END. The zero point is `zeropoint` when given, else
    MAGZERO, MAGZPT, MAGZP or PHOTZP, else 2.5 log10(FLUXMAG0), else 22.5 for images in
    nanomaggies.

    Examples
    --------
    >>> e = read_exposure({"DATE-OBS": "2021-12-12", "TIME-OBS": "12:51:21", "EXPTIME": "300",
    ...                    "MAGZPT": 25.1})
    >>> e.start.isot, e.end.isot, e.exptime, e.zeropoint, e.zeropoint_source
    ('2021-12-12T12:51:21.000', '2021-12-12T12:56:21.000', 300.0, 25.1, 'MAGZPT')
    >>> read_exposure({"DATE-OBS": "26/07/102", "TIME-OBS": "19:36:37"}).start.isot
    '2002-07-26T19:36:37.000'
    """
    from astropy.time import Time, TimeDelta

    header = header if header is not None else {}
    scale = _time_scale(header)
    start = _start_time(header, scale)
    value, _ = header_value(header, *EXPTIME_KEYS)
    exptime = _number(value)
    exptime = exptime if exptime is not None and exptime >= 0 else None
    end = None
    if start is not None and exptime is not None:
        end = start + TimeDelta(exptime, format="sec")
    else:
        text, key = header_value(header, "DATE-END", "MJD-END")
        if text is not None:
            try:
                end = Time(_number(text) if key == "MJD-END" else str(text),
                           format="mjd" if key == "MJD-END" else "isot", scale=scale)
            except (ValueError, TypeError):
                end = None
        if start is not None and end is not None and exptime is None:
            exptime = float((end - start).sec)
    bunit, _ = header_value(header, "BUNIT")
    gain = _number(header_value(header, "GAIN", "EGAIN")[0])
    source = "given" if zeropoint is not None else ""
    if zeropoint is None:
        value, source = header_value(header, *ZEROPOINT_KEYS)
        zeropoint = _number(value)
    if zeropoint is None:
        flux0 = _number(header_value(header, "FLUXMAG0")[0])
        if flux0 is not None and flux0 > 0:
            zeropoint, source = 2.5 * math.log10(flux0), "FLUXMAG0"
    if zeropoint is None and str(bunit or "").lower() in UNIT_ZEROPOINTS:
        zeropoint, source = UNIT_ZEROPOINTS[str(bunit).lower()], "BUNIT"
    return Exposure(start, end, exptime, str(bunit or ""), gain if gain and gain > 0 else None,
                    None if zeropoint is None else float(zeropoint),
                    source if zeropoint is not None else "")


def celestial_wcs(header):
    """The celestial WCS of a FITS `header` (astropy.wcs.WCS, distortions included), or None
    when the header has none or one that astropy cannot use.

    Examples
    --------
    >>> celestial_wcs({"NAXIS": 2}) is None
    True
    """
    if header is None:
        return None
    from astropy.io import fits
    from astropy.wcs import WCS

    if not isinstance(header, fits.Header):
        header = fits.Header(dict(header))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the fixes astropy reports for old headers
        try:
            wcs = WCS(header, relax=True)
        except Exception:  # noqa: BLE001 - a damaged WCS is as good as none
            return None
    if not wcs.has_celestial:
        return None
    if wcs.naxis != 2 or wcs.pixel_n_dim != 2:
        wcs = wcs.celestial
    try:
        probe = wcs.pixel_to_world(0.0, 0.0)
    except Exception:  # noqa: BLE001 - a singular matrix, for one
        return None
    return wcs if np.isfinite(probe.spherical.lon.deg) else None


def sky_ends(wcs, x, y):
    """ICRS sky coordinates (astropy SkyCoord) of 0-based pixel positions `x` (columns) and `y`
    (rows).

    Examples
    --------
    >>> from astropy.wcs import WCS
    >>> w = WCS(naxis=2)
    >>> w.wcs.ctype = ["RA---TAN", "DEC--TAN"]
    >>> w.wcs.crval, w.wcs.crpix, w.wcs.cdelt = [10.0, 20.0], [1.0, 1.0], [-0.001, 0.001]
    >>> c = sky_ends(w, [0.0], [0.0])
    >>> round(float(c.ra.deg[0]), 6), round(float(c.dec.deg[0]), 6)
    (10.0, 20.0)
    """
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return wcs.pixel_to_world(np.asarray(x, float), np.asarray(y, float)).icrs
