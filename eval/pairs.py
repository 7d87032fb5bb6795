"""Image pairs with ground-truth correspondence fields, at a working size.

Every pair is (image1, image2, gt_flow, gt_mask): colour uint8 images (H x W
x 3, BGR as OpenCV reads them), the true flow of image 1 (H x W x 2, float64:
pixel (x, y) of image 1 matches (x + u, y + v) of image 2, 0-based pixel
centres) and the pixels where it is known and lands inside image 2.
"""

import math
import os

import cv2
import numpy as np

DEFAULT_DATA = "/usr/share/doc/opencv-doc/examples/data"

# Photos the synthetic pairs are rendered from, each with its own seed.
SYNTHETIC_PHOTOS = ["building", "fruits", "baboon", "home", "board", "messi5"]

# Largest displacement of a synthetic pair, in pixels at a longer side of 320.
MAX_SYNTHETIC_SHIFT = 40.0
REFERENCE_SIDE = 320.0


class Pair:
    def __init__(self, name, kind, image1, image2, gt_flow, gt_mask):
        self.name = name
        self.kind = kind  # "stereo", "synthetic" or "viewpoint"
        self.image1 = image1
        self.image2 = image2
        self.gt_flow = gt_flow
        self.gt_mask = gt_mask


# A wider check of the synthetic case, not in the default run: seven other
# photos, each rendered with four seeds (base + the photo's index), named
# syn_<photo>_<seed>. The defaults were chosen before these pairs existed.
MORE_PHOTOS = ["apple", "butterfly", "orange", "starry_night", "squirrel_cls", "aero1", "leuvenA"]
MORE_SEED_BASES = [5000, 6000, 7000, 8000]


# Changes of viewpoint with exact ground truth, not in the default run: ten
# photos, each seen through a homography (a turn of up to 25 degrees, a zoom
# of 0.85 - 1.18, a shift of up to 6 % and a tilt), named view_<photo>; and
# the same photos panned by 25 - 40 % of their width (turns of up to 10
# degrees, zooms of 0.9 - 1.1, tilts), beyond the default search window,
# named pan_<photo>; and the same photos seen by a camera turned by 35 - 325
# degrees (zooms, shifts and tilts as the views'), named turn_<photo>; and
# seen zoomed by 1.5 - 2.2 or 1 / 2.2 - 1 / 1.5 and turned by any angle, named
# zoom_<photo>.
VIEW_PHOTOS = ["building", "fruits", "baboon", "home", "board", "messi5", "apple", "butterfly",
               "leuvenA", "aero1"]


# A second family of warps, on photos no other group uses, not in the
# default run: a random affine map about the centre (turns of up to 10
# degrees, zooms of 0.9 - 1.1, shears, shifts of up to 25 px) plus a random
# displacement field (white noise under a Gaussian of 15 - 45 px, 2 - 8 px
# high), all scaled down where something would move beyond
# MAX_SYNTHETIC_SHIFT; image 2 rendered by OpenCV's remap, bilinear for even
# seeds and bicubic for odd ones. Named field_<photo>_<seed>. None of the
# matcher's settings was chosen on them; photos with large flat areas
# (smarties, cards and pca_test1 on white) are among them on purpose.
FIELD_PHOTOS = ["aero3.jpg", "basketball1.png", "rubberwhale1.png", "stuff.jpg",
                "box_in_scene.png", "chicky_512.png", "licenseplate_motion.jpg",
                "ela_original.jpg", "smarties.png", "pca_test1.jpg", "cards.png", "left01.jpg"]
FIELD_SEED_BASE = 9700


# Rendered rectified stereo pairs, not in the default run: image 1 is the
# left view, its pixel (x, y) matches (x - d, y) of the right one, d > 0.
# slant_<photo>_<seed>: one smooth surface, its disparity a slope across the
# image plus four waves 60 - 200 px long and 1.5 - 5 px high (slopes up to
# about 0.5 px per px, as a ground plane seen from a car); the view photos.
# layers_<seed>: a slanted background and two to four elliptical layers in
# front of it, each a plane of its own textured by another photo, rendered
# with their occlusions (the pixels hidden in the right view have no ground
# truth). The stereo snap's edge_step was chosen on these seeds among
# others; slant_<photo>_<seed> and layers_<seed> with other seeds are unseen.
STEREO_SEED_BASE = 7700
LAYER_PHOTOS = ["building", "fruits", "baboon", "home", "board", "messi5", "apple", "butterfly",
                "orange", "starry_night", "aero1", "leuvenA"]


# Exposures, not in the default run: a synthetic pair whose image 2 was taken
# with another exposure or tone curve, then clipped to 8 bits as a camera
# does. The kind follows the seed: seed % 5 == 0 blown out (a gain of 1.4 -
# 2.5), 1 crushed (a gain of 0.5 - 0.8 and an offset of -0.1 to -0.25), 2
# both ends (a gain of 1.5 - 2.2 and an offset of -0.2 to -0.4), 3 a gamma
# of 1.6 - 2.4 (darker middle tones), 4 a gamma of 0.4 - 0.65 at 0.7 - 0.9
# of the light. The six synthetic photos and six of the more list, one seed
# each: expo_<photo>_<seed>.
EXPOSURE_PHOTOS = SYNTHETIC_PHOTOS + ["apple", "butterfly", "orange", "starry_night",
                                      "squirrel_cls", "leuvenA"]
EXPOSURE_SEED_BASE = 9900


def field_photo_names():
    return [os.path.splitext(f)[0] for f in FIELD_PHOTOS]


def pair_names():
    return ["aloe"] + ["syn_" + p for p in SYNTHETIC_PHOTOS] + ["graf"]


def more_pair_names():
    return ["syn_%s_%d" % (p, base + i) for base in MORE_SEED_BASES
            for i, p in enumerate(MORE_PHOTOS)]


def view_pair_names():
    return ["view_" + p for p in VIEW_PHOTOS]


def pan_pair_names():
    return ["pan_" + p for p in VIEW_PHOTOS]


def turn_pair_names():
    return ["turn_" + p for p in VIEW_PHOTOS]


def zoom_pair_names():
    return ["zoom_" + p for p in VIEW_PHOTOS]


def field_pair_names():
    return ["field_%s_%d" % (p, FIELD_SEED_BASE + i) for i, p in enumerate(field_photo_names())]


def exposure_pair_names():
    return ["expo_%s_%d" % (p, EXPOSURE_SEED_BASE + i) for i, p in enumerate(EXPOSURE_PHOTOS)]


def slant_pair_names():
    return ["slant_%s_%d" % (p, STEREO_SEED_BASE + i) for i, p in enumerate(VIEW_PHOTOS)]


def layer_pair_names():
    return ["layers_%d" % (STEREO_SEED_BASE + 100 + i) for i in range(10)]


def seeded_pair(name):
    """(kind, photo, seed) for a rendering with a seed of the caller's
    choice, syn_<photo>_<seed>, expo_<photo>_<seed> (any photo of the
    synthetic or more lists), view_<photo>_<seed>, pan_<photo>_<seed>,
    turn_<photo>_<seed>, zoom_<photo>_<seed>, slant_<photo>_<seed> (the view
    list's photos), field_<photo>_<seed> (the field list's photos) or
    layers_<seed> (photo None); None otherwise."""
    kind, _, rest = name.partition("_")
    if kind == "layers":
        return (kind, None, int(rest)) if rest.isdigit() else None
    photo, _, seed = rest.rpartition("_")
    photos = {"syn": SYNTHETIC_PHOTOS + MORE_PHOTOS, "expo": SYNTHETIC_PHOTOS + MORE_PHOTOS,
              "field": field_photo_names()}.get(kind, VIEW_PHOTOS)
    if kind not in ("syn", "expo", "view", "pan", "turn", "zoom", "field", "slant") or \
            photo not in photos or \
            not seed.isdigit():
        return None
    return kind, photo, int(seed)


def read_image(data_dir, file_name, flags=cv2.IMREAD_COLOR):
    path = os.path.join(data_dir, file_name)
    image = cv2.imread(path, flags)
    if image is None:
        raise FileNotFoundError(
            "cannot read %s (Debian package opencv-doc installs the sample images; "
            "or pass --data)" % path)
    return image


def working_shape(height, width, size):
    """(rows, columns) with the longer side `size` (0 or larger: unchanged)."""
    longer = max(height, width)
    if size <= 0 or size >= longer:
        return height, width
    scale = size / longer
    return max(1, int(round(height * scale))), max(1, int(round(width * scale)))


def resize(image, shape):
    """Anti-aliased resize to (rows, columns); a no-op at the same size."""
    if image.shape[:2] == tuple(shape):
        return image.copy()
    return cv2.resize(image, (shape[1], shape[0]), interpolation=cv2.INTER_AREA)


def pixel_scale_matrix(sx, sy):
    """Full-size pixel coordinates to working ones, pixel centres aligned:
    x_w = sx * (x + 0.5) - 0.5."""
    return np.array([[sx, 0.0, 0.5 * sx - 0.5], [0.0, sy, 0.5 * sy - 0.5], [0.0, 0.0, 1.0]])


def pixel_grid(height, width):
    ys, xs = np.mgrid[0:height, 0:width].astype(np.float64)
    return xs, ys


def inside(xs, ys, height, width):
    return (xs >= 0) & (xs <= width - 1) & (ys >= 0) & (ys <= height - 1)


# ---- the stereo pair ----

def stereo_pair(data_dir, size):
    left = read_image(data_dir, "aloeL.jpg")
    right = read_image(data_dir, "aloeR.jpg")
    disparity = read_image(data_dir, "aloeGT.png", cv2.IMREAD_UNCHANGED).astype(np.float64)
    h, w = left.shape[:2]
    shape = working_shape(h, w, size)
    sy, sx = shape[0] / h, shape[1] / w
    # Disparities are sampled, not averaged: a working pixel on a depth edge
    # takes one side's disparity instead of a value between the two.
    xs, ys = pixel_grid(*shape)
    src_x = np.clip(np.rint((xs + 0.5) / sx - 0.5), 0, w - 1).astype(int)
    src_y = np.clip(np.rint((ys + 0.5) / sy - 0.5), 0, h - 1).astype(int)
    d = disparity[src_y, src_x] * sx
    flow = np.zeros(shape + (2,))
    flow[..., 0] = -d
    mask = (disparity[src_y, src_x] > 0) & inside(xs - d, ys, *shape)
    return Pair("aloe", "stereo", resize(left, shape), resize(right, shape), flow, mask)


# ---- the viewpoint pair ----

def read_homography(path):
    storage = cv2.FileStorage(path, cv2.FILE_STORAGE_READ)
    if not storage.isOpened():
        raise FileNotFoundError("cannot read %s" % path)
    node = storage.getFirstTopLevelNode()
    matrix = node.mat()
    storage.release()
    return matrix.astype(np.float64)


def viewpoint_pair(data_dir, size):
    image1 = read_image(data_dir, "graf1.png")
    image2 = read_image(data_dir, "graf3.png")
    hom = read_homography(os.path.join(data_dir, "H1to3p.xml"))
    h, w = image1.shape[:2]
    shape = working_shape(h, w, size)
    scale = pixel_scale_matrix(shape[1] / w, shape[0] / h)
    hom = scale @ hom @ np.linalg.inv(scale)
    xs, ys = pixel_grid(*shape)
    den = hom[2, 0] * xs + hom[2, 1] * ys + hom[2, 2]
    tx = (hom[0, 0] * xs + hom[0, 1] * ys + hom[0, 2]) / den
    ty = (hom[1, 0] * xs + hom[1, 1] * ys + hom[1, 2]) / den
    flow = np.stack([tx - xs, ty - ys], axis=-1)
    mask = inside(tx, ty, *shape) & (den > 0)
    return Pair("graf", "viewpoint", resize(image1, shape), resize(image2, shape), flow, mask)


# ---- synthetic pairs ----

def turn_zoom_shear(angle, zoom, shear, aspect):
    """The linear part of a warp: a turn by `angle` (radians) after a zoom,
    a shear and a change of aspect."""
    rot = np.array([[math.cos(angle), -math.sin(angle)], [math.sin(angle), math.cos(angle)]])
    return rot @ np.array([[zoom, shear], [0.0, zoom * (1.0 + aspect)]])


class SmoothWarp:
    """p -> p + lam * G(p), with G(p) = c + A ((p - c) + D(p)) + t - p: an
    affine map about the image centre c composed with a smooth non-rigid
    field D (a sum of a few sinusoids), scaled by lam so that no pixel moves
    more than the largest shift."""

    def __init__(self, seed, height, width):
        rng = np.random.default_rng(seed)
        f = max(height, width) / REFERENCE_SIDE  # parameters are set at 320 px
        angle = math.radians(rng.uniform(-7.0, 7.0))
        zoom = rng.uniform(0.92, 1.08)
        aspect = rng.uniform(-0.04, 0.04)
        shear = rng.uniform(-0.05, 0.05)
        self.a = turn_zoom_shear(angle, zoom, shear, aspect)
        heading = rng.uniform(0.0, 2 * math.pi)
        self.t = rng.uniform(10.0, 25.0) * f * np.array([math.cos(heading), math.sin(heading)])
        self.c = np.array([(width - 1) / 2.0, (height - 1) / 2.0])
        # Four waves per axis, 60 to 200 px long, 1.5 to 4 px high: the
        # field's slope stays well below 1, so the warp is invertible.
        n = 4
        self.amp = rng.uniform(1.5, 4.0, (2, n)) * f
        lengths = rng.uniform(60.0, 200.0, (2, n)) * f
        directions = rng.uniform(0.0, 2 * math.pi, (2, n))
        self.kx = 2 * math.pi / lengths * np.cos(directions)
        self.ky = 2 * math.pi / lengths * np.sin(directions)
        self.phase = rng.uniform(0.0, 2 * math.pi, (2, n))
        self.lam = 1.0
        xs, ys = pixel_grid(height, width)
        gx, gy = self.g(xs, ys)
        largest = float(np.sqrt(gx ** 2 + gy ** 2).max())
        self.lam = min(1.0, MAX_SYNTHETIC_SHIFT * f / largest)

    def field(self, xs, ys):
        d = []
        for axis in range(2):
            total = np.zeros_like(xs)
            for k in range(self.amp.shape[1]):
                total += self.amp[axis, k] * np.sin(
                    self.kx[axis, k] * xs + self.ky[axis, k] * ys + self.phase[axis, k])
            d.append(total)
        return d

    def g(self, xs, ys):
        dx, dy = self.field(xs, ys)
        px = xs - self.c[0] + dx
        py = ys - self.c[1] + dy
        tx = self.c[0] + self.a[0, 0] * px + self.a[0, 1] * py + self.t[0]
        ty = self.c[1] + self.a[1, 0] * px + self.a[1, 1] * py + self.t[1]
        return tx - xs, ty - ys

    def forward(self, xs, ys):
        gx, gy = self.g(xs, ys)
        return xs + self.lam * gx, ys + self.lam * gy

    def inverse(self, qx, qy):
        """The p with forward(p) = q, by fixed-point iteration p = q - lam G(p)
        (a contraction: lam G has a slope well below 1)."""
        px, py = qx.copy(), qy.copy()
        for _ in range(100):
            gx, gy = self.g(px, py)
            nx, ny = qx - self.lam * gx, qy - self.lam * gy
            step = max(float(np.abs(nx - px).max()), float(np.abs(ny - py).max()))
            px, py = nx, ny
            if step < 1e-10:
                break
        fx, fy = self.forward(px, py)
        residual = max(float(np.abs(fx - qx).max()), float(np.abs(fy - qy).max()))
        if residual > 1e-6:
            raise RuntimeError("warp inversion did not converge (%g px)" % residual)
        return px, py


def cubic_weights(t):
    """Cubic convolution kernel (a = -0.5) at offsets -1, 0, 1, 2 from the
    sample left of t, for fractional parts t in [0, 1)."""
    a = -0.5
    def near(s):
        return (a + 2) * s ** 3 - (a + 3) * s ** 2 + 1
    def far(s):
        return a * s ** 3 - 5 * a * s ** 2 + 8 * a * s - 4 * a
    return [far(1 + t), near(t), near(1 - t), far(2 - t)]


def sample_bicubic(image, xs, ys):
    """image (H x W x C, float) at real positions; black outside the image,
    borders replicated for the taps of positions inside it."""
    h, w = image.shape[:2]
    x0 = np.floor(xs).astype(int)
    y0 = np.floor(ys).astype(int)
    wx = cubic_weights(xs - x0)
    wy = cubic_weights(ys - y0)
    out = np.zeros(xs.shape + (image.shape[2],))
    for j in range(4):
        rows = np.clip(y0 + j - 1, 0, h - 1)
        for i in range(4):
            cols = np.clip(x0 + i - 1, 0, w - 1)
            out += (wy[j] * wx[i])[..., None] * image[rows, cols]
    out[~inside(xs, ys, h, w)] = 0.0
    return out


def synthetic_pair(data_dir, size, photo, seed):
    source = read_image(data_dir, photo + ".jpg")
    shape = working_shape(source.shape[0], source.shape[1], size)
    image1 = resize(source, shape)
    warp = SmoothWarp(seed, *shape)
    xs, ys = pixel_grid(*shape)
    # Image 2 at q shows image 1 at the point that moves to q.
    px, py = warp.inverse(xs, ys)
    image2 = sample_bicubic(image1.astype(np.float64), px, py)
    image2 = np.clip(np.rint(image2), 0, 255).astype(np.uint8)
    tx, ty = warp.forward(xs, ys)
    flow = np.stack([tx - xs, ty - ys], axis=-1)
    mask = inside(tx, ty, *shape)
    return Pair("syn_" + photo, "synthetic", image1, image2, flow, mask)


def exposure_pair(data_dir, size, photo, seed):
    """A synthetic pair whose image 2 was taken with another exposure or
    tone curve and clipped (the kinds under EXPOSURE_PHOTOS); the same
    ground truth."""
    pair = synthetic_pair(data_dir, size, photo, seed)
    rng = np.random.default_rng(seed)
    kind = seed % 5
    gain, offset, gamma = 1.0, 0.0, 1.0
    if kind == 0:
        gain = rng.uniform(1.4, 2.5)
    elif kind == 1:
        gain, offset = rng.uniform(0.5, 0.8), -rng.uniform(0.1, 0.25)
    elif kind == 2:
        gain, offset = rng.uniform(1.5, 2.2), -rng.uniform(0.2, 0.4)
    elif kind == 3:
        gamma = rng.uniform(1.6, 2.4)
    else:
        gamma, gain = rng.uniform(0.4, 0.65), rng.uniform(0.7, 0.9)
    value = pair.image2.astype(np.float64) / 255.0
    exposed = np.clip(gain * value ** gamma + offset, 0.0, 1.0)
    pair.image2 = np.rint(255.0 * exposed).astype(np.uint8)
    return pair


def sample_bilinear(plane, xs, ys):
    """plane (H x W, float) at real positions, borders replicated."""
    h, w = plane.shape
    xs = np.clip(xs, 0.0, w - 1.0)
    ys = np.clip(ys, 0.0, h - 1.0)
    x0 = np.minimum(np.floor(xs).astype(int), w - 2) if w > 1 else np.zeros(xs.shape, int)
    y0 = np.minimum(np.floor(ys).astype(int), h - 2) if h > 1 else np.zeros(ys.shape, int)
    tx, ty = xs - x0, ys - y0
    x1, y1 = np.minimum(x0 + 1, w - 1), np.minimum(y0 + 1, h - 1)
    top = plane[y0, x0] * (1 - tx) + plane[y0, x1] * tx
    bottom = plane[y1, x0] * (1 - tx) + plane[y1, x1] * tx
    return top * (1 - ty) + bottom * ty


class NoiseWarp:
    """p -> c + A (p - c) + t + D(p): an affine map about the image centre c
    and a displacement field D, smoothed white noise sampled bilinearly
    (FIELD_PHOTOS gives the ranges)."""

    def __init__(self, seed, height, width):
        rng = np.random.default_rng(seed)
        f = max(height, width) / REFERENCE_SIDE
        angle = math.radians(rng.uniform(-10.0, 10.0))
        zoom = rng.uniform(0.9, 1.1)
        shear = rng.uniform(-0.08, 0.08)
        aspect = rng.uniform(-0.05, 0.05)
        self.a = turn_zoom_shear(angle, zoom, shear, aspect)
        self.t = rng.uniform(-25.0, 25.0, 2) * f
        self.c = np.array([(width - 1) / 2.0, (height - 1) / 2.0])
        sigma = rng.uniform(15.0, 45.0) * f
        amplitude = rng.uniform(2.0, 8.0) * f
        self.d = []
        for _ in range(2):
            smooth = cv2.GaussianBlur(rng.standard_normal((height, width)), (0, 0), sigma)
            self.d.append(smooth * (amplitude / max(float(np.abs(smooth).max()), 1e-12)))
        xs, ys = pixel_grid(height, width)
        tx, ty = self.forward(xs, ys)
        largest = float(np.hypot(tx - xs, ty - ys).max())
        if largest > MAX_SYNTHETIC_SHIFT * f:
            s = MAX_SYNTHETIC_SHIFT * f / largest
            self.a = np.eye(2) + s * (self.a - np.eye(2))
            self.t = s * self.t
            self.d = [s * d for d in self.d]

    def forward(self, xs, ys):
        px, py = xs - self.c[0], ys - self.c[1]
        tx = self.c[0] + self.a[0, 0] * px + self.a[0, 1] * py + self.t[0]
        ty = self.c[1] + self.a[1, 0] * px + self.a[1, 1] * py + self.t[1]
        return tx + sample_bilinear(self.d[0], xs, ys), ty + sample_bilinear(self.d[1], xs, ys)

    def inverse(self, qx, qy):
        """The p with forward(p) = q, by fixed-point iteration (the map's
        departure from the identity has a slope well below 1)."""
        px, py = qx.copy(), qy.copy()
        for _ in range(200):
            fx, fy = self.forward(px, py)
            px, py = px - (fx - qx), py - (fy - qy)
        fx, fy = self.forward(px, py)
        residual = max(float(np.abs(fx - qx).max()), float(np.abs(fy - qy).max()))
        if residual > 1e-6:
            raise RuntimeError("warp inversion did not converge (%g px)" % residual)
        return px, py


def field_pair(data_dir, size, photo, seed):
    file_name = FIELD_PHOTOS[field_photo_names().index(photo)]
    source = read_image(data_dir, file_name)
    shape = working_shape(source.shape[0], source.shape[1], size)
    image1 = resize(source, shape)
    warp = NoiseWarp(seed, *shape)
    xs, ys = pixel_grid(*shape)
    px, py = warp.inverse(xs, ys)
    interpolation = cv2.INTER_LINEAR if seed % 2 == 0 else cv2.INTER_CUBIC
    image2 = cv2.remap(image1, px.astype(np.float32), py.astype(np.float32), interpolation,
                       borderMode=cv2.BORDER_CONSTANT, borderValue=0)
    tx, ty = warp.forward(xs, ys)
    flow = np.stack([tx - xs, ty - ys], axis=-1)
    return Pair("field_%s_%d" % (photo, seed), "synthetic", image1, image2, flow,
                inside(tx, ty, *shape))


def homography_pair(data_dir, size, photo, seed, pan=False, turned=False, zoomed=False):
    """Image 2: image 1 seen through a random homography about its centre
    (fixed seed), rendered like the synthetic pairs (bicubic, black outside);
    pan: a smaller turn and zoom, and a shift of 25 - 40 % of the width;
    turned: a turn of 35 - 325 degrees, beyond what a descriptor of
    image-aligned orientations tolerates; zoomed: a zoom of 1.5 - 2.2 or its
    inverse and a turn of any angle."""
    source = read_image(data_dir, photo + ".jpg")
    shape = working_shape(source.shape[0], source.shape[1], size)
    image1 = resize(source, shape)
    h, w = shape
    rng = np.random.RandomState(seed)
    angle = np.deg2rad(rng.uniform(-10.0, 10.0) if pan else rng.uniform(-25.0, 25.0))
    if turned:
        angle = np.deg2rad(35.0) + (angle + np.deg2rad(25.0)) * (290.0 / 50.0)
    zoom = rng.uniform(0.9, 1.1) if pan else rng.uniform(0.85, 1.18)
    if zoomed:
        angle = angle * (180.0 / 25.0)
        zoom = np.exp(np.log(1.5) + (zoom - 0.85) / (1.18 - 0.85) * np.log(2.2 / 1.5))
        if rng.uniform() < 0.5:
            zoom = 1.0 / zoom
    centre = np.array([w / 2.0, h / 2.0])
    turn = zoom * np.array([[np.cos(angle), -np.sin(angle)], [np.sin(angle), np.cos(angle)]])
    hom = np.eye(3)
    hom[:2, :2] = turn
    if pan:
        shift = [rng.uniform(0.25, 0.40) * w * rng.choice([-1, 1]), rng.uniform(-0.1, 0.1) * h]
    else:
        shift = rng.uniform(-0.06, 0.06, 2) * [w, h]
    hom[:2, 2] = centre - turn @ centre + shift
    tilt = np.eye(3)
    tilt[2, :2] = rng.uniform(-0.2, 0.2, 2) / np.array([w, h])
    hom = tilt @ hom
    xs, ys = pixel_grid(*shape)

    def apply(m, x, y):
        den = m[2, 0] * x + m[2, 1] * y + m[2, 2]
        return (m[0, 0] * x + m[0, 1] * y + m[0, 2]) / den, (m[1, 0] * x + m[1, 1] * y + m[1, 2]) / den

    px, py = apply(np.linalg.inv(hom), xs, ys)
    image2 = sample_bicubic(image1.astype(np.float64), px, py)
    image2 = np.clip(np.rint(image2), 0, 255).astype(np.uint8)
    tx, ty = apply(hom, xs, ys)
    flow = np.stack([tx - xs, ty - ys], axis=-1)
    name = ("pan_" if pan else "turn_" if turned else "zoom_" if zoomed else "view_") + photo
    return Pair(name, "viewpoint", image1, image2, flow, inside(tx, ty, *shape))


# ---- rendered stereo pairs ----

def right_view(disparity_at, width, xs, ys, iterations=100):
    """For each right-view pixel (xs, ys), the left-view column x with
    x - d(x, y) = xs, by fixed-point iteration x = xs + d(x, y) (a
    contraction where the disparity's slope along the rows is below 1)."""
    px = xs + disparity_at(xs, ys)
    for _ in range(iterations):
        nx = xs + disparity_at(px, ys)
        step = float(np.abs(nx - px).max()) if nx.size else 0.0
        px = nx
        if step < 1e-9:
            break
    return px


def slant_pair(data_dir, size, photo, seed):
    source = read_image(data_dir, photo + ".jpg")
    shape = working_shape(source.shape[0], source.shape[1], size)
    image1 = resize(source, shape)
    h, w = shape
    f = max(h, w) / REFERENCE_SIDE
    rng = np.random.default_rng(seed)
    base = rng.uniform(12.0, 28.0) * f
    gx, gy = rng.uniform(-0.06, 0.06, 2)
    waves = [(rng.uniform(1.5, 5.0) * f, 2 * math.pi / (rng.uniform(60.0, 200.0) * f),
              rng.uniform(0.0, 2 * math.pi), rng.uniform(0.0, 2 * math.pi)) for _ in range(4)]

    def disparity(x, y):
        d = base + gx * (x - w / 2.0) + gy * (y - h / 2.0)
        for amp, k, heading, phase in waves:
            d = d + amp * np.sin(k * (math.cos(heading) * x + math.sin(heading) * y) + phase)
        return d

    xs, ys = pixel_grid(h, w)
    px = right_view(disparity, w, xs, ys)
    image2 = sample_bicubic(image1.astype(np.float64), px, ys)
    image2 = np.clip(np.rint(image2), 0, 255).astype(np.uint8)
    d = disparity(xs, ys)
    flow = np.stack([-d, np.zeros_like(d)], axis=-1)
    return Pair("slant_%s_%d" % (photo, seed), "stereo", image1, image2, flow,
                inside(xs - d, ys, h, w))


def layers_pair(data_dir, size, seed):
    size = size if size > 0 else int(REFERENCE_SIDE)
    h, w = int(round(0.75 * size)), size
    f = w / REFERENCE_SIDE
    rng = np.random.default_rng(seed)
    photos = [LAYER_PHOTOS[i] for i in rng.permutation(len(LAYER_PHOTOS))[:5]]
    xs, ys = pixel_grid(h, w)
    # (texture, ellipse or None, plane (d0, gx, gy)), the background first;
    # each layer at least 3 px in front of the one before.
    layers = []
    d0 = rng.uniform(6.0, 12.0) * f
    for k in range(int(rng.integers(3, 6))):
        texture = resize(read_image(data_dir, photos[k] + ".jpg"), (h, w)).astype(np.float64)
        slopes = rng.uniform(-0.03, 0.03, 2)
        ellipse = None
        if k > 0:
            rx, ry = rng.uniform(25.0, 70.0, 2) * f
            ellipse = (rng.uniform(30.0 * f, w - 30.0 * f), rng.uniform(30.0 * f, h - 30.0 * f),
                       rx, ry, rng.uniform(0.0, math.pi))
            d0 += rng.uniform(3.0, 10.0) * f
        layers.append((texture, ellipse, (d0, slopes[0], slopes[1])))

    def covers(ellipse, x, y):
        if ellipse is None:
            return np.ones(np.shape(x), bool)
        cx, cy, rx, ry, turn = ellipse
        u = (x - cx) * math.cos(turn) + (y - cy) * math.sin(turn)
        v = -(x - cx) * math.sin(turn) + (y - cy) * math.cos(turn)
        return (u / rx) ** 2 + (v / ry) ** 2 <= 1.0

    def plane(p):
        return lambda x, y: p[0] + p[1] * (x - w / 2.0) + p[2] * (y - h / 2.0)

    image1 = np.zeros((h, w, 3))
    image2 = np.zeros((h, w, 3))
    d = np.zeros((h, w))
    owner = np.zeros((h, w), int)
    for i, (texture, ellipse, p) in enumerate(layers):
        here = covers(ellipse, xs, ys)
        image1[here] = texture[here]
        d[here] = plane(p)(xs, ys)[here]
        owner[here] = i
        # The right view's pixels whose left-view point lies on this layer.
        px = right_view(plane(p), w, xs, ys)
        seen = covers(ellipse, px, ys) & (px >= 0) & (px <= w - 1)
        image2[seen] = sample_bicubic(texture, px, ys)[seen]
    tx = xs - d
    mask = inside(tx, ys, h, w)
    for i in range(len(layers)):
        for texture, ellipse, p in layers[i + 1:]:
            # Hidden: a layer in front covers this pixel's point in the right view.
            mask &= ~((owner == i) & covers(ellipse, right_view(plane(p), w, tx, ys), ys))
    flow = np.stack([-d, np.zeros_like(d)], axis=-1)
    return Pair("layers_%d" % seed, "stereo", np.clip(np.rint(image1), 0, 255).astype(np.uint8),
                np.clip(np.rint(image2), 0, 255).astype(np.uint8), flow, mask)


def load_pair(name, data_dir, size):
    if name == "aloe":
        return stereo_pair(data_dir, size)
    if name == "graf":
        return viewpoint_pair(data_dir, size)
    if name.startswith("syn_") and name[4:] in SYNTHETIC_PHOTOS:
        photo = name[4:]
        return synthetic_pair(data_dir, size, photo, 1000 + SYNTHETIC_PHOTOS.index(photo))
    if name.startswith("view_") and name[5:] in VIEW_PHOTOS:
        photo = name[5:]
        return homography_pair(data_dir, size, photo, 9100 + VIEW_PHOTOS.index(photo))
    if name.startswith("pan_") and name[4:] in VIEW_PHOTOS:
        photo = name[4:]
        return homography_pair(data_dir, size, photo, 9500 + VIEW_PHOTOS.index(photo), pan=True)
    if name.startswith("turn_") and name[5:] in VIEW_PHOTOS:
        photo = name[5:]
        return homography_pair(data_dir, size, photo, 9300 + VIEW_PHOTOS.index(photo),
                               turned=True)
    if name.startswith("zoom_") and name[5:] in VIEW_PHOTOS:
        photo = name[5:]
        return homography_pair(data_dir, size, photo, 9400 + VIEW_PHOTOS.index(photo),
                               zoomed=True)
    seeded = seeded_pair(name)
    if seeded is not None:
        kind, photo, seed = seeded
        if kind == "syn":
            pair = synthetic_pair(data_dir, size, photo, seed)
        elif kind == "expo":
            pair = exposure_pair(data_dir, size, photo, seed)
        elif kind == "field":
            pair = field_pair(data_dir, size, photo, seed)
        elif kind == "slant":
            pair = slant_pair(data_dir, size, photo, seed)
        elif kind == "layers":
            pair = layers_pair(data_dir, size, seed)
        else:
            pair = homography_pair(data_dir, size, photo, seed, pan=(kind == "pan"),
                                   turned=(kind == "turn"), zoomed=(kind == "zoom"))
        pair.name = name
        return pair
    raise ValueError("unknown pair %r (known: %s)" % (name, ", ".join(pair_names())))
