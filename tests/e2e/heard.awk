# What one take of a recording (44.1 kHz stereo s16, as `od -An -v -td2 -w4` prints it) holds:
#   heard=MS pieces=N first=MS gap=MS bad=N last=MS hole=MS
# heard: ms of sound; pieces: stretches of sound apart by 10 ms of silence or more; first: the
# first stretch; gap: the longest silence inside; bad and last: for the stepped tones (steps
# of 100 ms at levels 0.3 to 0.7 of full scale), the steps other than the last that are not
# 100 ms long (a piece lost or played twice shortens or lengthens one), and the last step;
# hole: the longest stretch inside a piece without a sample above 1000 (a sine at these levels
# has none longer than a few samples, so anything from 1 ms up is a hole in the signal).
# Levels are read from the peaks of 2 ms windows; a new level counts from the second window
# that shows it, so a window across a change (or an overshoot there) moves no step.
function level(peak) { return int(peak / 3276.7 + 0.5) }
{ a = $1 < 0 ? -$1 : $1; if (a > peak) peak = a
  if (a > 1000) {
      i = NR - 1
      if (started && i - last <= 441 && i - last - 1 > hole) hole = i - last - 1
      if (!started) { started = 1; first = i; pieceStart = i; firstEnd = -1; stepLevel = -1 }
      else if (i - last > 441) {  # 10 ms of silence
          heard += last - pieceStart; if (firstEnd < 0) firstEnd = last
          if (i - last > gap) gap = i - last; pieceStart = i; pieces++ }
      last = i }
  if (++w == 88) {
      if (peak > 1000) {
          l = level(peak)
          if (l == stepLevel) { stepMs += 2 + candidateMs; candidateMs = 0 }
          else if (l == candidate) {  # the second window at a new level: a new step
              if (stepLevel >= 0) { steps++; if (steps > 1 && (lastMs < 94 || lastMs > 106)) bad++; lastMs = stepMs }
              stepLevel = l; stepMs = candidateMs + 2; candidate = -1; candidateMs = 0 }
          else { candidate = l; candidateMs = 2 } }
      w = 0; peak = 0 } }
END {
    if (!started) { print "heard=0 pieces=0 first=0 gap=0 bad=0 last=0 hole=0"; exit }
    heard += last - pieceStart; pieces++; if (firstEnd < 0) firstEnd = last
    if (steps > 0 && (lastMs < 94 || lastMs > 106)) bad++  # the step before the last
    printf "heard=%.0f pieces=%d first=%.0f gap=%.0f bad=%d last=%.0f hole=%.1f\n", heard / 44.1, pieces,
        (firstEnd - first) / 44.1, gap / 44.1, bad, stepMs + candidateMs, hole / 44.1 }
