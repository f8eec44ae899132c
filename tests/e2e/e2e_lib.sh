# Shared by the end-to-end tests (sourced): a work folder cleaned up at the end, a headless
# X server, a tray host, fixtures, and waiting on the program's trace.
set -u
need() { for tool in "$@"; do command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool missing"; exit 77; }; done; }
# Set before sourcing: E2E_USER (as root, the script runs again with nobody's rights) and E2E_BUS
# (it runs again inside a private session bus).
if [ -n "${E2E_USER:-}" ] && [ "$(id -u)" = 0 ]; then need setpriv; exec setpriv --reuid=65534 --regid=65534 --clear-groups "$0" "$@"; fi
if [ -n "${E2E_BUS:-}" ] && [ -z "${ZENTU_PRIVATE_BUS:-}" ]; then need dbus-run-session; ZENTU_PRIVATE_BUS=1 exec dbus-run-session -- "$0" "$@"; fi
WORK=$(mktemp -d /tmp/zentu-e2e.XXXX); LOG=$WORK/app.log; PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$WORK"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; sed 's/^/  app: /' "$LOG" 2>/dev/null; exit 1; }
# waitfor SECONDS COMMAND...: until the command succeeds.
waitfor() { local end=$(( $(date +%s) + $1 )); shift
  until "$@"; do [ "$(date +%s)" -gt "$end" ] && return 1; sleep 0.05; done; }
# waitlog PATTERN [SECONDS] [COUNT]: until the trace holds COUNT lines matching PATTERN.
waitlog() { waitfor "${2:-10}" logcount "$1" "${3:-1}"; }
logcount() { [ "$(grep -c -- "$1" "$LOG")" -ge "$2" ]; }
export ZENTU_AUDIO=null ZENTU_TRACE=1 QT_QPA_PLATFORM=xcb CI=true  # CI: power-off only dry-runs
unset ZENTU_POWEROFF_COMMAND
export XDG_RUNTIME_DIR=$WORK/xdg; mkdir -m 700 "$XDG_RUNTIME_DIR"

start_x() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WORK/display" 2>"$WORK/xvfb.log" & PIDS+=($!)
  waitfor 5 test -s "$WORK/display" || fail "Xvfb did not start"
  export DISPLAY=:$(tr -d '\n' < "$WORK/display"); }
start_trayer() {
  trayer --edge top --align right --widthtype pixel --width 200 --height 24 >/dev/null 2>&1 & TRAYER=$!; PIDS+=($!)
  timeout 10 xdotool search --sync --class trayer >/dev/null 2>&1 || fail "trayer did not start"; }
# tone SECONDS HZ OUT.mp3 [lame options...]
tone() { sox -n -r 22050 -c 1 "$WORK/tone.wav" synth "$1" sine "$2" 2>/dev/null || fail "sox"
  lame --quiet -b 32 "${@:4}" "$WORK/tone.wav" "$3" || fail "lame"; }

# Desktops on Wayland: Qt's platform plugin for it; the StatusNotifier item the watcher holds, and
# its menu (sni_host.py); the media controls.
wayland_plugin() { compgen -G "/usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so" >/dev/null || {
  echo "SKIP: Qt's wayland platform plugin (qt6-wayland) missing"; exit 77; }; }
SNI=$(dirname "${BASH_SOURCE[0]}")/sni_host.py
sni_registered() { [ -n "$("$SNI" items 2>/dev/null)" ]; }
mpris() { gdbus call --session -d org.mpris.MediaPlayer2.zentu -o /org/mpris/MediaPlayer2 -m "org.mpris.MediaPlayer2.$1" "${@:2}"; }
