#!/usr/bin/env bash
# Whole-process instruction counts of `velmdsd decode` under qemu-user with QEMU's
# instruction-counting plugin (tests/plugin/bb.c of the installed qemu-user's Debian source),
# for the ARMv7 NEON softfp Release build and the AArch64 Release build (and x86-64 with --x86).
# Each figure is (count on a 2 s file - count on a 0.1 s file) / (1.9 s x output rate x channels):
# instructions per output sample per channel, start-up and file opening cancelled out. The files
# are 1 kHz tones at -6 dBFS from the tool's test-signal writer, decoded to PCM with --gain 0. DoP and raw
# DSD count per output sample (DoP) or byte (raw) per channel.
#   bench/arm-count.sh [--x86] [CASE_REGEX]    (CASE_REGEX: only the cases whose name matches)
# Builds only the tool, in build-arm/, build-aarch64/ (the directories scripts/arm.sh uses) and,
# with --x86, build-release/. The plugin is built once into build-count/. A benchmark, not a test.
set -euo pipefail
cd "$(dirname "$0")/.."
x86=0
[ "${1:-}" = "--x86" ] && { x86=1; shift; }
only=${1:-.}
export PATH=/usr/lib/ccache:$PATH
jobs=-j"$(nproc)"
count_dir=$PWD/build-count
plugin=$count_dir/libbb.so

# ---- the plugin, from the Debian source of the qemu-user that runs the programs -------------
if [ ! -f "$plugin" ]; then
  version=$(dpkg-query -W -f '${source:Version}' qemu-user)
  apt_dir=$(mktemp -d)
  trap 'rm -rf "$apt_dir"' EXIT
  # A deb-src entry for every Debian entry of the machine's own sources (one-line and deb822
  # forms), in a private apt directory: nothing of the system's apt set-up is changed.
  mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$list" ] && sed -n 's/^deb \(.*debian.*\)/deb-src \1/p' "$list"
  done >"$apt_dir/parts/src.list"
  for sources in /etc/apt/sources.list.d/*.sources; do
    [ -f "$sources" ] || continue
    # Stanzas (blank-line separated) of type deb from a Debian archive, turned into deb-src.
    awk -v RS= -v ORS='\n\n' '/Types:[^\n]*deb/ && /URIs:[^\n]*debian/ {
           sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$sources"
  done >"$apt_dir/parts/src.sources"
  apt=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt_dir/parts"
       -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" -o APT::Sandbox::User=root)
  apt-get "${apt[@]}" update -qq
  (cd "$apt_dir" && apt-get "${apt[@]}" source --download-only -qq "qemu=$version")
  orig=$(ls "$apt_dir"/qemu_*.orig.tar.*)
  tar -xf "$orig" -C "$apt_dir" --wildcards '*/tests/plugin/bb.c' '*/include/qemu/qemu-plugin.h'
  bb=$(ls "$apt_dir"/*/tests/plugin/bb.c)
  src=${bb%/tests/plugin/bb.c}
  mkdir -p "$count_dir"
  # shellcheck disable=SC2046
  gcc -shared -fPIC -O2 -I "$src/include/qemu" $(pkg-config --cflags glib-2.0) "$src/tests/plugin/bb.c" \
      -o "$plugin" $(pkg-config --libs glib-2.0)
  rm -rf "$apt_dir"
  trap - EXIT
fi

# ---- the builds ---------------------------------------------------------------------------
build_tool() { # dir [cmake options]
  local dir=$1
  shift
  cmake -S . -B "$dir" --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" "$jobs" --target velmdsd-tool >/dev/null
}
build_tool build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armel-softfp.cmake -DVELMDSD_ARM_FPU=neon
build_tool build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64.cmake
native=build-release/tools/velmdsd
build_tool build-release

# ---- the files (written by the native tool) and the counts ----------------------------------
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for seconds in 0.1 2; do
  $native make-test "$work/dsd64-2ch-$seconds.dsf" --seconds $seconds 2>/dev/null
  $native make-test "$work/dsd256-2ch-$seconds.dsf" --rate 11289600 --seconds $seconds 2>/dev/null
  $native make-test "$work/dsd512-2ch-$seconds.dsf" --rate 22579200 --seconds $seconds 2>/dev/null
  $native make-test "$work/dsd256-6ch-$seconds.dsf" --rate 11289600 --channels 6 --seconds $seconds 2>/dev/null
done

instructions() { # emulator... -- file options...
  local emulator=()
  while [ "$1" != -- ]; do emulator+=("$1"); shift; done
  shift
  local file=$1
  shift
  # shellcheck disable=SC2068
  "${emulator[@]}" -plugin "$plugin,inline=on" -d plugin -D "$work/count.log" \
    "$tool" decode "$file" -o "$work/out.wav" $@ 2>/dev/null
  sed -n 's/.*insns: \([0-9]*\).*/\1/p' "$work/count.log"
}
per_sample() { # emulator... -- name rate channels options...
  local emulator=()
  while [ "$1" != -- ]; do emulator+=("$1"); shift; done
  shift
  local name=$1 rate=$2 channels=$3
  shift 3
  local long short
  long=$(instructions "${emulator[@]}" -- "$work/$name-2.dsf" "$@")
  short=$(instructions "${emulator[@]}" -- "$work/$name-0.1.dsf" "$@")
  awk -v l="$long" -v s="$short" -v r="$rate" -v c="$channels" 'BEGIN { printf "%.1f", (l - s) / (1.9 * r * c) }'
}

cases=("designed 16-bit, DSD64 to 44.1 kHz|dsd64-2ch 44100 2 --quality designed --gain 0"
       "designed float, DSD64 to 352.8 kHz|dsd64-2ch 352800 2 --quality designed --gain 0 --float --rate 352800"
       "designed 16-bit, 6 channels DSD256 to 44.1 kHz|dsd256-6ch 44100 6 --quality designed --gain 0"
       "high quality 16-bit, DSD64 to 44.1 kHz|dsd64-2ch 44100 2 --quality high --gain 0"
       "high quality 16-bit, DSD256 to 44.1 kHz|dsd256-2ch 44100 2 --quality high --gain 0"
       "high quality 16-bit, DSD512 to 44.1 kHz|dsd512-2ch 44100 2 --quality high --gain 0"
       "DoP, DSD64 stereo|dsd64-2ch 176400 2 --dop"
       "raw DSD, DSD64 stereo|dsd64-2ch 352800 2 --raw"
       "raw DSD, 6 channels DSD256|dsd256-6ch 1411200 6 --raw")
targets=("ARMv7 NEON|build-arm/tools/velmdsd|qemu-arm -L /usr/arm-linux-gnueabi"
         "AArch64|build-aarch64/tools/velmdsd|qemu-aarch64 -L /usr/aarch64-linux-gnu")
[ $x86 = 1 ] && targets=("x86-64|$native|qemu-x86_64" "${targets[@]}")

header="| case |" rule="|---|"
for target in "${targets[@]}"; do
  header+=" ${target%%|*} |" rule+="---:|"
done
echo "$header"
echo "$rule"
for case in "${cases[@]}"; do
  [[ ${case%%|*} =~ $only ]] || continue
  row="| ${case%%|*} |"
  for target in "${targets[@]}"; do
    rest=${target#*|}
    tool=${rest%%|*}
    # shellcheck disable=SC2086
    row+=" $(per_sample ${rest#*|} -- ${case#*|}) |"
  done
  echo "$row"
done
