function [node_cost, shifts, grid] = ref_cellcost(im1, im2, p)
%REF_CELLCOST  Literal single-precision pyramid node costs, the oracle of the tests.
%   Loops follow the module's order of operations exactly; they are
%   vectorised only across independent entries (samples or translations),
%   never across a running sum.
  G = fix(p.grid_size);
  L = fix(p.n_tree_level);
  tc = single(p.truncate_const);
  [H1, W1, F] = size(im1);
  [H2, W2, ~] = size(im2);

  % Sample grid on image 1 and translation grid (radii rounded down to G).
  Sx = numel(0:G:W1 - 1);
  Sy = numel(0:G:H1 - 1);
  Rx = G * fix(fix(p.search_radius(1)) / G);
  Ry = G * fix(fix(p.search_radius(2)) / G);
  dxs = -Rx:G:Rx;
  dys = -Ry:G:Ry;
  T = numel(dxs) * numel(dys);
  grid = int32([numel(dxs), numel(dys)]);
  shifts = zeros(2, T, 'int32');
  k = 0;
  for dx = dxs
    for dy = dys
      k = k + 1;
      shifts(:, k) = [dx; dy];
    end
  end

  % Clipped distances: vol(iy+1, ix+1, k) for sample (ix, iy), translation k.
  [y1, x1] = ndgrid(G * (0:Sy - 1), G * (0:Sx - 1));
  vol = repmat(tc, [Sy, Sx, T]);
  for k = 1:T
    x2 = x1 + double(shifts(1, k));
    y2 = y1 + double(shifts(2, k));
    inside = x2 >= 0 & x2 < W2 & y2 >= 0 & y2 < H2;
    a = y1(inside) + H1 * x1(inside) + 1;
    b = y2(inside) + H2 * x2(inside) + 1;
    sum_sq = zeros(nnz(inside), 1, 'single');
    for c = 0:F - 1
      d = im1(a + c * H1 * W1) - im2(b + c * H2 * W2);
      sum_sq = sum_sq + d .* d;
    end
    dist = sqrt(sum_sq);
    dist(dist > tc) = tc;  % NaN stays NaN
    plane = vol(:, :, k);
    plane(inside) = dist;
    vol(:, :, k) = plane;
  end

  % Summed-area tables, all translations at once: each column summed down
  % its rows, then added to the finished column on its left.
  integral = zeros(Sy, Sx, T, 'single');
  for ix = 1:Sx
    running = zeros(1, 1, T, 'single');
    for iy = 1:Sy
      running = running + vol(iy, ix, :);
      if ix == 1
        integral(iy, ix, :) = running;
      else
        integral(iy, ix, :) = running + integral(iy, ix - 1, :);
      end
    end
  end
  at = @(ix, iy) lookup(integral, ix, iy, T);

  n_cell = 0;
  if L >= 1
    n_cell = (4 ^ L - 1) / 3;
  end
  node_cost = zeros(T, n_cell, 'single');
  for l = 0:L - 1
    n = 2 ^ l;
    offset = (4 ^ l - 1) / 3;
    cw = fix(Sx / n);
    ch = fix(Sy / n);
    for i = 0:n - 1
      for j = 0:n - 1
        x0 = i * cw; y0 = j * ch;
        xe = x0 + cw - 1; ye = y0 + ch - 1;
        value = (((at(xe, ye) + at(x0 - 1, y0 - 1)) - at(xe, y0 - 1)) - at(x0 - 1, ye)) ...
                / single(cw * ch);
        node_cost(:, offset + i * n + j + 1) = value;
      end
    end
  end
end

function v = lookup(integral, ix, iy, T)
  % Zero-based lookup; a column or row before the grid contributes 0.
  if ix < 0 || iy < 0
    v = zeros(T, 1, 'single');
  else
    v = reshape(integral(iy + 1, ix + 1, :), T, 1);
  end
end
