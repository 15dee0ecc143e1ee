# Shared pieces of the end-to-end scripts, sourced by each of them after `set -u`:
#   source "$(dirname "$0")/lib.sh" BUILD_DIR
# A private X server with a window manager and a system tray, a PulseAudio server whose
# microphone is a FIFO fed with synthetic speech in real time, the reference transcription
# service, a text field to paste into, and the program. Everything runs in a fresh temporary
# folder and is stopped by its PID when the script ends.

[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build="$(cd "$1" && pwd)"
# A session bus that starts no services on demand.
session_conf="$(cd "$(dirname "${BASH_SOURCE[0]}")/../harness" && pwd)/session.conf"
T="$(mktemp -d /tmp/skrib-e2e.XXXXXX)"
export HOME=$T/home XDG_RUNTIME_DIR=$T/run XDG_CONFIG_HOME=$T/home/.config XDG_DATA_HOME=$T/home/.local/share
mkdir -p "$HOME" "$XDG_CONFIG_HOME/VantuSkrib" "$XDG_DATA_HOME/VantuSkrib"
mkdir -m 700 -p "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORM QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS
export LANG=C.UTF-8
log="$HOME/.vantuskrib.log"
pasted="$T/pasted"
pids=()
service=""

cleanup() {
    for p in $service "${pids[@]}"; do kill "$p" 2>/dev/null; done
    sleep 0.3
    for p in $service "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
    rm -rf "$T"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    echo "--- program output"; cat "$T/program.out" 2>/dev/null
    echo "--- service log"; tail -20 "$T/service.log" 2>/dev/null
    our_display || echo "--- ${DISPLAY:-} is no longer this test's X server"
    exit 1
}
wait_for() { # seconds, command...
    local limit=$(( $1 * 10 )); shift
    for _ in $(seq 1 "$limit"); do "$@" && return 0; sleep 0.1; done
    return 1
}
logged() { grep -qF -- "$1" "$log" 2>/dev/null; }
wait_log() { wait_for "$1" grep -qF -- "$2" "$log"; } # seconds, text
# A mark on the root window tells this X server from any other that might answer on the name.
our_display() { xprop -root _SKRIB_E2E 2>/dev/null | grep -qF "\"$T\""; }

# X server, window manager, system tray. Now and then openbox, or the panel of a tray started
# right after it, never shows: each gets three tries.
start_x() {
    exec 5> >(cat > "$T/display")
    # -noreset: the server keeps its state (and the mark) when its last client leaves.
    Xvfb -displayfd 5 -screen 0 1280x800x24 -nolisten tcp -noreset >/dev/null 2>&1 & pids+=($!)
    wait_for 10 test -s "$T/display" || fail "Xvfb did not start"
    export DISPLAY=":$(head -1 "$T/display")"
    xprop -root -f _SKRIB_E2E 8s -set _SKRIB_E2E "$T" || fail "the X server does not answer"
    for attempt in 1 2 3; do
        openbox --sm-disable >/dev/null 2>&1 & pids+=($!)
        wait_for 10 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q window' &&
            sleep 0.3 && kill -0 $! 2>/dev/null && break
        kill $! 2>/dev/null
        [ "$attempt" = 3 ] && fail "openbox did not start"
    done
    # A black tray, so that every colour of the status dot stands out from it.
    for attempt in 1 2 3; do
        trayer --edge top --align right --widthtype pixel --width 120 --height 24 \
            --transparent true --alpha 0 --tint 0x000000 >/dev/null 2>&1 & pids+=($!)
        tray_window="$(wait_for 5 xdotool search --onlyvisible --class trayer | head -1)"
        [ -n "$tray_window" ] && return 0
        kill $!
    done
    fail "trayer did not start"
}

# PulseAudio with a FIFO microphone: silence in real time, 10 ms at a time; `speak FILE` plays
# a raw recording (48 kHz stereo s16le) into it and waits until it is over. When the FIFO is
# full (nobody reads) the pace restarts from there instead of catching up in a burst.
start_pulse() {
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
    python3 - "$T/mic.fifo" "$T" <<'PY' & pids+=($!)
import os, sys, time
fifo = open(sys.argv[1], 'wb', buffering=0)
request = os.path.join(sys.argv[2], 'say')
chunk = 48000 * 2 * 2 // 100
start, n = time.monotonic(), 0
def put(b):
    global start, n
    try:
        fifo.write(b)
    except BrokenPipeError: # the microphone server has gone: the test is over
        sys.exit(0)
    n += 1
    delay = start + n * 0.01 - time.monotonic()
    if delay > 0:
        time.sleep(delay)
    elif delay < -0.05:
        start, n = time.monotonic(), 0
while True:
    if os.path.exists(request):
        speech = open(open(request).read().strip(), 'rb').read()
        os.unlink(request)
        for i in range(0, len(speech), chunk):
            put(speech[i:i + chunk].ljust(chunk, b'\0'))
        open(request + '.done', 'w').close()
    put(bytes(chunk))
PY
}
speak() {
    rm -f "$T/say.done"
    echo "$1" > "$T/say.new" && mv "$T/say.new" "$T/say"   # whole, never half written
    wait_for 30 test -e "$T/say.done" || fail "the speech was not played"
    sleep 0.3
}

# Synthetic speech: NAME "words" -> $T/NAME.wav (as spoken) and $T/NAME.raw (the microphone's
# format, with a little silence around it).
make_speech() {
    flite -voice rms -t "$2" -o "$T/$1.wav" || fail "flite failed"
    sox "$T/$1.wav" -t raw -r 48000 -c 2 -b 16 -e signed "$T/$1.raw" pad 0.3 0.5 || fail "sox failed"
}

# The reference service on a free loopback port; extra arguments go to it.
start_service() {
    "$build/service-ref/skrib-service" --listen 127.0.0.1:0 --data-dir "$T/service" "$@" \
        > "$T/service.log" 2>&1 &
    service=$!
    wait_for 20 grep -q "listening on" "$T/service.log" || fail "the service did not start"
    service_url="$(grep -o 'http://127.0.0.1:[0-9]*' "$T/service.log" | head -1)"
    export VANTU_SKRIB_SERVICE_URL="$service_url"
}

# A text field that writes its text to $pasted.
start_target() {
    "$build/tests/paste_target" "$pasted" Notes >/dev/null 2>&1 & pids+=($!)
    wait_for 10 test -s "$pasted.window" || fail "the text field did not open"
    target_window="$(cat "$pasted.window")"
}

# The program (OUTPUT, default program.out), under a session bus of its own and as the user
# that run_as (a command prefix) makes it; its PID goes to $program.
run_as=()
run_program() {
    "${run_as[@]}" dbus-run-session --config-file="$session_conf" -- \
        sh -c 'echo $$ > "$0.pid"; exec "$1"' "$T/${1:-program.out}" "$build/vantu-skrib" \
        > "$T/${1:-program.out}" 2>&1 & pids+=($!)
    wait_for 10 test -s "$T/${1:-program.out}.pid" || fail "the program did not start"
    program="$(cat "$T/${1:-program.out}.pid")"
}
# Starts the program past the welcome panel and waits for its main window, then clicks into
# the text field, as a user does.
start_program() {
    printf '[General]\nhasCompletedOnboarding=true\n' > "$XDG_CONFIG_HOME/VantuSkrib/VantuSkrib.ini"
    run_program
    wait_for 20 grep -q "Global hotkey active" "$T/program.out" || fail "the program did not get ready"
    wait_for 20 grep -q "Vantu Skrib running" "$T/program.out" || fail "the program did not finish starting"
    ! grep -q "No system tray" "$T/program.out" || fail "the program found no system tray"
    wait_for 10 main_window || fail "no main window"
    sleep 0.5
    activate "$target_window" || fail "the text field could not be activated"
}
activate() { # window
    for _ in $(seq 1 20); do
        xdotool windowactivate "$1" >/dev/null 2>&1
        sleep 0.25
        [ "$(xdotool getactivewindow 2>/dev/null)" = "$1" ] && return 0
    done
    return 1
}
main_window() { xdotool search --onlyvisible --name "^Vantu Skrib$" >/dev/null; }

# Right Ctrl (the default hotkey) is key code 105.
tap_hotkey() { xdotool keydown 105; sleep 0.1; xdotool keyup 105; }

# Pixels of a window within 40 of a colour (RRGGBB).
pixels() { # window, colour
    import -window "$1" -depth 8 rgb:- 2>/dev/null | python3 -c '
import sys
c, d = bytes.fromhex(sys.argv[1]), sys.stdin.buffer.read()
print(sum(all(abs(a - b) <= 40 for a, b in zip(d[i:i + 3], c)) for i in range(0, len(d) - 2, 3)))
' "$2"
}
# The colour of the status dot in the black tray, a 10x10 circle (white at 85 % when idle).
tray_colour() {
    for colour in orange:FF9F0A green:30D158 red:FF453A white:D9D9D9; do
        [ "$(pixels "$tray_window" "${colour#*:}")" -ge 20 ] && echo "${colour%:*}" && return
    done
    echo none
}
wait_tray() { # seconds, colour
    for _ in $(seq 1 $(( $1 * 5 ))); do
        [ "$(tray_colour)" = "$2" ] && return 0
        sleep 0.1
    done
    return 1
}
