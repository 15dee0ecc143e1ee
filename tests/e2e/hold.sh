#!/usr/bin/env bash
# Hold mode: Right Ctrl held while speaking starts the dictation, letting it go stops it and the
# words arrive in the text field. A short tap does nothing in this mode.
#   tests/e2e/hold.sh BUILD_DIR
set -u
source "$(dirname "$0")/lib.sh"

start_x
start_pulse
start_service
start_target
make_speech speech "Please schedule the meeting for Thursday afternoon."
write_settings hotkeyHoldMode=true
start_program

# A tap (well under the hold threshold) is neither a start nor a stop.
xdotool keydown 105 sleep 0.03 keyup 105
sleep 1.5
! logged "🎯 Target app for paste" || fail "a tap started a dictation in hold mode"
[ "$(tray_colour)" = white ] || fail "the dot is not white after a tap: $(tray_colour)"

press_hotkey
wait_log 10 "🎙 Dictation started" || { release_hotkey; fail "holding the key did not start a dictation"; }
wait_tray 3 orange || { release_hotkey; fail "the dot is not orange while listening: $(tray_colour)"; }
echo "held: listening"
speak "$T/speech.raw"
release_hotkey

wait_for 30 test -s "$pasted" || fail "nothing was pasted"
echo "pasted: $(cat "$pasted")"
grep -qi "meeting" "$pasted" || fail "the pasted text is not the dictation: $(cat "$pasted")"
logged "⏱ LATENCY key-release→paste=" || fail "no latency line"
wait_tray 3 white || fail "the dot is not white again after the paste: $(tray_colour)"
[ "$(grep -c "🎙 Dictation started" "$log")" = 1 ] || fail "more than one dictation was started"
echo "ok"
