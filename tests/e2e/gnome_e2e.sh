#!/bin/bash
# Zentu's tray item in a real GNOME Shell (headless, on Wayland) with the AppIndicator extension:
# a virtual pointer clicks the icon and the menu the shell draws from the one Zentu exports.
# Usage: gnome_e2e.sh ZENTU_BINARY  (exit 77: a tool is missing)
E2E_BUS=1
APP=$1
. "$(dirname "$0")/e2e_lib.sh"
need gnome-shell gdbus dbus-daemon dbus-update-activation-environment python3 sox lame
[ -d /usr/share/gnome-shell/extensions/ubuntu-appindicators@ubuntu.com ] || { echo "SKIP: gnome-shell-extension-appindicator missing"; exit 77; }
wayland_plugin

# The shell: its own home (settings, the test hooks' extension), an empty system bus (it aborts
# without one), the AppIndicator extension and the hooks switched on before it starts. What the
# bus starts on demand gets the same home.
export HOME=$WORK/home XDG_CACHE_HOME=$WORK/cache XDG_CONFIG_HOME=$WORK/home/.config GSETTINGS_BACKEND=keyfile NO_AT_BRIDGE=1
dbus-update-activation-environment HOME XDG_CACHE_HOME XDG_CONFIG_HOME XDG_RUNTIME_DIR GSETTINGS_BACKEND NO_AT_BRIDGE
mkdir -p "$HOME/.local/share/gnome-shell/extensions" "$XDG_CONFIG_HOME/glib-2.0/settings"
cp -r "$(dirname "$0")/gnome" "$HOME/.local/share/gnome-shell/extensions/zentu-test@zentu"
printf '%s\n' '[org/gnome/shell]' 'disable-user-extensions=false' \
  "enabled-extensions=['ubuntu-appindicators@ubuntu.com', 'zentu-test@zentu']" > "$XDG_CONFIG_HOME/glib-2.0/settings/keyfile"
dbus-daemon --session --nofork --address="unix:path=$WORK/system_bus" >/dev/null 2>&1 & PIDS+=($!)
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$WORK/system_bus
gnome-shell --headless --wayland --virtual-monitor 1280x720 > "$WORK/shell.log" 2>&1 & SHELL_PID=$!; PIDS+=($!)
# hook CALL: runs global.zentuTest.CALL in the shell; prints what it returned.
hook() { gdbus call --session -d org.gnome.Shell -o /org/gnome/Shell -m org.gnome.Shell.Eval "global.zentuTest.$1" \
  | python3 -c 'import ast, sys
ok, r = ast.literal_eval(sys.stdin.read().replace("(true,", "(True,").replace("(false,", "(False,")); print(r); sys.exit(not ok)'; }
# shell_sees PYTHON: the condition holds for s, the state of the icon and its menu.
shell_sees() { hook 'state()' | python3 -c 'import json, sys; s = json.loads(json.loads(sys.stdin.read())); sys.exit(not eval(sys.argv[1]))' "$1" 2>/dev/null; }
waitfor 20 hook 'state()' >/dev/null 2>&1 || fail "the shell did not start: $(hook "state()" 2>&1) $(tail -5 "$WORK/shell.log")"
export WAYLAND_DISPLAY=wayland-0 QT_QPA_PLATFORM=wayland

MUSIC=$WORK/music; mkdir -p "$MUSIC"
tone 30 440 "$MUSIC/01 first.mp3"
tone 30 660 "$MUSIC/02 second.mp3"
"$APP" "D$MUSIC" C > "$LOG" 2>&1 & APPPID=$!; PIDS+=($APPPID)
waitlog "^play $MUSIC/01 first.mp3" || fail "first file not started"
waitfor 10 shell_sees '"icon" in s' || fail "no icon in the panel"

# The menu is open, its top within a few pixels below the icon's box and overlapping it sideways.
BESIDE='(s["open"] and "一時停止" in s["labels"] and 0 <= s["menu"][1] - s["icon"][1] - s["icon"][3] < 24
  and s["menu"][0] < s["icon"][0] + s["icon"][2] and s["menu"][0] + s["menu"][2] > s["icon"][0])'
volume() { gdbus call --session -d org.mpris.MediaPlayer2.zentu -o /org/mpris/MediaPlayer2 \
  -m org.freedesktop.DBus.Properties.Get org.mpris.MediaPlayer2.Player Volume | grep -oP '[0-9.]+'; }
# The shell as it draws the icon and its menu, into a PNG file.
screenshot() { read -r x w h < <(hook 'state()' | python3 -c 'import json, sys; s = json.loads(json.loads(sys.stdin.read()))
x, y, w, h = s["menu"]; print(x - 8, 1280 - x + 8, y + h + 8)')
  gdbus call --session -d org.gnome.Shell.Screenshot -o /org/gnome/Shell/Screenshot \
    -m org.gnome.Shell.Screenshot.ScreenshotArea "$x" 0 "$w" "$h" false "$1" >/dev/null; }
# Each row: what the pointer does (a button on the icon, or an item of the menu opened with the
# left button, N times), then what must hold after it.
declare -A BUTTON=([left]=1 [middle]=2 [right]=3)
FAILED=()
while IFS='|' read -r action expect; do
  read -r action <<<"$action"; read -r expect <<<"$expect"
  seen=$(grep -c -- "${expect#log }" "$LOG")
  before=$(volume)
  sleep 0.5  # two presses closer than the double-click time are a double click to the extension
  case $action in
    left|middle|right) hook "clickIcon(${BUTTON[$action]})" >/dev/null;;
    double) hook 'clickIcon(1, 2)' >/dev/null;;
    wheel) hook 'scrollIcon(false)' >/dev/null;;
    item*) read -r times label <<<"${action#item }"
           for _ in $(seq "$times"); do
             hook 'clickIcon(1)' >/dev/null; waitfor 3 shell_sees "$BESIDE" || fail "$action: no menu"
             hook "clickItem('$label')" | grep -q true || fail "$action: no item"; sleep 0.5
           done;;
  esac
  case $expect in
    menu) waitfor 3 shell_sees "$BESIDE" || FAILED+=("$action: no menu beside the icon ($(hook 'state()'))")
          [ -n "${ZENTU_SCREENSHOT_DIR:-}" ] && sleep 0.5 && screenshot "$ZENTU_SCREENSHOT_DIR/menu-sni-gnome.png"
          hook 'closeMenu()' >/dev/null; waitfor 3 shell_sees 'not s["open"]' || fail "menu did not close: $(hook 'state()')";;
    "log "*) waitlog "${expect#log }" 5 $((seen + 1)) || FAILED+=("$action: no ${expect#log }");;
    softer) waitfor 3 eval 'awk "BEGIN { exit !($(volume) < $before) }"' || FAILED+=("$action: volume not below $before");;
    alive) kill -0 $SHELL_PID 2>/dev/null && hook 'state()' >/dev/null || fail "$action: the shell ended";;
  esac
done <<'EOF'
left                | menu
left                | menu
right               | menu
left                | menu
middle              | log ^pause
middle              | log ^resume
item 1 一時停止        | log ^pause
item 1 一時停止        | log ^resume
item 1 次の曲          | log ^play .*02 second
wheel               | softer
double              | log window:shown
item 20 連続再生       | alive
item 1 終了           | log ^exit
EOF
[ ${#FAILED[@]} = 0 ] || fail "$(printf '%s; ' "${FAILED[@]}")"
echo "GNOME Shell end-to-end: passed"
