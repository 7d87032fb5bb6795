function result = match_by_hand(gray1, gray2, opts)
%MATCH_BY_HAND  Dense correspondence composed from the modules by hand.
%   RESULT = MATCH_BY_HAND(GRAY1, GRAY2, OPTS) finds for every pixel (x, y) of
%   GRAY1 an integer displacement (dx, dy) such that (x + dx, y + dy) of GRAY2
%   shows the same point, calling the descriptor, cellcost and densedisp
%   itself. densematch does the whole job better and faster; this is the
%   pattern to follow with descriptors of your own (replace step 1).
%   demo_by_hand runs it. Steps:
%     1. describe both images (the densedesc module when it is on the path,
%        else dense_descriptor.m);
%     2. cellcost: mean descriptor distance of every translation of a coarse
%        grid (step grid_size) in every cell of a spatial pyramid on image 1;
%     3. pick a translation per cell, coarse to fine (select_cell_shifts),
%        replace each finest cell's by the median over it and its 8
%        neighbours, and give each pixel its finest cell's translation
%        (cells_to_pixels);
%     4. densedisp: move each pixel to the best offset within refine_radius(1)
%        pixels, then, for each further radius, remove isolated outliers with
%        a median filter and refine again within that radius.
%
%   OPTS fields (all optional):
%     grid_size       sample and translation step of cellcost, pixels (4)
%     search_radius   [rx ry] translation window of cellcost, pixels
%                     (15% of the longer image side, on both axes)
%     n_tree_level    pyramid levels (deepest whose finest cells still span
%                     at least 4 samples each way, at most 5)
%     windows         per level, how many translation steps a cell may move
%                     away from its parent's choice (computed from the grid)
%     cell_truncate   clip of every distance in cellcost (1.0)
%     refine_radius   densedisp radii, one pass each ([grid_size 1])
%     refine_step     densedisp search_grid_size of each pass (1 each)
%     deform_coeff    densedisp penalty per pixel of offset (0.005)
%     median_radius   half-width of the median filter between passes (2;
%                     0 turns off this filter and the one on the cells)
%     descriptor      options passed on to the descriptor
%
%   RESULT fields: dx, dy (H1 x W1 doubles, the final field), cost (H1 x W1,
%   descriptor distance at the chosen match), init_dx, init_dy (the field
%   from the pyramid, before refinement), params (the values used) and times
%   (seconds spent in describe, cellcost, densedisp).

if nargin < 3
  opts = struct();
end
[h1, w1] = size(gray1);
grid_size = demo_option(opts, 'grid_size', 4);
default_radius = round(0.15 * max([size(gray1) size(gray2)]));
search_radius = demo_option(opts, 'search_radius', [default_radius default_radius]);
n_sample_min = min(ceil([h1 w1] / grid_size));
n_tree_level = demo_option(opts, 'n_tree_level', ...
                           max(1, min(5, floor(log2(n_sample_min / 4)) + 1)));
if 2 ^ (n_tree_level - 1) > n_sample_min
  error('densecorr:tooSmall', ...
        'image 1 (%d x %d) is too small for %d pyramid levels at grid size %d', ...
        h1, w1, n_tree_level, grid_size);
end
cell_truncate = demo_option(opts, 'cell_truncate', 1.0);
refine_radius = demo_option(opts, 'refine_radius', [grid_size 1]);
refine_step = demo_option(opts, 'refine_step', ones(size(refine_radius)));
deform_coeff = demo_option(opts, 'deform_coeff', 0.005);
median_radius = demo_option(opts, 'median_radius', 2);
desc_opts = demo_option(opts, 'descriptor', struct());

% A cell may stray from its parent's translation by about half of what the
% parent could reach, but never by less than two steps.
half_steps = floor(max(search_radius) / grid_size);
default_windows = max(2, ceil(half_steps ./ 2 .^ (1:max(n_tree_level - 1, 1))));
windows = demo_option(opts, 'windows', default_windows);

result.params = struct('grid_size', grid_size, 'search_radius', search_radius, ...
                       'n_tree_level', n_tree_level, 'windows', windows, ...
                       'cell_truncate', cell_truncate, 'refine_radius', refine_radius, ...
                       'refine_step', refine_step, 'deform_coeff', deform_coeff, 'median_radius', median_radius);

fprintf('describing both images (%d x %d and %d x %d pixels)...\n', ...
        h1, w1, size(gray2, 1), size(gray2, 2));
t0 = tic;
if exist('densedesc') == 3
  desc1 = densedesc(gray1, desc_opts);
  desc2 = densedesc(gray2, desc_opts);
else
  desc1 = dense_descriptor(gray1, desc_opts);
  desc2 = dense_descriptor(gray2, desc_opts);
end
result.times.describe = toc(t0);
fprintf('  %d channels per pixel, %.2f s\n', size(desc1, 3), result.times.describe);

cell_params = struct('n_tree_level', n_tree_level, ...
                     'search_radius', double(search_radius(:)'), ...
                     'grid_size', grid_size, 'truncate_const', cell_truncate);
fprintf('cellcost: %d pyramid levels, translations up to (%d, %d) px in steps of %d...\n', ...
        n_tree_level, search_radius(1), search_radius(2), grid_size);
t0 = tic;
[node_cost, shifts, grid] = cellcost(desc1, desc2, cell_params);
result.times.cellcost = toc(t0);
fprintf('  %d translations x %d cells, %.2f s\n', size(node_cost, 1), ...
        size(node_cost, 2), result.times.cellcost);

[cell_dx, cell_dy] = select_cell_shifts(node_cost, shifts, grid, n_tree_level, windows);
if median_radius > 0 && n_tree_level > 1
  % A small cell on repetitive texture can lock onto a look-alike a period
  % away; its neighbours outvote it.
  cell_dx = median_filter(cell_dx, 1);
  cell_dy = median_filter(cell_dy, 1);
end
[dx, dy] = cells_to_pixels(cell_dx, cell_dy, [h1 w1], grid_size);
result.init_dx = dx;
result.init_dy = dy;

% Above every possible distance (at most sqrt(2)): a candidate outside image 2
% wins only where a pixel has no other, or where penalties outweigh it.
refine_truncate = 2;
result.times.densedisp = 0;
cost = nan(1, h1 * w1);
for pass = 1:numel(refine_radius)
  if pass > 1 && median_radius > 0
    dx = median_filter(dx, median_radius);
    dy = median_filter(dy, median_radius);
  end
  r = refine_radius(pass);
  pixel_params = struct('search_grid_size', refine_step(pass), 'search_radius', [r r], ...
                        'deform_coeff', deform_coeff, 'truncate_const', refine_truncate);
  disp0 = int32([dx(:)'; dy(:)']);
  fprintf('densedisp pass %d: offsets within %d px...\n', pass, r);
  t0 = tic;
  [disp1, cost] = densedisp(desc1, desc2, disp0, pixel_params);
  elapsed = toc(t0);
  result.times.densedisp = result.times.densedisp + elapsed;
  fprintf('  %.2f s\n', elapsed);
  dx = reshape(double(disp1(1, :)), h1, w1);
  dy = reshape(double(disp1(2, :)), h1, w1);
end
result.dx = dx;
result.dy = dy;
result.cost = reshape(double(cost), h1, w1);
end

