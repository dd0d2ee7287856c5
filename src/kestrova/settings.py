"""The image and the settings of a search, checked at the door.

:func:`find_streaks` and the command line check everything here before any work starts, so
that a setting that cannot work (a band wider than the image, a threshold of NaN, a background
cell of no pixels) fails at once with a message that names it, rather than after minutes or
deep inside the search. Checks that need the image (how wide a band can be, how coarse a
binning) run once its shape is known.
"""

from __future__ import annotations

import math
import numbers
import operator
from typing import Callable, Optional

import numpy as np

__all__ = ["as_image", "check_settings", "MIN_REDUCED_SIZE", "SEARCH_CLIP"]

# The reduced image of the coarse search needs this many pixels along its larger side for a
# line to be told from its neighbours.
MIN_REDUCED_SIZE = 16

# The search image is limited to this many sigma (see prepare_image), so that no single pixel
# dominates a line; the verification sums a line's significance from values limited alike.
SEARCH_CLIP = 3.0

# Defaults of the settings that other checks depend on (those of find_streaks).
_DEFAULT_WIDTH = 2.0


def as_image(image) -> np.ndarray:
    """`image` as a 2-D array of native-order floats: float32 when it is float32 or of a type
    that float32 holds exactly (8- and 16-bit integers, half precision, bool), float64
    otherwise. An array of the right type is not copied.

    Examples
    --------
    >>> as_image(np.ones((2, 3), np.uint16)).dtype, as_image([[1, 2], [3, 4]]).dtype
    (dtype('float32'), dtype('float64'))
    >>> as_image(np.ones((2, 2), complex))
    Traceback (most recent call last):
    ...
    ValueError: the image is complex: pass its real part, its imaginary part or its modulus
    """
    array = np.asarray(image)
    if array.dtype.kind == "c":
        raise ValueError("the image is complex: pass its real part, its imaginary part or "
                         "its modulus")
    if array.dtype.kind not in "biuf":
        raise TypeError(f"the image's pixel type {array.dtype} is not numeric")
    if array.ndim != 2:
        raise ValueError(f"expected 2-D image data, got shape {array.shape}")
    if array.size == 0:
        raise ValueError(f"the image is empty (shape {array.shape})")
    limit = 4 if array.dtype.kind == "f" else 2  # bytes of the types that float32 holds exactly
    dtype = np.float32 if array.dtype.itemsize <= limit else np.float64
    return array.astype(dtype, copy=False)


def _real(value, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {value!r}")
    value = float(value)
    if not math.isfinite(value):
        raise ValueError(f"{name} must be finite, got {value}")
    return value


def _integer(value, name: str) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {value!r}") from None


def _tiles(value, name: str):
    if isinstance(value, str) and value == "large":
        return value
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True, False or 'large', got {value!r}")
    return bool(value)


def _boolean(value, name: str):
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {value!r}")
    return bool(value)


def _at_least(value, lowest, name: str, strict: bool = False):
    if value < lowest or (strict and value == lowest):
        relation = "greater than" if strict else "at least"
        raise ValueError(f"{name} must be {relation} {lowest:g}, got {value:g}")
    return value


def check_settings(shape=None, *, spell: Optional[Callable[[str], str]] = None,
                   **settings) -> dict:
    """The settings of :func:`~kestrova.find_streaks` that are given, checked and converted
    (floats to float, counts to int, None kept where it stands for a default).

    Parameters
    ----------
    shape : tuple of int, optional
        The image's shape; when given, the settings are also checked against it: the band's
        half-width `width` at most half the smaller side, `min_length` at most the diagonal,
        and a `binning` that leaves at least :data:`MIN_REDUCED_SIZE` pixels.
    spell : callable, optional
        How a setting's name is written in the messages (say, as a command-line option).
    **settings
        Any of ``sigma``, ``min_snr``, ``max_streaks``, ``width``, ``min_length``, ``binning``,
        ``background_box``, ``max_candidates``, ``tiles`` and ``wide``.

    Raises
    ------
    TypeError
        A setting that is not a number (or not an integer where a count is expected, or not
        True, False or "large" for ``tiles``).
    ValueError
        A setting out of its range (NaN and infinities included), with a one-line message.

    Examples
    --------
    >>> check_settings(width=3, max_streaks=2)
    {'width': 3.0, 'max_streaks': 2}
    >>> check_settings((200, 300), width=1e4)
    Traceback (most recent call last):
    ...
    ValueError: width 10000 is too wide for an image of 200 x 300 pixels: at most 100 (...)
    >>> check_settings(min_snr=float("nan"), spell=lambda name: "--" + name.replace("_", "-"))
    Traceback (most recent call last):
    ...
    ValueError: --min-snr must be finite, got nan
    """
    spell = spell or str
    unknown = set(settings) - set(_CHECKS)
    if unknown:
        raise TypeError(f"unknown setting(s): {', '.join(sorted(unknown))}")
    checked = {}
    for name, value in settings.items():
        if value is None and name in _OPTIONAL:
            checked[name] = None
        else:
            checked[name] = _CHECKS[name](value, spell(name))
    if shape is not None:
        _check_against(checked, tuple(shape), spell)
    box = checked.get("background_box")
    if box is not None:
        width = checked.get("width", _DEFAULT_WIDTH)
        # A cell no wider than the band would take a streak for sky and subtract it.
        if box < 2.0 * width + 1.0:
            raise ValueError(f"{spell('background_box')} {box} is too small for a band of "
                             f"half-width {width:g}: at least 2 * width + 1 = "
                             f"{2.0 * width + 1.0:g} pixels")
    return checked


def _check_against(checked: dict, shape, spell) -> None:
    """The checks of `checked` that need the image's `shape`."""
    ny, nx = shape
    size = f"{ny} x {nx} pixels"
    width = checked.get("width")
    # Past half the smaller side a band holds most of the image whatever its line; the cost of
    # refining and measuring grows with the band's area, to minutes for a hopeless search.
    if width is not None and width > min(ny, nx) / 2.0:
        raise ValueError(f"{spell('width')} {width:g} is too wide for an image of {size}: at most "
                         f"{min(ny, nx) / 2.0:g} (half its smaller side)")
    min_length = checked.get("min_length")
    if min_length is not None and min_length > math.hypot(ny, nx):
        raise ValueError(f"{spell('min_length')} {min_length:g} is longer than the diagonal of "
                         f"an image of {size} ({math.hypot(ny, nx):.1f})")
    binning = checked.get("binning")
    most = max(1, max(ny, nx) // MIN_REDUCED_SIZE)
    if binning is not None and binning > most:
        raise ValueError(f"{spell('binning')} {binning} is too coarse for an image of {size}: at "
                         f"most {most} (a reduced image of {MIN_REDUCED_SIZE} pixels)")


_CHECKS = {
    "sigma": lambda v, name: _at_least(_real(v, name), 0.0, name, strict=True),
    "min_snr": lambda v, name: _at_least(_real(v, name), 0.0, name, strict=True),
    "max_streaks": lambda v, name: _at_least(_integer(v, name), 0, name),
    "width": lambda v, name: _at_least(_real(v, name), 0.0, name, strict=True),
    "min_length": lambda v, name: _at_least(_real(v, name), 0.0, name),
    "binning": lambda v, name: _at_least(_integer(v, name), 1, name),
    "background_box": lambda v, name: _at_least(_integer(v, name), 1, name),
    "max_candidates": lambda v, name: _at_least(_integer(v, name), 1, name),
    "tiles": _tiles,
    "wide": _boolean,
}
_OPTIONAL = {"sigma", "binning", "background_box"}
