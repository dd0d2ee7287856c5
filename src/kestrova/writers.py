"""Writing catalogs and masks (and checking first that they can be written): every file that
``kestrova find`` writes passes through here.

``.ecsv`` and FITS need astropy (the extra ``kestrova[fits]``); ``.csv``, ``.json`` and ``.npy``
need nothing. Every failure to write is an :class:`~kestrova.io.InputError` with a one-line
message that names the file.
"""

from __future__ import annotations

import csv
import json
import warnings
from pathlib import Path
from typing import Optional

import numpy as np

from .io import FITS_SUFFIXES, InputError, file_suffix, need

__all__ = ["CATALOG_TYPES", "check_writable", "write_catalog", "write_mask"]


def check_writable(path, what: str) -> None:
    """An :class:`InputError` unless a file can be written at `path`: tried before the work
    whose result goes there, not after it. Nothing is left behind.

    Examples
    --------
    >>> try:
    ...     check_writable("/no/such/folder/c.csv", "catalog")
    ... except InputError as error:
    ...     print(error)
    /no/such/folder/c.csv: cannot write the catalog (No such file or directory)
    """
    path = Path(path)
    if path.is_dir():
        raise InputError(f"{path}: is a directory; name a {what} file")
    existed = path.exists()
    try:
        with open(path, "ab"):
            pass
    except OSError as exc:
        raise InputError(f"{path}: cannot write the {what} ({exc.strerror or exc})") from None
    if not existed:
        path.unlink(missing_ok=True)


CATALOG_TYPES = (".ecsv", ".fits", ".csv", ".json")


def write_catalog(catalog, path) -> None:
    """Write a catalog as ``.ecsv`` or a FITS binary table (``.fits``; both with units,
    descriptions and meta, and need astropy), ``.csv`` or ``.json``.

    Parameters
    ----------
    catalog : Description or StreakCatalog
        A described catalog (:func:`kestrova.describe.describe`), or a search's catalog, which
        is described without a header.
    path : str or Path

    Examples
    --------
    >>> import tempfile, os
    >>> from kestrova import StreakCatalog
    >>> path = os.path.join(tempfile.mkdtemp(), "c.json")
    >>> write_catalog(StreakCatalog((), (4, 4), 1.0), path)
    >>> open(path).read().startswith("{")
    True
    """
    from .columns import COLUMNS, column_unit, fits_meta, flux_unit

    description = catalog.describe() if hasattr(catalog, "describe") else catalog
    path = Path(path)
    suffix = file_suffix(path)
    try:
        if suffix in (".ecsv", ".fits"):
            need("astropy.table", "fits", f"writing {suffix} catalogs")
            table = description.to_table(astropy=True)
            if suffix == ".ecsv":
                table.write(path, format="ascii.ecsv", overwrite=True)
            else:
                _write_fits_table(table, path, fits_meta(description.meta))
        elif suffix == ".csv":
            table = description.to_table(astropy=False)
            with open(path, "w", newline="") as out:
                writer = csv.writer(out)
                writer.writerow(table.dtype.names)
                for row in table:
                    writer.writerow([_csv_value(v) for v in row.tolist()])
        elif suffix == ".json":
            flux = flux_unit(description.meta.get("bunit"))
            meta = description.meta
            document = {"shape": meta["shape"], "sigma": meta["sigma"], "meta": meta,
                        "columns": {n: {"unit": column_unit(n, flux),
                                        "description": COLUMNS[n].description
                                        if n in COLUMNS else ""} for n in description.columns},
                        "streaks": [_json_ready(row) for row in description.rows]}
            path.write_text(json.dumps(document, indent=1) + "\n")
        else:
            raise InputError(f"{path}: unknown catalog type '{suffix}' "
                             f"(expected {', '.join(CATALOG_TYPES)})")
    except OSError as exc:
        raise InputError(f"{path}: cannot write ({exc.strerror or exc})") from None


def _csv_value(value):
    """A CSV cell: numbers in full precision, an array's values separated by spaces."""
    if np.ndim(value) > 0:
        return " ".join(repr(float(v)) for v in np.ravel(value))
    if isinstance(value, (bool, int, str, np.bool_)):
        return value
    return repr(float(value))


def _json_ready(row: dict) -> dict:
    """A row as strict JSON values: arrays as lists, NaN and infinities as null."""
    out = {}
    for key, value in row.items():
        value = value.tolist() if hasattr(value, "tolist") else value
        if isinstance(value, list):
            value = [v if np.isfinite(v) else None for v in value]
        elif isinstance(value, float) and not np.isfinite(value):
            value = None
        out[key] = value
    return out


def _write_fits_table(table, path: Path, cards) -> None:
    fits = need("astropy.io.fits", "fits", "writing FITS catalogs")
    table = table.copy(copy_data=False)
    table.meta.clear()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # long text values continue over several cards
        hdu = fits.table_to_hdu(table)
        hdu.name = "STREAKS"
        # A unit outside the FITS standard (nanomaggies, say) is kept as astropy writes it.
        for n, column in enumerate(table.columns.values(), 1):
            if column.unit is not None and f"TUNIT{n}" not in hdu.header:
                hdu.header.set(f"TUNIT{n}", column.unit.to_string(), after=f"TFORM{n}")
        for keyword, value, comment in cards:
            hdu.header[keyword] = (value, comment)
        fits.HDUList([fits.PrimaryHDU(), hdu]).writeto(path, overwrite=True)


# Keywords of the image's header that say nothing true of a mask made from it.
_NOT_FOR_MASKS = ("BSCALE", "BZERO", "BLANK", "BUNIT", "CHECKSUM", "DATASUM", "DATAMIN",
                  "DATAMAX", "EXTNAME", "EXTVER", "INHERIT")


def write_mask(mask: np.ndarray, path, *, header=None, bit: Optional[int] = None,
               dq: Optional[np.ndarray] = None) -> None:
    """Write a boolean mask as ``.npy`` or as FITS: unsigned 8-bit, 1 = streak, or with `bit`
    the flag ``2**bit`` OR-ed into the data-quality plane `dq` (a plane of zeros when None).

    Parameters
    ----------
    mask : ndarray of bool
    path : str or Path
    header : astropy.io.fits.Header, optional
        The image's header; a FITS mask keeps its keywords, its WCS among them.
    bit : int, optional
        Flag bit of the streaks (FITS only).
    dq : ndarray of int, optional
        Existing data-quality plane of the image, for `bit`.

    Examples
    --------
    >>> import tempfile, os
    >>> path = os.path.join(tempfile.mkdtemp(), "m.npy")
    >>> write_mask(np.eye(2, dtype=bool), path)
    >>> np.load(path).dtype
    dtype('bool')
    >>> from astropy.io import fits
    >>> path = os.path.join(tempfile.mkdtemp(), "m.fits")
    >>> write_mask(np.eye(2, dtype=bool), path, bit=3, dq=np.array([[0, 1], [2, 0]], np.int16))
    >>> fits.getdata(path).tolist(), fits.getheader(path)["STRKBIT"]
    ([[8, 1], [2, 8]], 3)
    """
    path = Path(path)
    suffix = file_suffix(path)
    mask = np.asarray(mask, dtype=bool)
    try:
        if suffix == ".npy":
            if bit is not None:
                raise InputError(f"{path}: a streak flag bit needs a FITS mask")
            np.save(path, mask)
        elif suffix in FITS_SUFFIXES:
            fits = need("astropy.io.fits", "fits", "writing FITS masks")
            fits.PrimaryHDU(_mask_plane(mask, bit, dq), _mask_header(header, bit)).writeto(
                path, overwrite=True)
        else:
            raise InputError(f"{path}: unknown mask type '{suffix}' (expected .fits or .npy)")
    except OSError as exc:
        raise InputError(f"{path}: cannot write ({exc.strerror or exc})") from None


def _mask_plane(mask, bit, dq):
    if bit is None:
        return mask.astype(np.uint8)
    if not 0 <= bit < 63:
        raise InputError(f"flag bit {bit} out of range (0 to 62)")
    plane = np.zeros(mask.shape, np.uint8) if dq is None else np.asarray(dq)
    dtype = np.result_type(plane.dtype, np.min_scalar_type(1 << bit))
    plane = plane.astype(dtype, copy=True)
    plane[mask] |= dtype.type(1 << bit)
    return plane


def _mask_header(header, bit):
    fits = need("astropy.io.fits", "fits", "writing FITS masks")
    out = fits.Header() if header is None else header.copy(strip=True)
    for key in _NOT_FOR_MASKS:
        out.remove(key, ignore_missing=True, remove_all=True)
    if bit is None:
        out["COMMENT"] = "kestrova streak mask: 1 = on a streak"
    else:
        out["STRKBIT"] = (bit, "flag bit of pixels on a streak")
    return out
