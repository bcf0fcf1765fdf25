#!/usr/bin/env bash
# Takes the pictures of Kelvo's windows that the README shows, as a user would see them: under Xvfb
# with a window manager (openbox) and a notification area (trayer), over a copy of /usr/share/doc.
# Usage: scripts/screenshots.sh [OUTPUT_DIR]   (default docs/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh xvfb xdotool imagemagick trayer openbox x11-utils
bin="$(pwd)/$(scripts/build.sh | tail -n 1)/bin"
out=$(realpath -m "${1:-docs/screenshots}")
mkdir -p "$out"
exec xvfb-run -a -s "-screen 0 1280x800x24" bash scripts/screenshot-session.sh "$bin" "$out"
