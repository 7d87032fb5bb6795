function test_densedesc()
%TEST_DENSEDESC  The densedesc module in the host: outputs, pixel classes,
%   agreement with the example descriptor, thread counts, errors with their
%   identifiers, inputs left unchanged.
  rand('state', 31);
  check_outputs();
  check_pixel_classes();
  check_against_example();
  check_threads();
  check_errors();
  printf('test_densedesc: passed\n');
end

function check_outputs()
  grey = rand(23, 31);
  kept = deep_copy(grey);
  d = densedesc(grey);
  assert(isequal(grey, kept), 'the image changed');
  assert(isa(d, 'single') && isequal(size(d), [23 31 45]), 'default descriptor: %s %s', ...
         class(d), mat2str(size(d)));
  len = sqrt(sum(double(d) .^ 2, 3));
  assert(all(d(:) >= 0) && all(len(:) <= 1 + 1e-5), 'values in [0, 1], length at most 1');
  d = densedesc(grey, struct('n_orientations', 4, 'grid_cells', 2, 'cell_size', 4));
  assert(isequal(size(d), [23 31 16]), 'channels follow the parameters: %s', mat2str(size(d)));
  d = densedesc(rand(5, 7, 3, 'single'), struct('n_orientations', int32(6), 'grid_cells', 1));
  assert(isequal(size(d), [5 7 6]), 'RGB input, integer-class parameters');
  % Root normalisation (the default): a logical or a number.
  d = densedesc(grey);
  same_bits(densedesc(grey, struct('root_normalise', true)), d, 'root_normalise by default');
  same_bits(densedesc(grey, struct('root_normalise', 1)), d, 'root_normalise given as a number');
  plain = densedesc(grey, struct('root_normalise', false));
  len = sqrt(sum(double(d) .^ 2, 3));
  assert(max(abs(len(:) - 1)) < 1e-4, 'root-normalised vectors have length 1');
  assert(max(abs(d(:) - plain(:))) > 1e-2, 'root_normalise changes the vectors');
  d = densedesc(zeros(0, 9));
  assert(isa(d, 'single') && isequal(size(d), [0 9 45]), 'empty image: %s', mat2str(size(d)));
  d = densedesc([0.5 NaN; Inf -Inf]);
  assert(all(isfinite(d(:))), 'non-finite pixels give finite vectors');
  % Flat images are all zeros: no noise is scaled up.
  d = densedesc(0.3 * ones(12, 12));
  assert(all(d(:) == 0), 'a flat image has zero vectors');
end

function check_pixel_classes()
  rgb8 = uint8(floor(rand(17, 19, 3) * 256));
  kept = deep_copy(rgb8);
  want = densedesc(rgb8, struct('smoothing_sigma', 0.7));
  assert(isequal(rgb8, kept), 'the image changed');
  want = densedesc(rgb8);
  same_bits(densedesc(uint16(rgb8) * 257), want, 'uint16 on its full range');
  same_bits(densedesc(single(rgb8) / 255), want, 'single');
  same_bits(densedesc(double(single(rgb8) / 255)), want, 'double');
  grey = single(rgb8) / 255;
  luma = 0.299 * grey(:, :, 1) + 0.587 * grey(:, :, 2) + 0.114 * grey(:, :, 3);
  d = densedesc(luma);
  assert(max(abs(d(:) - want(:))) < 1e-5, 'RGB is read as its luma');
end

function check_against_example()
  % The Octave descriptor of examples/ computes the same vectors in double.
  here = fileparts(mfilename('fullpath'));
  addpath(fullfile(here, '..', '..', 'examples'));
  grey = rand(30, 41);
  for case_opts = {struct('sigma', 0.8, 'n', 8, 'cell', 3, 'grid', 3), ...
                   struct('sigma', 1.5, 'n', 6, 'cell', 4, 'grid', 2)}
    o = case_opts{1};
    want = dense_descriptor(grey, struct('presmooth', o.sigma, 'n_orient', o.n, ...
                                         'cell_size', o.cell, 'n_cells', o.grid));
    got = densedesc(grey, struct('smoothing_sigma', o.sigma, 'n_orientations', o.n, ...
                                 'cell_size', o.cell, 'grid_cells', o.grid, ...
                                 'root_normalise', false));
    assert(isequal(size(got), size(want)), 'example size %s', mat2str(size(want)));
    err = max(abs(double(got(:)) - double(want(:))));
    assert(err < 2e-4, 'differs from examples/dense_descriptor.m by %g', err);
  end
end

function check_threads()
  im = rand(64, 90);
  one = densedesc(im, struct('n_threads', 1));
  same_bits(densedesc(im, struct('n_threads', 2)), one, '2 threads');
  same_bits(densedesc(im, struct('n_threads', 3)), one, '3 threads');
  same_bits(densedesc(im), one, 'host thread count');
end

function check_errors()
  bad = 'densecorr:densedesc:badInput';
  im = rand(10, 12);
  expect_error(bad, 'no arguments');
  expect_error(bad, 'two outputs', 2, im);
  expect_error(bad, 'three inputs', 1, im, struct(), 1);
  expect_error(bad, 'int8 image', 1, int8(im));
  expect_error(bad, 'logical image', 1, im > 0.5);
  expect_error(bad, 'complex image', 1, complex(im, im));
  expect_error(bad, 'sparse image', 1, sparse(im));
  expect_error(bad, 'two channels', 1, rand(4, 4, 2));
  expect_error(bad, 'four dimensions', 1, rand(4, 4, 3, 2));
  expect_error(bad, 'params not a struct', 1, im, 3);
  expect_error(bad, 'struct array', 1, im, struct('cell_size', {2, 3}));
  expect_error(bad, 'unknown field', 1, im, struct('cellsize', 2));
  expect_error(bad, 'fractional', 1, im, struct('n_orientations', 8.5));
  expect_error(bad, 'out of range', 1, im, struct('n_orientations', 1));
  expect_error(bad, 'out of range', 1, im, struct('grid_cells', 9));
  expect_error(bad, 'out of range', 1, im, struct('smoothing_sigma', -1));
  expect_error(bad, 'NaN', 1, im, struct('smoothing_sigma', NaN));
  expect_error(bad, 'zero floor', 1, im, struct('norm_floor', 0));
  expect_error(bad, 'not a scalar', 1, im, struct('cell_size', [2 3]));
  expect_error(bad, 'text value', 1, im, struct('cell_size', '2'));
  expect_error(bad, 'complex value', 1, im, struct('cell_size', complex(2, 1)));
  expect_error(bad, 'text flag', 1, im, struct('root_normalise', 'yes'));
  expect_error(bad, 'two flags', 1, im, struct('root_normalise', [true false]));
  % 2048 channels of a 64-megapixel image, 512 GiB: refused before any
  % allocation, with the memory identifier.
  expect_error('densecorr:outOfMemory', 'huge descriptor', 1, zeros(8192, 8192, 'uint8'), ...
               struct('n_orientations', 32, 'grid_cells', 8));
end

% Calls densedesc with n_out outputs, expects the identified error, and
% checks that nothing was assigned and no input changed.
function expect_error(id, what, n_out, varargin)
  if nargin < 3
    n_out = 1;
  end
  before = deep_copy(varargin);
  raised = '';
  try
    switch n_out
      case 1
        out1 = densedesc(varargin{:});
      case 2
        [out1, out2] = densedesc(varargin{:});
    end
  catch err
    raised = err.identifier;
  end
  assert(strcmp(raised, id), '%s: identifier "%s", expected "%s"', what, raised, id);
  assert(~exist('out1', 'var') && ~exist('out2', 'var'), '%s: an output was assigned', what);
  assert(isequaln(before, varargin), '%s: an input changed', what);
end

% A copy that shares no storage with its source, so that a write into the
% source by the module cannot reach it.
function c = deep_copy(x)
  if iscell(x)
    c = cellfun(@deep_copy, x, 'UniformOutput', false);
  elseif isnumeric(x) && ~isempty(x)
    c = x;
    c(1) = x(1) + 0;  % un-shares the data
  else
    c = x;
  end
end
