#!/usr/bin/env bash
# The skrib-service program: bad command lines are refused, SIGTERM lets the upload in progress
# finish, and a restart on the same data keeps the day's uses.
#   service-binary.sh SKRIB_SERVICE
set -u
service="$1"
T="$(mktemp -d "${SKRIB_TEST_TMP:-/tmp}/skrib-service-test.XXXXXX")"
pid=""
trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; rm -rf "$T"' EXIT
fail() { echo "FAIL: $*"; tail -5 "$T"/*.log; exit 1; }

refused() { # exit status, message, arguments...
    local status=$1 message=$2 && shift 2
    "$service" "$@" 2> "$T/refused.log"
    [ $? = "$status" ] && grep -qF -- "$message" "$T/refused.log" ||
        fail "'$*' did not end with $status and \"$message\""
}
refused 2 "--listen is required"
refused 2 "HOST:PORT" --listen 127.0.0.1:65536 --data-dir "$T/data"
refused 2 "--daily-limit" --listen 127.0.0.1:0 --data-dir "$T/data" --daily-limit 0
refused 2 "go together" --listen 127.0.0.1:0 --data-dir "$T/data" --tls-key k.pem

start() { # log name
    "$service" --listen 127.0.0.1:0 --data-dir "$T/data" --workers 1 --daily-limit 1 2> "$T/$1.log" &
    pid=$!
    for _ in $(seq 1 300); do
        port="$(grep -o 'listening on http://127.0.0.1:[0-9]*' "$T/$1.log" | sed 's/.*://')"
        [ -n "$port" ] && return 0
        sleep 0.1
    done
    fail "the service did not start"
}
upload() { curl -s -o /dev/null -w '%{http_code}' -H 'x-device-id: BINARY' \
    -F "audio=@$T/speech.wav;type=audio/wav" "http://127.0.0.1:$port/process"; }
running() { curl -s "http://127.0.0.1:$port/health" | grep -q '"running":1'; }

flite -voice rms -o "$T/sentence.wav" \
    -t "the meeting has been moved to thursday afternoon. i will call you back in ten minutes." &&
    ffmpeg -nostdin -loglevel error -stream_loop 5 -i "$T/sentence.wav" -t 8 "$T/speech.wav" ||
    fail "no speech"

start first
upload > "$T/status" &
uploader=$!
for _ in $(seq 1 300); do running && break; sleep 0.05; done
running || fail "the upload never started"
kill -TERM "$pid"
wait "$uploader"
[ "$(cat "$T/status")" = 200 ] || fail "the upload in progress got $(cat "$T/status")"
wait "$pid" || fail "SIGTERM did not end the service with 0"
pid=""
[ "$(tail -1 "$T/first.log")" = "skrib-service: stopped" ] || fail "no stop line"

start again
[ "$(upload)" = 429 ] || fail "the first run's upload did not count towards the daily limit"
"$service" --listen "127.0.0.1:$port" --data-dir "$T/other" 2> "$T/sharing.log"
[ $? = 1 ] && grep -q "cannot listen on" "$T/sharing.log" || fail "a second service shared the port"
echo ok
