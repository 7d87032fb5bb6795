function memory_guard_check()
%MEMORY_GUARD_CHECK  Calls that need more memory than this process may use
%   must fail at once with an error, assign nothing, and leave Octave and the
%   modules working. Run it under a memory limit of about 1 GiB (see
%   fuzz/octave_checks); without one, the first call simply succeeds.
  rand('state', 3);
  a = rand(200, 200, 8, 'single');
  d = zeros(2, 200 * 200, 'int32');
  % 81^2 offsets x 40000 pixels: a 1 GiB distance volume.
  p = struct('search_grid_size', 1, 'search_radius', [40 40], 'deform_coeff', 0.1, ...
             'truncate_const', 1);
  expect_quick_error(@densedisp, a, a, d, p);
  % 1201^2 translations x 1200 samples: a 6.9 GB distance volume.
  b = rand(40, 30, 8, 'single');
  q = struct('n_tree_level', 1, 'search_radius', [600 600], 'grid_size', 1, ...
             'truncate_const', 1);
  expect_quick_error(@cellcost, b, b, q);
  % Octave and both modules still work.
  [moved, cost] = densedisp(a, a, d, setfield(p, 'search_radius', [2 2]));
  assert(isequal(size(moved), [2 40000]) && all(cost == 0));
  assert(isequal(size(cellcost(b, b, setfield(q, 'search_radius', [1 1]))), [9 1]));
  printf('memory_guard_check: passed\n');
end

function expect_quick_error(fn, varargin)
  name = func2str(fn);
  err = [];
  start = tic;
  try
    [x, y] = fn(varargin{:});
  catch err
    printf('%s: error after %.2f s: %s "%s"\n', name, toc(start), err.identifier, err.message);
  end
  assert(~isempty(err), '%s: the call did not fail: is a memory limit in place?', name);
  assert(strcmp(err.identifier, 'densecorr:outOfMemory'), '%s: not the out-of-memory error', name);
  assert(toc(start) < 10, '%s: the failure took %.1f s', name, toc(start));
  assert(~exist('x', 'var') && ~exist('y', 'var'), '%s: output assigned after an error', name);
end
