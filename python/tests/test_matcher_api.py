"""describe() and match() through numpy: image layouts, options, errors."""
import os
import re
import sys

import numpy as np
import pytest

import densecorr

pytestmark = pytest.mark.skipif(not densecorr.has_matcher(), reason="build without the matcher")


@pytest.fixture
def image(rng):
    grey = rng.random((24, 30))
    return np.dstack([grey, grey ** 2, 1 - grey]).astype(np.float32)


def test_describe_reads_any_layout_in_place(image):
    expect = densecorr.describe(image)
    assert expect.shape == (24, 30, 45) and expect.dtype == np.float32
    assert expect.flags.f_contiguous
    views = {
        "Fortran": np.asfortranarray(image),
        "channel-first": np.ascontiguousarray(image.transpose(2, 0, 1)).transpose(1, 2, 0),
        "RGBA": np.dstack([image, np.ones(image.shape[:2], np.float32)]),
        "big-endian": image.astype(">f4"),
        "float64": image.astype(np.float64),
    }
    for name, view in views.items():
        assert densecorr.describe(view).tobytes() == expect.tobytes(), name
    # Reversed and strided views read the same pixels as their copies.
    flipped = image[::-1, ::2]
    assert np.array_equal(densecorr.describe(flipped),
                          densecorr.describe(np.ascontiguousarray(flipped)))
    # The descriptor goes to the modules as it is.
    r = densecorr.cellcost(expect, expect, 2, 4, 2, 0.5)
    assert np.all(r.node_cost[r.shifts.tolist().index([0, 0])] == 0)


def test_describe_options_and_integer_images(image):
    d = densecorr.describe(image, n_orientations=4, grid_cells=2)
    assert d.shape == (24, 30, 16)
    grey8 = (image[:, :, 0] * 255).round().astype(np.uint8)
    grey16 = grey8.astype(np.uint16) * 257  # the same brightness on 16 bits
    assert np.array_equal(densecorr.describe(grey8), densecorr.describe(grey16))
    assert np.array_equal(densecorr.describe(grey8), densecorr.describe(grey8[:, :, None]))
    # NaN pixels read as 0, infinite ones keep the descriptor finite.
    holes, zeros = image.copy(), image.copy()
    holes[3, 4], zeros[3, 4] = np.nan, 0
    assert np.array_equal(densecorr.describe(holes), densecorr.describe(zeros))
    holes[5, 6] = (np.inf, -np.inf, np.inf)
    assert np.isfinite(densecorr.describe(holes)).all()
    defaults = densecorr.describe_defaults()
    assert defaults["n_orientations"] == 5 and set(defaults) <= set(densecorr.match_defaults())


def test_match_finds_a_shift(rng):
    base = rng.random((40, 50)).astype(np.float32)
    base = (base + np.roll(base, 1, 0) + np.roll(base, 1, 1)) / 3  # some texture scale
    moved = np.roll(base, (1, -4), axis=(0, 1))  # image 2 = image 1 moved by (-4, 1)
    r = densecorr.match(base, moved, search_radius=8)
    assert r.flow.shape == (40, 50, 2) and r.flow.dtype == np.float32
    assert r.valid.dtype == bool and r.cost.shape == (40, 50)
    inner = r.valid[5:-5, 5:-5]
    assert inner.mean() > 0.9
    assert np.allclose(r.flow[5:-5, 5:-5][inner], (-4, 1), atol=0.25)
    # The same bits from a C-ordered and a Fortran-ordered copy.
    again = densecorr.match(np.asfortranarray(base), moved, search_radius=(8, 8))
    assert again.flow.tobytes() == r.flow.tobytes()


def test_scratch_cache_release_and_the_next_call(rng):
    # 240 x 320 keeps large descriptor blocks in the cache after the call.
    image = (rng.random((240, 320)) * 255).astype(np.uint8)
    first = densecorr.match(image, np.roll(image, 2, axis=1), search_radius=4)
    assert densecorr.release_scratch_cache() > 0
    assert densecorr.release_scratch_cache() == 0
    again = densecorr.match(image, np.roll(image, 2, axis=1), search_radius=4)
    assert again.flow.tobytes() == first.flow.tobytes()


@pytest.mark.parametrize("call, error, words", [
    (lambda im: densecorr.describe(im.astype(bool)), TypeError, "uint8, uint16"),
    (lambda im: densecorr.describe(im.astype(np.int32)), TypeError, "uint8, uint16"),
    (lambda im: densecorr.describe(im[:, :, :2]), ValueError, "C = 1, 3 or 4"),
    (lambda im: densecorr.describe(im[None]), ValueError, "H x W"),
    (lambda im: densecorr.match(np.where(im > 0.5, np.nan, im), im), ValueError, "finite"),
    (lambda im: densecorr.describe(im, cell_size=0), ValueError, "cell_size"),
    (lambda im: densecorr.describe(im, cell_size="3"), TypeError, "integer"),
    (lambda im: densecorr.describe(im, flow_warps=1), TypeError, "unknown descriptor option"),
    (lambda im: densecorr.match(im, im[:0]), ValueError, "at least one pixel"),
    (lambda im: densecorr.match(im, im, search_radius=-2), ValueError, "negative"),
    (lambda im: densecorr.match(im, im, bp_iterations=-1), ValueError, "bp_iterations"),
    (lambda im: densecorr.match(im, im, median_radius=65), ValueError, "median_radius"),
    (lambda im: densecorr.match(im, im, snap_radius=32), ValueError, "snap_radius"),
    (lambda im: densecorr.match(im, im, flow_sigma=np.nan), ValueError, "NaN"),
    (lambda im: densecorr.match(im, im, grid_size=2**40), ValueError, "32-bit"),
    # (a step this large once crashed the process: the sample counts wrapped)
    (lambda im: densecorr.match(im, im, grid_size=2**31 - 1), ValueError,
     "grid_size must be a whole number from 0 to 16777216"),
    (lambda im: densecorr.match(im, im, flow_smoothness=1e38), ValueError,
     "flow_smoothness must lie from 0 to 1e+06"),
    (lambda im: densecorr.match(im, im, colour=1), TypeError, "unknown match option"),
])
def test_bad_images_and_options(image, call, error, words):
    with pytest.raises(error) as info:
        call(image)
    assert words in str(info.value)


def _host_help_options(name, indent):
    path = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "mex", name)
    if not os.path.exists(path):
        pytest.skip(f"{name} not in this tree")
    with open(path) as f:
        return set(re.findall(rf"^%{indent}([a-z_]+)  ", f.read(), re.M))


def test_options_are_those_of_the_host_modules():
    # Every option the host modules document is a keyword here, and no other:
    # a field added to the cores' option records shows up as a difference.
    host = _host_help_options("densematch.m", " {5}") | _host_help_options("densedesc.m", " {7}")
    host -= {"search_radius", "n_threads", "descriptor"}  # an argument, OMP_NUM_THREADS, flat
    assert host == set(densecorr.match_defaults())
    assert isinstance(densecorr.describe_defaults()["root_normalise"], bool)
    image = np.random.default_rng(3).random((12, 14))
    rooted = densecorr.describe(image, root_normalise=True)
    assert not np.array_equal(rooted, densecorr.describe(image, root_normalise=False))
    assert np.array_equal(rooted, densecorr.describe(image, root_normalise=1))
    with pytest.raises(ValueError, match="True, False, 0 or 1"):
        densecorr.describe(image, root_normalise=2)


_PAN = [[1.039012, -0.05073805, 111.9443], [0.05073805, 1.039012, 8.209694],
        [-5.353662e-4, -1.342932e-5, 0.9422148]]


def _building(cv2):
    from conftest import SAMPLE_DIR
    path = os.path.join(SAMPLE_DIR, "building.jpg")
    if not os.path.exists(path):
        pytest.skip(f"building.jpg not found in {SAMPLE_DIR} (Debian package opencv-doc)")
    photo = cv2.imread(path)
    h, w = round(photo.shape[0] * 320 / photo.shape[1]), 320
    return cv2.resize(photo, (w, h), interpolation=cv2.INTER_AREA)


def _apply(model, xs, ys):
    den = model[2, 0] * xs + model[2, 1] * ys + model[2, 2]
    return ((model[0, 0] * xs + model[0, 1] * ys + model[0, 2]) / den,
            (model[1, 0] * xs + model[1, 1] * ys + model[1, 2]) / den)


@pytest.mark.parametrize("model, options", [
    # Turned by 6 degrees, zoomed by 1.13, moved and tilted: most confirmed
    # matches agree on a motion one window off (0.30 within 3 px without the
    # images' word).
    ([[1.1259, -0.1201, 9.977], [0.1201, 1.1259, -44.59], [-6.331e-4, -3.879e-4, 1.0127]], {}),
    # Turned by 7 degrees, zoomed by 1.13, moved and tilted, up to 107 px
    # (beyond the search window): no motion has a majority (0.29).
    ([[1.1260, -0.1406, 50.55], [0.1406, 1.1260, -25.98], [-4.225e-4, -4.377e-4, 0.9949]], {}),
    # Panned by 112 px (beyond the search window), turned by 3 degrees,
    # zoomed by 1.04 and tilted: the second pass's matches right, the coarse
    # scales of their refinement took the facade a period off (0.38).
    (_PAN, {}),
])
def test_a_repeated_facade_follows_the_motion_the_rest_of_the_photo_shows(model, options):
    """A facade's rows of windows lend many confirmed matches to a motion off
    by whole windows; the trees beside it tell the true one."""
    cv2 = pytest.importorskip("cv2")
    image1 = _building(cv2)
    h, w = image1.shape[:2]
    model = np.array(model)
    image2 = cv2.warpPerspective(image1, model, (w, h), flags=cv2.INTER_CUBIC)
    ys, xs = np.mgrid[0:h, 0:w].astype(np.float64)
    tx, ty = _apply(model, xs, ys)
    inside = (tx >= 0) & (tx <= w - 1) & (ty >= 0) & (ty <= h - 1)
    r = densecorr.match(cv2.cvtColor(image1, cv2.COLOR_BGR2RGB),
                        cv2.cvtColor(image2, cv2.COLOR_BGR2RGB), **options)
    error = np.hypot(xs + r.flow[..., 0] - tx, ys + r.flow[..., 1] - ty)[inside]
    assert np.mean(error < 3) > 0.95


def test_a_wider_window_is_tried_where_the_first_ones_matches_crowd_its_edge():
    """The same facade panned by 112 px, rendered with the cubic kernel of
    a = -0.5 (the accuracy command's pans): with a less smooth refinement the
    80 px window confirms half the pixels a period short, at its edge, their
    median distance just below the clip. The wider window must be tried, and
    win on distances half as high though it confirms fewer."""
    cv2 = pytest.importorskip("cv2")
    image1 = _building(cv2).astype(np.float64)
    h, w = image1.shape[:2]
    model = np.array([[1.0390115170458702, -0.05073805339425103, 111.94434805821277],
                      [0.05073805339425103, 1.0390115170458702, 8.209694494146856],
                      [-0.000535366237432187, -1.3429319904191495e-05, 0.9422147703576079]])
    ys, xs = np.mgrid[0:h, 0:w].astype(np.float64)
    px, py = _apply(np.linalg.inv(model), xs, ys)
    x0, y0 = np.floor(px).astype(int), np.floor(py).astype(int)

    def taps(t):
        near = lambda s: 1.5 * s ** 3 - 2.5 * s ** 2 + 1
        far = lambda s: -0.5 * s ** 3 + 2.5 * s ** 2 - 4 * s + 2
        return far(1 + t), near(t), near(1 - t), far(2 - t)

    wx, wy = taps(px - x0), taps(py - y0)
    image2 = np.zeros_like(image1)
    for j in range(4):
        for i in range(4):
            image2 += (wy[j] * wx[i])[..., None] * image1[np.clip(y0 + j - 1, 0, h - 1),
                                                          np.clip(x0 + i - 1, 0, w - 1)]
    image2[~((px >= 0) & (px <= w - 1) & (py >= 0) & (py <= h - 1))] = 0
    image1 = image1.astype(np.uint8)
    image2 = np.clip(np.rint(image2), 0, 255).astype(np.uint8)
    tx, ty = _apply(model, xs, ys)
    inside = (tx >= 0) & (tx <= w - 1) & (ty >= 0) & (ty <= h - 1)
    r = densecorr.match(image1[..., ::-1], image2[..., ::-1], flow_smoothness=0.7)  # as RGB
    error = np.hypot(xs + r.flow[..., 0] - tx, ys + r.flow[..., 1] - ty)[inside]
    # Measured: 0.07 without the edge's word, 1.00 with it.
    assert np.mean(error < 3) > 0.95


def _sample_photos(names, width):
    """opencv-doc's photos (BGR) resized to `width` columns; skips the test
    where they are missing."""
    cv2 = pytest.importorskip("cv2")
    from conftest import SAMPLE_DIR
    images = []
    for name in names:
        path = os.path.join(SAMPLE_DIR, name)
        if not os.path.exists(path):
            pytest.skip(f"{name} not found in {SAMPLE_DIR} (Debian package opencv-doc)")
        photo = cv2.imread(path)
        h = round(photo.shape[0] * width / photo.shape[1])
        images.append(cv2.resize(photo, (width, h), interpolation=cv2.INTER_AREA))
    return images


def test_a_flat_background_does_not_vouch_for_a_wider_window():
    """Two renderings of a mirror-symmetric head with a flat background and
    little in common: the wider window's try pairs the backgrounds, which
    cost nothing and pass the check; it must not replace the first."""
    images = _sample_photos(("Blender_Suzanne1.jpg", "Blender_Suzanne2.jpg"), 320)
    r = densecorr.match(*[i[..., ::-1] for i in images])  # as RGB
    # Measured: 0.009 (0.257 with the backgrounds counted).
    assert r.valid.mean() < 0.05


def test_a_turned_view_above_the_working_size_tries_a_smoother_descriptor():
    """An aerial photo turned by 25 degrees, rendered at 640 px as the accuracy
    command's views: with 6 px cells and the 320 px pre-smoothing neither
    window confirms enough matches for the global motion (0.14 within 3 px
    without the third try); smoothed in proportion to the cells they agree."""
    pytest.importorskip("cv2")
    from conftest import SAMPLE_DIR
    if not os.path.exists(os.path.join(SAMPLE_DIR, "aero1.jpg")):
        pytest.skip(f"aero1.jpg not found in {SAMPLE_DIR} (Debian package opencv-doc)")
    eval_dir = os.path.join(os.path.dirname(__file__), "..", "..", "eval")
    sys.path.insert(0, os.path.abspath(eval_dir))
    try:
        import pairs as eval_pairs
    finally:
        sys.path.pop(0)
    pair = eval_pairs.load_pair("view_aero1", SAMPLE_DIR, 640)
    r = densecorr.match(pair.image1[..., ::-1], pair.image2[..., ::-1])  # as RGB
    error = np.hypot(r.flow[..., 0] - pair.gt_flow[..., 0], r.flow[..., 1] - pair.gt_flow[..., 1])
    assert np.mean(error[pair.gt_mask] < 3) > 0.95
    # A call that sets the cell size keeps its descriptor.
    fixed = densecorr.match(pair.image1[..., ::-1], pair.image2[..., ::-1], cell_size=6)
    assert not np.array_equal(fixed.flow, r.flow)


def test_a_real_pan_above_the_working_size_is_found_by_the_smoother_descriptor_in_the_wider_window():
    """leuvenA/leuvenB at 640 px: a camera panned by a third of the width
    and turned about its centre, a third of the view in common. The wider
    window confirms too few matches with the 320 px pre-smoothing; the
    smoother descriptor must get the wider window too."""
    cv2 = pytest.importorskip("cv2")
    images = _sample_photos(("leuvenA.jpg", "leuvenB.jpg"), 640)
    r = densecorr.match(*[i[..., ::-1] for i in images])  # as RGB
    grey = [cv2.cvtColor(i, cv2.COLOR_BGR2GRAY).astype(np.float32) for i in images]
    ys, xs = np.mgrid[:grey[0].shape[0], :grey[0].shape[1]].astype(np.float32)
    seen = cv2.remap(grey[1], xs + r.flow[..., 0], ys + r.flow[..., 1], cv2.INTER_LINEAR)
    # Measured: 9.5 % valid before, 22.5 % after; the valid pixels differ
    # from image 2 read through the field by 4.7 grey levels on average.
    assert r.valid.mean() > 0.15
    assert np.abs(seen - grey[0])[r.valid].mean() < 8
