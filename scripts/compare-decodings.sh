#!/usr/bin/env bash
# Decodes the same test files in every form with the native tool and with another build's tool
# (run through an emulator), and compares the outputs byte for byte: the filters' arithmetic is
# fixed to the last bit on every platform.
#   scripts/compare-decodings.sh NAME NATIVE_TOOL TARGET_COMMAND...
set -euo pipefail
name=$1 native=$2
shift 2
target=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
$native make-test "$work/stereo64.dsf" --seconds 1 --artist A --title T 2>/dev/null
$native make-test "$work/mono64.dsf" --channels 1 --seconds 0.5 --freq 3000 --level -3 2>/dev/null
$native make-test "$work/stereo128.dff" --rate 5644800 --seconds 0.5 --comment C 2>/dev/null
$native make-test "$work/six64.dff" --channels 6 --seconds 0.3 --freq 440 2>/dev/null
# DST: the native encoder's file, so that the target's DST decoder is compared too.
$native encode "$work/six64.dff" -o "$work/six64-dst.dff" --dst 2>/dev/null
forms=("--quality designed" "--quality designed --float" "--quality designed --rate 176400 --float"
       "--quality designed --gain -3" "--dop" "--raw" "--quality designed --start 0.1 --duration 0.15 --float"
       "--quality high" "--quality high --float --rate 176400" "--quality high --float --rate 352800"
       "--quality high --float --gain -3"
       "--quality high --start 0.1 --duration 0.15 --float")
compared=0
for file in "$work"/*.dsf "$work"/*.dff; do
  for i in "${!forms[@]}"; do
    # shellcheck disable=SC2086
    $native decode "$file" -o "$work/native.out" ${forms[$i]} 2>/dev/null
    # shellcheck disable=SC2086
    "${target[@]}" decode "$file" -o "$work/target.out" ${forms[$i]} 2>/dev/null
    cmp "$work/native.out" "$work/target.out" ||
      { echo "$name differs: $(basename "$file") ${forms[$i]:-(PCM 16-bit)}"; exit 1; }
    compared=$((compared + 1))
  done
  # The tag fields are left out: builds without TagLib (the cross builds) list no ID3 fields.
  cmp <($native info "$file" --json | sed 's/,"tags":.*//') <("${target[@]}" info "$file" --json | sed 's/,"tags":.*//')
done
echo "$name: $compared decodings byte-identical to x86-64 ($(ls "$work" | grep -c '\.d[sf]f$') files x ${#forms[@]} forms)"
