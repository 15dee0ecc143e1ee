#!/usr/bin/env bash
# One real dictation, as a user makes it: tap Right Ctrl, speak, tap again; the refined words
# must arrive in the text field of another program. The status dot in the tray goes orange while
# listening, green while the service works and white again afterwards; the program logs how
# long the answer took.
#   tests/e2e/dictation.sh BUILD_DIR
set -u
source "$(dirname "$0")/lib.sh"

start_x
start_pulse
start_service
start_target
make_speech speech "please schedule the meeting for thursday afternoon"
start_program

[ "$(tray_colour)" = white ] || fail "the dot is not white while idle: $(tray_colour)"
# First Escape while listening: the microphone stops and the program is idle again.
tap_hotkey
wait_tray 10 orange || fail "the dot is not orange while listening: $(tray_colour)"
xdotool keydown Escape sleep 0.05 keyup Escape
wait_log 5 "🎙 Dictation cancelled" || fail "Escape did not cancel the dictation"
wait_log 2 "⏹ Audio capture stopped" || fail "Escape did not stop the microphone"
wait_tray 3 white || fail "the dot is not white after Escape: $(tray_colour)"

tap_hotkey                                              # start
wait_tray 3 orange || fail "the dot is not orange while listening: $(tray_colour)"
speak "$T/speech.raw"

# The service is held still for a moment, so that the state while it works can be seen.
kill -STOP "$service"
tap_hotkey                                              # stop and send
wait_log 5 "🎙 Sending" || { kill -CONT "$service"; fail "nothing was sent"; }
wait_tray 3 green || { kill -CONT "$service"; fail "the dot is not green while processing: $(tray_colour)"; }
! [ -s "$pasted" ] || { kill -CONT "$service"; fail "text was pasted before the service answered"; }
kill -CONT "$service"

wait_for 30 test -s "$pasted" || fail "nothing was pasted"
echo "pasted: $(cat "$pasted")"
# Refined: a capital at the start and a full stop at the end, neither of which flite speaks.
grep -q "^[A-Z].*meeting.*\.$" "$pasted" || fail "the pasted text is not the refined dictation"
logged "📋 Re-activated paste_target before paste" || fail "the target was not re-activated"
wait_tray 3 white || fail "the dot is not white again after the paste: $(tray_colour)"
logged "⏱ LATENCY key-release→response=" || fail "no key-release→response latency line"
logged "⏱ LATENCY key-release→paste=" || fail "no key-release→paste latency line"
! grep -q "^\[alert\]" "$T/program.out" || fail "an alert was shown: $(grep "^\[alert\]" "$T/program.out")"
echo "ok"
