function test_out_of_memory()
%TEST_OUT_OF_MEMORY  A call whose scratch memory cannot be had raises the
%   densecorr:outOfMemory error, assigns nothing and leaves the host and the
%   modules working. Run it with the address space limited to a few GiB (the
%   test command does), so that the 8 GiB distance volumes below cannot be
%   allocated.
  limit = address_space_limit();
  assert(limit <= 6 * 2^30, ['run this test with the address space limited to a few GiB ' ...
                             '(e.g. ulimit -v 4000000), not %g bytes'], limit);
  rand('state', 5);
  a = rand(20, 30, 8, 'single');
  b = rand(25, 35, 8, 'single');
  d = zeros(2, 600, 'int32');
  % (2*945 + 1)^2 offsets x 600 pixels: just below 2^31 floats.
  p = struct('search_grid_size', 1, 'search_radius', [945 945], 'deform_coeff', 0.1, ...
             'truncate_const', 10);
  expect_error(@densedisp, a, b, d, p);
  [moved, cost] = densedisp(a, b, d, setfield(p, 'search_radius', [1 1]));
  assert(isequal(size(moved), [2 600]) && isequal(size(cost), [1 600]));

  % 1201^2 translations x 1200 samples.
  q = struct('n_tree_level', 1, 'search_radius', [600 600], 'grid_size', 1, 'truncate_const', 1);
  a = rand(40, 30, 8, 'single');
  expect_error(@cellcost, a, a, q);
  assert(isequal(size(cellcost(a, a, setfield(q, 'search_radius', [1 1]))), [9 1]));
  printf('test_out_of_memory: passed\n');
end

function bytes = address_space_limit()
  % The soft limit of this process; Inf when unlimited or unknown.
  bytes = Inf;
  try
    line = regexp(fileread('/proc/self/limits'), 'Max address space\s+(\d+)', 'tokens', 'once');
    if ~isempty(line)
      bytes = str2double(line{1});
    end
  catch
  end
end

function expect_error(fn, varargin)
  % The module's out-of-memory error, not a refusal of its arguments: the
  % whole-call check or the failed allocation itself, whichever comes first
  % on this machine.
  name = func2str(fn);
  err = [];
  try
    [x, y] = fn(varargin{:});
  catch err
    printf('%s: error %s "%s"\n', name, err.identifier, err.message);
  end
  assert(~isempty(err), '%s: a call beyond the memory limit did not fail', name);
  assert(strcmp(err.identifier, 'densecorr:outOfMemory') && ...
         strncmp(err.message, [name ': out of memory'], numel(name) + 15), ...
         '%s: expected the out-of-memory error, got %s "%s"', name, err.identifier, err.message);
  assert(~exist('x', 'var') && ~exist('y', 'var'), '%s: output assigned after an error', name);
end
