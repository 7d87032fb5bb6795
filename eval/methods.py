"""The matchers compared: this project's (through its C++ driver) and the
peers of OpenCV, all on the same working-size images.

Each method takes a Pair and returns a Result: the flow of image 1 (H x W x
2, float: pixel (x, y) matches (x + u, y + v) of image 2), optionally the
method's own validity mask, and the seconds its matching call took.
"""

import os
import shutil
import subprocess
import tempfile
import time

import cv2
import numpy as np

EVAL_DIR = os.path.dirname(os.path.abspath(__file__))
REPO_DIR = os.path.dirname(EVAL_DIR)
DRIVER_NAME = "densecorr_match_pair"

METHOD_NAMES = ["ours", "ours-rect", "dis", "deepflow", "rlof", "sgbm"]
STEREO_ONLY = {"ours-rect", "sgbm"}
# Ours, through the driver (its calls repeat inside one process).
OURS = {"ours", "ours-rect"}


class Result:
    def __init__(self, flow, seconds, valid=None, first_seconds=None):
        self.flow = flow
        self.seconds = seconds
        self.valid = valid
        # ours with repeat > 1: the first call of its process (seconds is
        # then the fastest call of that process).
        self.first_seconds = first_seconds


class Unavailable(Exception):
    """The method cannot run here (not built, not in this OpenCV)."""


def grey(image):
    return cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)


def timed(call):
    start = time.perf_counter()
    value = call()
    return value, time.perf_counter() - start


# ---- peers ----

def run_dis(pair):
    dis = cv2.DISOpticalFlow_create(cv2.DISOPTICAL_FLOW_PRESET_MEDIUM)
    g1, g2 = grey(pair.image1), grey(pair.image2)
    flow, seconds = timed(lambda: dis.calc(g1, g2, None))
    return Result(flow.astype(np.float64), seconds)


def run_deepflow(pair):
    if not hasattr(cv2, "optflow"):
        raise Unavailable("cv2.optflow missing (Debian's python3-opencv has it)")
    deepflow = cv2.optflow.createOptFlow_DeepFlow()
    g1, g2 = grey(pair.image1), grey(pair.image2)
    flow, seconds = timed(lambda: deepflow.calc(g1, g2, None))
    return Result(flow.astype(np.float64), seconds)


def run_rlof(pair):
    if not hasattr(cv2, "optflow") or not hasattr(cv2.optflow, "calcOpticalFlowDenseRLOF"):
        raise Unavailable("cv2.optflow.calcOpticalFlowDenseRLOF missing")
    flow, seconds = timed(
        lambda: cv2.optflow.calcOpticalFlowDenseRLOF(pair.image1, pair.image2, None))
    return Result(flow.astype(np.float64), seconds)


def fill_disparity_holes(disparity, valid):
    """Each invalid pixel takes the smaller of the nearest valid disparities
    to its left and right on its row (the background, as occlusions are),
    or 0 on a row with none."""
    h, w = disparity.shape
    filled = disparity.copy()
    big = np.inf
    for y in range(h):
        row, ok = disparity[y], valid[y]
        left = np.full(w, big)
        right = np.full(w, big)
        last = big
        for x in range(w):
            if ok[x]:
                last = row[x]
            left[x] = last
        last = big
        for x in range(w - 1, -1, -1):
            if ok[x]:
                last = row[x]
            right[x] = last
        best = np.minimum(left, right)
        best[np.isinf(best)] = 0.0
        filled[y] = np.where(ok, row, best)
    return filled


def run_sgbm(pair):
    if pair.kind != "stereo":
        raise Unavailable("stereo pairs only")
    w = pair.image1.shape[1]
    # Disparities up to a fifth of the width, in steps of 16 as it requires.
    n_disp = max(16, 16 * int(np.ceil(w / 5 / 16)))
    block = 5
    sgbm = cv2.StereoSGBM_create(minDisparity=0, numDisparities=n_disp, blockSize=block,
                                 P1=8 * 3 * block * block, P2=32 * 3 * block * block,
                                 disp12MaxDiff=1, uniquenessRatio=10, speckleWindowSize=100,
                                 speckleRange=2, mode=cv2.STEREO_SGBM_MODE_SGBM)
    raw, seconds = timed(lambda: sgbm.compute(pair.image1, pair.image2))
    disparity = raw.astype(np.float64) / 16.0
    valid = raw >= 0
    disparity = fill_disparity_holes(disparity, valid)
    flow = np.zeros(disparity.shape + (2,))
    flow[..., 0] = -disparity
    return Result(flow, seconds, valid)


# ---- ours: the C++ driver over MatchImages ----

def find_driver():
    """The driver named by DENSECORR_MATCH_PAIR, else the first build folder
    of the repository that holds it."""
    named = os.environ.get("DENSECORR_MATCH_PAIR")
    if named:
        return named
    candidates = []
    for entry in sorted(os.listdir(REPO_DIR)):
        if entry.startswith("build"):
            for sub in ("eval", ""):
                candidates.append(os.path.join(REPO_DIR, entry, sub, DRIVER_NAME))
    for path in candidates:
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    raise Unavailable("%s not built (cmake --build build --target %s)" % (DRIVER_NAME, DRIVER_NAME))


def write_pnm(path, image):
    """Binary PGM (grey) or PPM (RGB) of 8-bit values."""
    if image.ndim == 2:
        header, data = b"P5", image
    else:
        header, data = b"P6", image[..., ::-1]  # BGR to RGB
    h, w = image.shape[:2]
    with open(path, "wb") as f:
        f.write(header + b"\n%d %d\n255\n" % (w, h))
        f.write(np.ascontiguousarray(data, dtype=np.uint8).tobytes())


def read_pgm(path):
    """Binary 8-bit PGM: magic, width, height, maxval (with # comments
    between them), one whitespace byte, then the rows."""
    with open(path, "rb") as f:
        data = f.read()
    fields, at = [], 0
    while len(fields) < 4:
        while at < len(data) and (data[at:at + 1].isspace() or data[at:at + 1] == b"#"):
            if data[at:at + 1] == b"#":
                at = data.find(b"\n", at)
                at = len(data) if at < 0 else at
            at += 1
        start = at
        while at < len(data) and not data[at:at + 1].isspace():
            at += 1
        fields.append(data[start:at])
    if fields[0] != b"P5" or int(fields[3]) > 255:
        raise ValueError("%s: not an 8-bit binary PGM" % path)
    w, h = int(fields[1]), int(fields[2])
    pixels = data[at + 1:at + 1 + w * h]
    if len(pixels) != w * h:
        raise ValueError("%s: truncated" % path)
    return np.frombuffer(pixels, dtype=np.uint8).reshape(h, w)


def read_flo(path):
    """Middlebury .flo: tag 202021.25, width, height, then (u, v) per pixel,
    row by row."""
    with open(path, "rb") as f:
        tag = np.fromfile(f, np.float32, 1)
        if tag.size != 1 or tag[0] != np.float32(202021.25):
            raise ValueError("%s: not a .flo file" % path)
        w, h = np.fromfile(f, np.int32, 2)
        flow = np.fromfile(f, np.float32, 2 * w * h)
    if flow.size != 2 * w * h:
        raise ValueError("%s: truncated" % path)
    return flow.reshape(h, w, 2).astype(np.float64)


def match_ours(image1, image2, extra_args=(), repeat=1):
    """Matches two working-size images with this project's matcher; returns
    (flow, valid, seconds of the MatchImages call). The one place that knows
    how our matcher is reached.

    The driver is a fresh process, whose first call also pays for setting
    the process up (fresh memory pages, threads); the peers run in this warm
    process. With repeat > 1 the driver makes the call that many times and
    the seconds are those of its fastest call, a warm one as the peers'; the
    first call's seconds are then returned too: (flow, valid, seconds,
    first_seconds)."""
    driver = find_driver()
    work = tempfile.mkdtemp(prefix="densecorr_eval_")
    try:
        paths = [os.path.join(work, name) for name in ("1.ppm", "2.ppm", "flow.flo", "valid.pgm")]
        write_pnm(paths[0], image1)
        write_pnm(paths[1], image2)
        args = [driver] + paths + list(extra_args)
        if repeat > 1:
            args += ["--repeat", str(repeat)]
        run = subprocess.run(args, capture_output=True, text=True)
        if run.returncode != 0:
            raise RuntimeError("%s failed: %s" % (DRIVER_NAME, (run.stderr or run.stdout).strip()))
        seconds = first_seconds = None
        for line in run.stdout.splitlines():
            if line.startswith("seconds "):
                seconds = float(line.split()[1])
            if line.startswith("first_seconds "):
                first_seconds = float(line.split()[1])
        flow = read_flo(paths[2])
        valid = read_pgm(paths[3]) > 0
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if repeat > 1:
        return flow, valid, seconds, first_seconds
    return flow, valid, seconds


def run_ours(pair, extra_args=(), repeat=1):
    """repeat > 1: that many calls in one driver process (see match_ours)."""
    matched = match_ours(pair.image1, pair.image2, extra_args, repeat)
    flow, valid, seconds = matched[:3]
    first_seconds = matched[3] if repeat > 1 else None
    if flow.shape[:2] != pair.image1.shape[:2]:
        raise RuntimeError("field of size %s for an image of %s" % (flow.shape, pair.image1.shape))
    return Result(flow, seconds, valid, first_seconds)


def run_ours_rectified(pair, extra_args=(), repeat=1):
    """Ours told that the pair is rectified (option rectified): the stereo
    pair only, as StereoSGBM."""
    if pair.kind != "stereo":
        raise Unavailable("stereo pairs only")
    return run_ours(pair, list(extra_args) + ["--set", "rectified=1"], repeat)


RUNNERS = {"ours": run_ours, "ours-rect": run_ours_rectified, "dis": run_dis, "deepflow": run_deepflow, "rlof": run_rlof,
           "sgbm": run_sgbm}
