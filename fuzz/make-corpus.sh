#!/bin/bash
# Seeds every fuzz target's corpus, fuzz/corpus/<target>/: small heads of the conformance
# streams, short files made with lame and twolame in many modes, the hand-built tags and
# wrappers of fuzz_seeds, and hand-written command lines and names. Only what adds coverage
# is merged into the kept corpus (libFuzzer -merge=1); with --minimise the kept corpus and
# the seeds are merged afresh into the smallest set that keeps their coverage.
# usage: fuzz/make-corpus.sh [--minimise] [BUILD_DIR]   (default build/asan)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
minimise=0
if [ "${1:-}" = --minimise ]; then minimise=1; shift; fi
build=${1:-$root/build/asan}
conformance=${ZENTU_CONFORMANCE_DIR:-$root/../shared/conformance}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

. "$root/fuzz/targets.sh"

# Streams: heads cut small (a few frames: decoding costs per frame), and a cut from the
# middle of the longer Layer III streams (a start inside a frame, a reservoir that points
# before the cut).
mkdir "$work/streams" "$work/tags" "$work/enc"
for f in "$conformance"/*.bit "$conformance"/*/*.mp3; do
    [ -f "$f" ] || continue
    name=$(basename "$f")
    head -c 1500 "$f" > "$work/streams/head-$name"
    case $name in l3-* | M2L3_*) head -c 6200 "$f" | tail -c 1200 > "$work/streams/mid-$name" ;; esac
done
sox -V1 -n -r 44100 -c 2 -b 16 "$work/enc/s44.wav" synth 0.12 sine 440 sine 660
sox -V1 -n -r 48000 -c 2 -b 16 "$work/enc/s48.wav" synth 0.05 sine 440 : synth 0.05 noise
sox -V1 -n -r 24000 -c 1 -b 16 "$work/enc/m24.wav" synth 0.2 sine 300
n=0
encode_lame() {
    lame --quiet "$@" "$work/enc/s44.wav" "$work/enc/out.mp3" && head -c 2048 "$work/enc/out.mp3" > "$work/streams/lame-$n"
    n=$((n + 1))
}
encode_lame -b 128
encode_lame -V 2
encode_lame -b 32 -m m
encode_lame -t -b 64 -m s
encode_lame -b 56 -m f -p
encode_lame -b 40 -m j --nores
encode_lame --freeformat -b 40
encode_lame --resample 22.05 -b 32
encode_lame --resample 16 -V 6 -m m
encode_lame --resample 8 -b 8 -m m
encode_lame --resample 11.025 -b 16 -p
encode_lame -b 96 -m d
lame --quiet -b 320 "$work/enc/s48.wav" "$work/streams/lame-transient" || true
lame --quiet --id3v2-only --tt Title --ta Artist --tl Album --ty 2001 --tc Comment -b 64 "$work/enc/s44.wav" "$work/enc/tagged2.mp3"
lame --quiet --add-id3v2 --id3v2-utf16 --tt Title --ta Artist -b 64 "$work/enc/s44.wav" "$work/enc/tagged12.mp3"
lame --quiet --id3v1-only --tt Title --tg 12 -b 64 "$work/enc/s44.wav" "$work/enc/tagged1.mp3"
# mutagen's APEv2 tag, ReplayGain frames and a picture
/usr/bin/python3 - "$work/enc" <<'EOF' || true
import shutil, sys
from mutagen.apev2 import APEv2
from mutagen.id3 import ID3, TIT2, TXXX, RVA2, APIC
d = sys.argv[1]
shutil.copy(d + '/tagged1.mp3', d + '/tagged-ape.mp3')
ape = APEv2(); ape['Title'] = 'Ápe'; ape['REPLAYGAIN_TRACK_GAIN'] = '-4.08 dB'; ape.save(d + '/tagged-ape.mp3')
tags = ID3()
for frame in (TIT2(encoding=3, text='Pic'), TXXX(desc='REPLAYGAIN_ALBUM_GAIN', text='-7 dB'),
              RVA2(desc='track', channel=1, gain=-3.5, peak=0.5), APIC(type=3, mime='image/png', data=b'\x89PNG' * 8)):
    tags.add(frame)
shutil.copy(d + '/tagged1.mp3', d + '/tagged-picture.mp3')
tags.save(d + '/tagged-picture.mp3', v2_version=4)
EOF
for f in "$work"/enc/tagged*.mp3; do cp "$f" "$work/tags/lame-$(basename "$f")"; done
m=0
encode_twolame() {
    twolame --quiet "$@" "$work/enc/out.mp2" && head -c 2048 "$work/enc/out.mp2" > "$work/streams/twolame-$m"
    m=$((m + 1))
}
encode_twolame -b 192 "$work/enc/s44.wav"
encode_twolame -b 64 -m m -p "$work/enc/s44.wav"
encode_twolame -b 384 -m d "$work/enc/s48.wav"
encode_twolame -b 64 -m j -d "$work/enc/s48.wav"
encode_twolame -b 48 "$work/enc/m24.wav"
encode_twolame -b 96 -E "$work/enc/s44.wav"
encode_twolame --freeformat -b 200 "$work/enc/s44.wav" || true

# Tags and wrappers of every kind, around a short real stream (whole files: trailing tags
# are read from the end).
head -c 1800 "$work/streams/lame-0" > "$work/enc/short.mp3"
"$build/fuzz/fuzz_seeds" "$work/tags" "$work/enc/short.mp3"
for f in "$conformance"/l3-nonstandard-id3* "$conformance"/l3-nonstandard-*apetag* "$conformance"/l3-nonstandard-vbrtag*; do
    [ -f "$f" ] && head -c 4000 "$f" > "$work/tags/conf-$(basename "$f")"
done

# The tag reader's inputs start with its mode byte (bit 0 seekable, bits 1-2 the ring size).
mkdir "$work/mp3_info_fuzz" "$work/decode_fuzz" "$work/command_line_fuzz" "$work/wildcard_fuzz"
for f in "$work"/tags/*; do
    for mode in 1 0 7 5; do
        { printf "\\x0$mode"; head -c 4095 "$f"; } > "$work/mp3_info_fuzz/$mode-$(basename "$f")"
    done
done
for f in "$work"/streams/lame-0 "$work"/streams/head-l3-compl.bit "$work"/streams/head-l2-fl10.bit; do
    { printf '\x01'; cat "$f"; } > "$work/mp3_info_fuzz/1-$(basename "$f")"
done
cp "$work"/streams/* "$work/decode_fuzz/"
for f in "$work"/tags/*; do head -c 2048 "$f" > "$work/decode_fuzz/$(basename "$f")"; done

i=0
for line in 'D/music\0C\0R\0T90\0P' 'T' 'Tabc\0D/x' 'T 12\0T\t-5' 'T+2147483647' 'T2147483648' \
    'T-2147483648\0P' 'D\0D\0C\0Cx\0Pp\0Rr' 't5\0-T5\0d/x\0c' 'T00000000000000000000001' 'T1 \0D/a' \
    'D/a\0D/b\0D/c\0D/d\0D/e\0D/f\0D/g\0D/h\0D/i\0D/j\0D/k\0D/l\0D/m\0D/n\0D/o\0D/p\0D/q\0D/r\0D/s\0D/t\0D/u\0D/v\0D/w\0D/x\0D/y\0D/z' \
    'T0\0P\01000000' 'T30\0D/home/user/Music/\0x\060000' 'T-\0T+' 'T12\0Tx\0C' '\0\0D' 'Dフォルダ\0T1'; do
    printf "$line" > "$work/command_line_fuzz/seed-$i"
    i=$((i + 1))
done
i=0
# first byte: the pattern's length (the rest of the input is the name)
for pair in '*.mp3:song.MP3' '*.*:noext' '*:' '?:ab' 'a*b*c:aXbYbc' '*.mp3:x.mp3.bak' 's?ng*.Mp3:SONG-1.mp3' \
    '**a?*:ba' '*.mp3:/music/../a/./b//c.mp3' ':' 'abc:ABC' '*?*?:a' '[a].mp3:[A].MP3' 'a*:../..' \
    '*x*y*z*:xxyyzz' '*.MP3:.mp3' '???:日本'; do
    pattern=${pair%%:*}
    name=${pair#*:}
    { printf "\\x$(printf %02x ${#pattern})"; printf %s "$pattern$name"; } > "$work/wildcard_fuzz/seed-$i"
    i=$((i + 1))
done

for target in "${fuzz_targets[@]}"; do
    seeds=$work/$target
    [ $target = open_stream_fuzz ] || [ $target = frame_index_fuzz ] && seeds=$work/decode_fuzz
    corpus=$root/fuzz/corpus/$target
    mkdir -p "$corpus"
    if [ $minimise = 1 ]; then
        mkdir "$work/fresh-$target"
        "$build/fuzz/$target" -merge=1 -max_len="$(max_len $target)" "$work/fresh-$target" "$corpus" "$seeds" 2>&1 |
            grep -E '^MERGE-OUTER: [0-9]+ new files' || true
        rm -rf "$corpus"
        mv "$work/fresh-$target" "$corpus"
    else
        "$build/fuzz/$target" -merge=1 -max_len="$(max_len $target)" "$corpus" "$seeds" 2>&1 |
            grep -E '^MERGE-OUTER: [0-9]+ new files' || true
    fi
    echo "$target: $(ls "$corpus" | wc -l) inputs, $(cat "$corpus"/* | wc -c) bytes"
done
