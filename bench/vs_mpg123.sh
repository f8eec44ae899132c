#!/bin/bash
# Wall time of zentu-decode against mpg123 on three music-like files: Layer III CBR
# 128 kbit/s joint stereo, Layer III VBR -V0 and Layer II 256 kbit/s stereo, all 44.1 kHz.
# The runs of the two decoders alternate, so that a change of load on a shared machine hits
# both alike; the figure per file is the median of the per-pair ratios ours / mpg123, printed
# last in the file's block.
#
#   bench/vs_mpg123.sh [-n PAIRS] [-s SECONDS] [-d DIR] [-x ZENTU_DECODE] [-c CPU]
#
# -n  pairs of runs per file (default 7)      -s  length of the signal (default 600)
# -d  where the files are made and kept (default build/bench-files; reused when present)
# -x  the zentu-decode to time (default build/release/tools/zentu-decode)
# -c  a routine family for zentu-decode --cpu (default: what the processor runs best)
# Needs sox, lame, twolame and mpg123 (scripts/install-deps.sh installs them).
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
pairs=7
seconds=600
dir="$here/build/bench-files"
decoder="$here/build/release/tools/zentu-decode"
cpu=""
while getopts "n:s:d:x:c:" opt; do
    case $opt in
        n) pairs=$OPTARG ;;
        s) seconds=$OPTARG ;;
        d) dir=$OPTARG ;;
        x) decoder=$OPTARG ;;
        c) cpu=$OPTARG ;;
        *) sed -n '2,15p' "$0" >&2; exit 2 ;;
    esac
done
for tool in sox lame twolame mpg123; do
    command -v $tool >/dev/null || { echo "vs_mpg123: $tool is missing" >&2; exit 2; }
done
[ -x "$decoder" ] || { echo "vs_mpg123: no zentu-decode at $decoder" >&2; exit 2; }
mkdir -p "$dir"

# Pink noise under two slowly gliding tones and a phrase of plucked notes, repeated.
make_signal() {
    local wav="$dir/signal-$seconds.wav"
    [ -s "$wav" ] && { echo "$wav"; return; }
    local tmp
    tmp="$(mktemp -d "$dir/signal.XXXXXX")"
    sox -q -n -r 44100 -c 2 -b 16 "$tmp/noise.wav" synth "$seconds" pinknoise vol 0.18
    sox -q -n -r 44100 -c 2 -b 16 "$tmp/tones.wav" synth "$seconds" sine 220:247 sine 330:294 tremolo 0.3 40 vol 0.12
    local notes=(C3 G3 E4 C4 A3 F4 D4 B3 G4 E3 C5 A4) i=0 parts=()
    for n in "${notes[@]}"; do
        sox -q -n -r 44100 -c 2 -b 16 "$tmp/p$i.wav" synth 0.4 pluck "$n" pluck "$n" vol 0.5
        parts+=("$tmp/p$i.wav")
        i=$((i + 1))
    done
    sox -q "${parts[@]}" "$tmp/phrase.wav"
    local repeats=$(( (seconds * 10 + 47) / 48 ))
    sox -q "$tmp/phrase.wav" "$tmp/plucks.wav" repeat "$repeats" trim 0 "$seconds"
    sox -q -m "$tmp/noise.wav" "$tmp/tones.wav" "$tmp/plucks.wav" "$tmp/mix.wav" norm -3
    mv "$tmp/mix.wav" "$wav"
    rm -rf "$tmp"
    echo "$wav"
}

signal="$(make_signal)"
l3cbr="$dir/l3-cbr128-js-$seconds.mp3"
l3vbr="$dir/l3-vbr-v0-$seconds.mp3"
l2="$dir/l2-256-stereo-$seconds.mp2"
[ -s "$l3cbr" ] || lame --quiet -b 128 -m j "$signal" "$l3cbr"
[ -s "$l3vbr" ] || lame --quiet -V 0 "$signal" "$l3vbr"
[ -s "$l2" ] || twolame --quiet -b 256 -m s "$signal" "$l2"

ours=("$decoder")
[ -n "$cpu" ] && ours+=(--cpu "$cpu")

# Wall seconds of one run, output discarded.
wall() {
    local t0 t1
    t0=$(date +%s%N)
    "$@" >/dev/null
    t1=$(date +%s%N)
    echo $(( t1 - t0 ))
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "zentu-decode ${ours[*]:1} against $(mpg123 --version | head -1); $pairs pairs per file"
for file in "$l3cbr" "$l3vbr" "$l2"; do
    echo
    echo "$(basename "$file")"
    ratios=() zs=() ms=()
    # one untimed run each brings the file into the page cache
    "${ours[@]}" --raw "$file" /dev/null
    mpg123 -q -s "$file" >/dev/null
    for ((p = 0; p < pairs; ++p)); do
        if ((p % 2)); then
            m=$(wall mpg123 -q -s "$file")
            z=$(wall "${ours[@]}" --raw "$file" /dev/null)
        else
            z=$(wall "${ours[@]}" --raw "$file" /dev/null)
            m=$(wall mpg123 -q -s "$file")
        fi
        ratio=$(awk -v z="$z" -v m="$m" 'BEGIN { printf "%.3f", z / m }')
        printf '  pair %d: zentu %.3f s, mpg123 %.3f s, ratio %s\n' $((p + 1)) \
            "$(awk -v t="$z" 'BEGIN { print t / 1e9 }')" "$(awk -v t="$m" 'BEGIN { print t / 1e9 }')" "$ratio"
        ratios+=("$ratio") zs+=("$z") ms+=("$m")
    done
    printf '  median wall: zentu %.3f s, mpg123 %.3f s\n' \
        "$(printf '%s\n' "${zs[@]}" | median | awk '{ print $1 / 1e9 }')" \
        "$(printf '%s\n' "${ms[@]}" | median | awk '{ print $1 / 1e9 }')"
    printf '  ratio %s\n' "$(printf '%s\n' "${ratios[@]}" | median | awk '{ printf "%.3f", $1 }')"
done
