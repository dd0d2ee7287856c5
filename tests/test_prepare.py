"""prepare_image and find_streaks on what is not sky: whole-numbered data, masks that leave no
sky, glows, detector defects, saturated stars, the stars' width, and the real frames that
used to fail."""

import os
import tracemalloc
from pathlib import Path

import numpy as np
import pytest

from kestrova import find_streaks
from kestrova.prepare import Exclusion, prepare_image
from kestrova.synthetic import TrueStreak, draw_streak, end_errors

REALDATA = Path(os.environ.get("KESTROVA_REALDATA", "/work/shared/realdata"))


@pytest.mark.parametrize("dtype, sky, noise", [
    (np.int16, 100.4, 2.2),         # a raw frame: the sky between two whole counts
    (np.uint8, 30.6, 1.3),          # an 8-bit picture
    (np.float64, 1000.3, 2.0),      # whole numbers stored as floats
])
def test_whole_numbered_noise_is_measured_and_holds_no_streak(dtype, sky, noise):
    image = np.round(np.random.default_rng(1).normal(sky, noise, (1024, 1024))).astype(dtype)
    prep = prepare_image(image)
    assert prep.sigma == pytest.approx(noise, rel=0.03)
    assert abs(prep.data.mean()) < 0.01 * noise       # the sky is not taken as a whole count
    assert len(find_streaks(image)) == 0


def test_a_glow_is_not_a_star_and_a_sky_masked_away_is_named():
    rows, cols = np.mgrid[:100, :100]
    image = np.random.default_rng(2).normal(1000.0, 10.0, (100, 100))
    image += 300.0 * np.exp(-((rows - 60.0) ** 2 + (cols - 90.0) ** 2) / 800.0)
    prep = prepare_image(image)
    assert 0.0 < prep.excluded.mean() < 0.3          # its core and wings, not a disk
    mask = np.ones(image.shape, bool)
    mask[:7, :7] = False
    with pytest.raises(ValueError, match=r"too few sky pixels.* 9951 masked"):
        prepare_image(image, mask=mask)


def raw_frame(rng, shape=(600, 700)):
    """A raw frame with the defects of a detector, and where each lies."""
    image = rng.normal(1500.0, 12.0, shape)
    image[:, 100] += 200.0                              # hot column
    image[:, 230] -= 60.0                               # low column
    image[350:, 400] += 40.0                            # hot from a pixel to the read-out
    image[:, -40:] = rng.normal(800.0, 4.0, (shape[0], 40))      # overscan
    image[:, -48:-40] += 4000.0 * np.exp(-np.arange(8)[::-1] / 1.5)   # amplifier edge
    image[:, :12] = 0.0                                 # zero-filled chip edge
    image[280:290, :] = 0.0                             # chip gap
    image = np.round(image).astype(np.uint16)
    where = {"hot": (slice(None), 100), "low": (slice(None), 230), "piece": (slice(400, None), 400),
             "overscan": (slice(None), slice(-40, None)), "amplifier": (slice(None), -44),
             "edge": (slice(None), slice(0, 12)), "gap": (slice(280, 290), slice(None))}
    return image, where


def test_detector_defects_are_masked_and_a_streak_across_them_is_found():
    image, where = raw_frame(np.random.default_rng(3))
    truth = TrueStreak(20.0, 560.0, 640.0, 40.0, 60.0, 1.2)
    image = draw_streak(image.astype(float), truth)
    prep = prepare_image(image)
    defect = prep.excluded_by(Exclusion.DEFECT)
    for name, place in where.items():
        assert defect[place].all(), name
    assert defect.mean() < 0.15 and prep.sigma == pytest.approx(12.0, rel=0.05)
    catalog = find_streaks(image)
    assert len(catalog) == 1 and max(end_errors(catalog[0], truth)) < 15.0


def test_a_hot_column_beside_an_overscan_is_masked():
    # The overscan pulls the first background of the columns beside it far below the sky.
    image = np.random.default_rng(12).normal(1000.0, 10.0, (512, 512))
    image[:, 480:] = 300.0 + np.random.default_rng(13).normal(0.0, 3.0, (512, 32))
    image[:, 462] += 100.0
    defect = prepare_image(image).excluded_by(Exclusion.DEFECT)
    assert defect[:, 462].all() and defect[:, 480:].all()
    assert not defect[:, :462].any() and not defect[:, 463:480].any()


def saturated_star(rng, shape=(500, 500), level=30_000.0):
    """A star far brighter than the detector holds, with a halo, spikes along the axes and
    charge bled up and down its column."""
    rows, cols = np.mgrid[: shape[0], : shape[1]]
    r2 = (rows - 250.0) ** 2 + (cols - 250.0) ** 2
    light = 3e6 * (1.0 + r2 / 6.0) ** -3.0 + 400.0 * (1.0 + r2 / 300.0) ** -1.5
    fade = 2000.0 * (1.0 + np.abs(np.arange(shape[1]) - 250.0) / 8.0) ** -2.0
    light[248:253, :] += fade
    light[:, 248:253] += fade[:, None]
    image = 500.0 + light + rng.normal(0.0, 15.0, shape)
    image[170:330, 249:252] = level
    return np.minimum(image, level)


def test_a_bright_star_below_saturation_leaves_no_streak():
    rows, cols = np.mgrid[:400, :400]
    r2 = (rows - 190.0) ** 2 + (cols - 210.0) ** 2
    image = np.random.default_rng(7).normal(0.0, 0.05, (400, 400))     # a calibrated frame
    image += 80.0 * (1.0 + r2 / 3.0) ** -2.5 + 0.6 * (1.0 + r2 / 200.0) ** -1.2
    image[189:192, 150:270] += 0.8 * (1.0 + np.abs(np.arange(150, 270) - 210.0) / 4.0) ** -1.5
    prep = prepare_image(image)
    assert prep.saturation is None and prep.excluded_by(Exclusion.SOURCE)[190, 250]
    assert len(find_streaks(image)) == 0


def test_the_faint_spikes_of_a_bright_star_beyond_its_mask_are_refused():
    # Below saturation, spikes fading slowly: each shows too little per pixel to be masked
    # beyond some 100 px, and its line through the star stands out far beyond that.
    n, c = 1000, 500
    rows, cols = np.mgrid[:n, :n]
    r2 = (rows - c) ** 2 + (cols - c) ** 2
    light = 3e5 * (1.0 + r2 / 6.0) ** -3.0 + 100.0 * (1.0 + r2 / 300.0) ** -1.5
    fade = 30.0 / (1.0 + np.abs(np.arange(n) - c) / 100.0)
    across = np.exp(-0.5 * (np.arange(-3, 4) / 1.2) ** 2)
    light[c - 3:c + 4, :] += across[:, None] * fade
    light[:, c - 3:c + 4] += across[None, :] * fade[:, None]
    image = 500.0 + light + np.random.default_rng(3).normal(0.0, 15.0, (n, n))
    prep = prepare_image(image)
    assert prep.saturation is None and prep.spiked.round().tolist() == [[c], [c]]
    catalog = find_streaks(image)
    assert len(catalog) == 0 and {r.reason for r in catalog.refused} == {"spike"}


def test_a_saturated_star_leaves_no_streak():
    image = saturated_star(np.random.default_rng(4))
    prep = prepare_image(image)
    assert prep.saturation == 30_000.0
    saturated = prep.excluded_by(Exclusion.SATURATED)
    assert saturated[250, 250] and saturated[100, 250] and saturated[250, 120]   # bleed, spike
    assert saturated.mean() < 0.3
    assert len(find_streaks(image)) == 0


@pytest.mark.parametrize("sigma, n", [(1.0, 40), (2.0, 40), (1.5, 2)])
def test_the_stars_width_is_measured_among_hot_pixels(sigma, n):
    rng = np.random.default_rng(5)
    rows, cols = np.mgrid[:600, :600]
    image = rng.normal(200.0, 3.0, (600, 600))
    for y, x in rng.uniform(20, 580, (n, 2)):
        image += rng.uniform(100, 3000) * np.exp(-((rows - y) ** 2 + (cols - x) ** 2)
                                                  / (2.0 * sigma**2))
    image[rng.integers(0, 600, 60), rng.integers(0, 600, 60)] += 2000.0    # hot pixels
    fwhm = prepare_image(image).psf_fwhm
    if n < 3:
        assert fwhm is None
    else:  # as the pixels sample it
        assert fwhm == pytest.approx(2.3548 * np.sqrt(sigma**2 + 1 / 12), rel=0.08)


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_the_stars_width_is_measured_among_many_more_cosmic_ray_hits(seed):
    # Six stars, forty hits: blobs of a few pixels, sharper than the stars and each of its
    # own width, many of which share a width by chance.
    rng = np.random.default_rng(seed)
    rows, cols = np.mgrid[:600, :600]
    image = rng.normal(200.0, 3.0, (600, 600))
    for y, x in rng.uniform(20, 580, (6, 2)):
        image += rng.uniform(300, 1000) * np.exp(-((rows - y) ** 2 + (cols - x) ** 2) / 8.0)
    for y, x in rng.uniform(20, 580, (40, 2)):
        sy, sx = rng.uniform(0.5, 0.9, 2)
        image += rng.uniform(300, 3000) * np.exp(-0.5 * (((rows - y) / sy) ** 2
                                                       + ((cols - x) / sx) ** 2))
    assert prepare_image(image).psf_fwhm == pytest.approx(2.3548 * np.sqrt(4 + 1 / 12),
                                                          rel=0.08)


def test_the_reasons_for_excluding_a_pixel_are_kept_apart():
    image, where = raw_frame(np.random.default_rng(8))
    image = image.astype(float)
    image[400, 300] = np.nan
    image[100:105, 500:505] += 5000.0                       # a star
    mask = np.zeros(image.shape, bool)
    mask[500:, 500:] = True
    prep = prepare_image(image, mask=mask)
    flags = {reason: prep.excluded_by(reason) for reason in Exclusion}
    assert flags[Exclusion.INVALID][400, 300] and flags[Exclusion.MASKED][550, 550]
    assert flags[Exclusion.SOURCE][102, 502] and np.array_equal(prep.sources,
                                                                 flags[Exclusion.SOURCE])
    assert np.array_equal(prep.excluded, np.any(list(flags.values()), axis=0))
    assert (prep.data[prep.excluded] == 0).all() and (prep.detect[prep.excluded] == 0).all()
    assert prepare_image(image, sigma=7.0).sigma == 7.0


def test_holes_left_as_zeros_in_a_raw_frame_are_not_sky():
    rng = np.random.default_rng(9)
    image = np.round(rng.normal(900.0, 8.0, (300, 300))).astype(np.uint16)
    rows, cols = np.mgrid[:300, :300]
    hole = (rows - 120) ** 2 + (cols - 80) ** 2 < 25                    # too small for a run
    image[hole] = 0
    prep = prepare_image(image)
    assert prep.excluded_by(Exclusion.DEFECT)[hole].all()
    assert prep.excluded.mean() < 0.01


def test_a_glow_along_a_border_is_followed():
    rows, cols = np.mgrid[:512, :512]
    image = np.random.default_rng(10).normal(500.0, 5.0, (512, 512))
    image += 40.0 * np.exp(-cols / 12.0) + 30.0 * np.exp(-(511 - rows) / 20.0)
    prep = prepare_image(image)
    assert np.abs(prep.data[:, :40].mean(axis=0)).max() < 1.0
    assert len(find_streaks(image)) == 0


def test_a_streak_through_a_corner_keeps_its_ends():
    image = np.random.default_rng(6).normal(100.0, 1.0, (256, 384))
    truth = TrueStreak(0.0, 255.0, 383.0, 0.0, 2.0)
    catalog = find_streaks(draw_streak(image, truth))
    assert len(catalog) == 1 and max(end_errors(catalog[0], truth)) < 5.0


def realdata(name, hdu):
    path = REALDATA / name
    if not path.is_file():
        pytest.skip(f"{path} is not here")
    fits = pytest.importorskip("astropy.io.fits")
    return np.asarray(fits.getdata(path, hdu), dtype=float)


def test_a_raw_corner_with_a_trail_is_prepared_and_its_trail_found():
    image = realdata("05_decam_raw_c4d_200306_000415.fits.fz", 33)
    prep = prepare_image(image)
    # Amplifier-edge columns 71-78 and the overscan beyond them are not sky.
    assert prep.excluded_by(Exclusion.DEFECT)[:, 72:].all()
    assert not prep.excluded[:, :60].any()
    found = find_streaks(image)
    assert any(max(end_errors(s, TrueStreak(0.0, 68.0, 67.0, 0.0, 1.0))) < 8.0 for s in found)


def test_a_very_bright_wide_trail_of_a_small_raw_frame_is_found():
    # 25 px wide at S/N in the thousands on a 400 x 400 frame: the lines beside it, scored
    # against it, fill the blocks of the coarse map around it with deep lows.
    image = realdata("04_hsc_A21787010.fits", 0)
    found = find_streaks(image)
    assert len(found) == 1
    assert max(end_errors(found[0], TrueStreak(72.0, 399.0, 216.0, 0.0, 1.0))) < 5.0


def test_bad_columns_of_a_raw_corner_are_masked():
    prep = prepare_image(realdata("05_decam_raw_c4d_200306_000415.fits.fz", 14))
    defect = prep.excluded_by(Exclusion.DEFECT)
    assert defect[:, 24].all() and defect[:, 51].all() and not defect[:, 30:45].any()


def defect_frame():
    """A raw 16-bit frame with detector defects, a saturated star and a streak."""
    image, _ = raw_frame(np.random.default_rng(11), shape=(600, 600))
    image = image + saturated_star(np.random.default_rng(12), shape=(600, 600)) - 500.0
    image = draw_streak(image, TrueStreak(20.0, 560.0, 580.0, 40.0, 60.0, 1.2))
    return np.round(np.clip(image, 0, 30_000)).astype(np.uint16)


@pytest.mark.parametrize("dtype, kept", [(np.uint16, np.float32), (np.float32, np.float32),
                                         (np.float64, np.float64)])
def test_a_frame_is_prepared_in_its_own_precision_to_the_same_result(dtype, kept):
    image = defect_frame()
    reference = prepare_image(image.astype(np.float64))
    prep = prepare_image(image.astype(dtype))
    assert prep.data.dtype == prep.detect.dtype == kept
    assert prep.saturation == reference.saturation == 30_000.0
    assert prep.sigma == pytest.approx(reference.sigma, rel=1e-5)
    # Rounding may move a pixel across a threshold, no more.
    assert np.mean(prep.flags != reference.flags) < 1e-4
    same = (prep.flags == 0) & (reference.flags == 0)
    assert np.abs(prep.data - reference.data)[same].max() < 1e-3 * prep.sigma


def test_a_float32_frame_is_prepared_in_little_more_than_its_planes():
    image = np.tile(defect_frame().astype(np.float32), (2, 2))
    tracemalloc.start()
    try:
        prep = prepare_image(image)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    # The data, the search image and the flags take 2.25 times the image; labelling the
    # sources of a crowded frame takes a plane of labels for a while. A full-size plane of
    # float64 would add two.
    assert prep.data.nbytes + prep.detect.nbytes + prep.flags.nbytes == 2.25 * image.nbytes
    assert peak < 3.0 * image.nbytes


@pytest.mark.parametrize("seed", [0, 1])
def test_the_stars_width_is_measured_among_many_galaxies(seed):
    # Sixty stars and 150 galaxies three to six times as wide, each of its own width and shape:
    # among so many, a few share a width and a shape by chance.
    rng = np.random.default_rng(seed)
    n = 1024
    image = rng.normal(200.0, 3.0, (n, n))
    for y, x in rng.uniform(20, n - 20, (60, 2)):
        _add_blob(image, y, x, rng.uniform(300, 3000), 1.0, 1.0, 0.0)
    for y, x in rng.uniform(20, n - 20, (150, 2)):
        s = rng.uniform(3.0, 6.0)
        _add_blob(image, y, x, rng.uniform(100, 1000), s, s * rng.uniform(0.75, 1.0),
                  rng.uniform(0, np.pi))
    assert prepare_image(image).psf_fwhm == pytest.approx(2.3548 * np.sqrt(1 + 1 / 12),
                                                          rel=0.08)


def _add_blob(image, y, x, peak, major, minor, angle):
    """An elliptical Gaussian (sigmas `major`, `minor`) on `image`, in a 61-px window."""
    rows, cols = np.mgrid[-30:31, -30:31] + np.array([int(y), int(x)])[:, None, None]
    inside = (rows >= 0) & (rows < image.shape[0]) & (cols >= 0) & (cols < image.shape[1])
    dy, dx = rows - y, cols - x
    u, v = dx * np.cos(angle) + dy * np.sin(angle), -dx * np.sin(angle) + dy * np.cos(angle)
    image[rows[inside], cols[inside]] += (peak * np.exp(-0.5 * ((u / major) ** 2
                                                                + (v / minor) ** 2)))[inside]


@pytest.mark.parametrize("stars, rings", [(1, 1), (3, 5), (40, 33)])
def test_halo_ring_statistics_match_plain_medians(stars, rings):
    """The halo's ring medians (grouped by a radix sort) and the medians of the rings 1.5 to 2
    times as far out (all rings at once) against the plain loops they stand for."""
    from kestrova.saturation import _outer_medians, _ring_medians

    rng = np.random.default_rng(rings)
    key = rng.integers(0, stars * rings, 50 * stars)
    values = rng.normal(size=key.size).round(1)            # ties, as quantised data have
    total = np.bincount(key, minlength=stars * rings).reshape(stars, rings)
    plain = np.full(stars * rings, np.nan)
    for k in np.unique(key):
        ring = np.sort(values[key == k])
        plain[k] = ring[(ring.size - 1) // 2]
    medians = _ring_medians(values, key, total)
    np.testing.assert_array_equal(medians.ravel(), plain)
    medians[rng.random(medians.shape) < 0.3] = np.nan
    expected = np.full(medians.shape, np.nan)
    for k in range(1, rings):
        window = medians[:, -(-3 * k // 2):min(2 * k, rings - 1) + 1]
        for i, row in enumerate(window):
            if np.isfinite(row).any():
                expected[i, k] = np.nanmedian(row)
    np.testing.assert_array_equal(_outer_medians(medians), expected)
