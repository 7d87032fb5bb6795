function gray = rgb_to_gray(rgb)
%RGB_TO_GRAY  Luma of an H x W x 3 image (ITU-R BT.601 weights).
gray = 0.299 * rgb(:, :, 1) + 0.587 * rgb(:, :, 2) + 0.114 * rgb(:, :, 3);
end
