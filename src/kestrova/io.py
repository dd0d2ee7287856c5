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
from pathlib import Path

import numpy as np

from .settings import as_image

__all__ = ["InputError", "check_writable", "file_kind", "fits_hdus", "need", "read_image",
           "read_mask", "write_catalog", "write_mask"]

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


def read_image(path, hdu: int | str | None = None) -> np.ndarray:
    """Read a 2-D image from FITS, ``.npy`` or a picture file (colour is averaged to grey).

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
    path = Path(path)
    if path.is_dir():
        raise InputError(f"{path}: is a directory, not an image file")
    if not path.is_file():
        raise InputError(f"{path}: no such file")
    kind = file_kind(path)
    if kind == "fits":
        data = _read_fits(path, hdu)
    elif hdu is not None:
        raise InputError(f"{path}: --hdu applies to FITS files only")
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
        return as_image(data)
    except (TypeError, ValueError) as exc:
        raise InputError(f"{path}: {exc}") from None


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return text[0] if text else type(exc).__name__


def _read_fits(path: Path, hdu):
    fits = need("astropy.io.fits", "fits", "reading FITS files")
    try:
        with fits.open(path, memmap=False) as hdus:
            if hdu is None:
                for unit in hdus:
                    if unit.data is not None and getattr(unit.data, "ndim", 0) == 2:
                        return np.array(unit.data)
                shapes = [getattr(u.data, "shape", None) for u in hdus]
                raise InputError(f"{path}: no HDU holds 2-D image data (shapes {shapes})")
            try:
                unit = hdus[hdu]
            except (KeyError, IndexError):
                raise InputError(f"{path}: no HDU {hdu!r} (the file has {len(hdus)})") from None
            if unit.data is None:
                raise InputError(f"{path}: HDU {hdu!r} holds no data")
            if not hasattr(unit.data, "ndim") or unit.data.dtype.names:
                raise InputError(f"{path}: HDU {hdu!r} is a table, not an image")
            return np.array(unit.data)
    except InputError:
        raise
    except Exception as exc:  # astropy raises many kinds of errors for damaged files
        raise InputError(f"{path}: not a readable FITS file ({_first_line(exc)})") from None


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


def write_catalog(catalog, path) -> None:
    """Write a catalog as ``.ecsv`` (needs astropy), ``.csv`` or ``.json``.

    Examples
    --------
    >>> import tempfile, os
    >>> from kestrova import StreakCatalog
    >>> path = os.path.join(tempfile.mkdtemp(), "c.json")
    >>> write_catalog(StreakCatalog((), (4, 4), 1.0), path)
    >>> open(path).read().startswith("{")
    True
    """
    path = Path(path)
    suffix = _suffix(path)
    table = catalog.to_table(astropy=False)
    names = table.dtype.names
    try:
        if suffix == ".ecsv":
            need("astropy.table", "fits", "writing .ecsv catalogs")
            catalog.to_table(astropy=True).write(path, format="ascii.ecsv", overwrite=True)
        elif suffix == ".csv":
            with open(path, "w", newline="") as out:
                writer = csv.writer(out)
                writer.writerow(names)
                for row in table:
                    writer.writerow([int(row[0])] + [repr(float(v)) for v in list(row)[1:]])
        elif suffix == ".json":
            rows = [{n: (int(row[n]) if n == "id" else float(row[n])) for n in names}
                    for row in table]
            document = {"shape": list(catalog.shape), "sigma": catalog.sigma, "streaks": rows}
            path.write_text(json.dumps(document, indent=1) + "\n")
        else:
            raise InputError(f"{path}: unknown catalog type '{suffix}' "
                             "(expected .ecsv, .csv or .json)")
    except OSError as exc:
        raise InputError(f"{path}: cannot write ({exc.strerror or exc})") from None


def write_mask(mask: np.ndarray, path) -> None:
    """Write a boolean mask as ``.npy`` or as FITS (unsigned 8-bit, 1 = streak).

    Examples
    --------
    >>> import tempfile, os
    >>> path = os.path.join(tempfile.mkdtemp(), "m.npy")
    >>> write_mask(np.eye(2, dtype=bool), path)
    >>> np.load(path).dtype
    dtype('bool')
    """
    path = Path(path)
    suffix = _suffix(path)
    try:
        if suffix == ".npy":
            np.save(path, np.asarray(mask, dtype=bool))
        elif suffix in FITS_SUFFIXES:
            fits = need("astropy.io.fits", "fits", "writing FITS masks")
            fits.PrimaryHDU(np.asarray(mask, dtype=np.uint8)).writeto(path, overwrite=True)
        else:
            raise InputError(f"{path}: unknown mask type '{suffix}' (expected .fits or .npy)")
    except OSError as exc:
        raise InputError(f"{path}: cannot write ({exc.strerror or exc})") from None
