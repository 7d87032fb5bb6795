function check_rejects(expected, fn, varargin)
%CHECK_REJECTS  Assert that FN(VARARGIN{:}) is refused: an error with the
%   identifier densecorr:<module>:badInput and the message EXPECTED (as the
%   host shows it, after "<module>: "), nothing printed and no output
%   assigned, whether it is asked for 0, 1 or 3 outputs, and that cellfun,
%   arrayfun and a comma-list assignment see the failure too.
  name = func2str(fn);
  id = ['densecorr:' name ':badInput'];
  message = [name ': ' expected];
  err = [];
  text = evalc('try, fn(varargin{:}); catch err, end');
  report(name, 0, id, message, err, text, exist('ans', 'var') == 1);
  err = [];
  text = evalc('try, a = fn(varargin{:}); catch err, end');
  report(name, 1, id, message, err, text, exist('a', 'var') == 1);
  err = [];
  text = evalc('try, [b, c, d] = fn(varargin{:}); catch err, end');
  report(name, 3, id, message, err, text, exist('b', 'var') || exist('c', 'var') || exist('d', 'var'));

  % The forms that took a refusal for a result while it was only printed.
  err = [];
  try
    e = cellfun(@(x) fn(varargin{:}), {1, 2});
  catch err
  end
  report(name, 'cellfun', id, message, err, '', exist('e', 'var') == 1);
  err = [];
  try
    f = arrayfun(@(k) fn(varargin{:}), 1:2);
  catch err
  end
  report(name, 'arrayfun', id, message, err, '', exist('f', 'var') == 1);
  err = [];
  g = cell(1, 2);
  try
    [g{:}] = fn(varargin{:});
  catch err
  end
  report(name, 'a comma list', id, message, err, '', ~all(cellfun('isempty', g)));
end

function report(name, form, id, message, err, text, assigned)
  if isnumeric(form)
    form = sprintf('%d outputs', form);
  end
  assert(~isempty(err), '%s with %s raised no error (expected "%s")', name, form, message);
  assert(strcmp(err.identifier, id) && strcmp(err.message, message), ...
         '%s with %s raised %s "%s", expected %s "%s"', name, form, err.identifier, ...
         err.message, id, message);
  assert(isempty(text), '%s with %s printed "%s"', name, form, text);
  assert(~assigned, '%s with %s assigned an output after "%s"', name, form, message);
end
