#!/usr/bin/env bash
# A dictation on a Wayland session (sway, headless): the program's windows and its hotkey go
# through XWayland, the text into a native foot terminal through the compositor's virtual
# keyboard with foot's own paste keys, and other native programs read it from the Wayland
# clipboard. The hotkey's keys come from XTEST on XWayland, which the program's X11 hook sees
# whichever window has the focus (a real keyboard's keys would go to foot alone).
#   tests/e2e/wayland.sh BUILD_DIR
set -u
source "$(dirname "$0")/lib.sh"
# sway refuses to run as root, and XWayland takes clients of sway's user only.
id wltest >/dev/null 2>&1 || useradd --system --no-create-home wltest
run_as=(setpriv --reuid=wltest --regid=wltest --init-groups)
xdotool() { "${run_as[@]}" /usr/bin/xdotool "$@"; }
our_display() { true; } # XWayland is sway's own

start_pulse
start_service
make_speech speech "please schedule the meeting for thursday afternoon"
printf '[General]\nhasCompletedOnboarding=true\n' > "$XDG_CONFIG_HOME/VantuSkrib/VantuSkrib.ini"
printf 'output HEADLESS-1 resolution 1280x800\nxwayland enable\nexec echo $DISPLAY > %s\n' \
    "$T/xdisplay" > "$T/sway.conf"
chown -R wltest "$T" # after PulseAudio has taken the runtime folder as root's
"${run_as[@]}" env -u DISPLAY WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 \
    WLR_RENDERER=pixman sway -c "$T/sway.conf" > "$T/sway.log" 2>&1 & pids+=($!)
wait_for 10 test -s "$T/xdisplay" || fail "sway did not start: $(cat "$T/sway.log")"
export WAYLAND_DISPLAY="$(cd "$T/run" && ls wayland-? | head -1)" DISPLAY="$(cat "$T/xdisplay")"
export SWAYSOCK="$(ls "$T"/run/sway-ipc.*)"
"${run_as[@]}" foot sh -c 'stty raw -echo; exec cat > "$0"' "$T/foot" >/dev/null 2>&1 & pids+=($!)
wait_for 10 test -e "$T/foot" || fail "foot did not start"

run_program
wait_log 20 "🟢 Vantu Skrib running" || fail "the program did not start"
wait_for 10 sh -c 'swaymsg -t get_tree | grep -q "\"class\": \"VantuSkrib\""' ||
    fail "the program's window is not on XWayland"
[ "$(grep -c "🖥 Wayland session" "$log")" = 1 ] && logged "🖥 Wayland session — Hotkey: X11 windows only · Paste: virtual keyboard (Add yourself to the input group to use a lone key on Wayland)" ||
    fail "not one right line for the session: $(grep "🖥" "$log")"
swaymsg -q '[app_id=foot] focus' || fail "foot could not be focused"
tap_hotkey
wait_log 5 "🎙 Dictation started" || fail "the hotkey did not start a dictation"
speak "$T/speech.raw"
tap_hotkey
wait_for 30 grep -q '\.$' "$T/foot" || fail "foot got: $(cat -v "$T/foot")"
echo "foot: $(cat -v "$T/foot")"
grep -q "^[A-Z].*meeting.*\.$" "$T/foot" || fail "foot did not get the refined dictation"
! LC_ALL=C grep -q '[[:cntrl:]]' "$T/foot" || fail "foot got a control character"
logged "🎯 Target app for paste: foot" || fail "foot was not the target"
logged "📋 Pasting into terminal foot with Ctrl+Shift+V" || fail "not pasted with Ctrl+Shift+V"
[ "$(wl-paste --no-newline)" = "$(cat "$T/foot")" ] || fail "the Wayland clipboard holds: $(wl-paste)"
echo "ok"
