#!/usr/bin/env bash
# One real dictation, as a user makes it: a private X server with a window manager, a PulseAudio
# server whose microphone is fed with synthetic speech, the reference transcription service, a
# text field to paste into, and the program. Tap Right Ctrl, speak, tap again: the words must
# arrive in the text field.
#   tests/e2e/dictation.sh BUILD_DIR
set -u
build="$(cd "$1" && pwd)"
T="$(mktemp -d /tmp/skrib-dictation.XXXXXX)"
export HOME=$T/home XDG_RUNTIME_DIR=$T/run XDG_CONFIG_HOME=$T/home/.config XDG_DATA_HOME=$T/home/.local/share
mkdir -p "$HOME"
mkdir -m 700 -p "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORM
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    sleep 0.3
    for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
    rm -rf "$T"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    echo "--- program log"; cat "$HOME/.vantuskrib.log" 2>/dev/null
    echo "--- service log"; tail -20 "$T/service.log" 2>/dev/null
    exit 1
}
wait_for() { # seconds, command...
    local limit=$(( $1 * 10 )); shift
    for _ in $(seq 1 "$limit"); do "$@" && return 0; sleep 0.1; done
    return 1
}

exec 5> >(cat > "$T/display")
Xvfb -displayfd 5 -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
wait_for 10 test -s "$T/display" || fail "Xvfb did not start"
export DISPLAY=":$(head -1 "$T/display")"
openbox --sm-disable >/dev/null 2>&1 & pids+=($!)
wait_for 10 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q window' || fail "openbox did not start"

cat > "$T/pa.pa" <<PA
.fail
load-module module-null-sink sink_name=out
load-module module-pipe-source source_name=mic file=$T/mic.fifo format=s16le rate=48000 channels=2 source_properties="device.description='USB Microphone'"
set-default-source mic
load-module module-native-protocol-unix socket=$T/pulse.sock auth-anonymous=1
PA
pulseaudio --daemonize=no --exit-idle-time=-1 -n -F "$T/pa.pa" >/dev/null 2>&1 & pids+=($!)
export PULSE_SERVER=unix:$T/pulse.sock
wait_for 10 test -S "$T/pulse.sock" || fail "PulseAudio did not start"

"$build/service-ref/skrib-service" --listen 127.0.0.1:0 --data-dir "$T/service" > "$T/service.log" 2>&1 & pids+=($!)
wait_for 20 grep -q "listening on" "$T/service.log" || fail "the service did not start"
export VANTU_SKRIB_SERVICE_URL="$(grep -o 'http://127.0.0.1:[0-9]*' "$T/service.log" | head -1)"

flite -voice rms -t "Please schedule the meeting for Thursday afternoon." -o "$T/speech.wav"
sox "$T/speech.wav" -t raw -r 48000 -c 2 -b 16 -e signed "$T/speech.raw" pad 0.3 0.5

"$build/tests/paste_target" "$T/pasted" Notes >/dev/null 2>&1 & pids+=($!)
wait_for 10 test -s "$T/pasted.window" || fail "the text field did not open"
xdotool windowactivate "$(cat "$T/pasted.window")" >/dev/null 2>&1

dbus-run-session -- "$build/vantu-skrib" > "$T/program.out" 2>&1 & pids+=($!)
wait_for 20 grep -q "Global hotkey active" "$T/program.out" || fail "the program did not start"

# The microphone: silence, then the speech once dictation runs, then silence, in real time.
python3 - "$T/mic.fifo" "$T/speech.raw" "$T/go" "$T/spoken" <<'PY' &
import os, sys, time
fifo = open(sys.argv[1], 'wb', buffering=0)
speech = open(sys.argv[2], 'rb').read()
chunk = 48000 * 2 * 2 // 100
silence = bytes(chunk)
start, n = time.monotonic(), 0
def put(b):
    global n
    fifo.write(b); n += 1
    delay = start + n * 0.01 - time.monotonic()
    if delay > 0: time.sleep(delay)
while not os.path.exists(sys.argv[3]): put(silence)
for i in range(0, len(speech), chunk): put(speech[i:i + chunk].ljust(chunk, b'\0'))
open(sys.argv[4], 'w').close()
for _ in range(3000): put(silence)
PY
pids+=($!)

xdotool keydown 105; sleep 0.1; xdotool keyup 105      # Right Ctrl tap: start
wait_for 10 grep -q "Dictation started" "$HOME/.vantuskrib.log" || fail "dictation did not start"
touch "$T/go"
wait_for 20 test -e "$T/spoken" || fail "the speech was not played"
sleep 0.3
xdotool keydown 105; sleep 0.1; xdotool keyup 105      # tap again: stop and send
wait_for 30 test -s "$T/pasted" || fail "nothing was pasted"
pasted="$(cat "$T/pasted")"
echo "pasted: $pasted"
grep -qi "meeting" "$T/pasted" || fail "the pasted text is not the dictation: $pasted"
grep -q "📋 Re-activated Notes before paste" "$HOME/.vantuskrib.log" || fail "the target was not re-activated"
grep -q "⏱ LATENCY key-release→paste=" "$HOME/.vantuskrib.log" || fail "no latency line"
echo "ok"
