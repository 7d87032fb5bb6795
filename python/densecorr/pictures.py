"""Reading images and writing a match's results: the .flo field, the valid
mask and the pictures (flow colours, image 2 warped into image 1's frame,
overlay). Uses OpenCV (Debian's python3-opencv) for image files.
"""
from __future__ import annotations

import json
import os
import time
from typing import Any, Dict, Optional

import numpy as np

from .flo import write_flo


def _cv2():
    try:
        import cv2
    except ImportError as e:  # pragma: no cover - depends on the system
        raise ImportError("reading and writing images needs OpenCV (python3-opencv)") from e
    return cv2


def read_image(path: str, max_side: Optional[int] = None) -> np.ndarray:
    """An image file as RGB (H x W x 3) or grey (H x W), 8 or 16 bits as stored.

    With ``max_side``, an image whose longer side is larger is scaled down to
    it (area averaging, aspect ratio kept). Raises ValueError for a file that
    is missing or that OpenCV cannot decode.
    """
    cv2 = _cv2()
    if not os.path.isfile(path):
        raise ValueError(f"no such image file: {path}")
    # ANYDEPTH keeps 16-bit images; ANYCOLOR keeps grey images grey.
    image = cv2.imread(path, cv2.IMREAD_ANYDEPTH | cv2.IMREAD_ANYCOLOR)
    if image is None or image.size == 0:
        raise ValueError(f"cannot read image: {path}")
    if image.ndim == 3:
        image = cv2.cvtColor(image, cv2.COLOR_BGR2RGB)
    if max_side is not None and max(image.shape[:2]) > max_side:
        scale = max_side / max(image.shape[:2])
        size = (max(1, round(image.shape[1] * scale)), max(1, round(image.shape[0] * scale)))
        image = cv2.resize(image, size, interpolation=cv2.INTER_AREA)
    return image


def to_rgb8(image: np.ndarray) -> np.ndarray:
    """An image as 8-bit RGB for pictures."""
    image = np.asarray(image)
    if image.dtype == np.uint8:
        out = image
    elif image.dtype == np.uint16:
        out = (image.astype(np.float32) / 257.0 + 0.5).astype(np.uint8)
    else:
        out = (np.clip(image.astype(np.float32), 0.0, 1.0) * 255.0 + 0.5).astype(np.uint8)
    if out.ndim == 3 and out.shape[2] == 4:
        out = out[:, :, :3]
    if out.ndim == 2 or out.shape[2] == 1:
        out = np.repeat(out.reshape(out.shape[0], out.shape[1], 1), 3, axis=2)
    return np.ascontiguousarray(out)


def flow_to_color(flow: np.ndarray, valid: Optional[np.ndarray] = None) -> np.ndarray:
    """Colour-coded field, 8-bit RGB: hue = direction (red right, yellow-green
    down, cyan left, violet up), saturation = length relative to the longest
    valid vector, white = no motion, black = not valid."""
    cv2 = _cv2()
    flow = np.asarray(flow, dtype=np.float32)
    dx, dy = flow[:, :, 0], flow[:, :, 1]
    ok = np.isfinite(dx) & np.isfinite(dy)
    if valid is not None:
        ok &= np.asarray(valid, dtype=bool)
    length = np.hypot(dx, dy)
    longest = float(length[ok].max()) if ok.any() else 0.0
    hsv = np.empty(flow.shape[:2] + (3,), np.float32)
    hsv[:, :, 0] = np.mod(np.degrees(np.arctan2(dy, dx)), 360.0)
    hsv[:, :, 1] = np.clip(length / longest, 0.0, 1.0) if longest > 0 else 0.0
    hsv[:, :, 2] = 1.0
    hsv[~ok] = 0.0
    rgb = cv2.cvtColor(hsv, cv2.COLOR_HSV2RGB)
    return (np.clip(rgb, 0.0, 1.0) * 255.0 + 0.5).astype(np.uint8)


def warp_image(image2: np.ndarray, flow: np.ndarray) -> np.ndarray:
    """Image 2 pulled into image 1's frame along the field (bilinear), black
    where the field leaves image 2; 8-bit RGB."""
    cv2 = _cv2()
    h, w = flow.shape[:2]
    xs, ys = np.meshgrid(np.arange(w, dtype=np.float32), np.arange(h, dtype=np.float32))
    map_x = xs + np.nan_to_num(flow[:, :, 0], nan=-1e6)
    map_y = ys + np.nan_to_num(flow[:, :, 1], nan=-1e6)
    return cv2.remap(to_rgb8(image2), map_x, map_y, cv2.INTER_LINEAR,
                     borderMode=cv2.BORDER_CONSTANT, borderValue=(0, 0, 0))


def overlay(image1: np.ndarray, warped: np.ndarray) -> np.ndarray:
    """Image 1 in red, the warped image 2 in cyan: grey where they agree."""
    cv2 = _cv2()
    grey1 = cv2.cvtColor(to_rgb8(image1), cv2.COLOR_RGB2GRAY)
    grey2 = cv2.cvtColor(to_rgb8(warped), cv2.COLOR_RGB2GRAY)
    return np.dstack([grey1, grey2, grey2])


# What a finished match leaves in its folder.
OUTPUT_FILES = ("flow.flo", "valid.png", "flow.png", "warped.png", "overlay.png", "info.json")


def _write_bytes(path: str, data: bytes) -> None:
    tmp = f"{path}.tmp-{os.getpid()}"
    try:
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def _write_png(path: str, rgb_or_grey: np.ndarray) -> None:
    cv2 = _cv2()
    image = rgb_or_grey
    if image.ndim == 3:
        image = cv2.cvtColor(image, cv2.COLOR_RGB2BGR)
    ok, encoded = cv2.imencode(".png", image)
    if not ok:
        raise OSError(f"cannot encode {path}")
    _write_bytes(path, encoded.tobytes())


def write_match_outputs(folder: str, image1: np.ndarray, image2: np.ndarray, result: Any,
                        info: Optional[Dict[str, Any]] = None) -> None:
    """Write the field, the mask and the pictures of one match into ``folder``.

    Each file is written under a temporary name and renamed, so a file that
    exists is complete.
    """
    os.makedirs(folder, exist_ok=True)
    write_flo(os.path.join(folder, "flow.flo"), result.flow)
    _write_png(os.path.join(folder, "valid.png"), result.valid.astype(np.uint8) * 255)
    _write_png(os.path.join(folder, "flow.png"), flow_to_color(result.flow, result.valid))
    warped = warp_image(image2, result.flow)
    _write_png(os.path.join(folder, "warped.png"), warped)
    _write_png(os.path.join(folder, "overlay.png"), overlay(image1, warped))
    summary = dict(info or {})
    summary.update(height=int(result.flow.shape[0]), width=int(result.flow.shape[1]),
                   valid_fraction=float(result.valid.mean()) if result.valid.size else 0.0)
    _write_bytes(os.path.join(folder, "info.json"),
                 (json.dumps(summary, indent=2, sort_keys=True) + "\n").encode())


def match_files(image1: str, image2: str, folder: str, settings: Dict[str, Any]) -> float:
    """Read two image files, match them and write every output into ``folder``.

    ``settings``: ``max_side`` (scale the images down to it first; None = as
    they are), ``search_radius`` (None, an int or a pair) and ``options`` (the
    matcher's keyword options). Returns the fraction of valid pixels.
    """
    from ._api import match

    max_side = settings.get("max_side")
    im1 = read_image(image1, max_side)
    im2 = read_image(image2, max_side)
    start = time.monotonic()
    result = match(im1, im2, search_radius=settings.get("search_radius"),
                   **settings.get("options", {}))
    seconds = time.monotonic() - start
    info = {"image1": os.path.abspath(image1), "image2": os.path.abspath(image2),
            "image1_size": list(im1.shape[:2]), "image2_size": list(im2.shape[:2]),
            "match_seconds": round(seconds, 3), "search_radius": settings.get("search_radius"),
            "options": settings.get("options", {})}
    write_match_outputs(folder, im1, im2, result, info)
    return float(result.valid.mean()) if result.valid.size else 0.0
