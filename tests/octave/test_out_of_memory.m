function test_out_of_memory()
%TEST_OUT_OF_MEMORY  A call whose memory cannot be had raises the
%   densecorr:outOfMemory error, assigns nothing and leaves the host and the
%   modules working. Run it with the address space limited to a few GiB (the
%   test command does): the whole-call check does not see such a limit, so
%   the host's own failure to create the 4.3 GB output below, or the core's
%   failure to allocate an 8 GB offset list, is what ends the call (on a
%   machine with less memory than the call needs in all, the whole-call
%   check refuses it first, with the same identifier).
  limit = address_space_limit();
  assert(limit <= 6 * 2^30, ['run this test with the address space limited to a few GiB ' ...
                             '(e.g. ulimit -v 4000000), not %g bytes'], limit);
  rand('state', 5);
  a = rand(128, 128, 2, 'single');
  % 223^2 translations x 21845 cells.
  q = struct('n_tree_level', 8, 'search_radius', [111 111], 'grid_size', 1, 'truncate_const', 1);
  expect_error(@cellcost, a, a, q);
  assert(isequal(size(cellcost(a, a, setfield(q, 'search_radius', [1 1]))), [9 21845]));

  % A single pixel searched over (2*15811 + 1)^2 offsets.
  one = rand(1, 1, 8, 'single');
  p = struct('search_grid_size', 1, 'search_radius', [15811 15811], 'deform_coeff', 0.1, ...
             'truncate_const', 10);
  expect_error(@densedisp, one, one, zeros(2, 1, 'int32'), p);
  b = rand(20, 30, 8, 'single');
  d = zeros(2, 600, 'int32');
  [moved, cost] = densedisp(b, b, d, setfield(p, 'search_radius', [1 1]));
  assert(isequal(moved, d) && all(cost == 0));
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
