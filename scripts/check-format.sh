#!/usr/bin/env bash
# Fails when a C++ source of the tree is not as clang-format (the .clang-format at the root) lays it out.
#
#   scripts/check-format.sh [ROOT]
set -euo pipefail
root=${1:-$(dirname "$0")/..}
cd "$root"
mapfile -d '' files < <(find dsp filters devices engine ui tools tests bench fuzz \
  \( -name '*.cpp' -o -name '*.h' \) -print0 2>/dev/null | sort -z)
clang-format --dry-run --Werror "${files[@]}"
echo "format: ${#files[@]} sources as clang-format lays them out"
