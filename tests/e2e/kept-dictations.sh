#!/usr/bin/env bash
# No dictation is lost to a failing service. Behind a proxy that fails on demand, one dictation
# each meets a stopped service, a reset connection, a 500, a 503, the daily limit and a service
# that never answers: each shows its error, pastes nothing and leaves its audio kept, readable
# by the user only. Started again with the service back (and past midnight for the daily
# limit), the program sends all of them by itself, each once, and puts the text on the
# clipboard, not into the text field.
#   tests/e2e/kept-dictations.sh BUILD_DIR
set -u
source "$(dirname "$0")/lib.sh"
pending="$XDG_DATA_HOME/VantuSkrib/pending"
export VANTU_SKRIB_UPLOAD_TIMEOUT=4

start_proxy() { # [port]
    python3 "$(dirname "$0")/fault-proxy.py" "$service_url" "$T/mode" "$T/relayed" "$@" \
        > "$T/proxy.port" 2>"$T/proxy.err" & proxy=$!
    pids+=($proxy)
    wait_for 10 test -s "$T/proxy.port" || fail "the proxy did not start: $(cat "$T/proxy.err")"
}
count() { cat "$log" 2>/dev/null | grep -cF -- "$1"; }
more() { [ "$(count "$1")" -gt "$2" ]; } # text, times
files() { find "$pending" -maxdepth 1 -type f "$@" 2>/dev/null | wc -l; }

start_x
start_pulse
start_service
start_target
echo pass > "$T/mode"
start_proxy
export VANTU_SKRIB_SERVICE_URL="http://127.0.0.1:$(cat "$T/proxy.port")"
rows=(stopped:"⚠️ Process failed:":"the garden needs water today"
      reset:"⚠️ Process failed:":"call the bank before noon"
      500:"⚠️ Server error 500":"the train leaves at seven"
      503:"⚠️ Server error 503":"buy milk and fresh bread"
      429:"⚠️ Daily limit reached":"the window is open again"
      slow:"⚠️ Process failed:":"turn the music down please")
for row in "${rows[@]}"; do make_speech "${row%%:*}" "${row##*:}"; done
start_program

for row in "${rows[@]}"; do
    IFS=: read -r mode error words <<< "$row"
    if [ "$mode" = stopped ]; then
        kill "$proxy" && wait "$proxy" 2>/dev/null
    else # the proxy comes back failing, so that a retry of what is kept fails too
        echo "$mode" > "$T/mode"
        kill -0 "$proxy" 2>/dev/null || start_proxy "${VANTU_SKRIB_SERVICE_URL##*:}"
    fi
    kept=$(files -name '*.json') saved=$(count "💾 Kept failed dictation") errors=$(count "$error")
    tap_hotkey
    wait_tray 3 orange || fail "$mode: the dot is not orange while listening: $(tray_colour)"
    speak "$T/$mode.raw"
    tap_hotkey
    wait_for 20 more "💾 Kept failed dictation" "$saved" || fail "$mode: nothing was kept"
    [ "$(count "$error")" -gt "$errors" ] || fail "$mode: no \"$error\" line"
    if [ "$mode" = 429 ]; then
        dialog="$(wait_for 10 xdotool search --onlyvisible --name '^Daily limit reached$' | head -1)"
        [ -n "$dialog" ] || fail "no daily limit message"
        xdotool windowactivate --sync "$dialog" 2>/dev/null
        [ "$(xdotool getactivewindow)" = "$dialog" ] || fail "the daily limit message is not in front"
        xdotool key Return
        xdotool windowactivate "$target_window"
        limited="$(ls "$pending"/*.json | tail -1)" # ids sort by the time they were recorded
    fi
    wait_tray 10 white || fail "$mode: not idle again: $(tray_colour)"
    [ "$(files -name '*.json')" = $((kept + 1)) ] || fail "$mode: $(files -name '*.json') kept, not $((kept + 1))"
    ! [ -s "$pasted" ] && ! logged "📋 Inserting:" || fail "$mode: text was pasted: $(cat "$pasted")"
done
[ "$(stat -c %a "$pending")" = 700 ] || fail "the kept folder is mode $(stat -c %a "$pending")"
[ "$(files \( -name '*.m4a' -o -name '*.wav' \))" = 6 ] || fail "not six audio files: $(ls "$pending")"
[ -z "$(find "$pending" -maxdepth 1 -type f ! -perm 600)" ] || fail "kept files others can read: $(ls -l "$pending")"
grep -q '"wait":"next_day"' "$limited" || fail "the daily limit's dictation waits for: $(cat "$limited")"

kill -TERM "$program"
wait_for 10 sh -c "! kill -0 $program 2>/dev/null" || fail "the program did not quit"
echo pass > "$T/mode"
# Past midnight UTC: what waits for the daily limit (a retry may have met it too) may go again.
python3 - "$(date +%s%3N)" "$limited" "$pending"/*.json <<'PY' || fail "the daily limit's dictation does not wait for midnight"
import json, sys
assert json.load(open(sys.argv[2]))["not_before_ms"] > int(sys.argv[1])
for path in sys.argv[3:]:
    facts = json.load(open(path))
    facts["not_before_ms"] = 0
    json.dump(facts, open(path, "w"))
PY
mv "$log" "$T/first.log"
run_program program2.out
wait_for 10 main_window && xdotool windowactivate "$target_window"
wait_for 60 more "✅ Kept dictation transcribed:" 5 || fail "$(count "✅ Kept") of six sent again"
sleep 1
[ "$(count "✅ Kept dictation transcribed:")" = 6 ] || fail "$(count "✅ Kept") kept dictations transcribed"
[ "$(wc -l < "$T/relayed")" = 6 ] || fail "the service answered $(wc -l < "$T/relayed") uploads, not six"
[ "$(files)" = 0 ] || fail "files left behind: $(ls "$pending")"
last="$(grep -F "✅ Kept dictation transcribed:" "$log" | tail -1 | sed 's/.*transcribed: \(.*\)\.\.\.$/\1/')"
clipboard="$(xclip -o -selection clipboard)"
[ "${clipboard:0:60}" = "$last" ] || fail "the clipboard holds \"$clipboard\", not \"$last\""
! [ -s "$pasted" ] && ! logged "📋 Inserting:" || fail "text was pasted: $(cat "$pasted")"
echo "ok"
