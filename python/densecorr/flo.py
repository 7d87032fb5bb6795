"""Flow fields in the Middlebury .flo format (what cv2.readOpticalFlow reads).

Layout: the 4 bytes ``PIEH`` (the float 202021.25 little-endian), width and
height as little-endian int32, then height x width (dx, dy) pairs of
little-endian float32, row by row.
"""
from __future__ import annotations

import os
from typing import Union

import numpy as np

_TAG = b"PIEH"
PathLike = Union[str, "os.PathLike[str]"]


def write_flo(path: PathLike, flow: np.ndarray) -> None:
    """Write an H x W x 2 flow field, (dx, dy) per pixel.

    The file appears complete or not at all: it is written under a temporary
    name beside ``path`` and renamed.
    """
    flow = np.asarray(flow)
    if flow.ndim != 3 or flow.shape[2] != 2:
        raise ValueError(f"flow must be H x W x 2, got shape {flow.shape}")
    if flow.dtype.kind not in "fiu":
        raise TypeError(f"flow must be a real array, got dtype {flow.dtype}")
    height, width = flow.shape[:2]
    if not (0 < width < 2**31 and 0 < height < 2**31):
        raise ValueError(f"flow must have a positive size below 2^31, got {width} x {height}")
    data = np.ascontiguousarray(flow, dtype="<f4")
    tmp = f"{os.fspath(path)}.tmp-{os.getpid()}"
    try:
        with open(tmp, "wb") as f:
            f.write(_TAG)
            f.write(np.array([width, height], dtype="<i4").tobytes())
            f.write(data.tobytes())
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def read_flo(path: PathLike) -> np.ndarray:
    """Read a .flo file into a float32 H x W x 2 array; ValueError if it is not one."""
    with open(path, "rb") as f:
        header = f.read(12)
        if len(header) < 12 or header[:4] != _TAG:
            raise ValueError(f"{os.fspath(path)}: not a .flo file (bad header)")
        width, height = (int(v) for v in np.frombuffer(header[4:], dtype="<i4"))
        if width <= 0 or height <= 0:
            raise ValueError(f"{os.fspath(path)}: bad size {width} x {height}")
        expected = 2 * width * height
        # The size is checked against the file before anything is allocated:
        # a corrupt header must not make us allocate for a huge field.
        found = os.fstat(f.fileno()).st_size - 12
        if found != 4 * expected:
            raise ValueError(
                f"{os.fspath(path)}: {width} x {height} needs {4 * expected} bytes of data, "
                f"found {found}"
            )
        data = np.fromfile(f, dtype="<f4", count=expected)
    return data.astype(np.float32).reshape(height, width, 2)
