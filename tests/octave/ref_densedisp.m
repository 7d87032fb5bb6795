function [disparity, best_cost] = ref_densedisp(im1, im2, disparity0, p)
%REF_DENSEDISP  Literal single-precision displacement refinement, the oracle of the tests.
%   Loops follow the module's order of operations exactly; they are
%   vectorised only across pixels, never across a running sum or the
%   first-minimum search.
  g = fix(p.search_grid_size);
  rx = fix(p.search_radius(1));
  ry = fix(p.search_radius(2));
  deform = single(p.deform_coeff);
  tc = single(p.truncate_const);
  [H1, W1, F] = size(im1);
  [H2, W2, ~] = size(im2);
  P1 = H1 * W1;

  % Offsets: sx outer, sy inner, each anchored at -radius.
  offsets = zeros(2, 0);
  for sx = -rx:g:rx
    for sy = -ry:g:ry
      offsets(:, end + 1) = [sx; sy];
    end
  end
  n = size(offsets, 2);

  % Unclipped distances of the in-image candidates; the rest keep tc.
  pix = 0:P1 - 1;
  bx = floor(pix / H1) + double(disparity0(1, :));
  by = mod(pix, H1) + double(disparity0(2, :));
  vol = repmat(tc, n, P1);
  for k = 1:n
    x2 = bx + offsets(1, k);
    y2 = by + offsets(2, k);
    inside = x2 >= 0 & x2 < W2 & y2 >= 0 & y2 < H2;
    a = pix(inside) + 1;
    b = y2(inside) + H2 * x2(inside) + 1;
    sum_sq = zeros(1, nnz(inside), 'single');
    for c = 0:F - 1
      d = im1(a + c * P1) - im2(b + c * H2 * W2);
      sum_sq = sum_sq + d .* d;
    end
    vol(k, inside) = sqrt(sum_sq);
  end

  % First strict minimum of distance + deform * (|sx| + |sy|).
  best = zeros(1, P1);
  lowest = repmat(realmax('single'), 1, P1);
  for k = 1:n
    penalty = (single(abs(offsets(1, k))) + single(abs(offsets(2, k)))) * deform;
    total = vol(k, :) + penalty;
    better = total < lowest;
    lowest(better) = total(better);
    best(better) = k;
  end

  % Winners move by their offset; a pixel without one keeps its
  % displacement and costs +Inf.
  disparity = disparity0;
  best_cost = inf(1, P1, 'single');
  won = find(best > 0);
  disparity(:, won) = disparity0(:, won) + int32(offsets(:, best(won)));
  best_cost(won) = vol(sub2ind(size(vol), best(won), won));
end
