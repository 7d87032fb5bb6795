function rgb = read_image(source)
%READ_IMAGE  An image file (or array) as H x W x 3 doubles in [0, 1].
%   Indexed images are expanded through their colour map, grey images are
%   repeated on the three channels and an alpha or fourth channel is dropped.

if ischar(source)
  [im, map] = imread(source);
  if ~isempty(map)
    im = ind2rgb(im, map);
  end
else
  im = source;
end
if isinteger(im)
  im = double(im) / double(intmax(class(im)));
else
  im = double(im);
end
if size(im, 3) == 1
  im = repmat(im, [1 1 3]);
end
rgb = im(:, :, 1:3);
end
