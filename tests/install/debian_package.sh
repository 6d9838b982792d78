#!/usr/bin/env bash
# scripts/make-deb.sh on the source tree, twice: both packages are made and
# lintian (--pedantic) finds no error or warning in them or the source; the
# flasher's package needs no Qt Gui or Widgets and the window's does not need
# the flasher's; the two builds give the same bytes; and the flasher unpacked
# from its package flashes the simulator unpacked from it, on loopback.
# Skipped (77) without the Debian package tools or the build dependencies.
#   debian_package.sh SOURCE_DIR VERSION
set -euo pipefail
source_dir=$(cd "$1" && pwd)
version=$2
for tool in dpkg-buildpackage dpkg-checkbuilddeps dh dpkg-deb lintian objdump objcopy; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/install-deps.sh --packaging installs it)"
    exit 77
  fi
done
if ! missing=$(dpkg-checkbuilddeps "$source_dir/debian/control" 2>&1); then
  echo "SKIP: $missing (scripts/install-deps.sh --packaging installs them)"
  exit 77
fi
work=$(mktemp -d)
trap 'kill "${devsim_pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
source "$(dirname "${BASH_SOURCE[0]}")/installed_transfer.sh"

# One compile at a time: the other tests run beside this one. The second
# build, in the same folder, takes its objects from ccache where there is one
# (in its usual folder: debhelper gives the build a HOME of its own);
# everything after the compiler runs again.
if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
  CCACHE_DIR=${CCACHE_DIR:-$(ccache -k cache_dir)}
  export CCACHE_DIR
fi
build() {
  local started=$SECONDS
  "$source_dir/scripts/make-deb.sh" --output "$work/deb" --jobs 1 >"$work/debs" 2>"$work/make-deb.log" ||
    fail "make-deb.sh failed: $(tail -n 30 "$work/make-deb.log")"
  echo "build $1: $((SECONDS - started)) s"
}
build 1
flash_deb=$(grep '/corvanel-flash_[^/]*\.deb$' "$work/debs") || fail "no corvanel-flash package"
window_deb=$(grep '/corvanel_[^/]*\.deb$' "$work/debs") || fail "no corvanel package"
echo "lintian's remaining tags: $(grep -E '^[EWIPX]: ' "$work/make-deb.log" | tr '\n' ';')"

for deb in "$flash_deb" "$window_deb"; do
  got=$(dpkg-deb --field "$deb" Version)
  [ "$got" = "$version-1" ] || fail "$(basename "$deb") has version $got, not $version-1"
done
contains() { # DEB FILE...: each file is in the package
  local deb=$1 contents
  shift
  contents=$(dpkg-deb --contents "$deb" | awk '{ print $NF }')
  for file in "$@"; do
    grep -qx "\./$file" <<<"$contents" || fail "$(basename "$deb") has no /$file"
  done
}
contains "$flash_deb" usr/bin/corvanel-flash usr/bin/corvanel-devsim \
  usr/share/man/man1/corvanel-flash.1.gz usr/share/man/man1/corvanel-devsim.1.gz \
  usr/share/bash-completion/completions/corvanel-flash \
  usr/share/bash-completion/completions/corvanel-devsim \
  usr/share/zsh/vendor-completions/_corvanel-flash usr/share/zsh/vendor-completions/_corvanel-devsim \
  usr/share/fish/vendor_completions.d/corvanel-flash.fish \
  usr/share/fish/vendor_completions.d/corvanel-devsim.fish \
  usr/share/doc/corvanel-flash/copyright usr/share/doc/corvanel-flash/changelog.Debian.gz
contains "$window_deb" usr/bin/corvanel usr/share/man/man1/corvanel.1.gz \
  usr/share/applications/org.corvanel.Corvanel.desktop \
  usr/share/icons/hicolor/48x48/apps/org.corvanel.Corvanel.png \
  usr/share/icons/hicolor/scalable/apps/org.corvanel.Corvanel.svg \
  usr/share/doc/corvanel/copyright
grep -q '^License: Expat' <(dpkg-deb --fsys-tarfile "$flash_deb" |
  tar -xO ./usr/share/doc/corvanel-flash/copyright) || fail "the copyright file names no MIT (Expat) licence"

# Dependencies: the flasher's package and programs stay clear of Qt's GUI;
# the window suggests Wayland's platform plugin and needs no flasher.
flash_depends=$(dpkg-deb --field "$flash_deb" Depends)
for library in libqt6core6 libqt6network6; do
  grep -q "$library" <<<"$flash_depends" || fail "corvanel-flash's Depends lacks $library: $flash_depends"
done
grep -qE 'libqt6(gui|widgets)' <<<"$flash_depends" &&
  fail "corvanel-flash depends on Qt's GUI: $flash_depends"
window_depends=$(dpkg-deb --field "$window_deb" Depends)
grep -q libqt6widgets6 <<<"$window_depends" || fail "corvanel's Depends lacks Qt Widgets: $window_depends"
grep -q corvanel-flash <<<"$window_depends" && fail "corvanel depends on corvanel-flash: $window_depends"
grep -q qt6-wayland <<<"$(dpkg-deb --field "$window_deb" Suggests)" || fail "corvanel suggests no qt6-wayland"
[ -z "$(dpkg-deb --field "$window_deb" Recommends)" ] || fail "corvanel recommends something"

root=$work/root
dpkg-deb -x "$flash_deb" "$root"
dpkg-deb -x "$window_deb" "$root"
bin=$root/usr/bin
for program in corvanel-flash corvanel-devsim; do
  if objdump -p "$bin/$program" | grep -E 'NEEDED +libQt6(Gui|Widgets)'; then
    fail "$program links Qt Gui or Widgets"
  fi
  got=$("$bin/$program" --version)
  [ "$got" = "$program $version" ] || fail "$program --version printed \"$got\""
done

# A transfer: the simulator exits 0 only after a complete, verified image.
installed_transfer "$bin" "$work"

# The same tree built again: the same bytes in every package.
mkdir "$work/first"
mv "$work/deb"/*.deb "$work/first/"
build 2
for deb in "$work/first"/*.deb; do
  again=$work/deb/$(basename "$deb")
  [ -f "$again" ] || fail "the second build made no $(basename "$deb")"
  cmp -s "$deb" "$again" || fail "$(basename "$deb") differs between two builds (diffoscope shows how)"
done
echo "$(basename "$flash_deb") and $(basename "$window_deb"): lintian clean, transfer done, reproducible"
