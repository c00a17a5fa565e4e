#!/usr/bin/env bash
# Renders the application icon's PNG sizes from its SVG source into the hicolor theme layout
# under resources/hicolor, where the install rules pick them up. The PNGs are committed, so
# this runs only after the SVG changes. Needs rsvg-convert (librsvg2-bin).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
theme=$root/resources/hicolor
svg=$theme/scalable/apps/corvane.svg
for size in 16 22 24 32 48 64 128 256; do
  mkdir -p "$theme/${size}x${size}/apps"
  rsvg-convert --width "$size" --height "$size" --format png \
    --output "$theme/${size}x${size}/apps/corvane.png" "$svg"
done
