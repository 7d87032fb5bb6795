function result = demo_match(image1_file, image2_file, out_dir)
%DEMO_MATCH  Dense correspondence between two photos, with pictures of it.
%   DEMO_MATCH(IMAGE1_FILE, IMAGE2_FILE, OUT_DIR) matches every pixel of image
%   1 to a point of image 2 with the densematch module (sub-pixel, with a
%   validity mask) and writes PNG pictures of the result into OUT_DIR. Every
%   argument is optional:
%     IMAGE1_FILE, IMAGE2_FILE  two image files of any size, colour or grey
%                               (default: the stereo pair aloeL.jpg and
%                               aloeR.jpg shipped by the Debian package
%                               opencv-doc)
%     OUT_DIR                   output folder (default: 'out' in the current
%                               folder)
%   Images whose longer side exceeds 320 px are scaled down to 320 px first;
%   the field and all pictures are at that working size.
%
%   RESULT = DEMO_MATCH(...) also returns the field: a struct with dx, dy,
%   valid, cost (H x W, as densematch returns them) and time (seconds).
%   Pictures written: see write_match_pictures. demo_by_hand does the same
%   job by composing the descriptor, cellcost and densedisp by hand.
%
%   Example, from the repository root after building into 'build':
%     addpath('build', 'examples'); demo_match

max_side = 320;
have1 = nargin >= 1 && ~isempty(image1_file);
have2 = nargin >= 2 && ~isempty(image2_file);
if have1 ~= have2
  error('densecorr:usage', 'give both image files, or neither');
end
if ~have1
  image1_file = demo_photo('aloeL.jpg');
  image2_file = demo_photo('aloeR.jpg');
end
if nargin < 3 || isempty(out_dir)
  out_dir = 'out';
end

fprintf('image 1: %s\nimage 2: %s\n', image1_file, image2_file);
rgb1 = load_working_image(image1_file, max_side);
rgb2 = load_working_image(image2_file, max_side);

fprintf('densematch: %d x %d and %d x %d pixels...\n', size(rgb1, 1), size(rgb1, 2), ...
        size(rgb2, 1), size(rgb2, 2));
t0 = tic;
[dx, dy, valid, cost] = densematch(rgb1, rgb2);
result = struct('dx', double(dx), 'dy', double(dy), 'valid', valid, ...
                'cost', double(cost), 'time', toc(t0));
fprintf('  %.2f s\n', result.time);
fprintf('displacement: dx from %.1f to %.1f (median %.2f), dy from %.1f to %.1f (median %.2f) px\n', ...
        min(dx(:)), max(dx(:)), median(dx(:)), min(dy(:)), max(dy(:)), median(dy(:)));
fprintf('valid (consistent both ways, inside image 2): %.1f%% of pixels\n', 100 * mean(valid(:)));
files = write_match_pictures(out_dir, rgb1, rgb2, result);
fprintf('wrote %s\n', files{:});
if nargout == 0
  clear result;
end
end
