function test_densedisp()
%TEST_DENSEDISP  The densedisp module in the host: argument messages and their
%   order, outputs, conversions, and agreement with the literal reference.
  rand('state', 23);
  check_argument_messages();
  check_unsafe_inputs();
  check_outputs();
  check_against_reference();
  printf('test_densedisp: passed\n');
end

function p = params(varargin)
  p = struct('search_grid_size', 1, 'search_radius', [2 1], 'deform_coeff', 0.1, ...
             'truncate_const', 10);
  for i = 1:2:numel(varargin)
    p.(varargin{i}) = varargin{i + 1};
  end
end

function check_argument_messages()
  nargs = 'the number of input arg must be 4';
  single_msg = 'wrong descriptor format: must be single';
  int_msg = 'wrong disparity format: must be int32';
  shape = 'wrong feature format -- it must be heightxwidthxfeat_dim';
  different = 'different feature dimension';
  a = rand(20, 30, 8, 'single');
  b = rand(25, 35, 8, 'single');
  d = zeros(2, 600, 'int32');
  p = params();

  check_rejects(nargs, @densedisp, a, b, d);
  check_rejects(nargs, @densedisp, a, b, d, p, p);
  check_rejects(single_msg, @densedisp, double(a), b, d, p);
  check_rejects(single_msg, @densedisp, a, double(b), d, p);
  check_rejects(int_msg, @densedisp, a, b, double(d), p);
  check_rejects(int_msg, @densedisp, a, b, int16(d), p);
  check_rejects(shape, @densedisp, a(:, :, 1), b, d, p);
  check_rejects(shape, @densedisp, a, b(:, :, 1), d, p);
  check_rejects(different, @densedisp, a, rand(20, 30, 16, 'single'), d, p);

  % Order: the first failing test alone is reported.
  check_rejects(single_msg, @densedisp, double(a), double(b), double(d), p);
  check_rejects(int_msg, @densedisp, a(:, :, 1), b, double(d), p);  % disparity class before shapes
  % The tests added for unsafe input come after all of these.
  check_rejects(different, @densedisp, complex(a), rand(4, 4, 3, 'single'), d(:, 1:5), 0);
  check_rejects(shape, @densedisp, a, b(:, :, 1), zeros(3, 3, 'int32'), p);
end

function check_unsafe_inputs()
  storage = 'wrong descriptor format: must be real, not complex or sparse';
  too_big = 'wrong descriptor size: element count must fit a 32-bit integer';
  field_size = 'wrong disparity size: must be 2 x (height*width of image 1)';
  not_struct = 'wrong parameter format: must be a non-empty struct';
  search = 'search too large: offset and volume counts must fit a 32-bit integer';
  a = rand(20, 30, 8, 'single');
  b = rand(25, 35, 8, 'single');
  d = zeros(2, 600, 'int32');
  p = params();

  check_rejects(storage, @densedisp, complex(a), b, d, p);
  check_rejects(storage, @densedisp, a, complex(b), d, p);
  check_rejects(too_big, @densedisp, zeros(2^31, 0, 8, 'single'), b, zeros(2, 0, 'int32'), p);
  check_rejects(too_big, @densedisp, zeros(2^16, 2^16, 0, 'single'), zeros(2, 2, 0, 'single'), ...
                d, p);
  check_rejects(too_big, @densedisp, a, zeros(0, 2^31, 8, 'single'), d, p);

  % The core reads and writes exactly 2 x (H1*W1) displacements.
  for field = {zeros(2, 599, 'int32'), zeros(2, 601, 'int32'), zeros(3, 600, 'int32'), ...
               zeros(600, 2, 'int32'), zeros(1, 1200, 'int32'), zeros(2, 600, 2, 'int32'), ...
               zeros(2, 0, 'int32')}
    check_rejects(field_size, @densedisp, a, b, field{1}, p);
  end
  check_rejects(field_size, @densedisp, a, b, zeros(2, 750, 'int32'), 'not a struct');

  check_rejects(not_struct, @densedisp, a, b, d, 5);
  check_rejects(not_struct, @densedisp, a, b, d, repmat(p, 0, 1));
  keys = {'search_grid_size', 'search_radius', 'deform_coeff', 'truncate_const'};
  for i = 1:numel(keys)
    check_rejects(sprintf('missing parameter field: %s', keys{i}), @densedisp, a, b, d, ...
                  rmfield(p, keys{i}));
  end
  for key = {'search_grid_size', 'deform_coeff', 'truncate_const'}
    wrong = sprintf('wrong parameter format: %s must be a real numeric value', key{1});
    for value = {[], 'a', false, {1}, complex(0, 1), sparse(1)}
      check_rejects(wrong, @densedisp, a, b, d, params(key{1}, value{1}));
    end
  end
  % Fields are read in order: the first failing one is reported.
  check_rejects('wrong parameter format: search_grid_size must be a real numeric value', ...
                @densedisp, a, b, d, params('search_grid_size', 'x', 'search_radius', 7));
  radius = ['wrong parameter format: search_radius must be a real double array ' ...
            'of at least two elements'];
  for value = {2, int32([2 1]), single([2 1]), complex([2 1], [1 0]), sparse([2 1])}
    check_rejects(radius, @densedisp, a, b, d, params('search_radius', value{1}));
  end
  for bad = {{'search_grid_size', NaN}, {'search_grid_size', -2^31 - 1}, ...
             {'search_radius', [2 -Inf]}, {'search_radius', [2^31 1]}}
    check_rejects(sprintf('wrong parameter value: %s must be finite and fit a 32-bit integer', ...
                          bad{1}{1}), @densedisp, a, b, d, params(bad{1}{:}));
  end

  % A step below 1 would never end the offset loops; a negative radius would
  % leave every pixel without a candidate.
  grid_msg = 'wrong parameter value: search_grid_size must be at least 1';
  check_rejects(grid_msg, @densedisp, a, b, d, params('search_grid_size', 0.5));
  check_rejects(grid_msg, @densedisp, a, b, d, params('search_grid_size', -1, 'search_radius', [-1 -1]));
  radius_msg = 'wrong parameter value: search_radius must not be negative';
  check_rejects(radius_msg, @densedisp, a, b, d, params('search_radius', [0 -2]));
  check_rejects(radius_msg, @densedisp, a, b, d, params('search_radius', [-1 0]));

  check_rejects(search, @densedisp, a, b, d, params('search_radius', [2^31 - 1, 0]));
  check_rejects(search, @densedisp, a, b, d, params('search_radius', [30000 30000]));
  check_rejects(search, @densedisp, a, b, d, params('search_radius', [1000 1000]));

  % Real parameters may be anything a single can hold, infinities included.
  [moved, cost] = densedisp(a, b, d, params('truncate_const', Inf, 'deform_coeff', 1e300));
  assert(isequal(moved, d) && all(isinf(cost)), 'no finite score: nothing moves');
end

function check_outputs()
  a = rand(20, 30, 8, 'single');
  b = rand(25, 35, 8, 'single');
  d = int32(round(4 * rand(2, 600) - 2));
  a_before = a * 1;
  b_before = b * 1;
  d_before = d * 1;
  p = params();

  [moved, cost] = densedisp(a, b, d, p);
  assert(isa(moved, 'int32') && isequal(size(moved), [2 600]));
  assert(isa(cost, 'single') && isequal(size(cost), [1 600]) && isreal(cost));
  same_bits(a, a_before, 'image 1 after the call');
  same_bits(b, b_before, 'image 2 after the call');
  same_bits(d, d_before, 'displacement field after the call');

  densedisp(a, b, d, p);
  same_bits(ans, moved, 'ans of a call without outputs');
  same_bits(densedisp(a, b, d, p), moved, 'one output');

  % Fractional parameters are truncated toward zero.
  [m1, c1] = densedisp(a, b, d, params('search_radius', [2.9 1.5], 'search_grid_size', 2.5));
  [m2, c2] = densedisp(a, b, d, params('search_radius', [2 1], 'search_grid_size', 2));
  same_bits(m1, m2, 'truncated parameters, displacements');
  same_bits(c1, c2, 'truncated parameters, costs');

  % truncate_const is rounded to the nearest single: with every candidate
  % outside image 2, each pixel costs exactly that value and moves by the
  % first offset of least penalty, (0, 0) here.
  far = repmat(int32([100; 0]), 1, 600);
  [moved, cost] = densedisp(a, b, far, params('truncate_const', 0.1));
  assert(isequal(moved, far));
  same_bits(cost, repmat(single(0.1), 1, 600), 'truncate_const 0.1');
  assert(double(single(0.1)) > 0.1);  % so the check above tells rounding from truncation

  % Empty images give empty outputs.
  [moved, cost] = densedisp(zeros(0, 4, 3, 'single'), b(:, :, 1:3), zeros(2, 0, 'int32'), p);
  assert(isequal(size(moved), [2 0]) && isequal(size(cost), [1 0]));
end

function check_against_reference()
  cases = {
    {[7 9 4], [8 6 4], 1, [2 1], 0.05, 1.5, 3}
    {[20 30 8], [25 35 8], 1, [2 2], 0.1, 10, 2}
    {[6 5 3], [6 5 3], 2, [2 1], 0, 0.8, 1}      % no (0, 0) offset
    {[9 4 2], [5 11 2], 3, [2 0], 0.2, 2, 4}
    {[5 6 0], [4 4 0], 1, [1 1], 0.3, 1, 1}      % no channels: distance 0 inside
    {[8 8 5], [8 8 5], 1, [1 2], -0.05, 0.5, 6}  % a negative penalty favours long offsets
  };
  for i = 1:numel(cases)
    [s1, s2, g, r, deform, tc, spread] = cases{i}{:};
    a = rand(s1, 'single');
    b = rand(s2, 'single');
    if i == 1
      a(4) = NaN;  % special values follow the same path
      b(7) = -Inf;
    end
    d = int32(round(2 * spread * rand(2, s1(1) * s1(2)) - spread));
    p = params('search_grid_size', g, 'search_radius', r, 'deform_coeff', deform, ...
               'truncate_const', tc);
    [moved, cost] = densedisp(a, b, d, p);
    [ref_moved, ref_cost] = ref_densedisp(a, b, d, p);
    what = sprintf('case %d', i);
    same_bits(moved, ref_moved, [what ' displacements']);
    same_bits(cost, ref_cost, [what ' costs']);
  end
end
