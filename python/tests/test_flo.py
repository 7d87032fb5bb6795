"""The .flo writer and reader against OpenCV's, and their refusal of bad files."""
import numpy as np
import pytest

import densecorr

cv2 = pytest.importorskip("cv2")


def test_round_trip_through_opencv(tmp_path, rng):
    flow = rng.normal(scale=20, size=(7, 11, 2)).astype(np.float32)
    flow[0, 0] = (np.inf, -0.0)
    path = str(tmp_path / "a.flo")
    densecorr.write_flo(path, flow)
    back = cv2.readOpticalFlow(path)
    assert back.shape == (7, 11, 2) and back.tobytes() == flow.tobytes()
    # A view of another layout is written by its values.
    densecorr.write_flo(path, np.asfortranarray(flow)[:, ::-1])
    assert np.array_equal(cv2.readOpticalFlow(path), flow[:, ::-1])
    cv2.writeOpticalFlow(str(tmp_path / "b.flo"), flow)
    assert densecorr.read_flo(str(tmp_path / "b.flo")).tobytes() == flow.tobytes()


def test_bad_files_and_fields_are_refused(tmp_path):
    good = tmp_path / "good.flo"
    densecorr.write_flo(str(good), np.zeros((3, 4, 2), np.float32))
    data = good.read_bytes()
    cases = {
        "short.flo": data[:-4],
        "long.flo": data + b"\0\0\0\0",
        "tag.flo": b"XXXX" + data[4:],
        "header.flo": data[:7],
        # 2^31-1 x 2^31-1 promised by a 12-byte file: refused before any allocation.
        "huge.flo": data[:4] + np.array([2**31 - 1] * 2, "<i4").tobytes(),
        "negative.flo": data[:4] + np.array([-3, 4], "<i4").tobytes() + data[12:],
    }
    for name, content in cases.items():
        (tmp_path / name).write_bytes(content)
        with pytest.raises(ValueError):
            densecorr.read_flo(str(tmp_path / name))
    with pytest.raises(ValueError, match="H x W x 2"):
        densecorr.write_flo(str(tmp_path / "x.flo"), np.zeros((3, 4, 3), np.float32))
    with pytest.raises(ValueError, match="positive size"):
        densecorr.write_flo(str(tmp_path / "x.flo"), np.zeros((0, 4, 2), np.float32))
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["good.flo", *cases])
