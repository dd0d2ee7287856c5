"""What else is in a benchmark image besides the trails, and what a detection lies on.

Every artefact is a capsule: the points within `radius` of the segment from (x0, y0) to
(x1, y1) (a disc when the two ends coincide). That one shape covers stars and holes (discs),
columns, bleeds, spikes and cosmic-ray tracks (thin capsules), edge strips and chip gaps (wide
capsules along the frame) and galaxies (capsules along the major axis).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from scipy.spatial import cKDTree

__all__ = ["KINDS", "NEAR_KINDS", "Artefact", "ArtefactIndex", "column", "row_band", "column_band",
           "capsule_distance"]

# Artefact kinds, in the order that settles a tie when a detection lies on several: the
# narrower and rarer features first, the ubiquitous ones last.
KINDS = ("trail", "hot column", "low column", "zero column", "amplifier edge", "overscan",
         "chip edge", "chip gap", "bleed", "spike", "cosmic ray", "NaN hole", "halo",
         "saturated star", "galaxy", "vignetting", "star", "frame edge")

# Large features whose neighbourhood, not only their pixels, can disturb a finder (a background
# estimate or a band reaching across them): a record lying on none of the artefacts is labelled
# "near" the closest of these within NEAR_DISTANCE.
NEAR_KINDS = ("trail", "hot column", "low column", "zero column", "amplifier edge", "overscan",
              "chip edge", "chip gap", "bleed", "spike", "NaN hole", "halo", "vignetting")
NEAR_DISTANCE = 25.0

# Capsules longer than this (from their middle to their far edge) are checked one by one; the
# many short ones are looked up in a k-d tree of their middles.
_LONG = 64.0


@dataclass(frozen=True)
class Artefact:
    """One artefact: a `kind` from KINDS and the capsule it covers.

    Examples
    --------
    >>> a = Artefact("hot column", 12.0, 0.0, 12.0, 99.0, 0.5)
    >>> a.reach
    50.0
    """

    kind: str
    x0: float
    y0: float
    x1: float
    y1: float
    radius: float

    @property
    def reach(self) -> float:
        """Distance from the middle of the segment to the farthest point of the capsule."""
        return 0.5 * float(np.hypot(self.x1 - self.x0, self.y1 - self.y0)) + self.radius


def column(kind: str, x: float, y0: float, y1: float, half_width: float = 0.5) -> Artefact:
    """Columns `x - half_width + 0.5` .. `x + half_width - 0.5`, rows y0 .. y1."""
    return Artefact(kind, float(x), float(y0), float(x), float(y1), float(half_width))


def column_band(kind: str, c0: int, c1: int, ny: int) -> Artefact:
    """Whole columns c0 .. c1 - 1 of a frame `ny` rows high."""
    return column(kind, 0.5 * (c0 + c1 - 1), 0.0, ny - 1.0, 0.5 * (c1 - c0))


def row_band(kind: str, r0: int, r1: int, nx: int) -> Artefact:
    """Whole rows r0 .. r1 - 1 of a frame `nx` columns wide."""
    y = 0.5 * (r0 + r1 - 1)
    return Artefact(kind, 0.0, y, nx - 1.0, y, 0.5 * (r1 - r0))


def capsule_distance(points, a, b, radius):
    """Distance from points to capsules' edges (negative inside), broadcasting as NumPy does.

    Parameters
    ----------
    points, a, b : array_like, shape (..., 2)
        Points, and the ends of the capsules' segments.
    radius : array_like, shape (...)

    Examples
    --------
    >>> points = np.array([[0.0, 5.0], [20.0, 0.0]])
    >>> capsule_distance(points, np.array([0.0, 0.0]), np.array([10.0, 0.0]), 1.0).tolist()
    [4.0, 9.0]
    """
    points, a, b = (np.asarray(v, float) for v in (points, a, b))
    ab = b - a
    length2 = np.maximum(np.sum(ab * ab, axis=-1), 1e-12)
    t = np.clip(np.sum((points - a) * ab, axis=-1) / length2, 0.0, 1.0)
    off = points - (a + t[..., None] * ab)
    return np.hypot(off[..., 0], off[..., 1]) - radius


class _KindGroup:
    """The capsules of one kind, arranged for quick look-ups."""

    def __init__(self, items):
        ends = np.array([[a.x0, a.y0, a.x1, a.y1] for a in items], float).reshape(-1, 4)
        radius = np.array([a.radius for a in items], float)
        reach = 0.5 * np.hypot(ends[:, 2] - ends[:, 0], ends[:, 3] - ends[:, 1]) + radius
        long = reach > _LONG
        self.long = (ends[long, :2], ends[long, 2:], radius[long])
        short = ~long
        self.short = (ends[short, :2], ends[short, 2:], radius[short])
        self.short_reach = float(reach[short].max()) if short.any() else 0.0
        middles = 0.5 * (ends[short, :2] + ends[short, 2:])
        self.tree = cKDTree(middles) if short.any() else None

    def distance(self, points: np.ndarray) -> np.ndarray:
        """Distance from each point to the nearest capsule of this kind (all compared)."""
        a = np.concatenate([self.long[0], self.short[0]])
        b = np.concatenate([self.long[1], self.short[1]])
        r = np.concatenate([self.long[2], self.short[2]])
        return capsule_distance(points[:, None, :], a[None], b[None], r[None]).min(axis=1)

    def covered(self, points: np.ndarray, near: float) -> np.ndarray:
        """Which points lie within `near` of a capsule of this kind."""
        hit = np.zeros(len(points), bool)
        a, b, r = self.long
        if len(r):
            d = capsule_distance(points[:, None, :], a[None], b[None], r[None])
            hit |= (d <= near).any(axis=1)
        if self.tree is not None:
            a, b, r = self.short
            lists = self.tree.query_ball_point(points, self.short_reach + near)
            counts = np.fromiter((len(c) for c in lists), int, len(lists))
            if counts.sum():
                which = np.repeat(np.arange(len(points)), counts)
                index = np.concatenate([c for c in lists if c]).astype(int)
                d = capsule_distance(points[which], a[index], b[index], r[index])
                hit[which[d <= near]] = True
        return hit


class ArtefactIndex:
    """The artefacts of one image, grouped by kind, with the frame's border as "frame edge".

    Examples
    --------
    >>> index = ArtefactIndex([column("hot column", 30.0, 0.0, 99.0)], (100, 80))
    >>> index.label(30.0, 10.0, 30.0, 90.0), index.label(40.0, 10.0, 42.0, 90.0)
    ('hot column', 'near hot column')
    >>> index.label(70.0, 10.0, 72.0, 90.0)
    'sky'
    >>> index.label(0.0, 10.0, 0.0, 90.0)
    'frame edge'
    """

    def __init__(self, artefacts, shape, *, border: float = 2.0):
        ny, nx = shape
        frame = [Artefact("frame edge", 0, 0, nx - 1, 0, border),
                 Artefact("frame edge", 0, ny - 1, nx - 1, ny - 1, border),
                 Artefact("frame edge", 0, 0, 0, ny - 1, border),
                 Artefact("frame edge", nx - 1, 0, nx - 1, ny - 1, border)]
        by_kind = {}
        for a in list(artefacts) + frame:
            by_kind.setdefault(a.kind, []).append(a)
        self.groups = {k: _KindGroup(by_kind[k]) for k in KINDS if k in by_kind}

    @staticmethod
    def _samples(x0, y0, x1, y1, step):
        n = max(2, int(np.hypot(x1 - x0, y1 - y0) / step) + 1)
        t = np.linspace(0.0, 1.0, n)[:, None]
        return np.array([x0, y0]) + t * np.array([x1 - x0, y1 - y0])

    def coverage(self, x0, y0, x1, y1, *, near: float = 2.0, step: float = 2.0):
        """Fraction of the segment's length within `near` of each kind (kinds with none left
        out)."""
        points = self._samples(x0, y0, x1, y1, step)
        out = {}
        for kind, group in self.groups.items():
            f = float(group.covered(points, near).mean())
            if f > 0:
                out[kind] = f
        return out

    def label(self, x0, y0, x1, y1, *, near: float = 2.0, min_fraction: float = 0.3) -> str:
        """The kind that most of the segment lies on (ties go to the kind listed first in
        KINDS); when none covers `min_fraction` of it, "near" the large feature (NEAR_KINDS)
        closest to it (median distance up to NEAR_DISTANCE), else "sky"."""
        cover = self.coverage(x0, y0, x1, y1, near=near)
        best = max(cover.items(), key=lambda kv: (kv[1], -KINDS.index(kv[0])), default=None)
        if best and best[1] >= min_fraction:
            return best[0]
        points = self._samples(x0, y0, x1, y1, 2.0)
        distance = {kind: float(np.median(self.groups[kind].distance(points)))
                    for kind in NEAR_KINDS if kind in self.groups}
        kind = min(distance, key=distance.get, default=None)
        return f"near {kind}" if kind and distance[kind] <= NEAR_DISTANCE else "sky"
