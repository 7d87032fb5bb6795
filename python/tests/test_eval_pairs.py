"""The accuracy command's rendered pairs: their ground truth must describe image 2."""
import os
import sys

import numpy as np
import pytest

from conftest import SAMPLE_DIR

cv2 = pytest.importorskip("cv2")
EVAL_DIR = os.path.join(os.path.dirname(__file__), "..", "..", "eval")


@pytest.fixture(scope="module")
def pairs():
    sys.path.insert(0, os.path.abspath(EVAL_DIR))
    try:
        import pairs as eval_pairs
    finally:
        sys.path.pop(0)
    return eval_pairs


def photo_or_skip(name):
    if not os.path.exists(os.path.join(SAMPLE_DIR, name)):
        pytest.skip(f"{name} not found in {SAMPLE_DIR} (Debian package opencv-doc)")


@pytest.mark.parametrize("name", ["field_stuff_9700", "field_aero3_9701", "syn_fruits_77"])
def test_ground_truth_lays_image1_onto_image2(pairs, name):
    kind, photo, seed = pairs.seeded_pair(name)
    photo_or_skip(pairs.FIELD_PHOTOS[pairs.field_photo_names().index(photo)]
                  if kind == "field" else photo + ".jpg")
    pair = pairs.load_pair(name, SAMPLE_DIR, 160)
    assert pair.name == name
    expect_truth_lays_image1_onto_image2(pairs, pair)
    assert np.abs(pair.gt_flow).max() <= pairs.MAX_SYNTHETIC_SHIFT * 160 / 320 + 1e-9


def expect_truth_lays_image1_onto_image2(pairs, pair, overlap=0.6):
    assert pair.image1.shape == pair.image2.shape
    h, w = pair.gt_mask.shape
    xs, ys = pairs.pixel_grid(h, w)
    tx, ty = xs + pair.gt_flow[..., 0], ys + pair.gt_flow[..., 1]
    # Image 2 read where the truth sends each pixel shows image 1 again,
    # up to the renderer's smoothing; a truth off by a pixel would not.
    back = cv2.remap(pair.image2, tx.astype(np.float32), ty.astype(np.float32), cv2.INTER_LINEAR)
    inner = pair.gt_mask & (tx > 2) & (tx < w - 3) & (ty > 2) & (ty < h - 3)
    assert inner.mean() > overlap
    diff = np.abs(back.astype(float) - pair.image1.astype(float)).mean(axis=2)[inner]
    shifted = np.abs(np.roll(back, 1, axis=1).astype(float) -
                     pair.image1.astype(float)).mean(axis=2)[inner]
    assert diff.mean() < 0.5 * shifted.mean()


@pytest.mark.parametrize("name", ["turn_home", "turn_apple_12001", "zoom_board", "zoom_home"])
def test_turned_and_zoomed_views_are_so(pairs, name):
    photo_or_skip(name.split("_")[1] + ".jpg")
    pair = pairs.load_pair(name, SAMPLE_DIR, 160)
    assert pair.name == name
    # (A turned or zoomed view keeps less of image 1 inside image 2.)
    expect_truth_lays_image1_onto_image2(pairs, pair, overlap=0.15)
    # The turn and zoom, from how the truth carries a horizontal step at
    # the centre (the tilt moves the zoom there a little).
    h, w = pair.gt_mask.shape
    x, y = w // 2, h // 2
    step = pair.gt_flow[y, x + 1] + [1.0, 0.0] - pair.gt_flow[y, x]
    angle = np.degrees(np.arctan2(step[1], step[0])) % 360.0
    zoom = np.hypot(*step)
    if name.startswith("turn_"):
        assert 30.0 < angle < 330.0
    else:
        assert zoom > 1.4 or zoom < 1.0 / 1.3


@pytest.mark.parametrize("name", ["slant_home_7703", "layers_7801"])
def test_stereo_renders_are_rectified_with_their_occlusions(pairs, name):
    for photo in pairs.LAYER_PHOTOS:
        photo_or_skip(photo + ".jpg")
    pair = pairs.load_pair(name, SAMPLE_DIR, 160)
    assert pair.name == name and pair.kind == "stereo"
    expect_truth_lays_image1_onto_image2(pairs, pair)
    assert np.all(pair.gt_flow[..., 1] == 0) and np.all(pair.gt_flow[..., 0] < 0)
    # The layers hide some background in the right view: pixels whose
    # match lies inside image 2 but that have no truth.
    h, w = pair.gt_mask.shape
    xs = pairs.pixel_grid(h, w)[0] + pair.gt_flow[..., 0]
    hidden = (~pair.gt_mask & (xs >= 0)).sum()
    assert (hidden > 0) == name.startswith("layers")


def test_field_warps_are_fixed_by_their_seed(pairs):
    photo_or_skip("stuff.jpg")
    a = pairs.load_pair("field_stuff_9703", SAMPLE_DIR, 96)
    b = pairs.load_pair("field_stuff_9703", SAMPLE_DIR, 96)
    c = pairs.load_pair("field_stuff_9704", SAMPLE_DIR, 96)
    assert np.array_equal(a.image2, b.image2) and np.array_equal(a.gt_flow, b.gt_flow)
    assert not np.allclose(a.gt_flow, c.gt_flow)
    assert pairs.seeded_pair("field_baboon_1") is None  # not one of the field photos


@pytest.mark.parametrize("seed, blown, crushed", [(9900, True, False), (9901, False, True),
                                                  (9902, True, True)])
def test_exposure_pairs_clip_image2_of_the_synthetic_pair(pairs, seed, blown, crushed):
    photo_or_skip("baboon.jpg")
    name = "expo_baboon_%d" % seed
    pair = pairs.load_pair(name, SAMPLE_DIR, 160)
    plain = pairs.load_pair("syn_baboon_%d" % seed, SAMPLE_DIR, 160)
    assert pair.name == name
    assert np.array_equal(pair.image1, plain.image1) and np.array_equal(pair.gt_flow, plain.gt_flow)
    # Image 2's values through one increasing map, clipped at the ends the
    # kind says (the black outside the warp aside).
    inside = plain.image2 > 0
    two, one = pair.image2[inside].astype(float), plain.image2[inside].astype(float)
    order = np.argsort(one, kind="stable")
    assert np.all(np.diff(two[order]) >= -1.0)
    assert (np.mean(two == 255) > 0.02) == blown
    assert (np.mean(two == 0) > 0.02) == crushed
