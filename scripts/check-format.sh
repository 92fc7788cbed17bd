#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when a C++ source of the tree is not as clang-format (the .clang-format at the root) lays it out,
# or does not open with the licence's SPDX line.
#
#   scripts/check-format.sh [ROOT]
set -euo pipefail
root=${1:-$(dirname "$0")/..}
cd "$root"
mapfile -d '' files < <(find dsp filters devices engine ui tools tests bench fuzz \
  \( -name '*.cpp' -o -name '*.h' \) -print0 2>/dev/null | sort -z)
clang-format --dry-run --Werror "${files[@]}"
unlicensed=0
for f in "${files[@]}"; do
  if [ "$(head -n 1 "$f")" != "// SPDX-License-Identifier: GPL-3.0-or-later" ]; then
    echo "$f:1: error: the first line is not // SPDX-License-Identifier: GPL-3.0-or-later" >&2
    unlicensed=$((unlicensed + 1))
  fi
done
[ "$unlicensed" -eq 0 ] || exit 1
echo "format: ${#files[@]} sources as clang-format lays them out, each under the licence"
