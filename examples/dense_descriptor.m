function desc = dense_descriptor(gray, opts)
%DENSE_DESCRIPTOR  Per-pixel histograms of oriented gradients.
%   DESC = DENSE_DESCRIPTOR(GRAY, OPTS) returns an H x W x F single array for
%   the H x W grey image GRAY (values in [0, 1]). At every pixel the feature
%   vector holds, for each cell of an N x N grid of square cells of C pixels
%   centred on the pixel, a histogram of gradient orientation with B bins:
%   F = N * N * B (72 with the defaults N = 3, C = 3, B = 8).
%
%   - The image is smoothed (Gaussian, OPTS.presmooth pixels) and its gradient
%     taken by central differences.
%   - Each gradient votes with its magnitude for the two orientation bins
%     nearest its direction (0 to 360 degrees, linear split between them).
%   - Each orientation map is pooled with a separable triangular window of
%     half-width C, so a gradient contributes smoothly to neighbouring cells.
%   - The vector is divided by its Euclidean length, or by OPTS.norm_floor if
%     that is larger: flat regions keep a short vector instead of amplified
%     noise, and nothing is ever divided by zero. Distances between two
%     vectors therefore lie in [0, sqrt(2)].
%
%   Channel index: orientation fastest, then cell row, then cell column.
%
%   OPTS fields (all optional): n_cells (3), cell_size (3), n_orient (8),
%   presmooth (0.8), norm_floor (0.01; before normalisation, textured patches
%   of photos have lengths of about 0.02 to 0.2, and sky or blank walls less
%   than 0.01).

if nargin < 2
  opts = struct();
end
n_cells = demo_option(opts, 'n_cells', 3);
cell_size = demo_option(opts, 'cell_size', 3);
n_orient = demo_option(opts, 'n_orient', 8);
presmooth = demo_option(opts, 'presmooth', 0.8);
norm_floor = demo_option(opts, 'norm_floor', 0.01);

[h, w] = size(gray);
im = gauss_blur(double(gray), presmooth);
cols = [1, 1:w, w];
rows = [1, 1:h, h];
padded = im(rows, cols);
gx = (padded(2:end-1, 3:end) - padded(2:end-1, 1:end-2)) / 2;
gy = (padded(3:end, 2:end-1) - padded(1:end-2, 2:end-1)) / 2;
magnitude = sqrt(gx .^ 2 + gy .^ 2);
bin_pos = mod(atan2(gy, gx), 2 * pi) / (2 * pi / n_orient);
bin_lo = floor(bin_pos);
frac = bin_pos - bin_lo;
bin_lo = mod(bin_lo, n_orient);
bin_hi = mod(bin_lo + 1, n_orient);

taps = [1:cell_size, (cell_size - 1):-1:1];
taps = taps / sum(taps);
half = cell_size - 1;
pool_rows = min(max((1 - half):(h + half), 1), h);
pool_cols = min(max((1 - half):(w + half), 1), w);
pooled = zeros(h, w, n_orient);
for o = 0:(n_orient - 1)
  votes = magnitude .* ((bin_lo == o) .* (1 - frac) + (bin_hi == o) .* frac);
  pooled(:, :, o + 1) = conv2(taps', taps, votes(pool_rows, pool_cols), 'valid');
end

% Cell centres relative to the pixel, e.g. -6, -2, 2, 6 for 4 cells of 4.
centres = round(((0:(n_cells - 1)) - (n_cells - 1) / 2) * cell_size);
desc = zeros(h, w, n_cells * n_cells * n_orient, 'single');
chan = 0;
for cx = centres
  src_cols = min(max((1:w) + cx, 1), w);
  for cy = centres
    src_rows = min(max((1:h) + cy, 1), h);
    desc(:, :, chan + (1:n_orient)) = single(pooled(src_rows, src_cols, :));
    chan = chan + n_orient;
  end
end
len = sqrt(sum(double(desc) .^ 2, 3));
desc = desc ./ single(repmat(max(len, norm_floor), [1 1 size(desc, 3)]));
end

