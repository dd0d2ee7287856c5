"""Catalog columns: the unit and meaning of every column, and the tables made of described rows
(astropy Tables with units, or NumPy structured arrays without astropy).

Pixel positions are 0-based (column, row) with pixel centres at integers, so the first pixel
spans -0.5 to 0.5; with ``one_based`` they follow FITS and ds9, whose first pixel centre is
(1, 1). Flux columns are in the image's own pixel unit (``BUNIT``), "ct" when the header names
none.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass

import numpy as np

__all__ = ["Column", "COLUMNS", "IMAGE_FIELDS", "META_KEYWORDS", "PIXEL_CONVENTIONS",
           "flux_unit", "column_unit", "build_table", "fits_meta", "read_catalog"]


@dataclass(frozen=True)
class Column:
    """A catalog column: its unit (an astropy unit string; ``{flux}`` stands for the image's
    pixel unit), its meaning, and its NumPy type."""

    unit: str
    description: str
    dtype: str = "f8"


COLUMNS = {
    "id": Column("", "streak number in its image, strongest first", "i4"),
    "r": Column("pix", "signed distance of the line from the image centre"),
    "theta": Column("rad", "direction of the line from +column towards +row"),
    "angle": Column("deg", "theta in degrees, in [0, 180)"),
    "snr": Column("", "signal-to-noise ratio of the band along the whole line in the image"),
    "score": Column("", "detection signal-to-noise ratio"),
    "x_start": Column("pix", "start column"),
    "y_start": Column("pix", "start row"),
    "x_end": Column("pix", "end column"),
    "y_end": Column("pix", "end row"),
    "length": Column("pix", "length from start to end"),
    "flux_per_length": Column("{flux}/pix", "total signal of the trail per pixel of length"),
    "flux_per_length_err": Column("{flux}/pix", "1-sigma noise of flux_per_length"),
    "level": Column("{flux}", "fitted level of the running sum before the streak"),
    "goodness": Column("", "goodness figure of the ramp fit"),
    "width": Column("pix", "half-width of the measuring band"),
    "fwhm": Column("pix", "full width at half maximum of the trail's cross-profile"),
    "truncated": Column("", "an end lies at the frame edge or at excluded pixels: length and "
                            "rate are lower limits, mag an upper limit", "?"),
    "ra_start": Column("deg", "right ascension (ICRS) of the start"),
    "dec_start": Column("deg", "declination (ICRS) of the start"),
    "ra_end": Column("deg", "right ascension (ICRS) of the end"),
    "dec_end": Column("deg", "declination (ICRS) of the end"),
    "length_arcsec": Column("arcsec", "angular length from start to end"),
    "pa": Column("deg", "position angle of the end seen from the start, east of north"),
    "rate": Column("arcsec/s", "angular rate: length_arcsec over the exposure time"),
    "flux_per_arcsec": Column("{flux}/arcsec", "signal per arcsecond of length"),
    "flux_per_arcsec_err": Column("{flux}/arcsec", "1-sigma noise of flux_per_arcsec"),
    "mag": Column("mag", "magnitude of the moving source for the zero point"),
    "mag_err": Column("mag", "1-sigma noise of mag, from flux_per_length_err"),
    "lightcurve": Column("{flux}/pix", "flux_per_length in equal chunks from start to end"),
    "lightcurve_err": Column("{flux}/pix", "1-sigma noise of each lightcurve chunk"),
    # Fields of the images, in the rows of a scan.
    "file": Column("", "image file", "U"),
    "hdu": Column("", "FITS HDU index of the image (0 for .npy files)", "i4"),
    "extname": Column("", "EXTNAME of the image's HDU", "U"),
    "index": Column("", "streak number in its image, from 0, strongest first", "i4"),
    "nstreaks": Column("", "streaks found in the image", "i4"),
    "exptime": Column("s", "exposure time"),
    "mjd_start": Column("d", "exposure start, MJD (UTC)"),
    "mjd_end": Column("d", "exposure end, MJD (UTC)"),
    "zeropoint": Column("mag", "magnitude zero point of the image's pixel values"),
    "bunit": Column("", "unit of the image's pixel values (BUNIT)", "U"),
}

# Per-image values that a scan repeats in every row of the image.
IMAGE_FIELDS = ("exptime", "mjd_start", "mjd_end", "zeropoint", "bunit")

# FITS keyword and comment of each table meta entry, for FITS binary tables.
META_KEYWORDS = {
    "file": ("SRCFILE", "image file"),
    "hdu": ("SRCHDU", "HDU index of the image"),
    "extname": ("SRCEXT", "EXTNAME of the image's HDU"),
    "shape": (("IMROWS", "IMCOLS"), "image rows, columns"),
    "pixel_origin": ("PIXORIG", "pixel centre of the first pixel (0 or 1)"),
    "pixel_convention": ("PIXCONV", "pixel coordinate convention"),
    "sigma": ("SIGMA", "noise per pixel"),
    "background": ("SKYLEVEL", "median subtracted background"),
    "bunit": ("IMBUNIT", "unit of the image's pixel values"),
    "gain": ("GAIN", "[e-/ADU] detector gain from the header"),
    "exptime": ("EXPTIME", "[s] exposure time"),
    "date_start": ("DATE-BEG", "exposure start (UTC)"),
    "date_end": ("DATE-END", "exposure end (UTC)"),
    "mjd_start": ("MJD-BEG", "[d] exposure start, MJD (UTC)"),
    "mjd_end": ("MJD-END", "[d] exposure end, MJD (UTC)"),
    "zeropoint": ("MAGZERO", "[mag] zero point of the pixel values"),
    "zeropoint_source": ("ZPSOURCE", "where the zero point comes from"),
    "magnitude": ("MAGCONV", "magnitude convention"),
    "wcs": ("WCSTYPE", "projection of the image's celestial WCS"),
    "chunks": ("LCCHUNKS", "chunks of the lightcurve column"),
}

PIXEL_CONVENTIONS = {
    0: "0-based (column, row), pixel centres at integers: the first pixel spans -0.5..0.5",
    1: "1-based (column, row) as FITS and ds9: the first pixel's centre is (1, 1)",
}


def flux_unit(bunit) -> str:
    """The image's pixel unit as an astropy unit string: `bunit` when astropy knows it (case
    aside), else "ct".

    Examples
    --------
    >>> flux_unit("ADU"), flux_unit("electron/s"), flux_unit("nanomaggy"), flux_unit(None)
    ('adu', 'electron / s', 'nmgy', 'ct')
    """
    try:
        from astropy import units
    except ImportError:
        return bunit or "ct"
    text = (bunit or "").strip()
    for candidate in (text, text.lower(), text.rstrip("s")):
        if not candidate:
            continue
        try:
            return units.Unit(candidate, parse_strict="raise").to_string()
        except (ValueError, TypeError):
            continue
    return "ct"


def column_unit(name: str, flux: str = "ct") -> str:
    """The unit of column `name` for the flux unit `flux`; "" for none or an unknown column.

    Examples
    --------
    >>> column_unit("flux_per_arcsec", "adu"), column_unit("rate"), column_unit("snr")
    ('adu/arcsec', 'arcsec/s', '')
    """
    column = COLUMNS.get(name)
    return column.unit.format(flux=flux) if column else ""


def _column_array(name, values, length):
    """The values of one column as a NumPy array; None (a missing or non-finite value) becomes
    NaN, and numbers without their known type take the one of their values."""
    column = COLUMNS.get(name)
    if column is not None and column.dtype in ("i4", "?") and all(v is not None for v in values):
        return np.array(values, dtype=column.dtype).reshape(length)
    if column is not None and column.dtype == "U" or any(isinstance(v, str) for v in values):
        return np.array(["" if v is None else str(v) for v in values], dtype=str)
    if values and all(isinstance(v, (bool, np.bool_)) for v in values):
        return np.array(values, dtype=bool)
    if any(isinstance(v, (list, tuple, np.ndarray)) for v in values):
        sizes = {len(v) for v in values if v is not None}
        if len(sizes) == 1:
            size = sizes.pop()
            return np.array([[np.nan if x is None else x for x in v] if v is not None
                             else [np.nan] * size for v in values], dtype=float)
        return np.array(values + [None], dtype=object)[:-1]
    return np.array([np.nan if v is None else v for v in values], dtype=float).reshape(length)


def build_table(names, rows, meta=None, *, astropy: bool | None = None, shapes=None):
    """A table of `rows` (dicts) with the columns `names`: an astropy Table with units and
    descriptions, or a NumPy structured array when astropy is missing or `astropy` is False.

    Parameters
    ----------
    names : sequence of str
    rows : sequence of dict
    meta : dict, optional
        Table meta; its "bunit" sets the unit of the flux columns.
    shapes : dict, optional
        Shape of each row's value in array columns, for tables without rows.

    Examples
    --------
    >>> t = build_table(["id", "length"], [{"id": 1, "length": 5.0}], {"bunit": "adu"})
    >>> t["length"].unit, t["id"].description
    (Unit("pix"), 'streak number in its image, strongest first')
    >>> build_table(["id", "length"], [], astropy=False).dtype.names
    ('id', 'length')
    """
    meta = dict(meta or {})
    shapes = shapes or {}
    arrays = []
    for name in names:
        values = [row.get(name) for row in rows]
        if values:
            array = _column_array(name, values, len(values))
        else:
            dtype = COLUMNS[name].dtype if name in COLUMNS else "f8"
            array = np.zeros((0, *shapes.get(name, ())), dtype=dtype)
        arrays.append(array)
    dtype = [(name, a.dtype, a.shape[1:]) for name, a in zip(names, arrays)]
    structured = np.zeros(len(rows), dtype=dtype)
    for name, array in zip(names, arrays):
        structured[name] = array
    if astropy is False:
        return structured
    try:
        from astropy.table import Table
    except ImportError:
        if astropy:
            raise
        return structured
    table = Table(structured, meta=meta)
    flux = flux_unit(meta.get("bunit"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a unit unknown to the FITS standard still works here
        for name in names:
            unit = column_unit(name, flux)
            if unit:
                table[name].unit = unit
            if name in COLUMNS:
                table[name].description = COLUMNS[name].description
    return table


def fits_meta(meta: dict) -> list:
    """Header cards (keyword, value, comment) for a table's `meta`: known entries under their
    FITS keywords, others as HIERARCH cards; lists and mappings are left out.

    Examples
    --------
    >>> fits_meta({"shape": [3, 4], "sigma": 1.5, "odd": None})
    [('IMROWS', 3, 'image rows, columns'), ('IMCOLS', 4, 'image rows, columns'), \
('SIGMA', 1.5, 'noise per pixel')]
    """
    cards = []
    for key, value in meta.items():
        keyword, comment = META_KEYWORDS.get(key, (f"HIERARCH {key}", ""))
        if isinstance(keyword, tuple):
            cards += [(k, v, comment) for k, v in zip(keyword, value)]
        elif isinstance(value, (str, bool, int, float, np.integer, np.floating)):
            cards.append((keyword, value, comment))
    return cards


# Columns of a scan row that say how the image went, not what a streak is.
_SCAN_STATUS = ("status", "message")


def read_catalog(path, *, astropy: bool | None = None, one_based: bool = False):
    """The streaks of a scan's JSON-lines catalog as one table: an astropy Table with units and
    descriptions (the file, HDU and exposure of each streak's image among its columns), or a
    NumPy structured array without astropy or with `astropy` False.

    The catalog holds 0-based pixel positions; `one_based` gives them 1-based as FITS and ds9
    count. An astropy Table's meta lists the images without streaks (``empty``) and those that
    failed (``failed``, with their messages) as "file[hdu]" strings. A torn last line (a crash
    while writing) is left out; :func:`kestrova.scan.read_catalog` gives the raw rows.

    Examples
    --------
    >>> import json, os, tempfile
    >>> path = os.path.join(tempfile.mkdtemp(), "scan.jsonl")
    >>> rows = [{"file": "/a.fits", "hdu": 1, "extname": "SCI", "status": "ok", "nstreaks": 1,
    ...          "index": 0, "x_start": 3.0, "length": 40.0, "exptime": 30.0},
    ...         {"file": "/b.fits", "hdu": 1, "extname": "", "status": "none", "nstreaks": 0}]
    >>> with open(path, "w") as out:
    ...     _ = out.write("".join(json.dumps(row) + "\\n" for row in rows))
    >>> table = read_catalog(path, one_based=True)
    >>> table["x_start"].tolist(), str(table["exptime"].unit), table.meta["empty"]
    ([4.0], 's', ['/b.fits[1]'])
    """
    from .describe import PIXEL_FIELDS
    from .scan.store import read_catalog as read_rows

    streaks, empty, failed = [], [], []
    for row in read_rows(path):
        where = f"{row.get('file')}[{row.get('hdu')}]"
        if row.get("status") == "ok":
            streaks.append(row)
        elif row.get("status") == "error":
            failed.append(f"{where}: {row.get('message', '')}")
        else:
            empty.append(where)
    names = list(dict.fromkeys(k for row in streaks for k in row if k not in _SCAN_STATUS))
    if one_based:
        streaks = [{k: (v + 1.0 if k in PIXEL_FIELDS and v is not None else v)
                    for k, v in row.items()} for row in streaks]
    units = {row.get("bunit") for row in streaks}
    meta = {"pixel_origin": int(bool(one_based)),
            "pixel_convention": PIXEL_CONVENTIONS[int(bool(one_based))],
            "bunit": units.pop() if len(units) == 1 else None, "empty": empty,
            "failed": failed}
    return build_table(names, streaks, {k: v for k, v in meta.items() if v is not None},
                       astropy=astropy)
