"""The line geometry and sampling methods written in plain Python: the same NumPy calls, in the same order.

The yardstick of bench/methods.py. Each method makes exactly the NumPy calls of the compiled one (and
dmlim its true stretch for a foot point outside the image, in plain Python), reaching the other methods and attributes through the
instance, so the only difference from kestrova.hough is the interpreter between the calls. The
single-precision rounding of the arguments and of cos/sin is left out: plain Python has no cheap
way to do it, and leaving it out only makes the yardstick faster.
"""

import numpy as np


class PyHoughTransform:
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

    def dl(self, r, theta):
        c = np.cos(theta)
        s = np.sin(theta)
        return -s * self.axis1 + c * self.axis2 + r

    def dm(self, r, theta):
        c = np.cos(theta)
        s = np.sin(theta)
        return c * self.axis1 + s * self.axis2

    def p0(self, r, theta):
        return np.array([r * np.sin(theta), -r * np.cos(theta)])

    def n0(self, r, theta):
        return np.array([np.cos(theta), np.sin(theta)])

    def dmlim(self, r, theta):
        ny, nx = self.image.shape
        p = np.tile(self.p0(r, theta), 2)
        b = np.tile(self.n0(r, theta), 2)
        b[np.abs(b) < 1e-8] = 1e-8
        X = (np.array([-(nx - 1) * 0.5, -(ny - 1) * 0.5, (nx - 1) * 0.5, (ny - 1) * 0.5]) - p) / b
        x0, y0, x1, y1 = X.tolist()
        if (x0 > 0 and x1 > 0) or (x0 < 0 and x1 < 0) or (y0 > 0 and y1 > 0) or (y0 < 0 and y1 < 0):
            lower, upper = max(min(x0, x1), min(y0, y1)), min(max(x0, x1), max(y0, y1))
            if lower <= upper:
                return np.float64(lower), np.float64(upper)
        Xm = X[X < 0]
        Xp = X[X > 0]
        return np.max(Xm), np.min(Xp)

    def locate(self, r, theta, dm):
        return self.p0(r, theta) + dm * self.n0(r, theta)

    def mask(self, r, theta, w):
        return np.abs(self.dl(r, theta)) < w

    def elements_along(self, r, theta, w):
        mask = self.mask(r, theta, w)
        dm = self.dm(r, theta)[mask]
        px = self.image[mask]
        dm = np.append(dm, self.append_x)
        px = np.append(px, self.append_y)
        index = dm.argsort()
        elem = np.vstack((dm[index], np.cumsum(px[index])))
        return elem

    def profile(self, r, theta, dm1, dm2, w):
        dm = self.dm(r, theta)
        mask = self.mask(r, theta, w) & (dm > dm1) & (dm < dm2)
        dl = self.dl(r, theta)[mask]
        px = self.image[mask]
        hist, edge = np.histogram(dl, weights=px / (dm2 - dm1), bins=int(w * 4.0))
        edge = edge[1:] - np.diff(edge)
        return np.vstack((edge, hist))
