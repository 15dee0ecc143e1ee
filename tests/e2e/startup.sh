#!/usr/bin/env bash
# Start-up and a second start: the program starts with its main window and tray dot; started
# again while it runs, the second program shows the running program's main window (here
# minimised first) and exits.
#   tests/e2e/startup.sh BUILD_DIR
set -u
source "$(dirname "$0")/lib.sh"

start_x
start_pulse
start_target
start_program
[ "$(tray_colour)" = white ] || fail "no white dot in the tray: $(tray_colour)"
first=$program
xdotool windowminimize "$(xdotool search --onlyvisible --name '^Vantu Skrib$' | head -1)"
wait_for 5 sh -c '! xdotool search --onlyvisible --name "^Vantu Skrib$"' || fail "the window stayed"

run_program second.out
wait_for 10 sh -c "! kill -0 $program 2>/dev/null" || fail "the second start kept running"
wait "${pids[-1]}" || fail "the second start ended with status $?"
grep -qF "👋 Vantu Skrib is already running — showing its window" "$T/second.out" ||
    fail "the second start did not hand over: $(cat "$T/second.out")"
! grep -q "Vantu Skrib running" "$T/second.out" || fail "the second start ran a second program"
wait_log 10 "🪟 Started again — showing the main window" || fail "the first program was not told"
wait_for 10 main_window || fail "the main window was not shown again"
kill -0 "$first" || fail "the first program has gone"
echo "ok"
