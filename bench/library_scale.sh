#!/bin/bash
# How Zentu's start grows with the size of the music library: a folder tree of N files
# (hard links to one small MP3, laid out as artist / album / track with a cover image per
# album), then Zentu started on it headless and without sound. Printed: the time from launch
# to the first file started (the trace's "play" line), the peak memory (VmHWM) and whether the
# first file in continuous play is the first line of the list (in the case-folded byte order
# with accents left out, which on this tree agrees with the reader's order); and, as the
# yardstick on the same tree, the time of `find -iname '*.mp3' | sort`. Beside each wall time
# stands the processor time (user + system) it took, which a machine shared with other work
# changes less.
#
#   bench/library_scale.sh [-r RUNS] [-x ZENTU] [-w] N
#
# -r  runs of each (default 3; the median is printed)   -x  the zentu to start
#     (default build/release/app/zentu)   -w  also the search without a D argument (the
#     whole file system that holds ZENTU, to the trace's "found" line) beside `find -xdev`
# Needs lame and sox (scripts/install-deps.sh installs them).
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
runs=3
app="$here/build/release/app/zentu"
whole=0
while getopts "r:x:w" opt; do
    case $opt in
        r) runs=$OPTARG ;;
        x) app=$OPTARG ;;
        w) whole=1 ;;
        *) sed -n '2,17p' "$0" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
[ $# = 1 ] && [[ $1 =~ ^[0-9]+$ ]] && [ "$1" -gt 0 ] || { sed -n '2,17p' "$0" >&2; exit 2; }
files=$1
for tool in sox lame; do
    command -v $tool >/dev/null || { echo "library_scale: $tool is missing" >&2; exit 2; }
done
[ -x "$app" ] || { echo "library_scale: no zentu at $app" >&2; exit 2; }

work=$(mktemp -d /tmp/zentu-library.XXXX)
pid=""
cleanup() { set +e; [ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
tree=$work/Music
mkdir -p "$tree" "$work/xdg"
chmod 700 "$work/xdg"

# Ten seconds of tone: long enough that the first file still plays when it is measured.
sox -n -r 22050 -c 1 "$work/tone.wav" synth 10 sine 440 2>/dev/null
lame --quiet -b 32 "$work/tone.wav" "$work/tone.mp3"
printf 'JFIF' > "$work/cover.jpg"

# 12 tracks an album, 6 albums an artist; names of mixed case, digits, spaces and a few
# non-ASCII letters, so that the sort meets what a real library holds. perl is always there.
perl -e '
    use strict; use File::Copy; my ($tree, $mp3, $jpg, $n) = @ARGV;
    # A file takes at most 65000 links on ext4: a fresh copy every 60000.
    my %links; sub lnk { my ($src, $dst) = @_; my $k = $links{$src}++; my $from = $src . "." . int($k / 60000);
        copy($src, $from) or die $! unless -e $from; link $from, $dst or die "$dst: $!" }
    my @w = qw(Blue night Morning Red river Silent ocean Golden road échos Été Zero alpha
               Winter song paper Moon the Last dance Ångström quiet Storm Coffee city Étoile);
    my $seed = 12345; sub pick { $seed = ($seed * 1103515245 + 12345) % 2147483648; $w[$seed % @w] }
    my ($made, $artist) = (0, 0);
    while ($made < $n) {
        my $a = sprintf("%s/%s %s %04d", $tree, pick(), pick(), $artist++); mkdir $a or die "$a: $!";
        for my $album (1 .. 6) {
            last if $made >= $n;
            my $d = sprintf("%s/(%d) %s %s", $a, 1960 + ($seed % 60), pick(), pick()); $d .= " $album";
            mkdir $d or die "$d: $!"; lnk($jpg, "$d/cover.jpg");
            for my $t (1 .. 12) {
                last if $made >= $n;
                my $ext = ($made % 97 == 0) ? "MP3" : "mp3";
                lnk($mp3, sprintf("%s/%02d %s %s.%s", $d, $t, pick(), pick(), $ext));
                ++$made;
            }
        }
    }' "$tree" "$work/tone.mp3" "$work/cover.jpg" "$files"

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
now_us() { local t=$EPOCHREALTIME; echo "${t/./}"; }
# One timed run of the yardstick: `find ARGS... -iname '*.mp3' | sort` into $work/sorted.
find_once() {
    local start; start=$(now_us)
    /usr/bin/time -f '%U %S' -o "$work/cpu" sh -c "LC_ALL=C find $* -iname '*.mp3' 2>/dev/null | LC_ALL=C sort > '$work/sorted'" || true
    echo $(( $(now_us) - start )) >> "$work/find.us"
    awk '{ print ($1 + $2) * 1e6 }' "$work/cpu" >> "$work/find.cpu"
}
# Starts zentu with ARGS... and waits for the trace line "WORD ...": the time to it and the
# processor time spent by then are added to $work/times and $work/cpus, the rest of the line
# is left in $got (empty when zentu ended first). Zentu goes on running as $pid.
start_until() {
    local word=$1 start line; shift
    rm -f "$work/trace"; mkfifo "$work/trace"
    start=$(now_us)
    "$app" "$@" > "$work/trace" 2>/dev/null & pid=$!
    exec 3< "$work/trace"
    got=""
    while IFS= read -r -u 3 line; do
        case $line in
            "$word "*)
                echo $(( $(now_us) - start )) >> "$work/times"
                # utime and stime, in clock ticks (the name in field 2 holds no blank)
                awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) * 1e6 / hz }' "/proc/$pid/stat" >> "$work/cpus"
                got=${line#"$word "}; break ;;
            "exit"*) break ;;
        esac
    done
    cat <&3 > /dev/null &  # the rest of the trace, so that writing it never fails
    exec 3<&-
}

# The yardstick, with the tree in the page cache as it is for Zentu.
find "$tree" -iname '*.mp3' > /dev/null
for _ in $(seq "$runs"); do find_once "'$tree'"; done
listed=$(wc -l < "$work/sorted")
# The first line as a reader orders this tree: case and the accents of its few accented
# letters left out (sed reads on: no broken pipe).
first=$(LC_ALL=C.UTF-8 sed 's/[éÉ]/e/g; s/[åÅ]/a/g; s/ö/o/g' "$work/sorted" | paste - "$work/sorted" |
    LC_ALL=C sort -f -t "$(printf '\t')" -k1,1 | sed -n '1s/.*\t//p')

export ZENTU_AUDIO=null ZENTU_TRACE=1 QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work/xdg CI=1
unset ZENTU_POWEROFF_COMMAND
order=same
: > "$work/times"; : > "$work/cpus"; : > "$work/peaks"
for _ in $(seq "$runs"); do
    start_until play "D$tree" C
    played=$got
    [ -n "$played" ] || { echo "library_scale: zentu played nothing" >&2; exit 1; }
    [ "$played" = "$first" ] || order="DIFFERENT (first played: $played; first sorted: $first)"
    sleep 0.5  # what comes after the first sound counts too
    awk '/^VmHWM/ { print $2 }' "/proc/$pid/status" >> "$work/peaks"
    kill "$pid"; wait "$pid" 2>/dev/null || true; pid=""
done

ms() { awk -v us="$(median < "$1")" 'BEGIN { printf "%.3f s", us / 1e6 }'; }
echo "files:                 $files ($listed found by find)"
echo "find | sort:           $(ms "$work/find.us")   (processor $(ms "$work/find.cpu"))"
echo "zentu to first sound:  $(ms "$work/times")   (processor $(ms "$work/cpus"); runs: $(tr '\n' ' ' < "$work/times" | sed 's/ $//') us)"
echo "zentu peak memory:     $(median < "$work/peaks" | awk '{ printf "%.1f MB", $1 / 1024 }')"
echo "first in list order:   $order"

[ $whole = 1 ] || exit 0
# The search without D walks the whole file system that holds the program.
mount=$(df --output=target "$app" | tail -1)
: > "$work/find.us"; : > "$work/find.cpu"; : > "$work/times"; : > "$work/cpus"
for _ in $(seq "$runs"); do
    find_once "'$mount'" -xdev
    start_until found C
    found=$got
    kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true; pid=""
    [ -n "$found" ] || { echo "library_scale: zentu found nothing on $mount" >&2; exit 1; }
done
echo "whole file system:     $mount ($found found by zentu, $(wc -l < "$work/sorted") by find)"
echo "find -xdev | sort:     $(ms "$work/find.us")   (processor $(ms "$work/find.cpu"))"
echo "zentu search without D: $(ms "$work/times")   (processor $(ms "$work/cpus"))"
