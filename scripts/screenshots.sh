#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Retakes the README's screenshots from the real program: sonolab on a private X server with openbox
# (scripts/x-session.sh) and a private PulseAudio server whose null sink plays a sweeping two-tone
# signal, driven with xdotool as a user drives it, grabbed with scrot.
#
#   bash scripts/screenshots.sh [BUILD_DIR]     # default: build (cmake --preset release)
#
# Writes docs/screenshots/device-dialog.png and docs/screenshots/main-window.png: two set-ups on the
# null sink's monitor tiled side by side, both running; the first with a filter and a signal window
# over it, its two gauges beside; the second with a performance window.
#
# The clicks go to fixed places of the windows as Qt's Fusion style lays them out on Xvfb; after a
# change of the windows' layout, look at the pictures and adjust the offsets below.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${1:-build}
OUT=$ROOT/docs/screenshots

if [ -z "${SONOLAB_SCREENSHOTS_INSIDE:-}" ]; then
  for program in sox pulseaudio pactl paplay xdotool scrot xwininfo; do
    if ! command -v "$program" >/dev/null 2>&1; then
      echo "$0: $program is not installed (bash scripts/install-deps.sh)" >&2
      exit 1
    fi
  done
  if [ ! -x "$BUILD/sonolab" ]; then
    echo "$0: $BUILD/sonolab is missing (cmake --preset release && cmake --build --preset release)" >&2
    exit 1
  fi
  exec env SONOLAB_SCREENSHOTS_INSIDE=1 SONOLAB_X_SCREEN=1600x1000x24 bash scripts/x-session.sh bash "$0" "$@"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/sonolab-screenshots.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# A private sound server: the only capture device is the null sink's monitor.
export XDG_RUNTIME_DIR=$work
export PULSE_SERVER=unix:$work/native
pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --realtime=no \
  --load="module-null-sink sink_name=sonolab_null" --load="module-native-protocol-unix socket=$work/native" \
  --log-target=file:"$work/pulseaudio.log" &
pids+=($!)
for _ in $(seq 1 100); do
  pactl info >/dev/null 2>&1 && break
  sleep 0.1
done
sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 3 sine 200-3000 sine 300-5000 vol 0.5 repeat 30
(while paplay --device=sonolab_null "$work/tone.wav"; do :; done) &
pids+=($!)

# The client area of a window, absolute: WX WY WW WH.
origin() {
  local info
  info=$(xwininfo -id "$1")
  WX=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")
  WY=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$info")
  WW=$(sed -n 's/.*Width: *//p' <<<"$info")
  WH=$(sed -n 's/.*Height: *//p' <<<"$info")
}
click() { xdotool mousemove "$1" "$2" click 1; }
double_click() { xdotool mousemove "$1" "$2" click --repeat 2 --delay 80 1; }
settle() { sleep "${1:-0.5}"; }
active_name() { xdotool getwindowname "$(xdotool getactivewindow)"; }
# Waits until the active window's title starts with $1.
wait_active() {
  for _ in $(seq 1 50); do
    case "$(active_name)" in "$1"*) return 0 ;; esac
    sleep 0.1
  done
  echo "$0: no window \"$1\" became active (active: $(active_name))" >&2
  exit 1
}

"$ROOT/$BUILD/sonolab" &
pids+=($!)
main=$(xdotool search --sync --name "Программа цифровой обработки" | head -1)
settle 1
xdotool windowmove "$main" 0 0 windowsize "$main" 1440 860
settle
origin "$main"
MX=$WX
MY=$WY
MENU=19 # the menu bar's height
AREA_W=1440
AREA_H=819 # the child area: the client height less the menu bar and the status bar

# One set-up on the first device input (the null sink's monitor) in table format $1, without outputs; the
# device dialog is grabbed as $2 when given.
set_up() {
  xdotool key --window "$main" ctrl+o
  wait_active "Выбор устройств"
  settle
  local dialog
  dialog=$(xdotool getactivewindow)
  origin "$dialog"
  local DX=$WX DY=$WY
  double_click $((DX + 100)) $((DY + 53)) # input item 1 (after the applications): its parameter dialog
  wait_active "Monitor of Null Output"
  origin "$(xdotool getactivewindow)"
  click $((WX + 100)) $((WY + 80)) # into the format list
  xdotool key Home
  for _ in $(seq 1 "$1"); do
    xdotool key Down
  done
  xdotool key Return # OK
  wait_active "Выбор устройств"
  click $((DX + 35)) $((DY + 144)) # output item 0's check box: no outputs
  settle
  if [ -n "${2:-}" ]; then
    scrot -u -b -o "$2"
  fi
  click $((DX + 346)) $((DY + 20)) # OK (Return in a list opens the item's properties)
  wait_active "Программа цифровой обработки"
  settle 1
}

# A low-pass filter through the filter dialogs (Insert in the filter list): the selection's first
# entry, then the parameter dialog's OK.
add_low_pass() {
  xdotool key Insert
  wait_active "Выбор фильтра"
  settle
  xdotool key Return
  settle
  if active_name | grep -q "^Выбор фильтра"; then
    origin "$(xdotool getactivewindow)"
    double_click $((WX + 60)) $((WY + 22)) # a list without buttons: its first entry
    settle
  fi
  if ! active_name | grep -q "^Программа цифровой обработки"; then
    xdotool key Return
    settle
  fi
  if ! active_name | grep -q "^Программа цифровой обработки"; then
    xdotool key Escape # the filter stays in the chain all the same
    settle
  fi
}

mkdir -p "$OUT"
set_up 31 "$OUT/device-dialog.png" # 44100 Hz, 16 bits, stereo
add_low_pass
set_up 22 # 22050 Hz, 16 bits, mono

# "&Окна" / "Упорядочить по &горизонтали": the two set-ups side by side.
xdotool key alt+Cyrillic_o
settle
xdotool key Cyrillic_ghe
settle

VX=$MX
VY=$((MY + MENU))
COLUMN=$((AREA_W / 2))
click $((VX + 21)) $((VY + 40))          # the first set-up's Play
click $((VX + COLUMN + 22)) $((VY + 40)) # the second's
settle 1
double_click $((VX + 119)) $((VY + AREA_H - 101)) # "Входной сигнал" in the first set-up's tree
settle 1
double_click $((VX + COLUMN + 160)) $((VY + AREA_H - 65)) # "График производительности" in the second's
settle 1

drag() { xdotool mousemove "$1" "$2" mousedown 1 mousemove "$3" "$4" mouseup 1; settle; }
# The performance window opens at the signal window's right: its title dragged to the second column's
# top, its right edge to the left of the second set-up's gauge.
perf_left=$((VX + 403))
drag $((perf_left + 300)) $((VY + 10)) $((VX + COLUMN + 300)) $((VY + 10))
drag $((VX + COLUMN + 700)) $((VY + 300)) $((VX + COLUMN + 650)) $((VY + 300))
# The signal window opened at the child area's top left: its title dragged below the first set-up's
# tool bar and filter list.
drag $((VX + 150)) $((VY + 10)) $((VX + 170)) $((VY + 150))
settle 4 # the displays fill with a few seconds of blocks
scrot -u -b -o "$OUT/main-window.png"
echo "screenshots: $OUT/device-dialog.png $OUT/main-window.png"
