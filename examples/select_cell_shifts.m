function [cell_dx, cell_dy] = select_cell_shifts(node_cost, shifts, grid, n_level, windows)
%SELECT_CELL_SHIFTS  Coarse-to-fine choice of one translation per pyramid cell.
%   [CELL_DX, CELL_DY] = SELECT_CELL_SHIFTS(NODE_COST, SHIFTS, GRID, L, WINDOWS)
%   takes the three outputs of cellcost (costs n_shift x n_cell, translations
%   2 x n_shift, translation grid [n_shift_x n_shift_y]) for a pyramid of L
%   levels and returns the translation chosen for every cell of the finest
%   level as two 2^(L-1) x 2^(L-1) matrices indexed (cell row, cell column).
%
%   The single cell of level 0 takes the cheapest translation of the whole
%   grid. A cell of level l >= 1 takes the cheapest translation within
%   WINDOWS(l) grid steps, along each axis, of the one its parent cell took;
%   WINDOWS may be one number for every level. There is no smoothness term:
%   the parent's choice only bounds where a cell may look, which keeps small,
%   weakly textured cells from jumping to a distant look-alike. Ties go to the
%   first translation in cellcost's order.

n_shift_x = double(grid(1));
n_shift_y = double(grid(2));
if numel(windows) == 1
  windows = repmat(windows, 1, max(n_level - 1, 1));
end

% Level 0: one cell, the whole translation grid.
plane = reshape(node_cost(:, 1), n_shift_y, n_shift_x);
[~, best] = min(plane(:));
[choice_iy, choice_ix] = ind2sub([n_shift_y n_shift_x], best);

for level = 1:(n_level - 1)
  n_side = 2 ^ level;
  first_cell = (4 ^ level - 1) / 3;
  parent_iy = choice_iy;
  parent_ix = choice_ix;
  choice_iy = zeros(n_side);
  choice_ix = zeros(n_side);
  w = windows(level);
  for i = 0:(n_side - 1)
    for j = 0:(n_side - 1)
      plane = reshape(node_cost(:, first_cell + i * n_side + j + 1), n_shift_y, n_shift_x);
      py = parent_iy(floor(j / 2) + 1, floor(i / 2) + 1);
      px = parent_ix(floor(j / 2) + 1, floor(i / 2) + 1);
      rows = max(1, py - w):min(n_shift_y, py + w);
      cols = max(1, px - w):min(n_shift_x, px + w);
      [~, best] = min(reshape(plane(rows, cols), [], 1));
      [by, bx] = ind2sub([numel(rows) numel(cols)], best);
      choice_iy(j + 1, i + 1) = rows(by);
      choice_ix(j + 1, i + 1) = cols(bx);
    end
  end
end

k = (choice_ix - 1) * n_shift_y + choice_iy;
cell_dx = reshape(double(shifts(1, k(:))), size(k));
cell_dy = reshape(double(shifts(2, k(:))), size(k));
end
