#!/bin/sh
# Starts the corvane bundle installed beside this launcher, at ../lib/corvane/corvane.app.
# Updates replace the bundle while this path stays, so desktop entries and login items
# point here rather than into the bundle.
here=$(dirname "$(readlink -f "$0")")
exec "$here/../lib/corvane/corvane.app/Contents/MacOS/corvane" "$@"
