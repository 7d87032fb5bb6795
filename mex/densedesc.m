%DENSEDESC  Dense descriptor: a gradient-orientation histogram vector per pixel.
%   DESC = DENSEDESC(IMAGE) describes every pixel of IMAGE by histograms of
%   gradient orientation pooled over a small grid of cells around it, ready
%   for cellcost and densedisp.
%   DESC = DENSEDESC(IMAGE, PARAMS) sets some of the parameters below.
%
%   Inputs
%     IMAGE   H x W (grey) or H x W x 3 (RGB) array of class uint8, uint16
%             (read on their full range: 255 or 65535 = white), single or
%             double (read as they are, 1 = white); real, not sparse. RGB is
%             read as its luma, 0.299 R + 0.587 G + 0.114 B. NaN and Inf
%             pixels are read as 0. An empty image gives an empty DESC.
%     PARAMS  optional 1 x 1 struct; every field is optional (default in
%             brackets) and an unknown field is an error:
%       smoothing_sigma  [0.7]  Gaussian smoothing before the gradient,
%                               pixels, 0 to 10 (0 = none).
%       n_orientations   [5]    orientation bins over 0 to 360 degrees,
%                               2 to 32 (a gradient and its opposite
%                               fall in different bins).
%       cell_size        [3]    spacing of the cell centres and half-width
%                               of the triangular window that pools each
%                               cell, pixels, 1 to 16.
%       grid_cells       [3]    cells per side of the grid centred on the
%                               pixel, 1 to 8.
%       root_normalise   [true] divide the values by their sum (or by
%                               norm_floor if that is larger) and take
%                               square roots: vectors have length 1 (less
%                               where the sum is below the floor), and a
%                               few strong edges weigh less against many
%                               weak gradients. false: divide the vector by
%                               its length (or norm_floor) instead.
%       norm_floor       [0.01] sums (lengths) below this are divided by it,
%                               so flat areas keep short vectors instead of
%                               amplified noise (on photos, textured areas
%                               have sums of about 0.1 to 0.8 and lengths of
%                               about 0.02 to 0.2 before the division, sky
%                               sums of 0.01), 1e-30 to 1e30.
%       n_threads        [0]    OpenMP threads for this call; 0 = the
%                               host's setting. The result is the same
%                               whatever the count.
%
%   Output
%     DESC    single, H x W x F with F = n_orientations * grid_cells^2 (45
%             with the defaults). Channel index (1-based) k = o + N*(r-1) +
%             N*G*(c-1) for orientation bin o (1 = brightness rising towards
%             increasing columns, then turning towards increasing rows),
%             cell row r and cell column c of the
%             G x G grid, N = n_orientations. Each pixel's vector has length
%             1, or less where the image is flat; every value lies in [0, 1].
%
%   How it works
%     The image is smoothed; each pixel's gradient (central differences)
%     votes with its magnitude for the two orientation bins nearest its
%     direction; each orientation map is pooled with a separable triangular
%     window; the pooled maps are read at the G x G cell centres around the
%     pixel (borders replicated); each value is divided by the sum of the
%     values or by norm_floor, whichever is larger, and square-rooted
%     (root_normalise false: the vector is divided by its length or
%     norm_floor).
%
%   Errors (nothing is assigned)
%     densecorr:densedesc:badInput  wrong argument count, image class, shape
%                                   or parameter; the message says which.
%     densecorr:outOfMemory         the descriptor or its work space does
%                                   not fit the memory still available.
%
%   Example
%     d1 = densedesc(imread('left.png'), struct('grid_cells', 2));
%     d2 = densedesc(imread('right.png'), struct('grid_cells', 2));
%     [node_cost, shifts, grid] = cellcost(d1, d2, struct('n_tree_level', 3, ...
%         'search_radius', [16 16], 'grid_size', 4, 'truncate_const', 1));
%
%   See also CELLCOST, DENSEDISP, DENSEMATCH.
