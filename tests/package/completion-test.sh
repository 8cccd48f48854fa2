#!/usr/bin/env bash
# A program's bash completion, asked as bash asks it: every value it offers for an option is one
# the program takes; "--option=value" completes like "--option value"; a serial-device option
# offers the USB modems' ports that are there (fake ones, from umockdev) and typed paths.
#
#   completion-test.sh PROGRAM-BINARY COMPLETION-FILE
set -euo pipefail

binary=$1 completion=$2
program=$(basename "$binary")
here=$(cd "$(dirname "$0")" && pwd)
status=0
fail() {
  echo "$program: $*" >&2
  status=1
}

# complete WORD... : the candidates for the last word, one a line.
complete_words() {
  bash -c '
    source "$1"
    shift
    function=$(complete -p "$1" | sed -nE "s/.*-F ([^ ]+) .*/\1/p")
    COMP_WORDS=("$@")
    COMP_CWORD=$(( $# - 1 ))
    "$function" 2>/dev/null
    printf "%s\n" "${COMPREPLY[@]}"
  ' completion "$completion" "$program" "$@" | sed '/^$/d'
}

options=$(complete_words "")
device_options=()
for option in $(complete_words --); do
  values=$(complete_words "$option" "")
  # A switch is followed by more options; a free value (a number, a URL) gets no offer.
  [ -z "$values" ] || [ "$values" = "$options" ] && continue
  if [ "$values" = /dev/ ]; then
    device_options+=("$option")
    continue
  fi
  if [ -e "$(head -n 1 <<<"$values")" ]; then
    echo "$program $option: paths"
    continue
  fi
  [ "$values" = "$(complete_words "$option" = "")" ] || fail "$option=: not the values of $option"
  for value in $values; do
    # The whole command line is parsed before --version answers.
    timeout 20 "$binary" "$option" "$value" --version >/dev/null 2>&1 || fail "$option $value: offered, but refused"
  done
  echo "$program $option: $(echo $values)"
done
timeout 20 "$binary" --frobnicate --version >/dev/null 2>&1 && fail "takes any option: the check above proves nothing"

for option in "${device_options[@]}"; do
  [[ $(complete_words "$option" /dev/pt) == /dev/pts* ]] || fail "$option /dev/pt: no typed path completed"
  if ! command -v umockdev-run >/dev/null; then
    fail "umockdev-run is missing (scripts/install-deps.sh installs it)"
    continue
  fi
  # A USB serial adapter's port and a modem's ACM port.
  devices=$(umockdev-run -d "$here/usb-serial.umockdev" -- bash -c "$(declare -f complete_words); $(declare -p completion program); complete_words $program $option ''" | sort | tr '\n' ' ')
  [ "$devices" = "/dev/ttyACM3 /dev/ttyUSB0 " ] || fail "$option: the USB serial ports offered are \"$devices\""
  echo "$program $option: $devices(fake devices)"
done
exit $status
