function result = demo_by_hand(image1_file, image2_file, out_dir)
%DEMO_BY_HAND  The photo demo with the pipeline composed by hand.
%   DEMO_BY_HAND(IMAGE1_FILE, IMAGE2_FILE, OUT_DIR) does what demo_match does
%   (same arguments, same pictures), but calls the descriptor, cellcost and
%   densedisp itself through match_by_hand instead of densematch: the
%   pattern for users who bring descriptors of their own. The field is whole
%   pixels and has no validity mask.
%
%   Example, from the repository root after building into 'build':
%     addpath('build', 'examples'); demo_by_hand

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
  out_dir = 'out_by_hand';
end
[rgb1, gray1] = load_working_image(image1_file, max_side);
[rgb2, gray2] = load_working_image(image2_file, max_side);
result = match_by_hand(gray1, gray2);
fprintf('time: describe %.2f s, cellcost %.2f s, densedisp %.2f s\n', ...
        result.times.describe, result.times.cellcost, result.times.densedisp);
files = write_match_pictures(out_dir, rgb1, rgb2, result);
fprintf('wrote %s\n', files{:});
if nargout == 0
  clear result;
end
end
