#!/usr/bin/env bash
# Checks a built libvelmdsd.so as it ships: no run path, no text relocations, exactly the
# add-on's exports, no run-time dependency but libc, libm and libvelm.so, and on ARM every LOAD
# segment aligned for 16 KB pages.
#   scripts/check-library.sh LIBRARY [TOOL_PREFIX]   e.g. TOOL_PREFIX=arm-linux-gnueabi-
set -euo pipefail
lib=$1 prefix=${2:-}
dynamic=$("${prefix}readelf" -d "$lib")
fail=0
problem() { echo "check-library: $lib: $*" >&2; fail=1; }

if grep -qE '\((RPATH|RUNPATH)\)' <<<"$dynamic"; then
  problem "has a run path: $(grep -E '\((RPATH|RUNPATH)\)' <<<"$dynamic")"
fi
if grep -qE 'TEXTREL' <<<"$dynamic"; then
  problem "has text relocations"
fi

# Start-up code: the compiler's frame_dummy and the add-on's load hook, nothing else (a library
# pulled in for a helper can bring a constructor of its own).
init_bytes=$(awk '/\(INIT_ARRAYSZ\)/ { print $(NF-1) }' <<<"$dynamic")
pointer=$("${prefix}readelf" -h "$lib" | awk '/Class:/ { print ($2 == "ELF64" ? 8 : 4) }')
if [ -n "$init_bytes" ] && [ $((init_bytes / pointer)) -gt 2 ]; then
  problem "has $((init_bytes / pointer)) start-up functions (frame_dummy and the load hook expected)"
fi

# ARM libraries: every LOAD segment aligned for 16 KB pages (Android 15 refuses less on 64-bit).
machine=$("${prefix}readelf" -h "$lib" | awk -F: '/Machine:/ { gsub(/^ +/, "", $2); print $2 }')
if [[ $machine == ARM || $machine == AArch64 ]]; then
  while read -r align; do
    [ $((align)) -ge 16384 ] || problem "has a LOAD segment aligned to $((align)) bytes (16384 expected)"
  done < <("${prefix}readelf" -lW "$lib" | awk '$1 == "LOAD" { print $NF }')
fi

needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic" | sort)
grep -qx 'libvelm.so' <<<"$needed" || problem "does not need libvelm.so"
while read -r n; do
  [[ $n == libvelm.so || $n == libc.so.* || $n == libm.so.* ]] || problem "needs $n"
done <<<"$needed"

# Exactly the creation functions, the plug-in entry and the three JNI methods.
required="VELM_DSD_StreamCreateFile
VELM_DSD_StreamCreateFileUser
VELM_DSD_StreamCreateURL
VELMplugin
Java_com_tremvik_velm_VELMDSD_VELM_1DSD_1StreamCreateFile
Java_com_tremvik_velm_VELMDSD_VELM_1DSD_1StreamCreateFileUser
Java_com_tremvik_velm_VELMDSD_VELM_1DSD_1StreamCreateURL"
exports=$("${prefix}nm" -D --defined-only "$lib" | awk '{print $NF}' | sort)
for name in $required; do
  grep -qx "$name" <<<"$exports" || problem "does not export $name"
done
while read -r name; do
  grep -qx "$name" <<<"$required" || problem "exports $name"
done <<<"$exports"

if [ $fail = 0 ]; then
  echo "check-library: $lib: no run path, no text relocations, exports:" $exports "; needs:" $needed
fi
exit $fail
