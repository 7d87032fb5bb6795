function test_demo_helpers()
%TEST_DEMO_HELPERS  Checks of the demos' plain Octave/MATLAB helpers.
%   Needs neither module nor sample photo. Raises an error if any group of
%   checks fails, after running all of them.

groups = {@check_cell_choice, @check_cells_to_pixels, @check_warp, ...
          @check_descriptor, @check_resize_and_load, @check_median_and_colour, ...
          @check_demo_arguments};
n_failed = 0;
for k = 1:numel(groups)
  name = func2str(groups{k});
  try
    groups{k}();
    fprintf('ok     %s\n', name);
  catch err
    n_failed = n_failed + 1;
    fprintf('FAILED %s: %s\n', name, err.message);
  end
end
if n_failed > 0
  fprintf('%d of %d groups of checks failed\n', n_failed, numel(groups));
  error('densecorr:testFailed', 'demo helper checks failed');
end
fprintf('all %d groups of checks passed\n', numel(groups));
end

function check_cell_choice()
% Translations as cellcost lists them for radius (5, 3), grid 2: dx outer.
[dy_grid, dx_grid] = meshgrid(-2:2:2, -4:2:4);
shifts = int32([reshape(dx_grid', 1, []); reshape(dy_grid', 1, [])]);
grid = int32([5 3]);
k_of = @(dx, dy) ((dx + 4) / 2) * 3 + (dy + 2) / 2 + 1;
cost = ones(15, 5);
cost(k_of(2, -2), 1) = 0;          % level 0 picks (2, -2)
% cell (i=1, j=0), column 4: the cheapest translation lies outside the
% window of one step around the parent's, the runner-up inside it wins
cost(k_of(-4, 2), 4) = 0;
cost(k_of(0, 0), 4) = 0.5;
cost(k_of(4, -2), 3) = 0.2;        % cell (0, 1): inside the window
cost(k_of(0, 0), 5) = 0.3;         % cell (1, 1): a tie goes to the smaller dx
cost(k_of(2, 0), 5) = 0.3;
% cell (0, 0) is flat: the first translation of its window, (0, -2)
[cell_dx, cell_dy] = select_cell_shifts(cost, shifts, grid, 2, 1);
assert(isequal(cell_dx, [0 0; 4 0]), 'dx per cell (row j, column i)');
assert(isequal(cell_dy, [-2 0; -2 0]), 'dy per cell (row j, column i)');

% Three levels: level 2 windows follow their own parent of level 1.
cost = ones(15, 21);
cost(k_of(0, 0), 1) = 0;
cost(k_of(-4, 2), 2:21) = 0;       % out of reach from (0, 0) ...
cost(k_of(-2, 2), 2:5) = 0.5;      % ... so level 1 stops one step short,
                                   % and level 2, one step further, gets there
[cell_dx, cell_dy] = select_cell_shifts(cost, shifts, grid, 3, 1);
assert(all(cell_dx(:) == -4) && all(cell_dy(:) == 2), 'windows chain across levels');
end

function check_cells_to_pixels()
% 10 x 13 pixels, grid 2: 7 x 5 samples, finest cells of 3 x 2 samples; the
% last sample column and row belong to no cell and take the nearest one's.
cell_dx = [1 2; 3 4];
[dx, dy] = cells_to_pixels(cell_dx, -cell_dx, [10 13], 2);
cols = [1 1 1 1 1 2 2 2 2 2 2 2 2];
rows = [1 1 1 2 2 2 2 2 2 2];
assert(isequal(dx, cell_dx(rows, cols)), 'pixel to cell mapping');
assert(isequal(dy, -cell_dx(rows, cols)), 'dy follows the same cells');
end

function check_warp()
im = reshape(1:42, 6, 7);
warped = warp_image(im, ones(6, 7), -ones(6, 7));
expected = zeros(6, 7);
expected(2:6, 1:6) = im(1:5, 2:7);
assert(max(abs(warped(:) - expected(:))) < 1e-12, 'integer shift');
half = warp_image(im, 0.5 * ones(6, 7), zeros(6, 7));
assert(abs(half(3, 2) - (im(3, 2) + im(3, 3)) / 2) < 1e-12, 'bilinear sampling');
end

function check_descriptor()
% A fixed pseudo-random texture, the same in every host and version.
[xg, yg] = meshgrid(1:52, 1:48);
texture = gauss_blur(mod(sin(12.9898 * xg + 78.233 * yg) * 43758.5453, 1), 1.2);
desc = dense_descriptor(texture);
assert(isa(desc, 'single') && isequal(size(desc), [48 52 72]), 'size and class');
len = sqrt(sum(double(desc(10:40, 10:40, :)) .^ 2, 3));
assert(max(abs(len(:) - 1)) < 1e-5, 'textured pixels have unit length');

% Moving the image moves the descriptor with it (away from the border).
moved = zeros(48, 52);
moved(3:48, 4:52) = texture(1:46, 1:49);
desc_moved = dense_descriptor(moved);
diff = desc_moved(20:36, 20:36, :) - desc(18:34, 17:33, :);
assert(max(abs(diff(:))) < 1e-5, 'translation equivariance');

% Inverting the contrast turns every gradient round: each histogram is the
% same, rotated by half of its 8 bins.
desc_inv = dense_descriptor(1 - texture);
bins = reshape(1:72, 8, 9);
rotated = desc_inv(:, :, reshape(bins([5:8 1:4], :), 1, []));
diff = rotated(10:40, 10:40, :) - desc(10:40, 10:40, :);
assert(max(abs(diff(:))) < 1e-4, 'orientation bins cover 360 degrees');

flat = dense_descriptor(0.5 * ones(20, 20));
assert(all(isfinite(flat(:))) && all(flat(:) == 0), 'flat image gives zero vectors');
end

function check_resize_and_load()
ramp = repmat(1:100, 30, 1);
small = resize_image(ramp, [15 50]);
assert(isequal(size(small), [15 50]), 'output size');
% Pixel centres line up: output column k sits at input column 2k - 0.5.
assert(max(abs(small(8, 5:45) - (2 * (5:45) - 0.5))) < 1e-9, 'centre alignment');

[rgb, gray] = load_working_image(uint16(65535 * ones(480, 640)), 320);
assert(isequal(size(rgb), [240 320 3]) && isequal(size(gray), [240 320]), 'working size');
assert(max(abs(gray(:) - 1)) < 1e-9, 'integer images scale to [0, 1]');
[rgb, gray] = load_working_image(uint8(zeros(20, 30, 3)), 320);
assert(isequal(size(gray), [20 30]), 'small images keep their size');
end

function check_median_and_colour()
field = 3 * ones(9, 9);
field(5, 5) = 40;
field(:, 7:9) = -2;
filtered = median_filter(field, 1);
expected = 3 * ones(9, 9);
expected(:, 7:9) = -2;
assert(isequal(filtered, expected), 'outlier removed, edge kept');

rgb = flow_to_color([0 1 0 -2], [0 0 2 0], 2);
assert(max(abs(squeeze(rgb(1, 1, :))' - [1 1 1])) < 1e-9, 'no motion is white');
assert(max(abs(squeeze(rgb(1, 4, :))' - [0 1 1])) < 1e-9, 'full leftward is cyan');
assert(max(abs(squeeze(rgb(1, 2, :))' - [1 0.5 0.5])) < 1e-9, 'half length, half saturation');
end

function check_demo_arguments()
try
  demo_match('only_one.png');
  failed = false;
catch err
  failed = strcmp(err.identifier, 'densecorr:usage');
end
assert(failed, 'one image file alone is refused');
end
