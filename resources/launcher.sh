#!/bin/sh
# Starts the corvane bundle installed beside this launcher, at ../lib/corvane/corvane.app.
# Updates replace the bundle while this path stays, so desktop entries and login items
# point here rather than into the bundle.
# A link to this file is followed to it; a folder on the way may be a link of the user's (a
# prefix's bin kept with dotfiles, say), and ".." is taken from the path as written, not from
# where that link leads.
self=$0
case $self in */*) ;; *) self=./$self ;; esac
while [ -L "$self" ]; do
  target=$(readlink "$self")
  case $target in /*) self=$target ;; *) self=${self%/*}/$target ;; esac
done
prefix=$(CDPATH='' cd -L "${self%/*}/.." && pwd -L) || exit 1
exec "$prefix/lib/corvane/corvane.app/Contents/MacOS/corvane" "$@"
