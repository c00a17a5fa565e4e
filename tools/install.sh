#!/usr/bin/env bash
# Builds corvane and installs it for the current user under ~/.local, without root: the
# bundle in lib/corvane, the launcher bin/corvane, the menu entry, the icon and the
# AppStream data. A new install first removes the previous one.
#   bash tools/install.sh              set up, build into build/ and install
#   bash tools/install.sh --uninstall  remove exactly what the last install wrote, and the
#                                      user's login item when it starts that launcher
# Options: --prefix DIR instead of ~/.local; --build-dir DIR installs what is already built
# there, without setting up or building.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=$HOME/.local
build=
uninstall=false
while [ $# -gt 0 ]; do
  case $1 in
    --prefix) prefix=$2; shift 2 ;;
    --build-dir) build=$2; shift 2 ;;
    --uninstall) uninstall=true; shift ;;
    *) echo "install: unknown option $1 (see the top of $0)" >&2; exit 2 ;;
  esac
done
prefix=$(realpath -m "$prefix")
# One line per installed file ("f PATH") and per folder the install created ("d PATH"),
# relative to the prefix.
record=$prefix/lib/corvane/installed-files

remove_installed() {
  [ -f "$record" ] || return 0
  local kind path lines dirs=()
  mapfile -t lines < "$record"
  for line in "${lines[@]}"; do
    read -r kind path <<< "$line"
    if [ "$kind" = f ]; then rm -f "$prefix/$path"; else dirs+=("$path"); fi
  done
  # The updater swaps the bundle as a whole, keeps the replaced one beside it and, when it
  # was ended mid-copy, leaves the partial copy until the next start.
  rm -rf "$prefix/lib/corvane/corvane.app" "$prefix/lib/corvane/corvane.app.old" \
    "$prefix/lib/corvane/corvane.app.partial-"*
  rm -f "$record"
  # Deepest first, and only when nothing else has been put there since, nor a link of the
  # user's in its place.
  while IFS= read -r path; do
    if [ -n "$path" ] && [ -d "$prefix/$path" ] && [ ! -L "$prefix/$path" ]; then
      rmdir --ignore-fail-on-non-empty "$prefix/$path"
    fi
  done < <(printf '%s\n' "${dirs[@]}" | sort -r)
}

# The login item's Exec line as the application writes it for a launcher: one quoted argument,
# with " ` $ \ escaped and % doubled, and the backslashes of those escapes doubled again.
login_item_exec() {
  printf 'Exec="%s"\n' "$(printf '%s' "$1" | sed -e 's/\\/\\\\\\\\/g' -e 's/["`$]/\\\\&/g' -e 's/%/%%/g')"
}

if $uninstall; then
  [ -f "$record" ] || { echo "install: nothing installed under $prefix"; exit 0; }
  remove_installed
  login_item=${XDG_CONFIG_HOME:-$HOME/.config}/autostart/corvane.desktop
  if [ -f "$login_item" ] && grep -qxF "$(login_item_exec "$prefix/bin/corvane")" "$login_item"; then
    rm -f "$login_item"
  fi
  echo "install: removed corvane from $prefix"
  exit 0
fi

if [ -z "$build" ]; then
  bash "$root/tools/setup.sh"
  build=$root/build
  bash "$root/tools/build.sh" "$build" -- corvane
fi
# Staged first, so that a build that cannot be installed leaves the previous install in place,
# and so that the record can name the folders that do not exist yet.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" --prefix "$prefix" > /dev/null
# What would stop the copy partway stops the install here instead, with the previous one still
# whole: a file or a dangling link where a folder goes, a folder where a file goes (the copy
# would land inside it), or too little room.
nearest() { # the path itself or its nearest ancestor that is there, link or not
  local at=$1
  while [ ! -e "$at" ] && [ ! -L "$at" ]; do at=$(dirname "$at"); done
  echo "$at"
}
while read -r dir; do
  at=$(nearest "$prefix/$dir")
  [ -d "$at" ] || { echo "install: $at is in the way of the folder $prefix/$dir" >&2; exit 1; }
done < <(cd "$stage$prefix" && find . -mindepth 1 -type d -printf '%P\n')
while read -r file; do
  if [ -d "$prefix/$file" ] && [ ! -L "$prefix/$file" ]; then
    echo "install: the folder $prefix/$file is in the way of a file" >&2
    exit 1
  fi
done < <(cd "$stage$prefix" && find . ! -type d -printf '%P\n')
need=$(du -sk "$stage$prefix" | cut -f1)
old=$(du -sk "$prefix/lib/corvane" 2> /dev/null | cut -f1) || old=0
free=$(df -Pk "$(nearest "$prefix")" | awk 'NR == 2 {print $4}')
[ "$need" -le $((free + ${old:-0})) ] ||
  { echo "install: $need KiB needed under $prefix, $free KiB free" >&2; exit 1; }
remove_installed
{
  (cd "$stage$prefix" && find . -mindepth 1 -type d -printf '%P\n') | while read -r dir; do
    [ -e "$prefix/$dir" ] || echo "d $dir"
  done
  (cd "$stage$prefix" && find . ! -type d -printf 'f %P\n' | sort)
} > "$stage/record"
# The record comes first, so that an install that fails partway (a full disk, a dangling link
# where a folder goes) can still be uninstalled.
mkdir -p "$(dirname "$record")"
cp "$stage/record" "$record"
# File by file: a folder of the prefix may be a link of the user's (to a dotfiles folder, say),
# which is followed, while a file found there that is a link (to a build of the user's, say) is
# replaced, not written through.
while read -r kind path; do
  [ "$kind" = f ] || continue
  mkdir -p "$(dirname "$prefix/$path")"
  cp -a --remove-destination "$stage$prefix/$path" "$prefix/$path"
done < "$stage/record"
echo "install: corvane installed under $prefix; start it with $prefix/bin/corvane"
case ":$PATH:" in
  *":$prefix/bin:"*) ;;
  *) echo "install: $prefix/bin is not on PATH; the menu entry works without it" ;;
esac
