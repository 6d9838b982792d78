#!/usr/bin/env bash
# The generated bash completion offers what each place on the command line
# takes: options, fixed values, files, or nothing. Run with plain bash and,
# where it is installed, with bash-completion's helpers loaded, as a login
# shell would have them.
#   completion.sh COMPLETIONS_DIR
set -uo pipefail
completions=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/folder"
touch "$work/firmware.hex" "$work/hosts.txt"
cd "$work"

# program | command line as typed (a trailing space starts a new word) | expected, sorted
cases=$(
  cat <<'TABLE'
corvanel-flash|corvanel-flash --form|--format
corvanel-flash|corvanel-flash --format |bin elf hex srec
corvanel-flash|corvanel-flash --format s|srec
corvanel-flash|corvanel-flash --format=|bin elf hex srec
corvanel-flash|corvanel-flash --format=e|elf
corvanel-flash|corvanel-flash --color |always auto never
corvanel-flash|corvanel-flash --hosts h|hosts.txt
corvanel-flash|corvanel-flash --report |firmware.hex folder hosts.txt
corvanel-flash|corvanel-flash --install f|firmware.hex folder
corvanel-flash|corvanel-flash --port |
corvanel-flash|corvanel-flash -|--attempts --base-address --check --color --config --confirm-time --continuous --count --dry-run --flush-arp --format --gone-time --help --hosts --info --inquiry-timeout --install --json --local-port --no-check --only-section --port --quiet --record-bytes --remove-section --reply-timeout --report --retries --scan --scan-time --station --trace --verbose --version --write-hex -h -q -v
corvanel-devsim|corvanel-devsim --summary-json f|firmware.hex folder
corvanel-devsim|corvanel-devsim --late-c|--late-copy --late-copy-token
corvanel-devsim|corvanel-devsim --seed |
corvanel-devsim|corvanel-devsim f|
TABLE
)

run_cases() {
  local mode=$1 failed=0 program line expected
  while IFS='|' read -r program line expected; do
    # Words as bash splits them: at blanks and around '='.
    local -a words
    read -r -a words <<<"${line//=/ = }"
    [[ $line == *" " ]] && words+=("")
    COMP_WORDS=("${words[@]}")
    COMP_CWORD=$((${#words[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMPREPLY=()
    "_${program//-/_}" "$program" "${words[COMP_CWORD]}" "${words[COMP_CWORD - 1]}"
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | LC_ALL=C sort | xargs)
    if [ "$got" != "$expected" ]; then
      echo "FAIL ($mode): \"$line\" offered \"$got\", not \"$expected\"" >&2
      failed=1
    fi
  done <<<"$cases"
  return "$failed"
}

status=0
modes=(plain)
[ -f /usr/share/bash-completion/bash_completion ] && modes+=(bash-completion)
for mode in "${modes[@]}"; do
  bash --norc --noprofile -c "
    $(declare -f run_cases)
    cases=\$1
    [ \"\$2\" = bash-completion ] && source /usr/share/bash-completion/bash_completion
    source '$completions/corvanel-flash' && source '$completions/corvanel-devsim' || exit 1
    run_cases \"\$2\"
  " completion "$cases" "$mode" || status=1
done
[ "$status" -eq 0 ] && echo "completion checked: ${modes[*]}"
exit "$status"
