"""Line geometry in the pixel frame that :class:`kestrova.hough.HoughTransform` uses.

The frame is centred on the image: ``x = column - (nx - 1) / 2`` and ``y = row - (ny - 1) / 2``.
A line (r, theta) holds the points with ``sin(theta) x - cos(theta) y == r`` and runs in the
direction ``(cos theta, sin theta)``; its foot point is ``(r sin theta, -r cos theta)``. Every
conversion between pixels, the frame and (r, theta) in the package is written here, once.
"""

from __future__ import annotations

import numpy as np

__all__ = ["centre", "to_frame", "to_pixels", "across", "along", "point", "line_through",
           "canonical", "same_line", "span", "chord", "segment_region", "band_pixels",
           "to_full_r", "to_reduced_r", "ends_along"]


def centre(shape) -> tuple[float, float]:
    """(column, row) of the frame's origin in an image of `shape` (rows, columns).

    Examples
    --------
    >>> centre((3, 4))
    (1.5, 1.0)
    """
    return (shape[1] - 1) / 2.0, (shape[0] - 1) / 2.0


def to_frame(shape, col, row):
    """Pixel coordinates (column, row) as frame coordinates (x, y).

    Examples
    --------
    >>> to_frame((3, 4), 0.0, 2.0)
    (-1.5, 1.0)
    """
    cx, cy = centre(shape)
    return col - cx, row - cy


def to_pixels(shape, x, y):
    """Frame coordinates (x, y) as pixel coordinates (column, row); inverse of :func:`to_frame`.

    Examples
    --------
    >>> to_pixels((3, 4), -1.5, 1.0)
    (0.0, 2.0)
    """
    cx, cy = centre(shape)
    return x + cx, y + cy


def across(r, theta, x, y, out=None):
    """Signed distance of the frame point(s) (x, y) from the line (r, theta); written to the
    array `out` when given.

    Examples
    --------
    >>> float(across(1.0, 0.0, 5.0, -3.0))   # the line y = -1
    2.0
    """
    if out is None:
        return np.sin(theta) * x - np.cos(theta) * y - r
    np.subtract(np.sin(theta) * x, np.cos(theta) * y, out=out)
    return np.subtract(out, r, out=out)


def along(theta, x, y, out=None):
    """Position of the frame point(s) (x, y) along a line of angle `theta`, from its foot point;
    written to the array `out` when given.

    Examples
    --------
    >>> float(along(0.0, 5.0, -3.0))
    5.0
    """
    if out is None:
        return np.cos(theta) * x + np.sin(theta) * y
    return np.add(np.cos(theta) * x, np.sin(theta) * y, out=out)


def point(r, theta, t):
    """The frame point at position `t` along the line (r, theta); see :func:`along`.

    Examples
    --------
    >>> [float(v) for v in point(1.0, 0.0, 5.0)]
    [5.0, -1.0]
    """
    return r * np.sin(theta) + t * np.cos(theta), -r * np.cos(theta) + t * np.sin(theta)


def ends_along(shape, theta, start, end) -> tuple[float, float]:
    """Positions (lower first) along a line of angle `theta` of the pixel positions `start`
    and `end` (column, row) of an image of `shape`: a streak's segment on its own line, or
    where it falls along another.

    Examples
    --------
    >>> ends_along((11, 11), 0.0, (9.0, 2.0), (1.0, 2.0))
    (-4.0, 4.0)
    """
    a, b = (float(along(theta, *to_frame(shape, *p))) for p in (start, end))
    return min(a, b), max(a, b)


def line_through(shape, col0, row0, col1, row1) -> tuple[float, float]:
    """The line (r, theta), theta in [0, pi), through two pixel positions of an image of `shape`.

    The direction (cos theta, sin theta) may run from the second point to the first.

    Examples
    --------
    >>> line_through((11, 11), 0.0, 2.0, 10.0, 2.0)
    (3.0, 0.0)
    """
    theta = np.arctan2(row1 - row0, col1 - col0) % np.pi
    return float(across(0.0, theta, *to_frame(shape, col0, row0))), float(theta)


def canonical(r: float, theta: float):
    """The same line with theta in [0, pi).

    Examples
    --------
    >>> canonical(2.0, -0.1)[0]
    -2.0
    """
    turns = np.floor(theta / np.pi)
    theta -= turns * np.pi
    if theta >= np.pi:
        theta -= np.pi
        turns += 1
    return (-r if int(turns) % 2 else r), float(theta)


def same_line(r1, t1, r2, t2, dr, dt) -> bool:
    """Whether two lines with theta in [0, pi) are within (dr, dt) of each other, across the
    wrap-around at pi where (r, theta) continues as (-r, theta - pi).

    Examples
    --------
    >>> same_line(2.0, 0.01, -2.0, np.pi - 0.01, 0.5, 0.05)
    True
    """
    if abs(t1 - t2) > np.pi / 2:
        r2, t2 = -r2, t2 + (np.pi if t2 < t1 else -np.pi)
    return abs(t1 - t2) <= dt and abs(r1 - r2) <= dr


def span(origin, direction, lower, upper) -> tuple[float, float]:
    """Range [lo, hi] of t for which ``origin + t * direction`` stays within the box
    ``lower <= (x, y) <= upper``; (0, 0) for a line parallel to an edge and outside the box.

    Examples
    --------
    >>> span((5.0, 5.0), (1.0, 0.0), (0.0, 0.0), (9.0, 9.0))
    (-5.0, 4.0)
    """
    lo, hi = -np.inf, np.inf
    for p, u, low, high in zip(origin, direction, lower, upper):
        if abs(u) < 1e-12:
            if not low <= p <= high:
                return 0.0, 0.0
            continue
        t0, t1 = (low - p) / u, (high - p) / u
        lo, hi = max(lo, min(t0, t1)), min(hi, max(t0, t1))
    return float(lo), float(hi)


def chord(r, theta, shape) -> tuple[float, float]:
    """Along-line range (see :func:`along`) of the line (r, theta) inside the rectangle of pixel
    centres of an image of `shape`.

    Examples
    --------
    >>> chord(0.0, 0.0, (5, 9))
    (-4.0, 4.0)
    """
    c, s = np.cos(theta), np.sin(theta)
    half_x, half_y = centre(shape)
    return span((r * s, -r * c), (c, s), (-half_x, -half_y), (half_x, half_y))


def segment_region(shape, r, theta, start, end, half_width: float, extend: float):
    """Pixels within `half_width` of the line (r, theta) and within `extend` of its stretch from
    `start` to `end` (pixel positions), as a boolean array over the bounding box and the box's
    (row slice, column slice).

    Examples
    --------
    >>> region, box = segment_region((7, 9), 0.0, 0.0, (2.0, 3.0), (6.0, 3.0), 1.5, 0.0)
    >>> box
    (slice(0, 7, None), slice(0, 9, None))
    >>> region.astype(int)
    array([[0, 0, 0, 0, 0, 0, 0, 0, 0],
           [0, 0, 0, 0, 0, 0, 0, 0, 0],
           [0, 0, 1, 1, 1, 1, 1, 0, 0],
           [0, 0, 1, 1, 1, 1, 1, 0, 0],
           [0, 0, 1, 1, 1, 1, 1, 0, 0],
           [0, 0, 0, 0, 0, 0, 0, 0, 0],
           [0, 0, 0, 0, 0, 0, 0, 0, 0]])
    """
    m0 = along(theta, *to_frame(shape, *start))
    m1 = along(theta, *to_frame(shape, *end))
    (rows, cols), (xx, yy) = _box(shape, start, end, half_width + extend + 1.0)
    region = np.empty((yy.shape[0], xx.shape[1]), bool)
    # A block of rows at a time: the box of a long diagonal streak is the whole image, and a
    # box-sized array of floats would be twice a float32 image.
    step = max(1, 2**16 // max(xx.shape[1], 1))
    for k in range(0, yy.shape[0], step):
        y = yy[k:k + step]
        buffer = np.empty((y.shape[0], xx.shape[1]))
        inside = np.abs(across(r, theta, xx, y, out=buffer), out=buffer) < half_width
        m = along(theta, xx, y, out=buffer)
        inside &= m >= m0 - extend
        inside &= m <= m1 + extend
        region[k:k + step] = inside
    return region, (rows, cols)


def strip(shape, r, theta, a, b, reach: float):
    """The pixels of an image of `shape` within `reach` of the line (r, theta) whose along-line
    position lies in [a, b]: their rows, columns, across- and along-line coordinates.

    Examples
    --------
    >>> rows, cols, d, m = strip((5, 9), 0.0, 0.0, -1.0, 1.0, 1.5)   # the middle row
    >>> sorted(zip(rows.tolist(), cols.tolist()))
    [(1, 3), (1, 4), (1, 5), (2, 3), (2, 4), (2, 5), (3, 3), (3, 4), (3, 5)]
    """
    c, s = np.cos(theta), np.sin(theta)
    # Walk along the axis the line follows more closely; each step meets the strip in a run
    # of at most 2 reach / |cos| (|sin|) pixels across: gather those runs, then select.
    corners = [point(r + d, theta, t) for d in (-reach, reach) for t in (a, b)]
    major = 0 if abs(c) >= abs(s) else 1
    half = centre(shape)
    size = shape[1 - major]
    lo = max(int(np.floor(min(p[major] for p in corners) + half[major])), 0)
    hi = min(int(np.ceil(max(p[major] for p in corners) + half[major])), size - 1)
    if hi < lo or not np.isfinite(reach):
        empty = np.zeros(0, np.intp)
        return empty, empty, np.zeros(0), np.zeros(0)
    steps = np.arange(lo, hi + 1)
    t = steps - half[major]
    if major == 0:  # across = s x - c y - r = 0 gives the line's y at each x
        mid, slope = (s * t - r) / c, 1.0 / abs(c)
    else:
        mid, slope = (c * t + r) / s, 1.0 / abs(s)
    k = int(np.ceil(2.0 * reach * slope)) + 3
    other = np.floor(mid + half[1 - major] - reach * slope).astype(np.intp)[:, None] - 1 \
        + np.arange(k)
    steps = np.broadcast_to(steps[:, None], other.shape)
    inside = (other >= 0) & (other < shape[major])
    other, steps = other[inside], steps[inside]
    rows, cols = (other, steps) if major == 0 else (steps, other)
    x, y = to_frame(shape, cols, rows)
    d, m = across(r, theta, x, y), along(theta, x, y)
    keep = (np.abs(d) < reach) & (m >= a) & (m <= b)
    return rows[keep], cols[keep], d[keep], m[keep]


def _box(shape, start, end, pad: float):
    """The (row slice, column slice) of the pixels within `pad` of the bounding box of two pixel
    positions, clipped to the image, and the frame coordinates (x as a row, y as a column)."""
    ny, nx = shape
    (x0, y0), (x1, y1) = start, end
    c0 = max(int(np.floor(min(x0, x1) - pad)), 0)
    c1 = min(int(np.ceil(max(x0, x1) + pad)) + 1, nx)
    r0 = max(int(np.floor(min(y0, y1) - pad)), 0)
    r1 = min(int(np.ceil(max(y0, y1) + pad)) + 1, ny)
    rows, cols = slice(r0, max(r1, r0)), slice(c0, max(c1, c0))
    xx, yy = to_frame(shape, np.arange(c0, max(c1, c0))[None, :],
                      np.arange(r0, max(r1, r0))[:, None])
    return (rows, cols), (xx, yy)


def band_pixels(shape, r: float, theta: float, w: float):
    """The pixels of an image of `shape` within `w` of the line (r, theta): the band that
    ``HoughTransform.mask(r, theta, w)`` selects, found without evaluating the whole image.

    The arithmetic follows HoughTransform (single-precision r, theta, w, cosine and sine;
    double-precision coordinates), so that the same pixels are selected.

    Returns
    -------
    rows, cols : ndarray of int
        Pixel indices in row-major order.
    dl, dm : ndarray of float
        Across- and along-line coordinates of the pixels (HoughTransform.dl and .dm).

    Examples
    --------
    >>> rows, cols, dl, dm = band_pixels((5, 9), 0.0, 0.0, 0.6)  # the middle row
    >>> rows.tolist() == [2] * 9, cols.tolist() == list(range(9))
    (True, True)
    """
    ny, nx = shape
    theta = float(np.float32(theta))
    r, w = float(np.float32(r)), float(np.float32(w))
    c, s = float(np.float32(np.cos(theta))), float(np.float32(np.sin(theta)))
    cx, cy = centre(shape)
    empty = np.zeros(0, np.intp)
    if not (np.isfinite(r) and np.isfinite(w) and np.isfinite(c) and w > 0):
        return empty, empty, np.zeros(0), np.zeros(0)
    # Along the axis the line follows more closely, each pixel column (row) meets the band in
    # a run of at most 2 w / |cos| (|sin|) pixels around the line: take a few more and select.
    if abs(c) >= abs(s):
        steps, n_across = np.arange(nx), ny
        middle = (s * (steps - cx) - r) / c + cy
    else:
        steps, n_across = np.arange(ny), nx
        middle = (c * (steps - cy) + r) / s + cx
    half = w / max(abs(c), abs(s))
    k = int(np.ceil(2.0 * half)) + 3
    offsets = np.floor(middle - half).astype(np.intp)[:, None] - 1 + np.arange(k)
    steps = np.broadcast_to(steps[:, None], offsets.shape)
    inside = (offsets >= 0) & (offsets < n_across)
    offsets, steps = offsets[inside], steps[inside]
    if abs(c) >= abs(s):
        rows, cols = offsets, steps
    else:
        rows, cols = steps, offsets
    x, y = to_frame(shape, cols, rows)
    dl = ((-s) * x + c * y) + r
    keep = np.abs(dl) < w
    rows, cols, x, y, dl = rows[keep], cols[keep], x[keep], y[keep], dl[keep]
    if abs(c) >= abs(s):  # gathered column by column
        order = np.argsort(rows * nx + cols, kind="stable")
        rows, cols, x, y, dl = rows[order], cols[order], x[order], y[order], dl[order]
    return rows, cols, dl, c * x + s * y


def to_full_r(r_reduced, theta, f, offset):
    """r of a line of a reduced frame (block size `f`, whose centre lies at `offset` (dx, dy) in
    the full frame) in the full frame.

    Examples
    --------
    >>> float(to_full_r(2.0, 0.0, 3, (0.5, 1.0)))
    5.0
    """
    return f * r_reduced + np.sin(theta) * offset[0] - np.cos(theta) * offset[1]


def to_reduced_r(r_full, theta, f, offset):
    """Inverse of :func:`to_full_r`.

    Examples
    --------
    >>> float(to_reduced_r(5.0, 0.0, 3, (0.5, 1.0)))
    2.0
    """
    return (r_full - np.sin(theta) * offset[0] + np.cos(theta) * offset[1]) / f
