#!/usr/bin/env bash
# Dictations into terminals, where Ctrl+V is a control character: xterm takes the text with
# Shift+Insert from the primary selection, st with Ctrl+Shift+V from the clipboard. Each runs
# `cat` on a raw terminal, so that any stray key would reach the file as a control character.
#   tests/e2e/terminals.sh BUILD_DIR
set -u
source "$(dirname "$0")/lib.sh"

open_terminal() { # program -> $terminal_window; the terminal writes what it gets to $T/program
    LC_ALL=C.UTF-8 "$1" -e sh -c 'stty raw -echo; exec cat > "$0"' "$T/$1" >/dev/null 2>&1 &
    pids+=($!)
    wait_for 10 test -e "$T/$1" || fail "$1 did not start"
    terminal_window="$(wait_for 5 xdotool search --onlyvisible --pid $! | head -1)"
    [ -n "$terminal_window" ] || fail "$1 shows no window"
}

start_x
start_pulse
start_service
make_speech speech "please schedule the meeting for thursday afternoon"
open_terminal xterm
target_window=$terminal_window
start_program
for row in xterm:"XTerm with Shift+Insert" st:"st-256color with Ctrl+Shift+V"; do
    term=${row%%:*}
    [ "$term" = xterm ] || { open_terminal "$term"; activate "$terminal_window" || fail "$term is not in front"; }
    tap_hotkey
    wait_tray 3 orange || fail "$term: the dot is not orange while listening: $(tray_colour)"
    speak "$T/speech.raw"
    tap_hotkey
    wait_for 30 grep -q '\.$' "$T/$term" || fail "$term got: $(cat -v "$T/$term")"
    echo "$term: $(cat -v "$T/$term")"
    grep -q "^[A-Z].*meeting.*\.$" "$T/$term" || fail "$term did not get the refined dictation"
    ! LC_ALL=C grep -q '[[:cntrl:]]' "$T/$term" || fail "$term got a control character"
    logged "📋 Pasting into terminal ${row#*:}" || fail "$term: not pasted with ${row#*:}"
    wait_tray 3 white || fail "$term: not idle again: $(tray_colour)"
done
! grep -q "^\[alert\]" "$T/program.out" || fail "an alert was shown: $(grep "^\[alert\]" "$T/program.out")"
echo "ok"
