#!/usr/bin/env bash
# scripts/make-deb.sh on this build folder: the package is made, lintian finds
# no error in it, and it holds the programs and their files and depends on the
# Qt libraries they link. Skipped (77) without the Debian package tools.
#   debian_package.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1
build=$2
for tool in cpack dpkg-deb dpkg-shlibdeps lintian; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/install-deps.sh installs it)"
    exit 77
  fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

deb=$("$source_dir/scripts/make-deb.sh" --build-dir "$build" --output "$work" | tail -n 1)
[ -f "$deb" ] || fail "make-deb.sh made no package"

contents=$(dpkg-deb --contents "$deb" | awk '{ print $NF }')
for file in usr/bin/corvanel usr/bin/corvanel-flash usr/bin/corvanel-devsim \
  usr/share/man/man1/corvanel-flash.1.gz usr/share/bash-completion/completions/corvanel-flash \
  usr/share/applications/org.corvanel.Corvanel.desktop \
  usr/share/icons/hicolor/scalable/apps/org.corvanel.Corvanel.svg \
  usr/share/doc/corvanel/copyright usr/share/doc/corvanel/changelog.gz; do
  grep -qx "\./$file" <<<"$contents" || fail "the package has no /$file"
done
depends=$(dpkg-deb --field "$deb" Depends)
for library in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6; do
  grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done
echo "$(basename "$deb"): lintian found no error; Depends: $depends"
