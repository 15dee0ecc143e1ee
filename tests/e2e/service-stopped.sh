#!/usr/bin/env bash
# The service is gone when the user taps the stop key: the capsule shows the error in red and
# nothing is pasted.
#   tests/e2e/service-stopped.sh BUILD_DIR
set -u
source "$(dirname "$0")/lib.sh"

# The capsule, the program's small window at the top of the screen: "ID WIDTH", or nothing.
capsule() {
    for id in $(xdotool search --onlyvisible --name '^Vantu Skrib$' 2>/dev/null); do
        xdotool getwindowgeometry "$id" 2>/dev/null |
            sed -n "s/.*Geometry: \([0-9]*\)x\([0-9]*\).*/$id \1 \2/p" | awk '$3 < 60 { print $1, $2 }'
    done
}
start_x
start_pulse
start_service
start_target
make_speech speech "please schedule the meeting for thursday afternoon"
start_program

tap_hotkey
wait_log 10 "🎙 Dictation started" || fail "dictation did not start"
wait_for 5 test -n "$(capsule)" || fail "no capsule while listening"
read -r id width <<< "$(capsule)"
[ "$(pixels "$id" EF4444)" -lt 20 ] || fail "the capsule is red while listening"
speak "$T/speech.raw"
kill -KILL "$service"                    # gone at once, as after a crash
wait_for 5 sh -c "! kill -0 $service 2>/dev/null" || fail "the service did not stop"
service=""
tap_hotkey

wait_log 10 "⚠️ Process failed:" || fail "the failed upload was not reported"
# The capsule widens to show the message in red (#EF4444).
for _ in $(seq 1 30); do
    read -r id error_width <<< "$(capsule)"
    [ "${error_width:-0}" -gt "$width" ] && break
    sleep 0.1
done
[ "${error_width:-0}" -gt "$width" ] || fail "the capsule did not widen for the error ($width, now ${error_width:-gone})"
[ "$(pixels "$id" EF4444)" -ge 20 ] || fail "the capsule shows no red error text"
sleep 3
! [ -s "$pasted" ] && ! logged "📋 Inserting:" || fail "text was pasted: $(cat "$pasted")"
echo "ok"
