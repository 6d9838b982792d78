#!/usr/bin/env bash
# Each program's manual page lists the options its --help-all (or, without
# one, its --help) lists, with the same value names, and man reads the page
# without a warning.
#   docs_match_help.sh MAN_DIR PROGRAM...
set -euo pipefail
man_dir=$1
shift
failed=0

# "  -q, --quiet   Print..." and "  --port PORT" before its text: the label.
help_options() {
  local text
  text=$("$1" --help-all 2>/dev/null) || text=$("$1" --help)
  awk '/^  -/ { sub(/^  /, ""); sub(/  .*/, ""); print }' <<<"$text"
}
# ".TP" then "\fB\-q\fR, \fB\-\-quiet\fR": the label without fonts and escapes.
man_options() {
  awk 'previous == ".TP" && /^\\fB\\-/ { print } { previous = $0 }' "$1" |
    sed -e 's/\\f[BIR]//g' -e 's/\\-/-/g'
}

for program in "$@"; do
  name=$(basename "$program")
  page=$man_dir/$name.1
  help=$(help_options "$program")
  from_page=$(man_options "$page")
  if [ -z "$help" ] || [ "$help" != "$from_page" ]; then
    echo "FAIL: $name: --help and $page list different options:" >&2
    diff <(echo "$help") <(echo "$from_page") >&2 || true
    failed=1
  fi
  if grep -qE -- '--(man-page|(bash|zsh|fish)-completion)' <<<"$help"; then
    echo "FAIL: $name --help lists the build's hidden options" >&2
    failed=1
  fi
  if command -v man >/dev/null; then
    warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
      echo "FAIL: $page: $warnings" >&2
      failed=1
    fi
  fi
done
[ "$failed" -eq 0 ] && echo "$# manual pages match --help"
exit "$failed"
