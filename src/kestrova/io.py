"""Reading images and masks, writing catalogs and masks: every file that ``kestrova find`` and
``kestrova scan`` read or write passes through here.

FITS needs astropy and PNG/TIFF/JPEG need Pillow (the extras ``kestrova[fits]`` and
``kestrova[images]``); ``.npy`` needs nothing. Every failure to read or write is an
:class:`InputError` with a one-line message that names the file.
"""

from __future__ import annotations

import csv
import importlib
import json
import warnings
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any, Optional

import numpy as np

from .settings import as_image

__all__ = ["InputError", "Frame", "check_writable", "file_kind", "fits_hdus", "need",
           "read_frame", "read_image", "read_mask", "dq_mask", "write_catalog", "write_mask"]

FITS_SUFFIXES = {".fits", ".fit", ".fts", ".fz"}
PICTURE_SUFFIXES = {".png", ".tif", ".tiff", ".jpg", ".jpeg", ".bmp", ".gif"}


class InputError(Exception):
    """A file that cannot be used, with a message fit for the command line."""


def _suffix(path: Path) -> str:
    suffixes = [s.lower() for s in path.suffixes]
    if suffixes[-1:] == [".gz"] and len(suffixes) > 1:
        return suffixes[-2]
    return suffixes[-1] if suffixes else ""


def file_kind(path) -> str:
    """The kind of image file by its name: "fits", "npy", "picture", or "" for none.

    Examples
    --------
    >>> file_kind("a.fits.gz"), file_kind("b.NPY"), file_kind("c.txt")
    ('fits', 'npy', '')
    """
    suffix = _suffix(Path(path))
    if suffix in FITS_SUFFIXES:
        return "fits"
    if suffix in PICTURE_SUFFIXES:
        return "picture"
    return "npy" if suffix == ".npy" else ""


def need(module: str, extra: str, what: str):
    """The optional `module`, imported; an :class:`InputError` that says how to install it (the
    extra ``kestrova[extra]``) when it is missing.

    Examples
    --------
    >>> need("json", "fits", "this").__name__
    'json'
    >>> try:
    ...     need("no_such_module", "fits", "--this")
    ... except InputError as error:
    ...     print(error)
    --this needs the optional package no_such_module: pip install 'kestrova[fits]'
    """
    try:
        return importlib.import_module(module)
    except ImportError:
        raise InputError(f"{what} needs the optional package {module.split('.')[0]}: "
                         f"pip install 'kestrova[{extra}]'") from None


@dataclass(frozen=True)
class Frame:
    """An image as read from its file, with where it came from.

    Attributes
    ----------
    data : ndarray of float64
        The 2-D image, indexed [row, column].
    path : str
    hdu : int or None
        Index of the FITS HDU read (None for other files), and its `extname`.
    header : astropy.io.fits.Header or None
        The HDU's header, with the keywords of the primary header that it lacks (exposure
        time, date, ...: multi-extension files keep them there), WCS keywords excepted.
    chosen : bool
        The HDU was picked as the first holding a 2-D image, out of `count` HDUs.
    excluded : ndarray of bool or None
        Pixels flagged in the data-quality plane (see :func:`read_frame`), and `dq` that plane.
    """

    data: np.ndarray
    path: str
    hdu: Optional[int] = None
    extname: str = ""
    header: Any = None
    chosen: bool = False
    count: int = 1
    excluded: Optional[np.ndarray] = None
    dq: Optional[np.ndarray] = None


def read_image(path, hdu: int | str | None = None) -> np.ndarray:
    """Read a 2-D image from FITS, ``.npy`` or a picture file (colour is averaged to grey);
    :func:`read_frame` gives its header and origin too.

    Parameters
    ----------
    path : str or Path
    hdu : int or str, optional
        FITS extension (number or name); by default the first one holding 2-D data.

    Examples
    --------
    >>> import tempfile, os
    >>> path = os.path.join(tempfile.mkdtemp(), "a.npy")
    >>> np.save(path, np.ones((3, 4)))
    >>> read_image(path).shape
    (3, 4)
    """
    return read_frame(path, hdu).data


def read_frame(path, hdu: int | str | None = None, *, dq: int | str | None = None,
               dq_bits: Optional[int] = None) -> Frame:
    """Read a 2-D image with its header and origin: the one reader of ``kestrova find`` and
    ``kestrova scan``.

    Parameters
    ----------
    path : str or Path
        FITS, ``.npy`` or picture file.
    hdu : int or str, optional
        FITS extension (number or name); by default the first one holding 2-D data.
    dq : int or str, optional
        FITS extension of the same file holding an integer data-quality plane of the image's
        shape; its pixels with any of `dq_bits` set (by default any nonzero value) become
        :attr:`Frame.excluded`.
    dq_bits : int, optional
        The flag bits (a sum of powers of two) that exclude a pixel.

    Examples
    --------
    >>> import tempfile, os
    >>> from astropy.io import fits
    >>> path = os.path.join(tempfile.mkdtemp(), "a.fits")
    >>> dq = np.array([[0, 1, 4], [2, 0, 5]], dtype=np.int16)
    >>> fits.HDUList([fits.PrimaryHDU(header=fits.Header({"EXPTIME": 30.0})),
    ...               fits.ImageHDU(np.ones((2, 3)), name="SCI"),
    ...               fits.ImageHDU(dq, name="DQ")]).writeto(path)
    >>> frame = read_frame(path, dq="DQ", dq_bits=4)
    >>> frame.hdu, frame.extname, frame.chosen, frame.header["EXPTIME"]
    (1, 'SCI', True, 30.0)
    >>> frame.excluded.astype(int).tolist()
    [[0, 0, 1], [0, 0, 1]]
    """
    path = Path(path)
    if path.is_dir():
        raise InputError(f"{path}: is a directory, not an image file")
    if not path.is_file():
        raise InputError(f"{path}: no such file")
    kind = file_kind(path)
    origin = {}
    if kind == "fits":
        data, origin = _read_fits(path, hdu)
    elif hdu is not None or dq is not None:
        raise InputError(f"{path}: --{'hdu' if hdu is not None else 'dq'} applies to FITS "
                         "files only")
    elif kind == "npy":
        try:
            data = np.load(path, allow_pickle=False)
        except (ValueError, OSError, EOFError) as exc:
            raise InputError(f"{path}: not a readable .npy file ({_first_line(exc)})") from None
    elif kind == "picture":
        data = _read_picture(path)
    else:
        raise InputError(f"{path}: unknown file type '{_suffix(path)}' "
                         "(expected .fits, .npy, .png, .tif or .jpg)")
    try:
        data = as_image(data)
    except (TypeError, ValueError) as exc:
        raise InputError(f"{path}: {exc}") from None
    frame = Frame(data, str(path), **origin)
    if dq is None:
        return frame
    plane, _ = _read_fits(path, dq)
    plane = np.asarray(plane)
    if not np.issubdtype(plane.dtype, np.integer) or plane.shape != data.shape:
        raise InputError(f"{path}: HDU {dq!r} is no integer data-quality plane of the image's "
                         f"shape {data.shape} (found {plane.dtype} {plane.shape})")
    return replace(frame, excluded=dq_mask(plane, dq_bits), dq=plane)


def dq_mask(plane, bits: Optional[int] = None) -> np.ndarray:
    """Pixels of a data-quality `plane` with any of the flag `bits` set (any nonzero value when
    `bits` is None).

    Examples
    --------
    >>> dq_mask(np.array([0, 1, 2, 3, 8]), 2 | 8).tolist()
    [False, False, True, True, True]
    """
    plane = np.asarray(plane)
    return plane != 0 if bits is None else (plane & np.asarray(bits).astype(plane.dtype)) != 0


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return text[0] if text else type(exc).__name__


def _read_fits(path: Path, hdu):
    """The data of an HDU (by default the first holding 2-D data) and its origin: the fields
    of :class:`Frame` other than the data."""
    fits = need("astropy.io.fits", "fits", "reading FITS files")
    try:
        with fits.open(path, memmap=False) as hdus:
            chosen = hdu is None
            if chosen:
                index = next((i for i, unit in enumerate(hdus) if unit.data is not None
                              and getattr(unit.data, "ndim", 0) == 2), None)
                if index is None:
                    shapes = [getattr(u.data, "shape", None) for u in hdus]
                    raise InputError(f"{path}: no HDU holds 2-D image data (shapes {shapes})")
                unit = hdus[index]
            else:
                try:
                    unit = hdus[hdu]
                except (KeyError, IndexError):
                    raise InputError(f"{path}: no HDU {hdu!r} (the file has {len(hdus)})"
                                     ) from None
                index = next(i for i, u in enumerate(hdus) if u is unit)
            if unit.data is None:
                raise InputError(f"{path}: HDU {hdu!r} holds no data")
            if not hasattr(unit.data, "ndim") or unit.data.dtype.names:
                raise InputError(f"{path}: HDU {hdu!r} is a table, not an image")
            header = _with_primary(unit.header, hdus[0].header if index else None)
            origin = {"hdu": index, "extname": unit.name, "header": header, "chosen": chosen,
                      "count": len(hdus)}
            return np.array(unit.data), origin
    except InputError:
        raise
    except Exception as exc:  # astropy raises many kinds of errors for damaged files
        raise InputError(f"{path}: not a readable FITS file ({_first_line(exc)})") from None


# Keywords of a primary header that do not carry over to an extension: structure, checksums,
# and the WCS (an extension's own WCS, or its absence, stands).
_NOT_INHERITED = ("SIMPLE", "XTENSION", "BITPIX", "NAXIS", "EXTEND", "PCOUNT", "GCOUNT", "BSCALE",
                  "BZERO", "BLANK", "EXTNAME", "EXTVER", "CHECKSUM", "DATASUM", "INHERIT",
                  "COMMENT", "HISTORY", "WCSAXES", "CTYPE", "CRVAL", "CRPIX", "CDELT", "CUNIT",
                  "CROTA", "CD1_", "CD2_", "PC1_", "PC2_", "PV1_", "PV2_", "LONPOLE", "LATPOLE",
                  "A_", "B_", "AP_", "BP_")


def _with_primary(header, primary):
    """A copy of an extension's `header` with the `primary` header's keywords that it lacks."""
    header = header.copy()
    if primary is None:
        return header
    for card in primary.cards:
        key = card.keyword
        if key and not key.startswith(_NOT_INHERITED) and key not in header:
            header.append(card, end=True)
    return header


def _read_picture(path: Path):
    image_module = need("PIL.Image", "images", "reading picture files")
    try:
        with image_module.open(path) as picture:
            data = np.asarray(picture)
    except Exception as exc:
        raise InputError(f"{path}: not a readable picture ({_first_line(exc)})") from None
    if data.ndim == 3:  # colour (and alpha): grey level from the colour channels
        data = data[..., :3].astype(np.float64).mean(axis=2)
    return data


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


def fits_hdus(path) -> list[tuple[int, str, bool]]:
    """(index, EXTNAME, holds a 2-D image) of every HDU of a FITS file; only headers are read.
    The errors of a damaged file are astropy's own.

    Examples
    --------
    >>> import tempfile, os
    >>> from astropy.io import fits
    >>> path = os.path.join(tempfile.mkdtemp(), "a.fits")
    >>> fits.HDUList([fits.PrimaryHDU(), fits.ImageHDU(np.ones((2, 3)), name="SCI")]).writeto(path)
    >>> fits_hdus(path)
    [(0, 'PRIMARY', False), (1, 'SCI', True)]
    """
    fits = need("astropy.io.fits", "fits", "reading FITS files")
    # The warnings of a damaged header say no more than the error that follows them.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with fits.open(path, lazy_load_hdus=True, memmap=False) as hdul:
            return [(i, hdu.name, hdu.is_image and hdu.header.get("NAXIS") == 2)
                    for i, hdu in enumerate(hdul)]


def read_mask(path, shape, hdu: int | str | None = None) -> np.ndarray:
    """Read a boolean mask (True = ignore, from nonzero pixels) of the given shape from FITS
    (extension `hdu`, by default the first holding 2-D data), ``.npy`` or a picture.

    Examples
    --------
    >>> import tempfile, os
    >>> path = os.path.join(tempfile.mkdtemp(), "m.npy")
    >>> np.save(path, np.eye(3))
    >>> int(read_mask(path, (3, 3)).sum())
    3
    """
    mask = read_image(path, hdu) != 0
    if mask.shape != tuple(shape):
        raise InputError(f"{path}: mask shape {mask.shape} differs from image shape "
                         f"{tuple(shape)}")
    return mask


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
    suffix = _suffix(path)
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
    suffix = _suffix(path)
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
