function test_densematch()
%TEST_DENSEMATCH  The densematch module in the host: a known field recovered,
%   output classes and sizes, errors with identifiers and nothing assigned,
%   inputs unchanged, the same bits whatever the thread count.
  check_known_translation();
  check_types_and_sizes();
  check_errors();
  check_inputs_unchanged_and_threads();
  printf('test_densematch: passed\n');
end

% A smooth texture sampled at any point: image 2 is rendered exactly.
function img = texture(x, y)
  img = 0.5 + 0.12 * sin(0.31 * x + 0.17 * y) + 0.1 * sin(-0.23 * x + 0.41 * y + 1) + ...
        0.08 * sin(0.53 * x - 0.12 * y + 2) + 0.06 * sin(0.07 * x + 0.61 * y + 3) + ...
        0.05 * sin(0.45 * x + 0.45 * y + 4);
end

function [a, b, tx, ty] = translated_pair(h, w)
  tx = 4.4;
  ty = -2.7;
  [x, y] = meshgrid(0:w - 1, 0:h - 1);
  a = texture(x, y);
  b = texture(x - tx, y - ty);
end

function opts = small_options()
  opts = struct('grid_size', 4, 'search_radius', 12);
end

function check_known_translation()
  [a, b, tx, ty] = translated_pair(64, 80);
  [dx, dy, valid, cost] = densematch(a, b, small_options());
  inner_dx = dx(8:end - 4, 6:end - 10);
  inner_dy = dy(8:end - 4, 6:end - 10);
  epe = sqrt((inner_dx - tx) .^ 2 + (inner_dy - ty) .^ 2);
  assert(mean(epe(:)) < 0.05, 'mean endpoint error %g px', mean(epe(:)));
  inner_valid = valid(8:end - 4, 6:end - 10);
  assert(mean(inner_valid(:)) > 0.97, 'valid share %g', mean(inner_valid(:)));
  % The last columns map beyond image 2: never valid, infinite cost.
  assert(~any(any(valid(:, end - 3:end))));
  assert(all(all(isinf(cost(8:end - 4, end - 3:end)))));
  assert(all(isfinite(cost(valid))));
  % A black band down image 1's right side is a frame: never valid, with the
  % switch on; off, it is read as image.
  framed = a;
  framed(:, end - 5:end) = 0;
  [~, ~, valid] = densematch(framed, b, small_options());
  assert(~any(any(valid(:, end - 5:end))));
  options = small_options();
  options.fill_frame = false;
  [~, ~, valid_off] = densematch(framed, b, options);
  assert(islogical(valid_off) && isequal(size(valid_off), size(valid)));
  % A rectified pair: matches along the rows only.
  options = small_options();
  options.rectified = true;
  [dx_rect, dy_rect] = densematch(a, b, options);
  assert(all(dy_rect(:) == 0) && all(isfinite(dx_rect(:))));
  % Without the edge-aware steps: a field of its own, as finite.
  options.median_radius = 0;
  options.snap_radius = 0;
  dx_plain = densematch(a, b, options);
  assert(isequal(size(dx_plain), size(dx_rect)) && all(isfinite(dx_plain(:))));
end

function check_types_and_sizes()
  [a, b] = translated_pair(30, 40);
  a8 = uint8(round(255 * a));
  b16 = uint16(round(65535 * b));
  rgb = repmat(single(b), [1 1 3]);
  inputs = {{a8, b16}, {single(a), rgb}, {a8, a8(1:20, 5:35)}};
  for i = 1:numel(inputs)
    [dx, dy, valid, cost] = densematch(inputs{i}{:}, small_options());
    assert(isequal(size(dx), [30 40]) && isequal(size(dy), [30 40]));
    assert(isequal(size(valid), [30 40]) && isequal(size(cost), [30 40]));
    assert(isa(dx, 'single') && isa(dy, 'single') && isa(cost, 'single'));
    assert(islogical(valid));
    assert(all(isfinite(dx(:))) && all(isfinite(dy(:))));
  end
  % One output only, and the default options, given or not.
  dx = densematch(a, b);
  assert(isequal(size(dx), [30 40]));
  % A translation: the global-motion pass has nothing to add, whether on or off.
  assert(isequal(dx, densematch(a, b, struct('global_motion', 0))));
  assert(isequal(dx, densematch(a, b, struct('global_motion', false))));
  assert(isequal(dx, densematch(a, b, [])));
end

function check_errors()
  a = rand(20, 24);
  bad = 'densecorr:densematch:badInput';
  expect_error(bad, 'one image', @() densematch(a));
  expect_error(bad, 'four arguments', @() densematch(a, a, struct(), 1));
  expect_error(bad, 'int8 image', @() densematch(int8(a), a));
  expect_error(bad, 'logical image', @() densematch(a > 0.5, a));
  expect_error(bad, 'complex image', @() densematch(complex(a, a), a));
  expect_error(bad, 'two channels', @() densematch(cat(3, a, a), a));
  expect_error(bad, 'empty image', @() densematch(zeros(0, 5), a));
  expect_error(bad, 'NaN pixel', @() densematch([a(:, 1:end - 1) nan(20, 1)], a));
  expect_error(bad, 'options not a struct', @() densematch(a, a, 3));
  expect_error(bad, 'unknown option', @() densematch(a, a, struct('serach_radius', 5)));
  expect_error(bad, 'fractional level count', @() densematch(a, a, struct('n_tree_level', 1.5)));
  expect_error(bad, 'negative weight', @() densematch(a, a, struct('neighbour_weight', -1)));
  expect_error(bad, 'NaN option', @() densematch(a, a, struct('flow_smoothness', NaN)));
  expect_error(bad, 'text option', @() densematch(a, a, struct('grid_size', 'four')));
  expect_error(bad, 'three radii', @() densematch(a, a, struct('search_radius', [1 2 3])));
  expect_error(bad, 'median radius past 64', @() densematch(a, a, struct('median_radius', 65)));
  expect_error(bad, 'snap radius past 31', @() densematch(a, a, struct('snap_radius', 32)));
  expect_error(bad, 'levels beyond the image', @() densematch(a, a, struct('n_tree_level', 9)));
  expect_error(bad, 'global_motion neither 0 nor 1', ...
               @() densematch(a, a, struct('global_motion', 2)));
  expect_error(bad, 'descriptor option', ...
               @() densematch(a, a, struct('descriptor', struct('cell_size', -1))));
  % Nothing is assigned on an error.
  clear dx dy;
  try
    [dx, dy] = densematch(a, a, struct('bogus', 1));
  catch
  end
  assert(~exist('dx', 'var') && ~exist('dy', 'var'), 'outputs assigned after an error');
end

function expect_error(id, what, fn)
  try
    fn();
  catch err
    assert(strcmp(err.identifier, id), '%s: identifier %s, expected %s', what, err.identifier, id);
    assert(~isempty(err.message), '%s: no message', what);
    return;
  end
  error('test_densematch:noError', '%s: no error raised', what);
end

function check_inputs_unchanged_and_threads()
  [a, b] = translated_pair(40, 56);
  a = single(a);
  b = uint8(round(255 * b));
  a0 = a;
  b0 = b;
  opts = small_options();
  opts.n_threads = 1;
  [dx1, dy1, v1, c1] = densematch(a, b, opts);
  opts.n_threads = 2;
  [dx2, dy2, v2, c2] = densematch(a, b, opts);
  opts.n_threads = 3;
  [dx3, dy3, v3, c3] = densematch(a, b, opts);
  assert(isequal(a, a0) && isequal(b, b0), 'inputs changed');
  same = @(p, q) isequal(typecast(p(:), 'uint32'), typecast(q(:), 'uint32'));
  assert(same(dx1, dx2) && same(dy1, dy2) && same(c1, c2) && isequal(v1, v2), ...
         'results differ between 1 and 2 threads');
  assert(same(dx1, dx3) && same(dy1, dy3) && same(c1, c3) && isequal(v1, v3), ...
         'results differ between 1 and 3 threads');
end
