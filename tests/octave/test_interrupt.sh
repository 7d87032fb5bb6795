#!/usr/bin/env bash
# Ctrl-C in the host: drives an interactive Octave through pipes, starts a
# long call of each module, sends SIGINT half a second into it and checks
# that Octave is back within one second, with nothing assigned, and that the
# next call works.
#
#   test_interrupt.sh OCTAVE_CLI MODULE_DIR
set -u
octave=$1
modules=$2

coproc OCT { exec "$octave" --norc --no-history --no-window-system --no-line-editing --quiet \
                  --interactive 2>&1; }
octave_pid=$OCT_PID
trap 'kill -KILL "$octave_pid" 2>/dev/null' EXIT

fail() {
  echo "FAILED: $*"
  exit 1
}

send() { printf '%s\n' "$1" >&"${OCT[1]}"; }

# Reads Octave's output until a line contains $1, for at most $2 seconds;
# the line is left in $found. Every line read is echoed for the log.
partial=""
wait_for() {
  local line deadline=$((SECONDS + $2))
  while ((SECONDS < deadline)); do
    if IFS= read -r -t 1 line <&"${OCT[0]}"; then
      line="$partial$line"
      partial=""
      echo "octave: $line"
      case $line in *"$1"*) found=$line; return 0 ;; esac
    else
      partial="$partial$line"
      kill -0 "$octave_pid" 2>/dev/null || fail "Octave ended while waiting for '$1'"
    fi
  done
  fail "no '$1' from Octave within $2 s"
}

# Microseconds since the epoch.
now_us() { echo "${EPOCHREALTIME/[.,]/}"; }

send "PS1(''); PS2(''); addpath('$modules');"
# Calls that run for 10 s and more on two cores (160 x 160 x 640 images:
# 289^2 translations, just within the 32-bit counts, or 97^2 offsets), with
# little memory besides the images.
send "A = rand(160, 160, 640, 'single'); D = zeros(2, 160 * 160, 'int32');"
send "P = struct('n_tree_level', 1, 'search_radius', [144 144], 'grid_size', 1, 'truncate_const', 1);"
send "Q = struct('search_grid_size', 1, 'search_radius', [48 48], 'deform_coeff', 0.1, 'truncate_const', 1);"
# A matcher call of several seconds: two 1200 x 1600 images.
send "I = rand(1200, 1600, 'single'); J = circshift(I, [3 5]);"
send "printf('ready\n'); fflush(stdout);"
wait_for ready 60

for call in "cellcost(A, A, P)" "densedisp(A, A, D, Q)" "densematch(I, J)"; do
  module=${call%%(*}
  send "clear x; t0 = tic; printf('started\n'); fflush(stdout); x = $call;"
  wait_for started 30
  sleep 0.5
  kill -INT "$octave_pid"
  sent=$(now_us)
  send "printf('back %d %.2f\n', exist('x', 'var'), toc(t0)); fflush(stdout);"
  wait_for back 60
  latency_ms=$((($(now_us) - sent) / 1000))
  read -r _ assigned elapsed <<<"$found"
  echo "$module: back ${latency_ms} ms after SIGINT (${elapsed} s into the call)"
  [ "$assigned" = 0 ] || fail "$module: the interrupted call assigned its output"
  ((latency_ms < 1000)) || fail "$module: Octave took ${latency_ms} ms to come back"
done

# The modules still work.
send "c = cellcost(A(1:8, 1:8, 1:4), A(1:8, 1:8, 1:4), setfield(P, 'search_radius', [1 1]));"
send "m = densedisp(A(1:8, 1:8, 1:4), A(1:8, 1:8, 1:4), D(:, 1:64), setfield(Q, 'search_radius', [1 1]));"
send "[u, v] = densematch(I(1:32, 1:32), J(1:32, 1:32));"
send "printf('next %d\n', isequal(size(c), [9 1]) && isequal(m, D(:, 1:64)) && isequal(size(u), [32 32])); fflush(stdout);"
wait_for next 30
[ "$found" = "next 1" ] || fail "the calls after the interrupts did not work"
send "exit"
wait "$octave_pid"
trap - EXIT
echo "test_interrupt: passed"
