function out = gauss_blur(im, sigma)
%GAUSS_BLUR  Separable Gaussian smoothing of every channel, borders replicated.
%   OUT = GAUSS_BLUR(IM, SIGMA) smooths the H x W x C array IM with a Gaussian
%   of standard deviation SIGMA pixels (truncated at 3 SIGMA). SIGMA <= 0
%   returns IM unchanged.

if sigma <= 0
  out = im;
  return;
end
radius = max(1, ceil(3 * sigma));
taps = exp(-((-radius:radius) .^ 2) / (2 * sigma ^ 2));
taps = taps / sum(taps);

[h, w, n_chan] = size(im);
% Replicating the border keeps edge pixels from darkening, which would
% otherwise show up as strong artificial gradients in the descriptor.
rows = min(max((1 - radius):(h + radius), 1), h);
cols = min(max((1 - radius):(w + radius), 1), w);
out = zeros(h, w, n_chan, class(im));
for c = 1:n_chan
  padded = double(im(rows, cols, c));
  out(:, :, c) = conv2(taps', taps, padded, 'valid');
end
end
