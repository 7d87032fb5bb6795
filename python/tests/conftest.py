"""Shared fixtures: the repository's sample photo pair, small random descriptors."""
import os

import numpy as np
import pytest

SAMPLE_DIR = "/usr/share/doc/opencv-doc/examples/data"


@pytest.fixture
def rng():
    return np.random.default_rng(12345)


def sample_pair_paths():
    left, right = (os.path.join(SAMPLE_DIR, n) for n in ("aloeL.jpg", "aloeR.jpg"))
    if not (os.path.exists(left) and os.path.exists(right)):
        pytest.skip(f"sample pair aloeL.jpg/aloeR.jpg not found in {SAMPLE_DIR} "
                    "(Debian package opencv-doc)")
    return left, right


@pytest.fixture(scope="session")
def small_pair(tmp_path_factory):
    """aloeL/aloeR scaled to 64 px wide, written as PNG: (path1, path2, rgb1, rgb2)."""
    cv2 = pytest.importorskip("cv2")
    folder = tmp_path_factory.mktemp("pair")
    paths, images = [], []
    for name, src in zip(("left.png", "right.png"), sample_pair_paths()):
        bgr = cv2.imread(src, cv2.IMREAD_COLOR)
        h, w = bgr.shape[:2]
        small = cv2.resize(bgr, (64, round(h * 64 / w)), interpolation=cv2.INTER_AREA)
        path = str(folder / name)
        cv2.imwrite(path, small)
        paths.append(path)
        images.append(cv2.cvtColor(small, cv2.COLOR_BGR2RGB))
    return paths[0], paths[1], images[0], images[1]
