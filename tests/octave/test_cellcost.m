function test_cellcost()
%TEST_CELLCOST  The cellcost module in the host: argument messages and their
%   order, outputs, conversions, and agreement with the literal reference.
  rand('state', 11);
  check_argument_messages();
  check_unsafe_inputs();
  check_outputs();
  check_against_reference();
  printf('test_cellcost: passed\n');
end

function p = params(varargin)
  p = struct('n_tree_level', 3, 'search_radius', [10 5], 'grid_size', 4, 'truncate_const', 1);
  for i = 1:2:numel(varargin)
    p.(varargin{i}) = varargin{i + 1};
  end
end

function check_argument_messages()
  nargs = 'the number of input arg must be 3';
  single_msg = 'wrong descriptor format: must be single';
  shape = 'wrong feature format -- it must be heightxwidthxfeat_dim';
  different = 'different feature dimension';
  a = rand(40, 30, 8, 'single');
  b = rand(50, 20, 8, 'single');
  p = params();

  check_rejects(nargs, @cellcost);
  check_rejects(nargs, @cellcost, a, b);
  check_rejects(nargs, @cellcost, a, b, p, p);
  check_rejects(single_msg, @cellcost, double(a), b, p);
  check_rejects(single_msg, @cellcost, a, double(b), p);
  check_rejects(single_msg, @cellcost, a, int32(b), p);
  check_rejects(shape, @cellcost, a(:, :, 1), b, p);            % F = 1 is two-dimensional
  check_rejects(shape, @cellcost, a, b(:, :, 1), p);
  check_rejects(shape, @cellcost, rand(4, 5, 2, 2, 'single'), b, p);
  check_rejects(different, @cellcost, a, rand(40, 30, 16, 'single'), p);

  % Order: the first failing test alone is reported.
  check_rejects(nargs, @cellcost, double(a), b);
  check_rejects(single_msg, @cellcost, zeros(4, 5), b, p);       % class before shape
  check_rejects(single_msg, @cellcost, a(:, :, 1), double(b), p); % image 2 class before image 1 shape
  check_rejects(shape, @cellcost, a(:, :, 1:2), b(:, :, 1), p);  % shapes before feature counts
  % The tests added for unsafe input come after all of these.
  check_rejects(different, @cellcost, complex(a), rand(4, 4, 3, 'single'), 'not a struct');
  check_rejects(shape, @cellcost, complex(a(:, :, 1)), b, p);
end

function check_unsafe_inputs()
  storage = 'wrong descriptor format: must be real, not complex or sparse';
  too_big = 'wrong descriptor size: element count must fit a 32-bit integer';
  not_struct = 'wrong parameter format: must be a non-empty struct';
  search = 'search too large: translation and cell counts must fit a 32-bit integer';
  a = rand(40, 30, 8, 'single');
  b = rand(50, 20, 8, 'single');
  p = params();

  % Images: plain real storage, and sizes that fit the core's ints. The huge
  % ones hold no element, so they cost no memory.
  check_rejects(storage, @cellcost, complex(a), b, p);
  check_rejects(storage, @cellcost, a, complex(b), p);
  check_rejects(too_big, @cellcost, zeros(2^31, 0, 8, 'single'), b, p);
  check_rejects(too_big, @cellcost, a, zeros(0, 2^31, 8, 'single'), p);
  check_rejects(too_big, @cellcost, zeros(2^16, 2^16, 0, 'single'), zeros(2, 2, 0, 'single'), p);
  check_rejects(storage, @cellcost, complex(a), zeros(2^31, 0, 8, 'single'), p);

  % The parameter argument and its fields, read in the documented order.
  check_rejects(not_struct, @cellcost, a, b, 5);
  check_rejects(not_struct, @cellcost, a, b, {p});
  check_rejects(not_struct, @cellcost, a, b, repmat(p, 0, 1));
  check_rejects(not_struct, @cellcost, a, b, struct([]));
  keys = {'n_tree_level', 'search_radius', 'grid_size', 'truncate_const'};
  for i = 1:numel(keys)
    check_rejects(sprintf('missing parameter field: %s', keys{i}), @cellcost, a, b, ...
                  rmfield(p, keys{i}));
  end
  check_rejects('missing parameter field: search_radius', @cellcost, a, b, ...
                rmfield(params('grid_size', NaN), 'search_radius'));  % earlier field first
  for key = {'n_tree_level', 'grid_size', 'truncate_const'}
    wrong = sprintf('wrong parameter format: %s must be a real numeric value', key{1});
    for value = {[], zeros(1, 0, 'single'), 'a', true, {1}, struct('v', 1), complex(1, 1), sparse(1)}
      check_rejects(wrong, @cellcost, a, b, params(key{1}, value{1}));
    end
  end
  radius = ['wrong parameter format: search_radius must be a real double array ' ...
            'of at least two elements'];
  for value = {5, [], int32([5 3]), single([5 3]), complex([5 3], [0 1]), sparse([5 3]), {5, 3}}
    check_rejects(radius, @cellcost, a, b, params('search_radius', value{1}));
  end

  % Integer parameters must be finite and fit 32 bits once truncated.
  for bad = {{'n_tree_level', NaN}, {'n_tree_level', Inf}, {'grid_size', -Inf}, ...
             {'grid_size', 2^31}, {'n_tree_level', -2^31 - 1}, {'search_radius', [NaN 1]}, ...
             {'search_radius', [1 Inf]}, {'search_radius', [2^31 0]}}
    check_rejects(sprintf('wrong parameter value: %s must be finite and fit a 32-bit integer', ...
                          bad{1}{1}), @cellcost, a, b, params(bad{1}{:}));
  end
  % Values whose truncation still fits are fine.
  node_cost = cellcost(a, b, params('n_tree_level', -2^31, 'grid_size', 2^31 - 0.5));
  assert(isequal(size(node_cost), [1 0]));

  grid_msg = 'wrong parameter value: grid_size must be at least 1';
  check_rejects(grid_msg, @cellcost, a, b, params('grid_size', 0));
  check_rejects(grid_msg, @cellcost, a, b, params('grid_size', 0.9));
  check_rejects(grid_msg, @cellcost, a, b, params('grid_size', -4, 'search_radius', [-1 0]));
  radius_msg = 'wrong parameter value: search_radius must not be negative';
  check_rejects(radius_msg, @cellcost, a, b, params('search_radius', [-4 0]));
  check_rejects(radius_msg, @cellcost, a, b, params('search_radius', [0 -1], 'n_tree_level', 99));
  [~, shifts] = cellcost(a, b, params('search_radius', [-0.9 -0.5]));  % truncates to (0, 0)
  assert(isequal(shifts, int32([0; 0])));

  % Pyramid depth: at most 15 levels, and 2^(L-1) cells per side must fit the
  % sample grid (40 x 30 with grid 4: 10 x 8 samples).
  level_msg = 'wrong parameter value: n_tree_level too large for the sample grid of image 1';
  assert(isequal(size(cellcost(a, b, params('n_tree_level', 4))), [15 85]));
  check_rejects(level_msg, @cellcost, a, b, params('n_tree_level', 5));
  check_rejects(level_msg, @cellcost, a, b, params('n_tree_level', 16));
  check_rejects(level_msg, @cellcost, rand(3, 30, 8, 'single'), b, params('n_tree_level', 2));
  empty_rows = zeros(0, 30, 8, 'single');
  check_rejects(level_msg, @cellcost, empty_rows, b, params('n_tree_level', 1));
  [node_cost, shifts] = cellcost(empty_rows, b, params('n_tree_level', 0));
  assert(isequal(size(node_cost), [15 0]) && isequal(size(shifts), [2 15]));

  % Counts the core forms in 32-bit arithmetic, refused before any allocation.
  check_rejects(search, @cellcost, a, b, params('grid_size', 1, 'search_radius', [2^31 - 1, 0], ...
                                                 'n_tree_level', 1));
  check_rejects(search, @cellcost, a, b, params('grid_size', 1, 'search_radius', [30000 30000], ...
                                                 'n_tree_level', 1));
  check_rejects(search, @cellcost, a, b, params('grid_size', 1, 'search_radius', [2000 2000], ...
                                                 'n_tree_level', 1));
end

function check_outputs()
  a = rand(40, 30, 8, 'single');
  b = rand(50, 20, 8, 'single');
  a_before = a * 1;
  b_before = b * 1;
  p = params();
  p_before = p;

  % Radii rounded down to the grid: (8, 4) with grid 4 gives 5 x 3 translations.
  [node_cost, shifts, grid] = cellcost(a, b, p);
  assert(isa(node_cost, 'single') && isequal(size(node_cost), [15 21]) && isreal(node_cost));
  assert(isa(shifts, 'int32') && isequal(size(shifts), [2 15]));
  assert(isa(grid, 'int32') && isequal(grid, int32([5 3])));
  [dy, dx] = ndgrid(-4:4:4, -8:4:8);
  assert(isequal(shifts, int32([dx(:)'; dy(:)'])), 'translation order: dx outer, dy inner');
  same_bits(a, a_before, 'image 1 after the call');
  same_bits(b, b_before, 'image 2 after the call');
  assert(isequal(p, p_before));

  % 0, 1 and 2 outputs give the same first results.
  cellcost(a, b, p);
  same_bits(ans, node_cost, 'ans of a call without outputs');
  same_bits(cellcost(a, b, p), node_cost, 'one output');
  [c, s] = cellcost(a, b, p);
  same_bits(c, node_cost, 'two outputs, first');
  same_bits(s, shifts, 'two outputs, second');

  % A radius below the grid step leaves the single translation (0, 0).
  [~, shifts, grid] = cellcost(a, b, params('search_radius', [3 3]));
  assert(isequal(shifts, int32([0; 0])) && isequal(grid, int32([1 1])));

  % Fractional parameters are truncated toward zero.
  p_frac = params('search_radius', [3.9 0.7], 'grid_size', 2.5, 'n_tree_level', 2.9);
  [node_cost, shifts, grid] = cellcost(a, b, p_frac);
  assert(isequal(grid, int32([3 1])) && isequal(shifts, int32([-2 0 2; 0 0 0])));
  assert(isequal(size(node_cost), [3 5]));
  same_bits(node_cost, cellcost(a, b, params('search_radius', [3 0], 'grid_size', 2, ...
                                             'n_tree_level', 2)), 'truncated parameters');
  levels = [1 2 3 4 0 -3];
  columns = [1 5 21 85 0 0];
  for i = 1:numel(levels)
    assert(size(cellcost(a, b, params('n_tree_level', levels(i))), 2) == columns(i));
  end

  % truncate_const is rounded to the nearest single: a translation that moves
  % the only sample out of image 2 costs exactly that value.
  one = single(reshape([0 0], 1, 1, 2));
  p_one = params('search_radius', [1 0], 'grid_size', 1, 'n_tree_level', 1);
  for tc = [0.1, 3.4028235e38, 3.403e38, -1e300]
    node_cost = cellcost(one, one, setfield(p_one, 'truncate_const', tc));
    same_bits(node_cost([1 3]), [single(tc); single(tc)], sprintf('truncate_const %g', tc));
    assert(node_cost(2) == min(0, single(tc)));
  end
  assert(double(single(0.1)) > 0.1);  % so the check above tells rounding from truncation
end

function check_against_reference()
  % Random images of several shapes; image 2 differs in size from image 1.
  cases = {
    {[13 17 5], [11 19 5], 2, [4.7 3], 3, 0.9}
    {[9 8 3], [9 8 3], 1, [2 1], 2, 0.5}
    {[10 10 4], [7 12 4], 3, [6 3], 2, 1.5}
    {[6 7 2], [8 5 2], 1, [0 2], 3, -0.25}
    {[12 9 0], [5 6 0], 2, [2 2], 2, 1}
    {[16 16 6], [16 16 6], 4, [8 8], 3, 2}
  };
  for i = 1:numel(cases)
    [s1, s2, g, r, l, tc] = cases{i}{:};
    a = rand(s1, 'single');
    b = rand(s2, 'single');
    if i == 1
      a(3) = NaN;  % special values follow the same path
      b(5) = Inf;
    end
    p = params('grid_size', g, 'search_radius', r, 'n_tree_level', l, 'truncate_const', tc);
    [node_cost, shifts, grid] = cellcost(a, b, p);
    [ref_cost, ref_shifts, ref_grid] = ref_cellcost(a, b, p);
    what = sprintf('case %d', i);
    same_bits(node_cost, ref_cost, [what ' node_cost']);
    same_bits(shifts, ref_shifts, [what ' shifts']);
    same_bits(grid, ref_grid, [what ' grid']);
  end
end
