#!/bin/bash
# Zentu's StatusNotifierItem and its exported menu, driven through a watcher and host of our
# own (sni_host.py) on a private session bus, the program on a headless X server with no
# XEmbed tray. Usage: sni_e2e.sh ZENTU_BINARY  (exit 77: a tool is missing)
if [ -z "${ZENTU_PRIVATE_BUS:-}" ]; then
  command -v dbus-run-session >/dev/null 2>&1 || { echo "SKIP: dbus-run-session missing"; exit 77; }
  ZENTU_PRIVATE_BUS=1 exec dbus-run-session -- "$0" "$@"
fi
APP=$1; HOST=$(dirname "$0")/sni_host.py
. "$(dirname "$0")/e2e_lib.sh"
need Xvfb sox lame playerctl xdotool
/usr/bin/python3 -c 'import dbus, gi.repository.GLib' 2>/dev/null || { echo "SKIP: python3-dbus or python3-gi missing"; exit 77; }
MUSIC=$WORK/music; mkdir -p "$MUSIC"
tone 30 440 "$MUSIC/01 first.mp3" --tt "First title" --ta Artist
tone 30 660 "$MUSIC/02 second.mp3" --tt "Second title"
start_x

start_host() { "$HOST" watch > "$WORK/host.log" 2>&1 & HOSTPID=$!; PIDS+=($HOSTPID)
  waitfor 5 grep -q '^watching' "$WORK/host.log" || fail "host: $(cat "$WORK/host.log")"; }
registered() { grep -q '^registered' "$WORK/host.log"; }
is() { [ "$(playerctl -p zentu "${@:2}" 2>/dev/null)" = "$1" ]; }
volume() { awk -v v="$(playerctl -p zentu volume 2>/dev/null)" -v w="$1" 'BEGIN { exit !(v != "" && v == w) }'; }
entry() { "$HOST" layout | grep -q "	$1	$2\$"; }
# A request to the item answered within a second.
quick() { local ms; ms=$("$HOST" call "$@") && [ "$ms" -lt 1000 ] || { echo "$* took ${ms:-no reply} ms"; return 1; }; }
ended() { ! kill -0 "$APPPID" 2>/dev/null; }

# 1. A watcher before the program: the item registers, the window stays hidden, the tooltip
#    names what plays, and the menu holds the track's lines and the left menu's items.
start_host
"$APP" "D$MUSIC" C > "$LOG" 2>&1 & APPPID=$!; PIDS+=($APPPID)
waitfor 10 registered || fail "item not registered: $(cat "$WORK/host.log")"
waitfor 5 is "First title" metadata title || fail "first file not playing"
waitfor 5 eval '"$HOST" get ToolTip | grep -q "First title.*Artist"' || fail "tooltip: $("$HOST" get ToolTip)"
"$HOST" layout > "$WORK/layout" || fail "no layout"
for line in 'ファイル名 : 01 first	' 'タイトル : First title	' 'アーティスト : Artist	' 'Zentu v1.1	' \
    'メインウィンドウ表示	' 'タイマー再生	unchecked' '連続再生	checked' '自動電源断	unchecked' \
    '一時停止	unchecked' '次の曲	' '前の曲	' '終了	'; do
  grep -q "	$line" "$WORK/layout" || fail "no '$line' in the menu: $(cat "$WORK/layout")"
done
grep -q 'window:shown' "$LOG" && fail "window shown although a host is there"
[ "$(grep -c '^registered' "$WORK/host.log")" = 1 ] || fail "more than one item: $(cat "$WORK/host.log")"

# 2. Each request or menu click, and what must follow it.
while IFS='|' read -r request outcome; do
  eval "$request" || fail "$request"
  waitfor 5 eval "$outcome" || fail "$request: not $outcome"
done <<'EOF'
quick Activate 10 10|logcount 'window:shown' 1
quick SecondaryActivate 10 10|is Paused status
quick SecondaryActivate 10 10|is Playing status
quick Scroll -120 vertical|volume 0.79
quick Scroll 1 vertical|volume 1
"$HOST" click 一時停止|is Paused status
true|entry 一時停止 checked
"$HOST" click 一時停止|is Playing status
"$HOST" click 次の曲|is "Second title" metadata title
true|entry 'タイトル : Second title' ''
"$HOST" click 連続再生|entry 連続再生 unchecked
quick ContextMenu 10 10|logcount 'right-menu:shown' 1
xdotool key Escape|true
"$HOST" click 終了|ended
EOF

# 3. A watcher that comes 3 s after the program gets the item within 2 s, and the window may
#    then be hidden; when the watcher goes, the window is shown again.
kill "$HOSTPID"; wait "$HOSTPID" 2>/dev/null
: > "$LOG"; : > "$WORK/host.log"
"$APP" "D$MUSIC" > "$LOG" 2>&1 & APPPID=$!; PIDS+=($APPPID)
waitlog 'window:shown' || fail "no host: window not shown at start"
sleep 3
start_host
waitfor 2 registered || fail "the late watcher did not get the item within 2 s"
waitlog 'tray:available' || fail "the late watcher was not taken for a tray"
"$HOST" click メインウィンドウ非表示 || fail "no hide item"
waitlog 'window:hidden' || fail "window not hidden"
kill "$HOSTPID"
waitlog 'tray:gone' || fail "the watcher's end was not seen"
waitlog 'window:shown' 5 2 || fail "window not shown without a watcher"

echo "StatusNotifier end-to-end: passed"
