"""Catalogs that can be trusted: one record per trail with true ends, and no record on what is
not a trail."""

import numpy as np
import pytest

from kestrova import find_streaks
from kestrova.measure import Measurer, best_segment, extend_segment
from kestrova.lines import across, along, line_through, to_frame
from kestrova.refine import Line
from kestrova.ridge import flux_per_length
from kestrova.synthetic import TrueStreak, draw_streak, synthetic_sky
from kestrova.verify import verify

SHAPE = (300, 400)


def _on_trail(streak, truth, tolerance=3.0):
    """Whether both ends of a record lie within `tolerance` of the truth's line."""
    a, b = np.array([truth.x0, truth.y0]), np.array([truth.x1, truth.y1])
    u = (b - a) / np.hypot(*(b - a))
    normal = np.array([-u[1], u[0]])
    return all(abs(np.dot(np.array(p) - a, normal)) < tolerance
               for p in (streak.start, streak.end))


def _end_error(streak, truth):
    ends = [np.array(streak.start), np.array(streak.end)]
    true = [np.array([truth.x0, truth.y0]), np.array([truth.x1, truth.y1])]
    return max(min(np.hypot(*(e - t)) for e in ends) for t in true)


def _modulated(image, truth, profile):
    """Draw `truth` in 40 pieces whose brightness follows `profile(f)`, f from 0 to 1."""
    for f0, f1 in zip(np.linspace(0, 1, 41)[:-1], np.linspace(0, 1, 41)[1:]):
        piece = TrueStreak(truth.x0 + f0 * (truth.x1 - truth.x0),
                           truth.y0 + f0 * (truth.y1 - truth.y0),
                           truth.x0 + f1 * (truth.x1 - truth.x0),
                           truth.y0 + f1 * (truth.y1 - truth.y0),
                           truth.flux_per_length * profile(0.5 * (f0 + f1)), truth.psf_sigma)
        draw_streak(image, piece)
    return image


@pytest.mark.parametrize("case", ["wide", "dip", "glint", "long glint", "stars on it"])
def test_a_trail_is_one_record_with_its_true_ends(case):
    truth = TrueStreak(40.0, 60.0, 350.0, 230.0, 6.0, 5.0 if case == "wide" else 1.2)
    image, _ = synthetic_sky(SHAPE, [], n_stars=0, seed=11)
    profile = {
        "wide": lambda f: 40.0,                                     # FWHM 12 px, very bright
        "dip": lambda f: 0.35 if 0.45 < f < 0.6 else 1.0,           # a tumbling satellite
        "glint": lambda f: 6.0 if 0.3 < f < 0.33 else 1.0,
        "long glint": lambda f: 6.0 if f < 0.2 else 1.0,            # the best box is the glint
        "stars on it": lambda f: 1.0,
    }[case]
    _modulated(image, truth, profile)
    if case == "stars on it":
        rows, cols = np.mgrid[:SHAPE[0], :SHAPE[1]]
        for f in (0.25, 0.5, 0.7):
            x, y = truth.x0 + f * (truth.x1 - truth.x0), truth.y0 + f * (truth.y1 - truth.y0)
            image += 3000.0 * np.exp(-0.5 * ((cols - x - 2) ** 2 + (rows - y) ** 2) / 1.5**2)
    catalog = find_streaks(image)
    assert len(catalog) == 1
    assert _on_trail(catalog[0], truth)
    assert _end_error(catalog[0], truth) < 3.0


@pytest.mark.parametrize("width", [1.0, 2.0, 4.0])
def test_flux_per_length_is_the_whole_trail_whatever_the_band(width):
    truth = TrueStreak(30.0, 250.0, 370.0, 40.0, 4.0, 1.5)
    image, _ = synthetic_sky(SHAPE, [truth], n_stars=0, seed=4)
    (s,) = find_streaks(image, width=width)
    assert s.flux_per_length == pytest.approx(4.0, abs=3 * s.flux_per_length_err)
    assert s.fwhm == pytest.approx(2.355 * 1.5, abs=0.7)


@pytest.mark.parametrize("index, scatter", [(2.0, 1.4), (np.inf, 0.8)])
def test_flux_per_length_is_fitted_with_its_wings(index, scatter):
    # A Moffat trail of index 2 holds some 4 % of its signal beyond the aperture. Over noise
    # realisations the fitted profile's integral must be right on average, its error must
    # match its scatter, and on a Gaussian trail it must scatter less than the aperture's sum.
    rows = np.arange(120.0)[:, None]
    fwhm, flux = 3.0, 6.0
    if np.isinf(index):
        s = fwhm / 2.3548
        profile = np.exp(-0.5 * ((rows - 60) / s) ** 2) / (np.sqrt(2 * np.pi) * s)
    else:
        alpha = 0.5 * fwhm / np.sqrt(2 ** (1 / index) - 1)
        profile = (1 + ((rows - 60) / alpha) ** 2) ** -index / (alpha * np.pi / 2)
    rng = np.random.default_rng(3)
    found = []
    for _ in range(30):
        data = rng.normal(0.0, 1.0, (120, 300)) + flux * profile
        found.append(flux_per_length(data, data < -99, 1.0, -0.5, 0.0, -140.0, 140.0, fwhm))
    f, err = np.array(found).T
    aperture_noise = np.sqrt(2 * 2.5 * fwhm / 280)          # its pixels' sum, per unit length
    assert f.mean() == pytest.approx(flux, abs=2.5 * f.std() / np.sqrt(f.size))
    assert f.std() < scatter * aperture_noise
    assert 0.8 * f.std() < np.median(err) < 1.6 * f.std()


def test_hot_pixels_beside_a_trail_leave_its_flux():
    # Unmasked hot pixels in the bands whose level is the sky beside the trail.
    rng = np.random.default_rng(8)
    rows = np.arange(120.0)[:, None]
    data = rng.normal(0.0, 1.0, (120, 400)) + 3.0 * np.exp(-0.5 * ((rows - 60) / 1.3) ** 2)
    data[rng.choice([48, 49, 71, 72], 30), rng.integers(60, 340, 30)] += 30.0
    f, err = flux_per_length(data, data < -99, 1.0, -0.5, 0.0, -150.0, 150.0, 2.355 * 1.3)
    assert f == pytest.approx(3.0 * 1.3 * np.sqrt(2 * np.pi), abs=3 * err)


def test_faint_stars_on_and_beside_a_faint_trail_leave_its_flux():
    # Unmasked faint stars everywhere: the sky bands leave them out, and so must the aperture
    # (the flux read 3 to 14 times its error high when it kept them).
    rows = np.arange(120.0)[:, None]
    pulls = []
    for seed in range(10):
        rng = np.random.default_rng(seed)
        data = rng.normal(0.0, 1.0, (120, 1200)) + 0.5 * np.exp(-0.5 * ((rows - 60) / 1.3) ** 2)
        data[rng.random(data.shape) < 0.02] += 6.0
        f, err = flux_per_length(data, data < -99, 1.0, -0.5, 0.0, -580.0, 580.0, 2.355 * 1.3)
        pulls.append((f - 0.5 * 1.3 * np.sqrt(2 * np.pi)) / err)
    assert abs(np.mean(pulls)) < 1.5


def _galaxy(image, x, y, a, b, angle, peak):
    rows, cols = np.mgrid[:image.shape[0], :image.shape[1]]
    c, s = np.cos(angle), np.sin(angle)
    u, v = c * (cols - x) + s * (rows - y), -s * (cols - x) + c * (rows - y)
    image += peak * np.exp(-np.hypot(u / a, v / b))      # an exponential disk seen edge-on


@pytest.mark.parametrize("scene, why", [("edge-on galaxies", "tapered"), ("halo", None),
                                        ("background ridge", None), ("cosmic-ray tracks", None),
                                        ("spike", "spike")])
def test_what_is_not_a_trail_gives_no_record(scene, why):
    image, _ = synthetic_sky(SHAPE, [], n_stars=60, seed=7)
    rows, cols = np.mgrid[:SHAPE[0], :SHAPE[1]]
    if scene == "edge-on galaxies":
        for x, y, angle in ((120, 100, 0.4), (280, 210, 2.0)):
            _galaxy(image, x, y, 30.0, 3.0, angle, 8.0)
    elif scene == "halo":                                   # a bright star's wide wings
        image += 400.0 / (1.0 + ((cols - 200) ** 2 + (rows - 150) ** 2) / 9.0) ** 1.2
    elif scene == "background ridge":                       # a broad band of background
        image += 1.0 * np.exp(-0.5 * ((cols - 0.5 * rows - 150) / 12.0) ** 2)
    elif scene == "cosmic-ray tracks":                      # sharper than the optics
        for x0, y0, x1, y1 in ((50, 40, 110, 75), (200, 250, 290, 230), (300, 60, 340, 140)):
            draw_streak(image, TrueStreak(x0, y0, x1, y1, 80.0, 0.4))
    else:                                                   # a spike beyond a saturated core
        image[148:153, 20:380] += 8.0 * np.exp(-np.abs(np.arange(20, 380) - 200) / 120.0)
        image[140:161, 190:211] = 65535.0
    catalog = find_streaks(image)
    assert len(catalog) == 0
    if why:  # the catalog says why it left the feature out
        assert why in {refusal.reason for refusal in catalog.refused}


def test_pieces_beyond_a_dip_are_joined_but_an_empty_gap_is_not():
    position = np.arange(400.0)
    values = np.where((position > 20) & (position < 380), 1.0, 0.0)
    values[200:215] = 0.0                                     # a short gap: one trail
    segment = best_segment(position, np.cumsum(values), [(20.0, 199.0)])
    assert extend_segment(position, values, segment, 0.5)[:2] == (20.5, 379.5)
    values[150:300] = 0.0                                     # a long one: two trails
    segment = best_segment(position, np.cumsum(values[:150]), [(20.0, 149.0)])
    assert extend_segment(position, values, segment, 0.5)[:2] == (20.5, 149.5)


@pytest.mark.parametrize("dip, joined", [(0.25, True), (0.0, False)])
def test_a_trail_is_joined_across_a_long_dip_that_holds_it(dip, joined):
    """A tumbling satellite faint over a stretch longer than the piece first found (a quarter
    of its level over 500 px) is one trail; beyond as long an empty stretch lies another."""
    rng = np.random.default_rng(2)
    position = np.arange(1200.0)
    values = np.ones(1200) + rng.normal(0.0, 0.5, 1200)
    values[400:900] = dip + rng.normal(0.0, 0.5, 500)
    segment = best_segment(position, np.cumsum(values[:400]), [(0.0, 399.0)])
    start, end = extend_segment(position, values, segment, 0.5)[:2]
    assert start == 0.0 and (end > 1190.0 if joined else 395.0 < end < 405.0)


@pytest.mark.parametrize("gap, end", [(0, 349.5), (10, 99.5)])
def test_a_faint_rest_of_a_glint_is_joined_only_where_it_follows_on(gap, end):
    """The box found the glint alone; the rest of its trail, at an eighth of its level, follows
    on. Beyond an empty gap it could as well be something else's (a crossing cosmic-ray track)."""
    position = np.arange(400.0)
    values = np.zeros(400)
    values[50:100] = 6.0
    values[100 + gap:350] = 0.8
    assert extend_segment(position, values, (49.5, 99.5, 300.0, 50), 0.5)[:2] == (49.5, end)


def test_a_trail_fading_towards_the_edge_keeps_its_end_there():
    position = np.arange(300.0)
    values = np.where(position > 50, 1.0, 0.0)
    values[250:] = 0.25                     # a quarter as bright over its last 50 pixels
    segment = best_segment(position, np.cumsum(values[:250]), [(50.0, 249.0)])
    assert extend_segment(position, values, segment, 0.5)[:2] == (50.5, 299.0)
    values[250:] = 0.0
    assert extend_segment(position, values, segment, 0.5)[:2] == (50.5, 249.5)


def test_noise_beyond_a_trail_does_not_extend_it():
    # The best box among the samples of a line of noise stands at S/N 3-4.
    rng = np.random.default_rng(5)
    grown = []
    for _ in range(20):
        values = rng.normal(0.0, 1.0, 800)
        values[300:500] += 1.0
        segment = best_segment(np.arange(800.0), np.cumsum(values), [(300.0, 499.0)])
        a, b = extend_segment(np.arange(800.0), values, segment, 1.0)[:2]
        grown.append(max(segment[0] - a, b - segment[1]))
    assert max(grown) < 30.0


@pytest.mark.parametrize("rows, n", [(np.r_[40:130, 170:260], 40), (np.r_[140:146, 155:161], 20)])
def test_bright_pixels_beside_a_trail_do_not_drown_it(rows, n):
    # Unmasked hot pixels and cosmic-ray hits in the parallel bands (each would widen the
    # scatter of the lines beside the trail by itself) or in its side bands (which a few of
    # them raise above a faint trail's peak, as a galaxy's or a halo's light does).
    rng = np.random.default_rng(3)
    data = rng.normal(0.0, 1.0, (300, 400))
    data += 0.6 * np.exp(-0.5 * ((np.arange(300.0)[:, None] - 150) / 1.3) ** 2)
    hits = rng.choice(rows, n), rng.integers(50, 350, n)
    data[hits] += 200.0
    v = verify(data, data < -99, 1.0, -0.5, 0.0, -150.0, 150.0, min_snr=6.0, width=2.0)
    assert v.ok, v.reason


@pytest.mark.parametrize("knot, trail", [(400, True), (30, True), (400, False)])
def test_a_bright_knot_on_a_faint_trail_is_left_out_of_it(knot, trail):
    """A bright thing that the preparation kept (a cosmic-ray track, a galaxy's core) outweighs
    a long faint trail through it in the box fit; alone on its line, it is no streak."""
    rng = np.random.default_rng(7)
    data = rng.normal(0.0, 1.0, (60, 800))
    if trail:
        data += 0.5 * np.exp(-0.5 * ((np.arange(60.0)[:, None] - 30.0) / 1.3) ** 2)
    data[29:32, knot:knot + 4] = 300.0
    measured = Measurer(data, 1.0, width=2.0).measure(Line(-0.5, 0.0, 10.0), [])
    if not trail:
        assert measured is None
        return
    streak, record = measured
    assert (streak.x_start, streak.x_end) == (0.0, 799.0)
    [(lo, hi)] = record.knots
    centre = (data.shape[1] - 1) / 2.0                      # along the line, x = column - centre
    assert lo < knot - centre < knot + 4 - centre < hi
    # Left out of the record's light curve as well, as a masked star is.
    at = (record.position > lo) & (record.position < hi)
    assert np.ptp(record.running_sum[at]) == 0.0
    # The band holds some 0.9 of the trail's 1.63 per pixel; the knot would add 4.5.
    assert 1.2 < streak.flux_per_length < 1.8


@pytest.mark.parametrize("side", ["edge", "mask"])
def test_a_trail_beside_the_frames_edge_or_a_mask_is_verified(side):
    # 6-20 px from the last row, or 12 px from a masked stretch: the parallel lines on that side,
    # against which its significance is measured, are not there.
    rng = np.random.default_rng(4)
    rows, cols = np.mgrid[:300, :400]
    ends = (0.0, 293.0, 399.0, 279.0) if side == "edge" else (0.0, 150.0, 399.0, 136.0)
    r, theta = line_through(rows.shape, *ends)
    d = across(r, theta, *to_frame(rows.shape, cols, rows))
    data = rng.normal(0.0, 1.0, rows.shape) + 0.6 * np.exp(-0.5 * (d / 1.3) ** 2)
    excluded = (np.abs(d) > 12.0) & (rows > 140 - cols * 14.0 / 399.0) & (side == "mask")
    v = verify(data, excluded, 1.0, r, theta, -150.0, 150.0, min_snr=6.0, width=2.0)
    assert v.ok and v.significance > 8, (v.reason, v.significance)


@pytest.mark.parametrize("fwhm, sharp", [(1.2, True), (2.5, False)])
def test_a_short_segment_found_a_little_askew_is_judged_along_its_own_line(fwhm, sharp):
    # 70 px verified 2.5 degrees off (as found in a tile): a cosmic-ray track smears there into
    # a star's width; a trail at the stars' width stays a trail along the tilted lines too.
    data = np.random.default_rng(5).normal(0.0, 1.0, (120, 200))
    r, theta = line_through(data.shape, 65.0, 60.0, 135.0, 60.0)
    x, y = to_frame(data.shape, *np.mgrid[:120, :200][::-1])
    m, d = along(theta, x, y), across(r, theta, x, y)
    data += 12.0 / fwhm * np.exp(-0.5 * (d / (fwhm / 2.3548)) ** 2) * (np.abs(m) < 35.0)
    v = verify(data, data < -99, 1.0, r, theta + np.radians(2.5), -35.0, 35.0, min_snr=6.0,
               width=2.0, psf_fwhm=2.5, short=True)
    assert (v.reason == "sharp") == sharp, v.reason


def test_a_track_beside_a_sharp_track_leaves_it_sharp():
    # A cosmic-ray track 1.2 pixels wide, with another beside its first half: the centroids of
    # the halves would tilt the line, along which the track smears into a broad ridge.
    data = np.random.default_rng(12).normal(0.0, 1.0, (120, 200))
    r, theta = line_through(data.shape, 70.0, 55.0, 130.0, 65.0)
    x, y = to_frame(data.shape, *np.mgrid[:120, :200][::-1])
    a, b = sorted(along(theta, *to_frame(data.shape, *p)) for p in ((70.0, 55.0), (130.0, 65.0)))
    m, d = along(theta, x, y), across(r, theta, x, y)
    data += 20.0 * np.exp(-0.5 * (d / 0.5) ** 2) * ((m > a) & (m < b))
    data += 20.0 * np.exp(-0.5 * ((d - 3.0) / 0.5) ** 2) * ((m > a) & (m < 0.5 * (a + b)))
    v = verify(data, data < -99, 1.0, r, theta, a, b, min_snr=6.0, width=2.0, psf_fwhm=3.0)
    assert v.reason == "sharp"


@pytest.mark.parametrize("fwhm, flux, short, reason", [
    (2.5, 12.0, False, ""),                 # at the stars' width: a trail
    (6.0, 12.0, False, "not elongated"),    # faint and more than twice as wide: a galaxy's disk
    (6.0, 60.0, False, ""),                 # as wide and bright: a defocused trail
    (2.5, 12.0, True, ""),                  # found in a tile: a trail at the stars' width
    (3.5, 12.0, False, ""),                 # 1.4 times as wide: long enough for a trail
    (3.5, 12.0, True, "broad"),             # but not when found in a tile only
])
def test_a_short_faint_ridge_broader_than_the_stars_is_no_trail(fwhm, flux, short, reason):
    # An even bar 90 px long, 15 times longer than wide at 6 px.
    truth = TrueStreak(100.0, 150.0, 190.0, 150.0, flux, fwhm / 2.3548)
    data = draw_streak(np.random.default_rng(13).normal(0.0, 1.0, SHAPE), truth)
    r, theta = truth.line(SHAPE)
    a, b = sorted(along(theta, *to_frame(SHAPE, x, 150.0)) for x in (100.0, 190.0))
    v = verify(data, data < -99, 1.0, r, theta, a, b, min_snr=6.0, width=2.0, psf_fwhm=2.5,
               short=short)
    assert v.reason == reason
