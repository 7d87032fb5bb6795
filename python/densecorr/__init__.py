"""Dense image correspondence over the densecorr C++ core.

    import cv2, densecorr
    im1 = cv2.cvtColor(cv2.imread("left.png"), cv2.COLOR_BGR2RGB)
    im2 = cv2.cvtColor(cv2.imread("right.png"), cv2.COLOR_BGR2RGB)
    flow, valid, cost = densecorr.match(im1, im2)
    densecorr.write_flo("left_right.flo", flow)

Also: :func:`describe` (the dense descriptor) and the two low-level modules
:func:`cellcost` and :func:`densedisp`, bit-identical to the host modules of
the same names.
"""
from ._api import (
    CellCost,
    DenseDisp,
    Match,
    cellcost,
    densedisp,
    describe,
    describe_defaults,
    has_matcher,
    match,
    match_defaults,
    release_scratch_cache,
)
from .flo import read_flo, write_flo

__version__ = "0.1.0"

__all__ = [
    "CellCost",
    "DenseDisp",
    "Match",
    "cellcost",
    "densedisp",
    "describe",
    "describe_defaults",
    "has_matcher",
    "match",
    "match_defaults",
    "read_flo",
    "release_scratch_cache",
    "write_flo",
]
