#!/usr/bin/env bash
# Escape while listening cancels the dictation: nothing is sent, nothing is pasted, and the
# program is idle again.
#   tests/e2e/cancel.sh BUILD_DIR
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
wait_tray 3 orange || fail "the dot is not orange while listening: $(tray_colour)"
speak "$T/speech.raw"
tap_escape
wait_log 5 "🎙 Dictation cancelled" || fail "Escape did not cancel the dictation"
echo "cancelled"
logged "⏹ Audio capture stopped" || fail "the microphone was not stopped"
wait_tray 3 white || fail "the dot is not white after the cancel: $(tray_colour)"
echo "idle: white"

# Long enough for an answer to have come back, had anything been sent.
sleep 3
expect_nothing_pasted
! logged "🎙 Sending" || fail "the recording was sent"
! grep -q '"POST /process"' "$T/service.log" || fail "the service got an upload"
[ "$(tray_colour)" = white ] || fail "the dot is not white 3 s after the cancel: $(tray_colour)"

# Idle for real: the hotkey starts the next dictation.
tap_hotkey
wait_for 10 sh -c '[ "$(grep -c "🎙 Dictation started" "$0")" = 2 ]' "$log" ||
    fail "no new dictation could be started after the cancel"
wait_tray 3 orange || fail "the dot is not orange in the next dictation: $(tray_colour)"
tap_escape
wait_for 5 sh -c '[ "$(grep -c "🎙 Dictation cancelled" "$0")" = 2 ]' "$log" || fail "the second cancel failed"
echo "ok"
