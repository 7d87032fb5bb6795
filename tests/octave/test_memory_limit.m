function test_memory_limit()
%TEST_MEMORY_LIMIT  Run inside a memory cgroup of 800 MiB (test_memory_limit.sh):
%   a call whose outputs, the host's copies of them and the core's scratch
%   do not fit is refused at once with densecorr:outOfMemory, before it
%   creates anything, and Octave lives on; a call that fits runs.
  randn('state', 1);
  a = single(randn(128, 128, 2));
  p = struct('n_tree_level', 8, 'search_radius', [50 50], 'grid_size', 1, 'truncate_const', 1);
  % 101^2 translations x 21845 cells: 891 MB of costs.
  expect_refused(@cellcost, a, a, p);
  % 69^2 x 21845: 416 MB of costs fit alone, not with the host's copy of them.
  expect_refused(@cellcost, a, a, setfield(p, 'search_radius', [34 34]));
  % A 1 x 1 image and 2^28 + 1 translations: 3 GB of outputs, and more scratch.
  tiny = single(randn(1, 1, 2));
  expect_refused(@cellcost, tiny, tiny, struct('n_tree_level', 1, 'search_radius', [2^27 0], ...
                                               'grid_size', 1, 'truncate_const', 1));
  % 2^25 pixels without channels: 384 MiB of outputs, twice, beside the
  % 256 MiB starting field.
  no_channels = zeros(8192, 4096, 0, 'single');
  field = zeros(2, 2^25, 'int32');
  q = struct('search_grid_size', 1, 'search_radius', [0 0], 'deform_coeff', 0.1, ...
             'truncate_const', 1);
  expect_refused(@densedisp, no_channels, zeros(1, 1, 0, 'single'), field, q);
  clear no_channels field;

  % Calls that fit run: 1681 x 21845 costs (147 MB, about 400 MB with the
  % host's copy and the scratch), and a small densedisp.
  [node_cost, shifts] = cellcost(a, a, setfield(p, 'search_radius', [20 20]));
  assert(isequal(size(node_cost), [1681 21845]) && isequal(size(shifts), [2 1681]));
  clear node_cost shifts;
  b = single(randn(200, 200, 8));
  d = zeros(2, 200 * 200, 'int32');
  [moved, cost] = densedisp(b, b, d, setfield(q, 'search_radius', [5 5]));
  assert(isequal(size(moved), [2 40000]) && all(cost == 0));
  printf('test_memory_limit: passed\n');
end

function expect_refused(fn, varargin)
  name = func2str(fn);
  err = [];
  start = tic;
  try
    [x, y] = fn(varargin{:});
  catch err
  end
  seconds = toc(start);
  assert(~isempty(err), '%s: a call beyond the limit was not refused', name);
  printf('%s: %.2f s: %s "%s"\n', name, seconds, err.identifier, err.message);
  assert(strcmp(err.identifier, 'densecorr:outOfMemory') && ...
         strncmp(err.message, [name ': out of memory: the call needs'], numel(name) + 30), ...
         '%s: expected the whole-call refusal, got %s "%s"', name, err.identifier, err.message);
  assert(seconds < 1, '%s: the refusal took %.2f s', name, seconds);
  assert(~exist('x', 'var') && ~exist('y', 'var'), '%s: output assigned after an error', name);
end
