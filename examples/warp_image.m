function warped = warp_image(im2, dx, dy)
%WARP_IMAGE  Pull image 2 into the frame of image 1 along a displacement field.
%   WARPED = WARP_IMAGE(IM2, DX, DY): DX and DY are H1 x W1 fields; pixel
%   (x, y) of image 1 corresponds to (x + DX, y + DY) of image 2, and
%   WARPED(y, x, :) is image 2 sampled there (bilinear). Pixels that point
%   outside image 2 are 0.

[h1, w1] = size(dx);
[xg, yg] = meshgrid(1:w1, 1:h1);
warped = zeros(h1, w1, size(im2, 3));
for c = 1:size(im2, 3)
  plane = interp2(double(im2(:, :, c)), xg + dx, yg + dy, 'linear');
  plane(isnan(plane)) = 0;
  warped(:, :, c) = plane;
end
end
