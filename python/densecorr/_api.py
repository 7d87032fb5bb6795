"""The numpy API: descriptors, the two correspondence modules and the matcher.

Every function converts its arguments into the exact forms the extension
checks (float32 descriptors in Fortran order, native-order images, plain ints
and floats) and copies an array only when its dtype or memory order differs
from what the core reads. The core runs with the GIL released; Ctrl-C (any
signal handler that raises) stops it within milliseconds.
"""
from __future__ import annotations

import numbers
import operator
from typing import Any, Dict, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from . import _core

__all__ = [
    "CellCost",
    "DenseDisp",
    "Match",
    "cellcost",
    "densedisp",
    "describe",
    "match",
    "describe_defaults",
    "match_defaults",
    "has_matcher",
]

Radius = Union[int, Sequence[int]]


class CellCost(NamedTuple):
    """Result of :func:`cellcost`."""

    node_cost: np.ndarray  #: float32, n_shift x n_cell
    shifts: np.ndarray  #: int32, n_shift x 2, row k = (dx, dy)
    grid: np.ndarray  #: int32, (n_shift_x, n_shift_y)


class DenseDisp(NamedTuple):
    """Result of :func:`densedisp`."""

    disparity: np.ndarray  #: int32, H1 x W1 x 2, (dx, dy) per pixel
    best_cost: np.ndarray  #: float32, H1 x W1


class Match(NamedTuple):
    """Result of :func:`match`."""

    flow: np.ndarray  #: float32, H1 x W1 x 2, (dx, dy) per pixel
    valid: np.ndarray  #: bool, H1 x W1
    cost: np.ndarray  #: float32, H1 x W1


def has_matcher() -> bool:
    """True when this build carries the descriptor and the matcher."""
    return bool(_core.has_matcher)


def release_scratch_cache() -> int:
    """Gives back to the system the large scratch blocks the process keeps
    between calls (up to 256 MB, or what the largest call needed but at most a
    quarter of the machine's memory), which save
    the next call from faulting in fresh memory; returns their bytes. The
    next call maps fresh blocks again."""
    return int(_core.release_scratch_cache())


# ---- argument conversion -------------------------------------------------


def _int(name: str, value: Any) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, got a bool")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}") from None
    if not -(2**63) <= number < 2**63:
        raise ValueError(f"{name} must fit a 32-bit integer, got {number}")
    return number


def _real(name: str, value: Any) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    return float(value)


def _radius(value: Radius) -> Tuple[int, int]:
    """A radius for both axes, or a (horizontal, vertical) pair."""
    if isinstance(value, (numbers.Integral, np.integer)) and not isinstance(value, bool):
        r = _int("search_radius", value)
        return r, r
    try:
        items = list(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"search_radius must be an integer or a pair (horizontal, vertical), "
            f"got {type(value).__name__}"
        ) from None
    if len(items) != 2:
        raise ValueError(
            f"search_radius must be a pair (horizontal, vertical), got {len(items)} values"
        )
    return _int("search_radius[0]", items[0]), _int("search_radius[1]", items[1])


def _descriptor(name: str, value: Any) -> np.ndarray:
    """A float32 array in Fortran order: copied only when it is not one already."""
    a = np.asarray(value)
    if a.dtype.kind != "f" or a.dtype.itemsize != 4:
        raise TypeError(
            f"{name} must be a float32 array, got dtype {a.dtype} "
            f"(convert it with .astype(numpy.float32))"
        )
    if a.ndim != 3:
        raise ValueError(f"{name} must have 3 dimensions (H x W x C), got shape {a.shape}")
    return np.asarray(a, dtype=np.dtype("=f4"), order="F")


_IMAGE_TYPES = ("uint8", "uint16", "float32", "float64")


def _image(name: str, value: Any, finite: bool = True) -> np.ndarray:
    """An image the core can read in place through its strides; with
    ``finite``, real images holding NaN or Inf are refused."""
    a = np.asarray(value)
    native = a.dtype.newbyteorder("=")
    if native.name not in _IMAGE_TYPES:
        raise TypeError(
            f"{name} must be uint8, uint16, float32 or float64, got dtype {a.dtype}"
        )
    if a.ndim == 3 and a.shape[2] == 4:
        a = a[:, :, :3]  # alpha plays no part in matching
    if a.ndim not in (2, 3) or (a.ndim == 3 and a.shape[2] not in (1, 3)):
        raise ValueError(
            f"{name} must be H x W (grey) or H x W x C with C = 1, 3 or 4, got shape {a.shape}"
        )
    if finite and a.dtype.kind == "f" and not np.isfinite(a).all():
        raise ValueError(f"{name} must hold finite values only")
    if a.dtype != native:
        a = a.astype(native)
    elif not a.flags.aligned or any(s % a.itemsize for s in a.strides):
        a = np.ascontiguousarray(a)
    return a


def _shortest(defaults: Dict[str, Union[int, float]]) -> Dict[str, Union[int, float]]:
    """Defaults as written in the source (0.01, not the float32's 0.0099999998)."""
    return {k: float(str(np.float32(v))) if type(v) is float else v
            for k, v in defaults.items()}


def _missing_matcher() -> NotImplementedError:
    return NotImplementedError(
        "this build of densecorr has no descriptor and matcher; rebuild it from a tree "
        "that has their sources (densedesc/, densematch/)"
    )


# ---- the functions -------------------------------------------------------


def cellcost(
    desc1: np.ndarray,
    desc2: np.ndarray,
    n_tree_level: int,
    search_radius: Radius,
    grid_size: int,
    truncate_const: float,
) -> CellCost:
    """Mean clipped descriptor distance of every translation over every pyramid cell.

    image 1 is sampled at every ``grid_size``-th pixel (x, y = 0, G, 2G, ...)
    and divided into a quad-tree pyramid of ``n_tree_level`` levels (level l
    has 2^l x 2^l cells). For every translation (dx, dy) on a grid of step G
    inside the search window, every sample's Euclidean descriptor distance to
    the translated pixel of image 2 is clipped at ``truncate_const`` (which is
    also the cost of a sample translated outside image 2), and the distances
    are averaged over every cell.

    Parameters
    ----------
    desc1, desc2 : float32 arrays, H1 x W1 x C and H2 x W2 x C
        Descriptor images, ``desc[y, x, c]``; any memory order (Fortran-ordered
        arrays are read in place, others are copied once). Other dtypes are
        refused with TypeError rather than rounded silently.
    n_tree_level : int
        Pyramid levels L, at most 15, with 2^(L-1) no more than the smaller
        side of the sample grid (ceil(H1/G), ceil(W1/G)); L <= 0 gives a table
        with no columns.
    search_radius : int or (int, int)
        (horizontal, vertical) radius in pixels, each >= 0, rounded down to a
        multiple of G; one int sets both.
    grid_size : int
        G >= 1, step of the sample grid and of the translation grid.
    truncate_const : float
        Upper clip of every distance, rounded to float32; not NaN.

    Returns
    -------
    CellCost(node_cost, shifts, grid)
        ``node_cost``: float32, n_shift x n_cell; ``node_cost[k, c]`` is the
        cost of translation k in cell c, cells level by level, coarsest first,
        cell row fastest; n_cell = (4^L - 1) / 3. ``shifts``: int32,
        n_shift x 2, row k = (dx, dy) of translation k, dx outer, dy inner.
        ``grid``: int32 (n_shift_x, n_shift_y).

    Host modules: ``[node_cost, shifts, grid] = cellcost(image1, image2, params)``
    gives the same bits: ``desc1[y, x, c]`` is ``image1(y+1, x+1, c+1)``,
    ``node_cost`` has the host's shape and indices (0-based here), ``shifts``
    is the host's 2 x n_shift ``shifts`` transposed, ``grid`` is the host's.

    Raises
    ------
    TypeError, ValueError
        For arguments of the wrong type or out of range, saying which.
    MemoryError
        When the call needs more memory than the system can provide.
    KeyboardInterrupt
        On Ctrl-C while the call runs; it stops within milliseconds and returns
        nothing.
    """
    rx, ry = _radius(search_radius)
    node_cost, shifts, grid = _core.cellcost(
        _descriptor("desc1", desc1),
        _descriptor("desc2", desc2),
        _int("n_tree_level", n_tree_level),
        rx,
        ry,
        _int("grid_size", grid_size),
        _real("truncate_const", truncate_const),
    )
    return CellCost(node_cost, shifts, grid)


def _field(value: Any) -> np.ndarray:
    a = np.asarray(value)
    if a.dtype.kind not in "iu":
        raise TypeError(f"disparity0 must be an integer array, got dtype {a.dtype}")
    if a.dtype == np.int32:
        return a
    if a.size and (a.min() < np.iinfo(np.int32).min or a.max() > np.iinfo(np.int32).max):
        raise ValueError("disparity0 must hold values that fit a 32-bit integer")
    return a.astype(np.int32)


def densedisp(
    desc1: np.ndarray,
    desc2: np.ndarray,
    disparity0: np.ndarray,
    search_grid_size: int,
    search_radius: Radius,
    deform_coeff: float,
    truncate_const: float,
) -> DenseDisp:
    """Refine an integer displacement field pixel by pixel.

    Every pixel (x, y) of image 1 starts at its displacement (dx, dy), i.e. at
    pixel (x+dx, y+dy) of image 2, and tries every offset (sx, sy) with
    sx = -rx, -rx+g, ... <= rx (likewise sy), g = ``search_grid_size``. A
    candidate scores its descriptor distance plus
    ``deform_coeff * (|sx| + |sy|)``; a candidate outside image 2 costs
    ``truncate_const`` (distances inside are not clipped). The first lowest
    score wins (sx outer, sy inner).

    Parameters
    ----------
    desc1, desc2 : float32 arrays, H1 x W1 x C and H2 x W2 x C
        Descriptor images, any memory order (see :func:`cellcost`).
    disparity0 : integer array, H1 x W1 x 2
        ``disparity0[y, x] = (dx, dy)``; any memory order and integer dtype
        whose values fit int32. Not modified.
    search_grid_size : int
        g >= 1.
    search_radius : int or (int, int)
        (rx, ry) >= 0; one int sets both.
    deform_coeff, truncate_const : float
        Rounded to float32; not NaN.

    Returns
    -------
    DenseDisp(disparity, best_cost)
        ``disparity``: int32, H1 x W1 x 2, disparity0 plus each pixel's
        winning offset, unchanged for a pixel with no finite score.
        ``best_cost``: float32, H1 x W1, the winner's distance without the
        penalty, +inf for a pixel with no finite score.

    Host modules: ``[disparity, best_cost] = densedisp(image1, image2, d0, params)``
    gives the same bits. The host's field is 2 x (H1*W1) with column
    p = x*H1 + y holding (dx; dy): ``d0 = disparity0.transpose(1, 0, 2).reshape(-1, 2).T``
    and back ``disparity = d.T.reshape(W1, H1, 2).transpose(1, 0, 2)``;
    ``best_cost`` is the host's reshaped to H1 x W1 (column-major). The
    returned ``disparity`` is a view with exactly the host's memory layout.

    Raises
    ------
    TypeError, ValueError
        For arguments of the wrong type, shape or range, saying which.
    MemoryError
        When the call needs more memory than the system can provide.
    KeyboardInterrupt
        On Ctrl-C while the call runs; it stops within milliseconds and returns
        nothing.
    """
    rx, ry = _radius(search_radius)
    disparity, best_cost = _core.densedisp(
        _descriptor("desc1", desc1),
        _descriptor("desc2", desc2),
        _field(disparity0),
        _int("search_grid_size", search_grid_size),
        rx,
        ry,
        _real("deform_coeff", deform_coeff),
        _real("truncate_const", truncate_const),
    )
    return DenseDisp(disparity, best_cost)


def describe_defaults() -> Dict[str, Union[int, float]]:
    """The descriptor options and their default values."""
    if not has_matcher():
        raise _missing_matcher()
    return _shortest(_core.describe_defaults())


def match_defaults() -> Dict[str, Union[int, float]]:
    """The matcher options (the descriptor's included) and their default values."""
    if not has_matcher():
        raise _missing_matcher()
    return _shortest(_core.match_defaults())


def describe(image: np.ndarray, **options: Union[int, float]) -> np.ndarray:
    """The dense descriptor of an image: one gradient-orientation histogram vector per pixel.

    The image (grey, or the luma of RGB) is smoothed with a Gaussian; each
    pixel's gradient votes with its magnitude for the two nearest of
    ``n_orientations`` bins over 0..360 degrees; the orientation maps are
    pooled over a ``grid_cells`` x ``grid_cells`` grid of cells ``cell_size``
    pixels apart, centred on the pixel; the vector is divided by its length
    (or by ``norm_floor`` if that is larger).

    Parameters
    ----------
    image : array, H x W (grey) or H x W x C (C = 1, 3 RGB, or 4 RGBA: alpha is ignored)
        uint8 or uint16 on their full range (255 or 65535 = white), float32 or
        float64 as they are (1 = white; NaN reads as 0, infinite and huge
        values are clipped, so the descriptor stays finite). RGB is read
        as its luma. Read in place whatever its memory order.
    **options
        smoothing_sigma (float, [0, 10]), n_orientations (int, [2, 32]),
        cell_size (int, [1, 16]), grid_cells (int, [1, 8]), norm_floor
        (float, > 0), root_normalise (bool: square roots of the values
        divided by their sum instead of the division by the length);
        :func:`describe_defaults` lists the defaults.

    Returns
    -------
    float32 array, H x W x (n_orientations * grid_cells^2), Fortran-ordered:
    exactly the layout of the host modules' descriptor images
    (``desc[y, x, c]`` is ``image(y+1, x+1, c+1)`` there), so it goes to
    :func:`cellcost` and :func:`densedisp` without a copy. Channels:
    orientation fastest, then cell row, then cell column. The host module
    ``densedesc`` gives the same bits.

    Raises
    ------
    TypeError
        For an image of the wrong dtype, an unknown option or one of the wrong type.
    ValueError
        For an image of the wrong shape or an option out of range.
    MemoryError
        When the descriptor needs more memory than the system can provide.
    KeyboardInterrupt
        On Ctrl-C while the call runs; it stops within milliseconds and returns
        nothing.
    """
    if not has_matcher():
        raise _missing_matcher()
    return _core.describe(_image("image", image, finite=False), options)


def match(
    image1: np.ndarray,
    image2: np.ndarray,
    *,
    search_radius: Optional[Radius] = None,
    **options: Union[int, float],
) -> Match:
    """Match every pixel of image 1 to a point of image 2.

    The pipeline: dense descriptors of both images; costs of every
    translation for every cell of a quad-tree pyramid over image 1; a joint
    choice of the cells' translations (belief propagation); a pixel search
    around them; continuous refinement on the images; a forward-backward
    consistency check that sets ``valid``. Deterministic: the same inputs
    give the same bits whatever the thread count or the processor's vector
    width.

    Parameters
    ----------
    image1, image2 : arrays
        As for :func:`describe`, but real images must be finite; they may
        differ in size, dtype and colour/grey.
    search_radius : int or (int, int), optional
        Largest displacement searched on each axis, pixels, >= 0; None
        chooses it from the image size (a quarter of the longer side, and
        twice that where the first window leaves too few valid pixels, their
        descriptors disagree, or they crowd its edge with distances near the
        clip).
    **options
        The descriptor's options (see :func:`describe`) and the matcher's:
        grid_size, n_tree_level, cell_truncate, neighbour_weight,
        neighbour_truncate, parent_weight, parent_truncate, bp_iterations,
        refine_radius, refine_step, deform_coeff, flow_warps, flow_coarse_warps,
        flow_fixed_point, flow_sor, flow_smoothness, flow_brightness,
        flow_gradient, flow_sigma, flow_edge, flow_scales, flow_scale_factor,
        flow_anchor, consistency_threshold, global_motion (bool), rectified (bool),
        median_radius, snap_radius, fill_frame (bool) (the
        host module's help, ``help densematch``, says what each does);
        :func:`match_defaults` lists them
        with their defaults (0 for grid_size, n_tree_level, refine_radius and
        the descriptor's cell_size means: chosen from the image size (the
        cell size from the grid; where a cell larger than 3 px finds matches
        that agree in neither window, one more try with smoothing_sigma
        scaled by cell_size / 3); 0 flow_warps turns the continuous
        refinement off; consistency_threshold <= 0 keeps only the inside test).

    Returns
    -------
    Match(flow, valid, cost)
        ``flow``: float32, H1 x W1 x 2, C-ordered; ``flow[y, x] = (dx, dy)``
        maps pixel (x, y) of image 1 to (x+dx, y+dy) of image 2 (the layout
        of OpenCV's flow fields; :func:`densecorr.write_flo` stores it).
        ``valid``: bool, H1 x W1, False where the match leaves image 2 or
        fails the consistency check, and everywhere where few matches on
        texture pass it and they pair unlike descriptors as a whole (two
        unrelated images; ``help densematch`` says how it is judged). ``cost``: float32, H1 x W1, the
        descriptor distance between the pixel and its match rounded to whole
        pixels (0 = identical, about 1.4 at most), +inf where the match
        leaves image 2.

    Host module: ``densematch`` gives the same field; its column-major
    H1 x W1 planes are these arrays with the same [y, x] indices.

    Raises
    ------
    TypeError
        For images of the wrong dtype, an unknown option or one of the wrong type.
    ValueError
        For images of the wrong shape or options out of range.
    MemoryError
        When the match needs more memory than the system can provide.
    KeyboardInterrupt
        On Ctrl-C while the call runs; it stops within milliseconds and returns
        nothing.
    """
    if not has_matcher():
        raise _missing_matcher()
    if search_radius is None:
        rx, ry = -1, -1  # chosen by the matcher
    else:
        rx, ry = _radius(search_radius)
        if rx < 0 or ry < 0:
            raise ValueError(f"search_radius must not be negative, got ({rx}, {ry})")
    flow, valid, cost = _core.match(_image("image1", image1), _image("image2", image2), rx, ry,
                                    options)
    return Match(flow, valid, cost)
