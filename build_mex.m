function build_mex(out_dir)
%BUILD_MEX  Build the cellcost and densedisp modules with the host's mex.
%   BUILD_MEX builds both modules into the folder of this file, from the
%   sources beside it, in MATLAB or GNU Octave, without CMake.
%   BUILD_MEX(OUT_DIR) puts the modules, and copies of their help files,
%   into OUT_DIR instead (created if needed).
%
%   The per-pixel loops run on OpenMP threads where the compiler offers
%   OpenMP; otherwise the modules are built serial, with the same results.
%   Floating-point contraction is turned off: results are bit-exact. On
%   x86-64 with GCC or Clang the vector kernels for wider instruction sets
%   are built too and chosen at run time from the processor's features.
%
%   See also CELLCOST, DENSEDISP.

  root = fileparts(mfilename('fullpath'));
  if nargin < 1 || isempty(out_dir)
    out_dir = root;
  end
  if ~exist(out_dir, 'dir')
    mkdir(out_dir);
  end

  if ~build_modules(root, out_dir, true)
    warning('build_mex:serial', 'building with OpenMP failed; building serial modules instead.');
    if ~build_modules(root, out_dir, false)
      error('build_mex:failed', 'building the modules failed (see the compiler output above)');
    end
  end
  for name = {'cellcost', 'densedisp', 'densematch', 'densedesc'}
    % `help <name>` reads the help file beside the module.
    help_file = fullfile(root, 'mex', [name{1} '.m']);
    if ~strcmp(fullfile(out_dir, [name{1} '.m']), help_file)
      copyfile(help_file, out_dir);
    end
  end
end

function ok = build_modules(root, out_dir, use_openmp)
  % Core objects once, then each module from its gateway, the shared core and
  % its own core.
  ok = true;
  obj_dir = tempname();
  mkdir(obj_dir);
  cleanup = onCleanup(@() remove_folder(obj_dir));
  tool = toolchain(use_openmp);
  try
    objects = {};
    for folder = {'common', 'simd', 'cellcost', 'densedisp', 'densedesc', 'densematch'}
      objects = [objects, compile_core(root, folder{1}, obj_dir, tool)];
    end
    for name = {'cellcost', 'densedisp', 'densematch', 'densedesc'}
      link_module(root, out_dir, name{1}, objects, tool);
    end
  catch err
    fprintf('%s\n', err.message);
    ok = false;
  end
end

function tool = toolchain(use_openmp)
  % Compiler flags of this host and compiler.
  tool.octave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
  tool.msvc = false;
  if tool.octave
    x86_64 = strncmp(computer(), 'x86_64', 6);
  else
    compiler = mex.getCompilerConfigurations('C++', 'Selected');
    if isempty(compiler)
      error('build_mex:compiler', 'no C++ compiler is set up for mex (run mex -setup C++)');
    end
    tool.msvc = ~isempty(strfind(compiler.Manufacturer, 'Microsoft'));
    x86_64 = any(strcmp(computer('arch'), {'glnxa64', 'maci64', 'win64'}));
  end
  if tool.msvc
    % No contraction under /fp:precise on MSVC's default instruction set.
    tool.cxxflags = '/O2 /fp:precise /std:c++17';
    tool.ldflags = '';
    if use_openmp
      tool.cxxflags = [tool.cxxflags ' /openmp'];
    end
  else
    tool.cxxflags = '-O2 -std=c++17 -ffp-contract=off';
    tool.ldflags = '';
    if use_openmp
      tool.cxxflags = [tool.cxxflags ' -fopenmp'];
      tool.ldflags = '-fopenmp';
    end
  end
  % The wider vector kernels need the compiler's run-time processor probe.
  tool.x86_kernels = x86_64 && ~tool.msvc;
  tool.defines = {};
  if tool.x86_kernels
    tool.defines = {'-DDENSECORR_X86_KERNELS'};
  end
end

function flags = instruction_set_flags(file, tool)
  % Kernel files named *_<isa>.cpp hold one instruction set each and are
  % compiled for it alone; empty ('skip') where they cannot be used. Never
  % -mfma: every multiply and add must round on its own.
  flags = '';
  if ~isempty(regexp(file, '_avx512\.cpp$', 'once'))
    flags = '-mavx512f -mavx512vl';
  elseif ~isempty(regexp(file, '_avx2\.cpp$', 'once'))
    flags = '-mavx2';
  end
  if ~isempty(flags) && ~tool.x86_kernels
    flags = 'skip';
  end
end

function objects = compile_core(root, folder, obj_dir, tool)
  % Every core source of a folder (the gateways are not part of the core),
  % into a folder of objects of its own so that equal file names can't clash.
  listing = dir(fullfile(root, folder, '*.cpp'));
  folder_obj_dir = fullfile(obj_dir, folder);
  mkdir(folder_obj_dir);
  objects = {};
  for i = 1:numel(listing)
    file = listing(i).name;
    extra = instruction_set_flags(file, tool);
    if ~isempty(regexp(file, '_mex\.cpp$', 'once')) || strcmp(extra, 'skip')
      continue;
    end
    source = fullfile(root, folder, file);
    if tool.octave
      object = fullfile(folder_obj_dir, [file(1:end - 4) '.o']);
      run_mkoctfile([tool.cxxflags ' ' extra], tool.ldflags, ...
                    {'-c', ['-I' root], tool.defines{:}, source, '-o', object});
    else
      flags = matlab_flags(tool, extra);
      mex('-c', '-largeArrayDims', ['-I' root], tool.defines{:}, '-outdir', folder_obj_dir, ...
          flags{:}, source);
      found = dir(fullfile(folder_obj_dir, [file(1:end - 4) '.o*']));
      object = fullfile(folder_obj_dir, found(1).name);
    end
    objects{end + 1} = object;
  end
end

function link_module(root, out_dir, name, objects, tool)
  gateway = fullfile(root, 'mex', [name '_mex.cpp']);
  if tool.octave
    run_mkoctfile(tool.cxxflags, tool.ldflags, ...
                  {'--mex', ['-I' root], tool.defines{:}, '-o', ...
                   fullfile(out_dir, [name '.mex']), gateway, objects{:}});
  else
    flags = matlab_flags(tool, '');
    mex('-largeArrayDims', ['-I' root], tool.defines{:}, '-outdir', out_dir, '-output', name, ...
        flags{:}, gateway, objects{:});
  end
end

function flags = matlab_flags(tool, extra)
  if tool.msvc
    flags = {['COMPFLAGS=$COMPFLAGS ' tool.cxxflags ' ' extra]};
  else
    flags = {['CXXFLAGS=$CXXFLAGS ' tool.cxxflags ' ' extra], ['LDFLAGS=$LDFLAGS ' tool.ldflags]};
  end
end

function run_mkoctfile(cxxflags, ldflags, args)
  % mkoctfile takes its compiler and linker flags from the environment.
  saved = {getenv('CXXFLAGS'), getenv('LDFLAGS')};
  restore = onCleanup(@() restore_env(saved));
  setenv('CXXFLAGS', cxxflags);
  setenv('LDFLAGS', strtrim([saved{2} ' ' ldflags]));
  [output, status] = mkoctfile(args{:});
  fprintf('%s', output);  % compiler warnings, if any
  if status ~= 0
    error('build_mex:compile', 'mkoctfile %s failed', strjoin(args, ' '));
  end
end

function restore_env(saved)
  setenv('CXXFLAGS', saved{1});
  setenv('LDFLAGS', saved{2});
end

function remove_folder(folder)
  if ~exist(folder, 'dir')
    return;
  end
  if exist('OCTAVE_VERSION', 'builtin') ~= 0
    % Octave asks before removing a folder tree unless told not to.
    confirm = confirm_recursive_rmdir(false);
    rmdir(folder, 's');
    confirm_recursive_rmdir(confirm);
  else
    rmdir(folder, 's');
  end
end
