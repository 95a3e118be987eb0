#!/usr/bin/env bash
# Installs every Debian package the shell needs to build, test and benchmark.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git ca-certificates ccache
  clang-format
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libexpat1-dev libglib2.0-dev libplist-dev
  libssl-dev zlib1g-dev libsqlite3-dev
  libcurl4-openssl-dev libsoup-3.0-dev libcpp-httplib-dev libbrotli-dev
  libgtk-3-dev libwebkit2gtk-4.1-dev shared-mime-info
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgdk-pixbuf-2.0-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-tools
  libx11-dev xvfb xauth dbus-x11 dbus-daemon openssl nginx-light curl hyperfine locales
  elfutils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
  else
    SUDO=
  fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
