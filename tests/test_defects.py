"""The masks of what is not sky (kestrova.defects, kestrova.saturation, kestrova.detector_lines),
the drawing of masks (kestrova.masks) and the statistics under them (kestrova.stats), each on an
image built to hold exactly what it must find."""

import numpy as np
import pytest
from scipy import ndimage

from kestrova import defects, detector_lines, masks, saturation
from kestrova.stats import masked_median, robust_sigma


@pytest.mark.parametrize("length", [5, 64, 65, 1000])
def test_masked_median_is_the_median_of_the_good_values(length):
    rng = np.random.default_rng(length)
    values = rng.normal(size=(40, length))
    good = rng.random(values.shape) < 0.6
    good[3] = False
    good[4, :] = False
    good[4, 0] = True
    got = masked_median(values, good, axis=1)
    assert np.isnan(got[3])
    if length <= 64:
        expected = [np.median(v[g]) if g.any() else np.nan for v, g in zip(values, good)]
        assert np.allclose(got, expected, equal_nan=True) and got[4] == values[4, 0]
    else:  # half a rank off where an odd number of values are flagged
        for v, g, m in zip(values[5:], good[5:], got[5:]):
            ordered, n = np.sort(v[g]), g.sum()
            assert ordered[(n - 1) // 2 - 1] <= m <= ordered[n // 2 + 1]


def test_sparse_labels_are_the_eight_connected_regions():
    mask = np.random.default_rng(2).random((120, 90)) < 0.08
    index, labels, n = masks.sparse_label(mask)
    reference, m = ndimage.label(mask, structure=np.ones((3, 3)))
    assert n == m and np.array_equal(index, np.flatnonzero(mask))
    # The same partition, whatever the numbering.
    pairs = set(zip(labels.tolist(), reference.ravel()[index].tolist()))
    assert len(pairs) == n


@pytest.mark.parametrize("image, step", [
    (np.arange(12, dtype=np.uint16).reshape(3, 4), 1.0),
    (np.round(np.random.default_rng(0).normal(50.0, 3.0, (60, 60))), 1.0),
    (np.round(np.random.default_rng(0).normal(50.0, 3.0, (60, 60)) * 4) / 4, 0.25),
    (np.random.default_rng(0).normal(50.0, 3.0, (60, 60)).astype(np.float32), 0.0),
])
def test_quantum_is_the_step_of_the_values(image, step):
    assert defects.quantum(image) == step


def test_dither_unbiases_the_median_of_whole_numbers():
    x = np.round(np.random.default_rng(3).normal(100.4, 2.2, 400_000))
    assert np.median(x) == 100.0
    spread = defects.dither(x, 1.0)
    assert np.median(spread) == pytest.approx(100.4, abs=0.02)
    assert spread.std() ** 2 - x.std() ** 2 == pytest.approx(1 / 12, rel=0.05)


@pytest.mark.parametrize("dtype", [np.float32, np.int16])
def test_fill_runs_are_the_zero_filled_strips_only(dtype):
    rng = np.random.default_rng(4)
    image = rng.normal(300.0, 3.0, (200, 300))
    image[:, 280:] = 0.0                  # a chip edge
    image[90:96, :] = 0.0                 # a chip gap
    image[150, 40:50] = 0.0               # too short a run to be a fill
    image = image.astype(dtype)
    mask = defects.fill_runs(image, defects.quantum(image))
    expected = np.zeros(image.shape, bool)
    expected[:, 280:] = expected[90:96, :] = True
    assert np.array_equal(mask, expected)


def test_saturation_is_the_flat_top_even_with_cosmic_rays_above_it():
    rng = np.random.default_rng(5)
    image = rng.normal(100.0, 3.0, (100, 100))
    assert saturation.saturation_level(image) is None
    image[40:44, 40:45] = 30_000.0        # a saturated core
    image[10, 10], image[80, 70] = 45_000.0, 52_000.0
    assert saturation.saturation_level(image) == 30_000.0
    image[40:44, 40:45] = rng.normal(30_000.0, 200.0, (4, 5))   # no pile-up: not saturated
    assert saturation.saturation_level(image) is None


def test_a_saturated_star_is_masked_with_its_bleed_halo_and_spikes():
    rng = np.random.default_rng(6)
    yy, xx = np.mgrid[:300, :300]
    r2 = (yy - 150.0) ** 2 + (xx - 150.0) ** 2
    light = 5e5 * (1.0 + r2 / 4.0) ** -2.5 + 100.0 * (1.0 + r2 / 400.0) ** -1.5   # core, halo
    light[148:153, 150:] += 400.0 * (1.0 + np.arange(150) / 6.0) ** -2.0          # a spike
    image = np.minimum(light, 20_000.0) + rng.normal(0.0, 5.0, light.shape)
    image[90:210, 149:152] = 20_000.0                                              # bleed
    saturated = image >= 20_000.0
    mask = saturation.bright_stars(image, saturated, ~saturated, 5.0).mask
    assert mask[saturated].all() and mask[150, 190] and mask[150, 225]   # halo, spike
    # The halo falls to 0.2 sigma at r = 90.
    assert mask[206, 206] and not mask[245, 245] and not mask[150, 20]


@pytest.mark.parametrize("depth", [0.0, 0.7])
def test_a_halo_ends_where_it_ends_on_a_vignetted_sky(depth):
    # The sky falls towards the corners (to 1 - depth); the star's light falls below
    # 0.2 sigma 42 px from it. A plane fitted around the star misses the curving sky, and the
    # halo seemed to go on to 96 px.
    rng = np.random.default_rng(10)
    ny, nx = 576, 768
    yy, xx = np.mgrid[:ny, :nx]
    rho = np.hypot(xx - (nx - 1) / 2.0, yy - (ny - 1) / 2.0) / (0.5 * np.hypot(nx - 1, ny - 1))
    throughput = 1.0 - depth * np.clip((rho - 0.55) / 0.45, 0.0, 1.0) ** 2
    star = 1e7 * (1.0 + ((yy - 198.0) ** 2 + (xx - 426.0) ** 2) / 6.25) ** -2.5
    image = np.minimum((1400.0 + star) * throughput, 60_000.0) + rng.normal(0.0, 38.0, xx.shape)
    saturated = image >= 60_000.0
    mask = saturation.bright_stars(image, saturated, ~saturated, 38.0, follow=96.0).mask
    radius = np.flatnonzero(mask[198])[-1] - 426
    assert 42 <= radius <= 1.7 * 42


@pytest.mark.parametrize("width, masked", [(1, True), (3, False)])
def test_a_defect_column_is_narrow_and_a_streak_along_a_column_is_not(width, masked):
    data = np.random.default_rng(7).normal(0.0, 1.0, (512, 300))
    data[:, 150:150 + width] += 0.8
    mask = detector_lines.defect_lines(data, np.ones(data.shape, bool), 1.0)
    assert mask[:, 150].all() == masked
    assert mask.sum() == (512 if masked else 0)


def test_a_hot_piece_of_a_column_is_masked_from_where_it_starts():
    data = np.random.default_rng(8).normal(0.0, 1.0, (1024, 300))
    data[700:, 77] += 3.0                 # lit from a hot pixel down to the read-out
    data[:300, 200] -= 2.0                # a dead stretch
    mask = detector_lines.defect_lines(data, np.ones(data.shape, bool), 1.0)
    hot, dead = np.flatnonzero(mask[:, 77]), np.flatnonzero(mask[:, 200])
    # The pieces end in the block beyond their last whole block, or the one after it.
    assert hot[-1] == 1023 and 700 - 128 <= hot[0] <= 700
    assert dead[0] == 0 and 300 <= dead[-1] < 300 + 128
    assert mask.sum() == hot.size + dead.size


def test_a_mask_over_a_structured_sky_is_no_edge_strip():
    # The sky falls by 60 sigma from the bottom to the top; a halo masked over the lower left
    # leaves the medians of its columns to the fainter rows above it, a step of many sigma
    # between columns 99 and 100 that the pixels seen in both columns do not show.
    rng = np.random.default_rng(9)
    rows = np.arange(400.0)[:, None]
    image = 1000.0 - 0.15 * rows + rng.normal(0.0, 1.0, (400, 600))
    good = np.ones(image.shape, bool)
    good[:250, :100] = False
    assert not detector_lines.edge_strips(image, good, 1.0).any()
    image[:, 590:] = 200.0 + rng.normal(0.0, 1.0, (400, 10))       # an overscan is one
    mask = detector_lines.edge_strips(image, good, 1.0)
    assert [int(c) for c in np.flatnonzero(mask.all(axis=0))] == list(range(590, 600))


@pytest.mark.parametrize("glow, strip", [
    (0.0, range(590, 600)),              # an overscan 1.5 sigma below a faint sky
    (3.0, range(590, 600)),              # and beside it a glow fading smoothly from 3 sigma
    (8.0, range(587, 600)),              # from 8 sigma: followed while above 4 sigma
])
def test_a_shallow_overscan_is_a_strip_and_a_faint_glow_sky(glow, strip):
    rng = np.random.default_rng(10)
    image = 2.0 + rng.normal(0.0, 1.0, (400, 600))
    image[:, :590] += glow * np.exp(-(589 - np.arange(590.0)) / 4.0)
    image[:, 590:] -= 1.5
    mask = detector_lines.edge_strips(image, np.ones(image.shape, bool), 1.0)
    assert [int(c) for c in np.flatnonzero(mask.all(axis=0))] == list(strip)
    assert not mask[:, : strip[0]].any()


@pytest.mark.parametrize("gradient, step, border", [
    (0.0, 0.0, False), (0.02, 0.0, False), (0.0, 0.0, True), (0.02, 0.0, True), (0.02, 5.0, True),
])
def test_a_band_near_a_border_takes_no_sky_into_the_strip(gradient, step, border):
    # Rows of sky between a zero-filled chip edge (rows 588-599 when `border`) and a chip gap
    # (rows 480-495) within a quarter of the frame of it; the sky falls towards the border and
    # may differ across the gap.
    rng = np.random.default_rng(11)
    rows = np.arange(600.0)[:, None]
    image = 300.0 - gradient * rows + rng.normal(0.0, 1.0, (600, 400))
    image[:480] += step
    image[480:496] = 0.0
    if border:
        image[588:] = 0.0
    mask = detector_lines.edge_strips(image, np.ones(image.shape, bool), 1.0)
    strip = np.flatnonzero(mask.all(axis=1))
    assert strip.tolist() == (list(range(588, 600)) if border else [])


@pytest.mark.parametrize("gradient", [0.0, 0.01])
def test_a_bright_band_near_a_border_is_no_strip(gradient):
    # A saturated star's bleed and spikes raise a band of columns 150 from the border.
    rng = np.random.default_rng(12)
    cols = np.arange(600.0)
    image = 300.0 + gradient * cols + rng.normal(0.0, 1.0, (400, 600))
    image[:, 150:162] += 1.5
    assert not detector_lines.edge_strips(image, np.ones(image.shape, bool), 1.0).any()


@pytest.mark.parametrize("chunk, dtype", [(detector_lines.PROFILE_CHUNK, np.float64),
                                          (1000, np.float32)])
def test_line_profiles_sum_blocks_of_any_size(monkeypatch, chunk, dtype):
    # Read a few rows at a time too, and with NaN at the pixels left out.
    monkeypatch.setattr(detector_lines, "PROFILE_CHUNK", chunk)
    rng = np.random.default_rng(9)
    data = rng.normal(size=(301, 203)).astype(dtype)
    good = rng.random(data.shape) < 0.9
    data[~good] = np.nan
    for axis in (0, 1):
        profile = detector_lines.line_profile(data, good, axis, block=40)
        for k, (a, b) in enumerate(zip(profile.edges[:-1], profile.edges[1:])):
            part = [slice(None), slice(None)]
            part[axis] = slice(a, b)
            sums = np.where(good, data, 0.0)[tuple(part)].sum(axis=axis, dtype=float)
            counts = good[tuple(part)].sum(axis=axis)
            assert np.array_equal(profile.counts[k], counts)
            assert np.allclose(profile.means[k] * counts, sums)


def test_axis_structure_follows_a_glow_but_not_a_streak_crossing():
    rows, cols = np.mgrid[:400, :500]
    data = np.random.default_rng(10).normal(0.0, 1.0, (400, 500))
    data += 1.5 * np.exp(-(499 - cols) / 20.0)                        # amplifier glow
    data += 3.0 * np.exp(-0.5 * ((rows - 0.2 * cols - 100.0) / 1.5) ** 2)   # a streak
    columns, lines = detector_lines.axis_structure(data, np.ones(data.shape, bool), 1.0)
    assert columns[-1] == pytest.approx(1.5, abs=0.25) and abs(columns[250]) < 0.05
    assert np.abs(lines).max() < 0.05
    assert robust_sigma(data - columns - lines[:, None]) == pytest.approx(1.0, rel=0.05)


@pytest.mark.parametrize("radius", [1.5, 20.0, 31.5, 40.0, 180.3])
def test_disks_cover_the_pixels_within_their_radius(radius):
    # Large disks are drawn a band of rows at a time; some reach past the image's borders.
    rng = np.random.default_rng(13)
    y, x = rng.uniform(-40.0, 240.0, 6), rng.uniform(-40.0, 340.0, 6)
    mask = np.zeros((200, 300), bool)
    masks.paint_disks(mask, y, x, np.full(6, radius))
    rows, cols = np.mgrid[:200, :300]
    expected = np.zeros(mask.shape, bool)
    for cy, cx in zip(y, x):
        expected |= (rows - cy) ** 2 + (cols - cx) ** 2 <= radius**2
    assert np.array_equal(mask, expected)


@pytest.mark.parametrize("max_samples", [None, 1000])
def test_the_noise_worked_in_place_is_the_noise(max_samples):
    values = np.random.default_rng(14).normal(3.0, 2.0, 10_001)
    expected = robust_sigma(values, max_samples)
    assert robust_sigma(values.copy(), max_samples, overwrite=True) == expected
