"""find_streaks checks its image and settings before any work, keeps float32 images float32
with results that differ from double precision by rounding only, and reports its progress."""

import dataclasses
import tracemalloc

import numpy as np
import pytest

from kestrova import find_streaks, finder
from kestrova.progress import Progress, ProgressLines
from kestrova.settings import as_image
from kestrova.synthetic import TrueStreak, demo_sky, synthetic_sky

IMAGE = np.random.default_rng(0).normal(size=(200, 300))


@pytest.fixture
def no_work(monkeypatch):
    """find_streaks fails loudly if it gets as far as preparing the image."""
    def prepare(*args, **kwargs):
        raise AssertionError("the image was prepared before the settings were checked")

    monkeypatch.setattr(finder, "prepare_image", prepare)


@pytest.mark.parametrize("settings, error, message", [
    ({"width": 1e4}, ValueError, "width 10000 is too wide .* 200 x 300 .* at most 100"),
    ({"width": 1e9}, ValueError, "too wide"),
    ({"width": 0.0}, ValueError, "width must be greater than 0"),
    ({"width": float("inf")}, ValueError, "width must be finite"),
    ({"min_snr": float("nan")}, ValueError, "min_snr must be finite, got nan"),
    ({"min_snr": -1.0}, ValueError, "min_snr must be greater than 0"),
    ({"sigma": float("nan")}, ValueError, "sigma must be finite"),
    ({"sigma": 0.0}, ValueError, "sigma must be greater than 0"),
    ({"max_streaks": -1}, ValueError, "max_streaks must be at least 0"),
    ({"max_streaks": 2.5}, TypeError, "max_streaks must be an integer"),
    ({"binning": -2}, ValueError, "binning must be at least 1"),
    ({"binning": 0}, ValueError, "binning must be at least 1"),
    ({"binning": 50}, ValueError, "binning 50 is too coarse .* at most 18"),
    ({"background_box": 0}, ValueError, "background_box must be at least 1"),
    ({"background_box": 4}, ValueError, "background_box 4 is too small .* at least .* 5"),
    ({"background_box": 8, "width": 4.0}, ValueError, "background_box 8 is too small"),
    ({"max_candidates": 0}, ValueError, "max_candidates must be at least 1"),
    ({"min_length": -1.0}, ValueError, "min_length must be at least 0"),
    ({"min_length": 400.0}, ValueError, "min_length 400 is longer than the diagonal"),
    ({"width": "2"}, TypeError, "width must be a number"),
    ({"tiles": 1}, TypeError, "tiles must be True, False or 'large', got 1"),
    ({"tiles": "small"}, TypeError, "tiles must be True, False or 'large', got 'small'"),
    ({"wide": "yes"}, TypeError, "wide must be True or False, got 'yes'"),
])
def test_bad_settings_fail_before_any_work(no_work, settings, error, message):
    with pytest.raises(error, match=message) as info:
        find_streaks(IMAGE, **settings)
    assert "\n" not in str(info.value)


@pytest.mark.parametrize("image, error, message", [
    (IMAGE + 1j, ValueError, "complex"),
    (np.zeros((3, 4, 5)), ValueError, "2-D"),
    (np.zeros((0, 5)), ValueError, "empty"),
    (np.array([["a", "b"]]), TypeError, "not numeric"),
])
def test_unusable_images_fail_before_any_work(no_work, image, error, message):
    with pytest.raises(error, match=message):
        find_streaks(image)


@pytest.mark.parametrize("dtype, kept", [
    (np.float32, np.float32), (">f4", np.float32), (np.float16, np.float32),
    (np.uint16, np.float32), (np.int16, np.float32), (bool, np.float32),
    (np.int32, np.float64), (">f8", np.float64),
])
def test_pixel_types_become_native_floats_that_hold_them_exactly(dtype, kept):
    image = np.arange(6).reshape(2, 3).astype(dtype)
    got = as_image(image)
    assert got.dtype == np.dtype(kept) and got.dtype.isnative
    assert np.array_equal(got, image.astype(np.float64))
    if image.dtype == got.dtype:
        assert got is image


@pytest.mark.parametrize("box", [64, None])
def test_float32_images_give_the_results_of_their_float64_copies(box):
    image = demo_sky(3)[0].astype(np.float32)
    image[10:20, 30:40] = np.nan
    single = find_streaks(image, background_box=box)
    double = find_streaks(image.astype(np.float64), background_box=box)
    assert len(single) == len(double) == 2
    fitted = ("level", "goodness")
    for s, d in zip(single, double):
        mine = {k: v for k, v in dataclasses.asdict(s).items() if k not in fitted}
        theirs = {k: v for k, v in dataclasses.asdict(d).items() if k not in fitted}
        assert mine == pytest.approx(theirs, rel=1e-3, abs=1e-6, nan_ok=True)
        # The ramp fit is a local minimisation: data that differ by single-precision rounding
        # may settle it at another of the shallow minima along a long trail.
        assert s.level == pytest.approx(d.level, rel=0.02)
        assert np.isfinite(s.goodness) and np.isfinite(d.goodness)
    assert single.sigma == pytest.approx(double.sigma, rel=1e-6)
    # The background is measured from the image's own values, in double precision.
    assert single.background == pytest.approx(double.background, rel=1e-6)
    assert np.array_equal(single.excluded, double.excluded)


def test_peak_memory_of_a_float32_image_is_bounded():
    image = synthetic_sky((2048, 2048), [TrueStreak(100, 200, 1900, 1500, 3.0)], seed=2)[0]
    image = image.astype(np.float32)
    find_streaks(image[:128, :128])
    tracemalloc.start()
    try:
        find_streaks(image)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    # The search holds the data, the search image, two masks and its score maps; the
    # preparation less. Before the planes were kept in float32 it was ten times the image.
    assert peak < 3.6 * image.nbytes


def test_progress_reports_every_stage_in_order(capsys):
    image, truth = demo_sky(1)
    events = []
    catalog = find_streaks(image, progress=events.append)
    assert [e.stage for e in events] == ["prepared", "scored"] + ["streak"] * len(catalog) + [
        "done"]
    assert [e.streaks for e in events][-1] == len(catalog) == 2
    assert all(a.seconds <= b.seconds for a, b in zip(events, events[1:]))
    find_streaks(image, progress=True)
    lines = capsys.readouterr().err.splitlines()
    assert len(lines) == len(events) and lines[-1].startswith("done: 2 streaks (")


def test_progress_lines_wait_for_a_slow_search(capsys):
    lines = ProgressLines("a.fits: ", delay=3.0)
    for stage, seconds in [("prepared", 1.0), ("scored", 2.9), ("streak", 3.0), ("done", 4.0)]:
        lines(Progress(stage, 1, seconds))
    assert capsys.readouterr().err.splitlines() == ["a.fits: streak 1 measured (3.0 s)",
                                                    "a.fits: done: 1 streak (4.0 s)"]
