function test_out_of_memory()
%TEST_OUT_OF_MEMORY  A call whose scratch memory cannot be had raises a host
%   error, assigns nothing and leaves the host and the modules working. Run it
%   with the address space limited to a few GiB (the test command does), so
%   that the multi-GiB requests below cannot be allocated.
  limit = address_space_limit();
  assert(limit <= 6 * 2^30, ['run this test with the address space limited to a few GiB ' ...
                             '(e.g. ulimit -v 4000000), not %g bytes'], limit);
  rand('state', 5);
  a = rand(20, 30, 8, 'single');
  b = rand(25, 35, 8, 'single');
  d = zeros(2, 600, 'int32');
  % The calls hold no distance volume: a single pixel searched over
  % (2*15811 + 1)^2 offsets needs 8 GB for its offset list alone.
  p = struct('search_grid_size', 1, 'search_radius', [15811 15811], 'deform_coeff', 0.1, ...
             'truncate_const', 10);
  one = rand(1, 1, 8, 'single');
  expect_error(@densedisp, one, one, zeros(2, 1, 'int32'), p);
  [moved, cost] = densedisp(a, b, d, setfield(p, 'search_radius', [1 1]));
  assert(isequal(size(moved), [2 600]) && isequal(size(cost), [1 600]));

  % 32767^2 translations of a single sample: gigabytes of translation list
  % and output.
  q = struct('n_tree_level', 1, 'search_radius', [16383 16383], 'grid_size', 1, ...
             'truncate_const', 1);
  expect_error(@cellcost, one, one, q);
  a = rand(40, 30, 8, 'single');
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
  failed = false;
  try
    [x, y] = fn(varargin{:});
  catch err
    failed = true;
    printf('%s: error "%s"\n', func2str(fn), err.message);
  end
  assert(failed, '%s: a call beyond the memory limit did not fail', func2str(fn));
  assert(~exist('x', 'var') && ~exist('y', 'var'), '%s: output assigned after an error', ...
         func2str(fn));
end
