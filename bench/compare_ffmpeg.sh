#!/usr/bin/env bash
# Whole process: `velmdsd decode` against ffmpeg (when installed) on the same DSF file, in paired
# runs taken in turn, to 44.1 kHz 16-bit (designed filter and high-quality converter) and to
# 352.8 kHz float WAV (designed filter). Prints the median wall time
# and the median CPU time (user + system) of each, and ffmpeg's time over ours. Wall time means
# little on a loaded machine, so the load average is printed before and after.
#   bench/compare_ffmpeg.sh [BUILD_DIR] [FILE.dsf] [RUNS]   defaults: build, a 10 s test tone, 7
# (the tool's modulator is slow: make a long file once with `velmdsd make-test F.dsf --seconds 60`)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
input=${2:-}
runs=${3:-7}
tool="$build/tools/velmdsd"
[ -x "$tool" ] || { echo "build $tool first (cmake --build $build --target velmdsd-tool)" >&2; exit 1; }
have_ffmpeg=0
command -v ffmpeg >/dev/null && have_ffmpeg=1

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
if [ -z "$input" ]; then
  input="$dir/in.dsf"
  "$tool" make-test "$input" --seconds 10 >/dev/null 2>&1
fi

TIMEFORMAT='%R %U %S'
# Runs the command once; appends "wall cpu" to the file named first.
timed() {
  local log=$1
  shift
  { time "$@" >/dev/null 2>&1; } 2>"$dir/t"
  awk '{ printf "%s %.3f\n", $1, $2 + $3 }' "$dir/t" >>"$log"
}
median() { sort -n -k"$2" "$1" | awk -v k="$2" '{ v[NR] = $k } END { print v[int((NR + 1) / 2)] }'; }

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg); $input, $runs paired runs"
printf '%-22s %10s %10s %12s %12s %10s\n' output 'ours wall' 'ours cpu' 'ffmpeg wall' 'ffmpeg cpu' 'ratio cpu'
for form in pcm16 hq16 float352; do
  : >"$dir/ours" ; : >"$dir/theirs"
  for ((i = 0; i < runs; i++)); do
    if [ $form != float352 ]; then
      quality=designed
      [ $form = hq16 ] && quality=high
      timed "$dir/ours" "$tool" decode "$input" -o "$dir/ours.wav" --quality $quality
      [ $have_ffmpeg = 1 ] && timed "$dir/theirs" ffmpeg -v error -y -i "$input" -ar 44100 -c:a pcm_s16le "$dir/theirs.wav"
    else
      timed "$dir/ours" "$tool" decode "$input" -o "$dir/ours.wav" --rate 352800 --float --quality designed
      [ $have_ffmpeg = 1 ] && timed "$dir/theirs" ffmpeg -v error -y -i "$input" -ar 352800 -c:a pcm_f32le "$dir/theirs.wav"
    fi
  done
  ow=$(median "$dir/ours" 1) oc=$(median "$dir/ours" 2)
  if [ $have_ffmpeg = 1 ]; then
    tw=$(median "$dir/theirs" 1) tc=$(median "$dir/theirs" 2)
    ratio=$(awk -v a="$tc" -v b="$oc" 'BEGIN { printf "%.1fx", (b > 0 ? a / b : 0) }')
  else
    tw=- tc=- ratio="(no ffmpeg)"
  fi
  printf '%-22s %10s %10s %12s %12s %10s\n' "$form" "$ow" "$oc" "$tw" "$tc" "$ratio"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
