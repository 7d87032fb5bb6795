"""The densecorr command on a small real pair: one match, and batches on a
local Dask cluster (failures, resuming) and on a cluster started here with
one worker killed mid-run."""
import csv
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import densecorr
from densecorr.pictures import OUTPUT_FILES, read_image

cv2 = pytest.importorskip("cv2")
pytestmark = pytest.mark.skipif(not densecorr.has_matcher(), reason="build without the matcher")

# Fast settings for the batches: the continuous refinement off.
FAST = ["--option", "flow_warps=0"]


def densecorr_cli(*args, timeout=300, **kwargs):
    return subprocess.run([sys.executable, "-m", "densecorr", *args], capture_output=True,
                          text=True, timeout=timeout, **kwargs)


def reference(path1, path2, **options):
    return densecorr.match(read_image(path1), read_image(path2), **options)


def check_outputs(folder, expected):
    assert sorted(os.listdir(folder)) == sorted(OUTPUT_FILES)
    flow = cv2.readOpticalFlow(os.path.join(folder, "flow.flo"))
    assert flow.tobytes() == expected.flow.tobytes()
    valid = cv2.imread(os.path.join(folder, "valid.png"), cv2.IMREAD_UNCHANGED)
    assert np.array_equal(valid, expected.valid.astype(np.uint8) * 255)
    for name in ("flow.png", "warped.png", "overlay.png"):
        picture = cv2.imread(os.path.join(folder, name), cv2.IMREAD_UNCHANGED)
        assert picture.shape == expected.flow.shape[:2] + (3,) and picture.dtype == np.uint8


def read_report(folder):
    with open(os.path.join(folder, "report.csv"), newline="") as f:
        return {row["line"]: row for row in csv.DictReader(f)}


def test_match_writes_field_mask_and_pictures(tmp_path, small_pair):
    left, right, _, _ = small_pair
    out = tmp_path / "out"
    run = densecorr_cli("match", left, right, "-o", str(out))
    assert run.returncode == 0, run.stderr
    expected = reference(left, right)
    check_outputs(out, expected)
    assert expected.valid.mean() > 0.5
    # The pictures: a pixel with no motion is white in flow.png, and the
    # warped image 2 lines up with image 1 where the match is valid.
    warped = cv2.cvtColor(cv2.imread(str(out / "warped.png")), cv2.COLOR_BGR2GRAY)
    image1 = cv2.cvtColor(cv2.imread(left), cv2.COLOR_BGR2GRAY)
    error = np.abs(warped.astype(int) - image1)[expected.valid]
    assert np.median(error) < 12

    run = densecorr_cli("match", left, str(tmp_path / "missing.png"), "-o", str(tmp_path / "x"))
    assert run.returncode == 1 and "no such image file" in run.stderr
    assert not (tmp_path / "x").exists()
    run = densecorr_cli("match", left, right, "-o", str(tmp_path / "y"), "--option", "nope=1")
    assert run.returncode == 1 and "unknown match option 'nope'" in run.stderr


def write_pairs(path, rows):
    path.write_text("image1,image2,name\n" + "".join(",".join(r) + "\n" for r in rows))


def test_batch_records_failures_and_resumes(tmp_path, small_pair):
    left, right, _, _ = small_pair
    (tmp_path / "broken.png").write_bytes(b"not an image")
    write_pairs(tmp_path / "pairs.csv", [
        (left, right, "a"), (right, left, "b"), ("broken.png", right, "c"), (left, right, "a"),
    ])
    out = tmp_path / "out"
    args = ["-m", "densecorr", "batch", str(tmp_path / "pairs.csv"), "-o", str(out), *FAST]

    # Ctrl-C once the first pair is done: the report says what ran.
    # (The usual Ctrl-C even where this runs with SIGINT ignored.)
    batch = subprocess.Popen([sys.executable, *args, "--workers", "1"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    deadline = time.monotonic() + 120
    while not ((out / "a").exists() or (out / "b").exists()) and time.monotonic() < deadline:
        time.sleep(0.05)
    batch.send_signal(signal.SIGINT)
    stdout, stderr = batch.communicate(timeout=120)
    assert batch.returncode == 130, stdout + stderr
    assert "not run (interrupted)" in stdout
    # Keyed by line: the fourth line repeats the name "a" and fails as a
    # duplicate whatever the timing.
    first = [row["status"] for row in read_report(out).values()]
    assert "done" in first and os.path.exists(out / "report.csv")

    # Resume: the rest runs; one pair's failure does not stop the others.
    run = densecorr_cli("batch", str(tmp_path / "pairs.csv"), "-o", str(out), "--workers", "2",
                        *FAST)
    assert run.returncode == 1, run.stderr
    assert "4 pairs: " in run.stdout and ", 2 failed" in run.stdout
    report = read_report(out)
    assert [report[k]["status"] for k in "45"] == ["failed", "failed"]
    assert {report["2"]["status"], report["3"]["status"]} <= {"done", "skipped"}
    assert "cannot read image" in report["4"]["error"]
    assert "already used by line 2" in report["5"]["error"]
    check_outputs(out / "a", reference(left, right, flow_warps=0))
    check_outputs(out / "b", reference(right, left, flow_warps=0))

    # Again: finished pairs are skipped, a leftover partial folder is removed.
    (out / ".partial-b-dead").mkdir()
    before = os.path.getmtime(out / "a" / "flow.flo")
    run = densecorr_cli("batch", str(tmp_path / "pairs.csv"), "-o", str(out), "--workers", "1",
                        *FAST)
    assert run.returncode == 1 and "0 matched, 2 already done, 2 failed" in run.stdout
    assert os.path.getmtime(out / "a" / "flow.flo") == before
    assert not (out / ".partial-b-dead").exists()


def _start(args, env=None, log=None):
    return subprocess.Popen([sys.executable, "-m", *args], env=env, stdout=log,
                            stderr=subprocess.STDOUT, start_new_session=True)


def test_batch_keeps_its_report_when_ctrl_c_lands_while_the_cluster_closes(
        tmp_path, small_pair, monkeypatch, capsys):
    import distributed
    from densecorr import batch as batch_module

    class Done:
        def result(self):
            return {"status": "done"}

    class Client:
        def submit(self, *args, **kwargs):
            return Done()

        def close(self):
            raise KeyboardInterrupt  # Ctrl-C while shutting down

    monkeypatch.setattr(batch_module, "_client", lambda scheduler, workers: (Client(), None))
    monkeypatch.setattr(distributed, "as_completed", lambda futures: list(futures))
    left, right, _, _ = small_pair
    write_pairs(tmp_path / "pairs.csv", [(left, right, "a"), (right, left, "b")])
    status = batch_module.run_batch(str(tmp_path / "pairs.csv"), str(tmp_path / "out"), {},
                                    quiet=True)
    assert status == 130
    out = capsys.readouterr().out
    assert "2 pairs: 2 matched, 0 already done, 0 failed, 0 not run (interrupted)" in out
    assert [row["status"] for row in read_report(tmp_path / "out").values()] == ["done", "done"]


def test_batch_survives_a_worker_killed_mid_run(tmp_path, small_pair):
    from distributed import Client

    left, right, _, _ = small_pair
    names = "abcde"
    write_pairs(tmp_path / "pairs.csv",
                [((left, right) if i % 2 == 0 else (right, left)) + (n,) for i, n in
                 enumerate(names)])
    scheduler_file = str(tmp_path / "scheduler.json")
    marker = tmp_path / "stalled"
    env = dict(os.environ, OMP_NUM_THREADS="1")
    stall_env = dict(env, DENSECORR_TEST_STALL_MARKER=str(marker))
    here = os.path.dirname(os.path.abspath(__file__))
    log = open(tmp_path / "cluster.log", "w")
    common = ["--host", "127.0.0.1", "--no-dashboard", "--scheduler-file", scheduler_file]
    processes = [_start(["distributed.cli.dask_scheduler", "--port", "0", *common], env, log)]
    try:
        deadline = time.monotonic() + 60
        while not os.path.exists(scheduler_file) and time.monotonic() < deadline:
            time.sleep(0.1)
        worker = ["distributed.cli.dask_worker", "--nthreads", "1", "--no-nanny", *common]
        stalling = _start(worker + ["--preload", os.path.join(here, "stall_worker.py")],
                          stall_env, log)
        processes += [stalling, _start(worker, env, log)]
        with Client(scheduler_file=scheduler_file, timeout=60) as client:
            client.wait_for_workers(2, timeout=60)
            address = client.scheduler.address
            assert address.startswith("tcp://127.0.0.1:")

        batch = subprocess.Popen(
            [sys.executable, "-m", "densecorr", "batch", str(tmp_path / "pairs.csv"), "-o",
             str(tmp_path / "out"), "--scheduler", address, "-q", *FAST],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 120
        while not marker.exists() and batch.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        assert marker.exists(), "the stalling worker never started a pair"
        os.killpg(stalling.pid, signal.SIGKILL)  # while it holds a pair
        stdout, stderr = batch.communicate(timeout=300)
        assert batch.returncode == 0, stdout + stderr
        assert "5 pairs: 5 matched, 0 already done, 0 failed" in stdout
    finally:
        for p in processes:
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGKILL)
            p.wait()
        log.close()

    assert stalling.returncode == -signal.SIGKILL
    forward, backward = reference(left, right, flow_warps=0), reference(right, left, flow_warps=0)
    for i, name in enumerate(names):
        check_outputs(tmp_path / "out" / name, forward if i % 2 == 0 else backward)
    assert all(row["status"] == "done" for row in read_report(tmp_path / "out").values())
    assert not [e for e in os.listdir(tmp_path / "out") if e.startswith(".partial-")]
