#!/usr/bin/env bash
# scripts/make-deb.sh on the source tree, twice: the first build runs the unit
# tests, the second (DEB_BUILD_OPTIONS=nocheck) runs none; both packages are
# made and lintian (--pedantic) finds no error or warning in them or the
# source; the flasher's package needs no Qt Gui or Widgets and the window's
# does not need the flasher's; the two builds give the same bytes. Then the
# packages' own tests (debian/tests) run on them with autopkgtest.
#
# autopkgtest's null runner INSTALLS corvanel-flash, corvanel and the tests'
# dependencies ON THIS MACHINE, with apt-get and dpkg as root: meant for CI,
# which runs as root on a machine of its own. Elsewhere it takes root or sudo
# without a password, or the test ends there as skipped (77); either package
# that was not installed before is purged again afterwards.
# Skipped (77) without the Debian package tools or the build dependencies.
#   debian_package.sh SOURCE_DIR VERSION
set -euo pipefail
source_dir=$(cd "$1" && pwd)
version=$2
for tool in dpkg-buildpackage dpkg-checkbuilddeps dh dpkg-deb lintian objdump autopkgtest; do
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
as_root=()
purge=()
cleanup() {
  if [ ${#purge[@]} -gt 0 ]; then
    "${as_root[@]}" dpkg --purge "${purge[@]}" >/dev/null || echo "could not purge ${purge[*]}" >&2
  fi
  # autopkgtest's output is root's.
  [ -d "$work/autopkgtest" ] && "${as_root[@]}" rm -rf "$work/autopkgtest"
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# One compile at a time: the other tests run beside this one. The second
# build, in the same folder, takes its objects from ccache where there is one
# (in its usual folder: debhelper gives the build a HOME of its own);
# everything after the compiler runs again. No base folder: ccache would hand
# the compiler relative paths, and the debug information, so the build IDs,
# would differ from a build without ccache.
if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
  CCACHE_DIR=${CCACHE_DIR:-$(ccache -k cache_dir)}
  export CCACHE_DIR
  unset CCACHE_BASEDIR
fi
build() { # NUMBER DEB_BUILD_OPTIONS
  local started=$SECONDS
  DEB_BUILD_OPTIONS=$2 "$source_dir/scripts/make-deb.sh" --output "$work/deb" --jobs 1 \
    >"$work/debs" 2>"$work/make-deb.log" || fail "make-deb.sh failed: $(tail -n 30 "$work/make-deb.log")"
  echo "build $1${2:+ ($2)}: $((SECONDS - started)) s"
}
build 1 ""
# CTest's closing line in the build log: the unit tests ran, and passed.
ran=$(grep -E '^[0-9]+% tests passed, 0 tests failed out of [0-9]+' "$work/deb/build.log") ||
  fail "the package build ran no unit tests (see its log, build.log)"
echo "unit tests in the package build: $ran"
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
  usr/share/metainfo/org.corvanel.Corvanel.metainfo.xml \
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

# The same tree built again, without the tests: the same bytes in every
# package, so the tests change nothing that is shipped.
mkdir "$work/first"
mv "$work/deb"/*.deb "$work/first/"
build 2 nocheck
grep -q 'tests passed' "$work/deb/build.log" && fail "DEB_BUILD_OPTIONS=nocheck ran tests"
for deb in "$work/first"/*.deb; do
  again=$work/deb/$(basename "$deb")
  [ -f "$again" ] || fail "the second build made no $(basename "$deb")"
  cmp -s "$deb" "$again" || fail "$(basename "$deb") differs between two builds (diffoscope shows how)"
done
echo "$(basename "$flash_deb") and $(basename "$window_deb"): lintian clean, reproducible"

# autopkgtest: see the top.
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    as_root=(sudo -n)
  else
    echo "SKIP: the packages were built and checked, but autopkgtest was not run: its null" \
      "runner installs them on this machine and needs root or sudo without a password"
    exit 77
  fi
fi
# One run at a time on a machine, from before the packages are installed
# until this script has purged them (the lock goes with the process).
lockfile=/tmp/corvanel-autopkgtest.lock
{ exec {lock}>>"$lockfile"; } 2>/dev/null || exec {lock}<"$lockfile" # another's file: read it
flock -w 600 "$lock" || fail "another package test has held $lockfile for 10 minutes"
for package in corvanel-flash corvanel; do
  dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null | grep -qx installed || purge+=("$package")
done
started=$SECONDS
status=0
"${as_root[@]}" autopkgtest --output-dir "$work/autopkgtest" --timeout-test 180 \
  "$work/deb/corvanel_$version-1.dsc" "$flash_deb" "$window_deb" -- null \
  >"$work/autopkgtest.log" 2>&1 || status=$?
[ "$status" -eq 0 ] ||
  fail "autopkgtest exited $status: $(tail -n 40 "$work/autopkgtest.log")"
echo "autopkgtest (null runner): $((SECONDS - started)) s"
sed 's/^/  /' "$work/autopkgtest/summary"
