#!/usr/bin/env bash
# Leaves Kelvo alone on a desktop as a user would, and checks what it did: under Xvfb with a window
# manager (openbox), a notification area (trayer) and a notification service (dunst) on a private
# session bus. Prints one PASS or FAIL line a check and exits 1 when any failed; pictures of what
# the user saw go to OUTPUT_DIR. Takes about three minutes (one check waits for the countdown).
# Usage: scripts/desktop-check.sh [OUTPUT_DIR]   (default /tmp/kelvo-desktop-check)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh xvfb xdotool imagemagick trayer openbox x11-utils dunst e2fsprogs
bin="$(pwd)/$(scripts/build.sh | tail -n 1)/bin"
out=$(realpath -m "${1:-/tmp/kelvo-desktop-check}")
mkdir -p "$out"
exec xvfb-run -a -s "-screen 0 1280x800x24" dbus-run-session -- bash scripts/desktop-check-session.sh "$bin" "$out"
