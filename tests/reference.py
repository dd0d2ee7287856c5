"""HoughTransform's methods written in plain Python and NumPy.

`PlainHoughTransform` makes the NumPy calls of `kestrova.hough.HoughTransform` in the same
order and reaches the attributes and the other methods through the instance, so that the two
differ only in the interpreter between the calls. Its methods take their arguments as the
module's argument collection hands them on (`single` for floats, `int32` for ints); the
module's single-precision locals go through the `single` method, which a timing yardstick
replaces by a plain float conversion to leave the rounding's cost out.

The tests compare the module with it; bench/methods.py times the module against it.
"""

import ctypes

import numpy as np
import scipy.optimize

_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.restype = ctypes.c_double
_as_double.argtypes = [ctypes.py_object]


def single(value):
    """A float argument as the methods see it: the interpreter's float conversion, then the
    nearest single-precision value.

    >>> single(0.1)
    0.10000000149011612
    >>> single(1e40)
    inf
    """
    double = value if type(value) is float else _as_double(value)
    with np.errstate(over="ignore"):
        return float(np.float32(double))


def int32(value):
    """An int argument: an int as it is, anything else through its type's __int__.

    >>> int32(7.9)
    7
    >>> int32(2**31)
    Traceback (most recent call last):
    ...
    OverflowError: value too large to convert to int
    """
    if not isinstance(value, int):
        convert = getattr(type(value), "__int__", None)
        if convert is None:
            raise TypeError("an integer is required")
        value = convert(value)
        if not isinstance(value, int):
            raise TypeError("__int__ returned non-int")
    if not -(2**31) <= value < 2**31:
        raise OverflowError("value too large to convert to int")
    return int(value)


def array_or_none(value):
    """An argument declared as an array: an ndarray (of any subclass) or None."""
    if value is not None and not isinstance(value, np.ndarray):
        raise TypeError("incorrect type")
    return value


def band_scores(image, r0, r1, nr, t0, t1, nt, width=1.0):
    """The band score map evaluated cell by cell: every pixel feeds the r cells whose index k has
    floor((d - h)/dr + 0.5) <= k < floor((d + h)/dr + 0.5), d its distance from the line (r0,
    theta) and h = width * dr, with x running along the image's rows.

    Returns (scores, counts). The grid's ends and width are taken in single precision.

    >>> scores, counts = band_scores(np.array([[3.5]]), -2.0, 2.0, 5, 0.0, 3.0, 2)
    >>> counts[:, 0].tolist()
    [0, 1, 1, 0, 0]
    """
    image = np.asarray(image, dtype=np.float64)
    r0, r1, t0, t1, width = (np.float64(single(v)) for v in (r0, r1, t0, t1, width))
    rows, cols = image.shape
    x = (-(rows - 1.0)) * 0.5 + np.arange(rows)
    y = (-(cols - 1.0)) * 0.5 + np.arange(cols)
    sums, counts = np.zeros((nr, nt)), np.zeros((nr, nt), dtype=np.int64)
    with np.errstate(all="ignore"):  # no finite step (nr or nt of 1, equal ends) bins nothing
        dr = (r1 - r0) / (nr - 1.0)
        dt = (t1 - t0) / (nt - 1.0)
        h = width * dr
        for l in range(nt):
            theta = l * dt + t0
            d = (np.sin(theta) * y[None, :] - np.cos(theta) * x[:, None]) - r0
            lo = np.floor((d - h) / dr + 0.5)
            hi = np.floor((d + h) / dr + 0.5)
            for k in range(nr):
                inside = (lo <= k) & (k < hi)
                sums[k, l] = image[inside].sum()
                counts[k, l] = inside.sum()
        scores = np.divide(sums, np.sqrt(counts), out=np.zeros_like(sums), where=counts > 0)
    return scores, counts


class PlainHoughTransform:
    """The plain form of HoughTransform.

    Examples
    --------
    >>> plain = PlainHoughTransform(np.zeros((3, 4)), 1.0)
    >>> plain.center, float(plain.radius)
    ((1.0, 1.5), 2.5)
    >>> [float(end) for end in plain.dmlim(0.0, 0.0)]
    [-1.5, 1.5]
    """

    single = staticmethod(single)

    def __init__(self, image, sigma):
        self.image = image
        self.sigma = sigma
        ny, nx = image.shape
        self.center = ((ny - 1) / 2.0, (nx - 1) / 2.0)
        self.axis1 = np.arange(nx).reshape((1, nx)) - self.center[1]
        self.axis2 = np.arange(ny).reshape((ny, 1)) - self.center[0]
        self.radius = np.sqrt(nx**2 + ny**2) / 2.0
        self.append_x = self.radius * np.array([-1, 1])
        self.append_y = np.zeros(2)

    @classmethod
    def sharing(cls, ht):
        """A plain instance holding the very attribute objects of `ht`."""
        plain = cls.__new__(cls)
        vars(plain).update(vars(ht))
        return plain

    def dl(self, r, theta):
        c = self.single(np.cos(theta))
        s = self.single(np.sin(theta))
        return (-s) * self.axis1 + c * self.axis2 + r

    def dm(self, r, theta):
        c = self.single(np.cos(theta))
        s = self.single(np.sin(theta))
        return c * self.axis1 + s * self.axis2

    def p0(self, r, theta):
        return np.array([r * np.sin(theta), (-r) * np.cos(theta)])

    def n0(self, r, theta):
        return np.array([np.cos(theta), np.sin(theta)])

    def dmlim(self, r, theta):
        ny, nx = self.image.shape
        ny, nx = self.single(ny), self.single(nx)
        p = np.tile(self.p0(r, theta), 2)
        b = np.tile(self.n0(r, theta), 2)
        b[np.abs(b) < 1e-8] = 1e-8
        X = (np.array([-(nx - 1) * 0.5, -(ny - 1) * 0.5, (nx - 1) * 0.5, (ny - 1) * 0.5]) - p) / b
        x = X.tolist()
        if not np.isnan(x).any() and (_same_side(x[0], x[2]) or _same_side(x[1], x[3])):
            # The foot point lies outside the image: the stretch of the line inside it, from the
            # later entry into a pair of borders to the earlier exit, when the line crosses it.
            enter_x, enter_y = (0 if x[0] <= x[2] else 2), (1 if x[1] <= x[3] else 3)
            lower = enter_x if x[enter_x] >= x[enter_y] else enter_y
            upper = 2 - enter_x if x[2 - enter_x] <= x[4 - enter_y] else 4 - enter_y
            if x[lower] <= x[upper]:
                return X[lower], X[upper]
        Xm = X[X < 0]
        Xp = X[X > 0]
        return np.max(Xm), np.min(Xp)

    def locate(self, r, theta, dm):
        return self.p0(r, theta) + dm * self.n0(r, theta)

    def score_map(self, r0, r1, nr, t0, t1, nt, width=1.0):
        if nr < 0 and nt < 0:
            raise ValueError("nr and nt are both negative")
        score = np.zeros((nr * nt,))
        image = np.ascontiguousarray(self.image.T, dtype=np.float64).T
        if image.ndim != 2:
            raise ValueError("Buffer has wrong number of dimensions")
        if nr * nt > 0:
            score = band_scores(image, r0, r1, nr, t0, t1, nt, width)[0].ravel()
        return score.reshape((nr, nt))

    def mask(self, r, theta, w):
        return np.abs(self.dl(r, theta)) < w

    def elements_along(self, r, theta, w):
        mask = self.mask(r, theta, w)
        dm = self.dm(r, theta)[mask]
        px = self.image[mask]
        dm = np.append(dm, self.append_x)
        px = np.append(px, self.append_y)
        index = dm.argsort()
        return np.vstack((dm[index], np.cumsum(px[index])))

    def _extremes(self, E):
        return int32(E[1].size), self.single(E[1].min()), self.single(E[1].max())

    def snr(self, r, theta, w):
        N, m, M = self._extremes(self.elements_along(r, theta, w))
        return self.single(M - m) / self.sigma / np.sqrt(N)

    def fit(self, r, theta, w):
        E = self.elements_along(r, theta, w)
        N, m, M = self._extremes(E)
        s = array_or_none(self.sigma * np.sqrt(1 + np.arange(N)))
        dm, dM = self.dmlim(r, theta)
        dm, dM = self.single(dm), self.single(dM)
        bounds = scipy.optimize.Bounds([-np.inf, -np.inf, dm, dm], [np.inf, np.inf, dM, dM])
        if N == 0:
            raise ZeroDivisionError("float division")
        slope = self.single(self.single(M - m) / self.single(N))
        init = [m, slope, dm, self.single(dM - dm)]

        def objective(p):
            return np.sum((E[1] - self.ramp_sigmoid(E[0], p)) ** 2 / s**2)

        res = scipy.optimize.minimize(objective, init, method="L-BFGS-B", bounds=bounds)
        return np.hstack((res.x, np.sqrt(res.fun) / N))

    def profile(self, r, theta, dm1, dm2, w):
        dm = self.dm(r, theta)
        mask = self.mask(r, theta, w) & (dm > dm1) & (dm < dm2)
        dl = self.dl(r, theta)[mask]
        px = self.image[mask]
        hist, edge = np.histogram(dl, weights=px / self.single(dm2 - dm1), bins=int(w * 4.0))
        edge = edge[1:] - np.diff(edge)
        return np.vstack((edge, hist))

    def ramp_sigmoid(self, x, p):
        level, slope = p[0], p[1]
        shifted = x - p[2]
        span = p[3] - p[2]
        return level + slope * np.clip(shifted, 0, 1e-08 if 1e-08 > span else span)


def _same_side(a, b):
    return (a > 0 and b > 0) or (a < 0 and b < 0)
