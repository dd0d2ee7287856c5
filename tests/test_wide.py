"""The search for wide trails on the block-averaged image: what it adds to the full-resolution
search, and that its streaks and records are in the full image's pixels."""

import numpy as np
import pytest

from kestrova import find_streaks
from kestrova.catalog import Streak
from kestrova.lines import along, to_frame
from kestrova.synthetic import TrueStreak, end_errors, synthetic_sky
from kestrova.wide import block_mean, to_full

SHAPE = (512, 768)
# A defocused trail, 19 px wide (FWHM), too faint for the band of the full-resolution search.
WIDE = TrueStreak(60.0, 100.0, 700.0, 380.0, 2.5, psf_sigma=8.0)


@pytest.fixture(scope="module")
def wide_sky():
    return synthetic_sky(SHAPE, [WIDE], seed=3)[0]


def test_a_faint_wide_trail_is_found_only_by_the_wide_search(wide_sky):
    assert len(find_streaks(wide_sky)) == 0
    catalog = find_streaks(wide_sky, wide=True)
    assert len(catalog) == 1
    s = catalog[0]
    assert abs(np.degrees(s.theta) - np.degrees(np.arctan2(280.0, 640.0))) < 1.0
    assert s.fwhm == pytest.approx(2.355 * WIDE.psf_sigma, rel=0.3)
    assert s.flux_per_length == pytest.approx(WIDE.flux_per_length, rel=0.25)
    # One end within a few blocks. The other is some 70 px short: along the first stretch the
    # trail is too faint for the ends' test at this scale.
    assert min(end_errors(s, WIDE)) < 16.0


def test_a_wide_streaks_record_is_in_the_full_images_frame(wide_sky):
    catalog = find_streaks(wide_sky, wide=True)
    s, record = catalog[0], catalog.records[0]
    ends = [along(s.theta, *to_frame(SHAPE, x, y)) for x, y in (s.start, s.end)]
    assert ends == pytest.approx([record.start, record.end], abs=0.01)
    assert s.length == pytest.approx(record.end - record.start, abs=0.01)
    inside = (record.position >= record.start) & (record.position <= record.end)
    assert inside.any() and np.all(np.diff(record.position) >= 0)


@pytest.mark.parametrize("shape, f", [((37, 50), 4), ((64, 64), 2), ((33, 100), 3)])
def test_block_mean_pixels_map_onto_the_full_image(shape, f):
    # A point at a reduced pixel's centre is that block's centre in the full image.
    rng = np.random.default_rng(0)
    image = rng.normal(size=shape)
    small = block_mean(image, np.zeros(shape, bool), f)
    i, j = small.shape[0] - 1, small.shape[1] - 1
    assert small[i, j] == pytest.approx(image[f * i:f * i + f, f * j:f * j + f].mean())
    s = to_full(Streak(0.0, 0.0, 1.0, 1.0, j, i, j, i, 0.0, 1.0, 0.1, 0.0, 0.0, 1.0), shape, f)
    assert (s.x_start, s.y_start) == (f * j + (f - 1) / 2, f * i + (f - 1) / 2)


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.uint16])
def test_block_mean_averages_the_valid_pixels_of_each_block(dtype):
    # More block rows than a strip holds; NaN and excluded pixels left out, a block with fewer
    # than half of its pixels valid NaN.
    f, shape = 4, (4 * 70 + 3, 41)
    rng = np.random.default_rng(1)
    image = rng.uniform(0.0, 1000.0, shape).astype(dtype)
    excluded = rng.random(shape) < 0.3
    excluded[:8, :8] = True
    if dtype != np.uint16:
        image[rng.random(shape) < 0.05] = np.nan
    valid = ~excluded & np.isfinite(image)
    small = block_mean(image, excluded, f)
    assert small.shape == (70, 10)
    for i, j in np.ndindex(small.shape):
        block = np.s_[f * i:f * i + f, f * j:f * j + f]
        values = image[block][valid[block]].astype(float)
        if values.size >= 0.5 * f * f:
            assert small[i, j] == pytest.approx(values.mean(), rel=1e-12)
        else:
            assert np.isnan(small[i, j])
    assert np.isnan(small[:2, :2]).all()


def test_the_wide_search_leaves_a_small_image_alone():
    image, _ = synthetic_sky((200, 300), [TrueStreak(20, 30, 270, 160, 4.0)], seed=1)
    assert [s.width for s in find_streaks(image, wide=True)] == [2.0]


def test_edge_on_disks_refused_for_their_shape_are_not_found_wide():
    # Seen four times coarser, a disk 3 px thick looks like a wide trail; the full-resolution
    # search refused its line as fading towards both ends.
    image, _ = synthetic_sky((300, 400), [], n_stars=60, seed=7)
    rows, cols = np.mgrid[:300, :400]
    for x, y, angle in ((120, 100, 0.4), (280, 210, 2.0)):
        u = np.cos(angle) * (cols - x) + np.sin(angle) * (rows - y)
        v = -np.sin(angle) * (cols - x) + np.cos(angle) * (rows - y)
        image += 8.0 * np.exp(-np.hypot(u / 30.0, v / 3.0))
    catalog = find_streaks(image, wide=True)
    assert len(catalog) == 0
    assert "tapered" in {refusal.reason for refusal in catalog.refused}
