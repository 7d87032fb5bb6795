function same_bits(actual, expected, what)
%SAME_BITS  Assert that two arrays agree in class, size and every bit
%   (NaN only where the other has NaN).
  assert(strcmp(class(actual), class(expected)), '%s: class %s, expected %s', what, ...
         class(actual), class(expected));
  assert(isequal(size(actual), size(expected)), '%s: size %s, expected %s', what, ...
         mat2str(size(actual)), mat2str(size(expected)));
  if isfloat(expected)
    nan_at = isnan(actual);
    assert(isequal(nan_at, isnan(expected)), '%s: NaN at different places', what);
    a = actual(~nan_at);
    e = expected(~nan_at);
    if isa(e, 'single')
      word = 'uint32';
    else
      word = 'uint64';
    end
    wrong = find(typecast(a(:), word) ~= typecast(e(:), word), 1);
    assert(isempty(wrong), '%s: value %.9g where %.9g was expected', what, a(wrong), e(wrong));
  else
    assert(isequal(actual, expected), '%s: values differ', what);
  end
end
