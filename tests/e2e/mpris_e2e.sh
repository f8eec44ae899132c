#!/bin/bash
# The desktop's media controls drive Zentu: playerctl and dbus-send on a private session bus,
# with a real X server and tray. Usage: mpris_e2e.sh ZENTU_BINARY  (exit 77: a tool is missing)
E2E_BUS=1
APP=$1
. "$(dirname "$0")/e2e_lib.sh"
need Xvfb trayer xdotool sox lame mid3v2 base64 playerctl dbus-send dbus-monitor
MUSIC=$WORK/music; mkdir -p "$MUSIC"
tone 30 440 "$MUSIC/01 first.mp3"
tone 30 660 "$MUSIC/02 second.mp3" --tt "Second title"
tone 30 550 "$MUSIC/03 third.mp3" --tt "Third title"
# A front cover (a 1×1 PNG) in the first file's ID3v2 tag.
echo iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg== \
  | base64 -d > "$WORK/cover.png"
mid3v2 -t "First title" -a Artist -p "$WORK/cover.png:cover:3:image/png" "$MUSIC/01 first.mp3" >/dev/null || fail "mid3v2"
start_x
start_trayer
dbus-monitor --session "type='signal',interface='org.mpris.MediaPlayer2.Player',member='Seeked'" \
  > "$WORK/seeked.log" 2>&1 & PIDS+=($!)

# Expectations that do not stop the run: every one of them is reported at the end.
FAILED=()
expect() { local what=$1; shift; "$@" || FAILED+=("$what"); }
listed() { playerctl -l 2>/dev/null | grep -qx zentu; }
is() { [ "$(playerctl -p zentu "${@:2}" 2>/dev/null)" = "$1" ]; }
says() { waitfor 5 is "$@" || fail "$*: $(playerctl -p zentu "${@:2}" 2>&1)"; }
# near VALUE TOLERANCE COMMAND...: the number the command prints lies within VALUE ± TOLERANCE.
near() { local v; v=$("${@:3}" 2>/dev/null) && awk -v v="$v" -v w="$1" -v t="$2" 'BEGIN { exit !(v >= w - t && v <= w + t) }'; }
position() { playerctl -p zentu position; }
trackid() { playerctl -p zentu metadata mpris:trackid 2>/dev/null; }
changed() { [ "$(trackid)" != "$1" ]; }
# A call as key bindings send it: dbus-send with neither --print-reply nor --type, a signal.
send() { dbus-send --session --dest=org.mpris.MediaPlayer2.zentu /org/mpris/MediaPlayer2 "$@" || fail "dbus-send $*"; }
call() { send --type=method_call "$@"; }  # a method call that wants no reply
no_cover_left() { [ -z "$(ls -A "$XDG_RUNTIME_DIR/zentu" 2>/dev/null)" ]; }
quit_and_check() {
  wait $APPPID; local rc=$?
  [ "$rc" = 0 ] && grep -q '^exit' "$LOG" || fail "exit status $rc"
  grep -q 'poweroff' "$LOG" && fail "Quit switched off"
  no_cover_left || fail "left in the runtime folder: $(ls -A "$XDG_RUNTIME_DIR/zentu")"; }

# 1. Continuous play through playerctl.
"$APP" "D$MUSIC" C > "$LOG" 2>&1 & APPPID=$!; PIDS+=($APPPID)
waitfor 10 listed || fail "not listed by playerctl -l"
says Playing status
says "First title" metadata title
says Artist metadata artist
art=$(playerctl -p zentu metadata mpris:artUrl 2>/dev/null)
expect "mpris:artUrl names the cover ($art)" cmp -s "${art#file://}" "$WORK/cover.png"
case "$art" in ""|"file://$XDG_RUNTIME_DIR/zentu/"*) ;; *) fail "cover offered outside the runtime folder: $art";; esac
playerctl -p zentu --follow status > "$WORK/follow.log" 2>&1 & PIDS+=($!)  # as announced
waitfor 5 grep -q Playing "$WORK/follow.log" || fail "follow: $(cat "$WORK/follow.log")"
# Reading changes nothing: ten readings of every property start no file.
plays=$(grep -c '^play ' "$LOG")
for i in 1 2 3 4 5 6 7 8 9 10; do playerctl -p zentu metadata > /dev/null 2>&1; position > /dev/null 2>&1; done
expect "ten readings started no file" [ "$(grep -c '^play ' "$LOG")" = "$plays" ]

playerctl -p zentu pause
says Paused status
at=$(position); sleep 1
expect "paused, the position stays ($at)" near "$at" 0.05 position
playerctl -p zentu pause  # nothing when paused
says Paused status
playerctl -p zentu play
says Playing status
says "First title" metadata title
# From the jump to the reading the file plays on: the position lies within 0.1 s of 12 s plus
# the time the reading took (a loaded machine, a sanitizer build).
t0=$(date +%s.%N); playerctl -p zentu position 12; p=$(position); t1=$(date +%s.%N)
expect "position 12 s ($p)" awk -v p="$p" -v t0="$t0" -v t1="$t1" 'BEGIN { exit !(p >= 11.9 && p <= 12.1 + t1 - t0) }' 
waitfor 5 grep -q 'int64 12000000' "$WORK/seeked.log" || fail "no Seeked(12 s): $(cat "$WORK/seeked.log")"
playerctl -p zentu volume 0.5
waitfor 5 near 0.5 0.001 playerctl -p zentu volume || fail "volume: $(playerctl -p zentu volume 2>&1)"

playerctl -p zentu next
says "Second title" metadata title
playerctl -p zentu previous  # the file played before
says "First title" metadata title
playerctl -p zentu stop
says Stopped status
playerctl -p zentu play
says Playing status
says "First title" metadata title
followed() { [ "$(tr '\n' ' ' < "$WORK/follow.log")" = "Playing Paused Playing Stopped Playing " ]; }
waitfor 5 followed || fail "announced: $(tr '\n' ' ' < "$WORK/follow.log")"

# Quit (Debian 12's playerctl has no command for it) ends as the exit menu item does.
dbus-send --session --print-reply --dest=org.mpris.MediaPlayer2.zentu /org/mpris/MediaPlayer2 \
  org.mpris.MediaPlayer2.Quit > /dev/null || fail "Quit refused"
quit_and_check

# 2. Random play, driven as key bindings do: dbus-send without asking for a reply.
: > "$LOG"
"$APP" "D$MUSIC" > "$LOG" 2>&1 & APPPID=$!; PIDS+=($APPPID)
waitfor 10 listed || fail "not listed again"
says Playing status
send org.mpris.MediaPlayer2.Player.Pause
says Paused status
send org.mpris.MediaPlayer2.Player.PlayPause
says Playing status
send org.mpris.MediaPlayer2.Player.PlayPause
says Paused status
send org.mpris.MediaPlayer2.Player.Play
says Playing status
before=$(playerctl -p zentu metadata title); id=$(trackid)
send org.mpris.MediaPlayer2.Player.Next
waitfor 5 changed "$id" || fail "Next did nothing"
id=$(trackid)
send org.mpris.MediaPlayer2.Player.Previous  # random play: back to the title played before
waitfor 5 changed "$id" || fail "Previous did nothing"
says "$before" metadata title
seeks() { [ "$(grep -c 'member=Seeked' "$WORK/seeked.log")" -ge "$1" ]; }
seen=$(grep -c 'member=Seeked' "$WORK/seeked.log")
send org.mpris.MediaPlayer2.Player.Seek int64:3000000
waitfor 5 seeks $((seen + 1)) || fail "Seek did nothing: $(cat "$WORK/seeked.log")"
id=$(trackid | tr -d "'")
for form in send call; do
  $form org.mpris.MediaPlayer2.Player.SetPosition objpath:"$id" int64:20000000
  waitfor 5 seeks $((seen + 2)) || fail "$form SetPosition did nothing: $(cat "$WORK/seeked.log")"; seen=$((seen + 1))
  $form org.freedesktop.DBus.Properties.Set string:org.mpris.MediaPlayer2.Player string:Volume variant:double:0.$seen  # new each time
  waitfor 5 near 0.$seen 0.001 playerctl -p zentu volume || fail "$form volume: $(playerctl -p zentu volume 2>&1)"
done
send org.mpris.MediaPlayer2.Raise
waitlog '^window:shown' 5 || fail "Raise did not show the window"
send org.mpris.MediaPlayer2.Player.Stop
says Stopped status
call org.mpris.MediaPlayer2.Player.PlayPause
says Playing status
send org.mpris.MediaPlayer2.Quit
quit_and_check

# 3. A logout (SIGTERM), a closed terminal (SIGHUP) and Ctrl+C (SIGINT) end Zentu as Quit
# does, never with power-off. (In a shell without job control, & starts it with SIGINT ignored.)
for sig in TERM HUP INT; do
  : > "$LOG"; env --default-signal=INT "$APP" "D$MUSIC" C T5 P > "$LOG" 2>&1 & APPPID=$!; PIDS+=($APPPID)
  waitfor 10 listed && says "First title" metadata title || fail "SIG$sig: not listed"
  [ -n "$(playerctl -p zentu metadata mpris:artUrl 2>/dev/null)" ] || fail "SIG$sig: no cover offered"
  kill -s $sig $APPPID; waitlog '^exit' 10 || fail "SIG$sig did not end it"
  quit_and_check
done

if [ ${#FAILED[@]} -gt 0 ]; then printf 'FAIL: %s\n' "${FAILED[@]}"; exit 1; fi
echo "media controls end-to-end: passed"
