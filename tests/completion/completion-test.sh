#!/usr/bin/env bash
# The bash completion of kestrune (packaging/completion/kestrune.bash), word by word: each check
# names the words offered and the command line typed so far, its last word being completed.
# bash-completion's helpers are stood in for, so that nothing needs installing: _filedir offers
# "<files>" (with its pattern, "<files:hex|bin|dat>").
set -u
_init_completion() {
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD - 1]}
  words=("${COMP_WORDS[@]}")
  cword=$COMP_CWORD
}
_filedir() { COMPREPLY=("<files${1:+:$1}>"); }
compopt() { :; }
# shellcheck source=../../packaging/completion/kestrune.bash
source "${1:?usage: completion-test.sh kestrune.bash}"

failed=0
check() {  # offered words...
  local expected=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  _kestrune
  if [ "${COMPREPLY[*]}" != "$expected" ]; then
    echo "FAIL: '$*<Tab>' offered '${COMPREPLY[*]}', expected '$expected'"
    failed=1
  fi
}

check "flash"                 kestrune fl
check "station"               kestrune st
check "<files:hex|bin|dat>"   kestrune station ""
check "--log"                 kestrune station fw.hex --lo
check "<files>"               kestrune station fw.hex --log ""
check ""                      kestrune station fw.hex --expect-version ""
check ""                      kestrune station fw.hex --y
check ""                      kestrune station fw.hex --no-w
check ""                      kestrune station fw.hex --dev
check "--expect-sha256 --expect-version" kestrune station fw.hex --exp
check "never-return"          kestrune station fw.hex --simulate-fault nev
check "--all"                 kestrune flash fw.hex --al
check "--device"              kestrune flash fw.hex --dev
# --all and --device exclude each other.
check ""                      kestrune flash fw.hex --all --dev
check ""                      kestrune flash --device 1-4.2 fw.hex --al
check ""                      kestrune flash --device=1-4.2 fw.hex --al
check ""                      kestrune info --al
check "--device"              kestrune info --dev

[ "$failed" -eq 0 ] && echo "all completion checks passed"
exit "$failed"
