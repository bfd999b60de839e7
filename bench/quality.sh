#!/usr/bin/env bash
# Conversion quality of the add-on's two PCM modes (designed filter, high-quality converter) and of
# ffmpeg (when installed), on 1.2 s mono tones at -12 dBFS written by `velmdsd make-test`, decoded
# to float PCM and measured by `velmdsd measure` (one FFT; see tools/velmdsd/measure.cpp).
#   bench/quality.sh BUILD_DIR [--48k] [--aggressive]
# --aggressive: the tones from the modulator's aggressive noise shaping (make-test --shaping).
# SINAD: a 1 kHz tone from DSD64, 128, 256 and 512 (44.1 kHz family; --48k adds the 48 kHz family)
# decoded at 1, 2, 4 and 8 x 44.1 kHz (48 kHz); noise and distortion from 20 Hz to 20 kHz after the
# first 0.2 s. "DSD bits": the same measurement on the source's bits with no filter at all.
# Passband: tones at 20 kHz and at 0.45 x the output rate (outputs from 2 x 44.1 kHz on). A level is
# taken relative to the same tone's level in the DSD bits, then to 1 kHz's, so that the test
# modulator's own response cancels. Prints markdown tables; takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: bench/quality.sh BUILD_DIR [--48k] [--aggressive]}
families=(44100)
shaping=gentle
for a in "${@:2}"; do
  [ "$a" = --48k ] && families+=(48000)
  [ "$a" = --aggressive ] && shaping=aggressive
done
tool="$build/tools/velmdsd"
[ -x "$tool" ] || { echo "build $tool first (cmake --build $build --target velmdsd-tool)" >&2; exit 1; }
have_ffmpeg=0
command -v ffmpeg >/dev/null && have_ffmpeg=1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# tone DSD_RATE FREQ: prints the path of that test tone, written the first time.
tone() {
  local f="$dir/$1-$2.dsf"
  [ -f "$f" ] || "$tool" make-test "$f" --rate "$1" --seconds 1.2 --level -12 --channels 1 --freq "$2" \
    --shaping "$shaping" 2>/dev/null
  echo "$f"
}
# measure ARGS...: "SINAD LEVEL" in dB.
measure() { "$tool" measure "$@"; }
ffmpeg_measure() { # FILE RATE
  ffmpeg -v error -i "$1" -ar "$2" -c:a pcm_f32le -f f32le - | "$tool" measure - --f32 --rate "$2"
}
field() { echo "$1" | cut -d' ' -f"$2"; }

echo "velmdsd: $("$tool" --version | head -1); ffmpeg: $([ $have_ffmpeg = 1 ] && ffmpeg -version | head -1 | cut -d' ' -f3 || echo 'not installed')"
declare -A level # level[quality,dsd,out] of the 1 kHz tone, minus its level in the DSD bits
for base in "${families[@]}"; do
  outs=("$base" $((2 * base)) $((4 * base)) $((8 * base)))
  echo
  echo "SINAD 20 Hz-20 kHz, 1 kHz at -12 dBFS (dB): designed / high / ffmpeg"
  echo
  echo "| source | DSD bits | ${outs[0]} Hz | ${outs[1]} Hz | ${outs[2]} Hz | ${outs[3]} Hz |"
  echo "|---|---:|---:|---:|---:|---:|"
  for k in 64 128 256 512; do
    dsd=$((base * k))
    f=$(tone $dsd 1000)
    bits=$(measure "$f" --dsd-bits)
    row="| DSD$k ($dsd Hz) | $(field "$bits" 1) |"
    for out in "${outs[@]}"; do
      cell=""
      for q in designed high; do
        m=$(measure "$f" --rate "$out" --quality $q)
        level[$q,$dsd,$out]=$(awk -v a="$(field "$m" 2)" -v b="$(field "$bits" 2)" 'BEGIN { print a - b }')
        cell+="$(field "$m" 1) / "
      done
      if [ $have_ffmpeg = 1 ]; then cell+=$(field "$(ffmpeg_measure "$f" "$out")" 1); else cell+="-"; fi
      row+=" $cell |"
    done
    echo "$row"
  done

  echo
  echo "Passband: level relative to 1 kHz (dB): designed / high"
  echo
  echo "| source | output | 20 kHz | 0.45 x output |"
  echo "|---|---:|---:|---:|"
  for k in 64 128 256 512; do
    dsd=$((base * k))
    for out in "${outs[@]}"; do
      row="| DSD$k | $out Hz |"
      for freq in 20000 $((out * 45 / 100)); do
        if [ "$freq" != 20000 ] && [ "$out" = "$base" ]; then
          row+=" |"
          continue
        fi
        f=$(tone $dsd "$freq")
        bits=$(field "$(measure "$f" --dsd-bits --freq "$freq")" 2)
        cell=""
        # Far above 20 kHz the modulator cannot make the tone at -12 dBFS: its level in the bits is
        # shown when it is 3 dB short, as the response is then measured on a weaker tone.
        note=$(awk -v b="$bits" 'BEGIN { if (b < -15) printf " (tone at %.1f dB)", b }')
        for q in designed high; do
          m=$(field "$(measure "$f" --rate "$out" --quality $q --freq "$freq")" 2)
          cell+=$(awk -v m="$m" -v b="$bits" -v r="${level[$q,$dsd,$out]}" 'BEGIN { printf "%.2f", m - b - r }')
          [ $q = designed ] && cell+=" / "
        done
        [ "$freq" = 20000 ] && row+=" $cell$note |" || row+=" $freq Hz: $cell$note |"
      done
      echo "$row"
    done
  done
done
