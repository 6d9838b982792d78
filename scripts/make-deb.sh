#!/usr/bin/env bash
# Makes Corvanel's Debian packages from debian/ with dpkg-buildpackage and
# checks them with lintian: corvanel-flash (flasher and simulator) and
# corvanel (the window), their debug symbols, and the source package.
#
#   scripts/make-deb.sh                 packages in build/deb/
#   scripts/make-deb.sh --output DIR    packages in DIR (built in DIR/work)
#   scripts/make-deb.sh --jobs N        compile N at a time (default:
#                                       CMAKE_BUILD_PARALLEL_LEVEL, else the cores)
#
# The tree as it is (tracked and untracked files, not ignored ones) is copied
# to DIR/work/corvanel-VERSION, with an upstream tarball made from it, so
# that nothing is written next to the source tree. The packages' version is
# debian/changelog's; its upstream part must be the project's version. Set
# CORVANEL_MAINTAINER="Name <address>" to name another maintainer in the
# binary packages. The build runs the unit tests; DEB_BUILD_OPTIONS=nocheck
# skips them. lintian (--pedantic) fails the script on any error or warning.
# The last lines printed are the paths of the two packages.
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD

output=build/deb
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 1)}
while [ $# -gt 0 ]; do
  case $1 in
    --output) output=${2:?--output needs a folder}; shift 2 ;;
    --jobs) jobs=${2:?--jobs needs a number}; shift 2 ;;
    -h | --help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "make-deb.sh: unknown argument \"$1\"; try --help" >&2; exit 2 ;;
  esac
done
case $jobs in '' | *[!0-9]* | 0) echo "make-deb.sh: --jobs (or CMAKE_BUILD_PARALLEL_LEVEL) needs a number above 0" >&2; exit 2 ;; esac

./scripts/install-deps.sh --packaging
for tool in dpkg-buildpackage dpkg-parsechangelog dh lintian; do
  if ! command -v "$tool" >/dev/null; then
    echo "make-deb.sh: $tool is missing; scripts/install-deps.sh --packaging installs it" >&2
    exit 2
  fi
done

name=$(dpkg-parsechangelog -l debian/changelog -S Source)
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
upstream=${version%-*}
epoch=$(dpkg-parsechangelog -l debian/changelog -S Timestamp)
arch=$(dpkg-architecture -q DEB_HOST_ARCH)

mkdir -p "$output"
output=$(cd "$output" && pwd)
work=$output/work
tree=$work/$name-$upstream
rm -rf "$work"
mkdir -p "$tree"
trap 'rm -rf "$work"' EXIT

# The files of the tree: git's list where there is one (the files as they are
# now, edits included), otherwise everything but build folders.
files=$work/files
if git -C "$source" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$source" ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do
      [ -e "$file" ] && printf '%s\0' "$file"
    done >"$files"
else
  find . \( -name .git -o -path './build*' -o -path './demo' \) -prune -o \
    \( -type f -o -type l \) -printf '%P\0' >"$files"
fi
tar -c --null -T "$files" | tar -x -C "$tree"

# The upstream tarball: the tree without debian/, every file as of the
# changelog's date, owned by root, in name order, so that two runs agree.
grep -zv '^debian/' "$files" >"$work/upstream-files" || true
tar -c --null -T "$work/upstream-files" --sort=name --mtime="@$epoch" --owner=0 --group=0 \
  --numeric-owner --format=gnu --transform="s,^,$name-$upstream/," |
  xz -6 -T1 >"$work/${name}_$upstream.orig.tar.xz"

echo "dpkg-buildpackage in $tree (log: $output/build.log)" >&2
if ! (cd "$tree" && dpkg-buildpackage -us -uc -J"$jobs") >"$work/build.log" 2>&1; then
  tail -n 40 "$work/build.log" >&2
  trap - EXIT
  echo "make-deb.sh: dpkg-buildpackage failed; the whole log is $work/build.log" >&2
  exit 1
fi

changes=${name}_${version}_$arch.changes
# The packages, the source package, the .buildinfo and .changes, and the log.
for file in "$work"/*; do
  case $file in "$tree" | "$files" | "$work/upstream-files") continue ;; esac
  mv -f "$file" "$output/"
done

echo "lintian -i -I --pedantic $changes:" >&2
lintian -i -I --pedantic --fail-on error,warning "$output/$changes" >&2
for package in $(sed -n 's/^Binary: //p' "$output/$changes"); do
  case $package in *-dbgsym) continue ;; esac
  echo "$output/${package}_${version}_$arch.deb"
done
