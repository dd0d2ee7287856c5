import time

import numpy as np
import pytest

from conftest import f32, hough_entries
import lines
from kestrova.hough import HoughTransform



def reference(image, r0, r1, nr, t0, t1, nt, width=1.0):
    """The band accumulator evaluated directly: every pixel feeds the r cells whose index k has
    floor((d - h)/dr + 0.5) <= k < floor((d + h)/dr + 0.5), d its distance from the line (r0, theta).
    Returns (scores, counts)."""
    image = np.asarray(image, dtype=np.float64)
    r0, r1, t0, t1, width = map(f32, (r0, r1, t0, t1, width))
    rows, cols = image.shape
    x = (-(rows - 1.0)) * 0.5 + np.arange(rows)  # the kernel's x runs along the image's rows
    y = (-(cols - 1.0)) * 0.5 + np.arange(cols)
    dr = (r1 - r0) / (nr - 1.0)
    dt = (t1 - t0) / (nt - 1.0)
    h = width * dr
    sums, counts = np.zeros((nr, nt)), np.zeros((nr, nt), dtype=np.int64)
    for l in range(nt):
        theta = l * dt + t0
        s, c = np.sin(theta), np.cos(theta)
        d = (s * y[None, :] - c * x[:, None]) - r0
        lo = np.floor((d - h) / dr + 0.5)
        hi = np.floor((d + h) / dr + 0.5)
        for k in range(nr):
            inside = (lo <= k) & (k < hi)
            sums[k, l] = image[inside].sum()
            counts[k, l] = inside.sum()
    scores = np.divide(sums, np.sqrt(counts), out=np.zeros_like(sums), where=counts > 0)
    return scores, counts


def test_single_pixel_example():
    scores = HoughTransform(np.array([[3.5]]), 1.0).score_map(-2.0, 2.0, 5, 0.0, 3.0, 4)
    expected = np.zeros((5, 4))
    expected[1:3] = 3.5
    np.testing.assert_array_equal(scores, expected)


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
    "args",
    [
        (-2.0, 2.0, 1, 0.0, 3.0, 4),  # one r value: no finite step
        (-2.0, 2.0, 5, 0.0, 3.0, 1),  # one theta value
        (2.0, 2.0, 5, 0.0, 3.0, 4),  # equal r ends
        (np.nan, 2.0, 5, 0.0, 3.0, 4),
        (-2.0, 2.0, 5, np.nan, 3.0, 4),
        (-np.inf, 2.0, 5, 0.0, 3.0, 4),
        (-2.0, 1e40, 5, 0.0, 3.0, 4),
        (-2.0, 2.0, 5, 0.0, 3.0, 4, np.nan),
    ],
)
def test_degenerate_grids_bin_nothing(args):
    image = np.ones((4, 3))
    scores = HoughTransform(image, 1.0).score_map(*args)
    assert scores.shape == (args[2], args[5])
    assert not scores.any()


@pytest.mark.parametrize("shape", [(0, 0), (0, 4), (3, 0)])
def test_empty_image(shape):
    scores = HoughTransform(np.zeros(shape), 1.0).score_map(-2.0, 2.0, 5, 0.0, 3.0, 4)
    np.testing.assert_array_equal(scores, np.zeros((5, 4)))


@pytest.mark.parametrize("nr, nt", [(0, 4), (5, 0), (0, 0)])
def test_empty_grid(nr, nt):
    scores = HoughTransform(np.ones((3, 3)), 1.0).score_map(-2.0, 2.0, nr, 0.0, 3.0, nt)
    assert scores.shape == (nr, nt) and scores.dtype == np.float64


def test_negative_counts():
    ht = HoughTransform(np.ones((3, 3)), 1.0)
    with pytest.raises(ValueError, match="negative dimensions") as info:
        ht.score_map(-2.0, 2.0, -5, 0.0, 3.0, 4)
    assert hough_entries(info.value)[-1][2] == lines.score_map_zeros
    with pytest.raises(ValueError, match="nr and nt") as info:
        ht.score_map(-2.0, 2.0, -5, 0.0, 3.0, -4)
    assert hough_entries(info.value)[-1][2] == lines.score_map_zeros


@pytest.mark.parametrize("nr, nt", [(2**31 - 1, 1), (2**20, 2**20), (2**31 - 1, 2**31 - 1)])
def test_grid_beyond_memory_is_refused(nr, nt):
    # Never allocated lazily and then killed for: refused up front.
    with pytest.raises(MemoryError, match="needs more memory") as info:
        HoughTransform(np.ones((2, 2)), 1.0).score_map(-2.0, 2.0, nr, 0.0, 3.0, nt)
    assert hough_entries(info.value)[-1][2] == lines.score_map_zeros


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


def test_thin_line_scores_equally_in_its_two_cells():
    image = np.zeros((9, 9))
    image[:, 4] = 1.0  # x = 0: theta = pi/2, r = 0
    scores = HoughTransform(image, 1.0).score_map(-4.0, 4.0, 9, 0.0, np.pi / 2, 2)
    assert scores[3, 1] == scores[4, 1] == scores.max()


def test_nan_pixel_poisons_only_the_cells_it_feeds():
    image = np.ones((5, 5))
    image[0, 0] = np.nan
    scores = HoughTransform(image, 1.0).score_map(-4.0, 4.0, 9, 0.0, 3.0, 5)
    _, counts_without = reference(np.ones((5, 5)), -4.0, 4.0, 9, 0.0, 3.0, 5)
    lonely = np.zeros((5, 5))
    lonely[0, 0] = 1.0
    fed = reference(lonely, -4.0, 4.0, 9, 0.0, 3.0, 5)[0] > 0
    assert fed.any() and not fed.all()
    np.testing.assert_array_equal(np.isnan(scores), fed)
    assert (scores[(fed == 0) & (counts_without > 0)] > 0).all()


@pytest.mark.parametrize(
    "image",
    [
        np.arange(20, dtype=np.int32).reshape(4, 5),
        np.eye(4, 5, dtype=bool),
        np.linspace(-1, 1, 20, dtype=np.float32).reshape(4, 5),
        np.arange(40.0).reshape(4, 10)[:, ::2],
        np.asfortranarray(np.arange(20.0).reshape(4, 5)),
    ],
    ids=["int32", "bool", "float32", "strided", "fortran"],
)
def test_image_types(image):
    scores = HoughTransform(image, 1.0).score_map(-3.5, 3.5, 8, -1.0, 2.0, 6)
    expected, _ = reference(image, -3.5, 3.5, 8, -1.0, 2.0, 6)
    np.testing.assert_allclose(scores, expected, rtol=1e-12, atol=1e-12)


def grids(count, seed=1):
    rng = np.random.default_rng(seed)
    for _ in range(count):
        rows, cols = rng.integers(1, 14, size=2)
        radius = np.hypot(rows, cols) / 2
        r0, r1 = rng.uniform(-radius - 2, radius + 2, size=2)  # either order
        t0, t1 = rng.uniform(-4.0, 4.0, size=2)
        yield (rng.normal(size=(rows, cols)), r0, r1, int(rng.integers(2, 30)), t0, t1,
               int(rng.integers(2, 20)), float(rng.choice([0.5, 1.0, 1.7, 3.0])))


@pytest.mark.parametrize("case", list(grids(40)))
def test_matches_direct_evaluation(case):
    image, *grid = case
    scores = HoughTransform(image, 1.0).score_map(*grid)
    expected, counts = reference(image, *grid)
    # Which cells receive a pixel is exact: on an image of ones every score is count/sqrt(count).
    ones = HoughTransform(np.ones_like(image), 1.0).score_map(*grid)
    np.testing.assert_array_equal(ones, counts / np.sqrt(np.maximum(counts, 1)))
    np.testing.assert_allclose(scores, expected, rtol=1e-10, atol=1e-12)


def test_repeatable():
    image = np.random.default_rng(5).normal(size=(60, 70))
    ht = HoughTransform(image, 1.0)
    first = ht.score_map(-46.0, 46.0, 93, 0.0, np.pi, 90)
    np.testing.assert_array_equal(first, ht.score_map(-46.0, 46.0, 93, 0.0, np.pi, 90))


def test_inconsistent_image_shape_is_refused():
    # An image object whose shape disagrees with its transposed copy must not reach the kernel.
    class Lying:
        T = np.zeros((5, 4))
        shape = (400, 500)

    ht = HoughTransform(np.zeros((4, 5)), 1.0)
    ht.image = Lying()
    with pytest.raises(ValueError, match="does not match") as info:
        ht.score_map(-2.0, 2.0, 5, 0.0, 3.0, 4)
    assert hough_entries(info.value)[-1][2] == lines.score_map_shape


@pytest.mark.parametrize(
    "image, error, line",
    [
        (np.zeros((2, 3, 4)), "Buffer has wrong number of dimensions (expected 2, got 3)", lines.score_map_input),
        (np.zeros(3), "Buffer has wrong number of dimensions (expected 2, got 1)", lines.score_map_input),
    ],
)
def test_image_dimensions(image, error, line):
    ht = HoughTransform(np.zeros((2, 2)), 1.0)
    ht.image = image
    with pytest.raises(ValueError) as info:
        ht.score_map(-2.0, 2.0, 5, 0.0, 3.0, 4)
    assert str(info.value) == error
    assert hough_entries(info.value)[-1][2] == line
