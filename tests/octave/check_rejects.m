function check_rejects(expected, fn, varargin)
%CHECK_REJECTS  Assert that FN(VARARGIN{:}) prints exactly EXPECTED, raises no
%   error and assigns no output, whether it is asked for 0, 1 or 3 outputs.
  name = func2str(fn);
  % No try: a rejected call must return normally.
  text = evalc('fn(varargin{:});');
  report(name, expected, text, exist('ans', 'var') == 1, 0);
  % The host itself complains when an output it asked for is missing.
  text = evalc('try, a = fn(varargin{:}); catch, end');
  report(name, expected, text, exist('a', 'var') == 1, 1);
  text = evalc('try, [b, c, d] = fn(varargin{:}); catch, end');
  report(name, expected, text, exist('b', 'var') || exist('c', 'var') || exist('d', 'var'), 3);
end

function report(name, expected, text, assigned, n_out)
  assert(strcmp(text, expected), '%s with %d outputs printed "%s", expected "%s"', ...
         name, n_out, text, expected);
  assert(~assigned, '%s with %d outputs assigned an output after "%s"', name, n_out, expected);
end
