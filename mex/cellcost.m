%CELLCOST  Matching cost of every translation for every cell of a spatial pyramid.
%   [NODE_COST, SHIFTS, GRID] = CELLCOST(IMAGE1, IMAGE2, PARAMS) samples
%   IMAGE1 at every GRID_SIZE-th pixel, translates every sample by each
%   (dx, dy) of a grid of step GRID_SIZE inside the search window, takes
%   the Euclidean descriptor distance to the translated pixel of IMAGE2,
%   clipped at TRUNCATE_CONST, and averages it over every cell of a
%   quad-tree pyramid laid over the sample grid (level l has 2^l x 2^l
%   cells).
%
%   Inputs
%     IMAGE1   single, H1 x W1 x F descriptor image, real (3 dimensions, so F ~= 1).
%     IMAGE2   single, H2 x W2 x F; the same F, any height and width.
%     PARAMS   struct; the fields of its first element are read in this
%              order:
%       n_tree_level    number L of pyramid levels (truncated toward 0).
%                       At most 15 and 2^(L-1) <= the smaller side of
%                       the sample grid; L <= 0 gives a table with no
%                       columns.
%       search_radius   double [rx ry], pixels: horizontal (columns) and
%                       vertical (rows) radius, >= 0, truncated toward 0,
%                       then rounded down to a multiple of grid_size.
%       grid_size       step of the sample and translation grids, pixels,
%                       >= 1 (truncated toward 0).
%       truncate_const  upper clip of every distance, and the cost of a
%                       sample translated outside IMAGE2 (rounded to
%                       single).
%     No field has a default: each one must be present.
%
%   Outputs
%     NODE_COST  single, N_SHIFT x N_CELL: row k is translation k, column c
%                pyramid cell c (levels coarsest first, cell row fastest
%                within a level); N_CELL = (4^L - 1)/3.
%     SHIFTS     int32, 2 x N_SHIFT: column k is (dx; dy) of translation k,
%                dx outer, dy inner (fastest).
%     GRID       int32, 1 x 2: [N_SHIFT_X N_SHIFT_Y], N_SHIFT = their product.
%
%   Every failure raises an error and assigns no output: a bad argument
%   with the identifier densecorr:cellcost:badInput, a call that needs more
%   memory than the process can get (outputs, the host's copy of them and
%   scratch, checked before anything is created) with densecorr:outOfMemory.
%   Ctrl-C stops a long call.
%
%   Example
%     im1 = rand(40, 30, 8, 'single');  im2 = rand(40, 30, 8, 'single');
%     p = struct('n_tree_level', 3, 'search_radius', [10 5], 'grid_size', 4, 'truncate_const', 1);
%     [cost, shifts, grid] = cellcost(im1, im2, p);   % 15 x 21, 2 x 15, [5 3]
%
%   See also DENSEDISP, BUILD_MEX.
