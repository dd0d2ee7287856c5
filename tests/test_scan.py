import argparse
import dataclasses
import json
import os
from collections import Counter
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from kestrova import Streak
from kestrova.cli import add_scan_arguments, run_scan
from kestrova.scan import WORKER_DIED, completed_images, find_tasks, read_catalog, scan

BOOM, INTERRUPT = -999.0, -777.0  # pixel [0, 0] markers that make fake_find misbehave


@dataclasses.dataclass(frozen=True)
class FakeStreak:
    row: int
    level: np.float64
    start: tuple
    spread: float


def fake_find(image, mask=None, min_snr=3.0):
    """A streak for every row whose mean exceeds `min_snr`; masked pixels count as 0."""
    if image[0, 0] == BOOM:
        os._exit(1)
    if image[0, 0] == INTERRUPT:
        raise KeyboardInterrupt
    if mask is not None:
        image = np.where(mask, 0.0, image)
    means = image.mean(axis=1)
    return [FakeStreak(int(y), means[y], (0.0, float(y)), float("nan"))
            for y in np.flatnonzero(means > min_snr)]


def image(rows=(), marker=None, shape=(6, 8)):
    data = np.zeros(shape)
    data[list(rows)] = 10.0
    if marker is not None:
        data[0, 0] = marker
    return data


@pytest.fixture
def batch(tmp_path):
    """a.npy: 1 streak; b.fits: corrupt; c.fits: HDU 1 two streaks, HDU 2 none (plus a 3-D
    image and a table, not scanned); d.npy: 3-D; e.npy: none."""
    fits = pytest.importorskip("astropy.io.fits")  # here: workers importing fake_find start faster
    d = tmp_path / "data"
    d.mkdir()
    np.save(d / "a.npy", image([2]))
    (d / "b.fits").write_bytes(b"SIMPLE  =                    T" + b"\0" * 100)
    fits.HDUList([fits.PrimaryHDU(), fits.ImageHDU(image([1, 4]), name="SCI"),
                  fits.ImageHDU(image().astype(">f4"), name="SCI"),
                  fits.ImageHDU(np.zeros((2, 3, 4))),
                  fits.BinTableHDU.from_columns([fits.Column("x", "E", array=np.zeros(2))])]
                 ).writeto(d / "c.fits")
    np.save(d / "d.npy", np.zeros((2, 3, 4)))
    np.save(d / "e.npy", image())
    return d


def by_key(rows):
    """{(file name, hdu): (status, sorted streak rows without the key columns)}."""
    out = {}
    for row in rows:
        key = (os.path.basename(row["file"]), row["hdu"])
        assert key not in out or out[key][0] == "ok" == row["status"], f"duplicate {key}"
        status, streaks = out.get(key, (row["status"], []))
        if row["status"] == "ok":
            streaks = sorted(streaks + [{k: row[k] for k in ("row", "level", "start", "spread",
                                                             "index", "nstreaks")}],
                             key=lambda s: s["index"])
        out[key] = (status, streaks)
    return out


def check_batch(rows):
    found = by_key(rows)
    assert set(found) == {("a.npy", 0), ("b.fits", None), ("c.fits", 1), ("c.fits", 2),
                          ("d.npy", 0), ("e.npy", 0)}
    assert {k: v[0] for k, v in found.items()} == {
        ("a.npy", 0): "ok", ("b.fits", None): "error", ("c.fits", 1): "ok",
        ("c.fits", 2): "none", ("d.npy", 0): "error", ("e.npy", 0): "none"}
    assert [s["row"] for s in found[("c.fits", 1)][1]] == [1, 4]
    assert found[("a.npy", 0)][1] == [{"row": 2, "level": 10.0, "start": [0.0, 2.0],
                                       "spread": None, "index": 0, "nstreaks": 1}]
    errors = {row["file"].rsplit("/", 1)[1]: row["message"] for row in rows
              if row["status"] == "error"}
    assert errors["b.fits"].startswith("OSError") and "expected 2-D" in errors["d.npy"]


def test_batch_with_failing_files_goes_on(batch, tmp_path):
    catalog = tmp_path / "out.jsonl"
    summary = scan([batch / "a.npy", batch / "[bc].fits", batch / "d.npy", batch / "e.npy"],
                   catalog=catalog, workers=2, find=fake_find, progress=False)
    rows = read_catalog(catalog)
    check_batch(rows)
    assert (summary.images, summary.done, summary.streaks, len(summary.failures)) == (6, 4, 3, 2)
    assert catalog.read_text().count("\n") == len(rows) == 7


def test_process_pool_and_dask_give_the_same_catalog(batch, tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    scan([batch / "*"], catalog=tmp_path / "pool.jsonl", workers=2, find=fake_find)
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        scan([batch / "*"], catalog=tmp_path / "dask.jsonl", executor=client, find=fake_find)
    pool, dask = (sorted(map(json.dumps, read_catalog(tmp_path / name)))
                  for name in ("pool.jsonl", "dask.jsonl"))
    assert pool == dask
    check_batch(read_catalog(tmp_path / "dask.jsonl"))


def test_resume_after_interrupt_writes_each_image_once(tmp_path):
    for k in range(6):
        np.save(tmp_path / f"{k}.npy", image([k % 3], marker=INTERRUPT if k == 3 else None))
    catalog = tmp_path / "out.jsonl"
    with ThreadPoolExecutor(1) as pool, pytest.raises(KeyboardInterrupt):
        scan(tmp_path / "*.npy", catalog=catalog, executor=pool, find=fake_find)
    first = read_catalog(catalog)
    assert {os.path.basename(row["file"]) for row in first} == {"0.npy", "1.npy", "2.npy"}
    with open(catalog, "a") as file:  # a row cut short by a crash
        file.write('{"file": "/x/3.npy", "hdu"')
    with pytest.raises(FileExistsError):
        scan(tmp_path / "*.npy", catalog=catalog, find=fake_find)

    np.save(tmp_path / "3.npy", image([0]))
    with ThreadPoolExecutor(2) as pool:
        summary = scan(tmp_path / "*.npy", catalog=catalog, executor=pool, find=fake_find,
                       resume=True)
    assert (summary.skipped, summary.done) == (3, 3)
    rows = read_catalog(catalog)
    assert rows[:len(first)] == first
    assert Counter((os.path.basename(r["file"]), r["hdu"]) for r in rows) == Counter(
        {(f"{k}.npy", 0): 1 for k in range(6)})


@pytest.mark.parametrize("rows, done", [
    ([{"status": "none"}], True),
    ([{"status": "ok", "nstreaks": 2, "index": 1}, {"status": "ok", "nstreaks": 2, "index": 0}],
     True),
    ([{"status": "ok", "nstreaks": 2, "index": 0}], False),  # crashed between its rows
    ([{"status": "error"}], False),
    ([{"status": "error"}, {"status": "none"}], True),
])
def test_completed_images(rows, done):
    rows = [{"file": "/f.fits", "hdu": 1, **row} for row in rows]
    assert completed_images(rows) == ({("/f.fits", 1)} if done else set())


def test_worker_death_fails_only_its_image(tmp_path):
    for k in range(5):
        np.save(tmp_path / f"{k}.npy", image([1], marker=BOOM if k == 2 else None))
    summary = scan(tmp_path / "*.npy", catalog=tmp_path / "out.jsonl", workers=2, find=fake_find)
    status = {os.path.basename(r["file"]): (r["status"], r.get("message"))
              for r in read_catalog(tmp_path / "out.jsonl")}
    assert status == {f"{k}.npy": ("error", WORKER_DIED) if k == 2 else ("ok", None)
                      for k in range(5)}
    assert summary.done == 4


def test_workers_dying_on_every_image_stop_the_scan(tmp_path):
    for k in range(5):
        np.save(tmp_path / f"{k}.npy", image(marker=BOOM))
    with pytest.raises(RuntimeError, match="died on 3 images in a row"):
        scan(tmp_path / "*.npy", catalog=tmp_path / "out.jsonl", workers=1, find=fake_find)
    assert [r["message"] for r in read_catalog(tmp_path / "out.jsonl")] == [WORKER_DIED] * 3


@pytest.mark.parametrize("hdus, expected, errors", [
    (None, [("c.fits", 1, "SCI"), ("c.fits", 2, "SCI")], []),
    (["sci"], [("c.fits", 1, "SCI"), ("c.fits", 2, "SCI")], []),
    ([2, "DQ"], [("c.fits", 2, "SCI")], [("c.fits", "DQ")]),
    ([3], [("c.fits", 3, "")], []),  # asked for: its 3-D data fails in the worker
])
def test_find_tasks_hdus(batch, hdus, expected, errors):
    tasks, failed = find_tasks([batch / "c.fits", str(batch / "c.*"), batch / "nothing*"], hdus)
    assert [(os.path.basename(t.file), t.hdu, t.extname) for t in tasks] == expected
    assert sorted((os.path.basename(f.task.file), str(f.task.hdu)) for f in failed) == sorted(
        [(name, str(hdu)) for name, hdu in errors] + [("nothing*", "None")])


def test_masks(batch, tmp_path):
    masks = tmp_path / "masks"
    masks.mkdir()
    mask = np.zeros((6, 8), bool)
    mask[2] = True
    np.save(masks / "a.npy", mask)
    with ThreadPoolExecutor(2) as pool:
        scan([batch / "a.npy", batch / "e.npy"], catalog=tmp_path / "out.jsonl", executor=pool,
             masks=masks, find=fake_find)
    status = {os.path.basename(r["file"]): (r["status"], r.get("message", ""))
              for r in read_catalog(tmp_path / "out.jsonl")}
    assert status["a.npy"] == ("none", "")
    assert status["e.npy"][0] == "error" and "masks/e.npy: no such file" in status["e.npy"][1]


@pytest.mark.parametrize("catalog", ["out.csv", "out.fits"])
def test_catalog_must_be_json_lines(tmp_path, catalog):
    with pytest.raises(ValueError, match="JSON lines"):
        scan([], catalog=tmp_path / catalog)


def test_command_line_with_real_find_streaks_on_pool_and_local_cluster(batch, tmp_path, capsys):
    pytest.importorskip("dask.distributed")
    rng = np.random.default_rng(1)
    sky = rng.normal(0.0, 1.0, (96, 128))
    sky[40:42, 10:110] += 6.0
    np.save(batch / "sky.npy", sky)
    parser = argparse.ArgumentParser()
    add_scan_arguments(parser)
    catalogs = []
    for engine in ([], ["--scheduler", "local"]):
        catalogs.append(tmp_path / f"out{len(catalogs)}.jsonl")
        args = parser.parse_args([str(batch / "*.npy"), str(batch / "b.fits"), "--catalog",
                                  str(catalogs[-1]), "--workers", "1", *engine])
        assert run_scan(args) == 1
        assert "failed: " in capsys.readouterr().err
    rows = [sorted(read_catalog(c), key=lambda r: (r["file"], r.get("index"))) for c in catalogs]
    assert rows[0] == rows[1]
    sky_row = next(r for r in rows[0] if r["file"].endswith("sky.npy"))
    assert sky_row["status"] == "ok"
    assert {f.name for f in dataclasses.fields(Streak)} <= set(sky_row)
    again = parser.parse_args([str(batch / "*.npy"), "--catalog", str(catalogs[0])])
    assert run_scan(again) == 2


@pytest.mark.parametrize("cut", ["between rows", "inside a row"])
def test_resume_after_a_crash_inside_an_image_repeats_no_row(tmp_path, cut):
    np.save(tmp_path / "a.npy", image([1]))
    np.save(tmp_path / "b.npy", image([0, 2, 4]))
    catalog = tmp_path / "out.jsonl"
    with ThreadPoolExecutor(1) as pool:
        scan(tmp_path / "*.npy", catalog=catalog, executor=pool, find=fake_find)
    lines = catalog.read_text().splitlines(keepends=True)
    assert [os.path.basename(json.loads(line)["file"]) for line in lines] == ["a.npy"] + [
        "b.npy"] * 3
    # The crash came after the first of b's three rows (and, torn, halfway through the second).
    torn = lines[2][:40] if cut == "inside a row" else ""
    catalog.write_text("".join(lines[:2]) + torn)
    with ThreadPoolExecutor(1) as pool:
        summary = scan(tmp_path / "*.npy", catalog=catalog, executor=pool, find=fake_find,
                       resume=True)
    assert (summary.skipped, summary.done) == (1, 1)
    rows = read_catalog(catalog)
    assert catalog.read_text().count("\n") == len(rows) == 4
    assert sorted((os.path.basename(r["file"]), r["index"]) for r in rows) == [
        ("a.npy", 0), ("b.npy", 0), ("b.npy", 1), ("b.npy", 2)]


def test_pictures_and_npy_files_are_scanned_as_find_reads_them(batch, tmp_path, capsys):
    image_module = pytest.importorskip("PIL.Image")
    image_module.fromarray(image([3]).astype(np.uint8)).save(batch / "f.png")
    (batch / "folder.npy").mkdir()  # matched by the pattern, but not an image file
    with ThreadPoolExecutor(2) as pool:
        summary = scan([batch / "*.npy", batch / "*.png", batch],  # a directory, named
                       catalog=tmp_path / "out.jsonl", executor=pool, find=fake_find)
    status = {os.path.basename(r["file"]): (r["status"], r.get("row", r.get("message")))
              for r in read_catalog(tmp_path / "out.jsonl")}
    assert status.pop("d.npy")[0] == "error"
    assert status == {"a.npy": ("ok", 2), "e.npy": ("none", None), "f.png": ("ok", 3),
                      "data": ("error", f"InputError: {batch}: is a directory, not an image file")}
    # Not on a terminal: a plain line per image.
    lines = capsys.readouterr().err.splitlines()
    assert len(lines) == summary.images == 5
    assert any(line.endswith("/f.png: 1 streak (" + line.rsplit("(", 1)[1]) for line in lines)
    assert all(line.startswith(f"[{k + 1}/5] ") for k, line in enumerate(lines))


@pytest.mark.parametrize("options, message", [
    (["--width", "nan"], "--width must be finite"),
    (["--min-snr", "0"], "--min-snr must be greater than 0"),
    (["--workers", "0"], "--workers must be at least 1"),
    (["--masks", "{tmp}/none"], "no such directory"),
    (["--catalog", "{tmp}/no/folder/c.jsonl"], "cannot write the catalog"),
    (["--catalog", "{tmp}"], "is a directory"),
])
def test_bad_scan_options_are_usage_errors(batch, tmp_path, capsys, options, message):
    parser = argparse.ArgumentParser()
    add_scan_arguments(parser)
    options = [o.format(tmp=tmp_path) for o in options]
    catalog = [] if "--catalog" in options else ["--catalog", str(tmp_path / "c.jsonl")]
    assert run_scan(parser.parse_args([str(batch / "*.npy"), *catalog, *options])) == 2
    err = capsys.readouterr().err
    assert err.startswith("kestrova scan: error: ") and err.count("\n") == 1 and message in err
    assert not (tmp_path / "c.jsonl").exists()


def _descendants(pid):
    """Process ids of every descendant of `pid` (Linux /proc)."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    ppid = int(stat.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            children.setdefault(ppid, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def _running(pid):
    """Whether `pid` is a live process (a zombie waiting to be reaped is not)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def _log_a_failure(kind):
    import logging

    try:
        raise kind("Stream is closed")
    except Exception:
        logging.getLogger("distributed.worker").exception("heartbeat failed: %s", kind.__name__)


def test_workers_of_a_local_cluster_keep_quiet_about_its_closed_connections(capfd):
    # A worker still on an image when a stopped scan closes its cluster fails to reach the
    # scheduler; its traceback would follow the scan's last words.
    comm = pytest.importorskip("distributed.comm")
    from kestrova.scan import local_cluster

    with local_cluster(1) as client:
        client.run(_log_a_failure, comm.CommClosedError)
        client.run(_log_a_failure, ValueError)
    err = capfd.readouterr().err
    assert "CommClosedError" not in err and "heartbeat failed: ValueError" in err


def _size(path) -> int:
    try:
        return path.stat().st_size
    except FileNotFoundError:
        return 0


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="needs Linux /proc")
@pytest.mark.parametrize("signal_name, engine, status", [
    ("SIGTERM", [], 143),
    ("SIGINT", [], 130),  # Ctrl-C: to the terminal's whole process group
    ("SIGINT", ["--scheduler", "local"], 130),
])
def test_a_stopped_scan_ends_its_workers_and_says_how_to_resume(tmp_path, signal_name, engine,
                                                                status):
    if engine:
        pytest.importorskip("dask.distributed")
    import signal
    import subprocess
    import sys
    import time

    # A quick image, then slow ones: with a threshold this low, noise holds a streak at every
    # angle, and each image takes many seconds.
    rng = np.random.default_rng(0)
    np.save(tmp_path / "0.npy", rng.normal(size=(32, 32)).astype(np.float32))
    np.save(tmp_path / "1.npy", rng.normal(size=(1024, 1024)).astype(np.float32))
    for k in range(2, 9):
        os.symlink(tmp_path / "1.npy", tmp_path / f"{k}.npy")
    catalog = tmp_path / "out.jsonl"
    scan_process = subprocess.Popen(
        [sys.executable, "-X", "faulthandler", "-m", "kestrova", "scan", str(tmp_path / "*.npy"),
         "--catalog",
         str(catalog), "--workers", "2", "--min-snr", "0.5", "--max-streaks", "10000", *engine],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
        # A shell's background job ignores Ctrl-C, and the scan would inherit that.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        deadline = time.monotonic() + 180
        # The command line tries the catalog's folder first with a file it removes again.
        while not _size(catalog) and time.monotonic() < deadline:
            assert scan_process.poll() is None, scan_process.communicate()
            time.sleep(0.1)
        time.sleep(1.0)  # both workers on a slow image
        workers = _descendants(scan_process.pid)
        assert workers
        if signal_name == "SIGTERM":
            scan_process.send_signal(signal.SIGTERM)
        else:
            os.killpg(scan_process.pid, signal.SIGINT)
        try:
            _, err = scan_process.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            scan_process.send_signal(signal.SIGABRT)  # the fault handler shows where it hangs
            pytest.fail("the scan did not stop:\n" + scan_process.communicate(timeout=30)[1])
    finally:
        if scan_process.poll() is None:
            os.killpg(scan_process.pid, signal.SIGKILL)
    assert scan_process.returncode == status
    assert "Traceback" not in err and err.rstrip().endswith("continue with --resume")
    deadline = time.monotonic() + 10
    while any(map(_running, workers)) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not [pid for pid in workers if _running(pid)]
    assert {os.path.basename(row["file"]) for row in read_catalog(catalog)} == {"0.npy"}
