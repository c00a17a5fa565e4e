#!/usr/bin/env bash
# Installs a build for a user (tools/install.sh, into WORK/user) and as its extracted Debian
# package (WORK/root); checks every file, the entries, the dependencies and the uninstall.
# Usage: installed_files.sh BUILD_DIR WORK
set -euxo pipefail
build=$1 work=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
app=lib/corvane/corvane.app
bash "$root/tools/install.sh" --prefix "$work/user" --build-dir "$build"
cpack --config "$build/CPackConfig.cmake" -B "$work/deb" > /dev/null
version=$(dpkg-deb --field "$work"/deb/*.deb Version)
deb=$work/deb/corvane_${version}_amd64.deb
dpkg-deb --field "$deb" Depends | grep 'libqt6widgets6' | grep 'libxcb1' |
  grep 'qt6-image-formats-plugins' | grep -q 'qt6-wayland'
apt-get install --simulate "$deb" > /dev/null
dpkg-deb -x "$deb" "$work/root"

check() { # PREFIX, where it runs from, the file only this kind of install has
  diff <(cd "$1" && find . -type f -printf '%P\n' | sort) <({
    printf '%s\n' bin/corvane "$3" $app/Contents/MacOS/corvane $app/Contents/Info.plist \
      share/applications/corvane.desktop share/applications/corvane-kwin-screenshots.desktop \
      share/metainfo/org.example.corvane.metainfo.xml \
      share/icons/hicolor/scalable/apps/corvane.svg
    (cd "$build/corvane.app" && find Contents/Resources -type f -printf "$app/%p\n")
    for size in 16 22 24 32 48 64 128 256; do
      file "$1/share/icons/hicolor/${size}x$size/apps/corvane.png" | grep -q "$size x $size,"
      echo "share/icons/hicolor/${size}x$size/apps/corvane.png"
    done
  } | sort)
  grep -qx "Exec=$2/bin/corvane" "$1/share/applications/corvane.desktop"
  grep -qx "Exec=$2/bin/corvane --settings" "$1/share/applications/corvane.desktop"
  desktop-file-validate "$1/share/applications/corvane.desktop"
  kwin=$1/share/applications/corvane-kwin-screenshots.desktop
  grep -qx "Exec=$2/$app/Contents/MacOS/corvane" "$kwin"
  desktop-file-validate "$kwin"
  appstreamcli validate --no-net "$1/share/metainfo/org.example.corvane.metainfo.xml"
  # Neither option needs a display.
  env -u DISPLAY "$1/bin/corvane" --version | grep -q "^corvane $version\b"
  env -u DISPLAY "$1/bin/corvane" --help | grep -q '^사용법: corvane'
}
check "$work/user" "$work/user" lib/corvane/installed-files
check "$work/root/usr" /usr $app/Contents/Resources/package-managed
# Without a display it says that it needs one.
status=0
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$work/user/bin/corvane" 2> "$work/err" ||
  status=$?
[ $status = 1 ]
grep -q X11 "$work/err"
# So it does for a display Qt's own option names.
status=0
"$work/user/bin/corvane" -display :3131 2> "$work/err" || status=$?
[ $status = 1 ]
grep -q "DISPLAY=:3131" "$work/err"

# A second install replaces the first, under a prefix whose path the entries must quote, and a
# link to a file found there is replaced rather than written through, while folders the user
# made links meanwhile are followed (the launcher in a linked bin still finds the bundle); a
# build that cannot be installed leaves it in place. Uninstalling keeps what was there before,
# but neither the login item that starts the launcher it removes nor what an update ended
# mid-copy left.
again="$work/again %c"
mkdir -p "$again/share/applications/other" "$again/bin" "$work/config/autostart"
echo mine > "$work/mine" && ln -s "$work/mine" "$again/bin/corvane"
bash "$root/tools/install.sh" --prefix "$again" --build-dir "$build"
mv "$again/share/metainfo" "$work/metainfo" && ln -s "$work/metainfo" "$again/share/metainfo"
mv "$again/bin" "$work/bin" && ln -s "$work/bin" "$again/bin"
bash "$root/tools/install.sh" --prefix "$again" --build-dir "$build"
env -u DISPLAY "$again/bin/corvane" --version | grep -q "^corvane $version\b"
[ -f "$work/metainfo/org.example.corvane.metainfo.xml" ]
if bash "$root/tools/install.sh" --prefix "$again" --build-dir "$work/deb"; then false; fi
[ "$(cat "$work/mine")" = mine ] && [ -x "$again/bin/corvane" ]
grep -qxF "Exec=\"$work/again %%c/bin/corvane\"" "$again/share/applications/corvane.desktop"
desktop-file-validate "$again/share/applications/corvane.desktop"
mkdir "$again/$app.partial-new"
printf '[Desktop Entry]\nExec="%s/bin/corvane"\n' "$work/again %%c" > "$work/config/autostart/corvane.desktop"
XDG_CONFIG_HOME=$work/config bash "$root/tools/install.sh" --prefix "$again" --uninstall
[ ! -e "$work/config/autostart/corvane.desktop" ]
[ "$(cd "$again" && find . -mindepth 1 | sort | xargs)" = \
  "./bin ./share ./share/applications ./share/applications/other ./share/metainfo" ]
[ -z "$(ls -A "$work/metainfo")" ]
# An install stopped by a dangling link where the icons' folder goes leaves the previous one
# whole, which is then uninstalled; one stopped by a folder where the launcher goes installs
# nothing.
mkdir -p "$work/in the way/bin/corvane"
if bash "$root/tools/install.sh" --prefix "$work/in the way" --build-dir "$build"; then false; fi
[ ! -e "$work/in the way/lib" ]
fails=$work/fails
mkdir -p "$fails/share"
bash "$root/tools/install.sh" --prefix "$fails" --build-dir "$build"
rm -r "$fails/share/icons" && ln -s "$work/gone" "$fails/share/icons"
if bash "$root/tools/install.sh" --prefix "$fails" --build-dir "$build"; then false; fi
[ -f "$fails/share/metainfo/org.example.corvane.metainfo.xml" ]
rm "$fails/share/icons"
bash "$root/tools/install.sh" --prefix "$fails" --uninstall
[ "$(cd "$fails" && find . -mindepth 1)" = ./share ]
