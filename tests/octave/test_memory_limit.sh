#!/usr/bin/env bash
# Runs test_memory_limit.m in Octave inside a new memory cgroup limited to
# 800 MiB: a cgroup v1 child of this process's memory cgroup, or a v2 child
# of its cgroup where the memory controller is delegated. Where neither can
# be made (no root, no delegation) the test is reported as skipped (77).
#
#   test_memory_limit.sh OCTAVE_CLI MODULE_DIR
set -u
octave=$1
modules=$2
here=$(cd "$(dirname "$0")" && pwd)
limit=$((800 * 1024 * 1024))

make_cgroup() {
  local mount path dir
  mount=$(awk '$9 == "cgroup" && $NF ~ /(^|,)memory(,|$)/ {print $5; exit}' /proc/self/mountinfo)
  path=$(awk -F: '$2 ~ /(^|,)memory(,|$)/ {print $3; exit}' /proc/self/cgroup)
  if [ -n "$mount" ] && [ -n "$path" ]; then
    dir="$mount${path%/}/densecorr_memory_limit_$$"
    if mkdir "$dir" 2>/dev/null; then
      if echo "$limit" >"$dir/memory.limit_in_bytes" 2>/dev/null; then
        echo "$dir"
        return
      fi
      rmdir "$dir"
    fi
  fi
  mount=$(awk '$9 == "cgroup2" {print $5; exit}' /proc/self/mountinfo)
  path=$(awk -F: '$1 == "0" {print $3; exit}' /proc/self/cgroup)
  if [ -n "$mount" ] && [ -n "$path" ]; then
    dir="$mount${path%/}/densecorr_memory_limit_$$"
    if mkdir "$dir" 2>/dev/null; then
      if [ -f "$dir/memory.max" ] && echo "$limit" >"$dir/memory.max" 2>/dev/null; then
        echo "$dir"
        return
      fi
      rmdir "$dir"
    fi
  fi
}

cgroup=$(make_cgroup)
if [ -z "$cgroup" ]; then
  echo "skipped: no memory cgroup could be created here (needs root, or a delegated cgroup v2 subtree)"
  exit 77
fi
echo "memory limit: $cgroup ($limit bytes)"

# Octave starts inside the cgroup, so everything it allocates counts.
bash -c 'echo $$ >"$1/cgroup.procs" && exec "$2" --norc --no-history --no-window-system \
           --eval "addpath(\"$3\", \"$4\"); test_memory_limit();"' \
  limit "$cgroup" "$octave" "$modules" "$here"
status=$?

# The cgroup empties once Octave is gone; give the kernel a moment.
for _ in 1 2 3 4 5 6 7 8 9 10; do
  rmdir "$cgroup" 2>/dev/null && break
  sleep 0.2
done
if [ $status -eq 137 ]; then
  echo "Octave was killed: a call the modules let through did not fit the limit"
fi
exit $status
