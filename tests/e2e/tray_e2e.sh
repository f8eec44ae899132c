#!/bin/bash
# Zentu on a real X server with a real tray (Xvfb + trayer), driven with xdotool.
# Usage: tray_e2e.sh ZENTU_BINARY  (exit 77: a tool is missing)
APP=$1
. "$(dirname "$0")/e2e_lib.sh"
need Xvfb trayer xdotool lame twolame sox

# Moves through the open menu with the Down key until the item starting with $1 is
# highlighted, then chooses it.
choose() { local before
  for _ in $(seq 12); do
    before=$(grep -c 'menu:hover' "$LOG")
    xdotool key Down
    for _ in $(seq 40); do [ "$(grep -c 'menu:hover' "$LOG")" -gt "$before" ] && break; sleep 0.05; done
    if grep 'menu:hover' "$LOG" | tail -1 | grep -q -- "menu:hover $1"; then xdotool key Return; return 0; fi
  done
  return 1; }
# Opens the left menu on the icon and waits until it is shown (the n-th time).
open_left() { local n=$1
  xdotool mousemove $CX $CY sleep 0.1 click 1
  for _ in $(seq 100); do [ "$(grep -c 'left-menu:shown' "$LOG")" -ge "$n" ] && return 0; sleep 0.05; done
  return 1; }
# pick N ITEM: chooses ITEM in the left menu, opened for the N-th time.
pick() { open_left "$1" || fail "left menu not shown (time $1)"; sleep 0.2; choose "$2" || fail "no item $2"; }

# Fixtures: a short MP3, a short MP2 named .mp3, and a longer MP3.
MUSIC=$WORK/music; mkdir -p "$MUSIC/sub"
sox -n -r 44100 -c 2 "$WORK/a.wav" synth 1.0 sine 440 2>/dev/null || fail "sox"
sox -n -r 44100 -c 2 "$WORK/b.wav" synth 30.0 sine 660 2>/dev/null || fail "sox"
lame --quiet -b 128 "$WORK/a.wav" "$MUSIC/01 short.mp3" || fail "lame"
twolame --quiet -b 192 "$WORK/a.wav" "$MUSIC/sub/02 layer2.mp3" || fail "twolame"
lame --quiet -b 128 "$WORK/b.wav" "$MUSIC/03 long.mp3" || fail "lame"

start_x
start_trayer
sleep 0.3

# 1. Start with a folder in continuous play: the icon sits in the tray, files follow.
"$APP" "D$MUSIC" C > "$LOG" 2>&1 & APPPID=$!; PIDS+=($APPPID)
waitlog "^play $MUSIC/01 short.mp3" || fail "first file not started"
ICON=$(timeout 10 xdotool search --sync --onlyvisible --class zentu | head -1) || fail "icon never mapped"
grep -q "window:shown" "$LOG" && fail "window shown at start although a tray exists"
# The short file ends and the next one in list order starts.
waitlog "^play $MUSIC/03 long.mp3" || fail "next file did not follow"

# 2. A second copy ends at once, silently.
start=$(date +%s%N)
"$APP" "D$MUSIC" > "$WORK/second.log" 2>&1; rc=$?
elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
[ "$rc" = 0 ] || fail "second copy exit status $rc"
[ -s "$WORK/second.log" ] && fail "second copy wrote: $(cat "$WORK/second.log")"
[ "$elapsed" -lt 3000 ] || fail "second copy took ${elapsed} ms"
kill -0 $APPPID 2>/dev/null || fail "first copy died"

# 3. The middle button pauses and resumes, and so does the left menu's pause item, which is
#    checked while paused; its previous and next items go back to the file played before
#    and on to the next.
eval "$(xdotool getwindowgeometry --shell "$ICON")"; CX=$((X + WIDTH/2)); CY=$((Y + HEIGHT/2))
xdotool mousemove $CX $CY sleep 0.1 click 2
waitlog '^pause' || fail "middle button did not pause"
sleep 0.6  # not a double click
xdotool mousemove $CX $CY sleep 0.1 click 2
waitlog '^resume' || fail "middle button did not resume"
pick 1 '一時停止'
waitlog 'left-menu:一時停止 checked=1' || fail "pause item not checked"
waitlog '^pause' 10 2 || fail "pause item did not pause"
pick 2 '一時停止'
waitlog 'left-menu:一時停止 checked=0' || fail "pause item still checked"
waitlog '^resume' 10 2 || fail "pause item did not resume"
pick 3 '前の曲'
waitlog "^play $MUSIC/01 short.mp3" 10 2 || fail "previous: not the file played before"
waitlog "^play $MUSIC/03 long.mp3" 10 2 || fail "the long file did not follow again"
pick 4 '次の曲'
waitlog "^play $MUSIC/sub/02 layer2.mp3" || fail "next: not the next file"

# 4. The left menu: continuous play off.
pick 5 '連続再生'
waitlog 'left-menu:連続再生 checked=0' || fail "continuous play not toggled"

# 5. The right menu opens on the right button.
xdotool mousemove $CX $CY sleep 0.1 click 3
waitlog 'right-menu:shown' || fail "right menu not shown"
sleep 0.2; xdotool key Escape

# 6. Show the window from the left menu.
sleep 0.3
pick 6 'メインウィンドウ表示'
waitlog 'window:shown' || fail "window not shown"
WIN=$(timeout 5 xdotool search --sync --onlyvisible --name 'メインウインドウ' | head -1) || fail "window not mapped"
eval "$(xdotool getwindowgeometry --shell "$WIN")"
[ "$WIDTH" = 792 ] && [ "$HEIGHT" = 497 ] || fail "window is ${WIDTH}x${HEIGHT}"

# 7. Exit from the menu.
pick 7 '終了'
waitlog '^exit' || fail "exit not chosen"
for _ in $(seq 100); do kill -0 $APPPID 2>/dev/null || break; sleep 0.05; done
kill -0 $APPPID 2>/dev/null && fail "program still running after exit"

# 8. Timer play with power-off: "T1 P" with a short minute; the recorded power-off.
: > "$LOG"
ZENTU_MINUTE_MS=300 ZENTU_POWEROFF_COMMAND="echo poweroff >> '$WORK/poweroff.rec'" \
  "$APP" "D$MUSIC" T1 P > "$LOG" 2>&1 & APPPID=$!; PIDS+=($APPPID)
waitlog '^minute 0' || fail "timer did not run out"
waitlog '^poweroff' || fail "power-off not asked for"
for _ in $(seq 100); do [ -s "$WORK/poweroff.rec" ] && break; sleep 0.05; done
[ "$(cat "$WORK/poweroff.rec" 2>/dev/null)" = poweroff ] || fail "power-off not recorded"
kill $APPPID; wait $APPPID 2>/dev/null

# 9. A notification area that appears after the start takes the icon, and hiding works then.
kill $TRAYER; wait $TRAYER 2>/dev/null
: > "$LOG"
"$APP" "D$MUSIC" > "$LOG" 2>&1 & APPPID=$!; PIDS+=($APPPID)
waitlog 'window:shown' || fail "no tray: window not shown at start"
start_trayer
waitlog 'tray:available' || fail "the new tray was not seen"
icon() { for w in $(xdotool search --onlyvisible --class zentu); do
    eval "$(xdotool getwindowgeometry --shell "$w")"; [ "$WIDTH" -le 32 ] && { ICON=$w; return 0; }; done; return 1; }
waitfor 10 icon || fail "icon not added to the new tray"
eval "$(xdotool getwindowgeometry --shell "$ICON")"; CX=$((X + WIDTH/2)); CY=$((Y + HEIGHT/2))
pick 1 'メインウィンドウ非表示'
waitlog 'window:hidden' || fail "window not hidden"

# 10. When the notification area goes away, the window is shown.
kill $TRAYER
waitlog 'tray:gone' || fail "the tray's end was not seen"
waitlog 'window:shown' 5 2 || fail "window not shown without a tray"

echo "tray end-to-end: 10 scenarios passed"
