%DENSEDISP  Refine a dense integer displacement field by a local search.
%   [DISPARITY, BEST_COST] = DENSEDISP(IMAGE1, IMAGE2, DISPARITY0, PARAMS)
%   tries, for every pixel of IMAGE1, every offset (sx, sy) of a grid of
%   step SEARCH_GRID_SIZE from -radius upward inside the search window
%   around its displacement in DISPARITY0. Each candidate scores its
%   Euclidean descriptor distance to the pixel of IMAGE2 plus
%   DEFORM_COEFF * (|sx| + |sy|); the first lowest score wins.
%
%   Inputs
%     IMAGE1      single, H1 x W1 x F descriptor image, real (3 dimensions, so F ~= 1).
%     IMAGE2      single, H2 x W2 x F; the same F, any height and width.
%     DISPARITY0  int32, 2 x (H1*W1): column p = x*H1 + y holds (dx; dy)
%                 of pixel (x, y); it maps to (x+dx, y+dy) of IMAGE2.
%     PARAMS      struct; the fields of its first element are read in
%                 this order:
%       search_grid_size  step of the offset grid, pixels, >= 1
%                         (truncated toward 0).
%       search_radius     double [rx ry], pixels: horizontal (columns) and
%                         vertical (rows) radius, >= 0, truncated toward 0.
%                         The offsets are -r, -r+g, ... <= r on each axis.
%       deform_coeff      weight of the deformation penalty, per pixel of
%                         |sx| + |sy| (rounded to single).
%       truncate_const    cost of a candidate outside IMAGE2 (rounded to
%                         single); distances inside are not clipped.
%     No field has a default: each one must be present.
%
%   Outputs
%     DISPARITY  int32, 2 x (H1*W1): DISPARITY0 plus each pixel's winning
%                offset, in int32 arithmetic that wraps at the ends of its
%                range. A pixel without a finite score keeps DISPARITY0.
%     BEST_COST  single, 1 x (H1*W1): distance of the winner, without the
%                penalty (+Inf for a pixel without a finite score).
%
%   Every failure raises an error and assigns no output: a bad argument
%   with the identifier densecorr:densedisp:badInput, a call that needs more
%   memory than the process can get (outputs, the host's copy of them and
%   scratch, checked before anything is created) with densecorr:outOfMemory.
%   Ctrl-C stops a long call.
%
%   Example
%     im1 = rand(20, 30, 8, 'single');  im2 = rand(25, 35, 8, 'single');
%     p = struct('search_grid_size', 1, 'search_radius', [2 2], 'deform_coeff', 0.1, 'truncate_const', 10);
%     [d, cost] = densedisp(im1, im2, zeros(2, 600, 'int32'), p);
%
%   See also CELLCOST, BUILD_MEX.
