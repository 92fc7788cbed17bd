#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Tries the README's two set-up commands as a new user would, on a minimal Debian 12 made for the purpose:
# debootstrap into a folder, a chroot with proc, sys, dev, /run and /dev/shm, the repository cloned under
# /root (mode 700), then
#   1. the README's first command (install, build and start the program), on an X server of this machine:
#      the program's main window must be open 20 s after the build, and is then closed;
#   2. the README's second command (install, build and pass every test).
# Each command is taken from the README as it is written and run unchanged. Not part of CI: it downloads a
# system and builds everything twice (an hour or more on two cores). Needs root, debootstrap and Xvfb.
#
#   bash scripts/fresh-machine.sh [ROOTFS]      (default /var/tmp/sonolab-fresh, made anew each time)
#
# Prints the result of each command and exits 0 only when both passed. The logs stay in ROOTFS.log/.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
rootfs=${1:-/var/tmp/sonolab-fresh}
logs=$rootfs.log
mirror=${SONOLAB_DEBIAN_MIRROR:-http://deb.debian.org/debian}

if [ "$(id -u)" -ne 0 ]; then
  echo "$0: run as root (debootstrap and chroot need it)" >&2
  exit 2
fi
for program in debootstrap Xvfb xdotool git; do
  if ! command -v "$program" >/dev/null 2>&1; then
    echo "$0: $program is not installed" >&2
    exit 2
  fi
done

# The README's two commands: the lines of its first shell block that are not comments.
mapfile -t commands < <(awk '/^```sh$/ { inside = 1; next } inside && /^```$/ { exit } inside && !/^#/ && NF' \
  "$here/README.md")
if [ "${#commands[@]}" -ne 2 ]; then
  echo "$0: the README's first shell block holds ${#commands[@]} commands, not two" >&2
  exit 2
fi

mounted=()
xvfb=""
cleanup() {
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  # Whatever the tests left running inside holds the mounts: end it first.
  if [ -d "$rootfs/proc" ]; then
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
      if [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$rootfs" ]; then
        kill -9 "$pid" 2>/dev/null || true
      fi
    done
  fi
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -l "${mounted[$i]}" 2>/dev/null || true
  done
}
trap cleanup EXIT

mount_in() { # type-or-bind source target [options]
  mkdir -p "$3"
  if [ "$1" = bind ]; then
    mount --bind "$2" "$3"
  else
    mount -t "$1" ${4:+-o "$4"} "$2" "$3"
  fi
  mounted+=("$3")
}

rm -rf "$rootfs" "$logs"
mkdir -p "$logs"
echo "== debootstrap bookworm into $rootfs"
debootstrap --variant=minbase bookworm "$rootfs" "$mirror" >"$logs/debootstrap.log" 2>&1
cp /etc/resolv.conf "$rootfs/etc/resolv.conf"
mount_in proc proc "$rootfs/proc"
mount_in sysfs sysfs "$rootfs/sys"
mount_in bind /dev "$rootfs/dev"
mount_in devpts devpts "$rootfs/dev/pts" gid=5,mode=620,ptmxmode=666,newinstance
mount_in tmpfs tmpfs "$rootfs/run" mode=755
mount_in tmpfs tmpfs "$rootfs/dev/shm" mode=1777
mount_in tmpfs tmpfs "$rootfs/tmp" mode=1777

echo "== clone under /root"
chmod 700 "$rootfs/root"
git clone -q --no-hardlinks "$here" "$rootfs/root/sonolab"

inside() { # command line, run in the clone as a new root login would
  chroot "$rootfs" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@" \
    /bin/bash -c "cd /root/sonolab && $command"
}

# 1: the program on an X server of this machine, whose socket the chroot shares.
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >"$logs/xvfb.log" 2>&1 &
xvfb=$!
sleep 1
mount_in bind /tmp/.X11-unix "$rootfs/tmp/.X11-unix"
command=${commands[0]}
echo "== 1: $command"
first=failed
inside DISPLAY="$display" >"$logs/first.log" 2>&1 &
runner=$!
window=""
for _ in $(seq 1 3600); do
  if ! kill -0 "$runner" 2>/dev/null; then
    break
  fi
  if window=$(DISPLAY=$display xdotool search --name '^Программа цифровой обработки' 2>/dev/null | head -n 1) && [ -n "$window" ]; then
    break
  fi
  sleep 1
done
if [ -n "$window" ]; then
  sleep 20
  if kill -0 "$runner" 2>/dev/null && DISPLAY=$display xdotool search --name '^Программа цифровой обработки' >/dev/null 2>&1; then
    first=passed
  fi
  DISPLAY=$display xdotool windowclose "$window" 2>/dev/null || true
fi
sleep 2
kill "$runner" 2>/dev/null || true
wait "$runner" 2>/dev/null || true
echo "   $first (the main window $([ "$first" = passed ] && echo "stayed open" || echo "did not stay open")); log: $logs/first.log"

# 2: every test.
command=${commands[1]}
echo "== 2: $command"
second=failed
if inside >"$logs/second.log" 2>&1; then
  second=passed
fi
echo "   $second; log: $logs/second.log"
tail -n 5 "$logs/second.log" | sed 's/^/   | /'

[ "$first" = passed ] && [ "$second" = passed ]
