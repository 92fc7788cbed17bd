#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The layer and format checks fail on planted violations, naming the file and line, and pass on a
# clean tree.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

mkdir -p "$tmp/dsp" "$tmp/filters/lv2" "$tmp/devices/platform" "$tmp/engine" "$tmp/ui/windows" "$tmp/tools"
printf '#include "devices/VirtDevs.h"\n' >"$tmp/dsp/Up.h"
printf '#include "dsp/Filter.h"\n#include "filters/Echo.h"\n' >"$tmp/dsp/Catalogue.cpp"
printf '#include "filters/FilterCatalogue.h"\n#include "devices/WaveFile.h"\n' >"$tmp/filters/Sideways.cpp"
printf '#include "filters/Echo.h"\n#include "devices/VirtDevs.h"\n' >"$tmp/engine/Fine.cpp"
printf '#include <vector>\n#include <QWidget>\n' >"$tmp/devices/Qt.cpp"
printf '#include <pulse/simple.h>\n' >"$tmp/engine/Sound.cpp"
printf '#include "ui/windows/DSPForm.h"\n' >"$tmp/tools/Gui.cpp"
printf '#include <QWidget>\n#include "engine/ProcessingThread.h"\n' >"$tmp/ui/windows/Fine.cpp"
printf '#include <alsa/asoundlib.h>\n' >"$tmp/devices/platform/AlsaFine.cpp"
printf '#include <pipewire/pipewire.h>\n#include <spa/utils/result.h>\n' >"$tmp/devices/platform/GraphFine.cpp"
printf '#include <pipewire/pipewire.h>\n' >"$tmp/devices/Graph.cpp"
printf '#include <string>\n#include <spa/pod/builder.h>\n' >"$tmp/engine/Pod.cpp"
printf '#include <lilv/lilv.h>\n#include <lv2/urid/urid.h>\n' >"$tmp/filters/lv2/HostFine.cpp"
printf '#include <vector>\n#include <lv2/core/lv2.h>\n' >"$tmp/filters/Plugin.cpp"
printf '#include <lilv/lilv.h>\n' >"$tmp/ui/windows/Lilv.cpp"

if out=$(python3 "$here/scripts/check-layers.py" "$tmp"); then
  fail "check-layers passed a tree with violations"
fi
for expected in 'dsp/Up.h:1: dsp includes "devices/VirtDevs.h"' 'devices/Qt.cpp:2: devices includes Qt <QWidget>' \
  'engine/Sound.cpp:1: includes <pulse/simple.h>' 'tools/Gui.cpp:1: tools includes "ui/windows/DSPForm.h"' \
  'devices/Graph.cpp:1: includes <pipewire/pipewire.h>; only devices/platform/' \
  'engine/Pod.cpp:2: includes <spa/pod/builder.h>; only devices/platform/' \
  'dsp/Catalogue.cpp:2: dsp includes "filters/Echo.h"' 'filters/Sideways.cpp:2: filters includes "devices/WaveFile.h"' \
  'filters/Plugin.cpp:2: includes <lv2/core/lv2.h>; only the plug-in host' 'ui/windows/Lilv.cpp:1: includes <lilv/lilv.h>'; do
  grep -qF "$expected" <<<"$out" || fail "check-layers did not report: $expected (it said: $out)"
done
grep -q 'Fine.cpp' <<<"$out" && fail "check-layers reported an allowed include: $out"
[ "$(grep -c ':' <<<"$out")" -eq 10 ] || fail "check-layers reported other than the ten violations: $out"
python3 "$here/scripts/check-layers.py" "$here" >/dev/null || fail "check-layers fails on the tree"

cp "$here/.clang-format" "$tmp/"
rm -rf "$tmp/dsp" "$tmp/filters" "$tmp/devices" "$tmp/engine" "$tmp/ui" "$tmp/tools"
mkdir -p "$tmp/filters"
spdx='// SPDX-License-Identifier: GPL-3.0-or-later'
printf '%s\nint f(int x) {\n  if (x) {\n    return 1;\n  }\n  return 0;\n}\n' "$spdx" >"$tmp/filters/Good.cpp"
printf '%s\nint g(int x)  { return x; }\n' "$spdx" >"$tmp/filters/Bad.cpp"
if out=$(bash "$here/scripts/check-format.sh" "$tmp" 2>&1); then
  fail "check-format passed a misformatted file"
fi
grep -q 'filters/Bad.cpp:2:' <<<"$out" || fail "check-format did not name filters/Bad.cpp:2 (it said: $out)"
grep -q 'Good.cpp' <<<"$out" && fail "check-format reported a formatted file: $out"
rm "$tmp/filters/Bad.cpp"
printf 'int h();\n' >"$tmp/filters/Unlicensed.h"
if out=$(bash "$here/scripts/check-format.sh" "$tmp" 2>&1); then
  fail "check-format passed a file without the licence line"
fi
grep -q 'filters/Unlicensed.h:1: error: the first line is not' <<<"$out" || fail "check-format did not name filters/Unlicensed.h:1 (it said: $out)"
bash "$here/scripts/check-format.sh" "$here" >/dev/null || fail "check-format fails on the tree"
echo "planted violations are caught; the tree passes"
