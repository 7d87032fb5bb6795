function build_mex(out_dir)
%BUILD_MEX  Build the host modules with the host's mex.
%   BUILD_MEX builds every module (cellcost, densedisp, ...) into the folder
%   of this file, beside their help files, in MATLAB or GNU Octave, without
%   CMake. BUILD_MEX(OUT_DIR) puts the modules, and copies of their help
%   files, into OUT_DIR instead (created if needed).
%
%   The core's sources are those of cmake/core_sources.txt and the modules
%   those of DENSECORR_MEX_MODULES in mex/CMakeLists.txt: the lists the
%   CMake build reads.
%
%   The per-pixel loops run on OpenMP threads where the compiler offers
%   OpenMP; otherwise the modules are built serial, with the same results.
%   Floating-point contraction is turned off: results are bit-exact. On
%   x86-64 with GCC or Clang the vector kernels for wider instruction sets
%   are built too and chosen at run time from the processor's features.
%
%   See also CELLCOST, DENSEDISP.

  mex_dir = fileparts(mfilename('fullpath'));
  root = fileparts(mex_dir);
  if nargin < 1 || isempty(out_dir)
    out_dir = mex_dir;
  end
  if ~exist(out_dir, 'dir')
    mkdir(out_dir);
  end
  sources = core_sources(root);
  modules = module_names(mex_dir);

  if ~build_modules(root, out_dir, sources, modules, true)
    warning('build_mex:serial', 'building with OpenMP failed; building serial modules instead.');
    if ~build_modules(root, out_dir, sources, modules, false)
      error('build_mex:failed', 'building the modules failed (see the compiler output above)');
    end
  end
  for i = 1:numel(modules)
    % `help <name>` reads the help file beside the module.
    help_file = fullfile(mex_dir, [modules{i} '.m']);
    if ~strcmp(fullfile(out_dir, [modules{i} '.m']), help_file)
      copyfile(help_file, out_dir);
    end
  end
end

function sources = core_sources(root)
  % cmake/core_sources.txt: one file a line, relative to the root, and
  % optionally the instruction set it is compiled for; # starts a comment.
  lines = regexp(fileread(fullfile(root, 'cmake', 'core_sources.txt')), '\r?\n', 'split');
  sources = struct('file', {}, 'isa', {});
  for i = 1:numel(lines)
    words = regexp(lines{i}, '\S+', 'match');
    if isempty(words) || words{1}(1) == '#'
      continue;
    end
    instruction_set = '';
    if numel(words) > 1
      instruction_set = words{2};
    end
    sources(end + 1) = struct('file', words{1}, 'isa', instruction_set);
  end
end

function names = module_names(mex_dir)
  % The names in set(DENSECORR_MEX_MODULES ...) of mex/CMakeLists.txt.
  cmake_text = regexprep(fileread(fullfile(mex_dir, 'CMakeLists.txt')), '#[^\n]*', '');
  list = regexp(cmake_text, 'set\(\s*DENSECORR_MEX_MODULES\s([^)]*)\)', 'tokens', 'once');
  if isempty(list)
    error('build_mex:modules', 'no DENSECORR_MEX_MODULES list in mex/CMakeLists.txt');
  end
  names = regexp(list{1}, '\S+', 'match');
end

function ok = build_modules(root, out_dir, sources, modules, use_openmp)
  % Core objects once, then each module from its gateway and the core.
  ok = true;
  obj_dir = tempname();
  mkdir(obj_dir);
  cleanup = onCleanup(@() remove_folder(obj_dir));
  tool = toolchain(use_openmp);
  try
    objects = {};
    for i = 1:numel(sources)
      flags = instruction_set_flags(sources(i).isa, tool);
      if ~strcmp(flags, 'skip')
        objects{end + 1} = compile_core(root, sources(i).file, flags, obj_dir, tool);
      end
    end
    for i = 1:numel(modules)
      link_module(root, out_dir, modules{i}, objects, tool);
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
    % -O3 as the CMake build: at -O2 GCC vectorises only the cheapest loops,
    % and a 320 x 240 densematch took twice as long (0.32 against 0.155 s).
    tool.cxxflags = '-O3 -std=c++17 -ffp-contract=off';
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

function flags = instruction_set_flags(instruction_set, tool)
  % The flags of a core source compiled for one instruction set; 'skip'
  % where it cannot be used. Never -mfma: every multiply and add must round
  % on its own.
  flags = '';
  switch instruction_set
    case 'avx512'
      flags = '-mavx512f -mavx512vl';
    case 'avx2'
      flags = '-mavx2';
    case 'portable'
      if ~tool.msvc
        % Lets the portable square root vectorise (the root itself is
        % unchanged); the file's vector types never cross its boundary.
        flags = '-fno-math-errno -Wno-psabi';
      end
    case ''
    otherwise
      error('build_mex:isa', 'cmake/core_sources.txt: unknown instruction set %s', ...
            instruction_set);
  end
  if any(strcmp(instruction_set, {'avx2', 'avx512'})) && ~tool.x86_kernels
    flags = 'skip';
  end
end

function object = compile_core(root, file, extra, obj_dir, tool)
  % One core source, into an object named after its whole path so that
  % equal file names in different folders can't clash.
  source = fullfile(root, file);
  [folder, name] = fileparts(file);
  stem = regexprep(fullfile(folder, name), '[\\/]', '_');
  if tool.octave
    object = fullfile(obj_dir, [stem '.o']);
    run_mkoctfile([tool.cxxflags ' ' extra], tool.ldflags, ...
                  {'-c', ['-I' root], tool.defines{:}, source, '-o', object});
  else
    % mex names the object after the source: one folder per object.
    object_dir = fullfile(obj_dir, stem);
    mkdir(object_dir);
    flags = matlab_flags(tool, extra);
    mex('-c', '-largeArrayDims', ['-I' root], tool.defines{:}, '-outdir', object_dir, ...
        flags{:}, source);
    found = dir(fullfile(object_dir, [name '.o*']));
    object = fullfile(object_dir, found(1).name);
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
