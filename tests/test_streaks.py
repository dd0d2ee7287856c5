"""find_streaks and streak_mask end to end on synthetic images with known truth, and each stage
of the search (lines, prepare, detect, refine, measure) where it can go wrong on its own."""

import numpy as np
import pytest

from kestrova import find_streaks, refine, streak_mask
from kestrova.detect import (Detector, _window_sums, coarse_map, find_peaks, reduce_image,
                             rescore_near)
from kestrova.hough import HoughTransform
from kestrova.lines import (across, along, band_pixels, chord, line_through, point, same_line,
                            segment_region, to_frame, to_full_r)
from kestrova.measure import Measurer, MeasuringTransform, best_segment
from kestrova.prepare import compact_sources, prepare_image
from kestrova.refine import Line, NarrowScorer, refine_line, refine_near
from kestrova.synthetic import TrueStreak, draw_streak, end_errors, synthetic_sky

SHAPE = (256, 384)


def matching(catalog, t: TrueStreak, tolerance=6.0):
    found = [s for s in catalog if max(end_errors(s, t)) < tolerance]
    assert len(found) == 1, f"{t} not found once in {list(catalog)}"
    return found[0]


@pytest.mark.parametrize("truth", [
    TrueStreak(20.0, 30.0, 360.0, 220.0, 3.0),       # long, shallow
    TrueStreak(150.0, 240.0, 190.0, 20.0, 3.0),      # steep
    TrueStreak(100.0, 128.3, 300.0, 128.3, 3.0),     # horizontal, theta near 0 / pi
    TrueStreak(200.5, 200.0, 200.5, 60.0, 4.0),      # vertical
    TrueStreak(0.0, 255.0, 383.0, 0.0, 2.0),         # corner to corner
])
def test_one_streak_is_found_and_measured(truth):
    image, _ = synthetic_sky(SHAPE, [truth], seed=3)
    catalog = find_streaks(image)
    assert len(catalog) == 1
    s = matching(catalog, truth, tolerance=5.0)
    r, theta = truth.line(SHAPE)
    assert abs(np.sin(s.theta - theta)) < 0.01
    assert abs(s.r * np.cos(s.theta - theta) - r) < 1.0 or abs(s.r + r) < 1.0 < abs(s.r - r)
    assert 0.0 <= s.theta < np.pi
    assert s.length == pytest.approx(truth.length, abs=5.0)
    assert s.flux_per_length == pytest.approx(truth.flux_per_length,
                                              abs=4 * s.flux_per_length_err)
    assert s.snr > 6 and s.score > 6


@pytest.mark.parametrize("truth, n_stars, seed", [
    ([TrueStreak(20.0, 40.0, 370.0, 210.0, 3.0), TrueStreak(90.0, 240.0, 300.0, 10.0, 2.0)],
     None, 5),                                                         # crossing
    ([TrueStreak(30.0, 60.0, 350.0, 120.0, 3.0), TrueStreak(30.0, 72.0, 350.0, 132.0, 2.5)],
     0, 2),                                                            # parallel, 12 px apart
    ([TrueStreak(30.0, 60.0, 350.0, 120.0, 3.0), TrueStreak(30.0, 90.0, 350.0, 150.0, 2.5)],
     0, 2),                                                            # parallel, 30 px apart
    ([TrueStreak(20.0, 50.0, 150.0, 90.0, 3.0), TrueStreak(250.0, 120.77, 370.0, 157.69, 3.0)],
     0, 4),                                                            # collinear, with a gap
], ids=["crossing", "parallel-12", "parallel-30", "collinear"])
def test_two_streaks_are_found_as_two(truth, n_stars, seed):
    image, _ = synthetic_sky(SHAPE, truth, n_stars=n_stars, seed=seed)
    catalog = find_streaks(image)
    assert len(catalog) == 2
    for t in truth:
        matching(catalog, t)
    assert catalog[0].score >= catalog[1].score


def stars_in_a_row(seed):
    """Bright stars along a line, hot pixels and a cosmic-ray hit: no streak among them."""
    rng = np.random.default_rng(seed)
    image = rng.normal(50.0, 2.0, SHAPE)
    rows, cols = np.mgrid[: SHAPE[0], : SHAPE[1]]
    for k in range(6):
        x, y = 40.0 + 60.0 * k, 30.0 + 35.0 * k
        image += 4000.0 * np.exp(-0.5 * ((cols - x) ** 2 + (rows - y) ** 2) / 1.5**2)
    image[rng.integers(0, SHAPE[0], 40), rng.integers(0, SHAPE[1], 40)] += 500.0
    image[100:103, 200:202] += 3000.0
    return image


def test_noise_and_stars_seldom_give_a_streak():
    # Two faint stars side by side, below the source threshold, can pass for a short streak
    # now and then: count over many skies rather than trust a few.
    found = sum(len(find_streaks(synthetic_sky(SHAPE, [], seed=seed, n_stars=40)[0]))
                for seed in range(30))
    assert found <= 1


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_stars_in_a_row_give_no_streak(seed):
    assert len(find_streaks(stars_in_a_row(seed))) == 0


def test_a_streak_through_bright_stars_is_measured_across_them():
    truth = TrueStreak(20.0, 40.0, 360.0, 200.0, 3.0)
    image, _ = synthetic_sky(SHAPE, [truth], n_stars=0, seed=8)
    rows, cols = np.mgrid[: SHAPE[0], : SHAPE[1]]
    for f in (0.3, 0.6):  # two bright stars sitting on the streak
        x, y = truth.x0 + f * (truth.x1 - truth.x0), truth.y0 + f * (truth.y1 - truth.y0)
        image += 2000.0 * np.exp(-0.5 * ((cols - x) ** 2 + (rows - y) ** 2) / 1.5**2)
    catalog = find_streaks(image)
    assert len(catalog) == 1
    s = matching(catalog, truth)
    assert s.flux_per_length == pytest.approx(3.0, rel=0.15)


def test_a_star_on_a_faint_streaks_line_is_not_measured_as_the_streak():
    # A star too faint to be masked, on the line of a trail near the threshold: the best box
    # of the band's samples is the trail, not the few pixels of the star.
    truth = TrueStreak(20.0, 40.0, 360.0, 200.0, 0.8)
    data = draw_streak(np.random.default_rng(1).normal(0.0, 1.0, SHAPE), truth)
    rows, cols = np.mgrid[: SHAPE[0], : SHAPE[1]]
    data += 8.0 * np.exp(-0.5 * ((cols - 250.0) ** 2 + (rows - 148.2) ** 2) / 1.2**2)
    r, theta = truth.line(SHAPE)
    measurer = Measurer(data, 1.0, width=2.0, min_length=20.0)
    measured = measurer.measure(Line(r, theta, 8.0), ramp=False)   # as the search does
    assert measured is not None and measured[0].length > 0.5 * truth.length


def test_nan_holes_and_a_user_mask_are_ignored():
    truth = TrueStreak(20.0, 40.0, 360.0, 200.0, 3.0)
    decoy = TrueStreak(30.0, 245.0, 350.0, 228.0, 5.0)
    image, _ = synthetic_sky(SHAPE, [truth, decoy], seed=6)
    image[100:140, 150:190] = np.nan                     # a hole across the streak
    image[:, 5] = np.inf
    image[200, 300] = -np.inf
    mask = np.zeros(SHAPE, bool)
    mask[215:, :] = True                                 # hides the decoy
    catalog = find_streaks(image, mask=mask)
    assert len(catalog) == 1
    s = matching(catalog, truth)
    assert np.isfinite([s.snr, s.flux_per_length, s.level, s.goodness]).all()
    assert np.isfinite(catalog.to_table(astropy=False)["snr"]).all()


@pytest.mark.parametrize("side", ["start", "end", "halo"])
def test_a_streak_running_under_a_mask_at_the_border_ends_at_the_border(side):
    truth = TrueStreak(0.0, 60.0, 383.0, 200.0, 3.0)
    image, _ = synthetic_sky(SHAPE, [truth], seed=7)
    mask = np.zeros(SHAPE, bool)
    if side == "start":
        mask[:, :14] = True                              # a masked strip along the left edge
    elif side == "end":
        mask[160:, 365:] = True                          # a masked star in the corner
    else:                                                # a star's halo over the last 110 px
        rows, cols = np.mgrid[: SHAPE[0], : SHAPE[1]]
        mask = np.hypot(cols - 383.0, rows - 200.0) < 110.0
    s = matching(find_streaks(image, mask=mask), truth, tolerance=3.0)
    assert min(s.x_start, s.x_end) < 1.0 and max(s.x_start, s.x_end) > 382.0



@pytest.mark.parametrize("beyond", ["faint rim", "the trail again"])
def test_a_trail_ending_under_a_wide_mask_ends_where_it_is_last_seen(beyond):
    # The trail ends under a halo's mask 200 px wide; past it, its line crosses either a few
    # faint pixels of the halo's rim, or, when it runs on, a short stretch of the trail itself.
    truth = TrueStreak(20.0, 60.0, 200.0 if beyond == "faint rim" else 340.0, 60.0, 6.0)
    image, _ = synthetic_sky(SHAPE, [truth], n_stars=0, seed=9)
    mask = np.zeros(SHAPE, bool)
    mask[:, 150:330] = True
    if beyond == "faint rim":
        image[58:63, 330:334] += 0.8 * np.std(image[:40])
    s = matching(find_streaks(image, mask=mask),
                 TrueStreak(20.0, 60.0, 150.0 if beyond == "faint rim" else 340.0, 60.0, 6.0),
                 tolerance=4.0)
    assert s.flux_per_length > 0
@pytest.mark.parametrize("seed", range(6))
def test_a_faint_trail_ends_at_the_edge_and_one_ending_near_it_does_not(seed):
    # S/N about 0.3 per pixel of the band: the most likely step of a trail that runs on often
    # lies some pixels short of the edge. The other trail ends 40 px from the edge.
    image, _ = synthetic_sky(SHAPE, [], n_stars=0, seed=seed)
    edge = TrueStreak(0.0, 60.0, 383.0, 200.0, 1.6)
    inside = TrueStreak(60.0, 190.0, 343.0, 230.0, 2.5)
    for truth in (edge, inside):
        draw_streak(image, truth)
    catalog = find_streaks(image)
    s = matching(catalog, edge, tolerance=12.0)
    assert min(s.x_start, s.x_end) < 1.0 and max(s.x_start, s.x_end) > 382.0
    assert max(matching(catalog, inside, tolerance=12.0).x_end, 0.0) < 353.0


def test_limits_and_given_sigma():
    truth = [TrueStreak(20.0, 40.0, 370.0, 210.0, 3.0), TrueStreak(90.0, 240.0, 300.0, 10.0, 2.0)]
    image, _ = synthetic_sky(SHAPE, truth, seed=5, sigma=2.0)
    assert len(find_streaks(image, max_streaks=1)) == 1
    assert len(find_streaks(image, max_streaks=0)) == 0
    assert len(find_streaks(image, min_snr=1000.0)) == 0
    # A sigma four times too large hides the fainter streak.
    assert len(find_streaks(image, sigma=8.0)) < len(find_streaks(image, sigma=2.0)) == 2


@pytest.mark.parametrize("image, message", [
    (np.zeros((3, 4, 5)), "2-D"),
    (np.full((20, 20), np.nan), "no valid pixel"),
    (np.ones((20, 20)), "sigma"),
])
def test_unusable_images_raise(image, message):
    with pytest.raises(ValueError, match=message):
        find_streaks(image)


def test_table_and_mask():
    truth = TrueStreak(20.0, 40.0, 360.0, 200.0, 3.0)
    image, _ = synthetic_sky(SHAPE, [truth], seed=9)
    catalog = find_streaks(image)
    table = catalog.to_table(astropy=False)
    assert table.dtype.names[:3] == ("id", "r", "theta")
    assert table["id"].tolist() == [1]
    assert table["x_start"][0] == catalog[0].x_start
    pytest.importorskip("astropy")
    assert catalog.to_table()["length"][0] == pytest.approx(catalog[0].length)

    mask = streak_mask(SHAPE, catalog, grow=3.0)
    clean = np.zeros(SHAPE)
    on_streak = draw_streak(clean, truth) > 0.02 * truth.flux_per_length
    assert mask[on_streak].mean() > 0.99               # the streak is covered ...
    assert mask.mean() < 0.05                          # ... by a narrow band
    assert np.array_equal(catalog.mask(3.0), mask)
    assert not streak_mask(SHAPE, []).any()


@pytest.mark.parametrize("start, stop, noise", [(30, 60, 0.0), (0, 45, 0.0), (70, 100, 0.0),
                                                (200, 700, 0.5)])
def test_best_segment_finds_the_box(start, stop, noise):
    n = 1000 if noise else 100
    position = np.arange(float(n))
    values = np.where((position >= start) & (position < stop), 1.0, 0.0)
    values += np.random.default_rng(0).normal(0.0, noise, n)
    a, b, total, count = best_segment(position, np.cumsum(values), [(0.0, n - 1.0)])
    tolerance = 3.0 if noise else 0.5
    assert a == pytest.approx(max(start - 0.5, 0.0), abs=tolerance)
    assert b == pytest.approx(min(stop - 0.5, n - 1.0), abs=tolerance)
    assert count == pytest.approx(stop - start, abs=2 * tolerance)


def test_preparation_removes_gradient_and_estimates_noise():
    rng = np.random.default_rng(1)
    rows, cols = np.mgrid[:300, :400]
    image = 1000.0 + 0.05 * cols + 0.02 * rows + rng.normal(0.0, 3.0, (300, 400))
    image[150, 200] = 1e5                                # a hot pixel
    prep = prepare_image(image, clip=3.0)
    assert prep.sigma == pytest.approx(3.0, rel=0.05)
    assert abs(np.median(prep.data)) < 0.1
    assert abs(prep.data[:, :50].mean() - prep.data[:, -50:].mean()) < 0.3
    assert prep.excluded[150, 200] and prep.data[150, 200] == 0.0
    assert np.abs(prep.detect).max() <= 3.0 * prep.sigma + 1e-9


@pytest.mark.parametrize("across, kept", [
    ([5.0, 20.0, 5.0], True),                            # a streak, blurred by the optics
    ([0.0, 20.0, 0.0], False),                           # a cosmic-ray track, one pixel wide
])
def test_compact_sources_keep_streaks_but_not_tracks_sharper_than_the_optics(across, kept):
    image = np.random.default_rng(0).normal(0.0, 1.0, (100, 100))
    image[49:52, 10:90] += np.array(across)[:, None]
    image[20:23, 20:23] += 50.0                          # star
    mask = compact_sources(image, 1.0)
    assert mask[21, 21] and mask[50, 50] != kept


@pytest.mark.parametrize("shape, f", [((37, 50), 4), ((64, 64), 2), ((33, 100), 3)])
def test_reduced_lines_map_onto_the_full_frame(shape, f):
    image = np.zeros(shape)
    small, offset = reduce_image(image, f)
    theta = 0.7
    ny, nx = small.shape
    # A reduced pixel centre on the reduced line (r_red, theta) lies on the full line r_full.
    j, i = 3, 2
    x_red, y_red = j - (nx - 1) / 2, i - (ny - 1) / 2
    r_red = np.sin(theta) * x_red - np.cos(theta) * y_red
    col, row = j * f + (f - 1) / 2, i * f + (f - 1) / 2
    x, y = col - (shape[1] - 1) / 2, row - (shape[0] - 1) / 2
    assert np.sin(theta) * x - np.cos(theta) * y == pytest.approx(to_full_r(r_red, theta, f,
                                                                            offset))


@pytest.mark.parametrize("n, gap, reach", [(50, 3, 12), (12, 3, 11), (5, 2, 10), (1, 0, 0),
                                          (10, 0, 9)])
def test_window_sums_add_the_cells_between_gap_and_reach_on_either_side(n, gap, reach):
    values = np.random.default_rng(n).normal(size=(n, 3))
    expected = np.array([values[[j for j in range(n) if gap < abs(j - k) <= reach]].sum(axis=0)
                         for k in range(n)])
    assert np.allclose(_window_sums(values, gap, reach), expected, atol=1e-12)


def test_reduced_image_is_the_zero_padded_block_mean():
    image = np.random.default_rng(3).normal(size=(37, 50))
    small, _ = reduce_image(image, 4)
    padded = np.zeros((40, 52))
    padded[:37, :50] = image
    assert np.allclose(small, padded.reshape(10, 4, 13, 4).mean(axis=(1, 3)))


LINES = [(0.0, 0.0), (-40.3, 0.7), (55.5, np.pi / 2), (12.0, 2.9), (-3.2, 1e-4),
         (70.0, 1.5707), (130.0, 0.4), (-999.0, 1.0)]  # the last misses the image


@pytest.mark.parametrize("r, theta", LINES)
@pytest.mark.parametrize("w", [2.0, 0.6])
def test_band_pixels_are_the_mask_of_the_transform(r, theta, w):
    image = np.random.default_rng(0).normal(size=(90, 140))
    ht = HoughTransform(image, 1.0)
    band = ht.mask(r, theta, w)
    rows, cols, dl, dm = band_pixels(image.shape, r, theta, w)
    assert np.array_equal(np.nonzero(band), (rows, cols))
    assert np.array_equal(dl, ht.dl(r, theta)[band])
    assert np.array_equal(dm, ht.dm(r, theta)[band])
    # The measuring transform samples the same band as the whole-image evaluation.
    assert np.array_equal(MeasuringTransform(image, 1.0).elements_along(r, theta, w),
                          ht.elements_along(r, theta, w))


@pytest.mark.parametrize("r, theta", LINES[:5])  # the others miss the image
def test_line_geometry_agrees_with_the_transform(r, theta):
    shape = (90, 140)
    ht = HoughTransform(np.zeros(shape), 1.0)  # single precision: agreement to 1e-5
    x, y = to_frame(shape, *np.meshgrid(np.arange(140.0), np.arange(90.0)))
    assert np.allclose(across(r, theta, x, y), -ht.dl(r, theta), atol=2e-5)
    assert np.allclose(along(theta, x, y), ht.dm(r, theta), atol=2e-5)
    assert np.allclose(point(r, theta, 7.5), ht.locate(r, theta, 7.5), atol=2e-5)
    assert np.allclose(chord(r, theta, shape), ht.dmlim(r, theta), atol=2e-5)


@pytest.mark.parametrize("elements", [refine.SCORE_ELEMENTS, 700])   # one go, several
@pytest.mark.parametrize("r, theta", LINES[:6])
def test_narrow_scores_equal_the_whole_image_scores(monkeypatch, r, theta, elements):
    monkeypatch.setattr(refine, "SCORE_ELEMENTS", elements)
    image = np.random.default_rng(1).normal(size=(90, 140))
    ht, narrow = HoughTransform(image, 1.0), NarrowScorer(image, r, theta, 12.0)
    for nr, dr, width in ((33, 0.25, 8.0), (7, 0.125, 16.0), (20, 0.3, 2.5)):
        grid = (r - 2.0, r - 2.0 + (nr - 1) * dr, nr, theta - 0.01, theta + 0.01, 5, width)
        assert np.allclose(narrow.score_map(*grid), ht.score_map(*grid), rtol=0, atol=1e-9)
    whole = refine_line(ht, 1.0, r, theta, half_r=3.0, half_t=0.02)
    near = refine_near(image, 1.0, r, theta, half_r=3.0, half_t=0.02)
    assert [near.r, near.theta, near.score] == pytest.approx([whole.r, whole.theta, whole.score],
                                                             rel=0, abs=1e-9)


def test_peaks_are_the_local_maxima_above_the_threshold():
    snr = np.random.default_rng(2).normal(size=(60, 80)).round(1)  # with ties
    smap = coarse_map(np.zeros((20, 30)), 1, (0.0, 0.0))
    smap = type(smap)(snr, np.arange(60.0), np.linspace(0.0, 3.0, 80), 1, (0.0, 0.0), 1.0)
    found = {(p[3], p[4]) for p in find_peaks(smap, 2.0, limit=1000)}
    padded = np.pad(snr, 3, mode="edge")
    expected = {(k, l) for k, l in zip(*np.nonzero(snr > 2.0))
                if snr[k, l] == padded[k:k + 7, l:l + 7].max()}
    assert found <= expected  # lines repeated across the wrap-around are kept once
    assert len(found) >= 0.8 * len(expected)


def test_rescoring_near_an_angle_matches_a_new_map():
    rng = np.random.default_rng(4)
    small = rng.normal(size=(50, 70))
    smap = coarse_map(small, 1, (0.0, 0.0))
    snr = smap.snr.copy()
    small[20:24, :] = 0.0                                # a horizontal streak blanked
    rescore_near(snr, smap, small, 0.05, 0.2)
    # In the first map's units: its noise and the spread of the lines around each cell.
    fresh = _raw_score(coarse_map(small, 1, (0.0, 0.0))) / _spread(smap)
    near = (np.abs(smap.theta - 0.05) <= 0.2) | (np.abs(smap.theta - 0.05 - np.pi) <= 0.2)
    assert near.any() and not near.all()
    assert np.allclose(snr[:, near], fresh[:, near])
    assert np.array_equal(snr[:, ~near], smap.snr[:, ~near])


def test_structure_in_part_of_the_sky_raises_no_lines_there():
    # Half of the sky holds blobs some 15 px across that a background mesh cannot follow: the
    # lines through that half vary more than those through the quiet half, and must be scored
    # against their own kind (one spread for the whole map let 5 of these 36 skies through).
    from scipy import ndimage

    false = 0
    for seed in range(12):
        for structure in (0.3, 0.5, 0.8):
            rng = np.random.default_rng(seed)
            image = rng.normal(size=(256, 384))
            blobs = ndimage.gaussian_filter(rng.normal(size=(128, 384)), 6.0)
            image[:128] += structure * blobs / blobs.std()
            false += len(find_streaks(image))
    assert false <= 1


def _raw_score(smap):
    """The map's cells in image units (its contrast, before any spread divided it)."""
    return smap.snr * _spread(smap)


def _spread(smap):
    """What divided the raw scores of a map: its noise, and the local spread where there is one."""
    if smap.spread is None:
        return smap.noise
    return smap.noise * smap.spread.columns(0, smap.snr.shape[1])


def test_a_line_on_a_structured_sky_stands_out_of_the_coarse_map():
    # What a background mesh leaves of sky structure (0.4 sigma on a few hundred pixels):
    # lines along its crests sum as much as the faint line does, but not against the lines
    # parallel to them.
    rows, cols = np.mgrid[:200, :260]
    r, theta = line_through(rows.shape, 0.0, 120.0, 259.0, 120.0)
    found, noise = 0, []
    for seed in range(5):
        image = np.random.default_rng(seed).normal(size=rows.shape)
        image += 0.4 * np.sin(cols / 40.0 + rows / 90.0)
        image[120, :] += 0.5
        smap = coarse_map(image, 1, (0.0, 0.0))
        peak = find_peaks(smap, 0.0, limit=1)[0]
        found += same_line(peak.r, peak.theta, r, theta, 1.0, 0.01)
        noise.append(smap.noise)
    assert found >= 4 and max(noise) < 1.4          # white noise's is 1


def test_blanking_keeps_the_reduced_image_that_of_the_search_image():
    image = np.random.default_rng(5).normal(size=(101, 130))
    detector = Detector(image.copy(), 1.0, binning=3, width=2.0, min_snr=6.0)
    region = np.random.default_rng(6).random((40, 50)) < 0.5
    detector.blank(region, (slice(61, 101), slice(7, 57)))
    small, _ = reduce_image(detector.detect, 3)
    assert np.allclose(detector.small, np.clip(small, -2.5 / 3, 2.5 / 3), rtol=0, atol=1e-12)
    assert detector.detect[61:101, 7:57][region].sum() == 0.0


@pytest.mark.parametrize("ends", [((5.0, 8.0), (590.0, 690.0)), ((580.0, 20.0), (30.0, 650.0)),
                                  ((0.0, 100.0), (599.0, 640.0))])
def test_a_long_streaks_region_is_every_pixel_near_its_stretch(ends):
    # The box of a long diagonal is the image: it is gone through a band of rows at a time.
    shape = (700, 600)
    (c0, r0), (c1, r1) = ends
    r, theta = line_through(shape, c0, r0, c1, r1)
    region, (rows, cols) = segment_region(shape, r, theta, ends[0], ends[1], 2.5, 4.0)
    x, y = to_frame(shape, *np.meshgrid(np.arange(600.0), np.arange(700.0)))
    m0, m1 = sorted(along(theta, *to_frame(shape, col, row)) for col, row in ends)
    expected = ((np.abs(across(r, theta, x, y)) < 2.5) & (along(theta, x, y) >= m0 - 4.0)
                & (along(theta, x, y) <= m1 + 4.0))
    full = np.zeros(shape, bool)
    full[rows, cols] = region
    assert region.size > 2**16 and np.array_equal(full, expected)
