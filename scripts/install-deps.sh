#!/usr/bin/env bash
# Installs the Debian packages that building and testing Kelvo needs, when any is missing.
set -euo pipefail

# xvfb, xauth: the screen saver's test inside another program's window; dbus: the session tests.
packages=(g++ cmake ninja-build pkg-config qt6-base-dev libxcb1-dev libgtest-dev libgmock-dev util-linux
    xvfb xauth dbus "$@")
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
