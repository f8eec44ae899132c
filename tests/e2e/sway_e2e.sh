#!/bin/bash
# Zentu on a headless Wayland desktop: sway (headless backend) with waybar's tray as the
# StatusNotifier watcher and host, the program on Qt's wayland platform, driven over D-Bus.
# Usage: sway_e2e.sh ZENTU_BINARY  (exit 77: a tool is missing)
# sway refuses to run as root: as root, the whole run (bus, compositor, bar, program) is nobody's.
E2E_USER=1 E2E_BUS=1
APP=$1
. "$(dirname "$0")/e2e_lib.sh"
need sway swaymsg waybar gdbus jq weston-flower sox lame
wayland_plugin

# sway on the headless backend (software rendering, no input devices), then waybar with a tray.
start_sway() {
  printf '%s\n' 'output HEADLESS-1 resolution 1280x720' 'xwayland disable' 'workspace_layout tabbed' > "$WORK/sway.conf"
  printf '{"layer": "top", "height": 26, "modules-right": ["tray"]}\n' > "$WORK/waybar.json"
  WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman sway -c "$WORK/sway.conf" > "$WORK/sway.log" 2>&1 & PIDS+=($!)
  waitfor 10 compgen -G "$XDG_RUNTIME_DIR/sway-ipc.*" >/dev/null || fail "sway did not start: $(tail -3 "$WORK/sway.log")"
  export WAYLAND_DISPLAY=wayland-1 SWAYSOCK; SWAYSOCK=$(compgen -G "$XDG_RUNTIME_DIR/sway-ipc.*")
  NO_AT_BRIDGE=1 waybar -c "$WORK/waybar.json" > "$WORK/waybar.log" 2>&1 & PIDS+=($!)
  waitfor 10 gdbus introspect --session -d org.kde.StatusNotifierWatcher -o /StatusNotifierWatcher >/dev/null 2>&1 \
    || fail "waybar's watcher not on the bus: $(tail -3 "$WORK/waybar.log")"; }
# The top-level windows' application ids; whether the window of application $2 has the focus or is
# marked urgent ($1).
windows() { swaymsg -t get_tree | jq -r '.. | objects | select(.pid) | .app_id'; }
sway_is() { swaymsg -t get_tree | jq -e --arg id "$2" ".. | objects | select(.app_id == \$id) | .$1" | grep -q true; }
sway_focused() { sway_is focused "$1"; }
sway_urgent() { sway_is urgent "$1"; }
start_sway
FLOWER=org.freedesktop.weston.flower
export QT_QPA_PLATFORM=wayland
MUSIC=$WORK/music; mkdir -p "$MUSIC"
tone 30 440 "$MUSIC/01 first.mp3"
tone 30 660 "$MUSIC/02 second.mp3"

"$APP" "D$MUSIC" C > "$LOG" 2>&1 & APPPID=$!; PIDS+=($APPPID)
waitlog "^play $MUSIC/01 first.mp3" || fail "first file not started"
waitfor 10 sni_registered || fail "no item registered with waybar's watcher"
grep -q "window:shown" "$LOG" && fail "window shown at start although waybar's tray is there"

# Each row: an action on the desktop, then what must hold after it.
FAILED=()
while IFS='|' read -r action expect; do
  read -r action <<<"$action"; read -r expect <<<"$expect"
  seen=$(grep -c -- "${expect#log }" "$LOG")
  case $action in
    activate) "$SNI" call Activate 0 0 >/dev/null || fail "Activate";;
    click*) "$SNI" click "${action#click }" || fail "$action";;
    raise*) swaymsg -q focus_on_window_activation "${action#raise }"
            swaymsg -q exec weston-flower; waitfor 5 sway_focused $FLOWER || fail "no cover window"
            mpris Raise >/dev/null;;
  esac
  case $expect in
    "main window only") sleep 1; windows | grep -qvx "zentu\|$FLOWER" && FAILED+=("$action: $(windows)");;
    "log "*) waitlog "${expect#log }" 5 $((seen + 1)) || FAILED+=("$action: no ${expect#log }");;
    focused) waitfor 3 sway_focused zentu || FAILED+=("$action: window not brought forward");;
    urgent) waitfor 3 sway_urgent zentu || FAILED+=("$action: not marked urgent");
            sway_focused zentu && FAILED+=("$action: focused against the compositor's rule");;
  esac
done <<'EOF'
activate                 | main window only
click 一時停止             | log ^pause
click 一時停止             | log ^resume
click メインウィンドウ非表示 | log window:hidden
click メインウィンドウ表示   | focused
raise smart              | focused
raise urgent             | urgent
click 終了               | log ^exit
EOF
[ ${#FAILED[@]} = 0 ] || fail "$(printf '%s; ' "${FAILED[@]}")"
echo "sway end-to-end: passed"
