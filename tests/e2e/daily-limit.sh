#!/usr/bin/env bash
# The service's daily limit: when the device's uploads for the day are used up, the dictation
# ends in the "Daily limit reached" alert (answered here through VANTU_SKRIB_ALERT_ANSWER, which
# writes it to standard output), nothing is pasted, and the program is idle again.
#   tests/e2e/daily-limit.sh BUILD_DIR
set -u
source "$(dirname "$0")/lib.sh"

start_x
start_pulse
start_service --daily-limit 1
start_target
make_speech speech "Please schedule the meeting for Thursday afternoon."

# The one upload of the day, made before the program starts, under the program's identity.
use_known_device
status="$(curl -s -o "$T/first.json" -w '%{http_code}' -H "x-device-id: $device_id" \
    -F "audio=@$T/speech.wav;type=audio/wav" "$service_url/process")"
[ "$status" = 200 ] || fail "the first upload of the day got $status: $(cat "$T/first.json")"

VANTU_SKRIB_ALERT_ANSWER=0 start_program
logged "${device_id:0:8}" || fail "the program does not use the known device identity"

tap_hotkey
wait_log 10 "🎙 Dictation started" || fail "dictation did not start"
speak "$T/speech.raw"
tap_hotkey

alert="[alert] Daily limit reached — You've used all your transcriptions for today. The limit resets at midnight UTC. → OK"
wait_for 30 grep -qF -- "$alert" "$T/program.out" || fail "no daily-limit alert"
echo "$alert"
[ "$(grep -c '^\[alert\]' "$T/program.out")" = 1 ] || fail "more than one alert"
grep -q '"POST /process" 429' "$T/service.log" || fail "the service did not refuse the upload with 429"
logged "⚠️ Daily limit reached" || fail "the refusal was not logged"
wait_tray 3 white || fail "the dot is not white after the alert: $(tray_colour)"
echo "idle: white"
sleep 2
expect_nothing_pasted
echo "ok"
