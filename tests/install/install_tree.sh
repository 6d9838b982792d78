#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses it from there: the
# versions, one whole transfer from the installed flasher to the installed
# simulator on loopback, no trace of the build folder in any installed file,
# the desktop entry, the AppStream metainfo and the icons.
#   install_tree.sh BUILD_DIR VERSION SANITIZE(0 or 1)
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
sanitize=$3
work=$(mktemp -d)
trap 'kill "${devsim_pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
source "$(dirname "${BASH_SOURCE[0]}")/installed_transfer.sh"

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
bin=$prefix/bin
app_id=org.corvanel.Corvanel

# --version on all three, the window's without any display.
for program in corvanel corvanel-flash corvanel-devsim; do
  got=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$bin/$program" --version)
  [ "$got" = "$program $version" ] || fail "$program --version printed \"$got\""
done

# A transfer: the simulator exits 0 only after a complete, verified image.
installed_transfer "$bin" "$work"

# Relocatable: no installed file names the build folder, no run path leads
# anywhere but next to the program.
# One exception: GCC 12 writes the names of the generated moc sources into a
# sanitizer build's instrumentation as they are, without -ffile-prefix-map.
for file in $(grep -rlF "$build" "$prefix" || true); do
  names=$(strings -a "$file" | grep -F "$build")
  if [ "$sanitize" = 1 ] && ! grep -vq '_autogen/' <<<"$names"; then
    continue
  fi
  fail "$file holds the build folder's path: $(head -n 3 <<<"$names")"
done
for program in "$bin"/*; do
  paths=$(readelf -d "$program" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]/\2/p')
  for path in ${paths//:/ }; do
    case $path in '$ORIGIN'*) ;; *) fail "$program has the run path $path" ;; esac
  done
done

# The desktop entry, and its icon at every size, each as large as its folder says.
desktop-file-validate "$prefix/share/applications/$app_id.desktop" ||
  fail "desktop-file-validate refused the desktop entry"
# The metainfo with the entry it launches; pedantic hints only (the id's capitals).
[ -f "$prefix/share/metainfo/$app_id.metainfo.xml" ] || fail "no share/metainfo/$app_id.metainfo.xml"
appstreamcli validate-tree --no-net --strict "$prefix" >"$work/appstream.out" 2>&1 ||
  fail "appstreamcli refused the metainfo: $(cat "$work/appstream.out")"
icons=$prefix/share/icons/hicolor
for size in 16 22 24 32 48 64 128 256; do
  png=$icons/${size}x$size/apps/$app_id.png
  [ -f "$png" ] || fail "no icon $png"
  # The PNG header's width and height, big-endian at bytes 16 to 23.
  read -r -a header < <(od -An -tu1 -j16 -N8 "$png")
  width=$(((header[2] << 8) + header[3]))
  height=$(((header[6] << 8) + header[7]))
  [ "$width x $height" = "$size x $size" ] || fail "$png is $width x $height"
done
grep -q '<svg' "$icons/scalable/apps/$app_id.svg" || fail "no scalable icon"
for file in man/man1/corvanel.1.gz man/man1/corvanel-flash.1.gz man/man1/corvanel-devsim.1.gz \
  bash-completion/completions/corvanel-flash bash-completion/completions/corvanel-devsim \
  zsh/vendor-completions/_corvanel-flash zsh/vendor-completions/_corvanel-devsim \
  fish/vendor_completions.d/corvanel-flash.fish fish/vendor_completions.d/corvanel-devsim.fish \
  doc/corvanel/README.md doc/corvanel/LICENSE; do
  [ -s "$prefix/share/$file" ] || fail "share/$file is missing"
done
echo "installed, ran and checked in $prefix"
