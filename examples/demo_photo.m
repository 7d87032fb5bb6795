function file = demo_photo(name)
%DEMO_PHOTO  Full path of one of the sample photos the demos use by default.
%   FILE = DEMO_PHOTO(NAME) looks for NAME (e.g. 'aloeL.jpg') among the
%   sample images of the Debian package opencv-doc and raises the error
%   'densecorr:noPhoto' when it is not there.

folders = {'/usr/share/doc/opencv-doc/examples/data'};
for k = 1:numel(folders)
  file = fullfile(folders{k}, name);
  if exist(file, 'file')
    return;
  end
end
error('densecorr:noPhoto', ...
      'sample photo %s not found: install the Debian package opencv-doc, or pass image files', ...
      name);
end
