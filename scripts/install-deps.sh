#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Quiet and quick when everything is already present.
set -euo pipefail

# dunst is there as on a desktop with a notification daemon: the tests must pass beside one.
packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6svg6 qt6-svg-dev
  libcurl4-openssl-dev libssl-dev libicu-dev libxcb1-dev
  libbenchmark-dev clang-format libcanberra-dev libcanberra0 libcanberra-pulse sound-theme-freedesktop
  locales ca-certificates openssl nodejs curl aria2 yt-dlp ffmpeg python3-venv xdg-utils dbus-daemon
  xvfb xauth xdotool x11-utils openbox fonts-inter fonts-dejavu-core dunst chromium
  dpkg-dev desktop-file-utils appstream qt6-qpa-plugins
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# npm ships inside some nodejs builds; Debian's own nodejs needs the separate package.
if ! command -v npm >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends npm >/dev/null
fi

# Tests and the collator need a real UTF-8 English locale; C.UTF-8 ignores numeric collation.
if ! locale -a 2>/dev/null | grep -qi '^en_US\.utf-\?8$'; then
  echo "Generating the en_US.UTF-8 locale"
  if ! grep -q '^en_US.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
    echo 'en_US.UTF-8 UTF-8' | "${sudo_cmd[@]}" tee -a /etc/locale.gen >/dev/null
  fi
  "${sudo_cmd[@]}" locale-gen >/dev/null
fi

# The icon set comes from the npm registry, pinned by package-lock.json.
cd "$(dirname "$0")/.."
if [ ! -d node_modules/lucide-static ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
  echo "Installing the icon set"
  npm ci --no-audit --no-fund --loglevel=error >/dev/null
fi
