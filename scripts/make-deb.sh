#!/usr/bin/env bash
# Makes the Debian package of Corvanel (CPack's DEB generator) and checks it
# with lintian, which fails the script on any error.
#
#   scripts/make-deb.sh                   release build in build/deb, package in build/deb/
#   scripts/make-deb.sh --build-dir DIR   package a folder configured and built already
#                                         (the install tests package their own build)
#   scripts/make-deb.sh --output DIR      write the .deb into DIR
#
# The package's path is the last line printed.
set -euo pipefail
cd "$(dirname "$0")/.."

build=
output=
while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) build=${2:?--build-dir needs a folder}; shift 2 ;;
    --output) output=${2:?--output needs a folder}; shift 2 ;;
    -h | --help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "make-deb.sh: unknown argument \"$1\"; try --help" >&2; exit 2 ;;
  esac
done

if [ -z "$build" ]; then
  ./scripts/install-deps.sh --packaging
  build=build/deb
  # Debian's own compiler and linker flags (hardening among them); CMake reads
  # them when it configures the folder for the first time.
  eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
  export CXXFLAGS="$CXXFLAGS $CPPFLAGS"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCORVANEL_TESTS=OFF -DCORVANEL_BENCH=OFF >/dev/null
  cmake --build "$build"
fi
if [ ! -f "$build/CPackConfig.cmake" ]; then
  echo "make-deb.sh: $build is no configured build folder (no CPackConfig.cmake)" >&2
  exit 2
fi
for tool in cpack dpkg-shlibdeps lintian; do
  if ! command -v "$tool" >/dev/null; then
    echo "make-deb.sh: $tool is missing; scripts/install-deps.sh --packaging installs it" >&2
    exit 2
  fi
done

output=${output:-$build}
mkdir -p "$output"
output=$(cd "$output" && pwd)
staging=$(mktemp -d "$output/cpack.XXXXXX")
trap 'rm -rf "$staging"' EXIT
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$staging" >"$staging/cpack.log" 2>&1; then
  cat "$staging/cpack.log" >&2
  echo "make-deb.sh: cpack failed" >&2
  exit 1
fi
made=$(find "$staging" -maxdepth 1 -name '*.deb')
deb=$output/$(basename "$made")
mv -f "$made" "$deb"

echo "lintian $deb:" >&2
lintian --fail-on error "$deb" >&2
echo "$deb"
