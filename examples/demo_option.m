function value = demo_option(opts, name, default)
%DEMO_OPTION  OPTS.(NAME) when it is set and not empty, else DEFAULT.
if isfield(opts, name) && ~isempty(opts.(name))
  value = opts.(name);
else
  value = default;
end
end
