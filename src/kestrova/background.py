"""The smooth background of an image: medians of the cells of a mesh, interpolated between the
cell centres, with levels along the detector axes added (:class:`Background`).

The background is kept as its mesh and interpolation weights, not as a full-size plane: it is
subtracted a block of rows at a time, and the plane is made only when asked for.
"""

from __future__ import annotations

from dataclasses import dataclass, replace

import numpy as np
from scipy import ndimage

from . import defects
from .stats import masked_median, subsample

__all__ = ["Background", "background_mesh", "mesh_background", "sky_background",
           "linear_weights"]

# Elements of a block of rows of the background plane made at a time.
BLOCK_ELEMENTS = 2**18


@dataclass(frozen=True)
class Background:
    """A smooth background: the cell medians `mesh`, interpolated by ``row_weights @ mesh @
    column_weights.T``, plus `columns` along each column and `rows` along each row.

    Examples
    --------
    >>> flat = Background.flat((3, 4), 7.5)
    >>> flat.plane().tolist()[0], flat.median()
    ([7.5, 7.5, 7.5, 7.5], 7.5)
    >>> ramp = flat.with_axes(np.arange(4.0), np.zeros(3))
    >>> image = np.full((3, 4), 10.0, np.float32)
    >>> out = ramp.subtract(image, np.empty_like(image))
    >>> out.dtype, out[0].tolist()
    (dtype('float32'), [2.5, 1.5, 0.5, -0.5])
    """

    mesh: np.ndarray
    row_weights: np.ndarray
    column_weights: np.ndarray
    columns: np.ndarray | None = None
    rows: np.ndarray | None = None

    @classmethod
    def flat(cls, shape, level: float) -> Background:
        """A constant background of `level`."""
        return cls(np.array([[float(level)]]), np.ones((shape[0], 1)), np.ones((shape[1], 1)))

    @property
    def shape(self) -> tuple[int, int]:
        return self.row_weights.shape[0], self.column_weights.shape[0]

    def with_axes(self, columns: np.ndarray, rows: np.ndarray) -> Background:
        """This background with levels along the columns and rows added."""
        if self.columns is not None:
            columns, rows = self.columns + columns, self.rows + rows
        return replace(self, columns=columns, rows=rows)

    def block(self, start: int, stop: int, step: int = 1, column_step: int = 1) -> np.ndarray:
        """Rows ``start:stop:step`` of the plane, every `column_step`-th column (float64)."""
        rows = slice(start, stop, step)
        columns = slice(None, None, column_step)
        out = np.matmul(self.row_weights[rows] @ self.mesh, self.column_weights[columns].T)
        if self.columns is not None:
            out += self.columns[columns]
            out += self.rows[rows, None]
        return out

    def plane(self) -> np.ndarray:
        """The full-size background (float64)."""
        return self.block(0, self.shape[0])

    def median(self, every: int = 4) -> float:
        """The median of the plane read at every `every`-th row and column: a smooth plane needs
        no more."""
        return float(np.median(self.block(0, self.shape[0], every, every)))

    def subtract(self, image: np.ndarray, out: np.ndarray) -> np.ndarray:
        """``image - plane`` written into `out` (which may be `image`), a block of rows at a
        time, computed in double precision."""
        ny, nx = self.shape
        step = max(1, BLOCK_ELEMENTS // nx)
        for start in range(0, ny, step):
            stop = min(start + step, ny)
            np.subtract(image[start:stop], self.block(start, stop), out=out[start:stop])
        return out


def background_mesh(image: np.ndarray, good: np.ndarray, box: int | None = 64,
                    step: float = 0.0) -> np.ndarray:
    """Smooth background as a full-size plane: :func:`mesh_background` made whole.

    Examples
    --------
    >>> image = np.full((100, 130), 7.0)
    >>> bool(np.allclose(background_mesh(image, np.ones(image.shape, bool), 32), 7.0))
    True
    >>> rows, cols = np.mgrid[:300, :400]
    >>> ramp = 0.01 * cols + 0.02 * rows + 10.0 * np.exp(-cols / 20.0)   # a glow at an edge
    >>> bool(np.abs(background_mesh(ramp, np.ones(ramp.shape, bool)) - ramp).max() < 1.5)
    True
    """
    return mesh_background(image, good, box, step).plane()


def mesh_background(image: np.ndarray, good: np.ndarray, box: int | None = 64,
                    step: float = 0.0) -> Background:
    """Smooth background of the `good` pixels: medians of the cells of a mesh, interpolated
    between the cell centres by a bicubic spline. The cells are `box` pixels wide, narrowing to a
    quarter of that towards the borders of the image, where vignetting and glows change the sky
    fastest; every other pixel of a cell is read (every pixel of a narrow one). ``box=None``
    gives one global median. Values quantised by `step` are dithered first (see
    :func:`~kestrova.defects.dither`).

    Examples
    --------
    >>> image = np.full((100, 130), 7.0); image[40:60, 50:70] = 1e6
    >>> mesh_background(image, image < 100.0, 32).median()
    7.0
    """
    if box is None or box >= max(image.shape):
        return Background.flat(image.shape, _global_median(image, good, step))
    grid = _MeshGrid(image.shape, box)
    medians, _, _ = grid.cell_medians(image, good, step)
    return grid.background(medians)


def sky_background(image: np.ndarray, sky: np.ndarray, data: np.ndarray, limit: float,
                   box: int | None, step: float = 0.0) -> Background | None:
    """:func:`mesh_background` of the `sky` pixels whose `data` (the image less a first
    background) lie within `limit`, or None when they are too few: a fifth of the sky pixels
    the mesh reads.

    Examples
    --------
    >>> image = np.random.default_rng(0).normal(5.0, 1.0, (200, 200))
    >>> sky = np.ones(image.shape, bool)
    >>> round(sky_background(image, sky, image - 5.0, 3.0, 64).median(), 1)
    5.0
    >>> sky_background(image, sky, image - 100.0, 3.0, 64) is None
    True
    """
    if box is None or box >= max(image.shape):
        seen = subsample(sky)
        use = seen & (np.abs(subsample(data)) < limit)
        if not use.sum() > 0.2 * seen.sum():
            return None
        return Background.flat(image.shape, _median(subsample(image)[use], step))
    grid = _MeshGrid(image.shape, box)
    medians, used, offered = grid.cell_medians(image, sky, step, data, limit)
    if not used.sum() > 0.2 * offered.sum():
        return None
    return grid.background(medians)


def _global_median(image, good, step):
    """The median of the `good` pixels of (a subsample of) `image`; 0 when there are none."""
    values = subsample(image)[subsample(good)]
    if values.size == 0:
        values = image[good]
    return _median(values, step) if values.size else 0.0


def _median(values, step):
    return float(np.median(_dithered(values.astype(np.float64), step)))


def _dithered(values, step, seed=0):
    return defects.dither(values, step, seed) if step > 0 else values


class _MeshGrid:
    """The cells of a background mesh and the pixels read in each.

    Along each axis the cells are `box` pixels wide, apart from the outermost quarter, quarter
    and half of a box at either end of an axis at least three boxes long. Cells of one width
    class (narrow, half, whole) are read alike, so that the cells of a pair of classes form one
    array: as many pixels of each, about its centre, as the smallest of them holds, every other
    one in cells at least 24 pixels wide.
    """

    def __init__(self, shape, box):
        self.shape, self.box = shape, box
        self.edges = [_cell_edges(n, box) for n in shape]
        self.classes = [_cell_classes(np.diff(e)) for e in self.edges]

    def _reads(self, axis):
        """For each class along `axis`: its cells and the offsets of the pixels read, as
        (cells, pixel indices of shape (cells, reads))."""
        out = []
        widths = np.diff(self.edges[axis])
        for cells, length, stride in self.classes[axis]:
            # Centred in each cell: its median stands for the sky at the cell's centre.
            start = self.edges[axis][cells] + (widths[cells] - length) // 2
            out.append((cells, start[:, None] + np.arange(0, length, stride)))
        return out

    def cell_medians(self, image, good, step=0.0, data=None, limit=np.inf):
        """Median of the read pixels of each cell that are `good` (and, given `data`, whose
        `data` lie within `limit`), NaN where fewer than a fifth of its reads are; with the
        number of those pixels and of the good ones per cell.

        The reads are gathered for two rows of cells at a time, so that no copy of the image
        is made. Read in pairs, the flagged entries of :func:`~kestrova.stats.masked_median`
        alternate, and dithered from one generator per pair of classes, quantised values
        take the same draws, as they would over a whole class of cells."""
        shape = (len(self.edges[0]) - 1, len(self.edges[1]) - 1)
        medians = np.full(shape, np.nan)
        used, offered = np.zeros(shape, np.int64), np.zeros(shape, np.int64)
        columns = self._reads(1)
        for rcells, rows in self._reads(0):
            draws = [np.random.default_rng(0) for _ in columns]
            for i in range(0, len(rcells), 2):
                index = rows[i:i + 2]
                band = [np.take(a, index.ravel(), axis=0) for a in (image, good, data)
                        if a is not None]
                for (ccells, cols), rng in zip(columns, draws):
                    v, g, *d = (_cells(b, index.shape, cols) for b in band)
                    offered[np.ix_(rcells[i:i + 2], ccells)] = g.sum(axis=2)
                    if d:
                        g &= np.abs(d[0]) < limit
                    count = g.sum(axis=2)
                    m = masked_median(_dithered(v.astype(np.float64), step, rng), g, axis=2)
                    m[count < 0.2 * g.shape[2]] = np.nan
                    medians[np.ix_(rcells[i:i + 2], ccells)] = m
                    used[np.ix_(rcells[i:i + 2], ccells)] = count
        return medians, used, offered

    def background(self, medians: np.ndarray) -> Background:
        """The :class:`Background` of the cell `medians`. A cell without a median takes the
        value of the nearest cell that has one. In a corner, where the cells are narrow both
        ways and a streak passing through fills much of one, a cell keeps its difference from
        the nearest whole cell inward only as far as a neighbour along the border shares it:
        a vignetted corner is followed, a streak through it is not."""
        mesh = medians
        empty = np.isnan(mesh)
        if empty.all():
            mesh = np.zeros_like(mesh)
        elif empty.any():
            _, nearest = ndimage.distance_transform_edt(empty, return_indices=True)
            mesh = mesh[tuple(nearest)]
        narrow = [np.diff(e) < 0.75 * self.box for e in self.edges]
        if narrow[0].any() and narrow[1].any() and not empty.all():
            corner = narrow[0][:, None] & narrow[1][None, :]
            smooth = mesh
            for axis in (0, 1):
                wide = np.flatnonzero(~narrow[axis])
                inward = np.clip(np.arange(mesh.shape[axis]), wide[0], wide[-1])
                base = np.take(smooth, inward, axis=axis)
                smooth = base + _coherent(smooth - base, 1 - axis)
            mesh = np.where(corner, smooth, mesh)
        (ny, nx), (ry, rx) = self.shape, self.edges
        return Background(mesh,
                          _interpolation_weights(ny, (ry[:-1] + ry[1:] - 1) / 2, ~narrow[0]),
                          _interpolation_weights(nx, (rx[:-1] + rx[1:] - 1) / 2, ~narrow[1]))


def _cells(band, row_shape, cols):
    """The reads of the rows gathered in `band` (row cells x reads along them), at the column
    indices `cols` (column cells x reads), as (row cells, column cells, reads)."""
    values = np.take(band, cols.ravel(), axis=1)
    values = values.reshape(row_shape[0], row_shape[1], cols.shape[0], cols.shape[1])
    return values.transpose(0, 2, 1, 3).reshape(row_shape[0], cols.shape[0], -1)


def _coherent(step: np.ndarray, axis: int) -> np.ndarray:
    """`step` limited, cell by cell, to the larger step of the same sign of its two neighbours
    along `axis`.

    Examples
    --------
    >>> _coherent(np.array([[0.0, 0.0, 3.0, 0.1, 0.0], [1.0, 0.9, 0.8, -0.5, 0.4]]), 1).tolist()
    [[0.0, 0.0, 0.1, 0.1, 0.0], [0.9, 0.9, 0.8, 0.0, 0.0]]
    """
    limit = np.zeros_like(step)
    for shift in (1, -1):
        neighbour = np.roll(step, shift, axis=axis)
        end = [slice(None)] * step.ndim
        end[axis] = 0 if shift == 1 else -1
        neighbour[tuple(end)] = 0.0
        same = np.sign(neighbour) == np.sign(step)
        limit = np.maximum(limit, np.where(same, np.abs(neighbour), 0.0))
    return np.sign(step) * np.minimum(np.abs(step), limit) + 0.0


def _cell_edges(n, box):
    """Cell boundaries along an axis of `n` pixels: `box` wide, with a quarter, a quarter and
    a half of `box` at either end when the axis is at least three boxes long.

    Examples
    --------
    >>> _cell_edges(400, 64).tolist()
    [0, 16, 32, 64, 132, 200, 268, 336, 368, 384, 400]
    >>> _cell_edges(160, 64).tolist()
    [0, 80, 160]
    """
    if n < 3 * box or box < 8:
        return np.linspace(0, n, max(1, round(n / box)) + 1).astype(int)
    q = box // 4
    inner = np.linspace(4 * q, n - 4 * q, max(1, round((n - 8 * q) / box)) + 1).astype(int)
    return np.concatenate(([0, q, 2 * q], inner, [n - 2 * q, n - q, n]))


def _cell_classes(widths):
    """The cells grouped by width class, with the pixels read in each: a list of
    (cells, length read, stride)."""
    classes = []
    kind = np.digitize(widths, [24, 48])
    for k in np.unique(kind):
        cells = np.flatnonzero(kind == k)
        every = 2 if k > 0 else 1
        length = int(widths[cells].min()) // every * every
        classes.append((cells, length, every))
    return classes


def _interpolation_weights(n: int, centres: np.ndarray, whole=None) -> np.ndarray:
    """(n, m) matrix that interpolates between m cell centres: by a natural cubic spline
    through the centres of the `whole` cells (all by default; at least three), linearly
    beyond them, and with the outer slopes extrapolated to the image border (a gradient
    continues into the outer half cells).

    Sky structure a few cells across has curvature that straight pieces between the centres
    cut off, by a third of its amplitude at two cells across; a cubic follows it. Towards the
    border the cells are narrow and their medians noisy, and a cubic through them would
    swing: there the pieces stay straight.

    Examples
    --------
    >>> w = _interpolation_weights(9, np.array([1.0, 4.0, 7.0]))
    >>> np.allclose(w.sum(axis=1), 1.0), (w @ np.array([1.0, 4.0, 7.0])).round(6).tolist()
    (True, [0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0])
    """
    # Imported here: scipy.interpolate brings scipy.optimize with it, which the extension module
    # loads itself, and whose absence it must be the one to report.
    from scipy.interpolate import CubicSpline

    weights = linear_weights(n, centres)
    use = np.flatnonzero(np.ones(len(centres), bool) if whole is None else whole)
    if use.size < 3:
        return weights
    # The spline of each unit vector is the weight of its centre: the spline is linear in the
    # values it passes through.
    spline = CubicSpline(centres[use], np.eye(use.size), bc_type="natural")
    lo, hi = int(np.ceil(centres[use[0]])), int(np.floor(centres[use[-1]]))
    weights[lo:hi + 1] = 0.0
    weights[lo:hi + 1, use] = spline(np.arange(lo, hi + 1, dtype=float))
    return weights


def linear_weights(n: int, centres: np.ndarray) -> np.ndarray:
    """(n, m) matrix that interpolates linearly between m cell centres, and extrapolates the
    outer slopes to the image border.

    Examples
    --------
    >>> linear_weights(4, np.array([0.5, 2.5])).tolist()
    [[1.25, -0.25], [0.75, 0.25], [0.25, 0.75], [-0.25, 1.25]]
    """
    m = len(centres)
    weights = np.zeros((n, m))
    if m == 1:
        weights[:, 0] = 1.0
        return weights
    x = np.arange(n, dtype=float)
    pos = np.interp(x, centres, np.arange(m))
    pos = np.where(x < centres[0], (x - centres[0]) / (centres[1] - centres[0]), pos)
    pos = np.where(x > centres[-1], m - 1 + (x - centres[-1]) / (centres[-1] - centres[-2]), pos)
    lo = np.clip(np.floor(pos).astype(int), 0, m - 2)
    frac = pos - lo
    weights[np.arange(n), lo] = 1.0 - frac
    weights[np.arange(n), lo + 1] += frac
    return weights
