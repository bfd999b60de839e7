#!/usr/bin/env bash
# DST speed. Whole process: `velmdsd decode` (16-bit 44.1 kHz, designed filter) against
#   ffmpeg -i F.dff -ar 44100 -c:a pcm_s16le
# on the same DST DSD64 stereo file of the test music, in paired runs taken in turn; prints the
# median CPU time (user + system) of each and ffmpeg's over ours. Then DST decoding alone
# (bench/dst_bench decode) in x real time for DSD64 to DSD256 stereo and DSD64 6 channels.
#   bench/dst_speed.sh [BUILD_DIR] [SECONDS] [RUNS]    defaults: build, 10, 5
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-10}
runs=${3:-5}
tool="$build/tools/velmdsd"
bench="$build/bench/dst_bench"
for x in "$tool" "$bench"; do
  [ -x "$x" ] || { echo "build $x first (cmake --build $build --target velmdsd-tool dst_bench)" >&2; exit 1; }
done
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$bench" write "$dir/in.dff" "$seconds"

TIMEFORMAT='%U %S'
cpu() { { time "$@" >/dev/null 2>&1; } 2>&1 | awk '{ printf "%.3f\n", $1 + $2 }'; }
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg); $seconds s DSD64 stereo DST, $runs paired runs"
if command -v ffmpeg >/dev/null; then
  : >"$dir/ours"
  : >"$dir/theirs"
  for ((i = 0; i < runs; i++)); do
    cpu "$tool" decode "$dir/in.dff" -o "$dir/ours.wav" --quality designed >>"$dir/ours"
    cpu ffmpeg -nostdin -y -i "$dir/in.dff" -ar 44100 -c:a pcm_s16le "$dir/theirs.wav" >>"$dir/theirs"
  done
  ours=$(median "$dir/ours")
  theirs=$(median "$dir/theirs")
  printf '%-28s %10s %12s %10s\n' 'to 16-bit 44.1 kHz' 'ours cpu' 'ffmpeg cpu' 'ratio'
  awk -v o="$ours" -v t="$theirs" 'BEGIN { printf "%-28s %10.3f %12.3f %10.2f\n", "DST DSD64 stereo", o, t, t / o }'
else
  echo "ffmpeg is not installed: whole-process comparison left out"
fi
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
"$bench" decode 2
