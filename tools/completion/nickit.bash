# Bash completion for the kit's tools, netpurge-sim and nicdiag.
# Install as /usr/share/bash-completion/completions/netpurge-sim with a link
# named nicdiag beside it, or source it from ~/.bashrc. The option and
# command lists follow each tool's --help (tests/completion checks that
# they do).

_nickit_netpurge_sim_options="--help --version --profile --command-line --user --json --export-registry --backup
  --export-files --hive --apply --no-keep"

_nickit_netpurge_sim() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  case $prev in
    --profile)
      mapfile -t COMPREPLY < <(compgen -f -X '!*.json' -- "$cur"; compgen -d -- "$cur")
      return ;;
    --export-registry|--backup|--export-files)
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return ;;
    --hive)
      # KIND=FILE: the kind first, then the file after the '='.
      if [[ $cur == *=* ]]; then
        mapfile -t COMPREPLY < <(compgen -P "${cur%%=*}=" -f -- "${cur#*=}")
      else
        mapfile -t COMPREPLY < <(compgen -W "SYSTEM= SOFTWARE= NTUSER=" -- "$cur")
        compopt -o nospace 2>/dev/null
      fi
      return ;;
    --user)
      # A comma-separated list: complete the answer after the last comma.
      local done_part="" word=$cur
      if [[ $cur == *,* ]]; then done_part=${cur%,*},; word=${cur##*,}; fi
      mapfile -t COMPREPLY < <(compgen -P "$done_part" -W "ok cancel enter escape close" -- "$word")
      compopt -o nospace 2>/dev/null
      return ;;
    --command-line)
      return ;;
  esac
  mapfile -t COMPREPLY < <(compgen -W "$_nickit_netpurge_sim_options" -- "$cur")
}

_nickit_nicdiag_options="--help --version --profile --json --quiet --script --stop-on-error --debug-log"
_nickit_nicdiag_commands="id port mem pci validate first-range stall eeprom phy raw resources dmi pir install start stop
  remove"
# Each command's own options (after the command word), as its --help lines
# show them.
declare -A _nickit_nicdiag_command_options=(
  [port]="--truncate"
  [mem]="--truncate"
  [eeprom]="--method --size -s --bus --device --register --out --yes --checksum --ignore-checksum"
  [phy]="--phy-address --method -s --bus --device --register"
  [raw]="--out"
  [resources]="--bus --slot -s"
  [dmi]="--out"
  [pir]="--out"
)
declare -A _nickit_nicdiag_subcommands=(
  [port]="read write"
  [mem]="map read write unmap"
  [pci]="read write list"
  [eeprom]="size dump read write fix-checksum restore"
  [phy]="dump scan read write"
)

_nickit_nicdiag() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  # The command being typed: the first word after the start or after the
  # last ';' that is not an option or an option's value; its words so far,
  # options and their values left out.
  local i command="" words=()
  for ((i = 1; i < COMP_CWORD; i++)); do
    local w=${COMP_WORDS[i]}
    if [[ $w == ";" ]]; then
      command="" words=()
    elif [[ -z $command ]]; then
      case $w in
        --profile|--script) ((i++)) ;;
        -*) ;;
        *) command=$w words=("$w") ;;
      esac
    else
      case $w in
        --method|--size|--bus|--device|--register|--phy-address|--slot|-s|--out) ((i++)) ;;
        -*) ;;
        *) words+=("$w") ;;
      esac
    fi
  done
  if [[ -z $command ]]; then
    case $prev in
      --profile)
        mapfile -t COMPREPLY < <(compgen -f -X '!*.json' -- "$cur"; compgen -d -- "$cur")
        return ;;
      --script)
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return ;;
    esac
    if [[ $cur == -* ]]; then
      mapfile -t COMPREPLY < <(compgen -W "$_nickit_nicdiag_options" -- "$cur")
    else
      mapfile -t COMPREPLY < <(compgen -W "$_nickit_nicdiag_commands" -- "$cur")
    fi
    return
  fi
  case $prev in
    --out)
      # raw's --out is a byte count; elsewhere it names the file written.
      [[ $command == raw ]] || mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return ;;
    --method)
      mapfile -t COMPREPLY < <(compgen -W "io mem" -- "$cur")
      return ;;
    --size|--bus|--device|--register|--phy-address|--slot|-s)
      return ;;
  esac
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "${_nickit_nicdiag_command_options[$command]:-}" -- "$cur")
  elif ((${#words[@]} == 1)) && [[ $command == install ]]; then
    # PATH: the driver file, or the folder that holds it.
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  elif ((${#words[@]} == 1)) && [[ -n ${_nickit_nicdiag_subcommands[$command]:-} ]]; then
    mapfile -t COMPREPLY < <(compgen -W "${_nickit_nicdiag_subcommands[$command]}" -- "$cur")
  elif ((${#words[@]} == 2)) && [[ $command == eeprom && ${words[1]} == restore ]]; then
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
}

complete -F _nickit_netpurge_sim netpurge-sim
complete -F _nickit_nicdiag nicdiag nicdiag.exe
