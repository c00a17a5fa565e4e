#!/usr/bin/env bash
# Builds the Debian package build/corvane_<version>_amd64.deb, which installs under /usr and
# declares the libraries the executable links as dependencies.
# Usage: bash tools/package.sh [cmake options], for example -DCORVANE_VERSION=1.4.0
#        -DCORVANE_SERVER_URL=https://example.org -DCORVANE_CHANNEL=production.
# CORVANE_BUILD_DIR names another build folder than build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${CORVANE_BUILD_DIR:-$root/build}")
bash "$root/tools/setup.sh"
# The release's values are the ones given here or the defaults, never what the build folder kept
# from an earlier run; build.sh applies options only when it configures a new folder.
release=(-UCORVANE_VERSION -UCORVANE_SERVER_URL -UCORVANE_CHANNEL -UCORVANE_UPDATE_KEY "$@")
if [ -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" "${release[@]}" > /dev/null
fi
bash "$root/tools/build.sh" "$build" "$@" -- corvane
(cd "$build" && cpack --config CPackConfig.cmake -B "$build")
rm -rf "$build/_CPack_Packages"
