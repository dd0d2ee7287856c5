"""Reading images and masks: every file that ``kestrova find`` and ``kestrova scan`` read passes
through here (the writers of catalogs and masks are in :mod:`kestrova.writers`).

FITS needs astropy and PNG/TIFF/JPEG need Pillow (the extras ``kestrova[fits]`` and
``kestrova[images]``); ``.npy`` needs nothing. Every failure to read or write is an
:class:`InputError` with a one-line message that names the file.
"""

from __future__ import annotations

import importlib
import warnings
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any, Optional

import numpy as np

from .settings import as_image

__all__ = ["InputError", "Frame", "check_writable", "file_kind", "fits_hdus", "need",
           "read_frame", "read_image", "read_mask", "dq_mask", "write_catalog", "write_mask"]

# The writers import from here, so they are loaded on first use (see __getattr__ below).
_WRITERS = ("CATALOG_TYPES", "check_writable", "write_catalog", "write_mask")

FITS_SUFFIXES = {".fits", ".fit", ".fts", ".fz"}
PICTURE_SUFFIXES = {".png", ".tif", ".tiff", ".jpg", ".jpeg", ".bmp", ".gif"}


class InputError(Exception):
    """A file that cannot be used, with a message fit for the command line."""


def file_suffix(path: Path) -> str:
    """The lower-case suffix that names a file's type, a trailing ``.gz`` passed over."""
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
    suffix = file_suffix(Path(path))
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
        raise InputError(f"{path}: unknown file type '{file_suffix(path)}' "
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


def __getattr__(name: str):
    if name in _WRITERS:
        from . import writers

        return getattr(writers, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted([*globals(), *_WRITERS])
