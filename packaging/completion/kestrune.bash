# bash completion for kestrune, the command-line tool of Kestrune Loader.

_kestrune() {
  local cur prev words cword
  _init_completion -s || return

  local commands="list info pids check image flash station"
  local device_options="--pid-file --simulate --simulate= --simulate-dump --simulate-fault --simulate-realtime --simulate-latency --simulate-count"
  local file_options="--start"
  local command="" i
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      list | info | pids | check | image | flash | station)
        command=${words[i]}
        break
        ;;
    esac
  done

  case $prev in
    --pid-file | --simulate-dump | -o | --output | --log)
      _filedir
      return
      ;;
    --simulate-fault)
      local faults="refuse-block: no-answer-block: leave-after-block: fail-set: fail-get: reply-bytes:"
      faults+=" no-answer-switch ignore-finish never-return no-permission version-without-nul busy:"
      faults+=" sigint-at-block: sigterm-at-block: sighup-at-block: sigint-at-listing: sigkill-at-block:"
      faults+=" upload-mode no-serial no-identity other-port"
      COMPREPLY=($(compgen -W "$faults" -- "$cur"))
      [[ ${COMPREPLY-} == *: ]] && compopt -o nospace
      return
      ;;
    --start | --timeout | --simulate-count | --device | --expect-sha256 | --expect-version | --simulate-new-version)
      return
      ;;
  esac
  if [[ $cur == --simulate=* ]]; then
    return
  fi

  local options
  case $command in
    "")
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--help --version --json" -- "$cur"))
      else
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
      fi
      return
      ;;
    list) options="$device_options" ;;
    info) options="$device_options --device" ;;
    pids) options="--pid-file" ;;
    check) options="$file_options" ;;
    image) options="$file_options -o --output" ;;
    flash)
      options="$file_options $device_options -y --yes --no-wait --timeout --expect-sha256 --expect-version --simulate-new-version"
      # --all and --device exclude each other.
      local given=" ${words[*]:1:cword-1} "
      [[ $given == *" --all "* ]] || options+=" --device"
      [[ $given == *" --device "* || $given == *" --device="* ]] || options+=" --all"
      ;;
    station) options="$file_options $device_options --timeout --expect-sha256 --expect-version --simulate-new-version --log" ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options --json --help" -- "$cur"))
    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
  else
    case $command in
      check | image | flash | station) _filedir 'hex|bin|dat' ;;
    esac
  fi
} && complete -F _kestrune kestrune
