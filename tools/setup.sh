#!/usr/bin/env bash
# Installs every Debian package that building and running corvane needs; with --tests also the
# test desktops and tools, and the account the Wayland test desktop runs as.
# Idempotent: packages already present are left alone, and the package lists are
# refreshed at most once per run (and only when something is missing).
set -euo pipefail

packages=(
  g++ cmake ninja-build ccache pkg-config
  qt6-base-dev qt6-base-private-dev qt6-base-dev-tools qt6-image-formats-plugins qt6-translations-l10n
  libarchive-dev libssl-dev openssl libxcb1-dev libxcb-shm0-dev libxkbcommon-dev
  libxcb-damage0-dev libxcb-res0-dev libxcb-render0-dev
  libbenchmark-dev libpng-dev libdeflate-dev libspng-dev
  fonts-noto-cjk qt6-wayland libwayland-dev plasma-wayland-protocols
  dpkg-dev file zip unzip
)
tests=false
[ "${1:-}" = --tests ] && tests=true
$tests && packages+=(
  clang-format xvfb openbox trayer xdotool xclip x11-utils x11-xserver-utils
  imagemagick curl python3 libglib2.0-bin desktop-file-utils appstream librsvg2-bin
  sway xdg-desktop-portal xdg-desktop-portal-wlr
  xdg-desktop-portal-gtk grim pipewire wireplumber wtype wl-clipboard dbus procps wev
  gnome-shell mutter xdg-desktop-portal-gnome gnome-shell-extension-appindicator python3-gi
  # The headless KDE Plasma test desktop: KWin, its portal (which needs plasma-workspace, also
  # for kded5's tray watcher), and kscreen-doctor with the Qt 5 Wayland platform it talks to
  # KWin through.
  kwin-wayland xdg-desktop-portal-kde plasma-workspace libkf5screen-bin qtwayland5
  # KDE's global shortcut service, run alone on a private bus by the hotkey tests.
  libkf5globalaccel-bin
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  echo "setup: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The headless Wayland desktop of the end-to-end tests runs as this user: sway refuses root.
if $tests && ! getent passwd corvane-desktop >/dev/null; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" useradd --system --no-create-home --home-dir /nonexistent \
    --shell /usr/sbin/nologin corvane-desktop
fi
