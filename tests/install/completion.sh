#!/usr/bin/env bash
# The generated completion offers what each place on the command line takes:
# options, fixed values, files, or nothing; the same in bash (plain, and with
# bash-completion's helpers loaded, as a login shell would have them), zsh and
# fish, where installed.
#   completion.sh COMPLETIONS_DIR   (bash/, zsh/ and fish/ in it)
set -uo pipefail
completions=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/files/folder"
touch "$work/files/firmware.hex" "$work/files/hosts.txt"

# zsh completes only in an interactive shell: one on a pseudo-terminal, its
# compadd wrapped to print the matches.
cat >"$work/zsh-offers" <<'ZSH'
zmodload zsh/zpty
zpty z zsh -f -i
zpty -w z "PROMPT=; fpath=($1 \$fpath); autoload -Uz compinit; compinit -u -D"
zpty -w z 'bindkey "^I" complete-word; zstyle ":completion:*" list-grouped false'
zpty -w z 'finish() { print -r -- "<<""END>>"; exit }; comppostfuncs=(finish)'
zpty -w z 'compadd() { if [[ ${@[1,(i)(-|--)]} == *-(O|A|D)\ * ]]; then builtin compadd "$@";
  return; fi; local -a h; builtin compadd -A h "$@"; print -rl -- "<<""HIT>>"${^h}; }'
zpty -w z "$2"$'\t'
while zpty -r z line; do
  [[ $line == *'<<END>>'* ]] && break
  [[ $line == *'<<HIT>>'* ]] && print -r -- ${${line#*'<<HIT>>'}%%$'\r'*}
done
ZSH
cd "$work/files"

# program | command line as typed (a trailing space starts a new word) | expected, sorted
flash_options="--attempts --base-address --check --color --config --confirm-time --continuous \
--count --dry-run --flush-arp --format --gone-time --help --help-all --hosts --html --info \
--inquiry-timeout --install --json --local-port --no-check --only-section --port --quiet \
--record-bytes --remove-section --reply-timeout --report --retries --scan --scan-time --since \
--skip-done --station --summary --trace --until --verbose --version --write-hex -V -h -q -v"
cases=$(
  cat <<TABLE
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
corvanel-flash|corvanel-flash -|$flash_options
corvanel-devsim|corvanel-devsim --summary-json f|firmware.hex folder
corvanel-devsim|corvanel-devsim --late-c|--late-copy --late-copy-token
corvanel-devsim|corvanel-devsim --seed |
corvanel-devsim|corvanel-devsim f|
TABLE
)

# What each shell offers at the end of a line, one a line.
bash_offers() { # MODE PROGRAM LINE
  timeout 20 bash --norc --noprofile -c '
    [ "$1" = bash-completion ] && source /usr/share/bash-completion/bash_completion
    source "$0/bash/corvanel-flash" && source "$0/bash/corvanel-devsim" || exit 1
    line=$3
    # Words as bash splits them: at blanks and around "=".
    read -r -a words <<<"${line//=/ = }"
    [[ $line == *" " ]] && words+=("")
    COMP_WORDS=("${words[@]}") COMP_CWORD=$((${#words[@]} - 1)) COMP_LINE=$line COMP_POINT=${#line}
    COMPREPLY=()
    "_${2//-/_}" "$2" "${words[COMP_CWORD]}" "${words[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}"' "$completions" "$@"
}
zsh_offers() { # PROGRAM LINE
  timeout 20 zsh -f "$work/zsh-offers" "$completions/zsh" "$2"
}
fish_offers() { # PROGRAM LINE
  timeout 20 fish --no-config -c 'source $argv[1]/fish/corvanel-flash.fish
    source $argv[1]/fish/corvanel-devsim.fish
    complete -C $argv[3]' "$completions" "$@" | cut -f1
}

shells=("bash plain")
[ -f /usr/share/bash-completion/bash_completion ] && shells+=("bash bash-completion")
command -v zsh >/dev/null && shells+=(zsh)
command -v fish >/dev/null && shells+=(fish)
status=0
for shell in "${shells[@]}"; do
  while IFS='|' read -r program line expected; do
    # fish repeats "--format=" before a value, and both mark folders with "/".
    offers=("${shell}_offers")
    [[ $shell == bash* ]] && offers=(bash_offers "${shell#bash }")
    got=$("${offers[@]}" "$program" "$line" |
      sed -e '/^$/d' -e 's/^--[a-z-]*=//' -e 's|/$||' | LC_ALL=C sort | xargs)
    if [ "$got" != "$(xargs <<<"$expected")" ]; then
      echo "FAIL ($shell): \"$line\" offered \"$got\", not \"$expected\"" >&2
      status=1
    fi
  done <<<"$cases"
done
[ "$status" -eq 0 ] && echo "completion checked: ${shells[*]}"
exit "$status"
