#!/usr/bin/env bash
# Renders the application icon's PNG sizes from its SVG source into the hicolor theme layout
# under resources/hicolor, where the install rules pick them up, and the tray icon at scale 1
# and 2 beside its source in resources/status. The PNGs are committed, so this runs only after
# an SVG changes. Needs rsvg-convert (librsvg2-bin).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
theme=$root/resources/hicolor
svg=$theme/scalable/apps/corvane.svg
for size in 16 22 24 32 48 64 128 256; do
  mkdir -p "$theme/${size}x${size}/apps"
  rsvg-convert --width "$size" --height "$size" --format png \
    --output "$theme/${size}x${size}/apps/corvane.png" "$svg"
done
status=$root/resources/status/corvane-status
rsvg-convert --width 22 --height 22 --format png --output "$status.png" "$status.svg"
rsvg-convert --width 44 --height 44 --format png --output "$status@2x.png" "$status.svg"
