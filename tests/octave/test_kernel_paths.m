function test_kernel_paths(paths_dir, built, probe)
%TEST_KERNEL_PATHS  The modules built with each kernel path forced at compile
%   time (PATHS_DIR/<path>/, for each name in the space-separated BUILT) give
%   the same bits on the same calls: odd sizes, NaN and infinite entries,
%   several grids and radii. PROBE lists the paths this processor runs; the
%   others are left out, and with fewer than two left the test is skipped.
  [status, listing] = system(['"' probe '"']);
  assert(status == 0, 'the probe %s failed', probe);
  runnable = strsplit(strtrim(listing));
  paths = {};
  for name = strsplit(strtrim(built))
    if any(strcmp(name{1}, runnable))
      paths{end + 1} = name{1};
    else
      printf('test_kernel_paths: %s left out, this processor lacks it\n', name{1});
    end
  end
  if numel(paths) < 2
    error('densecorr:skipped', 'test_kernel_paths: skipped, fewer than two kernel paths run here');
  end

  calls = make_calls();
  results = cell(numel(paths), 1);
  for i = 1:numel(paths)
    results{i} = run_calls(fullfile(paths_dir, paths{i}), calls);
  end
  for i = 2:numel(paths)
    for k = 1:numel(calls)
      for j = 1:numel(results{1}{k})
        same_bits(results{i}{k}{j}, results{1}{k}{j}, ...
                  sprintf('%s vs %s, %s output %d', paths{i}, paths{1}, calls{k}.what, j));
      end
    end
  end
  printf('test_kernel_paths: %s agree on %d calls\n', strjoin(paths, ', '), numel(calls));
end

function outputs = run_calls(folder, calls)
  % Every call with the modules of one folder, which must be the ones found.
  folder = canonicalize_file_name(folder);
  addpath(folder);
  cleanup = onCleanup(@() rmpath(folder));
  for name = {'cellcost', 'densedisp'}
    assert(strcmp(which(name{1}), fullfile(folder, [name{1} '.mex'])), ...
           '%s does not resolve to %s', name{1}, folder);
  end
  outputs = cell(numel(calls), 1);
  for k = 1:numel(calls)
    c = calls{k};
    if strcmp(c.module, 'cellcost')
      [node_cost, shifts, grid] = cellcost(c.args{:});
      outputs{k} = {node_cost, shifts, grid};
    else
      [moved, cost] = densedisp(c.args{:});
      outputs{k} = {moved, cost};
    end
  end
end

function a = random_image(sz, special)
  % Random entries; with SPECIAL, a few NaN, +Inf and -Inf among them.
  a = rand(sz, 'single');
  if special
    n = numel(a);
    a(randperm(n, ceil(n / 40))) = NaN;
    a(randperm(n, ceil(n / 60))) = Inf;
    a(randperm(n, ceil(n / 60))) = -Inf;
  end
end

function calls = make_calls()
  rand('state', 31);
  calls = {};
  % cellcost: size 1, size 2, grid, radius, levels, clip, special entries.
  % Sizes are odd and wider than the widest vector, so every kernel runs its
  % full vectors and its tails.
  cases = {
    {[37 29 5], [33 41 5], 1, [6 5], 3, 0.9, true}
    {[23 45 3], [19 21 3], 2, [9 4], 2, -0.5, true}
    {[50 41 17], [50 41 17], 3, [5 7], 3, 2, false}
    {[5 3 2], [40 3 2], 1, [0 20], 1, 1, true}
    {[31 33 4], [29 35 4], 1, [17 3], 4, 1e30, true}
  };
  for i = 1:numel(cases)
    [s1, s2, g, r, l, tc, special] = cases{i}{:};
    p = struct('n_tree_level', l, 'search_radius', r, 'grid_size', g, 'truncate_const', tc);
    calls{end + 1} = struct('module', 'cellcost', 'what', sprintf('cellcost case %d', i), ...
                            'args', {{random_image(s1, special), random_image(s2, special), p}});
  end

  % densedisp: size 1, size 2, step, radius, penalty, clip, field, special.
  % Fields: per-pixel random, constant, and constant over 16 x 16 blocks (runs
  % of pixels with one displacement take the vector loads).
  cases = {
    {[37 29 5], [33 41 5], 1, [3 2], 0.05, 1.5, 'random', true}
    {[61 19 9], [40 40 9], 2, [4 3], 0, 0.8, 'constant', true}
    {[45 38 2], [47 36 2], 1, [2 2], 0.1, 10, 'blocks', true}
    {[35 21 7], [35 21 7], 3, [3 0], -0.05, 2, 'blocks', false}
    {[19 53 3], [23 50 3], 1, [1 4], 0.2, 1e30, 'random', true}
  };
  for i = 1:numel(cases)
    [s1, s2, g, r, deform, tc, field, special] = cases{i}{:};
    n = s1(1) * s1(2);
    switch field
      case 'random'
        d = int32(round(8 * rand(2, n) - 4));
      case 'constant'
        d = repmat(int32([3; -2]), 1, n);
      case 'blocks'
        [y, x] = ndgrid(0:s1(1) - 1, 0:s1(2) - 1);
        block = floor(x(:)' / 16) * 7 + floor(y(:)' / 16);
        d = int32([mod(block, 5) - 2; mod(3 * block, 7) - 3]);
    end
    p = struct('search_grid_size', g, 'search_radius', r, 'deform_coeff', deform, ...
               'truncate_const', tc);
    calls{end + 1} = struct('module', 'densedisp', 'what', sprintf('densedisp case %d', i), ...
                            'args', {{random_image(s1, special), random_image(s2, special), d, p}});
  end
end
