function test_build_mex(source_root)
%TEST_BUILD_MEX  mex/build_mex builds both modules into a folder of one's
%   choice, with their help files, and the modules it builds compute what
%   the literal references compute. Keep the CMake-built modules off the path.
  out_dir = tempname();
  cleanup = onCleanup(@() remove_folder(out_dir));
  % Only for the call: mex/ also holds the help files of the modules' names.
  mex_dir = fullfile(source_root, 'mex');
  addpath(mex_dir);
  build_mex(out_dir);
  rmpath(mex_dir);
  addpath(out_dir);
  for name = {'cellcost', 'densedisp'}
    assert(strcmp(which(name{1}), fullfile(out_dir, [name{1} '.mex'])), ...
           '%s does not resolve to the module just built', name{1});
    assert(~isempty(strfind(help(name{1}), 'See also')), '%s: no help beside the module', name{1});
  end

  rand('state', 3);
  a = rand(11, 13, 4, 'single');
  b = rand(12, 10, 4, 'single');
  p = struct('n_tree_level', 2, 'search_radius', [3 2], 'grid_size', 1, 'truncate_const', 0.7);
  [node_cost, shifts, grid] = cellcost(a, b, p);
  [ref_cost, ref_shifts, ref_grid] = ref_cellcost(a, b, p);
  same_bits(node_cost, ref_cost, 'node_cost');
  same_bits(shifts, ref_shifts, 'shifts');
  same_bits(grid, ref_grid, 'grid');

  d = int32(round(4 * rand(2, 11 * 13) - 2));
  q = struct('search_grid_size', 1, 'search_radius', [1 2], 'deform_coeff', 0.05, ...
             'truncate_const', 1.2);
  [moved, cost] = densedisp(a, b, d, q);
  [ref_moved, ref_cost] = ref_densedisp(a, b, d, q);
  same_bits(moved, ref_moved, 'displacements');
  same_bits(cost, ref_cost, 'costs');
  try
    densedisp(a, b, d);
    error('test_build_mex:noError', 'a refused call raised no error');
  catch err
    assert(strcmp(err.identifier, 'densecorr:densedisp:badInput'), err.message);
  end

  rmpath(out_dir);
  printf('test_build_mex: passed\n');
end

function remove_folder(folder)
  confirm_recursive_rmdir(false);
  if exist(folder, 'dir')
    rmdir(folder, 's');
  end
end
