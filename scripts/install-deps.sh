#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the demo need, skipping what
# is already there. Runs apt-get as root or through sudo.
#   install-deps.sh [--packaging] [PACKAGE...]
# --packaging adds what the installation and package tests and
# scripts/make-deb.sh need: the package tools (dpkg-buildpackage, debhelper),
# debian/control's Build-Depends, lintian, the desktop entry and AppStream
# checks, bash's completion helpers, zsh and fish (their completion is tested
# too), ccache for the package test's second build, autopkgtest and what
# debian/tests/control's tests depend on (a virtual X display, python3-xlib);
# what the image tests compare with: objcopy for every architecture and
# srecord's srec_cat; and chromium, in which the shift page's test
# (test_shift_page) and scripts/shift-report-screenshot.sh look at the page.
# Further names are installed too.
set -euo pipefail

packages=(cmake ninja-build g++ qt6-base-dev zlib1g-dev binutils fonts-dejavu-core)
if [ "${1:-}" = "--packaging" ]; then
  shift
  packages+=(dpkg-dev debhelper zlib1g-dev xz-utils file lintian desktop-file-utils appstream
    bash-completion zsh fish ccache)
  packages+=(autopkgtest xvfb xauth python3 python3-xlib)
  packages+=(binutils-multiarch srecord chromium)
fi
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  sudo_cmd=()
elif command -v sudo >/dev/null 2>&1; then
  sudo_cmd=(sudo)
else
  echo "These packages are missing and there is neither root nor sudo to install them: ${missing[*]}" >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
