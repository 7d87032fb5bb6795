function [mean_epe, median_epe] = demo_synthetic(photo_file, out_dir)
%DEMO_SYNTHETIC  Check the matching pipeline against a known displacement field.
%   [MEAN_EPE, MEDIAN_EPE] = DEMO_SYNTHETIC(PHOTO_FILE, OUT_DIR) makes an image
%   pair from one photo: image 1 is the photo at the working size (longer
%   side 320 px) and image 2 the same scene seen through a known smooth map,
%   a 3 degree rotation and a 4% enlargement about the image centre followed
%   by a shift of (7, -5) px, both rendered from the full-size photo. It runs
%   densematch on the pair and prints the endpoint error (the distance
%   between the found and the true match) over the pixels whose true match
%   lies inside image 2:
%     mean endpoint error: X px
%     median endpoint error: Y px
%   and raises an error when the median is above 1 px.
%
%   PHOTO_FILE defaults to aloeL.jpg of the Debian package opencv-doc.
%   When OUT_DIR is given, the pictures of demo_match are written there.

if nargin < 1 || isempty(photo_file)
  photo_file = demo_photo('aloeL.jpg');
end
max_side = 320;
angle = 3 * pi / 180;
zoom = 1.04;
shift = [7; -5];

fprintf('synthetic pair from %s\n', photo_file);
photo = read_image(photo_file);
[ph, pw, ~] = size(photo);
scale = min(1, max_side / max(ph, pw));
h = round(ph * scale);
w = round(pw * scale);
% Both images are resampled from the same smoothed full-size photo, so
% neither is a blurred copy of the other.
photo = gauss_blur(photo, 0.45 / scale);

% True map from image 1 to image 2, in pixel coordinates of the working size.
centre = [(w + 1) / 2; (h + 1) / 2];
rot = zoom * [cos(angle) -sin(angle); sin(angle) cos(angle)];
[x1, y1] = meshgrid(1:w, 1:h);
p1 = [x1(:)'; y1(:)'];
p2 = rot * (p1 - repmat(centre, 1, h * w)) + repmat(centre + shift, 1, h * w);
true_dx = reshape(p2(1, :) - p1(1, :), h, w);
true_dy = reshape(p2(2, :) - p1(2, :), h, w);

% Image 2 at q shows what image 1 shows at the inverse map of q.
q = p1;
q_back = rot \ (q - repmat(centre + shift, 1, h * w)) + repmat(centre, 1, h * w);
rgb1 = sample_photo(photo, p1, scale, h, w);
rgb2 = sample_photo(photo, q_back, scale, h, w);
t0 = tic;
[dx, dy, valid, cost] = densematch(rgb1, rgb2);
result = struct('dx', double(dx), 'dy', double(dy), 'valid', valid, ...
                'cost', double(cost), 'time', toc(t0));
fprintf('densematch: %.2f s\n', result.time);

inside = true_dx + x1 >= 1 & true_dx + x1 <= w & true_dy + y1 >= 1 & true_dy + y1 <= h;
epe = sqrt((result.dx - true_dx) .^ 2 + (result.dy - true_dy) .^ 2);
mean_epe = mean(epe(inside));
median_epe = median(epe(inside));
fprintf('share of pixels within 1 px: %.1f%%\n', 100 * mean(epe(inside) <= 1));
fprintf('valid pixels among those: %.1f%%\n', 100 * mean(valid(inside)));
fprintf('mean endpoint error: %.3f px\n', mean_epe);
fprintf('median endpoint error: %.3f px\n', median_epe);

if nargin >= 2 && ~isempty(out_dir)
  write_match_pictures(out_dir, rgb1, rgb2, result);
end
if ~(median_epe <= 1)
  error('densecorr:syntheticFailed', ...
        'median endpoint error %.3f px is above 1 px', median_epe);
end
if nargout == 0
  clear mean_epe median_epe;
end
end

function rgb = sample_photo(photo, points, scale, h, w)
% Working-size pixel centres to full-size pixel coordinates, then bilinear.
[ph, pw, ~] = size(photo);
u = (points(1, :) - 0.5) / scale + 0.5;
v = (points(2, :) - 0.5) / scale + 0.5;
u = min(max(u, 1), pw);
v = min(max(v, 1), ph);
rgb = zeros(h, w, 3);
for c = 1:3
  rgb(:, :, c) = reshape(interp2(photo(:, :, c), u, v, 'linear'), h, w);
end
end

