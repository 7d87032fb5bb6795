function result = demo_match(image1_file, image2_file, out_dir)
%DEMO_MATCH  Dense correspondence between two photos, with pictures of it.
%   DEMO_MATCH(IMAGE1_FILE, IMAGE2_FILE, OUT_DIR) matches every pixel of image
%   1 to a pixel of image 2 with the cellcost and densedisp modules and writes
%   PNG pictures of the result into OUT_DIR. Every argument is optional:
%     IMAGE1_FILE, IMAGE2_FILE  two image files of any size, colour or grey
%                               (default: the stereo pair aloeL.jpg and
%                               aloeR.jpg shipped by the Debian package
%                               opencv-doc)
%     OUT_DIR                   output folder (default: 'out' in the current
%                               folder)
%   Images whose longer side exceeds 320 px are scaled down to 320 px first;
%   the field and all pictures are at that working size.
%
%   RESULT = DEMO_MATCH(...) also returns the field: see match_images.
%   Pictures written: see write_match_pictures.
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
[rgb1, gray1] = load_working_image(image1_file, max_side);
[rgb2, gray2] = load_working_image(image2_file, max_side);

result = match_images(gray1, gray2);

dx = result.dx;
dy = result.dy;
fprintf('displacement: dx from %d to %d (median %g), dy from %d to %d (median %g) px\n', ...
        min(dx(:)), max(dx(:)), median(dx(:)), min(dy(:)), max(dy(:)), median(dy(:)));
fprintf('time: describe %.2f s, cellcost %.2f s, densedisp %.2f s\n', ...
        result.times.describe, result.times.cellcost, result.times.densedisp);
files = write_match_pictures(out_dir, rgb1, rgb2, result);
fprintf('wrote %s\n', files{:});
if nargout == 0
  clear result;
end
end
