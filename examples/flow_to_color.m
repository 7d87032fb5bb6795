function rgb = flow_to_color(dx, dy, max_len)
%FLOW_TO_COLOR  Colour-code a displacement field.
%   RGB = FLOW_TO_COLOR(DX, DY, MAX_LEN): the hue gives the direction of each
%   displacement (red = right, then yellow-green = down, cyan = left, blue-
%   violet = up, with image rows growing downwards) and the saturation its
%   length, full at MAX_LEN pixels (default: the longest displacement).
%   Zero displacement is white.

len = sqrt(dx .^ 2 + dy .^ 2);
if nargin < 3 || isempty(max_len)
  max_len = max(len(:));
end
max_len = max(max_len, eps);
hue = mod(atan2(dy, dx), 2 * pi) / (2 * pi);
sat = min(len / max_len, 1);
rgb = hsv2rgb(cat(3, hue, sat, ones(size(dx))));
end
