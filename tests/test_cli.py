"""The command line: reading FITS, .npy and PNG files, writing outputs, and clear failures."""

import json
import subprocess
import sys

import numpy as np
import pytest

from kestrova import __version__, cli
from kestrova.cli import main
from kestrova.synthetic import TrueStreak, synthetic_sky

TRUTH = TrueStreak(20.0, 30.0, 280.0, 170.0, 4.0)


@pytest.fixture(scope="module")
def sky():
    image, _ = synthetic_sky((200, 300), [TRUTH], seed=4)
    return image


def found_rows(text):
    """Table rows of `kestrova find` output (lines that start with a streak number)."""
    return [line.split() for line in text.splitlines()[2:] if line.strip()[:1].isdigit()]


def check_streak(row):
    x0, y0, x1, y1 = map(float, row[1:5])
    ends = sorted([(x0, y0), (x1, y1)])
    assert np.hypot(ends[0][0] - TRUTH.x0, ends[0][1] - TRUTH.y0) < 5
    assert np.hypot(ends[1][0] - TRUTH.x1, ends[1][1] - TRUTH.y1) < 5


def test_npy_with_every_output(sky, tmp_path, capsys):
    path = tmp_path / "sky.npy"
    np.save(path, sky)
    outputs = {k: tmp_path / f"out.{k}" for k in ("csv", "json", "npy", "png")}
    status = main(["find", str(path), "--catalog", str(outputs["csv"]), "--mask",
                   str(outputs["npy"]), "--plot", str(outputs["png"]), "--min-snr", "7"])
    assert status == 0
    rows = found_rows(capsys.readouterr().out)
    assert len(rows) == 1
    check_streak(rows[0])
    header, line = outputs["csv"].read_text().splitlines()[:2]
    assert header.startswith("id,r,theta,angle,snr")
    x_start = float(line.split(",")[header.split(",").index("x_start")])
    assert x_start == pytest.approx(float(rows[0][1]), abs=0.06)
    mask = np.load(outputs["npy"])
    assert mask.shape == sky.shape and mask.dtype == bool and 0 < mask.mean() < 0.1
    assert outputs["png"].read_bytes()[:4] == b"\x89PNG"
    assert main(["find", str(path), "--catalog", str(outputs["json"])]) == 0
    document = json.loads(outputs["json"].read_text())
    assert document["shape"] == [200, 300] and len(document["streaks"]) == 1


def test_refused_lines_are_listed_with_why(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    rows, cols = np.mgrid[:200, :300]
    u, v = (cols - 150) * 0.96 + (rows - 100) * 0.28, (rows - 100) * 0.96 - (cols - 150) * 0.28
    disk = 8.0 * np.exp(-np.hypot(u / 30.0, v / 3.0))       # an edge-on galaxy
    path = tmp_path / "disk.npy"
    np.save(path, synthetic_sky((200, 300), [], seed=5)[0] + disk)
    picture = tmp_path / "disk.png"
    assert main(["find", str(path), "--refused", "--plot", str(picture)]) == 0
    out = capsys.readouterr().out
    assert "no streak found" in out and "1 line refused as not a trail:" in out
    assert out.rstrip().endswith(": tapered")
    assert picture.read_bytes()[:4] == b"\x89PNG"
    from kestrova import find_streaks
    from kestrova.plot import plot_streaks

    figure = plot_streaks(np.load(path), find_streaks(np.load(path)), refused=True)
    assert "tapered" in [text.get_text() for text in figure.axes[0].texts]
    import matplotlib.pyplot as plt

    plt.close(figure)


def test_fits_with_hdu_and_ecsv(sky, tmp_path, capsys):
    fits = pytest.importorskip("astropy.io.fits")
    path = tmp_path / "sky.fits"
    fits.HDUList([fits.PrimaryHDU(), fits.ImageHDU(sky.astype(np.float32), name="SCI")]
                 ).writeto(path)
    for hdu in ([], ["--hdu", "1"], ["--hdu", "SCI"]):
        assert main(["find", str(path), *hdu]) == 0
        check_streak(found_rows(capsys.readouterr().out)[0])
    catalog, mask = tmp_path / "c.ecsv", tmp_path / "m.fits"
    assert main(["find", str(path), "--catalog", str(catalog), "--mask", str(mask)]) == 0
    from astropy.table import Table

    assert len(Table.read(catalog)) == 1
    assert fits.getdata(mask).sum() > 0


def test_png_picture(sky, tmp_path, capsys):
    image_module = pytest.importorskip("PIL.Image")
    path = tmp_path / "sky.png"
    grey = np.clip((sky - 90.0) * 8.0, 0, 255).astype(np.uint8)
    image_module.fromarray(np.dstack([grey] * 3)).save(path)  # colour PNG: averaged to grey
    assert main(["find", str(path)]) == 0
    rows = found_rows(capsys.readouterr().out)
    assert len(rows) == 1
    check_streak(rows[0])


def fits_table(path):
    fits = pytest.importorskip("astropy.io.fits")
    fits.HDUList([fits.PrimaryHDU(), fits.BinTableHDU.from_columns(
        [fits.Column(name="a", format="E", array=np.ones(3))])]).writeto(path)


def fits_cube(path):
    fits = pytest.importorskip("astropy.io.fits")
    fits.PrimaryHDU(np.zeros((2, 3, 4))).writeto(path)


@pytest.mark.parametrize("name, make, extra, message", [
    ("missing.npy", None, [], "no such file"),
    ("folder.npy", lambda p: p.mkdir(), [], "is a directory"),
    ("complex.npy", lambda p: np.save(p, np.ones((30, 30), complex)), [], "complex"),
    ("image.txt", lambda p: p.write_text("1 2"), [], "unknown file type"),
    ("cube.npy", lambda p: np.save(p, np.zeros((2, 3, 4))), [], "expected 2-D"),
    ("broken.npy", lambda p: p.write_bytes(b"not numpy"), [], "not a readable .npy"),
    ("broken.fits", lambda p: p.write_bytes(b"SIMPLE  = nonsense" * 10), [], "FITS"),
    ("broken.png", lambda p: p.write_bytes(b"\x89PNG garbage"), [], "not a readable picture"),
    ("table.fits", fits_table, [], "no HDU holds 2-D"),
    ("table.fits", fits_table, ["--hdu", "1"], "is a table"),
    ("table.fits", fits_table, ["--hdu", "7"], "no HDU 7"),
    ("cube.fits", fits_cube, ["--hdu", "0"], "expected 2-D"),
    ("flat.npy", lambda p: np.save(p, np.ones((30, 30))), [], "sigma"),
    ("ok.npy", lambda p: np.save(p, np.zeros((30, 30))), ["--hdu", "1"], "FITS files only"),
])
def test_bad_input_gives_one_clear_line(tmp_path, capsys, name, make, extra, message):
    path = tmp_path / name
    if make is not None:
        make(path)
    status = main(["find", str(path), *extra])
    err = capsys.readouterr().err
    assert status == 1
    assert err.startswith("kestrova: error: ") and err.count("\n") == 1
    assert message in err


@pytest.fixture
def no_search(monkeypatch):
    def search(*args, **kwargs):
        raise AssertionError("the search ran before the options were checked")

    monkeypatch.setattr(cli, "find_streaks", search)


@pytest.mark.parametrize("options, message", [
    (["--width", "1e4"], "--width 10000 is too wide for an image of 200 x 300 pixels"),
    (["--width", "1e9"], "too wide"),
    (["--width", "nan"], "--width must be finite"),
    (["--width", "-1"], "--width must be greater than 0"),
    (["--min-snr", "nan"], "--min-snr must be finite"),
    (["--min-snr=-inf"], "--min-snr must be finite"),
    (["--sigma", "0"], "--sigma must be greater than 0"),
    (["--max-streaks", "-1"], "--max-streaks must be at least 0"),
    (["--max-streaks", "1.5"], "invalid int value"),
    (["--catalog", "c.xls"], "unknown catalog type"),
    (["--mask", "m.png"], "unknown mask type"),
    (["--plot", "{tmp}/no/such/folder/p.png"], "cannot write the plot"),
    (["--catalog", "{tmp}/folder.json"], "is a directory"),
])
def test_bad_options_are_usage_errors_before_any_work(sky, tmp_path, capsys, no_search,
                                                      options, message):
    np.save(tmp_path / "sky.npy", sky)
    (tmp_path / "folder.json").mkdir()
    options = [o.format(tmp=tmp_path) for o in options]
    assert status(["find", str(tmp_path / "sky.npy"), *options]) == 2
    err = capsys.readouterr().err
    assert err.startswith("kestrova find: error: ") and err.count("\n") == 1
    assert message in err


@pytest.mark.parametrize("options, setting, value", [
    ([], "tiles", None), (["--tiles"], "tiles", True), (["--no-tiles"], "tiles", False),
    ([], "wide", None), (["--wide"], "wide", True)])
def test_search_options_reach_the_search(sky, tmp_path, capsys, monkeypatch, options, setting,
                                         value):
    seen = {}

    def search(image, **kwargs):
        seen.update(kwargs)
        raise ValueError("stop here")

    monkeypatch.setattr(cli, "find_streaks", search)
    np.save(tmp_path / "sky.npy", sky)
    assert status(["find", str(tmp_path / "sky.npy"), *options]) == 1
    assert seen.get(setting) is value


def status(argv):
    """The exit status of the command line, whether returned or raised by argparse."""
    try:
        return main(argv)
    except SystemExit as exit:
        return exit.code


def test_version(capsys):
    assert status(["--version"]) == 0
    assert capsys.readouterr().out.strip() == f"kestrova {__version__}"


def test_missing_optional_dependency_is_reported(tmp_path, capsys, monkeypatch):
    path = tmp_path / "sky.fits"
    path.write_bytes(b"")
    monkeypatch.setitem(sys.modules, "astropy.io.fits", None)
    assert main(["find", str(path)]) == 1
    assert "pip install 'kestrova[fits]'" in capsys.readouterr().err


def test_module_entry_point_exit_status(tmp_path):
    missing = subprocess.run([sys.executable, "-m", "kestrova", "find", str(tmp_path / "no.fits")],
                             capture_output=True, text=True)
    assert missing.returncode == 1
    assert "Traceback" not in missing.stderr and "no such file" in missing.stderr
    usage = subprocess.run([sys.executable, "-m", "kestrova", "find"], capture_output=True,
                           text=True)
    assert usage.returncode == 2 and "IMAGE" in usage.stderr and usage.stderr.count("\n") == 1


def test_demo_finds_both_streaks(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    picture = tmp_path / "demo.png"
    assert main(["demo", "--plot", str(picture)]) == 0
    out = capsys.readouterr().out
    assert "2 streaks drawn, 2 found" in out and "not found" not in out
    assert picture.stat().st_size > 10_000
