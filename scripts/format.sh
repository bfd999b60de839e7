#!/usr/bin/env bash
# Formats the C and C++ sources with clang-format 14 and the tree's .clang-format.
#   scripts/format.sh           formats in place
#   scripts/format.sh --check   changes nothing; lists the files that are not formatted, exits 1 if any
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --format
format=clang-format-14
mapfile -t files < <(git ls-files -- src include velm tools tests bench | grep -E '\.(c|cc|cpp|h|hpp)$')
if [ "${1:-}" = "--check" ]; then
  bad=0
  for f in "${files[@]}"; do
    if ! "$format" --style=file "$f" | cmp -s - "$f"; then
      echo "not formatted: $f"
      bad=1
    fi
  done
  exit $bad
fi
"$format" --style=file -i "${files[@]}"
