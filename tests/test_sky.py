"""Streaks in astronomers' terms: sky positions against astropy's WCS (real headers and SIP),
exposure times, magnitudes, light curves, catalog files with units, DQ planes, scans read back."""

import dataclasses
import json
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

fits = pytest.importorskip("astropy.io.fits")
from astropy import units  # noqa: E402
from astropy.table import Table  # noqa: E402
from astropy.wcs import WCS  # noqa: E402

import kestrova  # noqa: E402
from kestrova import Streak, StreakCatalog, describe, find_streaks  # noqa: E402
from kestrova.cli import main  # noqa: E402
from kestrova.columns import column_unit, flux_unit  # noqa: E402
from kestrova.io import read_frame  # noqa: E402
from kestrova.scan import scan  # noqa: E402
from kestrova.sky import read_exposure  # noqa: E402
from kestrova.synthetic import TrueStreak, synthetic_sky  # noqa: E402

REAL = Path(__file__).resolve().parents[2] / "shared" / "realdata"
pytestmark = pytest.mark.filterwarnings("ignore::astropy.wcs.FITSFixedWarning")

WITH_WCS = [("01_astride_long.fits", 0), ("03_vatt_m20211212UT_0110.fits", 0),
            ("04_hsc_A21787010.fits", 0), ("05_decam_raw_c4d_200306_000415.fits.fz", 33),
            ("06_sdss_frame-i-008108-5-0025.fits", 0), ("07_gmosn_2021-01-17.fits", 0),
            ("08_lmi_2021-06-01.fits", 0)]

SIP = {"CTYPE1": "RA---TAN-SIP", "CTYPE2": "DEC--TAN-SIP", "CRPIX1": 100.0, "CRPIX2": 80.0,
       "CRVAL1": 210.0, "CRVAL2": -30.0, "CD1_1": -2.8e-4, "CD1_2": 0.0, "CD2_1": 0.0,
       "CD2_2": 2.8e-4, "A_ORDER": 2, "B_ORDER": 2, "A_2_0": 6e-5, "A_1_1": -3e-5,
       "B_0_2": 5e-5, "B_1_1": 2e-5, "RADESYS": "FK5", "EQUINOX": 2000.0}
EXPOSURE = {"DATE-OBS": "2021-03-04T05:06:07.5", "EXPTIME": 20.0, "MAGZERO": 24.0,
            "BUNIT": "adu"}


def streak(**values):
    """A Streak with the given fields, 0 elsewhere (fields read by name)."""
    return Streak(**{f.name: values.get(f.name, 0.0) for f in dataclasses.fields(Streak)})


def sky_catalog(shape, ends):
    """A catalog of streaks with the given pixel ends, without a search behind it."""
    streaks = [streak(x_start=x0, y_start=y0, x_end=x1, y_end=y1, length=np.hypot(x1 - x0, y1 - y0),
                      theta=np.arctan2(y1 - y0, x1 - x0) % np.pi, flux_per_length=5.0,
                      flux_per_length_err=0.5, width=2.0) for x0, y0, x1, y1 in ends]
    return StreakCatalog(tuple(streaks), shape, 1.0)


def expected_icrs(header, x, y, origin=0):
    """RA/Dec from astropy's all_pix2world, in ICRS degrees."""
    from astropy.coordinates import SkyCoord

    wcs = WCS(header)
    ra, dec = wcs.all_pix2world(np.asarray(x, float), np.asarray(y, float), origin)
    frame = (wcs.wcs.radesys or "icrs").lower()
    icrs = SkyCoord(ra, dec, unit="deg", frame=frame).icrs
    direct = wcs.pixel_to_world(np.asarray(x, float) - origin, np.asarray(y, float) - origin).icrs
    assert np.allclose(icrs.ra.deg, direct.ra.deg, atol=1e-9, rtol=0)
    return icrs.ra.deg, icrs.dec.deg


def check_ends(rows, header, origin=0):
    for end in ("start", "end"):
        ra, dec = expected_icrs(header, [r[f"x_{end}"] for r in rows],
                                [r[f"y_{end}"] for r in rows], origin)
        assert np.abs(np.array([r[f"ra_{end}"] for r in rows]) - ra).max() < 1e-6
        assert np.abs(np.array([r[f"dec_{end}"] for r in rows]) - dec).max() < 1e-6


@pytest.mark.skipif(not REAL.is_dir(), reason="no real images")
@pytest.mark.parametrize("name, hdu", WITH_WCS)
def test_sky_ends_of_real_images_are_astropys(name, hdu):
    frame = read_frame(REAL / name, hdu)
    rows, cols = frame.data.shape
    ends = [(0.0, 0.0, cols - 1.0, rows - 1.0), (cols - 1.0, 3.5, 2.25, rows - 1.0),
            (0.3 * cols, 0.6 * rows, 0.7 * cols, 0.2 * rows)]
    d = describe(sky_catalog(frame.data.shape, ends), frame.header)
    check_ends(d.rows, frame.header)
    start, end = d.skycoord("start"), d.skycoord("end")
    assert np.allclose(start.separation(end).arcsec, [r["length_arcsec"] for r in d.rows])
    assert np.allclose(start.position_angle(end).deg, [r["pa"] for r in d.rows])


@pytest.mark.skipif(not REAL.is_dir(), reason="no real images")
@pytest.mark.parametrize("one_based", [False, True])
def test_found_trail_on_a_sip_image_and_one_based_pixels(tmp_path, capsys, one_based):
    path = REAL / "03_vatt_m20211212UT_0110.fits"
    out = tmp_path / "trail.ecsv"
    assert main(["find", str(path), "--catalog", str(out)] + ["--one-based"] * one_based) == 0
    capsys.readouterr()
    table = Table.read(out)
    assert table.meta["pixel_origin"] == int(one_based) and len(table) >= 1
    check_ends([dict(zip(table.colnames, row)) for row in table], fits.getheader(path),
               origin=int(one_based))
    zero = describe(find_streaks(fits.getdata(path).astype(float)), fits.getheader(path))
    assert table["x_start"][0] == pytest.approx(zero.rows[0]["x_start"] + one_based, abs=1e-9)
    assert table["ra_start"][0] == pytest.approx(zero.rows[0]["ra_start"], abs=1e-12)
    assert table["truncated"][0]  # the trail runs edge to edge


def sip_image(path, truth, extra=None, mef=False, seed=3):
    """A FITS image with `truth` drawn, a SIP WCS and EXPOSURE keywords; with `mef` the
    exposure keywords sit in the primary header and the image in extension SCI."""
    image, _ = synthetic_sky((160, 200), truth, seed=seed)
    header = fits.Header(SIP)
    if mef:
        fits.HDUList([fits.PrimaryHDU(header=fits.Header(EXPOSURE)),
                      fits.ImageHDU(image.astype(np.float32), header, name="SCI"),
                      *(extra or [])]).writeto(path)
    else:
        header.update(EXPOSURE)
        fits.HDUList([fits.PrimaryHDU(image.astype(np.float32), header), *(extra or [])]
                     ).writeto(path)
    return image


def test_sip_distortion_is_applied(tmp_path):
    path = tmp_path / "sip.fits"
    sip_image(path, [TrueStreak(15, 20, 185, 140, 5.0)])
    frame = read_frame(path)
    d = describe(find_streaks(frame.data), frame.header)
    check_ends(d.rows, frame.header)
    row = d.rows[0]
    plain = WCS(fits.Header({k: v for k, v in SIP.items() if not k[:2] in ("A_", "B_")}
                            | {"CTYPE1": "RA---TAN", "CTYPE2": "DEC--TAN"}))
    undistorted = plain.pixel_to_world(row["x_end"], row["y_end"]).icrs
    assert undistorted.separation(d.skycoord("end")[0]).arcsec > 0.3  # the distortion matters
    assert row["length_arcsec"] / row["length"] == pytest.approx(1.008, abs=0.03)
    assert row["rate"] == pytest.approx(row["length_arcsec"] / 20.0)
    assert not row["truncated"]
    # Magnitude of the whole trail for the zero point.
    flux = 5.0 * np.hypot(170, 120)
    assert row["mag"] == pytest.approx(24.0 - 2.5 * np.log10(flux), abs=0.1)


@pytest.mark.parametrize("suffix", [".ecsv", ".fits"])
def test_catalog_files_keep_units_and_meta(tmp_path, capsys, suffix):
    path = tmp_path / "img.fits"
    sip_image(path, [TrueStreak(15, 20, 185, 140, 5.0), TrueStreak(0, 150, 199, 60, 6.0)],
              mef=True)
    out = tmp_path / f"c{suffix}"
    assert main(["find", str(path), "--catalog", str(out)]) == 0
    assert "HDU 1 (SCI) of 2" in capsys.readouterr().err  # chosen automatically: said so
    table = Table.read(out)
    assert len(table) == 2 and table["lightcurve"].shape == (2, 20)
    for name in table.colnames:
        expected = column_unit(name, flux_unit("adu"))
        assert table[name].unit == (units.Unit(expected) if expected else None), name
    assert sorted(table["truncated"]) == [False, True]
    meta = {k.lower(): v for k, v in table.meta.items()}
    if suffix == ".ecsv":
        assert (meta["file"], meta["hdu"], meta["extname"], meta["shape"]) == (
            str(path), 1, "SCI", [160, 200])
        assert meta["date_start"] == "2021-03-04T05:06:07.500" and meta["exptime"] == 20.0
        assert "0-based" in meta["pixel_convention"]
    else:
        assert (meta["srcfile"], meta["srchdu"], meta["imrows"], meta["pixorig"]) == (
            str(path), 1, 160, 0)
        assert meta["magzero"] == 24.0 and meta["date-end"] == "2021-03-04T05:06:27.500"


def test_scan_read_back_equals_streaks_found_one_by_one(tmp_path):
    files = []
    for k, truth in enumerate([[TrueStreak(15, 20, 185, 140, 5.0)],
                               [TrueStreak(0, 150, 199, 60, 6.0), TrueStreak(30, 5, 60, 150, 8.0)],
                               []]):
        files.append(tmp_path / f"{k}.fits")
        sip_image(files[-1], truth, mef=k == 1, seed=k)
    with ThreadPoolExecutor(2) as pool:
        summary = scan(tmp_path / "*.fits", catalog=tmp_path / "scan.jsonl", executor=pool)
    assert (summary.done, summary.streaks) == (3, 3)
    table = kestrova.read_catalog(tmp_path / "scan.jsonl")
    assert table.meta["empty"] == [f"{files[2]}[0]"]
    assert table["ra_start"].unit == "deg" and table["mjd_start"].unit == "d"
    for path in files[:2]:
        frame = read_frame(path)
        expected = describe(find_streaks(frame.data), frame.header).to_table()
        got = table[table["file"] == str(path)]
        got.sort("index")
        assert len(got) == len(expected) and (got["hdu"] == frame.hdu).all()
        for name in expected.colnames[1:]:
            assert np.allclose(got[name], expected[name], rtol=1e-12, atol=0, equal_nan=True), name
        assert np.allclose(got["mjd_end"] - got["mjd_start"], 20.0 / 86400.0)
    one_based = kestrova.read_catalog(tmp_path / "scan.jsonl", one_based=True, astropy=False)
    assert np.allclose(one_based["y_end"], np.asarray(table["y_end"]) + 1.0)


def test_light_curve_shows_a_glint_and_no_dip_at_masked_pixels():
    # A trail of 180 px with a glint four times as bright over 12 px of it.
    truth = [TrueStreak(20, 80, 200, 80, 5.0), TrueStreak(104, 80, 116, 80, 15.0)]
    image, _ = synthetic_sky((160, 220), truth, seed=5)
    mask = np.zeros(image.shape, bool)
    mask[70:90, 40:50] = True  # a masked patch on the trail
    (row,) = describe(find_streaks(image, mask=mask), chunks=15).rows
    curve, error = row["lightcurve"], row["lightcurve_err"]
    assert np.argmax(curve) == 7 and curve[7] == pytest.approx(20.0, rel=0.15)
    quiet = np.delete(curve, 7)
    # Within three standard errors of a median of the quiet chunks.
    assert np.median(quiet) == pytest.approx(5.0, abs=3.0 * 1.25 * error.max() / quiet.size**0.5)
    assert np.abs(quiet - np.median(quiet)).max() < 4.0 * error.max()  # no dip at the mask
    assert error[1] > 1.2 * error[6]  # fewer pixels measured there
    assert curve.mean() == pytest.approx(row["flux_per_length"], rel=0.05)


def test_dq_plane_excludes_flagged_pixels_and_receives_the_streak_bit(tmp_path, capsys):
    image, _ = synthetic_sky((160, 200), [TrueStreak(15, 20, 185, 140, 5.0)], seed=7)
    image[:, 120] += 40.0  # a bad column
    dq = np.zeros(image.shape, np.int16)
    dq[:, 120] = 4
    path = tmp_path / "dq.fits"
    fits.HDUList([fits.PrimaryHDU(image.astype(np.float32), fits.Header(SIP)),
                  fits.ImageHDU(dq, name="DQ")]).writeto(path)

    def found(*options):
        out = tmp_path / "c.json"
        assert main(["find", str(path), "--catalog", str(out), *options]) == 0
        return json.loads(out.read_text())["streaks"]

    # The column is told from the data alone; the plane excludes it all the same.
    for options in [(), ("--dq", "DQ", "--dq-bits", "4,16"), ("--dq", "DQ", "--dq-bits", "8")]:
        assert len(found(*options)) == 1
    mask = tmp_path / "mask.fits"
    assert main(["find", str(path), "--dq", "1", "--mask", str(mask), "--mask-bit", "5"]) == 0
    plane, header = fits.getdata(mask), fits.getheader(mask)
    assert (plane[:, 120] & 4).all() and 0 < (plane & 32).astype(bool).mean() < 0.1
    assert header["STRKBIT"] == 5 and header["CTYPE1"] == "RA---TAN-SIP"
    assert WCS(header).pixel_to_world(10, 10).ra.deg == pytest.approx(
        WCS(fits.getheader(path)).pixel_to_world(10, 10).ra.deg)
    capsys.readouterr()


@pytest.mark.parametrize("header, start, end, zeropoint", [
    ({"DATE-OBS": "2020-05-28", "UT-STR": "14:32:17.9", "UT": "14:32:38", "EXPTIME": 40.0},
     "2020-05-28T14:32:17.900", "2020-05-28T14:32:57.900", None),
    ({"DATE-OBS": "26/07/102", "TIME-OBS": "19:36:37", "EXPTIME": 60},
     "2002-07-26T19:36:37.000", "2002-07-26T19:37:37.000", None),
    ({"DATE-OBS": "2009-10-17", "TAIHMS": "01:53:10.59", "TIMESYS": "TAI", "EXPTIME": "10",
      "BUNIT": "nanomaggy"}, "2009-10-17T01:52:36.590", "2009-10-17T01:52:46.590", 22.5),
    ({"MJD-OBS": 59000.5, "DATE-END": "2020-05-31T12:00:30", "FLUXMAG0": 1e10},
     "2020-05-31T12:00:00.000", "2020-05-31T12:00:30.000", 25.0),
    ({"DATE-OBS": "2020-05-28", "PHOTZP": 27.5}, None, None, 27.5),
])
def test_exposure_from_headers(header, start, end, zeropoint):
    exposure = read_exposure(header)
    meta = exposure.meta()
    assert (meta.get("date_start"), meta.get("date_end"), exposure.zeropoint) == (
        start, end, zeropoint)
    if start and end:
        assert exposure.exptime == pytest.approx((exposure.end - exposure.start).sec)
