"""The benchmark skies (bench/): the truth they state matches what they draw, and the scorer
matches records to it."""

import doctest
import sys
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))

import artefacts  # noqa: E402
import catalogs  # noqa: E402
import detector  # noqa: E402
import losses  # noqa: E402
import sky  # noqa: E402
import trails  # noqa: E402


@pytest.mark.parametrize("module", [artefacts, catalogs, detector, losses, sky, trails],
                         ids=lambda m: m.__name__)
def test_docstring_examples_run(module):
    assert doctest.testmod(module, verbose=False).failed == 0


@pytest.mark.parametrize("profile, fwhm", [("gaussian", 2.0), ("moffat", 3.0),
                                           ("moffat", 20.0)])
def test_drawn_trail_carries_its_stated_flux_and_snr(profile, fwhm):
    shape = (300, 400)
    relative = trails.brightness_along(250.0, np.random.default_rng(4), variation=0.6, glints=2)
    look = trails.TrailLook(60.0, 80.0, 260.0, 230.0, fwhm, profile, 2.5, relative)
    variance = np.random.default_rng(5).uniform(4.0, 16.0, shape)
    rows, cols, signal, trail = trails.draw(look, shape, 12.0, variance)
    assert trails.matched_snr(signal, variance[rows, cols]) == pytest.approx(12.0)
    assert signal.sum() == pytest.approx(trail.flux_per_length * trail.length, rel=0.01)
    assert trail.flux_between(0.0, 125.0) * 125 == pytest.approx(
        signal[_along(rows, cols, trail) < 125.0].sum(), rel=0.03)


def _along(rows, cols, trail):
    u = np.array([trail.x1 - trail.x0, trail.y1 - trail.y0]) / trail.length
    return (cols - trail.x0) * u[0] + (rows - trail.y0) * u[1]


@pytest.mark.parametrize("profile", ["gaussian", "moffat"])
def test_snr_of_a_uniform_trail_follows_the_equivalent_width(profile):
    look = trails.TrailLook(50.0, 100.0, 350.0, 100.0, 3.0, profile, 3.0, np.ones(301))
    *_, trail = trails.draw(look, (200, 400), 10.0, np.full((200, 400), 4.0))
    width = trails.equivalent_width(3.0, profile, 3.0)
    assert trail.flux_per_length * np.sqrt(trail.length / width) / 2.0 == pytest.approx(
        10.0, rel=0.01)


def test_edge_to_edge_trail_ends_on_the_frame():
    rng = np.random.default_rng(0)
    for _ in range(50):
        look = trails.random_look((200, 300), rng, 3.0, 3.0)
        trail = trails.truth_of(look, (200, 300), 1.0, 1.0)
        for x, y, edge in ((trail.x0, trail.y0, look.edge0), (trail.x1, trail.y1, look.edge1)):
            assert (min(x, y, 299 - x, 199 - y) < 1e-6) == edge


@pytest.mark.parametrize("field_type", ["sparse", "uint16", "int16", "8bit"])
def test_stated_noise_is_the_image_noise(field_type):
    field = sky.make_field(field_type, (512, 512), seed=3)
    image = field.image.astype(float)
    # Differences of neighbouring pixels cancel the smooth sky; clipping leaves stars out (a
    # median absolute deviation would be coarse on whole numbers).
    diff = (image[:, 1:] - image[:, :-1]).ravel() / np.sqrt(2.0)
    measured = diff.std()
    for _ in range(5):
        measured = diff[np.abs(diff - np.median(diff)) < 4.0 * measured].std()
    assert measured == pytest.approx(field.noise, rel=0.1)
    if field_type == "8bit":
        assert 1.0 <= field.noise <= 5.0


def test_saturated_stars_are_flat_topped_and_bleed():
    field = sky.make_field("saturated", (512, 512), seed=2)
    top = field.image.max()
    assert top == field.detector.saturation
    assert (field.image == top).sum() >= 10
    assert any(a.kind == "bleed" for a in field.artefacts)


def test_scorer_matches_records_to_trails():
    field = sky.make_field("sparse", (300, 300), snrs=[30.0], seed=1)
    t = field.trails[0]
    whole = SimpleNamespace(x_start=t.x0, y_start=t.y0, x_end=t.x1, y_end=t.y1,
                            flux_per_length=t.flux_per_length)
    scores, false = catalogs.score_field(field, [whole])
    assert scores[0].found and scores[0].records == 1 and not false
    assert scores[0].end_error == pytest.approx(0.0, abs=1e-9)
    assert abs(scores[0].flux_bias) < 0.05   # the brightness varies along the trail

    mx, my = 0.5 * (t.x0 + t.x1), 0.5 * (t.y0 + t.y1)
    halves = [SimpleNamespace(x_start=t.x0, y_start=t.y0, x_end=mx, y_end=my, flux_per_length=0),
              SimpleNamespace(x_start=mx, y_start=my, x_end=t.x1, y_end=t.y1, flux_per_length=0)]
    scores, _ = catalogs.score_field(field, halves)
    assert scores[0].found and scores[0].records == 2 and scores[0].flux_bias is None

    angle = np.arctan2(t.y1 - t.y0, t.x1 - t.x0) + np.radians(5.0)
    turned = SimpleNamespace(x_start=mx - 20 * np.cos(angle), y_start=my - 20 * np.sin(angle),
                             x_end=mx + 20 * np.cos(angle), y_end=my + 20 * np.sin(angle),
                             flux_per_length=0)
    scores, false = catalogs.score_field(field, [turned])
    assert not scores[0].found and [f.label for f in false] == ["trail"]

    # A short line in the corner farthest from the trail's line.
    normal = np.array([t.y0 - t.y1, t.x1 - t.x0]) / np.hypot(t.x1 - t.x0, t.y1 - t.y0)
    x, y = max(((x, y) for x in (20, 250) for y in (20, 280)),
               key=lambda c: abs(np.dot(np.array(c) - (t.x0, t.y0), normal)))
    refused = [SimpleNamespace(streak=whole, reason="noise"),
               SimpleNamespace(streak=SimpleNamespace(x_start=x, y_start=y, x_end=x + 30,
                                                      y_end=y), reason="broad")]
    labels = [(r.reason, r.label) for r in catalogs.score_refused(field, refused)]
    assert labels[0] == ("noise", "trail") and labels[1][1] != "trail"


def test_forced_flux_is_measured_on_the_true_trail():
    field = sky.make_field("sparse", (300, 300), snrs=[40.0], seed=1)
    (bias,) = catalogs.forced_flux_bias(field)
    assert abs(bias) < 0.1   # at S/N 40 the fitted profile leaves the flux some 4 % uncertain
