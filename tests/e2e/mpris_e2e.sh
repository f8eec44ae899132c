#!/bin/bash
# The desktop's media controls drive Zentu: playerctl on a private session bus, with a real
# X server and tray. Usage: mpris_e2e.sh ZENTU_BINARY  (exit 77: a tool is missing)
if [ -z "${ZENTU_PRIVATE_BUS:-}" ]; then
  command -v dbus-run-session >/dev/null 2>&1 || { echo "SKIP: dbus-run-session missing"; exit 77; }
  ZENTU_PRIVATE_BUS=1 exec dbus-run-session -- "$0" "$@"
fi
APP=$1
. "$(dirname "$0")/e2e_lib.sh"
need Xvfb trayer xdotool sox lame playerctl dbus-send
MUSIC=$WORK/music; mkdir -p "$MUSIC"
tone 30 440 "$MUSIC/01 first.mp3" --tt "First title" --ta "Artist"
tone 30 660 "$MUSIC/02 second.mp3" --tt "Second title"
start_x
start_trayer

"$APP" "D$MUSIC" C > "$LOG" 2>&1 & APPPID=$!; PIDS+=($APPPID)
listed() { playerctl -l 2>/dev/null | grep -qx zentu; }
is() { [ "$(playerctl -p zentu "${@:2}" 2>/dev/null)" = "$1" ]; }
says() { waitfor 5 is "$@" || fail "$*: $(playerctl -p zentu "${@:2}" 2>&1)"; }
waitfor 10 listed || fail "not listed by playerctl -l"
says Playing status
says "First title" metadata title
says Artist metadata artist
playerctl -p zentu --follow status > "$WORK/follow.log" 2>&1 & PIDS+=($!)  # as announced
waitfor 5 grep -q Playing "$WORK/follow.log" || fail "follow: $(cat "$WORK/follow.log")"
playerctl -p zentu next
says "Second title" metadata title
playerctl -p zentu previous  # continuous play: the line before
says "First title" metadata title
playerctl -p zentu stop
says Stopped status
playerctl -p zentu play
says Playing status
says "First title" metadata title
followed() { [ "$(tr '\n' ' ' < "$WORK/follow.log")" = "Playing Stopped Playing " ]; }
waitfor 5 followed || fail "announced: $(tr '\n' ' ' < "$WORK/follow.log")"

# Quit (Debian 12's playerctl has no command for it) ends as the exit menu item does.
dbus-send --session --print-reply --dest=org.mpris.MediaPlayer2.zentu /org/mpris/MediaPlayer2 \
  org.mpris.MediaPlayer2.Quit > /dev/null || fail "Quit refused"
wait $APPPID; rc=$?
[ "$rc" = 0 ] && grep -q '^exit' "$LOG" || fail "exit status $rc"
grep -q 'poweroff' "$LOG" && fail "Quit switched off"
echo "media controls end-to-end: passed"
