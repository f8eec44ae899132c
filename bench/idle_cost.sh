#!/bin/bash
# What playing costs while nothing else happens: the desktop program (headless) plays a tone
# through ALSA's "pulse" device into a private PulseAudio with a null sink for N seconds, then
# mpg123 does the same in the same run; for each, per thread, the wake-ups a second (voluntary
# context switches, /proc/PID/task/*/status) and the CPU share (utime + stime, .../stat).
# Usage: bench/idle_cost.sh N [ZENTU]   (ZENTU: default build/release/app/zentu)
set -u
N=${1:?usage: idle_cost.sh SECONDS [ZENTU]}
APP=${2:-$(dirname "$0")/../build/release/app/zentu}
for tool in pulseaudio pactl mpg123 sox lame; do
  command -v "$tool" >/dev/null || { echo "$tool missing"; exit 1; }
done
WORK=$(mktemp -d /tmp/zentu-idle.XXXX)
PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$WORK"; }
trap cleanup EXIT
export XDG_RUNTIME_DIR=$WORK/xdg HOME=$WORK
mkdir -m 700 "$XDG_RUNTIME_DIR"; unset PULSE_SERVER
pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no --no-cpu-limit \
  -L module-null-sink -L module-native-protocol-unix -L module-always-sink >"$WORK/pulse.log" 2>&1 & PIDS+=($!)
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
mkdir "$WORK/music"
sox -n -r 44100 -c 2 -b 16 "$WORK/t.wav" synth $((N + 10)) sine 440 vol 0.5 &&
  lame --quiet -b 128 "$WORK/t.wav" "$WORK/music/tone.mp3" || exit 1
HZ=$(getconf CLK_TCK)

# measure PID: per thread over N seconds, after a second to settle.
measure() {
  local pid=$1 t
  sleep 1
  declare -A v0 c0
  for t in /proc/"$pid"/task/*; do
    v0[$t]=$(awk '/^voluntary_ctxt_switches/ { print $2 }' "$t/status" 2>/dev/null)
    c0[$t]=$(awk '{ print $14 + $15 }' "$t/stat" 2>/dev/null)
  done
  sleep "$N"
  local total_w=0 total_c=0
  for t in /proc/"$pid"/task/*; do
    [ -n "${v0[$t]:-}" ] || continue
    local name v c
    name=$(cat "$t/comm" 2>/dev/null) || continue
    v=$(awk '/^voluntary_ctxt_switches/ { print $2 }' "$t/status")
    c=$(awk '{ print $14 + $15 }' "$t/stat")
    awk -v n="$name" -v w=$((v - v0[$t])) -v c=$((c - c0[$t])) -v s="$N" -v hz="$HZ" \
      'BEGIN { printf "  %-16s %7.1f wake-ups/s %6.2f %% CPU\n", n, w / s, c * 100 / hz / s }'
    total_w=$((total_w + v - v0[$t])); total_c=$((total_c + c - c0[$t]))
  done
  awk -v w=$total_w -v c=$total_c -v s="$N" -v hz="$HZ" \
    'BEGIN { printf "  %-16s %7.1f wake-ups/s %6.2f %% CPU\n", "all threads", w / s, c * 100 / hz / s }'
}

echo "zentu (desktop program, offscreen, ALSA pulse device), $N s:"
QT_QPA_PLATFORM=offscreen ZENTU_AUDIO=alsa ZENTU_ALSA_DEVICE=pulse "$APP" "D$WORK/music" >/dev/null 2>&1 & PIDS+=($!)
measure $!
kill "${PIDS[-1]}"
echo "mpg123 -o alsa -a pulse, $N s:"
mpg123 -q -o alsa -a pulse "$WORK/music/tone.mp3" & PIDS+=($!)
measure $!
