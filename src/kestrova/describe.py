"""Streaks in astronomers' terms: the catalog of a search, with the image's FITS header, turned
into catalog rows with sky positions, angular length and rate, position angle, photometry and
light curves (:func:`describe`).

The search itself works in pixels only; this stage adds what the header allows:

- a celestial WCS: both ends in RA/Dec (ICRS), the angular length, the position angle and the
  signal per arcsecond;
- an exposure time as well: the angular rate (a lower limit when the trail is ``truncated``);
- a zero point (from the header or given): the magnitude of the moving source (see
  :mod:`kestrova.photometry` for the convention).
"""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass, field
from typing import Optional

import numpy as np

from .columns import IMAGE_FIELDS, PIXEL_CONVENTIONS, build_table
from .photometry import light_curve, trail_magnitude

__all__ = ["Description", "describe", "is_truncated", "PIXEL_FIELDS", "SKY_FIELDS"]

PIXEL_FIELDS = ("x_start", "y_start", "x_end", "y_end")
SKY_FIELDS = ("ra_start", "dec_start", "ra_end", "dec_end", "length_arcsec", "pa")
MAGNITUDE_CONVENTION = ("m = ZP - 2.5 log10(flux_per_length * travelled px); travelled = length "
                        "for a trail inside the frame (see kestrova.photometry)")


@dataclass(frozen=True)
class Description:
    """The rows of a described catalog (one dict per streak, keyed by `columns`) and the
    image's `meta` (file, HDU, shape, pixel convention, exposure, zero point, ...).

    Examples
    --------
    >>> d = Description(("id", "length"), ({"id": 1, "length": 12.5},), {"shape": [9, 9]})
    >>> d.to_table(astropy=False)["length"]
    array([12.5])
    """

    columns: tuple
    rows: tuple
    meta: dict
    shapes: dict = field(default_factory=dict)

    def __len__(self):
        return len(self.rows)

    def to_table(self, astropy: Optional[bool] = None):
        """An astropy Table with units, descriptions and `meta`; a NumPy structured array
        without astropy or with `astropy` False."""
        return build_table(self.columns, self.rows, self.meta, astropy=astropy,
                           shapes=self.shapes)

    def skycoord(self, end: str = "start"):
        """The ICRS positions of every streak's start (or `end` = "end") as one
        astropy.coordinates.SkyCoord; ValueError when the image had no celestial WCS."""
        if f"ra_{end}" not in self.columns:
            raise ValueError("no sky positions: the image has no celestial WCS")
        from astropy.coordinates import SkyCoord

        return SkyCoord([r[f"ra_{end}"] for r in self.rows],
                        [r[f"dec_{end}"] for r in self.rows], unit="deg", frame="icrs")

    def scan_rows(self) -> list:
        """The rows as a scan writes them: without ``id`` (a scan numbers streaks by
        ``index``), with the image's exposure fields repeated in each."""
        image = {k: self.meta[k] for k in IMAGE_FIELDS if k in self.meta}
        return [{**{k: v for k, v in row.items() if k != "id"}, **image} for row in self.rows]


def is_truncated(streak, shape, excluded=None, margin: Optional[float] = None) -> bool:
    """Whether the streak may go on beyond an end: its line, continued `margin` pixels past
    either end (by default the band's half-width plus 2), leaves the image or meets an
    `excluded` pixel.

    Examples
    --------
    >>> from types import SimpleNamespace as S
    >>> inside = S(theta=0.0, x_start=10.0, y_start=5.0, x_end=30.0, y_end=5.0, width=2.0)
    >>> is_truncated(inside, (11, 41)), is_truncated(inside, (11, 33))
    (False, True)
    """
    margin = streak.width + 2.0 if margin is None else margin
    ux, uy = math.cos(streak.theta), math.sin(streak.theta)
    rows, cols = shape
    steps = np.arange(0.0, margin + 0.5, 0.5)
    for x, y, sign in ((streak.x_start, streak.y_start, -1.0), (streak.x_end, streak.y_end, 1.0)):
        px, py = x + sign * ux * steps, y + sign * uy * steps
        i, j = np.rint(py).astype(int), np.rint(px).astype(int)
        if (i < 0).any() or (j < 0).any() or (i >= rows).any() or (j >= cols).any():
            return True
        if excluded is not None and excluded[i, j].any():
            return True
    return False


def _pixel_row(streak, one_based: bool) -> dict:
    """Every field of the record, by name, with ``angle`` after ``theta`` and the ends shifted
    to 1-based pixels when asked."""
    row = {}
    for f in dataclasses.fields(streak):
        value = getattr(streak, f.name)
        row[f.name] = value + 1.0 if one_based and f.name in PIXEL_FIELDS else value
        if f.name == "theta":
            row["angle"] = float(np.degrees(value))
    return row


def _sky_rows(streaks, wcs, exptime):
    """Sky columns of every streak: ends in ICRS, angular length, position angle, rate."""
    from .sky import sky_ends

    start = sky_ends(wcs, [s.x_start for s in streaks], [s.y_start for s in streaks])
    end = sky_ends(wcs, [s.x_end for s in streaks], [s.y_end for s in streaks])
    length = start.separation(end).arcsec
    pa = start.position_angle(end).deg
    rows = []
    for k in range(len(streaks)):
        row = {"ra_start": float(start.ra.deg[k]), "dec_start": float(start.dec.deg[k]),
               "ra_end": float(end.ra.deg[k]), "dec_end": float(end.dec.deg[k]),
               "length_arcsec": float(length[k]), "pa": float(pa[k])}
        if exptime:
            row["rate"] = float(length[k]) / exptime
        rows.append(row)
    return rows


def describe(catalog, header=None, *, zeropoint: Optional[float] = None,
             one_based: bool = False, chunks: int = 20, file=None, hdu=None,
             extname: str = "") -> Description:
    """Describe the streaks of a search in astronomers' terms.

    Parameters
    ----------
    catalog : StreakCatalog
        The result of :func:`kestrova.find_streaks`.
    header : astropy.io.fits.Header or mapping, optional
        The image's FITS header: celestial WCS (SIP and other distortions included), DATE-OBS or
        MJD-OBS, EXPTIME, BUNIT, GAIN, MAGZERO/MAGZPT/MAGZP/PHOTZP (see
        :func:`kestrova.sky.read_exposure`).
    zeropoint : float, optional
        Magnitude zero point of the pixel values, instead of the header's.
    one_based : bool
        Give pixel positions 1-based as FITS and ds9 do (first pixel centre at (1, 1)) rather
        than 0-based.
    chunks : int
        Stretches of the light curve (the ``lightcurve`` column).
    file, hdu, extname : optional
        Where the image came from, for the meta.

    Returns
    -------
    Description
        Rows and meta; ``.to_table()`` makes the table, ``.skycoord()`` the positions.

    Examples
    --------
    >>> from kestrova.synthetic import TrueStreak, synthetic_sky
    >>> from kestrova import find_streaks
    >>> image, _ = synthetic_sky((100, 150), [TrueStreak(20, 30, 130, 70, 5.0)], seed=2)
    >>> header = {"CTYPE1": "RA---TAN", "CTYPE2": "DEC--TAN", "CRVAL1": 150.0,
    ...           "CRVAL2": 2.0, "CRPIX1": 75.0, "CRPIX2": 50.0, "CDELT1": -1e-4,
    ...           "CDELT2": 1e-4, "EXPTIME": 10.0, "MAGZERO": 25.0}
    >>> d = describe(find_streaks(image), header)
    >>> row = d.rows[0]
    >>> round(row["length_arcsec"] / row["length"], 2), row["truncated"]  # 0.36"/px, 117 px
    (0.36, False)
    >>> bool(4.0 < row["rate"] < 4.5), bool(abs(row["mag"] - 25 + 2.5 * np.log10(5 * 117)) < 0.2)
    (True, True)
    >>> d.skycoord("end").frame.name
    'icrs'
    """
    streaks = list(catalog)
    kind = type(streaks[0]) if streaks else _default_record()
    shape = tuple(catalog.shape)
    excluded = getattr(catalog, "excluded", None)
    records = tuple(getattr(catalog, "records", ()) or ())
    meta = {"file": None if file is None else str(file), "hdu": hdu, "extname": extname or None,
            "shape": list(shape), "pixel_origin": int(bool(one_based)),
            "pixel_convention": PIXEL_CONVENTIONS[int(bool(one_based))],
            "sigma": float(catalog.sigma), "background": float(getattr(catalog, "background",
                                                                        0.0))}
    meta = {k: v for k, v in meta.items() if v is not None}
    wcs = None
    if header is not None or zeropoint is not None:
        from .sky import celestial_wcs, read_exposure

        exposure = read_exposure(header, zeropoint)
        meta.update(exposure.meta())
        wcs = celestial_wcs(header)
        if wcs is not None:
            meta["wcs"] = str(wcs.wcs.ctype[0])
    rows = [{"id": k + 1, **_pixel_row(s, one_based),
             "truncated": is_truncated(s, shape, excluded)} for k, s in enumerate(streaks)]
    columns = ["id"] + [c for f in dataclasses.fields(kind)
                        for c in ((f.name, "angle") if f.name == "theta" else (f.name,))]
    columns.append("truncated")
    exptime = meta.get("exptime")
    if wcs is not None:
        columns += list(SKY_FIELDS) + (["rate"] if exptime else [])
        for row, sky in zip(rows, _sky_rows(streaks, wcs, exptime) if streaks else []):
            row.update(sky)
        columns += ["flux_per_arcsec", "flux_per_arcsec_err"]
        for row in rows:
            scale = row["length_arcsec"] / row["length"] if row["length"] > 0 else np.nan
            row["flux_per_arcsec"] = row["flux_per_length"] / scale
            row["flux_per_arcsec_err"] = row["flux_per_length_err"] / scale
    if "zeropoint" in meta:
        meta["magnitude"] = MAGNITUDE_CONVENTION
        columns += ["mag", "mag_err"]
        for row in rows:
            row["mag"], row["mag_err"] = trail_magnitude(
                row["flux_per_length"], row["length"], meta["zeropoint"],
                row["flux_per_length_err"])
    shapes = {}
    if records or not streaks:
        meta["chunks"] = chunks
        columns += ["lightcurve", "lightcurve_err"]
        shapes = {"lightcurve": (chunks,), "lightcurve_err": (chunks,)}
        for row, streak, record in zip(rows, streaks, records):
            row["lightcurve"], row["lightcurve_err"] = light_curve(streak, record, chunks)
    return Description(tuple(columns), tuple(rows), meta, shapes)


def _default_record():
    from .catalog import Streak

    return Streak
