#!/bin/sh
# Renders the PNGs that Kelvo loads and installs from their SVG sources (the program has no SVG
# support at run time, so the PNGs are committed). Needs rsvg-convert (librsvg2-bin) and, for the
# close symbol, ImageMagick's convert. Run from anywhere; it writes next to the sources in data/.
set -eu
here=$(cd "$(dirname "$0")/../data" && pwd)

for size in 16 32 48 64 128 256; do
    source="$here/icons/kelvo.svg"
    # The 16 px icon has its own source, drawn on whole pixels.
    [ "$size" = 16 ] && source="$here/icons/kelvo-16.svg"
    mkdir -p "$here/icons/hicolor/${size}x${size}/apps"
    rsvg-convert -w "$size" -h "$size" "$source" -o "$here/icons/hicolor/${size}x${size}/apps/kelvo.png"
done
mkdir -p "$here/icons/hicolor/scalable/apps"
cp "$here/icons/kelvo.svg" "$here/icons/hicolor/scalable/apps/kelvo.svg"

for button in edit-sets settings run-now logfile help exit add properties remove move-down move-up about restore; do
    rsvg-convert -w 32 -h 32 "$here/toolbar/$button.svg" -o "$here/toolbar/$button.png"
done
# -strip keeps the file free of time stamps, so an unchanged picture renders to the same bytes.
convert "$here/toolbar/close-panel.xpm" -strip "$here/toolbar/close-panel.png"
