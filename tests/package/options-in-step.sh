#!/usr/bin/env bash
# Keeps a program's --help, its manual page and its bash completion in step: the options each of
# them offers must be the same set. Fails, naming the option and where it is missing, when an
# option is added to (or left in) one of them only.
#
#   options-in-step.sh PROGRAM-BINARY MANUAL-PAGE COMPLETION-FILE
#
# The manual page may be gzipped. The program's name is the binary's file name.
set -euo pipefail

binary=$1 page=$2 completion=$3
program=$(basename "$binary")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

options_in() { grep -oE -- '--[a-z0-9][a-z0-9-]*' | sort -u; }

# --help: the first word of each line of the option list, and every option the text names.
"$binary" --help >"$work/help.txt"
sed -n '/^Options:$/,/^$/p' "$work/help.txt" | grep -E '^  -' | awk '{print $1}' | options_in >"$work/help"
options_in <"$work/help.txt" >"$work/help-all"

# The manual page as man renders it: the first word of each entry under OPTIONS, and the options
# of the synopsis.
LC_ALL=C MANWIDTH=200 man -l "$page" 2>/dev/null | sed 's/.\x08//g' >"$work/page.txt"  # without overstrikes
sed -n '/^OPTIONS$/,/^[A-Z]/p' "$work/page.txt" | grep -E '^       -' | awk '{print $1}' | options_in >"$work/man"
sed -n '/^SYNOPSIS$/,/^[A-Z]/p' "$work/page.txt" | options_in >"$work/man-synopsis"
sed -n '/^Usage:/,/^$/p' "$work/help.txt" | options_in >"$work/help-synopsis"

# The completion, asked as bash asks it: the candidates for "--".
bash -c '
  source "$1"
  function=$(complete -p "$2" | sed -nE "s/.*-F ([^ ]+) .*/\1/p")
  COMP_WORDS=("$2" --)
  COMP_CWORD=1
  "$function"
  printf "%s\n" "${COMPREPLY[@]}"
' completion "$completion" "$program" | options_in >"$work/completion"

status=0
differ() {  # differ WHAT-A FILE-A WHAT-B FILE-B
  local missing
  missing=$(comm -23 "$2" "$4" | tr '\n' ' ')
  if [ -n "$missing" ]; then
    echo "$program: in $1 but not in $3: $missing" >&2
    status=1
  fi
}
differ "--help" "$work/help" "the manual page" "$work/man"
differ "the manual page" "$work/man" "--help" "$work/help"
differ "--help" "$work/help" "the completion" "$work/completion"
differ "the completion" "$work/completion" "--help" "$work/help"
differ "the text of --help" "$work/help-all" "its option list" "$work/help"
differ "the synopsis of --help" "$work/help-synopsis" "its option list" "$work/help"
differ "its option list" "$work/help" "the synopsis of --help" "$work/help-synopsis"
differ "the manual's synopsis" "$work/man-synopsis" "its OPTIONS" "$work/man"
differ "the manual's OPTIONS" "$work/man" "its synopsis" "$work/man-synopsis"
if [ ! -s "$work/help" ]; then
  echo "$program: no options found in --help" >&2
  status=1
fi
[ $status -eq 0 ] && echo "$program: $(wc -l <"$work/help") options, the same in --help, the manual page and the completion"
exit $status
