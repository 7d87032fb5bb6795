function out = resize_image(im, out_size)
%RESIZE_IMAGE  Rescale an image to OUT_SIZE = [rows cols] (bilinear, anti-aliased).
%   Works on H x W x C arrays of any numeric class and returns double values.
%   Pixel centres are aligned the usual way: output pixel k covers the same
%   fraction of the image as the input pixels around (k - 0.5) / scale + 0.5.

[h, w, ~] = size(im);
im = double(im);
scale = min(out_size(1) / h, out_size(2) / w);
if scale < 1
  % Remove the frequencies the coarser grid cannot hold before sampling it.
  im = gauss_blur(im, 0.45 / scale);
end
ys = ((1:out_size(1)) - 0.5) * (h / out_size(1)) + 0.5;
xs = ((1:out_size(2)) - 0.5) * (w / out_size(2)) + 0.5;
[xq, yq] = meshgrid(min(max(xs, 1), w), min(max(ys, 1), h));
out = zeros(out_size(1), out_size(2), size(im, 3));
for c = 1:size(im, 3)
  out(:, :, c) = interp2(im(:, :, c), xq, yq, 'linear');
end
end
