"""Type stubs of the extension module (use the functions of the densecorr package)."""
from typing import Dict, Tuple, Union

import numpy as np
import numpy.typing as npt

has_matcher: bool

def release_scratch_cache() -> int: ...

def cellcost(
    desc1: npt.NDArray[np.float32],
    desc2: npt.NDArray[np.float32],
    n_tree_level: int,
    radius_x: int,
    radius_y: int,
    grid_size: int,
    truncate_const: float,
) -> Tuple[npt.NDArray[np.float32], npt.NDArray[np.int32], npt.NDArray[np.int32]]: ...
def densedisp(
    desc1: npt.NDArray[np.float32],
    desc2: npt.NDArray[np.float32],
    disparity0: npt.NDArray[np.int32],
    search_grid_size: int,
    radius_x: int,
    radius_y: int,
    deform_coeff: float,
    truncate_const: float,
) -> Tuple[npt.NDArray[np.int32], npt.NDArray[np.float32]]: ...
def describe_defaults() -> Dict[str, Union[int, float]]: ...
def match_defaults() -> Dict[str, Union[int, float]]: ...
def describe(image: np.ndarray, options: Dict[str, Union[int, float]]) -> npt.NDArray[np.float32]: ...
def match(
    image1: np.ndarray,
    image2: np.ndarray,
    radius_x: int,
    radius_y: int,
    options: Dict[str, Union[int, float]],
) -> Tuple[npt.NDArray[np.float32], npt.NDArray[np.bool_], npt.NDArray[np.float32]]: ...
