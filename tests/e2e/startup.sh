#!/usr/bin/env bash
# Start-up and later starts: the program starts with its main window and tray dot; started
# again while it runs, the second program shows the running program's main window (here
# minimised first) and exits without touching its log. Then, with the running program killed,
# four start at once with standard output closed: exactly one of them runs.
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
[ "$(grep -c "STARTED — Vantu Skrib launching" "$log")" = 1 ] ||
    fail "the second start wrote to the running program's log"

kill -9 "$first" # its socket stays behind
for i in 1 2 3 4; do
    sh -c 'echo $$ > "$0"; exec "$1"' "$T/racer$i.pid" "$build/vantu-skrib" 2>/dev/null | true &
done
wait_for 10 sh -c "cat $T/racer*.pid 2>/dev/null | wc -l | grep -qx 4" || fail "the starts did not start"
racers="$(cat "$T"/racer*.pid)"
pids+=($racers)
running() { for p in $racers; do kill -0 "$p" 2>/dev/null && echo "$p"; done; }
one_running() { [ "$(running | wc -l)" = 1 ]; }
ran() { [ "$(grep -c "🟢 Vantu Skrib running" "$log")" -ge 2 ]; }
wait_for 30 ran || fail "none of the starts ran"
wait_for 15 one_running || fail "$(running | wc -l) programs run"
sleep 1
[ "$(grep -c "🟢 Vantu Skrib running" "$log")" = 2 ] || fail "more than one start ran"
[ "$(running | wc -l)" = 1 ] || fail "the running program ended with its output closed"
echo "ok"
