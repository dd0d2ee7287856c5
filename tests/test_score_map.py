"""score_map: the band Hough score of every line of an (r, theta) grid."""

import time

import numpy as np
import pytest

import lines

from conftest import hough_entries
from kestrova.hough import HoughTransform
from reference import band_scores


@pytest.mark.parametrize(
    "width, rows",
    [(0.5, [2]), (1.0, [1, 2]), (1.5, [1, 2, 3]), (0.0, []), (-1.0, []), (-np.inf, []),
     (np.inf, [0, 1, 2, 3, 4]), (1e30, [0, 1, 2, 3, 4]), (2.0, [0, 1, 2, 3])],
)
def test_band_width(width, rows):
    # u = 2 for every theta: width w feeds the cells u - w - 0.5 < k <= u + w - 0.5, clipped.
    start = time.perf_counter()
    scores = HoughTransform(np.array([[2.0]]), 1.0).score_map(-2.0, 2.0, 5, 0.0, 3.0, 3, width)
    assert time.perf_counter() - start < 1.0
    expected = np.zeros((5, 3))
    expected[rows] = 2.0
    np.testing.assert_array_equal(scores, expected)


@pytest.mark.parametrize(
    "shape, args",
    [
        # Degenerate grids are the kernel's business (tests/cpp); here, through the conversions.
        ((4, 3), (-2.0, 1e40, 5, 0.0, 3.0, 4)),  # infinite in single precision
        ((4, 3), (-2.0, 2.0, 5, 0.0, 3.0, 4, np.nan)),
        ((0, 0), (-2.0, 2.0, 5, 0.0, 3.0, 4)),
        ((0, 4), (-2.0, 2.0, 5, 0.0, 3.0, 4)),
        ((3, 0), (-2.0, 2.0, 5, 0.0, 3.0, 4)),
        ((3, 3), (-2.0, 2.0, 0, 0.0, 3.0, 4)),
        ((3, 3), (-2.0, 2.0, 5, 0.0, 3.0, 0)),
        ((3, 3), (-2.0, 2.0, 0, 0.0, 3.0, 0)),
    ],
)
def test_nothing_is_binned(shape, args):
    scores = HoughTransform(np.ones(shape), 1.0).score_map(*args)
    assert scores.shape == (args[2], args[5]) and scores.dtype == np.float64
    assert not scores.any()


class Lying:
    """An image whose shape disagrees with its float64 copy: never handed to the kernel."""

    T = np.zeros((5, 4))
    shape = (400, 500)


@pytest.mark.parametrize(
    "image, nr, nt, error, message, line",
    [
        (np.ones((3, 3)), -5, 4, ValueError, "^negative dimensions", lines.score_map_zeros),
        (np.ones((3, 3)), -5, -4, ValueError, "nr and nt", lines.score_map_zeros),
        # Never allocated lazily and then killed for: refused up front.
        (np.ones((2, 2)), 2**31 - 1, 1, MemoryError, "needs more memory", lines.score_map_zeros),
        (np.ones((2, 2)), 2**20, 2**20, MemoryError, "needs more memory", lines.score_map_zeros),
        (np.ones((2, 2)), 2**31 - 1, 2**31 - 1, MemoryError, "needs more memory", lines.score_map_zeros),
        (np.zeros((2, 3, 4)), 5, 4, ValueError,
         r"^Buffer has wrong number of dimensions \(expected 2, got 3\)$", lines.score_map_input),
        (np.zeros(3), 5, 4, ValueError,
         r"^Buffer has wrong number of dimensions \(expected 2, got 1\)$", lines.score_map_input),
        (Lying(), 5, 4, ValueError, "does not match", lines.score_map_shape),
    ],
)
def test_refusals(image, nr, nt, error, message, line):
    ht = HoughTransform(np.ones((2, 2)), 1.0)
    ht.image = image
    with pytest.raises(error, match=message) as info:
        ht.score_map(-2.0, 2.0, nr, 0.0, 3.0, nt)
    assert hough_entries(info.value)[-1][2] == line


def test_orientation_on_a_non_square_image():
    # 3 rows, 5 columns: a bright column at x = +2 lies on theta = pi/2, r = 2; a bright row at
    # y = -1 on theta = 0, r = 1. Each feeds the cell of its r and the one below, and no other.
    image = np.zeros((3, 5))
    image[:, 4] = 1.0
    ht = HoughTransform(image, 1.0)
    scores = ht.score_map(-3.0, 3.0, 7, 0.0, np.pi / 2, 2)  # r = -3 .. 3
    np.testing.assert_array_equal(np.flatnonzero(scores[:, 1]), [4, 5])
    image[:] = 0.0
    image[0, :] = 1.0
    scores = ht.score_map(-3.0, 3.0, 7, 0.0, np.pi / 2, 2)
    np.testing.assert_array_equal(np.flatnonzero(scores[:, 0]), [3, 4])


def test_nan_pixel_poisons_only_the_cells_it_feeds():
    image = np.ones((5, 5))
    image[0, 0] = np.nan
    scores = HoughTransform(image, 1.0).score_map(-4.0, 4.0, 9, 0.0, 3.0, 5)
    _, counts_without = band_scores(np.ones((5, 5)), -4.0, 4.0, 9, 0.0, 3.0, 5)
    lonely = np.zeros((5, 5))
    lonely[0, 0] = 1.0
    fed = band_scores(lonely, -4.0, 4.0, 9, 0.0, 3.0, 5)[0] > 0
    assert fed.any() and not fed.all()
    np.testing.assert_array_equal(np.isnan(scores), fed)
    assert (scores[(fed == 0) & (counts_without > 0)] > 0).all()


def grids(count, seed=1):
    rng = np.random.default_rng(seed)
    for _ in range(count):
        rows, cols = rng.integers(1, 14, size=2)
        radius = np.hypot(rows, cols) / 2
        r0, r1 = rng.uniform(-radius - 2, radius + 2, size=2)  # either order
        t0, t1 = rng.uniform(-4.0, 4.0, size=2)
        yield (rng.normal(size=(rows, cols)), r0, r1, int(rng.integers(2, 30)), t0, t1,
               int(rng.integers(2, 20)), float(rng.choice([0.5, 1.0, 1.7, 3.0])))


@pytest.mark.parametrize("case", list(grids(30)))
def test_matches_direct_evaluation(case):
    image, *grid = case
    scores = HoughTransform(image, 1.0).score_map(*grid)
    expected, counts = band_scores(image, *grid)
    # Which cells receive a pixel is exact: on an image of ones every score is count/sqrt(count).
    ones = HoughTransform(np.ones_like(image), 1.0).score_map(*grid)
    np.testing.assert_array_equal(ones, counts / np.sqrt(np.maximum(counts, 1)))
    np.testing.assert_allclose(scores, expected, rtol=1e-10, atol=1e-12)
