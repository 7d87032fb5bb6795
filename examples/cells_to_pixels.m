function [dx, dy] = cells_to_pixels(cell_dx, cell_dy, im_size, grid_size)
%CELLS_TO_PIXELS  Spread the finest pyramid cells' translations over all pixels.
%   [DX, DY] = CELLS_TO_PIXELS(CELL_DX, CELL_DY, [H W], G): CELL_DX and CELL_DY
%   are n x n (cell row, cell column) for the finest level of a pyramid laid
%   over the sample grid of an H x W image sampled every G pixels. Each pixel
%   takes the translation of the cell holding its nearest sample; the samples
%   left over at the right and bottom, which belong to no cell of that level,
%   take the nearest cell's, i.e. the last column's or row's.

h = im_size(1);
w = im_size(2);
n_side = size(cell_dx, 1);
n_sample_x = ceil(w / grid_size);
n_sample_y = ceil(h / grid_size);
cell_w = floor(n_sample_x / n_side);
cell_h = floor(n_sample_y / n_side);

sample_col = min(round((0:(w - 1)) / grid_size), n_sample_x - 1);
sample_row = min(round((0:(h - 1)) / grid_size), n_sample_y - 1);
cell_col = min(floor(sample_col / cell_w), n_side - 1) + 1;
cell_row = min(floor(sample_row / cell_h), n_side - 1) + 1;
dx = cell_dx(cell_row, cell_col);
dy = cell_dy(cell_row, cell_col);
end
