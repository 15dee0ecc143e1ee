#!/usr/bin/env bash
# The service stops while the user speaks: at the stop key the upload fails, the capsule shows
# the error in red, nothing is pasted, and 2.5 s later the program is idle again (the status dot
# stays green until then).
#   tests/e2e/service-stopped.sh BUILD_DIR
set -u
source "$(dirname "$0")/lib.sh"

start_x
start_pulse
start_service
start_target
make_speech speech "Please schedule the meeting for Thursday afternoon."
start_program

tap_hotkey
wait_log 10 "🎙 Dictation started" || fail "dictation did not start"
width=""
for _ in $(seq 1 50); do
    read -r listening_capsule width _ <<< "$(capsule)"
    [ -n "${width:-}" ] && break
    sleep 0.1
done
[ -n "${width:-}" ] || fail "no capsule while listening"
red="$(capsule_red_pixels "$listening_capsule")"
echo "capsule while listening: ${width} wide, $red red pixels"
[ "$red" -lt 20 ] || fail "the capsule is red while listening"
speak "$T/speech.raw"
kill_service
tap_hotkey

wait_log 10 "⚠️ Process failed:" || fail "the failed upload was not reported"
failed_at="$(log_time "⚠️ Process failed:")"
grep -F "⚠️ Process failed:" "$log"
# The capsule widens to show the message, in red.
error_capsule=""
for _ in $(seq 1 10); do
    read -r id error_width _ <<< "$(capsule)"
    if [ -n "${error_width:-}" ] && [ "$error_width" -gt "$width" ]; then error_capsule=$id; break; fi
    sleep 0.1
done
[ -n "$error_capsule" ] || fail "the capsule did not widen for an error (${width} wide before, now: $(capsule))"
red="$(capsule_red_pixels "$error_capsule")"
[ "$red" -ge 20 ] || fail "the capsule shows no red error text ($red red pixels)"
echo "capsule error: ${error_width} wide, $red red pixels"
[ "$(tray_colour)" = green ] || fail "the dot is not green while the error shows: $(tray_colour)"

wait_tray 6 white || fail "the dot did not turn white after the error: $(tray_colour)"
idle_at="$(now_time)"
after="$(awk -v a="$failed_at" -v b="$idle_at" 'BEGIN { printf "%.1f", b - a }')"
echo "idle again ${after} s after the error"
awk -v d="$after" 'BEGIN { exit !(d >= 2.3 && d <= 4.0) }' ||
    fail "back to idle ${after} s after the error, not 2.5 s"
[ -z "$(capsule)" ] || fail "the capsule is still shown"
expect_nothing_pasted
echo "ok"
