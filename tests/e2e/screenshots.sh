#!/usr/bin/env bash
# Screenshots of the main window and the welcome panel as a user sees them, for looking over the
# look of the pages: a private X server with a window manager, a PulseAudio server with a named
# microphone, the reference transcription service holding a few transcripts, and the program.
#   tests/e2e/screenshots.sh BUILD_DIR OUT_DIR
# Writes OUT_DIR/home-empty.png, welcome.png, home-history.png, home-hover.png,
# settings-top.png, settings-hotkey-popup.png, settings-key-recorder.png, settings-capsule.png,
# settings-style.png, settings-vocabulary.png, settings-custom.png, about.png.
set -u
if [ $# -lt 2 ]; then
    echo "usage: $0 BUILD_DIR OUT_DIR" >&2
    exit 2
fi
build="$(cd "$1" && pwd)"
# A session bus that starts no services on demand.
session_conf="$(cd "$(dirname "${BASH_SOURCE[0]}")/../harness" && pwd)/session.conf"
mkdir -p "$2"
out="$(cd "$2" && pwd)"
T="$(mktemp -d /tmp/skrib-shots.XXXXXX)"
export HOME=$T/home XDG_RUNTIME_DIR=$T/run XDG_CONFIG_HOME=$T/home/.config XDG_DATA_HOME=$T/home/.local/share
mkdir -p "$HOME" "$XDG_CONFIG_HOME/VantuSkrib" "$XDG_DATA_HOME/VantuSkrib"
mkdir -m 700 -p "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORM QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS
export LANG=C.UTF-8 TZ=UTC
pids=()
program=""
cleanup() {
    [ -n "$program" ] && kill "$program" 2>/dev/null
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    sleep 0.3
    for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
    rm -rf "$T"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    echo "--- program output"; cat "$T/program.out" 2>/dev/null
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
xsetroot -solid '#3b4252' 2>/dev/null
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

# A known device identity, so that the transcripts put into the service below are this
# program's; a vocabulary for the tag editor.
device="5C4EE2B1-7D0A-4E4F-9C39-3F1E2A9B7C11"
printf '{"app.vantu.skrib\\ndeviceId":"%s"}' "$device" > "$XDG_DATA_HOME/VantuSkrib/secrets.json"
chmod 600 "$XDG_DATA_HOME/VantuSkrib/secrets.json"
printf '{"vocab":"PocketSphinx, Kubernetes, Nembra, OAuth, PostgreSQL, Figtree, Wayland, Qt"}' \
    > "$HOME/.vantu-skrib-backend.json"
ini="$XDG_CONFIG_HOME/VantuSkrib/VantuSkrib.ini"

# The program's session bus starts no keyring daemon, so the device identity stays in the
# private file written above.

start_program() {
    : > "$T/program.out"
    dbus-run-session --config-file="$session_conf" -- sh -c 'echo $$ > "$0"; exec "$1"' "$T/program.pid" "$build/vantu-skrib" \
        > "$T/program.out" 2>&1 &
    wait_for 10 test -s "$T/program.pid" || fail "the program did not start"
    program="$(cat "$T/program.pid")"
    wait_for 20 grep -q "Global hotkey active" "$T/program.out" || fail "the program did not get ready"
    wait_for 10 sh -c 'xdotool search --onlyvisible --name "^Vantu Skrib$" >/dev/null' || fail "no main window"
    window="$(xdotool search --onlyvisible --name '^Vantu Skrib$' | head -1)"
    xdotool mousemove 1270 790
    sleep 1.2
}
stop_program() {
    kill "$program" 2>/dev/null
    wait_for 10 sh -c "! kill -0 $program 2>/dev/null" || kill -9 "$program" 2>/dev/null
    program=""
    rm -f "$T/program.pid"
    sleep 0.3
}
shoot() { # name [window]
    import -window "${2:-$window}" "$out/$1.png" || fail "could not capture $1"
    echo "$out/$1.png"
}
# Sidebar tab: 150 wide, the buttons from 52 below the top, 32 high, 2 apart.
tab() {
    xdotool mousemove --window "$window" 75 $(( 52 + $1 * 34 + 16 )) click 1
    xdotool mousemove 1270 790
    sleep 0.5
}
scroll_settings() { # wheel steps
    xdotool mousemove --window "$window" 400 300
    for _ in $(seq 1 "$1"); do xdotool click 5; sleep 0.05; done
    xdotool mousemove 1270 790
    sleep 0.5
}

# 1. Home with no history; the welcome panel already seen.
printf '[General]\nhasCompletedOnboarding=true\n' > "$ini"
start_program
shoot home-empty
stop_program

# 2. First run: the welcome panel over the main window.
printf '[General]\n' > "$ini"
start_program
wait_for 5 sh -c 'xdotool search --onlyvisible --name "^Welcome to Vantu Skrib$" >/dev/null' || fail "no welcome panel"
sleep 0.5
shoot welcome root
stop_program

# 3. Transcripts in the service, more than the Home page shows at once: a few from yesterday
# and a few from today.
now_ms=$(( $(date +%s) * 1000 ))
sqlite3 "$T/service/skrib.sqlite3" <<SQL || fail "could not add transcripts"
INSERT INTO transcripts (device_id, raw, refined, source, created_at_ms, processing_ms) VALUES
 ('$device', 'book a table for four at seven', 'Book a table for four at seven.', 'dictation', $(( now_ms - 95000000 )), 350),
 ('$device', 'add milk eggs and coffee to the shopping list', 'Add milk, eggs and coffee to the shopping list.', 'dictation', $(( now_ms - 93000000 )), 390),
 ('$device', 'remind me to call the dentist', 'Remind me to call the dentist.', 'dictation', $(( now_ms - 90000000 )), 400),
 ('$device', 'please schedule the meeting for thursday afternoon', 'Please schedule the meeting for Thursday afternoon.', 'dictation', $(( now_ms - 5400000 )), 420),
 ('$device', 'the deployment failed because the kubernetes cluster ran out of memory so we rolled back to the previous release and opened a ticket with the infrastructure team to raise the limits before friday', 'The deployment failed because the Kubernetes cluster ran out of memory, so we rolled back to the previous release and opened a ticket with the infrastructure team to raise the limits before Friday.', 'dictation', $(( now_ms - 3600000 )), 610),
 ('$device', 'thanks see you tomorrow', '', 'dictation', $(( now_ms - 600000 )), 300),
 ('$device', 'can you send me the draft of the quarterly report when you get a chance', 'Can you send me the draft of the quarterly report when you get a chance?', 'dictation', $(( now_ms - 60000 )), 380);
SQL
printf '[General]\nhasCompletedOnboarding=true\n' > "$ini"
start_program
shoot home-history
# Hovering over the newest row shows its copy button.
xdotool mousemove --window "$window" 400 340
sleep 0.5
shoot home-hover
xdotool mousemove 1270 790

tab 1
shoot settings-top
# The hotkey popup open, then the key recorder its last item ("Custom") opens.
xdotool mousemove --window "$window" 517 205 click 1
sleep 0.6
shoot settings-hotkey-popup root
xdotool key End Return
sleep 0.8
shoot settings-key-recorder root
xdotool key Escape
sleep 0.5
xdotool mousemove 1270 790
scroll_settings 5
shoot settings-capsule
scroll_settings 4
shoot settings-style
scroll_settings 30
shoot settings-vocabulary
tab 2
shoot about
stop_program

# 4. The custom style: the editable prompt, the note and "Save Prompt".
printf '[General]\nhasCompletedOnboarding=true\nstylePreset=custom\ncustomPrompt=Keep it short and friendly. Use British spelling.\n' > "$ini"
start_program
tab 1
scroll_settings 30
shoot settings-custom
stop_program
echo "ok"
