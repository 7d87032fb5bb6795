function [rgb, gray] = load_working_image(source, max_side)
%LOAD_WORKING_IMAGE  Read an image and bring it to the demo's working size.
%   [RGB, GRAY] = LOAD_WORKING_IMAGE(SOURCE, MAX_SIDE) reads SOURCE (a file
%   name, or an array that is already an image) and returns it as double
%   values in [0, 1]: RGB is H x W x 3 (grey images are repeated on all three
%   channels) and GRAY is H x W. Images whose longer side exceeds MAX_SIDE
%   pixels are scaled down to that size, keeping their aspect ratio; smaller
%   ones are left as they are.

rgb = read_image(source);
[h, w, ~] = size(rgb);
if max(h, w) > max_side
  scale = max_side / max(h, w);
  rgb = min(max(resize_image(rgb, max(1, round([h w] * scale))), 0), 1);
end
gray = rgb_to_gray(rgb);
end
