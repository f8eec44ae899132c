#!/bin/bash
# What a listener hears, through a real sound server: a PulseAudio of our own (a null sink, a
# private XDG_RUNTIME_DIR, no sound card), reached through ALSA's "pulse" device and recorded
# from the sink's monitor. The yardstick is mpg123 on the same path in the same run.
# Usage: pulse_e2e.sh ZENTU_PLAY [ZENTU]  (exit 77: a tool is missing)
set -u
PLAY=$1; APP=${2:-}
for tool in pulseaudio pactl parec mpg123 sox lame od awk; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool missing"; exit 77; }
done
# The sound server is not ours: when it dies during a run (it has aborted once in a few dozen
# runs on a loaded machine), its log is shown and the run is made once more.
if [ -z "${ZENTU_PULSE_TRY:-}" ]; then
  ZENTU_PULSE_TRY=1 "$0" "$@"; rc=$?
  [ $rc = 75 ] || exit $rc
  echo "the sound server ended during the run; once more"
  ZENTU_PULSE_TRY=2 exec "$0" "$@"
fi
WORK=$(mktemp -d /tmp/zentu-pulse.XXXX)
PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$WORK"; }
trap cleanup EXIT
FAILED=0
fail() { echo "FAIL: $*"; FAILED=1; }
check() { awk "BEGIN { exit !($1) }" || fail "$2"; }
export XDG_RUNTIME_DIR=$WORK/xdg HOME=$WORK ZENTU_AUDIO=alsa ZENTU_ALSA_DEVICE=pulse
mkdir -m 700 "$XDG_RUNTIME_DIR"; unset PULSE_SERVER
pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no --no-cpu-limit \
  -L module-null-sink -L module-native-protocol-unix -L module-always-sink >"$WORK/pulse.log" 2>&1 & PULSE=$!
PIDS+=($PULSE)
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl info >/dev/null 2>&1 || { cat "$WORK/pulse.log"; echo "FAIL: the sound server did not start"; exit 1; }
# 3 s tones, made without lame's Info frame (-t), which the player still plays as 26 ms of
# silence: what is left between two files is the encoder's delay and padding, about 30 ms.
mkdir "$WORK/music"
for tone in a:440 b:660; do
  sox -n -r 44100 -c 2 -b 16 "$WORK/t.wav" synth 3.0 sine "${tone#*:}" vol 0.5 &&
    lame --quiet -t -b 128 "$WORK/t.wav" "$WORK/music/${tone%:*}.mp3" || exit 1
done
A=$WORK/music/a.mp3; B=$WORK/music/b.mp3

REC=$WORK/rec.raw
size() { stat -c %s "$REC" 2>/dev/null || echo 0; }
# Waits until the recording has grown by $1 ms: the monitor delivers, silence included, at the
# sink's own pace.
grow() { local until=$(( $(size) + 176400 * $1 / 1000 )) n=0
  while [ "$(size)" -lt "$until" ]; do sleep 0.02; n=$((n + 1)); [ $n -gt 500 ] && return 1; done; return 0; }
now() { date +%s%3N; }
parec -d null.monitor --raw --latency-msec=20 --format=s16le --rate=44100 --channels=2 >"$REC" & PARC=$!
PIDS+=($PARC)
grow 100 || { echo "FAIL: nothing recorded"; exit 1; }
# One take per program run, kept apart by 400 ms of silence.
take() { "$@" || fail "$*"; grow 400; }
take mpg123 -q -o alsa -a pulse "$A"
take "$PLAY" "$A" >/dev/null
take "$PLAY" "$A" "$B" >/dev/null
T0=$(now); "$PLAY" --stop-after 1500 "$A" >/dev/null 2>"$WORK/stops" || fail "--stop-after 1500"
WALL=$(( $(now) - T0 )); grow 400
take "$PLAY" --stop-after 200 "$A" >/dev/null 2>>"$WORK/stops"
desktop() {  # continuous play: the first file, the second and a moment of the first again
  QT_QPA_PLATFORM=offscreen ZENTU_TRACE=1 "$APP" C "D$WORK/music" >"$WORK/app.log" 2>&1 & local pid=$!
  for _ in $(seq 750); do [ "$(grep -c endplay "$WORK/app.log")" -ge 2 ] && break; sleep 0.02; done
  grow 200; kill "$pid"; wait "$pid" 2>/dev/null; return 0; }
[ -n "$APP" ] && take desktop
kill -INT $PARC; wait $PARC  # SIGINT: parec writes out what it holds

# Per take: ms heard, stretches of sound (split by 10 ms of silence), the longest pause inside.
TAKES=$(od -An -v -td2 -w4 "$REC" | awk '
  $1 > 1000 || $1 < -1000 || $2 > 1000 || $2 < -1000 {
    i = NR - 1; pause = n ? (i - last) * 1000 / 44100 : 1e9
    if (pause >= 10) { if (n) heard[n] += (last - first) * 1000 / 44100; first = i }
    if (pause >= 250) { n++; pieces[n] = 1 } else if (pause >= 10) { pieces[n]++; if (pause > gap[n]) gap[n] = pause }
    last = i }
  END { if (n) heard[n] += (last - first) * 1000 / 44100
        for (t = 1; t <= n; t++) printf "%.0f %d %.0f\n", heard[t], pieces[t], gap[t] }')
echo "takes (ms heard, pieces, longest pause):" $TAKES "; --stop-after 1500 ended after $WALL ms; $(tr '\n' ' ' <"$WORK/stops")"
if ! kill -0 $PULSE 2>/dev/null; then
  sed 's/^/  pulse: /' "$WORK/pulse.log"; echo "FAIL: the sound server ended during the run"
  [ "$ZENTU_PULSE_TRY" = 1 ] && exit 75; exit 1
fi
read -r -a T <<<"$(echo $TAKES)"
[ "${#T[@]}" = "$([ -n "$APP" ] && echo 18 || echo 15)" ] || { sed 's/^/  pulse: /' "$WORK/pulse.log"; echo "FAIL: not one take per run"; exit 1; }
Y=${T[0]}
check "${T[3]} - $Y <= 20 && $Y - ${T[3]} <= 20 && ${T[4]} == 1" "a whole track: heard ${T[3]} ms, mpg123 $Y ms"
check "${T[6]} - 2 * $Y <= 40 && 2 * $Y - ${T[6]} <= 40 && ${T[7]} == 2 && ${T[8]} < 100" "two files in a row"
check "$WALL < 1700 && ${T[9]} > 1300 && ${T[9]} < 1550 && ${T[12]} < 250" "stopped in the drain and at the start"
check "$(grep -c 'stopped in' "$WORK/stops") == 2" "two stops reported"
for ms in $(sed -n 's/.*stopped in \([0-9.]*\) ms/\1/p' "$WORK/stops"); do check "$ms < 50" "Stop took $ms ms"; done
[ -n "$APP" ] && check "${T[16]} == 3 && ${T[17]} < 100" "the desktop program's continuous play"
[ $FAILED = 0 ] || { sed 's/^/  pulse: /' "$WORK/pulse.log"; exit 1; }
echo "PASS"
