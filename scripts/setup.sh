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
  bubblewrap xdg-dbus-proxy
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgdk-pixbuf-2.0-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-tools
  libx11-dev xvfb xauth dbus-x11 dbus-daemon openssl nginx-light curl hyperfine locales
  elfutils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi

if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Tests run some cases as users of these locales would, once GTK has taken the locale from
# their environment: German (numbers written "1,5") and Turkish ('I' has no single-byte lower
# case). A fresh machine has none but C; localedef warns about some locales' sources even
# when what it writes is usable, so only a locale still missing afterwards is an error.
for name in de_DE tr_TR; do
  if ! locale -a 2>/dev/null | grep -qix "$name.utf-\?8"; then
    $SUDO localedef -i "$name" -f UTF-8 "$name.UTF-8" || true
    if ! locale -a 2>/dev/null | grep -qix "$name.utf-\?8"; then
      echo "setup: could not generate the locale $name.UTF-8" >&2
      exit 1
    fi
  fi
done
