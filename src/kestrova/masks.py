"""Boolean masks drawn and read: runs of True along rows or columns, whole lines, disks and
boxes painted in place, and the connected regions of a sparse mask."""

from __future__ import annotations

import numpy as np

__all__ = ["runs", "paint_runs", "paint_lines", "paint_disks", "paint_box", "sparse_label"]


def runs(flags: np.ndarray, axis: int):
    """(line, start, stop) of every run of True along `axis` of a 2-D boolean array: for axis
    1 the runs along rows, their row and their column range."""
    index = np.flatnonzero(flags)
    if index.size == 0:
        return index, index, index
    ny, nx = flags.shape
    n = nx
    if axis == 0:
        # Number the pixels down the columns instead.
        if index.size < flags.size // 16:
            row, col = np.divmod(index, nx)
            index = np.sort(col * ny + row)
        else:
            index = np.flatnonzero(np.ascontiguousarray(flags.T))
        n = ny
    # A run breaks where the next True value is not the next pixel of the same line.
    breaks = np.flatnonzero((np.diff(index) != 1) | (np.diff(index // n) != 0))
    first = np.concatenate(([0], breaks + 1))
    last = np.concatenate((breaks, [index.size - 1]))
    line, start = np.divmod(index[first], n)
    return line, start, index[last] % n + 1


def paint_lines(mask: np.ndarray, axis: int, lines) -> None:
    """Set whole lines of `mask` True: columns for axis 0, rows for axis 1."""
    if axis == 0:
        mask[:, lines] = True
    else:
        mask[lines, :] = True


def paint_runs(mask: np.ndarray, axis: int, line, start, stop) -> None:
    """Set ``mask`` True over [start, stop) of each given line: along rows for axis 1 (line a
    row), along columns for axis 0 (line a column)."""
    length = np.asarray(stop) - np.asarray(start)
    if length.size == 0 or length.sum() == 0:
        return
    offset = np.arange(length.sum()) - np.repeat(np.cumsum(length) - length, length)
    along = np.repeat(start, length) + offset
    across = np.repeat(line, length)
    if axis == 1:
        mask[across, along] = True
    else:
        mask[along, across] = True


def paint_disks(mask: np.ndarray, y, x, radius) -> None:
    """Set `mask` True within `radius` of each centre (`y`, `x`), in place; the disks of equal
    whole-pixel size are drawn together.

    Examples
    --------
    >>> mask = np.zeros((5, 9), bool)
    >>> paint_disks(mask, [2.0, 2.0], [1.0, 6.5], [1.0, 1.5])
    >>> mask.astype(int)
    array([[0, 0, 0, 0, 0, 0, 0, 0, 0],
           [0, 1, 0, 0, 0, 0, 1, 1, 0],
           [1, 1, 1, 0, 0, 1, 1, 1, 1],
           [0, 1, 0, 0, 0, 0, 1, 1, 0],
           [0, 0, 0, 0, 0, 0, 0, 0, 0]])
    """
    y, x, radius = (np.atleast_1d(np.asarray(v, dtype=float)) for v in (y, x, radius))
    ny, nx = mask.shape
    iy, ix = np.round(y).astype(int), np.round(x).astype(int)
    reach = np.ceil(radius).astype(int) + 1
    for r in np.unique(reach):
        k = np.flatnonzero(reach == r)
        if r > 32:
            # A halo's disk spans hundreds of pixels: drawn a band of rows at a time, with no
            # arrays of its whole area.
            for i in k:
                _paint_disk(mask, y[i], x[i], radius[i], slice(iy[i] - r, iy[i] + r + 1),
                            slice(ix[i] - r, ix[i] + r + 1))
            continue
        dy, dx = (d.ravel() for d in np.mgrid[-r:r + 1, -r:r + 1])
        rows, cols = iy[k, None] + dy, ix[k, None] + dx
        inside = ((rows - y[k, None]) ** 2 + (cols - x[k, None]) ** 2 <= radius[k, None] ** 2)
        inside &= (rows >= 0) & (rows < ny) & (cols >= 0) & (cols < nx)
        mask[rows[inside], cols[inside]] = True


def _paint_disk(mask, y, x, radius, rows, cols, band=32):
    """Set `mask` True within `radius` of (y, x), in its box (`rows`, `cols`), `band` rows at a
    time."""
    ny, nx = mask.shape
    c = np.arange(max(cols.start, 0), min(cols.stop, nx))
    if c.size == 0:
        return
    across = (c - x) ** 2
    for start in range(max(rows.start, 0), min(rows.stop, ny), band):
        r = np.arange(start, min(start + band, rows.stop, ny))
        mask[r[0]:r[-1] + 1, c[0]:c[-1] + 1] |= (r[:, None] - y) ** 2 + across <= radius**2


def paint_box(mask, y, x, dy, dx, length, half):
    """Mask from (y, x) `length` pixels in the direction (dy, dx), `half` pixels either side."""
    ys = sorted((y, y + dy * length)) if dy else (y - half, y + half)
    xs = sorted((x, x + dx * length)) if dx else (x - half, x + half)
    ny, nx = mask.shape
    r0, r1 = max(int(np.floor(ys[0])), 0), min(int(np.ceil(ys[1])) + 1, ny)
    c0, c1 = max(int(np.floor(xs[0])), 0), min(int(np.ceil(xs[1])) + 1, nx)
    mask[r0:r1, c0:c1] = True


def sparse_label(mask: np.ndarray):
    """Connected regions (8-connected) of a sparse boolean image, at a cost that grows with the
    number of True pixels only.

    Returns
    -------
    index : ndarray
        Flat indices of the True pixels, in order.
    labels : ndarray
        Region of each, from 0.
    n : int
        Number of regions.

    Examples
    --------
    >>> mask = np.zeros((4, 6), bool); mask[0, 0] = mask[1, 1] = mask[3, 4] = mask[3, 5] = True
    >>> index, labels, n = sparse_label(mask)
    >>> index.tolist(), labels.tolist(), n
    ([0, 7, 22, 23], [0, 0, 1, 1], 2)
    """
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import connected_components

    ny, nx = mask.shape
    index = np.flatnonzero(mask)
    if index.size == 0:
        return index, index, 0
    rows, cols = np.divmod(index, nx)
    links = []
    for dy, dx in ((0, 1), (1, -1), (1, 0), (1, 1)):
        neighbour = (rows + dy) * nx + cols + dx
        inside = (rows + dy < ny) & (cols + dx >= 0) & (cols + dx < nx)
        at = np.minimum(np.searchsorted(index, neighbour), index.size - 1)
        linked = np.flatnonzero(inside & (index[at] == neighbour))
        links.append((linked, at[linked]))
    a = np.concatenate([l[0] for l in links])
    b = np.concatenate([l[1] for l in links])
    graph = coo_matrix((np.ones(a.size, np.int8), (a, b)), shape=(index.size, index.size))
    n, labels = connected_components(graph, directed=False)
    return index, labels, int(n)
