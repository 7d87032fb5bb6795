function memory_guard_check()
%MEMORY_GUARD_CHECK  Calls that need more memory than this process may use
%   must fail at once with an error, assign nothing, and leave Octave and the
%   modules working. Run it under a memory limit of about 1 GiB (see
%   fuzz/octave_checks); without one, the calls simply succeed.
  randn('state', 3);
  % 101^2 translations x 21845 cells: 891 MB of costs, twice.
  a = single(randn(128, 128, 2));
  p = struct('n_tree_level', 8, 'search_radius', [50 50], 'grid_size', 1, 'truncate_const', 1);
  expect_quick_error(@cellcost, a, a, p);
  % 2^25 pixels without channels: 384 MiB of outputs, twice, beside the
  % 256 MiB starting field.
  q = struct('search_grid_size', 1, 'search_radius', [0 0], 'deform_coeff', 0.1, ...
             'truncate_const', 1);
  expect_quick_error(@densedisp, zeros(8192, 4096, 0, 'single'), zeros(1, 1, 0, 'single'), ...
                     zeros(2, 2^25, 'int32'), q);
  % Octave and both modules still work.
  b = single(randn(200, 200, 8));
  d = zeros(2, 200 * 200, 'int32');
  [moved, cost] = densedisp(b, b, d, setfield(q, 'search_radius', [2 2]));
  assert(isequal(size(moved), [2 40000]) && all(cost == 0));
  assert(isequal(size(cellcost(a, a, setfield(p, 'search_radius', [1 1]))), [9 21845]));
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
