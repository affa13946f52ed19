#!/usr/bin/env bash
# The bash completion and the manual pages against the tools' own --help:
# the completion offers exactly the options (and nicdiag's commands) that
# --help lists, each sub-command it offers is one --help shows, and each
# manual page carries every option.
# usage: completion_test.sh COMPLETION_FILE NETPURGE_SIM NICDIAG MAN_DIR
set -u
completion=$1 netpurge_sim=$2 nicdiag=$3 man_dir=$4
# shellcheck source=/dev/null
source "$completion"
failed=0

# Options the help names as another tool's ("dmidecode --from-dump") are not the tool's own.
options_of() {
  sed -E 's/(dmidecode|lspci|setpci|ethtool) --[a-z0-9-]+/\1/g' | grep -oE -- '(^|[^a-z-])--[a-z][a-z0-9-]*' |
    grep -oE -- '--[a-z0-9-]+' | sort -u
}
# What the completion offers for the words given, the last one being typed.
offers() {
  local function=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  "$function"
  ((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}" | sort -u
}
same() {
  if [ "$2" != "$3" ]; then
    echo "FAIL: $1 differ (< --help, > completion):"
    diff <(echo "$2") <(echo "$3")
    failed=1
  fi
}

sim_help=$("$netpurge_sim" --help) || { echo "FAIL: netpurge-sim --help"; exit 1; }
diag_help=$("$nicdiag" --help) || { echo "FAIL: nicdiag --help"; exit 1; }

same "netpurge-sim options" "$(options_of <<<"$sim_help")" "$(offers _nickit_netpurge_sim netpurge-sim --)"
same "netpurge-sim --user answers" "$(printf '%s\n' cancel close enter escape ok)" \
  "$(offers _nickit_netpurge_sim netpurge-sim --user ok, | sed 's/^ok,//')"

global=$(sed -n '/^Options:/,/^$/p' <<<"$diag_help" | options_of)
same "nicdiag options" "$global" "$(offers _nickit_nicdiag nicdiag --)"
commands=$(sed -n '/^Commands/,/^$/p' <<<"$diag_help" | grep -oE '^  [a-z][a-z0-9-]*' | sed 's/^  //' | sort -u)
# A command's synopsis lines in --help: its entries' first lines and the
# lines that continue them, each without the text after a wide gap.
synopsis_of() {
  sed -n '/^Commands/,/^$/p' <<<"$diag_help" | awk -v cmd="$1" '
    /^  [a-z]/ { split($0, w, " "); current = w[1]; line = $0 }
    /^   +[^ ]/ { if (match($0, /^ +/) && RLENGTH > 20) next; line = $0 }
    /^  [^ ]|^   +[^ ]/ { sub(/^ +/, "", line); sub(/  +.*/, "", line); if (current == cmd) print line }'
}
for command in $commands; do
  want=$(synopsis_of "$command" | grep -oE -- '(^|[][ |])(-s|--[a-z][a-z0-9-]*)' | grep -oE -- '-s|--[a-z0-9-]+' | sort -u)
  same "nicdiag $command's options" "$want" "$(offers _nickit_nicdiag nicdiag "$command" -)"
done
# File names where a file is named: a script, a saved image to restore, an
# output; a byte count (raw's --out) is not one.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
touch "$scratch/image.txt"
for words in "--script" "eeprom restore" "eeprom dump --out" "--json dmi --out" "id ; eeprom --yes restore" "install"; do
  read -ra typed <<<"$words"
  got=$(cd "$scratch" && offers _nickit_nicdiag nicdiag "${typed[@]}" im)
  same "nicdiag $words: file names" "image.txt" "$got"
done
same "nicdiag raw --out: no file names" "" "$(cd "$scratch" && offers _nickit_nicdiag nicdiag raw 0x222000 --out im)"
same "nicdiag commands" "$commands" "$(offers _nickit_nicdiag nicdiag '')"
same "nicdiag commands after ';'" "$commands" "$(offers _nickit_nicdiag nicdiag --json id ';' '')"
for command in $commands; do
  [ "$command" = install ] && continue  # its argument is a file name, completed as one
  for sub in $(offers _nickit_nicdiag nicdiag "$command" ''); do
    if ! grep -qE "^  $command ([A-Za-z0-9.|-]+ )*([A-Za-z0-9.-]+\|)*$sub([ |]|\$)" <<<"$diag_help"; then
      echo "FAIL: the completion offers 'nicdiag $command $sub', which --help does not show"
      failed=1
    fi
  done
done

for tool in netpurge-sim nicdiag; do
  page=$man_dir/$tool.1
  if [ ! -s "$page" ]; then
    echo "FAIL: no manual page $page"
    failed=1
    continue
  fi
  help=$sim_help
  [ $tool = nicdiag ] && help=$diag_help
  for option in $(options_of <<<"$help"); do
    grep -q -- "${option//-/\\\\-}" "$page" || { echo "FAIL: $page lacks $option"; failed=1; }
  done
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES; do
    grep -qx "\.SH \"\?$section\"\?" "$page" || { echo "FAIL: $page has no $section section"; failed=1; }
  done
  # groff's own verdict on the page: no warning of any kind.
  if ! warnings=$(groff -man -ww -z "$page" 2>&1) || [ -n "$warnings" ]; then
    echo "FAIL: groff warns on $page:"
    echo "$warnings"
    failed=1
  fi
done
[ $failed = 0 ] && echo "completion and manual pages agree with --help"
exit $failed
