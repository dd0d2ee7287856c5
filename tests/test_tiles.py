"""The tile search: short streaks that their whole line hides are found, and noise, stars and
blends of stars give nothing."""

import sys
from pathlib import Path

import numpy as np
import pytest
from scipy import ndimage

from kestrova import find_streaks
from kestrova.detect import Detector
from kestrova.measure import Measurer
from kestrova.prepare import prepare_image
from kestrova.synthetic import TrueStreak, draw_streak, synthetic_sky
from kestrova.tiles import Scale, TileSearch, choose_scales
from kestrova.traces import SMOOTH_ROWS, _smoothed, find_traces

# The benchmark's sky generator, for frames as heavily hit by cosmic rays as its own.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))

W_EFF = 2.0 * np.sqrt(np.pi)  # equivalent width of a Gaussian cross-section of sigma 1


def short(x0, y0, angle, length, snr):
    """A streak of `length` pixels at integrated (matched-filter) S/N `snr`."""
    c, s = np.cos(angle), np.sin(angle)
    return TrueStreak(x0, y0, x0 + length * c, y0 + length * s, snr / np.sqrt(length / W_EFF))


def accept(measured, line, measure, short=False):
    """A judge that takes every measured candidate for a trail."""
    return (*measured, True)


def on(catalog, t, tolerance=8.0):
    """The records lying on `t` (both ends within `tolerance` of its line, overlapping it)."""
    u = np.array([t.x1 - t.x0, t.y1 - t.y0]) / t.length
    n = np.array([-u[1], u[0]])
    a = np.array([t.x0, t.y0])
    out = []
    for s in catalog:
        p, q = np.array(s.start) - a, np.array(s.end) - a
        lo, hi = sorted((p @ u, q @ u))
        if abs(p @ n) < tolerance and abs(q @ n) < tolerance and hi > 0 and lo < t.length:
            out.append(s)
    return out


@pytest.mark.parametrize("seed, truth", [
    (1, short(400.0, 300.0, 0.4, 64.0, 16.0)),
    (2, short(700.0, 800.0, 2.3, 64.0, 16.0)),
    (3, short(100.0, 900.0, 1.5, 100.0, 14.0)),     # near the edge, almost vertical
])
def test_a_short_streak_on_a_large_image_is_found(seed, truth):
    image, _ = synthetic_sky((1024, 1024), [truth], seed=seed)
    catalog = find_streaks(image, tiles=True)
    found = on(catalog, truth)
    assert len(found) == 1 and len(catalog) == 1
    assert found[0].length == pytest.approx(truth.length, abs=20.0)
    # Its whole line alone does not reach the threshold, and its snr stays that of the line.
    assert not on(find_streaks(image, tiles=False), truth)
    assert found[0].snr < 6.0 <= found[0].score


def test_the_default_search_finds_a_streak_of_a_quarter_of_the_image():
    """Too short to lift its whole line, long for the small tiles: the large tiles of the
    default search find it, as one record."""
    truth = short(500.0, 500.0, 0.8, 240.0, 11.0)
    image, _ = synthetic_sky((1024, 1024), [truth], seed=13)
    assert not on(find_streaks(image, tiles=False), truth)
    catalog = find_streaks(image)
    assert len(on(catalog, truth)) == len(catalog) == 1
    assert catalog[0].length == pytest.approx(truth.length, abs=30.0)


@pytest.mark.parametrize("seed", [1, 2])
def test_a_bright_short_streak_is_found_though_the_search_image_clips_it(seed):
    """At 5 sigma a pixel, a 70-pixel streak is held at the search image's limit all along:
    the whole line's map clips it away, and a tile must not take it for a blend of stars."""
    rng = np.random.default_rng(seed)
    image = rng.normal(100.0, 5.0, (1024, 1024))
    (x0, y0), angle = rng.uniform(200.0, 800.0, 2), rng.uniform(0.0, np.pi)
    x1, y1 = x0 + 70.0 * np.cos(angle), y0 + 70.0 * np.sin(angle)
    truth = TrueStreak(x0, y0, x1, y1, 5.0 * 5.0 * np.sqrt(2.0 * np.pi))
    catalog = find_streaks(draw_streak(image, truth))
    assert len(on(catalog, truth)) == len(catalog) == 1
    assert catalog[0].length == pytest.approx(truth.length, abs=10.0)


@pytest.mark.parametrize("seed", [0, 1])
def test_a_short_streak_that_stands_out_pixel_by_pixel_is_found_from_its_trace(seed):
    """80 px at S/N 17 on a 2048 px frame: a 512 px tile's map, block-averaged by 8, dilutes it
    below its threshold, while the smoothed image shows it as a long, thin region."""
    rng = np.random.default_rng(seed)
    image = rng.normal(100.0, 5.0, (2048, 2048))
    truth = TrueStreak(300.0, 400.0, 364.0, 448.0, 20.0, 1.2)
    catalog = find_streaks(draw_streak(image, truth))
    assert len(on(catalog, truth)) == len(catalog) == 1
    assert catalog[0].length == pytest.approx(truth.length, abs=10.0)
    assert not find_traces(rng.normal(0.0, 5.0, (1024, 1024)), 5.0)


@pytest.mark.parametrize("rows", [1, 3, SMOOTH_ROWS, SMOOTH_ROWS + 1, SMOOTH_ROWS + 3,
                                  2 * SMOOTH_ROWS + 2, 5 * SMOOTH_ROWS - 1])
def test_traces_smooth_block_by_block_as_one_gaussian_filter(rows):
    # The blocks of rows read their neighbours as they were, and mirror only their own rows.
    image = np.random.default_rng(rows).normal(size=(rows, 37)).astype(np.float32)
    expected = ndimage.gaussian_filter(image, 1.0, truncate=3.0)
    assert np.abs(_smoothed(image, 1.0) - expected).max() < 1e-6


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_noise_and_stars_give_no_tile_streak(seed):
    image, _ = synthetic_sky((1024, 1024), [], seed=100 + seed)
    whole_lines = len(find_streaks(image, tiles=False))
    assert len(find_streaks(image, tiles=True)) == len(find_streaks(image)) == whole_lines
    noise = np.random.default_rng(seed).normal(size=(1024, 1024))
    assert TileSearch(Detector(noise, 1.0, binning=3, width=2.0, min_snr=6.0)).candidates() == []


@pytest.mark.parametrize("seed", [11, 15, 18])
def test_cosmic_ray_tracks_give_no_tile_streak(seed):
    """Frames hit as the benchmark's cosmic-ray skies are (thousands of hits per megapixel):
    tracks of 30-80 px, found a few degrees askew in the small tiles, read as wide as a star
    along the line found, and sharper than the optics along their own."""
    from sky import make_field

    field = make_field("cosmics", (768, 768), snrs=[], seed=(seed, 7, 768))
    assert len(find_streaks(field.image, tiles=True)) == 0


def test_blends_of_bright_stars_are_not_streaks():
    """The preparation keeps a row of bright stars as an elongated region: where it is the
    strongest tile candidate, it is measured and refused; the faint streak is not."""
    image, _ = synthetic_sky((1024, 1024), [short(600.0, 700.0, 0.3, 90.0, 14.0)], n_stars=0,
                             seed=9)
    rows, cols = np.mgrid[:1024, :1024]
    for x, y in ((200.0, 200.0), (500.0, 350.0), (300.0, 600.0)):
        for dx in (0.0, 9.0, 18.0):
            image += 800.0 * np.exp(-0.5 * ((cols - x - dx) ** 2 + (rows - y) ** 2) / 1.5**2)
    prep = prepare_image(image, None, None, clip=3.0)
    # A search that lets the blends through as candidates.
    search = TileSearch(Detector(prep.detect, prep.sigma, binning=3, width=2.0, min_snr=6.0),
                        false_rate=0.9)
    measurer = Measurer(prep.data, prep.sigma, width=2.0)
    assert len(search.candidates()) > 1
    streak, _ = search.examine(measurer, [], accept)
    assert abs(streak.x_start - 600.0) < 6.0 and abs(streak.y_start - 700.0) < 6.0
    assert search.examine(measurer, [streak], accept) is None


def test_a_short_streak_next_to_a_bright_one_is_found_after_it():
    bright = TrueStreak(50.0, 500.0, 1000.0, 560.0, 8.0)
    faint = short(430.0, 450.0, 0.06, 80.0, 16.0)           # 15-50 px beside it, in its tiles
    image, _ = synthetic_sky((1024, 1024), [bright, faint], seed=7)
    catalog = find_streaks(image, tiles=True)
    assert len(on(catalog, bright)) == 1 and len(on(catalog, faint, 4.0)) == 1
    assert len(find_streaks(image, max_streaks=1, tiles=True)) == 1


def test_candidates_are_one_per_streak_and_scales_cover_the_image():
    noise = np.random.default_rng(5).normal(size=(1024, 1536))
    truth = short(600.0, 500.0, 0.8, 70.0, 20.0)
    search = TileSearch(Detector(draw_streak(noise, truth), 1.0, binning=4, width=2.0,
                                 min_snr=6.0))
    candidates = search.candidates()
    assert len(candidates) == 1
    r, theta = truth.line(noise.shape)
    assert abs(candidates[0].r - r) < 3.0 and abs(candidates[0].theta - theta) < 0.05
    for layer in search.layers:
        rows, cols = zip(*(layer.box(t) for t in range(len(layer.origins))))
        assert min(s.start for s in rows) == 0 and max(s.stop for s in rows) == 1024
        assert max(s.stop for s in cols) == 1536
    assert [s.size for s in choose_scales((1024, 1536))] == [128, 256]


@pytest.mark.parametrize("seed", [0, 1, 3])
def test_a_streak_over_sky_structure_stands_out_in_its_tile(seed):
    """Structure of the sky that the background left (0.2 sigma over some 100 px) is summed by
    every line of a tile: scored against its parallel lines, the streak stands out still."""
    rng = np.random.default_rng(seed)
    structure = ndimage.gaussian_filter(rng.normal(size=(1024, 1024)), 100.0)
    image = rng.normal(size=(1024, 1024)) + 0.2 * structure / structure.std()
    truth = short(300.0, 400.0, 0.5, 300.0, 14.0)
    search = TileSearch(Detector(draw_streak(image, truth), 1.0, binning=4, width=2.0,
                                 min_snr=6.0), [Scale(256, 4)])
    r, theta = truth.line(image.shape)
    assert any(abs(c.r - r) < 8.0 and abs(np.sin(c.theta - theta)) < 0.05
               for c in search.candidates())


@pytest.mark.parametrize("refused_as, retried", [("tile candidate", 1), ("whole line", 0)])
def test_a_refused_line_is_tried_again_only_when_the_image_near_it_changes(refused_as, retried):
    """A tile candidate refused by its verdict is tried again once something is blanked across
    it; a whole line refused before stays refused for the tiles too."""
    noise = np.random.default_rng(3).normal(size=(1024, 1024))
    truth = short(500.0, 400.0, 0.5, 80.0, 20.0)
    image = draw_streak(noise, truth)

    def search():
        return TileSearch(Detector(image.copy(), 1.0, binning=4, width=2.0, min_snr=6.0))

    measurer = Measurer(image.copy(), 1.0, width=2.0)
    calls = []

    def refuse(measured, line, measure, short=False):
        calls.append(measured[0])
        return (*measured, False)

    def blank_across(x, y):
        """Tell the search that a short stretch of row `y` around column `x` was blanked."""
        box = (slice(y, y + 1), slice(x - 10, x + 10))
        tiles.blank(np.ones((1, 20), bool), box)

    streak, _ = search().examine(measurer, [], accept)
    tiles = search()
    if refused_as == "whole line":
        tiles.refused(streak)
    else:
        assert tiles.examine(measurer, [], refuse) is None
    refusals = len(calls)
    assert tiles.examine(measurer, [], refuse) is None and len(calls) == refusals
    blank_across(100, 900)                          # far away
    assert tiles.examine(measurer, [], refuse) is None and len(calls) == refusals
    x, y = (np.array(streak.start) + streak.end) / 2.0
    blank_across(int(x), int(y))                    # across its middle
    calls.clear()
    assert tiles.examine(measurer, [], refuse) is None and len(calls) == retried


def test_a_tile_candidate_is_verified_like_a_whole_line():
    """A faint band far wider than a star: the tile search offers it and measures it, the
    verification refuses it (background structure), and nothing is reported."""
    wide = TrueStreak(400.0, 300.0, 400.0 + 120.0 * np.cos(0.4), 300.0 + 120.0 * np.sin(0.4),
                      15.0, 7.0)
    image, _ = synthetic_sky((1024, 1024), [wide], seed=1)
    prep = prepare_image(image, None, None, clip=3.0)
    search = TileSearch(Detector(prep.detect, prep.sigma, binning=3, width=2.0, min_snr=6.0))
    streak, _ = search.examine(Measurer(prep.data, prep.sigma, width=2.0), [], accept)
    assert on([streak], wide, tolerance=12.0)
    assert len(find_streaks(image, tiles=True)) == 0
