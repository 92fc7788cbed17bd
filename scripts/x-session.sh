#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a command on a private X server (Xvfb) with a light window manager (openbox), as a desktop
# would run it: windows get focus, modality and activation from the window manager. The server and
# the manager are stopped when the command ends; its exit status is the command's.
#
#   bash scripts/x-session.sh COMMAND [ARGS...]
#
# The screen is 1280 x 1024 at 24 bits (SONOLAB_X_SCREEN overrides). QT_QPA_PLATFORM is set to xcb.
set -euo pipefail

if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARGS...]" >&2
  exit 2
fi
for program in xvfb-run openbox; do
  if ! command -v "$program" >/dev/null 2>&1; then
    echo "$0: $program is not installed (bash scripts/install-deps.sh)" >&2
    exit 1
  fi
done

if [ -z "${SONOLAB_X_SESSION_INSIDE:-}" ]; then
  # xvfb-run picks a free display number and its own authority file, then runs this script again.
  exec env SONOLAB_X_SESSION_INSIDE=1 xvfb-run -a -s "-screen 0 ${SONOLAB_X_SCREEN:-1280x1024x24} -nolisten tcp" \
    bash "$0" "$@"
fi

ready=$(mktemp)
rm -f "$ready"
openbox --startup "touch $ready" >/dev/null 2>&1 &
wm=$!
trap 'kill "$wm" 2>/dev/null || true; wait "$wm" 2>/dev/null || true; rm -f "$ready"' EXIT
for _ in $(seq 1 100); do
  [ -e "$ready" ] && break
  if ! kill -0 "$wm" 2>/dev/null; then
    echo "$0: openbox did not start" >&2
    exit 1
  fi
  sleep 0.1
done
if [ ! -e "$ready" ]; then
  echo "$0: openbox did not get ready within 10 s" >&2
  exit 1
fi

export QT_QPA_PLATFORM=xcb
status=0
"$@" || status=$?
exit "$status"
