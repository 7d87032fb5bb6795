function files = write_match_pictures(out_dir, rgb1, rgb2, result)
%WRITE_MATCH_PICTURES  Save the pictures that show a dense match.
%   FILES = WRITE_MATCH_PICTURES(OUT_DIR, RGB1, RGB2, RESULT) writes into
%   OUT_DIR (created if needed), for RESULT (fields dx, dy, cost, and
%   optionally valid) from demo_match or match_by_hand:
%     image1.png         image 1
%     image2.png         image 2
%     image2_warped.png  image 2 pulled into image 1's frame along the field;
%                        where the match is right it lines up with image 1,
%                        and pixels whose match leaves image 2 are black
%     overlay.png        image 1 in red, warped image 2 in green and blue:
%                        grey where they agree, coloured fringes where not
%     flow.png           the field, colour-coded (flow_to_color): hue is the
%                        direction, saturation the length, white is no motion
%     cost.png           descriptor distance at each chosen match, black = 0,
%                        white = 1 or more
%     valid.png          (when RESULT has valid) image 1 where the match is
%                        valid, dark red where it is not
%   and returns their full names.

if ~exist(out_dir, 'dir')
  mkdir(out_dir);
end
warped = warp_image(rgb2, result.dx, result.dy);
overlay = cat(3, rgb_to_gray(rgb1), repmat(rgb_to_gray(warped), [1 1 2]));
pictures = {'image1.png', rgb1; 'image2.png', rgb2; 'image2_warped.png', warped; ...
            'overlay.png', overlay; 'flow.png', flow_to_color(result.dx, result.dy); ...
            'cost.png', min(result.cost, 1)};
if isfield(result, 'valid')
  shade = rgb1;
  shade(:, :, 1) = shade(:, :, 1) .* result.valid + 0.5 * ~result.valid;
  shade(:, :, 2:3) = shade(:, :, 2:3) .* repmat(result.valid, [1 1 2]);
  pictures(end + 1, :) = {'valid.png', shade};
end
cost = result.cost;
cost(~isfinite(cost)) = 1;
pictures{strcmp(pictures(:, 1), 'cost.png'), 2} = min(cost, 1);
files = cell(size(pictures, 1), 1);
for k = 1:size(pictures, 1)
  files{k} = fullfile(out_dir, pictures{k, 1});
  imwrite(uint8(round(255 * min(max(pictures{k, 2}, 0), 1))), files{k});
end
end
