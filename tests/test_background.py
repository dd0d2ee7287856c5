"""The background kept as its mesh: subtracted a block of rows at a time as the full plane
would be, and measured again from the sky alone."""

import numpy as np
import pytest

from kestrova import background as bg
from kestrova.background import mesh_background, sky_background


@pytest.mark.parametrize("box", [None, 16])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_the_background_is_subtracted_in_blocks_as_the_whole_plane(monkeypatch, box, dtype):
    monkeypatch.setattr(bg, "BLOCK_ELEMENTS", 500)  # blocks of 3 rows: ends mid-image
    rows, cols = np.mgrid[:101, :160]
    image = (50.0 + 0.05 * cols + 0.1 * rows
             + np.random.default_rng(0).normal(0.0, 1.0, rows.shape)).astype(dtype)
    model = mesh_background(image, np.ones(image.shape, bool), box)
    model = model.with_axes(np.linspace(0.0, 1.0, 160), np.linspace(-1.0, 0.0, 101))
    plane = model.plane()
    out = model.subtract(image, np.empty_like(image))
    assert out.dtype == dtype
    # To rounding: BLAS may sum a block's product in another order than the whole plane's.
    tolerance = 4.0 * np.finfo(dtype).eps * np.abs(image).max()
    np.testing.assert_allclose(out, (image - plane).astype(dtype), rtol=0.0, atol=tolerance)
    assert model.median(every=4) == pytest.approx(np.median(plane[::4, ::4]), abs=1e-12)


def test_the_sky_background_leaves_out_what_lies_off_the_first_one():
    rng = np.random.default_rng(1)
    image = rng.normal(100.0, 1.0, (256, 320))
    image[:, 100:104] += 50.0                      # a bright column off the sky
    sky = np.ones(image.shape, bool)
    first = mesh_background(image, sky, 64)
    data = first.subtract(image, np.empty_like(image))
    again = sky_background(image, sky, data, 3.0, 64)
    assert np.abs(again.plane() - 100.0).max() < 0.3
    # With most of the sky far off the first background, it is measured no better.
    assert sky_background(image, sky, data + 10.0, 3.0, 64) is None


@pytest.mark.parametrize("box", [16, 32, 64])
def test_the_mesh_follows_a_gradient_whatever_the_cell_widths(box):
    # The border cells are narrower than the inner ones; each median stands for its cell's
    # centre, or a gradient comes out bent.
    rows, cols = np.mgrid[:512, :640]
    ramp = 0.1 * cols + 0.05 * rows
    plane = mesh_background(ramp, np.ones(ramp.shape, bool), box).plane()
    assert np.abs(plane - ramp).max() < 0.1


def test_the_mesh_follows_sky_structure_a_few_cells_across():
    rows, cols = np.mgrid[:512, :640]
    wave = 10.0 * np.sin(2 * np.pi * cols / 300.0) * np.sin(2 * np.pi * rows / 300.0)
    plane = mesh_background(wave, np.ones(wave.shape, bool), 64).plane()
    inner = (slice(128, -128),) * 2
    # Straight pieces between the cell centres leave some 17 % of the amplitude in rms.
    assert np.std((plane - wave)[inner]) < 1.0
