#!/usr/bin/env bash
# How long a user waits after the stop key: dictates a short (about 3 s) and a long (about 15 s)
# sentence through the real program and service, ROUNDS times, and prints the program's timing
# lines (stop key to the service's answer, stop key to the paste, the time spent building the
# upload and the time the request spent in the service), then the median of each figure. Not a test: run it by hand.
#   tests/e2e/latency.sh BUILD_DIR [ROUNDS]
set -u
rounds="${2:-1}"
source "$(dirname "$0")/lib.sh" "$1"

start_x
start_pulse
start_service
start_target
make_speech short "Remind me to call the dentist tomorrow morning."
make_speech long "The deployment failed because the cluster ran out of memory, so we rolled back to the previous release and opened a ticket with the infrastructure team. They will raise the limits before Friday, and we will try the release again next week."
start_program

pastes() { grep -c "⏱ LATENCY key-release→paste=" "$log"; }
# The value of NAME=<number>ms in the last line holding TEXT.
figure() { # text name
    grep -F -- "$1" "$log" | tail -1 | grep -o "$2=[0-9.]*" | head -1 | sed 's/.*=//'
}
results="$T/results"
: > "$results"
dictate() { # name
    local before
    before="$(pastes)"
    tap_hotkey
    wait_for 10 sh -c '[ "$(grep -c "🎙 Dictation started" "$0")" -gt "$1" ]' "$log" "$dictations" ||
        fail "dictation did not start"
    dictations=$(( dictations + 1 ))
    speak "$T/$1.raw"
    tap_hotkey
    wait_for 60 sh -c '[ "$(grep -c "⏱ LATENCY key-release→paste=" "$0")" -gt "$1" ]' "$log" "$before" ||
        fail "nothing was pasted"
    local seconds response paste body server
    seconds="$(grep -F "🎙 Sending" "$log" | tail -1 | sed -n 's/.*(\([0-9.]*\)s).*/\1/p')"
    response="$(figure "LATENCY key-release→response" "key-release→response")"
    paste="$(figure "LATENCY key-release→paste" "key-release→paste")"
    body="$(figure "LATENCY key-release→response" "body-build")"
    server="$(figure "LATENCY key-release→response" "server")"
    echo "$1 (${seconds} s):"
    grep -F -e "🗜 Compressed" -e "⏱" -e "✨ Processed" "$log" | tail -4 | sed 's/^/    /'
    echo "$1 $response $paste $body ${server:-0}" >> "$results"
    sleep 1
}
dictations=0
for round in $(seq 1 "$rounds"); do
    echo "--- round $round"
    dictate short
    dictate long
done

echo "--- medians over $rounds round(s), in ms"
python3 - "$results" <<'PY'
import statistics, sys
rows = [line.split() for line in open(sys.argv[1]) if line.strip()]
print(f"{'':6} {'release→response':>17} {'release→paste':>14} {'body-build':>11} {'server':>7}")
for name in ("short", "long"):
    values = [[float(v) for v in row[1:]] for row in rows if row[0] == name]
    medians = [statistics.median(column) for column in zip(*values)]
    print(f"{name:6} {medians[0]:17.0f} {medians[1]:14.0f} {medians[2]:11.0f} {medians[3]:7.0f}")
PY
