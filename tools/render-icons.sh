#!/usr/bin/env bash
# Renders every toolbar icon source (resources/Icons/src/<key>.svg) to <key>.png at 22 x 22
# and <key>@2x.png at 44 x 44 beside the sources' folder. Needs rsvg-convert (librsvg2-bin).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
icons="$root/resources/Icons"

if ! command -v rsvg-convert >/dev/null; then
  echo "render-icons: rsvg-convert not found (install librsvg2-bin)" >&2
  exit 1
fi

shopt -s nullglob
sources=("$icons"/src/*.svg)
if [ ${#sources[@]} -eq 0 ]; then
  echo "render-icons: no sources in $icons/src" >&2
  exit 1
fi

for svg in "${sources[@]}"; do
  key=$(basename "$svg" .svg)
  rsvg-convert --width 22 --height 22 --format png --output "$icons/$key.png" "$svg"
  rsvg-convert --width 44 --height 44 --format png --output "$icons/$key@2x.png" "$svg"
done
echo "render-icons: ${#sources[@]} icons written to $icons"
