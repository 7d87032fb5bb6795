function out = median_filter(field, radius)
%MEDIAN_FILTER  Median over a (2 RADIUS + 1)^2 square window, borders replicated.
%   Used to remove isolated outliers from a displacement component.

[h, w] = size(field);
n_side = 2 * radius + 1;
stack = zeros(h, w, n_side ^ 2);
k = 0;
for ox = -radius:radius
  cols = min(max((1:w) + ox, 1), w);
  for oy = -radius:radius
    rows = min(max((1:h) + oy, 1), h);
    k = k + 1;
    stack(:, :, k) = field(rows, cols);
  end
end
out = median(stack, 3);
end
